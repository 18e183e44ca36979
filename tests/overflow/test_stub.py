"""The type stub declares what corvid.overflow provides, with the module's own
parameter names, order and defaults."""

import ast
import builtins
import inspect
import logging
import pathlib
import threading
import time
import warnings

import pytest

import corvid
from corvid import overflow as ov

STUB = pathlib.Path(corvid.__file__).resolve().parent / "overflow.pyi"
TREE = ast.parse(STUB.read_text())

OVERFLOW_PARAMS = [
    ("fast", "False"), ("threshold", "..."), ("check_interval", "0.5"), ("api_key", "None"),
    ("api_url", "None"), ("gpu_threshold", "..."), ("verbose", "True"), ("policy", "None"),
    ("priority", "None"), ("flexible", "None"), ("_caller_frame", "None"),
]
MONITOR_PARAMS = ["policy", "fast", "threshold", "gpu_threshold", "check_interval", "api_key", "api_url",
                  "verbose", "min_seconds", "max_payload_bytes", "prewarm", "cooldown_base", "cooldown_cap",
                  "clock", "gateway_factory", "sample_source"]
ENV = {**vars(ov), "time": time}


def is_alias(node):
    """Stub-only helpers: type aliases and type variables."""
    if isinstance(node, ast.AnnAssign):
        return ast.unparse(node.annotation) == "TypeAlias"
    return isinstance(node, ast.Assign) and isinstance(node.value, ast.Call) and \
        ast.unparse(node.value.func) == "TypeVar"


