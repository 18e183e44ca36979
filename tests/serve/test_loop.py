import json
import threading

import pytest

from corvid import serve

from .servekit import b64, protocol, unb64


def echo(prompt, history):
    return f"echo {prompt}"


def turn_output(lines):
    """Protocol lines after the session announcement."""
    lines = protocol(lines)
    assert lines[0].startswith("GATEWAY_SESSION_INFO ") and lines[1] == "GATEWAY_SESSION_READY"
    return lines[2:]


def test_announces_session_then_ready(session, tmp_path):
    s = session(echo).start()
    info_line, ready = s.sink.lines[:2]
    marker, _, payload = info_line.partition(" ")
    assert marker == "GATEWAY_SESSION_INFO" and ready == "GATEWAY_SESSION_READY"
    assert json.loads(payload)["input"] == str(tmp_path / "input.jsonl")
    s.send(serve.STOP_LINE)
    assert s.finish() == []


def test_string_answer_is_exactly_three_lines(session):
    s = session(echo).start()
    s.send({"text": "hello", "turn": 3})
    s.wait_turn(3)
    s.send("  __STOP__  ")
    history = s.finish()
    assert turn_output(s.sink.lines) == [
        "GATEWAY_TURN_START 3", f"GATEWAY_TOKEN 3 {b64('echo hello')}", "GATEWAY_TURN_END 3"]
    assert history == [{"role": "user", "content": "hello"}, {"role": "assistant", "content": "echo hello"}]


def test_streamed_pieces_and_history_seen_by_the_handler(session):
    seen = []

    def handler(prompt, history):
        seen.append([dict(h) for h in history])
        yield prompt
        yield 1
        yield "é"

    mine = [{"role": "system", "content": "be brief"}]
    s = session(handler, history=mine).start()
    s.send({"text": "a", "turn": 1}, {"text": "b", "turn": 2})
    s.wait_turn(2)
    s.send(serve.STOP_LINE)
    result = s.finish()
    assert result is mine
    assert seen == [mine[:1], mine[:3]]
    assert [m["content"] for m in result] == ["be brief", "a", "a1é", "b", "b1é"]
    tokens = [unb64(line.split(" ")[2]) for line in s.sink.lines if line.startswith("GATEWAY_TOKEN 2 ")]
    assert tokens == ["b", "1", "é"]


def test_handler_failures_are_turn_errors_and_the_loop_goes_on(session):
    calls = []

    def failing_later():
        yield "partial"
        raise RuntimeError("handler exploded: ünïcode")

    def handler(prompt, history):
        calls.append(prompt)
        if prompt == "typo":
            raise TypeError("bad operand inside the handler")  # must not be retried as handler(prompt)
        return failing_later() if prompt == "boom" else "fine"

    s = session(handler).start()
    s.send({"text": "boom", "turn": 1}, {"text": "typo", "turn": 2}, {"text": "next", "turn": 3})
    s.wait_turn(3)
    s.send(serve.STOP_LINE)
    history = s.finish()
    assert turn_output(s.sink.lines) == [
        "GATEWAY_TURN_START 1", f"GATEWAY_TOKEN 1 {b64('partial')}",
        f"GATEWAY_TURN_ERROR 1 {b64('handler exploded: ünïcode')}",
        "GATEWAY_TURN_START 2", f"GATEWAY_TURN_ERROR 2 {b64('bad operand inside the handler')}",
        "GATEWAY_TURN_START 3", f"GATEWAY_TOKEN 3 {b64('fine')}", "GATEWAY_TURN_END 3"]
    assert calls == ["boom", "typo", "next"]
    assert history == [{"role": "user", "content": "next"}, {"role": "assistant", "content": "fine"}]


@pytest.mark.parametrize("turn", ["abc", None, [1], {"n": 1}, 1e400, "1.5"])
def test_unreadable_turn_is_reported_and_the_session_goes_on(session, turn):
    s = session(echo).start()
    s.send(json.dumps({"text": "bad", "turn": turn}).replace("Infinity", "1e400"), {"text": "good", "turn": 8})
    s.wait_turn(8)
    s.send(serve.STOP_LINE)
    history = s.finish()
    out = turn_output(s.sink.lines)
    assert out[0].startswith("GATEWAY_TURN_ERROR -1 ")
    message = unb64(out[0].split(" ")[2])
    assert message.startswith(f"invalid turn number {turn!r}: ")
    assert out[1:] == ["GATEWAY_TURN_START 8", f"GATEWAY_TOKEN 8 {b64('echo good')}", "GATEWAY_TURN_END 8"]
    assert [m["content"] for m in history] == ["good", "echo good"]


@pytest.mark.parametrize("turn, shown", [("12", "12"), (4.9, "4"), (True, "1"), (-3, "-3")])
def test_turn_is_converted_with_int(session, turn, shown):
    s = session(echo).start()
    s.send({"text": "t", "turn": turn})
    s.wait_turn(shown)
    s.send(serve.STOP_LINE)
    s.finish()
    assert turn_output(s.sink.lines)[0] == f"GATEWAY_TURN_START {shown}"


def test_malformed_lines_are_prompts_or_skipped(session):
    prompts = []

    def handler(prompt, history):
        prompts.append(prompt)
        return "ok"

    s = session(handler).start()
    s.send("", "   ", "not json at all", "[1, 2]", '{"turn": 4}', '{"text": ""}', "[" * 100_000)
    s.send_bytes(b"bad \xff\xfe bytes\n")
    s.send({"text": "last", "turn": 9})
    s.wait_turn(9)
    s.send(serve.STOP_LINE)
    s.finish()
    assert prompts == ["not json at all", "[1, 2]", "[" * 100_000, "bad \ufffd\ufffd bytes", "last"]
    starts = [l for l in s.sink.lines if l.startswith("GATEWAY_TURN_START")]
    assert starts == ["GATEWAY_TURN_START 0"] * 4 + ["GATEWAY_TURN_START 9"]


