"""DataOffloader against the reference service over HTTP."""

import collections
import gc
import logging
import sys
import threading
import traceback
import weakref

import cloudpickle
import httpx
import pytest

import corvid.cargo as cargo
from ._interp import run_python
from refservice import data as store

BIG = b"\x01" * 4096  # above the fixture's 1024-byte threshold


class Progress:
    def __init__(self, label, size):
        self.label, self.size, self.seen, self.closed = label, size, [], False

    def update(self, n):
        self.seen.append(n)

    def close(self):
        self.closed = True


class Bars(list):
    def __call__(self, label, size):
        bar = Progress(label, size)
        self.append(bar)
        return bar


def client_threads():
    """Live threads, less the reference service's connection handlers."""
    return {t for t in threading.enumerate() if "process_request" not in t.name}


def route_names(svc):
    """Which upload routes were hit, in order."""
    out = []
    for r in svc.requests:
        if r.path == "/v1/data/upload-init":
            out.append("direct")
        elif r.path == "/v1/data/upload":
            out.append("legacy")
    return out


def test_nothing_large_returns_the_callers_own_objects(offloader, ref_service):
    args, kwargs = (b"x" * 1023, 5), {"k": "small"}
    f = len
    out = offloader.offload_large_args(f, args, kwargs)
    assert out[0] is f and out[1] is args and out[2] is kwargs and out[3] == []
    assert ref_service.requests == []


def test_direct_route_round_trip_and_wrapper(offloader, ref_service):
    def combine(a, b, *, c=None, d="dflt"):
        """Join the parts."""
        return a + b + c + d.encode()

    exact = b"e" * 1024  # exactly at the threshold: offloaded
    func, args, kwargs, keys = offloader.offload_large_args(combine, (BIG, b"-"), {"c": exact, "d": "z"})
    assert args == (None, b"-") and kwargs == {"c": None, "d": "z"} and len(keys) == 2
    assert offloader._pending_keys == keys
    assert func.__name__ == "combine" and func.__doc__ == "Join the parts." and func.__wrapped__ is combine
    # the presigned PUT carries no credentials; the API calls do
    put = ref_service.requests_to(r"^/_store/", "PUT")[0]
    assert "authorization" not in put.headers and put.headers["content-length"] == str(len(put.body))
    assert put.headers["content-type"] == "application/octet-stream"
    complete = ref_service.requests_to("/v1/data/upload-complete")[0]
    assert complete.json() == {"data_key": keys[0], "size": len(put.body)}
    assert route_names(ref_service) == ["direct", "direct"]
    # the worker gets its values back in place of the placeholders
    assert func(*args, **kwargs) == BIG + b"-" + exact + b"z"
    # a placeholder at an offloaded position is replaced whatever was passed there
    assert func("ignored", b"+", c="ignored") == BIG + b"+" + exact + b"dflt"


def test_repr_shows_url_and_pending_keys_never_the_key(offloader, ref_service):
    offloader.offload_large_args(len, (BIG, BIG + b"!"), {})
    assert repr(offloader) == f"<DataOffloader url={ref_service.url!r} pending=2>"
    assert ref_service.api_key not in repr(offloader)


def test_same_content_is_uploaded_once(offloader, ref_service):
    _, _, _, k1 = offloader.offload_large_args(len, (BIG,), {})
    _, _, _, k2 = offloader.offload_large_args(len, (bytes(BIG),), {})
    assert k1 == k2 and offloader._pending_keys == k1
    assert route_names(ref_service) == ["direct"]


@pytest.mark.parametrize(
    "fault, logged",
    [
        (dict(status=404), None),  # route absent: silent
        (dict(status=500), "upload-init returned 500; using legacy path"),
        (dict(drop=True), "upload-init request failed"),
        (dict(status=200, body={"data_key": "k"}), None),  # no put_url
    ],
)
def test_direct_init_failures_fall_back_to_legacy(offloader, ref_service, caplog, fault, logged):
    ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", **fault)
    before = client_threads()
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        func, args, _, keys = offloader.offload_large_args(len, (BIG,), {})
    assert client_threads() == before
    assert route_names(ref_service) == ["direct", "legacy"]
    assert store.load_object(ref_service, keys[0]) == cloudpickle.dumps(BIG)
    assert func(*args) == len(BIG)
    messages = [r.getMessage() for r in caplog.records if r.name == "corvid.cargo" and r.levelno == logging.DEBUG]
    if logged is None:
        assert not any("upload-init" in m for m in messages)
    else:
        assert any(logged in m for m in messages), messages


