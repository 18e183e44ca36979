"""Heaviness prediction: signature keys, source retrieval, library references,
the strict and relaxed predictions with their memo maps, install prefixes and
the periodic rescan."""

import functools
import importlib
import inspect
import linecache
import math
import os
import random
import site
import subprocess
import sys
import sysconfig
import textwrap
import time
import types

import pytest

import corvid.overflow as ov

HERE = os.path.abspath(__file__)
# Stand-in heavy packages, imported from a temporary folder (never the real ones).
FAKE_NUMPY = {} if "numpy" in sys.modules else {"numpy/__init__.py": ""}


class Probe:
    """A callable without code: its key is (repr, __name__, 0), so a test can
    put any source text for it into the monitor's source memo."""

    def __init__(self, name, tag):
        if name is not None:
            self.__name__ = name
        self._tag = tag

    def __repr__(self):
        return f"<probe {self._tag}>"


def probe_with_source(mon, name, src, tag=None):
    probe = Probe(name, tag or f"{name}|{src}")
    mon._src_cache[ov._sig_key(probe)] = src
    return probe


@pytest.fixture
def monitor():
    return ov._OverflowMonitor(policy="off")


@pytest.fixture
def user_modules(tmp_path, monkeypatch):
    """Imports modules written to a temporary folder (plus extra files such as
    stand-in packages); forgets every module imported from there afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    before = set(sys.modules)
    counter = [0]

    def make(source, files=None):
        for rel, text in (files or {}).items():
            (tmp_path / rel).parent.mkdir(parents=True, exist_ok=True)
            (tmp_path / rel).write_text(textwrap.dedent(text))
        counter[0] += 1
        name = f"hv_user_{counter[0]}"
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(source))
        importlib.invalidate_caches()
        return importlib.import_module(name)

    yield make
    for name in set(sys.modules) - before:
        del sys.modules[name]


def run_matcher_property(mod, mon, cases, seed):
    """Both predictions and the library hit against plain `tok in text` tests
    over generated sources and names. Returns how often each signal was true,
    so a caller can check that every outcome was exercised."""
    libs, compute, names = list(mod._HEAVY_LIBS), list(mod._COMPUTE_TOKENS), list(mod._NAME_TOKENS)
    rng = random.Random(seed)
    pieces = []
    for t in libs + compute + names + ["while ", "for ", "range(", "enumerate("]:
        pieces += [t, t[:-1], t[1:], t.upper(), t.capitalize(), t.swapcase()]
    pieces = [p for p in pieces if p]
    pieces += list("abcxyz .,:(@)\n\t=_") + ["é", "漢字", "🙂", "İ", "ß", "\udcff", "while", "for"]
    counts = dict.fromkeys(["lib", "compute", "named", "loops", "strict", "relaxed"], 0)
    for i in range(cases):
        src = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 14)))
        name = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 3)))
        for variant, (s, n) in enumerate([(src, name), (src, "Train"), (src + "\nwhile ", name)]):
            probe = probe_with_source(mon, n, s, f"{seed}-{i}-{variant}")
            sig = {
                "lib": any(t in s for t in libs),
                "compute": any(t in s for t in compute),
                "named": any(t in n.lower() for t in names),
                "loops": "while " in s or ("for " in s and ("range(" in s or "enumerate(" in s)),
            }
            sig["strict"] = sig["lib"] and (sig["compute"] or sig["named"] or sig["loops"])
            sig["relaxed"] = sig["lib"] or (sig["loops"] and (sig["compute"] or sig["named"]))
            got = (mon._predict_heavy(probe), mon._relaxed_heavy(probe), mon._lib_hit(probe, s))
            assert got == (sig["strict"], sig["relaxed"], sig["lib"]), (s, n, sig)
            for k, v in sig.items():
                counts[k] += v
    return counts


# --------------------------------------------------------------------------
# signature keys and source


def plain(x):
    return x


class Holder:
    def method(self):
        return 1


def test_sig_key_of_functions_uses_their_code():
    assert ov._sig_key(plain) == (HERE, "plain", plain.__code__.co_firstlineno)
    assert ov._sig_key(Holder.method) == (HERE, "Holder.method", Holder.method.__code__.co_firstlineno)
    assert ov._sig_key(Holder().method) == ov._sig_key(Holder.method)  # bound: same code

    def nested():
        return 0

    assert ov._sig_key(nested)[1] == "test_sig_key_of_functions_uses_their_code.<locals>.nested"
    ns = {}
    exec("f = lambda: 1", ns)
    assert ov._sig_key(ns["f"]) == ("<string>", "<lambda>", 1)
    # Code-like objects are read by attribute; the plain name stands in for
    # a missing qualified name.
    code = types.SimpleNamespace(co_filename="f.py", co_name="short", co_firstlineno=7)
    assert ov._sig_key(types.SimpleNamespace(__code__=code)) == ("f.py", "short", 7)
    code.co_qualname = "Outer.short"
    assert ov._sig_key(types.SimpleNamespace(__code__=code)) == ("f.py", "Outer.short", 7)


def test_sig_key_of_objects_without_code():
    part = functools.partial(plain, 1)
    none_code = types.SimpleNamespace(__code__=None, __name__="nc")
    for obj, name in [(len, "len"), (math.sqrt, "sqrt"), (Holder, "Holder"), (part, "?"),
                      (none_code, "nc"), (Probe(None, "anon"), "?")]:
        assert ov._sig_key(obj) == (repr(obj), name, 0)


def test_safe_getsource_returns_source_or_empty():
    assert ov._safe_getsource(plain) == inspect.getsource(plain)
    assert ov._safe_getsource(Holder) == inspect.getsource(Holder)
    ns = {}
    exec("f = lambda: 1", ns)
    for no_source in (len, math.sqrt, ns["f"], Probe("x", "src")):
        assert ov._safe_getsource(no_source) == ""

    class Broken:  # inspect fails with an error other than "no source"
        @property
        def __wrapped__(self):
            raise RuntimeError("unwrap failed")

    with pytest.raises(RuntimeError, match="unwrap failed"):
        ov._safe_getsource(Broken())


def test_get_src_reads_each_function_once(monitor, user_modules, tmp_path):
    mod = user_modules("def first():\n    return 1\n")
    src = monitor._get_src(mod.first)
    assert src == "def first():\n    return 1\n"
    assert monitor._src_cache[ov._sig_key(mod.first)] == src
    (tmp_path / (mod.__name__ + ".py")).write_text("def first():\n    return torch.dot(1)\n")
    linecache.clearcache()
    assert monitor._get_src(mod.first) == src
    ns = {}
    exec("g = lambda: 2", ns)
    assert monitor._get_src(ns["g"]) == ""
    assert monitor._src_cache[ov._sig_key(ns["g"])] == ""


# --------------------------------------------------------------------------
# module roots and references


class _Exploding:
    @property
    def __module__(self):
        raise RuntimeError("no module for you")


@pytest.mark.parametrize(
    "obj, heavy",
    [(types.ModuleType("numpy"), True), (types.ModuleType("numpy.linalg"), True),
     (types.ModuleType("PIL.Image"), True), (types.ModuleType("numpyx"), False),
     (types.ModuleType("Torch"), False), (types.ModuleType(""), False),
     (types.ModuleType("mylib.numpy"), False),
     (type("DataFrame", (), {"__module__": "pandas.core.frame"})(), True),
     (type("DataFrame", (), {"__module__": "pandas.core.frame"}), True),
     (type("Helper", (), {"__module__": "pandas_helpers"})(), False),
     (type("Odd", (), {"__module__": 5})(), False), (object(), False)],
)
def test_module_root_heavy(obj, heavy):
    assert ov._module_root_heavy(obj) is heavy


def test_module_root_heavy_edge_objects():
    nameless = types.ModuleType("torch")
    del nameless.__name__
    assert ov._module_root_heavy(nameless) is False
    with pytest.raises(RuntimeError):
        ov._module_root_heavy(_Exploding())


def test_refs_heavy_lib_through_globals_aliases_and_closures(user_modules):
    mod = user_modules(
        """
        import numpy as np
        import trimesh as tm
        from trimesh import exchange
        from trimesh.exchange import export
        LIMIT = None

        class Frame:
            __module__ = "pandas.core.frame"

        frame = Frame()

        def via_alias(x):
            return np.dot(x, x)

        def via_submodule(x):
            return exchange.export(x)

        def via_function(x):
            return export(x)

        def via_instance():
            return frame

        def plain(x):
            return LIMIT, missing_name, len(x)

        def outer():
            import trimesh as local_tm
            return lambda: local_tm

        def outer_empty():
            def inner():
                return later
            later = None
            del later
            return inner
        """,
        files={"trimesh/__init__.py": "", "trimesh/exchange.py": "def export(x):\n    return x\n", **FAKE_NUMPY},
    )
    for name in ("via_alias", "via_submodule", "via_function", "via_instance"):
        assert ov._refs_heavy_lib(getattr(mod, name)) is True, name
    assert "numpy" not in inspect.getsource(mod.via_alias)
    assert ov._refs_heavy_lib(mod.plain) is False
    assert ov._refs_heavy_lib(mod.outer()) is True
    assert ov._refs_heavy_lib(mod.outer_empty()) is False


def test_refs_heavy_lib_odd_callables():
    for obj in (len, math.sqrt, Probe("train", "nocode"), types.SimpleNamespace(__code__=None)):
        assert ov._refs_heavy_lib(obj) is False
    # Code but no __globals__: only the closure is looked at.
    code = types.SimpleNamespace(co_names=("np",), co_freevars=("lib",))
    obj = types.SimpleNamespace(__code__=code, __closure__=(types.CellType(types.ModuleType("jax")),))
    assert ov._refs_heavy_lib(obj) is True
    # A value whose root test fails is skipped; the scan goes on.
    for names, heavy in [("boom, np", True), ("boom", False)]:
        ns = {"boom": _Exploding(), "np": types.ModuleType("numpy")}
        exec(f"def f():\n    return {names}\n", ns)
        assert ov._refs_heavy_lib(ns["f"]) is heavy


def _many_names_function(count, heavy_at=None, heavy_cell=False):
    """A function referring to globals g0..g{count-1} (harmless values except
    the heavy one if asked) and to one closure variable."""
    ns = {f"g{i}": i for i in range(count)}
    if heavy_at is not None:
        ns[f"g{heavy_at}"] = types.ModuleType("torch")
    ns["cell_value"] = types.ModuleType("torch") if heavy_cell else 0
    refs = ", ".join(f"g{i}" for i in range(count))
    exec(f"def outer():\n    c = cell_value\n    def f():\n        return ({refs},), c\n    return f\n", ns)
    return ns["outer"]()


def test_refs_heavy_lib_stops_at_the_global_scan_cap():
    cap = ov._GLOBAL_SCAN_CAP
    assert cap == 512
    assert ov._refs_heavy_lib(_many_names_function(cap, heavy_at=cap - 1)) is True
    assert ov._refs_heavy_lib(_many_names_function(cap + 1, heavy_at=cap)) is False
    # The closure shares the budget: past it, the heavy cell is never read.
    assert ov._refs_heavy_lib(_many_names_function(cap - 1, heavy_cell=True)) is True
    assert ov._refs_heavy_lib(_many_names_function(cap, heavy_cell=True)) is False
    assert ov._refs_heavy_lib(_many_names_function(cap + 88, heavy_cell=True)) is False


# --------------------------------------------------------------------------
# library hit and predictions


def test_lib_hit_text_first_then_memoised_references(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("def f(x):\n    return np.dot(x, x)\n", ns)
    f, key = ns["f"], ov._sig_key(ns["f"])
    assert monitor._lib_hit(f, "# uses numpy for speed") is True
    assert key not in monitor._libref_cache  # a text hit is not remembered
    assert monitor._lib_hit(f, "return np.dot(x, x)") is True
    assert monitor._libref_cache[key] is True
    ns["np"] = types.ModuleType("mathutils")
    assert monitor._lib_hit(f, "return np.dot(x, x)") is True
    # A failing reference scan (code without co_names) counts as no hit.
    g = types.SimpleNamespace(__code__=types.SimpleNamespace(co_filename="x.py", co_name="g", co_firstlineno=1))
    assert monitor._lib_hit(g, "") is False
    assert monitor._libref_cache[ov._sig_key(g)] is False


def test_train_model_calling_fit_is_strictly_heavy(monitor, user_modules):
    mod = user_modules("""
        class LinearRegression:
            __module__ = "sklearn.linear_model._base"

            def fit(self, x):
                return self

        model = LinearRegression()

        def train_model(x):
            return model.fit(x)

        def refit(m, x):
            return m.fit(x)
    """)
    # No library name in the text: the global `model` is an object of a heavy
    # library, ".fit(" is a compute token, and the name says "train".
    key = ov._sig_key(mod.train_model)
    assert monitor._predict_heavy(mod.train_model) and monitor._relaxed_heavy(mod.train_model)
    assert (monitor._predict_cache[key], monitor._relaxed_cache[key], monitor._libref_cache[key]) == (True,) * 3
    assert not monitor._predict_heavy(mod.refit) and not monitor._relaxed_heavy(mod.refit)


def test_loops_and_names_without_library(monitor, user_modules):
    mod = user_modules("""
        def simulate_paths(n):
            total = 0
            for i in range(n):
                total += i * i
            return total

        def tally(n):
            total = 0
            for i in range(n):
                total += i
            return total
    """)
    assert monitor._predict_heavy(mod.simulate_paths) is False
    assert monitor._relaxed_heavy(mod.simulate_paths) is True
    assert monitor._relaxed_heavy(mod.tally) is False  # a loop, but nothing else


@pytest.mark.parametrize(
    "name, src, strict, relaxed",
    [("resize", "# faster than numpy\nimg.transform(2)", True, True),  # library in a comment
     ("f", "import NumPy\nx.fit(1)", False, False), ("f", "import numpy\nx.FIT(1)", False, True),
     ("f", "x = Torch.dot(a)", False, False), ("f", "for i in enumerate(x): x.fit(i)", False, True),
     ("spin_fit", "while(True): x.fit(1)", False, False),  # "while(" is no loop marker
     ("f", "for i in items: x @ i", False, False), ("f", "numpy\nwhile x: pass", True, True)],
)
def test_source_signals_are_case_sensitive_substrings(monitor, name, src, strict, relaxed):
    probe = probe_with_source(monitor, name, src)
    assert (monitor._predict_heavy(probe), monitor._relaxed_heavy(probe)) == (strict, relaxed)


@pytest.mark.parametrize(
    "name, named",
    [("Train", True), ("PRETRAIN_all", True), ("myFitter", True), ("Tokenizer", True),
     ("trai_n", False), ("", False), (None, False), ("İnference", False)],
)
def test_name_tokens_match_the_lowercased_name(monitor, name, named):
    # With a loop in the text and no library, the relaxed answer is `named`.
    assert monitor._relaxed_heavy(probe_with_source(monitor, name, "while x:\n    pass\n")) is named


def test_predictions_are_memoised_per_key(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("def fit_all(x):\n    return np.stack(x)\n", ns)
    f, key = ns["fit_all"], ov._sig_key(ns["fit_all"])
    assert monitor._predict_heavy(f) is True
    ns["np"] = types.ModuleType("statistics")
    assert monitor._predict_heavy(f) is True
    monitor._predict_cache[key] = False  # the memo is what later calls read
    assert monitor._predict_heavy(f) is False
    monitor._learned_heavy.add(key)  # ...unless the key was learned heavy
    assert monitor._predict_heavy(f) is True
    ns2 = {}
    exec("def fit_all(x):\n    return x\n", ns2)
    assert ov._sig_key(ns2["fit_all"]) == key  # same place, same key, same answer
    assert monitor._relaxed_heavy(ns2["fit_all"]) is True


def test_sources_that_cannot_be_read_depend_on_references(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("predict_fn = lambda x: np.dot(x, x)", ns)
    assert monitor._get_src(ns["predict_fn"]) == ""
    assert monitor._relaxed_heavy(ns["predict_fn"]) is True
    assert monitor._predict_heavy(ns["predict_fn"]) is False
    for builtin in (len, math.sqrt, print):
        assert not monitor._predict_heavy(builtin) and not monitor._relaxed_heavy(builtin)


def test_decorated_functions_classes_and_methods(monitor, user_modules):
    mod = user_modules("""
        import functools

        def timed(fn):
            @functools.wraps(fn)
            def wrapper(*a, **k):
                return fn(*a, **k)
            return wrapper

        @timed
        def embed_batch(xs):
            import torch
            return list(xs)

        class Trainer:
            def fit(self, data):
                import sklearn
                return data

            def describe(self):
                return "trainer"
    """)
    # The wrapper's code gives the key; the text is read through __wrapped__.
    assert ov._sig_key(mod.embed_batch)[1] == "timed.<locals>.wrapper"
    assert "import torch" in monitor._get_src(mod.embed_batch)
    assert monitor._predict_heavy(mod.embed_batch) is True
    assert monitor._predict_heavy(mod.Trainer) is True
    assert monitor._predict_heavy(mod.Trainer.fit) is True
    assert monitor._predict_heavy(mod.Trainer().fit) is True
    assert monitor._relaxed_heavy(mod.Trainer.describe) is False


def test_predictions_match_plain_substring_tests(monitor):
    counts = run_matcher_property(ov, monitor, cases=1500, seed=20240607)
    assert all(150 < hits < 4350 for hits in counts.values()), counts


def test_extended_token_lists_match_plain_substring_tests(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    env.update({
        "CORVID_OVERFLOW_HEAVY_LIBS": "foo.bar, Ünï\nq\u00e9,torch,,\udcffraw",
        "CORVID_OVERFLOW_COMPUTE_TOKENS": ".zap(,→,a",
        "CORVID_OVERFLOW_NAME_TOKENS": "ünï,x y,ss",
        "CORVID_OVERFLOW_GLOBAL_SCAN_CAP": "3",
    })
    script = tmp_path / "check.py"
    script.write_text(textwrap.dedent(f"""
        import importlib.util, types
        module_spec = importlib.util.spec_from_file_location("heaviness_tests", {HERE!r})
        t = importlib.util.module_from_spec(module_spec)
        module_spec.loader.exec_module(t)
        import corvid.overflow as ov
        assert ov._HEAVY_LIBS[-4:] == ("foo.bar", "Ünï", "qé", "\\udcffraw"), ov._HEAVY_LIBS
        assert ov._module_root_heavy(types.ModuleType("foo.other"))
        counts = t.run_matcher_property(ov, ov._OverflowMonitor(policy="off"), cases=400, seed=7)
        assert all(v > 10 for v in counts.values()), counts
        ns = dict(a=1, b=2, c=types.ModuleType("foo"), d=types.ModuleType("foo"))
        exec("def third():\\n    return a, b, c\\n", ns)
        exec("def fourth():\\n    return a, b, x, d\\n", ns)
        print(ov._refs_heavy_lib(ns["third"]), ov._refs_heavy_lib(ns["fourth"]))
    """))
    out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["True", "False"]


# --------------------------------------------------------------------------
# installation prefixes and the periodic rescan


def test_exclude_prefixes_cover_stdlib_site_packages_and_this_package():
    prefixes = ov._compute_exclude_prefixes()
    assert isinstance(prefixes, tuple) and len(set(prefixes)) == len(prefixes)
    assert all(isinstance(p, str) and os.path.isabs(p) for p in prefixes)
    assert [len(p) for p in prefixes] == sorted((len(p) for p in prefixes), reverse=True)
    expected = {os.path.abspath(sysconfig.get_paths()[k]) for k in ("stdlib", "platstdlib", "purelib", "platlib")}
    expected |= {os.path.abspath(p) for p in site.getsitepackages()}
    expected |= {os.path.abspath(site.getusersitepackages()), os.path.dirname(os.path.abspath(ov.__file__))}
    assert set(prefixes) == expected
    assert any(os.path.abspath(inspect.getfile(textwrap)).startswith(p) for p in prefixes)
    assert not any(HERE.startswith(p) for p in prefixes)


class FakeClock:
    def __init__(self, now=100.0):
        self.now = now

    def __call__(self):
        return self.now


@pytest.fixture
def watched(user_modules):
    """A monitor watching a user module's namespace for a late definition."""
    mod = user_modules("""
        import numpy

        def fit_model(x):
            return numpy.asarray(x).fit(x)

        def light(x):
            return x
    """, files=FAKE_NUMPY)
    clock = FakeClock()
    mon = ov._OverflowMonitor(policy="off", clock=clock)
    mon._running = True  # the watch walks only for a running monitor
    mon._caller_globals = mod.__dict__
    mon._forward_names = {"fit_model", "light", "late_one"}
    mon._forward_open = True
    mon._hook_started_at = 100.0
    yield mon, mod, clock
    mon._running = False
    mon._unwrap_all()


