"""The module as Python code sees it: its contents, signatures and
docstrings, the two construction modes, properties, len() and `in`, the
context manager, SearchResult objects, the import rules and PanicException."""

import inspect
import os
import pickle
import subprocess
import sys
import textwrap
import threading

import _hovra
import hovra
import numpy as np
import pytest
from _hovra import Database, SearchResult

DASH = "\u2014"
NOT_FOUND = f"database not found {DASH} specify dim to create a new one"
BAD_METRIC = "metric must be 'cosine', 'euclidean'/'l2', or 'dot'/'dot_product'"

SIGNATURES = {
    "add": "($self, id, vector, metadata=None, *, sparse=None)",
    "upsert": "($self, id, vector, metadata=None, *, sparse=None)",
    "add_many": "($self, ids, vectors, metadatas=None, *, show_progress=False, sparse=None, prepare=None)",
    "search": "($self, vector, k=10, ef_search=None, where_filter=None, max_distance=None)",
    "search_many": "($self, vectors, k=10, ef_search=None, where_filter=None, max_distance=None, "
    "*, show_progress=False)",
    "get": "($self, id)",
    "delete": "($self, id)",
    "update": "($self, id, vector=None, metadata=None, *, sparse=None)",
    "upsert_many": "($self, ids, vectors, metadatas=None, *, show_progress=False, sparse=None, prepare=None)",
    "count": "($self, where_filter=None)",
    "ids": "($self)",
    "save": "($self, *, show_progress=False)",
    "compact": "($self, *, show_progress=False)",
    "enable_quantized_search": "($self, mode='sq8')",
    "disable_quantized_search": "($self)",
    "stats": "($self)",
    "memory_usage": "($self)",
    "wait_indexed": "($self, timeout=None, *, show_progress=False)",
    "close": "($self, save=True)",
    "refresh": "($self)",
    "verify": "($self)",
    "__enter__": "($self)",
    "__exit__": "($self, _exc_type=None, _exc_val=None, _exc_tb=None)",
    "search_arrays": "($self, queries, k=10, ef_search=None, where_filter=None, max_distance=None, "
    "*, show_progress=False, arrow=False)",
    "get_many": "($self, ids)",
    "records": "($self, where_filter=None, *, limit=None, after=None, include_vectors=True)",
    "delete_many": "($self, ids, *, prepare=None)",
    "delete_where": "($self, where_filter, *, prepare=None)",
    "commit_prepared": "($self, transaction)",
    "abort_prepared": "($self, transaction)",
    "prepared_transactions": "($self)",
    "update_many": "($self, ids, vectors=None, metadatas=None)",
    "explain": "($self, where_filter=None, k=10, ef_search=None)",
    "create_text_index": "($self, field, *, language='english', stemmer=True, stopwords=True, k1=1.2, b=0.75, "
    "wait=False, show_progress=False)",
    "drop_text_index": "($self)",
    "wait_text_index": "($self, *, show_progress=False)",
    "text_search": "($self, text, k=10, where_filter=None, *, corpus_stats=None)",
    "text_stats": "($self, text)",
    "sparse_search": "($self, sparse_query, k=10, where_filter=None)",
    "hybrid_search": "($self, vector=None, text=None, sparse=None, k=10, where_filter=None, fusion='rrf', "
    "weights=None, *, candidates=None, rrf_k=60.0, ef_search=None)",
    "get_sparse": "($self, id)",
    "to_arrow": "($self, where_filter=None, *, include_vectors=True, flatten_metadata=False)",
}

