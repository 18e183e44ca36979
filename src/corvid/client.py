"""Gateway client: run a function somewhere else and return what it returned.

``GateWay`` is what the offload monitor opens a session with; user code can use
it directly too::

    with GateWay(workers=4) as gw:
        total = gw.run(sum_of_squares, big_array)

Two backends run the calls. The default is local: a small pool of worker
processes on this machine (``python -m corvid._worker``) fed over pipes. A
Dask cluster is used instead when ``GateWay(address=...)`` names its
scheduler, when ``CORVID_GATEWAY_ADDRESS`` does, or when a
``distributed.Client`` is passed as ``client=`` (the ``dask`` extra; the
workers need corvid installed). The function, its arguments and the result
travel by cloudpickle, protocol 5, with large buffers such as numpy arrays
out of band, as the same frames on both backends: a backend is anything with
``start()``, ``exchange(frames, timeout, resources)`` and ``close()``, and
both hand the frames to ``corvid._worker.execute``.

With a Dask backend and a service URL and API key, large arguments and local
files or directories named in the arguments go through the service's data
store (``corvid.cargo``), so that a worker on another machine can read them;
the stored values are deleted after the call.

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
import warnings
import weakref
from collections.abc import Mapping
from concurrent.futures import CancelledError
from typing import Any, Protocol

from corvid import _worker as _wire

__all__ = ["GateWay", "SerializationError", "WorkerLost", "RemoteError", "MissingPackages", "NoWorkers",
           "RUN_OPTIONS"]

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
_ADDRESS_ENV = "CORVID_GATEWAY_ADDRESS"
# How long a call that asks for worker resources (a GPU) waits for a worker
# that offers them before it fails.
_RESOURCE_WAIT_ENV = "CORVID_GATEWAY_RESOURCE_WAIT"
_RESOURCE_WAIT = 10.0
_CONNECT_TIMEOUT = 10.0
# How long a worker that closed its pipe gets to exit, for its exit status.
_EXIT_GRACE = 1.0


class SerializationError(Exception):
    """The call or its result could not be serialised or deserialised."""


class WorkerLost(RuntimeError):
    """The worker process running the call ended before it answered."""


class RemoteError(RuntimeError):
    """A remote exception whose own class could not be rebuilt here."""


class MissingPackages(RuntimeError):
    """Pip packages a call needs are not installed on the cluster's workers."""


class NoWorkers(RuntimeError):
    """No worker of the cluster offers the resources a call asks for."""


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
    remote: bool  # its workers may be on other machines
    where: str  # "local worker", "dask worker": for messages

    @property
    def pids(self) -> list[int]:
        """Its worker processes on this machine, if any."""

    def start(self) -> None: ...

    def prepare(self, requirements: list[str], resources: dict | None) -> list[str]:
        """Make sure a call with these pip requirements and worker resources
        can run (raise if not); answers the requirements the workers should
        still check."""

    def exchange(self, frames: list, timeout: float | None, resources: dict | None = None) -> list:
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

    remote = False
    where = "local worker"

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

    def prepare(self, requirements, resources):
        # Workers here share this machine's GPUs; a missing package is only
        # warned about, by the worker that finds it missing.
        return requirements

    def exchange(self, frames, timeout=None, resources=None):
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


def _distributed():
    try:
        import distributed
    except ImportError as exc:
        raise ImportError("the gateway's Dask backend needs the distributed package: "
                          "pip install 'corvid[dask]'") from exc
    return distributed


def _resource_wait():
    text = os.environ.get(_RESOURCE_WAIT_ENV, "").strip()
    try:
        wait = float(text) if text else _RESOURCE_WAIT
    except ValueError:
        wait = _RESOURCE_WAIT
    return wait if wait >= 0 else _RESOURCE_WAIT


def _local_hosts():
    import socket
    hosts = {"127.0.0.1", "::1", "localhost"}
    try:
        name = socket.gethostname()
        hosts.add(name)
        hosts.update(info[4][0] for info in socket.getaddrinfo(name, None))
    except OSError:
        pass
    return hosts


