"""The loop calls its helpers through the module's globals, as module code would: a replacement
assigned there is used by a running serve_loop, and putting the original back (or deleting the
name) restores the module's own behaviour."""

import json

import pytest

from corvid import serve

from .servekit import LineSink, b64, protocol


def echo(prompt, history):
    return f"echo {prompt}"


NORMAL = ["GATEWAY_TURN_START 1", f"GATEWAY_TOKEN 1 {b64('echo hi there')}", "GATEWAY_TURN_END 1"]


def run_once(session, handler=echo):
    s = session(handler, sink=LineSink()).start()
    s.send({"text": "hi there", "turn": 1})
    s.wait_turn(1)
    s.send(serve.STOP_LINE)
    history = s.finish()
    return protocol(s.sink.lines), history


def turn_lines(lines):
    assert lines[1] == serve.SESSION_READY
    return lines[2:]


def tokens(*pieces):
    return ["GATEWAY_TURN_START 1", *(f"GATEWAY_TOKEN 1 {b64(p)}" for p in pieces), "GATEWAY_TURN_END 1"]


def session_info_case(original, calls, path):
    def replacement(input_path):
        calls.append(input_path)
        return '{"replaced":true}'

    def check(lines, history):
        assert lines[0] == 'GATEWAY_SESSION_INFO {"replaced":true}'
        assert turn_lines(lines) == NORMAL
        assert calls == [str(path)]

    return replacement, check


def read_new_lines_case(original, calls, path):
    def replacement(fh):
        lines = original(fh)
        calls.append((fh.name, lines))
        return [line.replace("hi", "HI") for line in lines]

    def check(lines, history):
        assert turn_lines(lines) == tokens("echo HI there")
        assert (str(path), [json.dumps({"text": "hi there", "turn": 1})]) in calls

    return replacement, check


def parse_input_case(original, calls, path):
    def replacement(line):
        calls.append(line)
        msg = original(line)
        if msg and "text" in msg:
            msg = {**msg, "text": msg["text"].upper()}
        return msg

    def check(lines, history):
        assert turn_lines(lines) == tokens("echo HI THERE")
        assert calls == [json.dumps({"text": "hi there", "turn": 1}), serve.STOP_LINE]

    return replacement, check


def call_handler_case(original, calls, path):
    def replacement(handler, prompt, history):
        calls.append((handler, prompt, list(history)))
        return "called " + prompt

    def check(lines, history):
        assert turn_lines(lines) == tokens("called hi there")
        assert calls == [(echo, "hi there", [])]
        assert history[-1] == {"role": "assistant", "content": "called hi there"}

    return replacement, check


def iter_response_case(original, calls, path):
    def replacement(response):
        calls.append(response)
        yield from response.split(" ")

    def check(lines, history):
        assert turn_lines(lines) == tokens("echo", "hi", "there")
        assert calls == ["echo hi there"]
        assert history[-1]["content"] == "echohithere"

    return replacement, check


def turn_alive_case(original, calls, path):
    class Probe:
        def __init__(self, turn):
            calls.append(("init", turn))

        def __enter__(self):
            calls.append(("enter",))
            return self

        def stop(self):
            calls.append(("stop",))

        def __exit__(self, *exc):
            calls.append(("exit", *exc))
            return False

    def check(lines, history):
        assert turn_lines(lines) == NORMAL
        assert calls == [("init", 1), ("enter",), ("stop",), ("exit", None, None, None)]

    return Probe, check


CASES = {
    "_session_info": session_info_case,
    "_read_new_lines": read_new_lines_case,
    "_parse_input": parse_input_case,
    "_call_handler": call_handler_case,
    "_iter_response": iter_response_case,
    "_TurnAlive": turn_alive_case,
}


@pytest.mark.parametrize("name", list(CASES))
def test_replacement_is_used_and_restoring_it_restores_the_module_behaviour(
        name, session, tmp_path, monkeypatch):
    original = getattr(serve, name)
    calls = []
    replacement, check = CASES[name](original, calls, tmp_path / "input.jsonl")

    monkeypatch.setattr(serve, name, replacement)
    check(*run_once(session))

    seen = len(calls)
    monkeypatch.setattr(serve, name, original)
    lines, history = run_once(session)
    assert lines[0].startswith("GATEWAY_SESSION_INFO {") and turn_lines(lines) == NORMAL
    assert history == [{"role": "user", "content": "hi there"},
                       {"role": "assistant", "content": "echo hi there"}]

    monkeypatch.delattr(serve, name)  # a deleted name falls back to the module's own
    lines, _ = run_once(session)
    assert turn_lines(lines) == NORMAL
    assert len(calls) == seen


@pytest.mark.parametrize("swallow", [False, True])
def test_replaced_turn_alive_sees_the_handler_error_and_may_swallow_it(swallow, session, monkeypatch):
    exits = []

    class Quiet:
        def __init__(self, turn):
            pass

        def __enter__(self):
            return self

        def stop(self):
            pass

        def __exit__(self, kind, value, tb):
            exits.append((kind, value))
            return swallow

    def failing(prompt, history):
        yield "part"
        raise ValueError("boom")

    monkeypatch.setattr(serve, "_TurnAlive", Quiet)
    lines, history = run_once(session, failing)
    assert len(exits) == 1 and exits[0][0] is ValueError and str(exits[0][1]) == "boom"
    if swallow:  # the turn ends normally with what was streamed before the error
        assert turn_lines(lines) == tokens("part")
        assert history[-1] == {"role": "assistant", "content": "part"}
    else:
        assert turn_lines(lines) == [
            "GATEWAY_TURN_START 1", f"GATEWAY_TOKEN 1 {b64('part')}", f"GATEWAY_TURN_ERROR 1 {b64('boom')}"]
        assert history == []


def test_replaced_parse_input_may_return_any_mapping(session, monkeypatch):
    class Request:
        def __init__(self, data):
            self.data = data

        def get(self, key, default=None):
            return self.data.get(key, default)

    original = serve._parse_input
    monkeypatch.setattr(serve, "_parse_input", lambda line: (m := original(line)) and Request(m))
    lines, history = run_once(session)
    assert turn_lines(lines) == NORMAL
    assert len(history) == 2


def test_replaced_read_new_lines_may_hand_over_bytes(session, monkeypatch):
    original = serve._read_new_lines
    monkeypatch.setattr(serve, "_read_new_lines", lambda fh: [
        line if line == serve.STOP_LINE else line.encode() for line in original(fh)])
    lines, history = run_once(session)  # bytes lines parse as JSON, as json.loads takes them
    assert turn_lines(lines) == NORMAL and len(history) == 2
