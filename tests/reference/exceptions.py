"""The exceptions of the twin: the package's own, which are plain Python already, so that both
clients fail with the same exceptions and messages."""

from ferrovane.sdk.exceptions import AccountsApiError, BadRequestError, InternalServerError

__all__ = ["AccountsApiError", "BadRequestError", "InternalServerError"]
