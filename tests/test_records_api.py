"""Records by the batch and by the page: get_many, records() (id order,
paging, filters, resuming, concurrent writers), delete_many, delete_where
and update_many (one logged batch each: all or nothing after a crash);
explain() on a database small enough to be scanned exactly."""

import threading

import numpy as np
import pytest
from hovra import Database


@pytest.fixture
def filled(tmp_path):
    db = Database(str(tmp_path / "f"), dim=3, metric="euclidean")
    n = 2500
    db.add_many(
        [f"id{i:05d}" for i in range(n)],
        np.arange(n * 3, dtype=np.float32).reshape(n, 3),
        [{"i": i, "even": i % 2 == 0, "tags": ["t%d" % (i % 7)]} if i % 10 else None for i in range(n)],
    )
    return db


def state(db):
    return {rid: db.get(rid) for rid in db.ids()}


class TestGetMany:
    def test_order_missing_and_repeats(self, filled):
        got = filled.get_many(["id00003", "nope", "id00003", "id00010"])
        assert got[0] == filled.get("id00003") and got[2] == got[0]
        assert got[1] is None
        assert got[3] == ([30.0, 31.0, 32.0], None)
        assert filled.get_many([]) == []

    def test_errors(self, filled):
        with pytest.raises(TypeError, match="^argument 'ids'"):
            filled.get_many("id00001")
        filled.close()
        with pytest.raises(ValueError, match="^database is closed$"):
            filled.get_many(["id00001"])


class TestRecords:
    def test_everything_in_id_order_across_pages(self, filled):
        rows = list(filled.records())
        assert [r[0] for r in rows] == sorted(filled.ids())
        assert rows[7] == ("id00007", [21.0, 22.0, 23.0], {"i": 7, "even": False, "tags": ["t0"]})

    def test_order_is_by_utf8_bytes(self, db):
        ids = ["b", "a", "é", "Z", "aa", "", "\U0001f600", "ü"]
        for i, rid in enumerate(ids):
            db.add(rid, [i, 0, 0, 0])
        assert [r[0] for r in db.records()] == sorted(ids, key=lambda s: s.encode())

    def test_filter_limit_after_and_without_vectors(self, filled):
        rows = list(filled.records({"even": True, "i": {"$lt": 100}}, include_vectors=False))
        assert [r[0] for r in rows] == [f"id{i:05d}" for i in range(2, 100, 2) if i % 10]
        assert all(r[1] is None for r in rows)
        first = list(filled.records({"tags": {"$contains": "t3"}}, limit=5))
        rest = list(filled.records({"tags": {"$contains": "t3"}}, after=first[-1][0]))
        assert [r[0] for r in first + rest] == [r[0] for r in filled.records({"tags": {"$contains": "t3"}})]
        assert list(filled.records(limit=0)) == []
        assert [r[0] for r in filled.records(after="id02497")] == ["id02498", "id02499"]
        assert list(filled.records(after="zzz")) == []
        assert list(filled.records({})) == []
        # A selective filter (its few candidates are sorted by id).
        assert [r[0] for r in filled.records({"i": {"$in": [2401, 7, 1999]}}, after="id00007")] == [
            "id01999",
            "id02401",
        ]

    def test_changes_between_pages(self, filled):
        # Pages hold 1000 records: the changes land before the second page.
        it = filled.records(include_vectors=False)
        seen = [next(it)[0] for _ in range(1000)]
        filled.delete("id01500")  # not reached yet: not seen
        filled.delete("id00001")  # already passed
        filled.add("id01200x", [0, 0, 0])  # ahead: seen
        filled.add("id00500x", [0, 0, 0])  # behind: not seen
        seen += [r[0] for r in it]
        assert "id01500" not in seen and "id01200x" in seen and "id00500x" not in seen
        assert seen == sorted(seen) and len(seen) == len(set(seen))

    def test_concurrent_writers_never_skip_or_repeat_stable_records(self, filled):
        stable = set(filled.ids())
        stop = threading.Event()

        def churn():
            i = 0
            while not stop.is_set():
                filled.upsert(f"id{i % 2500:05d}~new", [1, 2, 3])
                filled.delete(f"id{(i * 7) % 2500:05d}~new")
                i += 1

        writer = threading.Thread(target=churn)
        writer.start()
        try:
            for _ in range(3):
                ids = [r[0] for r in filled.records(include_vectors=False)]
                assert ids == sorted(ids) and len(ids) == len(set(ids))
                assert stable <= set(ids)
        finally:
            stop.set()
            writer.join()

    def test_arguments(self, filled):
        with pytest.raises(ValueError, match="^unknown operator: \\$x$"):
            filled.records({"a": {"$x": 1}})
        with pytest.raises(TypeError, match="^argument 'after'"):
            filled.records(after=5)
        with pytest.raises(TypeError):
            filled.records({}, 5)  # limit is keyword-only
        it = filled.records()
        next(it)
        filled.close()
        with pytest.raises(ValueError, match="^database is closed$"):
            list(it)


