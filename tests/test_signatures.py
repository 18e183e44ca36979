"""inspect.signature of the extension modules' functions and methods reports
what their stubs declare: parameter names, kinds and default values."""

import ast
import importlib
import inspect
import pathlib
import time

import pytest

import corvid

MODULES = ["overflow", "cargo", "_pacer", "serve", "pool"]
P = inspect.Parameter


def stub_signature(fn, env):
    """[(name, kind, default)] of a stub def; `...` stands for a default the stub leaves unsaid."""
    a = fn.args
    positional = [(p, P.POSITIONAL_ONLY) for p in a.posonlyargs] + [(p, P.POSITIONAL_OR_KEYWORD) for p in a.args]
    defaults = [P.empty] * (len(positional) - len(a.defaults)) + a.defaults
    out = [(p.arg, kind, d) for (p, kind), d in zip(positional, defaults)]
    out += [(a.vararg.arg, P.VAR_POSITIONAL, P.empty)] if a.vararg else []
    out += [(p.arg, P.KEYWORD_ONLY, d or P.empty) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    out += [(a.kwarg.arg, P.VAR_KEYWORD, P.empty)] if a.kwarg else []
    return [(n, k, d if d is P.empty else eval(ast.unparse(d), env)) for n, k, d in out]


def same(stub, sig):
    runtime = [(p.name, p.kind, p.default) for p in sig.parameters.values()]
    return len(stub) == len(runtime) and all(
        (sn == rn or sk == P.POSITIONAL_ONLY) and sk == rk and
        (sd is ... and rd is not P.empty or (type(sd), sd) == (type(rd), rd))
        for (sn, sk, sd), (rn, rk, rd) in zip(stub, runtime))


def nanobind_defs(mod):
    """(where, stub def, runtime object, owning class or None) for every nanobind function in the stub."""
    tree = ast.parse(pathlib.Path(corvid.__file__).with_name(mod.__name__.split(".")[1] + ".pyi").read_text())
    for node in tree.body:
        cls = getattr(mod, node.name, None) if isinstance(node, ast.ClassDef) else None
        owners = [(node.name, node)] if isinstance(node, ast.FunctionDef) else \
            [(f"{node.name}.{n.name}", n) for n in node.body if isinstance(n, ast.FunctionDef)] if cls else []
        for where, fn in owners:
            obj = vars(cls).get(fn.name) if cls else getattr(mod, fn.name)
            if type(obj).__module__ == "nanobind":
                yield where, fn, obj, cls


@pytest.mark.parametrize("name", MODULES)
def test_signatures_match_the_stub(name):
    mod = importlib.import_module(f"corvid.{name}")
    env = {**vars(mod), "time": time}
    checked = []
    for where, fn, obj, cls in nanobind_defs(mod):
        stub = stub_signature(fn, env)
        assert same(stub, inspect.signature(obj)), (where, inspect.signature(obj))
        if cls is not None:  # bound to an instance, and the class itself for __init__
            assert same(stub[1:], inspect.signature(obj.__get__(object()))), where
            assert fn.name != "__init__" or same(stub[1:], inspect.signature(cls)), where
        checked.append(where)
    assert checked
