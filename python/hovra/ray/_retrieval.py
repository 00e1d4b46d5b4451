"""What the sharded collection asks of every shard at once: text, sparse
and hybrid searches scored as one collection, and the collection-wide
upkeep (save, compact, quantized search, verify, stats)."""

from __future__ import annotations

from typing import Any, SupportsFloat, SupportsIndex

from _hovra import SearchResult

from ._common import _Collection, _Filter, _Vector
from ._merge import _best_by_score, _fuse, _weights


class _CollectionWide(_Collection):
    """The methods of ShardedDatabase that fan out to every shard and
    combine the answers; the collection supplies what _Collection names."""

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

    def enable_quantized_search(self) -> None:
        """Enable quantized search on every shard (see Database.enable_quantized_search)."""
        self._fan_out("enable_quantized_search")

    def disable_quantized_search(self) -> None:
        """Disable quantized search on every shard."""
        self._fan_out("disable_quantized_search")

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
