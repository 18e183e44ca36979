"""Team routes of the reference service: the shared data pool and saved environments.

Everything a team owns is keyed by its org id (what ``svc.require_auth``
answers), so one team never sees another's blobs, datasets or environments.
Blob bytes are content-addressed files under ``svc.blob_dir``; the pool, the
datasets and the environments are rows of SQLite tables.

Identifiers in paths arrive percent-encoded; a route matches one raw segment
and decodes it, so an encoded "/" or "?" stays part of the identifier.

Where contributed bytes come from:
  * ``shas``: blobs already in the content store (``put_blob`` seeds one);
  * ``job_id``: the output files of a job of the same team (``add_job_outputs``);
  * ``data_key``: an object uploaded through the data-store routes (``data``).

Helpers for tests:

    put_blob(svc, data) -> sha256                 bytes into the content store
    add_job_outputs(svc, job_id, files, org=None) job outputs {relpath: bytes}
    blob_path(svc, sha256) -> str                 file holding the bytes
"""

from __future__ import annotations

import hashlib
import itertools
import json
import os
import uuid
from urllib.parse import unquote

from .server import HttpError, Response

_POOL = "/v1/corporate/data-pool"
_ENVS = "/v1/corporate/environments"
_SEGMENT = r"(?P<ident>[^/]+)"
_SORTS = {
    "newest": "p.seq DESC",
    "oldest": "p.seq ASC",
    "largest": "o.size_bytes DESC, p.seq DESC",
    "smallest": "o.size_bytes ASC, p.seq DESC",
    "name": "p.relpath ASC, p.seq ASC",
}
_MAX_LIMIT = 1000

_TABLES = (
    # content store: one row per distinct content
    "CREATE TABLE IF NOT EXISTS team_objects (sha256 TEXT PRIMARY KEY, size_bytes INTEGER NOT NULL)",
    "CREATE TABLE IF NOT EXISTS team_job_outputs (job_id TEXT NOT NULL, org TEXT NOT NULL,"
    " relpath TEXT NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY (job_id, relpath))",
    "CREATE TABLE IF NOT EXISTS team_pool (org TEXT NOT NULL, sha256 TEXT NOT NULL,"
    " relpath TEXT NOT NULL, kind TEXT NOT NULL, source TEXT, seq INTEGER NOT NULL,"
    " PRIMARY KEY (org, sha256))",
    "CREATE TABLE IF NOT EXISTS team_datasets (id TEXT PRIMARY KEY, org TEXT NOT NULL,"
    " name TEXT NOT NULL, seq INTEGER NOT NULL, UNIQUE (org, name))",
    "CREATE TABLE IF NOT EXISTS team_dataset_blobs (dataset_id TEXT NOT NULL,"
    " relpath TEXT NOT NULL, sha256 TEXT NOT NULL, PRIMARY KEY (dataset_id, relpath))",
    "CREATE TABLE IF NOT EXISTS team_environments (id TEXT PRIMARY KEY, org TEXT NOT NULL,"
    " name TEXT NOT NULL, pip_packages TEXT NOT NULL, python_version TEXT, base_image TEXT,"
    " description TEXT, seq INTEGER NOT NULL, UNIQUE (org, name))",
)

_seq = itertools.count(1)


def _ensure_tables(svc) -> None:
    with svc.lock:
        for stmt in _TABLES:
            svc.db.execute(stmt)
        svc.db.commit()


# -- helpers for tests and route code -------------------------------------------

def blob_path(svc, sha256: str) -> str:
    return os.path.join(svc.blob_dir, "team-" + sha256)


def put_blob(svc, data: bytes) -> str:
    """Store `data` in the content store; answers its sha256."""
    _ensure_tables(svc)
    sha = hashlib.sha256(data).hexdigest()
    with open(blob_path(svc, sha), "wb") as fh:
        fh.write(data)
    with svc.lock:
        svc.db.execute(
            "INSERT OR IGNORE INTO team_objects (sha256, size_bytes) VALUES (?, ?)", (sha, len(data))
        )
        svc.db.commit()
    return sha


def add_job_outputs(svc, job_id: str, files: dict, org: str | None = None) -> dict:
    """Record the output files of a finished job of `org`; answers {relpath: sha256}."""
    org = org or svc.org_id
    out = {}
    for relpath, data in files.items():
        sha = put_blob(svc, data)
        with svc.lock:
            svc.db.execute(
                "INSERT OR REPLACE INTO team_job_outputs (job_id, org, relpath, sha256) VALUES (?, ?, ?, ?)",
                (job_id, org, relpath, sha),
            )
            svc.db.commit()
        out[relpath] = sha
    return out


