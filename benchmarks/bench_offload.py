"""Offload round trips through GateWay.run against ProcessPoolExecutor.

Prints, from one run on this machine:

1. a trivial call's round trip, GateWay.run / ProcessPoolExecutor (target <= 1.5)
2. a call with a 100 MB numpy argument and a small result, same ratio
   (target <= 1.0: the array goes out of band, no pickled copy)
3. 8 threads calling a CPU-bound function at once: throughput of 2 workers
   over 1 worker (2 cores here)
4. with distributed installed, a trivial call's round trip through the Dask
   backend on a local cluster (1 worker process, 1 thread) over a bare
   client.submit(f, x, pure=False).result() on the same cluster (target
   <= 1.2). The bare call is impure so that it runs every time: a pure
   submit of the same call is answered from the scheduler's memory while
   the previous result is still held there, and runs nothing.
"""

import os
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor

import numpy as np

from corvid.client import GateWay


def trivial(x):
    return x


def last_item(array):
    return float(array[-1])


def spin(n):
    total = 0
    for i in range(n):
        total += i * i
    return total


def per_call(call, arg, repeat):
    call(arg)  # warm: the worker is up and the function's modules imported
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        for _ in range(repeat):
            call(arg)
        best = min(best, (time.perf_counter() - start) / repeat)
    return best


def threaded_throughput(gw, threads=8, calls=4, n=300_000):
    # Overlapping calls start every worker the pool may have before timing.
    warm = [threading.Thread(target=gw.run, args=(time.sleep, 0.3)) for _ in range(gw.workers)]
    for t in warm:
        t.start()
    for t in warm:
        t.join()
    barrier = threading.Barrier(threads + 1)

    def body():
        barrier.wait()
        for _ in range(calls):
            gw.run(spin, n)

    pool = [threading.Thread(target=body) for _ in range(threads)]
    for t in pool:
        t.start()
    barrier.wait()
    start = time.perf_counter()
    for t in pool:
        t.join()
    return threads * calls / (time.perf_counter() - start)


def through_monitor(gw):
    """A wrapped call that the monitor offloads every time to the open
    gateway `gw` (no announcement, no loop guard)."""
    from corvid import overflow as ov

    ov._LOOP_HOT_MAX = 10**9
    mon = ov._OverflowMonitor(policy="always", verbose=False, gateway_factory=lambda: gw)
    mon.start(None)
    mon._gateway = gw  # already open
    return ov._OverflowCallable(trivial, mon)


def report(label, ours, theirs, target, unit=1e6, suffix="us", baseline="ProcessPool"):
    ratio = ours / theirs
    verdict = "ok" if ratio <= target else "MISSED"
    print(f"{label}: GateWay {ours * unit:9.1f} {suffix}  {baseline} {theirs * unit:9.1f} {suffix}"
          f"  ratio {ratio:5.2f}  (target <= {target}) {verdict}")


def dask_round_trip():
    try:
        import distributed
    except ImportError:
        print("Dask backend: distributed is not installed; skipped")
        return
    with distributed.LocalCluster(n_workers=1, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster, set_as_default=False) as client, GateWay(client=client) as gw:
        # Interleaved rounds, best of each: the cluster's own pace drifts.
        ours, bare = float("inf"), float("inf")
        for _ in range(5):
            ours = min(ours, per_call(lambda a: gw.run(trivial, a), 1, 100))
            bare = min(bare, per_call(lambda a: client.submit(trivial, a, pure=False).result(), 1, 100))
        report("trivial call, Dask backend", ours, bare, 1.2, baseline="client.submit")


def main():
    big = np.arange(100 * 2**20 // 8, dtype=np.float64)
    with ProcessPoolExecutor(1) as ex, GateWay(workers=1, progress=False) as gw:
        report("trivial call", per_call(lambda a: gw.run(trivial, a), 1, 2000),
               per_call(lambda a: ex.submit(trivial, a).result(), 1, 2000), 1.5)
        report("trivial call through the monitor", per_call(through_monitor(gw), 1, 2000),
               per_call(lambda a: ex.submit(trivial, a).result(), 1, 2000), 1.5)
        report("100 MB argument", per_call(lambda a: gw.run(last_item, a), big, 10),
               per_call(lambda a: ex.submit(last_item, a).result(), big, 10), 1.0, 1e3, "ms")
    del big
    rates = {}
    for workers in (1, 2):
        with GateWay(workers=workers) as gw:
            rates[workers] = threaded_throughput(gw)
    print(f"8 threads, CPU-bound calls: 1 worker {rates[1]:.1f}/s, 2 workers {rates[2]:.1f}/s,"
          f"  speed-up {rates[2] / rates[1]:.2f}x on {os.cpu_count()} cores")
    dask_round_trip()
    return 0


if __name__ == "__main__":
    sys.exit(main())
