"""Rebinding a global of the native module for the duration of a block: the client looks
its collaborators (requests, json, Command, the helpers) up at call time, so a test can
swap one for a fake, or delete it, and see what the client does then."""

import contextlib
from collections.abc import Iterator

from ferrovane.sdk import accounts_api

MISSING = object()


@contextlib.contextmanager
def rebound(name: str, value: object = MISSING) -> Iterator[None]:
    """The module global ``name`` rebound to ``value`` (deleted by default) for the duration."""
    namespace = vars(accounts_api)
    saved = namespace.get(name, MISSING)
    if value is MISSING:
        namespace.pop(name, None)
    else:
        setattr(accounts_api, name, value)
    try:
        yield
    finally:
        if saved is MISSING:
            namespace.pop(name, None)
        else:
            setattr(accounts_api, name, saved)