def declared(body):
    """{name: node} of the functions, classes and annotated names in a stub body."""
    out = {}
    for node in body:
        if is_alias(node):
            continue
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            out[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            out[node.target.id] = node
        elif isinstance(node, ast.Assign):
            out[node.targets[0].id] = node
    return out


TOP = declared(TREE.body)
CLASSES = {name: node for name, node in TOP.items() if isinstance(node, ast.ClassDef)}


def module_names():
    return {n for n, v in vars(ov).items()
            if not (n.startswith("__") and n.endswith("__")) and type(v).__name__ != "PyCapsule"}


def test_stub_and_module_declare_the_same_names():
    assert set(TOP) == module_names()


# Every nanobind signature is compared with its stub in tests/test_signatures.py;
# these two are the entry points a user reads.
def test_overflow_has_the_eleven_parameters_in_order_with_their_defaults():
    params = inspect.signature(ov.overflow).parameters.values()
    assert [(p.name, repr(p.default)) for p in params] == OVERFLOW_PARAMS


def test_monitor_constructor_is_keyword_only():
    params = inspect.signature(ov._OverflowMonitor).parameters.values()
    assert [p.name for p in params if p.kind is p.KEYWORD_ONLY] == MONITOR_PARAMS == \
        [p.name for p in params]
    with pytest.raises(TypeError):
        ov._OverflowMonitor("auto")


@pytest.fixture
def quiet_overflow(monkeypatch):
    monkeypatch.setenv("CORVID_OVERFLOW_POLICY", "off")
    for name in ("CORVID_OVERFLOW_THRESHOLD", "CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL"):
        monkeypatch.delenv(name, raising=False)
    previous = ov._active_monitor
    started = []
    yield started
    for mon in started:
        mon.stop()
    ov._active_monitor = previous


def scratch_frame():
    ns = {"__name__": "scratch"}
    exec("import sys\ndef here():\n    return sys._getframe()\n", ns)
    return ns["here"]()


FIELDS = ("policy", "fast", "threshold", "gpu_threshold", "check_interval", "api_key", "api_url", "verbose",
          "min_seconds", "max_payload_bytes", "prewarm", "cooldown_base", "cooldown_cap")


def test_stub_defaults_given_by_position_act_as_the_omitted_arguments(quiet_overflow):
    frame = scratch_frame()
    values = [ov._UNSET if d == "..." else eval(d, ENV) for _, d in OVERFLOW_PARAMS[:-1]] + [frame]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        explicit = ov.overflow(*values)
        quiet_overflow.append(explicit)
        implicit = ov.overflow(_caller_frame=frame)
        quiet_overflow.append(implicit)
    assert explicit is not implicit and ov._active_monitor is implicit
    assert [getattr(explicit, f) for f in FIELDS] == [getattr(implicit, f) for f in FIELDS]
    assert implicit._caller_frame is frame and not explicit._running


def test_monitor_stub_defaults_act_as_the_omitted_arguments(monkeypatch):
    for name in ("CORVID_API_KEY", "GATEWAY_API_KEY", "CORVID_API_URL"):
        monkeypatch.delenv(name, raising=False)
    init = next(n for n in CLASSES["_OverflowMonitor"].body
                if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    given = {p.arg: eval(ast.unparse(d), ENV) for p, d in zip(init.args.kwonlyargs, init.args.kw_defaults)}
    explicit, implicit = ov._OverflowMonitor(**given), ov._OverflowMonitor()
    assert [getattr(explicit, f) for f in FIELDS] == [getattr(implicit, f) for f in FIELDS]
    assert explicit._clock is implicit._clock is time.monotonic


def sample_function(x):
    return x


def sample_instances():
    mon = ov._OverflowMonitor()
    sig = ov._sig_key(sample_function)
    return {
        "_OverflowMonitor": mon,
        "_LoadGate": ov._LoadGate(clock=time.monotonic),
        "_OverflowCallable": ov._OverflowCallable(sample_function, mon),
        "_OverflowMethod": ov._OverflowMethod(sample_function, mon, "m"),
        "_BoundOverflow": ov._BoundOverflow(sample_function, object(), mon, sig, "m"),
        "Decision": ov.Decision(ov.Action.LOCAL, ov.Reason.NOT_HEAVY),
    }


@pytest.mark.parametrize("cname", sorted(set(CLASSES) - {"Action", "Reason"}))
def test_class_members_exist(cname):
    cls = getattr(ov, cname)
    instance = sample_instances().get(cname, cls)
    members = declared(CLASSES[cname].body)
    for name, node in members.items():
        if isinstance(node, ast.FunctionDef):
            assert hasattr(cls, name), f"{cname}.{name}"
        elif name != "__slots__":
            assert hasattr(instance, name), f"{cname}.{name}"
    if instance is not cls and hasattr(instance, "__dict__"):
        # Every attribute a fresh object carries is declared too.
        assert set(vars(instance)) <= set(members), cname


# Constructor arguments land in the field of the same name, with or without a
# leading underscore; sample values per parameter name.
def constructor_values():
    mon = ov._OverflowMonitor()
    return {"original": sample_function, "func": sample_function, "monitor": mon, "name": "m",
            "obj": object(), "sig": ov._sig_key(sample_function), "action": ov.Action.LOCAL,
            "reason": ov.Reason.DEMOTED}


@pytest.mark.parametrize("cname", ["_OverflowCallable", "_OverflowMethod", "_BoundOverflow", "Decision"])
@pytest.mark.parametrize("by_keyword", [False, True])
def test_raw_type_constructors_bind_in_stub_order(cname, by_keyword):
    init = next(n for n in CLASSES[cname].body if getattr(n, "name", "") in ("__new__", "__init__"))
    names = [p.arg for p in init.args.args[1:]]
    values = constructor_values()
    args = {n: values[n] for n in names}
    made = getattr(ov, cname)(**args) if by_keyword else getattr(ov, cname)(*args.values())
    for n, v in args.items():
        field = n if hasattr(type(made), n) else "_" + n
        assert getattr(made, field) is v, f"{cname}.{field}"


@pytest.mark.parametrize("enum_name", ["Action", "Reason"])
def test_enum_members_and_values(enum_name):
    stub = [(n.targets[0].id, ast.literal_eval(n.value)) for n in CLASSES[enum_name].body
            if isinstance(n, ast.Assign)]
    assert stub == [(m.name, m.value) for m in getattr(ov, enum_name)]


def test_decision_slots():
    slots = next(n for n in CLASSES["Decision"].body if isinstance(n, ast.Assign))
    assert ast.literal_eval(slots.value) == ov.Decision.__slots__


def check_type(value, node):
    """True/False where the annotation can be judged, None where it cannot."""
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.BitOr):
        sides = [check_type(value, node.left), check_type(value, node.right)]
        return None if None in sides else any(sides)
    if isinstance(node, ast.Subscript):
        origin = ast.unparse(node.value)
        if origin not in ("tuple", "frozenset", "list", "set"):
            return None
        if not isinstance(value, getattr(builtins, origin)):
            return False
        inner = node.slice.elts[0] if isinstance(node.slice, ast.Tuple) else node.slice
        results = [check_type(item, inner) for item in value]
        return None if None in results else all(results)
    text = ast.unparse(node)
    if text == "None":
        return value is None
    if text == "object":
        return True
    kinds = {"logging.Logger": logging.Logger, "threading.Thread": threading.Thread}
    kind = kinds.get(text) or getattr(builtins, text, None) or getattr(ov, text, None)
    if not isinstance(kind, type):
        return None
    if kind is int and isinstance(value, bool):
        return False
    return isinstance(value, kind)


def test_module_constants_have_their_declared_types():
    judged = set()
    for name, node in TOP.items():
        if isinstance(node, ast.AnnAssign):
            verdict = check_type(getattr(ov, name), node.annotation)
            assert verdict is not False, f"{name}: {ast.unparse(node.annotation)}"
            if verdict is not None:
                judged.add(name)
    constants = {n for n in TOP if n.lstrip("_").isupper()}
    assert constants <= judged, constants - judged
