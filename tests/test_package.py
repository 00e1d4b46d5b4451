"""The `hovra` package as users meet it: the package itself, path objects,
NumPy values in metadata, (1, dim) queries, reprs, SearchResult equality,
hashing and pickling, search_arrays, and the help text."""

import copy
import importlib.metadata
import os
import pickle
import pydoc
import struct
import subprocess
import sys
import textwrap

import _hovra
import hovra
import numpy as np
import pytest


def f32_bits(value):
    return struct.pack("<f", value)


class TestPackage:
    def test_reexports_the_module_classes_and_the_installed_version(self):
        assert hovra.Database is _hovra.Database and hovra.SearchResult is _hovra.SearchResult
        assert hovra.__version__ == importlib.metadata.version("hovra")

    def test_help_covers_every_member(self):
        text = pydoc.render_doc(hovra.Database, renderer=pydoc.plaintext)
        for cls in (hovra.Database, hovra.SearchResult):
            for name, member in vars(cls).items():
                if not name.startswith("_") or name in ("__enter__", "__exit__"):
                    assert member.__doc__, f"{cls.__name__}.{name}"
        for name in ("search_arrays", "where_filter", "$gte", "ef_search", "already exists"):
            assert name in text


class TestPaths:
    class BytesPath:
        def __init__(self, path):
            self.path = os.fsencode(path)

        def __fspath__(self):
            return self.path

    def test_path_like_objects_create_and_reopen(self, tmp_path):
        path = tmp_path / "caf\u00e9 db"
        with hovra.Database(path, dim=2) as db:
            db.add("a", [1, 0])
        again = hovra.Database(self.BytesPath(path))
        assert again.ids() == ["a"]
        assert repr(again) == f"Database(path={str(path)!r}, dim=2, metric='cosine', count=1)"
        again.close()
        assert repr(again) == f"Database(path={str(path)!r}, closed)"

    def test_failing_or_odd_fspath(self, tmp_path):
        class Raising:
            def __fspath__(self):
                raise KeyError("no path")

        class Odd:
            def __fspath__(self):
                return 42

        with pytest.raises(KeyError):
            hovra.Database(Raising(), dim=2)
        with pytest.raises(TypeError, match="^argument 'path': "):
            hovra.Database(Odd(), dim=2)
        assert os.listdir(tmp_path) == []


class TestNumpyMetadata:
    SCALARS = [
        np.int8(-3),
        np.uint64(2**64 - 1),
        np.int64(-(2**63)),
        np.float16(0.5),
        np.float32(0.1),
        np.float64(1e300),
        np.bool_(True),
        np.bool_(False),
    ]

    def test_scalars_and_arrays_are_stored_as_the_values_they_equal(self, db):
        metadata = {
            "s": self.SCALARS,
            "a": np.arange(6, dtype=np.int16).reshape(2, 3),
            "f": np.array([0.25, -1], dtype=np.float32),
            "b": np.array([True, False]),
            "o": np.array([np.int32(7), "x", None], dtype=object),
            "z": np.float32(2.5),
        }
        db.add("r", [0, 0, 0, 1], metadata)
        expected = {
            "s": [v.item() for v in self.SCALARS],
            "a": [[0, 1, 2], [3, 4, 5]],
            "f": [0.25, -1.0],
            "b": [True, False],
            "o": [7, "x", None],
            "z": 2.5,
        }
        stored = db.get("r")[1]
        assert stored == expected
        assert [type(v) for v in stored["s"]] == [type(v.item()) for v in self.SCALARS]
        assert stored["s"][4] == float(np.float32(0.1))
        # Stored as JSON numbers and booleans, they match filters by kind.
        db.add_many(["i", "b"], [[0, 0, 1, 0]] * 2, [{"v": np.int64(3)}, {"v": np.bool_(True)}])
        db.update("r", metadata={"v": np.float32(3)})
        assert sorted(h.id for h in db.search([0, 0, 0, 0], where_filter={"v": 3})) == ["i"]
        assert [h.id for h in db.search([0, 0, 0, 0], where_filter={"v": 3.0})] == ["r"]
        assert [h.id for h in db.search([0, 0, 0, 0], where_filter={"v": True})] == ["b"]

    @pytest.mark.parametrize(
        "value, type_name",
        [
            (np.complex64(1), "complex64"),
            (np.datetime64("2024-01-01"), "datetime64"),
            (np.longdouble(1), "longdouble"),
            (np.array(["a"]), "ndarray"),
            (np.array([object()]), "ndarray"),
            (object(), "object"),
        ],
    )
    def test_other_values_keep_the_json_error(self, db, value, type_name):
        with pytest.raises(TypeError, match=f"^Object of type {type_name} is not JSON serializable$"):
            db.add("r", [0] * 4, {"x": [1, value]})
        assert len(db) == 0

    def test_non_finite_numpy_floats_are_invalid_metadata(self, db):
        for bad in (np.float32("nan"), np.array([1, np.inf], dtype=np.float32)):
            with pytest.raises(ValueError, match="^invalid metadata: "):
                db.add("r", [0] * 4, {"x": bad})
        assert len(db) == 0


