"""Helpers for the serve tests: an output sink standing in for the driver's pipe, and a loop
running on a background thread driven through its input file."""

import base64
import json
import sys
import threading

from corvid import serve


class LineSink:
    """Stands in for the pipe a driver reads: collects complete output lines."""

    def __init__(self):
        self._partial = ""
        self.lines = []
        self.writes = []
        self.flushes = 0
        self._cond = threading.Condition()

    # Installed from inside the test body: pytest puts its own capture back
    # on sys.stdout between fixture set-up and the test call.
    def __enter__(self):
        if sys.stdout is not self:
            self._saved = sys.stdout
            sys.stdout = self
        return self

    def __exit__(self, *exc):
        if sys.stdout is self:
            sys.stdout = self._saved
        return False

    def write(self, text):
        with self._cond:
            self.writes.append(text)
            self._partial += text
            *complete, self._partial = self._partial.split("\n")
            self.lines.extend(complete)
            self._cond.notify_all()
        return len(text)

    def flush(self):
        with self._cond:
            self.flushes += 1

    def wait_for(self, predicate, timeout=5.0):
        with self._cond:
            if not self._cond.wait_for(lambda: predicate(list(self.lines)), timeout):
                raise AssertionError(f"output never matched; lines so far: {self.lines!r}")
            return list(self.lines)

    def wait_for_line(self, prefix, timeout=5.0):
        return self.wait_for(lambda lines: any(line.startswith(prefix) for line in lines), timeout)


def b64(text):
    return base64.b64encode(text.encode("utf-8")).decode("ascii")


def unb64(text):
    return base64.b64decode(text, validate=True).decode("utf-8")


def protocol(lines):
    """Output lines without the timing-dependent liveness and heartbeat ones."""
    return [line for line in lines if not line.startswith((serve.HEARTBEAT, serve.TURN_ALIVE))]


class Session:
    """serve_loop on a background thread, driven through its input file."""

    def __init__(self, sink, path, handler, **kwargs):
        self.sink = sink
        self.path = path
        self.result = None
        self.error = None
        kwargs.setdefault("poll_interval", 0.01)
        kwargs.setdefault("idle_timeout", 30.0)

        def run():
            try:
                self.result = serve.serve_loop(handler, input_path=str(path), **kwargs)
            except BaseException as exc:  # reported by finish()
                self.error = exc

        self.thread = threading.Thread(target=run, daemon=True)

    def start(self):
        self.sink.__enter__()
        self.thread.start()
        self.sink.wait_for(lambda lines: serve.SESSION_READY in lines or self.error is not None)
        return self

    def send(self, *lines, newline=True):
        with open(self.path, "a", encoding="utf-8") as fh:
            for line in lines:
                if not isinstance(line, str):
                    line = json.dumps(line)
                fh.write(line + ("\n" if newline else ""))

    def send_bytes(self, data):
        with open(self.path, "ab") as fh:
            fh.write(data)

    def wait_turn(self, turn):
        """Output once turn `turn` has ended or failed."""
        ends = (f"{serve.TURN_END} {turn}", f"{serve.TURN_ERROR} {turn} ")
        return self.sink.wait_for(lambda lines: any(line.startswith(ends) for line in lines))

    def finish(self, timeout=5.0):
        self.thread.join(timeout)
        assert not self.thread.is_alive(), "serve_loop did not stop"
        if self.error is not None:
            raise self.error
        return self.result
