"""Large call arguments and local files moved to the service's data store."""

import logging
import os
from collections.abc import Callable, Iterator
from typing import Any, Protocol

from typing_extensions import disjoint_base

_DEFAULT_SIZE_THRESHOLD: int
_DATA_MULTIPART_THRESHOLD: int
_DATA_MULTIPART_PART_SIZE: int
_DATA_MULTIPART_MAX_PARTS: int
_DATA_UPLOAD_CONCURRENCY: int
_DATA_UPLOAD_MAX_RETRIES: int
logger: logging.Logger

class _Progress(Protocol):
    def update(self, n: int, /) -> Any: ...
    def close(self) -> Any: ...

def estimate_arg_size(obj: Any) -> int:
    """Estimated payload size of one call argument in bytes (0 when unknown)."""
def _shallow_size(obj: Any) -> int: ...
def _stream_bytes(
    data: bytes, on_progress: Callable[[int, int], None] | None = None, chunk_size: int = 262144
) -> Iterator[bytes]: ...

@disjoint_base
class DataOffloader:
    UPLOAD_PROGRESS_THRESHOLD: int
    api_url: str
    api_key: str
    _size_threshold: int
    _pending_keys: list[str]
    _keys_lock: Any
    _upload_cache: dict[str, str]
    _progress_factory: Callable[[str, int], _Progress] | None

    def __init__(
        self,
        api_url: str,
        api_key: str,
        size_threshold: int | None = None,
        progress_factory: Callable[[str, int], _Progress] | None = None,
    ) -> None: ...
    def offload_large_args(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> tuple[Callable[..., Any], tuple[Any, ...], dict[str, Any], list[str]]:
        """Upload large arguments; answer (func, args, kwargs, data_keys) to ship."""
    def _upload(self, arg: Any, label: str = "Uploading data") -> str | None: ...
    def _upload_multipart_to_r2(
        self, serialized: bytes, size: int, upload_timeout: float, progress: _Progress | None
    ) -> str | None: ...
    def _abort_multipart(self, data_key: str, upload_id: str, auth: dict[str, str]) -> None: ...
    def _upload_direct_to_r2(
        self, serialized: bytes, size: int, upload_timeout: float, progress: _Progress | None
    ) -> str | None: ...
    def _upload_legacy(
        self, serialized: bytes, size: int, upload_timeout: float, progress: _Progress | None
    ) -> str | None: ...
    def flush_keys(self, keys: list[str]) -> None:
        """Delete the given data keys from the store."""
    def flush_all(self) -> None:
        """Delete every data key this offloader still holds."""
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any]) -> None: ...
    def __reduce__(self) -> tuple[Any, ...]: ...

@disjoint_base
class _RemoteFile(os.PathLike[str]):
    _data: bytes
    _filename: str
    _path: str | None
    def __init__(self, data: bytes, filename: str) -> None: ...
    def _materialize(self) -> str: ...
    def __fspath__(self) -> str: ...

@disjoint_base
class _RemoteDir(os.PathLike[str]):
    _data: bytes
    _dirname: str
    _file_count: int
    _path: str | None
    def __init__(self, data: bytes, dirname: str, file_count: int = 0) -> None: ...
    def _materialize(self) -> str: ...
    def __fspath__(self) -> str: ...

def resolve_file_args(
    args: tuple[Any, ...], kwargs: dict[str, Any]
) -> tuple[tuple[Any, ...], dict[str, Any], int]:
    """Replace local file and directory arguments by objects that carry their
    content; also answers how many were replaced."""
def _zip_directory(dir_path: str) -> tuple[bytes, int]: ...
def _string_written_as_path(obj: str) -> bool: ...
def _is_local_file(obj: Any) -> bool: ...
def _is_local_dir(obj: Any) -> bool: ...
def _resolve_one(obj: Any) -> Any: ...
