"""A LangChain vector store kept in a hovra database.

Install the extra (``pip install "hovra[langchain]"``), then::

    from hovra.langchain import HovraVectorStore

    store = HovraVectorStore(embeddings, path="my-store")
    store.add_texts(["hello", "world"], metadatas=[{"lang": "en"}, {"lang": "en"}])
    docs = store.similarity_search("hi", k=1, filter={"lang": "en"})

Each document is one record: its id, the embedding of its text, and its
metadata with the text added under ``text_key`` ("page_content" by default).
Filters are hovra ``where_filter`` dicts over the metadata:
``{"lang": "en"}``, ``{"year": {"$gte": 2020}}``, ``{"tags": {"$contains":
"news"}}``, ``{"$or": [...]}`` and the rest of hovra's filter language
(see ``help(hovra.Database.search)``).

Hybrid search fuses the embedding search with BM25 over the documents' text
(a text index on ``text_key``, made on first use)::

    docs = store.hybrid_search("vector database", k=4)
    retriever = store.as_retriever(search_type="hybrid", search_kwargs={"k": 4, "fusion": "rrf"})
"""

from __future__ import annotations

import math
import os
import shutil
import tempfile
import threading
import uuid
import weakref
from collections.abc import Callable, Iterable, Sequence
from typing import Any

try:
    from langchain_core.callbacks import CallbackManagerForRetrieverRun
    from langchain_core.documents import Document
    from langchain_core.embeddings import Embeddings
    from langchain_core.vectorstores import VectorStore, VectorStoreRetriever
    from langchain_core.vectorstores.utils import maximal_marginal_relevance
except ImportError:  # pragma: no cover - depends on the environment
    raise ImportError(
        "hovra.langchain needs langchain-core; install it with: pip install 'hovra[langchain]'"
    ) from None

import numpy as np
from _hovra import Database, DatabaseNotFoundError, SearchResult

__all__ = ["HovraVectorStore"]

_SEARCH_OPTIONS = ("filter", "ef_search", "max_distance")
_HYBRID_OPTIONS = ("filter", "fusion", "weights", "candidates", "rrf_k", "ef_search")


def _hybrid_documents(
    retriever: VectorStoreRetriever, query: str, *, run_manager: CallbackManagerForRetrieverRun, **kwargs: Any
) -> list[Document]:
    """The retriever's documents: search_type "hybrid" calls
    :meth:`HovraVectorStore.hybrid_search` with ``search_kwargs`` (``k``,
    ``filter``, ``fusion``, ``weights``, ``candidates``, ``rrf_k``,
    ``ef_search``); the other types are LangChain's own."""
    if retriever.search_type != "hybrid":
        return VectorStoreRetriever._get_relevant_documents(
            retriever, query, run_manager=run_manager, **kwargs
        )
    store = retriever.vectorstore
    assert isinstance(store, HovraVectorStore)
    return store.hybrid_search(query, **(retriever.search_kwargs | kwargs))


_retriever_type: Any = None


def _retriever_class() -> Any:
    """The store's retriever class, LangChain's with the search type "hybrid"
    added; made on first use with type() (a pydantic model's generated
    constructor has no stub to check it against)."""
    global _retriever_type
    if _retriever_type is None:
        _retriever_type = type(
            "HovraRetriever",
            (VectorStoreRetriever,),
            {
                "__module__": __name__,
                "allowed_search_types": ("similarity", "similarity_score_threshold", "mmr", "hybrid"),
                "_get_relevant_documents": _hybrid_documents,
            },
        )
    return _retriever_type


