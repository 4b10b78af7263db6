#include "pacedlink.h"

#include <thread>

namespace emu {

namespace {
// Sleeping for less than this is not worth a system call.
constexpr std::chrono::microseconds kSmallestSleep(500);
// Further behind than this (the host was idle between jobs, or busy), the
// pace starts afresh rather than racing to catch up.
constexpr std::chrono::milliseconds kLargestLag(20);
} // namespace

PacedLink::PacedLink(std::unique_ptr<EmulatedLink> inner, double speedup, HostProfile host)
    : m_inner(std::move(inner))
    , m_speedup(speedup)
{
    m_inner->clock().setHostProfile(host);
    restartPace();
}

ch341::UsbResult PacedLink::open(ch341::BridgeChoice choice, ch341::OpenedBridge &opened)
{
    restartPace();
    return m_inner->open(choice, opened);
}

ch341::UsbResult PacedLink::controlIn(uint8_t request, uint16_t value, uint16_t index,
                                      uint8_t *data, std::size_t length, std::size_t &transferred)
{
    const ch341::UsbResult result =
        m_inner->controlIn(request, value, index, data, length, transferred);
    keepPace();
    return result;
}

ch341::UsbResult PacedLink::exchange(const ch341::OutTransfers &out,
                                     const std::vector<std::size_t> &inLengths,
                                     std::vector<uint8_t> &in)
{
    const ch341::UsbResult result = m_inner->exchange(out, inLengths, in);
    keepPace();
    return result;
}

void PacedLink::sleepMs(uint32_t milliseconds)
{
    m_inner->sleepMs(milliseconds);
    keepPace();
}

void PacedLink::keepPace()
{
    const auto now = std::chrono::steady_clock::now();
    const uint64_t virtualNs = m_inner->clock().nowNs() - m_virtualStartNs;
    const auto due = m_realStart + std::chrono::nanoseconds(uint64_t(virtualNs / m_speedup));
    if (now - due > kLargestLag)
        restartPace();
    else if (due - now >= kSmallestSleep)
        std::this_thread::sleep_for(due - now);
}

void PacedLink::restartPace()
{
    m_realStart = std::chrono::steady_clock::now();
    m_virtualStartNs = m_inner->clock().nowNs();
}

} // namespace emu
