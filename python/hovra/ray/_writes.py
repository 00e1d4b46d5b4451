"""The writes of a sharded collection that reach several shards: batches
split by shard (checked first, as one database checks them) and stored all
or nothing through the two-phase commit of _transactions."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
from _hovra import DuplicateIdError, HovraError

from ._common import ShardUnavailableError, _Collection, _Filter, _Metadata, _Vectors
from ._merge import _as_query_array
from ._transactions import run_atomic


class _Writes(_Collection):
    """add_many, upsert_many, delete_many and delete_where of
    ShardedDatabase; the collection supplies what _Collection names."""

    def _split(
        self, ids: Sequence[str], vectors: _Vectors, metadatas: Sequence[_Metadata | None] | None
    ) -> dict[int, tuple[list[str], Any, Any]]:
        """Checks a batch as a Database does before it changes anything
        (lengths, then each vector's dimension) and splits it by shard."""
        ids = list(ids)
        if len(ids) != len(vectors):
            raise ValueError(f"ids length ({len(ids)}) != vectors length ({len(vectors)})")
        if metadatas is not None and len(metadatas) != len(ids):
            raise ValueError(f"metadatas length ({len(metadatas)}) != ids length ({len(ids)})")
        vectors = _as_query_array(vectors)
        if isinstance(vectors, np.ndarray):
            if vectors.ndim == 2 and len(ids) and vectors.shape[1] != self._dim:
                raise HovraError(f"dimension mismatch: expected {self._dim}, got {vectors.shape[1]}")
        else:
            for row in vectors:
                try:
                    length = len(row)
                except TypeError:
                    continue  # the shard reports the wrong type
                if length != self._dim:
                    raise HovraError(f"dimension mismatch: expected {self._dim}, got {length}")
        parts = {}
        for shard, positions in self._route(ids).items():
            if isinstance(vectors, np.ndarray):
                part_vectors: Any = vectors[np.asarray(positions)]
            else:
                part_vectors = [vectors[p] for p in positions]
            part_metadatas = None if metadatas is None else [metadatas[p] for p in positions]
            parts[shard] = ([ids[p] for p in positions], part_vectors, part_metadatas)
        return parts

    def _split_sparse(self, ids: Sequence[str], sparse: Any) -> dict[int, Any]:
        """Each shard's rows of a batch's sparse vectors (a list, or a SciPy
        sparse matrix with one row per id)."""
        if sparse is None:
            return {}
        if len(ids) != (sparse.shape[0] if hasattr(sparse, "tocsr") else len(sparse)):
            raise ValueError("sparse must hold one row per id")
        parts = {}
        for shard, positions in self._route(list(ids)).items():
            if hasattr(sparse, "tocsr"):
                parts[shard] = sparse.tocsr()[np.asarray(positions)]
            else:
                parts[shard] = [sparse[p] for p in positions]
        return parts

    def add_many(
        self,
        ids: Sequence[str],
        vectors: _Vectors,
        metadatas: Sequence[_Metadata | None] | None = None,
        *,
        sparse: Any = None,
    ) -> None:
        """Add a batch of new records, each shard's part in parallel.

        All or nothing, as on one database: the lengths and every vector's
        dimension are checked first; a batch that reaches several shards is
        stored by a two-phase commit (each shard logs its part as prepared,
        the decision is recorded in ``path/transactions``, then every shard
        commits), so if a shard refuses its part (an id that exists, a
        duplicate id in the batch, bad metadata) or fails, no shard keeps
        anything of the batch. The error is the one a single database raises
        first.
        """
        self._check_open()
        self._routed(lambda: self._store_batch("add_many", list(ids), vectors, metadatas, sparse))

    def _store_batch(
        self,
        method: str,
        ids: list[str],
        vectors: _Vectors,
        metadatas: Sequence[_Metadata | None] | None,
        sparse: Any,
    ) -> None:
        """Splits a batch by shard under the current layout and stores the
        parts all or nothing."""
        parts = self._split(ids, vectors, metadatas)
        sparse_parts = self._split_sparse(ids, sparse)
        calls = {s: (parts[s], {"sparse": sparse_parts.get(s)}) for s in parts}
        run_atomic(self, method, calls, lambda failures: self._first_failure(failures, ids))

    @staticmethod
    def _first_failure(failures: list[tuple[int, BaseException]], ids: list[str]) -> BaseException:
        """The failure to report: an unavailable shard, else the duplicate id
        earliest in the batch (as one database reports it), else the first
        shard's error."""
        position = {id: i for i, id in reversed(list(enumerate(ids)))}

        def rank(item: tuple[int, BaseException]) -> tuple[int, int]:
            if isinstance(item[1], ShardUnavailableError):
                return 0, item[0]
            if isinstance(item[1], DuplicateIdError):
                return 1, position.get(getattr(item[1], "id", ""), len(ids))
            return 2, item[0]

        return min(failures, key=rank)[1]

    def upsert_many(
        self,
        ids: Sequence[str],
        vectors: _Vectors,
        metadatas: Sequence[_Metadata | None] | None = None,
        *,
        sparse: Any = None,
    ) -> None:
        """Batch upsert — inserts new vectors, updates existing ones.

        The lengths and dimensions are checked before any shard changes;
        the shards' parts are then applied all or nothing, as add_many's.
        """
        self._check_open()
        self._routed(lambda: self._store_batch("upsert_many", list(ids), vectors, metadatas, sparse))

    def delete_many(self, ids: Sequence[str]) -> int:
        """Delete the records of many ids at once, all or nothing across the
        shards; returns how many were deleted."""
        self._check_open()
        ids = list(ids)

        def run() -> int:
            groups = self._route(ids)
            if not groups:
                return 0
            calls: dict[int, tuple[Sequence[Any], dict[str, Any]]] = {
                s: (([ids[p] for p in positions],), {}) for s, positions in groups.items()
            }
            results = run_atomic(self, "delete_many", calls, lambda failures: failures[0][1])
            return sum(int(r) for r in results.values())

        deleted: int = self._routed(run)
        return deleted

    def delete_where(self, where_filter: _Filter) -> int:
        """Delete every record that matches a filter, on every shard, all or
        nothing; returns how many were deleted. Each shard chooses its
        records when it prepares its part."""
        self._check_open()
        if not isinstance(where_filter, dict):
            raise TypeError(f"argument 'where_filter': '{type(where_filter).__name__}' object is not a dict")

        def run() -> int:
            calls: dict[int, tuple[Sequence[Any], dict[str, Any]]] = {
                s: ((where_filter,), {}) for s in range(self.shards)
            }
            results = run_atomic(self, "delete_where", calls, lambda failures: failures[0][1])
            return sum(int(r) for r in results.values())

        deleted: int = self._routed(run)
        return deleted