def _host_of(address):
    host = address.partition("://")[2] or address
    if host.startswith("["):
        return host[1:host.find("]")]
    return host.rpartition(":")[0] or host


class _DaskBackend:
    """Calls run as tasks of a Dask cluster.

    Each call is one ``client.submit`` of ``corvid._worker.run_shipped`` with
    the request's frames as arguments (``pure=False``: no hashing of the
    payload). A worker lost during the call is Dask's ``KilledWorker`` once
    the scheduler gives up on the task (``distributed.scheduler.allowed-
    failures``), and WorkerLost here. ``client`` is the caller's and stays
    open at ``close()``; otherwise one is connected to ``address``.
    """

    remote = True
    where = "dask worker"

    def __init__(self, address: str, client: Any = None) -> None:
        self.owner = os.getpid()
        self.address = address
        self.client = client
        self._own_client = client is None
        self._verified: set[tuple] = set()
        self._distributed = None

    def start(self):
        distributed = self._distributed = _distributed()
        # Large payloads are ours to send as they are; Dask would warn of
        # each one as a "large graph".
        warnings.filterwarnings("ignore", message="Sending large graph of size", category=UserWarning,
                                module=r"distributed\.client")
        if self.client is None:
            self.client = distributed.Client(self.address, set_as_default=False, timeout=_CONNECT_TIMEOUT)
        log.debug("gateway: connected to the Dask scheduler at %s", self.address)

    def _workers(self):
        return self.client.scheduler_info()["workers"]

    @property
    def pids(self):
        client = self.client
        if client is None:
            return []
        local = _local_hosts()
        try:
            found = client.run(os.getpid)
        except Exception:
            return []
        return sorted(pid for addr, pid in found.items() if _host_of(addr) in local)

    def _offering(self, resources):
        return [addr for addr, info in self._workers().items()
                if all((info.get("resources") or {}).get(name, 0) >= need for name, need in resources.items())]

    def _await_workers(self, resources):
        wait = _resource_wait()
        deadline = time.monotonic() + wait
        while True:
            found = self._offering(resources)
            if found or time.monotonic() >= deadline:
                break
            time.sleep(0.1)
        if not found:
            wanted = ", ".join(f"{k}={v}" for k, v in resources.items())
            raise NoWorkers(f"no worker of the Dask cluster at {self.address} offers the resources {wanted} "
                            f"(waited {wait:g} s); start workers with e.g. --resources \"GPU=1\"")
        return found

    def prepare(self, requirements, resources):
        workers = self._await_workers(resources) if resources else None
        key = (tuple(requirements), tuple(sorted((resources or {}).items())))
        if not requirements or key in self._verified:
            return []
        found = self.client.run(_wire.installed_versions, list(requirements), workers=workers)
        absent, other = {}, set()
        for addr, versions in found.items():
            for req, version in versions.items():
                match = _wire._REQUIREMENT.match(req)
                pin = match.group(2) if match else None
                if version is None:
                    absent.setdefault(req, []).append(addr)
                elif pin and version != pin:
                    other.add(f"{req} (found {version})")
        if absent:
            names = "; ".join(f"{req} on {len(addrs)} of {len(found)} worker(s)" for req, addrs in absent.items())
            raise MissingPackages(f"pip packages not installed on the Dask cluster's workers "
                                  f"(nothing is installed for you): {names}")
        if other:
            log.warning("the Dask cluster's workers have other versions of: %s", ", ".join(sorted(other)))
        self._verified.add(key)
        return []

    def exchange(self, frames, timeout=None, resources=None):
        distributed, client = self._distributed, self.client
        if client is None:
            raise WorkerLost("the gateway client was closed before the call")
        future = client.submit(_wire.run_shipped, *_wire.shippable(frames), pure=False,
                                    resources=resources or None)
        try:
            return future.result(timeout=timeout)
        except TimeoutError:
            # A running task cannot be stopped; it is only forgotten.
            future.cancel()
            raise TimeoutError(f"the remote call ran past its timeout of {timeout} s") from None
        except distributed.KilledWorker as exc:
            raise WorkerLost(f"the Dask worker running the call died: {exc}") from None
        except CancelledError as exc:
            raise WorkerLost(f"the call was cancelled on the Dask cluster: {exc}") from None
        finally:
            del future  # not kept alive by a traceback: the cluster forgets the task

    def close(self):
        if os.getpid() != self.owner:
            return  # a forked child: the connection is its parent's
        client, self.client = self.client, None
        if client is not None and self._own_client:
            try:
                client.close(timeout=_CONNECT_TIMEOUT)
            except Exception as exc:
                log.debug("gateway: closing the Dask client failed: %s", exc)
        log.debug("gateway: Dask backend closed")


