// A cycle-counter clock for timing short calls. Reading the CPU's time-stamp
// counter costs a few nanoseconds where clock_gettime costs 20-30 ns on a
// virtual machine, and a call that is timed twice pays that twice.
//
// The counter is used only where the kernel keeps its own monotonic clock on
// it (then it is invariant and agrees across CPUs), and only for intervals:
// ticks become seconds at a rate measured against CLOCK_MONOTONIC, the
// source of time.monotonic(). Until that rate is known (about a tenth of a
// second after the first use) and everywhere else, ready() is false and the
// caller reads the monotonic clock as before.
#pragma once
#include <cstdint>

#if defined(__x86_64__) && defined(__linux__)
#include <x86intrin.h>
#define CORVID_HAVE_TICKS 1
#endif

namespace corvid::ticks {

// Whether counter readings can be turned into seconds now. The first calls
// decide whether the counter is usable at all and take the rate; afterwards
// this is one load and a compare. Call it with the GIL held.
bool advance() noexcept;
extern bool g_ready, g_unusable;
inline bool ready() noexcept { return g_ready || (!g_unusable && advance()); }

inline uint64_t now() noexcept {
#ifdef CORVID_HAVE_TICKS
    return __rdtsc();
#else
    return 0;
#endif
}

// Seconds between two readings taken while ready() was true.
double seconds(uint64_t from, uint64_t to) noexcept;

// A reading as monotonic-clock nanoseconds, for mixing it with a reading of
// that clock.
int64_t to_monotonic_ns(uint64_t tick) noexcept;

}  // namespace corvid::ticks
