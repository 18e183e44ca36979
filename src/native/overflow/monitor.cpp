#include "overflow/monitor.hpp"

#include <structmember.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "common/env.hpp"
#include "overflow/config.hpp"
#include "overflow/load_gate.hpp"

namespace corvid::overflow {

PyTypeObject *g_monitor_type = nullptr;
Py_ssize_t g_state_offset = 0;
PyObject *g_monotonic = nullptr;
uint64_t g_watched_dict_changes = 0;

namespace {

// Fields that never travel with a serialised monitor: locks, thread-local
// storage, frames, the trace hook, live sessions, the load gate and the
// credential.
constexpr const char *kTransient[] = {
    "_scope_lock",      "_gateway_lock",    "_prewarm_lock",    "_by_value_lock", "_tls",
    "_load_gate",       "_wrapped_classes", "_wrapped_modules", "_caller_frame",  "_caller_globals",
    "_original_trace",  "_hook_fn",         "_gateway",         "api_key",
    "_source_files",    "_hook_records",    "_notebook_hook",
};

// The module's own method bodies and flag properties, held for the life of
// the process (the extension module is never unloaded, and a user may delete
// or rebind the class's attributes): compared by identity only.
PyObject *g_method_names[static_cast<int>(Method::Count)] = {};
PyObject *g_own_methods[static_cast<int>(Method::Count)] = {};

Monitor &state_of(nb::handle self) {
    Monitor *m = monitor_of(self.ptr());
    if (!m) throw nb::type_error("expected an initialised _OverflowMonitor");
    return *m;
}

nb::object module_const(const char *name, nb::object fallback) {
    nb::object v = optional_attr(module_handle(), nb::str(name).ptr());
    return v.is_valid() ? v : fallback;
}

bool non_empty(nb::handle v) { return !v.is_none() && truthy(v); }

// A credential or URL from the environment, surrounding white space dropped
// (a key read from a file keeps its newline; no service issues keys with
// blanks); None when unset or malformed.
nb::object env_or_none(const char *name) {
    auto text = env_text(name);
    if (!text) return nb::none();
    return nb::str(text->c_str(), text->size()).attr("strip")();
}

// Locks and per-thread storage, created fresh by the constructor and again
// when a serialised monitor is restored.
void make_locks(Monitor &m) {
    nb::module_ threading = nb::module_::import_("threading");
    m.scope_lock = threading.attr("RLock")();
    m.gateway_lock = threading.attr("Lock")();
    m.prewarm_lock = threading.attr("Lock")();
    m.by_value_lock = threading.attr("Lock")();
    m.tls = threading.attr("local")();
}

struct Args {
    nb::handle policy, fast, threshold, gpu_threshold, check_interval, api_key, api_url, verbose,
        min_seconds, max_payload_bytes, prewarm, cooldown_base, cooldown_cap, clock,
        gateway_factory, sample_source;
};

void init_monitor(Monitor *m, const Args &a) {
    new (m) Monitor();
    m->policy = nb::borrow(a.policy);
    m->fast = nb::borrow(a.fast);
    m->threshold = nb::borrow(a.threshold);
    m->gpu_threshold = nb::borrow(a.gpu_threshold);
    m->check_interval = nb::borrow(a.check_interval);
    m->verbose = nb::borrow(a.verbose);
    m->min_seconds = nb::borrow(a.min_seconds);
    m->max_payload_bytes = nb::borrow(a.max_payload_bytes);
    m->prewarm = nb::borrow(a.prewarm);
    m->cooldown_base = nb::borrow(a.cooldown_base);
    m->cooldown_cap = nb::borrow(a.cooldown_cap);

    nb::object key = nb::borrow(a.api_key);
    if (!non_empty(key)) {
        key = env_or_none("CORVID_API_KEY");
        if (!non_empty(key)) key = env_or_none("GATEWAY_API_KEY");
    }
    m->api_key = key;
    nb::object url = nb::borrow(a.api_url);
    if (!non_empty(url)) {
        url = env_or_none("CORVID_API_URL");
        // An empty variable is treated as unset: an empty base URL can only fail later.
        if (!non_empty(url)) url = module_handle().attr("_DEFAULT_API_URL");
    }
    m->api_url = url;

    m->clock = nb::borrow(a.clock);
    m->gateway_factory = nb::borrow(a.gateway_factory);
    m->sample_source = nb::borrow(a.sample_source);
    for (nb::object *map : {&m->predict_cache, &m->src_cache, &m->pickle_cache,
                            &m->offload_failures, &m->relaxed_cache, &m->libref_cache,
                            &m->gpu_cache, &m->effect_cache, &m->self_mut_cache,
                            &m->wrapped_classes, &m->observed_seconds, &m->recent_calls,
                            &m->wrapped, &m->warm_result, &m->by_value_refs,
                            &m->filename_cache, &m->source_files, &m->hook_records})
        *map = nb::dict();
    for (nb::object *set : {&m->learned_heavy, &m->demoted, &m->offload_incompatible,
                            &m->benefit_ok, &m->wrapped_modules, &m->forward_names})
        *set = nb::set();
    m->wrap_methods = env_bool(nb::str("CORVID_OVERFLOW_WRAP_METHODS"), nb::bool_(true));
    for (nb::object *none : {&m->caller_globals, &m->caller_frame, &m->hook_fn,
                             &m->original_trace, &m->load_gate, &m->gateway, &m->notebook_hook})
        *none = nb::none();
    m->hook_installed = nb::bool_(false);
    m->hook_started_at = nb::float_(0.0);
    m->hook_calls = nb::int_(0);
    m->gateway_retry_at = nb::float_(0.0);
    m->gateway_backoff = nb::borrow(a.cooldown_base);
    m->prewarmed = nb::bool_(false);
    m->atexit_registered = nb::bool_(false);
    m->exclude_prefixes = compute_exclude_prefixes();
    make_locks(*m);
    m->constructed = true;
}

bool is_transient(const char *name) {
    for (const char *t : kTransient)
        if (std::strcmp(t, name) == 0) return true;
    return false;
}

nb::dict get_state(nb::handle self) {
    Monitor &m = state_of(self);
    nb::dict state;
#define CORVID_STATE_OUT(member, text) \
    if (!is_transient(text) && m.member) state[text] = m.member;
    CORVID_MONITOR_FIELDS(CORVID_STATE_OUT)
#undef CORVID_STATE_OUT
    state["_running"] = nb::bool_(m.running);
    state["_forward_open"] = nb::bool_(m.forward_open);
    if (PyObject *d = instance_dict(self.ptr()))
        if (PyDict_Update(state.ptr(), d) < 0) throw nb::python_error();
    return state;
}

// Restores into a bare instance (unpickling), or updates a live one. Field
// entries go to the members, anything else to the instance dict.
void set_state(Monitor *m, nb::handle self, nb::handle state) {
    if (!m->constructed) {
        new (m) Monitor();
        m->for_each_ref([](nb::object &o) { o = nb::none(); });
        m->constructed = true;
    }
    nb::dict rest = nb::steal<nb::dict>(check(PyDict_New()));
    check(PyDict_Merge(rest.ptr(), state.ptr(), 1));
    auto take = [&](const char *name) -> nb::object {
        nb::str key(name);
        PyObject *v = nullptr;
        check(dict_get_ref(rest.ptr(), key.ptr(), &v));
        if (v) check(PyDict_DelItem(rest.ptr(), key.ptr()));
        return nb::steal(v);
    };
#define CORVID_STATE_IN(member, text) \
    if (nb::object v = take(text); v.is_valid()) m->member = std::move(v);
    CORVID_MONITOR_FIELDS(CORVID_STATE_IN)
#undef CORVID_STATE_IN
    if (nb::object v = take("_running"); v.is_valid()) m->running = truthy(v);
    if (nb::object v = take("_forward_open"); v.is_valid()) m->forward_open = truthy(v);
    nb::object d = nb::steal(check(PyObject_GenericGetDict(self.ptr(), nullptr)));
    if (PyDict_Update(d.ptr(), rest.ptr()) < 0) throw nb::python_error();
    make_locks(*m);
    m->load_gate = nb::none();
    m->wrapped_classes = nb::dict();
    m->wrapped_modules = nb::set();
    m->source_files = nb::dict();
    m->hook_records = nb::dict();
    for (nb::object *none : {&m->caller_frame, &m->caller_globals, &m->original_trace,
                             &m->hook_fn, &m->gateway, &m->api_key, &m->notebook_hook})
        *none = nb::none();
}

// self.<name>(args...) for a method with no C++ body of its own here.
template <typename... A>
nb::object call_named(nb::handle self, Method method, A &&...args) {
    if (nb::object r = monitor_method(self, method)) return r(std::forward<A>(args)...);
    return self.attr(method_name(method))(std::forward<A>(args)...);
}

void start_load_gate(nb::handle self, Monitor &m) {
    double threshold = as_double(field_threshold(self));
    const Settings &cfg = settings();
    nb::dict kw;
    kw["clock"] = field_clock(self);
    kw["sample_source"] = field_sample_source(self);
    kw["cpu_on"] = threshold + const_float(names().cpu_on_margin, cfg.cpu_on_margin);
    kw["cpu_off"] = std::max(threshold - const_float(names().cpu_off_margin, cfg.cpu_off_margin), 0.0);
    kw["on_sample"] = self.attr("_periodic_rescan");
    nb::object gate = load_gate_type()(**kw);
    m.load_gate = gate;
    gate.attr("start")();
}

// Inside an IPython shell each cell defines its functions after the watch of
// the starting frame has ended, so a callback walks the user namespace after
// every cell while the monitor runs. Only a shell the program already
// imported counts; a failure here leaves the monitor running without it.
void attach_notebook(nb::handle self, Monitor &m) {
    PyObject *modules = PySys_GetObject("modules");
    if (!modules || !PyDict_Check(modules)) return;
    PyObject *ipython = PyDict_GetItemString(modules, "IPython");
    if (!ipython || ipython == Py_None) return;
    try {
        m.notebook_hook = nb::module_::import_("corvid._notebook").attr("attach")(self);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        log_quiet(kLogger, LogLevel::Warning, "overflow: notebook cells are not watched (%s)",
                  nb::str(e.value()));
    }
}

void detach_notebook(Monitor &m) {
    nb::object hook = m.notebook_hook;  // a deleted field holds no hook
    m.notebook_hook = nb::none();
    if (hook.is_valid() && !hook.is_none())
        nb::module_::import_("corvid._notebook").attr("detach")(hook);
}

void start(nb::handle self, nb::handle caller_frame) {
    Monitor &m = state_of(self);
    if (monitor_running(self)) return;
    set_monitor_running(self, true);

    nb::object policy = field_policy(self);
    if (PyUnicode_Check(policy.ptr()) &&
        (PyUnicode_CompareWithASCIIString(policy.ptr(), "auto") == 0 ||
         PyUnicode_CompareWithASCIIString(policy.ptr(), "loaded") == 0))
        start_load_gate(self, m);

    if (!caller_frame.is_none()) {
        m.caller_globals = caller_frame.attr("f_globals");
        m.caller_frame = nb::borrow(caller_frame);
        call_named(self, Method::forward_scan, caller_frame);
        call_named(self, Method::wrap_scope, field_caller_globals(self));
        bool open = truthy(call_named(self, Method::forward_pending));
        set_monitor_forward_open(self, open);
        m.hook_started_at = nb::float_(monitor_now(self));
        if (open) call_named(self, Method::install_hook);
    }

    attach_notebook(self, m);

    if (!truthy(field_atexit_registered(self))) {
        nb::module_::import_("atexit").attr("register")(exit_handler(self));
        m.atexit_registered = nb::bool_(true);
    }
    log_quiet(kLogger, LogLevel::Info, "Overflow monitor started  policy=%s  fast=%s", policy,
        field_fast(self));
}

// Runs one step of stop(). Every step runs even when an earlier one fails:
// `_running` is already false, so a monitor left half-stopped could never be
// stopped again and would keep its hook, its thread or its wrappers.
template <typename F>
void stop_step(const char *what, F &&f) {
    nb::object failure;  // logged after the handler: no Python code runs inside one
    try {
        f();
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        failure = nb::borrow(e.value());
    }
    if (failure.is_valid())
        log_quiet(kLogger, LogLevel::Warning, "overflow monitor stop: %s failed (%s)",
                  nb::str(what), nb::str(failure));
}

// Closes the monitor's gateway session: progress display off, then the
// client's context exit with three nones. Ordinary errors of either step are
// swallowed; a session must never keep a monitor from stopping.
void close_gateway_session(nb::handle session) {
    try {
        nb::setattr(session, "progress", nb::bool_(false));
        nb::object exit = session.attr("__exit__");
        exit_safe([&] { return exit(nb::none(), nb::none(), nb::none()); });
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
}

void stop(nb::handle self) {
    Monitor &m = state_of(self);
    if (!monitor_running(self)) return;
    set_monitor_running(self, false);
    set_monitor_forward_open(self, false);  // the late-definition watch ends with the monitor
    stop_step("removing the trace hook", [&] { call_named(self, Method::uninstall_hook); });
    stop_step("leaving the notebook's cells", [&] { detach_notebook(m); });
    m.caller_frame = nb::none();
    stop_step("stopping the load gate", [&] {
        nb::object gate = field_load_gate(self);
        if (!gate.is_none()) gate.attr("stop")();
    });
    m.load_gate = nb::none();
    stop_step("restoring the user's functions", [&] { call_named(self, Method::unwrap_all); });
    nb::object session = m.gateway;  // a deleted field holds no session
    if (session.is_valid() && !session.is_none()) close_gateway_session(session);
    m.gateway = nb::none();
    if (truthy(field_atexit_registered(self))) {
        try {
            nb::module_::import_("atexit").attr("unregister")(exit_handler(self));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
        }
        m.atexit_registered = nb::bool_(false);
    }
    stop_step("reporting", [&] { log_report_if_asked(self); });
    log_quiet(kLogger, LogLevel::Info, "Overflow monitor stopped.");
}


// The size of a counted field for the repr: "?" where it was deleted or has
// no size.
nb::object field_count(nb::handle field) {
    if (!field.is_valid()) return nb::str("?");
    Py_ssize_t n = PyObject_Size(field.ptr());
    if (n >= 0) return nb::int_(n);
    if (!PyErr_ExceptionMatches(PyExc_Exception)) throw nb::python_error();
    PyErr_Clear();
    return nb::str("?");
}

// <_OverflowMonitor policy='auto' running wrapped=3 classes=1>
nb::object monitor_repr(nb::handle self) {
    nb::object type_name = nb::steal(check(PyType_GetName(Py_TYPE(self.ptr()))));
    Monitor *m = monitor_of(self.ptr());
    if (!m) return nb::str("<{} (not initialised)>").format(type_name);
    // Owned before anything below can run Python code that rebinds a field.
    nb::object policy = m->policy, wrapped = m->wrapped, classes = m->wrapped_classes;
    nb::object policy_text = policy.is_valid() ? nb::object(nb::repr(policy)) : nb::str("?");
    const char *state = monitor_running(self) ? "running" : "stopped";
    return nb::str("<{} policy={} {} wrapped={} classes={}>")
        .format(type_name, policy_text, state, field_count(wrapped), field_count(classes));
}

}  // namespace

#if PY_VERSION_HEX >= 0x030C0000 && !defined(Py_GIL_DISABLED)
namespace {
int g_dict_watcher = -1;  // -1: none (all taken, or not asked for yet)
bool g_dict_watcher_asked = false;

int on_watched_dict_change(PyDict_WatchEvent, PyObject *, PyObject *, PyObject *) {
    ++g_watched_dict_changes;
    return 0;
}
}  // namespace

bool watch_dict(nb::handle dict) {
    if (!g_dict_watcher_asked) {
        g_dict_watcher_asked = true;
        g_dict_watcher = PyDict_AddWatcher(on_watched_dict_change);
        if (g_dict_watcher < 0) PyErr_Clear();
    }
    if (g_dict_watcher < 0 || !PyDict_CheckExact(dict.ptr())) return false;
    if (PyDict_Watch(g_dict_watcher, dict.ptr()) == 0) return true;
    PyErr_Clear();
    return false;
}
#else
bool watch_dict(nb::handle) { return false; }
#endif

PyObject *method_name(Method m) noexcept { return g_method_names[static_cast<int>(m)]; }

void refresh_method_table(PyObject *self, Monitor *mon) {
    PyTypeObject *tp = Py_TYPE(self);
    uint64_t own = 0;
    for (int i = 0; i < static_cast<int>(Method::Count); ++i)
        if (_PyType_Lookup(tp, g_method_names[i]) == g_own_methods[i]) own |= uint64_t{1} << i;
    mon->table.own = own;
    mon->table.type = tp;
    mon->table.tag = tp->tp_version_tag;  // the look-ups above hand one out where they can
}

bool flag_value(nb::handle mon, Method m) {
    nb::object v = optional_attr(mon, method_name(m));
    return v.is_valid() && truthy(v);
}

nb::object instance_replacement(nb::handle self, Method m) {
    // The flags are data descriptors, which no instance entry shadows.
    if (m == Method::running || m == Method::forward_open) return {};
    PyObject *d = instance_dict(self.ptr());
    PyObject *found = nullptr;
    if (d && dict_get_ref(d, method_name(m), &found) < 0) throw nb::python_error();
    return nb::steal(found);
}


void set_monitor_running(nb::handle mon, bool value) {
    Monitor *m = monitor_of(mon.ptr());
    if (m && class_owns(mon.ptr(), m, Method::running)) {
        m->running = value;
        return;
    }
    check(PyObject_SetAttr(mon.ptr(), method_name(Method::running), value ? Py_True : Py_False));
}


void set_monitor_forward_open(nb::handle mon, bool value) {
    Monitor *m = monitor_of(mon.ptr());
    if (m && class_owns(mon.ptr(), m, Method::forward_open)) {
        m->forward_open = value;
        return;
    }
    check(PyObject_SetAttr(mon.ptr(), method_name(Method::forward_open),
                           value ? Py_True : Py_False));
}

nb::object exit_handler(nb::handle mon) {
    // A plain bound method: atexit.unregister compares by equality, and bound
    // methods are equal when they bind the same function to the same object.
    nb::object fn = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(mon.ptr()))).attr("stop");
    return nb::steal(check(PyMethod_New(fn.ptr(), mon.ptr())));
}

