"""corvid: let ordinary data-science and ML scripts overflow onto remote compute.

The heavy lifting lives in five extension modules:

* ``corvid.overflow`` -- the offload monitor (``overflow()``)
* ``corvid.cargo``    -- large and file arguments to the data store
* ``corvid._pacer``   -- adaptive upload depth
* ``corvid.serve``    -- worker-side turn loop
* ``corvid.pool``     -- team data pool client
"""

__version__ = "0.1.0"

__all__ = ["__version__", "overflow"]


def __getattr__(name):
    # ``from corvid import overflow`` gives the entry point, imported lazily so
    # that ``import corvid`` stays cheap.
    if name == "overflow":
        from corvid.overflow import overflow

        return overflow
    raise AttributeError(f"module 'corvid' has no attribute {name!r}")
