#include "overflow/dispatch.hpp"

#include <exception>
#include <utility>

#include "overflow/config.hpp"
#include "overflow/discovery.hpp"
#include "overflow/monitor.hpp"
#include "overflow/report.hpp"
#include "overflow/gateway.hpp"
#include "overflow/offload_gate.hpp"
#include "overflow/remote.hpp"

namespace corvid::overflow {

namespace {

// threading.local's attribute look-up: only a local whose reads go through it
// keeps per-thread dictionaries that the memo below may stand for.
getattrofunc g_local_getattro = nullptr;

void warn(const char *fmt, nb::handle name, nb::handle error) {
    log_quiet(kLogger, LogLevel::Warning, fmt, nb::borrow(name), nb::str(error));
}

// Keeps `stack`, found in the thread's dictionary `own` of `tls`, for the
// next dispatch on this thread. The memo is replaced whole, and what it held
// is dropped after (dropping may run a finalizer, which may dispatch).
void remember(Monitor *mon, uint64_t thread, nb::handle tls, nb::handle own, nb::handle stack) {
    if (!mon || !mon->tls.is(tls)) return;
    Monitor::ThreadMemo memo;
    memo.thread = thread ? thread : PyThreadState_GetID(PyThreadState_Get());
    memo.tls = nb::borrow(tls);
    memo.dict = nb::borrow(own);
    if (stack.is_valid() && watch_dict(own)) {
        memo.stack = nb::borrow(stack);
        memo.changes = watched_dict_changes();
    }
    std::swap(mon->thread_memo, memo);
}

// `_tls.stack` of the calling thread, made empty on the thread's first use.
// An attribute read on a threading.local finds the thread's own dictionary
// first, which costs more than the rest of a dispatch; so each thread keeps,
// in its thread-state dict, the local it read last and that local's
// dictionary for this thread, and the monitor keeps the same for the thread
// that dispatched last (a program that calls from one thread finds it there
// without the thread-state look-up), with the set it found, which stands
// until that dictionary changes. The set is otherwise read from that
// dictionary, so a set the user put into `_tls.stack`, or a new `_tls`, is
// seen at once.
nb::object executing(nb::handle self, Monitor *mon) {
    uint64_t thread = 0;
    if (mon && mon->tls.is_valid() && mon->thread_memo.tls.is(mon->tls)) {
        thread = PyThreadState_GetID(PyThreadState_Get());
        Monitor::ThreadMemo &memo = mon->thread_memo;
        if (thread == memo.thread) {
            if (memo.stack.is_valid() && memo.changes == watched_dict_changes()) return memo.stack;
            nb::object own = memo.dict;  // held: the look-up may run Python code
            PyObject *found = nullptr;
            if (dict_get_ref(own.ptr(), names().stack, &found) < 0) throw nb::python_error();
            nb::object stack = nb::steal(found);
            if (stack.is_valid()) {
                remember(mon, thread, mon->tls, own, stack);
                return stack;
            }
        }
    }

    nb::object tls = field_tls(self, mon);
    PyObject *thread_dict = PyThreadState_GetDict();  // borrowed; null without one
    PyObject *memo = nullptr;
    if (thread_dict && dict_get_ref(thread_dict, names().executing_memo, &memo) < 0)
        throw nb::python_error();
    nb::object held = nb::steal(memo);
    if (memo && PyTuple_CheckExact(memo) && PyTuple_GET_SIZE(memo) == 2 &&
        PyTuple_GET_ITEM(memo, 0) == tls.ptr()) {
        PyObject *found = nullptr;
        if (dict_get_ref(PyTuple_GET_ITEM(memo, 1), names().stack, &found) < 0)
            throw nb::python_error();
        nb::object stack = nb::steal(found);
        if (stack.is_valid()) {
            remember(mon, thread, tls, PyTuple_GET_ITEM(memo, 1), stack);
            return stack;
        }
    }
    nb::object stack = optional_attr(tls, names().stack);
    if (!stack.is_valid()) {
        stack = nb::set();
        check(PyObject_SetAttr(tls.ptr(), names().stack, stack.ptr()));
    }
    if (thread_dict && Py_TYPE(tls.ptr())->tp_getattro == g_local_getattro) {
        nb::object own = optional_attr(tls, names().dunder_dict);
        if (own.is_valid() && PyDict_CheckExact(own.ptr())) {
            nb::object entry = nb::make_tuple(tls, own);
            check(PyDict_SetItem(thread_dict, names().executing_memo, entry.ptr()));
            remember(mon, thread, tls, own, nb::handle());
        }
    }
    return stack;
}

#ifndef Py_GIL_DISABLED
// The in-progress set is empty on most calls, and holds the one key of the
// call in progress on leaving it. For an exact set in that state, the entry
// is written and cleared here with the key's known hash (tuples do not keep
// theirs, and hashing one costs more than the rest of the bookkeeping).
// Entering leaves the slot, counts and reference the set's own insertion
// would. Leaving empties the slot outright where the set's removal would mark
// it deleted: with the one entry gone no lookup can pass through it, and the
// table starts clean for the next call instead of filling with deleted slots
// until it resizes. An empty set that still has deleted slots (left by a call
// nested in another) is cleared first, which holds no key and runs no code.
bool set_enter_empty(PyObject *set, PyObject *key, Py_hash_t hash) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    if (hash == -1 || !PySet_CheckExact(set) || so->used != 0) return false;
    if (so->fill != 0 && PySet_Clear(set) < 0) {
        PyErr_Clear();
        return false;
    }
    setentry *entry = &so->table[static_cast<size_t>(hash) & static_cast<size_t>(so->mask)];
    entry->key = Py_NewRef(key);
    entry->hash = hash;
    so->fill = 1;
    so->used = 1;
    return true;
}

bool set_leave_single(PyObject *set, PyObject *key, Py_hash_t hash) {
    auto *so = reinterpret_cast<PySetObject *>(set);
    if (hash == -1 || !PySet_CheckExact(set) || so->used != 1 || so->fill != 1) return false;
    setentry *entry = &so->table[static_cast<size_t>(hash) & static_cast<size_t>(so->mask)];
    if (entry->key != key || entry->hash != hash) return false;
    entry->key = nullptr;
    entry->hash = 0;
    so->fill = 0;
    so->used = 0;
    Py_DECREF(key);  // the set's reference; the caller holds its own
    return true;
}
#endif

// Marks `sig` (hash `hash`, or -1 when not known) as in progress on this
// thread; false when it already was. An exact set answers with one hash of
// the key: adding an element it already holds leaves its size unchanged.
bool enter(nb::handle running, nb::handle sig, Py_hash_t hash) {
#ifndef Py_GIL_DISABLED
    if (set_enter_empty(running.ptr(), sig.ptr(), hash)) return true;
#endif
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

// Takes `sig` out of the in-progress set again. While no other wrapped call
// is in progress on the thread the set holds this key alone, and emptying it
// needs no hash of the key: the one live entry is found by identity (first
// where the key's hash, when known, puts it), and popping it removes exactly
// that entry.
void leave(nb::handle running, nb::handle sig, Py_hash_t hash) {
#ifndef Py_GIL_DISABLED
    if (set_leave_single(running.ptr(), sig.ptr(), hash)) return;
    if (PySet_CheckExact(running.ptr()) && PySet_GET_SIZE(running.ptr()) == 1) {
        auto *set = reinterpret_cast<PySetObject *>(running.ptr());
        bool found = hash != -1 && set->table[static_cast<size_t>(hash) & set->mask].key == sig.ptr();
        for (Py_ssize_t i = 0; !found && i <= set->mask; ++i) found = set->table[i].key == sig.ptr();
        if (found) {
            nb::object popped = nb::steal(check(PySet_Pop(running.ptr())));
            return;
        }
    }
#endif
    set_discard(running, sig);
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

// The local run after a failed remote one, with the failure's consequence:
// a write-back refusal or a serialisation error bars the function, a call
// that was never submitted costs nothing, any other failure is counted.
nb::object fall_back(nb::handle self, CallSite &call, nb::handle sig, nb::handle error) {
    nb::handle name = call.name();
    Fallback cause = Fallback::RemoteError;
    if (PyObject_TypeCheck(error.ptr(), reinterpret_cast<PyTypeObject *>(state_sync_error_type().ptr()))) {
        cause = Fallback::WriteBack;
        set_add(field_offload_incompatible(self), sig);
        warn("overflow write-back for %s() unsafe (%s) \xe2\x80\x94 running locally", name, error);
    } else if (PyObject_TypeCheck(error.ptr(), reinterpret_cast<PyTypeObject *>(submit_error_type().ptr()))) {
        cause = Fallback::NotSubmitted;
    } else {
        nb::object cls_name = optional_attr(
            nb::handle(reinterpret_cast<PyObject *>(Py_TYPE(error.ptr()))), names().dunder_name);
        if (cls_name.is_valid() && PyUnicode_Check(cls_name.ptr()) &&
            PyUnicode_CompareWithASCIIString(cls_name.ptr(), "SerializationError") == 0) {
            cause = Fallback::Serialization;
            set_add(field_offload_incompatible(self), sig);
        } else if (nb::object replaced = monitor_method(self, Method::note_offload_failure)) {
            exit_safe([&] { return replaced(sig); });
        } else {
            note_offload_failure(self, sig);
        }
        warn("cloud offload of %s() failed (%s) \xe2\x80\x94 running locally", name, error);
    }
    CallReport *report = call_report(self);
    if (report) ++report->record(sig).fallbacks[static_cast<size_t>(cause)];
    ClockStamp t0;
    bool timed = report && swallow([&] { t0 = monitor_stamp(self); });
    nb::object result = call.run();
    if (timed) swallow([&] {
        double dt = seconds_between(t0, monitor_stamp(self));
        report->record(sig).local_seconds += dt;
    });
    return result;
}

nb::object dispatch_inner(nb::handle self, Monitor *mon, nb::handle func, CallSite &call,
                          nb::handle sig, bool is_method);

// `mon`: monitor_of(self), held by the callers, which own `self` for the call.
nb::object dispatch(nb::handle self, Monitor *mon, nb::handle func, CallSite &call,
                    nb::handle sig, bool is_method) {
    if (monitor_forward_open(self, mon)) {
        // A failing walk must not cost the call: it closes the watch instead.
        try {
            watch_late_definitions(self);
        } catch (nb::python_error &e) {
            if (!is_ordinary(e)) throw;
            set_monitor_forward_open(self, false);
        }
    }

    nb::object replaced = monitor_method(self, mon, Method::executing);
    nb::object running = replaced ? exit_safe([&] { return replaced(); }) : executing(self, mon);
    // A function already in progress on this thread (recursion, or a call back
    // into it from code it called) runs here with no decision and no record.
    if (!enter(running, sig, call.known_sig_hash(sig))) return call.run();

    nb::object result;
    std::exception_ptr failed;
    try {
        if (nb::object inner = monitor_method(self, mon, Method::dispatch_inner)) {
            result = exit_safe([&] {
                return inner(func, call.args(), call.kwargs(), sig, call.name(), call.thunk(),
                             nb::arg("is_method") = is_method);
            });
        } else {
            result = dispatch_inner(self, mon, func, call, sig, is_method);
        }
    } catch (...) {
        failed = std::current_exception();
    }
    // Cleaned up after the handler (a set's replacement may run Python code),
    // and the call's own error, if any, survives the clean-up.
    Py_hash_t hash = call.known_sig_hash(sig);
    if (failed) {
        swallow([&] { leave(running, sig, hash); });
        std::rethrow_exception(failed);
    }
    leave(running, sig, hash);
    return result;
}

// No user code runs inside a catch handler here: a daemon thread ended at
// interpreter exit while inside one would find an exception already being
// handled, which the unwinder cannot stack and answers with an abort. So
// each handler only notes what happened, and the fallback runs after it.
nb::object dispatch_inner(nb::handle self, Monitor *mon, nb::handle func, CallSite &call,
                          nb::handle sig, bool is_method) {
    ClockStamp t0;
    Verdict verdict;
    bool decided = false, local = false;
    try {
        t0 = monitor_stamp(self, mon);
        if (nb::object replaced = monitor_method(self, mon, Method::should_offload)) {
            nb::handle args = call.args(), kwargs = call.kwargs();
            verdict.decision = exit_safe([&] { return replaced(func, args, kwargs, is_method); });
        } else {
            verdict = decide(self, mon, func, call, is_method, sig);
        }
        nb::object action_keep;
        local = !verdict.decision.is_valid() ||
                decision_field(verdict.decision, true, action_keep).is(action_local());
        decided = true;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    if (!decided) return call.run();

    if (local) {
        nb::object result = call.run();  // the user's own errors propagate from here
        nb::object failure;
        try {
            double dt = elapsed(t0, monitor_stamp(self, mon));
            nb::object reason_keep;
            nb::handle why = verdict.decision.is_valid()
                                 ? decision_field(verdict.decision, false, reason_keep)
                                 : reason(verdict.reason);
            if (CallReport *report = call_report(mon)) {
                CallRecord &record = report->record(sig);
                ++record.local[verdict.decision.is_valid() ? reason_index(why)
                                                           : static_cast<size_t>(verdict.reason)];
                record.local_seconds += dt;
            }
            if (nb::object replaced = monitor_method(self, mon, Method::record_local_time))
                exit_safe([&] { return replaced(func, sig, dt, why); });
            else
                record_local_time(self, mon, sig, dt, why, call.sig_hash(sig));
        } catch (nb::python_error &e) {
            // Learning is best-effort; the caller already has its result.
            if (!is_ordinary(e)) throw;
            failure = nb::borrow(e.value());
        }
        if (failure.is_valid())
            log_quiet(kLogger, LogLevel::Debug, "recording a local run of %s() failed (%s)",
                      nb::borrow(call.name()), nb::str(failure));
        return result;
    }

    // Announcing and pre-warming are not part of the remote run: their
    // failures are not offload failures, but the call must still happen.
    bool announced = false;
    try {
        call_monitor_method<void>(self, Method::announce_offload, announce_offload, func);
        call_monitor_method<void>(self, Method::maybe_prewarm, maybe_prewarm);
        announced = true;
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    if (!announced) return call.run();

    nb::object result, failure;
    ClockStamp sent;
    bool timed = swallow([&] { sent = monitor_stamp(self); });
    try {
        bool gpu = call_monitor_method<bool>(self, Method::under_gpu_pressure, under_gpu_pressure);
        nb::handle args = call.args(), kwargs = call.kwargs();
        if (nb::object replaced = monitor_method(self, Method::cloud_execute))
            result = exit_safe([&] { return replaced(func, args, kwargs, gpu); });
        else
            result = cloud_execute(self, func, args, kwargs, gpu);
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
        failure = nb::borrow(e.value());
    }
    if (failure.is_valid()) return fall_back(self, call, sig, failure);
    try {
        if (CallReport *report = call_report(self)) {
            // the clock is the user's: read it before holding a record
            double dt = timed ? seconds_between(sent, monitor_stamp(self)) : 0.0;
            CallRecord &record = report->record(sig);
            ++record.offloaded;
            record.remote_seconds += dt;
        }
        field_offload_failures(self).attr("pop")(sig, nb::none());
    } catch (nb::python_error &e) {
        if (!is_ordinary(e)) throw;
    }
    return result;
}

}  // namespace

nb::object dispatch_call(nb::handle monitor, nb::handle func, CallSite &call, nb::handle sig,
                         bool is_method) {
    Monitor *mon = monitor_of(monitor.ptr());
    nb::object replaced = monitor_method(monitor, mon, Method::dispatch);
    if (!replaced) return dispatch(monitor, mon, func, call, sig, is_method);
    return exit_safe([&] {
        if (is_method)
            return replaced(func, call.args(), call.kwargs(), sig, call.name(), call.thunk(),
                            nb::arg("is_method") = true);
        return replaced(func, call.args(), call.kwargs(), sig, call.name(), call.thunk());
    });
}

void register_dispatch(nb::module_ &m) {
    using namespace nb::literals;
    nb::object local_type = nb::module_::import_("threading").attr("local");
    g_local_getattro = reinterpret_cast<PyTypeObject *>(local_type.ptr())->tp_getattro;

    def_monitor_method(
        m, "_dispatch",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle sig,
           nb::handle name, nb::handle thunk, nb::handle is_method) {
            ThunkSite call(args, kwargs, thunk, name);
            return dispatch(self, monitor_of(self.ptr()), func, call, sig, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "sig"_a.none(), "name"_a.none(),
        "thunk"_a.none(), "is_method"_a.none() = false);
    def_monitor_method(m, "_executing",
                       [](nb::handle self) { return executing(self, monitor_of(self.ptr())); });
    def_monitor_method(
        m, "_dispatch_inner",
        [](nb::handle self, nb::handle func, nb::handle args, nb::handle kwargs, nb::handle sig,
           nb::handle name, nb::handle thunk, nb::handle is_method) {
            ThunkSite call(args, kwargs, thunk, name);
            return dispatch_inner(self, monitor_of(self.ptr()), func, call, sig, truthy(is_method));
        },
        "func"_a.none(), "args"_a.none(), "kwargs"_a.none(), "sig"_a.none(), "name"_a.none(),
        "thunk"_a.none(), "is_method"_a.none() = false);
}

}  // namespace corvid::overflow
