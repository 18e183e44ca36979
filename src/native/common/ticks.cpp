#include "common/ticks.hpp"

#include <cstdio>
#include <cstring>
#include <ctime>

namespace corvid::ticks {

bool g_ready = false;
bool g_unusable = false;  // decided for good: the monotonic clock is read instead

namespace {

enum class State { unknown, calibrating, ready, unusable };

State g_state = State::unknown;
// A pair of readings taken together: counter and monotonic nanoseconds.
uint64_t g_anchor_tick = 0;
int64_t g_anchor_ns = 0;
double g_ns_per_tick = 0.0;
double g_seconds_per_tick = 0.0;
// The rate is measured over at least this long, which bounds its error by
// the few microseconds a pair of readings can straddle.
constexpr int64_t kCalibrationNs = 100'000'000;
// A pair whose two counter readings lie further apart than this was
// interrupted and is taken again.
constexpr uint64_t kPairTicks = 20'000;
// The counter reading before which the next calibration try cannot have
// seen enough time pass: the span of the last try, doubled.
uint64_t g_next_try = 0;

int64_t monotonic_ns() noexcept {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// One counter reading and one clock reading taken as close together as the
// machine allows; false when every try was interrupted.
bool read_pair(uint64_t &tick, int64_t &ns) noexcept {
    for (int attempt = 0; attempt < 8; ++attempt) {
        uint64_t before = now();
        int64_t clock = monotonic_ns();
        uint64_t after = now();
        if (after >= before && after - before <= kPairTicks) {
            tick = before + (after - before) / 2;
            ns = clock;
            return true;
        }
    }
    return false;
}

bool kernel_uses_counter() noexcept {
#ifdef CORVID_HAVE_TICKS
    std::FILE *f = std::fopen("/sys/devices/system/clocksource/clocksource0/current_clocksource", "r");
    if (!f) return false;
    char name[32] = {};
    bool tsc = std::fgets(name, sizeof name, f) && std::strcmp(name, "tsc\n") == 0;
    std::fclose(f);
    return tsc;
#else
    return false;
#endif
}

}  // namespace

bool advance() noexcept {
    if (g_state == State::unknown) {
        if (!kernel_uses_counter() || !read_pair(g_anchor_tick, g_anchor_ns)) {
            g_state = State::unusable;
            g_unusable = true;
            return false;
        }
        g_state = State::calibrating;
        g_next_try = g_anchor_tick;
        return false;
    }
    if (g_state != State::calibrating || now() < g_next_try) return false;
    uint64_t tick;
    int64_t ns;
    if (!read_pair(tick, ns)) return false;
    if (tick <= g_anchor_tick || ns < g_anchor_ns) {  // a counter that went backwards is not one to trust
        g_state = State::unusable;
        g_unusable = true;
        return false;
    }
    if (ns - g_anchor_ns < kCalibrationNs) {
        g_next_try = tick + (tick - g_anchor_tick);
        return false;
    }
    g_ns_per_tick = static_cast<double>(ns - g_anchor_ns) / static_cast<double>(tick - g_anchor_tick);
    g_seconds_per_tick = g_ns_per_tick * 1e-9;
    g_state = State::ready;
    g_ready = true;
    return true;
}

double seconds(uint64_t from, uint64_t to) noexcept {
    // Signed, so that two readings on CPUs a few ticks apart give no
    // interval rather than a huge one.
    int64_t delta = static_cast<int64_t>(to - from);
    return delta > 0 ? static_cast<double>(delta) * g_seconds_per_tick : 0.0;
}

int64_t to_monotonic_ns(uint64_t tick) noexcept {
    return g_anchor_ns +
           static_cast<int64_t>(static_cast<double>(static_cast<int64_t>(tick - g_anchor_tick)) * g_ns_per_tick);
}

}  // namespace corvid::ticks
