"""The type stub declares what corvid.overflow provides, with the module's own
parameter names, order and defaults."""

import ast
import builtins
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


def split_top(text):
    """Split on commas outside brackets, angle brackets and quotes."""
    parts, depth, quote, cur = [], 0, None, ""
    for ch in text:
        if quote:
            quote = None if ch == quote else quote
        elif ch in "'\"":
            quote = ch
        elif ch in "([{<":
            depth += 1
        elif ch in ")]}>":
            depth -= 1
        elif ch == "," and depth == 0:
            parts.append(cur.strip())
            cur = ""
            continue
        cur += ch
    if cur.strip():
        parts.append(cur.strip())
    return parts


def doc_params(func):
    """[(name, default text or None)] from a nanobind signature line, with '*'
    and '/' as markers and the positional-only names blanked out."""
    line = func.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1: line.rindex(") ->")]
    out = []
    for part in split_top(inner):
        name, _, default = part.partition(" = ")
        out.append((name.split(":")[0].strip(), default or None))
    return blank_positional_only(out)


def blank_positional_only(params):
    if ("/", None) not in params:
        return params
    cut = params.index(("/", None))
    return [("<pos>", d) for _, d in params[:cut]] + params[cut:]


def stub_params(fn):
    """The same shape as doc_params, with defaults as the stub's source text."""
    a = fn.args
    positional = a.posonlyargs + a.args
    defaults = [None] * (len(positional) - len(a.defaults)) + [ast.unparse(d) for d in a.defaults]
    out = [(p.arg, d) for p, d in zip(positional, defaults)]
    if a.posonlyargs:
        out.insert(len(a.posonlyargs), ("/", None))
    if a.kwonlyargs:
        out.append(("*", None))
        out += [(p.arg, ast.unparse(d) if d else None) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    return blank_positional_only(out)


def same_default(stub_text, doc_text):
    """A stub default matches when the value it names prints as nanobind printed
    the module's default; `...`, the stub's "not given", matches the module's
    "not given" text."""
    if stub_text is None or doc_text is None:
        return stub_text == doc_text
    if stub_text == "...":
        return doc_text == "..."
    return repr(eval(stub_text, ENV)) == doc_text


def assert_same_signature(stub_fn, runtime_fn, where):
    stub, doc = stub_params(stub_fn), doc_params(runtime_fn)
    assert [n for n, _ in stub] == [n for n, _ in doc], where
    for (name, s), (_, d) in zip(stub, doc):
        assert same_default(s, d), f"{where}: default of {name}: stub {s}, module {d}"


def module_names():
    return {n for n, v in vars(ov).items()
            if not (n.startswith("__") and n.endswith("__")) and type(v).__name__ != "PyCapsule"}


def test_stub_and_module_declare_the_same_names():
    assert set(TOP) == module_names()


def test_overflow_has_the_eleven_parameters_in_order_with_their_defaults():
    assert stub_params(TOP["overflow"]) == OVERFLOW_PARAMS
    assert_same_signature(TOP["overflow"], ov.overflow, "overflow")


def test_monitor_constructor_is_keyword_only():
    init = next(n for n in CLASSES["_OverflowMonitor"].body
                if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    assert [n for n, _ in stub_params(init)] == ["self", "*", *MONITOR_PARAMS]
    with pytest.raises(TypeError):
        ov._OverflowMonitor("auto")


def nanobind_functions():
    """(stub node, runtime object, label) for everything with a signature line."""
    for name, node in TOP.items():
        if isinstance(node, ast.FunctionDef) and type(getattr(ov, name)).__name__ == "nb_func":
            yield node, getattr(ov, name), name
    for cname, cls in CLASSES.items():
        for node in cls.body:
            if isinstance(node, ast.FunctionDef):
                runtime = getattr(getattr(ov, cname), node.name)
                if type(runtime).__name__ in ("nb_func", "nb_method"):
                    yield node, runtime, f"{cname}.{node.name}"


def test_every_nanobind_signature_matches_the_stub():
    seen = set()
    for node, runtime, label in nanobind_functions():
        assert_same_signature(node, runtime, label)
        seen.add(label)
    # The comparison covered the entry point, both constructors and the gate's step.
    assert {"overflow", "_OverflowMonitor.__init__", "_LoadGate.__init__", "_LoadGate.step",
            "_resolve_policy", "_OverflowMonitor._dispatch"} <= seen


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
