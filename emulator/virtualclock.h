#pragma once

#include "buscost.h"

#include <cstdint>

namespace emu {

// Virtual time of an emulated programmer, in nanoseconds; it only moves when
// the traffic or a test moves it, and never sleeps.
class VirtualClock
{
public:
    static constexpr uint64_t kNsPerMs = 1000000;
    static constexpr uint64_t kNsPerUs = 1000;
    // USB full speed schedules transfers in 1 ms frames.
    static constexpr uint64_t kFrameNs = bus::kFrameNs;

    uint64_t nowNs() const { return m_nowNs; }
    void advanceNs(uint64_t ns) { m_nowNs += ns; }
    // Moves to where the host starts its next blocking exchange, always
    // strictly later than now.
    void advanceToExchangeStart() { m_nowNs = bus::exchangeStartNs(m_profile, m_nowNs); }

    HostProfile hostProfile() const { return m_profile; }
    void setHostProfile(HostProfile profile) { m_profile = profile; }

private:
    uint64_t m_nowNs = 0;
    HostProfile m_profile = HostProfile::Frame;
};

} // namespace emu
