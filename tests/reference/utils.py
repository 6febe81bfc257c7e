"""Helpers of the accounts client: URL joining and query parameter selection."""

import re

# In a path part, "?" and "#" would end the path and a "%" that starts no escape would
# be read as one: each is written as its escape.
_UNSAFE_IN_PATH = re.compile(r"[?#]|%(?![0-9A-Fa-f]{2})")
_ESCAPES = {"?": "%3F", "#": "%23", "%": "%25"}
# "." or "..", each dot possibly written as %2E, which servers decode back into a dot.
_DOT_SEGMENT = re.compile(r"(?:\.|%2[Ee]){1,2}")


def _path_part(part, position):
    for segment in part.split("/"):
        if _DOT_SEGMENT.fullmatch(segment):
            raise ValueError("join_url_parts() argument {} has the dot segment {!r} (in {!r}): "
                             "a part cannot climb above the parts before it".format(position, segment, part))
    return _UNSAFE_IN_PATH.sub(lambda match: _ESCAPES[match.group()], part)


def join_url_parts(*parts):
    """Join URL parts with exactly one slash between adjacent non-empty parts.

    Each part after the first stays a path below the parts before it: "?", "#" and a
    "%" that starts no escape are escaped, and a dot segment raises ValueError.
    """
    url = parts[0] if parts else ""
    for position, part in enumerate(parts[1:], 2):
        if "." in part or "%" in part or "?" in part or "#" in part:  # most parts hold none
            part = _path_part(part, position)
        if part:
            url = url.rstrip("/") + "/" + part.lstrip("/") if url else part
    return url


def get_params(parameters, exclusions):
    """Return a new dict of the entries not named in exclusions and not None."""
    return {
        name: value
        for name, value in parameters.items()
        if name not in exclusions and value is not None
    }
