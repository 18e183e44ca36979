import threading

import pytest

from corvid import serve


@pytest.fixture
def lock():
    return serve._EmitLock()


def test_threading_lock_semantics(lock):
    assert not lock.locked() and lock.acquire() is True and lock.locked()
    assert lock.acquire(False) is False
    assert lock.acquire(timeout=0.01) is False
    lock.release()
    assert not lock.locked()
    with pytest.raises(RuntimeError, match="release unlocked lock"):
        lock.release()
    with lock as entered:
        assert entered is True and lock.locked()
    assert not lock.locked()
    with pytest.raises(ValueError):
        lock.acquire(False, 1.0)
    with pytest.raises(ValueError):
        lock.acquire(True, -5)
    assert "unlocked" in repr(lock)


def test_blocked_acquire_wakes_when_another_thread_releases(lock):
    lock.acquire()
    got = []
    waiter = threading.Thread(target=lambda: got.append(lock.acquire(timeout=10)))
    waiter.start()
    waiter.join(0.1)
    assert waiter.is_alive() and got == []
    lock.release()  # released by a thread other than the waiter, as threading.Lock allows
    waiter.join(5)
    assert got == [True] and lock.locked()


def test_emit_uses_whatever_lock_the_module_holds(sink, monkeypatch):
    plain = threading.Lock()
    monkeypatch.setattr(serve, "_emit_lock", plain)
    with sink:
        plain.acquire()
        writer = threading.Thread(target=serve._emit, args=("later",))
        writer.start()
        writer.join(0.1)
        assert writer.is_alive() and sink.lines == []
        plain.release()
        writer.join(5)
    assert sink.lines == ["later"] and not plain.locked()


def test_a_failing_write_releases_the_lock():
    class Broken:
        def write(self, text):
            raise OSError("pipe closed")

        def flush(self):
            pass

    import sys

    saved, sys.stdout = sys.stdout, Broken()
    try:
        with pytest.raises(OSError, match="pipe closed"):
            serve._emit("lost")
    finally:
        sys.stdout = saved
    assert not serve._emit_lock.locked()
