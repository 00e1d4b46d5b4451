"""hovra for asyncio: :class:`AsyncDatabase` and :class:`AsyncStore`.

Every method of a database is awaitable here. The call runs on a thread of a
bounded pool (the engine releases the interpreter lock while it works, so
the calls run in parallel with each other and with the event loop)::

    import hovra.aio

    async def main():
        db = await hovra.aio.AsyncDatabase.open("my-db", dim=384)
        await db.upsert_many(ids, vectors, metadatas)
        hits = await db.search(query, k=10, where_filter={"lang": "en"})
        async for record_id, vector, metadata in db.records(include_vectors=False):
            ...
        await db.close()

Cancelling an await is safe: a call that has not started on its thread
when the loop handles the cancellation never runs, and one that has started
runs to its end there, so a write either completes or changes nothing (a
batch is all or nothing), while the awaiting task sees CancelledError at
once.
"""

from __future__ import annotations

import asyncio
import functools
import os
import threading
from collections.abc import AsyncIterator, Callable, Sequence
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Literal, TypeVar

from _hovra import Database, SearchResult

from hovra.store import Store

__all__ = ["AsyncDatabase", "AsyncStore", "default_executor"]

T = TypeVar("T")

_executor: ThreadPoolExecutor | None = None
_executor_lock = threading.Lock()


def default_executor() -> ThreadPoolExecutor:
    """The pool that runs the calls of objects made without an executor:
    one per process, with one thread per processor (at least 4, at most 32),
    created on first use."""
    global _executor
    with _executor_lock:
        if _executor is None:
            workers = min(32, max(4, os.cpu_count() or 1))
            _executor = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="hovra-aio")
        return _executor


async def _run(executor: Executor, fn: Callable[..., T], *args: Any, **kwargs: Any) -> T:
    loop = asyncio.get_running_loop()
    return await loop.run_in_executor(executor, functools.partial(fn, *args, **kwargs))


