"""Records, metadata filters, the log and concurrent use through the module."""

import os
import struct
import threading
import time
import zlib

import numpy as np
import pytest
from _hovra import Database, DatabaseClosedError, HovraError


@pytest.fixture
def db(tmp_path):
    return Database(str(tmp_path / "db"), dim=2, metric="euclidean")


class TestRecordErrors:
    def test_duplicate_and_dimension_messages_leave_nothing(self, db, tmp_path):
        db.add("a", [1, 2])
        size = os.path.getsize(tmp_path / "db" / "wal.hovra")
        with pytest.raises(ValueError, match=r"^id 'a' already exists, use upsert instead$"):
            db.add("a", [3, 4])
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 2, got 3$"):
            db.add("b", [1, 2, 3])
        with pytest.raises(ValueError, match=r"^dimension mismatch: expected 2, got 1$"):
            db.upsert("a", [1])
        with pytest.raises(ValueError, match=r"^id 'zz' not found$"):
            db.update("zz", [1, 2])
        with pytest.raises(ValueError, match=r"^id 'zz' not found$"):
            db.get("zz")
        assert os.path.getsize(tmp_path / "db" / "wal.hovra") == size
        assert len(db) == 1 and db.get("a")[0] == [1.0, 2.0]

    def test_empty_string_is_an_id(self, db):
        db.add("", [0, 1], {"k": 1})
        assert "" in db and db.get("") == ([0.0, 1.0], {"k": 1})

    def test_update_and_upsert_metadata_rules(self, db):
        db.add("a", [1, 1], {"x": 1, "y": 2})
        db.update("a", metadata={"z": 3})
        assert db.get("a")[1] == {"z": 3}
        db.update("a", [2, 2])
        assert db.get("a") == ([2.0, 2.0], {"z": 3})
        slots = db.total_slots
        db.upsert("a", [3, 3])
        assert db.get("a") == ([3.0, 3.0], None)
        assert db.total_slots == slots
        assert db.count({"z": 3}) == 0


