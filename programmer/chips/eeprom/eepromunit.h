#pragma once

// EepromUnit: what every serial EEPROM kind does for the jobs, whatever its bus: say whether the
// chosen part answers, read spans in chunks, write spans (each inside one page, the write cycle
// waited for), erase every byte to 0xFF. The loops over spans, the progress and the safe points
// for a stop live here; each kind sends its own commands for one chunk or one page. It reports
// by return values and a ChipProgress only. Worker thread.

#include "programmer/chips/eeprom/eeprompart.h"
#include "programmer/chips/updateplan.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>
#include <functional>

class ChipProgress;

class EepromUnit
{
public:
    enum Result {
        Done = 1,
        Differs = 0,         // a read given what to expect found another byte
        TransferFailed = -1, // the programmer stopped answering
        TimedOut = -3,       // the write cycle outlasted its deadline
        Stopped = -4,        // asked to stop: every span before reached() is written
    };
    enum class Presence { Answers, Silent, TransferFailed };

    EepromUnit(const EepromPart &part, ChipProgress &progress);
    virtual ~EepromUnit() = default;
    EepromUnit(const EepromUnit &) = delete;
    EepromUnit &operator=(const EepromUnit &) = delete;

    const EepromPart &part() const { return m_part; }

    virtual Presence presence() = 0;
    // Reads spans into result (the chip's contents, indexed by address; 0xFF where no span
    // reaches); with expected, stops at the first chunk that differs from it (Differs).
    Result read(const QVector<ChipSpan> &spans, QByteArray &result,
                const QByteArray *expected = nullptr);
    // Writes each span of wanted (indexed by address), each inside one page, the cycle waited
    // for after each.
    Result write(const QVector<ChipSpan> &spans, const QByteArray &wanted, qint64 timeoutMs);
    // Every byte 0xFF: by default each page written with 0xFF.
    virtual Result erase(qint64 timeoutMs);
    // Where a stopped write or erase ended: the spans before this address are written.
    uint32_t reached() const { return m_reached; }

    // The page-bounded spans that cover [start, start + length).
    QVector<ChipSpan> pagesOf(uint32_t start, uint32_t length) const;
    // The pages of the chip whose bytes in old and wanted differ (both the chip's size).
    QVector<ChipSpan> changedPages(const QByteArray &old, const QByteArray &wanted) const;

protected:
    // The most bytes one read command may take from address on.
    virtual uint32_t readChunkAt(uint32_t address) const = 0;
    // One read command: count bytes from address into data.
    virtual bool readChunk(uint32_t address, int count, QByteArray &data) = 0;
    // One page write of bytes at address, the write cycle waited for.
    virtual Result writePage(uint32_t address, const QByteArray &bytes, qint64 timeoutMs) = 0;
    // Around a run of page writes (93xx: EWEN before, EWDS after).
    virtual Result beginWrites() { return Done; }
    virtual Result endWrites() { return Done; }
    // Polls until poll() says the write cycle ended (1) or the programmer stopped answering
    // (-1); 0 is a refusal (busy). TimedOut once timeoutMs has passed and as many polls as
    // fit in it were refused.
    static Result waitWriteCycle(qint64 timeoutMs, const std::function<int()> &poll);

    EepromPart m_part;
    ChipProgress &m_progress;
    uint32_t m_reached = 0;
};
