"""Adaptive depth (number of part uploads in flight) chosen from measured goodput."""

from collections.abc import Callable

from typing_extensions import disjoint_base

_GROW: float
_EPS: float
_SAMPLES_PER_DEPTH: int
_MIN_WAVE_PARTS: int

@disjoint_base
class DepthController:
    """Grows the depth geometrically while each step improves goodput by at
    least ``_EPS``; then freezes on the best depth seen. Driven by one thread."""

    floor: int
    cap: int
    _clock: Callable[[], float]
    _target: int
    _frozen: bool
    _ref_goodput: float | None
    _best_target: int
    _wave_t0: float | None
    _wave_bytes: int
    _wave_parts: int
    _discard_next: bool
    _samples: list[float]
    trajectory: list[int]

    def __init__(self, floor: int, cap: int, clock: Callable[[], float] | None = None) -> None: ...
    def target(self) -> int:
        """The depth to keep in flight now."""
    def record(self, nbytes: int) -> None:
        """Report one finished part of ``nbytes`` bytes."""
    def _observe(self, goodput: float) -> None: ...
    def _grow(self) -> None: ...
