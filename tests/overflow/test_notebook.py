"""The monitor in a real Jupyter kernel: functions defined in later cells, and %overflow."""

import json
import os
import subprocess
import sys

import pytest

jupyter_client = pytest.importorskip("jupyter_client")
pytest.importorskip("ipykernel")
pytest.importorskip("numpy")

HEAVY = "def {0}(x):\n    return np.linalg.svd(x @ x.T)\n"


@pytest.fixture(scope="module")
def cell(tmp_path_factory):
    # A kernel spec of our own, so the kernel runs this interpreter and sees
    # this test run's corvid (PYTHONPATH included).
    spec = tmp_path_factory.mktemp("kernels") / "corvid-test"
    spec.mkdir()
    argv = [sys.executable, "-m", "ipykernel_launcher", "-f", "{connection_file}"]
    (spec / "kernel.json").write_text(json.dumps({"argv": argv, "display_name": "t", "language": "python"}))
    ksm = jupyter_client.kernelspec.KernelSpecManager(kernel_dirs=[str(spec.parent)])
    km = jupyter_client.KernelManager(kernel_name="corvid-test", kernel_spec_manager=ksm)
    km.start_kernel(env=dict(os.environ))
    kc = km.client()
    kc.start_channels()
    kc.wait_for_ready(timeout=60)

    def run(code, error=None):
        out = []

        def on_message(msg):
            if msg["msg_type"] == "stream" and msg["content"]["name"] == "stdout":
                out.append(msg["content"]["text"])

        reply = kc.execute_interactive(code, timeout=60, output_hook=on_message)["content"]
        failure = f"{reply.get('ename')}: {reply.get('evalue')}" if reply["status"] == "error" else ""
        assert (error in failure) if error else not failure, failure
        return "".join(out).strip()

    run("import numpy as np\nip = get_ipython()\ncallbacks = ip.events.callbacks['post_run_cell']")
    yield run
    kc.stop_channels()
    km.shutdown_kernel(now=True)


def test_later_cells_are_wrapped_until_stop(cell):
    before = cell("print(len(callbacks))")
    cell("from corvid.overflow import overflow\nmon = overflow(policy='off', verbose=False)")
    cell(HEAVY.format("f") + "def light(x):\n    return x + 1\n")
    assert cell("print(type(f).__name__, type(light).__name__)") == "_OverflowCallable function"
    # Wrapped calls still run here under policy off, with the user's result.
    assert cell("print(f(np.eye(3))[1].tolist(), repr(mon))") == (
        "[1.0, 1.0, 1.0] <_OverflowMonitor policy='off' running wrapped=1 classes=0>")
    cell("mon.stop()")
    assert cell("print(type(f).__name__, len(callbacks))") == f"function {before}"
    cell(HEAVY.format("g"))
    assert cell("print(type(g).__name__)") == "function"


def test_overflow_magic(cell):
    cell("%load_ext corvid")
    cell(HEAVY.format("early"))
    cell("mon = %overflow policy='off' verbose=False")
    cell(HEAVY.format("late"))
    assert cell("print(type(early).__name__, type(late).__name__, mon.policy, mon._caller_globals is ip.user_ns)") == (
        "_OverflowCallable _OverflowCallable off True")
    cell("%overflow policy=bogus", error="ValueError")
    cell("%overflow off", error="key=value")
    # The failed calls left the running monitor alone.
    assert cell("print(mon._running)") == "True"
    cell("mon.stop()")
    assert cell("print(type(early).__name__, type(late).__name__)") == "function function"


def test_no_shell_no_hook_and_ipython_never_imported():
    code = ("import sys\nfrom corvid.overflow import overflow\nm = overflow(policy='off')\n"
            "assert m._notebook_hook is None and 'IPython' not in sys.modules\nm.stop()\n")
    subprocess.run([sys.executable, "-c", code], check=True, timeout=60)


@pytest.mark.parametrize("line, kwargs", [
    ("policy='auto' threshold=70 api_key='12 3'", {"policy": "auto", "threshold": 70, "api_key": "12 3"}),
    ('policy=off verbose=False api_url="http://h:1"', {"policy": "off", "verbose": False, "api_url": "http://h:1"}),
    ("", {}),
    ("off", None), ("_caller_frame=None", None), ("policy=off stray", None),
])
def test_magic_arguments(line, kwargs):
    from corvid._notebook import parse_magic_line
    if kwargs is None:
        with pytest.raises(ValueError):
            parse_magic_line(line)
    else:
        assert parse_magic_line(line) == kwargs
