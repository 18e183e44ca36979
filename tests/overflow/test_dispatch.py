"""Dispatch of wrapped calls: the local road, the remote road and its fallbacks,
the re-entrancy guard and the late-definition watch.

The remote road is driven through the monitor's own extension points
(instance attributes replacing `_should_offload`, `_cloud_execute`, ...)."""

import logging
import threading

import pytest

from corvid import overflow as ov


class Clock:
    def __init__(self, start=0.0, step=0.0):
        self.now, self.step = start, step

    def __call__(self):
        value = self.now
        self.now += self.step
        return value


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def mon(clock):
    # policy "off": every call takes the local road unless a test replaces the decision
    m = ov._OverflowMonitor(policy="off", clock=clock)
    m.start(None)
    yield m
    m.stop()


class Remote:
    """Stands in for the remote road: answers or raises per call, in order."""

    def __init__(self, mon, *outcomes):
        self.outcomes = list(outcomes)
        self.calls = []
        self.announced = []
        mon._should_offload = lambda func, args, kwargs, is_method=False: ov._OFFLOAD
        mon._announce_offload = self.announced.append
        mon._maybe_prewarm = lambda: None
        mon._cloud_execute = self.execute

    def execute(self, func, args, kwargs, gpu_pressure):
        self.calls.append((func, args, kwargs, gpu_pressure))
        outcome = self.outcomes.pop(0)
        if isinstance(outcome, BaseException):
            raise outcome
        if callable(outcome):
            return outcome(func, args, kwargs)
        return outcome


class SerializationError(Exception):
    pass


def counted(fn):
    calls = []

    def body(*args, **kwargs):
        calls.append(args)
        return fn(*args, **kwargs)

    body.calls = calls
    return body


