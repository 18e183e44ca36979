"""Module values read at import, argument size estimates and the chunked body."""

import json
import sys

import pytest

import corvid.cargo as cargo
from ._interp import run_python

ENV_NAMES = {
    "_DATA_MULTIPART_THRESHOLD": "GATEWAY_DATA_MULTIPART_THRESHOLD_BYTES",
    "_DATA_MULTIPART_PART_SIZE": "GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES",
    "_DATA_UPLOAD_CONCURRENCY": "GATEWAY_DATA_UPLOAD_CONCURRENCY",
    "_DATA_UPLOAD_MAX_RETRIES": "GATEWAY_DATA_UPLOAD_MAX_RETRIES",
}
READ_VALUES = """
import json, corvid.cargo as c
names = ["_DEFAULT_SIZE_THRESHOLD", "_DATA_MULTIPART_MAX_PARTS", %s]
print(json.dumps({n: getattr(c, n) for n in names}))
""" % ", ".join(repr(n) for n in ENV_NAMES)


def test_module_values_default_and_from_environment():
    clean = {v: "" for v in ENV_NAMES.values()}
    # An empty value is not a number; unset them instead.
    code = "import os\n" + "".join(f"os.environ.pop({v!r}, None)\n" for v in clean) + READ_VALUES
    assert json.loads(run_python(code)) == {
        "_DEFAULT_SIZE_THRESHOLD": 52428800,
        "_DATA_MULTIPART_MAX_PARTS": 10000,
        "_DATA_MULTIPART_THRESHOLD": 134217728,
        "_DATA_MULTIPART_PART_SIZE": 67108864,
        "_DATA_UPLOAD_CONCURRENCY": 4,
        "_DATA_UPLOAD_MAX_RETRIES": 5,
    }
    env = {v: str(11 + i) for i, v in enumerate(ENV_NAMES.values())}
    env["GATEWAY_DATA_UPLOAD_MAX_RETRIES"] = " -3 "  # int() accepts padding and sign
    got = json.loads(run_python(READ_VALUES, env=env))
    assert [got[n] for n in ENV_NAMES] == [11, 12, 13, -3]


@pytest.mark.parametrize("value", ["1.5", "64MiB", "0x10", ""])
def test_a_value_that_is_not_a_decimal_integer_fails_the_import(value):
    proc = run_python("import corvid.cargo", env={"GATEWAY_DATA_MULTIPART_PART_SIZE_BYTES": value},
                      check=False)
    assert proc.returncode != 0
    assert b"ValueError" in proc.stderr


def test_logger_is_the_module_logger():
    import logging

    assert cargo.logger is logging.getLogger("corvid.cargo")


class NBytes:
    def __init__(self, n):
        self.nbytes = n


class Usage:
    def __init__(self, parts):
        self.parts = parts

    def sum(self):
        return sum(self.parts)


class Frame:
    def __init__(self, usage):
        self.usage = usage
        self.deep = None

    def memory_usage(self, deep=False):
        self.deep = deep
        return self.usage


class Broken:
    @property
    def nbytes(self):
        raise RuntimeError("device lost")


class BrokenSize:
    def __sizeof__(self):
        raise ValueError("no size")


def test_estimate_rules():
    assert cargo.estimate_arg_size(cargo._RemoteFile(b"x" * 77, "f.bin")) == 77
    assert cargo.estimate_arg_size(NBytes(2.9e9)) == 2900000000
    frame = Frame(Usage([10, 20, 30]))
    assert cargo.estimate_arg_size(frame) == 60 and frame.deep is True
    assert cargo.estimate_arg_size(Frame(12345)) == 12345
    assert cargo.estimate_arg_size(b"abc") == 3
    assert cargo.estimate_arg_size(bytearray(10)) == 10
    assert cargo.estimate_arg_size("héllo") == 5  # characters, not encoded bytes
    obj = object()
    assert cargo.estimate_arg_size(obj) == sys.getsizeof(obj)


def test_containers_add_shallow_sizes_of_their_elements():
    inner = [b"x" * 1000]
    items = [b"ab", "cde", NBytes(500), inner]
    expected = sys.getsizeof(items) + 2 + 3 + 500 + sys.getsizeof(inner)
    assert cargo.estimate_arg_size(items) == expected
    assert cargo.estimate_arg_size(tuple(items)) == sys.getsizeof(tuple(items)) + expected - sys.getsizeof(items)
    d = {"k": b"x" * 100, b"kk": NBytes(7)}
    assert cargo.estimate_arg_size(d) == sys.getsizeof(d) + 1 + 100 + 2 + 7
    # nested containers are not opened
    assert cargo._shallow_size(inner) == sys.getsizeof(inner)
    assert cargo._shallow_size(NBytes(9)) == 9


def test_remote_directory_is_measured_as_an_object_not_by_its_archive():
    d = cargo._RemoteDir(b"z" * 10_000_000, "big", 1)
    assert cargo.estimate_arg_size(d) < 10_000


@pytest.mark.parametrize("obj", [Broken(), [Broken()], {"a": BrokenSize()}, NBytes("many")])
def test_a_failing_estimate_counts_as_zero(obj):
    assert cargo.estimate_arg_size(obj) == 0


def test_stream_bytes_yields_chunks_and_reports_cumulative_counts_on_resume():
    seen = []
    it = cargo._stream_bytes(b"abcdefghij", on_progress=lambda s, t: seen.append((s, t)), chunk_size=4)
    assert next(it) == b"abcd" and seen == []  # reported when resumed, not before
    assert next(it) == b"efgh" and seen == [(4, 10)]
    assert list(it) == [b"ij"]
    assert seen == [(4, 10), (8, 10), (10, 10)]
    assert list(cargo._stream_bytes(b"")) == []
    big = bytes(range(256)) * 2048
    assert b"".join(cargo._stream_bytes(memoryview(big))) == big
    assert [len(c) for c in cargo._stream_bytes(big)] == [262144, 262144]


def test_stream_bytes_step_is_checked_when_iterated():
    it = cargo._stream_bytes(b"abc", chunk_size=0)  # refused lazily, like a generator
    with pytest.raises(ValueError):
        next(it)
    seen = []
    assert list(cargo._stream_bytes(b"abc", lambda s, t: seen.append(s), -1)) == [] and seen == []


def test_stream_bytes_swallows_progress_errors():
    calls = []

    def boom(sent, total):
        calls.append(sent)
        raise RuntimeError("display closed")

    assert list(cargo._stream_bytes(b"abcde", boom, 2)) == [b"ab", b"cd", b"e"]
    assert calls == [2, 4, 5]