class AsyncDatabase:
    """A :class:`hovra.Database` whose methods are awaitable.

    Make one with ``await AsyncDatabase.open(path, ...)`` (the arguments of
    ``hovra.Database``) or around an open database with
    ``AsyncDatabase(db)``. ``async with`` saves at the end of the block, as
    ``with`` does for a Database. The methods take the arguments of the
    Database methods of the same names and return the same results.

    Args:
        database: An open hovra.Database.
        executor: The pool that runs the calls; by default the process's
            shared bounded pool (see default_executor).
    """

    def __init__(self, database: Database, *, executor: Executor | None = None) -> None:
        if not isinstance(database, Database):
            raise TypeError(f"expected a hovra.Database, not {type(database).__name__}")
        self._db = database
        self._executor = executor if executor is not None else default_executor()

    @classmethod
    async def open(
        cls, path: str | os.PathLike[str], *args: Any, executor: Executor | None = None, **kwargs: Any
    ) -> AsyncDatabase:
        """Open (or, with dim, create) a database on the pool, as
        ``hovra.Database(path, ...)`` does."""
        pool = executor if executor is not None else default_executor()
        db = await _run(pool, Database, path, *args, **kwargs)
        return cls(db, executor=pool)

    @property
    def database(self) -> Database:
        """The underlying hovra.Database."""
        return self._db

    @property
    def dim(self) -> int:
        """The vector dimension."""
        return self._db.dim

    @property
    def metric(self) -> str:
        """The metric's name."""
        return self._db.metric

    @property
    def read_only(self) -> bool:
        """Whether the database was opened read-only (read_only=True)."""
        return self._db.read_only

    def _call(self, name: str, *args: Any, **kwargs: Any) -> Any:
        return _run(self._executor, getattr(self._db, name), *args, **kwargs)

    async def add(self, id: str, vector: Any, metadata: dict[str, Any] | None = None, **kwargs: Any) -> None:
        """Database.add, awaitable (sparse by keyword)."""
        await self._call("add", id, vector, metadata, **kwargs)

    async def upsert(
        self, id: str, vector: Any, metadata: dict[str, Any] | None = None, **kwargs: Any
    ) -> None:
        """Database.upsert, awaitable (sparse by keyword)."""
        await self._call("upsert", id, vector, metadata, **kwargs)

    async def update(
        self, id: str, vector: Any = None, metadata: dict[str, Any] | None = None, **kwargs: Any
    ) -> None:
        """Database.update, awaitable (sparse by keyword)."""
        await self._call("update", id, vector, metadata, **kwargs)

    async def delete(self, id: str) -> bool:
        """Database.delete, awaitable."""
        return bool(await self._call("delete", id))

    async def get(self, id: str) -> tuple[list[float], dict[str, Any] | None]:
        """Database.get, awaitable."""
        return await self._call("get", id)  # type: ignore[no-any-return]

    async def get_many(self, ids: Sequence[str]) -> list[tuple[list[float], dict[str, Any] | None] | None]:
        """Database.get_many, awaitable."""
        return await self._call("get_many", ids)  # type: ignore[no-any-return]

    async def add_many(self, ids: Sequence[str], vectors: Any, metadatas: Any = None, **kwargs: Any) -> None:
        """Database.add_many, awaitable (show_progress, sparse and prepare by keyword)."""
        await self._call("add_many", ids, vectors, metadatas, **kwargs)

    async def upsert_many(
        self, ids: Sequence[str], vectors: Any, metadatas: Any = None, **kwargs: Any
    ) -> None:
        """Database.upsert_many, awaitable (show_progress, sparse and prepare by keyword)."""
        await self._call("upsert_many", ids, vectors, metadatas, **kwargs)

    async def update_many(self, ids: Sequence[str], vectors: Any = None, metadatas: Any = None) -> None:
        """Database.update_many, awaitable."""
        await self._call("update_many", ids, vectors, metadatas)

    async def delete_many(self, ids: Sequence[str], **kwargs: Any) -> int:
        """Database.delete_many, awaitable (prepare by keyword)."""
        return int(await self._call("delete_many", ids, **kwargs))

    async def delete_where(self, where_filter: dict[str, Any], **kwargs: Any) -> int:
        """Database.delete_where, awaitable (prepare by keyword)."""
        return int(await self._call("delete_where", where_filter, **kwargs))

    async def commit_prepared(self, transaction: str) -> bool:
        """Database.commit_prepared, awaitable."""
        return bool(await self._call("commit_prepared", transaction))

    async def abort_prepared(self, transaction: str) -> bool:
        """Database.abort_prepared, awaitable."""
        return bool(await self._call("abort_prepared", transaction))

    async def prepared_transactions(self) -> list[str]:
        """Database.prepared_transactions, awaitable."""
        return await self._call("prepared_transactions")  # type: ignore[no-any-return]

    async def search(self, vector: Any, k: int = 10, **kwargs: Any) -> list[SearchResult]:
        """Database.search, awaitable (ef_search, where_filter and
        max_distance by keyword)."""
        return await self._call("search", vector, k, **kwargs)  # type: ignore[no-any-return]

    async def search_many(self, vectors: Any, k: int = 10, **kwargs: Any) -> list[list[SearchResult]]:
        """Database.search_many, awaitable."""
        return await self._call("search_many", vectors, k, **kwargs)  # type: ignore[no-any-return]

    async def search_arrays(self, queries: Any, k: int = 10, **kwargs: Any) -> Any:
        """Database.search_arrays, awaitable."""
        return await self._call("search_arrays", queries, k, **kwargs)

    async def count(self, where_filter: dict[str, Any] | None = None) -> int:
        """Database.count, awaitable."""
        return int(await self._call("count", where_filter))

    async def explain(
        self, where_filter: dict[str, Any] | None = None, k: int = 10, ef_search: int | None = None
    ) -> dict[str, Any]:
        """Database.explain, awaitable."""
        return await self._call("explain", where_filter, k, ef_search)  # type: ignore[no-any-return]

    async def ids(self) -> list[str]:
        """Database.ids, awaitable."""
        return await self._call("ids")  # type: ignore[no-any-return]

    async def to_arrow(self, where_filter: dict[str, Any] | None = None, **kwargs: Any) -> Any:
        """Database.to_arrow, awaitable."""
        return await self._call("to_arrow", where_filter, **kwargs)

    async def records(
        self,
        where_filter: dict[str, Any] | None = None,
        *,
        limit: int | None = None,
        after: str | None = None,
        include_vectors: bool = True,
    ) -> AsyncIterator[tuple[str, list[float] | None, dict[str, Any] | None]]:
        """Database.records as an async iterator: each page is read on the
        pool, with the same guarantees."""
        iterator = self._db.records(where_filter, limit=limit, after=after, include_vectors=include_vectors)
        done = object()
        while True:
            page: list[Any] = await _run(self._executor, _next_page, iterator, done)
            for item in page:
                if item is done:
                    return
                yield item

    async def save(self, **kwargs: Any) -> None:
        """Database.save, awaitable (show_progress by keyword)."""
        await self._call("save", **kwargs)

    async def compact(self, **kwargs: Any) -> None:
        """Database.compact, awaitable (show_progress by keyword)."""
        await self._call("compact", **kwargs)

    async def verify(self) -> None:
        """Database.verify, awaitable."""
        await self._call("verify")

    async def refresh(self) -> None:
        """Database.refresh, awaitable: a database opened read-only takes in
        what its writer logged since it last looked."""
        await self._call("refresh")

    async def stats(self) -> dict[str, Any]:
        """Database.stats, awaitable."""
        return await self._call("stats")  # type: ignore[no-any-return]

    async def memory_usage(self) -> dict[str, int]:
        """Database.memory_usage, awaitable."""
        return await self._call("memory_usage")  # type: ignore[no-any-return]

    async def enable_quantized_search(self, mode: Literal["sq8", "binary"] = "sq8") -> None:
        """Database.enable_quantized_search, awaitable."""
        await self._call("enable_quantized_search", mode)

    async def disable_quantized_search(self) -> None:
        """Database.disable_quantized_search, awaitable."""
        await self._call("disable_quantized_search")

    async def get_sparse(self, id: str) -> dict[str, Any] | None:
        """Database.get_sparse, awaitable."""
        return await self._call("get_sparse", id)  # type: ignore[no-any-return]

    async def create_text_index(self, field: str, **kwargs: Any) -> None:
        """Database.create_text_index, awaitable (its options by keyword;
        with wait=True the await ends when the index is built)."""
        await self._call("create_text_index", field, **kwargs)

    async def drop_text_index(self) -> None:
        """Database.drop_text_index, awaitable."""
        await self._call("drop_text_index")

    async def wait_text_index(self, **kwargs: Any) -> None:
        """Database.wait_text_index, awaitable (show_progress by keyword)."""
        await self._call("wait_text_index", **kwargs)

    async def text_search(
        self, text: str, k: int = 10, where_filter: dict[str, Any] | None = None, **kwargs: Any
    ) -> list[SearchResult]:
        """Database.text_search, awaitable (corpus_stats by keyword)."""
        return await self._call("text_search", text, k, where_filter, **kwargs)  # type: ignore[no-any-return]

    async def text_stats(self, text: str) -> dict[str, Any]:
        """Database.text_stats, awaitable."""
        return await self._call("text_stats", text)  # type: ignore[no-any-return]

    async def sparse_search(
        self, sparse_query: Any, k: int = 10, where_filter: dict[str, Any] | None = None
    ) -> list[SearchResult]:
        """Database.sparse_search, awaitable."""
        return await self._call("sparse_search", sparse_query, k, where_filter)  # type: ignore[no-any-return]

    async def hybrid_search(
        self, vector: Any = None, text: str | None = None, **kwargs: Any
    ) -> list[SearchResult]:
        """Database.hybrid_search, awaitable (the other arguments by keyword)."""
        return await self._call("hybrid_search", vector, text, **kwargs)  # type: ignore[no-any-return]

    async def wait_indexed(self, timeout: float | None = None, **kwargs: Any) -> bool:
        """Database.wait_indexed, awaitable (show_progress by keyword)."""
        return await self._call("wait_indexed", timeout, **kwargs)  # type: ignore[no-any-return]

    async def close(self, **kwargs: Any) -> None:
        """Database.close, awaitable (save= by keyword)."""
        await self._call("close", **kwargs)

    async def __aenter__(self) -> AsyncDatabase:
        return self

    async def __aexit__(self, *exc: object) -> None:
        await self.save()

    async def length(self) -> int:
        """len(database), awaitable."""
        return await _run(self._executor, len, self._db)

    def __repr__(self) -> str:
        return f"AsyncDatabase({self._db!r})"


