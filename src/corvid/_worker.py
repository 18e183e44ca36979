"""Worker process of the gateway client's local backend.

Started by ``corvid.client`` as ``python -m corvid._worker``; never imports
the caller's main module. It reads one request at a time from standard input,
runs it and writes the reply to standard output, until standard input ends
(the parent closed the pipe or died).

Wire format, both directions: a message is a list of frames,

    <u32 frame count> <u64 length> * count  then the frames back to back.

A request is ``[control, body, *buffers]``: ``control`` a plain pickle of a
small dict (``pip``: requirement texts to check; ``hide``: how many frames
of wrappers the traceback of an error leaves out), ``body`` a cloudpickle
(protocol 5) of ``(target, args, kwargs)`` whose large buffers travel out of
band as the trailing frames. A reply has the same shape; its control dict
carries ``status`` ("ok", "error", "unpicklable-call", "unpicklable-result"),
``output`` (the call's prints as ``(stream, text)`` pairs, stream 1 or 2, in
the order written), ``missing`` (requirements not installed here) and, for an
error, its details.

``execute`` is the whole remote side and knows nothing of pipes, so another
transport can ship the same frames to it: ``run_shipped`` is the task the
Dask backend submits, and ``run_with_stored`` the driver of a call whose
arguments wait in the service's data store.
"""

import io
import os
import pickle
import re
import signal
import struct
import sys
import threading
import time
import traceback

import cloudpickle

PROTOCOL = 5
_COUNT = struct.Struct("<I")
_IOV_MAX = 512
# Big enough that a large buffer moves in few system calls.
PIPE_SIZE = 1 << 20


# -- framing (shared with the client) ----------------------------------------

def write_message(fd, frames):
    """Write ``frames`` to ``fd`` as one message, without joining them."""
    header = _COUNT.pack(len(frames)) + struct.pack(
        f"<{len(frames)}Q", *(memoryview(f).nbytes for f in frames))
    views = [memoryview(header)]
    views += [memoryview(f).cast("B") for f in frames if memoryview(f).nbytes]
    while views:
        written = os.writev(fd, views[:_IOV_MAX])
        # A pipe write may stop short (a signal); drop what went out.
        while written:
            n = views[0].nbytes
            if written >= n:
                written -= n
                views.pop(0)
            else:
                views[0] = views[0][written:]
                written = 0


def _read_exact(stream, n):
    buf = bytearray(n)
    view = memoryview(buf)
    got = 0
    while got < n:
        k = stream.readinto(view[got:])
        if not k:
            raise EOFError(f"pipe closed after {got} of {n} bytes")
        got += k
    return buf


def read_message(stream):
    """Read one message from a buffered binary stream; None at a clean end."""
    head = stream.read(_COUNT.size)
    if not head:
        return None
    if len(head) < _COUNT.size:
        head += _read_exact(stream, _COUNT.size - len(head))
    (count,) = _COUNT.unpack(head)
    lengths = struct.unpack(f"<{count}Q", _read_exact(stream, 8 * count))
    return [_read_exact(stream, n) for n in lengths]


def dumps(obj):
    """cloudpickle ``obj``; returns ``[body, *out_of_band_buffers]``."""
    buffers = []
    body = cloudpickle.dumps(obj, protocol=PROTOCOL, buffer_callback=buffers.append)
    return [body, *(b.raw() for b in buffers)]


def loads(frames):
    return pickle.loads(frames[0], buffers=frames[1:])


def grow_pipe(fd):
    try:
        import fcntl
        fcntl.fcntl(fd, fcntl.F_SETPIPE_SZ, PIPE_SIZE)
    except (ImportError, AttributeError, OSError):
        pass


# -- the remote side ---------------------------------------------------------

