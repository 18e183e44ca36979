"""The offload monitor: ``overflow()`` watches the calling script, replaces its
heavy functions and methods by thin wrappers, samples the machine's load in a
background thread and decides for every wrapped call, with a recorded reason,
whether it runs here or leaves the process. Every failure on the offload road
ends in a local run of the same call.

The monitor's own errors never reach the user's code; only the user's own
errors on the local path do.
"""

import enum
import inspect
import logging
import threading
import time
from collections.abc import Callable, Iterable, Mapping, Sequence
from types import FrameType, ModuleType
from typing import Any, Literal, Self, TypeAlias, TypeVar, final

from typing_extensions import disjoint_base

_T = TypeVar("_T")

# (source file name, qualified name, first line) for a function with code;
# (repr, __name__ or "?", 0) for any other callable.
_SigKey: TypeAlias = tuple[str, str, int]
_Thunk: TypeAlias = Callable[[], Any]
# (cpu percent, memory percent) or (cpu, memory, gpu) where gpu is a bool,
# a list of device records, or anything with a truth value.
_Sample: TypeAlias = tuple[float, float] | tuple[float, float, Any]
_GpuRecord: TypeAlias = Mapping[str, Any]

_UNSET: object
_DEFAULT_API_URL: str
_logger: logging.Logger
_active_monitor: _OverflowMonitor | None

# Token lists: the built-in entries first, then those added through the
# environment, each once.
_HEAVY_LIBS: tuple[str, ...]
_COMPUTE_TOKENS: tuple[str, ...]
_NAME_TOKENS: tuple[str, ...]
_LOCAL_READ_TOKENS: tuple[str, ...]
_SIDE_EFFECT_TOKENS: tuple[str, ...]
_GPU_SRC_TOKENS: tuple[str, ...]
_RESERVED: frozenset[str]
_HEAVY_ROOTS: frozenset[str]
_IMMUTABLE_ATOMS: tuple[type, ...]
_UNPICKLABLE_TYPES: tuple[type, ...] | None

_CONTAINER_SCAN_CAP: int
_GLOBAL_SCAN_CAP: int
_SIZE_DEPTH: int
_MAX_PAYLOAD_BYTES_DEFAULT: int
_MIN_SECONDS_DEFAULT: float
_COOLDOWN_BASE_DEFAULT: float
_COOLDOWN_CAP_DEFAULT: float
_LOOP_HOT_WINDOW: float
_LOOP_HOT_MAX: int
_HOOK_DEADLINE: float
_HOOK_CALL_CAP: int
_OFFLOAD_FAIL_MAX: int
_GPU_FREE_MIN: float
_GPU_OTHERS_MIN: float
_PROC_RSS_MIN: float
_MEM_ON: float
_MEM_OFF: float
_EFFECT_VISIT_CAP: int
_SAMPLE_INTERVAL: float
_HYST_ON: int
_HYST_OFF: int
_CPU_ON_MARGIN: float
_CPU_OFF_MARGIN: float

class Action(enum.Enum):
    """Where a call runs. Members compare by identity."""

    OFFLOAD = "offload"
    LOCAL = "local"

class Reason(enum.Enum):
    """Why a call runs where it runs."""

    POLICY_OFF = "policy_off"
    NOT_HEAVY = "not_heavy"
    DEMOTED = "demoted"
    NOT_OVERLOADED = "not_overloaded"
    LOOP_HOT = "loop_hot"
    COOLDOWN = "cooldown"
    UNPICKLABLE = "unpicklable"
    TOO_LARGE = "too_large"
    LOCAL_IO = "local_io"
    SIDE_EFFECT = "side_effect"
    GENERATOR = "generator"
    LIVE_CUDA = "live_cuda"
    UNSYNCABLE_MUTATION = "unsyncable_mutation"
    INCOMPATIBLE = "incompatible"
    UNPROVEN = "unproven"
    SELF_MUTATION = "self_mutation"
    OFFLOAD_OK = "offload_ok"

class Decision:
    """Where one call runs and why; no equality of its own (identity)."""

    __slots__ = ("action", "reason")
    action: Action
    reason: Reason
    def __init__(self, action: Action, reason: Reason) -> None: ...

