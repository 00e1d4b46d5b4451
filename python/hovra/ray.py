"""Sharded hovra collections on Ray: more records than one machine holds, more
queries than its cores answer.

Install the extra (``pip install "hovra[ray]"``), then::

    from hovra.ray import ShardedDatabase, write_dataset

    db = ShardedDatabase("/data/vectors", dim=384, shards=4)   # starts Ray locally if needed
    db.add_many(ids, matrix, metadatas)
    hits = db.search(query, k=10, where_filter={"lang": "en"})

    # or build it from a Ray Dataset at the end of an embedding pipeline
    db = write_dataset(ds.map_batches(embed), "/data/vectors", shards=4)

A sharded collection is a directory ``path`` holding ``shards.json`` and one
ordinary hovra database per shard (``path/shard-000``, ``path/shard-001``,
...). Each shard is served by one Ray actor that owns its directory (and its
lock) on the node where the directory lives. A record lives on shard
``zlib.crc32(id.encode("utf-8")) % shards``; searches ask every shard and
merge the answers, so results equal those of one database holding all the
records (up to the graph search's own approximation on each shard).
"""

from __future__ import annotations

import itertools
import json
import os
import tempfile
import time
import uuid
import weakref
import zlib
from collections import deque
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any, Literal, Optional, SupportsFloat, SupportsIndex, Union

try:
    import ray
    import ray.actor
    import ray.exceptions
    from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy
except ImportError:  # pragma: no cover - depends on the environment
    raise ImportError("hovra.ray needs Ray; install it with: pip install 'hovra[ray]'") from None

import _hovra
import numpy as np
import numpy.typing as npt
from _hovra import (
    Database,
    DatabaseClosedError,
    DatabaseInUseError,
    DatabaseNotFoundError,
    DuplicateIdError,
    HovraError,
    SearchResult,
    set_num_threads,
)

if TYPE_CHECKING:
    import ray.data

# Ray functions without type annotations, called through an untyped name.
_ray: Any = ray

__all__ = ["ShardedDatabase", "ShardUnavailableError", "shard_of", "write_dataset"]

LAYOUT_FILE = "shards.json"
LAYOUT_FORMAT = 1
ROUTING = "crc32(utf-8 id) % shards"
NAMESPACE = "hovra"

_Vector = Union[Sequence[SupportsFloat], npt.NDArray[Any]]
_Vectors = Union[Sequence[Sequence[SupportsFloat]], npt.NDArray[Any]]
_Metadata = dict[str, Any]
_Filter = dict[str, Any]

# Database methods that a shard answers without changing anything; Ray may
# retry them on a restarted shard actor.
_READS = frozenset(
    {
        "get",
        "count",
        "ids",
        "stats",
        "verify",
        "__contains__",
        "__len__",
        "total_slots",
        "deleted_count",
        "quantized_search",
        "text_index",
        "text_stats",
        "text_search",
        "sparse_search",
        "get_sparse",
        "wait_text_index",
    }
)
# Database methods that change a shard; never retried, since a call cut off
# by a crash may or may not have been applied.
_WRITES = frozenset(
    {
        "add",
        "upsert",
        "update",
        "delete",
        "add_many",
        "upsert_many",
        "save",
        "compact",
        "enable_quantized_search",
        "disable_quantized_search",
        "create_text_index",
        "drop_text_index",
    }
)
_PROPERTIES = frozenset({"total_slots", "deleted_count", "quantized_search", "text_index"})


def _error_class(name: str) -> type[Exception]:
    """The exception class a shard's constructor raised, from the last line of
    the traceback Ray reports for a failed actor start (which carries the
    class's name only): a HovraError subclass, TypeError or OverflowError, else
    ValueError."""
    name = name.rsplit(".", 1)[-1]
    found = getattr(_hovra, name, None)
    if isinstance(found, type) and issubclass(found, HovraError):
        return found
    return {"TypeError": TypeError, "OverflowError": OverflowError}.get(name, ValueError)


def shard_of(id: str, shards: int) -> int:
    """The shard that holds the record ``id`` in a collection of ``shards``
    shards: ``zlib.crc32(id.encode("utf-8")) % shards``. The rule is stable
    across processes and Python versions (unlike ``hash()``)."""
    return zlib.crc32(id.encode("utf-8")) % shards


