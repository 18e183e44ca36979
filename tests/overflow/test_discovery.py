"""Discovery and wrapping, driven method by method on a monitor that is not started.

Whole scripts (trace hook, late definitions, exit) run in subprocesses in
test_scripts.py; here the walks work on user modules written to tmp_path.
"""

import ast
import gc
import importlib
import inspect
import json
import logging
import os
import sys
import textwrap
import threading
import time
import types
import weakref

import cloudpickle
import pytest

import corvid.overflow as ov

HEAVY_BODY = """
    total = 0  # numpy-style accumulation
    for i in range(n):
        total += i
    return total
"""

USER_MODULE = '''
import json
from json import dumps


def train_model(n):
{heavy}

def light(x):
    return x + 1


def _private_train(n):
{heavy}

train_alias = train_model


class Model:
    def __init__(self):
        self.w = 0

    def fit(self, n):
        return n

    def _hidden(self):
        return 1

    def __call__(self, n):
{heavy_nested}

    @staticmethod
    def helper(n):
{heavy_nested}

    @classmethod
    def build(cls):
        return cls()

    @property
    def size(self):
        return 3

'''


def _indent(body, n):
    return textwrap.indent(textwrap.dedent(body), " " * n)


@pytest.fixture
def user_pkg(tmp_path, monkeypatch):
    """Import user modules written to tmp_path; forget them afterwards."""
    monkeypatch.syspath_prepend(str(tmp_path))
    created = []

    def make(name, source):
        (tmp_path / f"{name}.py").write_text(source)
        importlib.invalidate_caches()
        created.append(name)
        return importlib.import_module(name)

    yield make
    for name in created:
        sys.modules.pop(name, None)


@pytest.fixture
def usermod(user_pkg):
    src = USER_MODULE.format(heavy=_indent(HEAVY_BODY, 4), heavy_nested=_indent(HEAVY_BODY, 8))
    return user_pkg("ovd_usermod", src)


@pytest.fixture
def mon():
    m = ov._OverflowMonitor(policy="off")
    yield m
    m.stop()


def _is_wrapper(obj):
    return bool(getattr(obj, "_overflow_wrapped", False))


# --- user code --------------------------------------------------------------


@pytest.mark.parametrize(
    "filename",
    ["", "<stdin>", "<string>", os.__file__, inspect.getfile(cloudpickle), ov.__file__],
    ids=["empty", "stdin", "string", "stdlib", "site-packages", "own-package"],
)
def test_non_user_files(mon, filename):
    assert mon._check_user_code(filename) is False


def test_user_file_relative_path_made_absolute(mon, tmp_path, monkeypatch):
    (tmp_path / "script.py").write_text("x = 1\n")
    monkeypatch.chdir(tmp_path)
    assert mon._check_user_code("script.py") is True
    # A relative name that resolves under an excluded prefix is library code.
    stdlib = os.path.dirname(os.__file__)
    monkeypatch.chdir(stdlib)
    assert mon._check_user_code("os.py") is False


def test_prefix_test_is_plain_text(mon, tmp_path):
    mon._exclude_prefixes = (str(tmp_path / "lib"),)
    assert mon._check_user_code(str(tmp_path / "lib" / "a.py")) is False
    # plain text prefix: a sibling whose name extends the prefix counts too
    assert mon._check_user_code(str(tmp_path / "library" / "a.py")) is False
    assert mon._check_user_code(str(tmp_path / "app" / "a.py")) is True


def test_is_user_code_memoised(mon, tmp_path):
    path = str(tmp_path / "m.py")
    assert mon._is_user_code(path) is True
    assert mon._filename_cache[path] is True
    # A cached verdict is returned as is, without testing again.
    mon._filename_cache[path] = False
    assert mon._is_user_code(path) is False
    calls = []
    mon._check_user_code = lambda fn: calls.append(fn) or True
    assert mon._is_user_code(path) is False
    assert mon._is_user_code(path + "x") is True
    assert calls == [path + "x"]


