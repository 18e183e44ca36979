#include "overflow/dispatch.hpp"

#include "overflow/config.hpp"
#include "overflow/discovery.hpp"
#include "overflow/monitor.hpp"
#include "overflow/offload_gate.hpp"

namespace corvid::overflow {

namespace {

// Borrowed; the module attributes keep them alive.
PyObject *g_submit_error = nullptr;
PyObject *g_state_sync_error = nullptr;
// The class's own methods, to tell when C++ may skip the attribute look-up.
PyObject *g_dispatch_fn = nullptr;
PyObject *g_executing_fn = nullptr;
PyObject *g_dispatch_inner_fn = nullptr;

// Runs the call here after the remote road failed; not timed, not recorded.
nb::object run_local(nb::handle thunk) { return thunk(); }

nb::object error_class_name(const nb::python_error &e) {
    nb::object cls = nb::borrow(e.type());
    nb::object name = optional_attr(cls, names().dunder_name);
    return name.is_valid() ? name : nb::str("Error");
}

void warn(const char *fmt, nb::handle name, const nb::python_error &e) {
    log_quiet(kLogger, LogLevel::Warning, fmt, nb::borrow(name), nb::str(e.value()));
}

}  // namespace

nb::handle submit_error_type() { return g_submit_error; }
nb::handle state_sync_error_type() { return g_state_sync_error; }

nb::object executing(nb::handle self) {
    nb::object tls = monitor_field(self, names().tls);
    nb::object stack = optional_attr(tls, names().stack);
    if (stack.is_valid()) return stack;
    stack = nb::set();
    check(PyObject_SetAttr(tls.ptr(), names().stack, stack.ptr()));
    return stack;
}

nb::object dispatch(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                    nb::handle sig, nb::handle name, nb::handle thunk, bool is_method) {
    const Names &n = names();
    if (monitor_forward_open(self.ptr())) {
        // A failing walk must not cost the call: it closes the watch instead.
        try {
            watch_late_definitions(self);
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
            set_monitor_forward_open(self, false);
        }
    }

    nb::object running = plain_monitor(self.ptr())
                             ? executing(self)
                             : call_attr(self, n.executing);
    int seen = PySequence_Contains(running.ptr(), sig.ptr());
    if (seen < 0) throw nb::python_error();
    // A function already in progress on this thread (recursion, or a call back
    // into it from code it called) runs here with no decision and no record.
    if (seen) return thunk();

    set_add(running, sig);
    nb::object result;
    try {
        if (plain_monitor(self.ptr())) {
            result = dispatch_inner(self, func, args, kwargs, sig, name, thunk, is_method);
        } else {
            result = self.attr(n.dispatch_inner)(func, args, kwargs, sig, name, thunk,
                                                 nb::arg("is_method") = is_method);
        }
    } catch (...) {
        ErrorGuard keep;  // the caller's error survives the clean-up below
        try {
            set_discard(running, sig);
        } catch (nb::python_error &) {
        }
        throw;
    }
    set_discard(running, sig);
    return result;
}

nb::object dispatch_inner(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                          nb::handle sig, nb::handle name, nb::handle thunk, bool is_method) {
    const Names &n = names();
    double t0;
    nb::object decision, action;
    try {
        t0 = monitor_now(self);
        decision = should_offload_route(self, func, args, kwargs, is_method);
        if (is_decision(decision)) {
            PyObject *a = reinterpret_cast<DecisionObject *>(decision.ptr())->action;
            action = a ? nb::borrow(a) : nb::none();
        } else {
            action = decision.attr(n.action);
        }
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return thunk();
    }

    if (action.is(action_local())) {
        nb::object result = thunk();  // the user's own errors propagate from here
        try {
            double dt = monitor_now(self) - t0;
            nb::object reason;
            if (is_decision(decision)) {
                PyObject *r = reinterpret_cast<DecisionObject *>(decision.ptr())->reason;
                reason = r ? nb::borrow(r) : nb::none();
            } else {
                reason = decision.attr(n.reason);
            }
            record_local_time_route(self, func, sig, dt, reason);
        } catch (nb::python_error &e) {
            // Learning is best-effort; the caller already has its result.
            if (!is_ordinary(e)) throw;
            log_quiet(kLogger, LogLevel::Debug, "recording a local run of %s() failed (%s)",
                      nb::borrow(name), nb::str(e.value()));
        }
        return result;
    }

    // Announcing and pre-warming are not part of the remote run: their
    // failures are not offload failures, but the call must still happen.
    try {
        call_attr(self, n.announce_offload, func);
        call_attr(self, n.maybe_prewarm);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return run_local(thunk);
    }

    nb::object result;
    try {
        nb::object gpu = call_attr(self, n.under_gpu_pressure);
        result = call_attr(self, n.cloud_execute, func, args, kwargs, gpu);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        if (e.matches(g_state_sync_error)) {
            set_add(self.attr(n.offload_incompatible), sig);
            warn("overflow write-back for %s() unsafe (%s) \xe2\x80\x94 running locally", name, e);
            return run_local(thunk);
        }
        if (e.matches(g_submit_error)) return run_local(thunk);
        nb::object cls_name = error_class_name(e);
        if (PyUnicode_Check(cls_name.ptr()) &&
            PyUnicode_CompareWithASCIIString(cls_name.ptr(), "SerializationError") == 0) {
            set_add(self.attr(n.offload_incompatible), sig);
        } else {
            call_attr(self, n.note_offload_failure, sig);
        }
        warn("cloud offload of %s() failed (%s) \xe2\x80\x94 running locally", name, e);
        return run_local(thunk);
    }
    try {
        self.attr(n.offload_failures).attr("pop")(sig, nb::none());
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    return result;
}

nb::object route_dispatch(nb::handle monitor, nb::handle func, nb::handle args,
                          nb::handle kwargs, nb::handle sig, nb::handle name, nb::handle thunk,
                          bool is_method) {
    if (plain_monitor(monitor.ptr()))
        return dispatch(monitor, func, args, kwargs, sig, name, thunk, is_method);
    nb::object method = monitor.attr(names().dispatch);
    if (is_method) return method(func, args, kwargs, sig, name, thunk, nb::arg("is_method") = true);
    return method(func, args, kwargs, sig, name, thunk);
}

void register_dispatch(nb::module_ &m) {
    using namespace nb::literals;
    nb::object submit = nb::steal(check(
        PyErr_NewExceptionWithDoc("corvid.overflow._SubmitError",
                                  "The call was not submitted (no gateway session available).",
                                  PyExc_Exception, nullptr)));
    nb::object sync = nb::steal(check(
        PyErr_NewExceptionWithDoc("corvid.overflow._StateSyncError",
                                  "A remote call's changes to its arguments could not be written back.",
                                  PyExc_Exception, nullptr)));
    m.attr("_SubmitError") = submit;
    m.attr("_StateSyncError") = sync;
    g_submit_error = submit.ptr();
    g_state_sync_error = sync.ptr();

    def_monitor_method(
        m, "_dispatch",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle sig,
           nb::handle name, nb::handle thunk, nb::handle is_method) {
            return dispatch(self, func, args, kwargs, sig, name, thunk, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "sig"_a.none(), "name"_a.none(),
        "thunk"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(m, "_executing", [](nb::handle self) { return executing(self); });
    def_monitor_method(
        m, "_dispatch_inner",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle sig,
           nb::handle name, nb::handle thunk, nb::handle is_method) {
            return dispatch_inner(self, func, args, kwargs, sig, name, thunk, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "sig"_a.none(), "name"_a.none(),
        "thunk"_a.none(), "is_method"_a.none() = false);

    nb::handle cls = m.attr("_OverflowMonitor");
    g_dispatch_fn = class_attr_of(cls, "_dispatch");
    g_executing_fn = class_attr_of(cls, "_executing");
    g_dispatch_inner_fn = class_attr_of(cls, "_dispatch_inner");
    register_hot_method(names().dispatch, g_dispatch_fn);
    register_hot_method(names().executing, g_executing_fn);
    register_hot_method(names().dispatch_inner, g_dispatch_inner_fn);
}

}  // namespace corvid::overflow
