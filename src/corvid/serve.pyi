"""Worker-side turn loop of a gateway session.

A driver appends requests, one JSON object per line, to the input file;
``serve_loop`` runs the handler once per request and reports on standard
output (``sys.stdout`` as it is at each write) with one marker line each:

    GATEWAY_SESSION_INFO <json>     GATEWAY_SESSION_READY
    GATEWAY_HEARTBEAT <seconds>     GATEWAY_TURN_START <turn>
    GATEWAY_TURN_ALIVE <turn>       GATEWAY_TOKEN <turn> <base64 of piece>
    GATEWAY_TURN_END <turn>         GATEWAY_TURN_ERROR <turn> <base64 of error>

Malformed input never ends the session: a line that is not a JSON object is
a plain-text prompt (undecodable bytes read as U+FFFD, JSON too deep to parse
is taken as text), and a request whose ``turn`` cannot be converted with
``int()`` is answered with ``GATEWAY_TURN_ERROR -1 <base64 of the problem>``
(no TURN_START; -1 is never a turn number a driver assigns) before the loop
goes on with the next line.

The handler is called as ``handler(prompt, history)`` or ``handler(prompt)``,
chosen from its signature; only when the signature cannot be read is a
TypeError of the two-argument call taken as a sign to retry with the prompt
alone.

Output lines are serialised by ``_emit_lock``, a ``threading.Lock`` created
at import. It is read as a module global at every line, so any object with
``acquire()`` and ``release()`` stored there instead is used from the next
line on.
"""

import threading
from collections.abc import Callable, Iterable, Iterator
from typing import Any, TextIO, TypeAlias

from typing_extensions import disjoint_base

INPUT_PATH: str
SESSION_INFO: str
SESSION_READY: str
HEARTBEAT: str
HEARTBEAT_INTERVAL: float
TURN_START: str
TURN_TOKEN: str
TURN_ALIVE: str
TURN_END: str
TURN_ERROR: str
STOP_LINE: str

Handler: TypeAlias = Callable[..., str | Iterable[Any]]

_emit_lock: threading.Lock

def serve_loop(
    handler: Handler,
    *,
    history: list[dict[str, Any]] | None = None,
    idle_timeout: float | None = None,
    poll_interval: float = 0.2,
    input_path: str = ...,
) -> list[dict[str, Any]]:
    """Serve turns from the JSON-lines input file until a stop request or the idle
    time-out; returns the conversation history."""
def _emit(line: str) -> None: ...
def _session_info(input_path: str) -> str: ...
def _emit_token(turn: int, chunk: str) -> None: ...
def _call_handler(handler: Handler, prompt: str, history: list[dict[str, Any]]) -> Any: ...
def _iter_response(response: object) -> Iterator[str]: ...
def _read_new_lines(fh: TextIO) -> list[str]: ...
def _parse_input(line: str) -> dict[str, Any] | None: ...

@disjoint_base
class _ResponsePieces(Iterator[str]):
    def __next__(self) -> str: ...

@disjoint_base
class _TurnAlive:
    _turn: int
    _interval: float
    _done: threading.Event
    _thread: threading.Thread | None

    def __init__(self, turn: int, interval: float | None = None) -> None: ...
    def __enter__(self) -> _TurnAlive: ...
    def __exit__(self, *args: object) -> bool: ...
    def stop(self) -> None: ...
    def _run(self) -> None: ...
