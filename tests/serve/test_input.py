import io

import pytest

from corvid import serve


@pytest.mark.parametrize(
    "line, expected",
    [
        ("", None),
        ("   \t ", None),
        ("__STOP__", {"stop": True}),
        ("  __STOP__  ", {"stop": True}),
        ('{"text": "hi", "turn": 2, "extra": [1]}', {"text": "hi", "turn": 2, "extra": [1]}),
        ('{"stop": 1}', {"stop": 1}),
        ("42", {"text": "42"}),
        ('"__STOP__"', {"text": "__STOP__"}),
        ("null", {"text": "None"}),
        ("true", {"text": "True"}),
        ("[1, 2]", {"text": "[1, 2]"}),
        ("  plain words  ", {"text": "plain words"}),
        ("{broken json", {"text": "{broken json"}),
        ("3 apples", {"text": "3 apples"}),
    ],
)
def test_parse_input(line, expected):
    assert serve._parse_input(line) == expected


def test_json_too_deep_to_parse_is_a_prompt():
    deep = "[" * 200_000 + "]" * 200_000
    assert serve._parse_input(deep) == {"text": deep}


def test_oversized_integer_is_a_prompt():
    huge = "9" * 50_000
    assert serve._parse_input(huge) == {"text": huge}


def test_read_new_lines_keeps_partial_line_for_later(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_text("")
    with open(path, "a", encoding="utf-8") as writer, open(path, encoding="utf-8") as fh:
        assert serve._read_new_lines(fh) == []
        writer.write("first\nsecond\nthi")
        writer.flush()
        assert serve._read_new_lines(fh) == ["first", "second"]
        assert serve._read_new_lines(fh) == []
        writer.write("rd\n\n")
        writer.flush()
        assert serve._read_new_lines(fh) == ["third", ""]


def test_read_new_lines_waits_for_a_split_multibyte_character(tmp_path):
    path = tmp_path / "in.jsonl"
    path.write_bytes(b"")
    with open(path, "ab", buffering=0) as writer, open(path, encoding="utf-8", errors="replace") as fh:
        writer.write("caf".encode() + b"\xc3")
        assert serve._read_new_lines(fh) == []
        writer.write(b"\xa9 ok\n")
        assert serve._read_new_lines(fh) == ["café ok"]


def test_read_new_lines_works_on_any_text_stream():
    fh = io.StringIO("a\nb\nc")
    assert serve._read_new_lines(fh) == ["a", "b"]
    assert fh.read() == "c"


class _LineSource:
    """A file-like object of the caller's that hands over lines as given."""

    def __init__(self, lines):
        self._lines, self._at, self.seeks = list(lines), 0, []

    def tell(self):
        return self._at

    def readline(self):
        if self._at >= len(self._lines):
            return ""
        self._at += 1
        return self._lines[self._at - 1]

    def seek(self, pos):
        self.seeks.append(pos)
        self._at = pos


def test_read_new_lines_strips_every_trailing_newline_of_a_line():
    src = _LineSource(["a\n\n", "b\r\n", "c"])
    assert serve._read_new_lines(src) == ["a", "b\r"]
    assert src.seeks == [2]  # the partial "c" is left where it starts


@pytest.mark.parametrize("stripped, expected", [(0, None), (b"", None), (7, {"text": 7}), (b'{"a": 1}', {"a": 1}),
                                                 (b"__STOP__", {"text": b"__STOP__"}), ("__STOP__", {"stop": True})])
def test_parse_input_tests_what_strip_answers_as_python_code_would(stripped, expected):
    line = type("Stripped", (str,), {"strip": lambda self: stripped})("text")  # a subclass may answer anything
    assert serve._parse_input(line) == expected
