"""Resharding: the driver's side of splitting every shard of a collection
into a multiple of the count, and the recovery of a split that a crash cut
off.

With the routing ``crc32(id) % N``, going to M = kN shards moves a record
of shard i only to shards i + N, i + 2N, ... (since ``x % M % N == x % N``),
so each shard splits on its own, into new shards started on its node. The
steps, each safe to interrupt:

1. ``resharding.json`` records the split (from, to, the new layout's
   version and the driver's job). Nothing of it takes effect yet.
2. The new shards start (empty databases created in ``shard-NNN``, with
   their own record of the new count), and each old shard notes the ids
   that move and, from then on, the ids every write changes.
3. Each old shard copies its moving records to the new shards in chunks;
   reads and writes go on between the chunks.
4. Every old shard freezes (refuses writes; reads go on), waits for its
   prepared batches to resolve, and copies again what was written since it
   began, and deletes on the new shards what it deleted since.
5. ``shards.json`` is replaced by the new layout (synced, renamed into
   place): from here the split takes effect.
6. Every shard switches: the old ones delete the records that moved and
   record the new count, and all take calls routed under the new layout.
   The old shards' replicas then reread their shards and switch too, and
   the new shards get their replicas. ``resharding.json`` is removed.

A crash before step 5 rolls the split back (the new shards' directories are
removed; the old shards never deleted anything); a crash after it rolls it
forward (a shard that starts with the new layout and the old count in its
record finishes its own switch). Either happens when a driver next opens
the collection and finds ``resharding.json`` of a driver that has exited,
or at once when the resharding driver itself fails.
"""

from __future__ import annotations

import os
import shutil
import time
import uuid
from typing import TYPE_CHECKING, Any

import ray
import ray.exceptions

from ._common import LAYOUT_FILE, NAMESPACE, LayoutChangedError, ShardUnavailableError, _Collection, _ray
from ._files import (
    _read_intent,
    _read_layout,
    _remove_intent,
    _replace_layout,
    _shard_dir,
    _write_intent,
    layout_version,
)
from ._replicas import member_name

if TYPE_CHECKING:
    from ._cluster import _Shards

# Records copied per call to an old shard: between two chunks its other
# callers are served.
_CHUNK = 4096
# How long the freeze waits for batches that a shard holds prepared.
_PREPARED_WAIT = 30.0
# Fault injection for tests: the resharding driver's process exits at the
# step this variable names.
_CRASH_VARIABLE = "HOVRA_RESHARD_CRASH_AT"


def _crash_at(step: str) -> None:
    if os.environ.get(_CRASH_VARIABLE) == step:
        os._exit(1)


def reshard(db: _Collection, shared: _Shards | None, shards: int) -> dict[str, float]:
    """Splits every shard of ``db``, whose actors ``shared`` holds, so that
    the collection has ``shards`` shards (a multiple of the current count);
    see the module's note.
    Returns what it took: ``seconds`` in all, ``copy_seconds`` (reads and
    writes went on), ``pause_seconds`` (from the freeze to the switch:
    writes waited), ``moved`` records."""
    if isinstance(shards, bool) or not isinstance(shards, int) or shards < 1:
        raise ValueError("shards must be a positive int")
    db._check_open()
    assert shared is not None
    shared.refresh()
    old = dict(shared.layout)
    count = old["shards"]
    if shards == count:
        return {"seconds": 0.0, "copy_seconds": 0.0, "pause_seconds": 0.0, "moved": 0.0}
    if shards % count:
        raise ValueError(
            f"a collection of {count} shards can be split into a multiple of {count} shards, not {shards}"
        )
    root = db.path
    _check_visible(root, old)
    if _read_intent(root) is not None:
        raise ValueError(f"a resharding of '{root}' is under way (or was cut off: reopen to finish it)")
    new = dict(old, shards=shards, version=layout_version(old) + 1)
    started = time.monotonic()
    _write_intent(
        root,
        {
            "from": count,
            "to": shards,
            "version": new["version"],
            "job": ray.get_runtime_context().get_job_id(),
        },
    )
    _crash_at("intent")
    new_actors: dict[int, Any] = {}
    try:
        new_actors = _start_new_shards(db, shared, new)
        _crash_at("started")
        token = uuid.uuid4().hex
        moved = _copy(db, shared, token, new, new_actors)
        copied = time.monotonic()
        _crash_at("copied")
        _freeze_and_catch_up(db, shared, token, count)
        _crash_at("caught_up")
        _replace_layout(root, new)
    except BaseException:
        _roll_back(root, shared, old, count, shards)
        raise
    _crash_at("committed")
    _switch(db, shared, new, new_actors)
    switched = time.monotonic()
    if shared.replicas.copies > 1:
        # Writes go on meanwhile; reads of a replica still on the old
        # layout are refused and asked again.
        shared.replicas.follow(new, count)
    _remove_intent(root)
    return {
        "seconds": time.monotonic() - started,
        "copy_seconds": copied - started,
        "pause_seconds": switched - copied,
        "moved": float(moved),
    }


