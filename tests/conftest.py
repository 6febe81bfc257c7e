import pytest

from ferrovane.sdk.stand_in_server import StandInServer

# For running users' test files against the installed package's pytest plugin.
pytest_plugins = ["pytester"]


# --- Stand-in Accounts server --------------------------------------------------------

@pytest.fixture
def server():
    """A running stand-in Accounts server; it accepts the bearer token ``server.token``."""
    with StandInServer("test-token", lifetime=120) as running:
        yield running


# --- Clients of the stand-in server ------------------------------------------------------

@pytest.fixture
def client(server):
    """An ApiClient for the stand-in server, logged in with the server's token."""
    from ferrovane.sdk.accounts_api import ApiClient

    api_client = ApiClient(server.url, server.token)
    api_client.login()
    yield api_client
    api_client._session.close()
