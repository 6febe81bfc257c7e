"""Exceptions raised for failed responses of the Accounts server."""

import requests


class AccountsApiError(requests.HTTPError):
    """A failed response of the Accounts server; keeps the response and its status."""

    def __init__(self, response):
        self.status_code = response.status_code
        super().__init__(
            f"{response.status_code} {response.reason} for url: {response.url}",
            response=response,
        )


class BadRequestError(AccountsApiError):
    """The server answered 400 Bad Request."""


class InternalServerError(AccountsApiError):
    """The server answered 500 Internal Server Error."""