class ShardUnavailableError(RuntimeError):
    """A call reached a shard whose actor has died or is restarting.

    ``shard`` is the shard's number. A write that fails this way may or may
    not have been applied; every write that returned normally was logged and
    survives the actor's restart.
    """

    def __init__(self, message: str, shard: int) -> None:
        super().__init__(message)
        self.shard = shard
        self.dead = False  # True: the actor is gone for good, not restarting


# ---------------------------------------------------------------------------
# Files of a sharded collection
# ---------------------------------------------------------------------------


def _shard_dir(root: str, index: int) -> str:
    return os.path.join(root, f"shard-{index:03d}")


def _read_layout(root: str) -> dict[str, Any] | None:
    """The parsed ``shards.json`` of ``root``, or None when there is none."""
    try:
        with open(os.path.join(root, LAYOUT_FILE), encoding="utf-8") as f:
            layout = json.load(f)
    except FileNotFoundError:
        return None
    except ValueError:  # not JSON, or not UTF-8
        layout = None
    if (
        not isinstance(layout, dict)
        or layout.get("format_version") != LAYOUT_FORMAT
        or not isinstance(layout.get("shards"), int)
        or layout["shards"] < 1
        or layout.get("routing") != ROUTING
    ):
        raise ValueError(f"'{os.path.join(root, LAYOUT_FILE)}' is not a layout this version of hovra reads")
    return layout


def _write_layout(root: str, layout: dict[str, Any]) -> None:
    """Writes ``shards.json`` unless it is there. Several shards on shared
    storage may do this at once: each writes its own temporary file and
    renames it into place, and all write the same bytes."""
    os.makedirs(root, exist_ok=True)
    target = os.path.join(root, LAYOUT_FILE)
    if os.path.exists(target):
        return
    temporary = f"{target}.{uuid.uuid4().hex}.tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        json.dump(layout, f, indent=2)
        f.write("\n")
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, target)


def _probe(root: str) -> tuple[dict[str, Any] | None, list[int]]:
    """Runs on one node: that node's copy of the layout, and the shards whose
    directories there hold a database."""
    layout = _read_layout(root)
    try:
        names = os.listdir(root)
    except OSError:
        names = []
    held = []
    for name in names:
        if name.startswith("shard-") and name[6:].isdigit():
            directory = os.path.join(root, name)
            if any(os.path.exists(os.path.join(directory, f)) for f in ("graph.hovra", "wal.hovra")):
                held.append(int(name[6:]))
    return layout, sorted(held)


_probe_task: Any = ray.remote(num_cpus=0, max_retries=0)(_probe)


# ---------------------------------------------------------------------------
# The shard actor
# ---------------------------------------------------------------------------


class _Shard:
    """One shard: an ordinary Database in ``root/shard-NNN`` on this node.

    Ray runs one call at a time per shard, in the order each caller sent
    them; batches use the database's own worker threads. After a crash Ray
    starts the actor again, and it reopens its directory: the log replays
    every change that was acknowledged.
    """

    def __init__(
        self,
        root: str,
        index: int,
        layout: dict[str, Any],
        create: dict[str, Any] | None,
        options: dict[str, Any],
        threads: int | None,
    ) -> None:
        if threads:
            set_num_threads(threads)  # the actor's process has a pool of its own
        self.index = index
        self.layout = layout
        self.path = _shard_dir(root, index)
        restarted = ray.get_runtime_context().was_current_actor_reconstructed
        if create is not None and not restarted:
            self.db = self._open(create, options)
            # Written once the database exists, so a refused creation (say,
            # an unknown metric) leaves nothing behind.
            _write_layout(root, layout)
        else:
            # A restart, or an existing shard: never create an empty database
            # in place of a directory that has gone missing.
            self.db = self._open({}, options)

    def _open(self, create: dict[str, Any], options: dict[str, Any], wait: float = 120.0) -> Database:
        # A restarted actor may start while the process it replaces is still
        # exiting and holding the directory's lock; wait for the lock.
        deadline = time.monotonic() + wait
        pause = 0.05
        while True:
            try:
                return Database(self.path, **create, **options)
            except DatabaseInUseError:
                if time.monotonic() > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 1.0)

    def info(self) -> dict[str, Any]:
        return {
            "dim": self.db.dim,
            "metric": self.db.metric,
            "pid": os.getpid(),
            "layout": self.layout,
            "node_id": ray.get_runtime_context().get_node_id(),
        }

    def call(self, name: str, *args: Any, **kwargs: Any) -> Any:
        if name in _PROPERTIES:
            return getattr(self.db, name)
        if name not in _READS and name not in _WRITES:
            raise AttributeError(name)
        return getattr(self.db, name)(*args, **kwargs)

    def search(self, vector: Any, **options: Any) -> _Packed:
        return _pack([self.db.search(vector, **options)])

    def search_many(self, vectors: Any, **options: Any) -> _Packed:
        return _pack(self.db.search_many(vectors, **options))

    def search_arrays(
        self, queries: Any, **options: Any
    ) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]:
        arrays: tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]] = self.db.search_arrays(
            queries, **options
        )
        return arrays

    def delete_ids(self, ids: list[str]) -> None:
        for id in ids:
            self.db.delete(id)

    def timed_search_many(self, vectors: Any, **options: Any) -> float:
        """Seconds the shard spends on search_many, results dropped (for
        measuring what the fan-out and the merge add)."""
        start = time.perf_counter()
        self.db.search_many(vectors, **options)
        return time.perf_counter() - start

    def close(self) -> None:
        self.db.close()
        _ray.actor.exit_actor()