_OFFLOAD: Decision

def _local(reason: Reason) -> Decision: ...
def _is_finite(val: Any) -> bool: ...
def _env_float(name: str, default: _T) -> float | _T: ...
def _env_int(name: str, default: _T) -> int | _T: ...
def _env_bool(name: str, default: _T) -> bool | _T: ...
def _env_tokens(name: str, base: tuple[str, ...]) -> tuple[str, ...]: ...
def _resolve_policy(policy: object | None, threshold_set: bool, gpu_threshold_set: bool) -> str: ...

class _SubmitError(Exception):
    """The call was not submitted (no gateway session available)."""

class _StateSyncError(Exception):
    """The remote run's changes to its arguments could not be written back."""

def overflow(
    fast: bool = False,
    threshold: float = ...,
    check_interval: float = 0.5,
    api_key: str | None = None,
    api_url: str | None = None,
    gpu_threshold: float = ...,
    verbose: bool = True,
    policy: str | None = None,
    priority: object = None,
    flexible: object = None,
    _caller_frame: FrameType | None = None,
) -> Monitor:
    """Start offloading for the calling script and return its monitor.

    ``threshold`` is the CPU percent above which calls may leave the process
    (default ``CORVID_OVERFLOW_THRESHOLD``, else 85); ``gpu_threshold``, when
    given, adds GPU memory pressure to the load that counts. ``policy`` is
    ``"auto"``, ``"loaded"``, ``"always"`` or ``"off"`` (default
    ``CORVID_OVERFLOW_POLICY``, else chosen from the thresholds given).
    A second call stops the previous monitor and starts a new one.

    ``priority`` and ``flexible`` are accepted and ignored with a
    DeprecationWarning. A bad ``policy`` or an unconvertible threshold raises
    before the previous monitor is touched; a failure to start is logged and
    leaves the returned monitor stopped.
    """

@final
class _OverflowCallable:
    """Stands in for a heavy user function; calls go to the monitor's dispatch
    while it runs, straight to the function otherwise."""

    _original: Callable[..., Any]
    _monitor: _OverflowMonitor | None
    _sig: _SigKey
    __wrapped__: Callable[..., Any]
    __name__: str
    __qualname__: str
    __module__: str
    __doc__: str | None
    __dict__: dict[str, Any]
    @property
    def _overflow_wrapped(self) -> bool: ...
    def __new__(cls, original: Callable[..., Any], monitor: _OverflowMonitor | None) -> Self: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __get__(self, obj: object | None, objtype: type | None = None, /) -> Any:
        """The binding of the user's function itself (no dispatch)."""
    def __reduce__(self) -> tuple[Callable[[Any], Any], tuple[Callable[..., Any]]]: ...

@final
class _OverflowMethod:
    """Replaces a method in a user class; a heavy method binds as
    ``_BoundOverflow``, a light one as the ordinary bound method."""

    _func: Callable[..., Any]
    _monitor: _OverflowMonitor | None
    _name: str
    _sig: _SigKey
    __name__: str
    __qualname__: str
    __module__: str
    __doc__: str | None
    __wrapped__: Callable[..., Any]
    __dict__: dict[str, Any]
    @property
    def _overflow_wrapped(self) -> bool: ...
    def __new__(cls, func: Callable[..., Any], monitor: _OverflowMonitor | None, name: str) -> Self: ...
    def __get__(self, obj: object | None, objtype: type | None = None, /) -> Any: ...
    def __reduce__(self) -> tuple[Callable[[Any], Any], tuple[Callable[..., Any]]]: ...

