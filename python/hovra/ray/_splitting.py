"""A shard's side of resharding: the layout version every call is checked
against, the writes a split must copy again, the copying of the records
that move to the new shards, the short freeze while the layout switches,
and the switch itself (the moved records deleted).

A split of shard i under the count N into the count M (a multiple of N)
moves to shard j (j = i + N, i + 2N, ...) exactly the records whose
``crc32(id) % M`` is j; the rest stay. The driver (hovra.ray._reshard)
runs the steps; this side keeps them safe against the writes that go on.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from _hovra import Database

from ._common import LayoutChangedError, LayoutChangingError, shard_of
from ._files import _read_intent, _read_shard_record, _write_shard_record, layout_version

# Writes whose first argument names the ids they change (one id, or a
# list). delete_where names none: what it deletes shows as a difference of
# id sets when the split catches up.
_ONE_ID = frozenset({"add", "upsert", "update", "delete"})
_MANY_IDS = frozenset({"add_many", "upsert_many", "delete_many"})


def _ids_written(name: str, args: tuple[Any, ...]) -> list[str]:
    if not args:
        return []
    if name in _ONE_ID and isinstance(args[0], str):
        return [args[0]]
    if name in _MANY_IDS:
        return [id for id in args[0] if isinstance(id, str)]
    return []


class _Split:
    """A split in progress on one shard."""

    def __init__(self, token: str, to: dict[str, Any], targets: dict[int, Any], moving: list[str]) -> None:
        self.token = token
        self.to = to  # the new layout
        self.targets = targets  # new shard index -> its actor
        self.moving = moving  # the ids that moved when the split began
        self.dirty: set[str] = set()  # ids written since
        # A batch committed whose ids this shard does not know (prepared
        # before a restart): catch_up copies every moving record again.
        self.unknown_commit = False


class _Splitting:
    """The resharding steps of a shard actor (mixed into _Shard, which
    supplies ``db``, ``index``, ``path``, ``root`` and ``layout``)."""

    db: Database
    index: int
    path: str
    root: str
    layout: dict[str, Any]
    split: _Split | None = None
    frozen = False
    # The ids of each batch this shard holds prepared (kept always: a batch
    # prepared before a split began may commit during it).
    held: dict[str, list[str]]

    # -- every call ------------------------------------------------------------

    def check_version(self, version: int | None, write: bool) -> None:
        """Refuses a call routed under another layout than this shard's,
        and a write while the shard is frozen for a switch."""
        mine = layout_version(self.layout)
        if version is not None and version < mine:
            raise LayoutChangedError(
                f"shard {self.index} of '{self.root}' now follows layout version {mine} "
                f"({self.layout['shards']} shards), not {version}"
            )
        if (version is not None and version > mine) or (write and self.frozen):
            raise LayoutChangingError(f"shard {self.index} of '{self.root}' is switching to a new layout")

    def note_write(self, name: str, args: tuple[Any, ...], transaction: str | None = None) -> None:
        """Remembers the ids a write changes while a split copies records."""
        if transaction is not None:
            self.held[transaction] = _ids_written(name, args)
        elif self.split is not None:
            self.split.dirty.update(_ids_written(name, args))

    def note_resolution(self, transaction: str, commit: bool) -> None:
        ids = self.held.pop(transaction, None)
        split = self.split
        if split is not None and commit:
            if ids is None:
                split.unknown_commit = True
            else:
                split.dirty.update(ids)

    # -- the steps of a split ----------------------------------------------------

    def begin_split(self, token: str, to: dict[str, Any], targets: dict[int, Any]) -> int:
        """Starts noting writes and takes the list of ids that move; returns
        how many."""
        count = to["shards"]
        moving = [id for id in self.db.ids() if shard_of(id, count) != self.index]
        self.split = _Split(token, to, targets, moving)
        self.frozen = False
        return len(moving)

    def _current_split(self, token: str) -> _Split:
        split = self.split
        if split is None or split.token != token:
            # Restarted since the split began: what was written meanwhile is
            # not known, so the split must start again.
            raise LayoutChangedError(f"shard {self.index} of '{self.root}' lost the split in progress")
        return split

    def copy_moving(self, token: str, start: int, count: int) -> int:
        """Copies the moving records ``start`` to ``start + count`` (in the
        order begin_split listed them) to their new shards; returns how many
        were copied. Records deleted since are skipped."""
        split = self._current_split(token)
        self._copy(split, split.moving[start : start + count])
        return min(count, max(0, len(split.moving) - start))

    def _copy(self, split: _Split, ids: list[str]) -> None:
        import ray

        rows = self.db.get_many(ids)
        by_target: dict[int, list[int]] = {}
        for position, (id, row) in enumerate(zip(ids, rows)):
            if row is not None:
                by_target.setdefault(shard_of(id, split.to["shards"]), []).append(position)
        refs = []
        version = layout_version(split.to)
        for target, positions in by_target.items():
            part = [ids[p] for p in positions]
            vectors = np.asarray([rows[p][0] for p in positions], dtype=np.float32)  # type: ignore[index]
            metadatas = [rows[p][1] for p in positions]  # type: ignore[index]
            sparse = [self.db.get_sparse(id) for id in part]
            refs.append(
                split.targets[target].call.remote(
                    version,
                    "upsert_many",
                    part,
                    vectors,
                    metadatas,
                    sparse=sparse if any(s is not None for s in sparse) else None,
                )
            )
        ray.get(refs)

    def freeze(self, token: str) -> int:
        """Refuses writes from now until the switch; returns how many
        prepared batches the shard still holds (the driver waits for them
        to resolve)."""
        self._current_split(token)
        self.frozen = True
        return len(self.db.prepared_transactions())

    def catch_up(self, token: str) -> int:
        """Copies again what was written since the split began, and deletes
        on the new shards what was deleted here since; returns how many
        records it touched. The shard is frozen: nothing changes meanwhile."""
        import ray

        split = self._current_split(token)
        if not self.frozen:
            raise LayoutChangingError("catch_up before freeze")
        count = split.to["shards"]
        version = layout_version(split.to)
        here: dict[int, set[str]] = {t: set() for t in split.targets}
        for id in self.db.ids():
            owner = shard_of(id, count)
            if owner != self.index:
                here[owner].add(id)
        if split.unknown_commit:
            split.dirty.update(id for ids in here.values() for id in ids)
        dirty = sorted(id for id in split.dirty if shard_of(id, count) != self.index)
        self._copy(split, dirty)
        touched = len(dirty)
        there = ray.get([split.targets[t].call.remote(version, "ids") for t in sorted(split.targets)])
        refs = []
        for target, ids in zip(sorted(split.targets), there):
            gone = [id for id in ids if shard_of(id, count) == target and id not in here[target]]
            if gone:
                refs.append(split.targets[target].call.remote(version, "delete_many", gone))
                touched += len(gone)
        ray.get(refs)
        return touched

    def abandon_split(self) -> None:
        """Ends a split that will not take effect: the shard keeps every
        record and takes writes again."""
        self.split = None
        self.frozen = False

    def switch(self, layout: dict[str, Any]) -> int:
        """Follows the new layout: deletes the records that moved, records
        the new count in the shard's directory and takes calls routed under
        the new layout. Repeating it changes nothing. Returns how many
        records were deleted."""
        if layout_version(layout) < layout_version(self.layout):
            return 0
        deleted = self._drop_moved(layout["shards"])
        _write_shard_record(self.path, self.index, layout["shards"])
        self.layout = layout
        self.split = None
        self.frozen = False
        return deleted

    def _drop_moved(self, count: int) -> int:
        moved = [id for id in self.db.ids() if shard_of(id, count) != self.index]
        return int(self.db.delete_many(moved)) if moved else 0

    def adopt_committed_split(self) -> bool:
        """At start: when the shard's record names the count a resharding
        left, and the layout the count it went to (the driver wrote the new
        layout but could not switch this shard), finishes the switch here.
        Returns whether it did."""
        intent = _read_intent(self.root)
        record = _read_shard_record(self.path)
        if (
            intent is None
            or record is None
            or record.get("index") != self.index
            or record.get("shards") != intent["from"]
            or intent["to"] != self.layout["shards"]
            or intent["version"] != layout_version(self.layout)
        ):
            return False
        self._drop_moved(self.layout["shards"])
        _write_shard_record(self.path, self.index, self.layout["shards"])
        return True
