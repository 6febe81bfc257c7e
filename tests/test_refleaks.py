"""No path of the native code keeps a reference or memory that it should not.

Each case is one call of a method or helper, on a path that succeeds or on one
that fails in a particular way. After a warm-up the call is repeated many
times; the reference counts of everything the call touches (its arguments, the
client and its session, the module's globals, the classes and their methods,
the interned parameter names) must end where they started, and the memory
traced by tracemalloc must not grow by more than noise. The session is an
in-process fake, so that nothing waits on a socket.
"""
import contextlib
import gc
import sys
import tracemalloc
import types

import pytest
import requests

from ferrovane.sdk import accounts_api, utils
from ferrovane.sdk.accounts_api import ApiClient, Command
from ferrovane.sdk.exceptions import BadRequestError, InternalServerError
from support.rebinding import MISSING, rebound

try:
    from _testcapi import pyobject_vectorcall
except ImportError:  # interpreters built without the test modules
    pyobject_vectorcall = None

WARM_UP = 20
REPEATS = 300
# Bytes that may come and go between two measurements without a leak: well
# under one leaked object per call.
MEMORY_NOISE = 2048


class FakeResponse:
    def __init__(self, status_code):
        self.status_code = status_code

    def raise_for_status(self):
        if self.status_code >= 400:
            raise requests.HTTPError(f"{self.status_code} Error", response=self)


class FakeSession:
    """The four verbs of a session, each returning the prepared response."""

    def __init__(self):
        self.headers = {}
        self.verify = True
        self.response = FakeResponse(200)

    def get(self, url, params=None):
        return self.response

    def delete(self, url, params=None):
        return self.response

    def post(self, url, params=None, data=None, files=None, headers=None):
        return self.response

    def put(self, url, params=None, data=None):
        return self.response


class LockedSession(FakeSession):
    """A session with an attribute that refuses to be set."""

    @property
    def trust_env(self):
        return True

    @trust_env.setter
    def trust_env(self, value):
        raise PermissionError("trust_env is fixed")


class Unformattable:
    def __format__(self, spec):
        raise ValueError("no text form")


class Untestable:
    def __bool__(self):
        raise RuntimeError("no truth value")


def fresh(text):
    """A str made at run time, so that its reference count is its own."""
    return "".join(list(text))


def make_env():
    env = types.SimpleNamespace()
    env.url = fresh("http://accounts.invalid")
    env.token = fresh("token")
    env.app = fresh("security")
    env.endpoint = fresh("v3/user-info")
    env.event_id = fresh("event-1")
    env.key = fresh("dist-key")
    env.platform = fresh("linux")
    env.params = {"pageSize": 10}
    env.data = {"name": fresh("x")}
    env.text_data = fresh("raw body")
    env.unencodable = {1, 2}
    env.files = {"file": fresh("content")}
    env.headers = {"X-Extra": fresh("1")}
    env.attributes = {"trust_env": False, "max_redirects": 5}
    env.value = fresh("value")
    env.unformattable = Unformattable()
    env.untestable = Untestable()
    env.ok = FakeResponse(200)
    env.created = FakeResponse(201)
    env.bad_request = FakeResponse(400)
    env.server_error = FakeResponse(500)
    env.not_found = FakeResponse(404)
    env.no_status = types.SimpleNamespace(raise_for_status=lambda: None)
    env.session = FakeSession()
    env.session.response = env.ok
    env.fake_requests = types.SimpleNamespace(Session=FakeSession)
    env.locked_requests = types.SimpleNamespace(Session=LockedSession)
    env.client = ApiClient(env.url, env.token)
    env.client._session = env.session
    env.tokenless = ApiClient(env.url, env.token)
    env.tokenless._session = FakeSession()
    del env.tokenless._authentication_token
    env.target = types.SimpleNamespace()
    env.slotted = Slotted()
    return env


class Slotted:
    __slots__ = ("api_client",)


def raises(exception_type, function, *args, **kwargs):
    try:
        function(*args, **kwargs)
    except exception_type:
        return
    raise AssertionError(f"{function} did not raise {exception_type.__name__}")


def failing_get_params(parameters, exclusions):
    raise LookupError("get_params failed")


def failing_session():
    raise OSError("no session")


