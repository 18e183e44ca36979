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
import types

import pytest

import corvid.overflow as ov

HERE = os.path.abspath(__file__)


# --------------------------------------------------------------------------
# helpers


class Probe:
    """A callable without code: its key is (repr, __name__, 0), so a test can
    place any source text for it in the monitor's source memo."""

    def __init__(self, name, tag):
        if name is not None:
            self.__name__ = name
        self._tag = tag

    def __repr__(self):
        return f"<probe {self._tag}>"

    def __call__(self):
        return None


@pytest.fixture
def monitor():
    return ov._OverflowMonitor(policy="off")


@pytest.fixture
def user_modules(tmp_path, monkeypatch):
    """Write modules (and fake heavy packages) into a temporary folder on
    sys.path and import them as real files; removes every module that the
    test imported from there afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    before = set(sys.modules)
    counter = [0]

    def make(source, files=None):
        for rel, text in (files or {}).items():
            path = tmp_path / rel
            path.parent.mkdir(parents=True, exist_ok=True)
            path.write_text(textwrap.dedent(text))
        counter[0] += 1
        name = f"hv_user_{counter[0]}_{os.getpid()}"
        (tmp_path / f"{name}.py").write_text(textwrap.dedent(source))
        importlib.invalidate_caches()
        return importlib.import_module(name)

    yield make
    for name in set(sys.modules) - before:
        sys.modules.pop(name, None)


def reference_signals(src, name, libs, compute, names):
    lower = name.lower()
    return {
        "lib": any(t in src for t in libs),
        "compute": any(t in src for t in compute),
        "named": any(t in lower for t in names),
        "loops": "while " in src or ("for " in src and ("range(" in src or "enumerate(" in src)),
    }


def run_matcher_property(mod, mon, cases, seed):
    """Compare both predictions against plain substring tests over generated
    sources and names; returns how often each signal was true, so callers can
    see the generator actually exercised every branch."""
    libs, compute, names = list(mod._HEAVY_LIBS), list(mod._COMPUTE_TOKENS), list(mod._NAME_TOKENS)
    rng = random.Random(seed)
    tokens = libs + compute + names + ["while ", "for ", "range(", "enumerate("]
    pieces = []
    for t in tokens:
        pieces += [t, t[:-1], t[1:], t.upper(), t.capitalize(), t.swapcase()]
    pieces = [p for p in pieces if p]
    pieces += list("abcxyz .,:(@)\n\t=_") + ["é", "漢字", "🙂", "İ", "ß", "\udcff", "while", "for", "  "]
    counts = {"lib": 0, "compute": 0, "named": 0, "loops": 0, "strict": 0, "relaxed": 0}
    for i in range(cases):
        src = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 14)))
        name = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 3)))
        for variant, (s, n) in enumerate([(src, name), (src, "Train"), (src + "\nwhile ", name)]):
            probe = Probe(n, f"{seed}-{i}-{variant}")
            mon._src_cache[mod._sig_key(probe)] = s
            sig = reference_signals(s, n, libs, compute, names)
            strict = sig["lib"] and (sig["compute"] or sig["named"] or sig["loops"])
            relaxed = sig["lib"] or (sig["loops"] and (sig["compute"] or sig["named"]))
            got = (mon._predict_heavy(probe), mon._relaxed_heavy(probe), mon._lib_hit(probe, s))
            if got != (strict, relaxed, sig["lib"]):
                raise AssertionError(f"source {s!r} name {n!r}: got {got}, want {(strict, relaxed, sig)}")
            for k, v in sig.items():
                counts[k] += v
            counts["strict"] += strict
            counts["relaxed"] += relaxed
    return counts


# --------------------------------------------------------------------------
# signature keys


def plain(x):
    return x


class Holder:
    def method(self):
        return 1

    @staticmethod
    def static():
        return 2


def test_sig_key_of_functions_uses_code_identity():
    assert ov._sig_key(plain) == (HERE, "plain", plain.__code__.co_firstlineno)
    assert ov._sig_key(Holder.method) == (HERE, "Holder.method", Holder.method.__code__.co_firstlineno)
    # A bound method reaches the function's code, so it shares the key.
    assert ov._sig_key(Holder().method) == ov._sig_key(Holder.method)

    def nested():
        return 0

    assert ov._sig_key(nested)[1] == "test_sig_key_of_functions_uses_code_identity.<locals>.nested"
    ns = {}
    exec("f = lambda: 1", ns)
    assert ov._sig_key(ns["f"]) == ("<string>", "<lambda>", 1)


def test_sig_key_of_objects_without_code():
    assert ov._sig_key(len) == (repr(len), "len", 0)
    assert ov._sig_key(math.sqrt) == (repr(math.sqrt), "sqrt", 0)
    assert ov._sig_key(Holder) == (repr(Holder), "Holder", 0)
    anon = Probe(None, "anon")
    assert ov._sig_key(anon) == ("<probe anon>", "?", 0)
    part = functools.partial(plain, 1)
    assert ov._sig_key(part) == (repr(part), "?", 0)
    none_code = types.SimpleNamespace(__code__=None, __name__="nc")
    assert ov._sig_key(none_code) == (repr(none_code), "nc", 0)


def test_sig_key_reads_code_like_objects_by_attribute():
    code_like = types.SimpleNamespace(co_filename="f.py", co_name="short", co_firstlineno=7)
    assert ov._sig_key(types.SimpleNamespace(__code__=code_like)) == ("f.py", "short", 7)
    code_like.co_qualname = "Outer.short"
    assert ov._sig_key(types.SimpleNamespace(__code__=code_like)) == ("f.py", "Outer.short", 7)


def test_sig_key_compares_by_value():
    a, b = ov._sig_key(plain), ov._sig_key(plain)
    assert a == b and hash(a) == hash(b) and {a: 1}[b] == 1


# --------------------------------------------------------------------------
# source retrieval


def test_safe_getsource_returns_source_or_empty():
    assert ov._safe_getsource(plain) == inspect.getsource(plain)
    assert ov._safe_getsource(Holder) == inspect.getsource(Holder)
    ns = {}
    exec("f = lambda: 1", ns)
    for no_source in (len, math.sqrt, ns["f"], Probe("x", "src")):
        assert ov._safe_getsource(no_source) == ""


def test_safe_getsource_lets_other_errors_through():
    class Broken:
        @property
        def __wrapped__(self):
            raise RuntimeError("unwrap failed")

    with pytest.raises(RuntimeError, match="unwrap failed"):
        ov._safe_getsource(Broken())


def test_get_src_reads_each_function_once(monitor, user_modules, tmp_path):
    mod = user_modules("""
        def first():
            return 1
    """)
    src = monitor._get_src(mod.first)
    assert src == "def first():\n    return 1\n"
    assert monitor._src_cache[ov._sig_key(mod.first)] == src
    # The file changes on disk; the memo keeps what was read first.
    path = tmp_path / (mod.__name__ + ".py")
    path.write_text("def first():\n    return torch.dot(1)\n")
    linecache.clearcache()
    assert monitor._get_src(mod.first) == src
    # An unavailable source is remembered as the empty text, too.
    ns = {}
    exec("g = lambda: 2", ns)
    assert monitor._get_src(ns["g"]) == ""
    assert monitor._src_cache[ov._sig_key(ns["g"])] == ""


# --------------------------------------------------------------------------
# module roots and references


@pytest.mark.parametrize(
    "name, heavy",
    [("numpy", True), ("numpy.linalg", True), ("torch.nn.functional", True), ("PIL.Image", True),
     ("numpyx", False), ("pil", False), ("Torch", False), ("", False), ("mylib.numpy", False)],
)
def test_module_root_heavy_for_modules(name, heavy):
    assert ov._module_root_heavy(types.ModuleType(name)) is heavy


def test_module_root_heavy_for_other_objects():
    frame_cls = type("DataFrame", (), {"__module__": "pandas.core.frame"})
    assert ov._module_root_heavy(frame_cls()) is True
    assert ov._module_root_heavy(frame_cls) is True
    assert ov._module_root_heavy(type("Local", (), {"__module__": "pandas_helpers"})()) is False
    assert ov._module_root_heavy(object()) is False  # no __module__ at all
    assert ov._module_root_heavy(type("Odd", (), {"__module__": 5})()) is False
    nameless = types.ModuleType("torch")
    del nameless.__name__
    assert ov._module_root_heavy(nameless) is False


class _Exploding:
    @property
    def __module__(self):
        raise RuntimeError("no module for you")


def test_module_root_heavy_propagates_attribute_errors_of_its_own():
    with pytest.raises(RuntimeError):
        ov._module_root_heavy(_Exploding())


FAKE_LIBS = {
    "trimesh/__init__.py": "def load(p):\n    return p\n",
    "trimesh/exchange.py": "def export(x):\n    return x\n",
    "numpy/__init__.py": "def dot(a, b):\n    return a * b\n",
}


def test_refs_heavy_lib_through_globals_and_aliases(user_modules):
    if "numpy" in sys.modules:
        FAKE = {k: v for k, v in FAKE_LIBS.items() if not k.startswith("numpy")}
    else:
        FAKE = FAKE_LIBS
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
            if LIMIT is None:
                return len(str(x))
            return missing_name

        def outer():
            import trimesh as local_tm

            def inner():
                return local_tm

            return inner

        def outer_empty():
            def inner():
                return later

            later = None
            del later
            return inner
        """,
        files=FAKE,
    )
    for name in ("via_alias", "via_submodule", "via_function", "via_instance"):
        assert ov._refs_heavy_lib(getattr(mod, name)) is True, name
    assert ov._refs_heavy_lib(mod.plain) is False
    assert ov._refs_heavy_lib(mod.outer()) is True  # closure cell holds the module
    assert ov._refs_heavy_lib(mod.outer_empty()) is False  # empty cell skipped
    # Nothing of that was found by reading text.
    assert "numpy" not in inspect.getsource(mod.via_alias)


