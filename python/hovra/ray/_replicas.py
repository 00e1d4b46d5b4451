"""Replicas of the shards: read-only copies of each shard's database served
by actors on other nodes, the member each read goes to, bringing the
replicas up to a write before it is acknowledged (sync_replicas), and the
promotion of a replica when a shard's primary is lost.

A replica opens its shard's directory read-only, on storage that every
node mounts, and follows the primary's log as the primary appends to it:
the records travel once, through the storage, and a replica that restarts
loads the directory as it stands. Copies on other disks are the storage's
business (a replicated or network file system); replicas give reads more
actors to go to and a warm standby to promote.

Promotion opens the directory for writing, so the directory's lock decides
it: while the old primary's process lives no replica takes over, and of two
handles that promote at once exactly one succeeds.
"""

from __future__ import annotations

import itertools
from collections.abc import Sequence
from typing import Any, Protocol

import ray
import ray.exceptions

from ._common import _GONE, NAMESPACE

# How long a probe of a member waits for its answer; one that has not
# answered by then is busy, not lost.
_PROBE_SECONDS = 10.0


class _Primaries(Protocol):
    """What the replicas ask of the collection's shard actors (_Shards)."""

    root: str
    actors: list[Any]

    @property
    def count(self) -> int: ...

    def start_actor(self, name: str, index: int, node: str, replica: bool) -> Any: ...


def replica_name(root: str, index: int, number: int) -> str:
    """The actor name of replica ``number`` (1, 2, ...) of shard ``index``."""
    return f"{root}/shard-{index:03d}/replica-{number}"


def replica_nodes(primary: str, count: int, index: int, nodes: Sequence[str]) -> list[str]:
    """Nodes for ``count`` replicas of shard ``index`` whose primary runs on
    ``primary``: the other nodes, round robin from the shard's number; the
    primary's own only when no other node is there."""
    others = [n for n in nodes if n != primary] or [primary]
    return [others[(index + k) % len(others)] for k in range(count)]


class _ReplicaSet:
    """The replicas of every shard of one collection, for one process:
    ``members[i]`` holds the live replica actors of shard i."""

    def __init__(self, primaries: _Primaries, copies: int) -> None:
        self.primaries = primaries
        self.copies = copies  # members of a shard, its primary included
        self.members: dict[int, list[Any]] = {}
        self.turn = itertools.count()
        self.started = copies == 1  # nothing to start for one copy

    def start(self, infos: Sequence[dict[str, Any]], nodes: Sequence[str]) -> None:
        """Finds by name or starts the replicas of every shard on other
        ``nodes`` than its primary's (``infos``: the primaries' info()),
        and waits until they answer. One lost with its node is left out;
        one that another handle promoted is taken as the primary."""
        self.started = True
        primaries = self.primaries
        calls = []
        for index, info in enumerate(infos):
            places = replica_nodes(info["node_id"], self.copies - 1, index, nodes)
            for number, node in enumerate(places, start=1):
                actor = primaries.start_actor(replica_name(primaries.root, index, number), index, node, True)
                calls.append((index, actor, actor.info.remote()))
        for index, actor, ref in calls:
            try:
                answer = ray.get(ref)
            except _GONE:
                continue
            if answer["replica"]:
                self.members.setdefault(index, []).append(actor)
            elif answer["index"] == index and _probe(primaries.actors[index]) is None:
                primaries.actors[index] = actor

    def adopt_promoted(self, index: int) -> bool:
        """For a handle whose primary of shard ``index`` is lost: takes the
        replica that another handle promoted, found by name. Returns
        whether there was one."""
        for number in range(1, self.copies):
            try:
                actor = ray.get_actor(replica_name(self.primaries.root, index, number), namespace=NAMESPACE)
            except ValueError:
                continue
            answer = _probe(actor)
            if answer is not None and answer.get("replica") is False:
                self.primaries.actors[index] = actor
                return True
        return False

    def reader(self, index: int) -> Any:
        """The member of shard ``index`` that the next read goes to: the
        primary and the live replicas in turn."""
        members = [self.primaries.actors[index], *self.members.get(index, ())]
        return members[next(self.turn) % len(members)]

    def actors(self) -> list[Any]:
        return [actor for members in self.members.values() for actor in members]

    def sync(self, indexes: Sequence[int]) -> None:
        """Brings every live replica of the shards ``indexes`` up to what
        their primaries have logged. A replica that is restarting loads the
        directory afresh when it is back; one lost for good is no longer
        live."""
        calls = [(i, a, a.refresh.remote()) for i in sorted(set(indexes)) for a in self.members.get(i, ())]
        for index, actor, ref in calls:
            try:
                ray.get(ref)
            except _GONE:
                if actor in self.members[index]:
                    self.members[index].remove(actor)
            except ray.exceptions.RayActorError:
                pass

    def recover(self, index: int) -> bool:
        """After a call to shard ``index`` met a lost member: leaves out its
        lost replicas and, when its primary is the one lost, makes a live
        replica the primary (one that another handle promoted, else one
        promoted here). Returns whether the shard has a live primary."""
        primaries = self.primaries
        answers = [(actor, _probe(actor)) for actor in self.members.get(index, ())]
        live = [(actor, answer) for actor, answer in answers if answer is not None]
        self.members[index] = [actor for actor, _ in live]
        if _probe(primaries.actors[index]) is not None:
            return True
        chosen = next((actor for actor, answer in live if answer.get("replica") is False), None)
        for actor, _ in live:
            if chosen is not None:
                break
            try:
                if ray.get(actor.promote.remote()):
                    chosen = actor
            except ray.exceptions.RayError:
                continue
        if chosen is None:
            return False
        self.members[index].remove(chosen)
        primaries.actors[index] = chosen
        return True


def _probe(actor: Any) -> dict[str, Any] | None:
    """The member's info(); an empty dict when it is busy past the probe's
    time; None when it is lost."""
    try:
        answer: dict[str, Any] = ray.get(actor.info.remote(), timeout=_PROBE_SECONDS)
        return answer
    except ray.exceptions.GetTimeoutError:
        return {}
    except ray.exceptions.RayError:
        return None
