"""Arrow in and out: batches from pyarrow, pandas and Polars columns of
fixed-size lists (read in place), to_arrow(), and search_arrays(arrow=True)."""

import subprocess
import sys
import tracemalloc

import numpy as np
import pytest
from hovra import Database

pa = pytest.importorskip("pyarrow")
pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")

DIM = 4


def matrix(n, dtype=np.float32, seed=0):
    return np.random.default_rng(seed).standard_normal((n, DIM)).astype(dtype)


def fixed_lists(m):
    return pa.FixedSizeListArray.from_arrays(pa.array(m.ravel()), m.shape[1])


def ids(n, prefix="r"):
    return [f"{prefix}{i:04d}" for i in range(n)]


@pytest.fixture
def db(tmp_path):
    return Database(str(tmp_path / "a"), dim=DIM, metric="euclidean")


class TestArrowBatches:
    @pytest.mark.parametrize(
        "make",
        [
            pytest.param(lambda m: fixed_lists(m), id="pyarrow"),
            pytest.param(lambda m: fixed_lists(m.astype(np.float64)), id="pyarrow-float64"),
            pytest.param(lambda m: fixed_lists(np.vstack([m[:1], m]))[1:], id="pyarrow-sliced"),
            pytest.param(lambda m: pa.chunked_array([fixed_lists(m[:3]), fixed_lists(m[3:])]), id="chunked"),
            pytest.param(lambda m: pd.Series(pd.arrays.ArrowExtensionArray(fixed_lists(m))), id="pandas"),
            pytest.param(lambda m: pl.Series("v", m, dtype=pl.Array(pl.Float32, DIM)), id="polars"),
        ],
    )
    def test_forms_store_what_numpy_stores(self, db, tmp_path, make):
        m = matrix(10)
        db.add_many(ids(10), make(m))
        reference = Database(str(tmp_path / "ref"), dim=DIM, metric="euclidean")
        reference.add_many(ids(10), m)
        assert db.get_many(ids(10)) == reference.get_many(ids(10))
        db.upsert_many(ids(10)[:4], make(m[6:]))
        reference.upsert_many(ids(10)[:4], m[6:])
        assert db.get_many(ids(10)) == reference.get_many(ids(10))
        assert db.search_many(make(m), k=2) == reference.search_many(m, k=2)

    @pytest.mark.parametrize(
        "bad, error, message",
        [
            (
                pa.array([[1, 2, 3, 4]], type=pa.list_(pa.float32())),
                TypeError,
                "fixed-size lists is expected",
            ),
            (pa.array([[1, 2, 3, 4]], type=pa.list_(pa.int32(), DIM)), TypeError, "float32 or float64"),
            (pa.array([None], type=pa.list_(pa.float32(), DIM)), ValueError, "null vectors"),
            (pa.array([[1, None, 3, 4]], type=pa.list_(pa.float32(), DIM)), ValueError, "null components"),
            (pa.table({"x": [1]}), TypeError, "fixed-size lists is expected"),
        ],
    )
    def test_refused_forms_store_nothing(self, db, bad, error, message):
        with pytest.raises(error, match=message):
            db.add_many(["x"] * len(bad), bad)
        assert len(db) == 0

    def test_a_wrong_width_is_a_dimension_mismatch(self, db):
        with pytest.raises(ValueError, match="^dimension mismatch: expected 4, got 3$"):
            db.add_many(["a"], pa.array([[1, 2, 3]], type=pa.list_(pa.float32(), 3)))

    def test_read_in_place_without_python_objects(self, db):
        m = matrix(20000)
        arrow = fixed_lists(m)
        names = ids(20000)
        tracemalloc.start()
        try:
            db.add_many(names, arrow)
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        # The 320 kB of vectors never become Python objects (a copy through
        # Python floats would take several MB).
        assert peak < m.nbytes
        assert db.get("r1234")[0] == pytest.approx(m[1234].tolist())


