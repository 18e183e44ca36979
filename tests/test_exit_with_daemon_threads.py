"""Interpreter exit while a daemon thread is inside a module's native code,
blocked in Python code it called (a user function, an upload, a handler).
Each case runs in a fresh interpreter and must exit with status 0 (it used
to segfault while finalizing)."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

OVERFLOW = """
import threading, time
from corvid import overflow as ov
mon = ov._OverflowMonitor(policy=sys.argv[1])
mon.start(None)
entered = threading.Event()
def work():
    entered.set()
    while True:
        time.sleep(0.01)
threading.Thread(target=ov._OverflowCallable(work, mon), daemon=True).start()
assert entered.wait(20)
"""

# A request that waits on the slow service while the main thread returns.
REQUEST = """
import threading
from corvid import cargo, pool
url, key, which = sys.argv[1:]
off = cargo.DataOffloader(url, key, size_threshold=10)
ask = {"cargo": lambda: off.offload_large_args(len, (b"x" * 4096,), {}),
       "pool": lambda: pool.list_datasets(api_key=key, api_url=url)}[which]
def loop():
    while True:
        ask()
threading.Thread(target=loop, daemon=True).start()
threading.Event().wait(0.5)
"""

SERVE = """
import json, threading, time
from corvid import serve
path = sys.argv[1]
inside = threading.Event()
def handler(prompt):
    inside.set()
    while True:
        time.sleep(0.01)
threading.Thread(target=serve.serve_loop, args=(handler,),
                 kwargs=dict(input_path=path, poll_interval=0.01), daemon=True).start()
time.sleep(0.2)
with open(path, "a") as fh:
    fh.write(json.dumps({"text": "hi", "turn": 1}) + "\\n")
assert inside.wait(20)
"""


def run(script, *args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    src = "import sys\n" + textwrap.dedent(script)
    return subprocess.run([sys.executable, "-c", src, *map(str, args)],
                          capture_output=True, text=True, env=env, timeout=60)


@pytest.mark.parametrize("policy", ["off", "always", "auto"])
def test_overflow_wrapper_in_user_code(policy):
    done = run(OVERFLOW, policy)
    assert done.returncode == 0, done.stderr[-2000:]


@pytest.mark.parametrize("which,path", [("cargo", "/v1/data/"), ("pool", "/v1/corporate/")])
def test_request_waiting_on_the_service(ref_service, which, path):
    ref_service.add_fault(path=path, delay=5.0, times=1000)
    done = run(REQUEST, ref_service.url, ref_service.api_key, which)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "leaked" not in done.stderr


def test_serve_handler_mid_turn(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_text("")
    done = run(SERVE, path)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "GATEWAY_SESSION_READY" in done.stdout
