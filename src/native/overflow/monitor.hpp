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
    // Memo of plain_monitor(): valid while the global watch epoch, the
    // instance dict and the class's version tag are those it was made with.
    uint64_t checked_epoch = 0;
    PyObject *checked_dict = nullptr;  // identity only, never dereferenced
    unsigned int checked_type_tag = 0;
    bool plain = false;
    // The fields every dispatched call reads, borrowed from the instance dict
    // (null: absent). Valid while the field epoch and the dict are those they
    // were read with: the dict watcher moves the epoch before any of these
    // keys changes, so a borrowed value is never read after its release.
    uint64_t fields_epoch = 0;
    PyObject *fields_dict = nullptr;  // identity only
    PyObject *fields[5] = {};
};

void register_monitor(nb::module_ &m);

// The _OverflowMonitor type (borrowed; the module keeps it alive).
PyTypeObject *monitor_type();

// The C++ core of `mon` when it is exactly an _OverflowMonitor (not a
// subclass), else null: callers then go through attribute look-up.
// Monitors are only ever created from Python, so the core always sits at the
// same offset inside the object; it is measured once at import.
extern PyTypeObject *g_monitor_type;
extern Py_ssize_t g_core_offset;
inline MonitorCore *exact_monitor(PyObject *mon) noexcept {
    if (Py_TYPE(mon) != g_monitor_type) return nullptr;
    return reinterpret_cast<MonitorCore *>(reinterpret_cast<char *>(mon) + g_core_offset);
}

// True when `mon` is exactly _OverflowMonitor, its class still holds the
// module's own hot-path methods, and its instance dict replaces none of them:
// C++ may then call those methods directly and read fields from the dict.
// Memoised; the memo is dropped whenever a monitor's instance dict gains or
// loses a key, a memo map is replaced or changed, or the class is modified.
bool plain_monitor(PyObject *mon);

// Changes whenever something plain_monitor() or a wrapper's cached verdict
// depends on may have changed (never 0).
extern uint64_t g_watch_epoch;
inline uint64_t watch_epoch() noexcept { return g_watch_epoch; }
// False where the interpreter offers no dict watchers: nothing may be memoised then.
bool watch_enabled() noexcept;

// plain_monitor() when its memo is still valid; false means "ask plain_monitor".
inline bool plain_monitor_memo(PyObject *mon, MonitorCore *core) noexcept {
    Py_ssize_t off = Py_TYPE(mon)->tp_dictoffset;
    PyObject *d = off > 0 ? *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(mon) + off)
                          : nullptr;
    return core->plain && core->checked_epoch == g_watch_epoch && core->checked_dict == d &&
           d != nullptr && Py_TYPE(mon)->tp_version_tag != 0 &&
           core->checked_type_tag == Py_TYPE(mon)->tp_version_tag;
}

// Declares a hot-path method: `fn` is what the class holds under `name`
// when nothing has replaced it (both borrowed; the class keeps them).
void register_hot_method(PyObject *name, PyObject *fn);

// monitor._running as a C++ bool, for any monitor-like object.
bool monitor_running(PyObject *mon);
void set_monitor_running(nb::handle mon, bool value);
bool monitor_forward_open(PyObject *mon);
void set_monitor_forward_open(nb::handle mon, bool value);

// The callable registered with atexit for `mon` (a bound method object that
// compares equal for the same monitor, so the registration can be withdrawn).
nb::object exit_handler(nb::handle mon);

// monitor.<name> for a data field: straight from the instance dictionary
// when the monitor is exactly _OverflowMonitor (no class attribute shadows a
// data field), else the ordinary attribute look-up.
nb::object monitor_field(nb::handle mon, PyObject *name);

// The monitor's clock, read as float seconds.
double monitor_now(nb::handle mon);

}  // namespace corvid::overflow
