"""A standing guard against crashes: every function, method, slot and field of
the native modules is called with hostile values (wrong types, None, extreme
numbers, NaN, deep and self-referencing containers, subclasses whose dunders
raise or answer the wrong type, unconstructed or foreign instances as self).
Python exceptions are the expected answer; a signal or a hang is a failure.

Each module is one batch in a fresh interpreter. Rerun one by hand with
``PYTHONHASHSEED=0 python tests/test_fuzz.py MODULE SEED``; every call is
logged to calls.log in the working directory before it is made.
"""

import ast, faulthandler, functools, gc, io, itertools, logging, os, subprocess, sys, types, warnings
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings, strategies as st  # noqa: E402

MODULES = {"overflow": 16, "cargo": 20, "_pacer": 60, "serve": 40, "pool": 20}  # max_examples each
SEED = 20261207
SCALE = float(os.environ.get("CORVID_FUZZ_SCALE", "1"))  # more examples for a longer hunt by hand
# Not called: serve_loop blocks on its input file; overflow() and start() start the sampling
# thread and a trace hook, _install_hook sets a process-wide trace function; _loop and _run
# loop until stopped; _TurnAlive.__enter__ starts its thread.
SKIP = {"serve_loop", "overflow", "_OverflowMonitor.start", "_LoadGate.start", "_LoadGate._loop",
        "_OverflowMonitor._install_hook", "_TurnAlive._run", "_TurnAlive.__enter__", "_retry_sleep"}
URL = "http://127.0.0.1:9"  # refuses at once: the network paths fail fast


class Boom(Exception):
    pass


def _boom(*a, **k):
    raise Boom


WRONG = ("None", "-1", "2**70", "'s'", "b'b'", "float('nan')", "object()", "[1]")
DUNDERS = ("__eq__ __ne__ __lt__ __hash__ __len__ __iter__ __next__ __getitem__ __contains__ __bool__ "
           "__index__ __int__ __float__ __str__ __repr__ __format__ __fspath__ __reduce_ex__ __getstate__ "
           "__call__ __getattr__ keys items values get strip lower encode decode split startswith "
           "read readline seek tell acquire release update close").split()
BASES = {"str": ("x",), "int": (7,), "float": (1.5,), "dict": ({"text": "a", "turn": 1},),
         "list": ([1, "a"],), "tuple": ((1, "a"),), "bytes": (b"x",), "object": ()}
# Values as source text, so the failing call prints readably and each call gets fresh objects.
ATOMS = ("None", "True", "0", "-1", "2**31", "2**63", "-2**63-1", "2**64", "10**400", "float('nan')",
         "float('inf')", "-float('inf')", "-0.0", "1e308", "5e-324", "''", "'\\x00'", "'\\ud800'",
         "'x'*100_000", f"'{URL}'", "b''", "b'\\xff\\xfe\\x00'", "bytearray(b'x')", "memoryview(b'ab')",
         "object()", "int", "type", "Ellipsis", "1j", "io.StringIO('{}\\nx\\n')", "_boom", "lambda *a, **k: a",
         "iter([1, 2])", "frozenset({1})", "range(-1, 10**20)", "slice(None)", "Boom()", "types.ModuleType('m')")


def _vandalise():
    """Drops every field of the call's self, as code run from inside a method might."""
    obj = SELF[0]
    for name in STUBS.get(type(obj).__module__.rpartition(".")[2], {}).get(type(obj).__name__) or ():
        try:
            delattr(obj, name)
        except Exception:
            try:
                setattr(obj, name, None)
            except Exception:
                pass
    if type(getattr(obj, "__dict__", None)) is dict:
        obj.__dict__.clear()
    gc.collect(0)
    JUNK[:] = [[i] * (i % 7) for i in range(300)]  # reuses what was freed


def _reenter():
    """Makes the call under way again from inside itself, once."""
    if CALL and len(CALL) < 2:
        CALL.append(CALL[0])
        try:
            CALL[0][0](*CALL[0][1], **CALL[0][2])
        except Exception:
            pass
        finally:
            CALL.pop()


