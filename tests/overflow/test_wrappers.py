"""The wrapper types, their fields, binding, serialisation and the remote shims."""

import gc
import os
import pickle
import subprocess
import sys
import textwrap
import types
import weakref

import cloudpickle
import pytest

from corvid import overflow as ov


def plain(a, b=2, *rest, **kw):
    """plain doc"""
    return (a, b, rest, kw)


class Model:
    def __init__(self, value=1):
        self.value = value

    def fit(self, step=1):
        self.value += step
        return self.value


class CallableThing:
    def __call__(self, x):
        return x * 3


@pytest.fixture
def monitor():
    mon = ov._OverflowMonitor(policy="always")
    yield mon
    mon.stop()


@pytest.fixture
def running(monitor):
    monitor.start(None)
    return monitor


def record_dispatch(mon):
    """Replace the monitor's dispatch on this instance only; keep what it saw."""
    seen = []

    def _dispatch(func, args, kwargs, sig, name, thunk, is_method=False):
        seen.append(dict(func=func, args=args, kwargs=kwargs, sig=sig, name=name, is_method=is_method))
        return ("dispatched", thunk())

    mon._dispatch = _dispatch
    return seen


def install_method(cls, name, mon):
    func = cls.__dict__[name]
    setattr(cls, name, ov._OverflowMethod(func, mon, name))
    return func


def set_verdict(mon, func, strict, relaxed=False):
    sig = ov._sig_key(func)
    mon._predict_cache[sig] = strict
    mon._relaxed_cache[sig] = relaxed
    return sig


# --- _OverflowCallable ----------------------------------------------------------


def test_callable_fields_copy_the_metadata(monitor):
    w = ov._OverflowCallable(plain, monitor)
    assert w._original is plain and w._monitor is monitor and w.__wrapped__ is plain
    assert w._sig == ov._sig_key(plain)
    assert (w.__name__, w.__qualname__, w.__module__, w.__doc__) == (
        "plain", "plain", __name__, "plain doc")
    assert w._overflow_wrapped is True
    # copied metadata lives in an ordinary attribute dictionary
    w.extra = 5
    assert vars(w)["extra"] == 5 and vars(w)["__name__"] == "plain"


def test_callable_metadata_of_a_callable_without_names(monitor):
    thing = CallableThing()
    w = ov._OverflowCallable(thing, monitor)
    assert w.__name__ == "func" and w.__qualname__ == "func"
    assert w.__module__ == __name__ and w.__doc__ is None
    assert w(4) == 12


@pytest.mark.parametrize("state", ["created", "stopped", "none"])
def test_callable_calls_the_function_directly_when_not_running(monitor, state):
    seen = record_dispatch(monitor)
    if state == "stopped":
        monitor.start(None)
        monitor.stop()
    w = ov._OverflowCallable(plain, None if state == "none" else monitor)
    assert w(1, 3, 4, k=5) == (1, 3, (4,), {"k": 5})
    assert w(*[7]) == (7, 2, (), {})
    assert seen == []


def test_callable_hands_the_call_to_dispatch_while_running(running):
    seen = record_dispatch(running)
    w = ov._OverflowCallable(plain, running)
    assert w(1, 3, k=5) == ("dispatched", (1, 3, (), {"k": 5}))
    (call,) = seen
    assert call["func"] is plain and call["args"] == (1, 3) and type(call["args"]) is tuple
    assert call["kwargs"] == {"k": 5} and call["sig"] == w._sig
    assert call["name"] == "plain" and call["is_method"] is False


def test_callable_binds_as_the_plain_function_on_a_class(running):
    seen = record_dispatch(running)

    class Holder:
        meth = ov._OverflowCallable(Model.fit, running)

    h = Holder()
    bound = h.meth
    assert isinstance(bound, types.MethodType) and bound.__func__ is Model.fit
    assert Holder.meth is Model.fit
    assert seen == []


def test_callable_reduces_to_the_plain_function(monitor):
    w = ov._OverflowCallable(plain, monitor)
    assert w.__reduce__() == (ov._identity, (plain,))
    assert cloudpickle.loads(cloudpickle.dumps(w)) is plain


def test_wrapper_fields_can_be_set(monitor):
    w = ov._OverflowCallable(plain, monitor)
    w._original = CallableThing()
    assert w(2) == 6
    w._monitor = None
    assert w(1) == 3


# --- _OverflowMethod / _BoundOverflow ------------------------------------------------


@pytest.fixture
def model_cls(monitor):
    cls = type("Model", (), {"__init__": Model.__init__, "fit": Model.__dict__["fit"],
                             "__module__": __name__, "__qualname__": "Model"})
    install_method(cls, "fit", monitor)
    return cls


