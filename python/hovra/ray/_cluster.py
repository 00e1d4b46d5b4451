"""The Ray side of a collection: connecting, choosing nodes, finding the
shards on the nodes' disks, and the shard actors shared by every handle of
a path in this process."""

from __future__ import annotations

import os
import tempfile
import uuid
import weakref
from collections.abc import Sequence
from typing import Any

import ray
import ray.exceptions
from _hovra import (
    Database,
)
from ray.util.scheduling_strategies import NodeAffinitySchedulingStrategy

from ._common import (
    LAYOUT_FILE,
    NAMESPACE,
    _ray,
)
from ._files import _probe_task, _read_layout, _shard_dir, layout_version
from ._replicas import _ReplicaSet, find_primary, member_name
from ._shard import _ShardActor


def _connect(address: str | None) -> None:
    if ray.is_initialized():
        return
    if address is None:
        ray.init()  # RAY_ADDRESS, else the cluster `ray start` last started here, else a local Ray
    else:
        ray.init(address=address)


def _alive_nodes() -> list[dict[str, Any]]:
    nodes = [n for n in _ray.nodes() if n.get("Alive")]
    return sorted(nodes, key=lambda n: (n["NodeManagerAddress"], n["NodeID"]))


def _candidate_nodes(wanted: Sequence[str] | None) -> list[str]:
    """Node ids to deal new shards over: those of ``wanted`` (node ids or IP
    addresses), or else every live node that has CPUs."""
    alive = _alive_nodes()
    if wanted is not None:
        chosen = []
        for name in wanted:
            match = [n["NodeID"] for n in alive if name in (n["NodeID"], n["NodeManagerAddress"])]
            if not match:
                raise ValueError(f"no live Ray node has the id or address '{name}'")
            chosen.append(match[0])
    else:
        chosen = [n["NodeID"] for n in alive if n.get("Resources", {}).get("CPU", 0) > 0]
        chosen = chosen or [n["NodeID"] for n in alive]
    if not chosen:
        raise ValueError("the Ray cluster has no live node")
    return chosen


def _on_node(node_id: str) -> NodeAffinitySchedulingStrategy:
    return NodeAffinitySchedulingStrategy(node_id=node_id, soft=False)


def _actor_name(root: str, index: int) -> str:
    return member_name(root, index, 0)


def _named_actor(name: str) -> Any:
    try:
        return ray.get_actor(name, namespace=NAMESPACE)
    except ValueError:
        return None


def _layout_of_live_shards(root: str) -> dict[str, Any] | None:
    """The layout that live shard actors of ``root`` (started by this or
    another driver) were started with, or None."""
    first = _named_actor(_actor_name(root, 0))
    if first is None:
        return None
    try:
        layout: dict[str, Any] = ray.get(first.info.remote())["layout"]
        return layout
    except ray.exceptions.RayError:
        return None


def _locate(root: str) -> tuple[dict[str, Any] | None, list[str | None], bool]:
    """Asks every live node for its copy of the layout and the shard
    databases it holds. Returns the layout (None if no node has one); per
    shard, the node to run it on (None if no node holds it; a shard that
    several nodes hold, on shared storage, goes to one of them, round
    robin); and whether any node holds a shard database at all."""
    alive = _alive_nodes()
    try:
        answers = ray.get(
            [_probe_task.options(scheduling_strategy=_on_node(n["NodeID"])).remote(root) for n in alive]
        )
    except ray.exceptions.RayTaskError as error:
        cause = getattr(error, "cause", None)
        raise (cause if isinstance(cause, Exception) else error) from None
    held_anywhere = any(held for _, held in answers)
    layouts = [a[0] for a in answers if a[0] is not None]
    if not layouts:
        return None, [], held_anywhere
    layout = layouts[0]
    if any(other["shards"] != layout["shards"] for other in layouts):
        raise ValueError(f"the nodes hold different layouts for '{root}'")
    beyond = sorted({i for _, held in answers for i in held if i >= layout["shards"]})
    if beyond:
        # Records routed over more shards than the layout says would be
        # missed (and new ones routed wrongly): refuse.
        raise ValueError(
            f"{LAYOUT_FILE} of '{root}' lays out {layout['shards']} shards, but "
            f"'{_shard_dir(root, beyond[0])}' holds a database: the layout does not match the directories"
        )
    placement: list[str | None] = []
    for index in range(layout["shards"]):
        holders = [n["NodeID"] for n, (_, held) in zip(alive, answers) if index in held]
        placement.append(holders[index % len(holders)] if holders else None)
    return layout, placement, held_anywhere


