#include "i2cmaster.h"

#include "buscost.h"
#include "i2cdevice.h"
#include "virtualclock.h"

namespace emu {

namespace {

constexpr uint8_t kI2cEnd = 0x00;
constexpr uint8_t kI2cDelayUs = 0x40; // + microseconds, up to 15
constexpr uint8_t kI2cDelayMs = 0x50; // + milliseconds, up to 15
constexpr uint8_t kI2cSet = 0x60;     // + mode
constexpr uint8_t kI2cStart = 0x74;
constexpr uint8_t kI2cStop = 0x75;
constexpr uint8_t kI2cOut = 0x80;
constexpr uint8_t kI2cIn = 0xC0;
constexpr uint8_t kNibble = 0x0F;
constexpr uint8_t kFloatingBus = 0xFF;

// The CH341A: bit 7 of a bare OUT's answer set when the byte was refused.
constexpr uint8_t kCh341Refused = 0x80;
constexpr uint8_t kCh341Acknowledged = 0x00;
// The CH347T: one status per byte sent.
constexpr uint8_t kCh347Acknowledged = 0x01;
constexpr uint8_t kCh347Refused = 0x00;

} // namespace

I2cMaster::I2cMaster(VirtualClock &clock, Dialect dialect)
    : m_clock(clock)
    , m_dialect(dialect)
{
}

void I2cMaster::run(const uint8_t *data, std::size_t size, std::vector<uint8_t> &reply)
{
    const bool ch347 = m_dialect == Dialect::Ch347;
    const std::size_t maxOut = ch347 ? 63 : 31;
    const std::size_t maxIn = ch347 ? 63 : 32;
    for (std::size_t i = 0; i < size && data[i] != kI2cEnd; ++i) {
        const uint8_t command = data[i];
        if (command == kI2cStart || command == kI2cStop) {
            clocks(1);
            if (m_device)
                command == kI2cStart ? m_device->start() : m_device->stop();
        } else if (command >= kI2cIn && std::size_t(command - kI2cIn) <= maxIn) {
            const std::size_t count = command - kI2cIn;
            // A bare IN reads one byte and does not acknowledge it.
            for (std::size_t n = 0; n < count; ++n)
                receive(true, reply);
            if (count == 0)
                receive(false, reply);
        } else if (command >= kI2cOut && std::size_t(command - kI2cOut) <= maxOut) {
            const std::size_t count = command - kI2cOut;
            // A bare OUT on the CH341A sends the next byte and answers its acknowledge.
            const bool bare = count == 0 && !ch347;
            const std::size_t bytes = bare ? 1 : count;
            for (std::size_t n = 0; n < bytes && i + 1 < size; ++n)
                send(data[++i], bare || ch347, reply);
        } else if ((command & ~kNibble) == kI2cSet) {
            m_mode = command & kNibble;
        } else if ((command & ~kNibble) == kI2cDelayUs) {
            m_clock.advanceNs((command & kNibble) * VirtualClock::kNsPerUs);
        } else if ((command & ~kNibble) == kI2cDelayMs) {
            m_clock.advanceNs((command & kNibble) * VirtualClock::kNsPerMs);
        }
    }
}

void I2cMaster::send(uint8_t byte, bool report, std::vector<uint8_t> &reply)
{
    clocks(bus::kI2cClocksPerByte);
    const bool acknowledged = m_device && m_device->write(byte);
    if (!report)
        return;
    if (m_dialect == Dialect::Ch347)
        reply.push_back(acknowledged ? kCh347Acknowledged : kCh347Refused);
    else
        reply.push_back(acknowledged ? kCh341Acknowledged : kCh341Refused);
}

void I2cMaster::receive(bool acknowledge, std::vector<uint8_t> &reply)
{
    clocks(bus::kI2cClocksPerByte);
    reply.push_back(m_device ? m_device->read(acknowledge) : kFloatingBus);
}

void I2cMaster::clocks(uint64_t count)
{
    m_clock.advanceNs(count * bus::i2cClockNs(m_mode));
}

} // namespace emu