# The opening of each method's docstring (empty where the rest is all new).
DOCS = {
    "add": "",
    "upsert": "Add or update a vector.",
    "add_many": "",
    "search": "Search for the k nearest neighbors.\n"
    "Returns list of SearchResult objects with .id, .distance, .metadata attributes.\n"
    '`where_filter`: optional dict like {"field": "value"} or {"field": {"$ne": "value"}}\n'
    f"`max_distance`: optional float {DASH} discard results beyond this distance.",
    "search_many": "Search multiple queries in parallel. Returns list of list of SearchResult.\n"
    "`where_filter`: optional metadata filter (same syntax as search).\n"
    f"`max_distance`: optional float {DASH} discard results beyond this distance.",
    "get": "",
    "delete": "",
    "update": "",
    "upsert_many": f"Batch upsert {DASH} inserts new vectors, updates existing ones.",
    "count": "Count vectors matching a filter, or all vectors if no filter.",
    "ids": "",
    "save": "",
    "compact": "Rebuild the index with only live vectors, reclaiming deleted slots.\n"
    "Call this after many deletes to reduce memory usage and disk size.",
    "enable_quantized_search": "Enable quantized search: uses SQ8 quantized vectors for faster HNSW traversal\n"
    "with full-precision re-ranking. Automatically enabled when quantize=True is set.",
    "disable_quantized_search": "Disable quantized search.",
    "stats": "Get graph-level statistics for diagnostics.\n"
    "Returns a dict with keys: num_vectors, num_deleted, num_layers, avg_degree_layer0,\n"
    "max_degree_layer0, min_degree_layer0, memory_vectors_bytes, memory_graph_bytes,\n"
    "memory_quantized_bytes, uses_brute_force, uses_quantized_search.",
    "memory_usage": "Report the memory this database holds, per structure, in bytes.",
    "wait_indexed": "Wait until every stored record is linked into the graph.",
    "__enter__": "Context manager: auto-save on exit.",
    "__exit__": "",
    "search_arrays": "",
    "close": "Detach this object from its database; later calls on it raise ValueError.",
    "refresh": "Catch up with the writer now (a database opened read-only).",
    "verify": "Check the saved files against their checksums and their structure.",
    "get_many": "Return the stored vector and metadata of many records in one call.",
    "records": "Iterate over the records in ascending order of id.",
    "delete_many": "Delete the records of many ids at once.",
    "delete_where": "Delete every record that matches a filter.",
    "update_many": "Update many existing records in one batch.",
    "explain": "How search() would find the records of a filter.",
    "commit_prepared": "Commit a prepared batch: apply it, as it was logged.",
    "abort_prepared": "Abort a prepared batch: drop it.",
    "prepared_transactions": "The ids of the prepared batches that are neither committed nor aborted yet.",
    "create_text_index": "Define a BM25 text index over a metadata field.",
    "drop_text_index": "Drop the text index (logged).",
    "wait_text_index": "Wait until the text index has indexed every record.",
    "text_search": "Search the text index with BM25.",
    "text_stats": "The text index's statistics for a query's terms.",
    "sparse_search": "Search the records' sparse vectors by dot product.",
    "hybrid_search": "Search with a vector, a text and a sparse vector at once, fused.",
    "get_sparse": "The record's sparse vector",
    "to_arrow": "Return the records as a pyarrow.Table, in ascending order of id.",
}

PROPERTY_DOCS = {
    "read_only": "Whether this object was opened with read_only=True.",
    "dim": "The vector dimension, fixed when the database was created.",
    "metric": 'The metric\'s name: "cosine", "euclidean" or "dot_product".',
    "total_slots": "Total allocated slots (active + deleted).",
    "deleted_count": "Number of deleted slots that haven't been reclaimed.",
    "quantized_search": "Whether quantized search is currently enabled.",
    "binary_search": 'Whether searches walk on one-bit codes (quantize="binary").',
    "text_index": "The text index as a dict (field, language, stemmer, stopwords, k1, b, building, indexed, "
    "total, documents, terms), or None without one. While building, indexed of total slots are done.",
}

