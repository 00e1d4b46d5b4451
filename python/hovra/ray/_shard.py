"""The shard actor: one ordinary Database in ``root/shard-NNN``, the layout
it follows and the batches it holds prepared (its resharding steps are in
_splitting)."""

from __future__ import annotations

import os
import time
from typing import Any

import numpy as np
import numpy.typing as npt
import ray
import ray.exceptions
from _hovra import (
    DEFAULTS,
    Database,
    DatabaseInUseError,
    set_num_threads,
)

from ._common import (
    _PROPERTIES,
    _READS,
    _WRITES,
    _ray,
)
from ._files import (
    ABORT,
    COMMIT,
    _check_shard_record,
    _decide,
    _decisions_dir,
    _read_layout,
    _record_codes,
    _recorded_codes,
    _shard_dir,
    _write_layout,
    layout_version,
)
from ._merge import _pack, _Packed
from ._splitting import _Splitting


def _live_jobs() -> set[str] | None:
    """The ids of the Ray jobs (drivers) that are running, or None when Ray
    does not say."""
    try:
        jobs = _ray._private.state.jobs()
        return {str(job["JobID"]) for job in jobs if not job.get("IsDead")}
    except Exception:  # an internal table: its shape may change
        return None


# How long a replica's reads may lag its primary's acknowledged writes
# when the collection does not sync replicas (seconds).
_REPLICA_REFRESH = 0.5
# How long a promotion waits for the lost primary's lock.
_PROMOTE_WAIT = 60.0


