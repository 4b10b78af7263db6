#pragma once

#include <cstdint>

namespace emu {

// What a bridge's SPI lines reach in the socket: a flash chip or an SPI EEPROM, seen one
// byte at a time (most significant bit first) inside chip-select windows. Runs on the
// thread that drives the emulated programmer.
class SpiDevice
{
public:
    virtual ~SpiDevice() = default;

    // Chip select low = true. A rising edge ends the command in progress.
    virtual void setSelected(bool selected) = 0;
    virtual bool isSelected() const = 0;
    // One byte on MOSI; returns the byte the part drives on MISO (0xFF while it does not
    // drive the line).
    virtual uint8_t transfer(uint8_t mosi) = 0;
    // The SPI clock the bridge drives; 0: slow (a CH341A).
    virtual void setSpiClockKHz(uint32_t) {}
};

} // namespace emu
