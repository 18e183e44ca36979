import sys
import threading
import time

import pytest

from corvid import serve

from .servekit import LineSink, b64, protocol


class LoggedSink(LineSink):
    """An output whose write and flush calls go into a shared event log."""

    def __init__(self, log):
        super().__init__()
        self.log = log

    def write(self, text):
        self.log.append("write")
        return super().write(text)

    def flush(self):
        self.log.append("flush")
        super().flush()


class PieceworkSink(LineSink):
    """An output that takes a line one character at a time and lets other
    threads run in between, so lines written without the lock get mixed."""

    def __init__(self):
        super().__init__()
        self.events = []

    def write(self, text):
        self.events.append(("write", threading.get_ident()))
        for char in text:
            super().write(char)
            time.sleep(0)
        return len(text)

    def flush(self):
        self.events.append(("flush", threading.get_ident()))
        super().flush()

    def assert_whole_lines(self):
        """Every write was followed by its own flush before any other write."""
        assert len(self.events) % 2 == 0
        for (first, writer), (second, flusher) in zip(self.events[::2], self.events[1::2]):
            assert (first, second, writer) == ("write", "flush", flusher)


class RecordingLock:
    """A lock an embedder might put in place of the module's own."""

    def __init__(self, log, name="replacement"):
        self._lock = threading.Lock()
        self.log = log
        self.name = name

    def acquire(self, *args):
        got = self._lock.acquire(*args)
        self.log.append(("acquire", self.name))
        return got

    def release(self):
        self.log.append(("release", self.name))
        self._lock.release()


def assert_each_line_held(log, lines, name="replacement"):
    assert log == [("acquire", name), "write", "flush", ("release", name)] * lines


def quiet(sink, seconds=0.2):
    """True when nothing new was written within `seconds`."""
    before = len(sink.lines)
    try:
        sink.wait_for(lambda lines: len(lines) > before, timeout=seconds)
    except AssertionError:
        return True
    return False


def test_a_real_threading_lock_made_at_import():
    assert isinstance(serve._emit_lock, type(threading.Lock()))
    assert "_emit_lock" in vars(serve) and not serve._emit_lock.locked()


def burst(emit, tag, count=40):
    for i in range(count):
        emit(tag, i)


@pytest.mark.parametrize("emit, shown", [
    (lambda tag, i: serve._emit_token(tag, f"{tag}-{i}"), lambda tag, i: f"GATEWAY_TOKEN {tag} {b64(f'{tag}-{i}')}"),
    (lambda tag, i: serve._emit(f"line {tag} {i}"), lambda tag, i: f"line {tag} {i}"),
], ids=["token", "plain"])
def test_lines_from_many_threads_stay_whole(emit, shown):
    sink = PieceworkSink()
    threads = [threading.Thread(target=burst, args=(emit, t)) for t in range(4)]
    with sink:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    sink.assert_whole_lines()
    assert len(sink.lines) == 160
    for t in range(4):
        assert [line for line in sink.lines if line.split(" ")[1] == str(t)] == [shown(t, i) for i in range(40)]


def test_liveness_lines_and_other_lines_stay_whole():
    sink = PieceworkSink()
    with sink, serve._TurnAlive(5, interval=0.0005) as alive:
        for i in range(40):
            serve._emit(f"main {i}")
        sink.wait_for(lambda lines: lines.count("GATEWAY_TURN_ALIVE 5") >= 3)
        alive.stop()
        alive._thread.join(5)
    sink.assert_whole_lines()
    assert [line for line in sink.lines if line.startswith("main")] == [f"main {i}" for i in range(40)]
    assert set(sink.lines) - {f"main {i}" for i in range(40)} == {"GATEWAY_TURN_ALIVE 5"}


