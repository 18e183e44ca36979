"""Gateway client: run a function somewhere else and return what it returned.

``GateWay`` is what the offload monitor opens a session with; user code can use
it directly too::

    with GateWay(workers=4) as gw:
        total = gw.run(sum_of_squares, big_array)

The only backend today is local: a small pool of worker processes on this
machine (``python -m corvid._worker``) fed over pipes. The function, its
arguments and the result travel by cloudpickle, protocol 5, with large buffers
such as numpy arrays out of band. A backend is anything with ``start()``,
``exchange(frames, timeout)`` and ``close()`` (see ``_LocalBackend``), so a
cluster backend can take the same frames to ``corvid._worker.execute``
elsewhere.

``run`` has two call shapes:

* ``run(shim, func, call_args, call_kwargs, **options)`` -- the monitor's
  shape: ``shim(func, call_args, call_kwargs)`` runs remotely and the keywords
  are run options (``RUN_OPTIONS``);
* ``run(func, *args, **kwargs)`` -- ``func(*args, **kwargs)`` runs remotely and
  every keyword is the function's own.

A call has the first shape exactly when it has four positional values, the
first is a function made by one of corvid.overflow's shim factories (its
``__qualname__`` ends with ``_call_shim.<locals>._call``,
``_capture_shim.<locals>._capture``,
``_sanitize_call_shim.<locals>._sanitize_call`` or
``_sanitize_capture_shim.<locals>._sanitize_capture``), the third is a tuple
or list and the fourth a mapping.
"""

from __future__ import annotations

import ast
import functools
import importlib.metadata
import inspect
import linecache
import logging
import os
import pickle
import re
import signal
import subprocess
import sys
import textwrap
import threading
import time
import types
import weakref
from collections.abc import Mapping
from typing import Any, Protocol

from corvid import _worker as _wire

__all__ = ["GateWay", "SerializationError", "WorkerLost", "RemoteError", "RUN_OPTIONS"]

log = logging.getLogger("corvid.client")

RUN_OPTIONS = frozenset({
    "gpu", "gpu_count", "cpu", "memory", "provider", "timeout",
    "python_version", "workspace", "spot", "pip_packages",
})
_SHIM_SUFFIXES = (
    "_call_shim.<locals>._call",
    "_capture_shim.<locals>._capture",
    "_sanitize_call_shim.<locals>._sanitize_call",
    "_sanitize_capture_shim.<locals>._sanitize_capture",
)
_WORKERS_ENV = "CORVID_GATEWAY_WORKERS"
# How long a worker that closed its pipe gets to exit, for its exit status.
_EXIT_GRACE = 1.0


class SerializationError(Exception):
    """The call or its result could not be serialised or deserialised."""


class WorkerLost(RuntimeError):
    """The worker process running the call ended before it answered."""


class RemoteError(RuntimeError):
    """A remote exception whose own class could not be rebuilt here."""


def _is_shim_call(args):
    if len(args) != 4 or not isinstance(args[0], types.FunctionType):
        return False
    qualname = getattr(args[0], "__qualname__", "")
    return (isinstance(qualname, str) and qualname.endswith(_SHIM_SUFFIXES)
            and isinstance(args[2], (tuple, list)) and isinstance(args[3], Mapping))


def _pool_size(workers):
    if workers is None:
        text = os.environ.get(_WORKERS_ENV, "").strip()
        if text:
            try:
                workers = int(text)
            except ValueError:
                workers = 0
            if workers < 1:
                log.warning("%s=%r is not a positive integer; using the CPU count", _WORKERS_ENV, text)
                workers = None
    if workers is None:
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive integer, not {workers!r}")
    return workers


def _callable_name(obj):
    return getattr(obj, "__qualname__", None) or getattr(obj, "__name__", None) or type(obj).__name__


# -- backends ------------------------------------------------------------------

class _Backend(Protocol):
    """Where calls run. Requests and replies are frame lists that only
    ``corvid._worker.execute`` reads; a backend moves them and nothing else."""

    owner: int  # the process that started it; a forked child starts its own

    @property
    def pids(self) -> list[int]:
        """Its worker processes on this machine, if any."""

    def start(self) -> None: ...

    def exchange(self, frames: list, timeout: float | None) -> list:
        """The reply to ``frames``; WorkerLost if the place running it ended
        first, TimeoutError past ``timeout`` seconds of running."""

    def close(self) -> None:
        """Idempotent; calls still running fail with WorkerLost."""