@pytest.mark.parametrize("answer", ["not json", [1, 2]])
def test_unreadable_init_answer_is_an_upload_error_not_a_fallback(offloader, ref_service, caplog, answer):
    ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=200, body=answer)
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        func, args, _, keys = offloader.offload_large_args(len, (BIG,), {})
    assert func is len and args == (BIG,) and keys == [] and offloader._upload_cache == {}
    assert route_names(ref_service) == ["direct"] and not ref_service.requests_to("^/_store/")
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].startswith("Data upload error: "), warnings
    assert not [r for r in caplog.records if "legacy" in r.getMessage()]


@pytest.mark.parametrize("fault", [dict(status=403), dict(status=503), dict(drop=True)])
def test_failed_presigned_put_falls_back_to_legacy(offloader, ref_service, caplog, fault):
    ref_service.add_fault(method="PUT", path="^/_store/", **fault)
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        _, _, _, keys = offloader.offload_large_args(len, (BIG,), {})
    assert len(keys) == 1 and route_names(ref_service) == ["direct", "legacy"]
    assert not ref_service.requests_to("/v1/data/upload-complete")
    assert any("direct-to-R2 PUT failed" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("route", ["direct", "legacy"])
def test_large_single_request_bodies_arrive_whole_with_their_length(offloader, ref_service, route):
    # several send slices and a short last one, no progress object
    payload = bytes(range(256)) * (9 * 1024 + 3)
    serialized = cloudpickle.dumps(payload)
    assert len(serialized) > 2 * 1024 * 1024 and len(serialized) % (1024 * 1024)
    if route == "legacy":
        ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=404)
    key = offloader._upload(payload)
    assert route_names(ref_service) == ([route] if route == "direct" else ["direct", "legacy"])
    path, method = ("^/_store/", "PUT") if route == "direct" else ("^/v1/data/upload$", "POST")
    (sent,) = ref_service.requests_to(path, method)
    assert sent.body == serialized and sent.headers["content-length"] == str(len(serialized))
    assert "transfer-encoding" not in sent.headers
    assert store.load_object(ref_service, key) == serialized


def test_presigned_urls_are_refused_without_a_valid_signature(ref_service):
    auth = {"Authorization": f"Bearer {ref_service.api_key}"}
    put_url = httpx.post(ref_service.url + "/v1/data/upload-init", headers=auth).json()["put_url"]
    assert httpx.put(put_url.replace("sig=", "sig=0"), content=b"x").status_code == 403
    assert httpx.put(put_url.split("?")[0], content=b"x").status_code == 403
    assert httpx.put(put_url, content=b"x").status_code == 200


@pytest.mark.parametrize(
    "legacy_fault, warning",
    [
        (dict(status=507, body="x" * 500), "Data upload failed: 507 " + "x" * 200),  # body cut
        (dict(drop=True), "Data upload error: "),
        (dict(status=200, body="<html>"), "Data upload error: "),
    ],
)
def test_every_route_failing_ships_the_argument_in_place(offloader, ref_service, caplog, legacy_fault,
                                                         warning):
    ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=404)
    ref_service.add_fault(method="POST", path="^/v1/data/upload$", **legacy_fault)
    before = client_threads()
    with caplog.at_level(logging.WARNING, logger="corvid.cargo"):
        func, args, kwargs, keys = offloader.offload_large_args(len, (BIG,), {"k": 1})
    assert func is len and args == (BIG,) and keys == [] and offloader._pending_keys == []
    warnings = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert len(warnings) == 1 and warnings[0].startswith(warning), warnings
    assert client_threads() == before


