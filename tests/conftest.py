import pytest

from ferrovane.sdk.stand_in_server import StandInServer


# --- Stand-in Accounts server --------------------------------------------------------

@pytest.fixture
def server():
    """A running stand-in Accounts server; it accepts the bearer token ``server.token``."""
    with StandInServer("test-token", lifetime=120) as running:
        yield running
