"""Batches across shards, all or nothing: the driver's side of the two-phase
commit.

Every shard logs its part as a prepared batch (invisible, its ids held);
once all have, the driver records its decision in the collection's
``transactions/`` directory (synced) and tells every shard to commit. A
shard that fails to prepare makes the driver record an abort instead, and
every shard drops its part: nothing is deleted that was there before, and
an aborted batch leaves no records and no deleted slots. A shard that
restarts holding a prepared batch reads the decision, or records an abort
when there is none yet, which the driver then finds and follows (the record
is created exclusively, so exactly one of the two decides).
"""

from __future__ import annotations

import os
import time
import uuid
from collections.abc import Callable, Mapping, Sequence
from typing import Any

from _hovra import TransactionConflictError

from ._common import LayoutChangedError, ShardUnavailableError, _Collection
from ._files import ABORT, COMMIT, _decide, _decisions_dir, _forget

# How long a batch that meets ids held by another batch's prepared part is
# tried again (that batch resolves within two round trips unless its driver
# dies, and then at most after _STALE_SECONDS).
_CONFLICT_RETRY_SECONDS = 10.0
# A prepared batch older than this is resolved by the next handle that
# attaches to its shard: its driver died between the two phases.
_STALE_SECONDS = 60.0


def run_atomic(
    db: _Collection,
    method: str,
    parts: Mapping[int, tuple[Sequence[Any], Mapping[str, Any]]],
    pick_failure: Callable[[list[tuple[int, BaseException]]], BaseException],
) -> dict[int, Any]:
    """Applies ``method(*args, **kwargs)`` of each shard's part, all or
    nothing, and returns each shard's result. One shard's part is its own
    batch (atomic already); several go through a two-phase commit. A batch
    refused because another batch holds one of its ids is tried again for a
    few seconds."""

    def run() -> dict[int, Any]:
        if len(parts) == 1:
            ((shard, (args, kwargs)),) = parts.items()
            return {shard: db._call_part(shard, method, *args, **kwargs)}
        return _two_phase(db, method, parts, pick_failure)

    result: dict[int, Any] = retry_conflicts(run)
    return result


def retry_conflicts(run: Callable[[], Any]) -> Any:
    """Runs a write; while it is refused because a prepared batch holds one
    of its ids, runs it again (for a few seconds, with growing pauses)."""
    deadline = time.monotonic() + _CONFLICT_RETRY_SECONDS
    pause = 0.01
    while True:
        try:
            return run()
        except TransactionConflictError:
            if time.monotonic() > deadline:
                raise
        time.sleep(pause)
        pause = min(pause * 2, 0.5)


def _two_phase(
    db: _Collection,
    method: str,
    parts: Mapping[int, tuple[Sequence[Any], Mapping[str, Any]]],
    pick_failure: Callable[[list[tuple[int, BaseException]]], BaseException],
) -> dict[int, Any]:
    root = db.path
    transaction = uuid.uuid4().hex
    shards = sorted(parts)
    # The decisions' directory exists before any shard prepares, so a shard
    # that restarts holding the batch finds where to look.
    _decisions_dir_made(root)
    version = db._version
    actors = db._actors
    refs = [
        actors[s].prepare.remote(version, transaction, method, *parts[s][0], **parts[s][1]) for s in shards
    ]
    outcomes = {s: db._outcome(s, ref) for s, ref in zip(shards, refs)}
    failures = [(s, o) for s, o in outcomes.items() if isinstance(o, BaseException)]
    if failures:
        _decide(root, transaction, ABORT)
        _resolve(db, shards, transaction, commit=False)
        # A shard that follows another layout: the caller routes again.
        moved = [f for _, f in failures if isinstance(f, LayoutChangedError)]
        raise moved[0] if moved else pick_failure(failures)
    if _decide(root, transaction, COMMIT) != COMMIT:
        # A shard restarted holding its part and recorded an abort first.
        _resolve(db, shards, transaction, commit=False)
        restarted = ShardUnavailableError(
            f"a shard of '{root}' restarted during a batch across shards; nothing of the batch was stored",
            shards[0],
        )
        raise restarted
    _resolve(db, shards, transaction, commit=True)
    return outcomes


def _decisions_dir_made(root: str) -> None:
    os.makedirs(_decisions_dir(root), exist_ok=True)


def _resolve(db: _Collection, shards: list[int], transaction: str, *, commit: bool) -> None:
    """Tells every shard the outcome. A shard that cannot hear it now
    resolves the batch by the recorded decision when it starts again (one
    that died for good is started again here); the decision is forgotten
    once every shard has resolved."""
    actors = db._actors
    refs = [actors[s].resolve.remote(transaction, commit) for s in shards]
    outcomes = [db._outcome(s, ref) for s, ref in zip(shards, refs)]
    missed = [s for s, o in zip(shards, outcomes) if isinstance(o, BaseException)]
    if commit:
        db._synced([s for s in shards if s not in missed])
    for shard, outcome in zip(shards, outcomes):
        if isinstance(outcome, ShardUnavailableError) and outcome.dead:
            db._revive(shard)
    if not missed:
        _forget(db.path, transaction)