def _body(req) -> dict:
    try:
        body = req.json()
    except (ValueError, UnicodeDecodeError):
        raise HttpError(400, "Request body is not valid JSON") from None
    if not isinstance(body, dict):
        raise HttpError(422, "Request body must be a JSON object")
    return body


def _ident(req) -> str:
    try:
        return unquote(req.match["ident"], errors="strict")
    except UnicodeDecodeError:
        raise HttpError(400, "Identifier is not valid UTF-8 once decoded") from None


def _query_int(req, name: str, default: int, lo: int, hi: int) -> int:
    raw = req.query.get(name)
    if raw is None:
        return default
    try:
        value = int(raw)
    except ValueError:
        raise HttpError(422, f"{name} must be an integer, got {raw!r}") from None
    if not lo <= value <= hi:
        raise HttpError(422, f"{name} must be between {lo} and {hi}")
    return value


def _str_list(body: dict, name: str) -> list[str] | None:
    value = body.get(name)
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(v, str) and v for v in value):
        raise HttpError(422, f"{name} must be a list of non-empty strings")
    return value


# -- contributions ------------------------------------------------------------------

def _sources_from_shas(svc, shas, relpaths):
    if relpaths is not None and len(relpaths) != len(shas):
        raise HttpError(422, "relpaths must name every sha when given with shas")
    out = []
    for i, sha in enumerate(shas):
        with svc.lock:
            row = svc.db.execute("SELECT 1 FROM team_objects WHERE sha256 = ?", (sha,)).fetchone()
        if row is None:
            raise HttpError(404, f"Unknown blob {sha!r}")
        out.append((sha, relpaths[i] if relpaths else sha, "blob", None))
    return out


def _sources_from_job(svc, org, job_id, relpaths):
    with svc.lock:
        rows = svc.db.execute(
            "SELECT relpath, sha256 FROM team_job_outputs WHERE job_id = ? AND org = ? ORDER BY relpath",
            (job_id, org),
        ).fetchall()
    if not rows:
        raise HttpError(404, f"Job {job_id!r} not found or has no outputs")
    outputs = dict(rows)
    if relpaths is not None:
        missing = [p for p in relpaths if p not in outputs]
        if missing:
            raise HttpError(404, f"Job {job_id!r} has no output {missing[0]!r}")
        outputs = {p: outputs[p] for p in relpaths}
    return [(sha, relpath, "job_output", job_id) for relpath, sha in outputs.items()]


def _sources_from_data_key(svc, org, key, relpaths):
    try:
        from . import data
    except ImportError:
        data = None
    row = data.object_row(svc, key) if data is not None and isinstance(key, str) else None
    # another team's upload is as invisible as a missing one
    payload = data.load_object(svc, key) if row is not None and row["org"] in (None, org) else None
    if payload is None:
        raise HttpError(404, f"Unknown data key {key!r}")
    sha = put_blob(svc, payload)
    relpath = relpaths[0] if relpaths else key
    return [(sha, relpath, "upload", key)]


def _dataset_id(svc, org: str, name: str) -> str:
    with svc.lock:
        row = svc.db.execute(
            "SELECT id FROM team_datasets WHERE org = ? AND name = ?", (org, name)
        ).fetchone()
        if row is not None:
            return row[0]
        ds_id = "ds_" + uuid.uuid4().hex[:12]
        svc.db.execute(
            "INSERT INTO team_datasets (id, org, name, seq) VALUES (?, ?, ?, ?)",
            (ds_id, org, name, next(_seq)),
        )
        svc.db.commit()
        return ds_id


