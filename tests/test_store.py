"""hovra.Store: named collections as database directories in one place, and
hovra.aio: the same database and store with awaitable methods, under
concurrency and cancellation."""

import asyncio
import inspect
import os
import threading

import hovra
import hovra.aio
import numpy as np
import pytest
from hovra import Database, Store


class TestStore:
    def test_collections_are_database_directories(self, tmp_path):
        store = Store(tmp_path / "s")
        docs = store.create_collection("docs", dim=3, metric="euclidean")
        docs.add("a", [1, 2, 3], {"n": 1})
        store.create_collection("img.v2", dim=2)
        assert store.list_collections() == ["docs", "img.v2"] and "docs" in store and "x" not in store
        assert store.get_collection("docs").get("a") == ([1.0, 2.0, 3.0], {"n": 1})
        docs.save()
        direct = Database(str(tmp_path / "s" / "docs"))  # a Database opened on the directory works
        assert direct.ids() == ["a"] and direct.metric == "euclidean"
        assert repr(store) == f"Store(path={str(tmp_path / 's')!r}, collections=2)"

    def test_create_get_and_get_or_create(self, tmp_path):
        store = Store(tmp_path)
        with pytest.raises(ValueError, match="^collection 'c' not found$"):
            store.get_collection("c")
        c = store.get_or_create_collection("c", dim=4)
        assert c.dim == 4 and store.get_or_create_collection("c", dim=4).dim == 4
        with pytest.raises(ValueError, match="^collection 'c' already exists$"):
            store.create_collection("c", dim=4)
        with pytest.raises(ValueError, match="^collection 'c' has dimension 4, not 5$"):
            store.get_or_create_collection("c", dim=5)

    @pytest.mark.parametrize("name", ["", ".hidden", "a/b", "a\\b", "..", "x" * 129, "sp ace", "é", "a\0"])
    def test_names_are_checked(self, tmp_path, name):
        store = Store(tmp_path)
        for call in (
            lambda: store.create_collection(name, dim=2),
            lambda: store.get_collection(name),
            lambda: store.delete_collection(name),
        ):
            with pytest.raises(ValueError, match="^invalid collection name"):
                call()
        assert os.listdir(tmp_path) == []
        with pytest.raises(TypeError):
            store.get_collection(3)  # type: ignore[arg-type]

    def test_delete_collection(self, tmp_path):
        store = Store(tmp_path)
        c = store.create_collection("c", dim=2)
        c.add("a", [1, 2])
        other = store.get_collection("c")
        store.delete_collection("c")
        assert store.list_collections() == [] and os.listdir(tmp_path) == []
        for handed_out in (c, other):
            with pytest.raises(ValueError, match="closed"):
                handed_out.count()
        with pytest.raises(ValueError, match="^collection 'c' not found$"):
            store.delete_collection("c")
        assert len(store.create_collection("c", dim=2)) == 0  # the name is free again

    def test_other_directories_are_not_collections(self, tmp_path):
        (tmp_path / "notes").mkdir()
        (tmp_path / "file.txt").write_text("x")
        store = Store(tmp_path)
        assert store.list_collections() == [] and "notes" not in store

    def test_threads_create_one_collection_once(self, tmp_path):
        store = Store(tmp_path)
        errors = []

        def create():
            try:
                store.create_collection("shared", dim=2)
            except ValueError as e:
                errors.append(str(e))

        threads = [threading.Thread(target=create) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert errors == ["collection 'shared' already exists"] * 7


class TestAsync:
    async def test_every_method_awaits_and_matches_the_database(self, tmp_path):
        db = await hovra.aio.AsyncDatabase.open(str(tmp_path / "a"), dim=3, metric="euclidean")
        await db.add_many(["a", "b", "c"], np.eye(3, dtype=np.float32), [{"n": i} for i in range(3)])
        await db.add("d", [1, 1, 1], {"n": 3})
        await db.upsert("e", [2, 2, 2])
        await db.update("e", metadata={"n": 4})
        assert await db.count() == 5 and await db.length() == 5
        hits = await db.search([1, 0, 0], k=2, where_filter={"n": {"$lte": 3}})
        assert [h.id for h in hits] == ["a", "b"] or [h.id for h in hits][0] == "a"
        assert (await db.get("e"))[1] == {"n": 4}
        assert [r[0] for r in await db.get_many(["c", "x"]) if r] == [[0.0, 0.0, 1.0]]
        assert [r[0] async for r in db.records(include_vectors=False)] == ["a", "b", "c", "d", "e"]
        assert await db.delete_where({"n": {"$gte": 3}}) == 2
        assert await db.delete_many(["a"]) == 1 and await db.delete("b") is True
        assert await db.ids() == ["c"]
        await db.save()
        await db.close()
        assert Database(str(tmp_path / "a")).ids() == ["c"]

    def test_every_database_method_has_an_awaitable_twin(self):
        public = {n for n in dir(Database) if not n.startswith("_")} - {"dim", "metric", "path", "text_field"}
        public = {n for n in public if callable(getattr(Database, n))}
        missing = sorted(
            n for n in public if not inspect.iscoroutinefunction(getattr(hovra.aio.AsyncDatabase, n, None))
        )
        assert missing in ([], ["records"])  # records is an async generator

    async def test_text_sparse_and_hybrid_searches_await(self, tmp_path):
        db = await hovra.aio.AsyncDatabase.open(str(tmp_path / "t"), dim=2)
        docs = ["red apples and pears", "green pears", "blue sky"]
        await db.add_many(["a", "b", "c"], [[1, 0], [0.7, 0.7], [0, 1]], [{"body": d} for d in docs])
        await db.create_text_index("body", wait=True)
        await db.upsert("d", [1, 1], {"body": "pears again"}, sparse={"indices": [3], "values": [1.0]})
        await db.wait_text_index()
        assert [h.id for h in await db.text_search("apples")] == ["a"]
        assert (await db.text_stats("pears"))["documents"] == 4
        assert [h.id for h in await db.sparse_search({"indices": [3], "values": [2.0]})] == ["d"]
        assert await db.get_sparse("d") == {"indices": [3], "values": [1.0]}
        fused = await db.hybrid_search([1, 0], "pears", k=2)
        assert [h.id for h in fused] == [h.id for h in db.database.hybrid_search([1, 0], "pears", k=2)]
        await db.drop_text_index()
        await db.close()

    async def test_concurrent_calls_from_many_tasks(self, tmp_path):
        db = await hovra.aio.AsyncDatabase.open(str(tmp_path / "c"), dim=4)
        vectors = np.random.default_rng(1).standard_normal((400, 4)).astype(np.float32)
        await asyncio.gather(*(db.add(f"r{i}", vectors[i], {"i": i}) for i in range(400)))
        results = await asyncio.gather(*(db.search(vectors[i], k=1) for i in range(0, 400, 7)))
        assert [r[0].id for r in results] == [f"r{i}" for i in range(0, 400, 7)]
        assert await db.count({"i": {"$lt": 100}}) == 100

    async def test_a_cancelled_write_completes_or_changes_nothing(self, tmp_path):
        from concurrent.futures import ThreadPoolExecutor

        with ThreadPoolExecutor(max_workers=1) as pool:
            db = await hovra.aio.AsyncDatabase.open(str(tmp_path / "x"), dim=8, executor=pool)
            # A write queued behind a busy worker has not started when it is
            # cancelled, and never runs.
            release = threading.Event()
            pool.submit(release.wait)
            queued = asyncio.ensure_future(db.add("queued", [0] * 8))
            await asyncio.sleep(0.01)
            queued.cancel()
            with pytest.raises(asyncio.CancelledError):
                await queued
            await asyncio.sleep(0)  # the pool's future is cancelled by a callback of the loop
            release.set()
            assert "queued" not in db.database and await db.count() == 0
            # A large batch cancelled while it may be running: all of it or none.
            n = 4000
            vectors = np.random.default_rng(2).standard_normal((n, 8)).astype(np.float32)
            for delay in (0, 0.001, 0.01):
                batch = asyncio.ensure_future(db.upsert_many([f"b{delay}-{i}" for i in range(n)], vectors))
                await asyncio.sleep(delay)
                # A batch that finished before the cancel arrives is not
                # cancelled: its result comes back.
                if batch.cancel():
                    with pytest.raises(asyncio.CancelledError):
                        await batch
                else:
                    await batch
                await db.count()  # runs after the batch, on the one worker
                present = sum(f"b{delay}-{i}" in db.database for i in range(n))
                assert present in (0, n)

    async def test_async_store(self, tmp_path):
        store = hovra.aio.AsyncStore(tmp_path / "st")
        c = await store.create_collection("c", dim=2)
        await c.add("a", [1, 2])
        assert await store.list_collections() == ["c"]
        assert (await (await store.get_collection("c")).get("a"))[0] == [1.0, 2.0]
        await store.delete_collection("c")
        assert await store.list_collections() == []

    async def test_async_with_saves(self, tmp_path):
        async with await hovra.aio.AsyncDatabase.open(str(tmp_path / "w"), dim=2) as db:
            await db.add("a", [1, 2])
        assert (tmp_path / "w" / "wal.hovra").stat().st_size == 20  # saved: the new log holds its header only
