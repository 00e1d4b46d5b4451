"""Index behaviour through the module: distances, exact scans, graph recall,
neighbour-list caps, deletion, update and statistics."""

import numpy as np
import pytest
from _hovra import Database, _inspect

METRICS = ["cosine", "euclidean", "dot_product"]


def numpy_distances(metric, data, q):
    data = data.astype(np.float64)
    q = q.astype(np.float64)
    if metric == "euclidean":
        return ((data - q) ** 2).sum(axis=1)
    if metric == "dot_product":
        return -(data @ q)
    norms = np.linalg.norm(data, axis=1) * np.linalg.norm(q)
    return 1.0 - (data @ q) / norms


def make_db(tmp_path, dim, metric="cosine", **kw):
    return Database(str(tmp_path / "db"), dim=dim, metric=metric, **kw)


class TestDistances:
    @pytest.mark.parametrize(
        "metric,a,b,expected",
        [
            ("euclidean", [1, 2, 3], [1, 2, 3], 0.0),
            ("euclidean", [1, 0], [0, 1], 2.0),
            ("cosine", [1, 0], [0, 1], 1.0),
            ("cosine", [1, 2], [-1, -2], 2.0),
            ("dot_product", [1, 2, 3], [1, 2, 3], -14.0),
            ("dot_product", [1, 0], [0, 1], 0.0),
        ],
    )
    def test_pairwise_through_graph_free_search(self, tmp_path, metric, a, b, expected):
        # one stored vector plus a tombstone forces the per-slot distance
        db = make_db(tmp_path, len(a), metric)
        db.add("x", b)
        db.add("gone", b)
        db.delete("gone")
        (hit,) = db.search(a, k=1)
        assert hit.distance == pytest.approx(expected, abs=1e-6)

    def test_zero_query_under_cosine_scores_one(self, tmp_path):
        db = make_db(tmp_path, 3, "cosine")
        db.add_many(["a", "b"], [[1, 2, 3], [0, 0, 0]])
        hits = db.search([0, 0, 0], k=2)
        assert [h.distance for h in hits] == [1.0, 1.0]
        hits = db.search([1, 1, 1], k=2)
        assert {h.id: h.distance for h in hits}["b"] == 1.0

    def test_self_distance_under_euclidean_batch_scoring_is_tiny(self, tmp_path):
        rng = np.random.default_rng(3)
        data = rng.standard_normal((50, 16)).astype(np.float32) * 100
        db = make_db(tmp_path, 16, "euclidean")
        db.add_many([str(i) for i in range(50)], data)
        for i in range(0, 50, 7):
            top = db.search(data[i], k=1)[0]
            assert top.id == str(i)
            assert abs(top.distance) < 1e-1


class TestExhaustive:
    @pytest.mark.parametrize("metric", METRICS)
    @pytest.mark.parametrize("with_deletions", [False, True])
    def test_equals_numpy_brute_force(self, tmp_path, metric, with_deletions):
        rng = np.random.default_rng(7)
        data = rng.standard_normal((400, 24)).astype(np.float32)
        db = make_db(tmp_path, 24, metric)
        db.add_many([str(i) for i in range(len(data))], data)
        live = np.ones(len(data), bool)
        if with_deletions:
            for i in range(0, 400, 3):
                assert db.delete(str(i))
                live[i] = False
        for _ in range(5):
            q = rng.standard_normal(24).astype(np.float32)
            hits = db.search(q, k=15)
            d = numpy_distances(metric, data, q)
            d[~live] = np.inf
            expected = np.argsort(d, kind="stable")[:15]
            assert [h.id for h in hits] == [str(i) for i in expected]
            np.testing.assert_allclose([h.distance for h in hits], d[expected], rtol=1e-4, atol=1e-4)
            assert all(a.distance <= b.distance for a, b in zip(hits, hits[1:]))

    def test_k_zero_and_k_beyond_size(self, tmp_path):
        db = make_db(tmp_path, 2)
        db.add_many(["a", "b", "c"], [[1, 0], [0, 1], [1, 1]])
        assert db.search([1, 0], k=0) == []
        assert len(db.search([1, 0], k=100)) == 3

    def test_empty_and_all_deleted(self, tmp_path):
        db = make_db(tmp_path, 2)
        assert db.search([1, 0]) == []
        db.add_many(["a", "b"], [[1, 0], [0, 1]])
        db.delete("a")
        db.delete("b")
        assert db.search([1, 0]) == []
        assert db.search([1, 0], where_filter={"x": {"$ne": 1}}) == []


