#pragma once

// Eeprom24xx: a 24xx I2C EEPROM chosen by name, its address pins tied low (1010 A2 A1 A0 =
// 1010 000). The word address goes in one or two bytes after the device address; the bits
// above them (block select) ride in the device address; the original 24C01 has no device
// address and takes its 7-bit word address in the first byte. Reads never run across a block,
// page writes never across a page, and the write cycle is waited for by polling the device
// address until it acknowledges, up to a deadline. Worker thread.

#include "programmer/chips/eeprom/eepromunit.h"
#include "programmer/chips/eeprom/polltrain.h"

class I2cTransport;

class Eeprom24xx : public EepromUnit
{
public:
    Eeprom24xx(I2cTransport &bus, const EepromPart &part, ChipProgress &progress);

    // The device address acknowledged. A part still in a write cycle refuses it for a few
    // milliseconds: it is asked again until that time has passed.
    Presence presence() override;

protected:
    uint32_t readChunkAt(uint32_t address) const override;
    bool readChunk(uint32_t address, int count, QByteArray &data) override;
    Result writePage(uint32_t address, const QByteArray &bytes, qint64 timeoutMs) override;

private:
    // The first byte of a transaction (R/W 0) and the word address bytes after it.
    QByteArray header(uint32_t address) const;
    // The bytes one word address reaches: past them the block bits change.
    uint32_t blockSize() const;
    // Polls the device address until it acknowledges (Done) or the deadline passes.
    Result waitWhileWriting(qint64 timeoutMs);

    I2cTransport &m_bus;
    PollTrain m_polls;
};