class _AnsweredLate(Exception):
    """A reply read just as the call's timeout ended its worker."""

    def __init__(self, reply):
        super().__init__()
        self.reply = reply


class _NotDelivered(Exception):
    """The request never reached a live worker, so it did not run."""


def _search_path():
    path = []
    for entry in sys.path:
        if isinstance(entry, str):
            entry = entry or os.getcwd()
            if entry not in path:
                path.append(entry)
    return os.pathsep.join(path)


class _Worker:
    """One worker process and its two pipes. Used by one caller at a time."""

    def __init__(self):
        # A worker is already "elsewhere": code it runs that starts the offload
        # monitor keeps its calls there.
        env = dict(os.environ, PYTHONPATH=_search_path(), CORVID_WORKER_PARENT=str(os.getpid()),
                   CORVID_OVERFLOW_POLICY="off")
        # -P: only the parent's path, never the working directory first. Own
        # session: a Ctrl-C at the terminal is the caller's to handle, and the
        # worker's process group can be ended as a whole.
        self.proc = subprocess.Popen(
            [sys.executable, "-P", "-m", "corvid._worker"],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0,
            env=env, start_new_session=True)
        self.pid = self.proc.pid
        _wire.grow_pipe(self.proc.stdin.fileno())
        self._requests = self.proc.stdin.fileno()
        self._replies = open(self.proc.stdout.fileno(), "rb", buffering=1 << 16, closefd=False)
        self._lock = threading.Lock()
        self.timed_out = False

    def exchange(self, frames, timeout):
        self.timed_out = False
        timer = None
        if timeout:
            timer = threading.Timer(timeout, self._expire)
            timer.daemon = True
            timer.start()
        try:
            try:
                _wire.write_message(self._requests, frames)
            except (BrokenPipeError, ValueError) as exc:
                raise _NotDelivered() from exc
            try:
                reply = _wire.read_message(self._replies)
            except (EOFError, OSError, ValueError):
                reply = None
            if reply is None:
                raise self._lost()
        finally:
            if timer is not None:
                timer.cancel()
        if self.timed_out:
            # The timer fired as the reply arrived: the worker is being ended,
            # so the reply stands but the worker goes back as lost.
            raise _AnsweredLate(reply)
        return reply

    def _expire(self):
        self.timed_out = True
        self.kill()

    def _lost(self):
        self._await_exit(_EXIT_GRACE)
        # Ended before it is reaped, so that the group id still names it:
        # whatever the user's code started there goes too.
        self.kill()
        try:
            code = self.proc.wait(_EXIT_GRACE)
        except subprocess.TimeoutExpired:
            code = None
        if code is None:
            how = "closed its pipe"
        elif code < 0:
            try:
                name = signal.Signals(-code).name
            except ValueError:
                name = f"signal {-code}"
            how = f"was killed by {name}" + (" (out of memory?)" if -code == signal.SIGKILL else "")
        else:
            how = f"exited with code {code}"
        return WorkerLost(f"gateway worker {self.pid} {how} during the call")

    def _await_exit(self, grace):
        """Wait until the worker has exited, without reaping it."""
        deadline = time.monotonic() + grace
        while time.monotonic() < deadline:
            try:
                if os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOWAIT | os.WNOHANG):
                    return
            except (ChildProcessError, AttributeError):
                return
            time.sleep(0.005)

    def kill(self):
        """End the worker and everything it started, unless already reaped."""
        with self._lock:
            if self.proc.returncode is None:
                try:
                    os.killpg(self.pid, signal.SIGKILL)
                except (ProcessLookupError, PermissionError):
                    pass

    def close_input(self):
        try:
            self.proc.stdin.close()
        except OSError:
            pass

    def dispose(self):
        """End the worker and its process group, reap it, close its pipes."""
        self.kill()
        self.close_input()
        with self._lock:
            self.proc.wait()
        self._replies.close()
        self.proc.stdout.close()