def test_a_replaced_upload_that_raises_leaves_the_argument_in_place(ref_service, caplog):
    class Faulty(cargo.DataOffloader):
        def _upload(self, arg, label="Uploading data"):
            if label.endswith("#0"):
                raise RuntimeError("route bug")
            return super()._upload(arg, label=label)

    off = Faulty(ref_service.url, ref_service.api_key, 10)
    with caplog.at_level(logging.WARNING, logger="corvid.cargo"):
        func, args, _, keys = off.offload_large_args(lambda a, b: a + b, (BIG, BIG[:100]), {})
    assert args == (BIG, None) and len(keys) == 1 and func(*args) == BIG + BIG[:100]
    assert any("route bug" in r.getMessage() for r in caplog.records)


def test_unreachable_service_and_unpicklable_arguments_never_raise(caplog):
    dead = cargo.DataOffloader("http://127.0.0.1:9", "k", size_threshold=10)

    class Unpicklable:
        nbytes = 10**9

        def __reduce__(self):
            raise TypeError("cannot pickle this")

    odd = Unpicklable()
    with caplog.at_level(logging.WARNING, logger="corvid.cargo"):
        func, args, kwargs, keys = dead.offload_large_args(len, (BIG,), {"u": odd})
    assert args == (BIG,) and kwargs["u"] is odd and keys == []
    messages = [r.getMessage() for r in caplog.records]
    assert any(m.startswith("Data upload error: ") for m in messages)
    assert any(m.startswith("Cannot serialise arg for offload: ") for m in messages)


def test_empty_key_from_the_legacy_route_counts_as_failure(offloader, ref_service):
    ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=404)
    ref_service.add_fault(method="POST", path="^/v1/data/upload$", status=200, body={"data_key": ""})
    _, args, _, keys = offloader.offload_large_args(len, (BIG,), {})
    assert args == (BIG,) and keys == [] and offloader._upload_cache == {}


@pytest.mark.parametrize("legacy", [False, True])
def test_progress_objects(ref_service, legacy):
    bars = Bars()
    off = cargo.DataOffloader(ref_service.url, ref_service.api_key, 10, progress_factory=bars)
    assert off.UPLOAD_PROGRESS_THRESHOLD == 5242880
    if legacy:
        ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=404, times=5)
    payload = b"p" * 600_000
    size = len(cloudpickle.dumps(payload))
    off.UPLOAD_PROGRESS_THRESHOLD = size + 1  # one byte short: no progress object
    off.offload_large_args(len, (payload,), {})
    assert bars == []
    off.UPLOAD_PROGRESS_THRESHOLD = size
    off.offload_large_args(len, (b"q" * len(payload),), {"x": b"r" * len(payload)})
    assert [b.label for b in bars] == ["Uploading arg #0", "Uploading kwarg 'x'"]
    for bar in bars:
        assert bar.closed and bar.size == size
        if legacy:
            assert bar.seen == [262144, 524288, size]
        else:
            assert bar.seen == [size]


def test_failing_progress_factory_or_bar_does_not_stop_the_upload(ref_service):
    def factory(label, size):
        raise RuntimeError("no terminal")

    class BadBar(Progress):
        def update(self, n):
            raise RuntimeError("redraw failed")

        def close(self):
            raise RuntimeError("close failed")

    for f in (factory, BadBar):
        off = cargo.DataOffloader(ref_service.url, ref_service.api_key, 10, progress_factory=f)
        off.UPLOAD_PROGRESS_THRESHOLD = 0
        assert len(off.offload_large_args(len, (BIG,), {})[3]) == 1


class Recording(cargo.DataOffloader):
    """Records what _upload hands each route, then lets the real route run."""

    def __init__(self, *a, multipart_answer=None, **kw):
        super().__init__(*a, **kw)
        self.calls = []
        self.multipart_answer = multipart_answer

    def _upload_multipart_to_r2(self, serialized, size, upload_timeout, progress):
        self.calls.append(("multipart", size, upload_timeout))
        return self.multipart_answer

    def _upload_direct_to_r2(self, serialized, size, upload_timeout, progress):
        self.calls.append(("direct", size, upload_timeout))
        return super()._upload_direct_to_r2(serialized, size, upload_timeout, progress)


