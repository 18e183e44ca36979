"""Local file and directory arguments carried to the worker."""

import collections
import gc
import json
import os
import weakref
import zipfile
from pathlib import Path

import cloudpickle
import pytest

import corvid.cargo as cargo
from ._interp import run_python


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "a.txt").write_bytes(b"abc")
    data = tmp_path / "data"
    (data / "x" / "y").mkdir(parents=True)
    (data / "top.csv").write_text("1,2\n")
    (data / "x" / "mid.bin").write_bytes(b"\0" * 100)
    (data / "x" / "y" / "deep.txt").write_text("deep")
    return tmp_path


def test_path_tests(tree, monkeypatch):
    monkeypatch.chdir(tree)
    f, d = str(tree / "a.txt"), str(tree / "data")
    assert cargo._string_written_as_path("a/b") and not cargo._string_written_as_path("a.txt")
    assert cargo._is_local_file(f) and cargo._is_local_file(Path("a.txt"))
    assert not cargo._is_local_file("a.txt")  # bare name: text, not a path
    assert cargo._is_local_file("./a.txt")
    assert cargo._is_local_dir(d) and cargo._is_local_dir(d + "/") and cargo._is_local_dir(Path("data"))
    assert not cargo._is_local_dir(f) and not cargo._is_local_file(d)
    odd = type("Odd", (str,), {"startswith": lambda self, prefix: None})(f)  # neither True nor False
    assert cargo._is_local_file(odd)
    assert not cargo._is_local_file(tree / "missing") and not cargo._is_local_file(b"/etc/hosts")
    # a URL is never a path, even when a relative path of that spelling exists
    (tree / "https:" / "host").mkdir(parents=True)
    (tree / "https:" / "host" / "f").write_text("!")
    assert os.path.isfile("https://host/f") and not cargo._is_local_file("https://host/f")
    assert not cargo._is_local_dir("https://host")
    long = "/" + "a" * 4999
    assert not cargo._is_local_file(long) and cargo.resolve_file_args((long,), {}) == ((long,), {}, 0)


def test_resolve_file_args_walks_one_level(tree):
    f, d = str(tree / "a.txt"), str(tree / "data") + "/"
    Point = collections.namedtuple("Point", "path n")
    args = (f, [f, 1, [f]], (Path(f), "x"), {"k": f, f: 2}, Point(f, 3), "plain", 7)
    out_args, out_kwargs, count = cargo.resolve_file_args(args, {"d": d, "n": None})
    assert type(out_args) is tuple and count == 6
    first, lst, tup, dct, point, plain, seven = out_args
    assert isinstance(first, cargo._RemoteFile) and first._data == b"abc" and first._filename == "a.txt"
    assert type(lst) is list and isinstance(lst[0], cargo._RemoteFile) and lst[1:] == [1, [f]]
    assert type(tup) is tuple and isinstance(tup[0], cargo._RemoteFile) and tup[1] == "x"
    assert set(dct) == {"k", f} and isinstance(dct["k"], cargo._RemoteFile) and dct[f] == 2
    assert type(point) is Point and isinstance(point.path, cargo._RemoteFile) and point.n == 3
    assert (plain, seven) == ("plain", 7)
    rd = out_kwargs["d"]
    assert isinstance(rd, cargo._RemoteDir) and rd._dirname == "data" and rd._file_count == 3
    assert out_kwargs["n"] is None


def test_nothing_to_replace_gives_new_containers_and_zero():
    kwargs = {"a": 1}
    out_args, out_kwargs, count = cargo.resolve_file_args([1, "x"], kwargs)
    assert out_args == (1, "x") and out_kwargs == kwargs and out_kwargs is not kwargs and count == 0


def test_zip_directory_keeps_sub_folders(tree):
    data, count = cargo._zip_directory(str(tree / "data"))
    assert count == 3
    with zipfile.ZipFile(__import__("io").BytesIO(data)) as zf:
        names = sorted(zf.namelist())
        assert all(i.compress_type == zipfile.ZIP_DEFLATED for i in zf.infolist())
        assert zf.read(os.path.join("x", "y", "deep.txt")) == b"deep"
    assert names == sorted(["top.csv", os.path.join("x", "mid.bin"), os.path.join("x", "y", "deep.txt")])


def test_text_forms_and_lazy_copy(tree):
    rf = cargo._resolve_one(Path(tree / "a.txt"))
    assert repr(rf) == "RemoteFile('a.txt', 3 bytes)" and rf._path is None  # no disk access
    rd = cargo._resolve_one(str(tree / "data"))
    assert repr(rd) == f"RemoteDir('data', 3 files, {len(rd._data)} bytes)" and rd._path is None
    path = os.fspath(rf)
    assert os.path.basename(os.path.dirname(path)).startswith("corvid_files_")
    assert path.endswith("a.txt") and str(rf) == path == rf._materialize()
    with open(rf) as fh:
        assert fh.read() == "abc"
    os.unlink(path)
    assert os.fspath(rf) == path and not os.path.exists(path)  # later uses do not write again
    where = str(rd)
    assert os.path.basename(os.path.dirname(where)).startswith("corvid_dirs_") and where.endswith("data")
    assert Path(where, "x", "y", "deep.txt").read_text() == "deep"
    assert cargo._resolve_one(42) == 42 and cargo._resolve_one("no/such/file") == "no/such/file"


