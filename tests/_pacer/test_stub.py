import ast
import pathlib

import corvid
from corvid import _pacer


def test_stub_matches_the_module():
    tree = ast.parse((pathlib.Path(corvid.__file__).parent / "_pacer.pyi").read_text())
    top = {n.name if isinstance(n, ast.ClassDef) else n.target.id
           for n in tree.body if isinstance(n, (ast.ClassDef, ast.AnnAssign))}
    assert top == {n for n in dir(_pacer) if not n.startswith("__")}
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef))
    members = {n.name if isinstance(n, ast.FunctionDef) else n.target.id
               for n in cls.body if isinstance(n, (ast.FunctionDef, ast.AnnAssign))}
    ctl = _pacer.DepthController(1, 8)
    assert all(hasattr(ctl, m) for m in members - {"__init__"})
    init = next(n for n in cls.body if isinstance(n, ast.FunctionDef) and n.name == "__init__")
    assert [a.arg for a in init.args.args] == ["self", "floor", "cap", "clock"]