def test_route_order_and_upload_timeout(ref_service, monkeypatch):
    small = b"s" * 5000
    size = len(cloudpickle.dumps(small))
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", size)  # strictly greater needed
    off = Recording(ref_service.url, ref_service.api_key, 10)
    assert off._upload(small) is not None
    assert off.calls == [("direct", size, 300.0)]
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", size - 1)
    off.calls.clear()
    key = off._upload(small + b"2")
    assert [c[0] for c in off.calls] == ["multipart", "direct"] and key in off._pending_keys
    off = Recording(ref_service.url, ref_service.api_key, 10, multipart_answer="mp-key")
    big = b"b" * (100 * 1024 * 1024)
    assert off._upload(big) == "mp-key" and off._pending_keys == ["mp-key"]
    assert off.calls == [("multipart", len(cloudpickle.dumps(big)), len(cloudpickle.dumps(big)) / 262144)]


def test_flush_keys_deletes_and_forgets_cached_content(offloader, ref_service):
    func, args, _, keys = offloader.offload_large_args(len, (BIG, b"y" * 2048), {})
    assert store.stored_keys(ref_service) == keys
    ref_service.add_fault(method="DELETE", drop=True)  # the first delete breaks: the loop goes on
    offloader.flush_keys([keys[0], keys[1]])
    deletes = ref_service.requests_to("^/v1/data/dk_", "DELETE")
    assert [d.path for d in deletes] == ["/v1/data/" + k for k in keys]
    assert all(d.headers["authorization"] == "Bearer test-key" for d in deletes)
    assert store.stored_keys(ref_service) == [keys[0]] and offloader._pending_keys == []
    # content whose key was deleted is uploaded again, and resolves on the worker
    func, args, _, again = offloader.offload_large_args(len, (b"y" * 2048,), {})
    assert again[0] not in keys and func(*args) == 2048
    assert offloader._pending_keys == again


def test_flush_all(offloader, ref_service):
    offloader.flush_all()
    assert ref_service.requests == []
    _, _, _, keys = offloader.offload_large_args(len, (BIG,), {"b": b"q" * 5000})
    offloader.flush_all()
    assert store.stored_keys(ref_service) == [] and offloader._pending_keys == []
    assert offloader._upload_cache == {}
    with pytest.raises(httpx.HTTPStatusError):  # a flushed key no longer resolves
        httpx.get(f"{ref_service.url}/v1/data/{keys[0]}", follow_redirects=True).raise_for_status()


def test_offloader_pickles_without_its_lock(offloader, ref_service, round_trip):
    offloader.offload_large_args(len, (BIG,), {})
    assert "_keys_lock" not in offloader.__getstate__()
    copy = round_trip(offloader)
    assert copy._pending_keys == offloader._pending_keys and copy._upload_cache == offloader._upload_cache
    assert copy._keys_lock is not offloader._keys_lock
    assert copy._keys_lock.acquire(blocking=False)
    copy._keys_lock.release()
    copy.flush_all()
    assert store.stored_keys(ref_service) == []


def test_wrapper_holds_no_reference_to_the_offloader(offloader):
    func = offloader.offload_large_args(len, (BIG,), {})[0]
    offloader.trap = threading.Lock()  # unpicklable: would break the wrapper's pickle
    data = cloudpickle.dumps(func)
    assert b"DataOffloader" not in data
    gc.collect()
    assert offloader not in gc.get_referents(*[c.cell_contents for c in func.__closure__])


