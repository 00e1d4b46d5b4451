"""Sharded hovra collections on Ray: more records than one machine holds, more
queries than its cores answer.

Install the extra (``pip install "hovra[ray]"``), then::

    from hovra.ray import ShardedDatabase, write_dataset

    db = ShardedDatabase("/data/vectors", dim=384, shards=4)   # starts Ray locally if needed
    db.add_many(ids, matrix, metadatas)
    hits = db.search(query, k=10, where_filter={"lang": "en"})

    # or build it from a Ray Dataset at the end of an embedding pipeline
    db = write_dataset(ds.map_batches(embed), "/data/vectors", shards=4)

A sharded collection is a directory ``path`` holding ``shards.json`` and one
ordinary hovra database per shard (``path/shard-000``, ``path/shard-001``,
...). Each shard is served by one Ray actor that owns its directory (and its
lock) on the node where the directory lives. A record lives on shard
``zlib.crc32(id.encode("utf-8")) % shards``; searches ask every shard and
merge the answers, so results equal those of one database holding all the
records (up to the graph search's own approximation on each shard).
"""

# First: it says how to install Ray when Ray is missing.
from . import _common  # noqa: F401, I001
from ._collection import ShardedDatabase
from ._common import PartialResults, ShardUnavailableError, shard_of
from ._dataset import write_dataset

__all__ = ["PartialResults", "ShardedDatabase", "ShardUnavailableError", "shard_of", "write_dataset"]