# --- walking namespaces -------------------------------------------------------


def test_wrap_scope_wraps_heavy_user_functions_only(mon, usermod):
    mon._wrap_scope(usermod.__dict__)
    assert _is_wrapper(usermod.train_model)
    assert usermod.train_model.__wrapped__.__name__ == "train_model"
    assert type(usermod.train_model).__name__ == "_OverflowCallable"
    assert not _is_wrapper(usermod.light)
    assert not _is_wrapper(usermod._private_train)
    # The alias met second keeps the plain function.
    assert usermod.train_alias is usermod.train_model.__wrapped__
    # Library functions imported into the namespace are not user code.
    assert usermod.dumps is json.dumps
    original = usermod.train_model.__wrapped__
    assert mon._wrapped[id(original)] == (original, "train_model", usermod.__dict__)
    assert len(mon._wrapped) == 1


def test_light_function_is_looked_at_again_on_a_later_walk(mon, usermod):
    mon._wrap_scope(usermod.__dict__)
    assert not _is_wrapper(usermod.light)
    # The prediction changed meanwhile (for example learned heavy).
    mon._learned_heavy.add(ov._sig_key(usermod.light))
    mon._wrap_scope(usermod.__dict__)
    assert _is_wrapper(usermod.light)


def test_repeated_walks_read_library_files_once_but_follow_the_file_verdicts(mon, usermod):
    reads = []

    class Meta(type):
        # inspect.getfile finds a class's file through its __module__
        @property
        def __module__(cls):
            reads.append(cls)
            return usermod.__name__

    class Tracked(metaclass=Meta):
        def fit(self, n):
            return n

    ns = dict(usermod.__dict__, Tracked=Tracked)
    # the user module counts as library code here
    mon._exclude_prefixes = (os.path.dirname(usermod.__file__),) + tuple(mon._exclude_prefixes)
    mon._wrap_scope(ns)
    read_once = len(reads)
    assert read_once > 0 and mon._wrapped == {} and mon._wrapped_classes == {}
    mon._wrap_scope(ns)
    assert len(reads) == read_once
    # The verdict on the file is still taken afresh on every walk.
    mon._filename_cache[usermod.__file__] = True
    mon._wrap_scope(ns)
    assert _is_wrapper(ns["train_model"]) and _is_wrapper(Tracked.__dict__["fit"])
    assert id(Tracked) in mon._wrapped_classes
    assert "_source_files" not in mon.__getstate__()
    mon._unwrap_all()
    assert mon._source_files == {} and Tracked.__dict__["fit"].__name__ == "fit"


def test_class_methods_replaced_but_not_special_static_class_or_property(mon, usermod):
    mon._wrap_scope(usermod.__dict__)
    d = usermod.Model.__dict__
    assert type(d["fit"]).__name__ == "_OverflowMethod"  # light, replaced regardless
    assert inspect.isfunction(d["__init__"])
    assert inspect.isfunction(d["_hidden"])
    assert inspect.isfunction(d["__call__"])  # heavy, but special methods are never replaced
    assert isinstance(d["helper"], staticmethod)
    assert isinstance(d["build"], classmethod)
    assert isinstance(d["size"], property)
    (cls, replaced), = mon._wrapped_classes.values()
    assert cls is usermod.Model
    assert [name for name, _ in replaced] == ["fit"]
    # The instance still works as before.
    assert usermod.Model().fit(4) == 4
    assert usermod.Model().size == 3


def test_wrap_methods_off_skips_classes(mon, usermod):
    mon._wrap_methods = False
    mon._wrap_scope(usermod.__dict__)
    assert inspect.isfunction(usermod.Model.__dict__["fit"])
    assert _is_wrapper(usermod.train_model)


