"""What every part of hovra.ray shares: the Ray import, the collection's
constants, the shard methods by kind, the routing rule, the error of an
unavailable shard, and what the collection's parts ask of the collection
(_Collection)."""

from __future__ import annotations

import zlib
from collections.abc import Sequence
from typing import Any, Protocol, SupportsFloat, SupportsIndex, Union

try:
    import ray
    import ray.actor
    import ray.exceptions
except ImportError:  # pragma: no cover - depends on the environment
    raise ImportError("hovra.ray needs Ray; install it with: pip install 'hovra[ray]'") from None

import _hovra
import numpy.typing as npt
from _hovra import (
    HovraError,
    SearchResult,
)

# Ray functions without type annotations, called through an untyped name.
_ray: Any = ray

LAYOUT_FILE = "shards.json"
LAYOUT_FORMAT = 1
ROUTING = "crc32(utf-8 id) % shards"
NAMESPACE = "hovra"

_Vector = Union[Sequence[SupportsFloat], npt.NDArray[Any]]
_Vectors = Union[Sequence[Sequence[SupportsFloat]], npt.NDArray[Any]]
_Metadata = dict[str, Any]
_Filter = dict[str, Any]


class _Collection(Protocol):
    """What the collection-wide methods (_retrieval), the batches across
    shards (_writes, _transactions) and resharding (_reshard) ask of
    ShardedDatabase, which supplies it: its directory, its shard actors and
    their layout's version and count, calls routed to one shard (a read to
    any of its copies) or fanned out to all, and the replicas brought up
    to a write. Through this the parts need not import the collection."""

    @property
    def path(self) -> str: ...

    @property
    def _actors(self) -> list[Any]: ...

    @property
    def _version(self) -> int: ...

    @property
    def shards(self) -> int: ...

    _dim: int

    @property
    def _count(self) -> int: ...

    def _check_open(self) -> None: ...

    def _routed(self, run: Any) -> Any: ...

    def _read(self, run: Any) -> Any: ...

    def _gather(self, refs: Sequence[Any], shards: Sequence[int] | None = ...) -> list[Any]: ...

    def _gather_partial(self, refs: Sequence[Any]) -> tuple[list[Any], tuple[int, ...]]: ...

    def _read_call(self, index: int, method: str, *args: Any, **kwargs: Any) -> Any: ...

    def _codes_changed(self) -> None: ...

    def _synced(self, shards: Sequence[int]) -> None: ...

    def _route(self, ids: Sequence[str]) -> dict[int, list[int]]: ...

    def _call(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any: ...

    def _call_part(self, index: int, name: str, *args: Any, **kwargs: Any) -> Any: ...

    def _owner_of(self, id: str) -> Any: ...

    def _fan_out(self, name: str, *args: Any, **kwargs: Any) -> list[Any]: ...

    def _owner(self, id: str) -> int: ...

    def _outcome(self, index: int, ref: Any) -> Any: ...

    def _revive(self, index: int) -> bool: ...

    def search(
        self,
        vector: _Vector,
        k: SupportsIndex = ...,
        ef_search: SupportsIndex | None = ...,
        where_filter: _Filter | None = ...,
        max_distance: SupportsFloat | None = ...,
        *,
        allow_partial: bool = ...,
    ) -> list[SearchResult]: ...


# Database methods that a shard answers without changing anything; Ray may
# retry them on a restarted shard actor.
_READS = frozenset(
    {
        "get",
        "count",
        "ids",
        "stats",
        "verify",
        "__contains__",
        "__len__",
        "total_slots",
        "deleted_count",
        "quantized_search",
        "binary_search",
        "text_index",
        "text_stats",
        "text_search",
        "sparse_search",
        "get_sparse",
        "wait_text_index",
        "wait_indexed",
    }
)
# Database methods that change a shard; never retried, since a call cut off
# by a crash may or may not have been applied.
_WRITES = frozenset(
    {
        "add",
        "upsert",
        "update",
        "delete",
        "add_many",
        "upsert_many",
        "delete_many",
        "delete_where",
        "save",
        "compact",
        "enable_quantized_search",
        "disable_quantized_search",
        "create_text_index",
        "drop_text_index",
    }
)
_PROPERTIES = frozenset({"total_slots", "deleted_count", "quantized_search", "binary_search", "text_index"})


def _open_failure(shard: str, error: BaseException) -> Exception:
    """Why a shard actor could not open its directory, with the database's
    own exception type (``shard`` names it in the message)."""
    text = str(getattr(error, "error_msg", error))
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    kind, _, message = (lines[-1] if lines else text).partition(": ")
    return _error_class(kind)(f"{shard}: {message or kind}")


def _error_class(name: str) -> type[Exception]:
    """The exception class a shard's constructor raised, from the last line of
    the traceback Ray reports for a failed actor start (which carries the
    class's name only): a HovraError subclass, TypeError or OverflowError, else
    ValueError."""
    name = name.rsplit(".", 1)[-1]
    found = getattr(_hovra, name, None)
    if isinstance(found, type) and issubclass(found, HovraError):
        return found
    return {"TypeError": TypeError, "OverflowError": OverflowError}.get(name, ValueError)


def shard_of(id: str, shards: int) -> int:
    """The shard that holds the record ``id`` in a collection of ``shards``
    shards: ``zlib.crc32(id.encode("utf-8")) % shards``. The rule is stable
    across processes and Python versions (unlike ``hash()``)."""
    return zlib.crc32(id.encode("utf-8")) % shards


class ShardUnavailableError(RuntimeError):
    """A call reached a shard whose actor has died or is restarting.

    ``shard`` is the shard's number. A single-record write that fails this
    way may or may not have been applied (a batch across shards is all or
    nothing); every write that returned normally was logged and survives the
    actor's restart. A shard found dead for good (or on a lost node) has
    been started again by the time this is raised when it could be:
    ``revived`` says so, and the call may be repeated.
    """

    def __init__(self, message: str, shard: int) -> None:
        super().__init__(message)
        self.shard = shard
        self.dead = False  # True: the actor is gone for good, not restarting
        self.revived = False  # True: started again since


class LayoutChangedError(RuntimeError):
    """A shard refused a call routed under another layout than its own: the
    collection was resharded since the caller last looked. The caller reads
    the layout again and routes the call anew; nothing was applied."""


class LayoutChangingError(LayoutChangedError):
    """A shard refused a write while a resharding holds it (its records are
    being switched to the new layout), or a call routed under a layout that
    has not reached the shard yet. The caller waits briefly and tries again;
    nothing was applied."""


class PartialResults(list[Any]):
    """The hits of a search with ``allow_partial=True``: a list like the one
    search() returns, from the shards that answered. ``missing_shards``
    holds the numbers of the shards that did not (empty: the answer is
    whole)."""

    def __init__(self, items: Any, missing_shards: tuple[int, ...]) -> None:
        super().__init__(items)
        self.missing_shards = missing_shards


# Reads may be retried on a restarted actor; writes are not.
_RETRIED_READS = 5
_START_ATTEMPTS = 4
# Errors that mean a shard's actor will not come back by itself: it died
# for good, or Ray cannot place it again (its node is gone).
_GONE: tuple[type[BaseException], ...] = tuple(
    getattr(ray.exceptions, name)
    for name in ("ActorDiedError", "ActorUnschedulableError")
    if isinstance(getattr(ray.exceptions, name, None), type)
)
