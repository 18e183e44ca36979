"""Cost of the offload safety verdict on a call whose function analyses are
already memoised, against a plain call, in one run.

    PYTHONPATH=<stage> python benchmarks/bench_safety.py [--number N]

The verdict runs on every offload candidate; with a few small arguments it
must add at most 2 us. The trial pickling must run once per argument-type
signature: the run counts cloudpickle.dumps calls across all repetitions.
"""

import argparse
import statistics
import timeit

import cloudpickle

from corvid import overflow as ov


def f(x):
    return x


def train(xs, scale, name=None):
    total = 0.0
    for value in xs:
        total += value * scale
    return total


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20000)
    parser.add_argument("--rounds", type=int, default=7)
    opts = parser.parse_args()

    mon = ov._OverflowMonitor(policy="always", verbose=False, sample_source=lambda: (1.0, 1.0))
    args, kwargs = ([1, 2, 3], 0.5), {"name": "run"}
    assert mon._offload_safety(train, args, kwargs) is ov._OFFLOAD

    dumps, calls = cloudpickle.dumps, [0]

    def counting(*a, **k):
        calls[0] += 1
        return dumps(*a, **k)

    cloudpickle.dumps = counting
    env = dict(mon=mon, train=train, args=args, kwargs=kwargs, f=f)
    rows = [("plain call", "f(1)"), ("verdict", "mon._offload_safety(train, args, kwargs)")]
    best = {}
    for label, stmt in rows:
        timer = timeit.Timer(stmt, globals=env)
        runs = [timer.timeit(opts.number) / opts.number for _ in range(opts.rounds)]
        best[label] = (min(runs), statistics.median(runs))
    cloudpickle.dumps = dumps
    base = best["plain call"][0]
    for label, (low, med) in best.items():
        print(f"{label:12s} best {low * 1e9:8.0f} ns  median {med * 1e9:8.0f} ns  ratio {low / base:6.2f}x")
    added = best["verdict"][0] - base
    print(f"verdict adds {added * 1e9:.0f} ns to a call (target at most 2000 ns): "
          f"{'met' if added <= 2e-6 else 'NOT met'}")
    print(f"trial pickling ran {calls[0]} times in {opts.number * opts.rounds} verdicts (target 0)")
    mon.stop()


if __name__ == "__main__":
    main()