def test_wrapper_runs_in_a_fresh_interpreter_without_corvid(offloader, ref_service):
    src = "def scale(values, factor=1):\n    'Multiply.'\n    return [v * factor for v in values]\n"
    ns = {"__name__": "__main__"}
    exec(src, ns)
    values = list(range(500))
    func, args, kwargs, keys = offloader.offload_large_args(ns["scale"], (values,), {"factor": 3})
    assert args == (None,) and len(keys) == 1
    blob = cloudpickle.dumps((func, args, kwargs))
    out = run_python(
        """
        import sys, cloudpickle
        func, args, kwargs = cloudpickle.loads(sys.stdin.buffer.read())
        result = func(*args, **kwargs)
        assert not any(m == "corvid" or m.startswith("corvid.") for m in sys.modules)
        print(func.__name__, func.__doc__, sum(result))
        """,
        stdin=blob,
        block_corvid=True,
    )
    assert out.split() == ["scale", "Multiply.", str(3 * sum(values))]
    redirected = ref_service.requests_to("^/_store/", "GET")
    assert len(redirected) == 1 and "authorization" not in redirected[0].headers


def test_wrapper_raises_when_a_download_fails(offloader, ref_service):
    func, args, _, keys = offloader.offload_large_args(len, (BIG,), {})
    ref_service.add_fault(method="GET", path="^/_store/", status=503)
    with pytest.raises(httpx.HTTPStatusError):
        func(*args)
    offloader.flush_keys(keys)
    with pytest.raises(httpx.HTTPStatusError):
        func(*args)


def test_offloader_is_weakly_referenceable_and_collectable(ref_service):
    off = cargo.DataOffloader(ref_service.url, ref_service.api_key, 10)
    ref = weakref.ref(off)
    del off
    assert ref() is None  # no hidden owner: gone with its last reference

    class Bar(Progress):
        pass

    off = cargo.DataOffloader(ref_service.url, ref_service.api_key, 10)
    holder = Bar("", 0)
    holder.owner = off  # progress factory -> bar -> offloader: a cycle
    off._progress_factory = lambda label, size: holder
    off.UPLOAD_PROGRESS_THRESHOLD = 0
    assert len(off.offload_large_args(len, (BIG,), {})[3]) == 1 and holder.closed
    ref = weakref.ref(off)
    del off, holder
    gc.collect()
    assert ref() is None


def test_messages_go_to_the_module_logger_value(offloader, ref_service, monkeypatch):
    assert cargo.logger is logging.getLogger("corvid.cargo")

    class Recorder:
        def __init__(self):
            self.calls = []

        def __getattr__(self, level):
            return lambda fmt, *args: self.calls.append((level, fmt % args))

    rec = Recorder()
    monkeypatch.setattr(cargo, "logger", rec)
    ref_service.add_fault(method="POST", path="^/v1/data/upload-init$", status=500)
    _, _, _, keys = offloader.offload_large_args(len, (BIG,), {})
    offloader.flush_all()
    assert rec.calls == [
        ("debug", "upload-init returned 500; using legacy path"),
        ("info", "Offloaded 1 arg(s) to backend data store"),
        ("info", "Flushing 1 remaining data key(s)…"),
        ("debug", "Flushed 1 data key(s)"),
    ]


def test_setstate_on_a_live_offloader_updates_it_like_a_python_object(offloader):
    old_lock = offloader._keys_lock
    offloader.__setstate__(collections.OrderedDict(_pending_keys=["k1"], api_url="http://elsewhere"))
    assert offloader._pending_keys == ["k1"] and offloader.api_url == "http://elsewhere"
    assert offloader._keys_lock is not old_lock and offloader._keys_lock.acquire(blocking=False)
    offloader._keys_lock.release()
    assert offloader._upload_cache == {}  # attributes not in the state stay


def test_init_again_on_a_live_offloader_starts_it_afresh(offloader):
    offloader._pending_keys.append("k0")
    offloader.__init__("http://other", "key2", 7)
    assert (offloader.api_url, offloader.api_key, offloader._size_threshold) == ("http://other", "key2", 7)
    assert offloader._pending_keys == [] and offloader._upload_cache == {}
    rf = cargo._RemoteFile(b"abc", "a.txt")
    rf.__init__(b"xy", "b.txt")
    assert repr(rf) == "RemoteFile('b.txt', 2 bytes)" and rf._path is None


