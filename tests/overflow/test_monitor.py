"""The monitor object: construction, serialisation, start, stop and the exit handler."""

import logging
import os
import pickle
import subprocess
import sys
import textwrap
import threading
import time
import types

import cloudpickle
import pytest

from corvid import overflow as ov

FIELDS = [
    "policy", "fast", "threshold", "gpu_threshold", "check_interval", "verbose", "min_seconds",
    "max_payload_bytes", "prewarm", "cooldown_base", "cooldown_cap", "api_key", "api_url",
    "_clock", "_gateway_factory", "_sample_source", "_running", "_predict_cache", "_src_cache",
    "_pickle_cache", "_learned_heavy", "_demoted", "_offload_incompatible", "_offload_failures",
    "_benefit_ok", "_relaxed_cache", "_libref_cache", "_gpu_cache", "_effect_cache",
    "_self_mut_cache", "_wrapped_classes", "_wrapped_modules", "_wrap_methods", "_forward_open",
    "_observed_seconds", "_recent_calls", "_wrapped", "_scope_lock", "_caller_globals",
    "_caller_frame", "_forward_names", "_hook_installed", "_hook_started_at", "_hook_calls",
    "_hook_fn", "_original_trace", "_load_gate", "_gateway", "_gateway_lock",
    "_gateway_retry_at", "_gateway_backoff", "_prewarm_lock", "_prewarmed", "_warm_result",
    "_by_value_lock", "_by_value_refs", "_tls", "_atexit_registered", "_filename_cache",
    "_exclude_prefixes", "_notebook_hook",
]

TRANSIENT = {"_scope_lock", "_gateway_lock", "_prewarm_lock", "_by_value_lock", "_tls",
             "_load_gate", "_wrapped_classes", "_wrapped_modules", "_caller_frame",
             "_caller_globals", "_original_trace", "_hook_fn", "_gateway", "api_key", "_notebook_hook"}

CREDENTIAL_VARS = ("CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL")


@pytest.fixture(autouse=True)
def clean_env(monkeypatch):
    for name in CREDENTIAL_VARS + ("CORVID_OVERFLOW_WRAP_METHODS",):
        monkeypatch.delenv(name, raising=False)


@pytest.fixture
def monitors():
    made = []

    def make(**kw):
        kw.setdefault("policy", "always")
        mon = ov._OverflowMonitor(**kw)
        made.append(mon)
        return mon

    yield make
    for mon in made:
        mon.stop()


class Session:
    def __init__(self, fail=False):
        self.progress = True
        self.exits = []
        self.fail = fail

    def __exit__(self, *args):
        self.exits.append(args)
        if self.fail:
            raise RuntimeError("close failed")


class Samples:
    """A load source for the gate: always calm."""

    def __call__(self):
        return (1.0, 1.0)


# --- construction -----------------------------------------------------------------


def test_constructor_defaults_and_every_field():
    mon = ov._OverflowMonitor()
    for name in FIELDS:
        assert hasattr(mon, name), name
    # fields are attributes of the object itself; the dict holds only what callers add
    assert vars(mon) == {}
    mon.extra = 1
    assert vars(mon) == {"extra": 1}
    assert (mon.policy, mon.fast, mon.threshold, mon.gpu_threshold, mon.check_interval,
            mon.verbose, mon.prewarm) == ("auto", False, 85.0, None, 0.5, True, False)
    assert mon.min_seconds == ov._MIN_SECONDS_DEFAULT
    assert mon.max_payload_bytes == ov._MAX_PAYLOAD_BYTES_DEFAULT
    assert mon.cooldown_base == ov._COOLDOWN_BASE_DEFAULT == mon._gateway_backoff
    assert mon.cooldown_cap == ov._COOLDOWN_CAP_DEFAULT
    assert mon._clock is time.monotonic
    assert mon._running is False and mon._forward_open is False and mon._load_gate is None
    assert mon._gateway is None and mon._atexit_registered is False and mon._wrap_methods is True
    assert mon._hook_started_at == 0.0 and mon._hook_calls == 0 and mon._gateway_retry_at == 0.0
    assert mon.api_key is None and mon.api_url == ov._DEFAULT_API_URL
    assert mon._exclude_prefixes == ov._compute_exclude_prefixes()
    assert type(mon._scope_lock) is type(threading.RLock())
    assert isinstance(mon._tls, threading.local)
    for name in ("_demoted", "_offload_incompatible", "_benefit_ok", "_learned_heavy"):
        assert getattr(mon, name) == set()