def test_method_fields(monitor, model_cls):
    m = model_cls.__dict__["fit"]
    assert m._func is Model.__dict__["fit"] and m._monitor is monitor and m._name == "fit"
    assert m._sig == ov._sig_key(Model.fit)
    assert (m.__name__, m.__qualname__, m.__doc__) == ("fit", "Model.fit", None)
    assert m._overflow_wrapped is True
    assert m.__reduce__() == (ov._identity, (Model.fit,))


@pytest.mark.parametrize("heavy", [False, True])
def test_method_binds_through_instances_only(running, model_cls, heavy):
    set_verdict(running, Model.fit, strict=heavy)
    seen = record_dispatch(running)
    obj = model_cls(1)
    assert obj.fit(3) == (("dispatched", 4) if heavy else 4)
    assert [c["args"] for c in seen] == ([(obj, 3)] if heavy else [])
    assert all(c["is_method"] for c in seen)
    # the descriptor has no call of its own; class access, however often repeated
    # on one code line (where the interpreter specialises), is the plain function
    with pytest.raises(TypeError):
        model_cls.__dict__["fit"](obj)

    def access():
        return model_cls.fit

    assert all(access() is Model.fit for _ in range(10))
    assert model_cls.fit.__code__ is Model.fit.__code__


def test_light_method_binds_ordinarily(running, model_cls):
    set_verdict(running, Model.fit, strict=False, relaxed=False)
    obj = model_cls()
    bound = obj.fit
    assert type(bound) is types.MethodType and bound.__self__ is obj
    assert obj.fit(2) == 3


@pytest.mark.parametrize("strict,relaxed", [(True, False), (False, True)])
def test_heavy_method_binds_as_bound_overflow(running, model_cls, strict, relaxed):
    sig = set_verdict(running, Model.fit, strict=strict, relaxed=relaxed)
    seen = record_dispatch(running)
    obj = model_cls(10)
    bound = obj.fit
    assert type(bound) is ov._BoundOverflow
    assert bound._func is Model.fit and bound._obj is obj and bound._monitor is running
    assert bound._sig == sig and bound._name == "fit"
    assert bound.__func__ is Model.fit and bound.__self__ is obj and bound.__name__ == "fit"
    assert bound._overflow_wrapped is True
    assert bound(5) == ("dispatched", 15) and obj.value == 15
    (call,) = seen
    assert call["args"] == (obj, 5) and call["kwargs"] == {} and call["is_method"] is True
    assert call["name"] == "fit"


@pytest.mark.parametrize("barred_in", ["_demoted", "_offload_incompatible"])
def test_demoted_or_barred_method_binds_ordinarily(running, model_cls, barred_in):
    sig = set_verdict(running, Model.fit, strict=True)
    getattr(running, barred_in).add(sig)
    assert type(model_cls().fit) is types.MethodType


def test_learned_heavy_overrides_a_cached_light_verdict(running, model_cls):
    sig = set_verdict(running, Model.fit, strict=False)
    running._learned_heavy.add(sig)
    assert type(model_cls().fit) is ov._BoundOverflow


def test_method_binding_uses_instance_overrides_of_the_prediction(running, model_cls):
    set_verdict(running, Model.fit, strict=False)
    asked = []
    running._predict_heavy = lambda f: asked.append(f) or True
    assert type(model_cls().fit) is ov._BoundOverflow
    assert asked == [Model.fit]


def test_failing_prediction_gives_the_ordinary_binding(running, model_cls):
    def boom(func):
        raise RuntimeError("prediction broke")

    running._predict_heavy = boom
    assert type(model_cls().fit) is types.MethodType


def test_stopped_monitor_binds_ordinarily_and_bound_calls_directly(running, model_cls):
    set_verdict(running, Model.fit, strict=True)
    seen = record_dispatch(running)
    obj = model_cls()
    bound = obj.fit
    running.stop()
    assert type(obj.fit) is types.MethodType
    assert bound(step=4) == 5 and seen == []


def test_bound_equality_and_hash(running, model_cls):
    set_verdict(running, Model.fit, strict=True)
    a, b = model_cls(), model_cls()
    first, second, other = a.fit, a.fit, b.fit
    assert first is not second and first == second and hash(first) == hash(second)
    assert first != other and not (first == other)
    assert first != Model.fit and first != a
    assert len({first, second, other}) == 2
    assert hash(first) == hash((id(Model.fit), id(a)))


@pytest.mark.parametrize("dumps,loads", [(pickle.dumps, pickle.loads),
                                         (cloudpickle.dumps, cloudpickle.loads)])
