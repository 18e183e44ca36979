"""The type stub declares exactly what the module provides."""

import ast
import pathlib
import re

import corvid
import corvid.pool as pool

STUB = pathlib.Path(corvid.__file__).resolve().parent / "pool.pyi"


def module_params(func):
    """[(name, default text or None)] and '*' from nanobind's signature line."""
    line = func.__doc__.splitlines()[0]
    inner = line[line.index("(") + 1: line.rindex(") ->")]
    out = []
    for part in filter(None, inner.split(", ")):
        m = re.fullmatch(r"(\*|\w+)(?:: [^=]+?)?(?: = (.+))?", part)
        out.append((m[1], m[2]))
    return out


def stub_params(node):
    args = node.args
    defaults = [None] * (len(args.args) - len(args.defaults)) + [ast.unparse(d) for d in args.defaults]
    out = list(zip([a.arg for a in args.args], defaults))
    if args.kwonlyargs:
        out.append(("*", None))
        out += [(a.arg, ast.unparse(d) if d else None) for a, d in zip(args.kwonlyargs, args.kw_defaults)]
    return out


def test_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    consts = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    assert set(funcs) | consts | set(classes) == {n for n in dir(pool) if not n.startswith("__")}
    for name, node in classes.items():
        assert all(hasattr(getattr(pool, name), n.target.id) for n in node.body if isinstance(n, ast.AnnAssign))
    for name, node in funcs.items():
        assert stub_params(node) == module_params(getattr(pool, name)), name
