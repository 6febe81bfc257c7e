"""pytest fixtures for testing code that uses the Accounts client, without a real server.

pytest loads this plugin by itself once the package is installed (it is registered as
the ``pytest11`` entry point ``ferrovane-accounts``; ``-p no:ferrovane-accounts`` turns
it off):

- ``accounts_server``: a stand-in Accounts server of its own for each test, a
  ``ferrovane.sdk.stand_in_server.StandInServer``: its ``url`` and ``token``, the
  ``requests`` it has received, and ``route()`` for canned answers and handlers.
- ``accounts_client``: an ``ApiClient`` for that server, already logged in; its session
  ignores the environment (netrc, proxies, CA bundles), so it sends the server's token
  to the server itself.

Nothing is imported or started until a test asks for one of them, so test sessions
that use neither are neither slowed nor changed.
"""

from __future__ import annotations

from collections.abc import Iterator
from typing import TYPE_CHECKING

import pytest

if TYPE_CHECKING:  # imported when a fixture is first used, not with the plugin
    from .accounts_api import ApiClient
    from .stand_in_server import StandInServer


@pytest.fixture
def accounts_server() -> Iterator[StandInServer]:
    """A running stand-in Accounts server for this test alone, stopped after it."""
    from .stand_in_server import StandInServer

    # No lifetime: the fixture stops the server, and a test held up in a debugger
    # should not find it gone.
    with StandInServer(lifetime=None) as server:
        yield server


@pytest.fixture
def accounts_client(accounts_server: StandInServer) -> Iterator[ApiClient]:
    """An ApiClient for ``accounts_server``, logged in with its token."""
    from .accounts_api import ApiClient

    client = ApiClient(accounts_server.url, accounts_server.token)
    # The session talks only to the test's own loopback server: a netrc entry, a proxy
    # or a CA bundle from the user's environment must not change what it sends.
    client._session.trust_env = False
    client.login()
    yield client
    client._session.close()
