"""Leak check over the native modules' cheap paths, about a million calls.

    PYTHONPATH=<stage> python benchmarks/leak_check.py [--scale 1.0]

Each area runs a warm-up round (caches fill, the allocator settles), then the
measured round; it prints the resident-set growth of the measured round and
the change in ``sys.getrefcount`` of the objects handed to the calls. Growth
above --rss-kib, or any reference count that moved, is flagged LEAK? and the
exit status is 1. Needs no debug build and no network.
"""

import argparse
import gc
import io
import os
import pickle
import sys
import time

import cloudpickle
import httpx

from corvid import _pacer, cargo, overflow as ov, pool, serve

URL = "http://127.0.0.1:9"  # never contacted: every path below stays local


def rss_kib():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def work(x, y=0):
    return x


class Model:
    def fit(self, x):
        return x

    def light(self, x):
        return x


def idle():
    return (0.0, 0.0)


class Clock:
    def __init__(self):
        self.now = 0.0

    def __call__(self):
        self.now += 0.001
        return self.now


def overflow_areas():
    # an idle machine: every call is judged and runs here, no gateway is opened
    mon = ov._OverflowMonitor(policy="auto", sample_source=idle)
    mon.start(None)  # no caller frame: nothing is walked
    stopped = ov._OverflowMonitor(policy="always")
    running, resting = ov._OverflowCallable(work, mon), ov._OverflowCallable(work, stopped)
    Model.fit = ov._OverflowMethod(Model.__dict__["fit"], mon, "fit")
    Model.light = ov._OverflowMethod(Model.__dict__["light"], mon, "light")
    for name in ("fit", "light"):  # judged light, so a bound call is dispatched and runs here
        sig = vars(Model)[name]._sig
        mon._predict_cache[sig], mon._relaxed_cache[sig] = False, False
    obj, arg, kw = Model(), object(), object()
    sig = ov._sig_key(work)
    thunk = lambda: work(arg)  # noqa: E731
    yield "overflow: wrapper, monitor stopped", 200_000, lambda: resting(arg, y=kw), (work, arg, kw, resting)
    yield "overflow: wrapper, local dispatch", 200_000, lambda: running(arg, y=kw), (work, arg, kw, running, mon)
    yield "overflow: light method, bound and called", 100_000, lambda: obj.light(arg), (obj, arg, mon)
    bound = ov._BoundOverflow(Model.__dict__["fit"]._func, obj, mon, Model.__dict__["fit"]._sig, "fit")
    yield "overflow: _BoundOverflow call, local dispatch", 100_000, lambda: bound(arg), (obj, arg, mon, bound)
    yield "overflow: _dispatch with a thunk", 50_000, \
        lambda: mon._dispatch(work, (arg,), {"y": kw}, sig, "work", thunk), (work, arg, kw, thunk, sig)
    yield "overflow: decisions and keys", 50_000, \
        lambda: (ov._local(ov.Reason.NOT_HEAVY), ov._sig_key(work), ov._is_finite(arg)), (work, arg)
    yield "overflow: monitor state pickled", 2_000, lambda: pickle.loads(pickle.dumps(mon)), (mon,)
    mon.stop()


def cargo_areas():
    nested = {"a": [1, 2.5, "x" * 100, (b"y" * 200, {"k": list(range(50))})]}
    small = (nested, "text", 3)
    off = cargo.DataOffloader(URL, "key", size_threshold=1 << 20)
    yield "cargo: offloader construction", 30_000, lambda: cargo.DataOffloader(URL, "key", 1024), ()
    yield "cargo: offloader pickle round trip", 20_000, lambda: pickle.loads(pickle.dumps(off)), (off,)
    yield "cargo: offloader cloudpickle round trip", 5_000, lambda: cloudpickle.loads(cloudpickle.dumps(off)), (off,)
    yield "cargo: estimate_arg_size", 50_000, lambda: cargo.estimate_arg_size(nested), (nested,)
    yield "cargo: offload_large_args, all small", 50_000, \
        lambda: off.offload_large_args(work, small, {"y": nested}), (work, small, nested, off)
    yield "cargo: resolve_file_args, no paths", 50_000, \
        lambda: cargo.resolve_file_args(small, {"y": "not/a/path"}), (small, nested)
    rf = cargo._RemoteFile(b"data" * 64, "f.bin")
    yield "cargo: _RemoteFile pickle round trip", 20_000, lambda: pickle.loads(pickle.dumps(rf)), (rf,)