_ShardActor: Any = ray.remote(_Shard)
# Reads may be retried on a restarted actor; writes are not.
_RETRIED_READS = 5
_START_ATTEMPTS = 4


# ---------------------------------------------------------------------------
# Merging per-shard answers
# ---------------------------------------------------------------------------

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


# ---------------------------------------------------------------------------
# Ray connection and placement
# ---------------------------------------------------------------------------


def _connect(address: str | None) -> None:
    if ray.is_initialized():
        return
    if address is None:
        ray.init()  # a cluster named by RAY_ADDRESS, else a local Ray with this machine's cores
    else:
        ray.init(address=address)


def _alive_nodes() -> list[dict[str, Any]]:
    nodes = [n for n in _ray.nodes() if n.get("Alive")]
    return sorted(nodes, key=lambda n: (n["NodeManagerAddress"], n["NodeID"]))


def _candidate_nodes(wanted: Sequence[str] | None) -> list[str]:
    """Node ids to deal new shards over: those of ``wanted`` (node ids or IP
    addresses), or else every live node that has CPUs."""
    alive = _alive_nodes()
    if wanted is not None:
        chosen = []
        for name in wanted:
            match = [n["NodeID"] for n in alive if name in (n["NodeID"], n["NodeManagerAddress"])]
            if not match:
                raise ValueError(f"no live Ray node has the id or address '{name}'")
            chosen.append(match[0])
    else:
        chosen = [n["NodeID"] for n in alive if n.get("Resources", {}).get("CPU", 0) > 0]
        chosen = chosen or [n["NodeID"] for n in alive]
    if not chosen:
        raise ValueError("the Ray cluster has no live node")
    return chosen


def _on_node(node_id: str) -> NodeAffinitySchedulingStrategy:
    return NodeAffinitySchedulingStrategy(node_id=node_id, soft=False)


def _actor_name(root: str, index: int) -> str:
    return f"{root}/shard-{index:03d}"


def _named_actor(name: str) -> Any:
    try:
        return ray.get_actor(name, namespace=NAMESPACE)
    except ValueError:
        return None


def _layout_of_live_shards(root: str) -> dict[str, Any] | None:
    """The layout that live shard actors of ``root`` (started by this or
    another driver) were started with, or None."""
    first = _named_actor(_actor_name(root, 0))
    if first is None:
        return None
    try:
        layout: dict[str, Any] = ray.get(first.info.remote())["layout"]
        return layout
    except ray.exceptions.RayError:
        return None


