"""A script with overflow() on its first line, run in a fresh interpreter:
its heavy calls run in the local gateway's worker processes, prints come
back in order, remote failures fall back to local runs, and exit leaves no
worker behind."""

import json
import os
import subprocess
import sys
import textwrap
import time

import psutil
import pytest

pytest.importorskip("numpy")

SCRIPT = textwrap.dedent(
    """
    import numpy as np; from corvid.overflow import overflow; MON = overflow()
    import json, os

    MAIN = os.getpid()

    def crunch(n):
        grid = np.ones((n, n))
        for _ in range(3):
            grid = grid @ grid / n
        print("crunch ran", flush=True)
        return float(grid.sum()), os.getpid()

    def crunch_or_fail(n):
        values = np.arange(n)
        for _ in range(2):
            values = values * 2
        if os.getpid() != MAIN:
            raise ValueError("only here")
        return int(values.sum())

    def crunch_or_die(n):
        values = np.arange(n)
        for _ in range(2):
            values = values + 1
        if os.getpid() != MAIN:
            os._exit(3)
        return int(values.sum())

    print("before", flush=True)
    total, pid = crunch(20)
    print("after", flush=True)
    report = dict(total=total, remote=pid != MAIN, worker=pid,
                  fail=crunch_or_fail(10), die=crunch_or_die(10),
                  failures=sorted(k[1] for k in MON._offload_failures))
    print(json.dumps(report), flush=True)
    """
)


def test_script_offloads_to_worker_processes(tmp_path):
    script = tmp_path / "offloading.py"
    script.write_text(SCRIPT)
    env = {k: v for k, v in os.environ.items() if not k.startswith("CORVID_")}
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=env, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    lines = [line.strip() for line in done.stdout.splitlines() if line.strip()]
    # the worker's print arrives between the caller's own, after the announcement
    start = lines.index("before")
    assert lines[start + 1:start + 4] == ["\u2191 Overflow \u2192 Cloud: crunch()", "crunch ran", "after"]
    report = json.loads(lines[-1])
    assert report["total"] == 400.0 and report["remote"] is True
    assert report["fail"] == 180 and report["die"] == 65          # both ran again here
    assert report["failures"] == ["crunch_or_die", "crunch_or_fail"]
    assert "cloud offload of crunch_or_fail() failed (only here)" in done.stderr
    deadline = time.monotonic() + 10
    while psutil.pid_exists(report["worker"]) and time.monotonic() < deadline:
        time.sleep(0.05)
    assert not psutil.pid_exists(report["worker"])                 # no worker left behind
