"""Helpers of the accounts client: URL joining and query parameter selection."""

import re

# In a path part, "?" and "#" would end the path and a "%" that starts no escape would
# be read as one: each is written as its escape.
_UNSAFE_IN_PATH = re.compile(r"[?#]|%(?![0-9A-Fa-f]{2})")
_ESCAPES = {"?": "%3F", "#": "%23", "%": "%25"}
# "." or "..", each dot possibly written as %2E, which servers decode back into a dot; what
# follows a ";" are the segment's parameters, which servlet containers drop before resolving.
_DOT_SEGMENT = re.compile(r"(?:\.|%2[Ee]){1,2}")


def _path_part(part, position):
    for segment in part.split("/"):
        if _DOT_SEGMENT.fullmatch(segment.partition(";")[0]):
            raise ValueError("join_url_parts() argument {} has the dot segment {!r} (in {!r}): "
                             "a part cannot climb above the parts before it".format(position, segment, part))
    return _UNSAFE_IN_PATH.sub(lambda match: _ESCAPES[match.group()], part)


def join_url_parts(*parts):
    """Join URL parts with exactly one slash between adjacent non-empty parts.

    Each part after the first stays a path below the parts before it: "?", "#" and a
    "%" that starts no escape are escaped, and a dot segment raises ValueError.
    """
    url = parts[0] if parts else ""
    try:
        if type(url) is not str:  # noqa: E721 (a str subclass is joined by its text)
            return _join_other_parts(parts)
        for position, part in enumerate(parts[1:], 2):
            if type(part) is not str:  # noqa: E721
                return _join_other_parts(parts)
            if "." in part or "%" in part or "?" in part or "#" in part:  # most parts hold none
                part = _path_part(part, position)
            if part:
                url = url.rstrip("/") + "/" + part.lstrip("/") if url else part
    except ValueError:
        _check_parts(parts)  # a part that is not a str is named first
        raise
    return url


def _check_parts(parts):
    for position, part in enumerate(parts, 1):
        if not isinstance(part, str):
            raise TypeError(f"join_url_parts() argument {position} must be str, not {type(part).__name__}") from None


def _join_other_parts(parts):
    """The join of parts that are not all exactly str: each must be a str, and is joined by
    its text, whatever a subclass makes of the methods used; a single part is the result."""
    _check_parts(parts)
    return parts[0] if len(parts) == 1 else join_url_parts(*map(str.__str__, parts))


def get_params(parameters, exclusions):
    """Return a new dict of the entries not named in exclusions and not None.

    The entries are those of one reading of the mapping, which filling the result (hashing
    the names) cannot change.
    """
    names = exclusions if exclusions is _checked_exclusions[0] else _exclusion_names(exclusions)
    if type(parameters) is dict:
        entries = parameters.copy().items()
    elif hasattr(parameters, "items"):
        entries = list(parameters.items())
        for entry in entries:
            if not isinstance(entry, tuple) or len(entry) != 2:
                raise TypeError("get_params() argument 'parameters' must map names to values")
    else:
        raise TypeError(f"get_params() argument 'parameters' must be a mapping, not {type(parameters).__name__}")
    return {name: value for name, value in entries if value is not None and name not in names}


# The last tuple of exact str given as exclusions (held, so that its identity stays its own):
# a client passes the same tuple at every call, which is then checked once.
_checked_exclusions = [()]


def _exclusion_names(exclusions):
    """The exclusions as a tuple of exact str, which compare by their text."""
    kind = type(exclusions)
    if kind is not tuple:
        # A str is iterable too, but a single name passed in place of a tuple is a mistake.
        iterable = hasattr(kind, "__iter__") or (hasattr(kind, "__getitem__") and not isinstance(exclusions, dict))
        if not iterable or isinstance(exclusions, (str, bytes)):
            raise TypeError("get_params() argument 'exclusions' must be a collection of parameter names, "
                            f"not {kind.__name__}")
        exclusions = tuple(exclusions)
    for name in exclusions:
        if type(name) is not str:  # noqa: E721
            return _exact_names(exclusions)
    if kind is tuple:
        _checked_exclusions[0] = exclusions
    return exclusions


def _exact_names(names):
    for name in names:
        if not isinstance(name, str):
            raise TypeError(f"get_params() exclusions must be str, not {type(name).__name__}")
    return tuple(map(str.__str__, names))