class TestFilters:
    @pytest.fixture
    def fdb(self, tmp_path):
        db = Database(str(tmp_path / "f"), dim=2, metric="euclidean")
        db.add("int1", [0, 0], {"a": 1})
        db.add("float1", [0, 1], {"a": 1.0})
        db.add("true", [1, 0], {"a": True, "flag": True})
        db.add("str5", [1, 1], {"a": "5"})
        db.add("nullv", [2, 2], {"a": None})
        db.add("other", [3, 3], {"b": 2})
        db.add("bare", [4, 4])
        return db

    @pytest.mark.parametrize(
        "flt,expected",
        [
            ({"a": 1}, {"int1"}),
            ({"a": 1.0}, {"float1"}),
            ({"a": True}, {"true"}),
            ({"flag": True}, {"true"}),
            ({"flag": 1}, set()),
            ({"a": {"$gte": 1.0}}, {"int1", "float1"}),
            ({"a": {"$gt": 1}}, set()),
            ({"a": {"$ne": 1}}, {"float1", "true", "str5", "nullv", "other"}),
            ({"a": {"$lt": 5}}, {"int1", "float1"}),
            ({"a": {"$in": []}}, set()),
            ({"a": {"$in": [1, "5"]}}, {"int1", "str5"}),
            ({"a": None}, set()),
            ({}, set()),
            ({"a": {"$gt": 0, "$lt": 5}, "b": {"$ne": 2}}, {"int1", "float1"}),
        ],
    )
    def test_semantics_in_search_and_count(self, fdb, flt, expected):
        hits = fdb.search([0, 0], k=100, where_filter=flt)
        assert {h.id for h in hits} == expected
        assert fdb.count(flt) == len(expected)
        assert [h.distance for h in hits] == sorted(h.distance for h in hits)

    @pytest.mark.parametrize(
        "flt,message",
        [
            ({"a": {"$equals": 1}}, "unknown operator: $equals"),
            ({"a": {}}, "empty operator dict for field 'a'"),
            ({"a": {"$in": 3}}, "$in value must be a list"),
            ({"a": {"$gt": "x"}}, "$gt value must be a number"),
            ({"a": {"$lte": None}}, "$lte value must be a number"),
            ({"a": (1, 2)}, "unsupported filter value type"),
            ({"a": {"$gt": True}}, "$gt value must be a number, not a bool"),
        ],
    )
    def test_filter_errors_come_before_dimension_check(self, fdb, flt, message):
        with pytest.raises(HovraError) as err:
            fdb.search([0, 0, 0], where_filter=flt)
        assert str(err.value) == message

    def test_filtered_scan_equals_filter_then_sort(self, tmp_path):
        rng = np.random.default_rng(2)
        data = rng.standard_normal((300, 6)).astype(np.float32)
        db = Database(str(tmp_path / "s"), dim=6, metric="cosine")
        cats = [int(c) for c in rng.integers(0, 5, 300)]
        db.add_many([str(i) for i in range(300)], data, [{"cat": c, "v": i} for i, c in enumerate(cats)])
        q = rng.standard_normal(6).astype(np.float32)
        hits = db.search(q, k=7, where_filter={"cat": {"$in": [1, 3]}, "v": {"$gte": 50}})
        d = 1 - (data @ q) / (np.linalg.norm(data, axis=1) * np.linalg.norm(q))
        ok = [i for i in range(300) if cats[i] in (1, 3) and i >= 50]
        expected = sorted(ok, key=lambda i: d[i])[:7]
        assert [h.id for h in hits] == [str(i) for i in expected]

    def test_repeated_scans_follow_changed_rows(self, tmp_path):
        # A filter searched again and again scans a copy of its records'
        # rows: the answers stay exact, follow rows overwritten meanwhile,
        # and the copy is counted with the kept plans.
        rng = np.random.default_rng(5)
        n, dim = 3000, 8
        data = rng.standard_normal((n, dim)).astype(np.float32)
        db = Database(str(tmp_path / "c"), dim=dim, metric="euclidean")
        db.add_many([str(i) for i in range(n)], data, [{"cat": i % 10} for i in range(n)])
        flt = {"cat": 3}
        rows = np.arange(3, n, 10)

        def expected(q, k=5):
            d = ((data[rows] - q) ** 2).sum(axis=1)
            return [str(r) for r in rows[np.argsort(d, kind="stable")[:k]]]

        queries = rng.standard_normal((6, dim)).astype(np.float32)
        before = db.memory_usage()["query_plans"]
        for q in queries:
            assert [h.id for h in db.search(q, k=5, where_filter=flt)] == expected(q)
        assert db.memory_usage()["query_plans"] >= before + len(rows) * dim * 4
        q = queries[0]
        nearest = expected(q)[0]
        data[int(nearest)] = q + 50
        data[13] = q
        db.update(nearest, vector=data[int(nearest)])
        db.update("13", vector=data[13])
        hits = db.search(q, k=5, where_filter=flt)
        assert [h.id for h in hits] == expected(q) and hits[0].id == "13" and hits[0].distance == 0.0
        many = db.search_many(queries, k=5, where_filter=flt)
        assert [[h.id for h in hs] for hs in many] == [expected(q) for q in queries]

    def test_deleted_records_leave_the_index(self, fdb):
        fdb.delete("int1")
        assert fdb.count({"a": 1}) == 0
        assert fdb.search([0, 0], where_filter={"a": 1}) == []


class TestMaxDistance:
    def test_cut_keeps_equal_and_nan_drops_all(self, db):
        db.add_many(["a", "b", "c"], [[0, 0], [1, 0], [3, 0]])
        assert [h.id for h in db.search([0, 0], max_distance=1.0)] == ["a", "b"]
        assert db.search([0, 0], max_distance=-0.5) == []
        assert db.search([0, 0], max_distance=float("nan")) == []


