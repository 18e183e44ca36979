#include "serve/emit_lock.hpp"

#include <chrono>
#include <cmath>

namespace corvid::serve {

namespace {
using Clock = std::chrono::steady_clock;
// How long a blocked acquire sleeps between checks for pending signals.
constexpr auto kSignalCheck = std::chrono::milliseconds(50);
}  // namespace

bool LineLock::try_acquire() noexcept {
    bool expected = false;
    return held_.compare_exchange_strong(expected, true);
}

bool LineLock::acquire(bool blocking, double timeout) {
    if (!blocking && timeout != -1.0) throw nb::value_error("can't specify a timeout for a non-blocking call");
    if (timeout < 0 && timeout != -1.0) throw nb::value_error("timeout value must be a non-negative number");
    if (try_acquire()) return true;
    if (!blocking) return false;
    return wait_for_release(timeout);
}

bool LineLock::wait_for_release(double timeout) {
    const bool forever = timeout < 0;
    const auto deadline = forever ? Clock::time_point::max()
                                  : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                       std::chrono::duration<double>(timeout));
    for (;;) {
        bool got = false;
        {
            nb::gil_scoped_release no_gil;
            std::unique_lock<std::mutex> guard(mutex_);
            waiters_.fetch_add(1);
            auto until = forever ? Clock::now() + kSignalCheck : std::min(deadline, Clock::now() + kSignalCheck);
            while (!(got = try_acquire()) && released_.wait_until(guard, until) != std::cv_status::timeout) {
            }
            if (!got) got = try_acquire();
            waiters_.fetch_sub(1);
        }
        if (got) return true;
        if (PyErr_CheckSignals() < 0) throw nb::python_error();
        if (!forever && Clock::now() >= deadline) return false;
    }
}

void LineLock::release() {
    bool expected = true;
    if (!held_.compare_exchange_strong(expected, false)) {
        PyErr_SetString(PyExc_RuntimeError, "release unlocked lock");
        throw nb::python_error();
    }
    if (waiters_.load() > 0) {
        std::lock_guard<std::mutex> guard(mutex_);
        released_.notify_one();
    }
}

LineLock *as_line_lock(nb::handle lock) noexcept {
    if (!nb::isinstance<LineLock>(lock)) return nullptr;
    return nb::inst_ptr<LineLock>(lock);
}

void register_emit_lock(nb::module_ &m) {
    nb::class_<LineLock>(m, "_EmitLock", nb::is_weak_referenceable(),
                         "The lock that serialises output lines; behaves like threading.Lock.")
        .def(nb::init<>())
        .def("acquire", [](LineLock &self, nb::handle blocking, double timeout) {
            return self.acquire(truthy(blocking), timeout);
        }, nb::arg("blocking") = true, nb::arg("timeout") = -1.0,
             "Acquire the lock, waiting up to `timeout` seconds (-1: forever) when `blocking`.")
        .def("release", &LineLock::release)
        .def("locked", &LineLock::locked)
        .def("__enter__", [](LineLock &self) { return self.acquire(true, -1.0); })
        .def("__exit__", [](LineLock &self, nb::args) { self.release(); })
        .def("__repr__", [](nb::handle self) {
            const char *state = nb::inst_ptr<LineLock>(self)->locked() ? "locked" : "unlocked";
            return nb::str("<{} corvid.serve._EmitLock object at {}>")
                .format(state, nb::module_::import_("builtins").attr("hex")(reinterpret_cast<std::uintptr_t>(self.ptr())));
        });
    m.attr("_emit_lock") = nb::type<LineLock>()();
}

}  // namespace corvid::serve