# Each case: (id, set-up returning a context manager or None, the call).
def cases():
    c = []

    def add(case_id, call, setup=None):
        c.append(pytest.param(setup, call, id=case_id))

    # Construction, with the module's requests replaced by a fake where it is not the point.
    def fake(env):
        return rebound("requests", env.fake_requests)

    add("init-defaults", lambda e: ApiClient(e.url, e.token), fake)
    add("init-all-arguments", lambda e: ApiClient(e.url, e.token, 4, e.attributes, e.headers, extra=e.value), fake)
    add("init-real-session", lambda e: ApiClient(e.url, e.token, headers=e.headers))
    add("init-verify-false", lambda e: ApiClient(e.url, e.token, session_attributes={"verify": False}), fake)
    add("init-attributes-without-items", lambda e: raises(AttributeError, ApiClient, e.url, e.token, 3, [("a", 1)]),
        fake)
    add("init-attribute-pair-unpacking", lambda e: raises(ValueError, ApiClient, e.url, e.token, 3,
                                                          types.SimpleNamespace(items=lambda: [(1, 2, 3)])), fake)
    add("init-attribute-refused", lambda e: raises(PermissionError, ApiClient, e.url, e.token, 3, e.attributes),
        lambda e: rebound("requests", e.locked_requests))
    add("init-headers-update-fails", lambda e: raises(TypeError, ApiClient, e.url, e.token, headers=[1]), fake)
    add("init-headers-truth-fails", lambda e: raises(RuntimeError, ApiClient, e.url, e.token, headers=e.untestable),
        fake)
    add("init-session-fails", lambda e: raises(OSError, ApiClient, e.url, e.token),
        lambda e: rebound("requests", types.SimpleNamespace(Session=failing_session)))
    add("init-requests-deleted", lambda e: raises(NameError, ApiClient, e.url, e.token),
        lambda e: rebound("requests", MISSING))
    add("init-required-headers-deleted", lambda e: raises(NameError, ApiClient, e.url, e.token),
        lambda e: _both(rebound("requests", e.fake_requests), rebound("REQUIRED_HEADERS", MISSING)))
    add("init-urllib3-deleted", lambda e: raises(NameError, ApiClient, e.url, e.token, 3, {"verify": False}),
        lambda e: _both(rebound("requests", e.fake_requests), rebound("urllib3", MISSING)))

    # Session authentication.
    add("login-logout", lambda e: (e.client.login(), e.client.logout()))
    add("login-without-token", lambda e: raises(AttributeError, e.tokenless.login))
    add("logout-logged-out", lambda e: raises(KeyError, e.client.logout))

    # Queries: success, each mapped failure, and the globals they look up.
    def query(name, *args, **kwargs):
        return lambda e: getattr(e.client, name)(*[getattr(e, a) for a in args],
                                                 **{k: getattr(e, v) for k, v in kwargs.items()})

    def responding(attribute):
        return lambda e: _responding(e, attribute)

    add("current-user", query("get_current_user"))
    add("current-user-400", lambda e: raises(BadRequestError, e.client.get_current_user), responding("bad_request"))
    add("current-user-500", lambda e: raises(InternalServerError, e.client.get_current_user),
        responding("server_error"))
    add("current-user-404", lambda e: raises(requests.HTTPError, e.client.get_current_user), responding("not_found"))
    add("current-user-command-deleted", lambda e: raises(NameError, e.client.get_current_user),
        lambda e: rebound("Command", MISSING))
    add("event-log", query("get_event_log", "app", offset="value", pageSize="value", sort_sorted="value"))
    add("event-log-all-positional", lambda e: e.client.get_event_log(e.app, *[e.value] * 8))
    add("event-log-get-params-fails", lambda e: raises(LookupError, e.client.get_event_log, e.app),
        lambda e: rebound("get_params", failing_get_params))
    add("event-log-get-params-deleted", lambda e: raises(NameError, e.client.get_event_log, e.app),
        lambda e: rebound("get_params", MISSING))
    add("event-log-500", lambda e: raises(InternalServerError, e.client.get_event_log, e.app),
        responding("server_error"))
    add("event", query("get_event_log_for_an_event", "app", "event_id", search="value", sort_unsorted="value"))
    add("event-id-unformattable", lambda e: raises(ValueError, e.client.get_event_log_for_an_event, e.app,
                                                   e.unformattable))
    add("event-400", lambda e: raises(BadRequestError, e.client.get_event_log_for_an_event, e.app, e.event_id),
        responding("bad_request"))
    add("releases", query("return_all_releases"))
    add("releases-404", lambda e: raises(requests.HTTPError, e.client.return_all_releases), responding("not_found"))
    add("distribution", query("get_distribution", "key", "platform"))
    add("distribution-key-unformattable", lambda e: raises(ValueError, e.client.get_distribution,
                                                           e.unformattable, e.platform))
    add("distribution-500", lambda e: raises(InternalServerError, e.client.get_distribution, e.key, e.platform),
        responding("server_error"))

    # Request helpers.
    for helper in ("_get", "_delete"):
        add(f"{helper}", query(helper, "app", "endpoint"))
        add(f"{helper}-params", query(helper, "app", "endpoint", params="params"))
        add(f"{helper}-201", query(helper, "app", "endpoint"), responding("created"))
        add(f"{helper}-500", lambda e, h=helper: raises(InternalServerError, getattr(e.client, h), e.app, e.endpoint),
            responding("server_error"))
        add(f"{helper}-join-url-parts-deleted",
            lambda e, h=helper: raises(NameError, getattr(e.client, h), e.app, e.endpoint),
            lambda e: rebound("join_url_parts", MISSING))
        add(f"{helper}-app-unformattable",
            lambda e, h=helper: raises(ValueError, getattr(e.client, h), e.unformattable, e.endpoint))
        add(f"{helper}-params-truth-fails",
            lambda e, h=helper: raises(RuntimeError, getattr(e.client, h), e.app, e.endpoint, e.untestable))
    add("_post-structured", query("_post", "app", "endpoint", "params", "data", "files", "headers"))
    add("_post-text", query("_post", "app", "endpoint", data="text_data"))
    add("_post-nothing", query("_post", "app", "endpoint"))
    add("_post-dumps-fails", lambda e: raises(TypeError, e.client._post, e.app, e.endpoint, data=e.unencodable))
    add("_post-json-deleted", lambda e: raises(NameError, e.client._post, e.app, e.endpoint, data=e.data),
        lambda e: rebound("json", MISSING))
    add("_post-data-truth-fails", lambda e: raises(RuntimeError, e.client._post, e.app, e.endpoint,
                                                   data=e.untestable))
    add("_post-400", lambda e: raises(BadRequestError, e.client._post, e.app, e.endpoint, data=e.data),
        responding("bad_request"))
    add("_put", query("_put", "app", "endpoint", "params", "data"))
    add("_put-no-data", query("_put", "app", "endpoint"))
    add("_put-dumps-fails", lambda e: raises(TypeError, e.client._put, e.app, e.endpoint, data=e.unencodable))
    add("_put-500", lambda e: raises(InternalServerError, e.client._put, e.app, e.endpoint, data=e.data),
        responding("server_error"))

    # The error mapping on its own.
    add("handle-200", lambda e: e.client._handle_http_error(e.ok))
    add("handle-400", lambda e: raises(BadRequestError, e.client._handle_http_error, e.bad_request))
    add("handle-500", lambda e: raises(InternalServerError, e.client._handle_http_error, e.server_error))
    add("handle-404", lambda e: raises(requests.HTTPError, e.client._handle_http_error, e.not_found))
    add("handle-no-status", lambda e: raises(AttributeError, e.client._handle_http_error, e.no_status))
    add("handle-exception-class-deleted",
        lambda e: raises(NameError, e.client._handle_http_error, e.server_error),
        lambda e: rebound("InternalServerError", MISSING))
    add("handle-exception-class-returns-non-exception",
        lambda e: raises(TypeError, e.client._handle_http_error, e.bad_request),
        lambda e: rebound("BadRequestError", lambda response: response))

    # Command.
    add("command", lambda e: Command(e.client, e.ok))
    add("command-init-on-other-object", lambda e: Command.__init__(e.target, e.client, e.ok))
    add("command-attribute-refused", lambda e: raises(AttributeError, Command.__init__, e.slotted, e.client, e.ok))

    # The utils helpers that every request goes through.
    add("join-url-parts", lambda e: utils.join_url_parts(e.url, e.app, e.endpoint))
    add("join-url-parts-non-str", lambda e: raises(TypeError, utils.join_url_parts, e.url, e.ok))
    add("join-url-parts-escaped", lambda e: utils.join_url_parts(e.url, "/api/é?", "v3/1015?x=y#z%" * 100))
    add("join-url-parts-dot-segment", lambda e: raises(ValueError, utils.join_url_parts, e.url, e.app, "v3/%2E%2e/x"))
    add("get-params", lambda e: utils.get_params(parameters=e.params, exclusions=("self",)))
    add("get-params-bad-exclusions", lambda e: raises(TypeError, utils.get_params, parameters=e.params,
                                                      exclusions=e.value))
    return c