def test_module_import_cycle_terminates(mon, user_pkg, tmp_path):
    (tmp_path / "ovd_cyc_b.py").write_text(
        "import ovd_cyc_a\ndef fit_b(n):\n" + _indent(HEAVY_BODY, 4))
    a = user_pkg("ovd_cyc_a", "import ovd_cyc_b\ndef fit_a(n):\n" + _indent(HEAVY_BODY, 4))
    b = sys.modules.pop("ovd_cyc_b")
    assert b.ovd_cyc_a is a and a.ovd_cyc_b is b
    mon._maybe_wrap_module(a)
    assert _is_wrapper(a.fit_a) and _is_wrapper(b.fit_b)
    assert mon._wrapped_modules == {id(a), id(b)}


def test_module_without_file_or_library_module_ignored(mon):
    import types

    mod = types.ModuleType("nofile")
    mon._maybe_wrap_module(mod)
    mon._maybe_wrap_module(json)
    assert mon._wrapped_modules == set()


def test_failing_entry_does_not_stop_the_walk(mon, usermod):
    class Touchy:
        def __getattr__(self, name):
            raise RuntimeError("no attributes here")

    ns = {"a_touchy": Touchy(), "train_model": usermod.train_model.__wrapped__
          if _is_wrapper(usermod.train_model) else usermod.train_model}
    mon._wrap_scope(ns)
    assert _is_wrapper(ns["train_model"])


def test_interrupt_in_a_walk_propagates_and_releases_the_lock(mon, usermod):
    def stop_now(name, obj, namespace):
        raise KeyboardInterrupt

    mon._wrap_one = stop_now
    with pytest.raises(KeyboardInterrupt):
        mon._wrap_scope(usermod.__dict__)
    assert mon._scope_lock.acquire(blocking=False)
    mon._scope_lock.release()


def test_overrides_on_the_instance_are_used(mon, usermod):
    mon._predict_heavy = lambda f: True
    mon._relaxed_heavy = lambda f: False
    mon._wrap_scope(usermod.__dict__)
    assert _is_wrapper(usermod.light)
    seen = []
    mon._wrap_one = lambda name, obj, ns: seen.append(name)
    mon._wrap_scope({"b": 1, "a": 2})
    assert seen == ["b", "a"]


def test_already_wrapped_objects_skipped(mon, usermod):
    fn = usermod.train_model
    w = mon._make_wrapper(fn)
    assert type(w).__name__ == "_OverflowCallable" and w.__wrapped__ is fn
    ns = {"train": w}
    mon._wrap_scope(ns)
    assert ns["train"] is w
    assert mon._wrapped == {}


def test_register_wrap_first_name_wins(mon, usermod):
    fn = usermod.light
    ns = {"one": fn, "two": fn}
    mon._register_wrap(fn, "one", ns)
    mon._register_wrap(fn, "two", ns)
    assert _is_wrapper(ns["one"]) and ns["two"] is fn


# --- undo ---------------------------------------------------------------------


def test_unwrap_all_restores_everything(mon, usermod):
    before = dict(usermod.__dict__)
    fit = usermod.Model.__dict__["fit"]
    mon._wrap_scope(usermod.__dict__)
    assert _is_wrapper(usermod.train_model)
    mon._unwrap_all()
    assert usermod.train_model is before["train_model"]
    assert usermod.Model.__dict__["fit"] is fit
    assert mon._wrapped == {} and mon._wrapped_classes == {} and mon._wrapped_modules == set()


def test_unwrap_leaves_rebound_and_deleted_names(mon, usermod, user_pkg, caplog):
    other = user_pkg("ovd_other", "def fit_one(n):\n" + _indent(HEAVY_BODY, 4)
                     + "\ndef fit_two(n):\n" + _indent(HEAVY_BODY, 4))
    mon._wrap_scope(other.__dict__)
    assert _is_wrapper(other.fit_one) and _is_wrapper(other.fit_two)
    other.fit_one = "rebound"
    del other.fit_two
    with caplog.at_level(logging.ERROR, logger="corvid.overflow"):
        mon._unwrap_all()
    assert other.fit_one == "rebound"
    assert not hasattr(other, "fit_two")
    assert not caplog.records


