#pragma once

// Eeprom93xx: a 93xx Microwire EEPROM chosen by name, in the organisation its adapter wires
// (x16: the row's address bits; x8: one more). Reads run on word after word from one READ;
// writes go a word at a time between EWEN and EWDS, each cycle polled on DO (0 busy, 1 ready)
// up to a deadline. Erasing writes every word to all ones word by word: ERAL's timing is
// specified only at 4.5-5.5 V, and CH341A boards commonly run the socket at 3.3 V.
// Worker thread.

#include "programmer/chips/eeprom/eepromunit.h"

class MicrowireTransport;

class Eeprom93xx : public EepromUnit
{
public:
    Eeprom93xx(MicrowireTransport &bus, const EepromPart &part, ChipProgress &progress);

    // A part drives DO low for the dummy bit before a READ's data; with no part the input
    // stays pulled high.
    Presence presence() override;

protected:
    uint32_t readChunkAt(uint32_t address) const override;
    bool readChunk(uint32_t address, int count, QByteArray &data) override;
    Result writePage(uint32_t address, const QByteArray &bytes, qint64 timeoutMs) override;
    Result beginWrites() override;
    Result endWrites() override;

private:
    int addressBits() const;
    int wordBytes() const { return m_part.wordBits / 8; }
    // Start bit, opcode and address (or the two bits that choose a 00 instruction, then zeros),
    // and any data bits, most significant first.
    bool send(uint32_t opcode, uint32_t address, uint32_t data, int dataBits);
    // A READ from word on: the dummy bit and count bytes.
    bool readWords(uint32_t word, int count, bool &dummyLow, QByteArray &data);
    Result waitReady(qint64 timeoutMs);

    MicrowireTransport &m_bus;
};
