"""A standing guard against crashes: every function, method, slot and field of
the native modules is called with hostile values (wrong types, extreme numbers,
NaN, deep and cyclic containers, subclasses whose dunders raise, answer the
wrong type, drop the fields of self or make the call again from inside it,
unconstructed or foreign instances as self), and each call on an instance is
followed by a plain method call or a pickle and copy round trip of it. Python exceptions are the expected
answer; a signal or a hang fails.

Each module is one batch in a fresh interpreter, its arguments drawn from the
stub's signatures. Rerun one by hand with
``PYTHONHASHSEED=0 python tests/test_fuzz.py MODULE SEED``; every call is
logged to calls.log in the working directory before it is made.
"""

import ast, copy, faulthandler, functools, gc, io, itertools, logging, os, pickle, subprocess, sys
import threading, types, warnings
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, Phase, given, settings, strategies as st  # noqa: E402

MODULES = {"overflow": 16, "cargo": 28, "_pacer": 60, "serve": 60, "pool": 16}  # max_examples each
SEED = 20261207
SCALE = float(os.environ.get("CORVID_FUZZ_SCALE", "1"))  # more examples for a longer hunt by hand
# Not called: serve_loop blocks on its input file; overflow() and start() start the sampling
# thread and a trace hook, _install_hook sets a process-wide trace function; _loop and _run
# loop until stopped; _TurnAlive.__enter__ starts its thread; _retry_sleep is time.sleep.
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
BENIGN = (("_SigKey", "('f.py', 'f', 1)"), ("_OverflowMonitor", "_running_monitor()"), ("FrameType", "None"),
          ("Reason", "_mod('overflow').Reason.NOT_HEAVY"), ("Action", "_mod('overflow').Action.LOCAL"),
          ("Response", "httpx.Response(400, json={'detail': 'x'})"), ("Callable", "lambda *a, **k: 1"),
          ("Handler", "lambda *a: 'ok'"), ("Thunk", "lambda: 1"), ("TextIO", "io.StringIO('{}\\nx\\n')"),
          ("bytes", "b'xy'"), ("bool", "True"), ("int", "2"), ("float", "0.5"), ("_Timeout", "0.5"),
          ("str", "'x'"), ("dict", "{}"), ("Mapping", "{}"), ("list", "[]"), ("Iterable", "['a']"),
          ("tuple", "()"), ("type", "int"), ("Any", "1"))
STUBS, DEEP, FOLLOW, SELF, CALL, JUNK = {}, {}, {}, [None], [], []
LOCK = type(threading.Lock())


def _vandalise():
    """Drops every field of the call's self, as code run from inside a method might."""
    obj = SELF[0]
    for name in STUBS.get(type(obj).__module__.rpartition(".")[2], {}).get(type(obj).__name__) or ():
        for drop in (lambda: delattr(obj, name), lambda: setattr(obj, name, None)):
            try:
                drop()
                break
            except Exception:
                pass
    if type(getattr(obj, "__dict__", None)) is dict:
        obj.__dict__.clear()
    gc.collect(0)
    JUNK[:] = [[i] * (i % 7) for i in range(300)]  # reuses what was freed


def _lock_held():
    """A plain lock of self's or of a module is held: the call holds it by design while it runs
    user code, and a re-entry would wait on itself as it would in Python."""
    obj = SELF[0]
    names = STUBS.get(type(obj).__module__.rpartition(".")[2], {}).get(type(obj).__name__) or ()
    held = [getattr(obj, n, None) for n in names] + [v for m in list(sys.modules) if m.startswith("corvid.")
                                                     for v in vars(sys.modules[m]).values()]
    return any(type(x) is LOCK and x.locked() for x in held)


def _reenter():
    """Makes the call under way again from inside itself, once."""
    if len(CALL) == 1 and not _lock_held():
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
        _vandalise() if mode == "mutate" else _reenter() if mode == "reenter" else None
        if mode == "raise":
            raise Boom
        return eval(WRONG[wrong])
    return type(f"Hostile{base}", (eval(base),), dict.fromkeys(DUNDERS, answer))