class HovraVectorStore(VectorStore):
    """A LangChain ``VectorStore`` backed by a :class:`hovra.Database`.

    Args:
        embedding: The LangChain embeddings model for texts and queries.
        path: The database directory. An existing database there is opened;
            otherwise one is created at the first write, with the dimension of
            the first embedding. None keeps the store in a temporary directory
            that is removed when the store is garbage-collected.
        metric: The metric of a new database: "cosine" (default),
            "euclidean"/"l2" or "dot"/"dot_product"/"ip"/"inner_product". An existing database
            keeps its own.
        text_key: The metadata field that holds each document's text.
            Documents whose own metadata uses this key are refused.
        database: An open :class:`hovra.Database` to use instead of ``path``.
        read_only: Open the existing database at ``path`` read-only, beside
            a writer in another process (see :class:`hovra.Database`): the
            store searches and follows the writer, and every write raises
            ``hovra.ReadOnlyError``. ``DatabaseNotFoundError`` when there
            is no database at ``path``.
        **database_options: ``m``, ``ef_construction`` or ``quantize`` for a
            new database.

    Search methods take ``filter`` (a hovra ``where_filter`` dict; an empty
    dict or None means no filter), ``ef_search`` and ``max_distance``.
    Scores from ``similarity_search_with_score`` are the database's distances
    (smaller is closer). ``similarity_search_with_relevance_scores`` turns
    them into relevances with LangChain's own rule for the metric: cosine
    1 - distance (the cosine similarity), Euclidean 1 - d / sqrt(2) of the
    distance d (the database keeps squared distances, whose root is taken
    first), and the inner-product rule for the dot product. Unrelated
    documents score about 0, so a score threshold of 0.5 leaves them out.
    """

    def __init__(
        self,
        embedding: Embeddings,
        path: str | os.PathLike[str] | None = None,
        *,
        metric: str = "cosine",
        text_key: str = "page_content",
        database: Database | None = None,
        read_only: bool = False,
        **database_options: Any,
    ) -> None:
        if database is not None and path is not None:
            raise ValueError("give either path or database, not both")
        if read_only and path is None:
            raise ValueError("read_only needs the path of an existing database")
        unknown = set(database_options) - {"m", "ef_construction", "quantize"}
        if unknown:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(unknown))}")
        self._embedding = embedding
        self._metric = metric
        self._text_key = text_key
        self._options = database_options
        self._lock = threading.Lock()
        self._db: Database | None = database
        if database is not None:
            self._path = ""
        elif path is not None:
            self._path = os.fspath(path)
            if read_only:
                self._db = Database(self._path, read_only=True)
                return
            try:
                self._db = Database(self._path)
            except DatabaseNotFoundError:
                # Only an empty place waits for the first write; damaged
                # files or a directory in use are reported now.
                pass
        else:
            self._path = tempfile.mkdtemp(prefix="hovra-langchain-")
            weakref.finalize(self, shutil.rmtree, self._path, ignore_errors=True)

    # ------------------------------------------------------------ properties

    @property
    def embeddings(self) -> Embeddings:
        """The embeddings model."""
        return self._embedding

    @property
    def database(self) -> Database | None:
        """The underlying database, or None before the first write created it."""
        return self._db

    def _database_for(self, dim: int) -> Database:
        with self._lock:
            if self._db is None:
                self._db = Database(self._path, dim=dim, metric=self._metric, **self._options)
            return self._db

    # ---------------------------------------------------------------- writes

    def add_texts(
        self,
        texts: Iterable[str],
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> list[str]:
        """Embed texts and store them; existing ids are replaced.

        Args:
            texts: The texts to embed and store.
            metadatas: One dict (or None) per text.
            ids: One id per text; a None id, or no ids at all, gets a new
                UUID.

        Returns:
            The ids of the stored documents, in order.

        Raises:
            ValueError: metadatas or ids of the wrong length, or metadata that
                uses ``text_key``.
        """
        if kwargs:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(kwargs))}")
        texts = list(texts)
        if metadatas is not None and len(metadatas) != len(texts):
            raise ValueError(f"got {len(metadatas)} metadatas for {len(texts)} texts")
        if ids is not None and len(ids) != len(texts):
            raise ValueError(f"got {len(ids)} ids for {len(texts)} texts")
        if not texts:
            return []
        # add_documents passes None for documents without an id.
        given: Sequence[str | None] = ids if ids is not None else [None] * len(texts)
        record_ids = [str(uuid.uuid4()) if record_id is None else record_id for record_id in given]
        records: list[dict[str, Any] | None] = []
        for i, text in enumerate(texts):
            metadata = dict(metadatas[i] or {}) if metadatas is not None else {}
            if self._text_key in metadata:
                raise ValueError(
                    f"metadata key {self._text_key!r} holds the document text; "
                    "pass another text_key to HovraVectorStore"
                )
            metadata[self._text_key] = text
            records.append(metadata)
        vectors = self._embedding.embed_documents(texts)
        db = self._database_for(len(vectors[0]))
        db.upsert_many(record_ids, vectors, records)
        return record_ids

    def delete(self, ids: list[str] | None = None, **kwargs: Any) -> bool | None:
        """Delete documents by id (all of them when ids is None).

        Ids that are not stored are ignored.

        Returns:
            True.
        """
        if kwargs:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(kwargs))}")
        db = self._db
        if db is not None:
            for record_id in db.ids() if ids is None else ids:
                db.delete(record_id)
        return True

    def save(self) -> None:
        """Save the database files now.

        Not needed for safety or speed: writes are logged (and survive
        without a save), searchable at once, and saved by the database's
        automatic checkpoints, at close and at interpreter exit; a reopen
        replays the log without relinking.
        """
        if self._db is not None:
            self._db.save()

    # ----------------------------------------------------------------- reads

    def _document(self, record_id: str, metadata: dict[str, Any] | None) -> Document:
        fields = dict(metadata or {})
        text = fields.pop(self._text_key, "")
        return Document(id=record_id, page_content=str(text), metadata=fields)

    def get_by_ids(self, ids: Sequence[str], /) -> list[Document]:
        """The stored documents with these ids, in the order given; missing ids are skipped."""
        db = self._db
        if db is None:
            return []
        documents = []
        for record_id in dict.fromkeys(ids):
            try:
                _, metadata = db.get(record_id)
            except ValueError:  # not stored (or deleted meanwhile)
                continue
            documents.append(self._document(record_id, metadata))
        return documents

    @staticmethod
    def _check_options(options: dict[str, Any]) -> None:
        unknown = set(options) - set(_SEARCH_OPTIONS)
        if unknown:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(unknown))}")

    def _search(self, embedding: Sequence[float], k: int, options: dict[str, Any]) -> list[SearchResult]:
        self._check_options(options)
        db = self._db
        if db is None:
            return []
        return db.search(
            embedding,
            k=k,
            ef_search=options.get("ef_search"),
            where_filter=options.get("filter") or None,
            max_distance=options.get("max_distance"),
        )

    def similarity_search_with_score_by_vector(
        self, embedding: list[float], k: int = 4, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The k documents nearest to an embedding, with their distances (smaller is closer).

        Keyword arguments: ``filter``, ``ef_search``, ``max_distance``.
        """
        return [
            (self._document(hit.id, hit.metadata), hit.distance) for hit in self._search(embedding, k, kwargs)
        ]

    def similarity_search_by_vector(
        self, embedding: list[float], k: int = 4, **kwargs: Any
    ) -> list[Document]:
        """The k documents nearest to an embedding.

        Keyword arguments: ``filter``, ``ef_search``, ``max_distance``.
        """
        return [doc for doc, _ in self.similarity_search_with_score_by_vector(embedding, k, **kwargs)]

    def similarity_search_with_score(
        self, query: str, k: int = 4, **kwargs: Any
    ) -> list[tuple[Document, float]]:
        """The k documents nearest to a text, with their distances (smaller is closer).

        Keyword arguments: ``filter``, ``ef_search``, ``max_distance``.
        """
        self._check_options(kwargs)
        if self._db is None:  # nothing stored yet: no need to embed the query
            return []
        return self.similarity_search_with_score_by_vector(self._embedding.embed_query(query), k, **kwargs)

    def similarity_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        """The k documents nearest to a text.

        Keyword arguments: ``filter``, ``ef_search``, ``max_distance``.
        """
        return [doc for doc, _ in self.similarity_search_with_score(query, k, **kwargs)]

    def as_retriever(self, **kwargs: Any) -> VectorStoreRetriever:
        """A retriever over this store; ``search_type`` may also be ``"hybrid"``
        (:meth:`hybrid_search` with ``search_kwargs``)."""
        tags = kwargs.pop("tags", None) or [*self._get_retriever_tags()]
        retriever: VectorStoreRetriever = _retriever_class()(vectorstore=self, tags=tags, **kwargs)
        return retriever

    def hybrid_search_with_score(self, query: str, k: int = 4, **kwargs: Any) -> list[tuple[Document, float]]:
        """The k documents best for a text by both its embedding and BM25 over
        the documents' text, fused (see :meth:`hovra.Database.hybrid_search`),
        with their fused scores (larger is better).

        The first call makes a text index on ``text_key`` (English analysis)
        when the database has none. Keyword arguments: ``filter``,
        ``fusion`` ("rrf" or "weighted"), ``weights``, ``candidates``,
        ``rrf_k``, ``ef_search``.
        """
        unknown = set(kwargs) - set(_HYBRID_OPTIONS)
        if unknown:
            raise TypeError(f"unexpected keyword arguments: {', '.join(sorted(unknown))}")
        db = self._db
        if db is None:
            return []
        if db.text_index is None:
            db.create_text_index(self._text_key, wait=True)
        options = dict(kwargs)
        options["where_filter"] = options.pop("filter", None) or None
        hits = db.hybrid_search(self._embedding.embed_query(query), query, k=k, **options)
        return [(self._document(hit.id, hit.metadata), hit.score or 0.0) for hit in hits]

    def hybrid_search(self, query: str, k: int = 4, **kwargs: Any) -> list[Document]:
        """The documents of :meth:`hybrid_search_with_score`, without scores."""
        return [doc for doc, _ in self.hybrid_search_with_score(query, k, **kwargs)]

    def _select_relevance_score_fn(self) -> Callable[[float], float]:
        metric = self._db.metric if self._db is not None else self._metric
        if metric == "cosine":
            return self._cosine_relevance_score_fn
        if metric in ("euclidean", "l2"):
            root_first = self._euclidean_relevance_score_fn
            return lambda squared: root_first(math.sqrt(max(squared, 0.0)))
        # The database's dot distance is the negated inner product.
        return self._max_inner_product_relevance_score_fn

    def max_marginal_relevance_search_by_vector(
        self,
        embedding: list[float],
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        **kwargs: Any,
    ) -> list[Document]:
        """Documents near an embedding and diverse among themselves.

        Fetches the fetch_k nearest documents, then picks k of them by maximal
        marginal relevance (lambda_mult 1 favours similarity to the query, 0
        diversity). Keyword arguments: ``filter``, ``ef_search``,
        ``max_distance``.
        """
        db = self._db
        hits = self._search(embedding, fetch_k, kwargs)
        if db is None or not hits:
            return []
        kept: list[SearchResult] = []
        vectors: list[list[float]] = []
        for hit in hits:
            try:
                vectors.append(db.get(hit.id)[0])
            except ValueError:  # deleted since the search
                continue
            kept.append(hit)
        chosen = maximal_marginal_relevance(
            np.asarray(embedding, dtype=np.float32), vectors, lambda_mult=lambda_mult, k=k
        )
        return [self._document(kept[i].id, kept[i].metadata) for i in chosen]

    def max_marginal_relevance_search(
        self,
        query: str,
        k: int = 4,
        fetch_k: int = 20,
        lambda_mult: float = 0.5,
        **kwargs: Any,
    ) -> list[Document]:
        """Documents near a text and diverse among themselves; see
        max_marginal_relevance_search_by_vector."""
        self._check_options(kwargs)
        if self._db is None:
            return []
        return self.max_marginal_relevance_search_by_vector(
            self._embedding.embed_query(query), k, fetch_k, lambda_mult, **kwargs
        )

    # ------------------------------------------------------------ construction

    @classmethod
    def from_texts(
        cls,
        texts: list[str],
        embedding: Embeddings,
        metadatas: list[dict[str, Any]] | None = None,
        *,
        ids: list[str] | None = None,
        **kwargs: Any,
    ) -> HovraVectorStore:
        """A new store holding these texts.

        Keyword arguments besides ``ids`` go to the constructor (``path``,
        ``metric``, ``text_key``, ...).
        """
        store = cls(embedding, **kwargs)
        store.add_texts(texts, metadatas, ids=ids)
        return store