def serve_areas():
    lines = ['{"text": "hi", "turn": 3, "extra": [1, {"a": null}]}', "plain words", "  __STOP__ ",
             "[1, 2]", "{broken", "", '"quoted"', "9" * 40]
    held = list(lines)
    sink = open(os.devnull, "w")
    real = sys.stdout
    sys.stdout = sink
    try:
        yield "serve: _parse_input, 8 lines a call", 20_000, lambda: [serve._parse_input(x) for x in lines], held
        piece = "tok\u00e9n \U0001f600"
        yield "serve: _emit", 50_000, lambda: serve._emit("GATEWAY_HEARTBEAT 1.0"), (piece,)
        yield "serve: _emit_token", 50_000, lambda: serve._emit_token(7, piece), (piece,)
        parts = ["a", "b", "c"]
        yield "serve: _iter_response", 30_000, lambda: list(serve._iter_response(parts)), (parts,)
        yield "serve: _read_new_lines", 20_000, \
            lambda: serve._read_new_lines(io.StringIO("one\ntwo\npartial")), ()
    finally:
        sys.stdout = real
        sink.close()


def pool_areas():
    text = "numpy>=1.26\n# comment\n-r other.txt\npandas  # pinned\n\ngit+https://x/y.git\n"
    env = {"pip_packages": ["numpy", "scipy==1.1"], "python_version": "3.12"}
    new = ["numpy>=2", "torch"]
    bad = httpx.Response(404, json={"detail": "missing"}, request=httpx.Request("GET", URL))
    good = httpx.Response(200, json={"ok": True}, request=httpx.Request("GET", URL))

    def raise_for_status():
        try:
            pool._raise_for_status(bad)
        except pool.PoolError:
            pass
        return pool._raise_for_status(good)

    yield "pool: parse_requirements_text", 40_000, lambda: pool.parse_requirements_text(text), (text,)
    yield "pool: merge_environment", 40_000, lambda: pool.merge_environment(env, new, "3.11"), (env, new)
    yield "pool: _params and _resolve_auth", 50_000, \
        lambda: (pool._params("org-1"), pool._resolve_auth("key", URL)), ()
    yield "pool: _raise_for_status, PoolError", 10_000, raise_for_status, (bad, good)


def pacer_areas():
    clock = Clock()
    ctl = _pacer.DepthController(2, 64, clock=clock)
    yield "_pacer: record and target", 200_000, lambda: (ctl.record(1 << 20), ctl.target()), (clock, ctl)
    yield "_pacer: construction", 30_000, lambda: _pacer.DepthController(1, 16, clock), (clock,)


def measure(label, n, op, objs, rss_limit, out):
    for _ in range(max(n // 10, 1)):
        op()
    gc.collect()
    refs, rss0, t0 = [sys.getrefcount(o) for o in objs], rss_kib(), time.perf_counter()
    for _ in range(n):
        op()
    dt = time.perf_counter() - t0
    gc.collect()
    grown = rss_kib() - rss0
    moved = [after - before for before, after in zip(refs, (sys.getrefcount(o) for o in objs))]
    leak = grown > rss_limit or any(moved)
    print(f"{label:45s} {n:8d} {dt:7.2f}s {grown:8d} KiB {grown * 1024 / n:8.1f} B/call "
          f"refs {moved if any(moved) else 'same'}{'  LEAK?' if leak else ''}", file=out, flush=True)
    return n, leak


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--scale", type=float, default=1.0, help="multiplies every call count")
    parser.add_argument("--rss-kib", type=int, default=1024, help="growth allowed per area")
    args = parser.parse_args()
    out = sys.stdout
    print(f"{'area':45s} {'calls':>8s} {'time':>8s} {'RSS growth':>12s} {'per call':>13s}")
    total, leaks, t0 = 0, 0, time.perf_counter()
    for areas in (overflow_areas, cargo_areas, serve_areas, pool_areas, pacer_areas):
        for label, n, op, objs in areas():
            # serve's areas point sys.stdout at a sink while they run
            calls, leak = measure(label, max(int(n * args.scale), 1), op, objs, args.rss_kib, out)
            total, leaks = total + calls, leaks + leak
    print(f"\n{total} calls in {time.perf_counter() - t0:.1f}s; {leaks} area(s) flagged")
    return 1 if leaks else 0


if __name__ == "__main__":
    sys.exit(main())
