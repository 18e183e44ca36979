// Shared declarations of the corvid.overflow module.
#pragma once
#include <nanobind/nanobind.h>

#include <exception>
#include <utility>

#include "common/compat.hpp"
#include "common/exit_guard.hpp"
#include "common/gil.hpp"
#include "common/instance_gc.hpp"
#include "common/interned.hpp"
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
// as long as any of its code can run). Set first thing when the module is
// initialised, which also interns every entry of names().
nb::handle module_handle();
void set_module_handle(nb::handle m);

// Every attribute name and fixed text the module's C++ code looks up,
// interned once at import (set_module_handle) and kept for the process.
#define CORVID_OVERFLOW_NAMES(X) \
    X(running, "_running") \
    X(forward_open, "_forward_open") \
    X(clock, "_clock") \
    X(scope_lock, "_scope_lock") \
    X(wrapped, "_wrapped") \
    X(wrapped_classes, "_wrapped_classes") \
    X(wrapped_modules, "_wrapped_modules") \
    X(wrap_methods, "_wrap_methods") \
    X(filename_cache, "_filename_cache") \
    X(exclude_prefixes, "_exclude_prefixes") \
    X(source_files, "_source_files") \
    X(hook_records, "_hook_records") \
    X(caller_frame, "_caller_frame") \
    X(caller_globals, "_caller_globals") \
    X(forward_names, "_forward_names") \
    X(hook_installed, "_hook_installed") \
    X(hook_fn, "_hook_fn") \
    X(original_trace, "_original_trace") \
    X(hook_started_at, "_hook_started_at") \
    X(hook_calls, "_hook_calls") \
    X(announce_offload, "_announce_offload") \
    X(maybe_prewarm, "_maybe_prewarm") \
    X(under_gpu_pressure, "_under_gpu_pressure") \
    X(cloud_execute, "_cloud_execute") \
    X(collect_top_defs, "_collect_top_defs") \
    X(first_sight_hook, "_first_sight_hook") \
    X(hook_call_cap, "_HOOK_CALL_CAP") \
    X(hook_deadline, "_HOOK_DEADLINE") \
    X(global_scan_cap, "_GLOBAL_SCAN_CAP") \
    X(offload_fail_max, "_OFFLOAD_FAIL_MAX") \
    X(loop_hot_window, "_LOOP_HOT_WINDOW") \
    X(loop_hot_max, "_LOOP_HOT_MAX") \
    X(container_scan_cap, "_CONTAINER_SCAN_CAP") \
    X(size_depth, "_SIZE_DEPTH") \
    X(effect_visit_cap, "_EFFECT_VISIT_CAP") \
    X(unpicklable_types, "_UNPICKLABLE_TYPES") \
    X(is_coroutine_marker, "_is_coroutine_marker") \
    X(original_attr, "_original") \
    X(func_attr, "_func") \
    X(nonlocals, "nonlocals") \
    X(globals_attr, "globals") \
    X(ast_targets, "targets") \
    X(ast_target, "target") \
    X(ast_value, "value") \
    X(ast_id, "id") \
    X(ast_attr, "attr") \
    X(ast_func, "func") \
    X(ast_args, "args") \
    X(ast_arg, "arg") \
    X(ast_posonlyargs, "posonlyargs") \
    X(nbytes, "nbytes") \
    X(element_size, "element_size") \
    X(nelement, "nelement") \
    X(proc_rss_min, "_PROC_RSS_MIN") \
    X(cpu_on_margin, "_CPU_ON_MARGIN") \
    X(cpu_off_margin, "_CPU_OFF_MARGIN") \
    X(min_seconds_default, "_MIN_SECONDS_DEFAULT") \
    X(cooldown_base_default, "_COOLDOWN_BASE_DEFAULT") \
    X(overflow_callable, "_OverflowCallable") \
    X(overflow_method, "_OverflowMethod") \
    X(overflow_wrapped, "_overflow_wrapped") \
    X(action, "action") \
    X(reason, "reason") \
    X(dunder_name, "__name__") \
    X(dunder_qualname, "__qualname__") \
    X(dunder_module, "__module__") \
    X(dunder_doc, "__doc__") \
    X(dunder_wrapped, "__wrapped__") \
    X(dunder_code, "__code__") \
    X(dunder_file, "__file__") \
    X(dunder_dict, "__dict__") \
    X(dunder_self, "__self__") \
    X(dunder_globals, "__globals__") \
    X(dunder_closure, "__closure__") \
    X(co_filename, "co_filename") \
    X(co_qualname, "co_qualname") \
    X(co_name, "co_name") \
    X(co_firstlineno, "co_firstlineno") \
    X(co_names, "co_names") \
    X(co_freevars, "co_freevars") \
    X(cell_contents, "cell_contents") \
    X(f_code, "f_code") \
    X(f_trace, "f_trace") \
    X(f_trace_lines, "f_trace_lines") \
    X(ast_body, "body") \
    X(ast_orelse, "orelse") \
    X(ast_finalbody, "finalbody") \
    X(ast_handlers, "handlers") \
    X(ast_name, "name") \
    X(acquire, "acquire") \
    X(release, "release") \
    X(clear, "clear") \
    X(add, "add") \
    X(discard, "discard") \
    X(lower, "lower") \
    X(stack, "stack") \
    X(executing_memo, "corvid.overflow:executing") \
    X(sustained_overloaded, "sustained_overloaded") \
    X(gpu_pressure, "gpu_pressure") \
    X(policy_off, "off") \
    X(policy_always, "always") \
    X(policy_loaded, "loaded") \
    X(ev_line, "line") \
    X(ev_return, "return")

