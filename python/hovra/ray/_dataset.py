"""Building a sharded collection from a Ray Dataset."""

from __future__ import annotations

import os
from collections import deque
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, SupportsIndex

import numpy as np
import numpy.typing as npt
import ray
import ray.exceptions

from ._collection import ShardedDatabase
from ._common import (
    _Metadata,
)

if TYPE_CHECKING:
    import ray.data


def _batch_records(
    batch: dict[str, Any], id_column: str, vector_column: str, metadata_columns: Sequence[str]
) -> tuple[list[str], npt.NDArray[np.float32], list[_Metadata | None] | None]:
    """One NumPy batch of a Dataset as ids, an (n, dim) float32 array and
    metadata dicts."""
    for column in (id_column, vector_column, *metadata_columns):
        if column not in batch:
            raise ValueError(f"the dataset has no column '{column}' (it has: {', '.join(batch)})")
    ids = batch[id_column].tolist()
    if ids and not all(isinstance(id, str) for id in ids):
        wrong = next(id for id in ids if not isinstance(id, str))
        raise TypeError(f"the id column '{id_column}' must hold str, not {type(wrong).__name__}")
    vectors = batch[vector_column]
    if vectors.dtype == object:  # a column of separate lists or arrays
        vectors = np.stack([np.asarray(v, dtype=np.float32) for v in vectors]) if len(vectors) else vectors
    vectors = np.ascontiguousarray(vectors, dtype=np.float32)
    if vectors.ndim != 2:
        raise ValueError(f"the vector column '{vector_column}' must hold vectors of one length")
    metadatas: list[_Metadata | None] | None = None
    if metadata_columns:
        columns = [batch[c].tolist() for c in metadata_columns]
        metadatas = [dict(zip(metadata_columns, values)) for values in zip(*columns)]
    return ids, vectors, metadatas


def write_dataset(
    ds: ray.data.Dataset,
    path: str | os.PathLike[str],
    *,
    id_column: str = "id",
    vector_column: str = "vector",
    metadata_columns: Sequence[str] = (),
    shards: int | None = None,
    dim: SupportsIndex | None = None,
    metric: str | None = None,
    m: SupportsIndex | None = None,
    ef_construction: SupportsIndex | None = None,
    quantize: bool = False,
    batch_size: int = 8192,
    max_in_flight: int = 2,
    save: bool = True,
    **options: Any,
) -> ShardedDatabase:
    """Stream a Ray Dataset into a sharded collection and return it.

    Blocks are pulled with ``ds.iter_batches`` (so the pipeline before, such
    as ``ds.map_batches(embed)``, runs in parallel and streams), split by
    shard and upserted, each shard's part as one batch; at most
    ``max_in_flight`` batches wait per shard, so a slow shard holds the
    stream back instead of piling up data. A row whose id is already in the
    collection replaces that record, so running the same write again is
    harmless.

    Args:
        ds: The dataset; one row per record.
        path: The collection's directory; an existing collection there is
            added to.
        id_column: The column of str ids.
        vector_column: The column of vectors (fixed-size tensors, lists or
            arrays of one length).
        metadata_columns: Columns stored as each record's metadata dict
            (values must survive a JSON round trip).
        shards, metric, m, ef_construction, quantize: For a new collection,
            as for :class:`ShardedDatabase`. ``dim`` defaults to the length
            of the first vector.
        batch_size: Rows per batch taken from the dataset.
        max_in_flight: Batches sent to one shard and not yet stored.
        save: Save every shard at the end (reopening is then fast);
            otherwise the records are in the shards' logs.
        **options: Other ShardedDatabase arguments (address, nodes,
            detached, sync_writes, max_restarts, shard_threads).

    Raises:
        ValueError: A missing column, vectors of different lengths, or any
            error of the shards (the rows sent before it stay stored).
        TypeError: Ids that are not str.
    """
    if max_in_flight < 1:
        raise ValueError("max_in_flight must be at least 1")
    columns = tuple(metadata_columns)
    db: ShardedDatabase | None = None

    def open_collection(first_dim: SupportsIndex | None) -> ShardedDatabase:
        return ShardedDatabase(
            path,
            dim=first_dim,
            metric=metric,
            m=m,
            ef_construction=ef_construction,
            quantize=quantize,
            shards=shards,
            **options,
        )

    if dim is not None:
        db = open_collection(dim)
    pending: list[deque[Any]] = []
    for batch in ds.iter_batches(batch_size=batch_size, batch_format="numpy"):
        ids, vectors, metadatas = _batch_records(batch, id_column, vector_column, columns)
        if not ids:
            continue
        if db is None:
            db = open_collection(vectors.shape[1])
        if not pending:
            pending = [deque() for _ in range(db.shards)]
        for shard, part in db._split(ids, vectors, metadatas).items():
            waiting = pending[shard]
            while len(waiting) >= max_in_flight:
                db._gather([waiting.popleft()], [shard])
            waiting.append(db._submit(shard, "upsert_many", *part))
    if db is None:
        db = open_collection(dim)
    for shard, waiting in enumerate(pending):
        db._gather(list(waiting), [shard] * len(waiting))
    if save:
        db.save()
    return db
