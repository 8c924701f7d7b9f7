"""Device control for lab instruments.

The package's modules are imported on demand (``import ondrel.Tarnel``);
importing the package itself loads nothing else.  ``ondrel.__version__`` is
the installed distribution's version, read from its metadata when asked for.
"""


def __getattr__(name):
    if name == "__version__":
        from importlib.metadata import PackageNotFoundError, version

        try:
            return version("ondrel")
        except PackageNotFoundError:  # run from a source tree that was never installed
            return "unknown"
    raise AttributeError("module 'ondrel' has no attribute %r" % name)