def test_refs_heavy_lib_without_code_or_globals():
    for obj in (len, math.sqrt, Probe("train", "nocode"), types.SimpleNamespace(__code__=None)):
        assert ov._refs_heavy_lib(obj) is False
    # A code-carrying callable without __globals__: only its closure counts.
    cells = (types.CellType(types.ModuleType("jax")),)
    obj = types.SimpleNamespace(__code__=types.SimpleNamespace(co_names=(), co_freevars=("heavy_cell",)),
                                __closure__=cells)
    assert ov._refs_heavy_lib(obj) is True


def test_refs_heavy_lib_skips_names_whose_root_test_fails():
    ns = {"boom": _Exploding(), "np": types.ModuleType("numpy")}
    exec("def f():\n    return boom, np\n", ns)
    assert ov._refs_heavy_lib(ns["f"]) is True
    ns2 = {"boom": _Exploding()}
    exec("def f():\n    return boom\n", ns2)
    assert ov._refs_heavy_lib(ns2["f"]) is False


def _many_names_function(count, heavy_at=None, heavy_cell=False):
    """A function whose code refers to `count` global names g0..g{count-1}
    (all bound to harmless values, except the heavy one if asked), plus one
    closure variable holding a heavy module when heavy_cell is set."""
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
    # Past the cap the closure is never looked at...
    assert ov._refs_heavy_lib(_many_names_function(cap + 88, heavy_cell=True)) is False
    # ...while the closure counts toward the same budget below it.
    assert ov._refs_heavy_lib(_many_names_function(cap - 1, heavy_cell=True)) is True
    assert ov._refs_heavy_lib(_many_names_function(cap, heavy_cell=True)) is False


