"""Data-store routes of the reference service.

Values are kept as files under ``svc.blob_dir`` and described by rows of the
``data_objects`` table.  Uploads and downloads that bypass the API go through
presigned URLs served by this same process under ``/_store/``: the URL carries
an expiry and an HMAC of (operation, key, expiry); a missing, wrong or expired
signature is answered 403.

Helpers for other route modules (multipart):

    sign_url(svc, key, op, ttl=600.0, **params) -> str   full presigned URL
    check_token(svc, req, key, op)                        raises HttpError(403)
    store_object(svc, key, data, org=None, state="complete")
    object_path(svc, key) -> str                          file holding the bytes
    load_object(svc, key) -> bytes | None
    object_row(svc, key) -> dict | None
    new_key() -> str
"""

from __future__ import annotations

import hashlib
import hmac
import os
import time
import uuid
from urllib.parse import urlencode

from .server import HttpError, Response

_KEY_RX = r"[A-Za-z0-9_.-]+"
_STORE_PREFIX = "/_store/"


def _ensure_tables(svc) -> None:
    with svc.lock:
        svc.db.execute(
            "CREATE TABLE IF NOT EXISTS data_objects ("
            " key TEXT PRIMARY KEY, org TEXT, size INTEGER, md5 TEXT,"
            " state TEXT NOT NULL, created REAL NOT NULL)"
        )
        svc.db.commit()


def _secret(svc) -> bytes:
    secret = getattr(svc, "_data_url_secret", None)
    if secret is None:
        secret = os.urandom(32)
        svc._data_url_secret = secret
    return secret


def new_key() -> str:
    return "dk_" + uuid.uuid4().hex


def _signature(svc, key: str, op: str, expires: str) -> str:
    msg = f"{op}\n{key}\n{expires}".encode()
    return hmac.new(_secret(svc), msg, hashlib.sha256).hexdigest()


def sign_url(svc, key: str, op: str, ttl: float = 600.0, **params) -> str:
    """A presigned URL for `op` ("put" or "get") on `key`, plus extra query params.

    Extra params (e.g. part numbers of a multipart upload) are part of the
    operation name signed, so they cannot be altered either.
    """
    expires = str(int(time.time() + ttl))
    signed_op = op + "".join(f"&{k}={params[k]}" for k in sorted(params))
    query = dict(params)
    query.update(op=op, expires=expires, sig=_signature(svc, key, signed_op, expires))
    return f"{svc.url}{_STORE_PREFIX}{key}?{urlencode(query)}"


def check_token(svc, req, key: str, op: str) -> None:
    """Refuse (403) a store request whose signature does not cover `op` on `key`."""
    sig = req.query.get("sig")
    expires = req.query.get("expires")
    if not sig or not expires or req.query.get("op") != op:
        raise HttpError(403, "missing or incomplete signature")
    extra = {k: v for k, v in req.query.items() if k not in ("sig", "expires", "op")}
    signed_op = op + "".join(f"&{k}={extra[k]}" for k in sorted(extra))
    want = _signature(svc, key, signed_op, expires)
    if not hmac.compare_digest(want, sig):
        raise HttpError(403, "bad signature")
    try:
        if float(expires) < time.time():
            raise HttpError(403, "signature expired")
    except ValueError:
        raise HttpError(403, "bad expiry") from None


def object_path(svc, key: str) -> str:
    return os.path.join(svc.blob_dir, "obj-" + key)


def store_object(svc, key: str, data: bytes, org: str | None = None,
                 state: str = "complete") -> str:
    """Write the bytes of `key` and record them; answers the MD5 hex digest."""
    _ensure_tables(svc)
    path = object_path(svc, key)
    with open(path, "wb") as fh:
        fh.write(data)
    md5 = hashlib.md5(data).hexdigest()
    with svc.lock:
        svc.db.execute(
            "INSERT INTO data_objects (key, org, size, md5, state, created)"
            " VALUES (?, ?, ?, ?, ?, ?)"
            " ON CONFLICT(key) DO UPDATE SET size=excluded.size, md5=excluded.md5,"
            " state=excluded.state, org=COALESCE(excluded.org, data_objects.org)",
            (key, org, len(data), md5, state, time.time()),
        )
        svc.db.commit()
    return md5


