#pragma once

// CountingLink: passes every USB call to an emulated programmer, sorts the
// blocking exchanges by what they carry and times the emulator's share of the
// job's CPU. Runs on the job's thread.

#include "bench/common/forwardinglink.h"

#include <cstdint>
#include <memory>

class CountingLink : public ForwardingLink
{
public:
    struct Counts
    {
        uint64_t streamExchanges = 0; // carried at least one SPI packet
        uint64_t otherExchanges = 0;  // pin or mode packets alone
        uint64_t largestOut = 0;      // bytes of the largest OUT transfer
        // CPU time the job's thread spent inside the emulated programmer, estimated from
        // every 32nd exchange.
        uint64_t emulatorNs = 0;
    };

    explicit CountingLink(std::unique_ptr<emu::EmulatedLink> inner);

    const Counts &counts() const { return m_counts; }
    void resetCounts();

    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;

private:
    Counts m_counts;
    uint64_t m_exchanges = 0;
};

// CPU time of the whole process, and of the calling thread, in nanoseconds.
uint64_t processCpuNs();
uint64_t threadCpuNs();