class _LocalBackend:
    """A pool of up to ``size`` worker processes on this machine.

    ``start()`` starts one worker, so that the first call finds an
    interpreter ready; more start when calls overlap. ``exchange(frames,
    timeout)`` runs one request on a free worker, waiting for one when all
    ``size`` are busy, and returns the reply frames; a worker that dies is
    replaced. ``close()`` ends them all.
    """

    def __init__(self, size):
        self.size = size
        self.owner = os.getpid()
        self._cond = threading.Condition()
        self._idle = []
        self._live = set()
        self._starting = 0
        self._closed = False

    def start(self):
        self._idle.append(self._spawn(reserved=False))
        log.debug("gateway: local worker pool open, up to %d workers", self.size)

    @property
    def pids(self):
        with self._cond:
            return sorted(w.pid for w in self._live)

    def exchange(self, frames, timeout=None):
        for attempt in range(2):
            worker = self._acquire()
            healthy = False
            try:
                reply = worker.exchange(frames, timeout)
                healthy = True
                return reply
            except _AnsweredLate as late:
                return late.reply
            except _NotDelivered:
                if attempt:
                    raise WorkerLost("no gateway worker could take the call") from None
            except WorkerLost:
                if worker.timed_out:
                    raise TimeoutError(f"the remote call ran past its timeout of {timeout} s") from None
                if self._closed:
                    raise WorkerLost("the gateway client was closed during the call") from None
                raise
            finally:
                self._release(worker, healthy)

    def _spawn(self, reserved=True):
        """Start a worker and count it live; None if the pool closed meanwhile.

        With ``reserved`` the caller has already counted it in ``_starting``.
        """
        try:
            worker = _Worker()
        except BaseException:
            if reserved:
                with self._cond:
                    self._starting -= 1
                    self._cond.notify()
            raise
        with self._cond:
            if reserved:
                self._starting -= 1
            if not self._closed:
                self._live.add(worker)
                return worker
            self._cond.notify()
        worker.dispose()
        return None

    def _acquire(self):
        with self._cond:
            while True:
                if self._closed:
                    raise RuntimeError("the gateway client is closed")
                if self._idle:
                    return self._idle.pop()
                if len(self._live) + self._starting < self.size:
                    self._starting += 1
                    break
                self._cond.wait()
        worker = self._spawn()
        if worker is None:
            raise RuntimeError("the gateway client is closed")
        return worker

    def _release(self, worker, healthy):
        with self._cond:
            if healthy and not self._closed:
                self._idle.append(worker)
                self._cond.notify()
                return
            self._live.discard(worker)
            replace = not self._closed
            if replace:
                self._starting += 1
        # A worker given back unhealthy is in an unknown state: end it now.
        worker.dispose()
        if not replace:
            return
        try:
            spare = self._spawn()
        except OSError as exc:
            log.warning("gateway: could not replace worker %d: %s", worker.pid, exc)
            return
        if spare is None:
            return
        with self._cond:
            if not self._closed:
                self._idle.append(spare)
                self._cond.notify()
                return
            self._live.discard(spare)
        spare.dispose()  # the pool closed while the spare started

    def close(self):
        if os.getpid() != self.owner:
            return  # a forked child: the workers are its parent's
        with self._cond:
            if self._closed:
                return
            self._closed = True
            idle, self._idle = self._idle, []
            busy = self._live.difference(idle)
            self._live.clear()
            self._cond.notify_all()
        # Nothing of a worker's is worth a graceful end, and an interpreter
        # still starting up would only see its input close once it is ready.
        # A busy worker's caller is reading its pipe: the kill hands it an end
        # of file, and that caller disposes of the worker.
        for worker in busy:
            worker.kill()
        for worker in idle:
            worker.dispose()
        log.debug("gateway: local workers stopped")


# -- client --------------------------------------------------------------------

_output_lock = threading.Lock()


def _replay(chunks):
    """Write a call's captured prints to this process's streams, in order."""
    with _output_lock:
        last = None
        for stream, text in chunks:
            target = sys.stdout if stream == 1 else sys.stderr
            if target is None:
                continue
            try:
                if last is not None and last is not target:
                    last.flush()
                target.write(text)
            except (OSError, ValueError):
                continue  # a closed or broken stream loses the text, not the result
            last = target
        if last is not None:
            try:
                last.flush()
            except (OSError, ValueError):
                pass


_DYNAMIC_FRAME = re.compile(r'^(\s*)File "<dynamic-code>", line (\d+), in (\S+)$', re.M)


def _localised(text, func):
    """Give frames of functions that travelled by value their file and line.

    cloudpickle names the file of such code "<dynamic-code>"; line numbers
    survive, so the caller's own functions are found by name in the
    function's module and their source lines read here.
    """
    namespace = getattr(func, "__globals__", None) or {}

    def source(match):
        indent, line, name = match.group(1), int(match.group(2)), match.group(3)
        candidate = func if getattr(func, "__name__", None) == name else namespace.get(name)
        code = getattr(candidate, "__code__", None)
        filename = getattr(code, "co_filename", None)
        if not isinstance(filename, str) or filename.startswith("<"):
            return match.group(0)
        shown = f'{indent}File "{filename}", line {line}, in {name}'
        text_line = linecache.getline(filename, line).strip()
        return f"{shown}\n{indent}  {text_line}" if text_line else shown

    return _DYNAMIC_FRAME.sub(source, text)


