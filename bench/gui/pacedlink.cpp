#include "pacedlink.h"

#include <thread>

namespace {
// Sleeping for less than this is not worth a system call.
constexpr std::chrono::microseconds kSmallestSleep(500);
} // namespace

PacedLink::PacedLink(std::unique_ptr<emu::EmulatedLink> inner, double speedup)
    : ForwardingLink(std::move(inner))
    , m_speedup(speedup)
{
}

ch341::UsbResult PacedLink::controlIn(uint8_t request, uint16_t value, uint16_t index,
                                      uint8_t *data, std::size_t length, std::size_t &transferred)
{
    const ch341::UsbResult result =
        ForwardingLink::controlIn(request, value, index, data, length, transferred);
    keepPace();
    return result;
}

ch341::UsbResult PacedLink::exchange(const ch341::OutTransfers &out,
                                     const std::vector<std::size_t> &inLengths,
                                     std::vector<uint8_t> &in)
{
    const ch341::UsbResult result = ForwardingLink::exchange(out, inLengths, in);
    keepPace();
    return result;
}

void PacedLink::sleepMs(uint32_t milliseconds)
{
    ForwardingLink::sleepMs(milliseconds);
    keepPace();
}

// Sleeps until real time has caught up with the virtual time, scaled.
void PacedLink::keepPace()
{
    const auto now = std::chrono::steady_clock::now();
    const uint64_t virtualNs = emulated().clock().nowNs();
    if (!m_started) {
        m_started = true;
        m_realStart = now;
        m_virtualStartNs = virtualNs;
        return;
    }
    const auto due = m_realStart + std::chrono::nanoseconds(
                                       uint64_t(double(virtualNs - m_virtualStartNs) / m_speedup));
    if (due - now >= kSmallestSleep)
        std::this_thread::sleep_for(due - now);
}
