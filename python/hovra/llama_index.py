"""A LlamaIndex vector store kept in a hovra database.

Install the extra (``pip install "hovra[llama-index]"``), then::

    from llama_index.core import StorageContext, VectorStoreIndex
    from hovra.llama_index import HovraVectorStore

    store = HovraVectorStore("my-index")
    index = VectorStoreIndex.from_documents(
        documents, storage_context=StorageContext.from_defaults(vector_store=store)
    )
    engine = index.as_query_engine(similarity_top_k=4)

Each node is one record: its node id, its embedding, and its metadata with
the node's text under ``text_key`` and LlamaIndex's own fields
(``_node_content`` holding the node without its text, its relationships
included, ``_node_type``, ``ref_doc_id``, ``doc_id``, ``document_id``). The
store keeps the text, so the index needs no document store; the database
directory is the store's persistence (reopen it with the same path).

Queries take LlamaIndex's ``MetadataFilters`` (every operator and condition
that hovra's filter language expresses: see :func:`to_where_filter`) and
its query modes ``default`` (the vector search), ``text_search`` (BM25 over
the nodes' text) and ``hybrid`` (both fused; ``alpha`` weights the vector
search against the text search, otherwise reciprocal-rank fusion). The text
modes use a text index on ``text_key``, made with the database unless
``text_index=False`` (then on the first text query).
"""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

try:
    from llama_index.core.schema import BaseNode, MetadataMode
    from llama_index.core.vector_stores.types import (
        BasePydanticVectorStore,
        FilterCondition,
        FilterOperator,
        MetadataFilter,
        MetadataFilters,
        VectorStoreQuery,
        VectorStoreQueryMode,
        VectorStoreQueryResult,
    )
    from llama_index.core.vector_stores.utils import metadata_dict_to_node, node_to_metadata_dict
except ImportError:  # pragma: no cover - depends on the environment
    raise ImportError(
        "hovra.llama_index needs llama-index-core; install it with: pip install 'hovra[llama-index]'"
    ) from None

import numpy as np
from _hovra import Database, DatabaseNotFoundError, SearchResult

__all__ = ["HovraVectorStore", "to_where_filter"]

# LlamaIndex operators with one hovra operator of the same meaning.
_OPERATORS = {
    FilterOperator.EQ: "$eq",
    FilterOperator.NE: "$ne",
    FilterOperator.GT: "$gt",
    FilterOperator.GTE: "$gte",
    FilterOperator.LT: "$lt",
    FilterOperator.LTE: "$lte",
    FilterOperator.IN: "$in",
    FilterOperator.NIN: "$nin",
    FilterOperator.CONTAINS: "$contains",
    FilterOperator.TEXT_MATCH: "$contains",
}


def _condition(f: MetadataFilter) -> dict[str, Any]:
    op = FilterOperator(f.operator)
    if op in _OPERATORS:
        return {f.key: {_OPERATORS[op]: f.value}}
    if op in (FilterOperator.ANY, FilterOperator.ALL):
        values = f.value if isinstance(f.value, list) else [f.value]
        if not values:
            raise ValueError(f"filter on '{f.key}': {op.value} needs at least one value")
        parts = [{f.key: {"$contains": v}} for v in values]
        return {"$or" if op is FilterOperator.ANY else "$and": parts}
    if op is FilterOperator.IS_EMPTY:
        # Missing, None or "": `$ne` treats None as a value, so its negation
        # holds for a present None.
        return {"$or": [{f.key: {"$exists": False}}, {"$not": {f.key: {"$ne": None}}}, {f.key: ""}]}
    raise ValueError(f"filter on '{f.key}': operator {op.value} is not supported by hovra")


def to_where_filter(filters: MetadataFilters) -> dict[str, Any]:
    """LlamaIndex ``MetadataFilters`` as a hovra ``where_filter``.

    Operators: ``==``, ``!=``, ``>``, ``>=``, ``<``, ``<=``, ``in``, ``nin``
    as hovra's ``$eq`` ... ``$nin``; ``contains`` (a list field holds the
    value) and ``text_match`` (a string field holds the text) as
    ``$contains``; ``any`` / ``all`` (a list field holds any / all of the
    values) as ``$or`` / ``$and`` of ``$contains``; ``is_empty`` as a
    missing field, None or "" (an empty list is not recognised). Conditions ``and``, ``or`` and ``not`` (none of
    the filters hold), nested to any depth. ``text_match_insensitive`` is
    refused with a ValueError. Values compare by kind, as everywhere in
    hovra: 1 and 1.0 differ.
    """
    parts = [to_where_filter(f) if isinstance(f, MetadataFilters) else _condition(f) for f in filters.filters]
    condition = FilterCondition(filters.condition or FilterCondition.AND)
    if not parts:
        raise ValueError("MetadataFilters with no filters")
    if condition is FilterCondition.OR:
        return {"$or": parts}
    if condition is FilterCondition.NOT:
        return {"$not": {"$or": parts}}
    return parts[0] if len(parts) == 1 else {"$and": parts}