class TestSingleRowQueries:
    def test_a_1_by_dim_array_is_one_query(self, db):
        db.add_many(["a", "b"], [[1, 0, 0, 0], [0, 1, 0, 0]])
        for query in (
            np.array([[0, 1, 0, 0]], dtype=np.float32),
            np.array([[0, 1, 0, 0]]),
            np.asfortranarray(np.array([[0, 1, 0, 0]], dtype=np.float32)),
        ):
            assert db.search(query, k=2) == db.search([0, 1, 0, 0], k=2)

    def test_other_shapes_are_still_refused(self, db):
        with pytest.raises(TypeError, match="^argument 'vector': failed to extract enum VectorInput"):
            db.search(np.zeros((2, 4), dtype=np.float32))
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
            db.search(np.zeros((1, 3), dtype=np.float32))


class TestSearchResultValues:
    @pytest.fixture
    def hits(self, db):
        db.add_many(["a", "b", "c"], [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]], [{"n": 1}, {"n": 1.0}, None])
        return db.search([0, 0, 0, 0], k=3)

    def test_equal_by_value_with_matching_hash(self, db, hits):
        again = db.search([0, 0, 0, 0], k=3)
        assert again == hits and [hash(h) for h in again] == [hash(h) for h in hits]
        assert len(set(hits + again)) == 3
        db.update("a", metadata={"n": 1.0})  # 1 and 1.0 are different values
        changed = {h.id: h for h in db.search([0, 0, 0, 0], k=3)}
        assert changed["a"] != hits[[h.id for h in hits].index("a")]
        assert hits[0] != (hits[0].id, hits[0].distance, hits[0].metadata)
        with pytest.raises(TypeError):
            _ = hits[0] < hits[1]

    def test_pickles_by_value_into_a_process_without_the_database(self, tmp_path):
        # Under the dot metric [0, -v] lies at distance v from the query
        # [1, 1]; [-1.8e19, 0] and [1.8e19, 0] at the extremes of float32.
        db = hovra.Database(tmp_path / "dot", dim=2, metric="dot")
        values = [0.1, -0.0, 1e-45, 1.8e19, 12.34567, 1.8e19, -1.8e19]
        vectors = [[0, -v] for v in values[:5]] + [[-1.8e19, 0], [1.8e19, 0]]
        db.add_many(
            [f"id-{i}-\u00e9'\"" for i in range(len(vectors))],
            vectors,
            [{"k": [i, {"x": "\u2603", "big": 2**64 - 1}]} for i in range(len(vectors))],
        )
        hits = db.search([1.0, 1.0], k=len(vectors))
        assert {f32_bits(h.distance) for h in hits} == {f32_bits(v) for v in values}
        assert len(hits) == len(vectors)
        del db
        payloads = [pickle.dumps(hits, protocol=p) for p in range(pickle.HIGHEST_PROTOCOL + 1)]
        script = textwrap.dedent("""
            import pickle, struct, sys
            for payload in pickle.load(sys.stdin.buffer):
                for hit in pickle.loads(payload):
                    print(repr(hit.id), struct.pack("<f", hit.distance).hex(), sorted(hit.metadata.items()))
        """)
        out = subprocess.run(
            [sys.executable, "-c", script], input=pickle.dumps(payloads), capture_output=True, timeout=120
        )
        assert out.returncode == 0, out.stderr.decode()
        expected = "".join(
            f"{h.id!r} {f32_bits(h.distance).hex()} {sorted(h.metadata.items())}\n" for h in hits
        )
        assert out.stdout.decode() == expected * len(payloads)
        for hit in hits:
            clone = copy.deepcopy(hit)
            assert clone == hit and clone is not hit and f32_bits(clone.distance) == f32_bits(hit.distance)

    @pytest.mark.parametrize(
        "args, error, pattern",
        [
            (("a", 1.0, "{"), ValueError, "^invalid metadata: "),
            (("a", 1.0, "[1]"), ValueError, "^invalid metadata: not a JSON object$"),
            (("a", 1.0, '{"x": NaN}'), ValueError, "^invalid metadata: "),
            ((1, 1.0, None), TypeError, "^argument 'id': "),
            (("a", "1.0", None), TypeError, "^argument 'distance': "),
            (("a", 1.0, b"{}"), TypeError, "^argument 'metadata': "),
            (("a", 1.0), TypeError, "takes 3 arguments"),
        ],
    )
    def test_damaged_pickle_state_is_refused(self, args, error, pattern):
        with pytest.raises(error, match=pattern):
            hovra.SearchResult._restore(*args)

    def test_restored_metadata_is_kept_in_compact_form(self, hits):
        restored = hovra.SearchResult._restore("a", hits[0].distance, ' { "n" : 1 , "a": [ ] } ')
        assert restored.metadata == {"a": [], "n": 1}
        assert restored == hovra.SearchResult._restore("a", hits[0].distance, '{"a":[],"n":1}')


