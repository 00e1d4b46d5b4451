"""The files of a sharded collection on a node's disk: shards.json (the
layout), each shard's own record of its place (shard.json in its
directory), the decisions of multi-shard batches (transactions/), the
record of a resharding under way (resharding.json), and the probe that
reports what a node holds."""

from __future__ import annotations

import json
import os
import uuid
from typing import Any

import ray
import ray.exceptions

from ._common import (
    LAYOUT_FILE,
    LAYOUT_FORMAT,
    ROUTING,
)


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
        or not isinstance(layout.get("version", 0), int)
        or isinstance(layout.get("version", 0), bool)
        or layout.get("version", 0) < 0
        or not isinstance(layout.get("replicas", 1), int)
        or isinstance(layout.get("replicas", 1), bool)
        or layout.get("replicas", 1) < 1
    ):
        raise ValueError(f"'{os.path.join(root, LAYOUT_FILE)}' is not a layout this version of hovra reads")
    return layout


def layout_version(layout: dict[str, Any]) -> int:
    """The layout's version: 0 as created, one more at each resharding."""
    version: int = layout.get("version", 0)
    return version


def _synced_write(target: str, text: str) -> None:
    """Writes ``text`` to a temporary file beside ``target``, syncs it and
    renames it into place."""
    temporary = f"{target}.{uuid.uuid4().hex}.tmp"
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, target)
    _sync_directory(os.path.dirname(target))


def _sync_directory(directory: str) -> None:
    dir_fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(dir_fd)
    finally:
        os.close(dir_fd)


SHARD_RECORD = "shard.json"


def _check_shard_record(directory: str, index: int, shards: int) -> None:
    """Compares a shard directory's own record of its index and of the shard
    count with the layout, and refuses a mismatch: records routed under one
    count are not found under another. A shard without the record (made
    before it existed) gets it."""
    target = os.path.join(directory, SHARD_RECORD)
    try:
        with open(target, encoding="utf-8") as f:
            record = json.load(f)
    except FileNotFoundError:
        _synced_write(target, json.dumps({"index": index, "shards": shards}) + "\n")
        return
    except ValueError:
        record = None
    if not isinstance(record, dict) or record.get("index") != index or record.get("shards") != shards:
        raise ValueError(
            f"'{target}' records shard {record.get('index') if isinstance(record, dict) else '?'} of "
            f"{record.get('shards') if isinstance(record, dict) else '?'}, but {LAYOUT_FILE} lays out "
            f"shard {index} of {shards}: the layout does not match the directories"
        )


def _read_shard_record(directory: str) -> dict[str, Any] | None:
    """A shard directory's record of its index and count, or None when it is
    missing or unreadable."""
    try:
        with open(os.path.join(directory, SHARD_RECORD), encoding="utf-8") as f:
            record = json.load(f)
    except (OSError, ValueError):
        return None
    return record if isinstance(record, dict) else None


def _write_shard_record(directory: str, index: int, shards: int) -> None:
    """Records the shard's index and the count, keeping the rest of the
    record (the codes the shard searches with)."""
    record = _read_shard_record(directory) or {}
    record.update(index=index, shards=shards)
    _synced_write(os.path.join(directory, SHARD_RECORD), json.dumps(record) + "\n")


# The codes a shard may be switched to search with, as the record names them.
CODES = ("sq8", "binary", "off")


def _recorded_codes(directory: str) -> str | None:
    """The codes the shard's record says it searches with ("sq8",
    "binary" or "off"), or None when none were chosen."""
    codes = (_read_shard_record(directory) or {}).get("codes")
    return codes if codes in CODES else None


def _record_codes(directory: str, codes: str) -> None:
    """Records the codes the shard was switched to, so that every later
    start of the shard (a restart, a promoted replica, a reopening) and its
    replicas search with them again."""
    record = _read_shard_record(directory)
    if record is None or record.get("codes") == codes:
        return
    record["codes"] = codes
    _synced_write(os.path.join(directory, SHARD_RECORD), json.dumps(record) + "\n")


def _replace_layout(root: str, layout: dict[str, Any]) -> None:
    """Writes ``shards.json`` in place of the one there (synced, renamed into
    place, the directory synced): the point at which a resharding takes
    effect."""
    _synced_write(os.path.join(root, LAYOUT_FILE), json.dumps(layout, indent=2) + "\n")


def _write_layout(root: str, layout: dict[str, Any]) -> None:
    """Writes ``shards.json`` unless it is there. Several shards on shared
    storage may do this at once: each writes its own temporary file and
    renames it into place, and all write the same bytes."""
    os.makedirs(root, exist_ok=True)
    target = os.path.join(root, LAYOUT_FILE)
    if os.path.exists(target):
        return
    _synced_write(target, json.dumps(layout, indent=2) + "\n")


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
# Decisions of multi-shard batches
# ---------------------------------------------------------------------------

DECISIONS = "transactions"
COMMIT = "commit"
ABORT = "abort"


def _decisions_dir(root: str) -> str:
    return os.path.join(root, DECISIONS)


def _decide(root: str, transaction: str, outcome: str) -> str:
    """Records the outcome of a transaction unless one is recorded already,
    and returns the one that stands. The file is created exclusively, so
    when the driver (deciding commit) and a restarted shard (claiming abort
    for a batch it holds prepared) race, exactly one wins and both follow
    it. The record is synced, with its directory, before this returns."""
    directory = _decisions_dir(root)
    os.makedirs(directory, exist_ok=True)
    target = os.path.join(directory, transaction)
    # Written whole and synced under a temporary name, then linked into
    # place: a link fails when the name exists, and a reader never sees a
    # half-written record.
    temporary = f"{target}.{uuid.uuid4().hex}.tmp"
    with open(temporary, "w", encoding="ascii") as f:
        f.write(outcome)
        f.flush()
        os.fsync(f.fileno())
    try:
        os.link(temporary, target)
    except FileExistsError:
        return _decision(root, transaction) or ABORT
    finally:
        os.remove(temporary)
    _sync_directory(directory)
    return outcome


def _decision(root: str, transaction: str) -> str | None:
    """The recorded outcome, or None."""
    try:
        with open(os.path.join(_decisions_dir(root), transaction), encoding="ascii") as f:
            text = f.read()
    except FileNotFoundError:
        return None
    return COMMIT if text == COMMIT else ABORT


def _forget(root: str, transaction: str) -> None:
    """Deletes a decision once every shard has resolved the transaction."""
    try:
        os.remove(os.path.join(_decisions_dir(root), transaction))
    except FileNotFoundError:
        pass


# ---------------------------------------------------------------------------
# A resharding under way
# ---------------------------------------------------------------------------

RESHARDING = "resharding.json"


def _read_intent(root: str) -> dict[str, Any] | None:
    """The record of a resharding under way (``from``, ``to``, ``version``
    of the layout it writes, ``job`` of the driver running it), or None."""
    try:
        with open(os.path.join(root, RESHARDING), encoding="utf-8") as f:
            intent = json.load(f)
    except FileNotFoundError:
        return None
    except ValueError:
        intent = None
    if not isinstance(intent, dict) or not all(
        isinstance(intent.get(key), int) for key in ("from", "to", "version")
    ):
        raise ValueError(f"'{os.path.join(root, RESHARDING)}' is not a record this version of hovra reads")
    return intent


def _write_intent(root: str, intent: dict[str, Any]) -> None:
    _synced_write(os.path.join(root, RESHARDING), json.dumps(intent) + "\n")


def _remove_intent(root: str) -> None:
    try:
        os.remove(os.path.join(root, RESHARDING))
    except FileNotFoundError:
        return
    _sync_directory(root)
