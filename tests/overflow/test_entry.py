"""The overflow() entry point: argument handling, replacement of the active
monitor, the deprecation warning and the start-failure path."""

import logging
import os
import subprocess
import sys
import textwrap
import warnings

import pytest

from corvid import overflow as ov

ENV = ("CORVID_OVERFLOW_POLICY", "CORVID_OVERFLOW_THRESHOLD", "CORVID_OVERFLOW_MIN_SECONDS",
       "CORVID_OVERFLOW_MAX_PAYLOAD_MB", "CORVID_OVERFLOW_PREWARM", "CORVID_OVERFLOW_COOLDOWN")


def scratch_frame():
    """A frame whose module namespace is a private dict (nothing to walk)."""
    ns = {"__name__": "scratch"}
    exec("import sys\ndef here():\n    return sys._getframe()\n", ns)
    return ns["here"]()


@pytest.fixture(autouse=True)
def isolated(monkeypatch):
    for name in ENV:
        monkeypatch.delenv(name, raising=False)
    previous = ov._active_monitor
    yield
    active = ov._active_monitor
    if active is not None and active is not previous:
        active.stop()
    ov._active_monitor = previous


def start(**kw):
    kw.setdefault("_caller_frame", scratch_frame())
    kw.setdefault("policy", "off")
    return ov.overflow(**kw)


def test_all_eleven_parameters_in_order():
    frame = scratch_frame()
    mon = ov.overflow(True, 50, 0.25, "key", "http://api", 40, False, "Always ", None, None, frame)
    assert (mon.fast, mon.threshold, mon.check_interval, mon.api_key, mon.api_url,
            mon.gpu_threshold, mon.verbose, mon.policy) == (True, 50.0, 0.25, "key", "http://api",
                                                            40.0, False, "always")
    assert type(mon.threshold) is float and type(mon.gpu_threshold) is float
    assert mon._running and ov._active_monitor is mon and mon._caller_frame is frame


def test_defaults_come_from_the_environment(monkeypatch):
    monkeypatch.setenv("CORVID_OVERFLOW_THRESHOLD", "60")
    monkeypatch.setenv("CORVID_OVERFLOW_MIN_SECONDS", "0.5")
    monkeypatch.setenv("CORVID_OVERFLOW_MAX_PAYLOAD_MB", "0.5")
    monkeypatch.setenv("CORVID_OVERFLOW_PREWARM", " YES ")
    monkeypatch.setenv("CORVID_OVERFLOW_COOLDOWN", "nan")
    mon = start()
    assert (mon.threshold, mon.min_seconds, mon.max_payload_bytes, mon.prewarm) == (
        60.0, 0.5, 524288, True)
    assert mon.cooldown_base == ov._COOLDOWN_BASE_DEFAULT
    assert mon.cooldown_cap == ov._COOLDOWN_CAP_DEFAULT and mon.gpu_threshold is None


@pytest.mark.parametrize("megabytes", ["1e308", "-1e308"])
def test_an_unrepresentable_payload_limit_falls_back_instead_of_raising(monkeypatch, megabytes):
    monkeypatch.setenv("CORVID_OVERFLOW_MAX_PAYLOAD_MB", megabytes)
    assert start().max_payload_bytes == 256 * 1024 * 1024


@pytest.mark.parametrize("kw,policy,threshold", [
    ({}, "auto", 85.0),
    ({"threshold": 70}, "loaded", 70.0),
    ({"gpu_threshold": 50}, "loaded", 60.0),
])
def test_thresholds_choose_the_policy(monkeypatch, kw, policy, threshold):
    if "gpu_threshold" in kw:
        monkeypatch.setenv("CORVID_OVERFLOW_THRESHOLD", "60")
    mon = ov.overflow(_caller_frame=scratch_frame(), **kw)
    try:
        assert (mon.policy, mon.threshold) == (policy, threshold)
    finally:
        mon.stop()


@pytest.mark.parametrize("kw,expected", [
    ({"policy": "fast"}, (ValueError,
                          "overflow(policy='fast') must be one of ['always', 'auto', 'loaded', 'off']")),
    ({"policy": 3}, (ValueError, "overflow(policy=3) must be one of ['always', 'auto', 'loaded', 'off']")),
    ({"threshold": None}, (TypeError, None)),
    ({"gpu_threshold": "many"}, (ValueError, None)),
])
def test_bad_arguments_raise_before_anything_changes(kw, expected):
    first = start()
    exc_type, message = expected
    with pytest.raises(exc_type) as info:
        ov.overflow(_caller_frame=scratch_frame(), **kw)
    if message is not None:
        assert str(info.value) == message
    if kw.get("threshold", 0) is None:
        with pytest.raises(TypeError) as plain:
            float(None)
        assert str(info.value) == str(plain.value)
    assert ov._active_monitor is first and first._running and first._atexit_registered


def test_second_call_replaces_and_stops_the_first():
    first = start()
    second = start()
    assert second is not first and ov._active_monitor is second
    assert first._running is False and first._atexit_registered is False
    assert second._running is True


@pytest.mark.parametrize("kw", [{"priority": True}, {"flexible": 0}])
def test_deprecated_arguments_warn_at_the_caller(kw):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        mon = start(**kw)
    (w,) = [c for c in caught if issubclass(c.category, DeprecationWarning)]
    assert str(w.message) == "overflow(priority=, flexible=) are not implemented and are ignored"
    assert w.filename == __file__
    assert mon._running and mon.policy == "off"


def test_no_warning_without_deprecated_arguments():
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        start()


def test_failed_start_is_logged_and_leaves_a_stopped_monitor(caplog):
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        mon = ov.overflow(policy="off", _caller_frame=object())  # no module namespace
    assert ov._active_monitor is mon and mon._running is False
    assert mon._atexit_registered is False
    (record,) = [r for r in caplog.records if r.levelno == logging.WARNING]
    assert record.getMessage().startswith("overflow monitor failed to start (")
    assert record.getMessage().endswith(") \u2014 feature disabled")


def test_script_calling_overflow_on_its_first_line(tmp_path):
    script = tmp_path / "user_script.py"
    script.write_text(textwrap.dedent(
        """
        from corvid import overflow as ov; mon = ov.overflow(policy="auto")
        import sys

        def double(x):
            return 2 * x

        print(mon is ov._active_monitor, mon._running, mon._caller_globals is globals(),
              mon._caller_frame is sys._getframe(), flush=True)
        print(ov._OverflowCallable(double, mon)(21), flush=True)
        again = ov.overflow(policy="off")
        print(mon._running, again._running, again._caller_globals is globals(), flush=True)
        """))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for name in ENV:
        env.pop(name, None)
    out = subprocess.run([sys.executable, str(script)], capture_output=True, text=True, env=env,
                         timeout=60, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.splitlines() == ["True True True True", "42", "False True True"]