def _with(where: dict[str, Any] | None, extra: dict[str, Any]) -> dict[str, Any]:
    return extra if where is None else {"$and": [where, extra]}


class HovraVectorStore(BasePydanticVectorStore):
    """A LlamaIndex vector store backed by a :class:`hovra.Database`.

    Args:
        path: The database directory. An existing database there is opened;
            otherwise one is created at the first write, with the dimension
            of the first embedding.
        metric: The metric of a new database: "cosine" (default),
            "euclidean"/"l2" or "dot"/"dot_product"/"ip"/"inner_product".
        text_key: The metadata field that holds each node's text.
        text_index: Make a BM25 text index on ``text_key`` with a new
            database (for the text_search and hybrid query modes).
        database: An open :class:`hovra.Database` to use instead of ``path``.
        **database_options: ``m``, ``ef_construction`` or ``quantize`` for a
            new database.

    Similarities in query results are larger for closer nodes: cosine
    1 - distance (the cosine similarity), the dot product itself, and
    1 / (1 + d) for the Euclidean distance d; the text and hybrid modes
    return their BM25 or fused scores.
    """

    stores_text: bool = True
    flat_metadata: bool = False
    path: str | None = None
    metric: str = "cosine"
    text_key: str = "text"
    text_index: bool = True

    # Private attributes, set by __init__: the database (None until the
    # first write creates it) and the options of a new one. Typed Any here:
    # at run time pydantic answers their names on the class with its own
    # descriptors.
    _db: Any
    _options: Any

    def __init__(
        self,
        path: str | os.PathLike[str] | None = None,
        *,
        metric: str = "cosine",
        text_key: str = "text",
        text_index: bool = True,
        database: Database | None = None,
        **database_options: Any,
    ) -> None:
        if (path is None) == (database is None):
            raise ValueError("give either path or database")
        fields: dict[str, Any] = {
            "path": os.fspath(path) if path is not None else None,
            "metric": database.metric if database is not None else metric,
            "text_key": text_key,
            "text_index": text_index,
        }
        super().__init__(**fields)
        self._options = dict(database_options)
        self._db = None
        if database is not None:
            self._db = database
        else:
            assert self.path is not None
            try:
                self._db = Database(self.path)
            except DatabaseNotFoundError:
                self._db = None

    @classmethod
    def class_name(cls) -> str:
        return "HovraVectorStore"

    @property
    def client(self) -> Database | None:
        """The database (None until the first write creates it)."""
        db: Database | None = self._db
        return db

    def _database(self, dim: int) -> Database:
        if self._db is None:
            assert self.path is not None
            options = dict(self._options)
            if self.text_index:
                options["text_field"] = self.text_key
            self._db = Database(self.path, dim=dim, metric=self.metric, **options)
        db: Database = self._db
        return db

    # ----------------------------------------------------------------- writes

    def add(self, nodes: Sequence[BaseNode], **add_kwargs: Any) -> list[str]:
        """Store the nodes (an existing node id is replaced), in one batch."""
        if not nodes:
            return []
        vectors = np.asarray([node.get_embedding() for node in nodes], dtype=np.float32)
        ids, metadatas = [], []
        for node in nodes:
            metadata = node_to_metadata_dict(node, remove_text=True, flat_metadata=self.flat_metadata)
            if self.text_key in node.metadata:
                raise ValueError(f"node {node.node_id!r}: its metadata uses the text key {self.text_key!r}")
            metadata[self.text_key] = node.get_content(metadata_mode=MetadataMode.NONE)
            ids.append(node.node_id)
            metadatas.append(metadata)
        self._database(vectors.shape[1]).upsert_many(ids, vectors, metadatas)
        return ids

    def delete(self, ref_doc_id: str, **delete_kwargs: Any) -> None:
        """Delete the nodes of a source document."""
        if self._db is not None:
            self._db.delete_where({"ref_doc_id": ref_doc_id})

    def delete_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None, **delete_kwargs: Any
    ) -> None:
        """Delete nodes by id, by filter, or the nodes of the ids that match
        the filter."""
        if self._db is None or (node_ids is None and filters is None):
            return
        if filters is None:
            self._db.delete_many(node_ids or [])
            return
        where = to_where_filter(filters)
        if node_ids is None:
            self._db.delete_where(where)
            return
        chosen = set(node_ids)
        self._db.delete_many([r[0] for r in self._db.records(where, include_vectors=False) if r[0] in chosen])

    def clear(self) -> None:
        """Delete every node."""
        if self._db is not None:
            self._db.delete_many(self._db.ids())

    def persist(self, persist_path: str, fs: Any = None) -> None:
        """Save the database (its directory is the store's persistence;
        persist_path is not used)."""
        if self._db is not None:
            self._db.save()

    # ------------------------------------------------------------------ reads

    def _node(self, metadata: dict[str, Any]) -> BaseNode:
        return metadata_dict_to_node(metadata, text=metadata.get(self.text_key, ""))

    def get_nodes(
        self, node_ids: list[str] | None = None, filters: MetadataFilters | None = None
    ) -> list[BaseNode]:
        """The nodes of the ids (in their order, missing ones left out), or
        those that match the filter (in id order), or both."""
        if self._db is None:
            return []
        where = to_where_filter(filters) if filters is not None else None
        if node_ids is None:
            if where is None:
                return [self._node(m) for _, _, m in self._db.records(include_vectors=False) if m]
            return [self._node(m) for _, _, m in self._db.records(where, include_vectors=False) if m]
        allowed = None if where is None else {r[0] for r in self._db.records(where, include_vectors=False)}
        out = []
        for node_id, record in zip(node_ids, self._db.get_many(node_ids)):
            if record is not None and record[1] and (allowed is None or node_id in allowed):
                node = self._node(record[1])
                node.embedding = record[0]
                out.append(node)
        return out

    def query(self, query: VectorStoreQuery, **kwargs: Any) -> VectorStoreQueryResult:
        """Answer a LlamaIndex query: modes default, text_search and
        hybrid; filters, doc_ids and node_ids narrow every mode."""
        if self._db is None:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        where = (
            to_where_filter(query.filters) if query.filters is not None and query.filters.filters else None
        )
        if query.doc_ids:
            where = _with(where, {"ref_doc_id": {"$in": list(query.doc_ids)}})
        mode = VectorStoreQueryMode(query.mode)
        k = query.similarity_top_k
        if query.node_ids:  # LlamaIndex's retrievers pass [] for "any node"
            return self._query_among(query, where)
        if mode is VectorStoreQueryMode.DEFAULT:
            if query.query_embedding is None:
                raise ValueError("a default-mode query needs query_embedding")
            hits = self._db.search(query.query_embedding, k=k, where_filter=where)
            return self._result(hits, [self._similarity(h.distance) for h in hits])
        if mode is VectorStoreQueryMode.TEXT_SEARCH:
            if not query.query_str:
                raise ValueError("a text_search query needs query_str")
            self._ensure_text_index()
            hits = self._db.text_search(query.query_str, k=query.sparse_top_k or k, where_filter=where)
            return self._result(hits, [float(h.score or 0.0) for h in hits])
        if mode is VectorStoreQueryMode.HYBRID:
            self._ensure_text_index()
            options: dict[str, Any] = {}
            if query.alpha is not None:
                options = {
                    "fusion": "weighted",
                    "weights": {"vector": query.alpha, "text": 1.0 - query.alpha},
                }
            hits = self._db.hybrid_search(
                query.query_embedding,
                query.query_str or None,
                k=query.hybrid_top_k or k,
                where_filter=where,
                **options,
            )
            return self._result(hits, [float(h.score or 0.0) for h in hits])
        raise ValueError(
            f"query mode {mode.value!r} is not supported by hovra (default, text_search, hybrid)"
        )

    def _ensure_text_index(self) -> None:
        assert self._db is not None
        if self._db.text_index is None:
            self._db.create_text_index(self.text_key, wait=True)

    def _similarity(self, distance: float) -> float:
        metric = self._db.metric if self._db is not None else self.metric
        if metric == "cosine":
            return 1.0 - distance
        if metric == "euclidean":
            return 1.0 / (1.0 + float(np.sqrt(max(distance, 0.0))))
        return -distance  # the database's dot distance is the negated dot product

    def _result(self, hits: list[SearchResult], similarities: list[float]) -> VectorStoreQueryResult:
        nodes = [self._node(h.metadata or {}) for h in hits]
        return VectorStoreQueryResult(nodes=nodes, similarities=similarities, ids=[h.id for h in hits])

    def _query_among(self, query: VectorStoreQuery, where: dict[str, Any] | None) -> VectorStoreQueryResult:
        """A query restricted to node ids: the vectors of those that match
        the filter, ranked exactly here."""
        assert self._db is not None and query.node_ids
        if query.query_embedding is None:
            raise ValueError("a query with node_ids needs query_embedding")
        allowed = None if where is None else {r[0] for r in self._db.records(where, include_vectors=False)}
        ids, vectors, metadatas = [], [], []
        for node_id, record in zip(query.node_ids, self._db.get_many(query.node_ids)):
            if record is not None and (allowed is None or node_id in allowed) and node_id not in ids:
                ids.append(node_id)
                vectors.append(record[0])
                metadatas.append(record[1] or {})
        if not ids:
            return VectorStoreQueryResult(nodes=[], similarities=[], ids=[])
        rows = np.asarray(vectors, dtype=np.float64)
        q = np.asarray(query.query_embedding, dtype=np.float64)
        metric = self._db.metric
        if metric == "cosine":
            norms = np.linalg.norm(rows, axis=1) * np.linalg.norm(q)
            distances = 1.0 - (rows @ q) / np.where(norms == 0, 1.0, norms)
        elif metric == "euclidean":
            distances = ((rows - q) ** 2).sum(axis=1)
        else:
            distances = -(rows @ q)
        order = np.argsort(distances, kind="stable")[: query.similarity_top_k]
        return VectorStoreQueryResult(
            nodes=[self._node(metadatas[i]) for i in order],
            similarities=[self._similarity(float(distances[i])) for i in order],
            ids=[ids[i] for i in order],
        )
