#include "bridge/bridgedriver.h"

#include <algorithm>

namespace ch341 {

namespace {
constexpr uint8_t kPinMask = 0x3F;
} // namespace

BridgeDriver::BridgeDriver(UsbLink &link)
    : m_link(link)
{
}

void BridgeDriver::start(const OpenedBridge &opened, uint32_t spiClockKHz)
{
    // Leftovers of an aborted session would shift every later answer.
    m_link.drainIn();
    m_open = true;
    m_lost = false;
    m_failed = false;
    m_deviceName = opened.name;
    m_model = opened.model;
    m_spiClockKHz = spiClockKHz;
    m_replies.clear();
    dropPending();
    resetSession();
}

void BridgeDriver::close()
{
    if (!m_open)
        return;
    if (usable())
        flushPending();
    dropPending();
    m_replies.clear();
    m_link.close();
    m_open = false;
    m_lost = false;
    m_failed = false;
    m_deviceName.clear();
    m_model.clear();
}

const char *BridgeDriver::deviceName() const
{
    return usable() ? m_deviceName.c_str() : "";
}

const char *BridgeDriver::model() const
{
    return usable() ? m_model.c_str() : "";
}

bool BridgeDriver::setDelayMs(uint32_t milliseconds)
{
    if (m_lost || m_failed || (m_open && !flushPending()))
        return false;
    m_link.sleepMs(milliseconds);
    return true;
}

bool BridgeDriver::releasesAfterFailure(uint32_t directions) const
{
    return m_open && !m_lost && m_failed && (directions & kPinMask) == 0;
}

bool BridgeDriver::takeAnswers(uint32_t length, uint8_t *buffer)
{
    const bool complete = usable() && flushPending() && m_replies.size() == length &&
                          (length == 0 || buffer != nullptr);
    if (complete)
        std::copy(m_replies.begin(), m_replies.end(), buffer);
    m_replies.clear();
    return complete;
}

bool BridgeDriver::acceptsI2c(const uint8_t *write, uint32_t writeLength, const uint8_t *read,
                              uint32_t readLength) const
{
    return usable() && busRefusal(EepromBus::I2c).empty() && writeLength > 0 && write != nullptr &&
           (readLength == 0 || read != nullptr);
}

bool BridgeDriver::acceptsMicrowire(const uint8_t *out, uint32_t outBits, const uint8_t *in,
                                    uint32_t inBits) const
{
    return usable() && busRefusal(EepromBus::Microwire).empty() &&
           (outBits == 0 || out != nullptr) && (inBits == 0 || in != nullptr);
}

bool BridgeDriver::succeeded(UsbResult result)
{
    if (result == UsbResult::NoDevice)
        m_lost = true;
    if (result != UsbResult::Ok)
        m_failed = true;
    return result == UsbResult::Ok;
}

} // namespace ch341
