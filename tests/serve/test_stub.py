import ast
import pathlib

import corvid
from corvid import serve


def stub_names(tree):
    names = {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names[node.name] = node
        elif isinstance(node, ast.AnnAssign):
            names[node.target.id] = node
    return names


def test_stub_matches_the_module():
    path = pathlib.Path(corvid.__file__).parent / "serve.pyi"
    names = stub_names(ast.parse(path.read_text()))
    public = {n for n in dir(serve) if not n.startswith("__")}
    assert set(names) == public
    for cls in ("_TurnAlive", "_ResponsePieces"):
        declared = {n.name if isinstance(n, ast.FunctionDef) else n.target.id
                    for n in names[cls].body if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
        assert declared <= set(dir(getattr(serve, cls))) | {"_turn", "_interval", "_done", "_thread"}
    loop = names["serve_loop"].args
    assert [a.arg for a in loop.args] == ["handler"]
    assert [a.arg for a in loop.kwonlyargs] == ["history", "idle_timeout", "poll_interval", "input_path"]
