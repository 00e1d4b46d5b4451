"""Named collections in one directory: :class:`Store`.

A store is a directory; each collection is an ordinary database directory
inside it, named after the collection::

    import hovra

    store = hovra.Store("my-store")
    docs = store.get_or_create_collection("docs", dim=384)
    docs.add("doc-1", vector, {"lang": "en"})
    store.list_collections()  # ['docs']

``hovra.Database("my-store/docs")`` opens the same collection directly.
"""

from __future__ import annotations

import os
import re
import shutil
import threading
import uuid
import weakref
from typing import Union

from _hovra import Database, DatabaseNotFoundError, HovraError

__all__ = ["Store", "COLLECTION_NAME_RULE"]

_Path = Union[str, "os.PathLike[str]"]

_NAME = re.compile(r"[A-Za-z0-9_-][A-Za-z0-9._-]{0,127}")
COLLECTION_NAME_RULE = "1 to 128 characters: ASCII letters, digits, '_', '-' and '.', not starting with '.'"

# A database directory holds both of these (docs/file-formats.md).
_DATABASE_FILES = ("graph.hovra", "vectors.bin")


def _check_name(name: object) -> str:
    if not isinstance(name, str):
        raise TypeError(f"a collection name must be a str, not {type(name).__name__}")
    if not _NAME.fullmatch(name):
        raise ValueError(f"invalid collection name {name!r}: use {COLLECTION_NAME_RULE}")
    return name


class Store:
    """A directory of named collections, each an ordinary database.

    Args:
        path: The store's directory; created (with its parents) if missing.

    A collection named ``name`` lives in the directory ``path/name``, which
    ``hovra.Database`` can also open directly. Names are 1 to 128
    characters: ASCII letters, digits, ``_``, ``-`` and ``.``, not starting
    with ``.`` (so no path separators, and hidden entries of the directory
    are never collections). Every method is safe to call from several
    threads; the collections themselves are ``hovra.Database`` objects.
    """

    def __init__(self, path: _Path) -> None:
        self._path = os.fspath(path)
        os.makedirs(self._path, exist_ok=True)
        self._lock = threading.Lock()
        # The Database objects this store handed out, per collection, so
        # that delete_collection can close them.
        self._handed: dict[str, weakref.WeakSet[Database]] = {}

    @property
    def path(self) -> str:
        """The store's directory, as given."""
        return self._path

    def _dir(self, name: str) -> str:
        return os.path.join(self._path, _check_name(name))

    def _exists(self, name: str) -> bool:
        directory = self._dir(name)
        return all(os.path.isfile(os.path.join(directory, f)) for f in _DATABASE_FILES)

    def _hand_out(self, name: str, db: Database) -> Database:
        self._handed.setdefault(name, weakref.WeakSet()).add(db)
        return db

    def _create(
        self,
        name: str,
        dim: int,
        metric: str,
        m: int | None,
        ef_construction: int | None,
        quantize: bool,
        sync_writes: bool,
    ) -> Database:
        """Creates collection `name` (the caller holds the lock and has seen
        that there is none) and hands it out."""
        db = Database(
            self._dir(name),
            dim=dim,
            metric=metric,
            m=m,
            ef_construction=ef_construction,
            quantize=quantize,
            sync_writes=sync_writes,
        )
        return self._hand_out(name, db)

    def create_collection(
        self,
        name: str,
        *,
        dim: int,
        metric: str = "cosine",
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool = False,
        sync_writes: bool = False,
    ) -> Database:
        """Create a new collection and return it as an open ``Database``.

        Args:
            name: The collection's name (see the class for the rule).
            dim, metric, m, ef_construction, quantize, sync_writes: As for
                ``hovra.Database``.

        Raises:
            HovraError: "collection 'name' already exists", or an invalid
                parameter (as hovra.Database raises it).
            ValueError: An invalid name.
            TypeError: A name that is not a str.
        """
        with self._lock:
            if self._exists(name):
                raise HovraError(f"collection {name!r} already exists")
            return self._create(name, dim, metric, m, ef_construction, quantize, sync_writes)

    def get_collection(self, name: str, *, sync_writes: bool = False) -> Database:
        """Open an existing collection.

        Raises:
            DatabaseNotFoundError: "collection 'name' not found".
            ValueError: An invalid name.
        """
        with self._lock:
            if not self._exists(name):
                raise DatabaseNotFoundError(f"collection {name!r} not found")
            return self._hand_out(name, Database(self._dir(name), sync_writes=sync_writes))

    def get_or_create_collection(
        self,
        name: str,
        *,
        dim: int,
        metric: str = "cosine",
        m: int | None = None,
        ef_construction: int | None = None,
        quantize: bool = False,
        sync_writes: bool = False,
    ) -> Database:
        """Open the collection, or create it when there is none by that name.

        An existing collection keeps its own dimension, metric and graph
        parameters; a different ``dim`` is an error rather than silently
        ignored.

        Raises:
            HovraError: As for create_collection, or "collection 'name' has
                dimension D, not N".
        """
        with self._lock:
            if self._exists(name):
                db = Database(self._dir(name), sync_writes=sync_writes)
                if db.dim != dim:
                    raise HovraError(f"collection {name!r} has dimension {db.dim}, not {dim}")
                return self._hand_out(name, db)
            return self._create(name, dim, metric, m, ef_construction, quantize, sync_writes)

    def list_collections(self) -> list[str]:
        """The names of the store's collections, sorted."""
        try:
            entries = os.listdir(self._path)
        except FileNotFoundError:
            return []
        return sorted(e for e in entries if _NAME.fullmatch(e) and self._exists(e))

    def delete_collection(self, name: str) -> None:
        """Delete a collection and everything in it.

        The Database objects this store handed out for the collection are
        closed first; close any other object opened on it in this process
        before deleting it. The directory is first renamed to a hidden name
        in the store, so the name is free at once even if removing the
        files is interrupted (a later call removes what is left).

        Raises:
            DatabaseNotFoundError: "collection 'name' not found".
            DatabaseInUseError: Another process has the collection open.
            ValueError: An invalid name.
        """
        with self._lock:
            if not self._exists(name):
                raise DatabaseNotFoundError(f"collection {name!r} not found")
            for db in list(self._handed.pop(name, ())):
                db.close(save=False)  # its files are about to go
            # Fails while another process holds the collection.
            Database(self._dir(name)).close(save=False)
            trash = os.path.join(self._path, f".deleted-{name}-{uuid.uuid4().hex}")
            os.rename(self._dir(name), trash)
            self._sweep()

    def _sweep(self) -> None:
        for entry in os.listdir(self._path):
            if entry.startswith(".deleted-"):
                shutil.rmtree(os.path.join(self._path, entry), ignore_errors=True)

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and _NAME.fullmatch(name) is not None and self._exists(name)

    def __repr__(self) -> str:
        return f"Store(path={self._path!r}, collections={len(self.list_collections())})"