def _rebuild_exception(error, func=None):
    exc = None
    if error.get("exception") is not None:
        try:
            exc = pickle.loads(error["exception"])
        except Exception:
            exc = None
    if exc is None and error.get("cls") is not None:
        try:
            cls = pickle.loads(error["cls"])
            exc = cls.__new__(cls)
            exc.args = (error["message"],)
        except Exception:
            exc = None
    if not isinstance(exc, BaseException):
        exc = RemoteError(f"{error['type']}: {error['message']}")
    exc.add_note("remote traceback:\n" + _localised(error["traceback"].rstrip("\n"), func))
    return exc


@functools.lru_cache(maxsize=1)
def _local_gpu_count():
    visible = os.environ.get("CUDA_VISIBLE_DEVICES")
    if visible is not None and visible.strip() in ("", "-1"):
        return 0
    try:
        found = len(os.listdir("/proc/driver/nvidia/gpus"))
    except OSError:
        return 0
    if visible:
        found = min(found, len([d for d in visible.split(",") if d.strip()]))
    return found


@functools.lru_cache(maxsize=1)
def _module_distributions():
    return importlib.metadata.packages_distributions()


def _top(name):
    return name.partition(".")[0] if isinstance(name, str) else None


def _imported_tops(module):
    tops = {_top(v.__name__) for v in vars(module).values() if isinstance(v, types.ModuleType)}
    try:
        tree = ast.parse(inspect.getsource(module))
    except Exception:
        return tops
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            tops.update(_top(alias.name) for alias in node.names)
        elif isinstance(node, ast.ImportFrom) and not node.level and node.module:
            tops.add(_top(node.module))
    return tops


def _used_tops(src, namespace):
    try:
        tree = ast.parse(textwrap.dedent(src))
    except (SyntaxError, ValueError):
        return set()
    tops = set()
    for node in ast.walk(tree):
        if isinstance(node, ast.Name) and node.id in namespace:
            value = namespace[node.id]
            try:
                name = value.__name__ if isinstance(value, types.ModuleType) else getattr(value, "__module__", None)
            except Exception:  # an object whose attribute look-up raises tells nothing
                continue
            tops.add(_top(name))
    return tops