def test_unwrap_failure_logged_and_undo_goes_on(mon, usermod, caplog):
    class Frozen(dict):
        def __setitem__(self, key, value):
            if key == "stuck":
                raise RuntimeError("read-only slot")
            super().__setitem__(key, value)

    fn = usermod.train_model
    ns = Frozen(stuck=None, free=None)
    wrapper = mon._make_wrapper(fn)
    dict.__setitem__(ns, "stuck", wrapper)
    dict.__setitem__(ns, "free", mon._make_wrapper(usermod.light))
    mon._wrapped[id(fn)] = (fn, "stuck", ns)
    mon._wrapped[id(usermod.light)] = (usermod.light, "free", ns)
    with caplog.at_level(logging.ERROR, logger="corvid.overflow"):
        mon._unwrap_all()
    assert ns["stuck"] is wrapper
    assert ns["free"] is usermod.light
    msgs = [r.getMessage() for r in caplog.records]
    assert msgs == ["Failed to unwrap stuck: read-only slot"]


# --- late definitions -----------------------------------------------------------

TOP_DEFS = '''
import sys
FRAME = sys._getframe()

def plain(): pass
async def coro(): pass
def _hidden(): pass
class K:
    def method(self): pass
if __name__ == "__main__":
    def under_main(): pass
elif True:
    def in_elif(): pass
else:
    def in_else(): pass
try:
    def in_try(): pass
except ImportError:
    def in_handler(): pass
else:
    def in_try_else(): pass
finally:
    def in_finally(): pass
with open(__file__) as fh:
    def in_with(): pass
for i in range(1):
    def in_loop(): pass
while False:
    def in_while(): pass
def outer():
    def nested(): pass
lam = lambda: 0
'''

TOP_NAMES = {"plain", "coro", "under_main", "in_elif", "in_else", "in_try", "in_handler",
             "in_try_else", "in_finally", "in_with", "outer"}


def test_collect_top_defs(mon):
    mon._collect_top_defs(ast.parse(TOP_DEFS).body)
    assert mon._forward_names == TOP_NAMES


def test_forward_scan_reads_the_frame_file(mon, user_pkg):
    mod = user_pkg("ovd_topdefs", TOP_DEFS)
    mon._forward_scan(mod.FRAME)
    assert mon._forward_names == TOP_NAMES


@pytest.mark.parametrize(
    "content",
    [b"def f(:\n  pass\n", b"def caf\xe9(): pass\n"],
    ids=["syntax-error", "not-utf8"],
)
def test_forward_scan_unreadable_source_is_silent(mon, tmp_path, content):
    path = tmp_path / "bad.py"
    path.write_bytes(content)
    code = compile("import sys\nFRAME = sys._getframe()\n", str(path), "exec")
    ns = {}
    exec(code, ns)
    mon._forward_scan(ns["FRAME"])
    path.unlink()
    mon._forward_scan(ns["FRAME"])
    assert mon._forward_names == set()


def test_forward_scan_skips_pseudo_files(mon):
    ns = {}
    exec("import sys\nFRAME = sys._getframe()\ndef visible(): pass\n", ns)
    mon._forward_scan(ns["FRAME"])
    assert mon._forward_names == set()


def test_forward_pending(mon):
    assert mon._forward_pending() is False  # no caller namespace
    g = {"a": 1}
    mon._caller_globals = g
    mon._forward_names = {"a", "b"}
    assert mon._forward_pending() is True
    g["b"] = None
    assert mon._forward_pending() is False
    mon._forward_names = set()
    assert mon._forward_pending() is False


# --- hook pieces that need no tracing -------------------------------------------


