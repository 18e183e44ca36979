// The lock that keeps output lines whole.
#pragma once
#include "serve/common.hpp"

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace corvid::serve {

// A non-reentrant lock with the interface of threading.Lock (acquire with
// blocking/timeout, release from any thread, locked, context manager). Its
// uncontended acquire and release are one atomic operation each, so taking
// it once per streamed token costs next to nothing; a contended acquire
// waits without the GIL and stays interruptible by signals.
class LineLock {
public:
    bool try_acquire() noexcept;
    // Called with the GIL held.
    bool acquire(bool blocking, double timeout);
    void release();
    bool locked() const noexcept { return held_.load(); }

private:
    bool wait_for_release(double timeout);

    std::atomic<bool> held_{false};
    std::atomic<int> waiters_{0};
    std::mutex mutex_;
    std::condition_variable released_;
};

// `lock` as a LineLock when it is one (nullptr otherwise).
LineLock *as_line_lock(nb::handle lock) noexcept;

void register_emit_lock(nb::module_ &m);

}  // namespace corvid::serve
