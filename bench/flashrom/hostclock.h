#pragma once

// The host's clock as flashrom sees it during the benchmark: a file both
// processes map, holding the virtual nanoseconds of the bus model. The
// benchmark moves it with the USB traffic; flashrom's waits move it too.

#include <atomic>
#include <cstdint>

struct SharedHostClock
{
    std::atomic<uint64_t> nowNs{0};
    // USB requests answered so far: a clock read with none since the last
    // one is part of a busy wait.
    std::atomic<uint64_t> requests{0};
};

// The environment variable naming the mapped file.
constexpr const char *kHostClockVariable = "VARNOCK_HOST_CLOCK";
