"""stubtest and mypy on the stubs of the five extension modules."""

import os
import pathlib
import subprocess
import sys

import pytest

import corvid

pytest.importorskip("mypy.stubtest")
MODULES = ["corvid.overflow", "corvid.cargo", "corvid._pacer", "corvid.serve", "corvid.pool"]


def run_checker(args, cwd):
    # This run's corvid (staged or installed), from a scratch folder that keeps mypy's cache.
    root = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([root, os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True)


def test_stubtest_passes_with_the_allowlist(tmp_path):
    allowlist = pathlib.Path(__file__).parent.parent / "tools" / "stubtest_allowlist.txt"
    done = run_checker(["mypy.stubtest", *MODULES, "--allowlist", str(allowlist)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_a_type_checker_refuses_a_string_threshold(tmp_path):
    (tmp_path / "user.py").write_text("from corvid.overflow import Monitor, overflow\n"
                                      "ok: Monitor = overflow(threshold=90, gpu_threshold=50.0)\n"
                                      "bad = overflow(threshold='90')\n")
    out = run_checker(["mypy", "--strict", "user.py"], tmp_path).stdout
    assert [line.split(":")[1] for line in out.splitlines() if ": error:" in line] == ["3"], out
