"""The type stub declares exactly what the module provides."""

import ast
import pathlib

import corvid.pool as pool

STUB = pathlib.Path(__file__).resolve().parents[2] / "src" / "corvid" / "pool.pyi"


def test_stub_matches_module():
    tree = ast.parse(STUB.read_text())
    declared = {n.name for n in tree.body if isinstance(n, ast.FunctionDef)}
    declared |= {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
    provided = {n for n in dir(pool) if not n.startswith("__")}
    assert declared == provided
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            kwonly = [a.arg for a in node.args.kwonlyargs]
            positional = [a.arg for a in node.args.args]
            doc_sig = getattr(pool, node.name).__doc__.splitlines()[0]
            # nanobind's own signature line lists the same parameters in the same order
            for name in positional + kwonly:
                assert f"{name}" in doc_sig, (node.name, name)
            if kwonly:
                assert "*, " in doc_sig or "*," in doc_sig, node.name