def _check_arguments(create: dict[str, Any]) -> None:
    """Raises what Database raises for these creation arguments (a bad
    metric name, m below 2, a wrong type), before any shard is touched: a
    throwaway database in a scratch directory checks them."""
    with tempfile.TemporaryDirectory(prefix="hovra-check-") as scratch:
        Database(os.path.join(scratch, "db"), **create).close()


class _Settings:
    def __init__(
        self, options: dict[str, Any], detached: bool, max_restarts: int, threads: int | None
    ) -> None:
        self.options = options
        self.detached = detached
        self.max_restarts = max_restarts
        self.threads = threads


class _Shards:
    """The shard actors of one collection, shared by every ShardedDatabase
    of its path in this process.

    Ray stops a non-detached actor once the process that started it drops
    its handles (handles looked up by name do not count), so the handles
    live here, as long as any of those objects does; the last one to close
    stops the actors.
    """

    def __init__(
        self,
        root: str,
        layout: dict[str, Any],
        create: dict[str, Any] | None,
        settings: _Settings,
        placement: list[str | None] | None,
    ) -> None:
        self.root = root
        self.layout = layout
        self.create = create
        self.settings = settings
        self.placement = placement
        self.users = 0
        self.stopped = False
        # This process's attachment to the shards (they count the handles of
        # every driver, see stop).
        self.token = f"{ray.get_runtime_context().get_job_id()}:{uuid.uuid4().hex}"
        self.started: set[int] = set()  # shards whose actors this object started
        # Every handle this object started an actor with: Ray ends a
        # non-detached actor once its starter drops them, even while handles
        # found by name (which recovering the replicas puts in actors) live.
        self.owned: list[Any] = []
        self.actors: list[Any] = []  # each shard's primary
        for index in range(self.count):
            self.actors.append(self.start(index))
        self.replicas = _ReplicaSet(self, layout.get("replicas", 1))

    @property
    def count(self) -> int:
        count: int = self.layout["shards"]
        return count

    @property
    def version(self) -> int:
        return layout_version(self.layout)

    def follow(self, layout: dict[str, Any], actors: Sequence[Any] = ()) -> None:
        """Takes a newer layout: the actors of shards it adds are ``actors``
        (given by the resharding driver) or found by name. The actor list
        grows before the count does, so a call routed under the new count
        always finds its actor."""
        if layout_version(layout) <= self.version:
            return
        grown = list(self.actors)
        for index in range(len(grown), layout["shards"]):
            given = actors[index] if index < len(actors) else None
            grown.append(given if given is not None else self._named_or_started(index, layout))
        count = self.count
        self.actors = grown
        self.placement = None
        self.layout = layout
        if self.replicas.started:
            for index in range(count, layout["shards"]):
                self.replicas.recover(index)  # the new shards' replicas

    def _named_or_started(self, index: int, layout: dict[str, Any]) -> Any:
        return self.start(index, layout=layout)

    def refresh(self) -> None:
        """Follows the newest layout that shard 0 or ``shards.json`` (where
        this process can read it) knows."""
        newest = self.layout
        try:
            answer = ray.get(self.actors[0].info.remote())["layout"]
            if layout_version(answer) > layout_version(newest):
                newest = answer
        except ray.exceptions.RayError:
            pass
        try:
            on_disk = _read_layout(self.root)
        except (OSError, ValueError):
            on_disk = None
        if on_disk is not None and layout_version(on_disk) > layout_version(newest):
            newest = on_disk
        self.follow(newest)

    def start(
        self,
        index: int,
        create: dict[str, Any] | None = None,
        node: str | None = None,
        layout: dict[str, Any] | None = None,
    ) -> Any:
        """The live actor of shard ``index``, found by name (started by
        another driver) or started on the node that holds its directory. A
        new shard of a split is started with ``create``, on ``node``, under
        the ``layout`` it goes to."""
        actor = _named_actor(_actor_name(self.root, index))
        if actor is None and self.layout.get("replicas", 1) > 1:
            # After a promotion the primary runs in a replica's place.
            actor = find_primary(self.root, index, self.layout["replicas"])
        if actor is not None:
            return actor
        if node is None:
            if self.placement is None:
                _, self.placement, _ = _locate(self.root)
            node = self.placement[index] if index < len(self.placement) else None
        if node is None:
            raise ValueError(
                f"shard {index} of '{self.root}': no live Ray node holds its directory "
                f"'{_shard_dir(self.root, index)}'"
            )
        self.started.add(index)
        return self.start_actor(_actor_name(self.root, index), index, node, False, layout, create)

    def live_nodes(self) -> list[str]:
        """The live nodes a new replica may go to."""
        return _candidate_nodes(None)

    def start_actor(
        self,
        name: str,
        index: int,
        node: str,
        replica: bool,
        layout: dict[str, Any] | None = None,
        create: dict[str, Any] | None = None,
    ) -> Any:
        """The actor ``name`` of shard ``index`` (its primary, or a
        ``replica``): the live one of that name, or one started on ``node``."""
        settings = self.settings
        actor = _ShardActor.options(
            name=name,
            namespace=NAMESPACE,
            get_if_exists=True,
            lifetime="detached" if settings.detached else None,
            num_cpus=0,
            max_restarts=settings.max_restarts,
            max_task_retries=0,
            scheduling_strategy=_on_node(node),
        ).remote(
            self.root,
            index,
            layout or self.layout,
            None if replica else create or self.create,
            settings.options,
            settings.threads,
            replica=replica,
        )
        self.owned.append(actor)
        return actor

    def restart(self, index: int) -> None:
        """Replaces the handle of a shard whose actor has died for good. Ray
        keeps a dead actor's name while handles to it exist; killing it
        frees the name."""
        ray.kill(self.actors[index], no_restart=True)
        self.actors[index] = None
        self.placement = None
        self.actors[index] = self.start(index)

    def abandon(self) -> None:
        """After a failed open: ends the actors this object started (one
        whose database refused to open stays registered under its name
        while handles to it exist), so that the next open starts afresh."""
        self.stopped = True
        for index in sorted(self.started):
            try:
                ray.kill(self.actors[index], no_restart=True)
            except (ValueError, ray.exceptions.RayError):
                pass

    def stop(self) -> None:
        """Lets go of the shards; when no other driver is attached to them,
        closes every shard's database and ends its actor."""
        self.stopped = True
        key = _shared_key(self.root)
        if _SHARED.get(key) is self:
            del _SHARED[key]
        still = []
        for ref in [actor.detach.remote(self.token) for actor in self.actors]:
            try:
                still.append(ray.get(ref))
            except ray.exceptions.RayError:
                still.append(0)  # gone already
        if any(still):
            return  # another driver uses the collection: it stays up for that one
        members = [*self.actors, *self.replicas.actors()]
        refs = [actor.close.remote() for actor in members]
        for ref in refs:
            try:
                ray.get(ref)
            except ray.exceptions.RayError:
                pass  # the actor exits while answering, or was gone already
        for actor in members:
            ray.kill(actor, no_restart=True)


# Per Ray cluster and path (a program may shut Ray down and start it again).
_SHARED: weakref.WeakValueDictionary[tuple[str, str], _Shards] = weakref.WeakValueDictionary()


def _shared_key(root: str) -> tuple[str, str]:
    try:
        cluster = str(ray.get_runtime_context().gcs_address)
    except Exception:  # not available through every kind of connection
        cluster = ""
    return cluster, root
