"""A local stand-in for the service's REST API, used by the tests.

Real HTTP on 127.0.0.1 (standard library server, one thread per connection),
state in SQLite and a temporary folder, and switches that let a test decide
how the next requests are answered.  Route groups live in sibling modules
(``team``, ``data``, ``multipart``), each with an ``install(svc)`` function.
"""

from .server import HttpError, RefService, Request, Response

__all__ = ["HttpError", "RefService", "Request", "Response"]
