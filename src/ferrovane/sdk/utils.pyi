from collections.abc import Collection, Mapping

# Joins a server URL and path pieces with single slashes between them. Each piece
# after the first stays a path below it: "?", "#" and a "%" that starts no escape
# are escaped, and a dot segment ("." or "..", also as %2E, also followed by
# ";parameters") raises ValueError.
def join_url_parts(*parts: str) -> str: ...

# A fresh dict of the entries whose names are not excluded and whose values are
# not None; callers may extend it freely.
def get_params(parameters: Mapping[str, object], exclusions: Collection[str]) -> dict[str, object]: ...
