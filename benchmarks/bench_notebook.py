"""Cost of the walk a running monitor adds after every notebook cell.

The namespace is a notebook's after some work: 500 names, of which 200 are
the user's functions and 20 the user's classes (defined in cell files, a
tenth of the functions heavy and so wrapped), 180 library objects (numpy
functions, classes and modules) and 100 data values. The walk runs as the
shell runs it after a cell (the post_run_cell callback), once the first walk
has wrapped what it wraps; the target is at most 5 ms a cell.

The baseline, timed in the same run, is the least any walk must do: one pass
over the names reading each value's ``__code__``.

    PYTHONPATH=build/dev-NAME/stage .venv/bin/python benchmarks/bench_notebook.py
"""

import tempfile
import time
import types
from pathlib import Path

import numpy as np

from corvid import _notebook
from corvid.overflow import _OverflowMonitor

CELLS = 200
TARGET_MS = 5.0


def user_cells(folder: Path, namespace: dict) -> None:
    # One file per cell, the way the kernel compiles cells.
    for i in range(20):
        lines = ["import numpy as np\n"]
        for j in range(10):
            n = i * 10 + j
            body = "return np.linalg.svd(x @ x.T)" if j == 0 else f"return x + {n}"
            lines.append(f"def fn_{n}(x):\n    {body}\n")
        lines.append(f"class Model_{i}:\n    def fit(self, x):\n        return x * {i}\n")
        path = folder / f"cell_{i}.py"
        path.write_text("".join(lines))
        exec(compile(path.read_text(), str(path), "exec"), namespace)


def library_names(namespace: dict, count: int) -> None:
    picked = 0
    for name in sorted(dir(np)):
        value = getattr(np, name)
        if name.startswith("_") or not (callable(value) or isinstance(value, types.ModuleType)):
            continue
        namespace[f"np_{name}"] = value
        picked += 1
        if picked == count:
            return


def best_of(fn, rounds=5) -> float:
    best = float("inf")
    for _ in range(rounds):
        t0 = time.perf_counter()
        for _ in range(CELLS):
            fn()
        best = min(best, (time.perf_counter() - t0) / CELLS)
    return best


def main() -> None:
    namespace: dict = {"__name__": "__main__", "__builtins__": __builtins__}
    with tempfile.TemporaryDirectory() as tmp:
        user_cells(Path(tmp), namespace)
        library_names(namespace, 179)  # and np, from the cells
        for i in range(100):
            namespace[f"value_{i}"] = [i] if i % 2 else np.arange(i)
        names = sum(1 for k in namespace if not k.startswith("__"))

        monitor = _OverflowMonitor(policy="off", verbose=False)
        monitor.start()  # policy off: no load gate; no caller frame: no watch of its own
        after_cell = _notebook._AfterCell(monitor, types.SimpleNamespace(user_ns=namespace))
        after_cell(None)  # the first walk wraps; later cells meet the same names
        wrapped = len(monitor._wrapped)

        def floor():
            for value in list(namespace.values()):
                getattr(value, "__code__", None)

        base = best_of(floor)
        walk = best_of(lambda: after_cell(None))
        monitor.stop()

    print(f"namespace of {names} names, {wrapped} functions wrapped")
    verdict = "within" if walk * 1e3 <= TARGET_MS else "OVER"
    print(f"  walk after a cell : {walk * 1e3:7.3f} ms   ({verdict} the target of {TARGET_MS} ms)"
          f"   {walk / base:6.1f}x the floor pass ({base * 1e6:.1f} us)")


if __name__ == "__main__":
    main()