@final
class _BoundOverflow:
    """A heavy method bound to an instance; calls go to the monitor's dispatch
    with the instance as the first argument."""

    _func: Callable[..., Any]
    _obj: Any
    _monitor: _OverflowMonitor | None
    _sig: _SigKey
    _name: str
    __dict__: dict[str, Any]
    @property
    def __func__(self) -> Callable[..., Any]: ...
    @property
    def __self__(self) -> Any: ...
    @property
    def __name__(self) -> str: ...
    @property
    def __doc__(self) -> str | None:  # type: ignore[override]
        """The function's own text, as for a plain bound method."""
    @property
    def __signature__(self) -> inspect.Signature:
        """The plain bound method's signature (the instance's parameter gone);
        other attributes it lacks are the function's."""
    @property
    def _overflow_wrapped(self) -> bool: ...
    def __new__(
        cls,
        func: Callable[..., Any],
        obj: Any,
        monitor: _OverflowMonitor | None,
        sig: _SigKey,
        name: str,
    ) -> Self: ...
    def __call__(self, *args: Any, **kwargs: Any) -> Any: ...
    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, str]]:
        """Looks the method up again on the restored instance."""
    def __eq__(self, other: object, /) -> bool:
        """Same ``_func`` and same ``_obj`` (identity)."""
    def __hash__(self) -> int: ...

@final
class _LocalThunk:
    """Runs one wrapped call locally with the call's own arguments."""

    def __call__(self) -> Any: ...

def _identity_factory() -> Callable[[_T], _T]: ...
def _call_shim() -> Callable[[Callable[..., Any], tuple[Any, ...], dict[str, Any]], Any]: ...
def _capture_shim() -> Callable[
    [Callable[..., Any], tuple[Any, ...], dict[str, Any]], tuple[Any, tuple[Any, ...], dict[str, Any]]
]: ...
def _sanitize_call_shim() -> Callable[[Callable[..., Any], tuple[Any, ...], dict[str, Any]], Any]: ...
def _sanitize_capture_shim() -> Callable[
    [Callable[..., Any], tuple[Any, ...], dict[str, Any]], tuple[Any, Any, Any]
]: ...

_identity: Callable[[Any], Any]
_call: Callable[[Callable[..., Any], tuple[Any, ...], dict[str, Any]], Any]
_capture: Callable[
    [Callable[..., Any], tuple[Any, ...], dict[str, Any]], tuple[Any, tuple[Any, ...], dict[str, Any]]
]

def _sig_key(func: object) -> _SigKey: ...
def _safe_getsource(func: object) -> str: ...
def _module_root_heavy(obj: object) -> bool: ...
def _refs_heavy_lib(func: object) -> bool: ...
def _compute_exclude_prefixes() -> tuple[str, ...]: ...
def _reduce_gpu_pressure(devices: Iterable[_GpuRecord] | None) -> bool: ...
def _pynvml() -> ModuleType | None: ...
def _torch() -> ModuleType | None:
    """The tensor library if the program already imported it; never imports."""
def _numpy() -> ModuleType | None:
    """numpy if the program already imported it; never imports."""
def _has_live_cuda_tensor(args: Iterable[Any], kwargs: Mapping[str, Any] | None) -> bool:
    """An argument, or an element one level inside one, is a CUDA tensor or a
    module with a CUDA parameter or buffer (at most _CONTAINER_SCAN_CAP
    elements a container)."""
def _obj_has_live_cuda(o: object) -> bool: ...
def _self_mutates(src: str) -> bool: ...
def _unpicklable_types() -> tuple[type, ...]: ...
def _obj_size(obj: object, depth: int = 0) -> int: ...
def _sampled_size(seq: Sequence[Any], depth: int) -> int: ...
def _is_immutable_atom(obj: object) -> bool: ...
def _atoms_only_container(obj: object) -> bool: ...
def _roundtrippable(obj: object) -> Callable[[Any, Any], None] | None: ...
def _arg_state_class(obj: object) -> Literal["immutable", "sync", "unsyncable"]: ...
def _object_attr_syncs(obj: object) -> dict[str, Callable[[Any, Any], None]]: ...
def _fully_syncable(obj: object) -> bool: ...
def _sync_bytearray(local: Any, remote: Any) -> None: ...
def _sync_ndarray(local: Any, remote: Any) -> None: ...
def _sync_list(local: Any, remote: Any) -> None: ...
def _sync_dict(local: Any, remote: Any) -> None: ...
def _sync_set(local: Any, remote: Any) -> None: ...
def _sync_module(local: Any, remote: Any) -> None: ...
def _sync_optimizer(local: Any, remote: Any) -> None: ...
def _sync_tensor(local: Any, remote: Any) -> None: ...
def _closure_has_live_cuda(func: object) -> bool:
    """A nonlocal or global the function refers to holds live CUDA state."""