class _Router(io.TextIOBase):
    """Stands in for sys.stdout or sys.stderr while calls run.

    A write goes to the capture of the thread that makes it; from another
    thread it goes to the only call running, if just one runs (the local
    worker: prints of threads the call started are the call's), else to the
    stream that was there before.
    """

    def __init__(self, stream, original):
        self._stream = stream
        self._original = original

    encoding = "utf-8"
    errors = "strict"

    def writable(self):
        return True

    def write(self, text):
        if not isinstance(text, str):
            raise TypeError(f"write() argument must be str, not {type(text).__name__}")
        chunks = _captures.get(threading.get_ident())
        if chunks is None:
            running = list(_captures.values())
            if len(running) != 1:
                return self._original.write(text) if self._original is not None else len(text)
            chunks = running[0]
        if text:
            chunks.append((self._stream, text))
        return len(text)


_captures: dict[int, list] = {}
_capture_lock = threading.Lock()
_saved_streams = None


def _capture_begin(chunks):
    global _saved_streams
    with _capture_lock:
        if not _captures:
            _saved_streams = sys.stdout, sys.stderr
            sys.stdout, sys.stderr = _Router(1, sys.stdout), _Router(2, sys.stderr)
        _captures[threading.get_ident()] = chunks


def _capture_end():
    global _saved_streams
    with _capture_lock:
        _captures.pop(threading.get_ident(), None)
        if not _captures and _saved_streams is not None:
            sys.stdout, sys.stderr = _saved_streams
            _saved_streams = None


def _merged(chunks):
    out = []
    for stream, text in chunks:
        if out and out[-1][0] == stream:
            out[-1] = (stream, out[-1][1] + text)
        else:
            out.append((stream, text))
    return out


_installed: dict[str, str | None] = {}
# name, then an exact pin if there is one; other specifiers are not checked
_REQUIREMENT = re.compile(r"\s*([A-Za-z0-9][A-Za-z0-9._-]*)\s*(?:\[[^\]]*\])?\s*(?:==\s*([^\s;,]+))?")


def _missing(requirements):
    """Requirement texts whose distribution is not installed here."""
    from importlib import metadata
    missing = []
    for req in requirements or ():
        match = _REQUIREMENT.match(str(req))
        if not match:
            missing.append(str(req))
            continue
        name, pin = match.group(1), match.group(2)
        if name not in _installed:
            try:
                _installed[name] = metadata.version(name)
            except Exception:
                _installed[name] = None
        version = _installed[name]
        if version is None or (pin and version != pin):
            missing.append(str(req))
    return missing


def _text(produce, fallback):
    try:
        return str(produce())
    except Exception:
        return fallback


def _error_details(exc):
    kind = f"{type(exc).__module__}.{type(exc).__qualname__}"
    details = {
        "type": kind,
        "message": _text(lambda: exc, f"<{kind} whose str() failed>"),
        "traceback": _text(lambda: "".join(traceback.format_exception(exc)), f"{kind} (no traceback)"),
        "exception": None,
        "cls": None,
    }
    # The class travels on its own as well: an exception whose constructor
    # takes other arguments than its args pickles but does not unpickle.
    for key, obj in (("exception", exc), ("cls", type(exc))):
        try:
            details[key] = cloudpickle.dumps(obj, protocol=PROTOCOL)
        except Exception:
            pass
    return details


def execute(frames):
    """Run one request (see the module text) and return the reply frames."""
    control = pickle.loads(frames[0])
    reply = {"status": "ok", "output": [], "missing": _missing(control.get("pip")), "pid": os.getpid()}
    try:
        target, args, kwargs = loads(frames[1:])
    except BaseException as exc:
        reply.update(status="unpicklable-call", error=_error_details(exc))
        return [pickle.dumps(reply, PROTOCOL)]
    chunks = []
    _capture_begin(chunks)
    try:
        result = target(*args, **kwargs)
    except BaseException as exc:
        result = None
        # The traceback starts at the caller's function: this frame and the
        # ``hide`` frames of a wrapper around it (a shim) are left out.
        tb = exc.__traceback__.tb_next
        for _ in range(control.get("hide", 0)):
            if tb is not None and tb.tb_next is not None:
                tb = tb.tb_next
        reply.update(status="error", error=_error_details(exc.with_traceback(tb)))
    finally:
        _capture_end()
    del target, args, kwargs
    reply["output"] = _merged(chunks)
    body = []
    if reply["status"] == "ok":
        try:
            body = dumps(result)
        except Exception as exc:
            reply.update(status="unpicklable-result", error=_error_details(exc))
    return [pickle.dumps(reply, PROTOCOL), *body]


