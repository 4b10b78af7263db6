#include "countinglink.h"

#include <algorithm>
#include <ctime>

namespace {

// Byte 0 of an OUT packet that streams SPI data.
constexpr uint8_t kCmdSpiStream = 0xA8;

bool carriesSpiPacket(const ch341::OutTransfers &out)
{
    for (const std::vector<uint8_t> &transfer : out) {
        for (std::size_t start = 0; start < transfer.size(); start += ch341::kPacketSize) {
            if (transfer[start] == kCmdSpiStream)
                return true;
        }
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

ch341::UsbResult CountingLink::exchange(const ch341::OutTransfers &out,
                                        const std::vector<std::size_t> &inLengths,
                                        std::vector<uint8_t> &in)
{
    if (carriesSpiPacket(out))
        ++m_counts.streamExchanges;
    else
        ++m_counts.otherExchanges;
    for (const std::vector<uint8_t> &transfer : out)
        m_counts.largestOut = std::max<uint64_t>(m_counts.largestOut, transfer.size());
    return ForwardingLink::exchange(out, inLengths, in);
}