def test_each_monitor_has_its_own_containers():
    a, b = ov._OverflowMonitor(), ov._OverflowMonitor()
    for name in ("_demoted", "_predict_cache", "_wrapped", "_scope_lock", "_tls"):
        assert getattr(a, name) is not getattr(b, name)


def test_constructor_is_keyword_only():
    with pytest.raises(TypeError):
        ov._OverflowMonitor("auto")


@pytest.mark.parametrize(
    "arg,env,expected",
    [
        ("given", {"CORVID_API_KEY": "env"}, "given"),
        (None, {"CORVID_API_KEY": "env", "GATEWAY_API_KEY": "gw"}, "env"),
        ("", {"CORVID_API_KEY": "env"}, "env"),
        (None, {"CORVID_API_KEY": "", "GATEWAY_API_KEY": "gw"}, "gw"),
        (None, {}, None),
        # read from a file with its newline; bytes that are not UTF-8 are malformed
        (None, {"CORVID_API_KEY": "env\n"}, "env"),
        (None, {"CORVID_API_KEY": b"\xff\xfe", "GATEWAY_API_KEY": "gw"}, "gw"),
    ],
)
def test_api_key_fallbacks(monkeypatch, arg, env, expected):
    for k, v in env.items():
        monkeypatch.setitem(os.environb, k.encode(), v if isinstance(v, bytes) else v.encode())
    assert ov._OverflowMonitor(api_key=arg).api_key == expected


@pytest.mark.parametrize("arg,env,expected", [
    ("http://x", b"http://env", "http://x"),
    ("", b"http://env", "http://env"),
    (None, None, None),
    (None, b"http://\xff", None),
])
def test_api_url_fallbacks(monkeypatch, arg, env, expected):
    if env:
        monkeypatch.setitem(os.environb, b"CORVID_API_URL", env)
    assert ov._OverflowMonitor(api_url=arg).api_url == (expected or ov._DEFAULT_API_URL)
    assert ov.overflow(api_url=arg, policy="off", _caller_frame=None).api_url == (
        expected or ov._DEFAULT_API_URL)
    ov._active_monitor.stop()


@pytest.mark.parametrize("value,expected", [("0", False), ("yes", True), ("junk", False)])
def test_wrap_methods_from_the_environment(monkeypatch, value, expected):
    monkeypatch.setenv("CORVID_OVERFLOW_WRAP_METHODS", value)
    assert ov._OverflowMonitor()._wrap_methods is expected


def test_fields_are_plain_attributes():
    mon = ov._OverflowMonitor()
    mon._running = True
    mon._forward_open = 1
    mon.custom = "x"
    assert mon._running is True and mon._forward_open is True and mon.custom == "x"
    mon._running = False


# --- serialisation ----------------------------------------------------------------


@pytest.mark.parametrize("dumps,loads", [
    *[(lambda o, p=p: pickle.dumps(o, p), pickle.loads) for p in range(pickle.HIGHEST_PROTOCOL + 1)],
    (cloudpickle.dumps, cloudpickle.loads)])