struct Names {
#define CORVID_OVERFLOW_NAME_FIELD(field, text) PyObject *field;
    CORVID_OVERFLOW_NAMES(CORVID_OVERFLOW_NAME_FIELD)
#undef CORVID_OVERFLOW_NAME_FIELD
};
extern Names g_names;
inline const Names &names() noexcept { return g_names; }

// obj.<name> that reports a miss as an empty object instead of raising.
inline nb::object optional_attr(nb::handle obj, PyObject *name) {
    PyObject *out = nullptr;
    if (get_optional_attr(obj.ptr(), name, &out) < 0) throw nb::python_error();
    return nb::steal(out);
}

// The instance's own attribute dictionary, or null when it has none yet.
inline PyObject *instance_dict(PyObject *obj) {
    PyObject **slot = instance_dict_slot(obj);
    return slot ? *slot : nullptr;
}

// mapping[key] when present, else an invalid object. Dicts take the fast
// path; other mappings go through the mapping protocol.
inline nb::object mapping_get(nb::handle mapping, nb::handle key) {
    PyObject *value = nullptr;
    if (PyDict_Check(mapping.ptr())) {
        check(dict_get_ref(mapping.ptr(), key.ptr(), &value));
        return nb::steal(value);
    }
    value = PyObject_GetItem(mapping.ptr(), key.ptr());
    if (value) return nb::steal(value);
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw nb::python_error();
    PyErr_Clear();
    return {};
}

// mapping[key] for a key whose hash is known (-1: not known), else an
// invalid object when absent.
inline nb::object mapping_get_hashed(nb::handle mapping, nb::handle key, Py_hash_t hash) {
    if (hash != -1 && PyDict_CheckExact(mapping.ptr())) {
        PyObject *found = _PyDict_GetItem_KnownHash(mapping.ptr(), key.ptr(), hash);
        if (!found && PyErr_Occurred()) throw nb::python_error();
        return nb::borrow(found);
    }
    return mapping_get(mapping, key);
}