def test_bound_reduces_to_a_fresh_lookup(running, dumps, loads):
    install_method(Model, "fit", running)
    try:
        set_verdict(running, Model.__dict__["fit"]._func, strict=True)
        obj = Model(7)
        bound = obj.fit
        assert bound.__reduce__()[0] is getattr
        restored = loads(dumps(bound))
        assert type(restored) is ov._BoundOverflow
        assert restored.__self__ is not obj and restored.__self__.value == 7
        assert restored(1) == 8
    finally:
        Model.fit = Model.__dict__["fit"]._func


def test_bound_forwards_keyword_and_many_positional_arguments(monitor):
    def many(self, *args, **kw):
        return self, args, kw

    obj = object()
    b = ov._BoundOverflow(many, obj, monitor, ov._sig_key(many), "many")
    args = tuple(range(12))
    assert b(*args, z=1) == (obj, args, {"z": 1})
    assert b() == (obj, (), {})


# --- collection and references ---------------------------------------------------


def test_wrappers_and_monitor_are_collectable():
    mon = ov._OverflowMonitor(policy="always")
    mon.start(None)
    obj = Model()
    w = ov._OverflowCallable(plain, mon)
    meth = ov._OverflowMethod(Model.fit, mon, "fit")
    b = ov._BoundOverflow(Model.fit, obj, mon, ov._sig_key(Model.fit), "fit")
    # cycles through the monitor's maps and the wrappers' own dictionaries
    mon._wrapped[id(plain)] = (plain, "plain", {"plain": w})
    w.me = w
    b.me = b
    meth.me = meth
    refs = [weakref.ref(x) for x in (mon, w, meth, b)]
    mon.stop()
    del mon, w, meth, b, obj
    gc.collect()
    assert [r() for r in refs] == [None] * 4


def test_calls_leak_no_references(running):
    seen = record_dispatch(running)
    w_run = ov._OverflowCallable(plain, running)
    w_stop = ov._OverflowCallable(plain, None)
    arg, kwval = object(), object()
    before = (sys.getrefcount(plain), sys.getrefcount(arg), sys.getrefcount(kwval))
    for _ in range(200):
        w_stop(arg, k=kwval)
    seen.clear()
    for _ in range(50):
        w_run(arg, k=kwval)
    seen.clear()
    gc.collect()
    assert (sys.getrefcount(plain), sys.getrefcount(arg), sys.getrefcount(kwval)) == before


# --- shims ---------------------------------------------------------------------------


def add(a, b=0):
    return a + b


def grow(lst, item=None):
    lst.append(item)
    return len(lst)


def test_shim_factories_return_fresh_functions():
    for factory in (ov._identity_factory, ov._call_shim, ov._capture_shim,
                    ov._sanitize_call_shim, ov._sanitize_capture_shim):
        first, second = factory(), factory()
        assert isinstance(first, types.FunctionType) and first is not second
        assert "corvid" not in first.__code__.co_names
        assert all("corvid" not in str(v) for v in first.__globals__.values()
                   if not isinstance(v, (str, types.ModuleType)))


def test_shims_run_the_call():
    assert ov._identity(add) is add
    assert ov._call(add, (1,), {"b": 2}) == 3
    items = [1]
    result, a, k = ov._capture(grow, (items,), {"item": 2})
    assert result == 2 and a[0] is items and items == [1, 2] and k == {"item": 2}
    assert ov._sanitize_call_shim()(add, (1, 2), {}) == 3
    assert ov._sanitize_capture_shim()(grow, ([],), {}) == (1, ([None],), {})


class FakeDevice:
    def __init__(self, type_):
        self.type = type_


class FakeTensor:
    def __init__(self, device="cuda", detached=False):
        self.device = FakeDevice(device)
        self.detached = detached

    def detach(self):
        return FakeTensor(self.device.type, detached=True)

    def cpu(self):
        return FakeTensor("cpu", self.detached)


class FakeModule:
    def __init__(self):
        self.moved = False

    def cpu(self):
        self.moved = True
        return self


class BrokenTensor(FakeTensor):
    @property
    def device(self):
        raise RuntimeError("device probe failed")

    @device.setter
    def device(self, value):
        pass


@pytest.fixture
def fake_torch(monkeypatch):
    torch = types.ModuleType("torch")
    torch.Tensor = FakeTensor
    torch.nn = types.SimpleNamespace(Module=FakeModule)
    monkeypatch.setitem(sys.modules, "torch", torch)
    return torch


def test_sanitizing_shims_move_cuda_values_to_the_cpu(fake_torch):
    cuda, cpu, module = FakeTensor("cuda"), FakeTensor("cpu"), FakeModule()

    def make(*args, **kwargs):
        return [cuda, (cuda, cpu), {"m": module, "n": 1}]

    res = ov._sanitize_call_shim()(make, (), {})
    moved = res[0]
    assert isinstance(res, list) and moved.device.type == "cpu" and moved.detached
    assert isinstance(res[1], tuple) and res[1][0].device.type == "cpu" and res[1][1] is cpu
    assert res[2]["m"] is module and module.moved and res[2]["n"] == 1

    out, args, kwargs = ov._sanitize_capture_shim()(lambda t, k=None: t, (cuda,), {"k": cuda})
    assert out.device.type == "cpu" and args[0].device.type == "cpu"
    assert kwargs["k"].device.type == "cpu"
    assert cuda.device.type == "cuda"  # the caller's own objects are not changed


