#pragma once

// ChipReader: the chip's contents read in chunks, compared with what they should be, checked
// blank. Every run leaves the chip in 3-byte mode with its first die selected. Worker thread.

#include "programmer/chips/updateplan.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>

class ChipProgress;
class FlashChip;

class ChipReader
{
public:
    enum class ProgressEnd { Reset, Full };
    // A read that a job reports as its own ends with the bar empty; a read-back that proves a
    // write or an erase leaves it full.
    ChipReader(FlashChip &chip, ChipProgress &progress, ProgressEnd progressEnd);

    // Reads the spans one after the other into result, in chunks of `chunk` bytes. With
    // expected (the chip's wanted contents by address) it stops after the first chunk that
    // differs and returns 0; 1 when all was read (and matched); -1 when the read failed;
    // kStopped when the job was asked to stop between two chunks.
    int read(const QVector<ChipSpan> &spans, int chunk, QByteArray &result,
             const QByteArray *expected = nullptr);
    // Reads the spans in the bridge's whole-chip chunks, stopping at the first chunk that differs.
    // 1: every byte matches; 0: difference is the first differing address and chipByte the chip's
    // byte there; negative: the read failed.
    int compare(const QVector<ChipSpan> &spans, const QByteArray &expected, int &difference,
                uint8_t &chipByte);
    // Where an erase is checked: the first and last 4 KiB, or every byte.
    enum class BlankCheck { Ends, WholeChip };
    // address: of the first byte that is not 0xFF, else -1. False when the read failed.
    bool findNonBlank(BlankCheck check, int &address);

    // The read job's chunk, which verify and the read-backs read in as well: as much as the
    // bridge moves in one exchange without its USB scheduling showing.
    int wholeChipChunk() const;
    static constexpr int kStopped = -4;

private:
    bool readAt(uint32_t address, int count, QByteArray &data);
    bool findNonBlankAtEnds(int &address);
    bool findNonBlankInChip(int &address);

    FlashChip &m_chip;
    ChipProgress &m_progress;
    ProgressEnd m_progressEnd;
};