@pytest.fixture(scope="module")
def graph_db(tmp_path_factory):
    """A database whose live count x dim is past the exhaustive threshold."""
    rng = np.random.default_rng(11)
    n, dim, latent = 2600, 4000, 12
    # points on a low-dimensional subspace: nearest neighbours are well separated
    data = (rng.standard_normal((n, latent)) @ rng.standard_normal((latent, dim))).astype(np.float32)
    path = tmp_path_factory.mktemp("graph") / "db"
    db = Database(str(path), dim=dim, metric="euclidean", m=8, ef_construction=64)
    db.add_many([str(i) for i in range(n)], data)
    return db, data


class TestGraphPath:
    def test_uses_graph(self, graph_db):
        db, data = graph_db
        assert len(db) * db.dim >= 10_000_000
        assert db.stats()["uses_brute_force"] is False

    def test_recall_against_brute_force(self, graph_db):
        db, data = graph_db
        rng = np.random.default_rng(5)
        found = 0
        queries = data[rng.choice(len(data), 30, replace=False)] + 0.01
        for q in queries:
            d = numpy_distances("euclidean", data, q)
            truth = set(np.argsort(d)[:10].astype(str))
            found += len(truth & {h.id for h in db.search(q, k=10)})
        assert found / (10 * len(queries)) >= 0.9

    def test_neighbour_lists_capped(self, graph_db):
        db, _ = graph_db
        stats = db.stats()
        assert stats["max_degree_layer0"] <= 16
        assert stats["num_layers"] >= 1
        assert stats["memory_graph_bytes"] > 0
        assert stats["memory_vectors_bytes"] == 4 * db.total_slots * db.dim

    @pytest.mark.slow
    def test_tight_clusters_loaded_in_one_batch(self, tmp_path):
        # Well separated clusters: a graph whose lists keep only the nearest
        # members falls apart into islands that searches cannot cross.
        rng = np.random.default_rng(12)
        n, dim, clusters = 2600, 4000, 60
        centres = 3 * rng.standard_normal((clusters, dim)).astype(np.float32)
        spread = rng.standard_normal((8, dim)).astype(np.float32)
        data = (
            centres[rng.integers(0, clusters, n)]
            + (rng.standard_normal((n, 8)) @ spread).astype(np.float32) * 0.3
        )
        db = Database(str(tmp_path / "c"), dim=dim, metric="euclidean", m=8, ef_construction=64)
        db.add_many([str(i) for i in range(n)], data)
        queries = data[rng.choice(n, 30, replace=False)] + 0.01
        found = 0
        for q in queries:
            truth = set(np.argsort(numpy_distances("euclidean", data, q))[:10].astype(str))
            found += len(truth & {h.id for h in db.search(q, k=10)})
        assert found / (10 * len(queries)) >= 0.9

    @pytest.mark.parametrize("metric", ["cosine", "euclidean"])
    def test_parallel_batches_leave_no_node_unreachable(self, tmp_path, metric):
        # Batches linked on the worker pool, in sorted runs of one cluster
        # with exact duplicates, into an empty graph and then into a full
        # one: every record stays reachable from the entry point on layer 0.
        rng = np.random.default_rng(4)
        n, dim, latent, clusters = 20000, 32, 12, 100
        basis = rng.standard_normal((latent, dim)).astype(np.float32)
        centres = rng.standard_normal((clusters, latent)).astype(np.float32)
        owner = np.arange(n) // 30 * 37 % clusters
        data = ((centres[owner] + 0.3 * rng.standard_normal((n, latent))) @ basis).astype(np.float32)
        data[49::50] = data[48::50]
        db = Database(str(tmp_path / "p"), dim=dim, metric=metric, m=16, ef_construction=64)
        cut = n * 2 // 3
        db.add_many([str(i) for i in range(cut)], data[:cut])
        db.add_many([str(i) for i in range(cut, n)], data[cut:])
        db.wait_indexed()
        db.save()
        assert _inspect(str(tmp_path / "p"))["check"]["unreachable"] == 0
        assert db.stats()["max_degree_layer0"] <= 32

    @pytest.mark.parametrize("metric", ["cosine", "euclidean"])
    def test_graph_hits_carry_kernel_distances(self, tmp_path, metric):
        # The walks order by their own sums (cosine through the stored
        # norms, both with kernels that add in another order); what a search
        # returns must still be the metric kernel's distances, in ascending
        # order, the same values an exact scan with a tombstone (pairwise
        # kernel) reports. Rows come in near copies, so many distances tie or
        # nearly tie; under cosine the copies are scaled, so norms span six
        # orders of magnitude.
        rng = np.random.default_rng(13)
        n, dim = 2600, 4000
        data = (rng.standard_normal((n, 12)) @ rng.standard_normal((12, dim))).astype(np.float32)
        noise = rng.standard_normal((n // 2, dim)).astype(np.float32)
        if metric == "cosine":
            data[1::2] = data[0::2] * np.float32(1e-3) + noise * 1e-7
            data[2::5] *= np.float32(1e3)
        else:
            data[1::2] = data[0::2] + noise * np.float32(1e-4)
        db = Database(str(tmp_path / "c"), dim=dim, metric=metric, m=8, ef_construction=32)
        db.add_many([str(i) for i in range(n)], data)
        assert db.stats()["uses_brute_force"] is False
        queries = data[rng.choice(n, 8, replace=False)] * np.float32(0.5) + np.float32(0.01)
        graph = [db.search(q, k=10, ef_search=n) for q in queries]
        returned = {h.id for hits in graph for h in hits}
        for i in [i for i in range(n) if str(i) not in returned][:150]:
            db.delete(str(i))
        assert db.stats()["uses_brute_force"] is True
        for q, hits in zip(queries, graph):
            exact = {h.id: h.distance for h in db.search(q, k=n)}
            assert [h.distance for h in hits] == [exact[h.id] for h in hits]
            assert [h.distance for h in hits] == sorted(exact.values())[:10]

    @pytest.mark.slow
    @pytest.mark.parametrize("metric", METRICS)
    def test_ties_come_in_slot_order_on_every_path(self, tmp_path, metric):
        # Records at exactly equal distances come in the order they were
        # added (their slots) whichever way the search is answered: the
        # graph walk at full precision and on SQ8 codes, and the exact scan
        # of the few records a filter lets through. Eight copies of one row
        # are spread over the batch; a query for it ties them all, and k = 5
        # cuts through the tie.
        rng = np.random.default_rng(21)
        n, dim = 2600, 4000
        data = (rng.standard_normal((n, 12)) @ rng.standard_normal((12, dim))).astype(np.float32)
        copies = [5, 333, 700, 1201, 1202, 1800, 2222, 2599]
        data[copies] = data[1000]
        tied = sorted(copies + [1000])
        metas = [{"copy": 1} if i in tied else {"copy": 0} for i in range(n)]
        db = Database(str(tmp_path / "t"), dim=dim, metric=metric, m=8, ef_construction=64)
        db.add_many([str(i) for i in range(n)], data, metas)
        assert db.stats()["uses_brute_force"] is False
        query = data[1000]
        walked = [h.id for h in db.search(query, k=5, ef_search=400)]
        scanned = [h.id for h in db.search(query, k=5, where_filter={"copy": 1})]
        db.enable_quantized_search()
        quantized = [h.id for h in db.search(query, k=5, ef_search=400)]
        assert walked == scanned == quantized == [str(i) for i in tied[:5]]

    def test_huge_k_and_ef(self, graph_db):
        db, data = graph_db
        q = data[3] + 0.01
        assert 0.9 * len(data) <= len(db.search(q, k=2**64 - 1)) <= len(data)  # all it can reach
        assert len(db.search(q, k=5, ef_search=2**64 - 1)) == 5
        assert len(db.search(q, k=2**62, where_filter={"x": {"$ne": 1}})) == 0

    def test_large_ef_finds_exact_neighbours(self, graph_db):
        db, data = graph_db
        q = data[17] + 0.05
        d = numpy_distances("euclidean", data, q)
        expected = [str(i) for i in np.argsort(d)[:5]]
        assert [h.id for h in db.search(q, k=5, ef_search=len(data))] == expected


class TestChanges:
    def test_update_moves_record(self, tmp_path):
        db = make_db(tmp_path, 2, "euclidean")
        db.add_many(["a", "b", "c"], [[0, 0], [10, 10], [20, 20]])
        db.update("a", [100, 100])
        assert db.search([101, 101], k=1)[0].id == "a"
        assert db.search([0, 0], k=1)[0].id == "b"
        assert db.total_slots == 3

    def test_update_only_record(self, tmp_path):
        db = make_db(tmp_path, 3)
        db.add("only", [1, 2, 3])
        db.update("only", [3, 2, 1])
        assert db.get("only")[0] == [3.0, 2.0, 1.0]
        assert db.stats()["num_vectors"] == 1

    def test_delete_twice_counts_once(self, tmp_path):
        db = make_db(tmp_path, 2)
        db.add_many(["a", "b"], [[1, 0], [0, 1]])
        assert db.delete("a") is True
        assert db.delete("a") is False
        s = db.stats()
        assert (s["num_vectors"], s["num_deleted"]) == (1, 1)
        assert db.total_slots == 2 and db.deleted_count == 1
        assert "a" not in db
        db.add("a", [1, 1])
        assert db.total_slots == 3

    def test_identical_vectors_both_found(self, tmp_path):
        db = make_db(tmp_path, 3, "euclidean")
        db.add("x", [1, 2, 3])
        db.add("y", [1, 2, 3])
        assert {h.id for h in db.search([1, 2, 3], k=2)} == {"x", "y"}

    @pytest.mark.parametrize("size", [128, 129, 300])
    def test_batch_sizes_around_parallel_threshold(self, tmp_path, size):
        rng = np.random.default_rng(size)
        data = rng.standard_normal((size, 8)).astype(np.float32)
        db = make_db(tmp_path, 8, "euclidean")
        db.add_many([str(i) for i in range(size)], data)
        assert len(db) == size
        for i in (0, size // 2, size - 1):
            assert db.search(data[i], k=1)[0].id == str(i)
        assert db.stats()["max_degree_layer0"] <= 32


class TestStats:
    KEYS = [
        "num_vectors",
        "num_deleted",
        "num_layers",
        "avg_degree_layer0",
        "max_degree_layer0",
        "min_degree_layer0",
        "memory_vectors_bytes",
        "memory_graph_bytes",
        "memory_quantized_bytes",
        "uses_brute_force",
        "uses_quantized_search",
        "fresh_rows",
    ]

    def test_empty(self, tmp_path):
        s = make_db(tmp_path, 4).stats()
        assert list(s) == self.KEYS
        assert s == {k: 0 for k in self.KEYS} | {
            "avg_degree_layer0": 0.0,
            "uses_brute_force": True,
            "uses_quantized_search": False,
        }
        assert isinstance(s["avg_degree_layer0"], float)

    def test_populated_then_all_deleted(self, tmp_path):
        db = make_db(tmp_path, 4)
        rng = np.random.default_rng(0)
        db.add_many([str(i) for i in range(50)], rng.standard_normal((50, 4)).astype(np.float32))
        assert db.wait_indexed()
        s = db.stats()
        assert s["num_vectors"] == 50 and s["num_layers"] >= 1 and s["fresh_rows"] == 0
        assert 1 <= s["min_degree_layer0"] <= s["avg_degree_layer0"] <= s["max_degree_layer0"] <= 32
        assert s["memory_vectors_bytes"] == 50 * 4 * 4
        layers = s["num_layers"]
        for i in range(50):
            db.delete(str(i))
        s = db.stats()
        assert (s["num_vectors"], s["num_deleted"], s["num_layers"]) == (0, 50, layers)
        assert s["avg_degree_layer0"] == 0.0 and s["min_degree_layer0"] == 0
        assert s["uses_brute_force"] is True
        assert s["memory_vectors_bytes"] == 50 * 4 * 4


def test_blas_hint_once_through_sys_stderr(tmp_path):
    # A build without BLAS hints once per process, after the call, through
    # sys.stderr (so it can be captured); a BLAS-backed build never does.
    import subprocess
    import sys

    code = (
        "import io, sys\n"
        "from _hovra import Database\n"
        "sys.stderr = captured = io.StringIO()\n"
        f"a = Database({str(tmp_path / 'a')!r}, dim=2)\n"
        f"b = Database({str(tmp_path / 'b')!r}, dim=2)\n"
        "a.add('x', [1, 0]); b.add('y', [0, 1])\n"
        "a.search([1, 0]); a.search_many([[0, 1]] * 5); b.search([1, 1], where_filter={'k': 1})\n"
        "sys.stderr = sys.__stderr__\n"
        "print('libscipy_openblas' in open('/proc/self/maps').read())\n"
        "print(repr(captured.getvalue()))\n"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    blas, captured = out.stdout.splitlines()
    assert out.stderr == ""
    hint = (
        "hovra: brute-force search would be ~5x faster with BLAS. Install OpenBLAS:\n"
        "  conda install -c conda-forge openblas   # or via vcpkg\n"
        "  Then rebuild: pip install --force-reinstall hovra\n"
    )
    assert eval(captured) == ("" if blas == "True" else hint)


@pytest.mark.parametrize("metric", METRICS)
def test_exhaustive_paths_agree(tmp_path, metric):
    # search_many scores every row for all queries at once (a matrix product
    # in a BLAS build), search one query at a time; with tombstones or a
    # filter both take the per-slot kernel. Every path must return the same
    # ids in the same order with the same distances. Near-duplicates a few
    # ulps apart, exact duplicates and zero vectors stress the preselection.
    rng = np.random.default_rng(3)
    base = rng.standard_normal((60, 48)).astype(np.float32)
    data = np.repeat(base, 50, axis=0)
    data[1::2] = np.nextafter(data[1::2], np.float32(np.inf))
    data[::97] = 0.0
    queries = np.vstack(
        [base[:6], rng.standard_normal((5, 48)).astype(np.float32), np.zeros((1, 48), np.float32)]
    )
    db = make_db(tmp_path, 48, metric)
    db.add_many([str(i) for i in range(len(data))], data, [{"g": i % 3} for i in range(len(data))])

    def same(k, **kw):
        many = db.search_many(queries, k=k, **kw)
        for q, got in zip(queries, many):
            one = db.search(q, k=k, **kw)
            assert [(h.id, h.distance) for h in got] == [(h.id, h.distance) for h in one]

    for k in (1, 10, 75):
        same(k)
        same(k, where_filter={"g": 1})
    for i in range(0, len(data), 11):
        db.delete(str(i))
    same(10)
    same(10, where_filter={"g": {"$ne": 2}})


@pytest.mark.parametrize("metric", METRICS)
def test_exhaustive_scan_same_after_reopen(tmp_path, metric):
    # Permutations of one vector score alike up to rounding, so the scan's
    # preselection must keep its margin exact; the first scans after a
    # reopen check the norms read from the file, later ones rely on them,
    # and rows with tiny magnitudes need their own care. Every scan returns
    # what a scan of all rows (k = row count) puts first.
    rng = np.random.default_rng(11)
    base = rng.standard_normal(64).astype(np.float32)
    data = np.stack([rng.permutation(base) for _ in range(3000)]).astype(np.float32)
    data[2000:] *= np.float32(1e-30)
    queries = [np.full(64, c, np.float32) for c in (1.0, 3.0, 1e10, 1e-25)] + [
        rng.standard_normal(64).astype(np.float32)
    ]
    db = make_db(tmp_path, 64, metric)
    db.add_many([str(i) for i in range(len(data))], data)

    def answers():
        out = []
        for q in queries:
            top = [(h.id, h.distance) for h in db.search(q, k=10)]
            assert top == [(h.id, h.distance) for h in db.search(q, k=len(data))][:10]
            out.append(top)
        return out

    before = answers()
    db.save()
    db.close()
    db = Database(str(tmp_path / "db"))
    assert answers() == before
    assert answers() == before


@pytest.mark.slow
def test_store_grows_into_large_blocks(tmp_path):
    # Rows past 4 MiB live in huge-page-aligned blocks: batches move the store
    # from an ordinary block into large ones and between large ones; updates,
    # deletes, compaction and a reopen must keep every row where it was.
    dim = 64
    rng = np.random.default_rng(21)
    db = make_db(tmp_path, dim, "euclidean")
    rows = {}
    for start, count in ((0, 3000), (3000, 9000), (12000, 15000)):
        x = rng.standard_normal((count, dim)).astype(np.float32)
        ids = [str(i) for i in range(start, start + count)]
        db.add_many(ids, x)
        rows.update(zip(ids, x))
    moved = [str(i) for i in rng.choice(27000, 500, replace=False)]
    x = rng.standard_normal((500, dim)).astype(np.float32)
    db.upsert_many(moved, x)
    rows.update(zip(moved, x))
    for i in rng.choice(27000, 1000, replace=False):
        if str(i) in rows:
            db.delete(str(i))
            del rows[str(i)]
    queries = rng.standard_normal((5, dim)).astype(np.float32)
    ids = list(rows)
    matrix = np.stack([rows[i] for i in ids]).astype(np.float64)

    def check(db):
        assert len(db) == len(rows)
        for i in ids[::997]:
            assert np.array_equal(np.asarray(db.get(i)[0], np.float32), rows[i])
        for q in queries:
            nearest = np.argsort(((matrix - q) ** 2).sum(1))[:10]
            assert [h.id for h in db.search(q, k=10)] == [ids[j] for j in nearest]

    check(db)
    db.compact()
    check(db)
    db.save()
    db.close()
    check(Database(str(tmp_path / "db")))


@pytest.mark.parametrize("metric", ["euclidean", "dot"])
def test_scans_after_reopen_under_concurrent_writes(tmp_path, metric):
    # The first scans after a reopen check the stored norms while other
    # threads scan too and a writer appends rows far from every query (the
    # store moves from the mapped file into memory meanwhile); every scan
    # must return exactly what the database returned before it was saved.
    import threading

    rng = np.random.default_rng(5)
    data = rng.standard_normal((3000, 32)).astype(np.float32)
    queries = rng.standard_normal((8, 32)).astype(np.float32)
    if metric == "dot":
        queries = -np.abs(queries)  # far rows (all +1000) score last
    db = make_db(tmp_path, 32, metric)
    db.add_many([str(i) for i in range(len(data))], data)
    expected = [[(h.id, h.distance) for h in db.search(q, k=10)] for q in queries]
    db.save()
    db.close()
    db = Database(str(tmp_path / "db"))
    errors, done = [], threading.Event()

    def scan():
        try:
            while not done.is_set():
                for q, want in zip(queries, expected):
                    got = [(h.id, h.distance) for h in db.search(q, k=10)]
                    if got != want:
                        errors.append((got, want))
                        return
        except Exception as e:  # reported below
            errors.append(e)

    def write():
        try:
            far = np.full((50, 32), 1000.0, np.float32) + rng.standard_normal((50, 32)).astype(np.float32)
            for b in range(20):
                db.upsert_many([f"far{b}-{i}" for i in range(50)], far)
        finally:
            done.set()

    threads = [threading.Thread(target=scan) for _ in range(3)] + [threading.Thread(target=write)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=120)
    assert not errors, errors[:1]
    assert len(db) == 4000
