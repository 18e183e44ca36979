"""The monitor in a real Jupyter kernel: functions defined in later cells, and %overflow."""

import contextlib
import os

import pytest

from corvid._notebook import parse_magic_line

jupyter_client = pytest.importorskip("jupyter_client")
pytest.importorskip("ipykernel")
HEAVY = "import numpy as np\ndef {0}(x):\n    return np.linalg.svd(x @ x.T)\n"


@pytest.fixture(scope="module")
def cell():
    # Only ipykernel's own kernel, which runs this interpreter (not a user's python3 kernel).
    ksm = jupyter_client.kernelspec.KernelSpecManager(kernel_dirs=[])
    km = jupyter_client.KernelManager(kernel_name="python3", kernel_spec_manager=ksm)
    km.start_kernel(env=dict(os.environ))
    kc = km.client()
    kc.start_channels()
    kc.wait_for_ready(timeout=60)

    def run(code, error=""):
        out = []
        reply = kc.execute_interactive(code, timeout=60, output_hook=lambda m: m["content"].get(
            "name") == "stdout" and out.append(m["content"]["text"]))["content"]
        failure = f"{reply.get('ename')}: {reply.get('evalue')}" if reply["status"] == "error" else ""
        assert (error and error in failure) or failure == error, failure
        return "".join(out).strip()

    run("ip = get_ipython()\ncallbacks = ip.events.callbacks['post_run_cell']")
    yield run
    kc.stop_channels()
    km.shutdown_kernel(now=True)


def test_later_cells_are_wrapped_until_stop(cell):
    before = cell("print(len(callbacks))")
    cell("from corvid.overflow import overflow\nmon = overflow(policy='off', verbose=False)")
    cell(HEAVY.format("f") + "def light(x):\n    return x + 1\n")
    assert cell("print(type(f).__name__, type(light).__name__, f(np.eye(3))[1].tolist(), repr(mon))") == (
        "_OverflowCallable function [1.0, 1.0, 1.0] <_OverflowMonitor policy='off' running wrapped=1 classes=0>")
    cell("mon.stop()\n" + HEAVY.format("g"))
    assert cell("print(type(f).__name__, type(g).__name__, len(callbacks))") == f"function function {before}"


def test_overflow_magic(cell):
    cell("%load_ext corvid\n" + HEAVY.format("early"))
    cell("mon = %overflow policy='off' verbose=False")
    cell(HEAVY.format("late"))
    assert cell("print(type(early).__name__, type(late).__name__, mon._caller_globals is ip.user_ns)") == (
        "_OverflowCallable _OverflowCallable True")
    cell("%overflow policy=bogus", error="ValueError")
    cell("%overflow off", error="key=value")
    assert cell("print(mon._running)\nmon.stop()") == "True"  # the failed calls left it running
    assert cell("print(type(early).__name__, type(late).__name__)") == "function function"


@pytest.mark.parametrize("line, kwargs", [
    ("policy=off threshold=70 api_key='1 2' api_url=\"h:1\"", dict(policy="off", threshold=70, api_key="1 2",
                                                                   api_url="h:1")),
    ("off", None), ("_caller_frame=None", None), ("policy=off stray", None)])
def test_magic_arguments(line, kwargs):
    with pytest.raises(ValueError) if kwargs is None else contextlib.nullcontext():
        assert parse_magic_line(line) == kwargs
