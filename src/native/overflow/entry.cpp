#include "overflow/entry.hpp"

#include "overflow/config.hpp"
#include "overflow/monitor.hpp"

namespace corvid::overflow {

namespace {

nb::object to_float(nb::handle v) { return nb::steal(check(PyNumber_Float(v.ptr()))); }

// The frame of the code that called overflow() (a C function has no frame of
// its own, so the innermost Python frame is the caller's).
nb::object calling_frame() {
    PyFrameObject *f = PyEval_GetFrame();
    return f ? nb::borrow(reinterpret_cast<PyObject *>(f)) : nb::none();
}

void retire(nb::handle previous) {
    try {
        nb::module_::import_("atexit").attr("unregister")(exit_handler(previous));
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    try {
        previous.attr("stop")();
    } catch (nb::python_error &e) {
        // The old monitor's failure must not keep the new one from starting.
        if (!is_ordinary(e)) throw;
        log_quiet(kLogger, LogLevel::Warning, "previous overflow monitor failed to stop (%s)",
                  nb::str(e.value()));
    }
}

nb::object overflow(nb::handle fast, nb::handle threshold, nb::handle check_interval,
                    nb::handle api_key, nb::handle api_url, nb::handle gpu_threshold,
                    nb::handle verbose, nb::handle policy, nb::handle priority,
                    nb::handle flexible, nb::handle caller_frame) {
    nb::handle m = module_handle();
    if (!priority.is_none() || !flexible.is_none()) {
        // Stack level 1 from C code names the Python frame that called us.
        check(PyErr_WarnEx(PyExc_DeprecationWarning,
                           "overflow(priority=, flexible=) are not implemented and are ignored", 1));
    }
    bool threshold_set = !threshold.is(unset());
    bool gpu_set = !gpu_threshold.is(unset());
    nb::str resolved = resolve_policy(policy, threshold_set, gpu_set);
    nb::object cpu = threshold_set
                         ? to_float(threshold)
                         : env_float(nb::str("CORVID_OVERFLOW_THRESHOLD"), nb::float_(85.0));
    nb::object gpu = gpu_set ? to_float(gpu_threshold) : nb::none();

    nb::object previous = m.attr("_active_monitor");
    if (!previous.is_none()) retire(previous);

    const Settings &cfg = settings();
    nb::object payload_mb = env_float(nb::str("CORVID_OVERFLOW_MAX_PAYLOAD_MB"), nb::float_(256.0));
    nb::object payload = payload_bytes(payload_mb);
    nb::dict kw;
    kw["policy"] = resolved;
    kw["fast"] = fast;
    kw["threshold"] = cpu;
    kw["gpu_threshold"] = gpu;
    kw["check_interval"] = check_interval;
    kw["api_key"] = api_key;
    kw["api_url"] = api_url;
    kw["verbose"] = verbose;
    kw["min_seconds"] =
        env_float(nb::str("CORVID_OVERFLOW_MIN_SECONDS"), nb::float_(const_float(names().min_seconds_default, cfg.min_seconds_default)));
    kw["max_payload_bytes"] = payload;
    kw["prewarm"] = env_bool(nb::str("CORVID_OVERFLOW_PREWARM"), nb::bool_(false));
    kw["cooldown_base"] =
        env_float(nb::str("CORVID_OVERFLOW_COOLDOWN"), nb::float_(const_float(names().cooldown_base_default, cfg.cooldown_base_default)));
    nb::object monitor = m.attr("_OverflowMonitor")(**kw);
    nb::setattr(m, "_active_monitor", monitor);

    nb::object frame = caller_frame.is_none() ? calling_frame() : nb::borrow(caller_frame);
    nb::object failure;  // acted on after the handler: no Python code runs inside one
    try {
        monitor.attr("start")(frame);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        failure = nb::borrow(e.value());
    }
    if (failure.is_valid()) {
        log_quiet(kLogger, LogLevel::Warning,
                  "overflow monitor failed to start (%s) \xe2\x80\x94 feature disabled", failure);
        swallow([&] { monitor.attr("stop")(); });
    }
    return monitor;
}

}  // namespace

void register_entry(nb::module_ &m) {
    using namespace nb::literals;
    nb::setattr(m, "_active_monitor", nb::none());
    m.def("overflow", &overflow, "fast"_a.none() = false, "threshold"_a.none().sig("...") = unset(),
          "check_interval"_a.none() = 0.5, "api_key"_a.none() = nb::none(),
          "api_url"_a.none() = nb::none(), "gpu_threshold"_a.none().sig("...") = unset(),
          "verbose"_a.none() = true, "policy"_a.none() = nb::none(),
          "priority"_a.none() = nb::none(), "flexible"_a.none() = nb::none(),
          "_caller_frame"_a.none() = nb::none(),
          "Turn on the offload monitor for the calling script and return it.");
}


}  // namespace corvid::overflow
