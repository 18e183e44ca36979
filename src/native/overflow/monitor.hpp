// The monitor object: its fields as C++ members, construction, serialisation,
// start and stop, the process-exit handler, and the one rule by which C++
// code calls the monitor's methods.
#pragma once
#include <cstdint>
#include <type_traits>
#include <utility>

#include "common/ticks.hpp"
#include "overflow/common.hpp"
#include "overflow/report.hpp"

namespace corvid::overflow {

// Every field of a monitor, in the order the constructor sets it: (member,
// attribute name). Each is a C++ member exposed to Python as a read/write
// attribute of that name; the two flags `_running` and `_forward_open` are
// C++ booleans exposed the same way.
#define CORVID_MONITOR_FIELDS(X)                          \
    X(policy, "policy")                                   \
    X(fast, "fast")                                       \
    X(threshold, "threshold")                             \
    X(gpu_threshold, "gpu_threshold")                     \
    X(check_interval, "check_interval")                   \
    X(verbose, "verbose")                                 \
    X(min_seconds, "min_seconds")                         \
    X(max_payload_bytes, "max_payload_bytes")             \
    X(prewarm, "prewarm")                                 \
    X(cooldown_base, "cooldown_base")                     \
    X(cooldown_cap, "cooldown_cap")                       \
    X(api_key, "api_key")                                 \
    X(api_url, "api_url")                                 \
    X(clock, "_clock")                                    \
    X(gateway_factory, "_gateway_factory")                \
    X(sample_source, "_sample_source")                    \
    X(predict_cache, "_predict_cache")                    \
    X(src_cache, "_src_cache")                            \
    X(pickle_cache, "_pickle_cache")                      \
    X(learned_heavy, "_learned_heavy")                    \
    X(demoted, "_demoted")                                \
    X(offload_incompatible, "_offload_incompatible")      \
    X(offload_failures, "_offload_failures")              \
    X(benefit_ok, "_benefit_ok")                          \
    X(relaxed_cache, "_relaxed_cache")                    \
    X(libref_cache, "_libref_cache")                      \
    X(gpu_cache, "_gpu_cache")                            \
    X(effect_cache, "_effect_cache")                      \
    X(self_mut_cache, "_self_mut_cache")                  \
    X(wrapped_classes, "_wrapped_classes")                \
    X(wrapped_modules, "_wrapped_modules")                \
    X(wrap_methods, "_wrap_methods")                      \
    X(observed_seconds, "_observed_seconds")              \
    X(recent_calls, "_recent_calls")                      \
    X(wrapped, "_wrapped")                                \
    X(scope_lock, "_scope_lock")                          \
    X(caller_globals, "_caller_globals")                  \
    X(caller_frame, "_caller_frame")                      \
    X(forward_names, "_forward_names")                    \
    X(hook_installed, "_hook_installed")                  \
    X(hook_started_at, "_hook_started_at")                \
    X(hook_calls, "_hook_calls")                          \
    X(hook_fn, "_hook_fn")                                \
    X(original_trace, "_original_trace")                  \
    X(load_gate, "_load_gate")                            \
    X(gateway, "_gateway")                                \
    X(gateway_lock, "_gateway_lock")                      \
    X(gateway_retry_at, "_gateway_retry_at")              \
    X(gateway_backoff, "_gateway_backoff")                \
    X(prewarm_lock, "_prewarm_lock")                      \
    X(prewarmed, "_prewarmed")                            \
    X(warm_result, "_warm_result")                        \
    X(by_value_lock, "_by_value_lock")                    \
    X(by_value_refs, "_by_value_refs")                    \
    X(tls, "_tls")                                        \
    X(atexit_registered, "_atexit_registered")            \
    X(filename_cache, "_filename_cache")                  \
    X(exclude_prefixes, "_exclude_prefixes")              \
    X(source_files, "_source_files")                      \
    X(hook_records, "_hook_records")                      \
    X(notebook_hook, "_notebook_hook")

// The monitor methods C++ code calls on a monitor, and the two flags. Each is
// called through monitor_method() below, so a replacement on the instance or
// in a subclass runs wherever the monitor calls that method.
#define CORVID_MONITOR_METHODS(X)                         \
    X(running, "_running")                                \
    X(forward_open, "_forward_open")                      \
    X(dispatch, "_dispatch")                              \
    X(executing, "_executing")                            \
    X(dispatch_inner, "_dispatch_inner")                  \
    X(should_offload, "_should_offload")                  \
    X(record_local_time, "_record_local_time")            \
    X(note_offload_failure, "_note_offload_failure")      \
    X(under_pressure, "_under_pressure")                  \
    X(under_gpu_pressure, "_under_gpu_pressure")          \
    X(in_cooldown, "_in_cooldown")                        \
    X(predict_heavy, "_predict_heavy")                    \
    X(relaxed_heavy, "_relaxed_heavy")                    \
    X(get_src, "_get_src")                                \
    X(lib_hit, "_lib_hit")                                \
    X(periodic_rescan, "_periodic_rescan")                \
    X(forward_scan, "_forward_scan")                      \
    X(collect_top_defs, "_collect_top_defs")              \
    X(forward_pending, "_forward_pending")                \
    X(install_hook, "_install_hook")                      \
    X(uninstall_hook, "_uninstall_hook")                  \
    X(first_sight_hook, "_first_sight_hook")              \
    X(is_user_code, "_is_user_code")                      \
    X(check_user_code, "_check_user_code")                \
    X(wrap_scope, "_wrap_scope")                          \
    X(wrap_one, "_wrap_one")                              \
    X(wrap_class, "_wrap_class")                          \
    X(maybe_wrap_module, "_maybe_wrap_module")            \
    X(register_wrap, "_register_wrap")                    \
    X(unwrap_all, "_unwrap_all")                          \
    X(offload_safety, "_offload_safety")                  \
    X(self_mutates_gate, "_self_mutates_gate")            \
    X(fast_unpicklable, "_fast_unpicklable")              \
    X(transitive_effect, "_transitive_effect")            \
    X(transitive_full, "_transitive_full")                \
    X(resolve_callee, "_resolve_callee")                  \
    X(state_transfer_ok, "_state_transfer_ok")            \
    X(cheap_size, "_cheap_size")                          \
    X(picklable, "_picklable")                            \
    X(needs_writeback, "_needs_writeback")                \
    X(apply_writeback, "_apply_writeback")                \
    X(announce_offload, "_announce_offload")              \
    X(maybe_prewarm, "_maybe_prewarm")                    \
    X(warm_gateway, "_warm_gateway")                      \
    X(make_gateway, "_make_gateway")                      \
    X(get_gateway, "_get_gateway")                        \
    X(infer_pip, "_infer_pip")                            \
    X(apply_warm_session, "_apply_warm_session")          \
    X(partition_call, "_partition_call")                  \
    X(needs_gpu, "_needs_gpu")                            \
    X(args_need_gpu, "_args_need_gpu")                    \
    X(gpu_pin, "_gpu_pin")                                \
    X(cloud_execute, "_cloud_execute")                    \
    X(register_by_value, "_register_by_value")            \
    X(unregister_by_value, "_unregister_by_value")

enum class Method : int {
#define CORVID_METHOD_ENUM(id, text) id,
    CORVID_MONITOR_METHODS(CORVID_METHOD_ENUM)
#undef CORVID_METHOD_ENUM
    Count
};
static_assert(static_cast<int>(Method::Count) <= 64);

// Which of the monitor methods a class leaves as the module's own, decided
// once per class version: a version tag is never handed out twice, so a
// class changed since (or another class) shows a different tag.
struct MethodTable {
    PyTypeObject *type = nullptr;  // identity only
    unsigned int tag = 0;
    uint64_t own = 0;
};

// The C++ state of an _OverflowMonitor (or of a subclass instance).
struct Monitor {
#define CORVID_MONITOR_MEMBER(member, text) nb::object member;
    CORVID_MONITOR_FIELDS(CORVID_MONITOR_MEMBER)
#undef CORVID_MONITOR_MEMBER
    bool running = false;
    bool forward_open = false;
    bool constructed = false;  // false in an instance made by __new__ alone
    MethodTable table;
    CallReportPtr report;      // made by the first dispatched call
    // The `_tls` dictionary of the thread that dispatched last (dispatch.cpp):
    // the thread state's id (never handed out twice; 0: none), the local,
    // that thread's dictionary of it, and the set found there with the count
    // of dictionary changes it was found at.
    struct ThreadMemo {
        uint64_t thread = 0;
        nb::object tls, dict, stack;
        uint64_t changes = 0;
    } thread_memo;
    // What the last decided call found under its signature key `key`: its
    // strict prediction (Py_True or Py_False; null: not kept) in the map
    // `predict_cache`, and the float filed under it in the map `observed`
    // (held here too), each with the count of watched-dict changes it was
    // found at. They stand while that count does (see watch_dict).
    struct KeyMemo {
        nb::object key, predict_cache, observed, seconds;
        PyObject *predicted = nullptr;
        uint64_t predicted_at = 0, seconds_at = 0;
    } key_memo;

