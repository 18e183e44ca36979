"""The offload monitor inside an IPython shell.

A notebook defines its functions cell by cell, long after ``overflow()`` ran,
and usually long after the late-definition watch of the starting cell has
ended. While a monitor runs, a ``post_run_cell`` callback walks the shell's
user namespace after every cell, by the watch's own rules: under the
monitor's scope lock, only while it still runs, through ``_wrap_scope``.

The monitor attaches this module when it starts and IPython is already
imported (it never imports IPython itself) and detaches it in ``stop()``.
``%load_ext corvid`` adds the ``%overflow`` line magic defined here.
"""

from __future__ import annotations

import ast
import logging
import re
import sys
import weakref
from typing import Any

_logger = logging.getLogger("corvid.overflow")


def shell() -> Any:
    """The running IPython shell, or None; never imports IPython."""
    ipython = sys.modules.get("IPython")
    get_ipython = getattr(ipython, "get_ipython", None)
    if get_ipython is None:
        return None
    try:
        return get_ipython()
    except Exception:
        return None


def walk(monitor: Any, namespace: dict[str, Any]) -> None:
    # The lock first, then the running check: a walk that waited for the lock
    # while stop() undid every replacement must not wrap anything again.
    with monitor._scope_lock:
        if monitor._running:
            monitor._wrap_scope(namespace)


class _AfterCell:
    """The post_run_cell callback of one monitor.

    It holds the monitor weakly: the shell keeps its callbacks for the whole
    session, and a monitor the user dropped must still be collectable.
    """

    __slots__ = ("_monitor", "_shell")

    def __init__(self, monitor: Any, shell: Any) -> None:
        self._monitor = weakref.ref(monitor)
        self._shell = shell

    def __call__(self, result: Any = None) -> None:
        monitor = self._monitor()
        if monitor is None:
            return
        try:
            # Read each time: the shell may have been given another namespace.
            walk(monitor, self._shell.user_ns)
        except Exception as exc:  # the monitor's errors never reach the user's cells
            _logger.debug("overflow: walking the notebook namespace failed (%s)", exc)


def attach(monitor: Any) -> tuple[Any, _AfterCell] | None:
    """Registers the walk after every cell; the handle for detach(), or None
    outside an IPython shell."""
    ip = shell()
    if ip is None or not hasattr(ip, "events"):
        return None
    callback = _AfterCell(monitor, ip)
    ip.events.register("post_run_cell", callback)
    return (ip, callback)


def detach(handle: tuple[Any, _AfterCell] | None) -> None:
    if handle is None:
        return
    ip, callback = handle
    try:
        ip.events.unregister("post_run_cell", callback)
    except ValueError:  # already gone (the user reset the shell's callbacks)
        pass


# overflow() watches the namespace of the frame that calls it. The magic runs
# it from a frame whose globals are the shell's user namespace, so the monitor
# walks the user's names at once, as it would have from a cell.
_CALL = compile("_overflow(**_kwargs)", "<%overflow>", "eval")


# key=value, the value a quoted string (blanks allowed) or a run of non-blanks.
_ARGUMENT = re.compile(r"""\s*(\w+)=('(?:[^'\\]|\\.)*'|"(?:[^"\\]|\\.)*"|\S+)(?=\s|$)""")


def parse_magic_line(line: str) -> dict[str, Any]:
    """``key=value`` arguments: each value a Python literal, else the bare text
    (``policy=off`` as ``policy='off'``)."""
    kwargs: dict[str, Any] = {}
    pos, line = 0, line.rstrip()
    while pos < len(line):
        match = _ARGUMENT.match(line, pos)
        if match is None or match.group(1).startswith("_"):
            raise ValueError(f"%overflow takes key=value arguments, not {line[pos:].split()[0]!r}")
        key, text = match.groups()
        try:
            kwargs[key] = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            kwargs[key] = text
        pos = match.end()
    return kwargs


def register_magic(ip: Any) -> None:
    def overflow_magic(line: str) -> Any:
        """Start the offload monitor on this notebook's namespace: ``%overflow
        policy='auto' threshold=70``, the keywords of ``overflow()``."""
        from corvid.overflow import overflow

        try:
            kwargs = parse_magic_line(line)
        except ValueError as exc:
            from IPython.core.error import UsageError

            raise UsageError(str(exc)) from None
        return eval(_CALL, ip.user_ns, {"_overflow": overflow, "_kwargs": kwargs})

    ip.register_magic_function(overflow_magic, magic_kind="line", magic_name="overflow")
