"""corvid: let ordinary data-science and ML scripts overflow onto remote compute.

The heavy lifting lives in five extension modules:

* ``corvid.overflow`` -- the offload monitor: ``from corvid.overflow import overflow``
* ``corvid.cargo``    -- large and file arguments to the data store
* ``corvid._pacer``   -- adaptive upload depth
* ``corvid.serve``    -- worker-side turn loop
* ``corvid.pool``     -- team data pool client
"""

__version__ = "0.1.0"

__all__ = ["__version__"]