STATS_KEYS = [
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


ERRORS = [
    "HovraError",
    "DuplicateIdError",
    "NotFoundError",
    "DatabaseInUseError",
    "DatabaseClosedError",
    "CorruptDataError",
    "DatabaseNotFoundError",
    "ReadOnlyError",
    "TransactionConflictError",
]


class TestModuleSurface:
    def test_module_holds_the_classes_and_the_settings_in_order_and_an_empty_docstring(self):
        assert [name for name in vars(_hovra) if not name.startswith("_")] == [
            "Database",
            "SearchResult",
            "set_num_threads",
            "get_num_threads",
            "DEFAULTS",
        ] + ERRORS
        assert [name for name in vars(_hovra) if name[0] == "_" and name[1] != "_"] == [
            "_inspect",
            "_repair",
            "_save_open_databases",
        ]
        assert _hovra.__doc__ == ""

    def test_class_signature_and_docstrings(self):
        signature = (
            "(path, dim=None, metric=None, m=None, ef_construction=None, quantize=False, *, sync_writes=False, "
            "text_field=None, read_only=False, refresh_interval=None, exact_threshold=None, autocheckpoint=True, "
            "checkpoint_bytes=None, checkpoint_records=None)"
        )
        assert Database.__text_signature__ == signature
        assert str(inspect.signature(Database)) == signature
        assert Database.__doc__.startswith("An embedded vector database")
        assert SearchResult.__doc__.startswith("One search hit")
        assert SearchResult.__text_signature__ is None

    def test_classes_define_nothing_beyond_their_members(self):
        assert set(vars(Database)) == set(SIGNATURES) | set(PROPERTY_DOCS) | {
            "__new__",
            "__len__",
            "__contains__",
            "__doc__",
            "__module__",
            "__repr__",
        }
        assert set(vars(SearchResult)) == {
            "id",
            "distance",
            "metadata",
            "score",
            "ranks",
            "__getitem__",
            "__iter__",
            "__len__",
            "__repr__",
            "__new__",
            "__doc__",
            "__module__",
            "__eq__",
            "__ne__",
            "__lt__",
            "__le__",
            "__gt__",
            "__ge__",
            "__hash__",
            "__reduce__",
            "_restore",
            "_restore_scored",
        }

    @pytest.mark.parametrize("name", SIGNATURES)
    def test_method_signature_and_docstring(self, db, name):
        method = getattr(Database, name)
        assert method.__text_signature__ == SIGNATURES[name]
        doc = method.__doc__
        assert doc.startswith(DOCS[name]) and len(doc) > len(DOCS[name]) + 20
        for param in inspect.signature(method).parameters:
            assert param == "self" or param.startswith("_") or param in doc, param
        bound = getattr(db, name)
        assert bound.__doc__ == doc
        assert bound.__name__ == name and bound.__self__ is db

    def test_inspect_reads_the_signatures(self, db):
        assert str(inspect.signature(Database.get)) == "(self, /, id)"
        assert str(inspect.signature(db.search)) == (
            "(vector, k=10, ef_search=None, where_filter=None, max_distance=None)"
        )

    @pytest.mark.parametrize("name", PROPERTY_DOCS)
    def test_properties_are_read_only_with_their_docstrings(self, db, name):
        assert getattr(Database, name).__doc__ == PROPERTY_DOCS[name]
        with pytest.raises(AttributeError):
            setattr(db, name, 1)

    def test_methods_called_through_the_class(self, db):
        Database.add(db, "a", [1, 2, 3, 4])
        assert Database.get(db, id="a")[0] == [1.0, 2.0, 3.0, 4.0]
        with pytest.raises(TypeError):
            Database.get("not a database", "a")
        with pytest.raises(TypeError):
            Database.ids()

    def test_classes_cannot_be_subclassed(self):
        for cls in (Database, SearchResult):
            with pytest.raises(TypeError):
                type("Sub", (cls,), {})


class TestArgumentBinding:
    @pytest.mark.parametrize(
        "call, pattern",
        [
            (
                lambda db: db.add("a", [0] * 4, None, 1),
                r"^Database\.add\(\) takes from 2 to 3 positional arguments but 4 were given$",
            ),
            (
                lambda db: db.add("a", [0] * 4, colour=1),
                r"^Database\.add\(\) got an unexpected keyword argument 'colour'$",
            ),
            (
                lambda db: db.add("a", [0] * 4, id="b"),
                r"^Database\.add\(\) got multiple values for argument 'id'$",
            ),
            (
                lambda db: db.add(),
                r"^Database\.add\(\) missing 2 required positional arguments: 'id' and 'vector'$",
            ),
            (lambda db: db.get(), r"^Database\.get\(\) missing 1 required positional argument: 'id'$"),
            (lambda db: db.ids(1), r"^Database\.ids\(\) takes 0 positional arguments but 1 was given$"),
            (lambda db: db.save(now=True), r"^Database\.save\(\) got an unexpected keyword argument 'now'$"),
            (lambda db: db.__exit__(1, 2, 3, 4), r"takes from 0 to 3 positional arguments but 4 were given$"),
        ],
    )
    def test_binding_errors(self, db, call, pattern):
        with pytest.raises(TypeError, match=pattern):
            call(db)
        assert len(db) == 0

    @pytest.mark.parametrize(
        "kwargs, pattern",
        [
            ({"path": "x", "colour": 1}, r"unexpected keyword argument 'colour'"),
            ({}, r"missing 1 required positional argument: 'path'"),
        ],
    )
    def test_constructor_binding_errors(self, kwargs, pattern):
        with pytest.raises(TypeError, match=pattern):
            Database(**kwargs)

    def test_constructor_rejects_surplus_and_repeated_arguments(self, tmp_path):
        with pytest.raises(TypeError, match="positional arguments but 7 were given"):
            Database(str(tmp_path), 4, "cosine", 16, 200, False, 1)
        with pytest.raises(TypeError, match="multiple values for argument 'dim'"):
            Database(str(tmp_path), 4, dim=4)

    def test_every_parameter_by_keyword(self, tmp_path):
        db = Database(path=str(tmp_path / "k"), dim=2, metric="dot", m=4, ef_construction=20, quantize=False)
        db.add(id="a", vector=[1, 0], metadata={"t": 1})
        db.upsert_many(ids=["b"], vectors=[[0, 1]], metadatas=[None])
        db.update(id="b", metadata={"t": 2})
        hits = db.search(vector=[1, 0], k=1, ef_search=50, where_filter={"t": 1}, max_distance=0.0)
        assert [h.id for h in hits] == ["a"]
        assert db.count(where_filter={"t": 2}) == 1
        assert db.delete(id="b") is True
        assert db.__exit__(_exc_type=None, _exc_val=None, _exc_tb=None) is False


class TestConstruction:
    @pytest.mark.parametrize("kwargs", [{}, {"metric": "not-a-metric"}, {"dim": None, "m": None}])
    def test_open_mode_without_a_database(self, tmp_path, kwargs):
        with pytest.raises(ValueError) as info:
            Database(str(tmp_path / "missing"), **kwargs)
        assert str(info.value) == NOT_FOUND
        assert not (tmp_path / "missing").exists()

    def test_open_reports_damage_as_itself_and_never_creates_over_it(self, tmp_path):
        path = tmp_path / "bad"
        path.mkdir()
        (path / "graph.hovra").write_bytes(b"not a graph")
        for kwargs in ({}, {"dim": 2}):
            with pytest.raises(hovra.CorruptDataError, match="^corrupt data: vectors.bin is missing$"):
                Database(str(path), **kwargs)
        (path / "vectors.bin").write_bytes(b"")
        for kwargs in ({}, {"dim": 2}):
            with pytest.raises(hovra.CorruptDataError, match="^io error: bad graph magic$"):
                Database(str(path), **kwargs)
        assert (path / "graph.hovra").read_bytes() == b"not a graph"
        # Only a directory without database files is "not found".
        (tmp_path / "empty").mkdir()
        with pytest.raises(hovra.DatabaseNotFoundError, match=f"^{NOT_FOUND}$"):
            Database(str(tmp_path / "empty"))

    def test_null_bytes_in_paths_and_oversized_dims(self, tmp_path):
        for kwargs in ({}, {"dim": 2}):
            with pytest.raises(ValueError, match="^embedded null byte$"):
                Database(str(tmp_path / "a\0b"), **kwargs)
        for dim, message in (
            (0, "dim must be at least 1"),
            (65537, "dim must be at most 65536"),
            (2**32 + 4, "dim must be at most 65536"),
        ):
            with pytest.raises(ValueError, match=f"^{message}$"):
                Database(str(tmp_path / "big"), dim=dim)
        assert not (tmp_path / "big").exists()
        for name in ("m", "ef_construction"):
            with pytest.raises(ValueError, match=rf"^{name} must be less than 2\*\*32$"):
                Database(str(tmp_path / "big"), dim=2, **{name: 2**32 + 16})
        assert os.listdir(tmp_path) == []

    @pytest.mark.parametrize(
        "given, stored",
        [
            (None, "cosine"),
            ("cosine", "cosine"),
            ("euclidean", "euclidean"),
            ("l2", "euclidean"),
            ("dot", "dot_product"),
            ("dot_product", "dot_product"),
            ("ip", "dot_product"),
            ("inner_product", "dot_product"),
        ],
    )
    def test_metric_names(self, tmp_path, given, stored):
        assert Database(str(tmp_path / "m"), dim=2, metric=given).metric == stored

    @pytest.mark.parametrize("given", ["L2", "Cosine", "manhattan", ""])
    def test_unknown_metric_when_creating(self, tmp_path, given):
        with pytest.raises(ValueError) as info:
            Database(str(tmp_path / "m"), dim=2, metric=given)
        assert str(info.value) == BAD_METRIC

    @pytest.mark.parametrize("m", [0, 1])
    def test_m_below_two_is_refused_when_creating(self, tmp_path, m):
        with pytest.raises(ValueError, match="^m must be at least 2$"):
            Database(str(tmp_path / "m"), dim=2, m=m)
        assert not (tmp_path / "m").exists()
        Database(str(tmp_path / "m"), dim=2).save()
        assert Database(str(tmp_path / "m"), dim=2, m=m).dim == 2  # stored m governs

    def test_every_argument_is_converted_before_the_mode_is_chosen(self, tmp_path):
        missing = str(tmp_path / "missing")
        with pytest.raises(OverflowError):
            Database(missing, m=-1)
        with pytest.raises(
            TypeError, match="^argument 'quantize': 'NoneType' object cannot be converted to 'PyBool'(\n|$)"
        ):
            Database(missing, quantize=None)
        with pytest.raises(TypeError, match="^argument 'ef_construction': "):
            Database(missing, ef_construction=2.5)
        with pytest.raises(
            TypeError, match="^argument 'metric': 'int' object cannot be converted to 'PyString'(\n|$)"
        ):
            Database(missing, metric=3)

    def test_path_must_be_str_or_path_like(self, tmp_path):
        for bad in (b"p", 5, None):
            with pytest.raises(
                TypeError, match="^argument 'path': '.*' object cannot be converted to 'PyString'(\n|$)"
            ):
                Database(bad, dim=2)

    def test_creates_missing_parents_and_reopens_with_stored_parameters(self, tmp_path):
        path = str(tmp_path / "a" / "b" / "c")
        db = Database(path, dim=4, metric="dot")
        db.add("x", [1, 2, 3, 4])
        db.save()
        again = Database(path, dim=8, metric="cosine")
        assert (again.dim, again.metric, len(again)) == (4, "dot_product", 1)
        opened = Database(path, dim=None, metric=None, m=None, ef_construction=None)
        assert (opened.dim, opened.metric, opened.ids()) == (4, "dot_product", ["x"])

    def test_creation_failure_reports_the_io_error(self, tmp_path):
        blocker = tmp_path / "file"
        blocker.write_text("")
        with pytest.raises(ValueError, match="^io error: "):
            Database(str(blocker / "db"), dim=2)

    @pytest.mark.parametrize("flag", [True, np.bool_(True)])
    def test_quantize_is_stored_but_not_switched_on(self, tmp_path, flag):
        path = str(tmp_path / "q")
        db = Database(path, dim=4, quantize=flag)
        assert db.quantized_search is False
        db.add_many([f"v{i}" for i in range(20)], np.random.default_rng(1).random((20, 4), dtype=np.float32))
        db.save()
        db.close()
        assert Database(path).quantized_search is True


class TestProtocolsAndProperties:
    def test_len_in_delete_and_counters(self, db):
        db.add_many(["a", "b", "c"], [[i, 0, 0, 0] for i in range(3)])
        assert len(db) == 3 and bool(db)
        assert "b" in db and "z" not in db
        assert db.delete("b") is True
        assert db.delete("b") is False
        assert "b" not in db
        assert (len(db), db.total_slots, db.deleted_count, db.count()) == (2, 3, 1, 2)
        db.compact()
        assert (db.total_slots, db.deleted_count) == (2, 0)

    def test_in_needs_a_str(self, db):
        with pytest.raises(
            TypeError, match="^argument 'id': 'int' object cannot be converted to 'PyString'(\n|$)"
        ):
            _ = 5 in db

    def test_database_is_not_iterable(self, db):
        with pytest.raises(TypeError):
            iter(db)

    def test_empty_database_results(self, db):
        assert db.ids() == []
        assert db.search([0, 0, 0, 0]) == []
        assert db.search_many([]) == []
        stats = db.stats()
        assert list(stats) == STATS_KEYS
        assert stats["num_vectors"] == 0 and stats["num_layers"] == 0
        assert stats["avg_degree_layer0"] == 0.0 and stats["min_degree_layer0"] == 0
        assert stats["uses_brute_force"] is True and stats["uses_quantized_search"] is False

    def test_stats_value_types(self, db):
        db.add_many([str(i) for i in range(10)], np.eye(10, 4, dtype=np.float32))
        stats = db.stats()
        for key, value in stats.items():
            expected = bool if key.startswith("uses_") else float if key.startswith("avg_") else int
            assert type(value) is expected, key
        assert stats["num_vectors"] == len(db) == 10

    def test_quantized_search_switches(self, db):
        db.enable_quantized_search()
        assert db.quantized_search is False  # nothing to train on yet
        db.add_many([str(i) for i in range(8)], np.random.default_rng(2).random((8, 4)))
        db.enable_quantized_search()
        assert db.quantized_search is True and db.stats()["uses_quantized_search"] is True
        db.disable_quantized_search()
        assert db.quantized_search is False

    def test_get_returns_a_pair(self, db):
        db.add("a", [0.5, 1, 2, 3], {"k": [1, 2]})
        db.add("b", [0, 0, 0, 0])
        vector, metadata = db.get("a")
        assert vector == [0.5, 1.0, 2.0, 3.0] and all(type(x) is float for x in vector)
        assert metadata == {"k": [1, 2]}
        assert db.get("b") == ([0.0, 0.0, 0.0, 0.0], None)
        assert type(db.get("b")) is tuple


class TestContextManager:
    def test_enter_returns_the_database_and_exit_saves(self, tmp_path):
        path = tmp_path / "cm"
        db = Database(str(path), dim=2)
        with db as entered:
            assert entered is db
            db.add("a", [1, 0])
        assert (path / "graph.hovra").exists()
        assert (path / "wal.hovra").stat().st_size == 20  # the new checkpoint's empty log

    def test_exception_in_block_propagates_after_saving(self, tmp_path):
        path = tmp_path / "cm"
        with pytest.raises(KeyError):
            with Database(str(path), dim=2) as db:
                db.add("a", [1, 0])
                raise KeyError("boom")
        assert (path / "graph.hovra").exists()
        db.close()
        assert Database(str(path)).ids() == ["a"]

    def test_failed_save_replaces_the_block_exception(self, tmp_path):
        path = tmp_path / "cm"
        db = Database(str(path), dim=2)
        db.add("a", [1, 0])
        for name in os.listdir(path):
            os.remove(path / name)
        path.rmdir()
        path.write_text("")  # the directory is now a plain file
        with pytest.raises(ValueError, match="^io error: ") as info:
            with db:
                raise KeyError("boom")
        assert isinstance(info.value.__context__, KeyError)


class TestSearchResult:
    @pytest.fixture
    def hits(self, db):
        db.add("near", [0, 0, 0, 0.123456], {"b": 2, "a": [1]})
        db.add("it's", [0, 0, 0, 2])
        return db.search([0, 0, 0, 0], k=2)

    def test_fields_and_subscript(self, hits):
        near, far = hits
        assert (near.id, near[0]) == ("near", "near")
        assert type(near.distance) is float and near.distance == near[1]
        assert near.distance == pytest.approx(0.123456**2, rel=1e-5)
        assert near.metadata == near[2] == {"a": [1], "b": 2}
        assert list(near.metadata) == ["a", "b"]
        assert far.metadata is None and far[2] is None

    def test_metadata_is_a_fresh_object_each_read(self, hits):
        first, second = hits[0].metadata, hits[0].metadata
        assert first == second and first is not second
        first["a"].append(99)
        assert hits[0].metadata == {"a": [1], "b": 2}

    def test_is_a_snapshot(self, db, hits):
        db.update("near", metadata={"changed": True})
        db.delete("it's")
        assert hits[0].metadata == {"a": [1], "b": 2} and hits[1].id == "it's"

    @pytest.mark.parametrize(
        "index, error, pattern",
        [
            (3, ValueError, "^index out of range$"),
            (2**70, OverflowError, None),
            (-1, OverflowError, None),
            ("id", TypeError, "^argument 'idx': "),
            (slice(0, 1), TypeError, "^argument 'idx': "),
            (1.0, TypeError, "^argument 'idx': "),
        ],
    )
    def test_subscript_errors(self, hits, index, error, pattern):
        with pytest.raises(error, match=pattern):
            hits[0][index]

    def test_repr(self, hits):
        assert repr(hits[0]) == "SearchResult(id='near', distance=0.0152)"
        assert repr(hits[1]) == "SearchResult(id='it's', distance=4.0000)"

    @pytest.mark.parametrize(
        "stored, query, shown",
        [
            ([-0.123456], [1], "0.1235"),
            ([-12.34567], [1], "12.3457"),
            ([-0.5], [1], "0.5000"),
            ([1.0], [1], "-1.0000"),
            ([-3e10], [1], "30000001024.0000"),
        ],
    )
    def test_repr_distance_format(self, tmp_path, stored, query, shown):
        # Under the dot metric the distance of [1] from [-v] is exactly v.
        db = Database(str(tmp_path / "r"), dim=len(stored), metric="dot")
        db.add("x", stored)
        (hit,) = db.search(query, k=1)
        assert repr(hit) == f"SearchResult(id='x', distance={shown})"

    def test_repr_of_distances_beyond_float32(self, tmp_path):
        # Vectors whose squared norms fit in float32 can still lie farther
        # apart than float32 reaches: the distance is infinite.
        db = Database(str(tmp_path / "r"), dim=1, metric="euclidean")
        db.add("x", [-1.8e19])
        (hit,) = db.search([1.8e19], k=1)
        assert repr(hit) == "SearchResult(id='x', distance=inf)"
        # Other non-finite values show as a result that crossed a process.
        rebuild, (id_, _, metadata) = hit.__reduce__()
        assert repr(rebuild(id_, float("-inf"), metadata)) == "SearchResult(id='x', distance=-inf)"
        assert repr(rebuild(id_, float("nan"), metadata)) == "SearchResult(id='x', distance=NaN)"

    def test_read_only_and_not_constructible(self, db, hits):
        with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
            SearchResult()
        with pytest.raises(TypeError, match="^No constructor defined for SearchResult$"):
            SearchResult("id", 1.0)
        for name in ("id", "distance", "metadata"):
            with pytest.raises(AttributeError):
                setattr(hits[0], name, None)
        again = db.search([0, 0, 0, 0], k=1)[0]
        assert again is not hits[0] and again == hits[0]

    def test_unpacks_as_id_distance_metadata(self, db):
        db.add("m", [1, 2, 3, 4], {"k": [1]})
        (hit,) = db.search([1, 2, 3, 4], k=1)
        record_id, distance, metadata = hit
        assert (record_id, distance, metadata) == (hit.id, hit.distance, hit.metadata) == tuple(hit)
        assert len(hit) == 3 and list(hit) == [hit[0], hit[1], hit[2]]
        assert [rid for rid, _, _ in db.search([1, 2, 3, 4], k=3)] == ["m"]

    def test_search_many_shapes(self, db):
        db.add_many(["a", "b"], [[1, 0, 0, 0], [0, 1, 0, 0]])
        results = db.search_many([[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]], k=1)
        assert [[h.id for h in hits] for hits in results] == [["a"], ["b"], ["a"]]
        assert all(type(hits) is list and type(hits[0]) is SearchResult for hits in results)


def _panicking_filter(mode):
    """A where_filter whose value hook changes the dict while it is walked."""

    class Hook:
        def __index__(self):
            if mode == "size":
                where["other"] = 1
            else:
                del where["a"]
                where["b"] = 1
            return 1

    where = {"a": Hook()}
    return where


class TestPanicException:
    @pytest.mark.parametrize(
        "mode, message",
        [
            ("size", "dictionary changed size during iteration"),
            ("keys", "dictionary keys changed during iteration"),
        ],
    )
    def test_dict_changed_during_filter_conversion(self, db, mode, message):
        with pytest.raises(BaseException) as info:
            db.count(_panicking_filter(mode))
        panic = info.value
        assert type(panic).__name__ == "PanicException"
        assert type(panic).__bases__ == (BaseException,)
        assert not isinstance(panic, Exception)
        assert str(panic) == message
        # The database is still usable afterwards.
        db.add("a", [1, 2, 3, 4], {"a": 1})
        assert db.count({"a": 1}) == 1


class TestImport:
    def test_importing_again_gives_the_same_module(self):
        saved = sys.modules.pop("_hovra")
        try:
            import _hovra as again

            assert again is saved and again.Database is Database
        finally:
            sys.modules["_hovra"] = saved

    def test_second_interpreter_is_refused(self):
        interpreters = pytest.importorskip("_xxsubinterpreters")
        interp = interpreters.create()
        try:
            with pytest.raises(Exception, match="ImportError"):
                interpreters.run_string(interp, "import _hovra")
        finally:
            interpreters.destroy(interp)

    def test_works_without_numpy(self, tmp_path):
        fake = tmp_path / "fake"
        (fake / "numpy").mkdir(parents=True)
        (fake / "numpy" / "__init__.py").write_text("raise ImportError('no numpy here')\n")
        script = textwrap.dedent(f"""
            import _hovra
            db = _hovra.Database({str(tmp_path / "db")!r}, dim=2)
            db.add_many(["a", "b"], [[1, 0], (0, 1)])
            db.add("c", [1, 1])
            print(sorted(h.id for h in db.search([1, 0], k=3)))
        """)
        module_dir = os.path.dirname(_hovra.__file__)
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(fake), module_dir]))
        out = subprocess.run(
            [sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120
        )
        assert out.returncode == 0, out.stderr
        assert out.stdout.strip() == "['a', 'b', 'c']"


class TestConcurrentCalls:
    def test_lock_holding_and_lock_releasing_calls_interleave(self, db):
        """Writers and searches run without the interpreter lock while other
        threads make calls that keep it; all must finish with a consistent
        database."""
        errors = []

        def writer(t):
            try:
                for i in range(150):
                    db.add(f"{t}-{i}", [t, i, 1, 0], {"t": t})
            except BaseException as e:  # noqa: BLE001 - reported below
                errors.append(e)

        def reader():
            try:
                for _ in range(150):
                    db.search([0, 0, 1, 0], k=5, where_filter={"t": 1})
                    db.count({"t": 0})
                    len(db)
                    db.stats()
            except BaseException as e:  # noqa: BLE001
                errors.append(e)

        threads = [threading.Thread(target=writer, args=(t,)) for t in range(3)]
        threads += [threading.Thread(target=reader) for _ in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join(timeout=120)
        assert not any(thread.is_alive() for thread in threads)
        assert errors == []
        assert len(db) == 450 and db.count({"t": 2}) == 150


class TestExceptionTypes:
    """Every engine error is a HovraError (a ValueError), typed by what went wrong."""

    def test_hierarchy_is_exported_and_pickles(self):
        for name in ERRORS:
            cls = getattr(hovra, name)
            assert cls is getattr(_hovra, name) and issubclass(cls, hovra.HovraError)
            assert issubclass(cls, ValueError) and cls.__module__ == "hovra"
        error = pickle.loads(
            pickle.dumps(hovra.DuplicateIdError("id 'a' already exists, use upsert instead"))
        )
        assert type(error) is hovra.DuplicateIdError

    def test_each_failure_raises_its_type_with_its_message(self, tmp_path):
        db = Database(str(tmp_path / "t"), dim=2)
        db.add("a", [1, 2])
        cases = [
            (
                lambda: db.add("a", [1, 2]),
                hovra.DuplicateIdError,
                "id 'a' already exists, use upsert instead",
            ),
            (
                lambda: db.add_many(["b", "a"], [[1, 2]] * 2),
                hovra.DuplicateIdError,
                "id 'a' already exists, use upsert instead",
            ),
            (lambda: db.get("z"), hovra.NotFoundError, "id 'z' not found"),
            (lambda: db.update("z", metadata={}), hovra.NotFoundError, "id 'z' not found"),
            (lambda: db.add("b", [1]), hovra.HovraError, "dimension mismatch: expected 2, got 1"),
            (lambda: Database(str(tmp_path / "none")), hovra.DatabaseNotFoundError, NOT_FOUND),
        ]
        for call, cls, message in cases:
            with pytest.raises(cls) as info:
                call()
            assert str(info.value) == message
        with pytest.raises(hovra.DuplicateIdError) as info:
            db.add("a", [1, 2])
        assert info.value.id == "a"
        db.close()
        with pytest.raises(hovra.DatabaseClosedError, match="^database is closed$"):
            len(db)
