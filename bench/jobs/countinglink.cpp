#include "countinglink.h"

#include <algorithm>
#include <ctime>

namespace {

constexpr uint64_t kTimedExchangeStride = 32;

// Byte 0 of a CH341A OUT packet that streams SPI data.
constexpr uint8_t kCmdSpiStream = 0xA8;
// Byte 0 of a CH347 frame that clocks SPI bytes: out and in, in, out.
constexpr uint8_t kCh347SpiCommands[] = {0xC2, 0xC3, 0xC4};

bool carriesSpiPacket(const ch341::OutTransfers &out, ch341::BridgeKind bridge)
{
    for (const std::vector<uint8_t> &transfer : out) {
        if (bridge == ch341::BridgeKind::Ch347) {
            if (std::find(std::begin(kCh347SpiCommands), std::end(kCh347SpiCommands),
                          transfer.front()) != std::end(kCh347SpiCommands))
                return true;
            continue;
        }
        for (std::size_t start = 0; start < transfer.size(); start += ch341::kPacketSize) {
            if (transfer[start] == kCmdSpiStream)
                return true;
        }
    }
    return false;
}

// What one read of the thread's CPU clock costs (a system call, some microseconds on a
// virtual machine); a timed exchange holds about one, which is not the emulator's.
uint64_t clockReadNs()
{
    static const uint64_t perRead = [] {
        constexpr uint64_t kReads = 1000;
        const uint64_t start = threadCpuNs();
        for (uint64_t i = 0; i < kReads; ++i)
            threadCpuNs();
        return (threadCpuNs() - start) / kReads;
    }();
    return perRead;
}

} // namespace

uint64_t cpuClockNs(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return uint64_t(now.tv_sec) * 1000000000u + uint64_t(now.tv_nsec);
}

uint64_t processCpuNs()
{
    return cpuClockNs(CLOCK_PROCESS_CPUTIME_ID);
}

uint64_t threadCpuNs()
{
    return cpuClockNs(CLOCK_THREAD_CPUTIME_ID);
}

CountingLink::CountingLink(std::unique_ptr<emu::EmulatedLink> inner)
    : ForwardingLink(std::move(inner))
{
}

void CountingLink::resetCounts()
{
    m_counts = Counts();
    m_exchanges = 0;
    emulated().resetCounters();
}

ch341::UsbResult CountingLink::exchange(const ch341::OutTransfers &out,
                                        const std::vector<std::size_t> &inLengths,
                                        std::vector<uint8_t> &in)
{
    if (carriesSpiPacket(out, emulated().bridgeKind()))
        ++m_counts.streamExchanges;
    else
        ++m_counts.otherExchanges;
    for (const std::vector<uint8_t> &transfer : out)
        m_counts.largestOut = std::max<uint64_t>(m_counts.largestOut, transfer.size());
    // Timing every exchange would cost more than many of them: every 32nd stands for 32.
    if (m_exchanges++ % kTimedExchangeStride != 0)
        return ForwardingLink::exchange(out, inLengths, in);
    const uint64_t start = threadCpuNs();
    const ch341::UsbResult result = ForwardingLink::exchange(out, inLengths, in);
    const uint64_t spent = threadCpuNs() - start;
    m_counts.emulatorNs += (spent - std::min(spent, clockReadNs())) * kTimedExchangeStride;
    return result;
}