@disjoint_base
class _LoadGate:
    """Background sampler of the own process tree's load with a hysteresis
    verdict; its thread is "corvid-overflow-load"."""

    _clock: Callable[[], float]
    _sample_source: Callable[[], _Sample] | None
    _sample_interval: float
    _n_on: int
    _n_off: int
    _cpu_on: float
    _cpu_off: float
    _mem_on: float
    _mem_off: float
    _on_sample: Callable[[], object] | None
    _overloaded: bool
    _on_streak: int
    _off_streak: int
    _running: bool
    _thread: threading.Thread | None
    _proc: Any
    _ncpu: int
    _children: dict[int, Any]
    _gpu_ready: bool
    _gpu_handles: list[Any]
    _nvml_inited: bool
    _last_gpu_bad: bool
    def __init__(
        self,
        clock: Callable[[], float],
        sample_source: Callable[[], _Sample] | None = None,
        sample_interval: float = _SAMPLE_INTERVAL,
        n_on: int = _HYST_ON,
        n_off: int = _HYST_OFF,
        cpu_on: float = 90.0,
        cpu_off: float = 70.0,
        mem_on: float = _MEM_ON,
        mem_off: float = _MEM_OFF,
        on_sample: Callable[[], object] | None = None,
    ) -> None: ...
    def start(self) -> None: ...
    def stop(self) -> None: ...
    def step(self, cpu: float, mem: float, gpu_bad: bool = False) -> None: ...
    def sustained_overloaded(self) -> bool: ...
    def gpu_pressure(self) -> bool: ...
    def _init_gpu(self) -> None: ...
    def _refresh_children(self) -> float: ...
    def _gpu_devices(self) -> list[dict[str, Any]]: ...
    def _sample(self) -> _Sample: ...
    def _loop(self) -> None: ...

