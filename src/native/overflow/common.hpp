// Shared declarations of the corvid.overflow module.
#pragma once
#include <nanobind/nanobind.h>

#include <utility>

#include "common/compat.hpp"
#include "common/gil.hpp"
#include "common/log.hpp"
#include "common/methods.hpp"
#include "common/values.hpp"

namespace corvid::overflow {
namespace nb = nanobind;

inline constexpr const char *kLogger = "corvid.overflow";

// The _OverflowMonitor methods are spread over one file per concern; each
// attaches its own after register_monitor has created the class.
template <typename Func, typename... Extra>
void def_monitor_method(nb::module_ &m, const char *name, Func &&f, const Extra &...extra) {
    def_method(m.attr("_OverflowMonitor"), name, std::forward<Func>(f), extra...);
}

// The extension module itself (borrowed: the interpreter keeps it alive for
// as long as any of its code can run). Set first thing by register_wrappers.
nb::handle module_handle();
void set_module_handle(nb::handle m);

// Attribute names used on hot paths, interned once at import. Interned
// strings are shared with the interpreter's own table, so look-ups through
// them hit the cached hash and the identity fast path of dict probing.
struct HotNames {
    PyObject *running, *forward_open, *dispatch, *dispatch_inner, *executing, *should_offload,
        *record_local_time, *predict_heavy, *relaxed_heavy, *demoted, *offload_incompatible,
        *learned_heavy, *predict_cache, *relaxed_cache, *tls, *stack, *clock, *caller_globals,
        *hook_started_at, *wrap_scope, *forward_pending, *policy, *observed_seconds,
        *min_seconds, *benefit_ok, *offload_failures, *note_offload_failure, *announce_offload,
        *maybe_prewarm, *under_gpu_pressure, *cloud_execute, *action, *reason, *name,
        *qualname, *module, *doc, *wrapped, *load_gate,
        *gateway, *gateway_retry_at;
};
const HotNames &hot_names();

// obj.<name> that reports a miss as an empty object instead of raising.
inline nb::object optional_attr(nb::handle obj, PyObject *name) {
    PyObject *out = nullptr;
    if (get_optional_attr(obj.ptr(), name, &out) < 0) throw nb::python_error();
    return nb::steal(out);
}

// The instance's own attribute dictionary, or null when it has none yet.
inline PyObject *instance_dict(PyObject *obj) {
    Py_ssize_t off = Py_TYPE(obj)->tp_dictoffset;
    if (off <= 0) return nullptr;
    return *reinterpret_cast<PyObject **>(reinterpret_cast<char *>(obj) + off);
}

// True when an instance attribute of that name would shadow a class
// attribute (a method replaced on one object).
inline bool instance_overrides(PyObject *obj, PyObject *name) {
    PyObject *d = instance_dict(obj);
    if (!d) return false;
    int r = PyDict_Contains(d, name);
    if (r < 0) throw nb::python_error();
    return r == 1;
}

}  // namespace corvid::overflow

namespace corvid::overflow {

// The class attribute `name` of type(obj) as the MRO lookup finds it (borrowed,
// null when missing); no instance dict, no descriptor call.
inline PyObject *class_attr(PyObject *obj, PyObject *name) {
    return _PyType_Lookup(Py_TYPE(obj), name);
}

// self.<name>(args...) through the ordinary attribute look-up.
template <typename... Args>
nb::object call_attr(nb::handle self, PyObject *name, Args &&...args) {
    return self.attr(name)(std::forward<Args>(args)...);
}

}  // namespace corvid::overflow

namespace corvid::overflow {

// cls.<name> as stored on the class (borrowed; null when missing).
inline PyObject *class_attr_of(nb::handle cls, const char *name) {
    nb::str key(name);
    return _PyType_Lookup(reinterpret_cast<PyTypeObject *>(cls.ptr()), key.ptr());
}

}  // namespace corvid::overflow
