#pragma once

// PacedLink: an emulated programmer whose virtual time is held to real time,
// sped up by a chosen factor, so that a job streams its signals at the pace
// a real bridge would, only faster. Runs on the job's thread.

#include "bench/common/forwardinglink.h"

#include <chrono>
#include <cstdint>
#include <memory>

class PacedLink : public ForwardingLink
{
public:
    PacedLink(std::unique_ptr<emu::EmulatedLink> inner, double speedup);

    ch341::UsbResult controlIn(uint8_t request, uint16_t value, uint16_t index, uint8_t *data,
                               std::size_t length, std::size_t &transferred) override;
    ch341::UsbResult exchange(const ch341::OutTransfers &out,
                              const std::vector<std::size_t> &inLengths,
                              std::vector<uint8_t> &in) override;
    void sleepMs(uint32_t milliseconds) override;

private:
    void keepPace();

    double m_speedup;
    bool m_started = false;
    std::chrono::steady_clock::time_point m_realStart;
    uint64_t m_virtualStartNs = 0;
};
