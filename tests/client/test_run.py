import io
import logging
import os
import signal
import sys
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

import corvid.overflow as ov
from corvid.client import GateWay, SerializationError, WorkerLost

from .test_lifecycle import _gone


@pytest.fixture(scope="module")
def gw():
    with GateWay(workers=2) as gw:
        yield gw


def add(x, y=1):
    return x + y


def grow(xs):
    xs.append(len(xs))
    return len(xs)


def keywords(**kw):
    return kw


def _call(*args):
    return args


@pytest.mark.parametrize("args, kwargs, expected", [
    ((add, 2), {"y": 3}, 5),
    # In the plain shape every keyword is the function's, option names too.
    ((keywords,), {"gpu": "A100", "timeout": 1}, {"gpu": "A100", "timeout": 1}),
    ((ov._call_shim(), add, (2,), {"y": 3}), {"gpu": "T4", "gpu_count": 1}, 5),
    ((ov._sanitize_call_shim(), add, [2], {}), {"pip_packages": ["cloudpickle"]}, 3),
    ((ov._capture_shim(), grow, ([7],), {}), {}, (2, ([7, 1],), {})),
    ((ov._sanitize_capture_shim(), grow, ([],), {}), {"spot": True}, (1, ([0],), {})),
    # Only the monitor's shims select the shim shape.
    ((_call, 1, (2,), {}), {}, (1, (2,), {})),
])
def test_call_shapes(gw, args, kwargs, expected):
    assert gw.run(*args, **kwargs) == expected


def test_unknown_option_in_shim_shape(gw):
    with pytest.raises(TypeError, match="colour"):
        gw.run(ov._call_shim(), add, (1,), {}, colour="red")


def chatty(n):
    print("out", n)
    print("err", n, file=sys.stderr)
    sys.stdout.write("out again\n")
    return n


def test_prints_reach_caller_in_order(gw, monkeypatch):
    both = io.StringIO()
    monkeypatch.setattr(sys, "stdout", both)
    monkeypatch.setattr(sys, "stderr", both)
    assert gw.run(chatty, 4) == 4
    assert both.getvalue() == "out 4\nerr 4\nout again\n"


class NeedsTwo(Exception):
    def __init__(self, a, b):
        super().__init__(f"{a}/{b}")


def fail(kind):
    class Local(LookupError):
        pass

    raise {"builtin": ValueError("bad value"), "local": Local("local trouble"),
           "unpicklable": NeedsTwo(1, 2)}[kind]


@pytest.mark.parametrize("kind, type_name, message", [
    ("builtin", "ValueError", "bad value"),
    ("local", "Local", "local trouble"),
    ("unpicklable", "NeedsTwo", "1/2"),
])
def test_remote_exception_keeps_type_message_and_traceback(gw, kind, type_name, message):
    def call():  # travels by value: its frame still shows this file and line
        return fail(kind)

    with pytest.raises(Exception) as info:
        gw.run(ov._call_shim(), call, (), {})
    assert type(info.value).__name__ == type_name and str(info.value) == message
    note = info.value.__notes__[0]
    assert note.startswith("remote traceback") and f'File "{__file__}"' in note
    assert "return fail(kind)" in note and "in fail" in note and "_call" not in note


def make_lock():
    return threading.Lock()


@pytest.mark.parametrize("args, what", [((add, threading.Lock()), "call"), ((make_lock,), "result")])
def test_serialization_error(gw, args, what):
    with pytest.raises(SerializationError, match=what):
        gw.run(*args)
    assert gw.run(add, 1) == 2


def die_leaving_child(how, pid_file):
    child = os.fork()  # it inherits every descriptor of the worker
    if child == 0:
        time.sleep(60)
        os._exit(0)
    pid_file.write_text(str(child))
    if how == "exit":
        os._exit(3)
    os.kill(os.getpid(), signal.SIGKILL)


@pytest.mark.parametrize("how, message", [("exit", "exited with code 3"), ("kill", "SIGKILL")])
def test_dead_worker_is_reported_and_replaced(gw, tmp_path, how, message):
    before = len(gw.worker_pids)
    with pytest.raises(WorkerLost, match=message) as info:
        gw.run(die_leaving_child, how, tmp_path / "child")
    assert isinstance(info.value, RuntimeError)
    dead = int(str(info.value).split()[2])
    assert dead not in gw.worker_pids and len(gw.worker_pids) == before
    assert {gw.run(os.getpid) for _ in range(4)} <= set(gw.worker_pids)
    assert _gone([int((tmp_path / "child").read_text())]) == []


def test_timeout_option_stops_the_call(gw):
    with pytest.raises(TimeoutError):
        gw.run(ov._call_shim(), time.sleep, (30,), {}, timeout=0.3)
    assert gw.run(add, 5) == 6


def stamped(i):
    start = time.monotonic()
    time.sleep(0.01)
    return os.getpid(), start, time.monotonic(), i * i


def test_many_threads_one_call_per_worker(gw):
    with ThreadPoolExecutor(8) as pool:
        results = list(pool.map(lambda i: gw.run(stamped, i), range(32)))
    assert [r[3] for r in results] == [i * i for i in range(32)]
    by_worker = {}
    for pid, start, end, _ in results:
        by_worker.setdefault(pid, []).append((start, end))
    assert set(by_worker) <= set(gw.worker_pids) and len(gw.worker_pids) <= 2
    for spans in by_worker.values():
        spans.sort()
        assert all(prev[1] <= nxt[0] for prev, nxt in zip(spans, spans[1:]))


def test_large_buffers_round_trip(gw):
    np = pytest.importorskip("numpy")
    data = np.arange(3_000_000, dtype=np.float64)
    out = gw.run(ov._capture_shim(), np.multiply, (data, 2.0), {})
    assert out[0][-1] == 2 * data[-1] and out[0].flags.writeable
    assert (out[1][0] == data).all()


def test_options_are_logged_and_missing_packages_named(gw, caplog):
    caplog.set_level(logging.DEBUG, logger="corvid.client")
    options = {"gpu": "H100", "gpu_count": 2, "pip_packages": ["cloudpickle", "corvid-no-such-dist==1.0"]}
    assert gw.run(ov._call_shim(), add, (1,), {}, **options) == 2
    assert gw.last_options == options
    debug = [r.getMessage() for r in caplog.records if r.levelno == logging.DEBUG]
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert any("H100" in m for m in debug)
    assert len(warnings) == 1 and "corvid-no-such-dist==1.0" in warnings[0]
    assert "cloudpickle" not in warnings[0]


def test_detect_local_packages(gw, tmp_path, monkeypatch):
    (tmp_path / "corvid_probe_mod.py").write_text(
        "import json\nimport cloudpickle\nfrom corvid import client\n"
        "def work(x):\n    return psutil.cpu_count() + len(json.dumps(x))\n"
        "import psutil as psutil\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    import corvid_probe_mod as mod

    found = gw._detect_local_packages(mod.work, "def work(x):\n    return psutil.cpu_count()\n")
    assert {r.split("==")[0].lower() for r in found} == {"cloudpickle", "psutil"}
    assert all("==" in r for r in found)
