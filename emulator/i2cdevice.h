#pragma once

#include <cstdint>

namespace emu {

// What a bridge's I2C lines (SCL, SDA) reach: a 24xx EEPROM, a byte and its acknowledge
// at a time. Runs on the thread that drives the emulated programmer.
class I2cDevice
{
public:
    virtual ~I2cDevice() = default;

    // START, or a repeated START.
    virtual void start() = 0;
    virtual void stop() = 0;
    // A byte the bridge clocks out; true when the device acknowledges it (pulls SDA low
    // in the ninth clock).
    virtual bool write(uint8_t byte) = 0;
    // A byte the bridge clocks in (0xFF where nothing drives SDA); acknowledge: the bridge
    // acknowledges it, asking for more.
    virtual uint8_t read(bool acknowledge) = 0;
};

} // namespace emu
