import pytest

from corvid import serve

from .servekit import LineSink, Session


@pytest.fixture
def sink():
    """Collects output lines; use `with sink:` to make it sys.stdout."""
    out = LineSink()
    yield out
    out.__exit__()


@pytest.fixture
def session(sink, tmp_path):
    started = []

    def make(handler, sink=sink, **kwargs):
        s = Session(sink, tmp_path / "input.jsonl", handler, **kwargs)
        started.append(s)
        return s

    yield make
    for s in started:  # never leave a loop running after a failed test
        if s.thread.is_alive():
            s.send(serve.STOP_LINE)
            s.thread.join(5)
        s.sink.__exit__()
