"""The remote road: the offload gate's decision, gateway sessions and their
cooldown, and remote execution's wire shapes, driven through an injected
gateway factory and clock."""

import logging
import sys
import threading

import pytest

from corvid import overflow as ov

R = ov.Reason


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


class Gateway:
    """A session as the monitor sees one: records every run and answers with
    the function's own result (or raises what it is told to)."""

    def __init__(self, packages=(), fail=None):
        self.runs, self.packages, self.fail, self.entered = [], packages, fail, 0

    def __enter__(self):
        self.entered += 1

    def __exit__(self, *exc):
        pass

    def _detect_local_packages(self, func, src):
        return self.packages

    def run(self, first, *args, **options):
        self.runs.append((first, args, options))
        if self.fail:
            raise self.fail
        if getattr(first, "__qualname__", "").startswith("_call_shim"):
            fn, call_args, call_kwargs = args
            return first(fn, call_args, call_kwargs)
        return first(*args, **options)


@pytest.fixture
def clock():
    return Clock()


@pytest.fixture
def monitor(clock):
    made = []

    def make(policy="always", factory=None, **kw):
        kw.setdefault("verbose", False)
        mon = ov._OverflowMonitor(policy=policy, clock=clock, gateway_factory=factory,
                                  sample_source=lambda: (1.0, 1.0), **kw)
        made.append(mon)
        return mon

    yield make
    for mon in made:
        mon.stop()


def add(a, b=1):
    return a + b


def test_gate_checks_in_order(monitor, clock):
    mon = monitor()
    sig = ov._sig_key(add)
    decide = lambda: mon._should_offload(add, (1,), {}).reason  # noqa: E731
    assert decide() is R.OFFLOAD_OK                                 # "always": no heaviness test
    for field, reason in [("_offload_incompatible", R.INCOMPATIBLE), ("_demoted", R.DEMOTED)]:
        getattr(mon, field).add(sig)
        assert decide() is reason
        getattr(mon, field).discard(sig)
    mon._gateway_retry_at = 30.0
    assert decide() is R.COOLDOWN and mon._recent_calls[sig] == [0.0]  # stopped before the loop guard
    # loop guard: three calls within 20 s pass, the fourth stays local (its stamp counts)
    assert [decide() for clock.now in (30.0, 31.0, 32.0, 50.0)] == [R.OFFLOAD_OK] * 3 + [R.LOOP_HOT]
    clock.now = 70.0 + 1e-9  # the stamps at 30, 31, 32 and 50 are older than 20 s now
    assert decide() is R.OFFLOAD_OK and mon._recent_calls[sig] == [clock.now]
    auto = monitor("auto")
    auto._predict_cache[sig], auto._relaxed_cache[sig] = False, True
    assert auto._should_offload(add, (1,), {}).reason is R.NOT_HEAVY   # no pressure
    auto._under_pressure = lambda: True
    assert auto._should_offload(add, (1,), {}).reason is R.UNPROVEN
    auto._benefit_ok.add(sig)
    assert auto._should_offload(add, (1,), {}).reason is R.OFFLOAD_OK
    assert monitor("loaded")._should_offload(add, (1,), {}).reason is R.NOT_OVERLOADED


def test_session_cooldown_doubles_to_the_cap_and_resets(monitor, clock, caplog):
    outcomes = [RuntimeError("down")] * 7 + [Gateway()]

    def factory():
        outcome = outcomes.pop(0)
        if isinstance(outcome, Exception):
            raise outcome
        return outcome

    mon = monitor(factory=factory, cooldown_base=30.0, cooldown_cap=600.0)
    waits = []
    for _ in range(7):
        assert mon._get_gateway() is None and mon._in_cooldown()
        assert mon._get_gateway() is None  # within the cooldown: no new attempt
        waits.append(mon._gateway_retry_at - clock.now)
        clock.now = mon._gateway_retry_at
    assert waits == [30.0, 60.0, 120.0, 240.0, 480.0, 600.0, 600.0]
    gw = mon._get_gateway()
    assert isinstance(gw, Gateway) and gw.entered == 1 and mon._get_gateway() is gw
    assert mon._gateway_backoff == 30.0 and not mon._in_cooldown()
    assert "overflow gateway unavailable (down) \u2014 retrying after cooldown" in caplog.messages