ClockStamp monitor_stamp(nb::handle mon) {
    nb::object clock;
    Monitor *m = monitor_of(mon.ptr());
    if (m)
        clock = m->clock;
    else
        clock = optional_attr(mon, names().clock);
    if (!clock.is_valid() || clock.ptr() == g_monotonic) {
        // The default clock, read without a Python call: the source of
        // time.monotonic().
        ClockStamp stamp;
        stamp.kind = ClockStamp::Kind::ns;
        if (PyTime_Monotonic(&stamp.ns) < 0) throw nb::python_error();
        return stamp;
    }
    ClockStamp stamp;
    stamp.seconds = as_double(clock());
    return stamp;
}

double seconds_between(const ClockStamp &from, const ClockStamp &to) {
    using Kind = ClockStamp::Kind;
    if (from.kind == Kind::ticks && to.kind == Kind::ticks) return ticks::seconds(from.ticks, to.ticks);
    auto ns = [](const ClockStamp &s) { return s.kind == Kind::ticks ? ticks::to_monotonic_ns(s.ticks) : s.ns; };
    // A reading of each kind, across the counter's calibration: the rate may
    // put two close readings a hair out of order.
    if (from.kind != Kind::seconds && to.kind != Kind::seconds)
        return std::max(static_cast<double>(ns(to) - ns(from)) * 1e-9, 0.0);
    auto seconds = [&](const ClockStamp &s) {
        return s.kind == Kind::seconds ? s.seconds : PyTime_AsSecondsDouble(ns(s));
    };
    return seconds(to) - seconds(from);
}

