"""Token-line throughput of ``corvid.serve.serve_loop``.

A handler yields 100,000 short pieces. The same pieces are then written by a
minimal pure-Python loop (Base64-encode, build the line, sys.stdout.write,
sys.stdout.flush) to the
same kind of output: a regular file (in /dev/shm when there is one, so disk
speed does not blur the comparison) opened as ``sys.stdout`` would be. Both
are timed from the first piece to the last, in wall time and in CPU time of
the streaming thread (the steadier figure on a shared machine); rounds
alternate between the two and the best of each is kept. The ratio
serve_loop / baseline is printed (above 1.0: serve_loop is faster), and, as
the steadier figure on a busy machine, the median of the ratios of rounds run
back to back.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python benchmarks/bench_serve.py
"""

import base64
import json
import os
import statistics
import sys
import tempfile
import threading
import time

from corvid import serve

N_PIECES = 100_000
ROUNDS = 5
PIECES = [f"w{i % 997} " for i in range(N_PIECES)]


class Timed:
    """Generator of PIECES that records when the first and the last piece
    left, in wall time and in CPU time of the streaming thread."""

    def __call__(self, prompt=None, history=None):
        wall0, cpu0 = time.perf_counter(), time.thread_time()
        yield from PIECES
        self.wall, self.cpu = time.perf_counter() - wall0, time.thread_time() - cpu0

    def rate(self):
        return N_PIECES / self.wall, N_PIECES / self.cpu


def wait_for_marker(path, marker, timeout=30.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(path, encoding="utf-8") as fh:
            if marker in fh.read():
                return
        time.sleep(0.005)
    raise RuntimeError(f"{marker} never appeared in {path}")


def run_serve_loop(workdir):
    out_path = os.path.join(workdir, "serve.out")
    in_path = os.path.join(workdir, "serve.in")
    timed = Timed()

    def driver():
        wait_for_marker(out_path, serve.SESSION_READY)
        with open(in_path, "a", encoding="utf-8") as fh:
            fh.write(json.dumps({"text": "go", "turn": 1}) + "\n" + serve.STOP_LINE + "\n")

    saved = sys.stdout
    with open(out_path, "w", encoding="utf-8") as out:
        sys.stdout = out
        try:
            thread = threading.Thread(target=driver)
            thread.start()
            serve.serve_loop(timed, input_path=in_path, poll_interval=0.001, idle_timeout=60)
            thread.join()
        finally:
            sys.stdout = saved
    with open(out_path, encoding="utf-8") as fh:
        tokens = sum(1 for line in fh if line.startswith(serve.TURN_TOKEN + " "))
    if tokens != N_PIECES:
        raise RuntimeError(f"serve_loop wrote {tokens} token lines, expected {N_PIECES}")
    return timed.rate()


def run_baseline(workdir):
    """The minimal loop: like serve_loop it writes to sys.stdout as it is at
    each line (a driver or a test may replace it), without any lock."""
    out_path = os.path.join(workdir, "baseline.out")
    timed = Timed()
    b64encode = base64.b64encode
    saved = sys.stdout
    with open(out_path, "w", encoding="utf-8") as out:
        sys.stdout = out
        try:
            for piece in timed():
                sys.stdout.write("GATEWAY_TOKEN 1 " + b64encode(piece.encode("utf-8")).decode("ascii") + "\n")
                sys.stdout.flush()
        finally:
            sys.stdout = saved
    return timed.rate()


def main():
    shm = "/dev/shm"
    where = shm if os.path.isdir(shm) and os.access(shm, os.W_OK) else None
    with tempfile.TemporaryDirectory(dir=where) as workdir:
        ours, base = [], []
        for _ in range(ROUNDS):
            ours.append(run_serve_loop(workdir))
            base.append(run_baseline(workdir))
    for i, clock in enumerate(("wall", "CPU")):
        best_ours, best_base = max(r[i] for r in ours), max(r[i] for r in base)
        print(f"{clock:>4}: serve_loop {best_ours:10,.0f} token lines/s, "
              f"pure-Python loop {best_base:10,.0f} token lines/s, ratio {best_ours / best_base:.2f}x")
    paired = statistics.median(o[1] / b[1] for o, b in zip(ours, base))
    print(f"median CPU ratio of back-to-back rounds {paired:.2f}x")
    print(f"({N_PIECES:,} pieces per run, best of {ROUNDS})")


if __name__ == "__main__":
    main()
