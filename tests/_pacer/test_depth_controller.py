import gc
import time
import weakref

import pytest

from corvid import _pacer
from corvid._pacer import DepthController

PART = 1000  # bytes per finished part in these tests


class Clock:
    def __init__(self, now=0.0):
        self.now = now

    def __call__(self):
        return self.now


def wave(ctl, clock, rate, parts=None):
    """Finish one full wave of parts whose goodput is `rate` bytes/s."""
    parts = parts or max(ctl.target(), _pacer._MIN_WAVE_PARTS)
    step = parts * PART / rate / (parts - 1)
    for i in range(parts):
        if i:
            clock.now += step
        ctl.record(PART)
    clock.now += 1.0  # gap before the next wave; never part of a measurement


def judge(ctl, clock, rate):
    """Run the waves one depth needs before it is judged (warm-up included)."""
    depth = ctl.target()
    if ctl._discard_next:
        wave(ctl, clock, rate)
    for _ in range(_pacer._SAMPLES_PER_DEPTH):
        wave(ctl, clock, rate)
    assert ctl.target() != depth or ctl._frozen


def test_constants():
    assert (_pacer._GROW, _pacer._EPS, _pacer._SAMPLES_PER_DEPTH, _pacer._MIN_WAVE_PARTS) == (1.5, 0.05, 2, 4)


@pytest.mark.parametrize(
    "floor, cap, want_floor, want_cap, frozen",
    [(0, 0, 1, 1, True), (3, 1, 3, 3, True), (5, 5, 5, 5, True), (2, 10, 2, 10, False), ("4", 8.9, 4, 8, False)],
)
def test_construction_normalises_bounds(floor, cap, want_floor, want_cap, frozen):
    ctl = DepthController(floor, cap, clock=Clock())
    assert (ctl.floor, ctl.cap, ctl.target(), ctl._frozen) == (want_floor, want_cap, want_floor, frozen)
    assert ctl.trajectory == [want_floor]
    assert ctl._best_target == want_floor and ctl._ref_goodput is None and ctl._wave_t0 is None


def test_frozen_controller_ignores_records_and_never_reads_the_clock():
    def clock():
        raise AssertionError("a frozen controller must not read the clock")

    ctl = DepthController(0, 0, clock=clock)
    for _ in range(50):
        ctl.record(10**6)
    assert ctl.target() == 1 and ctl.trajectory == [1] and ctl._wave_parts == 0


def test_default_clock_is_monotonic():
    ctl = DepthController(1, 4)
    assert ctl._clock is time.monotonic
    for _ in range(4):
        ctl.record(PART)
    assert len(ctl._samples) == 1 and ctl._samples[0] > 0


@pytest.mark.parametrize("floor, parts_needed", [(1, 4), (3, 4), (6, 6)])
def test_wave_needs_depth_parts_and_at_least_four(floor, parts_needed):
    clock = Clock()
    ctl = DepthController(floor, 50, clock=clock)
    for i in range(parts_needed - 1):
        clock.now = float(i)
        ctl.record(PART)
    assert ctl._samples == [] and ctl._wave_parts == parts_needed - 1 and ctl._wave_t0 == 0.0
    clock.now = 2.0 * parts_needed
    ctl.record(PART)
    assert ctl._samples == [pytest.approx(parts_needed * PART / clock.now)]
    assert (ctl._wave_parts, ctl._wave_bytes, ctl._wave_t0) == (0, 0, None)


def test_parts_at_the_same_instant_use_a_microsecond():
    ctl = DepthController(1, 10, clock=Clock(5.0))
    for _ in range(4):
        ctl.record(PART)
    assert ctl._samples == [pytest.approx(4 * PART / 1e-6)]


def test_record_converts_nbytes_with_int():
    ctl = DepthController(1, 10, clock=Clock())
    for nbytes in (10.9, "20", True):
        ctl.record(nbytes)
    assert ctl._wave_bytes == 31
    with pytest.raises(ValueError):
        ctl.record("lots")


def test_first_judgement_uses_the_worse_wave_and_grows():
    clock = Clock()
    ctl = DepthController(1, 10, clock=clock)
    wave(ctl, clock, 3000.0)  # no warm-up wave at the floor depth: this one counts
    assert ctl._samples == [pytest.approx(3000.0)]
    wave(ctl, clock, 1000.0)
    assert ctl._ref_goodput == pytest.approx(1000.0)
    assert ctl._best_target == 1 and ctl.target() == 2 and ctl.trajectory == [1, 2]
    assert ctl._discard_next and ctl._samples == []


def test_wave_after_a_depth_change_is_discarded():
    clock = Clock()
    ctl = DepthController(1, 10, clock=clock)
    judge(ctl, clock, 1000.0)
    assert ctl.target() == 2
    wave(ctl, clock, 1.0)  # warm-up: thrown away, however bad
    assert not ctl._discard_next and ctl._samples == [] and not ctl._frozen
    wave(ctl, clock, 2000.0)
    assert ctl._samples == [pytest.approx(2000.0)]
    wave(ctl, clock, 2000.0)
    assert ctl.target() == 3 and ctl._ref_goodput == pytest.approx(2000.0)


