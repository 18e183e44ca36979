import atexit, json, os, sys; import corvid.overflow as ov; atexit.register(lambda: _report_at_exit()); MON = ov.overflow(); MON._offload_safety = lambda *a, **k: ov._local(ov.Reason.SIDE_EFFECT)  # its calls change module state
# Heavy functions below mention numpy in a comment and loop, which is what
# the heaviness prediction looks for; nothing here imports it.
import enum
from json import dump

import worklib

R = {"announced": sorted(MON._forward_names)}
R["hook_active_at_start"] = MON._hook_installed and sys.gettrace() is MON._hook_fn


def _w(obj):
    return bool(getattr(obj, "_overflow_wrapped", False))


def train_model(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
R["train_model_wrapped_next_line"] = _w(train_model)
R["train_model_call"] = train_model(10)


def light(x):
    return x + 1
R["light_left"] = not _w(light)


def _private_fit(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
R["private_left"] = not _w(_private_fit)


class Model:
    def __init__(self):
        self.w = 2

    def fit(self, n):
        return n * self.w

    def _hidden(self):
        return 1

    @staticmethod
    def helper(n):
        total = 0  # numpy-style loop
        for i in range(n):
            total += i
        return total

    @classmethod
    def build(cls):
        return cls()

    @property
    def size(self):
        return 3
R["model_kinds"] = {k: type(Model.__dict__[k]).__name__ for k in ("__init__", "fit", "_hidden", "helper", "build", "size")}
R["model_fit_call"] = Model.build().fit(3)
R["model_size"] = Model().size


class FitError(Exception):
    def explain(self):
        return "x"


class Color(enum.Enum):
    RED = 1

    def describe(self):
        return self.name
R["exception_enum_kinds"] = [type(FitError.__dict__["explain"]).__name__, type(Color.__dict__["describe"]).__name__]

# A library function the prediction calls heavy is still left alone.
R["library_predicted_heavy"] = MON._relaxed_heavy(dump)
R["library_left"] = dump is json.dump

R["module_walked"] = id(worklib) in MON._wrapped_modules
R["module_function_wrapped"] = _w(worklib.crunch)
R["module_alias_plain"] = worklib.crunch_alias is getattr(worklib.crunch, "__wrapped__", None)
R["module_call"] = worklib.crunch(4)
worklib.add_late()
R["module_not_walked_again"] = not _w(worklib.late_fit)

if __name__ == "__main__":
    def under_main(n):
        total = 0  # numpy-style loop
        for i in range(n):
            total += i
        return total
    R["under_main_wrapped"] = _w(under_main)

try:
    def in_try(n):
        total = 0  # numpy-style loop
        for i in range(n):
            total += i
        return total
    R["in_try_wrapped"] = _w(in_try)
except ImportError:
    pass


def outer():
    def nested_fit(n):
        total = 0  # numpy-style loop
        for i in range(n):
            total += i
        return total
    return nested_fit
R["nested_announced"] = "nested_fit" in MON._forward_names
R["nested_left"] = not _w(outer())


def fit_rebound(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
R["rebound_was_wrapped"] = _w(fit_rebound)
fit_rebound = "user value"
R["hook_active_before_last"] = MON._hook_installed


def train_last(n):
    total = 0  # numpy-style loop
    for i in range(n):
        total += i
    return total
R["last_wrapped_next_line"] = _w(train_last)
R["hook_gone_after_last"] = (not MON._hook_installed) and sys.gettrace() is None

ORIGINALS = {
    "train_model": train_model.__wrapped__,
    "train_last": train_last.__wrapped__,
    "under_main": under_main.__wrapped__,
    "Model.fit": Model.fit,
    "worklib.crunch": worklib.crunch.__wrapped__,
}


def _restored():
    spaces = {"main": dict(globals()), "worklib": dict(vars(worklib)), "Model": dict(vars(Model))}
    return {
        "same_objects": {
            "train_model": train_model is ORIGINALS["train_model"],
            "train_last": train_last is ORIGINALS["train_last"],
            "under_main": under_main is ORIGINALS["under_main"],
            "Model.fit": Model.__dict__["fit"] is ORIGINALS["Model.fit"],
            "worklib.crunch": worklib.crunch is ORIGINALS["worklib.crunch"],
        },
        "wrappers_left": sorted(f"{s}.{k}" for s, ns in spaces.items() for k, v in ns.items() if _w(v)),
        "rebound_kept": fit_rebound == "user value",
        "trace_none": sys.gettrace() is None,
        "wrapped_maps_empty": not MON._wrapped and not MON._wrapped_classes and not MON._wrapped_modules,
    }


def _report_at_exit():
    if os.environ.get("OVD_MODE") == "exit":
        R["after"] = _restored()
        print(json.dumps(R))


R["wrapped_before_stop"] = sorted(k for k, v in globals().items() if _w(v))
if os.environ.get("OVD_MODE") == "stop":
    MON.stop()
    R["after"] = _restored()
    print(json.dumps(R))