    template <typename F>
    void for_each_ref(F &&f) {
#define CORVID_MONITOR_VISIT(member, text) f(member);
        CORVID_MONITOR_FIELDS(CORVID_MONITOR_VISIT)
#undef CORVID_MONITOR_VISIT
        f(thread_memo.tls);
        f(thread_memo.dict);
        f(thread_memo.stack);
        f(key_memo.key);
        f(key_memo.predict_cache);
        f(key_memo.observed);
        f(key_memo.seconds);
    }
};

// Dicts whose contents a memo above stands for are watched: every change to
// any of them moves one count, so a memo taken at the current count still
// tells what the dict holds. watch_dict() is false where no dict watcher is
// to be had (then nothing is memoised).
bool watch_dict(nb::handle dict);
extern uint64_t g_watched_dict_changes;
inline uint64_t watched_dict_changes() noexcept { return g_watched_dict_changes; }

// A copy of `mon->key_memo` to amend for `key` (empty when it is about
// another key), to be put back with std::swap: the values it replaces are
// then dropped after the memo is whole again, since dropping one may run a
// finalizer, which may dispatch.
inline Monitor::KeyMemo key_memo_for(Monitor *mon, nb::handle key) {
    if (mon->key_memo.key.is(key)) return mon->key_memo;
    return Monitor::KeyMemo{nb::borrow(key)};
}

// The monitor's report, made on first use; null for no monitor.
inline CallReport *call_report(Monitor *m) {
    if (!m) return nullptr;
    if (!m->report) m->report.reset(new CallReport());
    return m->report.get();
}

void register_monitor(nb::module_ &m);
// Records the class's own method bodies; called once every concern has
// attached its methods.
void seal_monitor_methods(nb::module_ &m);

// The C++ state of `obj` when it is a constructed monitor, else null. Every
// monitor is created from Python, so the state sits at one offset.
extern PyTypeObject *g_monitor_type;  // owned for the process, see register_monitor
extern Py_ssize_t g_state_offset;
inline Monitor *monitor_of(PyObject *obj) noexcept {
    if (!PyObject_TypeCheck(obj, g_monitor_type)) return nullptr;
    auto *mon = reinterpret_cast<Monitor *>(reinterpret_cast<char *>(obj) + g_state_offset);
    return mon->constructed ? mon : nullptr;
}

// The attribute name of a method (interned, kept for the process).
PyObject *method_name(Method m) noexcept;

// Recomputes `mon->table` for the class of `self` (no Python code runs).
void refresh_method_table(PyObject *self, Monitor *mon);

// True when `self`'s class holds the module's own body (or flag property)
// for `m`; never runs Python code.
inline bool class_owns(PyObject *self, Monitor *mon, Method m) {
    PyTypeObject *tp = Py_TYPE(self);
    const MethodTable &table = mon->table;
    if (table.type != tp || table.tag == 0 || table.tag != tp->tp_version_tag)
        refresh_method_table(self, mon);
    return (mon->table.own >> static_cast<int>(m)) & 1;
}

// The replacement of `m` on a monitor whose class holds the module's own
// body: a function in the instance dict, or empty.
nb::object instance_replacement(nb::handle self, Method m);

// The one rule for calling a monitor method from C++: an empty object when
// the module's own body applies (a monitor whose class holds that body and
// whose instance dict does not shadow it), else the object a Python caller of
// `self.<name>` would get, to be called instead. `mon` is monitor_of(self),
// for callers that hold it already.
inline nb::object monitor_method(nb::handle self, Monitor *mon, Method m) {
    if (mon && class_owns(self.ptr(), mon, m)) {
        PyObject **slot = instance_dict_slot(self.ptr());
        if (!slot || !*slot || PyDict_GET_SIZE(*slot) == 0) return {};
        return instance_replacement(self, m);
    }
    return nb::steal(check(PyObject_GetAttr(self.ptr(), method_name(m))));
}
inline nb::object monitor_method(nb::handle self, Method m) {
    return monitor_method(self, monitor_of(self.ptr()), m);
}

// Calls monitor method `m` on `self` with `args`: the replacement when there
// is one (its result converted to R: nothing, a truth value or the object),
// else the C++ body `body(self, args...)`.
template <typename R, typename Body, typename... A>
R call_monitor_method(nb::handle self, Method m, Body &&body, A &&...args) {
    if (nb::object replaced = monitor_method(self, m)) {
        nb::object out = exit_safe([&] { return replaced(std::forward<A>(args)...); });
        if constexpr (std::is_same_v<R, bool>) return truthy(out);
        else if constexpr (!std::is_void_v<R>) return out;
        else return;
    }
    return body(self, std::forward<A>(args)...);
}

// monitor._running / monitor._forward_open for any monitor-like object; a
// value that cannot be read counts as false only where the caller says so.
bool flag_value(nb::handle mon, Method m);
inline bool monitor_running(nb::handle mon) {
    Monitor *m = monitor_of(mon.ptr());
    if (m && class_owns(mon.ptr(), m, Method::running)) return m->running;
    return flag_value(mon, Method::running);
}
inline bool monitor_forward_open(nb::handle mon, Monitor *m) {
    if (m && class_owns(mon.ptr(), m, Method::forward_open)) return m->forward_open;
    return flag_value(mon, Method::forward_open);
}
inline bool monitor_forward_open(nb::handle mon) {
    return monitor_forward_open(mon, monitor_of(mon.ptr()));
}
void set_monitor_running(nb::handle mon, bool value);
void set_monitor_forward_open(nb::handle mon, bool value);

// monitor.<field>: the member of a monitor, else the ordinary look-up (`m`:
// monitor_of(mon), for callers that hold it already).
#define CORVID_MONITOR_FIELD_GETTER(member, text)                    \
    inline nb::object field_##member(nb::handle mon, Monitor *m) {   \
        if (m && m->member) return m->member;                        \
        return mon.attr(text);                                       \
    }                                                                \
    inline nb::object field_##member(nb::handle mon) {               \
        return field_##member(mon, monitor_of(mon.ptr()));           \
    }
