"""The command line's settings for scripts: ``client()`` builds a logged-in client as
``ferrovane-accounts`` builds one, from the same config file, profile, precedence, token
sources and checks, so that no token is written in a script; ``describe()`` gives what
``ferrovane-accounts config`` shows, as data.

Both read the settings through the command line's own resolver, so the two cannot drift:
the environment, then the chosen profile (``profile``, else $FERROVANE_ACCOUNTS_PROFILE,
else the file's default), then the defaults. A profile's token goes only to its own
server. The failures are the command line's, as exceptions with its messages: an unknown
profile, a config file with a mistake, a token file or token command that is not usable
(SettingsProblem); a proxy or CA bundle variable that is not usable (UnusableEnvironment).
No message shows the token.
"""

from typing import Any

from .accounts_api import ApiClient
from .cli.session import UnusableEnvironment, client_for
from .cli.settings import Flags, SettingsProblem, described, resolve

__all__ = ["SettingsProblem", "UnusableEnvironment", "client", "describe"]


def client(profile: str | None = None) -> ApiClient:
    """A client for the server of the chosen profile (or of $FERROVANE_ACCOUNTS_SERVER with
    $FERROVANE_ACCOUNTS_TOKEN), logged in with its token, with its timeout and CA bundle
    applied (else the system's trust store) and the proxy variables honoured."""
    run = resolve(Flags(profile=profile), "client", {})
    assert run.server is not None and run.token is not None  # resolve raises without them
    made = client_for(run.server, run.token.value, run.api_version, run.timeout, run.insecure, run.max_answer_size,
                      ca_bundle_file=run.ca_bundle)
    made.login()
    return made


def describe(profile: str | None = None) -> dict[str, dict[str, Any]]:
    """Each setting, as ``ferrovane-accounts --json config`` shows it: {name: {"value": ...,
    "from": ...}}, the token only by its source. Reads no token and runs no command."""
    return described(Flags(profile=profile))