def _check_visible(root: str, layout: dict[str, Any]) -> None:
    """Resharding writes the layout from this process: its ``shards.json``
    must be the one the shards follow (one machine, or storage shared)."""
    try:
        here = _read_layout(root)
    except (OSError, ValueError):
        here = None
    if here is None or here["shards"] != layout["shards"] or layout_version(here) != layout_version(layout):
        raise ValueError(
            f"resharding '{root}' needs its {LAYOUT_FILE} readable from this process "
            f"(the collection on this machine, or on storage every node mounts)"
        )


def _start_new_shards(db: _Collection, shared: _Shards, new: dict[str, Any]) -> dict[int, Any]:
    """Starts the new shards, each on the node of the shard it splits from,
    created like the old ones; waits until they answer."""
    count = shared.count
    infos = ray.get([actor.info.remote() for actor in shared.actors])
    create = ray.get(shared.actors[0].creation.remote())
    actors = {}
    for index in range(count, new["shards"]):
        if os.path.exists(_shard_dir(db.path, index)):
            # Left by a split that was rolled back while its actor lived.
            shutil.rmtree(_shard_dir(db.path, index))
        actors[index] = shared.start(index, create=create, node=infos[index % count]["node_id"], layout=new)
    outcomes = [db._outcome(i, a.info.remote()) for i, a in actors.items()]
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            raise outcome
    for actor in actors.values():
        ray.get(actor.attach.remote(shared.token))
    _copy_settings(db, shared, actors, new)
    return actors


def _copy_settings(db: _Collection, shared: _Shards, actors: dict[int, Any], new: dict[str, Any]) -> None:
    """The text index and quantized search (either mode) of the old shards,
    on the new."""
    version = layout_version(new)
    first = shared.actors[0]
    text = ray.get(first.call.remote(None, "text_index"))
    quantized = ray.get(first.call.remote(None, "quantized_search"))
    binary = ray.get(first.call.remote(None, "binary_search"))
    refs = []
    for actor in actors.values():
        if text is not None:
            options = {
                key: text[key] for key in ("language", "stemmer", "stopwords", "k1", "b") if key in text
            }
            refs.append(actor.call.remote(version, "create_text_index", text["field"], **options))
        if binary:
            refs.append(actor.call.remote(version, "enable_quantized_search", "binary"))
        elif quantized:
            refs.append(actor.call.remote(version, "enable_quantized_search"))
    ray.get(refs)


def _copy(
    db: _Collection, shared: _Shards, token: str, new: dict[str, Any], new_actors: dict[int, Any]
) -> int:
    """Steps 2 and 3: the old shards note their moving ids, then copy them
    in chunks, all shards at once. Returns how many records moved."""
    count = shared.count
    olds = shared.actors[:count]
    targets = [{j: a for j, a in new_actors.items() if j % count == i} for i in range(count)]
    sizes = _all(db, range(count), [olds[i].begin_split.remote(token, new, targets[i]) for i in range(count)])
    starts = [0] * count
    while any(start < size for start, size in zip(starts, sizes)):
        busy = [i for i in range(count) if starts[i] < sizes[i]]
        _all(db, busy, [olds[i].copy_moving.remote(token, starts[i], _CHUNK) for i in busy])
        for i in busy:
            starts[i] += _CHUNK
    return sum(sizes)


def _freeze_and_catch_up(db: _Collection, shared: _Shards, token: str, count: int) -> None:
    """Step 4."""
    olds = shared.actors[:count]
    deadline = time.monotonic() + _PREPARED_WAIT
    while True:
        held = _all(db, range(count), [actor.freeze.remote(token) for actor in olds])
        if not any(held):
            break
        if time.monotonic() > deadline:
            raise ShardUnavailableError(
                f"a batch held prepared on a shard of '{db.path}' did not resolve within "
                f"{_PREPARED_WAIT:.0f} s; the resharding was rolled back",
                next(i for i, h in enumerate(held) if h),
            )
        time.sleep(0.05)
    _all(db, range(count), [actor.catch_up.remote(token) for actor in olds])