def test_module_functions_are_looked_up_when_used(offloader, ref_service, monkeypatch):
    # a small argument that the module's estimate now calls large is offloaded
    monkeypatch.setattr(cargo, "estimate_arg_size", lambda a: 10**6 if a == b"tiny" else 0)
    func, args, _, keys = offloader.offload_large_args(lambda a, b: len(a), (b"tiny", b"x" * 5000), {})
    assert args == (None, b"x" * 5000) and len(keys) == 1 and func(*args) == 4
    # the legacy route streams through the module's _stream_bytes when a bar exists
    chunks = []

    def recording_stream(data, on_progress=None, chunk_size=262144):
        chunks.append(chunk_size)
        yield bytes(data)
        on_progress(len(data), len(data))

    monkeypatch.setattr(cargo, "_stream_bytes", recording_stream)
    bar = Progress("", 0)
    assert offloader._upload_legacy(b"payload", 7, 300.0, bar)
    assert chunks == [262144] and bar.seen == [7]


def test_none_is_an_ordinary_argument_everywhere(offloader, ref_service):
    assert cargo.estimate_arg_size(None) == sys.getsizeof(None) and cargo._shallow_size(None) == sys.getsizeof(None)
    func, args, kwargs, keys = offloader.offload_large_args(lambda a, b, c=None: (a, len(b), c), (None, BIG),
                                                            {"c": None})
    assert args == (None, None) and kwargs == {"c": None} and len(keys) == 1
    assert func(*args, **kwargs) == (None, len(BIG), None)
    key = offloader._upload(None)  # None itself is a value that can be stored
    assert key and cloudpickle.loads(store.load_object(ref_service, key)) is None


def test_init_and_setstate_refuse_a_self_of_another_class():
    out = run_python("""
        import corvid.cargo as c
        class MyUploader:
            def __init__(self):
                c.DataOffloader.__init__(self, "http://x", "k")
        for call in ["MyUploader()", "c.DataOffloader.__setstate__(0, {})", "c._RemoteFile.__init__(1, b'', 'f')",
                     "c._RemoteFile.__setstate__(1, {})", "c._RemoteDir.__init__(c._RemoteFile(b'', 'f'), b'', 'd')",
                     "c._RemoteDir.__setstate__(1, {})"]:
            try:
                eval(call)
            except TypeError as exc:
                print(exc)
    """)  # in a child interpreter: this used to crash
    assert out.count("objects doesn't apply to a") == 6 and "'MyUploader' object" in out


def test_objects_a_daemon_thread_holds_at_exit_are_not_reported_as_leaks():
    proc = run_python("""
        import threading
        import corvid.cargo as c
        held = [c.DataOffloader("http://x", "k"), c._RemoteFile(b"a", "a"), c._RemoteDir(b"", "d")]
        threading.Thread(target=lambda objects: threading.Event().wait(), args=(held,), daemon=True).start()
    """, check=False)
    assert proc.returncode == 0 and proc.stderr == b""


def test_api_key_loses_white_space_and_never_shows_in_messages(ref_service, caplog, monkeypatch):
    off = cargo.DataOffloader(ref_service.url, f" {ref_service.api_key}\n", size_threshold=1024)
    assert off.api_key == ref_service.api_key and len(off.offload_large_args(len, (BIG,), {})[3]) == 1
    off = cargo.DataOffloader(ref_service.url, "s3cr3t\nk3y", size_threshold=1024)  # a header the client refuses
    monkeypatch.setattr(cargo, "_DATA_MULTIPART_THRESHOLD", 0)  # every route is tried
    with caplog.at_level(logging.DEBUG, logger="corvid.cargo"):
        assert off.offload_large_args(len, (BIG,), {})[1] == (BIG,)
    with pytest.raises(httpx.LocalProtocolError) as info:
        off._upload_legacy(b"payload", 7, 30.0, None)
    messages = [r.getMessage() for r in caplog.records]  # the multipart, single-PUT and legacy routes report it
    assert sum("Illegal header value b'Bearer ***'" in m for m in messages) == 3
    assert str(info.value) == "Illegal header value b'Bearer ***'"
    assert not any("s3cr3t" in t or "k3y" in t for t in messages + traceback.format_exception(info.value))
