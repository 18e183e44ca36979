"""Offload safety: which calls may leave the process, decided from the
function's source, its callees and its arguments, with every memo kept."""

import subprocess
import sys
import threading

import pytest

from corvid import overflow as ov

R = ov.Reason


@pytest.fixture
def mon():
    made = ov._OverflowMonitor(policy="always", verbose=False, sample_source=lambda: (1.0, 1.0))
    yield made
    made.stop()


def gen():
    yield 1


async def coro():
    pass


def reads(path):
    return len(path)  # open( in a comment is enough


def writes(df):
    df.to_csv("out")


def calls_writer(df):
    return writes(df)


def sets_attr(cfg):
    cfg.lr = 0.1


def plain(xs, n=1):
    return len(xs) * n


def calls_plain_thrice(xs):
    return plain(xs) + plain(xs) + plain(xs)


class Flaky(str):
    fail = True

    def __reduce__(self):
        if Flaky.fail:
            raise TypeError("not today")
        return (str, (str(self),))


@pytest.mark.parametrize("func, args, reason", [
    (gen, (), R.GENERATOR),
    (coro, (), R.GENERATOR),
    (len, ([],), R.INCOMPATIBLE),                      # no source to read
    (reads, ("f",), R.LOCAL_IO),
    (writes, ([],), R.SIDE_EFFECT),
    (sets_attr, ({},), R.SELF_MUTATION),
    (calls_writer, ([],), R.SIDE_EFFECT),              # through the user callee
    (plain, ([[1]],), R.UNSYNCABLE_MUTATION),          # a list of lists cannot be written back
    (plain, (threading.Lock(),), R.UNSYNCABLE_MUTATION),  # state transfer comes before pickling
    (plain, (Flaky("x"),), R.UNPICKLABLE),
    (plain, ([1, 2], 3), R.OFFLOAD_OK),
])
def test_first_refusal_decides(mon, func, args, reason):
    assert mon._offload_safety(func, args, {}).reason is reason
    assert mon._offload_safety(func, args, {}).reason is reason   # memoised answers agree


def test_sizes_closures_memos_and_the_effect_cap(mon, tmp_path, monkeypatch):
    mon.max_payload_bytes = 1000
    assert mon._offload_safety(plain, (b"x" * 1001,), {}).reason is R.TOO_LARGE
    assert mon._offload_safety(plain, (b"x" * 1000,), {}).reason is R.OFFLOAD_OK
    mon.max_payload_bytes = 10   # summing stops once past the limit
    assert mon._cheap_size((b"x" * 11, b"y" * 100), {}) == 11
    assert ov._obj_size([b"x" * 100] * 10000) == 1_000_000     # extrapolated from 4096 items
    nested = [[[[[1, 2, 3]]]]]
    assert ov._obj_size(nested) == sys.getsizeof(nested[0][0][0][0])   # depth 4: shallow

    handle = open(tmp_path / "f", "w")

    def uses_handle():
        return handle.name

    assert mon._offload_safety(uses_handle, (), {}).reason is R.UNPICKLABLE
    assert ov._sig_key(uses_handle) in mon._offload_incompatible   # barred for good
    assert mon._fast_unpicklable(plain, (), {"xs": handle}) == "arg"
    assert mon._fast_unpicklable(plain, (1, [handle]), {}) is None     # containers are not entered
    handle.close()

    assert mon._picklable((Flaky("x"),), {}) is False
    Flaky.fail = False   # the first verdict for these argument types stands
    try:
        assert mon._picklable((Flaky("y"),), {}) is False
        assert mon._pickle_cache[("Flaky",)] is False
        assert mon._picklable((Flaky("y"),), {"n": 1}) is True   # another signature
    finally:
        Flaky.fail = True

    assert mon._transitive_effect(calls_plain_thrice) is False
    monkeypatch.setattr(ov, "_EFFECT_VISIT_CAP", 2)
    assert mon._transitive_full(calls_plain_thrice) is True      # three resolved calls
    assert mon._transitive_effect(calls_plain_thrice) is False   # the memo stands
    np = pytest.importorskip("numpy")
    assert ov._obj_size({"k" * 50: np.zeros(4)}) == 32                  # values only


@pytest.mark.parametrize("src, mutates", [
    ("def f(cfg):\n    cfg.lr = 0.1", True),
    ("def f(a, /, b):\n    a.x += 1", True),
    ("    def m(this):\n        del this.x", True),
    ("def f(s):\n    s.items[0] = 1", True),
    ("def f(s, a):\n    a[s.i]: int = 1", True),
    ("async def f(s):\n    s.n = 1", True),
    ("def f(cfg):\n    cfg['lr'] = 0.1", False),
    ("def f(xs):\n    xs.append(1)", False),
    ("def f(a):\n    b.x = a", False),
    ("def f(*a):\n    a.x = 1", False),
    ("def f(:", False),
    ("", False),
])
def test_self_mutation(src, mutates):
    assert ov._self_mutates(src) is mutates


HOSTILE = """
from corvid import overflow as ov
mon, deep, args = ov._OverflowMonitor(policy="off", verbose=False), [], []
for _ in range(200000):
    deep = [deep]
ov._SIZE_DEPTH = 10**9
try:
    mon._cheap_size((deep,), {})
except RecursionError:
    print("deep: RecursionError")
class Meta(type):
    def __hash__(cls):
        args.clear()
        return 1
args[:] = [Meta("A", (), {})(), 1, 2]
print("types:", mon._picklable(args, {}), mon._pickle_cache)
"""


def test_hostile_arguments_raise_instead_of_crashing():
    done = subprocess.run([sys.executable, "-c", HOSTILE], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.splitlines() == ["deep: RecursionError", "types: True {('A', 'int', 'int'): True}"]
