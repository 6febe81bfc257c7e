"""Ferrovane SDK: a native client for the Ferrovane Accounts REST API."""


def __getattr__(name: str) -> str:
    # Read from the installed distribution's metadata when first asked for, so that
    # importing the package costs no metadata lookup.
    if name == "__version__":
        from importlib.metadata import version

        value = globals()["__version__"] = version("ferrovane-sdk-accounts")
        return value
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
