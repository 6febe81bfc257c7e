"""Argument binding of every method, against a small model of Python's rules.

Each example calls one method through the class with a random mix of
positional and keyword arguments (repeated, unknown and, through the C call
protocol, non-str keyword names included) and checks the outcome against
`predict`: either the exact TypeError message, or the value each parameter was
bound to. Bound values are observed without a network: every argument is a
`Probe` that can stand in for a client, a response or a mapping, and the module
globals that the methods call (`get_params`, `join_url_parts`, `json`,
`requests`) are replaced by recorders for the duration of the test.

FERROVANE_BINDING_EXAMPLES sets the examples per method (default 800, half
through Python calls and half through the C call protocol: 11,200 per run over
the fourteen methods); a slow build, such as an emulated one, may lower it.
"""
import contextlib
import inspect
import os
import types

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from ferrovane.sdk import accounts_api
from reference import accounts_api as twin
from support.rebinding import rebound

try:
    from _testcapi import pyobject_vectorcall
except ImportError:  # interpreters built without the test modules
    pyobject_vectorcall = None

EXAMPLES_PER_METHOD = int(os.environ.get("FERROVANE_BINDING_EXAMPLES", "800"))
EXAMPLES_PER_PROTOCOL = max(1, EXAMPLES_PER_METHOD // 2)


def signature_of(class_name, name):
    """(class, name, parameters, defaults of the trailing parameters, accepts **kwargs), as the
    plain-Python twin declares the method."""
    declared = inspect.signature(vars(getattr(twin, class_name))[name]).parameters.values()
    named = [parameter for parameter in declared if parameter.kind is parameter.POSITIONAL_OR_KEYWORD]
    return (class_name, name, tuple(parameter.name for parameter in named),
            tuple(parameter.default for parameter in named if parameter.default is not parameter.empty),
            any(parameter.kind is parameter.VAR_KEYWORD for parameter in declared))


SIGNATURES = [signature_of(class_name, name) for class_name in ("ApiClient", "Command")
              for name, value in vars(getattr(twin, class_name)).items() if inspect.isfunction(value)]


# ---- the model ----------------------------------------------------------------

class Bound(list):
    """The values the model expects the parameters to be bound to."""


def same_name(keyword, parameter):
    # Text equality, whatever a str subclass says about itself.
    return isinstance(keyword, str) and str.__eq__(keyword, parameter) is True


def count_message(name, parameters, required, given, too_many):
    if required == len(parameters):
        bound, number = "exactly", required
    elif too_many:
        bound, number = "at most", len(parameters)
    else:
        bound, number = "at least", required
    plural = "" if number == 1 else "s"
    return f"{name}() takes {bound} {number} positional argument{plural} ({given} given)"


def predict(signature, positional, keywords):
    """Bound values, or the TypeError message, for a call with `positional`
    values and `keywords` as (name, value) pairs in the order passed."""
    _, name, parameters, defaults, var_keywords = signature
    required = len(parameters) - len(defaults)
    if len(positional) > len(parameters):
        return count_message(name, parameters, required, len(positional), too_many=True)
    bound = Bound(positional)
    used = set()
    for index in range(len(positional), len(parameters)):
        match = next((position for position, (keyword, _) in enumerate(keywords)
                      if same_name(keyword, parameters[index])), None)
        if match is not None:
            bound.append(keywords[match][1])
            used.add(match)
        elif index < required:
            return count_message(name, parameters, required, index, too_many=False)
        else:
            bound.append(defaults[index - required])
    for position, (keyword, _) in enumerate(keywords):
        if position in used:
            continue
        if not isinstance(keyword, str):
            return f"{name}() keywords must be strings"
        if not any(same_name(keyword, parameter) for parameter in parameters):
            if var_keywords:
                continue
            return f"{name}() got an unexpected keyword argument '{str.__str__(keyword)}'"
        return f"{name}() got multiple values for keyword argument '{str.__str__(keyword)}'"
    return bound


# ---- observing what a call bound -----------------------------------------------

UNOBSERVED = object()


class Recorder(list):
    def __call__(self, *args, **kwargs):
        self.append((args, kwargs))


class Headers(dict):
    """A session's header mapping that notes what is done to it and by whom."""

    def __init__(self, owner, log):
        super().__init__()
        self.owner, self.log = owner, log

    def update(self, other):
        self.log.append(("headers.update", self.owner, other))

    def __setitem__(self, key, value):
        self.log.append(("headers.set", self.owner, key))

    def __delitem__(self, key):
        self.log.append(("headers.delete", self.owner, key))


class FakeSession:
    verify = True

    def __init__(self, owner, log):
        self.owner, self.log = owner, log
        self.headers = Headers(owner, log)

    def _send(self, verb):
        def send(url, **kwargs):
            self.log.append((verb, self.owner, url, kwargs))
            return RESPONSE
        return send

    def __getattr__(self, verb):
        if verb in ("get", "post", "put", "delete"):
            return self._send(verb)
        raise AttributeError(verb)


class Probe:
    """An argument that can serve as a client, a response, a mapping or a
    plain value, and notes in LOG what the method under test does with it."""

    _base_url = "http://probe"
    _authentication_token = "token"
    _api_version = 3
    status_code = 200

    def __init__(self, label):
        self.__dict__["label"] = label

    def __repr__(self):
        return f"Probe({self.label})"

    def __format__(self, spec):
        return f"<{self.label}>"

    @property
    def _session(self):
        return self.__dict__.get("session") or FakeSession(self, LOG)

    @_session.setter
    def _session(self, session):
        self.__dict__["session"] = session

    def items(self):
        LOG.append(("items", self))
        return []

    def raise_for_status(self):
        LOG.append(("raise_for_status", self))

    def _get(self, **kwargs):
        LOG.append(("_get", self, kwargs))
        return RESPONSE

    def _handle_http_error(self, response):
        LOG.append(("_handle_http_error", self, response))


LOG = []
RESPONSE = types.SimpleNamespace(status_code=200, raise_for_status=lambda: None)


def entries(kind):
    return [entry for entry in LOG if entry[0] == kind]


def only(kind):
    found = entries(kind)
    assert len(found) == 1, (kind, LOG)
    return found[0]


def as_value(observed):
    """Probes stand for themselves; anything else the method made up stands for a default."""
    return observed if isinstance(observed, Probe) else None


def observe_init(probes, parameters):
    selves = [probe for probe in probes if "_base_url" in vars(probe)]
    assert len(selves) == 1, selves
    self = selves[0]
    attributes = vars(self)
    updates = entries("headers.update")
    assert updates[0][2] is accounts_api.REQUIRED_HEADERS
    headers = updates[1][2] if len(updates) > 1 else None
    items = entries("items")
    session_attributes = items[0][1] if items else None
    return [self, attributes["_base_url"], attributes["_authentication_token"], attributes["_api_version"],
            session_attributes, headers]


def observe_self_only(kind):
    return lambda probes, parameters: [only(kind)[1]]


def observe_query(probes, parameters):
    (_, recorded), = GET_PARAMS
    return [recorded["parameters"][name] for name in parameters]


def observe_result_client(probes, parameters):
    return [RESULT.api_client]


def observe_helper(verb):
    def observe(probes, parameters):
        (args, _), = JOIN_URL_PARTS
        _, app_path, endpoint = args
        _, owner, _, sent = only(verb)
        by_path = {f"/api/<{probe.label}>": probe for probe in probes}
        values = {"self": owner, "app": by_path[app_path], "endpoint": endpoint,
                  "params": as_value(sent["params"])}
        if verb == "post":
            dumped = entries("dumps")
            values["data"] = dumped[0][1]["data"] if dumped else sent["data"]
            values["files"] = sent["files"]
            values["headers"] = sent["headers"]
        if verb == "put":
            values["data"] = as_value(only("dumps")[1]["data"])
        return [values[name] for name in parameters]
    return observe


def observe_handle_http_error(probes, parameters):
    return [UNOBSERVED, only("raise_for_status")[1]]


def observe_command_init(probes, parameters):
    selves = [probe for probe in probes if "api_client" in vars(probe)]
    assert len(selves) == 1, selves
    return [selves[0], selves[0].api_client, selves[0].response]


OBSERVERS = {
    ("ApiClient", "__init__"): observe_init,
    ("ApiClient", "login"): observe_self_only("headers.set"),
    ("ApiClient", "logout"): observe_self_only("headers.delete"),
    ("ApiClient", "get_current_user"): observe_result_client,
    ("ApiClient", "get_event_log"): observe_query,
    ("ApiClient", "get_event_log_for_an_event"): observe_query,
    ("ApiClient", "return_all_releases"): observe_result_client,
    ("ApiClient", "get_distribution"): observe_query,
    ("ApiClient", "_delete"): observe_helper("delete"),
    ("ApiClient", "_get"): observe_helper("get"),
    ("ApiClient", "_post"): observe_helper("post"),
    ("ApiClient", "_put"): observe_helper("put"),
    ("ApiClient", "_handle_http_error"): observe_handle_http_error,
    ("Command", "__init__"): observe_command_init,
}

GET_PARAMS = Recorder()
JOIN_URL_PARTS = Recorder()
RESULT = None


def fake_get_params(*args, **kwargs):
    GET_PARAMS(*args, **kwargs)
    return {}


def fake_join_url_parts(*args, **kwargs):
    JOIN_URL_PARTS(*args, **kwargs)
    return "http://probe/joined"


def fake_dumps(body):
    LOG.append(("dumps", body))
    return "{}"


@pytest.fixture(scope="module")
def recording_globals():
    replacements = {
        "get_params": fake_get_params,
        "join_url_parts": fake_join_url_parts,
        "json": types.SimpleNamespace(dumps=fake_dumps),
        "requests": types.SimpleNamespace(Session=lambda: FakeSession("session", LOG)),
    }
    with contextlib.ExitStack() as stack:
        for name, value in replacements.items():
            stack.enter_context(rebound(name, value))
        yield


# ---- the calls ------------------------------------------------------------------

class Name(str):
    """A keyword name built at run time, equal in text to a parameter but not
    the interned object, and claiming to equal nothing."""

    def __eq__(self, other):
        return False

    __hash__ = str.__hash__

    def __repr__(self):
        return f"Name({str.__repr__(self)})"


UNKNOWN_NAMES = ["foo", "kwargs", "Self", "app_name ", "", "sört", "self_"]
NON_STR_NAMES = [1, b"self", None, ("app",)]

# How the call reaches the method: a Python call of the plain function or of a
# bound method (the instance prepended by the interpreter), or a vectorcall with
# a keyword-name tuple of our own making, which alone can repeat a name or pass
# one that is not a str.
PROTOCOLS = {
    "python": ["function", "bound method"],
    "c": ["vectorcall"],
}


@st.composite
def calls(draw, signature, vias):
    """A call as (via, positional count, keyword names): mostly a call that
    binds, or one that binds but for a single fault, else an arbitrary mix."""
    _, _, parameters, defaults, _ = signature
    required = len(parameters) - len(defaults)
    via = draw(st.sampled_from(vias))
    lowest = 1 if via == "bound method" else 0
    shape = draw(st.sampled_from(["binds", "one fault", "arbitrary"]))
    if shape == "arbitrary":
        count = draw(st.integers(lowest, len(parameters) + 2))
        choices = [st.sampled_from(parameters), st.sampled_from(UNKNOWN_NAMES)]
        if via == "vectorcall":
            choices.append(st.sampled_from(NON_STR_NAMES))
        names = draw(st.lists(st.one_of(choices), max_size=len(parameters) + 2))
    else:
        count = draw(st.integers(lowest, len(parameters)))
        options = list(parameters[max(count, required):])
        names = list(parameters[count:required]) + draw(st.lists(st.sampled_from(options), unique=True)) \
            if options else list(parameters[count:required])
        names = draw(st.permutations(names))
        if shape == "one fault":
            faults = [st.sampled_from(UNKNOWN_NAMES)]
            if count:
                faults.append(st.sampled_from(parameters[:count]))  # also given by position
            if via == "vectorcall":
                faults.append(st.sampled_from(NON_STR_NAMES))
                if names:
                    faults.append(st.sampled_from(names))  # repeated
            fault = draw(st.one_of(faults))
            names.insert(draw(st.integers(0, len(names))), fault)
            if count < required and draw(st.booleans()):
                names.remove(parameters[draw(st.integers(count, required - 1))])  # missing
    # Some names built at run time: equal in text, not the interned object.
    names = [Name(name) if isinstance(name, str) and draw(st.integers(0, 4)) == 0 else name for name in names]
    if via != "vectorcall":
        # A Python call can neither repeat a name nor pass one that is not a str.
        seen = set()
        names = [name for name in names if not (str(name) in seen or seen.add(str(name)))]
    return via, count, names


def run(signature, via, count, names):
    class_name, name, parameters, _, _ = signature
    function = vars(getattr(accounts_api, class_name))[name]
    positional = [Probe(f"p{index}") for index in range(count)]
    keywords = [(keyword, Probe(f"k{index}")) for index, keyword in enumerate(names)]
    LOG.clear()
    GET_PARAMS.clear()
    JOIN_URL_PARTS.clear()
    global RESULT
    if via == "function":
        RESULT = function(*positional, **dict(keywords))
    elif via == "bound method":
        RESULT = function.__get__(positional[0])(*positional[1:], **dict(keywords))
    else:
        # One keyword-name tuple for every call, as a call site in Python code
        # passes its constant one: a binding kept for it from an earlier call
        # with one positional argument more or less must not be taken, and
        # one kept from the same call must bind alike.
        kwnames = tuple(keyword for keyword, _ in keywords) or None
        values = tuple(value for _, value in keywords)
        for earlier in (count + 1, count - 1, count):
            if 0 <= earlier <= len(parameters):
                with contextlib.suppress(TypeError):
                    pyobject_vectorcall(function, tuple(Probe(f"e{index}") for index in range(earlier)) + values,
                                        kwnames)
        LOG.clear()
        GET_PARAMS.clear()
        JOIN_URL_PARTS.clear()
        RESULT = pyobject_vectorcall(function, tuple(positional) + values, kwnames)
    probes = positional + [value for _, value in keywords]
    return OBSERVERS[class_name, name](probes, parameters)


def check(signature, via, count, names):
    positional = [f"p{index}" for index in range(count)]
    keywords = [(keyword, f"k{index}") for index, keyword in enumerate(names)]
    expected = predict(signature, positional, keywords)
    if isinstance(expected, str):
        with pytest.raises(TypeError) as raised:
            run(signature, via, count, names)
        assert str(raised.value) == expected
        assert raised.value.__cause__ is None and raised.value.__context__ is None
        assert not LOG and not GET_PARAMS and not JOIN_URL_PARTS, "the body ran after a binding error"
        return
    observed = run(signature, via, count, names)
    labelled = [value.label if isinstance(value, Probe) else value for value in observed]
    for parameter, want, got in zip(signature[2], expected, labelled, strict=True):
        if got is not UNOBSERVED:
            assert got == want, (parameter, expected, labelled)


@pytest.mark.parametrize("protocol", [
    "python",
    pytest.param("c", marks=pytest.mark.skipif(pyobject_vectorcall is None, reason="this Python has no _testcapi")),
])
@pytest.mark.parametrize("signature", SIGNATURES, ids=lambda signature: f"{signature[0]}.{signature[1]}")
@settings(max_examples=EXAMPLES_PER_PROTOCOL, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(data=st.data())
def test_binding_matches_the_model(signature, protocol, recording_globals, data):
    check(signature, *data.draw(calls(signature, PROTOCOLS[protocol])))


# Fixed cases that pin the model itself to the interpreter's wording.
@pytest.mark.parametrize("call, message", [
    (lambda: accounts_api.ApiClient("http://x"), "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: accounts_api.ApiClient(server_url="http://x"),
     "__init__() takes at least 3 positional arguments (2 given)"),
    (lambda: accounts_api.ApiClient(1, 2, 3, 4, 5, 6), "__init__() takes at most 6 positional arguments (7 given)"),
    (lambda: accounts_api.ApiClient.login(1, 2), "login() takes exactly 1 positional argument (2 given)"),
    (lambda: accounts_api.ApiClient.get_distribution(1, 2),
     "get_distribution() takes exactly 3 positional arguments (2 given)"),
    (lambda: accounts_api.ApiClient._get(1, 2, 3, 4, 5), "_get() takes at most 4 positional arguments (5 given)"),
    (lambda: accounts_api.ApiClient.get_event_log(1, 2, foo=3),
     "get_event_log() got an unexpected keyword argument 'foo'"),
    (lambda: accounts_api.ApiClient._get(1, 2, 3, app=4), "_get() got multiple values for keyword argument 'app'"),
    (lambda: accounts_api.ApiClient.login(), "login() takes exactly 1 positional argument (0 given)"),
    (lambda: accounts_api.Command.__init__(1, response=2),
     "__init__() takes exactly 3 positional arguments (1 given)"),
])
def test_known_messages(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


@pytest.mark.parametrize("positional, keywords, message", [
    (["s"], [("endpoint", 1), ("app", 2)], None),
    (["s", "a"], [("app", 1)], "_get() takes at least 3 positional arguments (2 given)"),
    (["s", "a", "e"], [("foo", 1), ("app", 2)], "_get() got an unexpected keyword argument 'foo'"),
    (["s", "a", "e"], [("app", 1), ("foo", 2)], "_get() got multiple values for keyword argument 'app'"),
    (["s", "a", "e"], [(1, 1), ("foo", 2)], "_get() keywords must be strings"),
    (["s", "a", "e"], [("params", 1), ("params", 2)], "_get() got multiple values for keyword argument 'params'"),
])
def test_model_follows_the_rules(positional, keywords, message):
    signature = next(s for s in SIGNATURES if s[1] == "_get")
    outcome = predict(signature, positional, keywords)
    if message is None:
        assert outcome == ["s", 2, 1, None]
    else:
        assert outcome == message
