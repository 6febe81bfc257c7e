"""An application's event log, a page at a time: every event once (``iter_events``, in
walk.py), and the new ones as the log grows (``follow_events``, in follow.py)."""

from .follow import EventFollow, follow_events
from .walk import (DEFAULT_PAGE_SIZE, BadCheckpoint, Checkpoint, EventWalk, Filters, LogChanged, NotAPage,
                   PageReader, PagingError, TooManyPages, is_page, iter_events)

__all__ = ["BadCheckpoint", "Checkpoint", "DEFAULT_PAGE_SIZE", "EventFollow", "EventWalk", "Filters", "LogChanged",
           "NotAPage", "PageReader", "PagingError", "TooManyPages", "follow_events", "is_page", "iter_events"]
