"""Replicas of the shards: read-only copies of each shard's database served
by actors on other nodes, the member each read goes to, bringing the
replicas up to a write before it is acknowledged (sync_replicas), the
promotion of a replica when a shard's primary is lost, and new replicas in
the places of lost members, so that every shard keeps its count of copies.

A replica opens its shard's directory read-only, on storage that every
node mounts, and follows the primary's log as the primary appends to it:
the records travel once, through the storage, and a replica that restarts
loads the directory as it stands. Copies on other disks are the storage's
business (a replicated or network file system); replicas give reads more
actors to go to and a warm standby to promote.

Each shard has one named place per copy: place 0 is ``root/shard-NNN``,
place k is ``root/shard-NNN/replica-k``. The primary starts in place 0;
after a promotion it runs in a replica's place, and the new replica that
replaces the lost member takes the lost one's place. Which member is the
primary is what each member says (``info()["replica"]``), never its name.

Promotion opens the directory for writing, so the directory's lock decides
it: while the old primary's process lives no replica takes over, and of two
handles that promote at once exactly one succeeds.
"""

from __future__ import annotations

import itertools
import threading
from collections.abc import Sequence
from typing import Any, Protocol

import ray
import ray.exceptions

from ._common import _GONE, NAMESPACE
from ._files import layout_version

# How long a probe of a member waits for its answer; one that has not
# answered by then is busy, not lost.
_PROBE_SECONDS = 10.0


class _Primaries(Protocol):
    """What the replicas ask of the collection's shard actors (_Shards)."""

    root: str
    actors: list[Any]
    layout: dict[str, Any]

    @property
    def count(self) -> int: ...

    def live_nodes(self) -> list[str]: ...

    def start_actor(self, name: str, index: int, node: str, replica: bool) -> Any: ...


def member_name(root: str, index: int, place: int) -> str:
    """The actor name of place ``place`` of shard ``index``: 0 is where its
    primary starts, 1, 2, ... its replicas'."""
    name = f"{root}/shard-{index:03d}"
    return name if place == 0 else f"{name}/replica-{place}"


def new_member_nodes(nodes: Sequence[str], used: Sequence[str], count: int, index: int) -> list[str]:
    """Nodes for ``count`` new copies of shard ``index`` whose live copies
    run on ``used``: the nodes without a copy, round robin from the shard's
    number; any node when every one has a copy."""
    free = [n for n in nodes if n not in used] or list(nodes)
    return [free[(index + k) % len(free)] for k in range(count)]


def find_primary(root: str, index: int, copies: int) -> Any:
    """The live member of shard ``index`` that says it is the primary,
    found by name, or None."""
    for place in range(copies):
        actor = _named(member_name(root, index, place))
        if actor is not None:
            answer, _ = _probe(actor)
            if answer is not None and answer.get("replica") is False:
                return actor
    return None