def is_wrapped(obj):
    return bool(getattr(obj, "_overflow_wrapped", False))


def test_rescan_wraps_within_the_deadline_until_nothing_is_pending(watched):
    mon, mod, clock = watched
    original = mod.fit_model
    clock.now = 103.0
    mon._periodic_rescan()
    assert is_wrapped(mod.fit_model) and not is_wrapped(mod.light)
    assert mon._forward_open is True  # late_one is still missing
    mod.late_one = lambda: None
    mon._periodic_rescan()
    assert mon._forward_open is False
    mon._unwrap_all()
    assert mod.fit_model is original


def test_rescan_closes_the_watch_at_the_deadline_for_good(watched):
    mon, mod, clock = watched
    clock.now = 100.0 + ov._HOOK_DEADLINE
    mon._periodic_rescan()
    assert mon._forward_open is False and not is_wrapped(mod.fit_model)
    clock.now = 101.0
    mon._periodic_rescan()
    assert not is_wrapped(mod.fit_model)


@pytest.mark.parametrize("field, value", [("_forward_open", False), ("_caller_globals", None)])
def test_rescan_does_nothing_without_an_open_watch(watched, field, value):
    mon, mod, clock = watched
    setattr(mon, field, value)
    clock.now = 101.0
    mon._periodic_rescan()
    assert not is_wrapped(mod.fit_model)
    assert mon._forward_open is (field != "_forward_open")


def test_load_gate_thread_runs_the_rescan(user_modules):
    mod = user_modules("""
        import numpy

        def _fit_impl(x):
            return numpy.asarray(x)
    """, files=FAKE_NUMPY)
    clock = FakeClock()
    mon = ov._OverflowMonitor(policy="auto", clock=clock, sample_source=lambda: (1.0, 1.0))
    mon.start(None)
    try:
        mon._forward_names = {"fit_later"}
        mon._caller_globals = mod.__dict__
        mon._hook_started_at = clock.now
        mod.fit_later = mod._fit_impl
        mon._forward_open = True  # the sampling thread takes it from here
        give_up = time.monotonic() + 10.0
        while mon._forward_open and time.monotonic() < give_up:
            time.sleep(0.01)
        assert mon._forward_open is False
        assert is_wrapped(mod.fit_later) and not is_wrapped(mod._fit_impl)
    finally:
        mon.stop()
    assert mod.fit_later is mod._fit_impl
