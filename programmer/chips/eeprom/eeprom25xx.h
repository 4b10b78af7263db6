#pragma once

// Eeprom25xx: a 25xx SPI EEPROM chosen by name: presence, status and its BP1:BP0 protection,
// reads in the transport's chunks, and page writes (WREN before each, the write cycle polled by
// WIP, behind the page and then up to a deadline). No erase exists: erasing writes 0xFF. Worker
// thread.

#include "programmer/chips/eeprom/eepromunit.h"
#include "programmer/chips/eeprom/polltrain.h"

class SpiTransport;

class Eeprom25xx : public EepromUnit
{
public:
    static constexpr uint8_t kBlockProtectBits = 0x0C; // BP1:BP0
    static constexpr uint8_t kWpen = 0x80;

    Eeprom25xx(SpiTransport &bus, const EepromPart &part, ChipProgress &progress);

    // A status of 0xFF (MISO floating) or 0x00 (held low) may still be a chip with nothing
    // set: such a chip shows WEL after WREN and loses it after WRDI, a missing one cannot.
    Presence presence() override;
    bool readStatus(uint8_t &status);
    // Writes BP1:BP0 to 0, keeping WPEN. TimedOut, TransferFailed, Done; Differs when the bits
    // stay (WPEN with the WP# pin low). status: the status read after it.
    Result clearProtection(uint8_t &status);

protected:
    uint32_t readChunkAt(uint32_t address) const override;
    bool readChunk(uint32_t address, int count, QByteArray &data) override;
    Result writePage(uint32_t address, const QByteArray &bytes, qint64 timeoutMs) override;

private:
    QByteArray header(uint8_t opcode, uint32_t address) const;
    Result waitWhileWriting(qint64 timeoutMs);

    SpiTransport &m_bus;
    PollTrain m_polls;
};
