"""SQ8 quantization: the code rules, full-precision distances with quantized
search on, recall, and the switches."""

import struct

import numpy as np
import pytest
from _hovra import Database


def codes_after_save(tmp_path, rows, extra=None):
    """Saves a quantize=True database and returns (mins, scales, codes)."""
    dim = len(rows[0])
    db = Database(str(tmp_path), dim=dim, quantize=True)
    db.add_many([str(i) for i in range(len(rows))], np.asarray(rows, np.float32))
    if extra is not None:
        db.add("extra", extra)
    db.save()
    raw = (tmp_path / "vectors.sq8").read_bytes()
    magic, version, q, exceptions = struct.unpack_from("<4sIII", raw)
    assert (magic, version) == (b"HSQ8", 2)
    mins = np.frombuffer(raw, "<f4", q, 16)
    scales = np.frombuffer(raw, "<f4", q, 16 + 4 * q)
    codes = np.frombuffer(raw, np.uint8, offset=16 + 8 * q + 4 * exceptions).reshape(-1, q)
    return mins, scales, codes


def reference_codes(rows, mins, scales):
    t = (np.asarray(rows, np.float32) - mins) / scales
    t = np.clip(t, 0, 255)
    return np.clip(np.sign(t) * np.floor(np.abs(t) + np.float32(0.5)), 0, 255).astype(np.uint8)