def _contribute(svc, org: str, body: dict) -> dict:
    shas = _str_list(body, "shas")
    relpaths = _str_list(body, "relpaths")
    job_id = body.get("job_id")
    data_key = body.get("data_key")
    dataset = body.get("dataset")
    if dataset is not None and (not isinstance(dataset, str) or not dataset.strip()):
        raise HttpError(422, "dataset must be a non-empty string")
    if not (shas or job_id or data_key or dataset):
        raise HttpError(400, "Nothing to contribute: give shas, job_id or data_key")

    sources = []
    if shas:
        sources += _sources_from_shas(svc, shas, relpaths)
    if job_id:
        sources += _sources_from_job(svc, org, str(job_id), None if shas else relpaths)
    if data_key:
        sources += _sources_from_data_key(svc, org, data_key, None if shas or job_id else relpaths)

    ds_id = _dataset_id(svc, org, dataset) if dataset else None
    contributed = []
    with svc.lock:
        for sha, relpath, kind, source in sources:
            svc.db.execute(
                "INSERT INTO team_pool (org, sha256, relpath, kind, source, seq) VALUES (?, ?, ?, ?, ?, ?)"
                " ON CONFLICT (org, sha256) DO UPDATE SET relpath = excluded.relpath",
                (org, sha, relpath, kind, source, next(_seq)),
            )
            if ds_id is not None:
                svc.db.execute(
                    "INSERT OR REPLACE INTO team_dataset_blobs (dataset_id, relpath, sha256) VALUES (?, ?, ?)",
                    (ds_id, relpath, sha),
                )
            size = svc.db.execute(
                "SELECT size_bytes FROM team_objects WHERE sha256 = ?", (sha,)
            ).fetchone()[0]
            contributed.append({"sha256": sha, "relpath": relpath, "kind": kind, "size_bytes": size})
        svc.db.commit()
    return {
        "contributed": contributed,
        "dataset": {"id": ds_id, "name": dataset} if ds_id else None,
    }


# -- environments ------------------------------------------------------------------

_ENV_COLUMNS = ("id", "name", "pip_packages", "python_version", "base_image", "description")


def _env_row_to_dict(row) -> dict:
    env = dict(zip(_ENV_COLUMNS, row))
    env["pip_packages"] = json.loads(env["pip_packages"])
    return env


def _find_env(svc, org: str, name_or_id: str):
    with svc.lock:
        row = svc.db.execute(
            f"SELECT {', '.join(_ENV_COLUMNS)} FROM team_environments"
            " WHERE org = ? AND (id = ? OR name = ?) ORDER BY id = ? DESC LIMIT 1",
            (org, name_or_id, name_or_id, name_or_id),
        ).fetchone()
    if row is None:
        raise HttpError(404, f"Environment {name_or_id!r} not found")
    return _env_row_to_dict(row)


def _save_env(svc, org: str, body: dict) -> Response:
    name = body.get("name")
    if not isinstance(name, str) or not name.strip():
        raise HttpError(422, "name must be a non-empty string")
    packages = body.get("pip_packages")
    if packages is None:
        packages = []
    if not isinstance(packages, list) or not all(isinstance(p, str) for p in packages):
        raise HttpError(422, "pip_packages must be a list of strings")
    fields = {}
    for opt in ("python_version", "base_image", "description"):
        value = body.get(opt)
        if value is not None and not isinstance(value, str):
            raise HttpError(422, f"{opt} must be a string or null")
        fields[opt] = value
    with svc.lock:
        row = svc.db.execute(
            "SELECT id FROM team_environments WHERE org = ? AND name = ?", (org, name)
        ).fetchone()
        created = row is None
        env_id = "env_" + uuid.uuid4().hex[:12] if created else row[0]
        # saving under an existing name replaces that environment, keeping its id
        svc.db.execute(
            "INSERT OR REPLACE INTO team_environments"
            " (id, org, name, pip_packages, python_version, base_image, description, seq)"
            " VALUES (?, ?, ?, ?, ?, ?, ?, ?)",
            (env_id, org, name, json.dumps(packages), fields["python_version"],
             fields["base_image"], fields["description"], next(_seq)),
        )
        svc.db.commit()
    env = {"id": env_id, "name": name, "pip_packages": packages, **fields, "created": created}
    return Response(201 if created else 200, env)


# -- routes ----------------------------------------------------------------------

