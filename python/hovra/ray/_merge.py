"""Merging per-shard answers: packed search hits, distance merges, scored
merges and hybrid fusion."""

from __future__ import annotations

import json
from collections.abc import Callable, Sequence
from typing import Any, Optional, Union

import numpy as np
import numpy.typing as npt
from _hovra import (
    SearchResult,
)

# Search hits as a shard sends them back: the number of hits of each query,
# then the ids, float32 distances and metadata JSON texts (None when no hit
# has metadata) of all hits, query after query. Far cheaper to send than
# SearchResult objects, and merged without Python work per candidate.
_Packed = tuple[npt.NDArray[np.int64], list[str], npt.NDArray[np.float32], Union[list[Optional[str]], None]]
_restore: Callable[[str, float, Optional[str]], SearchResult] = getattr(SearchResult, "_restore")  # noqa: B009 - private, not in the stubs


def _pack(rows: Sequence[Sequence[SearchResult]]) -> _Packed:
    counts = np.fromiter((len(row) for row in rows), dtype=np.int64, count=len(rows))
    fields = [hit.__reduce__()[1] for row in rows for hit in row]
    metadatas = [f[2] for f in fields]
    return (
        counts,
        [f[0] for f in fields],
        np.array([f[1] for f in fields], dtype=np.float32),
        metadatas if any(m is not None for m in metadatas) else None,
    )


def _merge_packed(parts: Sequence[_Packed], k: int) -> list[list[SearchResult]]:
    """The hits of all shards merged query by query: the k closest by
    distance, ties by id, as SearchResult lists."""
    n = len(parts[0][0])
    if len(parts) == 1:  # one shard's hits are in order already
        counts, ids_, distances_, metadatas_ = parts[0]
        distance_list = distances_.tolist()
        metadata_list = metadatas_ if metadatas_ is not None else [None] * len(ids_)
        merged, start = [], 0
        for count in counts.tolist():
            merged.append(
                [_restore(ids_[j], distance_list[j], metadata_list[j]) for j in range(start, start + count)]
            )
            start += count
        return merged
    widths = [int(p[0].max(initial=0)) for p in parts]
    width = sum(widths)
    if width == 0:
        return [[] for _ in range(n)]
    ids = np.full((n, width), "", dtype=object)
    distances = np.zeros((n, width), dtype=np.float32)
    valid = np.zeros((n, width), dtype=bool)
    metadatas = np.full((n, width), None, dtype=object) if any(p[3] is not None for p in parts) else None
    offset = 0
    for (counts, part_ids, part_distances, part_metadatas), part_width in zip(parts, widths):
        rows = np.repeat(np.arange(n), counts)
        columns = offset + np.arange(len(rows)) - np.repeat(np.cumsum(counts) - counts, counts)
        ids[rows, columns] = np.array(part_ids, dtype=object)
        distances[rows, columns] = part_distances
        valid[rows, columns] = True
        if metadatas is not None and part_metadatas is not None:
            metadatas[rows, columns] = np.array(part_metadatas, dtype=object)
        offset += part_width
    # Hits first, by distance, then by id; padding last.
    order = np.lexsort((ids.astype(str), distances, ~valid), axis=1)[:, :k]
    ids, distances, valid = (np.take_along_axis(a, order, 1) for a in (ids, distances, valid))
    if metadatas is not None:
        metadatas = np.take_along_axis(metadatas, order, 1)
    found = valid.sum(axis=1).tolist()
    metadata_rows = metadatas.tolist() if metadatas is not None else [[None] * ids.shape[1]] * n
    return [
        [_restore(i, d, m) for i, d, m in zip(id_row[:count], distance_row, metadata_row)]
        for id_row, distance_row, metadata_row, count in zip(
            ids.tolist(), distances.tolist(), metadata_rows, found
        )
    ]


def _best_by_score(hits: list[SearchResult], k: int) -> list[SearchResult]:
    """The k best of several shards' scored hits: by distance (the negated
    score), ties by id."""
    return sorted(hits, key=lambda h: (h.distance, h.id))[:k]


_RETRIEVERS = ("vector", "text", "sparse")


def _weights(weights: Any) -> list[float]:
    if weights is None:
        return [1.0, 1.0, 1.0]
    if isinstance(weights, dict):
        unknown = set(weights) - set(_RETRIEVERS)
        if unknown:
            raise ValueError(
                f"weights: unknown retriever '{sorted(unknown)[0]}' (use 'vector', 'text' or 'sparse')"
            )
        return [float(weights.get(name, 1.0)) for name in _RETRIEVERS]
    values = [float(w) for w in weights]
    if len(values) != 3:
        raise ValueError("weights must hold 3 numbers (vector, text, sparse)")
    return values


def _fuse(
    lists: Sequence[Sequence[SearchResult] | None], k: int, fusion: str, weights: list[float], rrf_k: float
) -> list[SearchResult]:
    """Reciprocal-rank or weighted min-max fusion, as Database.hybrid_search
    computes it."""
    if fusion not in ("rrf", "weighted"):
        raise ValueError(f"fusion must be 'rrf' or 'weighted', not '{fusion}'")
    if any(w < 0 or w != w for w in weights):
        raise ValueError("fusion weights must be finite and >= 0")
    fused: dict[str, list[Any]] = {}  # id -> [score, ranks, metadata]
    for which, hits in enumerate(lists):
        if not hits:
            continue
        sims = [-h.distance for h in hits]
        lo, hi = min(sims), max(sims)
        for rank, (hit, sim) in enumerate(zip(hits, sims), start=1):
            entry = fused.setdefault(hit.id, [0.0, [0, 0, 0], hit.metadata])
            entry[1][which] = rank
            if fusion == "rrf":
                entry[0] += weights[which] / (rrf_k + rank)
            else:
                entry[0] += weights[which] * ((sim - lo) / (hi - lo) if hi > lo else 1.0)
    best = sorted(fused.items(), key=lambda item: (-item[1][0], item[0]))[:k]
    restore5: Callable[..., SearchResult] = getattr(SearchResult, "_restore_scored")  # noqa: B009 - private
    return [
        restore5(
            id,
            -score,
            None if metadata is None else json.dumps(metadata, separators=(",", ":")),
            score,
            tuple(ranks),
        )
        for id, (score, ranks, metadata) in best
    ]


def _merge_arrays(
    per_shard: Sequence[tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]], k: int
) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]:
    """search_arrays answers of all shards merged row by row: the k closest
    by distance and then id; padding (None ids, NaN distances) sorts last."""
    if len(per_shard) == 1:
        return per_shard[0]
    ids = np.concatenate([i for i, _ in per_shard], axis=1)
    distances = np.concatenate([d for _, d in per_shard], axis=1)
    names = np.where(ids == None, "", ids).astype(str)  # noqa: E711 - elementwise
    order = np.lexsort((names, distances), axis=1)[:, :k]
    return np.take_along_axis(ids, order, 1), np.take_along_axis(distances, order, 1)


def _as_query_array(vectors: Any) -> Any:
    """A numeric NumPy batch as one contiguous float32 array (cheap to ship);
    anything else unchanged, for the shards to convert or refuse exactly as
    a Database does."""
    if isinstance(vectors, np.ndarray) and vectors.dtype.kind in "biuf":
        return np.ascontiguousarray(vectors, dtype=np.float32)
    return vectors
