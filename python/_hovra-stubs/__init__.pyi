# Type stubs for the _hovra extension module (the engine behind `hovra`).
import os
from collections.abc import Iterator, Mapping, Sequence
from typing import Any, Literal, Protocol, SupportsFloat, SupportsIndex, TypedDict, final, overload

import numpy as np
import numpy.typing as npt

class _ArrowArray(Protocol):
    def __arrow_c_array__(self, requested_schema: object = None, /) -> tuple[object, object]: ...

class _ArrowStream(Protocol):
    def __arrow_c_stream__(self, requested_schema: object = None, /) -> object: ...

_ArrowData = _ArrowArray | _ArrowStream

# One vector: numbers in a sequence, or a NumPy array (a 1-D array, or a
# (1, dim) array where a query is expected).
_Vector = Sequence[SupportsFloat] | npt.NDArray[Any]
# Several vectors: an (n, dim) array, a sequence of vectors, or Arrow data
# (anything with __arrow_c_array__ or __arrow_c_stream__: pyarrow, pandas,
# Polars) holding fixed-size lists of floats.
_Vectors = Sequence[Sequence[SupportsFloat]] | npt.NDArray[Any] | _ArrowData
_Metadata = dict[str, Any]
_Metadatas = list[_Metadata] | list[_Metadata | None] | list[None]
_Filter = dict[str, Any]
_Path = str | os.PathLike[str] | os.PathLike[bytes]
# A sparse vector: {"indices": [...], "values": [...]} or a SciPy sparse row
# (any object with tocsr() and shape, typed loosely).
_Sparse = dict[str, Any] | Any
_SparseRows = list[dict[str, Any] | None] | list[dict[str, Any]] | Any

class _SparseVector(TypedDict):
    indices: list[int]
    values: list[float]

class _TextIndex(TypedDict):
    field: str
    language: str
    stemmer: bool
    stopwords: bool
    k1: float
    b: float
    building: bool
    indexed: int
    total: int
    documents: int
    terms: int

class _Explanation(TypedDict):
    path: Literal["walk", "candidate scan", "whole scan", "none"]
    candidates: int
    live_records: int
    index_decides: bool
    plan: str

class _CorpusStats(TypedDict):
    documents: int
    total_length: int
    document_frequency: dict[str, int]

# The engine's defaults and thresholds (read-only): m, ef_construction,
# metric, k, ef_search_floor and ef_search_sqrt_factor (the default
# ef_search is max(floor, k + floor(factor * sqrt(k)))), exact_scan_components,
# parallel_batch_above, fresh_scan_components (writers wait while the rows not
# yet linked hold more components), checkpoint_bytes and checkpoint_records.
DEFAULTS: Mapping[str, int | float | str]

def set_num_threads(n: SupportsIndex) -> None: ...
def get_num_threads() -> int: ...

class _Stats(TypedDict):
    num_vectors: int
    num_deleted: int
    num_layers: int
    avg_degree_layer0: float
    max_degree_layer0: int
    min_degree_layer0: int
    memory_vectors_bytes: int
    memory_graph_bytes: int
    memory_quantized_bytes: int
    uses_brute_force: bool
    uses_quantized_search: bool
    fresh_rows: int

@final
class SearchResult:
    @property
    def id(self) -> str: ...
    @property
    def distance(self) -> float: ...
    @property
    def metadata(self) -> _Metadata | None: ...
    @property
    def score(self) -> float | None: ...
    @property
    def ranks(self) -> dict[str, int] | None: ...
    @overload
    def __getitem__(self, key: Literal[0], /) -> str: ...
    @overload
    def __getitem__(self, key: Literal[1], /) -> float: ...
    @overload
    def __getitem__(self, key: Literal[2], /) -> _Metadata | None: ...
    @overload
    def __getitem__(self, key: SupportsIndex, /) -> str | float | _Metadata | None: ...
    def __iter__(self) -> Iterator[str | float | _Metadata | None]: ...
    def __len__(self) -> int: ...
    def __eq__(self, value: object, /) -> bool: ...
    def __ne__(self, value: object, /) -> bool: ...
    def __hash__(self) -> int: ...
    def __reduce__(self) -> tuple[Any, tuple[Any, ...]]: ...