def value(d):
    """The object a description stands for, built fresh."""
    kind, *a = d
    if kind in ("list", "tuple", "set", "dict"):
        items = [value(x) for x in a[0]]
        if kind == "dict":
            pairs = zip(items[::2], items[1::2])
            items = [(k if getattr(type(k), "__hash__", None) else repr(k), v) for k, v in pairs]
        try:
            return eval(kind)(items)
        except Exception:
            return items
    if kind == "cycle":
        lst, dct = [1], {"text": "t"}
        lst += [lst, dct]
        dct.update(turn=dct, x=lst)
        return lst if a[0] else dct
    if kind == "deep":  # built once: too slow to build per call
        if a[0] not in DEEP:
            DEEP[a[0]] = functools.reduce(lambda inner, _: [inner], range(a[0]), [])
        return DEEP[a[0]]
    return {"atom": lambda: eval(a[0]), "sub": lambda: _subclass(*a)(*BASES[a[0]]),
            "inst": lambda: instance(*a), "benign": lambda: benign(*a)}[kind]()


def benign(ann, name):
    if "url" in name:
        return URL
    if "path" in name:
        return os.path.join(os.getcwd(), "in.jsonl")
    return next((eval(src) for key, src in BENIGN if key in ann), None)


def _mod(name):
    return __import__(f"corvid.{name}", fromlist=["_"])


def _running_monitor():
    mon = _mod("overflow")._OverflowMonitor(policy="always")  # no load gate, so no thread
    mon.start(None)
    return mon


def instance(modname, clsname, how, fields=()):
    """A class's instance: built from plain arguments, unconstructed, or either with fields replaced."""
    cls = getattr(_mod(modname), clsname)
    try:
        if how == "new":
            obj = cls.__new__(cls)
        else:
            params = STUBS[modname].get(f"{clsname}.__init__", [])[1:]
            obj = cls(*[benign(p[3], p[0]) for p in params if p[1] == "pos" and not p[2]],
                      **{p[0]: benign(p[3], p[0]) for p in params if p[1] == "kw" and not p[2]})
        for name, v in fields:
            setattr(obj, name, value(v))
        return obj
    except Exception:
        return object()


def stubs(modname):
    """Parameters per stubbed name: [(name, "pos"|"kw"|"var", has_default, annotation)], and class fields."""
    out = {}

    def params(f):
        a, ann = f.args, lambda p: ast.unparse(p.annotation or ast.Constant("Any"))
        pos = a.posonlyargs + a.args
        return ([(p.arg, "pos", i >= len(pos) - len(a.defaults), ann(p)) for i, p in enumerate(pos)]
                + [(p.arg, "kw", d is not None, ann(p)) for p, d in zip(a.kwonlyargs, a.kw_defaults)]
                + [("args", "var", True, "Any")] * bool(a.vararg))

    with open(os.path.join(os.path.dirname(_mod(modname).__file__), f"{modname}.pyi")) as f:
        body = ast.parse(f.read()).body
    for node in body:
        if isinstance(node, ast.FunctionDef):
            out[node.name] = params(node)
        elif isinstance(node, ast.ClassDef):
            out[node.name] = [n.target.id for n in node.body if isinstance(n, ast.AnnAssign)]
            out[node.name] += [n.name for n in node.body if isinstance(n, ast.FunctionDef) and n.decorator_list]
            out.update({f"{node.name}.{n.name}": params(n) for n in node.body if isinstance(n, ast.FunctionDef)})
    return out


ATOM = st.sampled_from(ATOMS).map(lambda s: ("atom", s))
MODES = ["raise", "wrong", "mutate", "reenter"]
SUB = st.tuples(st.just("sub"), st.sampled_from(list(BASES)), st.sampled_from(MODES), st.integers(0, len(WRONG) - 1))
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
    return st.one_of(st.sampled_from(insts), fields.map(lambda f: ("inst", modname, clsname, "good", tuple(f))),
                     HOSTILE)


