"""hovra: an embedded vector database.

Keep records (a string id, a float32 vector and optional JSON metadata) in a
directory and find the ones nearest to a query, filtered by metadata::

    import hovra

    with hovra.Database("my-db", dim=384) as db:
        db.add("doc-1", embedding, {"lang": "en"})
        hits = db.search(query, k=10, where_filter={"lang": "en"})

`help(hovra.Database)` describes every method. Errors of the database are
`hovra.HovraError` (a ValueError) or one of its subclasses:
DuplicateIdError, NotFoundError, DatabaseInUseError, DatabaseClosedError,
CorruptDataError, DatabaseNotFoundError, ReadOnlyError and TransactionConflictError.
The LangChain vector store is `hovra.langchain.HovraVectorStore` (install the
`hovra[langchain]` extra), the LlamaIndex one `hovra.llama_index.HovraVectorStore`
(`hovra[llama-index]`);
collections sharded over a Ray cluster are `hovra.ray.ShardedDatabase` (install
the `hovra[ray]` extra). `hovra.set_num_threads(n)` sizes the worker pool that
runs the parallel work of every database in the process. `hovra.Store` keeps named
collections in one directory; `hovra.aio` has awaitable versions of both
(AsyncDatabase, AsyncStore).
"""

from _hovra import (
    CorruptDataError,
    Database,
    DatabaseClosedError,
    DatabaseInUseError,
    DatabaseNotFoundError,
    DuplicateIdError,
    HovraError,
    NotFoundError,
    ReadOnlyError,
    SearchResult,
    TransactionConflictError,
    get_num_threads,
    set_num_threads,
)

from hovra.store import Store

__version__ = "0.1.0"

__all__ = [
    "CorruptDataError",
    "Database",
    "DatabaseClosedError",
    "DatabaseInUseError",
    "DatabaseNotFoundError",
    "DuplicateIdError",
    "HovraError",
    "NotFoundError",
    "ReadOnlyError",
    "SearchResult",
    "Store",
    "TransactionConflictError",
    "__version__",
    "get_num_threads",
    "set_num_threads",
]