class TestToArrow:
    def test_columns_order_and_filter(self, db):
        m = matrix(5)
        db.add_many(["c", "a", "e", "b", "d"], m, [{"n": i, "tags": ["x"] * i} for i in range(4)] + [None])
        table = db.to_arrow()
        assert table.column_names == ["id", "vector", "metadata"]
        assert table.schema.field("vector").type == pa.list_(pa.float32(), DIM)
        assert table["id"].to_pylist() == ["a", "b", "c", "d", "e"]
        assert np.array(table["vector"].to_pylist()[0], dtype=np.float32).tolist() == m[1].tolist()
        assert table["metadata"].to_pylist()[3] is None
        assert table["metadata"].to_pylist()[0] == '{"n":1,"tags":["x"]}'
        small = db.to_arrow({"n": {"$gte": 2}}, include_vectors=False)
        assert small.column_names == ["id", "metadata"] and small["id"].to_pylist() == ["b", "e"]

    def test_flattened_metadata(self, db):
        db.add_many(["a", "b", "c"], matrix(3), [{"n": 1, "id": "own"}, {"s": "x"}, None])
        table = db.to_arrow(include_vectors=False, flatten_metadata=True)
        assert table.column_names == ["id", "metadata.id", "n", "s"]
        assert table.to_pydict() == {
            "id": ["a", "b", "c"],
            "metadata.id": ["own", None, None],
            "n": [1, None, None],
            "s": [None, "x", None],
        }

    def test_round_trip_and_dataframes(self, db, tmp_path):
        m = matrix(50)
        db.add_many(ids(50), m, [{"i": i} for i in range(50)])
        table = db.to_arrow()
        copy = Database(str(tmp_path / "copy"), dim=DIM, metric="euclidean")
        copy.add_many(table["id"].to_pylist(), table["vector"])
        assert copy.get_many(ids(50)) == [(v, None) for v, _ in db.get_many(ids(50))]
        assert len(table.to_pandas()) == 50 and pl.from_arrow(table).height == 50
        empty = Database(str(tmp_path / "empty"), dim=DIM)
        assert empty.to_arrow().num_rows == 0 and empty.to_arrow(flatten_metadata=True).column_names == [
            "id",
            "vector",
        ]


class TestSearchArraysArrow:
    def test_one_row_per_hit(self, db):
        m = matrix(30)
        db.add_many(ids(30), m, [{"i": i} if i % 2 else None for i in range(30)])
        table = db.search_arrays(m[:3], k=4, arrow=True, where_filter={"i": {"$gte": 0}})
        lists = db.search_many(m[:3], k=4, where_filter={"i": {"$gte": 0}})
        assert table.column_names == ["query", "rank", "id", "distance", "metadata"]
        assert table.schema.field("distance").type == pa.float32()
        rows = table.to_pylist()
        expected = [
            {
                "query": q,
                "rank": r,
                "id": h.id,
                "distance": h.distance,
                "metadata": f'{{"i":{h.metadata["i"]}}}',
            }
            for q, hits in enumerate(lists)
            for r, h in enumerate(hits)
        ]
        assert rows == expected
        assert pl.from_arrow(table).filter(pl.col("rank") == 0)["id"].to_list() == [h[0].id for h in lists]
        assert db.search_arrays(m[:1], k=4, arrow=False)[0].shape == (1, 4)


def test_without_pyarrow_the_error_names_the_extra(tmp_path):
    code = f"""
import sys
sys.modules["pyarrow"] = None
from hovra import Database
db = Database({str(tmp_path / "n")!r}, dim=2)
for call in (lambda: db.to_arrow(), lambda: db.search_arrays([[1, 2]], arrow=True)):
    try:
        call()
    except ImportError as e:
        print(e)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.stdout.splitlines() == ["Arrow tables need pyarrow: pip install 'hovra[arrow]'"] * 2, (
        out.stderr
    )
