"""The method objects: what users and tools see of them, and how calls bind."""
import inspect
import pydoc
import types
import weakref

import pytest

from ferrovane.sdk.accounts_api import ApiClient, Command
from reference import accounts_api as twin

# (function, its plain-Python twin): the twin declares the signature, the defaults and which
# methods have a docstring.
METHODS = [(vars(native)[name], function) for native, twin_class in ((ApiClient, twin.ApiClient), (Command, twin.Command))
           for name, function in vars(twin_class).items() if inspect.isfunction(function)]


@pytest.mark.parametrize(("function", "twin_function"), METHODS, ids=[entry[1].__qualname__ for entry in METHODS])
def test_looks_like_a_python_function(function, twin_function):
    owner = ApiClient if function.__qualname__.startswith("ApiClient.") else Command
    assert function.__qualname__ == f"{owner.__name__}.{function.__name__}"
    assert function.__module__ == "sdk.accounts_api"
    assert function.__defaults__ == twin_function.__defaults__
    assert function.__kwdefaults__ is None
    assert (function.__doc__ is not None) == (twin_function.__doc__ is not None)
    assert str(inspect.signature(function)) == str(inspect.signature(twin_function))
    assert repr(function).startswith(f"<function {function.__qualname__} at 0x")
    assert weakref.ref(function)() is function
    assert getattr(owner, function.__name__) is function


def test_reading_through_an_instance_binds_it():
    client = ApiClient("http://127.0.0.1:9", "token")
    bound = client.get_event_log
    assert isinstance(bound, types.MethodType)
    assert bound.__func__ is ApiClient.get_event_log and bound.__self__ is client
    assert str(inspect.signature(bound)).startswith("(app_name, offset=None")
    assert str(inspect.signature(ApiClient)).startswith("(server_url, authentication_token, api_version=3")


def test_function_attributes_can_be_set_like_a_functions():
    function = ApiClient.return_all_releases
    function.note = "kept"
    assert function.__dict__["note"] == "kept"
    with pytest.raises(TypeError):
        function.__name__ = 3
    with pytest.raises(AttributeError):
        function.__defaults__ = (1,)


def test_help_lists_the_methods_with_their_signatures():
    text = pydoc.render_doc(ApiClient, renderer=pydoc.plaintext)
    flat = " ".join(line.strip(" |") for line in text.splitlines()).replace("( ", "(").replace(" )", ")")
    # pydoc leaves out names with a single leading underscore, as for any class.
    public = [entry for entry in METHODS[:-1] if not entry[0].__name__.startswith("_") or entry[0].__name__ == "__init__"]
    assert len(public) == 8
    for function, twin_function in public:
        signature = inspect.signature(twin_function)
        assert f"{function.__name__}{signature}".replace(", ", ",") in flat.replace(", ", ",")
    assert "Get event log for provided app for an event with passed id" in text


@pytest.mark.parametrize(("function", "doc"), [
    (ApiClient.login,
     "Login to Ferrovane Accounts.\n        Running this endpoint will set the ``Authorization`` session header for "
     "this ApiClient instance.\n        "),
    (ApiClient._handle_http_error,
     "Specific error handling for Accounts, to make better error reporting where applicable."),
    (ApiClient.return_all_releases,
     "\n        Get all releases. e.g. Orvik or Braxlin\n\n        Returns:\n            An instance of "
     ":py:class:`ferrovane.sdk.accounts_api.Command`\n        "),
    (Command,
     "Command to allow users to interact with commands submitted through Accounts REST API.\n\n    Args:\n"
     "        api_client (:py:class:`ferrovane.sdk.accounts_api.ApiClient`): Accounts API client.\n"
     "        response (:py:class:`requests.Response`): Command response.\n    "),
])
def test_docstrings_are_exact(function, doc):
    assert function.__doc__ == doc


def bind(function, *args, **kwargs):
    """Calls `function` through the class with a stand-in self; returns the binding error, if any."""
    try:
        function(*args, **kwargs)
    except TypeError as error:
        return str(error)
    return None