class TestLogBytes:
    def test_insert_record_layout_and_crc(self, db, tmp_path):
        db.add("a", [1.0, 2.0])
        raw = (tmp_path / "db" / "wal.hovra").read_bytes()
        assert raw[:4] == b"HWAL"  # the header of the checkpoint's log, then the frames
        raw = raw[20:]
        payload = struct.pack("<I", 1) + b"a" + struct.pack("<Iff", 2, 1.0, 2.0) + struct.pack("<I", 0)
        body = bytes([1]) + struct.pack("<I", len(payload)) + payload
        assert raw == body + struct.pack("<I", zlib.crc32(bytes([1]) + payload))
        assert len(raw) == 30

    def test_absent_delete_logs_nothing_and_update_always_logs(self, db, tmp_path):
        db.add("a", [1, 2])
        wal = tmp_path / "db" / "wal.hovra"
        size = wal.stat().st_size
        assert db.delete("nope") is False
        assert wal.stat().st_size == size
        db.update("a")
        assert wal.stat().st_size > size


class TestNonFiniteInput:
    @pytest.mark.parametrize("bad", [float("nan"), float("inf"), -float("inf"), 1e300])
    def test_refused_before_anything_is_logged(self, db, tmp_path, bad):
        db.add("a", [1, 2], {"k": 1})
        log = tmp_path / "db" / "wal.hovra"
        size = log.stat().st_size
        v = [0.5, bad]  # 1e300 narrows to infinity
        message = "^vector for id '{}' contains NaN or infinity$"
        for call, name in (
            (lambda: db.add("n", v), "n"),
            (lambda: db.upsert("a", v), "a"),
            (lambda: db.update("a", v, {"k": 2}), "a"),
            (lambda: db.add_many(["p", "q", "r"], [[1, 1], v, v]), "q"),
            (lambda: db.upsert_many(["a", "r"], np.array([[1, 1], v])), "r"),
        ):
            with pytest.raises(ValueError, match=message.format(name)):
                call()
        for call in (lambda: db.search(v), lambda: db.search_many([[1, 1], v], where_filter={"k": 1})):
            with pytest.raises(ValueError, match="^query contains NaN or infinity$"):
                call()
        assert log.stat().st_size == size and db.ids() == ["a"] and db.get("a") == ([1.0, 2.0], {"k": 1})


