#include "overflow/monitor.hpp"

#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <initializer_list>

#include "common/env.hpp"
#include "overflow/config.hpp"
#include "overflow/gateway.hpp"
#include "overflow/heaviness.hpp"

namespace corvid::overflow {

namespace {


// Fields that never travel with a serialised monitor: locks, thread-local
// storage, frames, the trace hook, live sessions, the load gate and the
// credential.
constexpr const char *kTransient[] = {
    "_scope_lock",      "_gateway_lock",   "_prewarm_lock",   "_by_value_lock", "_tls",
    "_load_gate",       "_wrapped_classes", "_wrapped_modules", "_caller_frame",  "_caller_globals",
    "_original_trace",  "_hook_fn",        "_gateway",        "api_key",
    "_source_files",    "_hook_records",
};

nb::object module_const(const char *name, nb::object fallback) {
    nb::object v = optional_attr(module_handle(), nb::str(name).ptr());
    return v.is_valid() ? v : fallback;
}

bool non_empty(nb::handle v) {
    if (v.is_none()) return false;
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

nb::object env_or_none(const char *name) {
    auto text = env_text(name);
    if (!text) return nb::none();
    return nb::str(text->c_str(), text->size());
}

// Locks and per-thread storage, created fresh by the constructor and again
// when a serialised monitor is restored.
void make_locks(nb::handle self) {
    nb::module_ threading = nb::module_::import_("threading");
    nb::setattr(self, "_scope_lock", threading.attr("RLock")());
    nb::setattr(self, "_gateway_lock", threading.attr("Lock")());
    nb::setattr(self, "_prewarm_lock", threading.attr("Lock")());
    nb::setattr(self, "_by_value_lock", threading.attr("Lock")());
    nb::setattr(self, "_tls", threading.attr("local")());
}

void init_monitor(MonitorCore *core, nb::handle self, nb::handle policy, nb::handle fast,
                  nb::handle threshold, nb::handle gpu_threshold, nb::handle check_interval,
                  nb::handle api_key, nb::handle api_url, nb::handle verbose,
                  nb::handle min_seconds, nb::handle max_payload_bytes, nb::handle prewarm,
                  nb::handle cooldown_base, nb::handle cooldown_cap, nb::handle clock,
                  nb::handle gateway_factory, nb::handle sample_source) {
    new (core) MonitorCore();
    nb::setattr(self, "policy", policy);
    nb::setattr(self, "fast", fast);
    nb::setattr(self, "threshold", threshold);
    nb::setattr(self, "gpu_threshold", gpu_threshold);
    nb::setattr(self, "check_interval", check_interval);
    nb::setattr(self, "verbose", verbose);
    nb::setattr(self, "min_seconds", min_seconds);
    nb::setattr(self, "max_payload_bytes", max_payload_bytes);
    nb::setattr(self, "prewarm", prewarm);
    nb::setattr(self, "cooldown_base", cooldown_base);
    nb::setattr(self, "cooldown_cap", cooldown_cap);

    nb::object key = nb::borrow(api_key);
    if (!non_empty(key)) {
        key = env_or_none("CORVID_API_KEY");
        if (!non_empty(key)) key = env_or_none("GATEWAY_API_KEY");
    }
    nb::setattr(self, "api_key", key);
    nb::object url = nb::borrow(api_url);
    if (!non_empty(url)) {
        url = env_or_none("CORVID_API_URL");
        // An empty variable is treated as unset: an empty base URL can only fail later.
        if (!non_empty(url)) url = module_handle().attr("_DEFAULT_API_URL");
    }
    nb::setattr(self, "api_url", url);

    nb::setattr(self, "_clock", clock);
    nb::setattr(self, "_gateway_factory", gateway_factory);
    nb::setattr(self, "_sample_source", sample_source);
    core->running = false;
    nb::setattr(self, "_predict_cache", nb::dict());
    nb::setattr(self, "_src_cache", nb::dict());
    nb::setattr(self, "_pickle_cache", nb::dict());
    nb::setattr(self, "_learned_heavy", nb::set());
    nb::setattr(self, "_demoted", nb::set());
    nb::setattr(self, "_offload_incompatible", nb::set());
    nb::setattr(self, "_offload_failures", nb::dict());
    nb::setattr(self, "_benefit_ok", nb::set());
    nb::setattr(self, "_relaxed_cache", nb::dict());
    nb::setattr(self, "_libref_cache", nb::dict());
    nb::setattr(self, "_gpu_cache", nb::dict());
    nb::setattr(self, "_effect_cache", nb::dict());
    nb::setattr(self, "_self_mut_cache", nb::dict());
    nb::setattr(self, "_wrapped_classes", nb::dict());
    nb::setattr(self, "_wrapped_modules", nb::set());
    nb::setattr(self, "_wrap_methods",
                env_bool(nb::str("CORVID_OVERFLOW_WRAP_METHODS"), nb::bool_(true)));
    core->forward_open = false;
    nb::setattr(self, "_observed_seconds", nb::dict());
    nb::setattr(self, "_recent_calls", nb::dict());
    nb::setattr(self, "_wrapped", nb::dict());
    nb::module_ threading = nb::module_::import_("threading");
    nb::setattr(self, "_scope_lock", threading.attr("RLock")());
    nb::setattr(self, "_caller_globals", nb::none());
    nb::setattr(self, "_caller_frame", nb::none());
    nb::setattr(self, "_forward_names", nb::set());
    nb::setattr(self, "_hook_installed", nb::bool_(false));
    nb::setattr(self, "_hook_started_at", nb::float_(0.0));
    nb::setattr(self, "_hook_calls", nb::int_(0));
    nb::setattr(self, "_hook_fn", nb::none());
    nb::setattr(self, "_original_trace", nb::none());
    nb::setattr(self, "_load_gate", nb::none());
    nb::setattr(self, "_gateway", nb::none());
    nb::setattr(self, "_gateway_lock", threading.attr("Lock")());
    nb::setattr(self, "_gateway_retry_at", nb::float_(0.0));
    nb::setattr(self, "_gateway_backoff", cooldown_base);
    nb::setattr(self, "_prewarm_lock", threading.attr("Lock")());
    nb::setattr(self, "_prewarmed", nb::bool_(false));
    nb::setattr(self, "_warm_result", nb::dict());
    nb::setattr(self, "_by_value_lock", threading.attr("Lock")());
    nb::setattr(self, "_by_value_refs", nb::dict());
    nb::setattr(self, "_tls", threading.attr("local")());
    nb::setattr(self, "_atexit_registered", nb::bool_(false));
    nb::setattr(self, "_filename_cache", nb::dict());
    nb::setattr(self, "_exclude_prefixes", compute_exclude_prefixes());
    nb::setattr(self, "_source_files", nb::dict());
    nb::setattr(self, "_hook_records", nb::dict());
}

// dict.pop(key, None) for a C string key (the C API has it only from 3.13).
nb::object pop_key(nb::handle dict, const char *key) {
    nb::str name(key);
    PyObject *v = nullptr;
    if (dict_get_ref(dict.ptr(), name.ptr(), &v) < 0) throw nb::python_error();
    if (v) check(PyDict_DelItem(dict.ptr(), name.ptr()));
    return nb::steal(v);
}

nb::dict get_state(nb::handle self) {
    nb::object d = nb::steal(check(PyObject_GenericGetDict(self.ptr(), nullptr)));
    nb::dict state = nb::steal<nb::dict>(check(PyDict_Copy(d.ptr())));
    for (const char *key : kTransient) {
        pop_key(state, key);
    }
    state["_running"] = nb::bool_(monitor_running(self.ptr()));
    state["_forward_open"] = nb::bool_(monitor_forward_open(self.ptr()));
    return state;
}

void set_state(MonitorCore *core, nb::handle self, nb::dict state) {
    new (core) MonitorCore();
    nb::dict rest = nb::steal<nb::dict>(check(PyDict_Copy(state.ptr())));
    // The two flags are properties over C++ fields, not dictionary entries.
    for (auto [name, slot] : {std::pair{"_running", &core->running},
                              std::pair{"_forward_open", &core->forward_open}}) {
        nb::object v = pop_key(rest, name);
        if (v.is_valid()) *slot = truthy(v);
    }
    nb::object d = nb::steal(check(PyObject_GenericGetDict(self.ptr(), nullptr)));
    if (PyDict_Update(d.ptr(), rest.ptr()) < 0) throw nb::python_error();
    make_locks(self);
    nb::setattr(self, "_load_gate", nb::none());
    nb::setattr(self, "_wrapped_classes", nb::dict());
    nb::setattr(self, "_wrapped_modules", nb::set());
    nb::setattr(self, "_source_files", nb::dict());
    nb::setattr(self, "_hook_records", nb::dict());
    for (const char *key : {"_caller_frame", "_caller_globals", "_original_trace", "_hook_fn",
                            "_gateway", "api_key"}) {
        nb::setattr(self, key, nb::none());
    }
}

void start_load_gate(nb::handle self) {
    double threshold = as_double(self.attr("threshold"));
    const Settings &cfg = settings();
    nb::dict kw;
    kw["clock"] = self.attr("_clock");
    kw["sample_source"] = self.attr("_sample_source");
    kw["cpu_on"] = threshold + const_float(names().cpu_on_margin, cfg.cpu_on_margin);
    kw["cpu_off"] = std::max(threshold - const_float(names().cpu_off_margin, cfg.cpu_off_margin), 0.0);
    kw["on_sample"] = self.attr("_periodic_rescan");
    nb::object gate = module_handle().attr("_LoadGate")(**kw);
    nb::setattr(self, "_load_gate", gate);
    gate.attr("start")();
}

void start(nb::handle self, nb::handle caller_frame) {
    if (monitor_running(self.ptr())) return;
    set_monitor_running(self, true);

    nb::object policy = self.attr("policy");
    if (PyUnicode_Check(policy.ptr()) &&
        (PyUnicode_CompareWithASCIIString(policy.ptr(), "auto") == 0 ||
         PyUnicode_CompareWithASCIIString(policy.ptr(), "loaded") == 0))
        start_load_gate(self);

    if (!caller_frame.is_none()) {
        nb::setattr(self, "_caller_globals", caller_frame.attr("f_globals"));
        nb::setattr(self, "_caller_frame", caller_frame);
        self.attr("_forward_scan")(caller_frame);
        self.attr("_wrap_scope")(self.attr("_caller_globals"));
        bool open = truthy(self.attr("_forward_pending")());
        set_monitor_forward_open(self, open);
        nb::setattr(self, "_hook_started_at", nb::float_(monitor_now(self)));
        if (open) self.attr("_install_hook")();
    }

    if (!nb::cast<bool>(self.attr("_atexit_registered"))) {
        nb::module_::import_("atexit").attr("register")(exit_handler(self));
        nb::setattr(self, "_atexit_registered", nb::bool_(true));
    }
    log(kLogger, LogLevel::Info, "Overflow monitor started  policy=%s  fast=%s", policy,
        self.attr("fast"));
}

// Runs one step of stop(). Every step runs even when an earlier one fails:
// `_running` is already false, so a monitor left half-stopped could never be
// stopped again and would keep its hook, its thread or its wrappers.
template <typename F>
void stop_step(const char *what, F &&f) {
    try {
        f();
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        log_quiet(kLogger, LogLevel::Warning, "overflow monitor stop: %s failed (%s)",
                  nb::str(what), nb::str(e.value()));
    }
}

void stop(nb::handle self) {
    if (!monitor_running(self.ptr())) return;
    set_monitor_running(self, false);
    set_monitor_forward_open(self, false);  // the late-definition watch ends with the monitor
    stop_step("removing the trace hook", [&] { self.attr("_uninstall_hook")(); });
    nb::setattr(self, "_caller_frame", nb::none());
    stop_step("stopping the load gate", [&] {
        nb::object gate = self.attr("_load_gate");
        if (!gate.is_none()) gate.attr("stop")();
    });
    nb::setattr(self, "_load_gate", nb::none());
    stop_step("restoring the user's functions", [&] { self.attr("_unwrap_all")(); });
    nb::object session = self.attr("_gateway");
    if (!session.is_none()) close_gateway_session(session);
    nb::setattr(self, "_gateway", nb::none());
    if (nb::cast<bool>(self.attr("_atexit_registered"))) {
        try {
            nb::module_::import_("atexit").attr("unregister")(exit_handler(self));
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
        }
        nb::setattr(self, "_atexit_registered", nb::bool_(false));
    }
    log(kLogger, LogLevel::Info, "Overflow monitor stopped.");
}

}  // namespace

PyTypeObject *g_monitor_type = nullptr;
Py_ssize_t g_core_offset = 0;

PyTypeObject *monitor_type() { return g_monitor_type; }

uint64_t g_watch_epoch = 1;

namespace {

int g_watcher = -1;
struct HotMethod {
    PyObject *name;
    PyObject *fn;
};
HotMethod g_hot[16];
int g_hot_count = 0;
// Fields whose replacement invalidates cached verdicts (interned, borrowed).
PyObject *g_verdict_fields[3] = {nullptr, nullptr, nullptr};
// The fields kept in MonitorCore::fields, in that order (interned, borrowed),
// and the epoch that drops every such copy (never 0).
PyObject *g_hot_fields[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
uint64_t g_field_epoch = 1;

int hot_field_slot(PyObject *name) noexcept {
    for (int i = 0; i < 5; ++i)
        if (g_hot_fields[i] == name) return i;
    return -1;
}

#if PY_VERSION_HEX >= 0x030C0000
int on_dict_event(PyDict_WatchEvent event, PyObject *, PyObject *key, PyObject *) noexcept {
    if (event == PyDict_EVENT_MODIFIED && key && PyUnicode_Check(key)) {
        if (hot_field_slot(key) >= 0) ++g_field_epoch;
        // A string key in a watched dict is a monitor field: only the memo
        // maps matter (counters such as _hook_calls change all the time).
        for (PyObject *name : g_verdict_fields)
            if (key == name) ++g_watch_epoch;
        return 0;
    }
    ++g_watch_epoch;
    ++g_field_epoch;
    return 0;
}

void watch(PyObject *dict) {
    if (g_watcher >= 0 && dict && PyDict_Check(dict) && PyDict_Watch(g_watcher, dict) < 0)
        PyErr_Clear();
}
#else
void watch(PyObject *) {}
#endif

}  // namespace


void register_hot_method(PyObject *name, PyObject *fn) {
    for (int i = 0; i < g_hot_count; ++i) {
        if (g_hot[i].name == name) {
            g_hot[i].fn = fn;
            return;
        }
    }
    if (g_hot_count < 16) g_hot[g_hot_count++] = HotMethod{name, fn};
    ++g_watch_epoch;
}

bool watch_enabled() noexcept { return g_watcher >= 0; }

bool plain_monitor(PyObject *mon) {
    MonitorCore *core = exact_monitor(mon);
    if (!core) return false;
    PyObject *d = instance_dict(mon);
    if (!d) return false;
    PyTypeObject *tp = Py_TYPE(mon);
    if (g_watcher >= 0 && core->checked_epoch == g_watch_epoch && core->checked_dict == d &&
        tp->tp_version_tag != 0 && core->checked_type_tag == tp->tp_version_tag)
        return core->plain;
    bool plain = true;
    for (int i = 0; i < g_hot_count && plain; ++i) {
        if (_PyType_Lookup(tp, g_hot[i].name) != g_hot[i].fn) plain = false;
        int has = PyDict_Contains(d, g_hot[i].name);
        if (has < 0) throw nb::python_error();
        if (has) plain = false;
    }
    watch(d);
    for (PyObject *name : g_verdict_fields) {
        if (!name) continue;
        PyObject *m = PyDict_GetItemWithError(d, name);
        if (!m && PyErr_Occurred()) throw nb::python_error();
        watch(m);
    }
    core->plain = plain;
    core->checked_dict = d;
    core->checked_type_tag = tp->tp_version_tag;
    // Without dict watchers nothing would tell the memo it went stale.
    core->checked_epoch = g_watcher >= 0 ? g_watch_epoch : 0;
    return plain;
}


bool monitor_running(PyObject *mon) {
    if (MonitorCore *core = exact_monitor(mon)) return core->running;
    nb::object v = optional_attr(mon, names().running);
    if (!v.is_valid()) return false;
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

void set_monitor_running(nb::handle mon, bool value) {
    if (MonitorCore *core = exact_monitor(mon.ptr())) {
        core->running = value;
        return;
    }
    check(PyObject_SetAttr(mon.ptr(), names().running, value ? Py_True : Py_False));
}

bool monitor_forward_open(PyObject *mon) {
    if (MonitorCore *core = exact_monitor(mon)) return core->forward_open;
    nb::object v = optional_attr(mon, names().forward_open);
    if (!v.is_valid()) return false;
    int t = PyObject_IsTrue(v.ptr());
    if (t < 0) throw nb::python_error();
    return t == 1;
}

void set_monitor_forward_open(nb::handle mon, bool value) {
    if (MonitorCore *core = exact_monitor(mon.ptr())) {
        core->forward_open = value;
        return;
    }
    check(PyObject_SetAttr(mon.ptr(), names().forward_open, value ? Py_True : Py_False));
}

nb::object exit_handler(nb::handle mon) {
    // A plain bound method: atexit.unregister compares by equality, and bound
    // methods are equal when they bind the same function to the same object.
    nb::object fn = nb::borrow(reinterpret_cast<PyObject *>(Py_TYPE(mon.ptr()))).attr("stop");
    return nb::steal(check(PyMethod_New(fn.ptr(), mon.ptr())));
}

namespace {

// The cached copy of a hot field of an exact monitor whose dict is `d`:
// true with `*out` set (borrowed, null when the dict lacks the key), false
// when `name` is not cached or nothing tells a copy when it goes stale.
bool cached_field(MonitorCore *core, PyObject *d, PyObject *name, PyObject **out) {
    int slot = hot_field_slot(name);
    if (slot < 0 || g_watcher < 0) return false;
    if (core->fields_epoch != g_field_epoch || core->fields_dict != d) {
        watch(d);
        for (int i = 0; i < 5; ++i) {
            PyObject *v = PyDict_GetItemWithError(d, g_hot_fields[i]);
            if (!v && PyErr_Occurred()) throw nb::python_error();
            core->fields[i] = v;
        }
        core->fields_dict = d;
        core->fields_epoch = g_field_epoch;
    }
    *out = core->fields[slot];
    return true;
}

}  // namespace

nb::object monitor_field(nb::handle mon, PyObject *name) {
    if (MonitorCore *core = exact_monitor(mon.ptr())) {
        if (PyObject *d = instance_dict(mon.ptr())) {
            PyObject *v = nullptr;
            if (cached_field(core, d, name, &v)) {
                if (v) return nb::borrow(v);
            } else {
                if (dict_get_ref(d, name, &v) < 0) throw nb::python_error();
                if (v) return nb::steal(v);
            }
        }
    }
    return nb::steal(check(PyObject_GetAttr(mon.ptr(), name)));
}

namespace {
PyObject *g_monotonic = nullptr;  // time.monotonic; identity only
}

double monitor_now(nb::handle mon) {
    nb::object clock;
    try {
        clock = monitor_field(mon, names().clock);
    } catch (nb::python_error &e) {
        if (!e.matches(PyExc_AttributeError)) throw;
    }
#if PY_VERSION_HEX >= 0x030D0000
    if (!clock.is_valid() || clock.ptr() == g_monotonic) {
        // The default clock, read without a Python call: the same source and
        // the same arithmetic as time.monotonic().
        PyTime_t t;
        if (PyTime_Monotonic(&t) < 0) throw nb::python_error();
        return PyTime_AsSecondsDouble(t);
    }
#endif
    if (!clock.is_valid()) clock = nb::module_::import_("time").attr("monotonic");
    return as_double(clock());
}

void register_monitor(nb::module_ &m) {
    using namespace nb::literals;
    nb::object time_mod = nb::module_::import_("time");
    g_monotonic = time_mod.attr("monotonic").ptr();  // the time module keeps it
#if PY_VERSION_HEX >= 0x030C0000
    g_watcher = PyDict_AddWatcher(on_dict_event);
    if (g_watcher < 0) PyErr_Clear();  // no watcher slot left: memo disabled, still correct
#endif
    g_verdict_fields[0] = names().predict_cache;
    g_verdict_fields[1] = names().relaxed_cache;
    g_verdict_fields[2] = names().learned_heavy;
    g_hot_fields[0] = names().tls;
    g_hot_fields[1] = names().clock;
    g_hot_fields[2] = names().policy;
    g_hot_fields[3] = names().observed_seconds;
    g_hot_fields[4] = names().min_seconds;
    auto cls = nb::class_<MonitorCore>(m, "_OverflowMonitor", nb::dynamic_attr(),
                                       nb::is_weak_referenceable());
    g_monitor_type = reinterpret_cast<PyTypeObject *>(cls.ptr());

    cls.def(
        "__init__",
        [](MonitorCore *core, nb::handle policy, nb::handle fast, nb::handle threshold,
           nb::handle gpu_threshold, nb::handle check_interval, nb::handle api_key,
           nb::handle api_url, nb::handle verbose, nb::handle min_seconds,
           nb::handle max_payload_bytes, nb::handle prewarm, nb::handle cooldown_base,
           nb::handle cooldown_cap, nb::handle clock, nb::handle gateway_factory,
           nb::handle sample_source) {
            nb::object self = nb::find(core);
            init_monitor(core, self, policy, fast, threshold, gpu_threshold, check_interval,
                         api_key, api_url, verbose, min_seconds, max_payload_bytes, prewarm,
                         cooldown_base, cooldown_cap, clock, gateway_factory, sample_source);
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
    cls.def("__setstate__", [](MonitorCore *core, nb::dict state) {
        nb::object self = nb::find(core);
        set_state(core, self, state);
    });
    cls.def("start", [](nb::handle self, nb::handle frame) { start(self, frame); },
            "caller_frame"_a.none() = nb::none());
    cls.def("stop", [](nb::handle self) { stop(self); });

    // Where nanobind keeps the C++ part of an instance created from Python.
    nb::object probe = nb::steal(check(PyObject_CallMethod(cls.ptr(), "__new__", "O", cls.ptr())));
    g_core_offset = reinterpret_cast<char *>(nb::inst_ptr<MonitorCore>(probe)) -
                    reinterpret_cast<char *>(probe.ptr());

    cls.def_prop_rw(
        "_running", [](MonitorCore &c) { return c.running; },
        [](MonitorCore &c, nb::handle v) { c.running = truthy(v); });
    cls.def_prop_rw(
        "_forward_open", [](MonitorCore &c) { return c.forward_open; },
        [](MonitorCore &c, nb::handle v) { c.forward_open = truthy(v); });
}

}  // namespace corvid::overflow