# -- other transports ------------------------------------------------------

# Frames at least this large travel as numpy arrays where numpy is loaded:
# Dask moves those out of band, other buffers are copied into its messages.
_SHIP_AS_ARRAY = 1 << 16


def shippable(frames):
    """``frames`` in the form that moves cheapest through Dask's messages."""
    numpy = sys.modules.get("numpy")
    if numpy is None:
        return frames
    return [numpy.frombuffer(f, dtype=numpy.uint8) if memoryview(f).nbytes >= _SHIP_AS_ARRAY else f
            for f in frames]


def run_shipped(*frames):
    """The task a Dask worker runs: ``execute`` on frames given as arguments."""
    return shippable(execute(list(frames)))


def installed_versions(requirements):
    """{requirement text: installed version, or None} for this interpreter."""
    from importlib import metadata
    found = {}
    for req in requirements:
        match = _REQUIREMENT.match(str(req))
        try:
            found[req] = metadata.version(match.group(1)) if match else None
        except Exception:
            found[req] = None
    return found


def collect_arguments(*args, **kwargs):
    return args, kwargs


def run_with_stored(resolve, target, head, args, kwargs, spread, as_list):
    """Fetch a call's stored arguments, then make the call.

    ``resolve`` is the data offloader's wrapper of ``collect_arguments``: it
    puts every stored argument back in place. ``spread`` calls
    ``target(*head, *args, **kwargs)``, otherwise ``target(*head, args,
    kwargs)`` (a shim, which then sees the caller's own objects).
    """
    args, kwargs = resolve(*args, **kwargs)
    if spread:
        return target(*head, *args, **kwargs)
    return target(*head, list(args) if as_list else args, kwargs)


# -- process ---------------------------------------------------------------

def _watch_parent(parent):
    # A worker busy in a long call does not read its pipe, so the end of the
    # parent is also watched here.
    while os.getppid() == parent:
        time.sleep(0.5)
    _die()


def _die():
    # The worker leads its own process group: whatever the user's code started
    # goes with it.
    if os.getpgrp() == os.getpid():
        os.killpg(os.getpid(), signal.SIGKILL)
    os._exit(0)


_pipes = ()


def _forget_pipes():
    # A process forked by the user's code must not hold the pipes open: the
    # parent would not see this worker's end while it lives. The numbers stay
    # taken (by /dev/null), as file objects of this process still own them.
    try:
        devnull = os.open(os.devnull, os.O_RDWR)
    except OSError:
        return
    for fd in _pipes:
        os.dup2(devnull, fd, inheritable=False)
    os.close(devnull)


def main():
    # Keep the message pipes for ourselves: fd 0 reads nothing from now on and
    # fd 1 goes to the parent's stderr, so stray low-level writes of user code
    # cannot corrupt a message.
    global _pipes
    rfd, wfd = _pipes = os.dup(0), os.dup(1)
    devnull = os.open(os.devnull, os.O_RDONLY)
    os.dup2(devnull, 0)
    os.close(devnull)
    os.dup2(2, 1)
    grow_pipe(wfd)
    os.register_at_fork(after_in_child=_forget_pipes)
    parent = int(os.environ.pop("CORVID_WORKER_PARENT", "0")) or os.getppid()
    if os.getppid() != parent:
        _die()
    threading.Thread(target=_watch_parent, args=(parent,), name="corvid-worker-watch",
                     daemon=True).start()
    requests = open(rfd, "rb", buffering=1 << 16)
    while True:
        try:
            frames = read_message(requests)
        except EOFError:
            frames = None
        if frames is None:
            break
        try:
            reply = execute(frames)
        except Exception as exc:  # ours, not the call's: answer rather than die
            reply = [pickle.dumps({"status": "error", "output": [], "missing": [], "pid": os.getpid(),
                                   "error": _error_details(exc)}, PROTOCOL)]
        del frames
        write_message(wfd, reply)
        del reply
    _die()


if __name__ == "__main__":
    main()
