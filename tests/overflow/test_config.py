"""Configuration of corvid.overflow: environment readers, import-time
constants, policy resolution and the decision vocabulary."""
import copy
import decimal
import enum
import gc
import json
import logging
import os
import pickle
import subprocess
import sys
import textwrap

import pytest

import corvid
import corvid.overflow as ov

_PACKAGE_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))


def _clean_env(**overrides):
    env = {k: v for k, v in os.environ.items()
           if not k.startswith("CORVID_OVERFLOW_") and k != "CUDA_VISIBLE_DEVICES"}
    env["PYTHONPATH"] = os.pathsep.join(filter(None, [_PACKAGE_ROOT, env.get("PYTHONPATH")]))
    env.update(overrides)
    return env


def _import_constants(names, **env):
    """Import corvid.overflow in a fresh interpreter with `env` and return the
    named module attributes (lists for tuples and sets)."""
    code = textwrap.dedent(f"""
        import json
        import corvid.overflow as ov
        def plain(v):
            if isinstance(v, (tuple, list)): return list(v)
            if isinstance(v, frozenset): return sorted(v)
            return v
        print(json.dumps({{n: plain(getattr(ov, n)) for n in {list(names)!r}}}))
    """)
    out = subprocess.run([sys.executable, "-c", code], env=_clean_env(**env),
                         capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    return json.loads(out.stdout)


# --------------------------------------------------------------------------
# built-in token lists and sets

@pytest.mark.parametrize("name, size, first, last", [
    ("_HEAVY_LIBS", 37, "torch", "trimesh"),
    ("_COMPUTE_TOKENS", 32, "@", ".minimize("),
    ("_NAME_TOKENS", 30, "train", "benchmark"),
    ("_LOCAL_READ_TOKENS", 22, "open(", ".scandir("),
    ("_SIDE_EFFECT_TOKENS", 53, "torch.save(", ".publish("),
    ("_GPU_SRC_TOKENS", 15, ".cuda(", "jax.device"),
])
def test_builtin_token_lists(name, size, first, last):
    tokens = getattr(ov, name)
    assert isinstance(tokens, tuple)
    assert len(tokens) == size
    assert len(set(tokens)) == size, "a built-in list holds a duplicate"
    assert (tokens[0], tokens[-1]) == (first, last)
    assert all(isinstance(t, str) and t for t in tokens)


def test_token_lists_keep_exact_characters():
    # Quotes, blanks and case are part of the tokens (case-sensitive matching).
    assert ov._GPU_SRC_TOKENS[1:5] == (".to('cuda", '.to("cuda', 'device="cuda', "device='cuda")
    assert {"global ", "nonlocal ", "urllib.request", "shutil."} <= set(ov._SIDE_EFFECT_TOKENS)
    assert {"PIL", "cv2", "sentence_transformers", "pytorch_lightning"} <= set(ov._HEAVY_LIBS)
    assert "Image.open(" in ov._LOCAL_READ_TOKENS and "image.open(" not in ov._LOCAL_READ_TOKENS


def test_derived_and_fixed_sets():
    assert ov._HEAVY_ROOTS == {lib.partition(".")[0] for lib in ov._HEAVY_LIBS}
    assert ov._RESERVED == frozenset({"gpu", "gpu_count", "cpu", "memory", "provider", "timeout",
                                      "python_version", "workspace", "spot", "pip_packages"})
    assert isinstance(ov._RESERVED, frozenset)
    assert set(ov._IMMUTABLE_ATOMS) == {int, float, complex, bool, str, bytes, type(None)}
    assert isinstance(True, ov._IMMUTABLE_ATOMS) and not isinstance([], ov._IMMUTABLE_ATOMS)
    assert ov._UNPICKLABLE_TYPES is None  # built lazily on first use


def test_misc_module_objects():
    assert ov._logger is logging.getLogger("corvid.overflow")
    assert ov._DEFAULT_API_URL == "http://127.0.0.1:8765"
    assert type(ov._UNSET) is object and ov._UNSET is not None
    assert (ov._GPU_FREE_MIN, ov._GPU_OTHERS_MIN) == (8.0, 60.0)


def test_default_api_url_matches_pool():
    pool = pytest.importorskip("corvid.pool")
    assert ov._DEFAULT_API_URL == pool.DEFAULT_API_URL


# --------------------------------------------------------------------------
# Action, Reason, Decision

REASONS = ["POLICY_OFF", "NOT_HEAVY", "DEMOTED", "NOT_OVERLOADED", "LOOP_HOT", "COOLDOWN",
           "UNPICKLABLE", "TOO_LARGE", "LOCAL_IO", "SIDE_EFFECT", "GENERATOR", "LIVE_CUDA",
           "UNSYNCABLE_MUTATION", "INCOMPATIBLE", "UNPROVEN", "SELF_MUTATION", "OFFLOAD_OK"]


def test_enumerations():
    for cls in (ov.Action, ov.Reason):
        assert issubclass(cls, enum.Enum) and not issubclass(cls, str)
        assert cls.__module__ == "corvid.overflow"
    assert [(m.name, m.value) for m in ov.Action] == [("OFFLOAD", "offload"), ("LOCAL", "local")]
    assert [m.name for m in ov.Reason] == REASONS
    assert all(m.value == m.name.lower() for m in ov.Reason)
    assert ov.Action.LOCAL != "local"  # a plain enumeration, not a text subtype
    for member in (ov.Action.OFFLOAD, ov.Reason.LIVE_CUDA):
        assert pickle.loads(pickle.dumps(member)) is member


def test_decision_shape():
    d = ov.Decision(ov.Action.LOCAL, ov.Reason.DEMOTED)
    assert (d.action, d.reason) == (ov.Action.LOCAL, ov.Reason.DEMOTED)
    k = ov.Decision(reason=ov.Reason.COOLDOWN, action=ov.Action.OFFLOAD)
    assert (k.action, k.reason) == (ov.Action.OFFLOAD, ov.Reason.COOLDOWN)
    assert ov.Decision.__slots__ == ("action", "reason")
    assert not hasattr(d, "__dict__")
    with pytest.raises(AttributeError):
        d.note = "x"
    d.reason = ov.Reason.UNPROVEN  # the slots themselves are writable
    assert d.reason is ov.Reason.UNPROVEN
    with pytest.raises(TypeError):
        ov.Decision(ov.Action.LOCAL)
    with pytest.raises(TypeError):
        ov.Decision(ov.Action.LOCAL, ov.Reason.DEMOTED, "extra")


def test_decision_has_identity_semantics():
    a, b = ov._local(ov.Reason.NOT_HEAVY), ov._local(ov.Reason.NOT_HEAVY)
    assert a is not b and a != b
    assert (a.action, a.reason) == (b.action, b.reason) == (ov.Action.LOCAL, ov.Reason.NOT_HEAVY)
    assert len({a, b}) == 2
    assert ov._OFFLOAD.action is ov.Action.OFFLOAD and ov._OFFLOAD.reason is ov.Reason.OFFLOAD_OK
    assert isinstance(ov._OFFLOAD, ov.Decision) and isinstance(a, ov.Decision)


def test_decision_copy_pickle_and_gc():
    d = ov._local(ov.Reason.TOO_LARGE)
    pickled = [pickle.loads(pickle.dumps(d, p)) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
    for clone in (copy.copy(d), copy.deepcopy(d), *pickled):
        assert clone is not d
        assert (clone.action, clone.reason) == (ov.Action.LOCAL, ov.Reason.TOO_LARGE)
    # Fields are visible to the collector, so a decision inside a cycle is freed.
    box = []
    cyc = ov.Decision(box, None)
    box.append(cyc)
    assert gc.is_tracked(cyc) and box in gc.get_referents(cyc)
    probe = ov.Decision(None, None)
    box.append(probe)
    before = sys.getrefcount(probe)
    del box, cyc
    gc.collect()
    assert sys.getrefcount(probe) == before - 1


# --------------------------------------------------------------------------
# environment readers (they read the environment when called)

VAR = "CORVID_OVERFLOW_TEST_VALUE"
SENTINEL = object()


@pytest.mark.parametrize("text, expected", [
    ("1e3", 1000.0), (" +2.5\n", 2.5), ("-0.75", -0.75), ("1_000", 1000.0),
    ("nan", SENTINEL), ("inf", SENTINEL), ("-inf", SENTINEL), ("abc", SENTINEL), ("", SENTINEL),
    ("1e999", SENTINEL),
])
def test_env_float(monkeypatch, text, expected):
    monkeypatch.setenv(VAR, text)
    got = ov._env_float(VAR, SENTINEL)
    assert got is expected if expected is SENTINEL else (got == expected and type(got) is float)


@pytest.mark.parametrize("text, expected", [
    ("2.9", 2), ("-1.5", -1), ("1e3", 1000), (" 7 ", 7), ("nan", SENTINEL), ("x", SENTINEL),
    ("1e30", int(1e30)),
])
def test_env_int(monkeypatch, text, expected):
    monkeypatch.setenv(VAR, text)
    got = ov._env_int(VAR, SENTINEL)
    assert got is expected if expected is SENTINEL else (got == expected and type(got) is int)


@pytest.mark.parametrize("text, expected", [
    (" YES ", True), ("1", True), ("On", True), ("true", True),
    ("", False), ("0", False), ("no", False), ("maybe", False), ("1.0", False),
])
def test_env_bool(monkeypatch, text, expected):
    monkeypatch.setenv(VAR, text)
    # An unknown word reads as false, not as the default.
    assert ov._env_bool(VAR, SENTINEL) is expected


@pytest.mark.parametrize("reader", [ov._env_float, ov._env_int, ov._env_bool, ov._env_tokens])
@pytest.mark.parametrize("default", [SENTINEL, None])
def test_unset_variable_returns_default_unchanged(monkeypatch, reader, default):
    monkeypatch.delenv(VAR, raising=False)
    assert reader(VAR, default) is default


class Odd(str):
    """A str whose methods answer what no str would."""

    def strip(self):
        return self

    def lower(self):
        return 1.5


def test_odd_strings_from_callers_and_environment(monkeypatch):
    # anything may come back from a str subclass: it names no policy and no truth
    with pytest.raises(ValueError):
        ov._resolve_policy(Odd("auto"), False, False)
    monkeypatch.setattr(os, "environ", {VAR: Odd("yes"), "CORVID_OVERFLOW_POLICY": Odd("off")})
    assert ov._env_bool(VAR, True) is False
    assert ov._resolve_policy(None, False, False) == "auto"
    assert (ov._is_finite(None), ov._local(None).reason, ov._sig_key(None)) == (True, None, ("None", "?", 0))


@pytest.mark.parametrize("text, added", [
    ("foo, torch,\nbar,,", ("foo", "bar")),
    ("Torch", ("Torch",)),                 # case matters
    ("x,x, y ,x", ("x", "y")),             # first occurrence kept
    ("a\n\nb", ("a", "b")),
])
def test_env_tokens_extends(monkeypatch, text, added):
    base = ("torch", "numpy")
    monkeypatch.setenv(VAR, text)
    assert ov._env_tokens(VAR, base) == base + added


@pytest.mark.parametrize("text", ["", " , ,\n, ", "\n"])
def test_env_tokens_only_separators_keeps_base(monkeypatch, text):
    base = ("torch",)
    monkeypatch.setenv(VAR, text)
    assert ov._env_tokens(VAR, base) is base


@pytest.mark.parametrize("val, expected", [
    (1.5, True), (0, True), (10 ** 400, True), (-1e308, True), (True, True),
    (float("nan"), False), (float("inf"), False), (float("-inf"), False),
    (decimal.Decimal("NaN"), False), (decimal.Decimal("-Infinity"), False), (decimal.Decimal("3.1"), True),
])
def test_is_finite(val, expected):
    assert ov._is_finite(val) is expected


# --------------------------------------------------------------------------
# policy resolution

@pytest.mark.parametrize("policy, t_set, g_set, env, expected", [
    ("  Always ", False, False, None, "always"),
    ("OFF", True, True, "auto", "off"),          # the argument beats the environment
    (None, False, True, None, "loaded"),
    (None, True, False, None, "loaded"),
    (None, False, False, None, "auto"),
    (None, False, True, "bogus", "loaded"),      # bad environment value ignored
    (None, False, True, "", "loaded"),
    (None, False, True, " Always\n", "always"),  # the environment beats the threshold rule
    (None, False, False, "off", "off"),
])
def test_resolve_policy(monkeypatch, policy, t_set, g_set, env, expected):
    if env is None:
        monkeypatch.delenv("CORVID_OVERFLOW_POLICY", raising=False)
    else:
        monkeypatch.setenv("CORVID_OVERFLOW_POLICY", env)
    assert ov._resolve_policy(policy, t_set, g_set) == expected


@pytest.mark.parametrize("policy, shown", [(3, "3"), ("fast", "'fast'"), ("", "''"), (b"auto", "b'auto'")])
def test_resolve_policy_rejects(monkeypatch, policy, shown):
    monkeypatch.setenv("CORVID_OVERFLOW_POLICY", "auto")  # never consulted for a given argument
    with pytest.raises(ValueError) as err:
        ov._resolve_policy(policy, False, False)
    assert str(err.value) == f"overflow(policy={shown}) must be one of ['always', 'auto', 'loaded', 'off']"


# --------------------------------------------------------------------------
# import-time constants (fresh interpreters)

DEFAULTS = {
    "_CONTAINER_SCAN_CAP": 4096, "_GLOBAL_SCAN_CAP": 512, "_SIZE_DEPTH": 4,
    "_MAX_PAYLOAD_BYTES_DEFAULT": 268435456, "_MIN_SECONDS_DEFAULT": 2.0,
    "_COOLDOWN_BASE_DEFAULT": 30.0, "_COOLDOWN_CAP_DEFAULT": 600.0, "_LOOP_HOT_WINDOW": 20.0,
    "_LOOP_HOT_MAX": 3, "_HOOK_DEADLINE": 8.0, "_HOOK_CALL_CAP": 20000, "_OFFLOAD_FAIL_MAX": 3,
    "_GPU_FREE_MIN": 8.0, "_GPU_OTHERS_MIN": 60.0, "_PROC_RSS_MIN": 25.0, "_MEM_ON": 90.0,
    "_MEM_OFF": 80.0, "_EFFECT_VISIT_CAP": 500, "_SAMPLE_INTERVAL": 0.25, "_HYST_ON": 4,
    "_HYST_OFF": 4, "_CPU_ON_MARGIN": 5.0, "_CPU_OFF_MARGIN": 15.0,
}
NUMERIC_VARS = [
    "SCAN_CAP", "GLOBAL_SCAN_CAP", "SIZE_DEPTH", "MAX_PAYLOAD_MB", "MIN_SECONDS", "COOLDOWN",
    "COOLDOWN_CAP", "LOOP_WINDOW", "LOOP_MAX", "HOOK_DEADLINE", "HOOK_CALL_CAP", "OFFLOAD_FAIL_MAX",
    "PROC_RSS_MIN", "MEM_ON", "MEM_OFF", "EFFECT_CAP", "SAMPLE_INTERVAL", "HYSTERESIS_ON",
    "HYSTERESIS_OFF", "CPU_ON_MARGIN", "CPU_OFF_MARGIN", "GPU_FREE_MIN", "GPU_OTHERS_MIN",
]


def _types_of(values):
    return {k: type(v).__name__ for k, v in values.items()}


def test_constant_defaults():
    got = _import_constants(DEFAULTS)
    assert got == DEFAULTS
    assert _types_of(got) == _types_of(DEFAULTS)


@pytest.mark.parametrize("garbage", ["nan", "inf", "-inf", "many", "", "1e3x"])
def test_malformed_numbers_fall_back_to_defaults(garbage):
    env = {f"CORVID_OVERFLOW_{v}": garbage for v in NUMERIC_VARS}
    assert _import_constants(DEFAULTS, **env) == DEFAULTS


@pytest.mark.parametrize("var, text, const, expected", [
    ("LOOP_MAX", "2.9", "_LOOP_HOT_MAX", 2),
    ("LOOP_MAX", "nan", "_LOOP_HOT_MAX", 3),
    ("SAMPLE_INTERVAL", "0", "_SAMPLE_INTERVAL", 0.01),
    ("SAMPLE_INTERVAL", "-3", "_SAMPLE_INTERVAL", 0.01),
    ("SAMPLE_INTERVAL", "0.5", "_SAMPLE_INTERVAL", 0.5),
    ("MAX_PAYLOAD_MB", "0.5", "_MAX_PAYLOAD_BYTES_DEFAULT", 524288),
    ("MAX_PAYLOAD_MB", "1e305", "_MAX_PAYLOAD_BYTES_DEFAULT", 268435456),  # overflows: no crash
    ("SCAN_CAP", "-1.9", "_CONTAINER_SCAN_CAP", -1),
    ("HOOK_DEADLINE", " 1e1 ", "_HOOK_DEADLINE", 10.0),
    ("COOLDOWN_CAP", "+12", "_COOLDOWN_CAP_DEFAULT", 12.0),
    ("GPU_FREE_MIN", "50", "_GPU_FREE_MIN", 8.0),  # fixed constant, read per use instead
])
def test_import_time_value(var, text, const, expected):
    got = _import_constants([const], **{f"CORVID_OVERFLOW_{var}": text})[const]
    assert got == expected and type(got) is type(expected)


def test_token_variables_extend_lists_at_import():
    got = _import_constants(
        ["_HEAVY_LIBS", "_HEAVY_ROOTS", "_COMPUTE_TOKENS", "_GPU_SRC_TOKENS"],
        CORVID_OVERFLOW_HEAVY_LIBS="foo, torch,\nbar,,pkg.sub",
        CORVID_OVERFLOW_COMPUTE_TOKENS=" , \n",
        CORVID_OVERFLOW_GPU_TOKENS=".hip(",
    )
    assert got["_HEAVY_LIBS"] == list(ov._HEAVY_LIBS) + ["foo", "bar", "pkg.sub"]
    assert set(got["_HEAVY_ROOTS"]) == set(ov._HEAVY_ROOTS) | {"foo", "bar", "pkg"}
    assert got["_COMPUTE_TOKENS"] == list(ov._COMPUTE_TOKENS)
    assert got["_GPU_SRC_TOKENS"] == list(ov._GPU_SRC_TOKENS) + [".hip("]


def test_constants_are_fixed_after_import_and_feed_load_gate_defaults():
    code = textwrap.dedent("""
        import os, time
        import corvid.overflow as ov
        os.environ["CORVID_OVERFLOW_HYSTERESIS_ON"] = "9"
        g = ov._LoadGate(clock=time.monotonic)
        print(ov._HYST_ON, g._n_on, g._n_off, g._sample_interval, g._mem_on, g._mem_off)
    """)
    env = _clean_env(CORVID_OVERFLOW_HYSTERESIS_ON="7", CORVID_OVERFLOW_HYSTERESIS_OFF="2.5",
                     CORVID_OVERFLOW_SAMPLE_INTERVAL="0.001", CORVID_OVERFLOW_MEM_ON="95",
                     CORVID_OVERFLOW_MEM_OFF="bad")
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["7", "7", "2", "0.01", "95.0", "80.0"]


def test_long_token_variable_costs_memory_in_proportion(tmp_path):
    # as long as one variable may be: a dense automaton took kilobytes per character
    code = textwrap.dedent("""
        import os, resource
        from corvid import overflow as ov
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        def f(x):
            return zz_last_token_zz(x)
        print(ov._OverflowMonitor()._predict_heavy(f),
              (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) * 1024 / 120_000)
    """)
    tokens = ",".join(f"{i:x}{chr(33 + i % 90)}tok{'~' * 9}" for i in range(6_000)) + ",zz_last_token_zz"
    env = dict(_clean_env(), CORVID_OVERFLOW_HEAVY_LIBS=tokens, CORVID_OVERFLOW_COMPUTE_TOKENS="(")
    script = tmp_path / "long_tokens.py"  # a file: the prediction reads the function's source
    script.write_text(code)
    out = subprocess.run([sys.executable, str(script)], env=env, capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr
    heavy, per_char = out.stdout.split()
    assert heavy == "True" and float(per_char) < 100


def test_surrogates_in_token_variable_do_not_break_import():
    # A value that is not valid UTF-8 reaches Python with surrogate escapes.
    env = _clean_env()
    env_b = {k.encode(): v.encode() for k, v in env.items()}
    env_b[b"CORVID_OVERFLOW_NAME_TOKENS"] = b"caf\xff,ok"
    code = "import corvid.overflow as ov; print(ascii(ov._NAME_TOKENS[-2:]))"
    out = subprocess.run([sys.executable, "-c", code], env=env_b, capture_output=True, text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "('caf\\udcff', 'ok')"
