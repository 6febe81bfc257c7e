"""Ferrovane SDK: a native client for the Ferrovane Accounts REST API."""


def __getattr__(name: str) -> str:
    # Read from the file that the build writes from the distribution's metadata when first
    # asked for, so that importing the package reads nothing more.
    if name == "__version__":
        from ._version import version

        globals()["__version__"] = version
        return version
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