def _both(first, second):
    stack = contextlib.ExitStack()
    stack.enter_context(first)
    stack.enter_context(second)
    return stack


@contextlib.contextmanager
def _responding(env, attribute):
    env.session.response = getattr(env, attribute)
    try:
        yield
    finally:
        env.session.response = env.ok


# ---- every kind of binding error, on every method --------------------------------

METHODS = [(ApiClient, name) for name, value in vars(ApiClient).items() if callable(value)] + [(Command, "__init__")]


def binding_cases():
    c = []
    for owner, name in METHODS:
        function = vars(owner)[name]
        parameters = function.__code__.co_varnames[:function.__code__.co_argcount]
        required = len(parameters) - len(function.__defaults__ or ())
        label = f"{owner.__name__}.{name}"

        def values(e, count):
            return [e.client] + [e.value] * (count - 1)

        c.append(pytest.param(lambda e, f=function: raises(TypeError, f), id=f"{label}-too-few"))
        c.append(pytest.param(lambda e, f=function, n=len(parameters): raises(TypeError, f, *values(e, n + 1)),
                              id=f"{label}-too-many"))
        c.append(pytest.param(lambda e, f=function, r=required: raises(TypeError, f, *values(e, r), self=e.value),
                              id=f"{label}-multiple-values"))
        if name != "__init__" or owner is Command:
            c.append(pytest.param(lambda e, f=function, r=required: raises(TypeError, f, *values(e, r),
                                                                           bogus=e.value),
                                  id=f"{label}-unexpected"))
        # Only the C call protocol can pass a keyword name that is not a str.
        c.append(pytest.param(
            lambda e, f=function, r=required: raises(TypeError, pyobject_vectorcall, f,
                                                     tuple(values(e, r)) + (e.value,), (1,)),
            id=f"{label}-non-str-keyword",
            marks=pytest.mark.skipif(pyobject_vectorcall is None, reason="this Python has no _testcapi")))
    return c


