"""A script with overflow() on its first line, run in a fresh interpreter:
its heavy calls run in the local gateway's worker processes, prints come
back in order, remote failures fall back to local runs, and exit leaves no
worker behind."""

import json
import os
import subprocess
import sys
import textwrap

import pytest

from client.test_lifecycle import _gone

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


def run_script(tmp_path, source, **env):
    """Runs `source` as a script in a fresh interpreter with no CORVID_ settings
    but `env`; answers the finished process and the JSON report it printed last."""
    script = tmp_path / "script.py"
    script.write_text(source)
    clean = {k: v for k, v in os.environ.items() if not k.startswith("CORVID_")}
    clean.update(env, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, str(script)], capture_output=True, text=True,
                          env=clean, cwd=tmp_path, timeout=120)
    assert done.returncode == 0, done.stderr[-3000:]
    return done, json.loads(done.stdout.strip().splitlines()[-1])


def check_offloading_report(done, report):
    lines = [line.strip() for line in done.stdout.splitlines() if line.strip()]
    # the worker's print arrives between the caller's own, after the announcement
    start = lines.index("before")
    assert lines[start + 1:start + 4] == ["\u2191 Overflow \u2192 Cloud: crunch()", "crunch ran", "after"]
    assert report["total"] == 400.0 and report["remote"] is True
    assert report["fail"] == 180 and report["die"] == 65          # both ran again here
    assert report["failures"] == ["crunch_or_die", "crunch_or_fail"]
    assert "cloud offload of crunch_or_fail() failed (only here)" in done.stderr


def test_script_offloads_to_worker_processes(tmp_path):
    done, report = run_script(tmp_path, SCRIPT)
    check_offloading_report(done, report)
    assert _gone([report["worker"]]) == []                          # no worker left behind


SAFETY = textwrap.dedent(
    """
    import numpy as np; from corvid.overflow import overflow; MON = overflow()
    import json, os

    def loads(path):
        for _ in range(3):
            grid = np.load(path) * 8
        return float(grid.sum())

    def stores(path):
        for _ in range(3):
            np.save(path, np.ones(2))

    def appends(xs):
        for _ in range(3):
            grid = np.ones(2) * 8
        xs.append(float(grid.sum()))
        return os.getpid()

    def fills(out):
        for i in range(len(out)):
            out[i] = np.sqrt(9.0)
        return os.getpid()

    def grows(xs, arr):
        for i in range(2):
            xs.append(int(np.sqrt(16) + arr.sum()))
        return os.getpid()

    class Model:
        def fit(self, n):
            for _ in range(n):
                self.x = float(np.ones(n).sum())

    np.save("data.npy", np.ones(2))
    xs, out, ys, arr, model = [1.0], np.zeros(3), [0], np.zeros(2), Model()
    arr.flags.writeable = False
    report = dict(load=loads("data.npy"), store=stores("saved.npy"),
                  append_pid=appends(xs), xs=xs, fill_pid=fills(out), out=out.tolist(),
                  fit=model.fit(3), x=model.x, grow_pid=grows(ys, arr), ys=ys,
                  barred=sorted(k[1] for k in MON._offload_incompatible),
                  calls={r["function"]: [r["local"], r["offloaded"], r["fallbacks"]] for r in MON.report()})
    print(json.dumps(report), flush=True)
    """
)


def test_unsafe_calls_stay_and_mutations_come_back(tmp_path):
    done, report = run_script(tmp_path, SAFETY)
    main = os.getpid()
    assert report["calls"] == {"loads": [{"LOCAL_IO": 1}, 0, {}], "stores": [{"SIDE_EFFECT": 1}, 0, {}],
                               "appends": [{}, 1, {}], "fills": [{}, 1, {}], "Model.fit": [{"SELF_MUTATION": 1}, 0, {}],
                               "grows": [{}, 0, {"write-back": 1}]}
    assert report["append_pid"] != main and report["xs"] == [1.0, 16.0]   # appended once, remotely
    assert report["fill_pid"] != main and report["out"] == [3.0, 3.0, 3.0]
    assert report["x"] == 3.0
    # the list was written back first, then the read-only array refused: the list went back to
    # its snapshot before the call ran here, so it carries this run's appends only
    assert report["ys"] == [0, 4, 4] and report["barred"] == ["grows"]
    assert report["store"] is None and report["load"] == 16.0
    assert "overflow write-back for grows() unsafe (ndarray not writeable)" in done.stderr