SELF = object()


@pytest.mark.parametrize(("function", "args", "kwargs", "message"), [
    (ApiClient.__init__, (SELF, "url"), {}, "__init__() takes at least 3 positional arguments (2 given)"),
    (ApiClient.__init__, (SELF,), {"server_url": "url"}, "__init__() takes at least 3 positional arguments (2 given)"),
    (ApiClient.__init__, (SELF, 1, 2, 3, 4, 5, 6), {}, "__init__() takes at most 6 positional arguments (7 given)"),
    (ApiClient.__init__, (SELF, "u", "t"), {"server_url": "x"},
     "__init__() got multiple values for keyword argument 'server_url'"),
    (ApiClient.login, (SELF, 1), {}, "login() takes exactly 1 positional argument (2 given)"),
    (ApiClient.login, (), {}, "login() takes exactly 1 positional argument (0 given)"),
    (ApiClient.logout, (SELF,), {"force": True}, "logout() got an unexpected keyword argument 'force'"),
    (ApiClient.get_distribution, (SELF, "key"), {}, "get_distribution() takes exactly 3 positional arguments (2 given)"),
    (ApiClient.get_distribution, (SELF,), {"platform": "p"},
     "get_distribution() takes exactly 3 positional arguments (1 given)"),
    (ApiClient._get, (SELF, 1, 2, 3, 4), {}, "_get() takes at most 4 positional arguments (5 given)"),
    (ApiClient._get, (SELF, "security"), {"endpoint": "e", "app": "security"},
     "_get() got multiple values for keyword argument 'app'"),
    (ApiClient.get_event_log, (SELF, "app"), {"foo": 1}, "get_event_log() got an unexpected keyword argument 'foo'"),
    (ApiClient.get_event_log, (SELF,), {"foo": 1}, "get_event_log() takes at least 2 positional arguments (1 given)"),
    (ApiClient.get_event_log, (SELF, *range(10)), {}, "get_event_log() takes at most 10 positional arguments (11 given)"),
    (ApiClient.get_event_log_for_an_event, (SELF, "app"), {"offset": 1},
     "get_event_log_for_an_event() takes at least 3 positional arguments (2 given)"),
    (ApiClient._post, (SELF, *range(7)), {}, "_post() takes at most 7 positional arguments (8 given)"),
    (ApiClient._put, (SELF, "a"), {"endpoint": "e", "data": 1, "params": 2, "datum": 3},
     "_put() got an unexpected keyword argument 'datum'"),
    (ApiClient._handle_http_error, (SELF,), {}, "_handle_http_error() takes exactly 2 positional arguments (1 given)"),
    (Command, ("client",), {}, "__init__() takes exactly 3 positional arguments (2 given)"),
    (Command, ("client", "response", "extra"), {}, "__init__() takes exactly 3 positional arguments (4 given)"),
    (Command, ("client",), {"api_client": "again", "response": "r"},
     "__init__() got multiple values for keyword argument 'api_client'"),
])
def test_binding_errors(function, args, kwargs, message):
    assert bind(function, *args, **kwargs) == message


def test_constructor_ignores_extra_keywords():
    client = ApiClient("http://127.0.0.1:9", "token", anything=object(), api_version=4)
    assert client._api_version == 4
    assert "anything" not in vars(client)


def test_keywords_built_at_run_time_match_parameters():
    name = "".join(["app", "_name"])  # an equal but distinct str
    seen = {}

    class Recorder:
        def _get(self, **kwargs):
            seen.update(kwargs)
            return "response"

        _api_version = 3

    ApiClient.get_event_log(Recorder(), **{name: "security"})
    assert seen["app"] == "security"


def test_command_holds_the_very_objects():
    client, response = object(), object()
    for command in (Command(client, response), Command(api_client=client, response=response),
                    Command(client, response=response)):
        assert command.api_client is client and command.response is response
    assert Command(None, None).api_client is None
    assert Command(client, response) != Command(client, response)