// `key in container`; a null container holds nothing. An empty set answers
// without hashing the key (signature tuples do not cache their hash).
inline bool contains(nb::handle container, nb::handle key) {
    if (!container.ptr()) return false;
    if (PyAnySet_Check(container.ptr()) && PySet_GET_SIZE(container.ptr()) == 0) return false;
    return check(PySequence_Contains(container.ptr(), key.ptr())) != 0;
}

// container.add(key) / container.discard(key), without a method call for sets.
inline void set_add(nb::handle container, nb::handle key) {
    if (PySet_Check(container.ptr()))
        check(PySet_Add(container.ptr(), key.ptr()));
    else
        container.attr(g_names.add)(key);
}

inline void set_discard(nb::handle container, nb::handle key) {
    if (PySet_Check(container.ptr()))
        check(PySet_Discard(container.ptr(), key.ptr()));
    else
        container.attr(g_names.discard)(key);
}

// f(value) for each positional argument, then each keyword value, owned;
// stops at the first f that returns true and answers whether one did.
template <typename F>
inline bool any_argument(nb::handle args, nb::handle kwargs, F &&f, Py_ssize_t skip = 0) {
    nb::object seq = nb::steal(check(PySequence_Fast(args.ptr(), "arguments must be a sequence")));
    for (Py_ssize_t i = skip; i < PySequence_Fast_GET_SIZE(seq.ptr()); ++i) {
        nb::object value = nb::borrow(PySequence_Fast_GET_ITEM(seq.ptr(), i));
        if (f(value)) return true;
    }
    if (!kwargs.is_valid() || kwargs.is_none()) return false;
    if (PyDict_Check(kwargs.ptr())) {
        Py_ssize_t pos = 0;
        PyObject *k = nullptr, *v = nullptr;
        while (PyDict_Next(kwargs.ptr(), &pos, &k, &v)) {
            nb::object value = nb::borrow(v);
            if (f(value)) return true;
        }
        return false;
    }
    for (nb::handle value : nb::borrow(kwargs).attr("values")())
        if (f(value)) return true;
    return false;
}

// Contents of a closure cell, or an invalid object for an empty cell.
inline nb::object cell_contents(nb::handle cell) {
    if (PyCell_Check(cell.ptr())) {
        PyObject *value = PyCell_GET(cell.ptr());
        return value ? nb::borrow(value) : nb::object();
    }
    return cell.attr(names().cell_contents);
}

// Holds a threading lock (any object with acquire/release) for a scope.
// Acquiring may wait with the GIL released, so it goes through the exit
// guard; the release keeps an error already pending.
class HeldLock {
public:
    explicit HeldLock(nb::object lock) : lock_(std::move(lock)) {
        nb::object acquire = lock_.attr(g_names.acquire);
        exit_safe([&] { return acquire(); });
    }
    ~HeldLock() {
        ErrorGuard keep_pending_error;
        PyObject *r = PyObject_CallMethodNoArgs(lock_.ptr(), g_names.release);
        if (r)
            Py_DECREF(r);
        else
            PyErr_Clear();
    }
    HeldLock(const HeldLock &) = delete;
    HeldLock &operator=(const HeldLock &) = delete;

private:
    nb::object lock_;
};

// One level of a C++ recursion over user data (nested containers): deep
// enough nesting raises RecursionError instead of exhausting the C stack.
class RecursionScope {
public:
    explicit RecursionScope(const char *where) {
        if (Py_EnterRecursiveCall(where)) throw nb::python_error();
    }
    ~RecursionScope() { Py_LeaveRecursiveCall(); }
    RecursionScope(const RecursionScope &) = delete;
    RecursionScope &operator=(const RecursionScope &) = delete;
};

// Runs `f`; an ordinary error (an Exception, or a C++ error of the binding
// layer such as a failed cast) is dropped and reported as false. Interrupts
// and exit requests pass.
template <typename F>
bool swallow(F &&f) {
    try {
        f();
        return true;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    } catch (std::exception &) {
    }
    return false;
}

}  // namespace corvid::overflow