@functools.cache
def _subclass(base, mode, wrong):
    def answer(*a, **k):
        if mode == "mutate":
            _vandalise()
        if mode == "reenter":
            _reenter()
        if mode == "raise":
            raise Boom
        return eval(WRONG[wrong])
    ns = {d: answer for d in DUNDERS if base != "object" or d != "__getattr__"}
    return type(f"Hostile{base}", (eval(base),), ns)


def value(d):
    """The object a description stands for, built fresh."""
    kind, *a = d
    if kind == "atom":
        return eval(a[0])
    if kind == "sub":
        return _subclass(*a)(*BASES[a[0]])
    if kind in ("list", "tuple", "set"):
        items = [value(x) for x in a[0]]
        try:
            return eval(kind)(items)
        except Exception:
            return items
    if kind == "dict":
        out = {}
        for k, v in zip(a[0][::2], a[0][1::2]):
            try:
                out[value(k)] = value(v)
            except Exception:
                out[repr(k)] = value(v)
        return out
    if kind == "cycle":
        lst, dct = [1], {"text": "t"}
        lst.append(lst), lst.append(dct)
        dct["turn"] = dct
        dct["x"] = lst
        return lst if a[0] else dct
    if kind == "deep":  # built once: too slow to build per call
        if a[0] not in DEEP:
            DEEP[a[0]] = functools.reduce(lambda inner, _: [inner], range(a[0]), [])
        return DEEP[a[0]]
    if kind == "inst":
        return instance(*a)
    return benign(*a)


BENIGN = (("_SigKey", "('f.py', 'f', 1)"), ("_OverflowMonitor", "_running_monitor()"),
          ("FrameType", "None"), ("Reason", "_mod('overflow').Reason.NOT_HEAVY"),
          ("Action", "_mod('overflow').Action.LOCAL"), ("Response", "httpx.Response(400, json={'detail': 'x'})"),
          ("Callable", "lambda *a, **k: 1"), ("Handler", "lambda *a: 'ok'"), ("Thunk", "lambda: 1"),
          ("TextIO", "io.StringIO('{}\\nx\\n')"), ("bytes", "b'xy'"), ("bool", "True"), ("int", "2"),
          ("float", "0.5"), ("_Timeout", "0.5"), ("str", "'x'"), ("dict", "{}"), ("Mapping", "{}"),
          ("list", "[]"), ("Iterable", "['a']"), ("tuple", "()"), ("type", "int"), ("Any", "1"))


def benign(ann, name):
    if "url" in name:
        return URL
    if "path" in name:
        return os.path.join(os.getcwd(), "in.jsonl")
    return next((eval(src) for key, src in BENIGN if key in ann), None)


def _running_monitor():
    mon = _mod("overflow")._OverflowMonitor(policy="always")  # no load gate, so no thread
    mon.start(None)
    return mon


def _mod(name):
    return __import__(f"corvid.{name}", fromlist=["_"])


def instance(modname, clsname, how, fields=()):
    """A class's instance: built from plain arguments, unconstructed, or either with fields replaced."""
    cls = getattr(_mod(modname), clsname)
    try:
        if how == "new":
            obj = cls.__new__(cls)
        else:
            params = STUBS[modname].get(f"{clsname}.__init__", [])[1:]
            pos = [benign(p[3], p[0]) for p in params if p[1] == "pos" and not p[2]]
            kw = {p[0]: benign(p[3], p[0]) for p in params if p[1] == "kw" and not p[2]}
            obj = cls(*pos, **kw)
        for name, v in fields:
            setattr(obj, name, value(v))
    except Exception:
        return object()
    return obj


def stubs(modname):
    """Parameters per stubbed name: [(name, "pos"|"kw"|"var", has_default, annotation)], and class fields."""
    path = os.path.join(os.path.dirname(_mod(modname).__file__), f"{modname}.pyi")
    out = {}

    def params(f):
        a = f.args
        pos = a.posonlyargs + a.args
        res = [(p.arg, "pos", i >= len(pos) - len(a.defaults), ast.unparse(p.annotation or ast.Constant("Any")))
               for i, p in enumerate(pos)]
        res += [(p.arg, "kw", dflt is not None, ast.unparse(p.annotation or ast.Constant("Any")))
                for p, dflt in zip(a.kwonlyargs, a.kw_defaults)]
        return res + [("args", "var", True, "Any")] * bool(a.vararg)

    for node in ast.parse(open(path).read()).body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = params(node)
        elif isinstance(node, ast.ClassDef):
            out[node.name] = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
            out[node.name] += [n.name for n in node.body if isinstance(n, ast.FunctionDef) and n.decorator_list]
            out.update({f"{node.name}.{n.name}": params(n) for n in node.body if isinstance(n, ast.FunctionDef)})
    return out