def test_copies_stay_inside_their_temporary_directory(tmp_path):
    rf = cargo._RemoteFile(b"evil", "../../escape.txt")
    path = os.path.realpath(rf._materialize())
    assert os.path.basename(path) == "escape.txt"
    assert os.path.basename(os.path.dirname(path)).startswith("corvid_files_")
    empty_zip, _ = cargo._zip_directory(str(tmp_path))
    where = os.path.realpath(cargo._RemoteDir(empty_zip, "..")._materialize())
    assert os.path.basename(os.path.dirname(where)).startswith("corvid_dirs_") and os.path.isdir(where)


def test_empty_directory_materialises_as_an_empty_directory(tmp_path):
    (tmp_path / "empty").mkdir()
    rd = cargo._resolve_one(str(tmp_path / "empty"))
    assert rd._file_count == 0 and os.listdir(os.fspath(rd)) == []


def test_pickling_carries_content_and_path(tree, round_trip):
    rf = cargo._resolve_one(str(tree / "a.txt"))
    rd = cargo._resolve_one(tree / "data")
    f2, d2 = round_trip((rf, rd))
    assert (f2._data, f2._filename, f2._path) == (b"abc", "a.txt", None)
    assert (d2._data, d2._dirname, d2._file_count, d2._path) == (rd._data, "data", 3, None)
    assert os.fspath(f2) != os.fspath(rf)  # each copy materialises on its own
    f3 = round_trip(rf)
    assert f3._path == rf._path  # a materialised path travels as it is


def test_remote_objects_work_in_a_separate_interpreter(tree):
    args, _, _ = cargo.resolve_file_args((str(tree / "a.txt"), tree / "data"), {})
    out = run_python(
        """
        import json, os, sys, cloudpickle
        rf, rd = cloudpickle.loads(sys.stdin.buffer.read())
        listing = sorted(os.path.relpath(os.path.join(r, f), rd) for r, _, fs in os.walk(rd) for f in fs)
        print(json.dumps([open(rf).read(), repr(rf), listing, open(os.path.join(str(rd), "top.csv")).read()]))
        """,
        stdin=cloudpickle.dumps(args),
    )
    text, rep, listing, csv = json.loads(out)
    assert (text, rep, csv) == ("abc", "RemoteFile('a.txt', 3 bytes)", "1,2\n")
    assert listing == sorted(["top.csv", os.path.join("x", "mid.bin"), os.path.join("x", "y", "deep.txt")])


def test_a_failed_copy_is_not_remembered_as_the_path():
    rf = cargo._RemoteFile("text, not bytes", "t.txt")
    with pytest.raises(TypeError):
        os.fspath(rf)
    assert rf._path is None
    rf._data = b"now bytes"
    assert Path(rf).read_bytes() == b"now bytes"
    bad = cargo._RemoteDir(b"not a zip", "d", 1)
    with pytest.raises(zipfile.BadZipFile):
        str(bad)
    assert bad._path is None


@pytest.mark.parametrize("make", [lambda: cargo._RemoteFile(b"abc", "a.txt"),
                                  lambda: cargo._RemoteDir(b"", "d", 0)])
def test_remote_objects_are_weakly_referenceable_and_collectable(make):
    obj = make()
    ref = weakref.ref(obj)
    del obj
    assert ref() is None
    obj = make()
    obj.me = obj  # an attribute cycle is seen by the collector
    ref = weakref.ref(obj)
    del obj
    gc.collect()
    assert ref() is None


def test_setstate_on_a_live_object_updates_it():
    rf = cargo._RemoteFile(b"abc", "a.txt")
    rf.__setstate__({"_path": "/elsewhere/a.txt"})
    assert (rf._data, rf._path, os.fspath(rf)) == (b"abc", "/elsewhere/a.txt", "/elsewhere/a.txt")
    rd = cargo._RemoteDir(b"", "d", 2)
    rd.__setstate__(collections.OrderedDict(_file_count=5))
    assert repr(rd) == "RemoteDir('d', 5 files, 0 bytes)"


def test_walk_uses_the_module_path_tests_and_replacement(tree, monkeypatch):
    monkeypatch.setattr(cargo, "_is_local_file", lambda obj: obj == "virtual")
    monkeypatch.setattr(cargo, "_resolve_one", lambda obj: ("replaced", obj))
    args, kwargs, n = cargo.resolve_file_args(("virtual", [str(tree / "a.txt"), "virtual"]), {"k": "virtual"})
    assert args == (("replaced", "virtual"), [str(tree / "a.txt"), ("replaced", "virtual")])
    assert kwargs == {"k": ("replaced", "virtual")} and n == 3


def test_none_arguments_pass_through_unchanged():
    assert cargo.resolve_file_args((None, [None]), {"k": None}) == ((None, [None]), {"k": None}, 0)
    assert not cargo._is_local_file(None) and not cargo._is_local_dir(None) and cargo._resolve_one(None) is None


def test_undecodable_file_names_round_trip(tmp_path):
    name = os.fsdecode(b"data-\xff.bin")  # a surrogate escape, as os.listdir gives it
    (tmp_path / name).write_bytes(b"raw")
    args, _, n = cargo.resolve_file_args((str(tmp_path / name),), {})
    (rf,) = args
    assert n == 1 and rf._filename == name
    path = os.fspath(rf)
    assert os.path.basename(path) == name and open(path, "rb").read() == b"raw"
