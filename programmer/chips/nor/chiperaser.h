#pragma once

// ChipEraser: the chip erased whole, by its own bulk erase (C7h on each die, C4h per die, or
// D8h per block on parts without one), or unit by unit (20h and D8h), each erase waited for.
// Worker thread.

#include "programmer/chips/updateplan.h"

#include <QVector>

#include <cstdint>

class ChipProgress;
class FlashChip;

class ChipEraser
{
public:
    enum class Result {
        Done,
        TransferFailed,
        TimedOut,
        ChipError,          // the chip flagged an erase error at errorAddress()
        SectorEraseIgnored, // the first 4 KiB erase left the sector as it was
        Stopped,            // asked to stop: the units below reached() are erased
    };

    // timeoutMs: of each erase; 0: by the chip's size.
    ChipEraser(FlashChip &chip, ChipProgress &progress, qint64 timeoutMs);

    // tracePolls: the erase job's developer trace of each poll.
    Result eraseWholeChip(bool tracePolls);
    // In address order; the first 4 KiB erase is read back. A whole-chip erase runs to its end
    // (the chip finishes it whatever the host does); units stop between two erases.
    Result eraseUnits(const QVector<UnitErase> &erases);

    uint32_t errorAddress() const { return m_errorAddress; }
    // Micron: the Flag Status Register that reported the error; 0 otherwise.
    uint8_t errorFlags() const;
    // Where stopped unit erases ended: the address of the first unit left as it was.
    uint32_t reached() const { return m_reached; }

    // The erases the part offers besides the whole-chip one (SFDP's erase types where the chip
    // answers them), and what a whole-chip erase costs by the update's model.
    UnitErases unitErases();
    qint64 wholeChipEraseUs() const;

private:
    // announce: tell the progress once the command is out.
    Result step(const QByteArray &command, uint32_t address, bool tracePolls, bool announce);

    FlashChip &m_chip;
    ChipProgress &m_progress;
    qint64 m_timeoutMs;
    uint32_t m_errorAddress = 0;
    uint32_t m_reached = 0;
};
