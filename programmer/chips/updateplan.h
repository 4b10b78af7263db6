#pragma once

// UpdatePlan: what an update erases, programs and reads back so that the chip ends holding the
// wanted bytes, chosen by a modelled cost among the erases the part offers. Arithmetic over two
// chip-sized arrays, nothing sent; worker thread.

#include <QByteArray>
#include <QVector>

#include <cstdint>

// The erases a part offers besides its whole-chip erase.
struct UnitErases
{
    bool sectors = false; // 4 KiB, 20h
    bool blocks = false;  // 64 KiB, D8h
};

struct ChipSpan
{
    uint32_t start;
    uint32_t length;
};

struct UnitErase
{
    uint32_t address;
    bool block; // 64 KiB (D8h), else 4 KiB (20h)
};

struct UpdatePlan
{
    // Erase the whole chip and program the image, as the write job does.
    bool wholeChip = false;
    // In address order.
    QVector<UnitErase> erases;
    // The wanted bytes of every page to program, 0xFF elsewhere (0xFF programs nothing),
    // ending with the last byte to program.
    QByteArray program;
    // What is erased or programmed, in 4 KiB sectors (64 KiB blocks where a block is erased or
    // the part has no 4 KiB erase), merged where they touch, in address order.
    QVector<ChipSpan> readBack;
    // Modelled microseconds of the erases, the programming and the read-back.
    qint64 costUs = 0;
};

// chip and wanted are as long as the chip; the image is wanted's first imageLength bytes.
// wholeChipEraseUs: the typical time of the part's whole-chip erase.
UpdatePlan PlanUpdate(const QByteArray &chip, const QByteArray &wanted, int imageLength,
                      UnitErases units, int pageSize, qint64 wholeChipEraseUs);

// The cost model. The chip list holds no times, so the worker knows only datasheet-typical
// ones, taken from the W25Q64FV (4 KiB erase 45 ms, 64 KiB erase 150 ms, chip erase 20 s for
// 8 MiB), and what the CH341A's bus costs (bench/RESULTS.md): a 256-byte page with its write
// enable and status read about 3 ms (100 s for 32768 pages), a read 7.8 ms per KiB. The
// figures only rank the ways to erase; no wait depends on them.
namespace UpdateCost {
constexpr qint64 kSectorEraseUs = 45000;
constexpr qint64 kBlockEraseUs = 150000;
constexpr qint64 kChipEraseUsPerMiB = 2500000;
constexpr qint64 kPageProgramUs = 3000;
constexpr qint64 kReadUsPerKiB = 7800;
} // namespace UpdateCost