class TestCodes:
    def test_min_max_and_constant_dimension(self, tmp_path):
        rows = [[0.0, 5.0, -1.0], [10.0, 5.0, 1.0], [2.5, 5.0, 0.0]]
        mins, scales, codes = codes_after_save(tmp_path, rows)
        assert list(mins) == [0.0, 5.0, -1.0]
        assert scales[1] == 1.0
        assert scales[0] == np.float32(10.0) / np.float32(255)
        assert list(codes[:, 0][:2]) == [0, 255] and list(codes[:, 2][:2]) == [0, 255]
        assert list(codes[:, 1]) == [0, 0, 0]
        decoded = codes.astype(np.float32) * scales + mins
        assert decoded[0, 1] == 5.0
        assert np.all(np.abs(decoded - np.asarray(rows, np.float32)) <= scales)

    def test_random_rows_follow_the_one_component_rule(self, tmp_path):
        rng = np.random.default_rng(8)
        rows = rng.standard_normal((300, 37)).astype(np.float32) * rng.uniform(0.1, 50, 37).astype(np.float32)
        rows[5] = rows[6]  # repeated rows and exact halves below
        mins, scales, codes = codes_after_save(tmp_path, rows)
        assert np.array_equal(codes, reference_codes(rows, mins, scales))

    def test_halves_round_away_from_zero(self, tmp_path):
        # range 255 gives step 1: values at .5 sit exactly between two codes
        rows = [[0.0], [255.0], [0.5], [2.5], [254.5]]
        _, scales, codes = codes_after_save(tmp_path, rows)
        assert scales[0] == 1.0
        assert list(codes[:, 0]) == [0, 255, 1, 3, 255]

    def test_vector_added_after_training_saturates(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.add_many(["a", "b"], [[0, 0], [1, 1]])
        db.enable_quantized_search()
        before = db.stats()["memory_quantized_bytes"]
        db.add("far", [100, -100])
        assert db.stats()["memory_quantized_bytes"] == before + 2
        assert db.search([100, -100], k=1)[0].id == "far"


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    rng = np.random.default_rng(21)
    n, dim, latent = 2700, 4000, 10
    data = (rng.standard_normal((n, latent)) @ rng.standard_normal((latent, dim))).astype(np.float32)
    db = Database(
        str(tmp_path_factory.mktemp("q") / "db"), dim=dim, metric="euclidean", m=8, ef_construction=64
    )
    db.add_many([str(i) for i in range(n)], data)
    queries = data[rng.choice(n, 25, replace=False)] + 0.01
    return db, data, queries


class TestQuantizedSearch:
    def test_distances_are_full_precision(self, big):
        db, data, queries = big
        db.disable_quantized_search()
        plain = [{h.id: h.distance for h in db.search(q, k=20, ef_search=400)} for q in queries]
        db.enable_quantized_search()
        try:
            for q, ref in zip(queries, plain):
                hits = db.search(q, k=10)
                for h in hits:
                    exact = float(((data[int(h.id)].astype(np.float64) - q) ** 2).sum())
                    assert h.distance == pytest.approx(exact, rel=1e-4)
                    if h.id in ref:
                        assert h.distance == ref[h.id]
                assert [h.distance for h in hits] == sorted(h.distance for h in hits)
        finally:
            db.disable_quantized_search()

    @pytest.mark.slow
    @pytest.mark.parametrize("metric", ["euclidean", "dot", "cosine"])
    def test_partial_rescoring_returns_what_full_rescoring_does(self, metric, tmp_path):
        # A tight cluster inside a wide range (300 rows far out under every
        # metric, too many for training to set aside): half a quantization
        # step is about the spread of the cluster, so quantized distances
        # reorder its rows and their rounding is far from evenly spread.
        # Every row of the cluster comes three times (slots apart), so the
        # answers are runs of equal distances and k cuts through them (not
        # under the dot product, where a row's copies are not each other's
        # nearest and a walk seldom finds two of them). A
        # search re-scores only the part of its beam that could still matter
        # (the margin of the rounding's spread, widened by the rows it
        # re-scored); asked for as many hits as its beam is wide, it walks
        # the same beam and re-scores every member. The first k of that must
        # be the answer, in order (ties by slot), with the same distances: in
        # memory, and after a reopen (codes read from the file with their
        # exceptions). 13,100 x 769 is past the exact-scan threshold and not
        # a multiple of any vector width.
        rng = np.random.default_rng(4)
        n, dim, far = 13_100, 769, 300
        distinct = (rng.standard_normal(((n - far + 2) // 3, dim)) * 0.02 + 1.0).astype(np.float32)
        data = np.empty((n, dim), np.float32)
        data[:far] = (
            np.where(np.arange(dim) % 2, 1.0, -1.0) * np.where(np.arange(far) % 2, 8.0, -8.0)[:, None]
        )
        data[far:] = distinct[np.arange(n - far) % len(distinct)]
        db = Database(str(tmp_path / "a"), dim=dim, metric=metric, m=8, ef_construction=24, quantize=True)
        db.add_many([str(i) for i in range(n)], data)
        db.wait_indexed()
        db.enable_quantized_search()
        queries = distinct[rng.choice(len(distinct), 8, replace=False)]
        queries += rng.standard_normal(queries.shape).astype(np.float32) * 0.02

        def agree(db):
            cut_ties = 0
            for q in queries:
                for ef in (20, 60, 400):
                    full = [(h.id, h.distance) for h in db.search(q, k=ef, ef_search=ef)]
                    assert [(h.id, h.distance) for h in db.search(q, k=10, ef_search=ef)] == full[:10]
                    cut_ties += full[9][1] == full[10][1]
            assert cut_ties > 0 or metric == "dot"

        agree(db)
        db.close()
        reopened = Database(str(tmp_path / "a"))
        reopened.wait_indexed()
        assert reopened.quantized_search
        agree(reopened)

    def test_recall_close_to_full_precision(self, big):
        db, data, queries = big

        def recall():
            found = 0
            for q in queries:
                truth = set(np.argsort(((data - q) ** 2).sum(axis=1))[:10].astype(str))
                found += len(truth & {h.id for h in db.search(q, k=10, ef_search=100)})
            return found / (10 * len(queries))

        full = recall()
        db.enable_quantized_search()
        try:
            quantized = recall()
        finally:
            db.disable_quantized_search()
        assert quantized >= full - 0.05

    def test_filtered_graph_search_with_quantization(self, big):
        db, data, queries = big
        db.enable_quantized_search()
        try:
            hits = db.search(queries[0], k=5, where_filter={"missing": {"$ne": 1}})
            assert hits == []  # records without metadata match no filter
        finally:
            db.disable_quantized_search()


class TestSwitches:
    def test_empty_database_stays_off(self, tmp_path):
        db = Database(str(tmp_path), dim=3)
        db.enable_quantized_search()
        assert db.quantized_search is False
        assert db.stats()["uses_quantized_search"] is False

    def test_on_off_and_memory(self, tmp_path):
        db = Database(str(tmp_path), dim=4)
        db.add_many([str(i) for i in range(10)], np.ones((10, 4), np.float32) * np.arange(10)[:, None])
        db.enable_quantized_search()
        s = db.stats()
        assert db.quantized_search is True and s["uses_quantized_search"] is True
        assert s["memory_quantized_bytes"] == 4 * 8 + 10 * 4
        db.delete("3")
        db.enable_quantized_search()  # retrains on every row, deleted ones included
        assert db.stats()["memory_quantized_bytes"] == 4 * 8 + 10 * 4
        db.compact()
        assert db.quantized_search is True
        assert db.stats()["memory_quantized_bytes"] == 4 * 8 + 9 * 4
        db.disable_quantized_search()
        s = db.stats()
        assert db.quantized_search is False and s["memory_quantized_bytes"] == 0
