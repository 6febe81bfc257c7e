from collections import ChainMap, OrderedDict, UserDict
from types import MappingProxyType
from urllib.parse import urlsplit

import pytest
import requests
from hypothesis import given, strategies as st

from ferrovane.sdk import utils
from ferrovane.sdk.utils import get_params
from reference import utils as twin_utils


@pytest.fixture
def join_url_parts(implementation):
    return implementation[1].join_url_parts


# --- join_url_parts ----------------------------------------------------------------------

@pytest.mark.parametrize("base", ["http://127.0.0.1:8080", "http://127.0.0.1:8080/", "http://127.0.0.1:8080//"])
@pytest.mark.parametrize("endpoint", ["v3/user-info", "/v3/user-info"])
def test_join_puts_exactly_one_slash_between_parts(join_url_parts, base, endpoint):
    assert join_url_parts(base, "/api/security", endpoint) == "http://127.0.0.1:8080/api/security/v3/user-info"


@pytest.mark.parametrize("parts, expected", [
    (("https://host/accounts", "/api/x", "v3/y"), "https://host/accounts/api/x/v3/y"),
    (("https://host/accounts/", "/api/x/", "/v3/y/"), "https://host/accounts/api/x/v3/y/"),
    # What can never be part of a path is escaped; escapes given stay as given, and the
    # rest (spaces, other characters) is left to requests.
    (("http://h", "/api/a b", "v3/a%2Fb?c=d#e"), "http://h/api/a b/v3/a%2Fb%3Fc=d%23e"),
    (("http://h", "/api/x?y=z", "v3/1015#frag"), "http://h/api/x%3Fy=z/v3/1015%23frag"),
    (("http://h", "/api/x", "v3/100%", "50%zz%4"), "http://h/api/x/v3/100%25/50%25zz%254"),
    (("http://h/b?q=1", "/api/x", "v3"), "http://h/b?q=1/api/x/v3"),  # the base is taken as it is
    (("http://h", "/api/sécurité", "v3/ü€😀?#"), "http://h/api/sécurité/v3/ü€😀%3F%23"),
    (("http://h", "/api/x", "v3/...", "a.b/.hidden/..x"), "http://h/api/x/v3/.../a.b/.hidden/..x"),
    (("http://h", "", "v3/y"), "http://h/v3/y"),
    (("http://h", "/", "v3/y"), "http://h/v3/y"),
    (("", "/api/x", "v3"), "/api/x/v3"),
    (("", "?x", "v3"), "%3Fx/v3"),
    (("http://h",), "http://h"),
    ((), ""),
])
def test_join_keeps_scheme_prefix_and_text(join_url_parts, parts, expected):
    assert join_url_parts(*parts) == expected


@pytest.mark.parametrize("parts, segment", [
    (("http://h", "/api/security", "v3/eventlog/../../../entitlements/v3/releases"), "'..'"),
    (("http://h", "/api/..", "v3/user-info"), "'..'"),
    (("http://h", "/api/security", "v3/eventlog/."), "'.'"),
    (("http://h", "/api/security", "v3/eventlog/%2e%2E/x"), "'%2e%2E'"),
    (("http://h", "/api/security", "v3/.%2E"), "'.%2E'"),
    (("http://h", "/api/é", "v3/eventlog/./😀"), "'.'"),
])
def test_join_refuses_a_dot_segment_and_names_it(join_url_parts, parts, segment):
    with pytest.raises(ValueError, match=f"dot segment {segment}"):
        join_url_parts(*parts)


@pytest.mark.parametrize("parts", [("http://h", 3, "v3"), (b"http://h", "/api", "v3"), ("http://h", "/api", None)])
def test_join_refuses_parts_that_are_not_str(parts):
    with pytest.raises(TypeError, match="must be str"):
        utils.join_url_parts(*parts)


@given(app=st.text(st.characters(codec="utf-8", exclude_characters="/")),
       value=st.text(st.sampled_from("./?#%2eEaF é😀") | st.characters(codec="utf-8")))
