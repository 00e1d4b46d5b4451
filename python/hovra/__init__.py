"""Conveniences around the _hovra extension module."""
from _hovra import Database, SearchResult  # noqa: F401
