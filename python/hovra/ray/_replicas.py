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

A replica that fails a read is set aside (the read goes to the primary): it
rejoins once it answers again, and one lost for good is replaced. Replicas
search with the codes their primary searches with (none, SQ8 or one bit),
taken when they join and whenever the collection changes them.
"""

from __future__ import annotations

import itertools
import threading
from collections.abc import Callable, Sequence
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
        self.places: dict[Any, int] = {}  # each replica's place, by actor id
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
            if primary is None and (
                answer.get("replica") is False or (not answer and same_actor(actor, current))
            ):
                primary = actor
            elif answer.get("replica"):
                replicas.append((actor, answer))
                self.places[actor._actor_id] = place
        if primary is None:
            primary = next((actor for actor, _ in replicas if _promoted(actor)), None)
            replicas = [(actor, answer) for actor, answer in replicas if actor is not primary]
        for _, actor in lost:
            if actor is not None:
                ray.kill(actor, no_restart=True)  # frees its name for the new replica
        if primary is None:
            return False
        self._catch_up(primary, [(actor, answer) for actor, answer in replicas])
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
                self.places[actor._actor_id] = place
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
        failed = set()
        for index, place, actor, ref in waiting:
            if ref not in done:
                continue
            try:
                answer = ray.get(ref)
                self._catch_up(self.primaries.actors[index], [(actor, answer)])
                joins = bool(answer.get("replica"))
            except ray.exceptions.RayError:
                joins = False
                failed.add(index)
            with self.lock:
                if self.pending.get(index, {}).pop(place, None) is None:
                    continue  # another thread admitted it
                members = self.members.setdefault(index, [])
                if joins and not any(same_actor(actor, member) for member in members):
                    members.append(actor)
            if joins:
                # Writes acknowledged while it joined.
                _quietly(actor.refresh.remote())
        for index in sorted(failed):
            self.recover(index)  # its place gets a new replica

    def set_aside(self, index: int, actor: Any, lost: bool) -> None:
        """Takes a replica of shard ``index`` that failed a read out of the
        reads: one ``lost`` for good is replaced at once; another (its
        process restarting, say) rejoins once it answers (see admit)."""
        with self.lock:
            members = self.members.get(index, [])
            kept = [member for member in members if not same_actor(actor, member)]
            if len(kept) == len(members):
                return  # set aside by another thread already
            self.members[index] = kept
            place = self.places.get(actor._actor_id)
            if not lost and place is not None:
                self.pending.setdefault(index, {})[place] = (actor, actor.info.remote())
        if lost or place is None:
            self.recover(index)

    def _catch_up(self, primary: Any, replicas: Sequence[tuple[Any, dict[str, Any]]]) -> None:
        """Brings replicas that follow an older layout than the primaries'
        (live through a resharding) to it, to what their ``primary`` has
        logged, and to the codes it searches with."""
        if not replicas:
            return
        layout = self.primaries.layout
        refs = [
            actor.switch.remote(layout)
            for actor, answer in replicas
            if answer and layout_version(answer.get("layout", {})) < layout_version(layout)
        ]
        refs += [actor.refresh.remote() for actor, _ in replicas]
        for ref in refs:
            _quietly(ref)
        self._copy_codes(primary, [actor for actor, _ in replicas])

    def _copy_codes(self, primary: Any, replicas: Sequence[Any]) -> None:
        """Gives ``replicas`` the search codes of ``primary``."""
        if not replicas or primary is None:
            return
        try:
            codes = ray.get(primary.codes.remote())
        except ray.exceptions.RayError:
            return  # a primary lost meanwhile: the promoted one keeps its own
        for ref in [actor.use_codes.remote(codes) for actor in replicas]:
            _quietly(ref)

    def copy_codes(self) -> None:
        """After the collection changed its quantized search: every live
        replica takes its primary's codes (those still opening take them
        when they join)."""
        with self.lock:
            shards = [(index, list(members)) for index, members in self.members.items()]
        for index, members in shards:
            if index < len(self.primaries.actors):
                self._copy_codes(self.primaries.actors[index], members)

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


class ReadCall:
    """A read sent to one member of a shard, with what sends it again to
    another member (the primary, when a replica cannot answer)."""

    def __init__(self, member: Any, send: Callable[[Any], Any]) -> None:
        self.member = member
        self.send = send
        self.ref = send(member)

    def again(self, replicas: _ReplicaSet, index: int, primary: Any, lost: bool) -> Any:
        """After the member could not answer (``lost``: for good): the read
        sent to shard ``index``'s ``primary``, the member set aside; None
        when the member was the primary."""
        if same_actor(self.member, primary):
            return None
        ref = self.send(primary)
        replicas.set_aside(index, self.member, lost)
        return ref


def _named(name: str) -> Any:
    try:
        return ray.get_actor(name, namespace=NAMESPACE)
    except ValueError:
        return None


def same_actor(actor: Any, other: Any) -> bool:
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