STUBS, DEEP, SELF, JUNK, CALL, FOLLOW = {}, {}, [None], [], [], {}
ATOM = st.sampled_from(ATOMS).map(lambda s: ("atom", s))
SUB = st.tuples(st.just("sub"), st.sampled_from(list(BASES)), st.sampled_from(["raise", "wrong", "mutate", "reenter"]),
                st.integers(0, len(WRONG) - 1))
LEAF = st.one_of(ATOM, SUB, st.tuples(st.just("cycle"), st.booleans()),
                 st.tuples(st.just("deep"), st.sampled_from([50, 100_000])),
                 st.integers().map(lambda i: ("atom", repr(i))), st.floats().map(lambda f: ("atom", f"float('{f}')")),
                 st.text("ab\x00é\U0001f600 {}[]\":\n\\", max_size=20).map(lambda s: ("atom", repr(s))))
HOSTILE = st.recursive(LEAF, lambda c: st.tuples(st.sampled_from(["list", "tuple", "set", "dict"]),
                                                 st.lists(c, max_size=4).map(tuple)), max_leaves=6)


def classes(mod):
    return [n for n, c in vars(mod).items() if isinstance(c, type) and c.__module__ == mod.__name__
            and not hasattr(c, "__members__")]


def self_values(modname, mod, clsname):
    insts = [("inst", modname, clsname, h) for h in ("good", "new")]
    insts += [("inst", modname, c, "good") for c in classes(mod) if c != clsname]
    # fields, and methods replaced on the instance
    names = (STUBS[modname].get(clsname) or ["x"]) + [k.partition(".")[2] for k in STUBS[modname]
                                                       if k.startswith(clsname + ".")]
    fields = st.lists(st.tuples(st.sampled_from(names), HOSTILE), max_size=3)
    dirty = fields.map(lambda f: ("inst", modname, clsname, "good", tuple(f)))
    return st.one_of(st.sampled_from(insts), dirty, HOSTILE)


def _after_self(params):
    return None if params is None else params[1:]


def targets(modname, mod):
    """(label, callable, parameters, self strategy or None) for everything the module defines."""
    out = [(n, f, STUBS[modname].get(n), None) for n, f in vars(mod).items()
           if callable(f) and not n.startswith("__") and not isinstance(f, type)]
    for cname in classes(mod):
        cls, selfs = getattr(mod, cname), self_values(modname, mod, cname)
        out.append((cname, cls, _after_self(STUBS[modname].get(f"{cname}.__init__")), None))
        for n, f in vars(cls).items():
            if n in ("__new__", "__init_subclass__", "__subclasshook__", "__class_getitem__"):
                continue
            if hasattr(f, "__set__") or n in (STUBS[modname].get(cname) or ()):
                out.append((f"{cname}.{n}=", (cls, n), None, selfs))
            elif callable(f):
                params = _after_self(STUBS[modname].get(f"{cname}.{n}"))
                out.append((f"{cname}.{n}", f, params, selfs))
                if params is not None and f"{cname}.{n}" not in SKIP and n not in ("__init__", "__setstate__"):
                    FOLLOW.setdefault(cname, []).append((n, [p for p in params if not p[2]]))
    return [t for t in out if t[0] not in SKIP and t[0].rstrip("=") not in SKIP]


def draw_call(data, params):
    arg = st.one_of(HOSTILE, HOSTILE, st.just(None))
    if params is None:
        return [data.draw(HOSTILE) for _ in range(data.draw(st.integers(0, 3)))], {}
    args, kwargs, keyword = [], {}, False
    # half the calls are plain but for one argument (or none, self being the hostile part),
    # so they get past the first type check
    focus = data.draw(st.one_of(st.just(-1), st.integers(0, len(params))))
    for i, (name, kind, has_default, ann) in enumerate(params):
        if has_default and data.draw(st.booleans()):
            keyword = True
            continue
        d = data.draw(arg) if focus < 0 else data.draw(HOSTILE) if i == focus else None
        d = ("benign", ann, name) if d is None else d
        if kind == "pos" and not keyword:
            args.append(d)
        elif kind != "var":
            kwargs[name] = d
    if data.draw(st.integers(0, 15)) == 0:
        args.append(data.draw(HOSTILE))
    return args, kwargs


