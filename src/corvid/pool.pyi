"""Client for a team's shared data pool and saved environments on the service's REST API."""

from collections.abc import Iterable, Mapping
from typing import Any

import httpx

DEFAULT_API_URL: str
CORVID_API_KEY: str
GATEWAY_API_KEY: str
CORVID_API_URL: str

_Timeout = float | httpx.Timeout | None
_Json = Any

class PoolError(RuntimeError):
    """A request the service answered with a status of 400 or above."""

    status: int | None
    detail: Any

def share(
    *,
    shas: Iterable[str] | None = None,
    job_id: str | None = None,
    relpaths: Iterable[str] | None = None,
    cargo: str | None = None,
    dataset: str | None = None,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 120.0,
) -> _Json:
    """Contribute blobs (by sha256), a job's outputs, or an uploaded data key to the
    team pool, optionally into a named dataset. POST /v1/corporate/data-pool/contribute."""
def list_items(
    *,
    limit: int = 200,
    offset: int = 0,
    sort: str = "newest",
    kind: str | None = None,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """List the blobs of the team pool. GET /v1/corporate/data-pool."""
def remove(
    sha256: str,
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """Remove one blob from the team pool. DELETE /v1/corporate/data-pool/blobs/{sha256}."""
def list_datasets(
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """List the team's datasets. GET /v1/corporate/data-pool/datasets."""
def get_dataset(
    dataset_id: str | int,
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """One dataset with its blobs. GET /v1/corporate/data-pool/datasets/{dataset_id}."""
def save_environment(
    name: str,
    *,
    pip_packages: Iterable[str] | None = None,
    python_version: str | None = None,
    base_image: str | None = None,
    description: str | None = None,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """Save a named package set for later jobs. POST /v1/corporate/environments."""
def list_environments(
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """List the team's saved environments. GET /v1/corporate/environments."""
def get_environment(
    name_or_id: str | int,
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """One saved environment by name or id. GET /v1/corporate/environments/{name_or_id}."""
def delete_environment(
    name_or_id: str | int,
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> _Json:
    """Delete a saved environment by name or id.
    DELETE /v1/corporate/environments/{name_or_id}."""
def fetch_dataset_entries(
    name_or_id: Any,
    *,
    org_id: str | None = None,
    api_key: str | None = None,
    api_url: str | None = None,
    timeout: _Timeout = 30.0,
) -> list[dict[str, Any]]:
    """The files of a dataset, found by id or by name (ignoring case), as a list of
    {'relpath', 'sha256', 'size'} dictionaries."""
def parse_requirements_text(text: str) -> tuple[list[str], list[str]]:
    """Split a requirements text into (packages, ignored): comments and blank lines
    are dropped, inline ' #' comments cut, and pip option lines (starting with '-')
    ignored."""
def merge_environment(
    env: Mapping[str, Any],
    pip_packages: str | Iterable[Any] | None = None,
    python_version: str | None = None,
) -> tuple[list[Any], Any | None]:
    """Merge packages into a saved environment: returns (packages, python_version or
    None). New packages follow the environment's own, skipping those it already has."""
def _resolve_auth(api_key: str | None, api_url: str | None) -> tuple[str, str]: ...
def _params(org_id: str | None = None) -> dict[str, str]: ...
def _raise_for_status(resp: httpx.Response) -> _Json: ...
