"""The load gate: hysteresis verdict, sampling, GPU reduction, the sampling
thread and its lifecycle.

Load is injected through `sample_source` and the verdict is driven through
direct `step()` calls; threads are observed through events and polling."""
import gc
import json
import logging
import os
import subprocess
import sys
import textwrap
import threading
import time
import types
import weakref

import psutil
import pytest

import corvid
import corvid.overflow as ov

THREAD = "corvid-overflow-load"
_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))


def _env(**overrides):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("CORVID_OVERFLOW_") and k != "CUDA_VISIBLE_DEVICES"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [_PACKAGE_ROOT, env.get("PYTHONPATH")]))
    env.update(overrides)
    return env


def _run(code, **env):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=_env(**env),
                          capture_output=True, text=True, timeout=60)


def _wait_for(predicate, timeout=5.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(0.005)
    return predicate()


def _load_threads():
    return [t for t in threading.enumerate() if t.name == THREAD]


class FakeClock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        return self.now


@pytest.fixture
def make_gate():
    gates = []

    def make(**kw):
        kw.setdefault("clock", FakeClock())
        gate = ov._LoadGate(**kw)
        gates.append(gate)
        return gate

    yield make
    for gate in gates:
        gate.stop()
    assert _wait_for(lambda: not _load_threads())


# --------------------------------------------------------------------------
# construction

def test_constructor_fields(make_gate):
    clock = FakeClock()
    gate = make_gate(clock=clock)
    assert gate._clock is clock
    assert (gate._sample_source, gate._on_sample) == (None, None)
    assert gate._sample_interval == ov._SAMPLE_INTERVAL
    assert (gate._n_on, gate._n_off) == (ov._HYST_ON, ov._HYST_OFF)
    assert (gate._cpu_on, gate._cpu_off) == (90.0, 70.0)
    assert (gate._mem_on, gate._mem_off) == (ov._MEM_ON, ov._MEM_OFF)
    assert (gate._overloaded, gate._on_streak, gate._off_streak, gate._running) == (False, 0, 0, False)
    assert (gate._thread, gate._proc, gate._ncpu) == (None, None, 1)
    assert (gate._children, gate._gpu_handles) == ({}, [])
    assert (gate._gpu_ready, gate._nvml_inited, gate._last_gpu_bad) == (False, False, False)
    gate.note = "ordinary object"
    assert gate.__dict__ == {"note": "ordinary object"}


def test_constructor_arguments(make_gate):
    hook = lambda: None  # noqa: E731
    source = lambda: (0.0, 0.0)  # noqa: E731
    gate = make_gate(sample_source=source, sample_interval=0.5, n_on=2, n_off=3, cpu_on=50.0,
                     cpu_off=20.0, mem_on=70.0, mem_off=60.0, on_sample=hook)
    assert (gate._sample_source, gate._on_sample) == (source, hook)
    assert (gate._sample_interval, gate._n_on, gate._n_off) == (0.5, 2, 3)
    assert (gate._cpu_on, gate._cpu_off, gate._mem_on, gate._mem_off) == (50.0, 20.0, 70.0, 60.0)
    with pytest.raises(TypeError):
        ov._LoadGate()  # clock is required


# --------------------------------------------------------------------------
# hysteresis

H, N, C = (95.0, 10.0), (80.0, 10.0), (50.0, 10.0)  # hot, neutral, cool with cpu 90/70


def _feed(gate, samples):
    verdicts = []
    for s in samples:
        gate.step(*s)
        verdicts.append(gate.sustained_overloaded())
    return verdicts


@pytest.mark.parametrize("samples, verdicts", [
    ([H, H, H, N, H, H, H], [False] * 7),                         # a neutral sample breaks the run
    ([H, H, H, H], [False, False, False, True]),
    ([H, H, H, C, H, H, H, H], [False] * 7 + [True]),
    ([(90.0, 10.0)] * 5, [False] * 5),                             # equal to cpu_on is not hot
    ([(10.0, 91.0)] * 4, [False, False, False, True]),             # memory alone is hot
    ([(10.0, 90.0)] * 4, [False] * 4),
    ([(10.0, 10.0, True)] * 4, [False, False, False, True]),       # GPU alone is hot
])
def test_entering_overload(make_gate, samples, verdicts):
    gate = make_gate(n_on=4, n_off=4)
    assert _feed(gate, samples) == verdicts


@pytest.mark.parametrize("samples, verdicts", [
    ([C, C, C, N, C, C, C], [True] * 7),                           # neutral resets the off streak
    ([C, C, C, C], [True, True, True, False]),
    ([C, C, C, H, C, C, C, C], [True] * 7 + [False]),
    ([(70.0, 10.0)] * 5, [True] * 5),                              # equal to cpu_off is not cool
    ([(10.0, 80.0)] * 5, [True] * 5),                              # equal to mem_off is not cool
    ([(10.0, 10.0, True)] * 5, [True] * 5),                        # GPU pressure is never cool
])
def test_leaving_overload(make_gate, samples, verdicts):
    gate = make_gate(n_on=4, n_off=4)
    _feed(gate, [H] * 4)
    assert _feed(gate, samples) == verdicts


def test_streak_bookkeeping(make_gate):
    gate = make_gate(n_on=2, n_off=2)
    _feed(gate, [H, H, H])
    # Entering keeps counting the on streak; only leaving resets it.
    assert (gate._overloaded, gate._on_streak, gate._off_streak) == (True, 2, 0)
    _feed(gate, [C])
    assert (gate._on_streak, gate._off_streak) == (2, 1)
    _feed(gate, [C])
    assert (gate._overloaded, gate._on_streak, gate._off_streak) == (False, 0, 2)
    _feed(gate, [H])
    assert (gate._on_streak, gate._off_streak) == (1, 2)
    _feed(gate, [H])
    assert (gate._overloaded, gate._off_streak) == (True, 0)


def test_gpu_pressure_needs_overload_and_latest_gpu_verdict(make_gate):
    gate = make_gate(n_on=2, n_off=4)
    gate.step(10.0, 10.0, True)
    assert gate._last_gpu_bad and not gate.gpu_pressure()
    gate.step(10.0, 10.0, gpu_bad=True)
    assert gate.sustained_overloaded() and gate.gpu_pressure()
    gate.step(95.0, 10.0)  # still overloaded, but this sample saw no GPU pressure
    assert gate.sustained_overloaded() and not gate.gpu_pressure()


# --------------------------------------------------------------------------
# GPU reduction

GOOD = {"free_pct": 5.0, "others_pct": 70.0, "attrib_ok": True}


@pytest.mark.parametrize("devices, expected", [
    ([], False),
    (None, False),
    ([GOOD], True),
    ([GOOD, GOOD], True),
    ([dict(GOOD, attrib_ok=False)], False),
    ([GOOD, dict(GOOD, attrib_ok=False)], False),
    ([dict(GOOD, free_pct=8.0)], False),      # free must be strictly below 8
    ([dict(GOOD, others_pct=60.0)], True),     # others at least 60
    ([dict(GOOD, others_pct=59.9)], False),
    ([{"attrib_ok": True}], False),            # free defaults to 100
    ([{"free_pct": 1.0, "attrib_ok": True}], False),  # others defaults to 0
    ([{"free_pct": 1, "others_pct": 99}], False),     # attribution must be stated
])
def test_reduce_gpu_pressure(monkeypatch, devices, expected):
    monkeypatch.delenv("CORVID_OVERFLOW_GPU_FREE_MIN", raising=False)
    monkeypatch.delenv("CORVID_OVERFLOW_GPU_OTHERS_MIN", raising=False)
    assert ov._reduce_gpu_pressure(devices) is expected


def test_reduce_gpu_pressure_reads_limits_each_call(monkeypatch):
    record = {"free_pct": 20.0, "others_pct": 30.0, "attrib_ok": True}
    assert not ov._reduce_gpu_pressure([record])
    monkeypatch.setenv("CORVID_OVERFLOW_GPU_FREE_MIN", "25")
    monkeypatch.setenv("CORVID_OVERFLOW_GPU_OTHERS_MIN", "30")
    assert ov._reduce_gpu_pressure([record])
    monkeypatch.setenv("CORVID_OVERFLOW_GPU_FREE_MIN", "nan")  # unusable: back to 8.0
    assert not ov._reduce_gpu_pressure([record])


# --------------------------------------------------------------------------
# the loop body, run on the test's thread

def _run_loop_once(gate, samples, hooks=None):
    """Run _loop on this thread over `samples`; it stops once the on_sample
    hook ran `hooks` times (default: once per sample)."""
    it = iter(samples)
    seen = []
    hooks = len(samples) if hooks is None else hooks

    def source():
        value = next(it)
        if isinstance(value, Exception):
            raise value
        return value

    def hook():
        seen.append(gate._last_gpu_bad)
        if len(seen) == hooks:
            gate._running = False

    gate._sample_source = source
    gate._on_sample = hook
    gate._sample_interval = 0.001
    gate._running = True
    gate._loop()
    return seen


@pytest.mark.parametrize("sample, gpu_bad", [
    ((50.0, 10.0), False),
    ((50.0, 10.0, 1), True),
    ((50.0, 10.0, 0), False),
    ((50.0, 10.0, True), True),
    ((50.0, 10.0, [GOOD]), True),
    ((50.0, 10.0, [dict(GOOD, attrib_ok=False)]), False),
    ((50.0, 10.0, []), False),
    ([50.0, 10.0, "yes"], True),
])
def test_loop_interprets_samples(make_gate, sample, gpu_bad):
    gate = make_gate()
    assert _run_loop_once(gate, [sample]) == [gpu_bad]


def test_loop_survives_failures_and_logs_them(make_gate, caplog):
    gate = make_gate(n_on=1)
    caplog.set_level(logging.DEBUG, logger="corvid.overflow")
    seen = _run_loop_once(gate, [RuntimeError("sensor gone"), (1.0, 2.0, 3.0, 4.0), (95.0, 0.0)], hooks=1)
    assert seen == [False] and gate.sustained_overloaded()
    messages = [r.getMessage() for r in caplog.records if r.name == "corvid.overflow"]
    assert "load-gate sampling failed: sensor gone" in messages
    assert sum(m.startswith("load-gate sampling failed: ") for m in messages) == 2
    assert all(r.levelno == logging.DEBUG for r in caplog.records if r.name == "corvid.overflow")


def test_on_sample_error_is_logged_and_loop_goes_on(make_gate, caplog):
    caplog.set_level(logging.DEBUG, logger="corvid.overflow")
    gate = make_gate()
    calls = []

    def hook():
        calls.append(1)
        if len(calls) == 1:
            raise ValueError("rescan broke")
        gate._running = False

    gate._sample_source = lambda: (0.0, 0.0)
    gate._on_sample = hook
    gate._sample_interval = 0.001
    gate._running = True
    gate._loop()
    assert len(calls) == 2
    assert "load-gate sampling failed: rescan broke" in caplog.messages


def test_loop_calls_overridable_methods(make_gate):
    gate = make_gate(sample_source=lambda: (95.0, 0.0))
    stepped = []
    gate.step = lambda cpu, mem, gpu: (stepped.append((cpu, mem, gpu)), setattr(gate, "_running", False))
    gate._sample_interval = 0.001
    gate._running = True
    gate._loop()
    assert stepped == [(95.0, 0.0, False)] and not gate.sustained_overloaded()


# --------------------------------------------------------------------------
# thread lifecycle

def test_thread_start_stop(make_gate):
    sampled = threading.Event()
    gate = make_gate(sample_source=lambda: (10.0, 10.0), sample_interval=0.01, on_sample=sampled.set)
    gate.start()
    threads = _load_threads()
    assert len(threads) == 1 and threads[0] is gate._thread
    assert threads[0].daemon and gate._running
    assert sampled.wait(5)
    gate.start()  # no second thread while running
    assert _load_threads() == threads and gate._thread is threads[0]
    gate.stop()
    assert (gate._running, gate._thread) == (False, None)
    assert _wait_for(lambda: not threads[0].is_alive())
    assert not _load_threads()


def test_restart_while_old_loop_is_inside_a_sample(make_gate):
    # The old loop is still busy measuring when stop() and start() follow each
    # other; once it finishes it must neither step nor keep sampling.
    entered, release = threading.Event(), threading.Event()
    first = []
    steps = []

    def source():
        if not first:
            first.append(threading.current_thread())
            entered.set()
            release.wait(10)
        return (95.0, 10.0)

    gate = make_gate(sample_source=source, sample_interval=0.01, n_on=1000, n_off=1000)
    real_step = gate.step
    gate.step = lambda *a: (steps.append(threading.current_thread()), real_step(*a))
    gate.start()
    assert entered.wait(5)
    gate.stop()
    gate._overloaded = True  # the verdict is never reset by a restart
    gate.start()
    new = gate._thread
    assert new is not first[0]
    assert _wait_for(lambda: len(steps) >= 2)
    release.set()
    assert _wait_for(lambda: not first[0].is_alive())
    mark = len(steps)
    assert _wait_for(lambda: len(steps) >= mark + 3)
    assert set(steps) == {new}
    assert _load_threads() == [new]
    assert gate.sustained_overloaded()


def test_stop_from_the_hook_ends_the_loop(make_gate):
    gate = make_gate(sample_source=lambda: (10.0, 10.0), sample_interval=0.01)
    ran_on = []

    def hook():
        ran_on.append(threading.current_thread())
        gate.stop()

    gate._on_sample = hook
    gate.start()
    assert _wait_for(lambda: ran_on and not ran_on[0].is_alive())
    assert len(ran_on) == 1 and ran_on[0].name == THREAD and not gate._running


def test_gate_in_a_cycle_is_collected(make_gate):
    class Owner:
        def rescan(self):
            pass

    owner = Owner()
    owner.gate = ov._LoadGate(clock=FakeClock(), sample_source=lambda: (0.0, 0.0),
                              sample_interval=0.01, on_sample=owner.rescan)
    owner.gate.start()
    owner.gate.stop()
    thread = _load_threads()
    assert _wait_for(lambda: not _load_threads())
    ref = weakref.ref(owner)
    del owner, thread
    gc.collect()
    assert ref() is None


# --------------------------------------------------------------------------
# real measurement with psutil

@pytest.fixture
def child():
    proc = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
    yield proc
    proc.kill()
    proc.wait()


def test_refresh_children_tracks_descendants(make_gate, child):
    gate = make_gate()
    assert gate._refresh_children() == 0.0  # no own process handle yet
    gate._proc = psutil.Process()
    assert gate._refresh_children() >= 0.0
    assert child.pid in gate._children
    handle = gate._children[child.pid]
    gate._refresh_children()
    assert gate._children[child.pid] is handle  # kept between samples
    child.kill()
    child.wait()
    gate._refresh_children()
    assert child.pid not in gate._children


def test_start_without_source_prepares_psutil(make_gate):
    gate = make_gate(sample_interval=0.01)
    gate.start()
    assert gate._proc is not None and gate._proc.pid == os.getpid()
    assert gate._ncpu == max(1, psutil.cpu_count(logical=True) or 1)
    gate.stop()
    cpu, mem, gpu = gate._sample()
    assert cpu >= 0.0 and gpu is False


def test_memory_signal_needs_own_tree_share(make_gate, monkeypatch):
    gate = make_gate(mem_on=-5.0)  # the machine always counts as short of memory
    gate._proc = psutil.Process()
    monkeypatch.setattr(ov, "_PROC_RSS_MIN", 100.0)  # ...but our tree never holds all of it
    assert gate._sample()[1] == 0.0
    monkeypatch.setattr(ov, "_PROC_RSS_MIN", -1.0)
    assert gate._sample()[1] == -4.0


def test_without_psutil_the_gate_stays_calm():
    out = _run("""
        import json, logging, sys, time, threading
        sys.modules["psutil"] = None
        import corvid.overflow as ov
        records = []
        class Keep(logging.Handler):
            def emit(self, r): records.append((r.levelno, r.getMessage()))
        log = logging.getLogger("corvid.overflow")
        log.addHandler(Keep()); log.setLevel(logging.DEBUG)
        gate = ov._LoadGate(clock=time.monotonic, sample_interval=0.01, n_on=1)
        gate.start()
        deadline = time.monotonic() + 10
        while len(records) < 3 and time.monotonic() < deadline:
            time.sleep(0.01)
        gate.stop()
        print(json.dumps({"proc": gate._proc is None, "over": gate.sustained_overloaded(),
                          "records": records[:3], "gpu": gate._gpu_ready}))
    """)
    assert out.returncode == 0, out.stderr
    got = json.loads(out.stdout)
    assert got["proc"] and not got["over"] and not got["gpu"]
    assert len(got["records"]) == 3
    for level, message in got["records"]:
        assert level == logging.DEBUG and message.startswith("load-gate sampling failed: ")
        assert "psutil" in message


@pytest.mark.parametrize("how", ["stop at exit", "left running"])
def test_interpreter_exit_with_a_gate(how):
    stop = "atexit.register(gate.stop)" if how == "stop at exit" else ""
    out = _run(f"""
        import atexit, time, corvid.overflow as ov
        gate = ov._LoadGate(clock=time.monotonic, sample_interval=0.005,
                            sample_source=lambda: (sum(range(2000)) * 0.0, 0.0))
        gate.start()
        {stop}
        time.sleep(0.05)
        print("done")
    """)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "done"
    assert "terminate" not in out.stderr
    if how == "stop at exit":
        assert out.stderr == ""


# --------------------------------------------------------------------------
# lazy loaders and NVML

class FakeNvml(types.ModuleType):
    """Stands in for the NVIDIA management binding (no GPU on test machines)."""

    def __init__(self, devices, fail=()):
        super().__init__("pynvml")
        self.devices = devices
        self.fail = set(fail)
        self.calls = []

    def _call(self, name):
        self.calls.append(name)
        if name in self.fail:
            raise RuntimeError(f"{name} failed")

    def nvmlInit(self):
        self._call("init")

    def nvmlShutdown(self):
        self._call("shutdown")

    def nvmlDeviceGetCount(self):
        self._call("count")
        return len(self.devices)

    def nvmlDeviceGetHandleByIndex(self, i):
        return self.devices[i]

    def nvmlDeviceGetMemoryInfo(self, dev):
        if dev.get("mem_error"):
            raise RuntimeError("device lost")
        return types.SimpleNamespace(total=dev["total"], free=dev["free"])

    def nvmlDeviceGetComputeRunningProcesses(self, dev):
        for p in dev["procs"]:
            if p == "error":
                raise RuntimeError("query failed")
            yield p


def _proc(pid, used="absent"):
    p = types.SimpleNamespace(pid=pid)
    if used != "absent":
        p.usedGpuMemory = used
    return p


@pytest.fixture
def nvml(monkeypatch):
    monkeypatch.delenv("CUDA_VISIBLE_DEVICES", raising=False)

    def install(devices, fail=()):
        fake = FakeNvml(devices, fail)
        monkeypatch.setitem(sys.modules, "pynvml", fake)
        return fake

    return install


def test_lazy_loaders_never_import(monkeypatch):
    asked = []

    class Recorder:
        @staticmethod
        def find_spec(name, path=None, target=None):
            asked.append(name)
            return None

    monkeypatch.setattr(sys, "meta_path", [Recorder()] + sys.meta_path)
    for name in ("torch", "numpy"):
        monkeypatch.delitem(sys.modules, name, raising=False)
    assert ov._torch() is None and ov._numpy() is None
    assert asked == []
    fake = types.ModuleType("numpy")
    monkeypatch.setitem(sys.modules, "numpy", fake)
    assert ov._numpy() is fake and ov._torch() is None


def test_pynvml_loader(monkeypatch, nvml):
    fake = nvml([])
    assert ov._pynvml() is fake
    monkeypatch.setitem(sys.modules, "pynvml", None)  # import blocked
    assert ov._pynvml() is None


def test_pynvml_import_warnings_are_silenced(tmp_path):
    (tmp_path / "pynvml.py").write_text("import warnings\nwarnings.warn('deprecated binding', FutureWarning)\n")
    out = _run("""
        import warnings, corvid.overflow as ov
        warnings.simplefilter("error")
        print(ov._pynvml().__name__, warnings.filters[0][0])
    """, PYTHONPATH=os.pathsep.join([str(tmp_path), _PACKAGE_ROOT]))
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["pynvml", "error"]  # filters restored afterwards


@pytest.mark.parametrize("visible, watched", [(None, True), ("", False), ("   ", False), ("1", True)])
def test_init_gpu_and_visible_devices(make_gate, nvml, monkeypatch, visible, watched):
    fake = nvml([{"id": 0}, {"id": 1}])
    if visible is not None:
        monkeypatch.setenv("CUDA_VISIBLE_DEVICES", visible)
    gate = make_gate()
    gate._init_gpu()
    assert gate._gpu_ready is watched and gate._nvml_inited is watched
    assert gate._gpu_handles == ([{"id": 0}, {"id": 1}] if watched else [])
    assert ("init" in fake.calls) is watched


@pytest.mark.parametrize("fail, inited", [("init", False), ("count", True)])
def test_init_gpu_failure(make_gate, nvml, fail, inited):
    nvml([{"id": 0}], fail=[fail])
    gate = make_gate()
    gate._init_gpu()
    assert (gate._gpu_ready, gate._gpu_handles, gate._nvml_inited) == (False, [], inited)


def test_gpu_devices_attributes_memory(make_gate, nvml, child):
    gib = 1 << 30
    me = os.getpid()
    nvml([
        {"total": 100 * gib, "free": 5 * gib,
         "procs": [_proc(me, 10 * gib), _proc(child.pid, 5 * gib), _proc(4242424, 70 * gib)]},
        {"total": 100 * gib, "free": 50 * gib, "procs": [_proc(4242424, None), _proc(4242425, 10 * gib)]},
        {"total": 100 * gib, "free": 1 * gib, "procs": [_proc(4242424, 30 * gib), "error"]},
        {"mem_error": True},
        {"total": 0, "free": 0, "procs": [_proc(4242424)]},
    ])
    gate = make_gate()
    assert gate._gpu_devices() == []  # not started
    gate._init_gpu()
    gate._children = {child.pid: None}
    assert gate._gpu_devices() == [
        {"free_pct": 5.0, "others_pct": 70.0, "attrib_ok": True},
        {"free_pct": 50.0, "others_pct": 10.0, "attrib_ok": False},
        {"free_pct": 1.0, "others_pct": 30.0, "attrib_ok": False},
        {"free_pct": 0.0, "others_pct": 0.0, "attrib_ok": False},
    ]


def test_sample_reports_gpu_pressure(make_gate, nvml):
    device = {"total": 100, "free": 2, "procs": [_proc(4242424, 90)]}
    nvml([device])
    gate = make_gate()
    gate._init_gpu()
    assert gate._sample()[2] is True
    device["procs"] = [_proc(os.getpid(), 90)]  # the memory is our own
    assert gate._sample()[2] is False


def test_stop_releases_nvml(make_gate, nvml):
    fake = nvml([{"id": 0}], fail=["shutdown"])  # a failing shutdown is ignored
    gate = make_gate()
    gate.start()
    assert gate._gpu_ready and "init" in fake.calls
    gate.stop()
    assert fake.calls.count("shutdown") == 1
    assert (gate._nvml_inited, gate._gpu_ready, gate._gpu_handles) == (False, False, [])
    gate.stop()
    assert fake.calls.count("shutdown") == 1


def test_sample_source_skips_psutil_and_nvml(make_gate, nvml):
    fake = nvml([{"id": 0}])
    gate = make_gate(sample_source=lambda: (0.0, 0.0), sample_interval=0.01)
    gate.start()
    assert gate._proc is None and not gate._gpu_ready and fake.calls == []