def consume(res):
    if hasattr(res, "__next__"):
        list(itertools.islice(res, 20))
    repr(res)


def run_batch(modname, seed):
    log = open("calls.log", "w")
    mod = _mod(modname)
    STUBS[modname] = stubs(modname)
    if modname == "cargo":
        mod._retry_sleep = lambda s: None
    calls = 0

    for label, fn, params, selfs in targets(modname, mod):
        @settings(max_examples=int(MODULES[modname] * SCALE), database=None, deadline=None, phases=[Phase.generate],
                  suppress_health_check=list(HealthCheck))
        @hypothesis.seed(seed)
        @given(st.data())
        def one(data):
            nonlocal calls
            self_d = [data.draw(selfs)] if selfs is not None else []
            args, kwargs = draw_call(data, params)
            log.write(f"{label}({', '.join(map(repr, self_d + args))}, **{kwargs!r})\n")
            log.flush()
            calls += 1
            CALL.clear()
            try:
                values = [value(d) for d in self_d + args]
                SELF[0] = values[0] if values else None
                kw = {k: value(v) for k, v in kwargs.items()}
                if not isinstance(fn, tuple):
                    CALL[:] = [(fn, values, kw)]
                    consume(fn(*values, **kw))
                else:  # a field: read, assigned or deleted, through its descriptor when self is foreign
                    cls, name = fn
                    desc, obj = vars(cls).get(name), values[0]
                    via = None if isinstance(obj, cls) or not hasattr(desc, "__set__") else type(desc)
                    if not args:
                        consume(via.__get__(desc, obj, cls) if via else getattr(obj, name))
                    elif len(args) == 1:
                        via.__set__(desc, obj, values[1]) if via else setattr(obj, name, values[1])
                    else:
                        via.__delete__(desc, obj) if via else delattr(obj, name)
            except KeyboardInterrupt:
                raise
            except BaseException:
                pass
            then = FOLLOW.get(label.partition(".")[0]) if selfs is not None else None
            if then:  # whatever state the call left, the next method must cope with it
                name, params2 = then[data.draw(st.integers(0, len(then) - 1))]
                log.write(f"  then .{name}(<plain arguments>)\n")
                log.flush()
                try:
                    consume(getattr(type(values[0]), name)(values[0], *[benign(p[3], p[0]) for p in params2]))
                except Exception:
                    pass
            if calls % 200 == 0:
                gc.collect()
        one()
    gc.collect()
    return calls


@pytest.mark.parametrize("modname", list(MODULES))
def test_no_crash_or_hang(modname, tmp_path):
    import corvid  # the child runs elsewhere: it must import this same build

    root = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))
    path = [root] + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(path), PYTHONHASHSEED="0", CORVID_API_URL=URL,
               CORVID_API_KEY="k", GATEWAY_API_KEY="k")
    cmd = [sys.executable, os.path.abspath(__file__), modname, str(SEED)]
    try:
        proc = subprocess.run(cmd, cwd=tmp_path, env=env, capture_output=True, text=True, timeout=100)
        failure = None if proc.returncode == 0 else f"exit {proc.returncode}\n{proc.stderr[-3000:]}"
    except subprocess.TimeoutExpired:
        failure = "hang"
    log = tmp_path / "calls.log"
    calls = (log.read_text(errors="replace") if log.exists() else "").splitlines() or ["?"]
    assert not failure, f"batch {modname} seed {SEED}: {failure}\nlast call: {calls[-1][:2000]}"


if __name__ == "__main__":
    faulthandler.enable()
    warnings.simplefilter("ignore")  # nanobind's notes on unconstructed instances
    sys.stdout = open(os.devnull, "w")  # serve writes its marker lines here
    logging.basicConfig(stream=sys.stdout)
    import httpx  # noqa: F401  (named by the plain values)
    print(f"calls: {run_batch(sys.argv[1], int(sys.argv[2]))}", file=sys.stderr)
