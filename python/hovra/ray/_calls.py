"""How a sharded collection's calls reach its shards: the layout a call is
routed under, one shard's answer or failure, reads asked again of a shard
started anew, calls routed again after a resharding, fan-out to every
shard, and the replicas brought up to a write."""

from __future__ import annotations

import threading
import time
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING, Any

import ray
import ray.exceptions
from _hovra import DatabaseClosedError

from ._common import (
    _GONE,
    _READS,
    _RETRIED_READS,
    LayoutChangedError,
    LayoutChangingError,
    ShardUnavailableError,
    _Collection,
    _open_failure,
    shard_of,
)
from ._replicas import ReadCall
from ._transactions import retry_conflicts

if TYPE_CHECKING:
    from ._cluster import _Shards

# How long a call waits for shards that a resharding has frozen.
_LAYOUT_WAIT = 120.0


class _ShardCalls(_Collection):
    """The calls of ShardedDatabase to its shards; the collection sets the
    attributes below when it opens."""

    _path: str
    _shared: _Shards | None
    _pins: threading.local
    _closed: bool
    _sync_replicas: bool

    @property
    def _actors(self) -> list[Any]:
        if self._shared is None:
            raise DatabaseClosedError("database is closed")
        return self._shared.actors

    def _layout(self) -> dict[str, Any]:
        """The layout a call routes under: the one _routed pinned for this
        thread's call (so that its shard numbers and the version it sends
        agree while another thread follows a new layout), else the current
        one."""
        pinned: dict[str, Any] | None = getattr(self._pins, "layout", None)
        if pinned is not None:
            return pinned
        if self._shared is None:
            raise DatabaseClosedError("database is closed")
        return self._shared.layout

    @property
    def _version(self) -> int:
        """The version of the layout calls are routed under."""
        version: int = self._layout().get("version", 0)
        return version

    @property
    def _count(self) -> int:
        count: int = self._layout()["shards"]
        return count

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
        # Died for good, or its node is gone (Ray cannot place it again on
        # the node it was pinned to): started again by _revive.
        failed.dead = isinstance(error, _GONE)
        failed.__cause__ = error
        return failed

    def _outcome(self, index: int, ref: Any) -> Any:
        """The value of one shard call, or the exception it ended with: the
        database's own error, or ShardUnavailableError. A read that a
        replica could not answer is answered by the shard's primary."""
        if isinstance(ref, ReadCall):
            outcome = self._outcome(index, ref.ref)
            shared = self._shared
            if isinstance(outcome, ShardUnavailableError) and shared is not None:
                again = ref.again(shared.replicas, index, shared.actors[index], outcome.dead)
                if again is not None:
                    return self._outcome(index, again)
            return outcome
        try:
            return ray.get(ref)
        except ray.exceptions.RayTaskError as error:
            cause = getattr(error, "cause", None)
            return cause if isinstance(cause, BaseException) else error
        except ray.exceptions.RayActorError as error:
            if getattr(error, "_actor_init_failed", False):
                return _open_failure(f"shard {index} of '{self._path}'", error)
            return self._unavailable(index, error)
        except ray.exceptions.RayError as error:  # its process or node failed under the call
            return self._unavailable(index, error)

    def _gather(self, refs: Sequence[Any], shards: Sequence[int] | None = None) -> list[Any]:
        """Waits for every call, then raises the first failure in shard order
        or returns the values."""
        indexes = list(shards) if shards is not None else list(range(len(refs)))
        outcomes = [self._outcome(i, ref) for i, ref in zip(indexes, refs)]
        self._revive_dead(indexes, outcomes)
        for outcome in outcomes:
            if isinstance(outcome, BaseException):
                raise outcome
        return outcomes

    def _revive_dead(self, indexes: Sequence[int], outcomes: Sequence[Any]) -> None:
        """Starts again the shards that the outcomes found dead for good."""
        for index, outcome in zip(indexes, outcomes):
            if isinstance(outcome, ShardUnavailableError) and outcome.dead:
                outcome.revived = self._revive(index)

    def _revive(self, index: int) -> bool:
        """Recovers shard ``index`` after a call found one of its actors
        lost: with replicas, leaves out the lost ones, promotes a replica
        when the primary is the one lost and starts new replicas in the
        lost ones' places; else (or when no replica
        can take over) starts the shard again, on a live node that holds its
        directory (any node, on shared storage), and waits until it answers.
        Several handles may do this at once: the actor's name makes them
        share one new actor. Returns whether the shard answers now."""
        shared = self._shared
        if shared is None or shared.stopped:
            return False
        try:
            if shared.replicas.copies > 1 and shared.replicas.recover(index):
                return not isinstance(
                    self._outcome(index, shared.actors[index].attach.remote(shared.token)), BaseException
                )
            shared.restart(index)
            self._outcome(index, shared.actors[index].attach.remote(shared.token))
            answer = self._outcome(index, shared.actors[index].info.remote())
            if shared.replicas.copies > 1 and not isinstance(answer, BaseException):
                shared.replicas.recover(index)  # new replicas in the lost ones' places
        except (ValueError, ray.exceptions.RayError):
            return False
        return not isinstance(answer, BaseException)

    def _gather_partial(self, refs: Sequence[Any]) -> tuple[list[Any], tuple[int, ...]]:
        """The answers of the shards that gave one, and the shards that could
        not (unavailable). Any other error is raised."""
        indexes = list(range(len(refs)))
        outcomes = [self._outcome(i, ref) for i, ref in zip(indexes, refs)]
        self._revive_dead(indexes, outcomes)
        for outcome in outcomes:
            if isinstance(outcome, BaseException) and not isinstance(outcome, ShardUnavailableError):
                raise outcome
        missing = tuple(i for i, o in zip(indexes, outcomes) if isinstance(o, ShardUnavailableError))
        return [o for o in outcomes if not isinstance(o, BaseException)], missing

    def _read(self, run: Callable[[], Any]) -> Any:
        """A read that meets a shard found dead, revived meanwhile, is asked
        once more."""
        try:
            return run()
        except ShardUnavailableError as error:
            if not error.revived:
                raise
        return run()

    def _routed(self, run: Callable[[], Any]) -> Any:
        """Runs a call that routes by the layout; when a shard refuses it
        because the collection was resharded meanwhile, follows the new
        layout and runs it again (a shard frozen by a resharding's switch is
        waited for, at most _LAYOUT_WAIT seconds)."""
        if getattr(self._pins, "layout", None) is not None:
            return run()  # within a routed call: the outer one routes again
        deadline = time.monotonic() + _LAYOUT_WAIT
        pause = 0.01
        while True:
            shared = self._shared
            if shared is None:
                raise DatabaseClosedError("database is closed")
            self._pins.layout = shared.layout
            try:
                return run()
            except LayoutChangedError as error:
                if time.monotonic() > deadline:
                    raise ShardUnavailableError(
                        f"'{self._path}' has been switching to a new layout for {_LAYOUT_WAIT:.0f} s", 0
                    ) from error
                if isinstance(error, LayoutChangingError):
                    time.sleep(pause)
                    pause = min(pause * 2, 0.2)
                shared.refresh()
            finally:
                self._pins.layout = None

    def _call(self, index: int | Callable[[], int], name: str, *args: Any, **kwargs: Any) -> Any:
        """One shard's answer. ``index`` may be a function that picks the
        shard under the current layout (an id's owner), so that the call is
        routed again after a resharding."""
        self._check_open()

        def pick() -> int:
            return index() if callable(index) else index

        def once() -> Any:
            shard = pick()
            answer = self._gather([self._submit(shard, name, *args, **kwargs)], [shard])[0]
            if name not in _READS:
                self._synced([shard])
            return answer

        if name in _READS:
            return self._routed(lambda: self._read(once))
        return self._routed(lambda: retry_conflicts(once))

    def _call_part(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any:
        """A write of a batch's part on shard ``index``, not routed again: a
        shard that follows another layout raises LayoutChangedError, and the
        batch is split again."""
        self._check_open()
        answer = retry_conflicts(
            lambda: self._gather([self._submit(index, name, *args, **kwargs)], [index])[0]
        )
        self._synced([index])
        return answer

    def _synced(self, shards: Sequence[int]) -> None:
        """With sync_replicas: once the primaries of ``shards`` acknowledged a
        write, every live replica of theirs reads it."""
        shared = self._shared
        if self._sync_replicas and shared is not None:
            shared.replicas.sync(shards)

    def _codes_changed(self) -> None:
        """The replicas take the codes their primaries now search with."""
        shared = self._shared
        if shared is not None:
            shared.replicas.copy_codes()

    def _submit(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any:
        if name in _READS:
            return self._read_call(index, "call", name, *args, **kwargs)
        return self._actors[index].call.remote(self._version, name, *args, **kwargs)

    def _read_call(self, index: int, method: str, *args: Any, **kwargs: Any) -> ReadCall:
        """A read of shard ``index`` (the shard actor's ``method``, under the
        current layout), sent to its primary or, with replicas, to each
        member in turn."""
        shared = self._shared
        if shared is None:
            raise DatabaseClosedError("database is closed")
        version = self._version

        def send(member: Any) -> Any:
            remote = getattr(member, method).options(max_task_retries=_RETRIED_READS)
            return remote.remote(version, *args, **kwargs)

        return ReadCall(shared.replicas.reader(index), send)

    def _fan_out(self, name: str, *args: Any, **kwargs: Any) -> list[Any]:
        self._check_open()

        def run() -> list[Any]:
            return self._gather([self._submit(i, name, *args, **kwargs) for i in range(self._count)])

        if name in _READS:
            answers: list[Any] = self._routed(lambda: self._read(run))
        else:
            answers = self._routed(run)
            self._synced(range(self._count))  # a save, compact or text index reaches the replicas
        return answers

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

    def _owner_of(self, id: str) -> Callable[[], int]:
        """The owner of ``id`` under the layout current when the call runs."""
        self._owner(id)  # checks the type now
        return lambda: shard_of(id, self._count)
