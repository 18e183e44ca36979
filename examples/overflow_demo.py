"""What `overflow()` does to an ordinary script, shown from inside it.

The script turns the monitor on in its first lines and then defines its
functions and a class as usual. The monitor finds the heavy ones (from their
source text), replaces them by wrappers as soon as they are defined, sends
every call through its dispatch, and puts the user's own objects back on
`stop()`. Remote runs need a gateway; here every call stays local, and the
script prints the decision and its reason for each call.
"""

from corvid.overflow import Action, overflow

monitor = overflow(policy="auto", verbose=False)

import math  # noqa: E402
import time  # noqa: E402


def train_model(rows):
    """Heavy by name and by its loop."""
    total = 0.0
    for i in range(rows):
        total += math.sqrt(i) * 1.0001
    return total


def describe(x):
    """Light: a helper that neither computes nor calls a heavy library."""
    return f"value={x:.1f}"


def _private_step(x):
    return x + 1


class Pipeline:
    def __init__(self, n):
        self.n = n
        self.history = []

    def fit(self, scale):
        for i in range(self.n):
            self.history.append(i * scale)
        return len(self.history)

    def summary(self):
        return f"{len(self.history)} points"


def kind(obj):
    name = type(obj).__name__
    return "wrapper" if getattr(obj, "_overflow_wrapped", False) else f"plain {name}"


def prediction(obj):
    func = getattr(obj, "__wrapped__", None) or getattr(obj, "_func", None) or obj
    strict, relaxed = monitor._predict_heavy(func), monitor._relaxed_heavy(func)
    return "heavy" if strict else "loosely heavy" if relaxed else "light"


def show_decision(label, func, *args):
    original = getattr(func, "__wrapped__", None) or getattr(func, "_func", None) or func
    if getattr(func, "_overflow_wrapped", False):
        decision = monitor._should_offload(original, args, {}, hasattr(func, "_obj"))
        where = "offload" if decision.action is Action.OFFLOAD else "local"
        how = f"{where} ({decision.reason.value})"
    else:
        how = "plain call, not wrapped"
    t0 = time.perf_counter()
    result = func(*args)
    ms = (time.perf_counter() - t0) * 1e3
    print(f"  {label:<18} -> {how:<24} {ms:6.2f} ms, result {result!r}")


def main():
    print(f"monitor running: {monitor._running}, policy {monitor.policy!r}")
    print("what the script's namespace holds now:")
    for name in ("train_model", "describe", "_private_step"):
        obj = globals()[name]
        print(f"  {name:<18} {kind(obj):<16} {prediction(obj)}")
    for name in ("fit", "summary"):
        obj = Pipeline.__dict__[name]
        print(f"  {'Pipeline.' + name:<18} {kind(obj):<16} {prediction(obj)}")

    print("calls:")
    show_decision("train_model", train_model, 200_000)
    show_decision("describe", describe, 3.0)
    pipe = Pipeline(1000)
    show_decision("pipe.fit", pipe.fit, 2)
    show_decision("pipe.summary", pipe.summary)
    print(f"  local run times recorded for {len(monitor._observed_seconds)} function(s)")

    monitor.stop()
    print(f"after stop(): train_model is {kind(train_model)}, "
          f"Pipeline.fit is {kind(Pipeline.__dict__['fit'])}")


if __name__ == "__main__":
    main()