def test_property_a_value_stays_one_place_in_the_path(app, value):
    """Whatever an application name or an event id holds, the URL asks no query and no
    fragment and stays below the application, as requests sends it; the twin agrees."""
    parts = ("http://h/base", f"/api/{app}", f"v3/eventlog/{value}")
    outcomes = []
    for join in (utils.join_url_parts, twin_utils.join_url_parts):
        try:
            outcomes.append(join(*parts))
        except ValueError as error:
            outcomes.append(("ValueError", str(error)))
    assert all(outcome == outcomes[0] for outcome in outcomes)
    if isinstance(outcomes[0], tuple):
        return
    try:
        sent = urlsplit(requests.Request("GET", outcomes[0]).prepare().url)
    except requests.exceptions.InvalidURL:
        return  # e.g. a name that is no valid IDNA label never reaches a request
    assert (sent.query, sent.fragment) == ("", "")
    assert sent.path.startswith("/base/api/") and "/v3/eventlog" in sent.path


# --- get_params --------------------------------------------------------------------------

PARAMETERS = {"app_name": "security", "offset": 5, "pageSize": "10", "search": None, "self": object(),
              "sort_sorted": True, "unpaged": False}
EXCLUSIONS = ("self", "app_name", "sort_sorted")


def moved_to_end(parameters):
    """An OrderedDict whose own order, made by move_to_end, is not the order its entries were stored in."""
    ordered = OrderedDict(reversed(parameters.items()))
    for name in parameters:
        ordered.move_to_end(name)
    return ordered


class StoredBackwards(dict):
    def items(self):
        return reversed(list(super().items()))


@pytest.mark.parametrize("call", [
    lambda p, e: get_params(p, e),
    lambda p, e: get_params(moved_to_end(p), e),
    lambda p, e: get_params(StoredBackwards(reversed(p.items())), e),
    lambda p, e: get_params(parameters=p, exclusions=e),
    lambda p, e: get_params(exclusions=e, parameters=p),
    lambda p, e: get_params(p, exclusions=list(e)),
    lambda p, e: get_params(p, frozenset(e)),
])
def test_get_params_keeps_given_options_in_order(call):
    before = dict(PARAMETERS)
    result = call(PARAMETERS, EXCLUSIONS)
    # None means "not given"; False and 0 are values.
    assert list(result.items()) == [("offset", 5), ("pageSize", "10"), ("unpaged", False)]
    assert PARAMETERS == before


@pytest.mark.parametrize("mapping_type", [dict, OrderedDict, UserDict, MappingProxyType, ChainMap])
def test_get_params_returns_a_new_dict_for_any_mapping(mapping_type):
    parameters = mapping_type({"offset": 5, "self": 1})
    first, second = get_params(parameters, ()), get_params(parameters, ())
    assert type(first) is dict and first == {"offset": 5, "self": 1}
    assert first is not parameters and first is not second
    everything_excluded = get_params(parameters, ("offset", "self"))
    everything_excluded.update({"sort.sorted": None})  # callers extend the result
    assert parameters["offset"] == 5 and "sort.sorted" not in parameters


def test_get_params_documents_that_none_values_are_dropped():
    assert "None" in get_params.__doc__ and "new dict" in get_params.__doc__


@pytest.mark.parametrize("args, kwargs, message", [
    (([("offset", 5)], ()), {}, "'parameters' must be a mapping"),
    ((None, ()), {}, "'parameters' must be a mapping"),
    (({}, "self"), {}, "'exclusions' must be a collection"),
    (({}, None), {}, "'exclusions' must be a collection"),
    (({}, ("self", 1)), {}, "exclusions must be str"),
    (({},), {}, "missing required argument 'exclusions'"),
    ((), {"exclusions": ()}, "missing required argument 'parameters'"),
    (({}, (), ()), {}, "takes 2 arguments"),
    (({},), {"exclusion": ()}, "unexpected keyword argument 'exclusion'"),
    (({}, ()), {"parameters": {}}, "multiple values for argument 'parameters'"),
])
def test_get_params_refuses_bad_arguments_clearly(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        get_params(*args, **kwargs)