def _locate(root: str) -> tuple[dict[str, Any] | None, list[str | None], bool]:
    """Asks every live node for its copy of the layout and the shard
    databases it holds. Returns the layout (None if no node has one); per
    shard, the node to run it on (None if no node holds it; a shard that
    several nodes hold, on shared storage, goes to one of them, round
    robin); and whether any node holds a shard database at all."""
    alive = _alive_nodes()
    try:
        answers = ray.get(
            [_probe_task.options(scheduling_strategy=_on_node(n["NodeID"])).remote(root) for n in alive]
        )
    except ray.exceptions.RayTaskError as error:
        cause = getattr(error, "cause", None)
        raise (cause if isinstance(cause, Exception) else error) from None
    held_anywhere = any(held for _, held in answers)
    layouts = [a[0] for a in answers if a[0] is not None]
    if not layouts:
        return None, [], held_anywhere
    layout = layouts[0]
    if any(other["shards"] != layout["shards"] for other in layouts):
        raise ValueError(f"the nodes hold different layouts for '{root}'")
    placement: list[str | None] = []
    for index in range(layout["shards"]):
        holders = [n["NodeID"] for n, (_, held) in zip(alive, answers) if index in held]
        placement.append(holders[index % len(holders)] if holders else None)
    return layout, placement, held_anywhere


def _check_arguments(create: dict[str, Any]) -> None:
    """Raises what Database raises for these creation arguments (a bad
    metric name, m below 2, a wrong type), before any shard is touched: a
    throwaway database in a scratch directory checks them."""
    with tempfile.TemporaryDirectory(prefix="hovra-check-") as scratch:
        Database(os.path.join(scratch, "db"), **create).close()


class _Settings:
    def __init__(
        self, options: dict[str, Any], detached: bool, max_restarts: int, threads: int | None
    ) -> None:
        self.options = options
        self.detached = detached
        self.max_restarts = max_restarts
        self.threads = threads


class _Shards:
    """The shard actors of one collection, shared by every ShardedDatabase
    of its path in this process.

    Ray stops a non-detached actor once the process that started it drops
    its handles (handles looked up by name do not count), so the handles
    live here, as long as any of those objects does; the last one to close
    stops the actors.
    """

    def __init__(
        self,
        root: str,
        layout: dict[str, Any],
        create: dict[str, Any] | None,
        settings: _Settings,
        placement: list[str | None] | None,
    ) -> None:
        self.root = root
        self.layout = layout
        self.create = create
        self.settings = settings
        self.placement = placement
        self.users = 0
        self.stopped = False
        self.actors: list[Any] = [self.start(index) for index in range(self.count)]

    @property
    def count(self) -> int:
        count: int = self.layout["shards"]
        return count

    def start(self, index: int) -> Any:
        """The live actor of shard ``index``, found by name (started by
        another driver) or started on the node that holds its directory."""
        actor = _named_actor(_actor_name(self.root, index))
        if actor is not None:
            return actor
        if self.placement is None:
            _, self.placement, _ = _locate(self.root)
        node = self.placement[index] if index < len(self.placement) else None
        if node is None:
            raise ValueError(
                f"shard {index} of '{self.root}': no live Ray node holds its directory "
                f"'{_shard_dir(self.root, index)}'"
            )
        settings = self.settings
        return _ShardActor.options(
            name=_actor_name(self.root, index),
            namespace=NAMESPACE,
            get_if_exists=True,
            lifetime="detached" if settings.detached else None,
            num_cpus=0,
            max_restarts=settings.max_restarts,
            max_task_retries=0,
            scheduling_strategy=_on_node(node),
        ).remote(self.root, index, self.layout, self.create, settings.options, settings.threads)

    def restart(self, index: int) -> None:
        """Replaces the handle of a shard whose actor has died for good. Ray
        keeps a dead actor's name while handles to it exist; killing it
        frees the name."""
        ray.kill(self.actors[index], no_restart=True)
        self.actors[index] = None
        self.placement = None
        self.actors[index] = self.start(index)

    def stop(self) -> None:
        """Closes every shard's database and ends its actor."""
        self.stopped = True
        refs = [actor.close.remote() for actor in self.actors]
        for ref in refs:
            try:
                ray.get(ref)
            except ray.exceptions.RayError:
                pass  # the actor exits while answering, or was gone already
        for actor in self.actors:
            ray.kill(actor, no_restart=True)
        key = _shared_key(self.root)
        if _SHARED.get(key) is self:
            del _SHARED[key]


# Per Ray cluster and path (a program may shut Ray down and start it again).
_SHARED: weakref.WeakValueDictionary[tuple[str, str], _Shards] = weakref.WeakValueDictionary()


def _shared_key(root: str) -> tuple[str, str]:
    try:
        cluster = str(ray.get_runtime_context().gcs_address)
    except Exception:  # not available through every kind of connection
        cluster = ""
    return cluster, root