class GateWay:
    """Client of the gateway; see the module text.

    ``workers`` is the most worker processes the local pool grows to
    (default: ``CORVID_GATEWAY_WORKERS``, else the CPU count). ``api_key``,
    ``api_url`` and ``fast`` are kept for remote backends; the local one
    needs none of them. With ``progress`` set, each run prints one line to
    standard error when it ends.
    """

    _backend_type: type[_Backend] = _LocalBackend

    def __init__(self, *, _internal: bool = False, api_key: str | None = None, fast: bool = False,
                 api_url: str | None = None, progress: bool = False, workers: int | None = None) -> None:
        self._internal = bool(_internal)
        self._api_key = api_key
        self.api_url = api_url
        self.fast = bool(fast)
        self.progress = progress
        self.workers = _pool_size(workers)
        self._warm_session_id = None
        self.last_options: dict[str, Any] = {}
        self._backend: _Backend | None = None
        self._closed = False
        self._finalizer = None
        self._lock = threading.Lock()
        self._warned_missing: set[str] = set()

    def __repr__(self):
        state = "open" if self._backend else "closed" if self._closed else "idle"
        return f"<GateWay local workers={self.workers} {state}>"

    def __enter__(self) -> GateWay:
        self.open()
        return self

    def __exit__(self, exc_type, exc, tb) -> None:
        self.close()

    def open(self) -> None:
        """Start the workers. Also done by ``__enter__`` and the first ``run``."""
        with self._lock:
            self._closed = False
            self._backend_locked()

    def _backend_locked(self):
        if self._backend is not None and self._backend.owner != os.getpid():
            self._backend = None  # forked: this process starts workers of its own
        if self._backend is None:
            if self._closed:
                raise RuntimeError("the gateway client is closed")
            backend = self._backend_type(self.workers)
            # Closed on collection and at interpreter exit as well.
            self._finalizer = weakref.finalize(self, backend.close)
            self._backend = backend
            try:
                backend.start()
            except BaseException:
                self._finalizer()
                self._backend = None
                raise
        return self._backend

    def close(self) -> None:
        """Stop the workers; a call still running on one fails with WorkerLost."""
        with self._lock:
            self._closed = True
            self._backend = None
            finalizer, self._finalizer = self._finalizer, None
        if finalizer is not None:
            finalizer()

    @property
    def worker_pids(self) -> list[int]:
        backend = self._backend
        return backend.pids if backend is not None else []

    def run(self, *args: Any, **kwargs: Any) -> Any:
        """Run a call remotely and return its value (see the module text)."""
        if _is_shim_call(args):
            shim, func, call_args, call_kwargs = args
            unknown = sorted(set(kwargs) - RUN_OPTIONS)
            if unknown:
                raise TypeError(f"run() got unknown option(s) {', '.join(unknown)}")
            target, target_args, target_kwargs = shim, (func, call_args, call_kwargs), {}
            options = kwargs
        else:
            if not args:
                raise TypeError("run() needs the function to run")
            func, target, target_args, target_kwargs = args[0], args[0], args[1:], kwargs
            options = {}
        name = _callable_name(func)
        timeout = self._apply_options(options, name)
        with self._lock:
            backend = self._backend_locked()
        try:
            body = _wire.dumps((target, target_args, target_kwargs))
        except Exception as exc:
            raise SerializationError(f"the call to {name} cannot be serialised: {exc}") from exc
        control = pickle.dumps({"pip": list(options.get("pip_packages") or ()), "hide": int(target is not func)},
                               _wire.PROTOCOL)
        started = time.perf_counter()
        reply = backend.exchange([control, *body], timeout)
        del body
        info = pickle.loads(reply[0])
        _replay(info["output"])
        self._warn_missing(info["missing"])
        if self.progress:
            print(f"corvid: {name} ran on local worker {info.get('pid')} in "
                  f"{time.perf_counter() - started:.2f} s", file=sys.stderr)
        status = info["status"]
        if status == "ok":
            try:
                return _wire.loads(reply[1:])
            except Exception as exc:
                raise SerializationError(f"the result of {name} cannot be deserialised: {exc}") from exc
        error = info["error"]
        if status == "error":
            raise _rebuild_exception(error, func) from None
        what = "call to" if status == "unpicklable-call" else "result of"
        raise SerializationError(f"the {what} {name} cannot be serialised on the worker: "
                                 f"{error['type']}: {error['message']}")

    def _apply_options(self, options, name):
        self.last_options = dict(options)
        if not options:
            return None
        gpu, count = options.get("gpu"), options.get("gpu_count")
        if gpu or count:
            found = _local_gpu_count()
            log.debug("%s: gpu=%r gpu_count=%r requested; %s", name, gpu, count,
                      f"the local workers share this machine's {found} GPU(s)" if found
                      else "this machine has no GPU, so it runs on the CPU")
        ignored = sorted(set(options) - {"gpu", "gpu_count", "pip_packages", "timeout"})
        if ignored:
            log.debug("%s: options %s do not apply to local workers", name, ", ".join(ignored))
        timeout = options.get("timeout")
        if timeout is None:
            return None
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            log.debug("%s: timeout=%r is not a positive number of seconds; ignored", name, timeout)
            return None
        return float(timeout)

    def _warn_missing(self, missing):
        new = [req for req in missing if req not in self._warned_missing]
        if new:
            self._warned_missing.update(new)
            log.warning("pip packages not installed where the gateway's workers run "
                        "(nothing is installed for you): %s", ", ".join(new))

    def _detect_local_packages(self, func: Any, src: str | None = None) -> list[str]:
        """Pip requirements (``name==version``) for what ``func`` needs.

        Looks at the top-level modules that the function's module imports and
        at the names ``src`` uses, maps them to installed distributions and
        leaves out the standard library and corvid.
        """
        func = getattr(func, "__func__", func)
        module = sys.modules.get(getattr(func, "__module__", None) or "")
        namespace = getattr(func, "__globals__", None) or (vars(module) if module else {})
        tops = _imported_tops(module) if module is not None else set()
        if src:
            tops |= _used_tops(src, namespace)
        skip = set(sys.stdlib_module_names) | set(sys.builtin_module_names) | {"corvid", "__main__"}
        names = set()
        mapping = _module_distributions()
        for top in tops:
            if top and top not in skip:
                names.update(mapping.get(top, ()))
        requirements = []
        for dist in sorted(names - {"corvid"}, key=str.lower):
            try:
                requirements.append(f"{dist}=={importlib.metadata.version(dist)}")
            except Exception:
                requirements.append(dist)
        return requirements