def test_a_streaming_turn_and_an_embedder_thread_stay_whole(session):
    sink = PieceworkSink()

    def handler(prompt):
        side = threading.Thread(target=burst, args=(lambda tag, i: serve._emit(f"side {i}"), "side"))
        side.start()
        for i in range(40):
            yield f"piece {i}"
        side.join()

    s = session(handler, sink=sink).start()
    s.send({"text": "go", "turn": 1})
    s.wait_turn(1)
    s.send(serve.STOP_LINE)
    s.finish()
    sink.assert_whole_lines()
    lines = protocol(sink.lines)
    assert [line for line in lines if line.startswith("side")] == [f"side {i}" for i in range(40)]
    assert [line for line in lines if not line.startswith("side")][2:] == [
        "GATEWAY_TURN_START 1", *(f"GATEWAY_TOKEN 1 {b64(f'piece {i}')}" for i in range(40)), "GATEWAY_TURN_END 1"]


# Each starter prepares one kind of line and returns (the line, a callable
# that sets it going, a callable that winds it up).
def start_plain(session):
    writer = threading.Thread(target=serve._emit, args=("plain",))
    return "plain", writer.start, writer.join


def start_token(session):
    writer = threading.Thread(target=serve._emit_token, args=(3, "tok"))
    return f"GATEWAY_TOKEN 3 {b64('tok')}", writer.start, writer.join


def start_liveness(session):
    alive = serve._TurnAlive(2, interval=0.001)

    def finish(timeout):
        alive.stop()
        alive._thread.join(timeout)

    return "GATEWAY_TURN_ALIVE 2", alive.__enter__, finish


def start_turn(session):
    s = session(lambda prompt: "answer").start()

    def finish(timeout):
        s.wait_turn(4)
        s.send(serve.STOP_LINE)
        s.finish(timeout)

    return "GATEWAY_TURN_START 4", lambda: s.send({"text": "go", "turn": 4}), finish


@pytest.mark.parametrize("start", [start_plain, start_token, start_liveness, start_turn])
def test_a_held_lock_holds_back_every_kind_of_line(sink, session, start):
    with sink:
        expected, go, finish = start(session)
        announced = len(sink.lines)
        serve._emit_lock.acquire()
        try:
            go()
            assert quiet(sink)
        finally:
            serve._emit_lock.release()
        sink.wait_for(lambda lines: len(lines) > announced)
        finish(5)
    assert sink.lines[announced] == expected
    assert not serve._emit_lock.locked()


@pytest.mark.parametrize("swap", ["before_start", "mid_session"])
def test_every_session_line_goes_through_the_lock_in_place_at_the_time(session, monkeypatch, swap):
    log = []
    sink = LoggedSink(log)
    replacement = RecordingLock(log)

    def handler(prompt):
        if prompt == "fail":
            raise ValueError("no answer")
        sink.wait_for_line(serve.TURN_ALIVE)
        yield "a"
        yield "b"

    def swap_lock():
        monkeypatch.setattr(serve, "_emit_lock", replacement)
        monkeypatch.setattr(serve, "HEARTBEAT_INTERVAL", 0.01)

    if swap == "before_start":
        swap_lock()
    s = session(handler, sink=sink).start()
    seen = 0
    if swap == "mid_session":
        # The session is idle and silent here: its first heartbeat is 15 s away.
        swap_lock()
        del log[:]
        seen = len(sink.lines)
    sink.wait_for_line(serve.HEARTBEAT)
    s.send({"text": "go", "turn": 1}, {"text": "fail", "turn": 2})
    s.wait_turn(2)
    s.send(serve.STOP_LINE)
    s.finish()
    assert_each_line_held(log, len(sink.lines) - seen)
    kinds = {line.split(" ")[0] for line in sink.lines[seen:]}
    assert kinds >= {serve.HEARTBEAT, serve.TURN_START, serve.TURN_ALIVE, serve.TURN_TOKEN, serve.TURN_END,
                     serve.TURN_ERROR}
    if swap == "before_start":
        assert kinds >= {serve.SESSION_INFO, serve.SESSION_READY}


