// Preloaded into flashrom only: its monotonic clock reads and its sleeps run
// on the bus model's virtual time instead of the machine's, so that the time
// it waits on the host between transfers counts in the modelled time.
// A sleep advances the virtual clock by its length; a clock read that follows
// another with no USB request between them (a busy wait) advances it by 1 us.
// Reads from libraries (libusb's own timeouts) see the machine's clock.

#include "hostclock.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace {

constexpr uint64_t kBusyWaitStepNs = 1000;

using ClockGettime = int (*)(clockid_t, timespec *);

// A preloaded library has no object to keep its state in: it is set up once,
// before flashrom's main, and flashrom is single-threaded.
SharedHostClock *g_clock = nullptr;
ClockGettime g_realClockGettime = nullptr;
uintptr_t g_programStart = 0;
uintptr_t g_programEnd = 0;
uint64_t g_requestsAtLastRead = ~uint64_t(0);
timespec g_base{};

template<typename Function> Function Next(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int FindProgram(dl_phdr_info *info, size_t, void *)
{
    // The first object is the program itself.
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr) &header = info->dlpi_phdr[i];
        if (header.p_type == PT_LOAD && (header.p_flags & PF_X)) {
            g_programStart = info->dlpi_addr + header.p_vaddr;
            g_programEnd = g_programStart + header.p_memsz;
        }
    }
    return 1;
}

__attribute__((constructor)) void Attach()
{
    g_realClockGettime = Next<ClockGettime>("clock_gettime");
    // The virtual clock counts from the machine's time at start.
    g_realClockGettime(CLOCK_MONOTONIC, &g_base);
    dl_iterate_phdr(FindProgram, nullptr);
    const char *path = getenv(kHostClockVariable);
    if (!path)
        return;
    const int file = open(path, O_RDWR);
    if (file < 0)
        return;
    void *mapped =
        mmap(nullptr, sizeof(SharedHostClock), PROT_READ | PROT_WRITE, MAP_SHARED, file, 0);
    close(file);
    if (mapped != MAP_FAILED)
        g_clock = static_cast<SharedHostClock *>(mapped);
}

bool FromProgram(const void *caller)
{
    const auto address = reinterpret_cast<uintptr_t>(caller);
    return g_clock && address >= g_programStart && address < g_programEnd;
}

bool IsMonotonic(clockid_t clock)
{
    return clock == CLOCK_MONOTONIC || clock == CLOCK_MONOTONIC_RAW;
}

uint64_t Ns(const timespec &time)
{
    return uint64_t(time.tv_sec) * 1000000000u + uint64_t(time.tv_nsec);
}

bool Valid(const timespec *time)
{
    return time && time->tv_sec >= 0 && time->tv_nsec >= 0 && time->tv_nsec < 1000000000;
}

} // namespace

extern "C" {

int clock_gettime(clockid_t clock, timespec *time)
{
    if (!IsMonotonic(clock) || !FromProgram(__builtin_return_address(0)))
        return (g_realClockGettime ? g_realClockGettime
                                   : Next<ClockGettime>("clock_gettime"))(clock, time);
    const uint64_t requests = g_clock->requests.load();
    if (requests == g_requestsAtLastRead)
        g_clock->nowNs.fetch_add(kBusyWaitStepNs);
    g_requestsAtLastRead = requests;
    const uint64_t now = Ns(g_base) + g_clock->nowNs.load();
    time->tv_sec = time_t(now / 1000000000u);
    time->tv_nsec = long(now % 1000000000u);
    return 0;
}

int nanosleep(const timespec *length, timespec *remaining)
{
    if (!FromProgram(__builtin_return_address(0)))
        return Next<int (*)(const timespec *, timespec *)>("nanosleep")(length, remaining);
    if (!Valid(length)) {
        errno = EINVAL;
        return -1;
    }
    g_clock->nowNs.fetch_add(Ns(*length));
    return 0;
}

int usleep(useconds_t microseconds)
{
    if (!FromProgram(__builtin_return_address(0)))
        return Next<int (*)(useconds_t)>("usleep")(microseconds);
    g_clock->nowNs.fetch_add(uint64_t(microseconds) * 1000u);
    return 0;
}

int clock_nanosleep(clockid_t clock, int flags, const timespec *length, timespec *remaining)
{
    if (!FromProgram(__builtin_return_address(0)) || (flags & TIMER_ABSTIME))
        return Next<int (*)(clockid_t, int, const timespec *, timespec *)>("clock_nanosleep")(
            clock, flags, length, remaining);
    if (!Valid(length))
        return EINVAL;
    g_clock->nowNs.fetch_add(Ns(*length));
    return 0;
}

} // extern "C"