def targets(modname, mod):
    """(label, callable or (class, field), parameters after self or None, self strategy or None)."""
    stub = STUBS[modname]
    out = [(n, f, stub.get(n), None) for n, f in vars(mod).items()
           if callable(f) and not n.startswith("__") and not isinstance(f, type)]
    for cname in classes(mod):
        cls, selfs = getattr(mod, cname), self_values(modname, mod, cname)
        FOLLOW[cname] = [("_roundtrip", [])]
        out.append((cname, cls, (stub.get(f"{cname}.__init__") or [None])[1:] or None, None))
        for n, f in vars(cls).items():
            params = stub[f"{cname}.{n}"][1:] if f"{cname}.{n}" in stub else None
            if n in ("__new__", "__init_subclass__", "__subclasshook__", "__class_getitem__"):
                continue
            if hasattr(f, "__set__") or n in (stub.get(cname) or ()):
                out.append((f"{cname}.{n}=", (cls, n), None, selfs))
            elif callable(f):
                out.append((f"{cname}.{n}", f, params, selfs))
                if params is not None and f"{cname}.{n}" not in SKIP and n not in ("__init__", "__setstate__"):
                    FOLLOW.setdefault(cname, []).append((n, [p for p in params if not p[2]]))
    return [t for t in out if t[0].rstrip("=") not in SKIP]


def draw_call(data, params):
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
        d = data.draw(st.one_of(HOSTILE, HOSTILE, st.just(None))) if focus < 0 else None
        d = data.draw(HOSTILE) if i == focus else d or ("benign", ann, name)
        if kind == "pos" and not keyword:
            args.append(d)
        elif kind != "var":
            kwargs[name] = d
    return args + [data.draw(HOSTILE)] * (data.draw(st.integers(0, 15)) == 0), kwargs


def _roundtrip(obj):
    return pickle.loads(pickle.dumps(obj)), copy.copy(obj), copy.deepcopy(obj)


def quietly(f, *args):
    try:
        f(*args)
    except KeyboardInterrupt:
        raise
    except BaseException:
        pass


def call(fn, values, kw, nargs):
    """Calls fn, or reads (no argument), assigns (one) or deletes (more) a field, through its
    descriptor when self is foreign; iterators are drained a little and results printed."""
    if isinstance(fn, tuple):
        cls, name = fn
        desc, obj = vars(cls).get(name), values[0]
        via = None if isinstance(obj, cls) or not hasattr(desc, "__set__") else type(desc)
        if nargs == 1:
            return via.__set__(desc, obj, values[1]) if via else setattr(obj, name, values[1])
        if nargs > 1:
            return via.__delete__(desc, obj) if via else delattr(obj, name)
        res = via.__get__(desc, obj, cls) if via else getattr(obj, name)
    else:
        CALL[:] = [(fn, values, kw)]
        res = fn(*values, **kw)
    if hasattr(res, "__next__"):
        list(itertools.islice(res, 20))
    repr(res)


def run_batch(modname, seed):
    log, mod, calls = open("calls.log", "w"), _mod(modname), itertools.count(1)
    STUBS[modname] = stubs(modname)
    if modname == "cargo":
        mod._retry_sleep = lambda s: None
    try:  # an offload finds no gateway: the client's would start worker processes
        import corvid.client
        corvid.client.GateWay = _boom
    except ImportError:
        pass

    def note(line):
        log.write(line + "\n")
        log.flush()

    for label, fn, params, selfs in targets(modname, mod):
        @settings(max_examples=int(MODULES[modname] * SCALE), database=None, deadline=None,
                  phases=[Phase.generate], suppress_health_check=list(HealthCheck))
        @hypothesis.seed(seed)
        @given(st.data())
        def one(data):
            self_d = [data.draw(selfs)] if selfs is not None else []
            args, kwargs = draw_call(data, params)
            note(f"{label}({', '.join(map(repr, self_d + args))}, **{kwargs!r})")
            CALL.clear()
            values = []

            def first():
                values.extend(value(d) for d in self_d + args)
                SELF[0] = values[0] if values else None
                call(fn, values, {k: value(v) for k, v in kwargs.items()}, len(args))

            quietly(first)
            then = FOLLOW.get(label.partition(".")[0]) if self_d and values else None
            if then:  # whatever state the call left, the next method must cope with it
                name, plain = then[data.draw(st.integers(0, len(then) - 1))]
                note(f"  then .{name}(<plain arguments>)")
                plain = [values[0]] + [benign(p[3], p[0]) for p in plain]
                quietly(lambda: call(getattr(type(values[0]), name, None) or _roundtrip, plain, {}, 0))
            if next(calls) % 200 == 0:
                gc.collect()
        one()
    gc.collect()
    return next(calls) - 1


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
