#pragma once

// CountingLink: passes every USB call to an emulated programmer and sorts the
// blocking exchanges by what they carry. Runs on the job's thread.

#include "emulator/emulatedlink.h"

#include "bridge/usblink.h"

#include <cstdint>
#include <memory>

class CountingLink : public ch341::UsbLink
{
public:
    struct Counts
    {
        uint64_t streamExchanges = 0; // carried at least one SPI packet
        uint64_t otherExchanges = 0;  // pin or mode packets alone
        uint64_t largestOut = 0;      // bytes of the largest OUT transfer
    };

    explicit CountingLink(std::unique_ptr<emu::EmulatedLink> inner);

    emu::EmulatedLink &emulated() { return *m_inner; }
    const Counts &counts() const { return m_counts; }
    void resetCounts();

    ch341::UsbResult open(std::string &deviceName) override;
    void close() override;
    void drainIn() override;
    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const std::vector<uint8_t> &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

private:
    std::unique_ptr<emu::EmulatedLink> m_inner;
    Counts m_counts;
};

// CPU time of the whole process, in nanoseconds.
uint64_t processCpuNs();