def test_announcement_and_single_prewarm_thread(monitor, capsys):
    mon = monitor(factory=Gateway, prewarm=True, api_key="k", verbose=True)
    mon._announce_offload(add)
    mon._announce_offload(object())
    assert capsys.readouterr().out == "\n  \u2191 Overflow \u2192 Cloud: add()\n\n" \
                                      "\n  \u2191 Overflow \u2192 Cloud: func()\n\n"
    before = set(threading.enumerate())
    mon._maybe_prewarm()
    mon._maybe_prewarm()
    started = [t for t in threading.enumerate() if t not in before]
    assert [t.name for t in started] == ["corvid-gateway-warm"] or mon._gateway is not None
    for t in started:
        t.join(5)
    assert isinstance(mon._gateway, Gateway)
    keyless = monitor(factory=Gateway, prewarm=True, api_key="")
    keyless._maybe_prewarm()
    assert keyless._prewarmed is False


def test_remote_run_shapes(monitor, monkeypatch):
    gw = Gateway(packages=("numpy",))
    mon = monitor(factory=lambda: gw)

    def with_timeout(x, timeout=3, scale=1):
        return (x, timeout, scale)

    def spotty(x, *, spot=False):
        return (x, spot)

    assert mon._cloud_execute(add, (2,), {"b": 5}) == 7
    assert gw.runs[-1] == (add, (2,), {"b": 5})                       # raw: the caller's own values
    assert mon._cloud_execute(with_timeout, (1,), {"timeout": 9}) == (1, 9, 1)
    assert gw.runs[-1] == (with_timeout, (1, 9, 1), {})                # reserved name moved to a position
    assert mon._cloud_execute(spotty, (1,), {"spot": True}) == (1, True)
    shim, (fn, args, kwargs), options = gw.runs[-1]                    # keyword-only reserved: the shim
    assert (fn, args, kwargs, options) == (spotty, (1,), {"spot": True}, {"pip_packages": ["numpy"]})
    monkeypatch.setenv("CORVID_OVERFLOW_GPU", " h100 ")
    for count, wanted in [("0.7", 1), ("2.9", 2)]:
        monkeypatch.setenv("CORVID_OVERFLOW_GPU_COUNT", count)
        assert mon._gpu_pin(add, True) == {"gpu": "h100", "gpu_count": wanted}
    monkeypatch.setenv("CORVID_OVERFLOW_GPU", "CPU")
    assert mon._gpu_pin(add, True) == {} and mon._gpu_pin(add) == {}


def test_dispatch_outcomes_of_remote_runs(monitor, monkeypatch, capsys):
    gw = Gateway()
    mon = monitor(factory=lambda: gw)
    mon.start(None)
    w = ov._OverflowCallable(add, mon)
    assert w(1, 2) == 3 and len(gw.runs) == 1 and mon._observed_seconds == {}

    class SerializationError(Exception):
        pass

    mon._offload_failures[w._sig] = 2
    gw.fail = RuntimeError("lost")
    mon._recent_calls.clear()
    assert w(1) == 2 and mon._offload_failures[w._sig] == 3 and w._sig in mon._offload_incompatible
    mon._offload_incompatible.clear()
    gw.fail = SerializationError("no")
    mon._recent_calls.clear()
    assert w(1) == 2 and w._sig in mon._offload_incompatible
    assert w(5) == 6   # barred now: kept here
    [row] = mon.report()
    assert (row["function"], row["calls"], row["offloaded"], row["local"]) == ("add", 4, 1, {"INCOMPATIBLE": 1})
    assert row["fallbacks"] == {"remote-error": 1, "serialization": 1}
    monkeypatch.setenv("CORVID_OVERFLOW_REPORT", "1")
    mon.stop()
    assert "INCOMPATIBLE 1; serialization 1, remote-error 1" in capsys.readouterr().err
    cold = monitor(factory=lambda: (_ for _ in ()).throw(OSError("no service")))
    with pytest.raises(ov._SubmitError, match="gateway unavailable"):
        cold._cloud_execute(add, (1,), {})


def test_by_value_registration_is_counted_per_module(monitor, tmp_path, monkeypatch):
    import cloudpickle

    (tmp_path / "user_mod_for_offload.py").write_text("def f():\n    return 1\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import user_mod_for_offload as mod

    calls = []
    monkeypatch.setattr(cloudpickle, "register_pickle_by_value", lambda m: calls.append(("reg", m)))
    monkeypatch.setattr(cloudpickle, "unregister_pickle_by_value", lambda m: calls.append(("unreg", m)))
    mon = monitor()
    assert mon._register_by_value(mod.f) is mod and mon._register_by_value(mod.f) is mod
    mon._unregister_by_value(mod)
    mon._unregister_by_value(mod)
    assert calls == [("reg", mod), ("unreg", mod)] and mon._by_value_refs == {}
    assert mon._register_by_value(logging.getLogger) is None  # library code
    sys.modules.pop("user_mod_for_offload", None)