def test_sanitizing_swallows_probe_errors(fake_torch):
    broken = BrokenTensor()
    assert ov._sanitize_call_shim()(lambda: [broken], (), {})[0] is broken


def test_sanitizing_without_torch_converts_nothing(monkeypatch):
    monkeypatch.delitem(sys.modules, "torch", raising=False)
    cuda = FakeTensor("cuda")
    (res,) = ov._sanitize_call_shim()(lambda: [cuda], (), {})
    assert res is cuda


def test_pickled_shims_run_where_corvid_is_not_importable(tmp_path):
    payload = {
        "identity": ov._identity,
        "call": ov._call,
        "capture": ov._capture,
        "scall": ov._sanitize_call_shim(),
        "scapture": ov._sanitize_capture_shim(),
    }
    blob = tmp_path / "shims.pkl"
    blob.write_bytes(cloudpickle.dumps(payload))
    script = textwrap.dedent(
        """
        import importlib.abc, pickle, sys

        class NoCorvid(importlib.abc.MetaPathFinder):
            def find_spec(self, name, path=None, target=None):
                if name == "corvid" or name.startswith("corvid."):
                    raise ImportError("corvid is not installed here")
                return None

        sys.meta_path.insert(0, NoCorvid())
        try:
            import corvid  # noqa: F401
        except ImportError:
            pass
        else:
            raise SystemExit("corvid must not be importable")
        shims = pickle.loads(open(sys.argv[1], "rb").read())
        assert "corvid" not in sys.modules
        f = lambda a, b=0: a + b
        print(shims["identity"](f) is f)
        print(shims["call"](f, (1,), {"b": 2}))
        items = [1]
        print(shims["capture"](lambda l: l.append(2) or len(l), (items,), {}))
        print(shims["scall"](f, (3, 4), {}))
        print(shims["scapture"](f, (5,), {"b": 1}))
        """
    )
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    out = subprocess.run([sys.executable, "-c", script, str(blob)], capture_output=True,
                         text=True, env=env, timeout=60, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n")[:5] == ["True", "3", "(2, ([1, 2],), {})", "7",
                                          "(6, (5,), {'b': 1})"]


@pytest.mark.parametrize("change", ["cache_entry", "cache_replaced", "learned", "relaxed_entry",
                                    "relaxed_replaced", "instance_override"])
def test_verdict_follows_later_changes(running, model_cls, change):
    # the first accesses see a light method; each change must be seen at once
    sig = set_verdict(running, Model.fit, strict=False)
    obj = model_cls()
    for _ in range(3):
        assert type(obj.fit) is types.MethodType and obj.fit(1) == obj.value
    if change == "cache_entry":
        running._predict_cache[sig] = True
    elif change == "cache_replaced":
        running._predict_cache = {sig: True}
    elif change == "learned":
        running._learned_heavy.add(sig)
    elif change == "relaxed_entry":
        running._relaxed_cache[sig] = True
    elif change == "relaxed_replaced":
        running._relaxed_cache = {sig: True}
    else:
        running._predict_heavy = lambda func: True
        del running._predict_cache[sig]
    seen = record_dispatch(running)
    assert type(obj.fit) is ov._BoundOverflow
    assert obj.fit(1)[0] == "dispatched" and len(seen) == 1


def test_dispatched_calls_and_user_errors_leak_no_references(running, model_cls):
    # the monitor's own dispatch (no replacement), the local road and the
    # error road, for a plain wrapper and a heavy method
    set_verdict(running, Model.fit, strict=True)
    obj = model_cls()
    arg = object()

    def boom(x):
        raise ValueError(x)

    w_ok, w_bad = ov._OverflowCallable(plain, running), ov._OverflowCallable(boom, running)

    def exercise():
        w_ok(arg, k=arg)
        obj.fit(1)
        obj.fit.__call__(step=1)
        try:
            w_bad(arg)
        except ValueError:
            pass

    exercise()
    gc.collect()
    before = (sys.getrefcount(arg), sys.getrefcount(obj), sys.getrefcount(plain),
              sys.getrefcount(running))
    for _ in range(100):
        exercise()
    gc.collect()
    assert (sys.getrefcount(arg), sys.getrefcount(obj), sys.getrefcount(plain),
            sys.getrefcount(running)) == before
