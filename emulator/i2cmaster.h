#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace emu {

class I2cDevice;
class VirtualClock;

// The I2C master of a bridge's firmware: it runs the sub-commands of one I2C stream segment
// (what follows its 0xAA, up to END) on the attached device at the clock SET chose, and
// collects what the segment answers. The CH341A reports an acknowledge only for a bare OUT
// (bit 7 set: refused) and carries up to 31 bytes per OUT, 32 per IN; the CH347T answers a
// status for every byte sent (01h acknowledged, 00h refused) and carries up to 63. Runs on
// the thread that drives the emulated link.
class I2cMaster
{
public:
    enum class Dialect { Ch341, Ch347 };

    I2cMaster(VirtualClock &clock, Dialect dialect);

    // nullptr: nothing on the bus; SDA floats high, every byte is refused and reads 0xFF.
    void attach(I2cDevice *device) { m_device = device; }
    // Power-up: clock code 0.
    void reset() { m_mode = 0; }
    // The low nibble of the last SET (bits 1-0: the clock code).
    uint8_t mode() const { return m_mode; }

    // Runs one segment; appends what it answers to reply.
    void run(const uint8_t *data, std::size_t size, std::vector<uint8_t> &reply);

private:
    void send(uint8_t byte, bool report, std::vector<uint8_t> &reply);
    void receive(bool acknowledge, std::vector<uint8_t> &reply);
    void clocks(uint64_t count);

    VirtualClock &m_clock;
    Dialect m_dialect;
    I2cDevice *m_device = nullptr;
    uint8_t m_mode = 0;
};

} // namespace emu