class TestSearchArrays:
    def test_matches_search_many_with_padding(self, tmp_path):
        rng = np.random.default_rng(7)
        db = hovra.Database(tmp_path / "arr", dim=8, metric="euclidean")
        vectors = rng.standard_normal((300, 8)).astype(np.float32)
        db.add_many([str(i) for i in range(300)], vectors, [{"g": i % 7} for i in range(300)])
        for i in range(0, 300, 3):
            db.delete(str(i))
        queries = rng.standard_normal((25, 8)).astype(np.float32)
        padded = 0
        for kwargs in (
            {"k": 5},
            {"k": 60, "where_filter": {"g": 2}},
            {"k": 4, "max_distance": 6.0},
            {"k": 0},
        ):
            ids, distances = db.search_arrays(queries, **kwargs)
            expected = db.search_many(queries, **kwargs)
            k = kwargs["k"]
            assert ids.shape == distances.shape == (25, k)
            assert ids.dtype == object and distances.dtype == np.float32
            for row, hits in enumerate(expected):
                n = len(hits)
                assert list(ids[row, :n]) == [h.id for h in hits]
                assert distances[row, :n].tolist() == [h.distance for h in hits]
                assert all(x is None for x in ids[row, n:]) and np.isnan(distances[row, n:]).all()
                padded += k - n
        assert padded > 0

    def test_edge_shapes_and_errors(self, db):
        ids, distances = db.search_arrays(np.zeros((0, 4), dtype=np.float32), k=3)
        assert ids.shape == distances.shape == (0, 3)
        ids, distances = db.search_arrays([[0, 0, 0, 0]], k=2)
        assert ids.tolist() == [[None, None]] and np.isnan(distances).all()
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
            db.search_arrays([[0, 0, 0, 0], [0, 0, 0]])
        with pytest.raises(OverflowError):
            db.search_arrays([[0, 0, 0, 0]], k=2**63)
        with pytest.raises((ValueError, MemoryError)):
            db.search_arrays([[0, 0, 0, 0]] * 4, k=2**62)
        with pytest.raises(TypeError, match="^argument 'queries': failed to extract enum BatchVectorInput"):
            db.search_arrays("abcd")
