#include "chipmodel.h"

namespace emu {

namespace {

constexpr uint64_t kMs = 1000000;

// Every 24xx here: tWR 5 ms at most (AT24C02C, 24LC256, AT24CM01); the model takes the
// longest, which ACK polling must wait out.
ChipModel i2cEeprom(const char *name, uint32_t size, uint32_t page, uint8_t addressBytes,
                    uint8_t blockBits)
{
    ChipModel model;
    model.name = name;
    model.bus = SocketBus::I2c;
    model.sizeBytes = size;
    model.pageSize = page;
    model.i2cAddressBytes = addressBytes;
    model.i2cBlockBits = blockBits;
    model.writeCycleNs = 5 * kMs;
    return model;
}

// 93Cxx (5 V parts): tWC 2 ms a word, ERAL tEC 6 ms, WRAL tWL 15 ms. Address bits of an
// instruction: x8 organisation one more than x16.
ChipModel microwireEeprom(const char *name, uint32_t size, uint8_t wordBits,
                          uint8_t x16AddressBits)
{
    ChipModel model;
    model.name = std::string(name) + (wordBits == 8 ? "-x8" : "-x16");
    model.bus = SocketBus::Microwire;
    model.sizeBytes = size;
    model.pageSize = wordBits / 8;
    model.microwireWordBits = wordBits;
    model.microwireAddressBits = uint8_t(x16AddressBits + (wordBits == 8 ? 1 : 0));
    model.writeCycleNs = 2 * kMs;
    model.eraseAllNs = 6 * kMs;
    model.writeAllNs = 15 * kMs;
    return model;
}

} // namespace

// AT24C02: 256 bytes, one word address byte, 8-byte pages, device address 1010 A2 A1 A0.
ChipModel eeprom24c02()
{
    return i2cEeprom("24C02", 256, 8, 1, 0);
}

// 24C16: 2 KiB, 16-byte pages; a10-a8 in the device address byte (1010 a10 a9 a8).
ChipModel eeprom24c16()
{
    return i2cEeprom("24C16", 2048, 16, 1, 0x0E);
}

// 24C256: 32 KiB, two word address bytes (most significant first), 64-byte pages.
ChipModel eeprom24c256()
{
    return i2cEeprom("24C256", 32768, 64, 2, 0);
}

// AT24CM01 / M24M01 (24C1024): 128 KiB, 256-byte pages, two word address bytes and a16 in the
// device address byte (1010 A2 A1 a16).
ChipModel eeprom24c1024()
{
    return i2cEeprom("24C1024", 131072, 256, 2, 0x02);
}

// 93C46: 1 Kbit; x8 128 words of 7 address bits, x16 64 words of 6.
ChipModel eeprom93c46(uint8_t wordBits)
{
    return microwireEeprom("93C46", 128, wordBits, 6);
}

// 93C66: 4 Kbit; x8 512 words of 9 address bits, x16 256 words of 8.
ChipModel eeprom93c66(uint8_t wordBits)
{
    return microwireEeprom("93C66", 512, wordBits, 8);
}

// 93C86: 16 Kbit; x8 2048 words of 11 address bits, x16 1024 words of 10.
ChipModel eeprom93c86(uint8_t wordBits)
{
    return microwireEeprom("93C86", 2048, wordBits, 10);
}

} // namespace emu
