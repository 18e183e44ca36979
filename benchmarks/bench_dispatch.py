"""Per-call cost of the overflow wrappers against plain calls, in one run.

    PYTHONPATH=<stage> python benchmarks/bench_dispatch.py [--number N]

Prints the time per call of each variant and its ratio to the plain call of
the same kind (function calls against a plain function call, method calls
against a plain method call), then the three figures with their targets: a
stopped wrapper at most functools.partial's ratio, the full local dispatch
adding at most 200 ns, a light method through _OverflowMethod (monitor
running) at most 2.5x a plain method call. The light method binds as the
ordinary bound method, so the same run also times a class attribute whose
__get__ does nothing but make that binding: the floor any such descriptor
has on this interpreter.
"""

import argparse
import functools
import statistics
import timeit

from corvid import overflow as ov


def f(x):
    return x


class Plain:
    def method(self):
        return self


class Wrapped:
    def method(self):
        return self


class Floor:
    def method(self):
        return self


def measure(rows, env, number, rounds):
    """Best and median time per call of each statement. The variants are
    interleaved round by round, so a burst of load on a shared machine
    touches all of them alike instead of skewing one."""
    timers = {label: timeit.Timer(stmt, globals=env) for label, stmt, _ in rows}
    runs = {label: [] for label in timers}
    for _ in range(rounds):
        for label, timer in timers.items():
            runs[label].append(timer.timeit(number) / number)
    return {label: (min(r), statistics.median(r)) for label, r in runs.items()}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--number", type=int, default=20_000, help="calls per timing")
    parser.add_argument("--rounds", type=int, default=60, help="timings per variant")
    args = parser.parse_args()

    stopped = ov._OverflowMonitor(policy="auto")
    # an idle machine, no caller frame (nothing is walked): a function the
    # prediction calls light stays local with NOT_HEAVY
    running = ov._OverflowMonitor(policy="auto", sample_source=lambda: (1.0, 1.0))
    running.start(None)
    # its verdict stays readable; the sampling thread would only add GIL
    # hand-overs to the timings
    running._load_gate.stop()

    wrapped_stopped = ov._OverflowCallable(f, stopped)
    wrapped_running = ov._OverflowCallable(f, running)
    running._predict_cache[wrapped_running._sig] = False
    running._relaxed_cache[wrapped_running._sig] = False
    Wrapped.method = ov._OverflowMethod(Wrapped.__dict__["method"], running, "method")
    # A light method: its verdicts are memoised as not heavy.
    sig = Wrapped.__dict__["method"]._sig
    running._predict_cache[sig] = False
    running._relaxed_cache[sig] = False
    # _OverflowCallable's __get__ is the ordinary binding and nothing else
    Floor.method = ov._OverflowCallable(Floor.__dict__["method"], stopped)
    plain_obj, wrapped_obj, floor_obj = Plain(), Wrapped(), Floor()
    assert wrapped_obj.method() is wrapped_obj
    assert wrapped_running(3) == 3 and wrapped_stopped(3) == 3

    env = {
        "f": f,
        "partial_f": functools.partial(f),
        "wrapped_stopped": wrapped_stopped,
        "wrapped_running": wrapped_running,
        "plain_obj": plain_obj,
        "wrapped_obj": wrapped_obj,
        "floor_obj": floor_obj,
    }
    rows = [
        ("plain call f(1)", "f(1)", "fn"),
        ("functools.partial(f)(1)", "partial_f(1)", "fn"),
        ("_OverflowCallable, monitor stopped", "wrapped_stopped(1)", "fn"),
        ("_OverflowCallable, monitor running (local dispatch)", "wrapped_running(1)", "fn"),
        ("plain obj.method()", "plain_obj.method()", "meth"),
        ("_OverflowMethod obj.method(), running, light", "wrapped_obj.method()", "meth"),
        ("floor: a __get__ that only binds", "floor_obj.method()", "meth"),
    ]
    timed = measure(rows, env, args.number, args.rounds)
    results = {label: (timed[label], kind) for label, _, kind in rows}
    base = {"fn": results["plain call f(1)"][0][0], "meth": results["plain obj.method()"][0][0]}
    print(f"{'variant':55s} {'ns/call':>9s} {'median':>9s} {'ratio':>7s}")
    for label, ((best, median), kind) in results.items():
        print(f"{label:55s} {best * 1e9:9.1f} {median * 1e9:9.1f} {best / base[kind]:6.2f}x")
    def best(label):
        return results[label][0][0]

    added = best("_OverflowCallable, monitor running (local dispatch)") - base["fn"]
    stopped_ratio = best("_OverflowCallable, monitor stopped") / base["fn"]
    partial_ratio = best("functools.partial(f)(1)") / base["fn"]
    light_ratio = best("_OverflowMethod obj.method(), running, light") / base["meth"]
    floor_ratio = best("floor: a __get__ that only binds") / base["meth"]
    print(f"\nstopped wrapper {stopped_ratio:.2f}x (target <= functools.partial's {partial_ratio:.2f}x)")
    print(f"full local dispatch adds {added * 1e9:.0f} ns per call (target <= 200 ns)")
    print(f"light method {light_ratio:.2f}x (target <= 2.50x; binding floor {floor_ratio:.2f}x)")
    running.stop()


if __name__ == "__main__":
    main()