# ---- measuring ----------------------------------------------------------------------

def tracked_objects(env):
    objects = list(vars(env).values())
    objects += [env.client._session, env.session.headers, env.session.response]
    objects += list(vars(accounts_api).values())
    for owner in (ApiClient, Command):
        objects.append(owner)
        for method in vars(owner).values():
            if callable(method):
                objects.append(method)
                objects.extend(method.__code__.co_varnames)
    unique = {id(item): item for item in objects}
    return list(unique.values())


def leaks_of(call, env):
    for _ in range(WARM_UP):
        call(env)
    tracked = tracked_objects(env)
    gc.collect()
    before = [sys.getrefcount(item) for item in tracked]
    tracemalloc.start()
    try:
        gc.collect()
        start = tracemalloc.get_traced_memory()[0]
        for _ in range(REPEATS):
            call(env)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    after = [sys.getrefcount(item) for item in tracked]
    changed = {repr(item)[:80]: after[index] - before[index]
               for index, item in enumerate(tracked) if after[index] != before[index]}
    return changed, grown


@pytest.fixture
def env():
    return make_env()


@pytest.mark.parametrize("setup, call", cases())
def test_path_leaves_no_reference_or_memory_behind(env, setup, call):
    with setup(env) if setup else contextlib.nullcontext():
        changed, grown = leaks_of(call, env)
    assert changed == {}, f"reference counts changed over {REPEATS} calls"
    assert grown < MEMORY_NOISE, f"traced memory grew by {grown} bytes over {REPEATS} calls"


@pytest.mark.parametrize("call", binding_cases())
def test_binding_error_leaves_no_reference_or_memory_behind(env, call):
    changed, grown = leaks_of(call, env)
    assert changed == {}, f"reference counts changed over {REPEATS} calls"
    assert grown < MEMORY_NOISE, f"traced memory grew by {grown} bytes over {REPEATS} calls"