def install(svc) -> None:
    _ensure_tables(svc)

    @svc.on_reset
    def _clear():
        _ensure_tables(svc)
        with svc.lock:
            for table in ("team_objects", "team_job_outputs", "team_pool", "team_datasets",
                          "team_dataset_blobs", "team_environments"):
                svc.db.execute(f"DELETE FROM {table}")
            svc.db.commit()

    @svc.route("POST", _POOL + "/contribute")
    def contribute(req):
        org = svc.require_auth(req)
        return _contribute(svc, org, _body(req))

    @svc.route("GET", _POOL)
    def list_items(req):
        org = svc.require_auth(req)
        limit = _query_int(req, "limit", 200, 1, _MAX_LIMIT)
        offset = _query_int(req, "offset", 0, 0, 2**62)
        sort = req.query.get("sort") or "newest"
        if sort not in _SORTS:
            raise HttpError(422, f"Unknown sort {sort!r}; use one of: {', '.join(_SORTS)}")
        where, args = "p.org = ?", [org]
        kind = req.query.get("kind")
        if kind:
            where += " AND p.kind = ?"
            args.append(kind)
        with svc.lock:
            total = svc.db.execute(f"SELECT COUNT(*) FROM team_pool p WHERE {where}", args).fetchone()[0]
            rows = svc.db.execute(
                "SELECT p.sha256, p.relpath, p.kind, p.source, o.size_bytes FROM team_pool p"
                f" JOIN team_objects o ON o.sha256 = p.sha256 WHERE {where}"
                f" ORDER BY {_SORTS[sort]} LIMIT ? OFFSET ?",
                args + [limit, offset],
            ).fetchall()
        items = [dict(zip(("sha256", "relpath", "kind", "source", "size_bytes"), r)) for r in rows]
        return {"items": items, "total": total, "limit": limit, "offset": offset, "sort": sort}

    @svc.route("DELETE", _POOL + "/blobs/" + _SEGMENT)
    def remove_blob(req):
        org = svc.require_auth(req)
        sha = _ident(req)
        with svc.lock:
            gone = svc.db.execute(
                "DELETE FROM team_pool WHERE org = ? AND sha256 = ?", (org, sha)
            ).rowcount
            if gone:
                svc.db.execute(
                    "DELETE FROM team_dataset_blobs WHERE sha256 = ? AND dataset_id IN"
                    " (SELECT id FROM team_datasets WHERE org = ?)",
                    (sha, org),
                )
            svc.db.commit()
        if not gone:
            raise HttpError(404, f"Blob {sha!r} not found in the team pool")
        return {"deleted": sha}

    @svc.route("GET", _POOL + "/datasets")
    def list_datasets(req):
        org = svc.require_auth(req)
        with svc.lock:
            rows = svc.db.execute(
                "SELECT d.id, d.name, COUNT(b.sha256), COALESCE(SUM(o.size_bytes), 0)"
                " FROM team_datasets d LEFT JOIN team_dataset_blobs b ON b.dataset_id = d.id"
                " LEFT JOIN team_objects o ON o.sha256 = b.sha256"
                " WHERE d.org = ? GROUP BY d.id ORDER BY d.seq",
                (org,),
            ).fetchall()
        return {"datasets": [dict(zip(("id", "name", "blob_count", "size_bytes"), r)) for r in rows]}

    @svc.route("GET", _POOL + "/datasets/" + _SEGMENT)
    def get_dataset(req):
        org = svc.require_auth(req)
        ds_id = _ident(req)
        with svc.lock:
            ds = svc.db.execute(
                "SELECT id, name FROM team_datasets WHERE org = ? AND id = ?", (org, ds_id)
            ).fetchone()
            if ds is None:
                raise HttpError(404, f"Dataset {ds_id!r} not found")
            blobs = svc.db.execute(
                "SELECT b.relpath, b.sha256, o.size_bytes FROM team_dataset_blobs b"
                " JOIN team_objects o ON o.sha256 = b.sha256 WHERE b.dataset_id = ? ORDER BY b.relpath",
                (ds_id,),
            ).fetchall()
        return {
            "id": ds[0],
            "name": ds[1],
            "blobs": [dict(zip(("relpath", "sha256", "size_bytes"), b)) for b in blobs],
        }

    @svc.route("POST", _ENVS)
    def save_environment(req):
        org = svc.require_auth(req)
        return _save_env(svc, org, _body(req))

    @svc.route("GET", _ENVS)
    def list_environments(req):
        org = svc.require_auth(req)
        with svc.lock:
            rows = svc.db.execute(
                f"SELECT {', '.join(_ENV_COLUMNS)} FROM team_environments WHERE org = ? ORDER BY name",
                (org,),
            ).fetchall()
        return {"environments": [_env_row_to_dict(r) for r in rows]}

    @svc.route("GET", _ENVS + "/" + _SEGMENT)
    def get_environment(req):
        org = svc.require_auth(req)
        return _find_env(svc, org, _ident(req))

    @svc.route("DELETE", _ENVS + "/" + _SEGMENT)
    def delete_environment(req):
        org = svc.require_auth(req)
        env = _find_env(svc, org, _ident(req))
        with svc.lock:
            svc.db.execute("DELETE FROM team_environments WHERE id = ?", (env["id"],))
            svc.db.commit()
        return {"deleted": env["id"], "name": env["name"]}
