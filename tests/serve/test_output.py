import json
import os
import sys

import pytest

from corvid import serve

from .servekit import b64


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