@disjoint_base
class _OverflowMonitor:
    """The one stateful object of the offload feature. Its locks, thread-local
    storage, frames, trace hook, session and credential are dropped when it is
    pickled."""

    policy: str
    fast: bool
    threshold: float
    gpu_threshold: float | None
    check_interval: float
    verbose: bool
    min_seconds: float
    max_payload_bytes: int
    prewarm: bool
    cooldown_base: float
    cooldown_cap: float
    api_key: str | None
    api_url: str
    _clock: Callable[[], float]
    _gateway_factory: Callable[[], Any] | None
    _sample_source: Callable[[], _Sample] | None
    _running: bool
    _predict_cache: dict[_SigKey, bool]
    _src_cache: dict[_SigKey, str]
    _pickle_cache: dict[Any, Any]
    _learned_heavy: set[_SigKey]
    _demoted: set[_SigKey]
    _offload_incompatible: set[_SigKey]
    _offload_failures: dict[_SigKey, int]
    _benefit_ok: set[_SigKey]
    _relaxed_cache: dict[_SigKey, bool]
    _libref_cache: dict[_SigKey, bool]
    _gpu_cache: dict[Any, Any]
    _effect_cache: dict[Any, Any]
    _self_mut_cache: dict[Any, Any]
    _wrapped_classes: dict[int, tuple[type, list[tuple[str, Callable[..., Any]]]]]
    _wrapped_modules: set[int]
    _wrap_methods: bool
    _forward_open: bool
    _observed_seconds: dict[_SigKey, Any]
    _recent_calls: dict[_SigKey, Any]
    _wrapped: dict[int, tuple[Callable[..., Any], str, dict[str, Any]]]
    _scope_lock: threading.RLock
    _caller_globals: dict[str, Any] | None
    _caller_frame: FrameType | None
    _forward_names: set[str]
    _hook_installed: bool
    _hook_started_at: float
    _hook_calls: int
    _hook_fn: Callable[..., Any] | None
    _original_trace: Callable[..., Any] | None
    _load_gate: _LoadGate | None
    _gateway: Any
    _gateway_lock: threading.Lock
    _gateway_retry_at: float
    _gateway_backoff: float
    _prewarm_lock: threading.Lock
    _prewarmed: bool
    _warm_result: dict[str, Any]
    _by_value_lock: threading.Lock
    _by_value_refs: dict[Any, Any]
    _tls: threading.local
    _atexit_registered: bool
    _filename_cache: dict[str, bool]
    _exclude_prefixes: tuple[str, ...]
    _source_files: dict[object, str | None]
    _hook_records: dict[int, tuple[Any, ...]]
    _notebook_hook: Any
    def __init__(
        self,
        *,
        policy: str = "auto",
        fast: bool = False,
        threshold: float = 85.0,
        gpu_threshold: float | None = None,
        check_interval: float = 0.5,
        api_key: str | None = None,
        api_url: str | None = None,
        verbose: bool = True,
        min_seconds: float = _MIN_SECONDS_DEFAULT,
        max_payload_bytes: int = _MAX_PAYLOAD_BYTES_DEFAULT,
        prewarm: bool = False,
        cooldown_base: float = _COOLDOWN_BASE_DEFAULT,
        cooldown_cap: float = _COOLDOWN_CAP_DEFAULT,
        clock: Callable[[], float] = time.monotonic,
        gateway_factory: Callable[[], Any] | None = None,
        sample_source: Callable[[], _Sample] | None = None,
    ) -> None: ...
    def __getstate__(self) -> dict[str, Any]: ...
    def __setstate__(self, state: dict[str, Any], /) -> None: ...
    def start(self, caller_frame: FrameType | None = None) -> None:
        """Start watching: the load gate's thread (policies auto and loaded), a walk
        of ``caller_frame``'s namespace with the watch for later definitions, and,
        inside an IPython shell, a walk of the user namespace after every cell.
        Starting a running monitor does nothing."""
    def stop(self) -> None:
        """Stop watching and put every original function and method back; also
        run at process exit. Stopping a stopped monitor does nothing. With
        CORVID_OVERFLOW_REPORT=1 the report is logged as a table first."""
    def report(self) -> list[dict[str, Any]]:
        """What became of each wrapped function's calls, most called first:
        calls kept here by reason, calls offloaded, fallbacks by cause
        ("write-back", "not-submitted", "serialization", "remote-error"), and
        the seconds spent here and remotely. Each row holds "function", "file",
        "line", "calls", "local" ({reason name: count}), "offloaded",
        "fallbacks" ({cause: count}), "local_seconds" and "remote_seconds"."""
    # Discovery and the watch for late definitions.
    def _forward_scan(self, frame: FrameType | None) -> None: ...
    def _collect_top_defs(self, body: Iterable[Any]) -> None: ...
    def _forward_pending(self) -> bool: ...
    def _install_hook(self) -> None: ...
    def _uninstall_hook(self) -> None: ...
    def _first_sight_hook(self, frame: FrameType, event: str, arg: Any) -> Callable[..., Any] | None: ...
    def _is_user_code(self, filename: str) -> bool: ...
    def _check_user_code(self, filename: str) -> bool: ...
    def _wrap_scope(self, namespace: dict[str, Any]) -> None: ...
    def _wrap_one(self, name: str, obj: object, namespace: dict[str, Any]) -> None: ...
    def _wrap_class(self, cls: type) -> None: ...
    def _maybe_wrap_module(self, mod: ModuleType) -> None: ...
    def _register_wrap(self, func_obj: Callable[..., Any], name: str, namespace: dict[str, Any]) -> None: ...
    def _make_wrapper(self, original: Callable[..., Any]) -> _OverflowCallable: ...
    # Dispatch.
    def _dispatch(
        self,
        func: Callable[..., Any],
        args: tuple[Any, ...],
        kwargs: dict[str, Any],
        sig: _SigKey,
        name: str,
        thunk: _Thunk,
        is_method: bool = False,
    ) -> Any: ...
    def _executing(self) -> set[_SigKey]: ...
    def _dispatch_inner(
        self,
        func: Callable[..., Any],
        args: tuple[Any, ...],
        kwargs: dict[str, Any],
        sig: _SigKey,
        name: str,
        thunk: _Thunk,
        is_method: bool = False,
    ) -> Any: ...
    def _unwrap_all(self) -> None: ...
    # Heaviness prediction.
    def _get_src(self, func: object) -> str: ...
    def _lib_hit(self, func: object, src: str) -> bool: ...
    def _predict_heavy(self, func: object) -> bool: ...
    def _relaxed_heavy(self, func: object) -> bool: ...
    def _periodic_rescan(self) -> None: ...
    # Offload decision.
    def _under_pressure(self) -> bool: ...
    def _under_gpu_pressure(self) -> bool: ...
    def _should_offload(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], is_method: bool = False
    ) -> Decision: ...
    def _in_cooldown(self) -> bool: ...
    def _note_offload_failure(self, sig: _SigKey) -> None: ...
    def _record_local_time(self, func: Callable[..., Any], sig: _SigKey, dt: float, reason: Reason) -> None: ...
    # Offload safety.
    def _offload_safety(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], is_method: bool = False
    ) -> Decision: ...
    def _needs_writeback(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool: ...
    def _self_mutates_gate(self, func: Callable[..., Any]) -> bool: ...
    def _transitive_effect(self, func: Callable[..., Any]) -> bool: ...
    def _transitive_full(self, func: Callable[..., Any]) -> bool:
        """Whether func, or a user function it calls directly or indirectly,
        reads local files or has a side effect (at most _EFFECT_VISIT_CAP
        resolved calls)."""
    def _resolve_callee(self, node: object, func: Callable[..., Any]) -> Callable[..., Any] | None: ...
    def _fast_unpicklable(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> Literal["closure", "arg"] | None: ...
    def _state_transfer_ok(self, args: tuple[Any, ...], kwargs: dict[str, Any], is_method: bool = False) -> bool: ...
    def _cheap_size(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> int: ...
    def _picklable(self, args: tuple[Any, ...], kwargs: dict[str, Any]) -> bool: ...
    # State write-back.
    def _apply_writeback(
        self, args: tuple[Any, ...], kwargs: dict[str, Any], post_args: tuple[Any, ...], post_kwargs: dict[str, Any]
    ) -> None:
        """Copies the remote run's argument state into the caller's objects,
        all or nothing: on any error the entries already written are restored
        before the error is raised."""
    # Gateway sessions.
    def _announce_offload(self, func: object) -> None:
        """Logs "Offloading %s() to cloud" and, when verbose, prints the
        announcement between two empty lines."""
    def _maybe_prewarm(self) -> None:
        """Starts the "corvid-gateway-warm" thread, at most once a monitor."""
    def _warm_gateway(self) -> None: ...
    def _make_gateway(self) -> Any: ...
    def _get_gateway(self) -> Any:
        """The open session, or None while none can be had (retry cooldown)."""
    def _infer_pip(self, gw: Any, func: object) -> list[str] | None: ...
    def _apply_warm_session(self, gw: Any) -> None: ...
    # Remote execution.
    def _partition_call(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any]
    ) -> tuple[str, tuple[Any, ...], dict[str, Any]]: ...
    def _needs_gpu(self, func: object) -> bool: ...
    def _args_need_gpu(self, args: Iterable[Any], kwargs: Mapping[str, Any]) -> bool: ...
    def _gpu_pin(
        self,
        func: object,
        gpu_pressure: bool = False,
        args: Iterable[Any] = (),
        kwargs: Mapping[str, Any] | None = None,
    ) -> dict[str, Any]: ...
    def _cloud_execute(
        self, func: Callable[..., Any], args: tuple[Any, ...], kwargs: dict[str, Any], gpu_pressure: bool = False
    ) -> Any:
        """Runs the call on the gateway session; raises _SubmitError when there is none."""
    def _register_by_value(self, func: object) -> ModuleType | None: ...
    def _unregister_by_value(self, mod: ModuleType | None) -> None: ...

# The public name of the monitor class.
Monitor = _OverflowMonitor
