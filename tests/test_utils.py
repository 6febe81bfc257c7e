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
    (("http://h", "/api/security", "v3/eventlog/..;/..;/entitlements"), "'..;'"),
    (("http://h", "/api/security", "v3/%2E.;a=b;c/x"), "'%2E.;a=b;c'"),
])
def test_join_refuses_a_dot_segment_and_names_it(join_url_parts, parts, segment):
    with pytest.raises(ValueError, match=f"dot segment {segment}"):
        join_url_parts(*parts)


@pytest.mark.parametrize("parts", [("http://h", 3, "v3"), (b"http://h", "/api", "v3"), ("http://h", "/api", None),
                                   ("http://h", [], "v3"), ({},)])
def test_join_refuses_parts_that_are_not_str(join_url_parts, parts):
    with pytest.raises(TypeError, match="must be str"):
        join_url_parts(*parts)


def resolved(path):
    """The path as a servlet container resolves it: each segment's ;parameters dropped and
    %2E decoded before dot segments are resolved."""
    kept = []
    for segment in path.split("/"):
        name = segment.partition(";")[0].replace("%2e", ".").replace("%2E", ".")
        if name == "..":
            kept = kept[:-1]
        elif name != ".":
            kept.append(segment)
    return "/".join(kept)


@given(app=st.text(st.sampled_from(".;%2e") | st.characters(codec="utf-8", exclude_characters="/")),
       value=st.text(st.sampled_from("./?#%2eEaF;é😀") | st.characters(codec="utf-8")))
def test_property_a_value_stays_one_place_in_the_path(app, value):
    """Whatever an application name or an event id holds, the URL asks no query and no
    fragment and stays below the application, as requests sends it and a server resolves
    it; the twin agrees."""
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
    assert resolved(sent.path).startswith("/base/api/") and "/v3/eventlog" in resolved(sent.path)


class Text(str):
    """A str whose methods and operators say other things than its text."""

    def __contains__(self, item):
        return False

    def __add__(self, other):
        return Text("added")

    def __str__(self):
        return "str"

    def split(self, *args):
        return []

    rstrip = lstrip = partition = split


class ChangingName(str):
    """A name whose hashing changes the mapping it is read from."""

    mapping = None

    def __hash__(self):
        if self.mapping is not None:
            mapping, self.mapping = self.mapping, None
            mapping.clear()
            mapping["added"] = 1
        return str.__hash__(self)


NAMES = ["self", "offset", "search", "pageSize"]
PLAIN_TEXT = st.text(st.sampled_from("/.;%2e?#aZ-"), max_size=12)  # ASCII, around the word sizes


def outcome(function, *args):
    try:
        result = function(*args)
    except Exception as error:  # the same failure from both is the point
        return type(error), str(error)
    return type(result), result


@given(parts=st.lists(PLAIN_TEXT | PLAIN_TEXT.map(Text) | st.text(max_size=4) | st.integers() | st.binary(max_size=2)
                      | st.sampled_from([None, [], (), {}]), max_size=4),
       parameters=st.lists(st.tuples(st.sampled_from(NAMES) | st.sampled_from(NAMES).map(Text) | st.integers(0, 2)
                                     | st.just("changing"),
                                     st.none() | st.integers(0, 2)), max_size=5),
       mapping=st.sampled_from([dict, OrderedDict, UserDict]),
       exclusions=st.lists(st.sampled_from(NAMES) | st.sampled_from(NAMES).map(Text) | st.none() | st.just(b"self"),
                           max_size=3),
       collection=st.sampled_from([tuple, list, iter, frozenset, lambda names: (name for name in names), str]))
def test_property_the_twin_agrees_with_the_native_utils(parts, parameters, mapping, exclusions, collection):
    """Both give the same result, of the same type, or the same error: for any parts, str
    subclasses and others, and any parameters and exclusions, a mapping changed while it is read too."""
    def made(implementation):
        built = mapping()
        changing = []
        for name, value in parameters:
            if name == "changing":
                name = ChangingName("search")
                changing.append(name)
            built[name] = value
        for name in changing:
            name.mapping = built
        names = collection(exclusions) if collection is not str else "".join(map(str, exclusions))
        return outcome(implementation.join_url_parts, *parts), outcome(implementation.get_params, built, names)
    assert made(utils) == made(twin_utils)


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
