"""Helpers of the accounts client: URL joining and query parameter selection."""


def join_url_parts(*parts):
    """Join URL parts with exactly one slash between adjacent non-empty parts; nothing is encoded."""
    url = parts[0] if parts else ""
    for part in parts[1:]:
        if part:
            url = url.rstrip("/") + "/" + part.lstrip("/")
    return url


def get_params(parameters, exclusions):
    """Return a new dict of the entries not named in exclusions and not None."""
    return {
        name: value
        for name, value in parameters.items()
        if name not in exclusions and value is not None
    }
