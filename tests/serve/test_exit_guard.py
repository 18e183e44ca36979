"""Interpreter exit while threads of this module are still running: a serve
loop driven from a daemon thread, a liveness thread left entered. Each case
runs in a fresh interpreter and must exit with status 0 (it used to abort or
segfault while finalizing)."""

import os
import subprocess
import sys
import textwrap

import pytest

DAEMON_LOOP = textwrap.dedent(
    """
    import json, sys, threading
    from corvid import serve

    path = sys.argv[1]
    ready, answered = threading.Event(), threading.Event()

    class Out:
        def write(self, text):
            sys.__stdout__.write(text)
            if text.startswith(serve.SESSION_READY):
                ready.set()
            if text.startswith(serve.TURN_END):
                answered.set()
        def flush(self):
            sys.__stdout__.flush()

    sys.stdout = Out()
    threading.Thread(target=serve.serve_loop, args=(lambda p: p.upper(),),
                     kwargs=dict(input_path=path, poll_interval=0.01), daemon=True).start()
    assert ready.wait(20)
    with open(path, "a") as fh:
        fh.write(json.dumps({"text": "hi", "turn": 4}) + "\\n")
    assert answered.wait(20)
    # main ends here while the loop polls on
    """
)

LEFT_ENTERED = textwrap.dedent(
    """
    import sys, threading
    from corvid import serve

    beat = threading.Event()
    class Out:
        def write(self, text):
            sys.__stdout__.write(text)
            beat.set()
        def flush(self):
            sys.__stdout__.flush()

    sys.stdout = Out()
    alive = serve._TurnAlive(7, interval=0.001).__enter__()   # never left
    assert beat.wait(20)
    """
)


@pytest.mark.parametrize("script, expected", [
    (DAEMON_LOOP, "GATEWAY_TURN_END 4"),
    (LEFT_ENTERED, "GATEWAY_TURN_ALIVE 7"),
], ids=["serve-loop-on-daemon-thread", "turn-alive-never-left"])
def test_interpreter_exit_with_threads_inside_the_module(tmp_path, script, expected):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for attempt in range(3):
        path = tmp_path / f"in{attempt}.jsonl"
        done = subprocess.run([sys.executable, "-c", script, str(path)],
                              capture_output=True, text=True, env=env, timeout=60)
        assert done.returncode == 0, done.stderr[-2000:]
        assert expected in done.stdout
        assert "leaked" not in done.stderr