def warnings(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


# --- the local road ---------------------------------------------------------------


def test_local_run_returns_the_result_and_records_its_time(mon, clock):
    clock.step = 0.5
    w = ov._OverflowCallable(lambda a, b=1: a + b, mon)
    assert w(2, b=3) == 5
    # the time includes the decision: entry clock read to the end of the run
    assert mon._observed_seconds == {w._sig: 0.5}
    assert w._sig not in mon._benefit_ok


def test_default_clock_times_runs_in_seconds():
    # the default clock is read natively; its readings must stay seconds once
    # it has settled on its fastest source (a tenth of a second in)
    import time

    m = ov._OverflowMonitor(policy="off")
    m.start(None)
    try:
        w = ov._OverflowCallable(time.sleep, m)
        for pause in (0.0, 0.12, 0.2, 0.0):
            w(pause)
            assert pause * 0.99 <= m._observed_seconds[w._sig] < pause * 1.25 + 0.05
    finally:
        m.stop()


def test_long_local_run_proves_the_function(mon, clock):
    clock.step = 3.0
    w = ov._OverflowCallable(lambda: None, mon)
    mon._demoted.add(w._sig)
    w()
    assert mon._observed_seconds[w._sig] == 3.0
    assert w._sig in mon._benefit_ok and w._sig not in mon._demoted


def test_short_unproven_run_demotes_a_relaxed_function(mon):
    sig = ("f.py", "g", 1)
    mon._relaxed_cache[sig] = True
    mon._record_local_time(None, sig, 0.1, ov.Reason.NOT_HEAVY)
    assert sig not in mon._demoted
    mon._record_local_time(None, sig, 0.1, ov.Reason.UNPROVEN)
    assert sig in mon._demoted
    mon._benefit_ok.add(("f.py", "h", 2))
    mon._relaxed_cache[("f.py", "h", 2)] = True
    mon._record_local_time(None, ("f.py", "h", 2), 0.1, ov.Reason.UNPROVEN)
    assert ("f.py", "h", 2) not in mon._demoted


def test_user_error_reaches_the_caller_unchanged(mon):
    err = ValueError("user's own")

    def bad():
        raise err

    w = ov._OverflowCallable(bad, mon)
    with pytest.raises(ValueError) as info:
        w()
    assert info.value is err
    assert mon._observed_seconds == {} and mon._executing() == set()


def test_failing_decision_runs_locally_without_a_record(mon):
    def broken(*a, **k):
        raise RuntimeError("size probe failed")

    mon._should_offload = broken
    w = ov._OverflowCallable(lambda x: x * 2, mon)
    assert w(4) == 8
    assert mon._observed_seconds == {}


@pytest.mark.parametrize("policy,reason", [("off", "POLICY_OFF"), ("loaded", "NOT_OVERLOADED"),
                                           ("auto", "NOT_HEAVY")])
def test_each_local_decision_is_a_decision_of_its_own(policy, reason):
    m = ov._OverflowMonitor(policy=policy)
    first = m._should_offload(len, ((),), {})
    second = m._should_offload(len, ((),), {}, True)
    assert first.action is ov.Action.LOCAL and first.reason is getattr(ov.Reason, reason)
    assert first is not second


def test_recursive_function_decides_once(mon):
    decisions = []
    real = mon._should_offload
    mon._should_offload = lambda *a, **k: decisions.append(a[0]) or real(*a, **k)

    def fact(n):
        return 1 if n <= 1 else n * ns["fact"](n - 1)

    ns = {"fact": ov._OverflowCallable(fact, mon)}
    assert ns["fact"](6) == 720
    assert decisions == [fact]
    assert list(mon._observed_seconds) == [ns["fact"]._sig]


def test_nested_calls_keep_the_guard_set_exact(mon):
    # an outer call around an inner one, repeatedly: the set seen from inside
    # holds exactly the calls in progress, is found by equal keys, and is
    # empty between calls
    seen = []

    def inner():
        seen.append(set(mon._executing()))
        return tuple(wo._sig) in mon._executing()

    wi = ov._OverflowCallable(inner, mon)
    wo = ov._OverflowCallable(lambda: (set(mon._executing()), wi()), mon)
    for _ in range(3):
        assert wo() == ({wo._sig}, True) and mon._executing() == set()
    assert seen == [{wo._sig, wi._sig}] * 3


def test_each_thread_has_its_own_guard(mon):
    decisions = []
    real = mon._should_offload
    mon._should_offload = lambda *a, **k: decisions.append(threading.get_ident()) or real(*a, **k)
    barrier = threading.Barrier(2, timeout=10)
    sets = []

    def work():
        sets.append((mon._executing(), set(mon._executing())))
        barrier.wait()  # both calls are in progress at once
        return 1

    w = ov._OverflowCallable(work, mon)
    threads = [threading.Thread(target=w) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(10)
    assert len(decisions) == 2 and len(set(decisions)) == 2
    assert sets[0][0] is not sets[1][0] and sets[0][1] == sets[1][1] == {w._sig}
    assert mon._executing() == set()


def test_machinery_failure_before_the_call_never_reaches_the_caller(mon):
    del mon._tls  # the per-thread guard cannot be read
    w = ov._OverflowCallable(lambda x: x + 1, mon)
    assert w(1) == 2


def test_dispatch_overridden_in_a_subclass_is_used():
    class Tracing(ov._OverflowMonitor):
        def _dispatch(self, func, args, kwargs, sig, name, thunk, is_method=False):
            return ("traced", name, thunk())

    m = Tracing(policy="always")
    m.start(None)
    try:
        w = ov._OverflowCallable(lambda: 3, m)
        assert w() == ("traced", "<lambda>", 3)
    finally:
        m.stop()


# --- the remote road --------------------------------------------------------------


def test_successful_remote_run_returns_its_result_and_resets_failures(mon):
    body = counted(lambda x: x)
    w = ov._OverflowCallable(body, mon)
    remote = Remote(mon, RuntimeError("one"), RuntimeError("two"), "remote result")
    assert w(1) == 1 and w(1) == 1
    assert mon._offload_failures == {w._sig: 2}
    assert w(5) == "remote result"
    assert mon._offload_failures == {} and len(body.calls) == 2
    assert remote.announced == [body] * 3
    assert remote.calls[-1] == (body, (5,), {}, False)
    assert mon._observed_seconds == {}  # remote runs and fallbacks are not timed


def test_repeated_failures_bar_the_function(mon, caplog):
    w = ov._OverflowCallable(lambda: "here", mon)
    Remote(mon, *(RuntimeError(f"boom {i}") for i in range(ov._OFFLOAD_FAIL_MAX)))
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        for _ in range(ov._OFFLOAD_FAIL_MAX):
            assert w() == "here"
    assert mon._offload_failures[w._sig] == ov._OFFLOAD_FAIL_MAX
    assert w._sig in mon._offload_incompatible
    assert warnings(caplog)[0] == "cloud offload of <lambda>() failed (boom 0) \u2014 running locally"


def test_write_back_failure_bars_the_function(mon, caplog):
    body = counted(lambda lst: lst.append(1) or len(lst))
    w = ov._OverflowCallable(body, mon)
    Remote(mon, ov._StateSyncError("cannot apply"))
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        assert w([]) == 1
    assert w._sig in mon._offload_incompatible and mon._offload_failures == {}
    assert warnings(caplog) == [
        "overflow write-back for body() unsafe (cannot apply) \u2014 running locally"]


def test_submission_failures_are_silent_and_not_counted(mon, caplog):
    w = ov._OverflowCallable(counted(lambda: 7), mon)
    Remote(mon, *(ov._SubmitError("gateway unavailable (cooldown)") for _ in range(3)))
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        assert [w(), w(), w()] == [7, 7, 7]
    assert mon._offload_failures == {} and mon._offload_incompatible == set()
    assert warnings(caplog) == []


def test_serialisation_error_bars_at_once(mon, caplog):
    w = ov._OverflowCallable(lambda: 1, mon)
    Remote(mon, SerializationError("cannot pickle"))
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        assert w() == 1
    assert w._sig in mon._offload_incompatible and mon._offload_failures == {}
    assert warnings(caplog) == ["cloud offload of <lambda>() failed (cannot pickle) \u2014 running locally"]


def test_user_error_in_a_remote_run_is_retried_here(mon, caplog):
    def fail(x):
        body_runs.append(x)
        raise KeyError(x)

    body_runs = []
    w = ov._OverflowCallable(fail, mon)
    Remote(mon, lambda func, args, kwargs: func(*args, **kwargs))
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        with pytest.raises(KeyError):
            w("k")
    assert body_runs == ["k", "k"] and mon._offload_failures == {w._sig: 1}
    assert warnings(caplog) == ["cloud offload of fail() failed ('k') \u2014 running locally"]


def test_bound_method_ships_the_instance_first(mon):
    class Model:
        def fit(self, step):
            return step

    obj = Model()
    remote = Remote(mon, "remote")
    b = ov._BoundOverflow(Model.fit, obj, mon, ov._sig_key(Model.fit), "fit")
    assert b(3) == "remote"
    assert remote.calls == [(Model.fit, (obj, 3), {}, False)]


def test_failing_announcement_runs_locally_without_counting(mon):
    w = ov._OverflowCallable(lambda: "local", mon)
    remote = Remote(mon, "remote")

    def broken(func):
        raise RuntimeError("terminal gone")

    mon._announce_offload = broken
    assert w() == "local"
    assert remote.calls == [] and mon._offload_failures == {}


def test_failure_counting_and_cooldown(mon, clock):
    sig = ("f", "g", 1)
    for expected in range(1, ov._OFFLOAD_FAIL_MAX):
        mon._note_offload_failure(sig)
        assert mon._offload_failures[sig] == expected and sig not in mon._offload_incompatible
    mon._note_offload_failure(sig)
    assert sig in mon._offload_incompatible
    clock.now = 10.0
    mon._gateway_retry_at = 12.0
    assert mon._in_cooldown() is True
    mon._gateway = object()
    assert mon._in_cooldown() is False
    mon._gateway = None
    clock.now = 12.0
    assert mon._in_cooldown() is False
    assert mon._under_pressure() is False and mon._under_gpu_pressure() is False


# --- the late-definition watch ----------------------------------------------------


@pytest.fixture
def watching(mon, clock):
    walks = []
    pending = [True, False]
    ns = {}
    mon._caller_globals = ns
    mon._hook_started_at = 0.0
    mon._forward_open = True
    mon._wrap_scope = walks.append
    mon._forward_pending = lambda: pending.pop(0)
    return mon, walks, ns


def test_watch_walks_until_nothing_is_pending(watching, clock):
    mon, walks, ns = watching
    w = ov._OverflowCallable(lambda: 1, mon)
    assert w() == 1 and mon._forward_open is True
    assert w() == 1 and mon._forward_open is False
    assert w() == 1
    assert walks == [ns, ns]


def test_watch_closes_after_the_deadline(watching, clock):
    mon, walks, ns = watching
    clock.now = ov._HOOK_DEADLINE + 1.0
    w = ov._OverflowCallable(lambda: 1, mon)
    assert w() == 1 and w() == 1
    assert walks == [] and mon._forward_open is False


def test_watch_error_closes_the_watch(watching):
    mon, walks, ns = watching

    def broken(namespace):
        raise RuntimeError("walk failed")

    mon._wrap_scope = broken
    w = ov._OverflowCallable(lambda: 2, mon)
    assert w() == 2 and mon._forward_open is False


def test_later_overrides_of_the_decision_are_used(mon):
    # a plain monitor takes the direct road; replacing a method afterwards,
    # on the instance or on a subclass, must be honoured from the next call
    w = ov._OverflowCallable(lambda: "ran", mon)
    assert w() == "ran" and len(mon._observed_seconds) == 1
    remote = Remote(mon, "remote")
    assert w() == "remote" and len(remote.calls) == 1
    del mon._should_offload
    assert w() == "ran"

    class Counting(ov._OverflowMonitor):
        pass

    sub = Counting(policy="off")
    sub.start(None)
    try:
        w2 = ov._OverflowCallable(lambda: "sub", sub)
        assert w2() == "sub"
        Counting._should_offload = lambda self, *a, **k: (_ for _ in ()).throw(RuntimeError("x"))
        assert w2() == "sub" and len(sub._observed_seconds) == 1  # the decision failed: no record
    finally:
        sub.stop()


def test_dispatch_override_added_after_a_direct_call_gets_the_full_call(mon):
    # the direct road runs from the caller's arguments; an override added
    # later still receives the argument tuple, keyword dict and a thunk
    ran = []

    def target(a, b=0, *, c=0):
        ran.append((a, b, c))
        return a + b + c

    w = ov._OverflowCallable(target, mon)
    assert w(1, 2, c=3) == 6
    got = []

    def inner(func, args, kwargs, sig, name, thunk, is_method=False):
        got.append((func, args, kwargs, sig, name, is_method))
        return thunk()

    mon._dispatch_inner = inner
    assert w(4, b=5) == 9
    del mon._dispatch_inner
    assert w(7) == 7
    assert got == [(target, (4,), {"b": 5}, w._sig, "target", False)]
    assert ran == [(1, 2, 3), (4, 5, 0), (7, 0, 0)]
    assert len(mon._observed_seconds) == 1 and mon._executing() == set()


def test_method_override_added_between_calls_sees_the_instance_first(mon):
    class Box:
        def __init__(self, v):
            self.v = v

        def add(self, n, *, times=1):
            return self.v + n * times

    Box.add = ov._OverflowMethod(Box.__dict__["add"], mon, "add")
    sig = Box.__dict__["add"]._sig
    mon._predict_cache[sig] = True  # heavy: calls go through dispatch
    box = Box(10)
    assert box.add(1, times=2) == 12
    got = []
    mon._dispatch = lambda func, args, kwargs, sig, name, thunk, is_method=False: (
        got.append((args, kwargs, is_method)) or thunk())
    assert box.add(3) == 13
    assert got == [((box, 3), {}, True)]


class Stamps:
    """A clock that is read only through the monitor: each read moves it by `step`."""

    def __init__(self, start, step):
        self.now, self.step = start, step

    def __call__(self):
        self.now += self.step
        return self.now


def test_fields_set_between_calls_are_read_on_the_next_call(mon, clock):
    clock.step = 1.0
    w = ov._OverflowCallable(lambda: "ran", mon)
    assert w() == "ran"
    assert mon._observed_seconds == {w._sig: 1.0} and w._sig not in mon._benefit_ok

    fresh = {}
    mon._observed_seconds = fresh
    mon.min_seconds = 0.5
    mon._clock = Stamps(100.0, 4.0)
    assert w() == "ran"
    assert fresh == {w._sig: 4.0} and w._sig in mon._benefit_ok

    # the in-progress guard lives on whatever _tls holds now
    mon._tls = threading.local()
    inside = []
    w2 = ov._OverflowCallable(lambda: inside.append(set(mon._tls.stack)), mon)
    w2()
    assert inside == [{w2._sig}] and mon._tls.stack == set()


def test_field_removed_between_calls_falls_back_to_the_class(mon, clock):
    clock.step = 1.0
    w = ov._OverflowCallable(lambda: "ran", mon)
    assert w() == "ran"
    del mon._clock  # the class offers none: the monitor's own clock is used
    assert w() == "ran"
    assert w._sig in mon._observed_seconds
    del mon.min_seconds  # recording now fails; the call is unharmed
    mon._observed_seconds.clear()
    assert w() == "ran"
    assert list(mon._observed_seconds) == [w._sig]
    mon.min_seconds = 0.0
    assert w() == "ran" and w._sig in mon._benefit_ok


def test_class_level_replacement_is_used(mon, monkeypatch):
    w = ov._OverflowCallable(lambda: "ran", mon)
    assert w() == "ran" and len(mon._observed_seconds) == 1
    decisions = []
    monkeypatch.setattr(ov._OverflowMonitor, "_should_offload",
                        lambda self, *a, **k: decisions.append(a) or ov._local(ov.Reason.DEMOTED))
    recorded = []
    monkeypatch.setattr(ov._OverflowMonitor, "_record_local_time",
                        lambda self, func, sig, dt, reason: recorded.append(reason))
    assert w() == "ran"
    assert len(decisions) == 1 and recorded == [ov.Reason.DEMOTED]
