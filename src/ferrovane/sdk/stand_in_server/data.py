"""The stand-in server's fixed data set: one user, 40 events in each of two logs, four releases.

Made the same in every run and every Python version, so tests and screenshots can rely on it.
"""

from __future__ import annotations

import random
from collections.abc import Callable, Sequence
from datetime import datetime, timedelta, timezone
from typing import Any

# One event of the data set, and one kind of event: (type, level, weight, message templates).
type Event = dict[str, Any]
type _EventKind = tuple[str, str, int, list[str]]
type _Pick = Callable[[Sequence[Any]], Any]


def iso(moment: datetime) -> str:
    return moment.isoformat().replace("+00:00", "Z")


USER: dict[str, object] = {
    "id": 1042,
    "username": "demo.user",
    "displayName": "Demo User",
    "email": "demo.user@accounts.invalid",
    "roles": ["USER", "EVENTLOG_READER", "DOWNLOADER"],
    "organisation": "Ferrovane Demo",
    "locale": "en_GB",
    "active": True,
}

_USERS = ["demo.user", "mara.lind", "tomas.ek", "svc-build", "admin", "jo.haru", "ines.roa",
          "li.wen", "p.okafor", "svc-backup", "k.novak"]
# Per application: (type, level, weight, message templates). The templates' fields are
# filled from _DETAILS; a heavier kind comes up more often, as logins do in a real log.
_EVENT_KINDS: dict[str, list[_EventKind]] = {
    "security": [
        ("LOGIN_SUCCEEDED", "INFO", 6, ["User {user} logged in from {address}",
                                        "User {user} logged in through single sign-on"]),
        ("LOGIN_FAILED", "WARN", 3, ["Failed login for {user}: {login_failure}"]),
        ("LOGOUT", "INFO", 3, ["User {user} logged out", "Session of {user} expired after {minutes} min idle"]),
        ("PASSWORD_CHANGED", "INFO", 1, ["Password changed for {user}", "Password reset by {granter} for {user}"]),
        ("ROLE_GRANTED", "INFO", 1, ["Role {role} granted to {user} by {granter}"]),
        ("TOKEN_CREATED", "INFO", 2, ["API token #{number} created for {user}"]),
        ("ACCOUNT_LOCKED", "ERROR", 1, ["Account {user} locked after {tries} failed logins"]),
    ],
    "entitlements": [
        ("LICENSE_ASSIGNED", "INFO", 3, ["{product} license assigned to {user}"]),
        ("DOWNLOAD_STARTED", "INFO", 5, ["{user} downloaded {release} for {platform}"]),
        ("RELEASE_PUBLISHED", "INFO", 1, ["Release {release} published by {user}"]),
        ("ENTITLEMENT_REVOKED", "WARN", 1, ["{product} entitlement revoked for {user}"]),
        ("SYNC_FAILED", "ERROR", 1, ["License sync for {user} failed: {sync_failure}"]),
    ],
}
_DETAILS: dict[str, Callable[[_Pick], object]] = {
    "address": lambda pick: f"10.{pick([20, 20, 31, 44])}.{pick(range(256))}.{pick(range(2, 255))}",
    "login_failure": lambda pick: pick(["bad credentials", "bad credentials", "password expired",
                                        "wrong one-time code", "account disabled"]),
    "minutes": lambda pick: pick([15, 30, 60]),
    "granter": lambda pick: pick(["admin", "mara.lind"]),
    "role": lambda pick: pick(["EVENTLOG_READER", "DOWNLOADER", "RELEASE_MANAGER"]),
    "number": lambda pick: pick(range(100, 1000)),
    "tries": lambda pick: pick([5, 5, 6, 8]),
    "product": lambda pick: pick(["Orvik", "Braxlin"]),
    "release": lambda pick: pick(["orvik-4.2.0", "orvik-4.1.3", "braxlin-2.1.0", "braxlin-2.0.4"]),
    "platform": lambda pick: pick(["linux-armhf", "linux-x86_64", "windows-x86_64"]),
    "sync_failure": lambda pick: pick(["timeout after 30 s", "upstream answered 503", "certificate expired"]),
}


def _make_events(first_id: int, kinds: list[_EventKind], seed: int) -> list[Event]:
    # Seeded, so the data is the same in every run; only random() is promised to give
    # the same numbers in every Python version, so every choice goes through it.
    rng = random.Random(seed)

    def pick[T](options: Sequence[T]) -> T:
        return options[int(rng.random() * len(options))]

    weighted = [kind for kind in kinds for _ in range(kind[2])]
    moment, moments = datetime(2024, 5, 6, 7, 12, 5, tzinfo=timezone.utc), list[datetime]()
    for _ in range(40):
        moment += timedelta(seconds=20 + int(rng.random() * 2.5 * 3600))
        moments.append(moment)
    # Stored order is deliberately not chronological, so sorting shows.
    return [_event(pick, weighted, first_id + index, moments[(index * 17) % 40]) for index in range(40)]


def _event(pick: _Pick, weighted: list[_EventKind], event_id: int, moment: datetime) -> Event:
    kind, level, _, templates = pick(weighted)
    user = pick(_USERS)
    details = {name: make(pick) for name, make in _DETAILS.items()}
    return {"id": event_id, "timestamp": iso(moment), "type": kind, "user": user,
            "message": pick(templates).format(user=user, **details), "level": level}


def new_events(app: str, first_id: int, count: int, moment: datetime) -> list[Event]:
    """``count`` more events for the log ``app``, as a live log gains them: ids from
    ``first_id`` on, all at ``moment``, drawn as the data set's are (seeded by their ids)."""
    weighted = [kind for kind in _EVENT_KINDS[app] for _ in range(kind[2])]
    events = []
    for event_id in range(first_id, first_id + count):
        rng = random.Random(event_id)
        events.append(_event(lambda options: options[int(rng.random() * len(options))], weighted, event_id, moment))
    return events


EVENTS = {"security": _make_events(1001, _EVENT_KINDS["security"], seed=22),
          "entitlements": _make_events(2001, _EVENT_KINDS["entitlements"], seed=2)}

_ALL_PLATFORMS = ["linux-armhf", "linux-x86_64", "windows-x86_64"]
RELEASES = [
    {"key": key, "product": product, "version": version, "releasedAt": released_at, "platforms": platforms}
    for key, product, version, released_at, platforms in [
        ("orvik-4.2.0", "Orvik", "4.2.0", "2024-04-18T09:00:00Z", _ALL_PLATFORMS),
        ("orvik-4.1.3", "Orvik", "4.1.3", "2024-01-30T09:00:00Z", _ALL_PLATFORMS),
        ("braxlin-2.1.0", "Braxlin", "2.1.0", "2024-03-12T14:30:00Z", ["linux-armhf", "linux-x86_64"]),
        ("braxlin-2.0.4", "Braxlin", "2.0.4", "2023-11-02T14:30:00Z", ["linux-armhf"]),
    ]
]