def test_install_hook_needs_a_caller_frame(mon):
    before = sys.gettrace()
    mon._install_hook()
    assert mon._hook_installed is False and sys.gettrace() is before
    mon._uninstall_hook()  # not installed: nothing to do
    assert mon._hook_fn is None


def test_first_sight_hook_forwards_other_frames_to_previous_tracer(mon):
    seen = []

    def original(frame, event, arg):
        seen.append(event)
        return "local-tracer"

    mon._original_trace = original
    mon._caller_frame = None
    frame = sys._getframe()
    assert mon._first_sight_hook(frame, "call", None) == "local-tracer"
    mon._original_trace = None
    assert mon._first_sight_hook(frame, "call", None) is None

    def broken(frame, event, arg):
        raise ValueError("tracer bug")

    mon._original_trace = broken
    assert mon._first_sight_hook(frame, "call", None) is None
    assert seen == ["call"]


@pytest.mark.parametrize("route", ["rescan", "dispatch"])
@pytest.mark.parametrize("deadline,walks", [(1.0, False), (10.0, True)])
def test_watch_outside_the_hook_reads_the_deadline_as_patched(monkeypatch, route, deadline, walks):
    monkeypatch.setattr(ov, "_HOOK_DEADLINE", deadline)
    mon = ov._OverflowMonitor(policy="off", clock=lambda: 5.0)
    walked = []
    mon._wrap_scope = walked.append
    ns = {"present": 1}
    mon._caller_globals = ns
    mon._forward_names = {"defined_later"}
    mon._hook_started_at = 0.0
    mon._running = True
    mon._forward_open = True
    if route == "rescan":
        mon._periodic_rescan()
    else:
        assert mon._dispatch(len, ("ab",), {}, ov._sig_key(len), "len", lambda: 2) == 2
    assert walked == ([ns] if walks else [])
    assert mon._forward_open is walks
    mon._running = False


def _finished_frame():
    return sys._getframe()


@pytest.mark.parametrize("then", ["dropped", "stopped"])
def test_monitor_whose_hook_thread_ended_is_collectable(then):
    made = []

    def hook_thread():
        mon = ov._OverflowMonitor(policy="off")
        # A caller frame that sees no more events: nothing takes the hook off
        # on this thread before it ends.
        mon._caller_frame = _finished_frame()
        mon._caller_globals = {}
        mon._forward_names = {"defined_later"}
        mon._running = True
        mon._install_hook()
        made.append(mon)

    t = threading.Thread(target=hook_thread)
    t.start()
    t.join(timeout=10)
    assert not t.is_alive()
    mon = made.pop()
    assert mon._hook_installed and len(mon._hook_records) == 1
    assert sys.gettrace() is not mon._hook_fn
    if then == "stopped":
        mon.stop()
        assert not mon._hook_installed and mon._hook_records == {}
    ref = weakref.ref(mon)
    del mon
    gc.collect()
    assert ref() is None


@pytest.fixture
def fake_hooked(mon, usermod):
    """A monitor whose hook fields look installed (no tracing is switched on)."""
    frame = sys._getframe()
    mon._running = True
    mon._caller_frame = frame
    mon._caller_globals = usermod.__dict__
    mon._forward_names = {"train_model", "not_yet"}
    mon._hook_installed = True
    mon._hook_fn = mon._first_sight_hook
    mon._hook_started_at = mon._clock()
    mon._hook_calls = 0
    mon._original_trace = None
    yield mon, frame
    mon._caller_frame = None
    mon._running = False


def test_caller_line_event_walks_and_keeps_watching_while_pending(fake_hooked, usermod):
    mon, frame = fake_hooked
    result = mon._first_sight_hook(frame, "line", None)
    assert _is_wrapper(usermod.train_model)
    assert mon._hook_installed is True and mon._hook_calls == 1
    assert result == mon._hook_fn  # keeps tracing the caller frame
    usermod.not_yet = 1
    assert mon._first_sight_hook(frame, "line", None) is None
    assert mon._hook_installed is False and mon._hook_fn is None


