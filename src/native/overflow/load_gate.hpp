// The load gate: a background sampler of the own process tree's CPU, memory
// and GPU pressure, feeding a hysteresis verdict that the offload gate reads
// on every wrapped call.
#pragma once
#include <atomic>
#include <initializer_list>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "overflow/common.hpp"

namespace corvid::overflow {

// _reduce_gpu_pressure(devices): true only when every device record is fully
// attributed, nearly full and mostly held by other processes.
bool reduce_gpu_pressure(nb::handle devices);

// C++ state of a _LoadGate instance. Every field is also a Python attribute of
// the same name with a leading underscore (gate._overloaded, ...).
struct LoadGate {
    nb::object clock, sample_source, on_sample;
    double sample_interval = 0.25;
    long long n_on = 4, n_off = 4;
    double cpu_on = 90.0, cpu_off = 70.0, mem_on = 90.0, mem_off = 80.0;

    // The verdict: written by the gate thread, read by callers without a lock.
    std::atomic<bool> overloaded{false};
    std::atomic<bool> last_gpu_bad{false};
    long long on_streak = 0, off_streak = 0;

    std::atomic<bool> running{false};
    nb::object thread, proc, children, gpu_handles;
    long long ncpu = 1;
    bool gpu_ready = false, nvml_inited = false;

    // Only the loop holding the current token may step the verdict; stop()
    // revokes it so a loop left over from before a restart ends on its own.
    uint64_t loop_seq = 0, active_loop = 0;

    // Wakes a sleeping loop early when the gate stops or restarts, and lets
    // stop() see the loops leave (guarded by wake_mutex).
    std::mutex wake_mutex;
    std::condition_variable wake_cv;
    uint64_t wake_seq = 0;
    int loops_alive = 0;
    unsigned long loop_thread = 0;  // thread id of the loop that owns the token

    void step(double cpu, double mem, bool gpu_bad);
    template <typename F>
    void for_each_ref(F &&f) {
        for (nb::object *o : {&clock, &sample_source, &on_sample, &thread, &proc, &children,
                              &gpu_handles})
            f(*o);
    }
    bool gpu_pressure() const { return overloaded.load() && last_gpu_bad.load(); }
};

// Fast reads for the offload gate: straight from the C++ fields when `gate`
// is exactly a _LoadGate without an instance override of the method, else
// through the method, so a subclass or instance attribute still takes effect.
bool gate_sustained_overloaded(nb::handle gate);
bool gate_gpu_pressure(nb::handle gate);

// The _LoadGate class (held for the process).
nb::handle load_gate_type();

void register_load_gate(nb::module_ &m);

}  // namespace corvid::overflow
