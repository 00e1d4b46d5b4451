"""What the sharded collection asks of every shard at once: vector
searches merged by distance, text, sparse and hybrid searches scored as one
collection, and the collection-wide upkeep (save, compact, quantized
search, verify, stats)."""

from __future__ import annotations

from typing import Any, Literal, SupportsFloat, SupportsIndex

import numpy as np
import numpy.typing as npt
from _hovra import SearchResult

from ._common import PartialResults, _Collection, _Filter, _Vector, _Vectors
from ._merge import _as_query_array, _best_by_score, _fuse, _merge_arrays, _merge_packed, _weights


class _CollectionWide(_Collection):
    """The methods of ShardedDatabase that fan out to every shard and
    combine the answers; the collection supplies what _Collection names."""

    # -- vector search --------------------------------------------------------------

    def search(
        self,
        vector: _Vector,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
        *,
        allow_partial: bool = False,
    ) -> list[SearchResult]:
        """Search for the k nearest neighbors over every shard.
        Returns list of SearchResult objects with .id, .distance, .metadata attributes.
        `where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}
        `max_distance`: optional float — discard results beyond this distance.

        A shard that cannot answer raises ShardUnavailableError. With
        `allow_partial=True` the hits of the shards that answered are
        returned instead, as a PartialResults list whose `missing_shards`
        names the shards left out (empty when all answered)."""
        options = {"k": k, "ef_search": ef_search, "where_filter": where_filter, "max_distance": max_distance}
        rows, missing = self._merged_search("search", _as_query_array(vector), options, allow_partial)
        hits = rows[0] if rows else []
        return PartialResults(hits, missing) if allow_partial else hits

    def search_many(
        self,
        vectors: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
        *,
        allow_partial: bool = False,
    ) -> list[list[SearchResult]]:
        """Search multiple queries on every shard in parallel. Returns list of list of SearchResult.
        `where_filter`: optional metadata filter (same syntax as search).
        `max_distance`: optional float — discard results beyond this distance.

        The queries travel to each shard as one float32 array.
        `allow_partial`: as for search(); the outer list is the
        PartialResults."""
        options = {"k": k, "ef_search": ef_search, "where_filter": where_filter, "max_distance": max_distance}
        queries = _as_query_array(vectors)
        rows, missing = self._merged_search("search_many", queries, options, allow_partial)
        if not allow_partial:
            return rows
        return PartialResults(rows or [[] for _ in range(len(queries))], missing)

    def search_arrays(
        self,
        queries: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]:
        """As :meth:`hovra.Database.search_arrays`, over every shard: an
        (n, k) object array of ids (None where a query found fewer than k)
        and an (n, k) float32 array of distances (NaN there)."""
        options = {"k": k, "ef_search": ef_search, "where_filter": where_filter, "max_distance": max_distance}
        query_array = _as_query_array(queries)
        per_shard = self._routed(
            lambda: self._read(lambda: self._gather(self._search_refs("search_arrays", query_array, options)))
        )
        return _merge_arrays(per_shard, int(k))

    def _search_refs(self, method: str, query: Any, options: dict[str, Any]) -> list[Any]:
        self._check_open()
        return [self._read_call(index, method, query, **options) for index in range(self._count)]

    def _merged_search(
        self, method: str, queries: Any, options: dict[str, Any], allow_partial: bool
    ) -> tuple[list[list[SearchResult]], tuple[int, ...]]:
        """search or search_many on every shard, each query's hits merged
        into one best-k row; with allow_partial the rows of the shards that
        answered (none when no shard did) and the shards that could not."""
        k = int(options["k"])

        def run() -> tuple[list[list[SearchResult]], tuple[int, ...]]:
            if allow_partial:
                per_shard, missing = self._gather_partial(self._search_refs(method, queries, options))
                return (_merge_packed(per_shard, k) if per_shard else []), missing
            per_shard = self._read(lambda: self._gather(self._search_refs(method, queries, options)))
            return _merge_packed(per_shard, k), ()

        merged: tuple[list[list[SearchResult]], tuple[int, ...]] = self._routed(run)
        return merged

    # -- text, sparse and hybrid search ----------------------------------------------

    def create_text_index(self, field: str, **options: Any) -> None:
        """Define the text index on every shard (see Database.create_text_index)."""
        self._fan_out("create_text_index", field, **options)

    def drop_text_index(self) -> None:
        """Drop every shard's text index."""
        self._fan_out("drop_text_index")

    def wait_text_index(self) -> None:
        """Wait until every shard's text index is built."""
        self._fan_out("wait_text_index")

    def wait_indexed(self, timeout: float | None = None) -> bool:
        """Wait until every shard has linked its fresh rows into its graph
        (Database.wait_indexed on each shard, in parallel, each with the
        same timeout in seconds): True when all have, False when a shard's
        timeout passed first."""
        return all(self._fan_out("wait_indexed", timeout))

    @property
    def text_index(self) -> dict[str, Any] | None:
        """The first shard's text index definition, with building, indexed,
        total and documents summed over the shards; None without one."""
        infos = self._fan_out("text_index")
        if infos[0] is None:
            return None
        merged = dict(infos[0])
        merged["building"] = any(i is not None and i["building"] for i in infos)
        for key in ("indexed", "total", "documents"):
            merged[key] = sum(i[key] for i in infos if i is not None)
        return merged

    def text_stats(self, text: str) -> dict[str, Any]:
        """The text index statistics of `text`'s terms summed over the shards."""
        parts = self._fan_out("text_stats", text)
        frequency: dict[str, int] = {}
        for part in parts:
            for term, count in part["document_frequency"].items():
                frequency[term] = frequency.get(term, 0) + count
        return {
            "documents": sum(p["documents"] for p in parts),
            "total_length": sum(p["total_length"] for p in parts),
            "document_frequency": frequency,
        }

    def text_search(
        self, text: str, k: SupportsIndex = 10, where_filter: _Filter | None = None
    ) -> list[SearchResult]:
        """BM25 search over every shard, scored as one collection.

        Each shard alone would score with its own statistics (its live
        documents, their mean length and its document frequencies), so the
        same record would score differently on different shards. The search
        runs in two rounds: the shards first report their statistics for the
        query's terms (text_stats), which are summed; then every shard
        searches with those global statistics (corpus_stats=), and the best
        k of all shards' answers are kept. The scores equal those of one
        database holding every record.
        """
        stats = self.text_stats(text)
        parts = self._fan_out("text_search", text, int(k), where_filter, corpus_stats=stats)
        return _best_by_score([hit for part in parts for hit in part], int(k))

    def sparse_search(
        self, sparse_query: Any, k: SupportsIndex = 10, where_filter: _Filter | None = None
    ) -> list[SearchResult]:
        """Sparse dot-product search over every shard (dot products need no
        shared statistics); the best k of all answers."""
        parts = self._fan_out("sparse_search", sparse_query, int(k), where_filter)
        return _best_by_score([hit for part in parts for hit in part], int(k))

    def get_sparse(self, id: str) -> dict[str, Any] | None:
        """The record's sparse vector, from its shard."""
        found: dict[str, Any] | None = self._call(self._owner_of(id), "get_sparse", id)
        return found

    def hybrid_search(
        self,
        vector: _Vector | None = None,
        text: str | None = None,
        sparse: Any = None,
        k: SupportsIndex = 10,
        where_filter: _Filter | None = None,
        fusion: str = "rrf",
        weights: Any = None,
        *,
        candidates: SupportsIndex | None = None,
        rrf_k: SupportsFloat = 60.0,
        ef_search: SupportsIndex | None = None,
    ) -> list[SearchResult]:
        """Database.hybrid_search over every shard: each retriever runs over the
        whole collection (text_search with global statistics), then its lists
        are fused as one database fuses them."""
        k = int(k)
        count = int(candidates) if candidates is not None else max(50, 4 * k)
        count = max(count, k)
        lists: list[list[SearchResult] | None] = [None, None, None]
        if vector is not None:
            lists[0] = self.search(vector, k=count, ef_search=ef_search, where_filter=where_filter)
        if text is not None:
            lists[1] = self.text_search(text, k=count, where_filter=where_filter)
        if sparse is not None:
            lists[2] = self.sparse_search(sparse, k=count, where_filter=where_filter)
        if all(hits is None for hits in lists):
            raise ValueError("hybrid_search needs at least one of vector, text and sparse")
        return _fuse(lists, k, fusion, _weights(weights), float(rrf_k))

    def save(self) -> None:
        """Save every shard (in parallel)."""
        self._fan_out("save")

    def compact(self) -> None:
        """Rebuild every shard's index with only live vectors, reclaiming deleted slots."""
        self._fan_out("compact")

    def enable_quantized_search(self, mode: Literal["sq8", "binary"] = "sq8") -> None:
        """Enable quantized search on every shard and its replicas (see
        Database.enable_quantized_search); replicas started later take it
        from their primary."""
        self._fan_out("enable_quantized_search", mode)
        self._codes_changed()

    def disable_quantized_search(self) -> None:
        """Disable quantized search on every shard and its replicas."""
        self._fan_out("disable_quantized_search")
        self._codes_changed()

    def verify(self) -> None:
        """Check every shard's saved files (see Database.verify)."""
        self._fan_out("verify")

    def stats(self) -> dict[str, Any]:
        """Database.stats() combined over the shards: counts and bytes are
        sums, num_layers and max_degree_layer0 the largest, min_degree_layer0
        the smallest over shards holding records, avg_degree_layer0 the mean
        over all records; uses_brute_force and uses_quantized_search are True
        when they hold on every shard. "shards" lists each shard's own
        dict."""
        each = self._fan_out("stats")
        live = [s for s in each if s["num_vectors"]]
        total = sum(s["num_vectors"] for s in each)
        combined: dict[str, Any] = {
            "num_vectors": total,
            "num_deleted": sum(s["num_deleted"] for s in each),
            "fresh_rows": sum(s["fresh_rows"] for s in each),
            "num_layers": max(s["num_layers"] for s in each),
            "avg_degree_layer0": (
                sum(s["avg_degree_layer0"] * s["num_vectors"] for s in live) / total if total else 0.0
            ),
            "max_degree_layer0": max(s["max_degree_layer0"] for s in each),
            "min_degree_layer0": min((s["min_degree_layer0"] for s in live), default=0),
            "memory_vectors_bytes": sum(s["memory_vectors_bytes"] for s in each),
            "memory_graph_bytes": sum(s["memory_graph_bytes"] for s in each),
            "memory_quantized_bytes": sum(s["memory_quantized_bytes"] for s in each),
            "uses_brute_force": all(s["uses_brute_force"] for s in each),
            "uses_quantized_search": all(s["uses_quantized_search"] for s in each),
            "shards": each,
        }
        return combined
