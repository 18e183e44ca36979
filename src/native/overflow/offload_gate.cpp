#include "overflow/offload_gate.hpp"

#include "overflow/config.hpp"
#include "overflow/load_gate.hpp"
#include "overflow/monitor.hpp"

namespace corvid::overflow {

namespace {

PyObject *g_should_offload_fn = nullptr;
PyObject *g_record_local_time_fn = nullptr;

bool is_policy(nb::handle policy, PyObject *word) {
    if (policy.ptr() == word) return true;
    return PyUnicode_Check(policy.ptr()) && PyUnicode_Compare(policy.ptr(), word) == 0;
}


}  // namespace

Verdict decide(nb::handle self, nb::handle, CallSite &, bool) {
    nb::object policy = monitor_field(self, names().policy);
    if (is_policy(policy, names().policy_off)) return {{}, ReasonId::PolicyOff};
    // Load, heaviness, learned history, cooldown and the loop guard come next;
    // until they are in place nothing qualifies as heavy.
    return {{}, ReasonId::NotHeavy};
}

nb::object should_offload(nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
                          bool is_method) {
    ThunkSite call(args, kwargs, nb::none());
    Verdict v = decide(self, func, call, is_method);
    // Every answer given to Python is a Decision of its own.
    return v.decision.is_valid() ? v.decision : make_local(v.reason);
}

void record_local_time(nb::handle self, nb::handle, nb::handle sig, double dt,
                       nb::handle reason) {
    const Names &n = names();
    nb::object observed = monitor_field(self, n.observed_seconds);
    check(PyObject_SetItem(observed.ptr(), sig.ptr(), nb::float_(dt).ptr()));
    if (dt >= as_double(monitor_field(self, n.min_seconds))) {
        set_add(self.attr(n.benefit_ok), sig);
        set_discard(self.attr(n.demoted), sig);
        return;
    }
    // A function kept local for lack of proof that then ran short is demoted.
    if (!reason.is(corvid::overflow::reason(ReasonId::Unproven))) return;
    nb::object proven = self.attr(n.benefit_ok);
    int known = PySequence_Contains(proven.ptr(), sig.ptr());
    if (known < 0) throw nb::python_error();
    if (known) return;
    nb::object relaxed = self.attr(n.relaxed_cache).attr("get")(sig);
    if (truthy(relaxed)) set_add(self.attr(n.demoted), sig);
}

void note_offload_failure(nb::handle self, nb::handle sig) {
    const Names &n = names();
    nb::object failures = self.attr(n.offload_failures);
    long count = nb::cast<long>(failures.attr("get")(sig, 0)) + 1;
    check(PyObject_SetItem(failures.ptr(), sig.ptr(), nb::int_(count).ptr()));
    if (count >= const_int(names().offload_fail_max, settings().offload_fail_max)) set_add(self.attr(n.offload_incompatible), sig);
}

bool under_pressure(nb::handle self) {
    nb::object gate = self.attr(names().load_gate);
    return !gate.is_none() && gate_sustained_overloaded(gate);
}

bool under_gpu_pressure(nb::handle self) {
    nb::object gate = self.attr(names().load_gate);
    return !gate.is_none() && gate_gpu_pressure(gate);
}

bool in_cooldown(nb::handle self) {
    if (!self.attr(names().gateway).is_none()) return false;
    return monitor_now(self) < as_double(self.attr(names().gateway_retry_at));
}

Verdict should_offload_route(nb::handle self, nb::handle func, CallSite &call, bool is_method) {
    if (plain_monitor(self.ptr())) return decide(self, func, call, is_method);
    return {self.attr(names().should_offload)(func, call.args(), call.kwargs(), is_method)};
}

void record_local_time_route(nb::handle self, nb::handle func, nb::handle sig, double dt,
                             nb::handle reason) {
    if (plain_monitor(self.ptr())) {
        record_local_time(self, func, sig, dt, reason);
        return;
    }
    self.attr(names().record_local_time)(func, sig, dt, reason);
}

void register_offload_gate(nb::module_ &m) {
    using namespace nb::literals;
    def_monitor_method(
        m, "_should_offload",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
           nb::handle is_method) {
            return should_offload(self, func, args, kwargs, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(
        m, "_record_local_time",
        [](nb::handle self, nb::handle func, nb::handle sig, double dt, nb::handle reason) {
            record_local_time(self, func, sig, dt, reason);
        },
        "func"_a.none(), "sig"_a.none(), "dt"_a, "reason"_a.none());
    def_monitor_method(
        m, "_note_offload_failure",
        [](nb::handle self, nb::handle sig) { note_offload_failure(self, sig); }, "sig"_a.none());
    def_monitor_method(m, "_under_pressure", [](nb::handle self) { return under_pressure(self); });
    def_monitor_method(m, "_under_gpu_pressure",
                       [](nb::handle self) { return under_gpu_pressure(self); });
    def_monitor_method(m, "_in_cooldown", [](nb::handle self) { return in_cooldown(self); });

    nb::handle cls = m.attr("_OverflowMonitor");
    g_should_offload_fn = class_attr_of(cls, "_should_offload");
    g_record_local_time_fn = class_attr_of(cls, "_record_local_time");
    register_hot_method(names().should_offload, g_should_offload_fn);
    register_hot_method(names().record_local_time, g_record_local_time_fn);
    // The heaviness tests are registered before this file; the method
    // binding of wrapped classes reads their memo maps directly.
    register_hot_method(names().predict_heavy, class_attr_of(cls, "_predict_heavy"));
    register_hot_method(names().relaxed_heavy, class_attr_of(cls, "_relaxed_heavy"));
}

}  // namespace corvid::overflow
