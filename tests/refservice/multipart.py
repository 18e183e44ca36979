"""Multipart-upload routes of the reference service.

An upload is opened with ``upload-init-multipart`` (a data key and an upload
id), its parts are PUT to presigned URLs served by this process under
``/_parts/<data key>`` (signed like the data routes' URLs; the signature also
covers the upload id and the part number), then ``upload-complete-multipart``
checks every part's ETag, joins the parts into the stored object and GET of
the data key returns it; ``upload-abort-multipart`` drops the parts.

Test switches (all cleared by ``svc.reset()``):

    svc.multipart_uploads        upload id -> dict(key, org, state, parts, puts)
                                 state: "open", "complete" or "aborted";
                                 parts: part number -> (size, md5 hex, ETag
                                 answered, unquoted);
                                 puts: part number -> PUT requests received
    svc.multipart_faults         part number -> dict of per-part switches:
        "etag": str                answer this ETag (sent as given, quoted)
        "after_presign": int       hold the part PUT until a presign request
                                   covering that part number was answered
                                   (403 after 5 s, so a client that never
                                   asks fails instead of hanging)
    svc.multipart_presign_omit   part numbers left out of presign answers
    svc.multipart_gate           None, or N: part PUTs wait (up to 5 s) until
                                 N of them have been handled at once
    svc.multipart_stats          {"active": int, "max_active": int}

    fail_part(svc, pn, **add_fault_kwargs)  core fault (status, drop, delay,
                                            times) limited to PUTs of part pn
"""

from __future__ import annotations

import hashlib
import os
import threading
import uuid

from . import data as _data
from .server import HttpError, Response

_PART_PREFIX = "/_parts/"
_KEY_RX = r"[A-Za-z0-9_.-]+"
_MAX_PRESIGN = 100
_HOLD_TIMEOUT = 5.0


def fail_part(svc, pn: int, **kwargs):
    """A core fault that only hits the PUTs of part `pn`."""
    want = str(pn)
    return svc.add_fault(method="PUT", path="^" + _PART_PREFIX,
                         predicate=lambda req: req.query.get("part") == want, **kwargs)


def part_path(svc, upload_id: str, pn: int) -> str:
    return os.path.join(svc.blob_dir, f"mpu-{upload_id}-{pn:05d}")


def slab_path(svc, upload_id: str) -> str:
    return os.path.join(svc.blob_dir, f"mpu-{upload_id}-slab")


def _part_url(svc, key: str, upload_id: str, pn: int) -> str:
    # Same signature scheme as the data routes' store URLs, on our own path.
    url = _data.sign_url(svc, key, "part", part=pn, upload_id=upload_id)
    return url.replace("/_store/", _PART_PREFIX, 1)


def _write_at(path: str, data: bytes, offset: int) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o600)
    try:
        view = memoryview(data)
        while view:
            n = os.pwrite(fd, view, offset)
            view, offset = view[n:], offset + n
    finally:
        os.close(fd)


def _copy_range(src_fd: int, src_off: int, dst_fd: int, dst_off: int, count: int) -> None:
    """Copy inside the kernel where it can, else through a small buffer."""
    while count > 0:
        try:
            n = os.copy_file_range(src_fd, dst_fd, count, src_off, dst_off)
        except (AttributeError, OSError):
            n = os.pwrite(dst_fd, os.pread(src_fd, min(count, 1 << 22), src_off), dst_off)
        if n <= 0:
            raise OSError("short copy while assembling a multipart object")
        count, src_off, dst_off = count - n, src_off + n, dst_off + n


