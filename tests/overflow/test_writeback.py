"""State write-back: which argument objects can take a remote run's changes,
and the all-or-nothing copy into the caller's own objects."""

import copy

import pytest

from corvid import overflow as ov

np = pytest.importorskip("numpy")


class Holder:
    def __init__(self):
        self.items, self.count, self._cache = ["a"], 0, [[1]]


class NoCopy(list):
    __reduce_ex__ = __reduce__ = None  # copy.deepcopy fails


class Picky(list):
    __setitem__ = None  # every write fails


@pytest.mark.parametrize("obj, state", [
    ("s", "immutable"), ((1, ("a", None, 2j)), "immutable"), (frozenset({1}), "immutable"),
    (tuple(range(4097)), "unsyncable"), ([[1]], "unsyncable"), (object(), "unsyncable"),
    ([1, 2], "sync"), ({"a": 1}, "sync"), ({1, 2}, "sync"), (bytearray(b"x"), "sync"),
    (np.zeros(2), "sync"),
])
def test_state_class(obj, state):
    assert ov._arg_state_class(obj) == state


@pytest.mark.parametrize("sync, local, remote, message", [
    (ov._sync_list, [1], (1,), "list write-back type mismatch"),
    (ov._sync_dict, {1: 2}, [], "dict write-back type mismatch"),
    (ov._sync_set, {1}, [1], "set write-back type mismatch"),
    (ov._sync_bytearray, bytearray(b"a"), "a", "bytearray write-back type mismatch"),
    (ov._sync_ndarray, np.ones(2), [0, 0], "ndarray write-back type mismatch"),
    (ov._sync_ndarray, np.ones(2), np.zeros(3), "ndarray write-back shape/dtype mismatch"),
    (ov._sync_ndarray, np.ones(2), np.zeros(2, dtype=int), "ndarray write-back shape/dtype mismatch"),
    (ov._sync_ndarray, np.broadcast_to(np.zeros(1), 2), np.ones(2), "ndarray not writeable"),
    (ov._sync_module, [1], [1], "module write-back type mismatch"),
    (ov._sync_optimizer, [1], [1], "optimizer write-back type mismatch"),
    (ov._sync_tensor, [1], [1], "tensor write-back type mismatch"),
])
def test_refusals_leave_the_target_untouched(sync, local, remote, message):
    before = copy.deepcopy(local)
    with pytest.raises(ov._StateSyncError) as refused:
        sync(local, remote)
    assert refused.value.args == (message,)
    assert np.array_equal(local, before) if isinstance(local, np.ndarray) else local == before


def test_apply_writeback_is_all_or_nothing():
    mon = ov._OverflowMonitor(verbose=False)
    xs, d, h, arr = [1], {"k": 1}, Holder(), np.zeros(2)
    items = h.items
    theirs = Holder()
    theirs.items.append("b")
    theirs.count = 5
    mon._apply_writeback((xs, h, arr), {"d": d, "gone": [9]}, ([1, 2], theirs, np.ones(2)), {"d": {"k": 2}})
    assert (xs, h.items, h.count, d) == ([1, 2], ["a", "b"], 0, {"k": 2})
    assert h.items is items and arr.tolist() == [1.0, 1.0]   # in place; atoms are not transferred

    # the second entry is refused: the first goes back to its snapshot
    with pytest.raises(ov._StateSyncError, match="^ndarray write-back shape/dtype mismatch$"):
        mon._apply_writeback((xs, arr), {}, ([7], np.zeros(3)), {})
    assert xs == [1, 2] and arr.tolist() == [1.0, 1.0]
    # so is it when the write itself fails, and the error is the write's own
    with pytest.raises(TypeError):
        mon._apply_writeback((xs, Picky([1])), {}, ([8], [2]), {})
    assert xs == [1, 2]
    # a target that cannot be copied is written but cannot be restored
    stuck = NoCopy([1])
    with pytest.raises(ov._StateSyncError):
        mon._apply_writeback((stuck, arr), {}, ([5], np.zeros(3)), {})
    assert stuck == [5]
    assert mon._needs_writeback((1, "s"), {}) is False and mon._needs_writeback((), {"h": h}) is True
    assert ov._object_attr_syncs(h) == {"items": ov._sync_list} and not ov._fully_syncable(h)  # _cache
    del h._cache
    assert ov._fully_syncable(h) and ov._object_attr_syncs([h]) == {}
