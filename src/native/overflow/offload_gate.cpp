#include "overflow/offload_gate.hpp"

#include "overflow/config.hpp"
#include "overflow/load_gate.hpp"
#include "overflow/monitor.hpp"

namespace corvid::overflow {

namespace {

bool is_policy(nb::handle policy, PyObject *word) {
    if (policy.ptr() == word) return true;
    return PyUnicode_Check(policy.ptr()) &&
           PyUnicode_GET_LENGTH(policy.ptr()) == PyUnicode_GET_LENGTH(word) &&
           PyUnicode_Compare(policy.ptr(), word) == 0;
}

bool under_pressure(nb::handle self) {
    nb::object gate = field_load_gate(self);
    return !gate.is_none() && gate_sustained_overloaded(gate);
}

bool under_gpu_pressure(nb::handle self) {
    nb::object gate = field_load_gate(self);
    return !gate.is_none() && gate_gpu_pressure(gate);
}

bool in_cooldown(nb::handle self) {
    if (!field_gateway(self).is_none()) return false;
    return monitor_now(self) < as_double(field_gateway_retry_at(self));
}

}  // namespace

Verdict decide(nb::handle self, nb::handle, CallSite &, bool) {
    if (is_policy(field_policy(self), names().policy_off)) return {{}, ReasonId::PolicyOff};
    // Load, heaviness, learned history, cooldown and the loop guard come next;
    // until they are in place nothing qualifies as heavy.
    return {{}, ReasonId::NotHeavy};
}

void record_local_time(nb::handle self, nb::handle sig, double dt, nb::handle reason) {
    nb::object observed = field_observed_seconds(self);
    nb::object seconds = nb::steal(check(PyFloat_FromDouble(dt)));
    check(PyObject_SetItem(observed.ptr(), sig.ptr(), seconds.ptr()));
    if (dt >= as_double(field_min_seconds(self))) {
        set_add(field_benefit_ok(self), sig);
        set_discard(field_demoted(self), sig);
        return;
    }
    // A function kept local for lack of proof that then ran short is demoted.
    if (!reason.is(corvid::overflow::reason(ReasonId::Unproven))) return;
    if (contains(field_benefit_ok(self), sig)) return;
    nb::object relaxed = mapping_get(field_relaxed_cache(self), sig);
    if (relaxed.is_valid() && truthy(relaxed)) set_add(field_demoted(self), sig);
}

void note_offload_failure(nb::handle self, nb::handle sig) {
    nb::object failures = field_offload_failures(self);
    nb::object before = mapping_get(failures, sig);
    long long count = (before.is_valid() ? nb::cast<long long>(before) : 0) + 1;
    check(PyObject_SetItem(failures.ptr(), sig.ptr(), nb::int_(count).ptr()));
    if (count >= const_int(names().offload_fail_max, settings().offload_fail_max))
        set_add(field_offload_incompatible(self), sig);
}

void register_offload_gate(nb::module_ &m) {
    using namespace nb::literals;
    def_monitor_method(
        m, "_should_offload",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs,
           nb::handle is_method) {
            ThunkSite call(args, kwargs, nb::none(), nb::none());
            Verdict v = decide(self, func, call, truthy(is_method));
            // Every answer given to Python is a Decision of its own.
            return v.decision.is_valid() ? v.decision : make_local(v.reason);
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(
        m, "_record_local_time",
        [](nb::handle self, nb::handle, nb::handle sig, double dt, nb::handle reason) {
            record_local_time(self, sig, dt, reason);
        },
        "func"_a.none(), "sig"_a.none(), "dt"_a, "reason"_a.none());
    def_monitor_method(
        m, "_note_offload_failure",
        [](nb::handle self, nb::handle sig) { note_offload_failure(self, sig); }, "sig"_a.none());
    def_monitor_method(m, "_under_pressure", [](nb::handle self) { return under_pressure(self); });
    def_monitor_method(m, "_under_gpu_pressure",
                       [](nb::handle self) { return under_gpu_pressure(self); });
    def_monitor_method(m, "_in_cooldown", [](nb::handle self) { return in_cooldown(self); });
}

}  // namespace corvid::overflow