def test_serialised_monitor_keeps_learning_and_drops_live_state(monitors, dumps, loads):
    mon = monitors(api_key="secret")
    mon.start(None)
    mon._demoted.add(("f", "g", 1))
    mon._observed_seconds[("f", "g", 1)] = 0.5
    mon._gateway = Session()
    state = mon.__getstate__()
    assert not (TRANSIENT & state.keys())
    assert state["_running"] is True and state["_demoted"] == {("f", "g", 1)}
    copy = loads(dumps(mon))
    assert type(copy) is ov._OverflowMonitor
    assert copy._running is True and copy._demoted == {("f", "g", 1)}
    assert copy._observed_seconds == {("f", "g", 1): 0.5} and copy.policy == "always"
    assert copy.api_key is None and copy._gateway is None and copy._load_gate is None
    assert copy._caller_frame is None and copy._wrapped_classes == {}
    for lock in ("_scope_lock", "_gateway_lock", "_prewarm_lock", "_by_value_lock", "_tls"):
        assert getattr(copy, lock) is not getattr(mon, lock)
    assert copy._scope_lock.acquire(blocking=False)  # a fresh, usable lock
    copy._scope_lock.release()
    copy._running = False  # never started here: nothing to undo
    mon._gateway = None


def test_restored_state_goes_through_the_instance_dictionary():
    mon = ov._OverflowMonitor.__new__(ov._OverflowMonitor)
    mon.__setstate__({"policy": "off", "_forward_open": True, "extra": 1})
    assert mon.policy == "off" and mon._forward_open is True and mon.extra == 1
    assert mon._running is False and mon.api_key is None
    assert isinstance(mon._tls, threading.local)


# --- start and stop ---------------------------------------------------------------


def test_start_twice_is_harmless(monitors, caplog):
    mon = monitors()
    with caplog.at_level(logging.INFO, logger="corvid.overflow"):
        mon.start(None)
        mon.start(None)
    started = [r for r in caplog.records if r.msg.startswith("Overflow monitor started")]
    assert len(started) == 1
    assert started[0].getMessage() == "Overflow monitor started  policy=always  fast=False"
    assert mon._running is True and mon._atexit_registered is True


def test_stop_before_start_does_nothing(monitors, caplog):
    mon = monitors()
    mon._gateway = session = Session()
    with caplog.at_level(logging.DEBUG, logger="corvid.overflow"):
        mon.stop()
    assert caplog.records == [] and session.exits == [] and mon._gateway is session
    mon._gateway = None


@pytest.mark.parametrize("policy", ["always", "off"])
def test_policies_without_a_load_gate(monitors, policy):
    mon = monitors(policy=policy)
    mon.start(None)
    assert mon._load_gate is None


@pytest.mark.parametrize("policy", ["auto", "loaded"])
def test_load_gate_levels_follow_the_threshold(monitors, policy):
    mon = monitors(policy=policy, threshold=10.0, sample_source=Samples())
    mon.start(None)
    gate = mon._load_gate
    assert isinstance(gate, ov._LoadGate)
    assert (gate._cpu_on, gate._cpu_off) == (10.0 + ov._CPU_ON_MARGIN, 0.0)
    mon.stop()
    assert mon._load_gate is None


def test_default_threshold_gives_gate_levels_90_and_70(monitors):
    mon = monitors(policy="auto", sample_source=Samples())
    mon.start(None)
    assert (mon._load_gate._cpu_on, mon._load_gate._cpu_off) == (90.0, 70.0)


def test_start_with_a_caller_frame_watches_its_namespace(monitors):
    ticks = iter([100.0, 101.0, 102.0])
    mon = monitors(clock=lambda: next(ticks))
    ns = {"__name__": "scratch"}
    exec("import sys\ndef here():\n    return sys._getframe()\n", ns)
    frame = ns["here"]()
    mon.start(frame)
    assert mon._caller_globals is ns and mon._caller_frame is frame
    assert mon._hook_started_at == 100.0 and mon._forward_open is False
    mon.stop()
    assert mon._caller_frame is None and mon._running is False


def test_stop_closes_the_gateway_session(monitors, caplog):
    mon = monitors()
    mon.start(None)
    mon._gateway = session = Session()
    with caplog.at_level(logging.INFO, logger="corvid.overflow"):
        mon.stop()
    assert session.progress is False and session.exits == [(None, None, None)]
    assert mon._gateway is None and mon._atexit_registered is False
    assert [r.getMessage() for r in caplog.records] == ["Overflow monitor stopped."]