@pytest.mark.parametrize("emit", [
    lambda: serve._emit("plain"),
    lambda: serve._emit_token(1, "x"),
], ids=["plain", "token"])
def test_single_lines_use_a_replaced_lock(monkeypatch, emit):
    log = []
    monkeypatch.setattr(serve, "_emit_lock", RecordingLock(log))
    with LoggedSink(log) as sink:
        emit()
        emit()
    assert len(sink.lines) == 2
    assert_each_line_held(log, 2)


def test_liveness_lines_use_a_replaced_lock(monkeypatch):
    log = []
    monkeypatch.setattr(serve, "_emit_lock", RecordingLock(log))
    with LoggedSink(log) as sink, serve._TurnAlive(6, interval=0.001) as alive:
        sink.wait_for(lambda lines: len(lines) >= 2)
        alive.stop()
        alive._thread.join(5)
    assert set(sink.lines) == {"GATEWAY_TURN_ALIVE 6"}
    assert_each_line_held(log, len(sink.lines))


def test_release_goes_to_the_lock_that_was_acquired(monkeypatch):
    log = []
    second = RecordingLock(log, "second")

    class Swapping(RecordingLock):
        def acquire(self, *args):
            monkeypatch.setattr(serve, "_emit_lock", second)
            return super().acquire(*args)

    monkeypatch.setattr(serve, "_emit_lock", Swapping(log, "first"))
    with LoggedSink(log) as sink:
        serve._emit("one")
        serve._emit("two")
    assert sink.lines == ["one", "two"]
    assert log == [("acquire", "first"), "write", "flush", ("release", "first"),
                   ("acquire", "second"), "write", "flush", ("release", "second")]


class FailingOutput:
    def write(self, text):
        raise OSError("pipe closed")

    def flush(self):
        pass


def test_a_failing_write_releases_the_lock(sink):
    saved, sys.stdout = sys.stdout, FailingOutput()
    try:
        with pytest.raises(OSError, match="pipe closed"):
            serve._emit("lost")
    finally:
        sys.stdout = saved
    assert not serve._emit_lock.locked()


def test_a_failing_release_after_a_failing_write_keeps_the_write_error(monkeypatch):
    class BadRelease(RecordingLock):
        def release(self):
            super().release()
            raise RuntimeError("release failed")

    unraisable = []
    monkeypatch.setattr(sys, "unraisablehook", unraisable.append)
    log = []
    monkeypatch.setattr(serve, "_emit_lock", BadRelease(log))
    saved, sys.stdout = sys.stdout, FailingOutput()
    try:
        with pytest.raises(OSError, match="pipe closed"):
            serve._emit("lost")
    finally:
        sys.stdout = saved
    assert log == [("acquire", "replacement"), ("release", "replacement")]
    assert [str(u.exc_value) for u in unraisable] == ["release failed"]


class NoAcquire:
    def acquire(self):
        raise RuntimeError("cannot acquire")

    def release(self):
        raise AssertionError("released a lock that was never acquired")


class NoRelease:
    def acquire(self):
        return True

    def release(self):
        raise RuntimeError("cannot release")


@pytest.mark.parametrize("lock, error, written", [
    (NoAcquire(), RuntimeError("cannot acquire"), []),
    (NoRelease(), RuntimeError("cannot release"), ["plain"]),
    (None, NameError("name '_emit_lock' is not defined"), []),
], ids=["acquire", "release", "missing"])
def test_lock_failures_reach_the_caller(sink, monkeypatch, lock, error, written):
    if lock is None:
        monkeypatch.delattr(serve, "_emit_lock")
    else:
        monkeypatch.setattr(serve, "_emit_lock", lock)
    with sink, pytest.raises(type(error)) as caught:
        serve._emit("plain")
    assert str(caught.value) == str(error)
    assert sink.lines == written
