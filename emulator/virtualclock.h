#pragma once

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
    static constexpr uint64_t kFrameNs = kNsPerMs;

    uint64_t nowNs() const { return m_nowNs; }
    void advanceNs(uint64_t ns) { m_nowNs += ns; }
    // Moves to the next frame boundary, always strictly later than now.
    void advanceToNextFrame();

private:
    uint64_t m_nowNs = 0;
};

} // namespace emu