@final
class Database:
    def __new__(
        cls,
        path: _Path,
        dim: SupportsIndex | None = None,
        metric: str | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        quantize: bool | np.bool_ | Literal["sq8", "binary"] = False,
        *,
        sync_writes: bool | np.bool_ = False,
        text_field: str | None = None,
        read_only: bool = False,
        refresh_interval: float | None = None,
        exact_threshold: SupportsIndex | None = None,
        autocheckpoint: bool | np.bool_ = True,
        checkpoint_bytes: SupportsIndex | None = None,
        checkpoint_records: SupportsIndex | None = None,
    ) -> Database: ...
    @property
    def dim(self) -> int: ...
    @property
    def metric(self) -> str: ...
    @property
    def total_slots(self) -> int: ...
    @property
    def deleted_count(self) -> int: ...
    @property
    def quantized_search(self) -> bool: ...
    @property
    def binary_search(self) -> bool: ...
    @property
    def text_index(self) -> _TextIndex | None: ...
    @property
    def read_only(self) -> bool: ...
    def add(
        self, id: str, vector: _Vector, metadata: _Metadata | None = None, *, sparse: _Sparse | None = None
    ) -> None: ...
    def upsert(
        self, id: str, vector: _Vector, metadata: _Metadata | None = None, *, sparse: _Sparse | None = None
    ) -> None: ...
    def add_many(
        self,
        ids: Sequence[str],
        vectors: _Vectors,
        metadatas: _Metadatas | None = None,
        *,
        show_progress: bool | np.bool_ = False,
        sparse: _SparseRows | None = None,
        prepare: str | None = None,
    ) -> None: ...
    def upsert_many(
        self,
        ids: Sequence[str],
        vectors: _Vectors,
        metadatas: _Metadatas | None = None,
        *,
        show_progress: bool | np.bool_ = False,
        sparse: _SparseRows | None = None,
        prepare: str | None = None,
    ) -> None: ...
    def search(
        self,
        vector: _Vector,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> list[SearchResult]: ...
    def search_many(
        self,
        vectors: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
        *,
        show_progress: bool | np.bool_ = False,
    ) -> list[list[SearchResult]]: ...
    @overload
    def search_arrays(
        self,
        queries: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
        *,
        show_progress: bool | np.bool_ = False,
        arrow: Literal[False] = False,
    ) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]: ...
    @overload
    def search_arrays(
        self,
        queries: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
        *,
        show_progress: bool | np.bool_ = False,
        arrow: Literal[True],
    ) -> Any: ...
    def to_arrow(
        self,
        where_filter: _Filter | None = None,
        *,
        include_vectors: bool | np.bool_ = True,
        flatten_metadata: bool | np.bool_ = False,
    ) -> Any: ...
    def get(self, id: str) -> tuple[list[float], _Metadata | None]: ...
    def get_many(self, ids: Sequence[str]) -> list[tuple[list[float], _Metadata | None] | None]: ...
    def records(
        self,
        where_filter: _Filter | None = None,
        *,
        limit: SupportsIndex | None = None,
        after: str | None = None,
        include_vectors: bool | np.bool_ = True,
    ) -> Iterator[tuple[str, list[float] | None, _Metadata | None]]: ...
    def wait_indexed(
        self, timeout: SupportsFloat | None = None, *, show_progress: bool | np.bool_ = False
    ) -> bool: ...
    def delete_many(self, ids: Sequence[str], *, prepare: str | None = None) -> int: ...
    def delete_where(self, where_filter: _Filter, *, prepare: str | None = None) -> int: ...
    def commit_prepared(self, transaction: str) -> bool: ...
    def abort_prepared(self, transaction: str) -> bool: ...
    def prepared_transactions(self) -> list[str]: ...
    def explain(
        self,
        where_filter: _Filter | None = None,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
    ) -> _Explanation: ...
    def update_many(
        self,
        ids: Sequence[str],
        vectors: _Vectors | None = None,
        metadatas: list[_Metadata | None] | None = None,
    ) -> None: ...
    def delete(self, id: str) -> bool: ...
    def update(
        self,
        id: str,
        vector: _Vector | None = None,
        metadata: _Metadata | None = None,
        *,
        sparse: _Sparse | None = None,
    ) -> None: ...
    def create_text_index(
        self,
        field: str,
        *,
        language: str = "english",
        stemmer: bool | np.bool_ = True,
        stopwords: bool | np.bool_ = True,
        k1: SupportsFloat = 1.2,
        b: SupportsFloat = 0.75,
        wait: bool | np.bool_ = False,
        show_progress: bool | np.bool_ = False,
    ) -> None: ...
    def drop_text_index(self) -> None: ...
    def wait_text_index(self, *, show_progress: bool | np.bool_ = False) -> None: ...
    def text_search(
        self,
        text: str,
        k: SupportsIndex = 10,
        where_filter: _Filter | None = None,
        *,
        corpus_stats: _CorpusStats | None = None,
    ) -> list[SearchResult]: ...
    def text_stats(self, text: str) -> _CorpusStats: ...
    def sparse_search(
        self, sparse_query: _Sparse, k: SupportsIndex = 10, where_filter: _Filter | None = None
    ) -> list[SearchResult]: ...
    def hybrid_search(
        self,
        vector: _Vector | None = None,
        text: str | None = None,
        sparse: _Sparse | None = None,
        k: SupportsIndex = 10,
        where_filter: _Filter | None = None,
        fusion: Literal["rrf", "weighted"] = "rrf",
        weights: dict[str, SupportsFloat] | Sequence[SupportsFloat] | None = None,
        *,
        candidates: SupportsIndex | None = None,
        rrf_k: SupportsFloat = 60.0,
        ef_search: SupportsIndex | None = None,
    ) -> list[SearchResult]: ...
    def get_sparse(self, id: str) -> _SparseVector | None: ...
    def count(self, where_filter: _Filter | None = None) -> int: ...
    def ids(self) -> list[str]: ...
    def save(self, *, show_progress: bool | np.bool_ = False) -> None: ...
    def compact(self, *, show_progress: bool | np.bool_ = False) -> None: ...
    def enable_quantized_search(self, mode: Literal["sq8", "binary"] = "sq8") -> None: ...
    def disable_quantized_search(self) -> None: ...
    def stats(self) -> _Stats: ...
    def memory_usage(self) -> dict[str, int]: ...
    def close(self, save: bool | np.bool_ = True) -> None: ...
    def refresh(self) -> None: ...
    def verify(self) -> None: ...
    def __len__(self) -> int: ...
    def __contains__(self, key: object, /) -> bool: ...
    def __enter__(self) -> Database: ...
    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]: ...

def _inspect(path: _Path, snapshot: bool | np.bool_ = False) -> dict[str, Any]: ...
def _repair(path: _Path) -> dict[str, Any]: ...
def _save_open_databases() -> None: ...

class HovraError(ValueError): ...

class DuplicateIdError(HovraError):
    id: str

class NotFoundError(HovraError):
    id: str

class DatabaseInUseError(HovraError): ...
class DatabaseClosedError(HovraError): ...
class CorruptDataError(HovraError): ...
class DatabaseNotFoundError(HovraError): ...
class ReadOnlyError(HovraError): ...

class TransactionConflictError(HovraError):
    id: str
