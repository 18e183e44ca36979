#include "overflow/offload_gate.hpp"

#include <algorithm>
#include <utility>

#include "overflow/config.hpp"
#include "overflow/load_gate.hpp"
#include "overflow/heaviness.hpp"
#include "overflow/monitor.hpp"
#include "overflow/safety.hpp"
#include "overflow/source.hpp"

namespace corvid::overflow {

namespace {

bool is_policy(nb::handle policy, PyObject *word) {
    if (policy.ptr() == word) return true;
    return PyUnicode_Check(policy.ptr()) &&
           PyUnicode_GET_LENGTH(policy.ptr()) == PyUnicode_GET_LENGTH(word) &&
           PyUnicode_Compare(policy.ptr(), word) == 0;
}

// Which of the policies `policy` names; anything else reads as "auto".
enum class Policy { Off, Always, Loaded, Auto };

Policy policy_kind(nb::handle policy) {
    const Names &n = names();
    if (is_policy(policy, n.policy_off)) return Policy::Off;
    if (is_policy(policy, n.policy_always)) return Policy::Always;
    if (is_policy(policy, n.policy_loaded)) return Policy::Loaded;
    return Policy::Auto;
}

// The monitor's policy now. The member is read without taking a reference:
// classifying it runs no Python code.
Policy current_policy(nb::handle self, Monitor *mon) {
    if (mon && mon->policy) return policy_kind(mon->policy);
    return policy_kind(field_policy(self, mon));
}

}  // namespace

bool under_pressure(nb::handle self, Monitor *mon) {
    nb::object gate = field_load_gate(self, mon);
    return !gate.is_none() && gate_sustained_overloaded(gate);
}

bool under_pressure(nb::handle self) { return under_pressure(self, monitor_of(self.ptr())); }

bool under_gpu_pressure(nb::handle self) {
    nb::object gate = field_load_gate(self);
    return !gate.is_none() && gate_gpu_pressure(gate);
}

bool in_cooldown(nb::handle self) {
    if (!field_gateway(self).is_none()) return false;
    return monitor_now(self) < as_double(field_gateway_retry_at(self));
}

namespace {

// `mon` is monitor_of(self) throughout.
bool strictly_heavy(nb::handle self, Monitor *mon, nb::handle func, nb::handle key,
                    Py_hash_t hash) {
    if (nb::object replaced = monitor_method(self, mon, Method::predict_heavy))
        return truthy(exit_safe([&] { return replaced(func); }));
    return predict_heavy_keyed(self, mon, func, key, hash);
}

bool relaxed_heavy_call(nb::handle self, nb::handle func, nb::handle key) {
    if (nb::object replaced = monitor_method(self, Method::relaxed_heavy))
        return truthy(exit_safe([&] { return replaced(func); }));
    return relaxed_heavy_keyed(self, func, key);
}

bool pressure(nb::handle self, Monitor *mon) {
    if (nb::object replaced = monitor_method(self, mon, Method::under_pressure))
        return truthy(exit_safe([&] { return replaced(); }));
    return under_pressure(self, mon);
}


// Step 8: the call's time stamp joins the function's recent calls; more than
// _LOOP_HOT_MAX of them within _LOOP_HOT_WINDOW keeps it here.
bool loop_hot(nb::handle self, nb::handle key) {
    double now = monitor_now(self);
    nb::object recent = field_recent_calls(self);
    nb::object stamps = mapping_get(recent, key);
    if (!stamps.is_valid()) {
        stamps = nb::list();
        check(PyObject_SetItem(recent.ptr(), key.ptr(), stamps.ptr()));
    }
    nb::object stamp = nb::steal(check(PyFloat_FromDouble(now)));
    if (PyList_Check(stamps.ptr()))
        check(PyList_Append(stamps.ptr(), stamp.ptr()));
    else
        stamps.attr("append")(stamp);
    const Settings &cfg = settings();
    double oldest = now - const_float(names().loop_hot_window, cfg.loop_hot_window);
    while (truthy(stamps)) {
        nb::object first = stamps[0];
        if (!(as_double(first) < oldest)) break;
        stamps.attr("pop")(0);
    }
    return nb::len(stamps) > static_cast<size_t>(std::max<long long>(
                                 const_int(names().loop_hot_max, cfg.loop_hot_max), 0));
}

}  // namespace

Verdict decide(nb::handle self, Monitor *mon, nb::handle func, CallSite &call, bool is_method,
               nb::handle key) {
    Policy kind = current_policy(self, mon);
    if (kind == Policy::Off) return {{}, ReasonId::PolicyOff};
    // The caller owns `key` for the call; a key made here is owned here.
    nb::object made_key = key.is_valid() ? nb::object() : sig_key(func);
    nb::handle own_key = key.is_valid() ? key : made_key;
    Py_hash_t hash = key.is_valid() ? call.known_sig_hash(key) : -1;
    // Computing the key or its hash may run Python code, which may set another policy.
    if (hash == -1) {
        if (key.is_valid()) hash = call.sig_hash(key);
        kind = current_policy(self, mon);
    }

    // Heaviness, by policy; `relaxed`: the call qualifies by the relaxed test alone.
    bool relaxed = false;
    if (kind == Policy::Always) {
    } else if (kind == Policy::Loaded) {
        if (!pressure(self, mon)) return {{}, ReasonId::NotOverloaded};
        bool strict = strictly_heavy(self, mon, func, own_key, hash);
        if (!strict && !relaxed_heavy_call(self, func, own_key)) return {{}, ReasonId::NotHeavy};
        relaxed = !strict;
    } else if (!strictly_heavy(self, mon, func, own_key, hash)) {
        if (!pressure(self, mon) || !relaxed_heavy_call(self, func, own_key))
            return {{}, ReasonId::NotHeavy};
        relaxed = true;
    }

    if (contains(field_demoted(self), own_key)) return {{}, ReasonId::Demoted};
    if (relaxed && !contains(field_benefit_ok(self), own_key)) return {{}, ReasonId::Unproven};
    if (contains(field_offload_incompatible(self), own_key)) return {{}, ReasonId::Incompatible};
    if (call_monitor_method<bool>(self, Method::in_cooldown, in_cooldown))
        return {{}, ReasonId::Cooldown};
    if (loop_hot(self, own_key)) return {{}, ReasonId::LoopHot};

    nb::object verdict;
    if (nb::object replaced = monitor_method(self, Method::offload_safety)) {
        nb::handle args = call.args(), kwargs = call.kwargs();
        verdict = exit_safe([&] { return replaced(func, args, kwargs, is_method); });
    } else {
        verdict = offload_safety(self, func, call, is_method);
    }
    return {verdict};
}

namespace {

// `observed[sig] = dt`. The entry is overwritten on every local run, and the
// float it holds is usually referenced by the map alone: such a float is
// given the new value in place (what zip() does with a result tuple nobody
// kept), which spares allocating one float and freeing another per call.
// Whoever holds a reference to the old value keeps its value: the refcount
// says nobody does. The monitor keeps the float it filed last (one more
// reference), which stays the map's entry while no watched dict changes, so
// the next run of the same function finds it without a look-up.
void store_seconds(Monitor *mon, nb::handle observed, nb::handle sig, double dt, Py_hash_t hash) {
    Monitor::KeyMemo *memo = mon ? &mon->key_memo : nullptr;
    auto keep = [&](PyObject *seconds) {
        if (!memo || !PyFloat_CheckExact(seconds) || !watch_dict(observed)) return;
        Monitor::KeyMemo m = key_memo_for(mon, sig);
        m.observed = nb::borrow(observed);
        m.seconds = nb::borrow(seconds);
        m.seconds_at = watched_dict_changes();
        std::swap(mon->key_memo, m);
    };
#ifndef Py_GIL_DISABLED
    if (memo && memo->key.is(sig) && memo->observed.is(observed) && memo->seconds.is_valid() &&
        memo->seconds_at == watched_dict_changes() && PyFloat_CheckExact(memo->seconds.ptr()) &&
        Py_REFCNT(memo->seconds.ptr()) == 2) {
        reinterpret_cast<PyFloatObject *>(memo->seconds.ptr())->ob_fval = dt;
        return;
    }
    if (hash != -1 && PyDict_CheckExact(observed.ptr())) {
        PyObject *old = _PyDict_GetItem_KnownHash(observed.ptr(), sig.ptr(), hash);
        if (!old && PyErr_Occurred()) throw nb::python_error();
        Py_ssize_t owners = (memo && memo->seconds.ptr() == old) ? 2 : 1;
        if (old && PyFloat_CheckExact(old) && Py_REFCNT(old) == owners) {
            reinterpret_cast<PyFloatObject *>(old)->ob_fval = dt;
            keep(old);
            return;
        }
    }
#endif
    nb::object seconds = nb::steal(check(PyFloat_FromDouble(dt)));
    check(mapping_set_hashed(observed.ptr(), sig.ptr(), seconds.ptr(), hash));
    keep(seconds.ptr());
}

// monitor.min_seconds as a number; the usual exact float is read in place,
// without taking a reference.
double min_seconds(nb::handle self, Monitor *mon) {
    PyObject *v = mon ? mon->min_seconds.ptr() : nullptr;
    if (v && PyFloat_CheckExact(v)) return PyFloat_AS_DOUBLE(v);
    return as_double(field_min_seconds(self, mon));
}

}  // namespace

void record_local_time(nb::handle self, Monitor *mon, nb::handle sig, double dt,
                       nb::handle reason, Py_hash_t hash) {
    store_seconds(mon, field_observed_seconds(self, mon), sig, dt, hash);
    if (dt >= min_seconds(self, mon)) {
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
            Verdict v = decide(self, monitor_of(self.ptr()), func, call, truthy(is_method),
                               nb::handle());
            // Every answer given to Python is a Decision of its own.
            return v.decision.is_valid() ? v.decision : make_local(v.reason);
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(
        m, "_record_local_time",
        [](nb::handle self, nb::handle, nb::handle sig, double dt, nb::handle reason) {
            record_local_time(self, monitor_of(self.ptr()), sig, dt, reason);
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