# ---------------------------------------------------------------------------
# The collection
# ---------------------------------------------------------------------------


class ShardedDatabase:
    """A hovra collection split over shards served by Ray actors.

    Each shard is an ordinary :class:`hovra.Database` in ``path/shard-NNN``,
    owned (with its directory lock) by one Ray actor pinned to the node that
    holds the directory. A record lives on shard
    ``zlib.crc32(id.encode("utf-8")) % shards`` (see :func:`shard_of`);
    ``path/shards.json`` records the shard count, the routing rule and a
    format version. Methods and their arguments are those of
    :class:`hovra.Database`; searches ask every shard with the same k,
    ef_search, where_filter and max_distance and merge the hits by distance
    (ties by id), so they equal the results of one database holding all the
    records. A batch of queries goes to each shard as one NumPy array.

    Args:
        path: The collection's directory (str or os.PathLike). A relative
            path is made absolute against the driver's working directory;
            on a cluster it names the same place on every node.
        dim, metric, m, ef_construction, quantize, sync_writes: As for
            :class:`hovra.Database`, for every shard. Without ``dim`` an
            existing collection is opened and nothing is created.
        shards: The number of shards of a new collection (default: one per
            live Ray node with CPUs). For an existing collection it must be
            None or the stored count.
        address: The Ray cluster to join when Ray is not running in this
            process yet ("auto", "ray://head:10001", ...). None joins the
            cluster named by RAY_ADDRESS, or else starts a local Ray with
            this machine's cores.
        nodes: For a new collection, the Ray node ids or IP addresses to
            deal the shards over, round robin (default: every live node with
            CPUs). An existing collection's shards go where their
            directories are.
        detached: Keep the shard actors alive after this driver exits, until
            :meth:`close`. By default they stop when the driver that started
            them exits or drops its last ShardedDatabase for the path.
        max_restarts: How often Ray restarts a crashed shard actor (-1:
            always, while its node lives).
        shard_threads: Worker threads of each shard's database (default:
            one per core of its node).

    Shard actors reserve no CPU, so more shards than cores still start.
    They are named after the path in the Ray namespace "hovra": a second
    driver, or a second ShardedDatabase in this one, reuses the live actors
    instead of opening the directories again. A crashed actor is restarted
    on its node and reopens its directory, replaying its log; a call that
    meets a dead or restarting shard raises :class:`ShardUnavailableError`
    naming the shard (reads are retried a few times first). A shard whose
    node is lost is lost with it, unless ``path`` sits on storage that
    every node mounts.

    Raises:
        ValueError: "database not found — specify dim to create a new one"
            when ``dim`` is None and no node holds a collection at ``path``;
            a ``shards`` count that differs from the stored one; a shard
            whose directory no live node holds; any error of opening a
            shard's database (damaged files, a directory in use by a process
            that is not a shard actor).
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        dim: SupportsIndex | None = None,
        metric: str | None = None,
        m: SupportsIndex | None = None,
        ef_construction: SupportsIndex | None = None,
        quantize: bool = False,
        *,
        shards: int | None = None,
        sync_writes: bool = False,
        address: str | None = None,
        nodes: Sequence[str] | None = None,
        detached: bool = False,
        max_restarts: int = -1,
        shard_threads: int | None = None,
    ) -> None:
        if shards is not None and (isinstance(shards, bool) or not isinstance(shards, int) or shards < 1):
            raise ValueError("shards must be a positive int")
        self._path = os.path.abspath(os.fsdecode(os.fspath(path)))
        self._closed = True
        _connect(address)
        shared = _SHARED.get(_shared_key(self._path))
        if shared is None or shared.stopped:
            create = None
            if dim is not None:
                create = {
                    "dim": dim,
                    "metric": metric,
                    "m": m,
                    "ef_construction": ef_construction,
                    "quantize": quantize,
                }
                _check_arguments(create)
            settings = _Settings({"sync_writes": sync_writes}, detached, max_restarts, shard_threads)
            shared = self._discover(shards, create, nodes, settings)
        elif shards is not None and shards != shared.count:
            raise ValueError(f"the collection at '{self._path}' has {shared.count} shards, not {shards}")
        self._shared: _Shards | None = shared
        self._count = shared.count
        info = self._handshake(shared)
        self._dim: int = info[0]["dim"]
        self._metric: str = info[0]["metric"]
        _SHARED[_shared_key(self._path)] = shared
        shared.users += 1
        self._closed = False

    # -- starting the shards -------------------------------------------------

    @property
    def _actors(self) -> list[Any]:
        if self._shared is None:
            raise DatabaseClosedError("database is closed")
        return self._shared.actors

    def _discover(
        self,
        shards: int | None,
        create: dict[str, Any] | None,
        nodes: Sequence[str] | None,
        settings: _Settings,
    ) -> _Shards:
        """Finds the collection (through live shard actors, else on the
        nodes' disks) or lays out a new one, and starts its shard actors."""
        layout = _layout_of_live_shards(self._path)
        placement: list[str | None] | None = None
        orphans = False
        if layout is None:
            layout, placement, orphans = _locate(self._path)
        if layout is not None:
            if shards is not None and shards != layout["shards"]:
                raise ValueError(
                    f"the collection at '{self._path}' has {layout['shards']} shards, not {shards}"
                )
            create = None
        else:
            if create is None:
                raise DatabaseNotFoundError("database not found — specify dim to create a new one")
            if orphans:
                # Their records were routed by a shard count nobody knows.
                raise ValueError(
                    f"'{self._path}' holds shard databases but no {LAYOUT_FILE}; "
                    f"restore the file or move the shard directories away"
                )
            candidates = _candidate_nodes(nodes)
            count = shards if shards is not None else len(candidates)
            layout = {"format_version": LAYOUT_FORMAT, "shards": count, "routing": ROUTING}
            placement = [candidates[i % len(candidates)] for i in range(count)]
        return _Shards(self._path, layout, create, settings, placement)

    def _handshake(self, shared: _Shards) -> list[dict[str, Any]]:
        """Waits until every shard answers. A shard found by name may have
        been stopping (its last user closed it); it is started again."""
        for attempt in range(_START_ATTEMPTS):
            outcomes = [self._outcome(i, actor.info.remote()) for i, actor in enumerate(shared.actors)]
            failures = [o for o in outcomes if isinstance(o, BaseException)]
            if not failures:
                return outcomes
            if attempt == _START_ATTEMPTS - 1 or not all(
                isinstance(f, ShardUnavailableError) for f in failures
            ):
                raise failures[0]
            for index, outcome in enumerate(outcomes):
                if isinstance(outcome, ShardUnavailableError) and outcome.dead:
                    shared.restart(index)
            time.sleep(0.5)
        raise AssertionError("unreachable")

    # -- calling the shards ----------------------------------------------------

    def _check_open(self) -> None:
        if self._closed or self._shared is None or self._shared.stopped:
            raise DatabaseClosedError("database is closed")

    def _unavailable(self, index: int, error: BaseException) -> ShardUnavailableError:
        detail = str(error).strip().splitlines()[0] if str(error).strip() else type(error).__name__
        failed = ShardUnavailableError(
            f"shard {index} of '{self._path}' is unavailable (its actor died or is restarting): {detail}",
            index,
        )
        failed.dead = isinstance(error, ray.exceptions.ActorDiedError)
        failed.__cause__ = error
        return failed

    def _outcome(self, index: int, ref: Any) -> Any:
        """The value of one shard call, or the exception it ended with: the
        database's own error, or ShardUnavailableError."""
        try:
            return ray.get(ref)
        except ray.exceptions.RayTaskError as error:
            cause = getattr(error, "cause", None)
            return cause if isinstance(cause, BaseException) else error
        except ray.exceptions.RayActorError as error:
            if getattr(error, "_actor_init_failed", False):
                # The shard could not open its directory: say why, with the
                # database's own exception type.
                text = str(getattr(error, "error_msg", error))
                lines = [line.strip() for line in text.splitlines() if line.strip()]
                kind, _, message = (lines[-1] if lines else text).partition(": ")
                return _error_class(kind)(f"shard {index} of '{self._path}': {message or kind}")
            return self._unavailable(index, error)
        except ray.exceptions.RayError as error:  # its process or node failed under the call
            return self._unavailable(index, error)

    def _gather(self, refs: Sequence[Any], shards: Sequence[int] | None = None) -> list[Any]:
        """Waits for every call, then raises the first failure in shard order
        or returns the values."""
        indexes = list(shards) if shards is not None else list(range(len(refs)))
        outcomes = [self._outcome(i, ref) for i, ref in zip(indexes, refs)]
        for outcome in outcomes:
            if isinstance(outcome, BaseException):
                raise outcome
        return outcomes

    def _call(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any:
        self._check_open()
        return self._gather([self._submit(index, name, *args, **kwargs)], [index])[0]

    def _submit(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any:
        method = self._actors[index].call
        if name in _READS:
            method = method.options(max_task_retries=_RETRIED_READS)
        return method.remote(name, *args, **kwargs)

    def _fan_out(self, name: str, *args: Any, **kwargs: Any) -> list[Any]:
        self._check_open()
        return self._gather([self._submit(i, name, *args, **kwargs) for i in range(self._count)])

    def _search_refs(self, method: str, query: Any, options: dict[str, Any]) -> list[Any]:
        self._check_open()
        refs = []
        for actor in self._actors:
            remote = getattr(actor, method).options(max_task_retries=_RETRIED_READS)
            refs.append(remote.remote(query, **options))
        return refs

    def _route(self, ids: Sequence[str]) -> dict[int, list[int]]:
        """Positions of ``ids`` grouped by shard, in batch order."""
        count = self._count
        groups: dict[int, list[int]] = {}
        for position, id in enumerate(ids):
            if not isinstance(id, str):
                raise TypeError(
                    f"argument 'ids': '{type(id).__name__}' object cannot be converted to 'PyString'"
                )
            groups.setdefault(shard_of(id, count), []).append(position)
        return groups

    def _owner(self, id: str) -> int:
        self._check_open()
        if not isinstance(id, str):
            raise TypeError(f"argument 'id': '{type(id).__name__}' object cannot be converted to 'PyString'")
        return shard_of(id, self._count)

    # -- properties --------------------------------------------------------------

    @property
    def path(self) -> str:
        """The collection's directory (absolute)."""
        return self._path

    @property
    def shards(self) -> int:
        """The number of shards."""
        return self._count

    @property
    def dim(self) -> int:
        """The vector dimension."""
        return self._dim

    @property
    def metric(self) -> str:
        """ "cosine", "euclidean" or "dot_product"."""
        return self._metric

    @property
    def total_slots(self) -> int:
        """Total allocated slots (active + deleted), over all shards."""
        return sum(self._fan_out("total_slots"))

    @property
    def deleted_count(self) -> int:
        """Number of deleted slots that haven't been reclaimed, over all shards."""
        return sum(self._fan_out("deleted_count"))

    @property
    def quantized_search(self) -> bool:
        """Whether quantized search is enabled on every shard."""
        return all(self._fan_out("quantized_search"))

    # -- records -------------------------------------------------------------------

    def add(self, id: str, vector: _Vector, metadata: _Metadata | None = None, *, sparse: Any = None) -> None:
        """Add a record to its shard; an existing id is refused (use upsert)."""
        self._call(self._owner(id), "add", id, vector, metadata, sparse=sparse)

    def upsert(
        self, id: str, vector: _Vector, metadata: _Metadata | None = None, *, sparse: Any = None
    ) -> None:
        """Add or update a vector."""
        self._call(self._owner(id), "upsert", id, vector, metadata, sparse=sparse)

    def update(
        self, id: str, vector: _Vector | None = None, metadata: _Metadata | None = None, *, sparse: Any = None
    ) -> None:
        """Replace the vector and/or the metadata of an existing record."""
        self._call(self._owner(id), "update", id, vector, metadata, sparse=sparse)

    def delete(self, id: str) -> bool:
        """Delete a record; returns whether it existed."""
        deleted: bool = self._call(self._owner(id), "delete", id)
        return deleted

    def get(self, id: str) -> tuple[list[float], _Metadata | None]:
        """The record's (vector, metadata); ValueError "id '...' not found"."""
        record: tuple[list[float], _Metadata | None] = self._call(self._owner(id), "get", id)
        return record

    def __contains__(self, id: object) -> bool:
        if not isinstance(id, str):
            raise TypeError(f"argument 'id': '{type(id).__name__}' object cannot be converted to 'PyString'")
        found: bool = self._call(self._owner(id), "__contains__", id)
        return found

    def __len__(self) -> int:
        return sum(self._fan_out("__len__"))

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
        dimension are checked first, and if a shard refuses its part (an id
        that exists, a duplicate id in the batch, bad metadata), the parts
        that other shards stored are deleted again before the error is
        raised. The error is the one a single database raises first.
        """
        self._check_open()
        parts = self._split(ids, vectors, metadatas)
        sparse_parts = self._split_sparse(ids, sparse)
        shards = sorted(parts)
        refs = [self._submit(s, "add_many", *parts[s], sparse=sparse_parts.get(s)) for s in shards]
        outcomes = [self._outcome(s, ref) for s, ref in zip(shards, refs)]
        failures = [(s, o) for s, o in zip(shards, outcomes) if isinstance(o, BaseException)]
        if not failures:
            return
        # Undo the parts that were stored: their ids were new.
        undo = [
            (s, self._actors[s].delete_ids.remote(parts[s][0]))
            for s, o in zip(shards, outcomes)
            if not isinstance(o, BaseException)
        ]
        for shard, ref in undo:
            self._outcome(shard, ref)
        raise self._first_failure(failures, list(ids))

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
        each shard's part is then applied in parallel, in batch order.
        """
        self._check_open()
        parts = self._split(ids, vectors, metadatas)
        sparse_parts = self._split_sparse(ids, sparse)
        shards = sorted(parts)
        self._gather(
            [self._submit(s, "upsert_many", *parts[s], sparse=sparse_parts.get(s)) for s in shards], shards
        )

    def count(self, where_filter: _Filter | None = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
        return sum(self._fan_out("count", where_filter))

    def ids(self) -> list[str]:
        """Ids of all records, shard by shard (in no particular order)."""
        return list(itertools.chain.from_iterable(self._fan_out("ids")))

    # -- searching -----------------------------------------------------------------

    def search(
        self,
        vector: _Vector,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> list[SearchResult]:
        """Search for the k nearest neighbors over every shard.
        Returns list of SearchResult objects with .id, .distance, .metadata attributes.
        `where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}
        `max_distance`: optional float — discard results beyond this distance."""
        options = {"k": k, "ef_search": ef_search, "where_filter": where_filter, "max_distance": max_distance}
        per_shard = self._gather(self._search_refs("search", _as_query_array(vector), options))
        return _merge_packed(per_shard, int(k))[0]

    def search_many(
        self,
        vectors: _Vectors,
        k: SupportsIndex = 10,
        ef_search: SupportsIndex | None = None,
        where_filter: _Filter | None = None,
        max_distance: SupportsFloat | None = None,
    ) -> list[list[SearchResult]]:
        """Search multiple queries on every shard in parallel. Returns list of list of SearchResult.
        `where_filter`: optional metadata filter (same syntax as search).
        `max_distance`: optional float — discard results beyond this distance.

        The queries travel to each shard as one float32 array."""
        options = {"k": k, "ef_search": ef_search, "where_filter": where_filter, "max_distance": max_distance}
        per_shard = self._gather(self._search_refs("search_many", _as_query_array(vectors), options))
        return _merge_packed(per_shard, int(k))

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
        per_shard = self._gather(self._search_refs("search_arrays", _as_query_array(queries), options))
        return _merge_arrays(per_shard, int(k))

    # -- the whole collection --------------------------------------------------------

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
        found: dict[str, Any] | None = self._call(self._owner(id), "get_sparse", id)
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

    def close(self) -> None:
        """Detach this object from the collection; later calls on it raise
        ValueError "database is closed". When the last ShardedDatabase of
        the path in this process closes, the shard actors close their
        databases (releasing the directories) and exit, also for other
        drivers that use them. close() does not save. Closing again does
        nothing."""
        if self._closed:
            return
        self._closed = True
        shared, self._shared = self._shared, None
        assert shared is not None
        shared.users -= 1
        if shared.users == 0:
            shared.stop()

    def __enter__(self) -> ShardedDatabase:
        """Context manager: auto-save on exit."""
        return self

    def __exit__(
        self, _exc_type: object = None, _exc_val: object = None, _exc_tb: object = None
    ) -> Literal[False]:
        self.save()
        return False

    def __repr__(self) -> str:
        if self._closed:
            return f"ShardedDatabase(path={self._path!r}, closed)"
        return f"ShardedDatabase(path={self._path!r}, shards={self._count}, dim={self._dim}, metric={self._metric!r})"


# ---------------------------------------------------------------------------
# Building from a Ray Dataset
# ---------------------------------------------------------------------------


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
