import numpy as np; from corvid.overflow import overflow; monitor = overflow()  # what a script adds

"""An ordinary numpy script under `overflow()`.

The monitor reads the script's functions as they are defined and wraps the
heavy ones. Each call of a wrapped function is then decided on the spot: the
heavy simulation leaves this process for a worker (the local gateway runs
calls in worker processes on this machine; the announcement shows each
offload), a light helper is never wrapped and stays here, a call the worker
cannot run falls back to a local run, and the fourth call of one function
within 20 seconds stays here (the loop guard). What the function prints
arrives here, in order, wherever it ran.
"""

import logging
import os
import time

MAIN_PID = os.getpid()


def simulate(n, steps):
    """Heavy: numpy work in a loop."""
    grid = np.random.default_rng(0).random((n, n))
    for _ in range(steps):
        grid = np.tanh(grid @ grid.T / n + 0.5)
    print(f"    simulate({n}, {steps}) ran in {where()}")
    return float(grid.mean())


def calibrate(n):
    """Heavy too, but it only works in the main process: its remote run fails."""
    if os.getpid() != MAIN_PID:
        raise RuntimeError("calibration data lives in the main process")
    values = np.linspace(0.0, 1.0, n)
    for _ in range(3):
        values = np.sqrt(values + 1.0)
    print(f"    calibrate({n}) ran in {where()}")
    return float(values.mean())


def label(x):
    """Light: formats a number; never wrapped."""
    return f"{x:.6f}"


def where():
    return "this process" if os.getpid() == MAIN_PID else f"worker process {os.getpid()}"


def timed(what, call):
    t0 = time.perf_counter()
    value = call()
    print(f"  {what:<28} -> {label(value)}   {(time.perf_counter() - t0) * 1e3:7.1f} ms")


def main():
    logging.basicConfig(level=logging.WARNING, format="  [%(name)s] %(message)s")
    wrapped = [name for name in ("simulate", "calibrate", "label") if hasattr(globals()[name], "__wrapped__")]
    print(f"wrapped as heavy: {', '.join(wrapped)}; label stays a plain function (not heavy)")

    print("\n1. a heavy call leaves the process (the first one also starts the workers):")
    timed("simulate(300, 20)", lambda: simulate(300, 20))
    timed("simulate(300, 20) again", lambda: simulate(300, 20))

    print("\n2. a remote failure falls back to a local run of the same call:")
    timed("calibrate(1000)", lambda: calibrate(1000))

    print("\n3. the fourth call of simulate within 20 s stays here (loop guard):")
    timed("simulate(300, 20)", lambda: simulate(300, 20))
    timed("simulate(300, 20)", lambda: simulate(300, 20))

    print("\n4. why each call ran where it did (monitor.report()):")
    for row in monitor.report():
        print(f"  {row['function']:<10} calls {row['calls']}  offloaded {row['offloaded']}  "
              f"kept here {row['local'] or '-'}  fallbacks {row['fallbacks'] or '-'}")

    monitor.stop()
    print(f"\nafter stop(): simulate is the plain function again: {not hasattr(simulate, '__wrapped__')}")


if __name__ == "__main__":
    main()