def _assemble(svc, uid: str, up: dict, numbers: list[int], dest: str) -> None:
    """Write the parts, in order, as the file `dest`.

    Parts of the common size were written straight into the upload's slab
    file at their final offset, so in the usual case (equal parts, a shorter
    last one) only the parts that missed it are copied and the slab becomes
    the object. Any other layout is copied part by part into a new file.
    """
    slab = slab_path(svc, uid)
    unit = up["parts"][numbers[0]][0]
    sizes = [up["parts"][n][0] for n in numbers]
    in_place = (all(sz == unit for sz in sizes[:-1]) and sizes[-1] <= unit
                and all(up["where"][n] in (None, (n - 1) * unit) for n in numbers))
    target = slab if in_place else dest + ".partial"
    dst = os.open(target, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        offset = 0
        for n, size in zip(numbers, sizes):
            where = up["where"][n]
            if not (in_place and where == offset):
                src_path = part_path(svc, uid, n) if where is None else slab
                src = os.open(src_path, os.O_RDONLY)
                try:
                    _copy_range(src, 0 if where is None else where, dst, offset, size)
                finally:
                    os.close(src)
            offset += size
        os.ftruncate(dst, offset)
    finally:
        os.close(dst)
    os.replace(target, dest)


def _drop_part_files(svc, uid: str, up: dict) -> None:
    for path in [slab_path(svc, uid)] + [part_path(svc, uid, n) for n in up["parts"]]:
        try:
            os.unlink(path)
        except FileNotFoundError:
            pass


def _set_row(svc, key: str, size: int, md5: str, state: str) -> None:
    with svc.lock:
        svc.db.execute("UPDATE data_objects SET size = ?, md5 = ?, state = ? WHERE key = ?",
                       (size, md5, state, key))
        svc.db.commit()


def install(svc) -> None:
    cond = threading.Condition(svc.lock)
    presigned: set[int] = set()

    def clear():
        svc.multipart_uploads = {}
        svc.multipart_faults = {}
        svc.multipart_presign_omit = set()
        svc.multipart_gate = None
        svc.multipart_stats = {"active": 0, "max_active": 0}
        presigned.clear()

    clear()
    svc.on_reset(clear)

    def open_upload(req, body) -> dict:
        key, uid = body.get("data_key"), body.get("upload_id")
        with svc.lock:
            up = svc.multipart_uploads.get(uid) if isinstance(uid, str) else None
        if up is None or up["key"] != key:
            raise HttpError(404, "no such multipart upload")
        if up["state"] != "open":
            raise HttpError(409, f"upload is {up['state']}")
        return up

    @svc.route("POST", r"/v1/data/upload-init-multipart")
    def init(req):
        org = svc.require_auth(req)
        key = _data.new_key()
        uid = "mpu_" + uuid.uuid4().hex
        _data.store_object(svc, key, b"", org, state="pending")
        with svc.lock:
            svc.multipart_uploads[uid] = {"key": key, "org": org, "state": "open",
                                          "parts": {}, "puts": {}, "where": {}, "unit": None}
        return {"data_key": key, "upload_id": uid}

    @svc.route("POST", r"/v1/data/upload-presign-parts")
    def presign(req):
        svc.require_auth(req)
        body = req.json() or {}
        up = open_upload(req, body)
        numbers = body.get("part_numbers")
        if not isinstance(numbers, list) or not numbers or len(numbers) > _MAX_PRESIGN:
            raise HttpError(400, f"part_numbers must list 1 to {_MAX_PRESIGN} parts")
        if not all(isinstance(n, int) and 1 <= n <= 10000 for n in numbers):
            raise HttpError(400, "part numbers run from 1 to 10000")
        uid = body["upload_id"]
        urls = {str(n): _part_url(svc, up["key"], uid, n) for n in numbers
                if n not in svc.multipart_presign_omit}
        with cond:
            presigned.update(numbers)
            cond.notify_all()
        return {"urls": urls}

    @svc.route("PUT", _PART_PREFIX + "(?P<key>" + _KEY_RX + ")")
    def put_part(req):
        key = req.match["key"]
        _data.check_token(svc, req, key, "part")
        uid = req.query.get("upload_id")
        pn = int(req.query["part"])
        with svc.lock:
            up = svc.multipart_uploads.get(uid)
            if up is None or up["key"] != key or up["state"] != "open":
                raise HttpError(404, "no open upload for this part")
            up["puts"][pn] = up["puts"].get(pn, 0) + 1
            faults = dict(svc.multipart_faults.get(pn) or {})
        declared = req.headers.get("content-length")
        if declared is None or int(declared) != len(req.body):
            raise HttpError(400, "Content-Length missing or wrong")
        stats = svc.multipart_stats
        with cond:
            stats["active"] += 1
            stats["max_active"] = max(stats["max_active"], stats["active"])
            cond.notify_all()
            try:
                gate = svc.multipart_gate
                if gate is not None:
                    cond.wait_for(lambda: stats["max_active"] >= gate, _HOLD_TIMEOUT)
                need = faults.get("after_presign")
                if need is not None and not cond.wait_for(lambda: need in presigned, _HOLD_TIMEOUT):
                    raise HttpError(403, f"part {pn} held: part {need} was never presigned")
            finally:
                stats["active"] -= 1
        body = req.body
        md5 = hashlib.md5(body).hexdigest()
        etag = faults.get("etag", md5)
        # Parts of the size of part 1 go straight to their place in the
        # object; others (the short last part, part 1 itself arriving late)
        # wait in a file of their own until completion.
        with svc.lock:
            if pn == 1:
                up["unit"] = len(body)
            unit = up["unit"]
        if unit is not None and len(body) == unit:
            where = (pn - 1) * unit
            _write_at(slab_path(svc, uid), body, where)
        else:
            where = None
            with open(part_path(svc, uid, pn), "wb") as fh:
                fh.write(body)
        with svc.lock:
            up["parts"][pn] = (len(body), md5, etag)
            up["where"][pn] = where
        return Response(200, b"", {"ETag": '"%s"' % etag})

    @svc.route("POST", r"/v1/data/upload-complete-multipart")
    def complete(req):
        svc.require_auth(req)
        body = req.json() or {}
        up = open_upload(req, body)
        uid = body["upload_id"]
        parts = body.get("parts")
        if not isinstance(parts, list) or not parts:
            raise HttpError(400, "parts must be a non-empty list")
        numbers = [p.get("PartNumber") if isinstance(p, dict) else None for p in parts]
        if numbers != sorted(set(n for n in numbers if isinstance(n, int))):
            raise HttpError(400, "parts must be listed once each, in ascending order")
        for p in parts:
            got = up["parts"].get(p["PartNumber"])
            if got is None:
                raise HttpError(400, f"part {p['PartNumber']} was never uploaded")
            # like object storage: the ETag given back must be the one answered
            if str(p.get("ETag", "")).strip('"').lower() != got[2].lower():
                raise HttpError(400, f"part {p['PartNumber']}: ETag {p.get('ETag')!r} != {got[2]!r}")
        missing = set(up["parts"]) - set(numbers)
        if missing:
            raise HttpError(400, f"uploaded parts left out: {sorted(missing)}")
        total = sum(up["parts"][n][0] for n in numbers)
        if body.get("size") != total:
            raise HttpError(400, f"size {body.get('size')!r} != {total} bytes received")
        _assemble(svc, uid, up, numbers, _data.object_path(svc, up["key"]))
        _drop_part_files(svc, uid, up)
        # Object stores describe a multipart object by the MD5 of its parts'
        # MD5s and the part count, which also spares hashing it all again.
        digest = hashlib.md5(b"".join(bytes.fromhex(up["parts"][n][1]) for n in numbers))
        _set_row(svc, up["key"], total, f"{digest.hexdigest()}-{len(numbers)}", "complete")
        with svc.lock:
            up["state"] = "complete"
        return {"data_key": up["key"], "size": total}

    @svc.route("POST", r"/v1/data/upload-abort-multipart")
    def abort(req):
        svc.require_auth(req)
        body = req.json() or {}
        up = open_upload(req, body)
        with svc.lock:
            up["state"] = "aborted"
            svc.db.execute("DELETE FROM data_objects WHERE key = ?", (up["key"],))
            svc.db.commit()
        _drop_part_files(svc, body["upload_id"], up)
        try:
            os.unlink(_data.object_path(svc, up["key"]))
        except FileNotFoundError:
            pass
        return {"aborted": body["upload_id"]}