class _ReplicaSet:
    """The replicas of every shard of one collection, for one process:
    ``members[i]`` holds the live replica actors of shard i, ``pending[i]``
    the new ones still opening (by place), which join once they answer."""

    def __init__(self, primaries: _Primaries, copies: int) -> None:
        self.primaries = primaries
        self.copies = copies  # members of a shard, its primary included
        self.members: dict[int, list[Any]] = {}
        self.pending: dict[int, dict[int, tuple[Any, Any]]] = {}
        self.turn = itertools.count()
        self.lock = threading.Lock()  # guards members and pending
        self.started = copies == 1  # nothing to start for one copy

    def start(self) -> None:
        """Finds by name or starts the copies of every shard, and waits until
        the new ones answer."""
        self.started = True
        for index in range(self.primaries.count):
            self.recover(index)
        self.admit(wait=True)

    def recover(self, index: int) -> bool:
        """Takes shard ``index``'s members from what its named places answer:
        the primary is the member that says so (else a live replica, promoted
        here), the replicas are the other live members, and a place whose
        actor is lost for good, or that has none, gets a new replica on a
        node without a copy (it joins once it answers, see admit). Returns
        whether the shard has a live primary."""
        primaries = self.primaries
        current = primaries.actors[index] if index < len(primaries.actors) else None
        with self.lock:
            opening = set(self.pending.get(index, {}))
        primary, replicas, lost, used = None, [], [], []
        for place in range(self.copies):
            if place in opening:
                continue
            actor = _named(member_name(primaries.root, index, place))
            answer, gone = _probe(actor) if actor is not None else (None, True)
            if answer is None:
                if gone:
                    lost.append((place, actor))
                continue
            used.append(answer.get("node_id", ""))
            if primary is None and (answer.get("replica") is False or (not answer and _same(actor, current))):
                primary = actor
            elif answer.get("replica"):
                replicas.append((actor, answer))
        if primary is None:
            primary = next((actor for actor, _ in replicas if _promoted(actor)), None)
            replicas = [(actor, answer) for actor, answer in replicas if actor is not primary]
        for _, actor in lost:
            if actor is not None:
                ray.kill(actor, no_restart=True)  # frees its name for the new replica
        if primary is None:
            return False
        self._catch_up([(actor, answer) for actor, answer in replicas])
        with self.lock:
            primaries.actors[index] = primary
            self.members[index] = [actor for actor, _ in replicas]
        self._replace(index, [place for place, _ in lost], used)
        return True

    def _replace(self, index: int, places: Sequence[int], used: Sequence[str]) -> None:
        """Starts new replicas of shard ``index`` in ``places``."""
        if not places:
            return
        nodes = new_member_nodes(self.primaries.live_nodes(), used, len(places), index)
        for place, node in zip(places, nodes):
            actor = self.primaries.start_actor(
                member_name(self.primaries.root, index, place), index, node, True
            )
            with self.lock:
                self.pending.setdefault(index, {})[place] = (actor, actor.info.remote())

    def admit(self, wait: bool = False) -> None:
        """Lets the new replicas that have answered join their shards'
        members, once they have read what their primary logged and follow
        its layout; drops those that failed to open. With ``wait``, waits
        for every one."""
        with self.lock:
            waiting = [
                (index, place, actor, ref)
                for index, places in self.pending.items()
                for place, (actor, ref) in places.items()
            ]
        if not waiting:
            return
        refs = [ref for _, _, _, ref in waiting]
        ready, _ = ray.wait(refs, num_returns=len(refs), timeout=None if wait else 0)
        done = set(ready)
        for index, place, actor, ref in waiting:
            if ref not in done:
                continue
            try:
                answer = ray.get(ref)
                self._catch_up([(actor, answer)])
                joins = bool(answer.get("replica"))
            except ray.exceptions.RayError:
                joins = False
            with self.lock:
                if self.pending.get(index, {}).pop(place, None) is None:
                    continue  # another thread admitted it
                members = self.members.setdefault(index, [])
                if joins and not any(_same(actor, member) for member in members):
                    members.append(actor)
            if joins:
                # Writes acknowledged while it joined.
                _quietly(actor.refresh.remote())

    def _catch_up(self, replicas: Sequence[tuple[Any, dict[str, Any]]]) -> None:
        """Brings replicas that follow an older layout than the primaries'
        (live through a resharding) to it, and to what their primaries have
        logged."""
        layout = self.primaries.layout
        refs = [
            actor.switch.remote(layout)
            for actor, answer in replicas
            if answer and layout_version(answer.get("layout", {})) < layout_version(layout)
        ]
        refs += [actor.refresh.remote() for actor, _ in replicas]
        for ref in refs:
            _quietly(ref)

    def follow(self, layout: dict[str, Any], count: int) -> None:
        """After a resharding switched the primaries to ``layout``: the
        replicas of the ``count`` old shards switch too (they reread their
        shard, from which the moved records are gone), and the new shards
        get their replicas. Waits until they answer."""
        with self.lock:
            members = [actor for index in range(count) for actor in self.members.get(index, ())]
        for ref in [actor.switch.remote(layout) for actor in members]:
            _quietly(ref)
        for index in range(count, layout["shards"]):
            self.recover(index)
        self.admit(wait=True)

    def reader(self, index: int) -> Any:
        """The member of shard ``index`` that the next read goes to: the
        primary and the live replicas in turn."""
        if self.pending:
            self.admit()
        members = [self.primaries.actors[index], *self.members.get(index, ())]
        return members[next(self.turn) % len(members)]

    def actors(self) -> list[Any]:
        """Every replica, those still opening included."""
        with self.lock:
            opening = [actor for places in self.pending.values() for actor, _ in places.values()]
            return [actor for members in self.members.values() for actor in members] + opening

    def sync(self, indexes: Sequence[int]) -> None:
        """Brings every live replica of the shards ``indexes`` up to what
        their primaries have logged. A replica that is restarting loads the
        directory afresh when it is back; one lost for good is replaced."""
        with self.lock:
            calls = [(i, a) for i in sorted(set(indexes)) for a in self.members.get(i, ())]
        refs = [(index, actor.refresh.remote()) for index, actor in calls]
        lost = set()
        for index, ref in refs:
            try:
                ray.get(ref)
            except _GONE:
                lost.add(index)
            except ray.exceptions.RayActorError:
                pass
        for index in sorted(lost):
            self.recover(index)


def _named(name: str) -> Any:
    try:
        return ray.get_actor(name, namespace=NAMESPACE)
    except ValueError:
        return None


def _same(actor: Any, other: Any) -> bool:
    """Whether two handles name one actor."""
    return other is not None and actor._actor_id == other._actor_id


def _promoted(actor: Any) -> bool:
    try:
        return bool(ray.get(actor.promote.remote()))
    except ray.exceptions.RayError:
        return False


def _quietly(ref: Any) -> None:
    """Waits for a call whose failure the member's next probe finds."""
    try:
        ray.get(ref)
    except ray.exceptions.RayError:
        pass


def _probe(actor: Any) -> tuple[dict[str, Any] | None, bool]:
    """The member's info() (an empty dict when it is busy past the probe's
    time; None when it is lost), and whether it is lost for good."""
    try:
        answer: dict[str, Any] = ray.get(actor.info.remote(), timeout=_PROBE_SECONDS)
        return answer, False
    except ray.exceptions.GetTimeoutError:
        return {}, False
    except _GONE:
        return None, True
    except ray.exceptions.RayError:
        return None, False
