#pragma once

#include <cstdint>

#include <vector>

namespace emu {

// What an emulated bridge clocks SPI bytes through: one part in the socket (a 25-series
// flash chip, a 25xx EEPROM), seen one byte at a time, most significant bit first, inside
// chip-select windows. Runs on the thread of whoever drives the emulated programmer.
class SpiDevice
{
public:
    virtual ~SpiDevice() = default;

    // Chip select low = true. A rising edge ends the command in progress.
    virtual void setSelected(bool selected) = 0;
    virtual bool isSelected() const = 0;
    // One byte on MOSI; returns the byte the part drives on MISO (0xFF while it does not drive
    // the line).
    virtual uint8_t transfer(uint8_t mosi) = 0;
    // The SPI clock the bridge drives; 0: slow (a CH341A). Only noise models care.
    virtual void setSpiClockKHz(uint32_t kHz) { (void)kHz; }
    // The part loses power: volatile state clears, the memory stays.
    virtual void powerCycle() = 0;

    virtual std::vector<uint8_t> &memory() = 0;
    virtual const std::vector<uint8_t> &memory() const = 0;
};

} // namespace emu
