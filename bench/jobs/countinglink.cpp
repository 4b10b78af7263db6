#include "countinglink.h"

#include <algorithm>
#include <ctime>

namespace {

// Byte 0 of an OUT packet that streams SPI data.
constexpr uint8_t kCmdSpiStream = 0xA8;

bool carriesSpiPacket(const std::vector<uint8_t> &out)
{
    for (std::size_t start = 0; start < out.size(); start += ch341::kPacketSize) {
        if (out[start] == kCmdSpiStream)
            return true;
    }
    return false;
}

} // namespace

uint64_t processCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

CountingLink::CountingLink(std::unique_ptr<emu::EmulatedLink> inner)
    : ForwardingLink(std::move(inner))
{
}

void CountingLink::resetCounts()
{
    m_counts = Counts();
    emulated().resetCounters();
}

ch341::UsbResult CountingLink::exchange(const std::vector<uint8_t> &out,
                                        const std::vector<std::size_t> &inLengths,
                                        std::vector<uint8_t> &in)
{
    if (carriesSpiPacket(out))
        ++m_counts.streamExchanges;
    else
        ++m_counts.otherExchanges;
    m_counts.largestOut = std::max<uint64_t>(m_counts.largestOut, out.size());
    return ForwardingLink::exchange(out, inLengths, in);
}