class TestDeletes:
    def test_delete_many(self, filled, tmp_path):
        assert filled.delete_many(["id00001", "id00001", "nope", "id00002"]) == 2
        assert filled.delete_many([]) == 0 and filled.delete_many(["nope"]) == 0
        assert len(filled) == 2498 and "id00001" not in filled
        expected = state(filled)
        filled.close()
        assert state(Database(str(tmp_path / "f"))) == expected

    def test_delete_where(self, filled, tmp_path):
        assert filled.delete_where({"tags": {"$contains": "t0"}}) == 322
        assert filled.count({"tags": {"$contains": "t0"}}) == 0
        assert filled.delete_where({}) == 0
        with pytest.raises(ValueError, match="^\\$in value must be a list$"):
            filled.delete_where({"i": {"$in": 1}})
        with pytest.raises(TypeError, match="^argument 'where_filter'"):
            filled.delete_where(None)
        assert (
            filled.delete_where({"$not": {"i": {"$exists": True}}}) == 0
        )  # records without metadata never match
        assert filled.delete_where({"i": {"$gte": 0}}) == 2500 - 322 - 250
        assert len(filled) == 250
        expected = state(filled)
        filled.close()
        assert state(Database(str(tmp_path / "f"))) == expected

    @pytest.mark.parametrize("how", ["many", "where"])
    def test_a_torn_batch_deletes_nothing(self, filled, tmp_path, how):
        filled.save()
        before = set(filled.ids())
        if how == "many":
            assert filled.delete_many(["id00001", "id00002", "id00003"]) == 3
        else:
            assert filled.delete_where({"i": {"$lt": 50}}) == 45
        filled.close(save=False)  # the batch stays in the log
        wal = tmp_path / "f" / "wal.hovra"
        wal.write_bytes(wal.read_bytes()[:-3])  # the commit marker torn
        assert set(Database(str(tmp_path / "f")).ids()) == before


class TestUpdateMany:
    def test_vectors_and_metadata(self, filled, tmp_path):
        filled.update_many(["id00001", "id00002"], vectors=np.ones((2, 3), dtype=np.float32))
        assert filled.get("id00001") == ([1.0, 1.0, 1.0], {"i": 1, "even": False, "tags": ["t1"]})
        filled.update_many(["id00001", "id00002", "id00001"], metadatas=[{"x": 1}, None, {"x": 2}])
        assert filled.get("id00001")[1] == {"x": 2}
        assert filled.get("id00002") == ([1.0, 1.0, 1.0], {"i": 2, "even": True, "tags": ["t2"]})
        assert filled.count({"x": 2}) == 1 and filled.count({"i": 1}) == 0
        filled.update_many([])
        expected = state(filled)
        filled.close()
        assert state(Database(str(tmp_path / "f"))) == expected

    def test_nothing_changes_on_error(self, filled):
        before = state(filled)
        with pytest.raises(ValueError, match="^id 'nope' not found$"):
            filled.update_many(["id00001", "nope"], [[0, 0, 0], [1, 1, 1]], [{"a": 1}, {"b": 2}])
        with pytest.raises(ValueError, match="^ids length \\(1\\) != vectors length \\(2\\)$"):
            filled.update_many(["id00001"], [[0, 0, 0], [1, 1, 1]])
        with pytest.raises(ValueError, match="^metadatas length \\(2\\) != ids length \\(1\\)$"):
            filled.update_many(["id00001"], metadatas=[{}, {}])
        with pytest.raises(ValueError, match="^dimension mismatch: expected 3, got 2$"):
            filled.update_many(["id00001"], [[0, 0]])
        with pytest.raises(ValueError, match="contains NaN or infinity"):
            filled.update_many(["id00001", "id00002"], [[0, 0, 0], [np.nan, 0, 0]])
        with pytest.raises(ValueError, match="^metadatas must be list of dicts or None$"):
            filled.update_many(["id00001"], metadatas=[3])
        assert state(filled) == before


class TestExplain:
    def test_paths_and_estimates_of_an_exactly_scanned_database(self, filled):
        cases = [
            (None, "whole scan", "every record", 2500),
            ({"even": True}, "candidate scan", "1 list", 1000),
            ({"i": {"$gte": 2000}}, "candidate scan", "range on 'i'", 450),
            (
                {"$or": [{"tags": {"$contains": "t1"}}, {"i": 3}]},
                "candidate scan",
                "or(1 list, 1 list)",
                None,
            ),
            ({"$not": {"even": True}}, "candidate scan", "all but 1 list", None),
            ({"deep.key": 1}, "whole scan", "evaluated", None),
            ({"missing": 1}, "none", "no record", 0),
        ]
        for flt, path, plan, candidates in cases:
            e = filled.explain(flt)
            assert (e["path"], e["plan"], e["live_records"]) == (path, plan, 2500), flt
            assert e["candidates"] >= filled.count(flt) if flt else e["candidates"] == 2500
            if candidates is not None:
                assert e["candidates"] == candidates, flt
        # The lists alone decide an equality; a range is checked per record.
        assert filled.explain({"even": True})["index_decides"] is True
        assert filled.explain({"deep.key": 1})["index_decides"] is False
        assert filled.explain({"even": True}, k=0)["path"] == "none"
        assert filled.explain({"even": True}, 5, 40) == filled.explain({"even": True}, k=5, ef_search=40)

    def test_deletes_lower_the_estimate_and_errors_match_search(self, filled):
        filled.delete_where({"i": {"$lt": 100}})
        assert filled.explain()["live_records"] == 2410
        assert filled.explain({"even": True})["candidates"] == filled.count({"even": True})
        with pytest.raises(ValueError, match="^unknown operator: \\$x$"):
            filled.explain({"a": {"$x": 1}})
        with pytest.raises(TypeError, match="where_filter"):
            filled.explain([1])
        with pytest.raises(TypeError):
            filled.explain(None, "3")
        filled.close()
        with pytest.raises(ValueError, match="^database is closed$"):
            filled.explain()