def _switch(db: _Collection, shared: _Shards, new: dict[str, Any], new_actors: dict[int, Any]) -> None:
    """Step 6. A shard that cannot hear it now finishes its switch when it
    starts again (its record and the layout on disk tell it to)."""
    shared.follow(new, [None] * shared.count + [new_actors[i] for i in sorted(new_actors)])
    count = new["shards"]
    refs = [shared.actors[i].switch.remote(new) for i in range(count)]
    outcomes = [db._outcome(i, ref) for i, ref in enumerate(refs)]
    for index, outcome in enumerate(outcomes):
        if isinstance(outcome, ShardUnavailableError) and outcome.dead:
            db._revive(index)


def _all(db: _Collection, indexes: Any, refs: list[Any]) -> list[Any]:
    """The values of calls to the shards ``indexes``, or the first failure."""
    outcomes = [db._outcome(i, ref) for i, ref in zip(indexes, refs)]
    for outcome in outcomes:
        if isinstance(outcome, BaseException):
            raise outcome
    return outcomes


def _roll_back(root: str, shared: _Shards | None, old: dict[str, Any], count: int, shards: int) -> None:
    """Undoes a split that has not taken effect: the old shards keep every
    record and take writes again, the new shards' actors end and their
    directories are removed, and resharding.json goes last."""
    for index in range(count):
        actor = shared.actors[index] if shared is not None else _named(root, index)
        if actor is not None:
            try:
                ray.get(actor.abandon_split.remote())
            except ray.exceptions.RayError:
                pass  # restarted or gone: it holds no split
    for index in range(count, shards):
        actor = _named(root, index)
        if actor is not None:
            try:
                ray.get(actor.close.remote())
            except ray.exceptions.RayError:
                pass
            ray.kill(actor, no_restart=True)
        _remove_when_free(_shard_dir(root, index))
    if shared is not None and len(shared.actors) > count and shared.count == count:
        shared.actors = shared.actors[:count]
    _remove_intent(root)


def _named(root: str, index: int) -> Any:
    try:
        return ray.get_actor(member_name(root, index, 0), namespace=NAMESPACE)
    except ValueError:
        return None


def _remove_when_free(directory: str) -> None:
    """Removes a new shard's directory once its ended actor's process has
    let go of it."""
    for _ in range(100):
        try:
            shutil.rmtree(directory)
            return
        except FileNotFoundError:
            return
        except OSError:
            time.sleep(0.1)
    shutil.rmtree(directory, ignore_errors=True)


def _driver_gone(intent: dict[str, Any]) -> bool:
    """Whether the driver that wrote the record has exited."""
    job = intent.get("job")
    try:
        jobs = _ray._private.state.jobs()
    except Exception:  # an internal table: its shape may change
        return True
    for entry in jobs:
        if str(entry.get("JobID")) == str(job):
            return bool(entry.get("IsDead"))
    return True  # unknown to this cluster: it ran on one that has ended


def roll_back_abandoned(root: str, running: bool) -> None:
    """Before a collection opens: a split cut off before it took effect is
    rolled back (so that its new shards' directories do not look like a
    layout mismatch) when no shard is ``running`` or its driver has exited.
    One that took effect is finished once the shards run
    (settle_resharding)."""
    try:
        intent = _read_intent(root)
        layout = _read_layout(root)
    except (OSError, ValueError):
        return  # the open reports what is wrong with the files
    if intent is None or layout is None or layout_version(layout) >= intent["version"]:
        return
    if running and not _driver_gone(intent):
        return
    _roll_back(root, None, layout, intent["from"], intent["to"])


def settle_resharding(root: str, shared: _Shards) -> None:
    """After a collection opens: a split that took effect (its layout
    written) but may not have reached every shard is finished (every shard
    switches; repeating a switch changes nothing, so this may run beside
    the resharding driver's own switch), and this process follows the new
    layout."""
    try:
        intent = _read_intent(root)
        layout = _read_layout(root)
    except (OSError, ValueError):
        return
    if intent is None or layout is None or layout_version(layout) != intent["version"]:
        return
    shared.follow(layout)
    refs = [actor.switch.remote(layout) for actor in shared.actors[: layout["shards"]]]
    for ref in refs:
        try:
            ray.get(ref)
        except (ray.exceptions.RayError, LayoutChangedError):
            return  # a later open finishes it
    _remove_intent(root)
