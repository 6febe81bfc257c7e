import pytest

# For running users' test files against the installed package's pytest plugin.
pytest_plugins = ["pytester"]


# The suite's own server and client are the ones the package's pytest plugin gives users,
# under shorter names.

@pytest.fixture
def server(accounts_server):
    """A running stand-in Accounts server; it accepts the bearer token ``server.token``."""
    return accounts_server


@pytest.fixture
def client(accounts_client):
    """An ApiClient for the stand-in server, logged in with the server's token."""
    return accounts_client
