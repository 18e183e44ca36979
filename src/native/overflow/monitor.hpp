// The monitor object: construction with every field, serialisation, start
// and stop, and the process-exit handler.
#pragma once
#include "overflow/common.hpp"

namespace corvid::overflow {

// The two flags every wrapped call reads. They live in C++ and are exposed to
// Python as the properties `_running` and `_forward_open`; every other field
// is an ordinary instance attribute.
struct MonitorCore {
    bool running = false;
    bool forward_open = false;
};

void register_monitor(nb::module_ &m);

// The _OverflowMonitor type (borrowed; the module keeps it alive).
PyTypeObject *monitor_type();

// The C++ core of `mon` when it is exactly an _OverflowMonitor (not a
// subclass), else null: callers then go through attribute look-up.
MonitorCore *exact_monitor(PyObject *mon) noexcept;

// monitor._running as a C++ bool, for any monitor-like object.
bool monitor_running(PyObject *mon);
void set_monitor_running(nb::handle mon, bool value);
bool monitor_forward_open(PyObject *mon);
void set_monitor_forward_open(nb::handle mon, bool value);

// The callable registered with atexit for `mon` (a bound method object that
// compares equal for the same monitor, so the registration can be withdrawn).
nb::object exit_handler(nb::handle mon);

// The monitor's clock, read as float seconds.
double monitor_now(nb::handle mon);

}  // namespace corvid::overflow