# --------------------------------------------------------------------------
# library hit and predictions


def test_lib_hit_text_first_then_memoised_references(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("def f(x):\n    return np.dot(x, x)\n", ns)
    f = ns["f"]
    key = ov._sig_key(f)
    # A library name in the text answers at once and is not remembered.
    assert monitor._lib_hit(f, "# uses numpy for speed") is True
    assert key not in monitor._libref_cache
    assert monitor._lib_hit(f, "return np.dot(x, x)") is True
    assert monitor._libref_cache[key] is True
    # Remembered: rebinding the global no longer changes the answer.
    ns["np"] = types.ModuleType("mathutils")
    assert monitor._lib_hit(f, "return np.dot(x, x)") is True
    g = types.SimpleNamespace(__code__=types.SimpleNamespace(co_filename="x.py", co_name="g",
                                                             co_firstlineno=1))
    # The reference scan fails (no co_names): counted as no hit, and stored.
    assert monitor._lib_hit(g, "") is False
    assert monitor._libref_cache[ov._sig_key(g)] is False


def test_lib_hit_rejects_non_text_source(monitor):
    with pytest.raises(TypeError):
        monitor._lib_hit(plain, b"numpy")


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
    # library; ".fit(" is a compute token and the name says "train".
    assert monitor._predict_heavy(mod.train_model) is True
    assert monitor._relaxed_heavy(mod.train_model) is True
    key = ov._sig_key(mod.train_model)
    assert monitor._predict_cache[key] is True and monitor._relaxed_cache[key] is True
    assert monitor._libref_cache[key] is True
    # The same body over an argument touches no heavy library at all.
    assert monitor._predict_heavy(mod.refit) is False
    assert monitor._relaxed_heavy(mod.refit) is False


def test_library_named_in_a_comment_counts(monitor):
    src_ns = {}
    exec("def resize(img):\n    # faster than numpy\n    return img.transform(2)\n", src_ns)
    f = src_ns["resize"]
    monitor._src_cache[ov._sig_key(f)] = "def resize(img):\n    # faster than numpy\n    return img.transform(2)\n"
    assert monitor._predict_heavy(f) is True  # lib by text, compute by ".transform("


def test_simulation_loop_without_library_is_only_relaxed(monitor, user_modules):
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

        def spin():
            while(True):
                return 1
    """)
    assert monitor._predict_heavy(mod.simulate_paths) is False
    assert monitor._relaxed_heavy(mod.simulate_paths) is True
    # A loop alone, with no compute token and no heavy-sounding name.
    assert monitor._relaxed_heavy(mod.tally) is False
    # "while(" is no loop marker (the blank is part of it).
    monitor._src_cache[ov._sig_key(mod.spin)] = "def spin_fit():\n    while(True): x.fit(1)\n"
    assert monitor._relaxed_heavy(mod.spin) is False


@pytest.mark.parametrize(
    "name, named",
    [("Train", True), ("PRETRAIN_all", True), ("myFitter", True), ("Tokenizer", True),
     ("trai_n", False), ("", False), ("İnference", False)],
)
def test_name_tokens_match_the_lowercased_name(monitor, name, named):
    # relaxed with a loop in the source and no library: equals `named`.
    probe = Probe(name, f"name-{name}")
    monitor._src_cache[ov._sig_key(probe)] = "while x:\n    pass\n"
    assert monitor._relaxed_heavy(probe) is named


def test_source_tests_are_case_sensitive(monitor):
    for text, heavy in [("import NumPy\nx.fit(1)", False), ("import numpy\nx.FIT(1)", True),
                        ("x = Torch.dot(a)", False), ("x = torch.Dot(a)", True)]:
        probe = Probe("f", f"case-{text}")
        monitor._src_cache[ov._sig_key(probe)] = text
        assert monitor._relaxed_heavy(probe) is heavy, text


def test_prediction_is_memoised_against_later_changes(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("def fit_all(x):\n    return np.stack(x)\n", ns)
    f = ns["fit_all"]
    assert monitor._predict_heavy(f) is True
    ns["np"] = types.ModuleType("statistics")
    assert monitor._predict_heavy(f) is True
    # The memo map is the source of truth for later calls.
    key = ov._sig_key(f)
    monitor._predict_cache[key] = False
    assert monitor._predict_heavy(f) is False
    monitor._relaxed_cache[key] = True
    ns2 = {}
    exec("def fit_all(x):\n    return x\n", ns2)
    # Same code location, same key: the stored answer applies.
    assert ov._sig_key(ns2["fit_all"]) == key
    assert monitor._relaxed_heavy(ns2["fit_all"]) is True


def test_learned_heavy_wins_over_the_strict_memo(monitor):
    monitor._predict_cache[ov._sig_key(plain)] = False
    assert monitor._predict_heavy(plain) is False
    monitor._learned_heavy.add(ov._sig_key(plain))
    assert monitor._predict_heavy(plain) is True
    assert monitor._relaxed_heavy(len) is False  # relaxed does not consult it


def test_sources_that_cannot_be_read_depend_on_references(monitor):
    ns = {"np": types.ModuleType("numpy")}
    exec("predict_fn = lambda x: np.dot(x, x)", ns)
    f = ns["predict_fn"]
    assert monitor._get_src(f) == ""
    # No text: no compute, name, loop signal; the library reference alone
    # makes it relaxed-heavy but not strictly heavy.
    assert monitor._relaxed_heavy(f) is True
    assert monitor._predict_heavy(f) is False
    for builtin in (len, math.sqrt, print):
        assert monitor._predict_heavy(builtin) is False
        assert monitor._relaxed_heavy(builtin) is False


def test_decorated_functions_classes_and_methods(monitor, user_modules):
    mod = user_modules("""
        import functools
        import time

        def timed(fn):
            @functools.wraps(fn)
            def wrapper(*a, **k):
                t = time.perf_counter()
                try:
                    return fn(*a, **k)
                finally:
                    time.perf_counter() - t
            return wrapper

        @timed
        def embed_batch(xs):
            import torch
            return [x for x in xs]

        class Trainer:
            def fit(self, data):
                import sklearn
                return data

            def describe(self):
                return "trainer"
    """)
    # The wrapper's own code gives the key; the source read through
    # __wrapped__ names the library, and the name is heavy-sounding.
    assert ov._sig_key(mod.embed_batch)[1] == "timed.<locals>.wrapper"
    assert "import torch" in monitor._get_src(mod.embed_batch)
    assert monitor._predict_heavy(mod.embed_batch) is True
    assert monitor._predict_heavy(mod.Trainer) is True  # class text names sklearn, name has "train"
    assert monitor._predict_heavy(mod.Trainer.fit) is True
    assert monitor._predict_heavy(mod.Trainer().fit) is True
    assert monitor._relaxed_heavy(mod.Trainer.describe) is False


def test_predictions_match_plain_substring_tests(monitor):
    counts = run_matcher_property(ov, monitor, cases=1500, seed=20240607)
    for signal, hits in counts.items():
        assert 150 < hits < 4350, (signal, counts)  # both outcomes well represented


def test_extended_token_lists_match_plain_substring_tests(tmp_path):
    env = dict(os.environ)
    env.update({
        "CORVID_OVERFLOW_HEAVY_LIBS": "foo.bar, Ünï\nq\u00e9,torch,,\udcffraw",
        "CORVID_OVERFLOW_COMPUTE_TOKENS": ".zap(,→,a",
        "CORVID_OVERFLOW_NAME_TOKENS": "ünï,x y,ss",
        "CORVID_OVERFLOW_GLOBAL_SCAN_CAP": "3",
        "PYTHONPATH": os.pathsep.join(sys.path),
    })
    script = tmp_path / "check.py"
    script.write_text(textwrap.dedent(f"""
        import importlib.util, types
        spec = importlib.util.spec_from_file_location("heaviness_tests", {HERE!r})
        t = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(t)
        import corvid.overflow as ov
        assert ov._HEAVY_LIBS[-4:] == ("foo.bar", "Ünï", "qé", "\\udcffraw"), ov._HEAVY_LIBS
        assert "foo" in ov._HEAVY_ROOTS
        assert ov._module_root_heavy(types.ModuleType("foo.other"))
        mon = ov._OverflowMonitor(policy="off")
        counts = t.run_matcher_property(ov, mon, cases=400, seed=7)
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
# installation prefixes


def test_exclude_prefixes_cover_stdlib_site_packages_and_this_package():
    prefixes = ov._compute_exclude_prefixes()
    assert isinstance(prefixes, tuple) and prefixes
    assert all(isinstance(p, str) and os.path.isabs(p) for p in prefixes)
    assert len(set(prefixes)) == len(prefixes)
    assert [len(p) for p in prefixes] == sorted((len(p) for p in prefixes), reverse=True)
    expected = {os.path.abspath(sysconfig.get_paths()[k]) for k in ("stdlib", "platstdlib", "purelib", "platlib")}
    expected |= {os.path.abspath(p) for p in site.getsitepackages()}
    expected.add(os.path.abspath(site.getusersitepackages()))
    expected.add(os.path.dirname(os.path.abspath(ov.__file__)))
    assert set(prefixes) == expected
    # The standard library and this test file are told apart by the prefixes.
    assert any(os.path.abspath(inspect.getfile(textwrap)).startswith(p) for p in prefixes)
    assert not any(HERE.startswith(p) for p in prefixes)


def test_monitor_keeps_the_exclude_prefixes(monitor):
    assert tuple(monitor._exclude_prefixes) == ov._compute_exclude_prefixes()


# --------------------------------------------------------------------------
# periodic rescan


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
    """, files={} if "numpy" in sys.modules else {"numpy/__init__.py": ""})
    clock = FakeClock()
    mon = ov._OverflowMonitor(policy="off", clock=clock)
    mon._caller_globals = mod.__dict__
    mon._forward_names = {"fit_model", "light", "late_one"}
    mon._forward_open = True
    mon._hook_started_at = 100.0
    yield mon, mod, clock
    mon._unwrap_all()


def is_wrapped(obj):
    return bool(getattr(obj, "_overflow_wrapped", False))


def test_rescan_wraps_within_the_deadline_until_nothing_is_pending(watched):
    mon, mod, clock = watched
    original = mod.fit_model
    clock.now = 103.0
    mon._periodic_rescan()
    assert is_wrapped(mod.fit_model) and not is_wrapped(mod.light)
    assert mon._forward_open is True  # late_one still missing
    mod.late_one = lambda: None
    mon._periodic_rescan()
    assert mon._forward_open is False
    mon._unwrap_all()
    assert mod.fit_model is original


def test_rescan_closes_the_watch_at_the_deadline(watched):
    mon, mod, clock = watched
    clock.now = 100.0 + ov._HOOK_DEADLINE  # exactly at the deadline: too late
    mon._periodic_rescan()
    assert mon._forward_open is False
    assert not is_wrapped(mod.fit_model)
    clock.now = 101.0  # once closed, never reopened by the rescan
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
