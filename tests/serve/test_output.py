import json
import os
import sys
import threading

import pytest

from corvid import serve

from .servekit import LineSink, b64


def test_constants():
    assert serve.INPUT_PATH == "/tmp/gw_session_input.jsonl"
    assert serve.HEARTBEAT_INTERVAL == 15.0
    assert [serve.SESSION_INFO, serve.SESSION_READY, serve.HEARTBEAT, serve.TURN_START, serve.TURN_TOKEN,
            serve.TURN_ALIVE, serve.TURN_END, serve.TURN_ERROR, serve.STOP_LINE] == [
        "GATEWAY_SESSION_INFO", "GATEWAY_SESSION_READY", "GATEWAY_HEARTBEAT", "GATEWAY_TURN_START",
        "GATEWAY_TOKEN", "GATEWAY_TURN_ALIVE", "GATEWAY_TURN_END", "GATEWAY_TURN_ERROR", "__STOP__"]


def test_emit_writes_one_line_and_flushes_each(sink):
    with sink:
        serve._emit("first")
        serve._emit("sécond")
    assert sink.writes == ["first\n", "sécond\n"]
    assert sink.flushes == 2


def test_emit_uses_stdout_as_it_is_at_write_time(sink):
    later = type(sink)()
    with sink:
        serve._emit("to the sink")
        with later:
            serve._emit("to the replacement")
    assert sink.lines == ["to the sink"] and later.lines == ["to the replacement"]


def test_emit_reaches_pytest_capture(capsys):
    serve._emit("captured line")
    assert capsys.readouterr().out == "captured line\n"


@pytest.mark.parametrize("chunk", ["hello", "", "é", "a", "ab", "abc", "日本語 🚀", "x" * 1000, "line\nbreak"])
def test_emit_token_is_standard_base64_of_utf8(sink, chunk):
    with sink:
        serve._emit_token(7, chunk)
    assert sink.writes == [f"GATEWAY_TOKEN 7 {b64(chunk)}\n"]


def test_emit_token_rejects_text_that_is_not_utf8_encodable(sink):
    with sink, pytest.raises(UnicodeEncodeError):
        serve._emit_token(1, "bad \ud800")
    assert sink.writes == []


def test_session_info_is_compact_json_in_order():
    text = serve._session_info('/tmp/in "quoted".jsonl')
    assert " " not in text.replace('"quoted"', "").replace("/tmp/in ", "")
    info = json.loads(text)
    assert list(info) == ["corvid", "python", "pid", "input"]
    import corvid

    v = sys.version_info
    assert info == {"corvid": corvid.__version__, "python": f"{v[0]}.{v[1]}.{v[2]}", "pid": os.getpid(),
                    "input": '/tmp/in "quoted".jsonl'}


@pytest.mark.parametrize("replace_token", [False, True], ids=["emit", "emit-and-emit_token"])
def test_output_goes_through_replaced_module_functions(sink, tmp_path, monkeypatch, replace_token):
    path = tmp_path / "in.jsonl"
    emitted, tokens = [], []

    def emit(line):
        emitted.append(line)
        if line == serve.SESSION_READY:  # the loop is at the end of its input now
            with open(path, "a", encoding="utf-8") as fh:
                fh.write('{"text": "hi", "turn": 1}\n{"text": "boom", "turn": 2}\n__STOP__\n')

    def handler(prompt):
        if prompt == "boom":
            raise ValueError("bad")
        return iter(prompt)

    monkeypatch.setattr(serve, "_emit", emit)
    if replace_token:
        monkeypatch.setattr(serve, "_emit_token", lambda turn, chunk: tokens.append((turn, chunk)))
    with sink:
        serve.serve_loop(handler, input_path=str(path), poll_interval=0.01, idle_timeout=20)
        serve._emit_token(7, "z")

    token_lines = [] if replace_token else ["GATEWAY_TOKEN 1 " + b64("h"), "GATEWAY_TOKEN 1 " + b64("i")]
    assert emitted[0].startswith(serve.SESSION_INFO + " {")
    assert emitted[1:] == ["GATEWAY_SESSION_READY", "GATEWAY_TURN_START 1", *token_lines, "GATEWAY_TURN_END 1",
                           "GATEWAY_TURN_START 2", "GATEWAY_TURN_ERROR 2 " + b64("bad"),
                           *([] if replace_token else ["GATEWAY_TOKEN 7 " + b64("z")])]
    assert tokens == ([(1, "h"), (1, "i"), (7, "z")] if replace_token else [])
    assert sink.lines == []  # nothing bypassed the replacements


def test_liveness_lines_go_through_a_replaced_emit(monkeypatch):
    import threading

    seen = threading.Event()
    lines = []
    monkeypatch.setattr(serve, "_emit", lambda line: (lines.append(line), seen.set()))
    with serve._TurnAlive(3, interval=0.001):
        assert seen.wait(5)
    assert lines[0] == "GATEWAY_TURN_ALIVE 3"


class CountingLock:
    def __init__(self):
        self.inner = threading.Lock()
        self.acquired = 0

    def acquire(self):
        self.acquired += 1
        return self.inner.acquire()

    def release(self):
        self.inner.release()


@pytest.mark.parametrize("name", ["_emit_lock", "stdout", "_emit", "_emit_token"])
def test_a_replacement_made_between_two_tokens_is_seen_from_the_next_one(session, name):
    """Replaced after the first piece and put back after the second: only the second token goes
    through the replacement."""
    later = LineSink()
    emitted, tokens = [], []
    lock = CountingLock()
    target = sys if name == "stdout" else serve
    replacement = {"_emit_lock": lock, "stdout": later, "_emit": emitted.append,
                   "_emit_token": lambda turn, chunk: tokens.append((turn, chunk))}[name]

    def handler(prompt, history):
        original = getattr(target, name)
        yield "one"
        setattr(target, name, replacement)
        yield "two"
        setattr(target, name, original)
        yield "three"

    s = session(handler).start()
    s.send({"text": "go", "turn": 1})
    lines = s.wait_turn(1)
    s.send(serve.STOP_LINE)
    s.finish()
    token = {p: f"GATEWAY_TOKEN 1 {b64(p)}" for p in ("one", "two", "three")}
    mine = [line for line in lines if line.startswith("GATEWAY_TOKEN ")]
    if name == "_emit_lock":
        assert mine == list(token.values()) and lock.acquired == 1
        assert not lock.inner.locked()
    else:
        assert mine == [token["one"], token["three"]]
        assert later.lines == ([token["two"]] if name == "stdout" else [])
        assert emitted == ([token["two"]] if name == "_emit" else [])
        assert tokens == ([(1, "two")] if name == "_emit_token" else [])


@pytest.mark.parametrize("name", ["_emit", "_emit_token"])
def test_a_name_deleted_mid_turn_falls_back_to_the_module_function(session, monkeypatch, name):
    emitted = []

    def handler(prompt, history):
        monkeypatch.setattr(serve, name, lambda *args: emitted.append(args))
        yield "one"
        monkeypatch.delattr(serve, name)
        yield "two"

    s = session(handler).start()
    s.send({"text": "go", "turn": 1})
    lines = s.wait_turn(1)
    s.send(serve.STOP_LINE)
    s.finish()
    assert [line for line in lines if line.startswith("GATEWAY_TOKEN ")] == [f"GATEWAY_TOKEN 1 {b64('two')}"]
    assert emitted == ([(1, "one")] if name == "_emit_token" else [(f"GATEWAY_TOKEN 1 {b64('one')}",)])
