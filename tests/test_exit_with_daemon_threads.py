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

CARGO = """
import threading
from corvid import cargo
url, key = sys.argv[1], sys.argv[2]
off = cargo.DataOffloader(url, key, size_threshold=10)
def upload():
    while True:
        off.offload_large_args(len, (b"x" * 4096,), {})
threading.Thread(target=upload, daemon=True).start()
threading.Event().wait(0.5)  # the upload now waits on the slow service
"""

POOL = """
import threading
from corvid import pool
url, key = sys.argv[1], sys.argv[2]
def ask():
    while True:
        pool.list_datasets(api_key=key, api_url=url)
threading.Thread(target=ask, daemon=True).start()
threading.Event().wait(0.5)  # the request now waits on the slow service
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


@pytest.mark.parametrize("script,path", [(CARGO, "/v1/data/"), (POOL, "/v1/corporate/")],
                         ids=["cargo-upload", "pool-request"])
def test_request_waiting_on_the_service(ref_service, script, path):
    ref_service.add_fault(path=path, delay=5.0, times=1000)
    done = run(script, ref_service.url, ref_service.api_key)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "leaked" not in done.stderr


def test_serve_handler_mid_turn(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_text("")
    done = run(SERVE, path)
    assert done.returncode == 0, done.stderr[-2000:]
    assert "GATEWAY_SESSION_READY" in done.stdout