double monitor_now(nb::handle mon) {
    ClockStamp stamp = monitor_stamp(mon);
    // The same arithmetic as time.monotonic() for the default clock.
    return stamp.kind == ClockStamp::Kind::seconds ? stamp.seconds : PyTime_AsSecondsDouble(stamp.ns);
}

void register_monitor(nb::module_ &m) {
    using namespace nb::literals;
    nb::object time_mod = nb::module_::import_("time");
    g_monotonic = nb::object(time_mod.attr("monotonic")).release().ptr();
    int i = 0;
#define CORVID_METHOD_NAME(id, text) g_method_names[i++] = intern_name(text);
    CORVID_MONITOR_METHODS(CORVID_METHOD_NAME)
#undef CORVID_METHOD_NAME

    auto cls = nb::class_<Monitor>(m, "_OverflowMonitor", nb::dynamic_attr(),
                                   nb::is_weak_referenceable(),
                                   nb::type_slots(state_gc_slots<Monitor>),
                                   "The offload monitor: finds, wraps and dispatches the user's "
                                   "heavy functions.");
    g_monitor_type = reinterpret_cast<PyTypeObject *>(cls.inc_ref().ptr());

    cls.def(
        "__init__",
        [](Monitor *mon, nb::handle policy, nb::handle fast, nb::handle threshold,
           nb::handle gpu_threshold, nb::handle check_interval, nb::handle api_key,
           nb::handle api_url, nb::handle verbose, nb::handle min_seconds,
           nb::handle max_payload_bytes, nb::handle prewarm, nb::handle cooldown_base,
           nb::handle cooldown_cap, nb::handle clock, nb::handle gateway_factory,
           nb::handle sample_source) {
            init_monitor(mon, Args{policy, fast, threshold, gpu_threshold, check_interval,
                                   api_key, api_url, verbose, min_seconds, max_payload_bytes,
                                   prewarm, cooldown_base, cooldown_cap, clock, gateway_factory,
                                   sample_source});
        },
        nb::kw_only(), "policy"_a.none() = "auto", "fast"_a.none() = false,
        "threshold"_a.none() = 85.0, "gpu_threshold"_a.none() = nb::none(),
        "check_interval"_a.none() = 0.5, "api_key"_a.none() = nb::none(),
        "api_url"_a.none() = nb::none(), "verbose"_a.none() = true,
        "min_seconds"_a.none() = module_const("_MIN_SECONDS_DEFAULT", nb::float_(2.0)),
        "max_payload_bytes"_a.none() =
            module_const("_MAX_PAYLOAD_BYTES_DEFAULT", nb::int_(256 * 1024 * 1024)),
        "prewarm"_a.none() = false,
        "cooldown_base"_a.none() = module_const("_COOLDOWN_BASE_DEFAULT", nb::float_(30.0)),
        "cooldown_cap"_a.none() = module_const("_COOLDOWN_CAP_DEFAULT", nb::float_(600.0)),
        "clock"_a.none() = time_mod.attr("monotonic"), "gateway_factory"_a.none() = nb::none(),
        "sample_source"_a.none() = nb::none());

    cls.def("__getstate__", [](nb::handle self) { return get_state(self); });
    // Built through copyreg's __newobj__ and __setstate__ at every protocol
    // (0 and 1 included, which the default reduction refuses for this type).
    cls.def("__reduce__", [](nb::handle self) {
        nb::object cls_of = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(self.ptr())));
        nb::object newobj = nb::module_::import_("copyreg").attr("__newobj__");
        return nb::make_tuple(newobj, nb::make_tuple(cls_of), get_state(self));
    });
    cls.def("__setstate__", [](Monitor *mon, nb::handle state) {
        set_state(mon, nb::find(mon), state);
    });
    cls.def("start", [](nb::handle self, nb::handle frame) { start(self, frame); },
            "caller_frame"_a.none() = nb::none());
    cls.def("stop", [](nb::handle self) { stop(self); });
    cls.def("__repr__", [](nb::handle self) { return monitor_repr(self); });
    // The public name of the class overflow() returns.
    m.attr("Monitor") = cls;

    // Where nanobind keeps the C++ part of an instance created from Python
    // (the same for subclasses: it follows the fixed instance header).
    nb::object probe = nb::steal(check(PyObject_CallMethod(cls.ptr(), "__new__", "O", cls.ptr())));
    g_state_offset = reinterpret_cast<char *>(nb::inst_ptr<Monitor>(probe)) -
                     reinterpret_cast<char *>(probe.ptr());

    // Each field is a member descriptor over its C++ member: read, assigned
    // and deleted as an instance attribute would be, and a deleted (or never
    // set) field reads as missing.
    static PyMemberDef defs[] = {
#define CORVID_MONITOR_MEMBER_DEF(member, text) \
        {text, T_OBJECT_EX, g_state_offset + Py_ssize_t(offsetof(Monitor, member)), 0, nullptr},
        CORVID_MONITOR_FIELDS(CORVID_MONITOR_MEMBER_DEF)
#undef CORVID_MONITOR_MEMBER_DEF
    };
    for (PyMemberDef &def : defs) {
        nb::object descr = nb::steal(check(PyDescr_NewMember(g_monitor_type, &def)));
        nb::setattr(cls, def.name, descr);
    }
    cls.def_prop_rw(
        "_running", [](Monitor &s) { return s.running; },
        [](Monitor &s, nb::handle v) { s.running = truthy(v); }, nb::arg("value").none());
    cls.def_prop_rw(
        "_forward_open", [](Monitor &s) { return s.forward_open; },
        [](Monitor &s, nb::handle v) { s.forward_open = truthy(v); }, nb::arg("value").none());
}

void seal_monitor_methods(nb::module_ &m) {
    auto *tp = reinterpret_cast<PyTypeObject *>(m.attr("_OverflowMonitor").ptr());
    for (int i = 0; i < static_cast<int>(Method::Count); ++i) {
        PyObject *own = _PyType_Lookup(tp, g_method_names[i]);
        if (!own) throw nb::attribute_error("_OverflowMonitor lacks one of its own methods");
        g_own_methods[i] = Py_NewRef(own);
    }
}

CallReport *call_report(nb::handle mon) { return call_report(monitor_of(mon.ptr())); }

}  // namespace corvid::overflow
