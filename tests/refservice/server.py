"""Core of the reference service: routing, auth, faults, request log.

Run standalone with ``python tests/refservice/server.py --port 8765``; the
library's built-in default API URL points there.
"""

from __future__ import annotations

import argparse
import importlib
import json
import os
import re
import shutil
import socket
import sqlite3
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Callable
from urllib.parse import parse_qsl, urlsplit

ROUTE_MODULES = ("team", "data", "multipart")


class HttpError(Exception):
    """Raised by a handler: answered as JSON ``{"detail": detail}``."""

    def __init__(self, status: int, detail: Any = None):
        super().__init__(status, detail)
        self.status = status
        self.detail = detail


class _Headers(dict):
    """Case-insensitive header map (keys stored lower-case)."""

    def __getitem__(self, key):
        return super().__getitem__(key.lower())

    def get(self, key, default=None):
        return super().get(key.lower(), default)

    def __contains__(self, key):
        return super().__contains__(key.lower())


@dataclass
class Request:
    method: str
    path: str
    query: dict
    headers: _Headers
    body: bytes
    raw_path: str = ""
    match: re.Match | None = None

    def json(self):
        return json.loads(self.body.decode("utf-8") or "null")


@dataclass
class Response:
    status: int = 200
    body: Any = None
    headers: dict | None = None
    content_type: str | None = None

    def encode(self) -> tuple[bytes, str]:
        body = self.body
        if body is None:
            return b"", self.content_type or "application/json"
        if isinstance(body, (bytes, bytearray, memoryview)):
            return bytes(body), self.content_type or "application/octet-stream"
        if isinstance(body, str):
            return body.encode("utf-8"), self.content_type or "text/plain; charset=utf-8"
        return json.dumps(body).encode("utf-8"), self.content_type or "application/json"


@dataclass
class Fault:
    method: str | None
    path: re.Pattern | None
    status: int | None
    body: Any
    headers: dict | None
    times: int
    delay: float
    drop: bool
    predicate: Callable[[Request], bool] | None

    def matches(self, req: Request) -> bool:
        if self.times <= 0:
            return False
        if self.method and self.method.upper() != req.method:
            return False
        if self.path is not None and not self.path.search(req.path):
            return False
        if self.predicate is not None and not self.predicate(req):
            return False
        return True


class _DropConnection(Exception):
    pass


class RefService:
    """The service. ``start()`` serves on a free port of 127.0.0.1."""

    def __init__(self, api_key: str = "test-key", org_id: str = "org-default", port: int = 0,
                 keep_bodies: bool = True):
        self.api_key = api_key
        # Tests read request bodies back from the log; a long-running server
        # (benchmarks) must not keep every uploaded byte alive.
        self.keep_bodies = keep_bodies
        self.org_id = org_id
        # key -> default org; tests may add keys (e.g. a second team).
        self.keys: dict[str, str] = {api_key: org_id}
        self._port = port
        self._routes: list[tuple[str, re.Pattern, Callable]] = []
        self._faults: list[Fault] = []
        self.requests: list[Request] = []
        self.lock = threading.RLock()
        self.db = sqlite3.connect(":memory:", check_same_thread=False)
        self.blob_dir = tempfile.mkdtemp(prefix="corvid-refservice-")
        self._server: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._reset_hooks: list[Callable[[], None]] = []
        self._install_route_modules()

    # -- set-up -----------------------------------------------------------
    def _install_route_modules(self):
        for name in ROUTE_MODULES:
            try:
                mod = importlib.import_module(f"{__package__ or 'refservice'}.{name}")
            except ModuleNotFoundError as exc:
                if exc.name and exc.name.endswith(name):
                    continue
                raise
            mod.install(self)

    def route(self, method: str, pattern: str):
        def decorator(fn):
            self._routes.append((method.upper(), re.compile(pattern), fn))
            return fn

        return decorator

    def on_reset(self, fn: Callable[[], None]):
        """Register a clean-up run by ``reset()`` (route modules clear their tables)."""
        self._reset_hooks.append(fn)
        return fn

    @property
    def url(self) -> str:
        assert self._server is not None, "service not started"
        host, port = self._server.server_address[:2]
        return f"http://{host}:{port}"

    @property
    def port(self) -> int:
        assert self._server is not None
        return self._server.server_address[1]

    def start(self) -> "RefService":
        handler = _make_handler(self)
        self._server = ThreadingHTTPServer(("127.0.0.1", self._port), handler)
        self._server.daemon_threads = True
        self._thread = threading.Thread(
            target=self._server.serve_forever, name="refservice", daemon=True
        )
        self._thread.start()
        return self

    def stop(self):
        if self._server is not None:
            self._server.shutdown()
            self._server.server_close()
            self._server = None
        shutil.rmtree(self.blob_dir, ignore_errors=True)

    def reset(self):
        """Forget faults, logged requests and stored data; keep routes."""
        with self.lock:
            self._faults.clear()
            self.requests.clear()
            self.keys = {self.api_key: self.org_id}
            for fn in self._reset_hooks:
                fn()
            for entry in os.listdir(self.blob_dir):
                path = os.path.join(self.blob_dir, entry)
                if os.path.isdir(path):
                    shutil.rmtree(path, ignore_errors=True)
                else:
                    os.unlink(path)

    # -- helpers for route modules ---------------------------------------
    def require_auth(self, req: Request) -> str:
        """Check the Bearer key; answer the org the request acts for."""
        auth = req.headers.get("authorization") or ""
        if not auth.startswith("Bearer "):
            raise HttpError(401, "Missing bearer token")
        key = auth[len("Bearer "):].strip()
        with self.lock:
            org = self.keys.get(key)
        if org is None:
            raise HttpError(401, "Invalid API key")
        return req.query.get("org_id") or org

    def add_fault(self, method=None, path=None, status=None, body=None, headers=None,
                  times=1, delay=0.0, drop=False, predicate=None) -> Fault:
        fault = Fault(method, re.compile(path) if path else None, status, body, headers,
                      times, delay, drop, predicate)
        with self.lock:
            self._faults.append(fault)
        return fault

    def requests_to(self, pattern: str, method: str | None = None) -> list[Request]:
        rx = re.compile(pattern)
        with self.lock:
            return [r for r in self.requests
                    if rx.search(r.path) and (method is None or r.method == method.upper())]

    # -- dispatch ---------------------------------------------------------
    def _take_fault(self, req: Request) -> Fault | None:
        with self.lock:
            for fault in self._faults:
                if fault.matches(req):
                    fault.times -= 1
                    return fault
        return None

    def handle(self, req: Request) -> Response:
        with self.lock:
            self.requests.append(req)
        try:
            return self._handle(req)
        finally:
            if not self.keep_bodies:
                req.body = b""

    def _handle(self, req: Request) -> Response:
        fault = self._take_fault(req)
        if fault is not None:
            if fault.delay:
                time.sleep(fault.delay)
            if fault.drop:
                raise _DropConnection()
            if fault.status is not None:
                body = fault.body if fault.body is not None else {"detail": "injected failure"}
                return Response(fault.status, body, fault.headers)
        allowed = False
        for method, pattern, fn in self._routes:
            m = pattern.fullmatch(req.path)
            if not m:
                continue
            allowed = True
            if method != req.method:
                continue
            req.match = m
            try:
                out = fn(req)
            except HttpError as exc:
                return Response(exc.status, {"detail": exc.detail})
            if isinstance(out, Response):
                return out
            return Response(200, out)
        if allowed:
            return Response(405, {"detail": "Method Not Allowed"})
        return Response(404, {"detail": "Not Found"})