def test_caller_return_event_closes_the_watch(fake_hooked, usermod):
    mon, frame = fake_hooked
    mon._forward_open = True
    kept = []
    mon._original_trace = lambda f, e, a: kept.append(e) or "theirs"
    assert mon._first_sight_hook(frame, "return", None) == "theirs"
    assert kept == ["return"]
    assert _is_wrapper(usermod.train_model)
    assert mon._forward_open is False and mon._hook_installed is False


@pytest.mark.parametrize("limit", ["none", "cap", "deadline", "stopped"])
def test_hook_limits_remove_it_on_the_next_event(fake_hooked, limit):
    mon, frame = fake_hooked
    if limit == "cap":
        mon._hook_calls = ov._HOOK_CALL_CAP
    elif limit == "deadline":
        mon._hook_started_at = mon._clock() - ov._HOOK_DEADLINE - 1.0
    elif limit == "stopped":
        mon._running = False
    other = inspect.currentframe().f_back
    assert mon._first_sight_hook(other, "call", None) is None
    assert mon._hook_installed is (limit == "none")


def test_hook_machinery_errors_never_reach_the_traced_code(fake_hooked):
    mon, frame = fake_hooked

    def broken_clock():
        raise RuntimeError("clock gone")

    mon._clock = broken_clock
    mon._wrap_scope = lambda ns: 1 / 0
    assert mon._first_sight_hook(frame, "line", None) in (None, mon._hook_fn)
    assert mon._first_sight_hook(frame, "return", None) is None


# -- the late-definition watch and stop() ------------------------------------

@pytest.mark.parametrize("route", ["load-gate rescan", "dispatch on another thread"])
def test_a_watch_walk_in_flight_cannot_rewrap_after_stop(tmp_path, route):
    """A walk that was already under way when stop() ran must not put a
    wrapper back: the namespace keeps the user's function, the stopped monitor
    records nothing, and the next monitor can wrap the function again."""
    numpy = types.ModuleType("numpy")
    numpy.zeros = lambda n: [0.0] * n
    ns = {"__name__": "userscript", "np": numpy}
    src = "import sys\ndef work(x):\n    return np.zeros(x)\ndef here():\n    return sys._getframe()\n"
    exec(compile(src, str(tmp_path / "user_script.py"), "exec"), ns)
    original, frame = ns["work"], ns["here"]()

    walker = "corvid-overflow-load" if route == "load-gate rescan" else "second-caller"
    in_watch, stopped = threading.Event(), threading.Event()

    def clock():
        # The watching thread reads the clock just before it walks: hold it
        # there until stop() has undone everything.
        if threading.current_thread().name == walker and not in_watch.is_set():
            in_watch.set()
            stopped.wait(10)
        return time.monotonic()

    if route == "load-gate rescan":
        mon = ov._OverflowMonitor(policy="auto", clock=clock, sample_source=lambda: (0.0, 0.0))
    else:
        mon = ov._OverflowMonitor(policy="off", clock=clock)
    mon.start(frame)
    try:
        wrapper = ns["work"]
        assert getattr(wrapper, "_overflow_wrapped", False)
        mon._forward_names.add("defined_later")
        mon._forward_open = True
        if route == "load-gate rescan":
            walking = next(t for t in threading.enumerate() if t.name == walker)
        else:
            walking = threading.Thread(target=wrapper, args=(0,), name=walker)
            walking.start()
        assert in_watch.wait(10)
        mon.stop()
        assert ns["work"] is original
        stopped.set()
        walking.join(10)
        assert not walking.is_alive()
        assert ns["work"] is original and mon._wrapped == {}
        assert mon._forward_open is False

        again = ov._OverflowMonitor(policy="off")
        again.start(frame)
        assert ns["work"]._monitor is again
        again.stop()
    finally:
        stopped.set()
        mon.stop()