class TestConcurrency:
    @pytest.mark.parametrize("sync_writes", [False, True])
    def test_writers_and_searchers_leave_consistent_state(self, tmp_path, sync_writes):
        path = str(tmp_path / "c")
        db = Database(path, dim=8, metric="euclidean", sync_writes=sync_writes)
        rng = np.random.default_rng(9)
        db.add_many([f"seed{i}" for i in range(20)], rng.standard_normal((20, 8)).astype(np.float32))
        db.save()  # the changes below live only in the log
        errors = []

        def writer(t):
            try:
                r = np.random.default_rng(t)
                for i in range(150):
                    key = f"{t}-{i % 60}"
                    v = r.standard_normal(8).astype(np.float32)
                    op = i % 4
                    if op == 0:
                        db.upsert(key, v, {"t": t, "i": i})
                    elif op == 1:
                        db.delete(key)
                    elif op == 2:
                        try:
                            db.add(key, v, {"t": t})
                        except ValueError:
                            pass
                    else:
                        db.add_many([f"{key}-b{i}"], [v])
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        def searcher():
            try:
                for _ in range(100):
                    q = rng.standard_normal(8).astype(np.float32)
                    db.search(q, k=5)
                    db.search(q, k=5, where_filter={"t": 1})
                    db.search_many([q, q], k=3)
            except Exception as exc:  # pragma: no cover
                errors.append(exc)

        threads = [threading.Thread(target=writer, args=(t,)) for t in range(3)]
        threads += [threading.Thread(target=searcher) for _ in range(2)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert not errors
        assert len(db) == len(db.ids()) == db.count() == len(set(db.ids()))
        state = {i: db.get(i) for i in db.ids()}
        db = None  # the engine closes with its last object
        reopened = Database(path)
        assert {i: reopened.get(i) for i in reopened.ids()} == state

    def test_count_and_switches_during_compaction(self, tmp_path):
        db = Database(str(tmp_path / "r"), dim=8)
        rng = np.random.default_rng(3)
        # Churned records sit before the counted ones, so every compaction
        # renumbers the counted records' slots.
        db.add_many([f"c{i}" for i in range(600)], rng.random((600, 8), dtype=np.float32), [{"g": 2}] * 600)
        db.add_many([f"k{i}" for i in range(300)], rng.random((300, 8), dtype=np.float32), [{"g": 1}] * 300)
        stop, errors = threading.Event(), []

        def churn():
            try:
                while not stop.is_set():
                    for i in rng.choice(600, 60, replace=False):
                        db.delete(f"c{i}")
                        db.add(f"c{i}", rng.random(8, dtype=np.float32), {"g": 2})
                    db.compact()
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        worker = threading.Thread(target=churn)
        worker.start()
        try:
            deadline = time.monotonic() + 3
            want = False
            while time.monotonic() < deadline and not errors:
                assert db.count({"g": 1}) == 300
                assert db.count({"g": {"$lt": 1.5}}) == 300
                want = not want
                db.enable_quantized_search() if want else db.disable_quantized_search()
                assert db.quantized_search is want  # a compaction running meanwhile must not undo it
        finally:
            stop.set()
            worker.join()
        assert not errors
        assert db.quantized_search is want

    def test_close_racing_calls_on_a_shared_engine(self, tmp_path):
        """Objects on one directory share its engine. Threads write and search
        through several of them while each object but one is closed midway:
        a call on a closed object raises DatabaseClosedError, every other
        call completes, and the survivor sees every acknowledged change."""
        path = str(tmp_path / "shared")
        objects = [Database(path, dim=4) for _ in range(4)]
        done = {i: [] for i in range(len(objects))}
        errors = []
        started = threading.Barrier(len(objects) + 1)

        def work(index):
            db = objects[index]
            rng = np.random.default_rng(index)
            started.wait()
            try:
                for i in range(300):
                    try:
                        db.add(f"{index}-{i}", rng.random(4, dtype=np.float32))
                        done[index].append(f"{index}-{i}")
                        db.search(rng.random(4, dtype=np.float32), k=3)
                    except DatabaseClosedError:
                        return
            except Exception as exc:  # pragma: no cover - reported below
                errors.append(exc)

        threads = [threading.Thread(target=work, args=(i,)) for i in range(len(objects))]
        for t in threads:
            t.start()
        started.wait()
        for db in objects[1:]:
            time.sleep(0.01)
            db.close()
        for t in threads:
            t.join(timeout=120)
        assert not errors
        assert not any(t.is_alive() for t in threads)
        survivor = objects[0]
        acknowledged = sorted(i for ids in done.values() for i in ids)
        assert sorted(survivor.ids()) == acknowledged
        survivor.close()
        assert sorted(Database(path).ids()) == acknowledged

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_parallel_work_in_a_forked_child(self, tmp_path):
        db = Database(str(tmp_path / "f"), dim=4)
        data = np.random.default_rng(0).random((300, 4), dtype=np.float32)
        db.add_many([str(i) for i in range(300)], data)  # starts the worker pool
        pid = os.fork()
        if pid == 0:  # the child has none of the parent's worker threads
            ok = [r[0].id for r in db.search_many(data[:5], k=1)] == ["0", "1", "2", "3", "4"]
            os._exit(0 if ok else 1)
        _, status = os.waitpid(pid, 0)
        assert status == 0