@pytest.mark.parametrize("goodput, improved", [(105.0, True), (104.99, False), (200.0, True), (50.0, False)])
def test_improvement_needs_five_percent(goodput, improved):
    ctl = DepthController(1, 10, clock=Clock())
    ctl._observe(100.0)
    assert ctl.target() == 2
    ctl._observe(goodput)
    if improved:
        assert (ctl.target(), ctl._best_target, ctl._ref_goodput, ctl._frozen) == (3, 2, goodput, False)
        assert ctl.trajectory == [1, 2, 3]
    else:
        assert (ctl.target(), ctl._ref_goodput, ctl._frozen) == (1, 100.0, True)
        assert ctl.trajectory == [1, 2, 1]


def test_growth_sequence_then_freeze_at_cap():
    clock = Clock()
    ctl = DepthController(1, 28, clock=clock)
    rate = 1000.0
    while not ctl._frozen:
        judge(ctl, clock, rate)
        rate *= 1.2
    assert ctl.trajectory == [1, 2, 3, 4, 6, 9, 13, 19, 28, 28]
    assert ctl.target() == 28 and ctl._best_target == 28


def test_cap_limits_the_last_step():
    ctl = DepthController(5, 6, clock=Clock())
    ctl._observe(10.0)
    assert ctl.target() == 6
    ctl._observe(20.0)  # improved at the cap: no room left, stays there
    assert (ctl.target(), ctl._frozen, ctl.trajectory) == (6, True, [5, 6, 6])


def test_step_that_does_not_pay_off_returns_to_best_and_freezes():
    clock = Clock()
    ctl = DepthController(1, 100, clock=clock)
    judge(ctl, clock, 100.0)
    judge(ctl, clock, 200.0)
    judge(ctl, clock, 205.0)  # +2.5 %: not enough
    assert ctl.trajectory == [1, 2, 3, 2]
    assert ctl.target() == 2 and ctl._frozen
    before = (ctl._wave_parts, list(ctl.trajectory))
    wave(ctl, clock, 10**6)
    assert (ctl._wave_parts, ctl.trajectory) == before


def test_fields_are_plain_attributes():
    ctl = DepthController(1, 10, clock=Clock())
    ctl.note = "mine"
    assert ctl.__dict__ == {"note": "mine"}
    ctl._target = 7
    assert ctl.target() == 7
    ctl.trajectory.append(99)
    assert ctl.trajectory[-1] == 99
    ctl._ref_goodput = None
    ctl._observe(10.0)
    assert ctl._best_target == 7 and ctl.target() == 10


def test_controller_in_a_reference_cycle_is_collected():
    class Owner:
        def __call__(self):
            return 0.0

    owner = Owner()
    owner.ctl = DepthController(1, 4, clock=owner)
    owner.ctl.extra = owner
    gone = weakref.ref(owner)
    del owner
    gc.collect()
    assert gone() is None


@pytest.mark.parametrize("name, value, check", [
    # a wave of two parts is enough once the minimum is lowered
    ("_MIN_WAVE_PARTS", 2, lambda ctl, clock: (ctl.record(PART), ctl.record(PART), ctl._samples)[-1] != []),
    # one wave per depth: the first complete wave is judged at once
    ("_SAMPLES_PER_DEPTH", 1, lambda ctl, clock: (wave(ctl, clock, 1000.0), ctl.target())[-1] == 2),
    # growth by a factor of 3 from depth 2 goes straight to 6
    ("_GROW", 3, lambda ctl, clock: (setattr(ctl, "_target", 2), ctl._grow(), ctl.target())[-1] == 6),
    # a 20 % margin turns a 10 % gain into a failed step
    ("_EPS", 0.2, lambda ctl, clock: (setattr(ctl, "_ref_goodput", 100.0), ctl._observe(110.0),
                                      ctl._frozen)[-1]),
])
def test_assigned_module_constants_take_effect(monkeypatch, name, value, check):
    ctl = DepthController(1, 50, clock=Clock())
    assert not check(ctl, ctl._clock)  # with the built-in value
    monkeypatch.setattr(_pacer, name, value)
    ctl = DepthController(1, 50, clock=Clock())
    assert check(ctl, ctl._clock)


def test_byte_counts_and_depths_beyond_64_bits_do_not_wrap():
    ctl, big = DepthController(1, 10, clock=Clock()), DepthController(2**62, 2**63, clock=Clock())
    for _ in range(3):
        ctl.record(2**62)
    big._observe(1.0)
    big._observe(2.0)
    assert ctl._wave_bytes == 3 * 2**62
    assert (big.floor, big.cap, big.trajectory) == (2**62, 2**63, [2**62, 3 * 2**61, 2**63])