# Records handed over per hop to the pool: about one page of the engine's.
_RECORDS_PER_HOP = 1000


def _next_page(iterator: Any, done: object) -> list[Any]:
    page = []
    for item in iterator:
        page.append(item)
        if len(page) == _RECORDS_PER_HOP:
            return page
    page.append(done)
    return page


class AsyncStore:
    """A :class:`hovra.Store` whose methods are awaitable and hand out
    :class:`AsyncDatabase` objects.

    Args:
        path: The store's directory (created if missing).
        executor: As for AsyncDatabase.
    """

    def __init__(self, path: str | os.PathLike[str], *, executor: Executor | None = None) -> None:
        self._store = Store(path)
        self._executor = executor if executor is not None else default_executor()

    @property
    def store(self) -> Store:
        """The underlying hovra.Store."""
        return self._store

    async def _wrap(self, fn: Callable[..., Database], *args: Any, **kwargs: Any) -> AsyncDatabase:
        db = await _run(self._executor, fn, *args, **kwargs)
        return AsyncDatabase(db, executor=self._executor)

    async def create_collection(self, name: str, **kwargs: Any) -> AsyncDatabase:
        """Store.create_collection, awaitable."""
        return await self._wrap(self._store.create_collection, name, **kwargs)

    async def get_collection(self, name: str, **kwargs: Any) -> AsyncDatabase:
        """Store.get_collection, awaitable."""
        return await self._wrap(self._store.get_collection, name, **kwargs)

    async def get_or_create_collection(self, name: str, **kwargs: Any) -> AsyncDatabase:
        """Store.get_or_create_collection, awaitable."""
        return await self._wrap(self._store.get_or_create_collection, name, **kwargs)

    async def list_collections(self) -> list[str]:
        """Store.list_collections, awaitable."""
        return await _run(self._executor, self._store.list_collections)

    async def delete_collection(self, name: str) -> None:
        """Store.delete_collection, awaitable."""
        await _run(self._executor, self._store.delete_collection, name)

    def __repr__(self) -> str:
        return f"AsyncStore(path={self._store.path!r})"