class _Progress:
    """A tqdm bar driven by cumulative byte counts, as the data offloader
    reports them."""

    def __init__(self, bar):
        self._bar = bar

    def update(self, done):
        self._bar.update(done - self._bar.n)

    def close(self):
        self._bar.close()


def _progress_bar(label, total):
    from tqdm import tqdm  # type: ignore[import-untyped]
    return _Progress(tqdm(total=total, desc=label, unit="B", unit_scale=True, unit_divisor=1024, leave=False))


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


@functools.lru_cache(maxsize=64)
def _control(pip, hide):
    return pickle.dumps({"pip": list(pip), "hide": hide}, _wire.PROTOCOL)


@functools.lru_cache(maxsize=1)
def _have_tqdm():
    try:
        import tqdm  # noqa: F401
    except ImportError:
        return False
    return True


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
    (default: ``CORVID_GATEWAY_WORKERS``, else the CPU count). ``address``
    (default: ``CORVID_GATEWAY_ADDRESS``) names a Dask scheduler, or
    ``client`` is a ``distributed.Client``: calls then run on that cluster.
    ``api_key`` and ``api_url`` are the service's; with a Dask backend they
    carry large and file arguments through the data store. With
    ``progress`` set, each run prints one line to standard error when it
    ends, and long uploads show a bar (tqdm, when installed).
    """

    _backend_type: type[_Backend] = _LocalBackend

    def __init__(self, *, _internal: bool = False, api_key: str | None = None, fast: bool = False,
                 api_url: str | None = None, progress: bool = False, workers: int | None = None,
                 address: str | None = None, client: Any = None) -> None:
        self._internal = bool(_internal)
        self._api_key = api_key
        self.api_url = api_url
        self.fast = bool(fast)
        self.progress = progress
        self._client = client
        self._client_owner = os.getpid()
        if client is not None:
            address = client.scheduler.address
        elif not address:
            address = os.environ.get(_ADDRESS_ENV, "").strip() or None
        self.address = address
        if address is not None:
            _distributed()  # the missing extra is reported here, not at the first call
        self.workers = _pool_size(workers) if address is None else 0
        self._warm_session_id = None
        self.last_options: dict[str, Any] = {}
        self._backend: _Backend | None = None
        self._closed = False
        self._finalizer = None
        self._lock = threading.Lock()
        self._warned_missing: set[str] = set()

    def __repr__(self):
        state = "open" if self._backend else "closed" if self._closed else "idle"
        where = f"dask {self.address}" if self.address else f"local workers={self.workers}"
        return f"<GateWay {where} {state}>"

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
            backend = self._new_backend()
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

    def _new_backend(self):
        if self.address is None:
            return self._backend_type(self.workers)
        # A forked child cannot use its parent's client: it connects anew.
        given = self._client if self._client_owner == os.getpid() else None
        return _DaskBackend(self.address, given)

    def close(self) -> None:
        """Stop the workers (or leave the cluster); a call still running
        fails with WorkerLost."""
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
        shim_shape = _is_shim_call(args)
        if shim_shape:
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
        timeout, resources = self._apply_options(options, name)
        with self._lock:
            backend = self._backend_locked()
        pip = backend.prepare(list(options.get("pip_packages") or ()), resources)
        hide = int(target is not func)
        offloader = None
        try:
            if backend.remote and self.api_url and self._api_key:
                offloader, staged = self._stage(target, target_args, target_kwargs, shim_shape)
                if staged is not None:
                    target, target_args, target_kwargs = staged
                    hide += 1
            try:
                body = _wire.dumps((target, target_args, target_kwargs))
            except Exception as exc:
                raise SerializationError(f"the call to {name} cannot be serialised: {exc}") from exc
            control = _control(tuple(pip), hide)
            started = time.perf_counter()
            reply = backend.exchange([control, *body], timeout, resources)
            del body
        finally:
            if offloader is not None:
                offloader.flush_all()
        info = pickle.loads(reply[0])
        _replay(info["output"])
        self._warn_missing(info["missing"])
        if self.progress:
            print(f"corvid: {name} ran on {backend.where} {info.get('pid')} in "
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

    def _stage(self, target, target_args, target_kwargs, shim_shape):
        """Local files and large arguments of the call into the data store.

        Answers the offloader, whose keys the caller flushes after the call,
        and the new (target, args, kwargs) to ship, or None to ship the call
        as it is.
        """
        from corvid import cargo
        if shim_shape:
            head, call_args, call_kwargs = target_args[:1], target_args[1], target_args[2]
        else:
            head, call_args, call_kwargs = (), target_args, target_kwargs
        as_list = isinstance(call_args, list)
        resolved_args, resolved_kwargs, files = cargo.resolve_file_args(tuple(call_args), dict(call_kwargs))
        factory = _progress_bar if self.progress and _have_tqdm() else None
        # One offloader per call: its upload cache would otherwise hand a later
        # call the key of content this call's flush deleted.
        offloader = cargo.DataOffloader(self.api_url, self._api_key, progress_factory=factory)
        resolve, ship_args, ship_kwargs, keys = offloader.offload_large_args(
            _wire.collect_arguments, resolved_args, resolved_kwargs)
        if keys:
            return offloader, (_wire.run_with_stored,
                               (resolve, target, head, ship_args, ship_kwargs, not shim_shape, as_list), {})
        if not files:
            return offloader, None
        if shim_shape:
            return offloader, (target, (*head, list(resolved_args) if as_list else resolved_args,
                                        resolved_kwargs), {})
        return offloader, (target, resolved_args, resolved_kwargs)

    def _apply_options(self, options, name):
        """The call's timeout and the worker resources it asks for."""
        self.last_options = dict(options)
        if not options:
            return None, None
        gpu, count = options.get("gpu"), options.get("gpu_count")
        resources = None
        if gpu or count:
            if self.address is not None:
                if isinstance(count, bool) or not isinstance(count, int) or count < 1:
                    count = 1
                resources = {"GPU": count}
                log.debug("%s: gpu=%r: asks the cluster for a worker with resources GPU=%d", name, gpu, count)
            else:
                found = _local_gpu_count()
                log.debug("%s: gpu=%r gpu_count=%r requested; %s", name, gpu, count,
                          f"the local workers share this machine's {found} GPU(s)" if found
                          else "this machine has no GPU, so it runs on the CPU")
        ignored = sorted(set(options) - {"gpu", "gpu_count", "pip_packages", "timeout"})
        if ignored:
            log.debug("%s: options %s do not apply to this gateway's workers", name, ", ".join(ignored))
        timeout = options.get("timeout")
        if timeout is None:
            return None, resources
        if isinstance(timeout, bool) or not isinstance(timeout, (int, float)) or not timeout > 0:
            log.debug("%s: timeout=%r is not a positive number of seconds; ignored", name, timeout)
            return None, resources
        return float(timeout), resources

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
