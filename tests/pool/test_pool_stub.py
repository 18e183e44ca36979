"""The type stub declares exactly what the module provides (the functions'
signatures are compared in tests/test_signatures.py)."""

import ast
import pathlib

import corvid
import corvid.pool as pool

STUB = pathlib.Path(corvid.__file__).resolve().parent / "pool.pyi"


def test_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    funcs = {n.name: n for n in tree.body if isinstance(n, ast.FunctionDef)}
    consts = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    classes = {n.name: n for n in tree.body if isinstance(n, ast.ClassDef)}
    assert set(funcs) | consts | set(classes) == {n for n in dir(pool) if not n.startswith("__")}
    for name, node in classes.items():
        assert all(hasattr(getattr(pool, name), n.target.id) for n in node.body if isinstance(n, ast.AnnAssign))
