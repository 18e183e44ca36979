"""serve_loop in its own interpreter, driven the way a session driver does it:
requests appended to the input file while it runs, markers read from its stdout pipe."""

import json
import os
import queue
import subprocess
import sys
import textwrap
import threading

from .servekit import unb64

WORKER = textwrap.dedent(
    """
    import json, sys
    from corvid.serve import serve_loop

    def handler(prompt, history):
        if prompt == "fail":
            raise ValueError("no can do")
        yield f"#{len(history) // 2} "
        yield prompt[::-1]

    history = serve_loop(handler, input_path=sys.argv[1], poll_interval=0.01, idle_timeout=30)
    print("HISTORY " + json.dumps(history), flush=True)
    """
)


class Worker:
    def __init__(self, input_path):
        env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
        self.input_path = input_path
        self.proc = subprocess.Popen(
            [sys.executable, "-c", WORKER, str(input_path)],
            stdout=subprocess.PIPE, text=True, encoding="utf-8", env=env)
        self.lines = queue.Queue()
        threading.Thread(target=self._pump, daemon=True).start()

    def _pump(self):
        for line in self.proc.stdout:
            self.lines.put(line.rstrip("\n"))
        self.lines.put(None)

    def read_until(self, prefix, timeout=10):
        got = []
        while True:
            line = self.lines.get(timeout=timeout)
            assert line is not None, f"worker ended early; output: {got}"
            got.append(line)
            if line.startswith(prefix):
                return got

    def send(self, *requests):
        with open(self.input_path, "a", encoding="utf-8") as fh:
            for r in requests:
                fh.write((r if isinstance(r, str) else json.dumps(r)) + "\n")


def decode_turn(lines, turn):
    text = []
    for line in lines:
        parts = line.split(" ")
        if parts[0] == "GATEWAY_TOKEN" and parts[1] == str(turn):
            text.append(unb64(parts[2]))
    return "".join(text)


def test_driver_over_a_pipe(tmp_path):
    w = Worker(tmp_path / "session.jsonl")
    try:
        start = w.read_until("GATEWAY_SESSION_READY")
        info = json.loads(start[0].split(" ", 1)[1])
        assert info["pid"] == w.proc.pid and info["input"] == str(tmp_path / "session.jsonl")

        w.send({"text": "hello", "turn": 1})
        turn1 = w.read_until("GATEWAY_TURN_END 1")
        assert turn1[0] == "GATEWAY_TURN_START 1" and decode_turn(turn1, 1) == "#0 olleh"

        w.send({"text": "fail", "turn": 2}, {"text": "again", "turn": "two"}, {"text": "again", "turn": 3})
        rest = w.read_until("GATEWAY_TURN_END 3")
        errors = {l.split(" ")[1]: unb64(l.split(" ")[2]) for l in rest if l.startswith("GATEWAY_TURN_ERROR")}
        assert errors["2"] == "no can do"
        assert errors["-1"].startswith("invalid turn number 'two'")
        assert decode_turn(rest, 3) == "#1 niaga"

        w.send("__STOP__")
        final = w.read_until("HISTORY ")
        history = json.loads(final[-1].split(" ", 1)[1])
        assert [m["content"] for m in history] == ["hello", "#0 olleh", "again", "#1 niaga"]
        assert w.proc.wait(timeout=10) == 0
    finally:
        if w.proc.poll() is None:
            w.proc.kill()
            w.proc.wait()


EXIT_RIGHT_AFTER_A_TURN = textwrap.dedent(
    """
    import json, sys, threading
    from corvid import serve

    path = sys.argv[1]
    def drive():
        with open(path, "a") as fh:
            fh.write(json.dumps({"text": "x", "turn": 1}) + "\\n__STOP__\\n")

    class Out:  # requests go in once the loop has announced itself
        def write(self, text):
            sys.__stdout__.write(text)
            if text.startswith(serve.SESSION_READY):
                threading.Thread(target=drive).start()
        def flush(self):
            sys.__stdout__.flush()

    sys.stdout = Out()
    serve.serve_loop(lambda p, h: iter(["a", "b"]), input_path=path, poll_interval=0.01, idle_timeout=20)
    with serve._TurnAlive(2, interval=30.0):
        pass
    """
)


def test_interpreter_exits_cleanly_right_after_a_turn(tmp_path):
    # The liveness thread must be gone before the loop returns: a daemon
    # thread still inside the extension at interpreter exit crashed it.
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    for attempt in range(3):
        path = tmp_path / f"exit{attempt}.jsonl"
        done = subprocess.run([sys.executable, "-c", EXIT_RIGHT_AFTER_A_TURN, str(path)],
                              capture_output=True, text=True, env=env, timeout=30)
        assert done.returncode == 0, done.stderr
        assert "GATEWAY_TURN_END 1" in done.stdout