@pytest.mark.parametrize("session", [Session(fail=True), object(), 42])
def test_stop_swallows_session_close_errors(monitors, session):
    mon = monitors()
    mon.start(None)
    mon._gateway = session
    mon.stop()
    assert mon._gateway is None and mon._running is False


@pytest.mark.parametrize("failing", ["_uninstall_hook", "gate stop", "_unwrap_all"])
def test_a_failing_stop_step_does_not_leave_the_monitor_half_stopped(monitors, caplog, failing):
    mon = monitors(policy="loaded", sample_source=Samples())
    mon.start(None)
    gate, ran = mon._load_gate, []

    def boom(*args):
        raise RuntimeError("step broke")

    def recorded(name, real):
        def step(*args):
            ran.append(name)
            return real(*args)
        return step

    mon._uninstall_hook = recorded("_uninstall_hook", mon._uninstall_hook)
    mon._unwrap_all = recorded("_unwrap_all", mon._unwrap_all)
    mon._gateway = session = Session()
    if failing == "gate stop":
        real_stop = gate.stop
        gate.stop = lambda: (real_stop(), boom())
    else:
        setattr(mon, failing, boom)
    with caplog.at_level(logging.WARNING, logger="corvid.overflow"):
        mon.stop()
    assert mon._running is False and mon._load_gate is None and mon._gateway is None
    assert session.exits == [(None, None, None)] and mon._atexit_registered is False
    assert sorted(ran) == sorted({"_uninstall_hook", "_unwrap_all"} - {failing})
    assert any("step broke" in r.getMessage() for r in caplog.records)


def test_restart_after_stop_keeps_what_was_learned(monitors):
    mon = monitors()
    mon.start(None)
    mon._benefit_ok.add("k")
    mon.stop()
    mon.start(None)
    assert mon._running and mon._benefit_ok == {"k"} and mon._atexit_registered


def run_script(body, tmp_path):
    script = tmp_path / "script.py"
    script.write_text(textwrap.dedent(body))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=env, timeout=60, cwd=tmp_path)


def test_running_monitor_is_stopped_at_exit(tmp_path):
    out = run_script(
        """
        import logging, sys
        logging.basicConfig(stream=sys.stdout, level=logging.INFO, format="%(message)s")
        from corvid import overflow as ov

        class Session:
            progress = True
            def __exit__(self, *args):
                print("session closed", self.progress, args, flush=True)

        mon = ov._OverflowMonitor(policy="off")
        mon.start(None)
        mon._gateway = Session()
        stopped = ov._OverflowMonitor(policy="off")
        stopped.start(None)
        stopped.stop()
        stopped._gateway = Session()   # not running: the exit handler was withdrawn
        print("end of script", flush=True)
        """,
        tmp_path,
    )
    assert out.returncode == 0, out.stderr
    lines = out.stdout.splitlines()
    tail = lines[lines.index("end of script"):]
    assert tail == ["end of script", "session closed False (None, None, None)",
                    "Overflow monitor stopped."]


def test_repr_shows_policy_state_and_what_is_wrapped(monitors, tmp_path, monkeypatch):
    module = types.ModuleType("repr_script")
    module.__file__ = str(tmp_path / "repr_script.py")
    monkeypatch.setitem(sys.modules, "repr_script", module)  # where inspect finds the class's file
    src = "import numpy as np\ndef train(x):\n    return np.linalg.svd(x)\nclass Model:\n    fit = train\n"
    exec(compile(src, module.__file__, "exec"), module.__dict__)
    mon = monitors(policy="off")
    assert repr(mon) == "<_OverflowMonitor policy='off' stopped wrapped=0 classes=0>"
    mon.start(None)
    mon._wrap_scope(module.__dict__)
    assert repr(mon) == "<_OverflowMonitor policy='off' running wrapped=1 classes=1>"
    assert repr(ov.Monitor.__new__(ov.Monitor)) == "<_OverflowMonitor (not initialised)>"
