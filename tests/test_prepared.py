"""Prepared batches, the shard's side of a two-phase commit: invisible and
holding their ids until resolved, kept across reopens, saves and torn logs,
leaving nothing behind when aborted; and the exact-scan threshold chosen at
open."""

import os
import subprocess
import sys
import textwrap

import hovra
import numpy as np
import pytest
from _hovra import _inspect
from hovra import Database, TransactionConflictError

DIM = 8


def rows(n, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(np.float32)


def ids(prefix, n):
    return [f"{prefix}{i}" for i in range(n)]


@pytest.fixture
def db(tmp_path):
    d = Database(str(tmp_path / "db"), dim=DIM, metric="euclidean")
    d.add_many(ids("base", 20), rows(20, 1), [{"group": i % 2} for i in range(20)])
    yield d
    d.close()


class TestPrepareAndResolve:
    def test_prepared_records_are_invisible_until_committed(self, db):
        vectors = rows(5, 2)
        db.add_many(ids("new", 5), vectors, [{"n": i} for i in range(5)], prepare="t1")
        assert len(db) == 20 and "new0" not in db and db.prepared_transactions() == ["t1"]
        hits = db.search(vectors[0], k=30)
        assert not any(h.id.startswith("new") for h in hits)
        assert db.commit_prepared("t1") is True
        assert len(db) == 25 and db.get("new3")[1] == {"n": 3}
        assert db.search(vectors[2], k=1)[0].id == "new2"
        assert db.prepared_transactions() == []
        # A resolution may be repeated; a second one does nothing.
        assert db.commit_prepared("t1") is False and db.abort_prepared("t1") is False

    def test_abort_leaves_no_records_and_no_deleted_slots(self, db):
        before = db.stats()
        db.add_many(ids("new", 5), rows(5, 2), prepare="t1")
        db.delete_many(ids("base", 3), prepare="t2")
        assert db.abort_prepared("t1") is True and db.abort_prepared("t2") is True
        after = db.stats()
        assert len(db) == 20 and all(f"base{i}" in db for i in range(3))
        assert after["num_deleted"] == before["num_deleted"] and after["num_vectors"] == before["num_vectors"]
        # The ids are free again: the same batch adds as a plain one.
        db.add_many(ids("new", 5), rows(5, 2))
        assert len(db) == 25

    def test_held_ids_refuse_every_other_change(self, db):
        db.add_many(["new0", "new1"], rows(2, 2), prepare="t1")
        db.delete_many(["base0"], prepare="t2")
        v = rows(1, 3)[0]
        attempts = [
            lambda: db.add("new0", v),
            lambda: db.upsert("new1", v),
            lambda: db.add_many(["x", "new0"], rows(2, 4)),
            lambda: db.upsert_many(["new1"], rows(1, 4)),
            lambda: db.update("base0", metadata={"a": 1}),
            lambda: db.delete("base0"),
            lambda: db.delete_many(["base0", "base1"]),
            lambda: db.update_many(["base0"], metadatas=[{"a": 1}]),
            lambda: db.add_many(["new0"], rows(1, 4), prepare="t3"),
        ]
        for attempt in attempts:
            with pytest.raises(TransactionConflictError) as info:
                attempt()
            assert info.value.id in ("new0", "new1", "base0")
            assert "held by a prepared transaction" in str(info.value)
        assert len(db) == 20 and "x" not in db and db.get("base0")[1] == {"group": 0}
        # A transaction id that is pending cannot be prepared again.
        with pytest.raises(TransactionConflictError):
            db.add_many(["other"], rows(1, 5), prepare="t1")
        assert db.commit_prepared("t2") and db.abort_prepared("t1")
        assert "base0" not in db and len(db) == 19
        db.add("new0", v)

    def test_prepared_checks_are_those_of_the_plain_operation(self, db):
        with pytest.raises(hovra.DuplicateIdError):
            db.add_many(["base0"], rows(1), prepare="t1")
        with pytest.raises(ValueError, match="appears twice"):
            db.add_many(["a", "a"], rows(2), prepare="t1")
        with pytest.raises(ValueError, match="dimension|length"):
            db.add_many(["a"], np.zeros((1, DIM + 1), np.float32), prepare="t1")
        with pytest.raises(ValueError, match="non-empty transaction id"):
            db.add_many(["a"], rows(1), prepare="")
        with pytest.raises(TypeError):
            db.delete_many(["a"], prepare=3)
        assert db.prepared_transactions() == [] and len(db) == 20
        # Nothing to do prepares nothing.
        assert db.delete_many(["missing"], prepare="t1") == 0
        assert db.delete_where({"group": 7}, prepare="t1") == 0
        assert db.prepared_transactions() == []

    def test_upsert_and_delete_where_apply_as_logged(self, db):
        v = rows(2, 5)
        db.upsert_many(["base0", "fresh"], v, [{"u": 0}, {"u": 1}], prepare="u")
        assert db.delete_where({"group": 1}, prepare="d") == 10
        assert db.get("base0")[1] == {"group": 0} and len(db) == 20
        db.commit_prepared("d")
        db.commit_prepared("u")
        assert len(db) == 11 and db.get("base0")[1] == {"u": 0} and db.get("fresh")[1] == {"u": 1}
        assert db.count({"group": 1}) == 0


class TestDurability:
    def test_pending_batches_survive_reopen_and_save(self, tmp_path):
        path = str(tmp_path / "db")
        db = Database(path, dim=DIM)
        db.add_many(ids("base", 10), rows(10, 1))
        db.add_many(ids("p", 4), rows(4, 2), prepare="keep")
        db.delete_many(["base1"], prepare="drop")
        db.add_many(ids("q", 2), rows(2, 3), prepare="later")
        db.commit_prepared("later")
        db.close(save=False)  # everything is in the log
        db = Database(path)
        assert db.prepared_transactions() == ["keep", "drop"] and len(db) == 12
        db.save()  # the log is rewritten to hold the two pending batches only
        assert os.path.exists(os.path.join(path, "wal.hovra"))
        assert not os.path.exists(os.path.join(path, "wal.tmp"))
        db.add("after", rows(1, 4)[0])
        db.close()
        look = _inspect(path)["check"]
        assert look["log_prepared"] == 2 and look["log_prepared_records"] == 5
        db = Database(path)
        assert db.prepared_transactions() == ["keep", "drop"] and len(db) == 13
        with pytest.raises(TransactionConflictError):
            db.delete("base1")
        db.commit_prepared("keep")
        db.abort_prepared("drop")
        db.save()
        db.close()
        look = _inspect(path)["check"]
        assert look["log_prepared"] == 0 and look["log_records"] == 0
        db = Database(path)
        assert len(db) == 17 and "p3" in db and "base1" in db and db.prepared_transactions() == []
        db.close()

    def test_a_save_stopped_before_its_new_log_keeps_pending_batches(self, tmp_path):
        path = str(tmp_path / "db")
        log = os.path.join(path, "wal.hovra")
        db = Database(path, dim=DIM)
        db.add_many(ids("base", 3), rows(3, 1))
        db.add_many(ids("p", 2), rows(2, 2), prepare="t")
        earlier = open(log, "rb").read()
        db.save()
        db.close()
        # The save's files are in place, its new log is not: the log of the
        # earlier checkpoint is still there.
        with open(log, "wb") as f:
            f.write(earlier)
        db = Database(path)
        assert db.prepared_transactions() == ["t"] and len(db) == 3
        db.close()
        db = Database(path)  # carried into the new log
        assert db.prepared_transactions() == ["t"]
        assert db.commit_prepared("t") and len(db) == 5
        db.close()
        db = Database(path)
        assert len(db) == 5 and "p1" in db and db.prepared_transactions() == []
        db.close()

    def test_a_reader_applies_a_prepared_batch_at_its_commit(self, tmp_path):
        path = str(tmp_path / "db")
        db = Database(path, dim=DIM)
        db.add_many(ids("base", 3), rows(3, 1))
        script = textwrap.dedent(
            """
            import sys, hovra
            db = hovra.Database(sys.argv[1], read_only=True, refresh_interval=0)
            for line in sys.stdin:
                db.refresh()
                print(len(db), ",".join(db.prepared_transactions()), flush=True)
            """
        )
        reader = subprocess.Popen(
            [sys.executable, "-c", script, path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True
        )

        def look():
            reader.stdin.write("\n")
            reader.stdin.flush()
            return reader.stdout.readline().split()

        try:
            assert look() == ["3"]
            db.add_many(ids("p", 4), rows(4, 2), prepare="t1")
            db.delete_many(["base0"], prepare="t2")
            assert look() == ["3", "t1,t2"]
            db.commit_prepared("t1")
            assert look() == ["7", "t2"]
            db.save()  # t2 goes on in the new log
            assert look() == ["7", "t2"]
            db.commit_prepared("t2")
            db.add_many(ids("q", 2), rows(2, 3), prepare="t3")
            db.abort_prepared("t3")
            assert look() == ["6"]
        finally:
            reader.stdin.close()
            reader.wait(timeout=60)
            db.close()

    def test_a_torn_prepare_or_resolution_is_dropped(self, tmp_path):
        path = str(tmp_path / "db")
        db = Database(path, dim=DIM)
        db.add_many(ids("base", 3), rows(3, 1))
        db.close(save=False)
        log = os.path.join(path, "wal.hovra")
        clean = os.path.getsize(log)
        db = Database(path)
        db.add_many(ids("p", 3), rows(3, 2), prepare="t")
        prepared = os.path.getsize(log)
        db.commit_prepared("t")
        db.close(save=False)
        resolved = os.path.getsize(log)
        data = open(log, "rb").read()
        # Cut inside the prepared records: the batch never happened.
        for cut in (clean + 10, prepared - 3):
            with open(log, "wb") as f:
                f.write(data[:cut])
            db = Database(path)
            assert len(db) == 3 and db.prepared_transactions() == []
            db.close(save=False)
            assert os.path.getsize(log) == clean
        # Cut inside the resolution: pending again, as if never resolved.
        with open(log, "wb") as f:
            f.write(data[: resolved - 2])
        db = Database(path)
        assert len(db) == 3 and db.prepared_transactions() == ["t"]
        db.commit_prepared("t")
        assert len(db) == 6
        db.close(save=False)

    def test_a_process_killed_after_prepare_leaves_it_pending(self, tmp_path):
        path = str(tmp_path / "db")
        script = textwrap.dedent(
            f"""
            import os, numpy as np
            from hovra import Database
            db = Database({path!r}, dim={DIM})
            db.add_many(["a", "b"], np.ones((2, {DIM}), np.float32), prepare="t")
            os._exit(0)
            """
        )
        subprocess.run([sys.executable, "-c", script], check=True, timeout=120)
        db = Database(path)
        assert len(db) == 0 and db.prepared_transactions() == ["t"]
        assert db.abort_prepared("t") and len(db) == 0
        db.add("a", np.ones(DIM, np.float32))
        db.close()


class TestExactThreshold:
    def test_threshold_chooses_the_search_mode(self, tmp_path):
        path = str(tmp_path / "db")
        db = Database(path, dim=DIM)
        db.add_many(ids("r", 300), rows(300))
        assert db.stats()["uses_brute_force"]
        db.close()
        # 300 x 8 = 2,400 components: above 1,000, below the default.
        db = Database(path, exact_threshold=1000)
        assert not db.stats()["uses_brute_force"]
        query = rows(1, 9)[0]
        graph = [h.id for h in db.search(query, k=5)]
        db.close()
        db = Database(path)
        assert db.stats()["uses_brute_force"]
        assert [h.id for h in db.search(query, k=5)] == graph
        db.close()

        # A reader takes it too, and keeps it across a writer's checkpoints.
        reader = Database(path, read_only=True, refresh_interval=0, exact_threshold=1000)
        assert not reader.stats()["uses_brute_force"]
        assert Database(path, read_only=True).stats()["uses_brute_force"]
        db = Database(path)
        db.add_many(ids("s", 300), rows(300, 3))
        db.save()
        assert len(reader) == 600 and not reader.stats()["uses_brute_force"]
        reader.close()
        db.close()

    def test_threshold_is_a_count(self, tmp_path):
        with pytest.raises(OverflowError):  # as for m and ef_construction
            Database(str(tmp_path / "a"), dim=DIM, exact_threshold=-1)
        with pytest.raises(TypeError):
            Database(str(tmp_path / "b"), dim=DIM, exact_threshold="many")
