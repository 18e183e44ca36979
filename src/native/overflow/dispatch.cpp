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

namespace {

// Marks `sig` as in progress on this thread; false when it already was. An
// exact set answers with one hash of the key: adding an element it already
// holds leaves its size unchanged.
bool enter(nb::handle running, nb::handle sig) {
    if (PySet_CheckExact(running.ptr())) {
        Py_ssize_t before = PySet_GET_SIZE(running.ptr());
        check(PySet_Add(running.ptr(), sig.ptr()));
        return PySet_GET_SIZE(running.ptr()) != before;
    }
    int seen = PySequence_Contains(running.ptr(), sig.ptr());
    if (seen < 0) throw nb::python_error();
    if (seen) return false;
    set_add(running, sig);
    return true;
}

nb::handle decision_field(nb::handle decision, bool want_action, nb::object &keep) {
    if (is_decision(decision)) {
        auto *d = reinterpret_cast<DecisionObject *>(decision.ptr());
        PyObject *v = want_action ? d->action : d->reason;
        return v ? nb::handle(v) : nb::none();
    }
    keep = decision.attr(want_action ? names().action : names().reason);
    return keep;
}

}  // namespace

nb::object dispatch(nb::handle self, nb::handle func, CallSite &call, nb::handle sig,
                    nb::handle name, bool is_method) {
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

    bool plain = plain_monitor(self.ptr());
    nb::object running = plain ? executing(self) : call_attr(self, n.executing);
    // A function already in progress on this thread (recursion, or a call back
    // into it from code it called) runs here with no decision and no record.
    if (!enter(running, sig)) return call.run();

    nb::object result;
    try {
        if (plain_monitor(self.ptr())) {
            result = dispatch_inner(self, func, call, sig, name, is_method);
        } else {
            result = self.attr(n.dispatch_inner)(func, call.args(), call.kwargs(), sig, name,
                                                 call.thunk(), nb::arg("is_method") = is_method);
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

nb::object dispatch_inner(nb::handle self, nb::handle func, CallSite &call, nb::handle sig,
                          nb::handle name, bool is_method) {
    const Names &n = names();
    double t0;
    Verdict verdict;
    nb::object action_keep;
    nb::handle action;
    try {
        t0 = monitor_now(self);
        verdict = should_offload_route(self, func, call, is_method);
        action = verdict.decision.is_valid() ? decision_field(verdict.decision, true, action_keep)
                                             : action_local();
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        return call.run();
    }

    if (action.is(action_local())) {
        nb::object result = call.run();  // the user's own errors propagate from here
        try {
            double dt = monitor_now(self) - t0;
            nb::object reason_keep;
            nb::handle why = verdict.decision.is_valid()
                                 ? decision_field(verdict.decision, false, reason_keep)
                                 : reason(verdict.reason);
            record_local_time_route(self, func, sig, dt, why);
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
        return call.run();
    }

    nb::object result;
    try {
        nb::object gpu = call_attr(self, n.under_gpu_pressure);
        result = call_attr(self, n.cloud_execute, func, call.args(), call.kwargs(), gpu);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        if (e.matches(g_state_sync_error)) {
            set_add(self.attr(n.offload_incompatible), sig);
            warn("overflow write-back for %s() unsafe (%s) \xe2\x80\x94 running locally", name, e);
            return call.run();
        }
        if (e.matches(g_submit_error)) return call.run();
        nb::object cls_name = error_class_name(e);
        if (PyUnicode_Check(cls_name.ptr()) &&
            PyUnicode_CompareWithASCIIString(cls_name.ptr(), "SerializationError") == 0) {
            set_add(self.attr(n.offload_incompatible), sig);
        } else {
            call_attr(self, n.note_offload_failure, sig);
        }
        warn("cloud offload of %s() failed (%s) \xe2\x80\x94 running locally", name, e);
        return call.run();
    }
    try {
        self.attr(n.offload_failures).attr("pop")(sig, nb::none());
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    return result;
}

nb::object route_dispatch(nb::handle monitor, nb::handle func, CallSite &call, nb::handle sig,
                          nb::handle name, bool is_method) {
    if (plain_monitor(monitor.ptr())) return dispatch(monitor, func, call, sig, name, is_method);
    nb::object method = monitor.attr(names().dispatch);
    if (is_method)
        return method(func, call.args(), call.kwargs(), sig, name, call.thunk(),
                      nb::arg("is_method") = true);
    return method(func, call.args(), call.kwargs(), sig, name, call.thunk());
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
            ThunkSite call(args, kwargs, thunk);
            return dispatch(self, func, call, sig, name, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "sig"_a.none(), "name"_a.none(),
        "thunk"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(m, "_executing", [](nb::handle self) { return executing(self); });
    def_monitor_method(
        m, "_dispatch_inner",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle sig,
           nb::handle name, nb::handle thunk, nb::handle is_method) {
            ThunkSite call(args, kwargs, thunk);
            return dispatch_inner(self, func, call, sig, name, truthy(is_method));
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
