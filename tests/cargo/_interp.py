"""Fresh interpreters for the worker side of the cargo tests."""

import os
import subprocess
import sys
import textwrap

import corvid

# Put first in a child interpreter to prove that what it loads never needs
# corvid: any import of the package fails there.
BLOCK_CORVID = textwrap.dedent(
    """
    import sys
    class _NoCorvid:
        def find_spec(self, name, path=None, target=None):
            if name == "corvid" or name.startswith("corvid."):
                raise ImportError("corvid is not installed on this worker")
            return None
    sys.meta_path.insert(0, _NoCorvid())
    """
)


def run_python(code: str, *, stdin: bytes = b"", block_corvid: bool = False, env=None,
               timeout: float = 60, check: bool = True):
    """Run `code` in a new interpreter; answer its standard output (fails on rc != 0).

    With check=False answer the finished process instead."""
    full_env = dict(os.environ)
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(corvid.__file__)))
    full_env["PYTHONPATH"] = os.pathsep.join(
        p for p in (package_root, full_env.get("PYTHONPATH")) if p
    )
    full_env.update(env or {})
    src = (BLOCK_CORVID if block_corvid else "") + textwrap.dedent(code)
    proc = subprocess.run([sys.executable, "-c", src], input=stdin, capture_output=True,
                          env=full_env, timeout=timeout)
    if not check:
        return proc
    assert proc.returncode == 0, proc.stderr.decode(errors="replace")
    return proc.stdout.decode()
