import importlib
import os
import threading

import pytest
from hypothesis import settings

# For running users' test files against the installed package's pytest plugin.
pytest_plugins = ["pytester"]

# Property-based tests that leave the number of examples to the profile: a bounded, repeatable
# search by default (seconds, in CI too), a long random one on demand:
# FERROVANE_HYPOTHESIS=long bash scripts/test.sh -k property
settings.register_profile("bounded", max_examples=40, deadline=None, derandomize=True, database=None)
settings.register_profile("long", max_examples=2_000, deadline=None)
settings.load_profile(os.environ.get("FERROVANE_HYPOTHESIS", "bounded"))


# The command line reads a config file from the home directory and settings from
# FERROVANE_ACCOUNTS_*: none of the user's may change what the tests run (the null device
# is an empty config file). Tests of those settings give their own.
os.environ["FERROVANE_ACCOUNTS_CONFIG"] = os.devnull
for _name in ("FERROVANE_ACCOUNTS_PROFILE", "FERROVANE_ACCOUNTS_SERVER", "FERROVANE_ACCOUNTS_TOKEN"):
    os.environ.pop(_name, None)


# The suite's own server and client are the ones the package's pytest plugin gives users,
# under shorter names.

# The native modules and their plain-Python twin (tests/reference), the oracle: a behaviour
# test that takes this fixture runs over both. Imported when first asked for, so that tests of
# importing the native modules find them not yet loaded.
IMPLEMENTATIONS = {"native": "ferrovane.sdk", "twin": "reference"}


@pytest.fixture(params=list(IMPLEMENTATIONS))
def implementation(request):
    """The client module and the utils module of one implementation."""
    package = IMPLEMENTATIONS[request.param]
    return importlib.import_module(package + ".accounts_api"), importlib.import_module(package + ".utils")


@pytest.fixture
def server(accounts_server):
    """A running stand-in Accounts server; it accepts the bearer token ``server.token``."""
    return accounts_server


@pytest.fixture
def client(accounts_client):
    """An ApiClient for the stand-in server, logged in with the server's token."""
    return accounts_client


@pytest.fixture
def released():
    """An event set when the test ends, which ends what the server's handlers still wait for."""
    event = threading.Event()
    yield event
    event.set()