def object_row(svc, key: str) -> dict | None:
    _ensure_tables(svc)
    with svc.lock:
        cur = svc.db.execute(
            "SELECT key, org, size, md5, state FROM data_objects WHERE key = ?", (key,)
        )
        row = cur.fetchone()
    if row is None:
        return None
    return dict(zip(("key", "org", "size", "md5", "state"), row))


def load_object(svc, key: str) -> bytes | None:
    row = object_row(svc, key)
    if row is None or row["state"] != "complete":
        return None
    try:
        with open(object_path(svc, key), "rb") as fh:
            return fh.read()
    except FileNotFoundError:
        return None


def stored_keys(svc) -> list[str]:
    """Keys of every complete object (tests use it to see what is left)."""
    _ensure_tables(svc)
    with svc.lock:
        cur = svc.db.execute("SELECT key FROM data_objects WHERE state = 'complete' ORDER BY created")
        return [r[0] for r in cur.fetchall()]


def _reserve(svc, org: str) -> str:
    _ensure_tables(svc)
    key = new_key()
    with svc.lock:
        svc.db.execute(
            "INSERT INTO data_objects (key, org, size, md5, state, created) VALUES (?, ?, 0, '', 'pending', ?)",
            (key, org, time.time()),
        )
        svc.db.commit()
    return key


def install(svc) -> None:
    _ensure_tables(svc)

    @svc.on_reset
    def _clear():
        _ensure_tables(svc)
        svc.db.execute("DELETE FROM data_objects")
        svc.db.commit()

    @svc.route("POST", r"/v1/data/upload-init")
    def upload_init(req):
        org = svc.require_auth(req)
        key = _reserve(svc, org)
        return {"data_key": key, "put_url": sign_url(svc, key, "put")}

    @svc.route("POST", r"/v1/data/upload-complete")
    def upload_complete(req):
        svc.require_auth(req)
        body = req.json() or {}
        key = body.get("data_key")
        row = object_row(svc, key) if isinstance(key, str) else None
        if row is None:
            raise HttpError(404, "unknown data key")
        if row["state"] != "complete":
            raise HttpError(409, "no bytes were stored under this key")
        if body.get("size") != row["size"]:
            raise HttpError(400, f"size {body.get('size')!r} != stored {row['size']}")
        return {"data_key": key, "size": row["size"]}

    @svc.route("POST", r"/v1/data/upload")
    def upload_legacy(req):
        org = svc.require_auth(req)
        declared = req.headers.get("content-length")
        if declared is not None and int(declared) != len(req.body):
            raise HttpError(400, "body shorter than Content-Length")
        key = new_key()
        store_object(svc, key, req.body, org)
        return {"data_key": key}

    @svc.route("GET", r"/v1/data/(?P<key>" + _KEY_RX + ")")
    def download(req):
        # Workers download without credentials: the key is the capability.
        key = req.match["key"]
        if load_object(svc, key) is None:
            raise HttpError(404, "no such data key")
        return Response(307, None, {"Location": sign_url(svc, key, "get")})

    @svc.route("DELETE", r"/v1/data/(?P<key>" + _KEY_RX + ")")
    def delete(req):
        svc.require_auth(req)
        key = req.match["key"]
        with svc.lock:
            cur = svc.db.execute("DELETE FROM data_objects WHERE key = ?", (key,))
            svc.db.commit()
            gone = cur.rowcount
        if not gone:
            raise HttpError(404, "no such data key")
        try:
            os.unlink(object_path(svc, key))
        except FileNotFoundError:
            pass
        return {"deleted": key}

    @svc.route("PUT", _STORE_PREFIX + "(?P<key>" + _KEY_RX + ")")
    def store_put(req):
        key = req.match["key"]
        check_token(svc, req, key, "put")
        if object_row(svc, key) is None:
            raise HttpError(404, "no upload was opened for this key")
        md5 = store_object(svc, key, req.body)
        return Response(200, b"", {"ETag": f'"{md5}"'})

    @svc.route("GET", _STORE_PREFIX + "(?P<key>" + _KEY_RX + ")")
    def store_get(req):
        key = req.match["key"]
        check_token(svc, req, key, "get")
        data = load_object(svc, key)
        if data is None:
            raise HttpError(404, "no such object")
        return Response(200, data, content_type="application/octet-stream")