def _make_handler(svc: RefService):
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"
        server_version = "corvid-refservice/1"

        def log_message(self, fmt, *args):  # keep test output quiet
            pass

        def _read_body(self) -> bytes:
            if "chunked" in (self.headers.get("Transfer-Encoding") or "").lower():
                parts = []
                while True:
                    line = self.rfile.readline()
                    size = int(line.split(b";")[0].strip() or b"0", 16)
                    if size == 0:
                        while self.rfile.readline() not in (b"\r\n", b"\n", b""):
                            pass
                        break
                    parts.append(self.rfile.read(size))
                    self.rfile.readline()
                return b"".join(parts)
            length = int(self.headers.get("Content-Length") or 0)
            return self.rfile.read(length) if length else b""

        def _serve(self):
            split = urlsplit(self.path)
            req = Request(
                method=self.command,
                path=split.path,
                query=dict(parse_qsl(split.query, keep_blank_values=True)),
                headers=_Headers((k.lower(), v) for k, v in self.headers.items()),
                body=self._read_body(),
                raw_path=self.path,
            )
            try:
                resp = svc.handle(req)
            except _DropConnection:
                self.close_connection = True
                try:
                    self.connection.shutdown(socket.SHUT_RDWR)
                except OSError:
                    pass
                return
            except Exception as exc:  # a bug in a route: answer 500, keep serving
                resp = Response(500, {"detail": f"{type(exc).__name__}: {exc}"})
            body, ctype = resp.encode()
            self.send_response(resp.status)
            headers = dict(resp.headers or {})
            if body or resp.status not in (204, 304):
                headers.setdefault("Content-Type", ctype)
            for k, v in headers.items():
                self.send_header(k, v)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            if self.command != "HEAD" and body:
                self.wfile.write(body)

        do_GET = do_POST = do_PUT = do_DELETE = do_PATCH = do_HEAD = _serve

    return Handler


def main(argv=None):
    parser = argparse.ArgumentParser(description="corvid reference service")
    parser.add_argument("--port", type=int, default=8765)
    parser.add_argument("--api-key", default=os.environ.get("CORVID_API_KEY", "test-key"))
    args = parser.parse_args(argv)
    svc = RefService(api_key=args.api_key, port=args.port, keep_bodies=False).start()
    print(f"reference service on {svc.url} (key {args.api_key!r})", flush=True)
    try:
        threading.Event().wait()
    except KeyboardInterrupt:
        pass
    finally:
        svc.stop()


if __name__ == "__main__":
    # Allow `python tests/refservice/server.py`: make the package importable.
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    __package__ = "refservice"
    from refservice.server import main as _main

    _main()