def _exact_threshold(shards: int) -> int:
    """A shard's share of the exact-scan threshold of one database."""
    whole = int(DEFAULTS["exact_scan_components"])
    return max(1, whole // shards)


class _Shard(_Splitting):
    """One shard: an ordinary Database in ``root/shard-NNN`` on this node.

    Ray runs one call at a time per shard, in the order each caller sent
    them; batches use the database's own worker threads. After a crash Ray
    starts the actor again, and it reopens its directory: the log replays
    every change that was acknowledged. Every call that routes by the
    layout carries the caller's layout version, and the shard refuses one
    that differs from its own (see _Splitting.check_version).
    """

    def __init__(
        self,
        root: str,
        index: int,
        layout: dict[str, Any],
        create: dict[str, Any] | None,
        options: dict[str, Any],
        threads: int | None,
        replica: bool = False,
    ) -> None:
        if threads:
            set_num_threads(threads)  # the actor's process has a pool of its own
        self.index = index
        # A restarted actor gets the arguments it was first started with; a
        # resharding since has written a newer layout.
        on_disk = _read_layout(root)
        if on_disk is not None and layout_version(on_disk) > layout_version(layout):
            layout = on_disk
        self.layout = layout
        self.root = root
        self.path = _shard_dir(root, index)
        self.attached: set[str] = set()
        self.held = {}
        # A shard searches as one database of the collection's whole size
        # would: exhaustively only while the whole is below the threshold.
        self.exact_threshold = _exact_threshold(layout["shards"])
        if create is not None and create.get("quantize") == "binary":
            # One-bit codes are not stored: every open of the shard asks.
            options = dict(options, quantize="binary")
        self.options = options
        self.replica = replica
        # The codes the collection was switched to (enable_quantized_search
        # and disable_quantized_search, "off" for the latter), recorded in
        # the shard's directory: every start and reopening of the shard,
        # and its replicas, search with them again.
        self.chosen_codes: str | None = None
        self.prepared_at: dict[str, float] = {}
        if replica:
            self.db = self._open_replica()
            self.chosen_codes = _recorded_codes(self.path)
            self._apply_codes()
            return
        options = dict(options, exact_threshold=self.exact_threshold)
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
        try:
            try:
                _check_shard_record(self.path, index, layout["shards"])
            except ValueError:
                if not self.adopt_committed_split():
                    raise
            self.chosen_codes = _recorded_codes(self.path)
            self._apply_codes()
        except BaseException:
            self.db.close()
            raise
        # Batches this shard holds prepared from before its restart: their
        # time counts from now (see resolve_stale).
        self.prepared_at = {t: time.monotonic() for t in self.db.prepared_transactions()}
        self.resolve_pending()

    def _open_replica(self) -> Database:
        """Follows the primary's log through the shared directory (with the
        one-bit codes the collection was opened with, made at each load)."""
        binary = self.options.get("quantize") == "binary"
        return Database(
            self.path,
            read_only=True,
            refresh_interval=_REPLICA_REFRESH,
            exact_threshold=self.exact_threshold,
            quantize="binary" if binary else False,
        )

    def switch(self, layout: dict[str, Any]) -> int:
        """As _Splitting.switch; the database then searches with the new
        count's share of the exact-scan threshold (it is reopened: the
        threshold is given at opening). A replica changes nothing: it
        reopens its shard, which its primary has switched, and follows the
        new layout."""
        if self.replica:
            if layout_version(layout) > layout_version(self.layout):
                self.db.close()
                self.layout = layout
                self.exact_threshold = _exact_threshold(layout["shards"])
                self.db = self._open_replica()
                self._apply_codes()
            return 0
        deleted = super().switch(layout)
        threshold = _exact_threshold(self.layout["shards"])
        if threshold != self.exact_threshold:
            self.db.close()
            self.exact_threshold = threshold
            self.db = self._open({}, dict(self.options, exact_threshold=threshold))
            self._apply_codes()
        return deleted

    def codes(self) -> str:
        """The codes the database walks on: "binary", "sq8" or "off"."""
        if self.db.binary_search:
            return "binary"
        return "sq8" if self.db.quantized_search else "off"

    def use_codes(self, codes: str) -> None:
        """Walks on ``codes`` (as codes() names them) from now on; a
        replica keeps them across the checkpoints it loads, a primary
        records them for its later starts and its replicas."""
        self.chosen_codes = codes
        self._apply_codes()
        if not self.replica:
            _record_codes(self.path, codes)

    def _apply_codes(self) -> None:
        wanted = self.chosen_codes
        if wanted is None or wanted == self.codes():
            return
        if wanted == "off":
            self.db.disable_quantized_search()
        else:
            self.db.enable_quantized_search("binary" if wanted == "binary" else "sq8")

    def refresh(self) -> None:
        """A replica reads the records its primary has logged since it last
        looked (nothing for a primary)."""
        if self.replica:
            self.db.refresh()

    def promote(self, wait: float = _PROMOTE_WAIT) -> bool:
        """Makes this replica its shard's primary: opens the directory for
        writing, once the lost primary's process has let go of its lock
        (at most ``wait`` seconds). Returns False, still a replica, when
        the lock stays held (the primary lives, or another replica was
        promoted first)."""
        if not self.replica:
            return True
        options = dict(self.options, exact_threshold=self.exact_threshold)
        try:
            primary = self._open({}, options, wait=wait)
        except DatabaseInUseError:
            return False
        self.db.close()
        self.db = primary
        self.replica = False
        self._apply_codes()
        self.prepared_at = {t: time.monotonic() for t in self.db.prepared_transactions()}
        self.resolve_pending()
        return True

    def resolve_pending(self) -> list[str]:
        """Resolves the batches held prepared since before this start: by
        the driver's recorded decision, or, when it has decided nothing yet,
        by recording an abort first (so the driver aborts too). Without the
        collection's decision directory on this node (storage not shared
        with the driver) the batches stay pending for the driver to resolve.
        Returns the transactions resolved."""
        return self._resolve_by_decision(self.db.prepared_transactions())

    def resolve_stale(self, seconds: float) -> list[str]:
        """resolve_pending for batches prepared more than ``seconds`` ago
        (a driver that died between the two phases leaves them held)."""
        now = time.monotonic()
        for transaction in self.db.prepared_transactions():
            self.prepared_at.setdefault(transaction, now)
        if not any(now - at > seconds for at in self.prepared_at.values()):
            return []
        return self._resolve_by_decision([t for t, at in self.prepared_at.items() if now - at > seconds])

    def _resolve_by_decision(self, transactions: list[str]) -> list[str]:
        if not transactions or not os.path.isdir(_decisions_dir(self.root)):
            return []
        for transaction in transactions:
            self.resolve(transaction, _decide(self.root, transaction, ABORT) == COMMIT)
        return transactions

    def prepare(self, version: int | None, transaction: str, name: str, *args: Any, **kwargs: Any) -> Any:
        """A write of a multi-shard batch, logged as a prepared batch."""
        self.check_version(version, write=True)
        self._crash_if("preparing")
        result = getattr(self.db, name)(*args, prepare=transaction, **kwargs)
        if transaction in self.db.prepared_transactions():
            self.prepared_at[transaction] = time.monotonic()
            self.note_write(name, args, transaction)
        self._crash_if("prepared")
        return result

    def resolve(self, transaction: str, commit: bool) -> bool:
        self._crash_if("resolving")
        self.prepared_at.pop(transaction, None)
        if transaction in self.db.prepared_transactions():
            self.note_resolution(transaction, commit)
        resolved = self.db.commit_prepared(transaction) if commit else self.db.abort_prepared(transaction)
        self._crash_if("resolved")
        return resolved

    def fail_next(self, step: str) -> None:
        """Fault injection for tests: the process dies at the next ``step``
        ("preparing": before logging a prepared part; "prepared": after
        logging it, before answering; "resolving": before logging a
        resolution; "resolved": after logging it, before answering;
        "copying": before copying records to the new shards of a split)."""
        self.crash_step = step

    def _crash_if(self, step: str) -> None:
        if getattr(self, "crash_step", None) == step:
            os._exit(1)

    def attach(self, token: str) -> int:
        """Counts a handle (one per process and collection) as using the shard."""
        self.attached.add(token)
        return len(self.attached)

    def detach(self, token: str) -> int:
        """The handles still attached once ``token`` lets go, not counting
        those of drivers that have exited without closing."""
        self.attached.discard(token)
        live = _live_jobs()
        if live is not None:
            self.attached = {t for t in self.attached if t.partition(":")[0] in live}
        return len(self.attached)

    def _open(self, create: dict[str, Any], options: dict[str, Any], wait: float = 120.0) -> Database:
        # A restarted actor may start while the process it replaces is still
        # exiting and holding the directory's lock; wait for the lock.
        deadline = time.monotonic() + wait
        pause = 0.05
        while True:
            try:
                return Database(self.path, **{**create, **options})
            except DatabaseInUseError:
                if time.monotonic() > deadline:
                    raise
            time.sleep(pause)
            pause = min(pause * 2, 1.0)

    def copy_moving(self, token: str, start: int, count: int) -> int:
        self._crash_if("copying")
        return super().copy_moving(token, start, count)

    def info(self) -> dict[str, Any]:
        return {
            "index": self.index,
            "dim": self.db.dim,
            "metric": self.db.metric,
            "pid": os.getpid(),
            "layout": self.layout,
            "exact_threshold": self.exact_threshold,
            "replica": self.replica,
            "node_id": ray.get_runtime_context().get_node_id(),
        }

    def creation(self) -> dict[str, Any]:
        """The arguments that create a database like this shard's (for the
        new shards of a split): dim, metric, m, ef_construction, quantize."""
        from _hovra import _inspect

        found = _inspect(self.path)["database"] or {}
        quantize: bool | str = bool(found.get("quantize", False))
        if self.db.binary_search:
            quantize = "binary"
        return {
            "dim": self.db.dim,
            "metric": self.db.metric,
            "m": found.get("m"),
            "ef_construction": found.get("ef_construction"),
            "quantize": quantize,
        }

    def call(self, version: int | None, name: str, *args: Any, **kwargs: Any) -> Any:
        write = name in _WRITES
        self.check_version(version, write)
        if name in _PROPERTIES:
            return getattr(self.db, name)
        if not write and name not in _READS:
            raise AttributeError(name)
        if write:
            self.note_write(name, args)
        answer = getattr(self.db, name)(*args, **kwargs)
        if name in ("enable_quantized_search", "disable_quantized_search"):
            self.chosen_codes = self.codes()
            _record_codes(self.path, self.chosen_codes)
        return answer

    def search(self, version: int | None, vector: Any, **options: Any) -> _Packed:
        self.check_version(version, write=False)
        return _pack([self.db.search(vector, **options)])

    def search_many(self, version: int | None, vectors: Any, **options: Any) -> _Packed:
        self.check_version(version, write=False)
        return _pack(self.db.search_many(vectors, **options))

    def search_arrays(
        self, version: int | None, queries: Any, **options: Any
    ) -> tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]]:
        self.check_version(version, write=False)
        arrays: tuple[npt.NDArray[np.object_], npt.NDArray[np.float32]] = self.db.search_arrays(
            queries, **options
        )
        return arrays

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
