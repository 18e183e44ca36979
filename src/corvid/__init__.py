"""corvid: let ordinary data-science and ML scripts overflow onto remote compute.

The heavy lifting lives in five extension modules:

* ``corvid.overflow`` -- the offload monitor: ``from corvid.overflow import overflow``
* ``corvid.cargo``    -- large and file arguments to the data store
* ``corvid._pacer``   -- adaptive upload depth
* ``corvid.serve``    -- worker-side turn loop
* ``corvid.pool``     -- team data pool client
"""

__version__ = "0.1.0"

__all__ = ["__version__", "load_ipython_extension"]


def load_ipython_extension(ip: object) -> None:
    """``%load_ext corvid`` in IPython or Jupyter: adds the ``%overflow`` line
    magic, which starts the offload monitor on the notebook's namespace
    (``%overflow policy='auto' threshold=70`` takes ``overflow()``'s keywords)."""
    from corvid._notebook import register_magic

    register_magic(ip)
