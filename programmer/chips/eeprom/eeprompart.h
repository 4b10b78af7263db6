#pragma once

// EepromPart: how a serial EEPROM of the chip list is reached, derived from its row alone (an
// EEPROM has no identifier: the operator names it). 95-series rows are 25xx SPI parts, the I2C
// rows 24xx parts by their addrtype, the Microwire rows 93xx parts by their addrbitlen.

#include "chipdb/chiprecord.h"

#include <cstdint>

enum class EepromBus { Spi, I2c, Microwire };

struct EepromPart
{
    EepromBus bus = EepromBus::Spi;
    QString vendor;
    QString name;
    uint32_t size = 0;
    // The bytes one page write may take, never more than the part's page buffer; 1 where the
    // row gives no page.
    uint32_t page = 1;
    // Word address bytes after the opcode (25xx) or the device address (24xx); 0 for 93xx and
    // for the original 24C01, whose 7-bit word address is its first byte.
    int addressBytes = 0;
    // 25xx of 4 Kbit: address bit 8 rides in bit 3 of the READ and WRITE opcodes.
    bool a8InOpcode = false;
    // 24xx: the high address bits carried in the device address (block select).
    int blockBits = 0;
    // 93xx: address bits of the x16 organisation (the row's addrbitlen).
    int addressBits = 0;
    // 93xx: the organisation the adapter wires the ORG pin for, 16 (ORG high or open, the
    // default) or 8 (ORG low: one more address bit, byte-wide words).
    int wordBits = 16;
};

// The 95-series SPI rows and every I2C and Microwire row.
bool IsEepromRow(const ChipRecord &row);
EepromPart EepromPartOf(const ChipRecord &row);
// A 93xx part named with its organisation ("M93C46-x8", "M93C46-x16"): the name without it and
// the word bits; any other name is itself, x16.
QString WithoutOrganisation(const QString &name, int &wordBits);
// The part in the organisation named (8 or 16); a 93xx's page is one word.
EepromPart InOrganisation(EepromPart part, int wordBits);
