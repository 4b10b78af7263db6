#pragma once

// Eeprom25xx: a 25xx SPI EEPROM chosen by name: presence, status and its BP1:BP0 protection,
// reads in chunks, and page writes (WREN before each, never across a page boundary, the write
// cycle polled by WIP up to a deadline). No erase exists: erasing writes 0xFF. It reports by
// return values and a ChipProgress only. Worker thread.

#include "programmer/chips/eeprom/eeprompart.h"
#include "programmer/chips/updateplan.h"

#include <QByteArray>
#include <QVector>

#include <cstdint>

class ChipProgress;
class SpiTransport;

class Eeprom25xx
{
public:
    enum Result {
        Done = 1,
        Differs = 0,         // a read given what to expect found another byte
        TransferFailed = -1, // the programmer stopped answering
        TimedOut = -3,       // WIP stayed set past the deadline
        Stopped = -4,        // asked to stop: every span before reached() is written
    };
    enum class Presence { Answers, Silent, TransferFailed };
    static constexpr uint8_t kBlockProtectBits = 0x0C; // BP1:BP0
    static constexpr uint8_t kWpen = 0x80;

    Eeprom25xx(SpiTransport &bus, const EepromPart &part, ChipProgress &progress);

    // A status of 0xFF (MISO floating) or 0x00 (held low) may still be a chip with nothing
    // set: such a chip shows WEL after WREN and loses it after WRDI, a missing one cannot.
    Presence presence();
    bool readStatus(uint8_t &status);
    // Writes BP1:BP0 to 0, keeping WPEN. TimedOut, TransferFailed, Done; Differs when the bits
    // stay (WPEN with the WP# pin low). status: the status read after it.
    Result clearProtection(uint8_t &status);

    // Reads spans in chunks into result (the chip's contents, indexed by address); with
    // expected, stops at the first chunk that differs from it (Differs).
    Result read(const QVector<ChipSpan> &spans, int chunk, QByteArray &result,
                const QByteArray *expected = nullptr);
    // Writes each span of wanted (indexed by address), each inside one page, with the cycle
    // polled after it.
    Result write(const QVector<ChipSpan> &spans, const QByteArray &wanted, qint64 timeoutMs);
    // Where a stopped write ended: the spans before this address are written.
    uint32_t reached() const { return m_reached; }

    // The page-bounded spans that cover [start, start + length).
    QVector<ChipSpan> pagesOf(uint32_t start, uint32_t length) const;
    // The pages of the chip whose bytes in old and wanted differ (both the chip's size).
    QVector<ChipSpan> changedPages(const QByteArray &old, const QByteArray &wanted) const;

private:
    QByteArray header(uint8_t opcode, uint32_t address) const;
    Result waitWhileWriting(qint64 timeoutMs);

    SpiTransport &m_bus;
    EepromPart m_part;
    ChipProgress &m_progress;
    uint32_t m_reached = 0;
};