def test_partial_line_waits_for_its_newline(session, monkeypatch):
    monkeypatch.setattr(serve, "HEARTBEAT_INTERVAL", 0.0)  # a heartbeat after every empty poll
    s = session(echo).start()
    s.send('{"text": "split", "tu', newline=False)
    seen = len(s.sink.lines)
    # The second heartbeat after the write comes from a poll that began after it.
    s.sink.wait_for(lambda lines: sum(l.startswith("GATEWAY_HEARTBEAT") for l in lines[seen:]) >= 2)
    assert not any(l.startswith("GATEWAY_TURN") for l in s.sink.lines)
    s.send('rn": 6}')
    s.wait_turn(6)
    s.send(serve.STOP_LINE)
    assert s.finish()[0] == {"role": "user", "content": "split"}


def test_lines_written_before_start_are_ignored(session, tmp_path):
    (tmp_path / "input.jsonl").write_text(json.dumps({"text": "old", "turn": 1}) + "\n__STOP__\n")
    s = session(echo).start()
    s.send({"text": "new", "turn": 2})
    s.wait_turn(2)
    s.send(serve.STOP_LINE)
    assert [m["content"] for m in s.finish()] == ["new", "echo new"]


def test_stop_ends_the_batch(session):
    s = session(echo).start()
    s.send({"text": "one", "turn": 1}, {"stop": True}, {"text": "never", "turn": 2})
    history = s.finish()
    assert [m["content"] for m in history] == ["one", "echo one"]
    assert not any("never" in l or l.endswith(" 2") for l in protocol(s.sink.lines))


def test_idle_timeout_zero_ends_at_the_first_empty_poll(sink, tmp_path):
    with sink:
        assert serve.serve_loop(echo, idle_timeout=0, input_path=str(tmp_path / "fresh.jsonl")) == []
    assert sink.lines[1:] == ["GATEWAY_SESSION_READY"]
    assert (tmp_path / "fresh.jsonl").exists()


def test_unopenable_input_file_raises(sink, tmp_path):
    with sink, pytest.raises(OSError):
        serve.serve_loop(echo, idle_timeout=0, input_path=str(tmp_path / "no-such-dir" / "in.jsonl"))
    assert sink.lines == []


def test_heartbeat_while_idle(session, monkeypatch):
    import time

    monkeypatch.setattr(serve, "HEARTBEAT_INTERVAL", 0.02)
    s = session(echo).start()
    lines = s.sink.wait_for_line("GATEWAY_HEARTBEAT ")
    beat = next(l for l in lines if l.startswith("GATEWAY_HEARTBEAT "))
    assert 0 <= time.monotonic() - int(beat.split(" ")[1]) < 60
    s.send(serve.STOP_LINE)
    s.finish()


def test_liveness_lines_until_the_first_piece(session, monkeypatch):
    monkeypatch.setattr(serve, "HEARTBEAT_INTERVAL", 0.01)
    release = threading.Event()

    def slow(prompt, history):
        assert release.wait(5)
        yield "late"
        yield "more"

    s = session(slow).start()
    s.send({"text": "wait", "turn": 4})
    s.sink.wait_for(lambda lines: lines.count("GATEWAY_TURN_ALIVE 4") >= 2)
    release.set()
    s.wait_turn(4)
    s.send(serve.STOP_LINE)
    s.finish()
    lines = s.sink.lines
    first_token = lines.index(f"GATEWAY_TOKEN 4 {b64('late')}")
    assert lines.index("GATEWAY_TURN_START 4") < lines.index("GATEWAY_TURN_ALIVE 4") < first_token
    assert protocol(lines)[-2:] == [f"GATEWAY_TOKEN 4 {b64('more')}", "GATEWAY_TURN_END 4"]


def test_tokens_follow_a_stdout_replaced_mid_turn(session):
    import sys

    from .servekit import LineSink

    later = LineSink()

    def handler(prompt, history):
        yield "before"
        sys.stdout = later  # a driver swapping the pipe between two pieces
        yield "after"

    s = session(handler).start()
    s.send({"text": "go", "turn": 1})
    later.wait_for(lambda lines: "GATEWAY_TURN_END 1" in lines)
    sys.stdout = s.sink
    s.send(serve.STOP_LINE)
    s.finish()
    assert f"GATEWAY_TOKEN 1 {b64('before')}" in s.sink.lines
    assert protocol(later.lines) == [f"GATEWAY_TOKEN 1 {b64('after')}", "GATEWAY_TURN_END 1"]


def test_clock_and_sleep_are_looked_up_at_each_use(session, monkeypatch):
    import time

    real_monotonic, real_sleep = time.monotonic, time.sleep
    slept = []

    def handler(prompt):
        # installed while the loop runs: a clock 1000 s ahead, a recording sleep
        monkeypatch.setattr(time, "monotonic", lambda: real_monotonic() + 1000.0)
        monkeypatch.setattr(time, "sleep", lambda seconds: (slept.append(seconds), real_sleep(seconds))[1])
        return "ok"

    s = session(handler, poll_interval=0.01).start()
    s.send({"text": "go", "turn": 1})
    lines = s.sink.wait_for_line("GATEWAY_HEARTBEAT ")  # the new clock is 1000 s past the last beat
    beat = next(line for line in lines if line.startswith("GATEWAY_HEARTBEAT "))
    assert int(beat.split(" ")[1]) >= int(real_monotonic()) + 999
    s.send(serve.STOP_LINE)
    s.finish()
    assert slept and set(slept) == {0.01}
