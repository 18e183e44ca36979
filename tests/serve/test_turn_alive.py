import threading

from corvid import serve


def test_fields_and_default_interval(monkeypatch):
    alive = serve._TurnAlive(4)
    assert (alive._turn, alive._interval, alive._thread) == (4, 15.0, None)
    assert isinstance(alive._done, threading.Event) and not alive._done.is_set()
    monkeypatch.setattr(serve, "HEARTBEAT_INTERVAL", 2.5)
    assert serve._TurnAlive(1)._interval == 2.5
    assert serve._TurnAlive(1, 0.5)._interval == 0.5
    alive.note = "plain object"
    assert alive.__dict__ == {"note": "plain object"}


def test_emits_liveness_until_stopped(sink):
    with sink, serve._TurnAlive(9, interval=0.01) as alive:
        assert isinstance(alive._thread, threading.Thread) and alive._thread.daemon
        sink.wait_for(lambda lines: lines.count("GATEWAY_TURN_ALIVE 9") >= 2)
        alive.stop()
        alive._thread.join(5)
        assert not alive._thread.is_alive()
        emitted = len(sink.lines)
    assert set(sink.lines) == {"GATEWAY_TURN_ALIVE 9"}
    assert len(sink.lines) == emitted


def test_stop_before_first_interval_emits_nothing(sink):
    alive = serve._TurnAlive(1, interval=30.0)
    with sink, alive:
        pass  # __exit__ stops it; the waiting thread must wake at once
    alive._thread.join(5)
    assert not alive._thread.is_alive() and sink.lines == []


def test_exit_lets_exceptions_through(sink):
    alive = serve._TurnAlive(1, interval=30.0)
    try:
        with alive:
            raise LookupError("from the block")
    except LookupError:
        pass
    else:
        raise AssertionError("exception swallowed")
    assert alive._done.is_set()
    alive._thread.join(5)


def test_turn_alive_in_a_reference_cycle_is_collected():
    import gc
    import weakref

    class Owner:
        pass

    through_field, through_dict = Owner(), Owner()
    through_field.alive = serve._TurnAlive(through_field)  # cycle via _turn
    through_dict.alive = serve._TurnAlive(1)
    through_dict.alive.owner = through_dict  # cycle via the instance __dict__
    refs = [weakref.ref(through_field), weakref.ref(through_dict)]
    del through_field, through_dict
    gc.collect()
    assert [r() for r in refs] == [None, None]


def test_turn_changed_while_running_is_reported(sink):
    with sink, serve._TurnAlive(1, interval=0.001) as alive:
        sink.wait_for_line("GATEWAY_TURN_ALIVE 1")
        alive._turn = 2
        sink.wait_for_line("GATEWAY_TURN_ALIVE 2")