CORVID_MONITOR_FIELDS(CORVID_MONITOR_FIELD_GETTER)
#undef CORVID_MONITOR_FIELD_GETTER

// monitor.<field> = value: the member of a monitor, else the ordinary set.
#define CORVID_MONITOR_FIELD_SETTER(member, text)                    \
    inline void set_field_##member(nb::handle mon, nb::handle value) { \
        if (Monitor *m = monitor_of(mon.ptr())) {                    \
            m->member = nb::borrow(value);                           \
            return;                                                  \
        }                                                            \
        nb::setattr(mon, text, value);                               \
    }
CORVID_MONITOR_FIELDS(CORVID_MONITOR_FIELD_SETTER)
#undef CORVID_MONITOR_FIELD_SETTER

// The callable registered with atexit for `mon` (a bound method object that
// compares equal for the same monitor, so the registration can be withdrawn).
nb::object exit_handler(nb::handle mon);

// The monitor's clock, read as float seconds.
double monitor_now(nb::handle mon);

// One reading of the monitor's clock for timing a call. The default clock is
// read as a cycle count where that is sound, else as integer nanoseconds, so
// a difference of two costs no call and no division.
struct ClockStamp {
    enum class Kind : unsigned char { seconds, ns, ticks };
    Kind kind = Kind::seconds;
    PyTime_t ns = 0;
    uint64_t ticks = 0;
    double seconds = 0.0;
};
ClockStamp monitor_stamp(nb::handle mon);
extern PyObject *g_monotonic;  // time.monotonic, held for the process
// The same for a caller that holds `m` = monitor_of(mon): the default clock
// is read here, without a call.
inline ClockStamp monitor_stamp(nb::handle mon, Monitor *m) {
    if (!m || m->clock.ptr() != g_monotonic) return monitor_stamp(mon);
    ClockStamp stamp;
    if (ticks::ready()) {
        stamp.kind = ClockStamp::Kind::ticks;
        stamp.ticks = ticks::now();
        return stamp;
    }
    stamp.kind = ClockStamp::Kind::ns;
    if (PyTime_Monotonic(&stamp.ns) < 0) throw nb::python_error();
    return stamp;
}
double seconds_between(const ClockStamp &from, const ClockStamp &to);
// The same, with two readings of the default clock subtracted here.
inline double elapsed(const ClockStamp &from, const ClockStamp &to) {
    if (from.kind == ClockStamp::Kind::ticks && to.kind == ClockStamp::Kind::ticks)
        return ticks::seconds(from.ticks, to.ticks);
    return seconds_between(from, to);
}

}  // namespace corvid::overflow
