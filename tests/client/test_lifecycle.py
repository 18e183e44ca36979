import os
import subprocess
import sys
import textwrap
import time

import psutil
import pytest

# No __main__ guard on purpose: a worker that ran the script again would add a
# line to the marker and start workers of its own.
SCRIPT = textwrap.dedent("""
    import os, subprocess, sys, threading, time
    marker, busy, mode = sys.argv[1:4]
    with open(marker, "a") as f:
        f.write("top level ran\\n")
    from corvid.client import GateWay

    def nap():
        child = subprocess.Popen([sys.executable, "-c", "import time; time.sleep(60)"])
        with open(busy, "w") as f:
            f.write(f"{os.getpid()} {child.pid}")
        time.sleep(60)

    gw = GateWay(_internal=True, api_key="k", fast=True, api_url="http://127.0.0.1:9", progress=False)
    gw.__enter__()
    outcome = []
    def call():
        try:
            gw.run(nap)
        except Exception as exc:
            outcome.append(type(exc).__name__)
    caller = threading.Thread(target=call, daemon=True)
    caller.start()
    while not os.path.exists(busy) or not open(busy).read():
        time.sleep(0.01)
    print(open(busy).read(), flush=True)
    gw.run(os.getpid)  # a second worker starts for it
    print(*gw.worker_pids, flush=True)
    if mode == "close":
        gw.progress = False
        gw.__exit__(None, None, None)
        caller.join(10)
        print(*outcome, flush=True)
        sys.stdin.read()
    elif mode == "killed":
        os.kill(os.getpid(), 9)
""")


def _gone(pids, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        alive = [p for p in pids if psutil.pid_exists(p) and psutil.Process(p).status() != psutil.STATUS_ZOMBIE]
        if not alive:
            return []
        time.sleep(0.05)
    return alive


@pytest.mark.parametrize("mode", ["exit", "killed", "close"])
def test_no_orphans_and_script_runs_once(tmp_path, mode):
    script = tmp_path / "user_script.py"
    script.write_text(SCRIPT)
    marker, busy = tmp_path / "marker", tmp_path / "busy"
    env = dict(os.environ, CORVID_GATEWAY_WORKERS="2", PYTHONPATH=os.pathsep.join(sys.path))
    proc = subprocess.Popen([sys.executable, str(script), str(marker), str(busy), mode],
                            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, env=env)
    busy_worker, grandchild = (int(p) for p in proc.stdout.readline().split())
    workers = [int(p) for p in proc.stdout.readline().split()]
    assert len(workers) == 2 and busy_worker in workers
    if mode == "close":
        assert proc.stdout.readline().split() == ["WorkerLost"]
        assert _gone(workers + [grandchild]) == []
    proc.communicate("", timeout=30)
    assert _gone(workers + [grandchild]) == []
    assert marker.read_text() == "top level ran\n"
