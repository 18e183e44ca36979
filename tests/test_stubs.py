"""stubtest finds no difference between the stubs and the five extension
modules beyond those tests/stubtest_allowlist.txt names."""

import os
import pathlib
import subprocess
import sys

import pytest

import corvid

pytest.importorskip("mypy.stubtest")

MODULES = ["corvid.overflow", "corvid.cargo", "corvid._pacer", "corvid.serve", "corvid.pool"]
ALLOWLIST = pathlib.Path(__file__).with_name("stubtest_allowlist.txt")


def run_checker(args, cwd):
    # The corvid this run imports (a staged build or the installed one), seen
    # from a scratch folder so that mypy's cache stays out of the tree.
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([package_root, os.environ.get("PYTHONPATH", "")])}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=600)


@pytest.mark.timeout(600)
def test_stubtest_passes_with_the_allowlist(tmp_path):
    done = run_checker(["mypy.stubtest", *MODULES, "--allowlist", str(ALLOWLIST)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


@pytest.mark.timeout(600)
def test_a_type_checker_reads_overflow_as_the_stubs_say(tmp_path):
    (tmp_path / "user.py").write_text(
        "from corvid.overflow import Monitor, overflow\n"
        "ok: Monitor = overflow(threshold=90, gpu_threshold=50.0, policy='auto')\n"
        "bad = overflow(threshold='90')\n")
    out = run_checker(["mypy", "--strict", "user.py"], tmp_path).stdout
    assert [line.split(":")[1] for line in out.splitlines() if ": error:" in line] == ["3"], out
