"""The sharded collection: ShardedDatabase, its shards' start and
handshake, its one-record methods and its close (how calls reach the
shards is in _calls, searches and other collection-wide calls in
_retrieval, batches across shards in _writes, resharding in _reshard)."""

from __future__ import annotations

import itertools
import os
import threading
import time
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex

from _hovra import (
    DatabaseNotFoundError,
)

from ._calls import _ShardCalls
from ._cluster import (
    _SHARED,
    _candidate_nodes,
    _check_arguments,
    _connect,
    _layout_of_live_shards,
    _locate,
    _Settings,
    _Shards,
    _shared_key,
)
from ._common import (
    _START_ATTEMPTS,
    LAYOUT_FILE,
    LAYOUT_FORMAT,
    ROUTING,
    ShardUnavailableError,
    _Filter,
    _Metadata,
    _Vector,
)
from ._reshard import reshard, roll_back_abandoned, settle_resharding
from ._retrieval import _CollectionWide
from ._transactions import _STALE_SECONDS
from ._writes import _Writes

if TYPE_CHECKING:
    pass


class ShardedDatabase(_CollectionWide, _Writes, _ShardCalls):
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
            ``quantize="binary"`` switches every shard to one-bit codes, as
            ``enable_quantized_search("binary")`` does. Unlike a Database,
            the collection keeps the codes it was last switched to (at an
            open or by the quantization switches; recorded in each shard's
            directory): a shard that restarts, a promoted or new replica,
            the new shards of a resharding and later opens search with
            them until they are switched again.
        shards: The number of shards of a new collection (default: one per
            live Ray node with CPUs). For an existing collection it must be
            None or the stored count.
        address: The Ray cluster to join when Ray is not running in this
            process yet ("auto", "ray://head:10001", ...). None joins the
            cluster named by RAY_ADDRESS, else the one ``ray start`` last
            started on this machine, else starts a local Ray with this
            machine's cores.
        nodes: For a new collection, the Ray node ids or IP addresses to
            deal the shards over, round robin (default: every live node with
            CPUs). An existing collection's shards go where their
            directories are.
        detached: Keep the shard actors alive after this driver exits, until
            :meth:`close`. By default they stop when the driver that started
            them exits or drops its last ShardedDatabase for the path.
        max_restarts: How often Ray restarts a crashed shard actor (-1:
            always, while its node lives).
        replicas: For a new collection, the copies of each shard (default
            1): the primary takes the writes, replicas on other nodes open
            its directory read-only and follow its log (storage every node
            mounts), reads go to the primary and the replicas in turn, and
            when the primary's node is lost a replica becomes the primary;
            a new replica starts on a live node in the place of each copy
            lost for good. A read that a replica cannot answer goes to the
            primary. Replicas search with their primary's codes
            (enable_quantized_search reaches them).
            For an existing collection it must be None or the stored count.
        sync_replicas: Acknowledge a write only once every live replica of
            its shards has read it (reads on any replica then see it).
            Otherwise a replica's reads lag the writes by up to half a
            second.
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
        quantize: bool | Literal["sq8", "binary"] = False,
        *,
        shards: int | None = None,
        sync_writes: bool = False,
        address: str | None = None,
        nodes: Sequence[str] | None = None,
        detached: bool = False,
        max_restarts: int = -1,
        shard_threads: int | None = None,
        replicas: int | None = None,
        sync_replicas: bool = False,
    ) -> None:
        for name, count in (("shards", shards), ("replicas", replicas)):
            if count is not None and (isinstance(count, bool) or not isinstance(count, int) or count < 1):
                raise ValueError(f"{name} must be a positive int")
        self._path = os.path.abspath(os.fsdecode(os.fspath(path)))
        self._closed = True
        self._pins = threading.local()
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
            options: dict[str, Any] = {"sync_writes": sync_writes}
            if isinstance(quantize, str) and quantize == "binary":
                options["quantize"] = "binary"  # the shards open with the codes made
            settings = _Settings(options, detached, max_restarts, shard_threads)
            shared = self._discover(shards, replicas, create, nodes, settings)
        elif shards is not None and shards != shared.count:
            raise ValueError(f"the collection at '{self._path}' has {shared.count} shards, not {shards}")
        elif replicas is not None and replicas != shared.replicas.copies:
            raise ValueError(
                f"the collection at '{self._path}' has {shared.replicas.copies} copies of each shard, not {replicas}"
            )
        self._shared = shared
        self._sync_replicas = bool(sync_replicas)
        try:
            info = self._handshake(shared)
            settle_resharding(self._path, shared)
            if not shared.replicas.started:
                shared.replicas.start()
            if isinstance(quantize, str) and quantize == "binary":
                # Asked for at the open: the collection's codes from now on.
                self._gather([actor.use_codes.remote("binary") for actor in shared.actors])
                shared.replicas.copy_codes()
        except BaseException:
            if shared.users == 0:
                shared.abandon()
            raise
        self._dim: int = info[0]["dim"]
        self._metric: str = info[0]["metric"]
        _SHARED[_shared_key(self._path)] = shared
        shared.users += 1
        self._closed = False

    # -- starting the shards -------------------------------------------------

    def _discover(
        self,
        shards: int | None,
        replicas: int | None,
        create: dict[str, Any] | None,
        nodes: Sequence[str] | None,
        settings: _Settings,
    ) -> _Shards:
        """Finds the collection (through live shard actors, else on the
        nodes' disks) or lays out a new one, and starts its shard actors."""
        layout = _layout_of_live_shards(self._path)
        # With no shard running, no resharding is under way either: one that
        # a crash cut off before it took effect is rolled back now.
        roll_back_abandoned(self._path, running=layout is not None)
        placement: list[str | None] | None = None
        orphans = False
        if layout is None:
            layout, placement, orphans = _locate(self._path)
        if layout is not None:
            if shards is not None and shards != layout["shards"]:
                raise ValueError(
                    f"the collection at '{self._path}' has {layout['shards']} shards, not {shards}"
                )
            if replicas is not None and replicas != layout.get("replicas", 1):
                raise ValueError(
                    f"the collection at '{self._path}' has {layout.get('replicas', 1)} copies of each "
                    f"shard, not {replicas}"
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
            if replicas is not None and replicas > 1:
                layout["replicas"] = replicas
            placement = [candidates[i % len(candidates)] for i in range(count)]
        return _Shards(self._path, layout, create, settings, placement)

    def _handshake(self, shared: _Shards) -> list[dict[str, Any]]:
        """Waits until every shard answers. A shard found by name may have
        been stopping (its last user closed it); it is started again."""
        for attempt in range(_START_ATTEMPTS):
            outcomes = [self._outcome(i, actor.info.remote()) for i, actor in enumerate(shared.actors)]
            failures = [o for o in outcomes if isinstance(o, BaseException)]
            # Since a promotion, a replica may hold the place the primary
            # started in: the members say which one is the primary.
            misplaced = [i for i, o in enumerate(outcomes) if isinstance(o, dict) and o.get("replica")]
            for index in misplaced:
                shared.replicas.recover(index)
            if misplaced and attempt < _START_ATTEMPTS - 1:
                continue
            if misplaced:
                raise ShardUnavailableError(
                    f"shard {misplaced[0]} of '{self._path}' has no live primary", misplaced[0]
                )
            if not failures:
                # Counted as a user of each shard (so another driver's close
                # leaves them running), and batches left prepared by a driver
                # that died between the two phases resolved.
                for i, actor in enumerate(shared.actors):
                    self._outcome(i, actor.attach.remote(shared.token))
                    self._outcome(i, actor.resolve_stale.remote(_STALE_SECONDS))
                return outcomes
            if attempt == _START_ATTEMPTS - 1 or not all(
                isinstance(f, ShardUnavailableError) for f in failures
            ):
                raise failures[0]
            for index, outcome in enumerate(outcomes):
                if isinstance(outcome, ShardUnavailableError) and outcome.dead:
                    if not (shared.replicas.copies > 1 and shared.replicas.recover(index)):
                        shared.restart(index)
            time.sleep(0.5)
        raise AssertionError("unreachable")

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
        self._call(self._owner_of(id), "add", id, vector, metadata, sparse=sparse)

    def upsert(
        self, id: str, vector: _Vector, metadata: _Metadata | None = None, *, sparse: Any = None
    ) -> None:
        """Add or update a vector."""
        self._call(self._owner_of(id), "upsert", id, vector, metadata, sparse=sparse)

    def update(
        self, id: str, vector: _Vector | None = None, metadata: _Metadata | None = None, *, sparse: Any = None
    ) -> None:
        """Replace the vector and/or the metadata of an existing record."""
        self._call(self._owner_of(id), "update", id, vector, metadata, sparse=sparse)

    def delete(self, id: str) -> bool:
        """Delete a record; returns whether it existed."""
        deleted: bool = self._call(self._owner_of(id), "delete", id)
        return deleted

    def get(self, id: str) -> tuple[list[float], _Metadata | None]:
        """The record's (vector, metadata); ValueError "id '...' not found"."""
        record: tuple[list[float], _Metadata | None] = self._call(self._owner_of(id), "get", id)
        return record

    def __contains__(self, id: object) -> bool:
        if not isinstance(id, str):
            raise TypeError(f"argument 'id': '{type(id).__name__}' object cannot be converted to 'PyString'")
        found: bool = self._call(self._owner_of(id), "__contains__", id)
        return found

    def __len__(self) -> int:
        return sum(self._fan_out("__len__"))

    def count(self, where_filter: _Filter | None = None) -> int:
        """Count vectors matching a filter, or all vectors if no filter."""
        return sum(self._fan_out("count", where_filter))

    def ids(self) -> list[str]:
        """Ids of all records, shard by shard (in no particular order)."""
        return list(itertools.chain.from_iterable(self._fan_out("ids")))

    def reshard(self, shards: int) -> dict[str, float]:
        """Split every shard so that the collection has ``shards`` shards, a
        multiple of the current count (say, twice as many).

        Under the routing ``crc32(id) % N``, a record of shard i moves only
        to a shard i + N, i + 2N, ..., so each shard splits into new shards
        started on its own node: the records that move are copied in chunks
        while reads and writes go on, then every shard refuses writes for a
        short pause (reads go on) while it copies what was written meanwhile,
        ``shards.json`` is replaced by the new layout, and the old shards
        delete the records that moved. Other handles and drivers follow the
        new layout at their next call. A split cut off by a crash before the
        new layout was written is rolled back, one cut off after it is
        finished, when the collection is next opened. The moved records
        stay in the old shards as deleted slots until :meth:`compact` (and,
        for replicas, the next :meth:`save`): until then an exhaustive
        scan's distances may differ from one database's in the last bits.

        Needs ``shards.json`` readable from this process (one machine, or
        storage every node mounts). Returns ``seconds`` in all,
        ``copy_seconds``, ``pause_seconds`` (writes waited) and ``moved``
        (records).

        Raises:
            ValueError: ``shards`` is not a multiple of the current count;
                another resharding is under way.
            ShardUnavailableError: a shard failed during the split (rolled
                back: the collection is as before).
        """
        return reshard(self, self._shared, shards)

    def close(self) -> None:
        """Detach this object from the collection; later calls on it raise
        ValueError "database is closed". When the last ShardedDatabase of
        the path in this process closes, the process lets go of the shards;
        when no other driver is attached to them either (each driver counts
        once, on every shard), the shard actors close their databases
        (releasing the directories) and exit. Shards that a driver started
        without detached=True still end with that driver's process, as Ray
        ends the actors a process owns. close() does not save. Closing
        again does nothing."""
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
