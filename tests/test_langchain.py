"""hovra.langchain.HovraVectorStore: LangChain's own standard vector store
tests (with their fake embeddings), then what they leave out: filters,
persistence, scores per metric, MMR and refused input."""

import gc
import os
import warnings

import hovra
import pytest
from hovra.langchain import HovraVectorStore
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding, Embeddings
from langchain_tests.integration_tests import VectorStoreIntegrationTests


class TestStandard(VectorStoreIntegrationTests):
    @pytest.fixture()
    def vectorstore(self, tmp_path):
        return HovraVectorStore(self.get_embeddings(), path=tmp_path / "store")


@pytest.fixture
def embeddings():
    return DeterministicFakeEmbedding(size=8)


TEXTS = ["apple pie", "banana bread", "cherry tart", "apple crumble"]
METAS = [
    {"fruit": "apple", "year": 2001},
    {"fruit": "banana", "year": 2010},
    {"fruit": "cherry", "year": 2020},
    {"fruit": "apple", "year": 2023},
]


def test_filters_reach_the_database_and_writes_survive_reopening(tmp_path, embeddings):
    path = tmp_path / "s"
    store = HovraVectorStore.from_texts(TEXTS, embeddings, METAS, ids=["a", "b", "c", "d"], path=path)
    docs = store.similarity_search("apple pie", k=4, filter={"fruit": "apple", "year": {"$gt": 2010}})
    assert docs == [Document(id="d", page_content="apple crumble", metadata=METAS[3])]
    assert store.similarity_search("apple pie", k=4, filter={}) == store.similarity_search("apple pie", k=4)
    store.delete(["b"])
    del store
    gc.collect()
    again = HovraVectorStore(embeddings, path=path)
    assert sorted(d.id for d in again.similarity_search("x", k=10)) == ["a", "c", "d"]
    assert again.get_by_ids(["c", "zz", "c"]) == [
        Document(id="c", page_content="cherry tart", metadata=METAS[2])
    ]
    again.delete()
    assert again.similarity_search("x") == []


def test_read_only_store_searches_and_refuses_writes(tmp_path, embeddings):
    path = tmp_path / "s"
    with pytest.raises(ValueError, match="read_only needs the path"):
        HovraVectorStore(embeddings, read_only=True)
    with pytest.raises(hovra.DatabaseNotFoundError):
        HovraVectorStore(embeddings, path=path, read_only=True)
    writer = HovraVectorStore.from_texts(TEXTS, embeddings, METAS, ids=["a", "b", "c", "d"], path=path)
    reader = HovraVectorStore(embeddings, path=path, read_only=True)
    assert reader.database is not None and reader.database.read_only
    writer.add_texts(["elderberry wine"], ids=["e"])
    assert [d.id for d in reader.similarity_search("elderberry wine", k=1)] == ["e"]
    with pytest.raises(hovra.ReadOnlyError):
        reader.add_texts(["fig roll"])
    with pytest.raises(hovra.ReadOnlyError):
        reader.delete(["a"])
    assert len(reader.get_by_ids(["a", "e"])) == 2


@pytest.mark.parametrize("metric", ["cosine", "euclidean", "dot"])
def test_scores_are_distances_and_relevance_follows_them(tmp_path, metric):
    # Unit-length embeddings, as LangChain's relevance rules assume.
    class Unit(DeterministicFakeEmbedding):
        def embed_documents(self, texts):
            return [self._unit(v) for v in super().embed_documents(texts)]

        def embed_query(self, text):
            return self._unit(super().embed_query(text))

        @staticmethod
        def _unit(vector):
            norm = sum(x * x for x in vector) ** 0.5
            return [x / norm for x in vector]

    store = HovraVectorStore(Unit(size=8), path=tmp_path / "m", metric=metric)
    store.add_texts(TEXTS, METAS)
    scored = store.similarity_search_with_score("banana bread", k=4)
    assert scored[0][0].page_content == "banana bread"
    assert [s for _, s in scored] == sorted(s for _, s in scored)
    with warnings.catch_warnings():  # LangChain warns of negative relevance (dissimilar texts)
        warnings.simplefilter("ignore", UserWarning)
        relevance = store.similarity_search_with_relevance_scores("banana bread", k=4)
    assert relevance[0][1] == pytest.approx(1.0, abs=1e-5)
    if metric != "dot":  # LangChain's inner-product rule is not monotonic below 0
        assert [r for _, r in relevance] == sorted((r for _, r in relevance), reverse=True)


class Axes(Embeddings):
    """Each text is a unit axis: "x" and "y" are orthogonal, "-x" opposite."""

    AXES = {"x": [1.0, 0.0], "y": [0.0, 1.0], "-x": [-1.0, 0.0], "xy": [0.6, 0.8]}

    def embed_documents(self, texts):
        return [self.AXES[t] for t in texts]

    def embed_query(self, text):
        return self.AXES[text]


@pytest.mark.parametrize(
    "metric, expected",
    [
        ("cosine", {"x": 1.0, "xy": 0.6, "y": 0.0}),  # 1 - distance: the cosine similarity
        ("euclidean", {"x": 1.0, "xy": 1 - (0.8**0.5) / 2**0.5, "y": 0.0}),  # 1 - d / sqrt(2)
        ("dot", {"x": 1.0, "xy": 0.6, "y": 0.0}),
    ],
)
def test_relevance_follows_langchain_rules_and_thresholds(tmp_path, metric, expected):
    store = HovraVectorStore(Axes(), path=tmp_path / metric, metric=metric)
    store.add_texts(["x", "y", "xy"])
    got = {d.page_content: r for d, r in store.similarity_search_with_relevance_scores("x", k=3)}
    assert got == pytest.approx(expected, abs=1e-6)
    # An unrelated (orthogonal) document no longer passes a 0.5 threshold.
    kept = store.similarity_search_with_relevance_scores("x", k=3, score_threshold=0.5)
    assert sorted(d.page_content for d, _ in kept) == sorted(t for t, r in expected.items() if r >= 0.5)


def test_filters_take_the_whole_language(tmp_path, embeddings):
    store = HovraVectorStore(embeddings, path=tmp_path / "f")
    store.add_texts(
        ["a", "b", "c"],
        [{"tags": ["news", "en"], "n": 1}, {"tags": ["blog"], "n": 2}, {"author": {"name": "Ada"}, "n": 3}],
        ids=["a", "b", "c"],
    )

    def found(flt):
        return sorted(d.id for d in store.similarity_search("q", k=3, filter=flt))

    assert found({"tags": {"$contains": "news"}}) == ["a"]
    assert found({"$or": [{"n": 2}, {"author.name": "Ada"}]}) == ["b", "c"]
    assert found({"$not": {"n": {"$in": [1, 2]}}}) == ["c"]
    assert found({"tags": {"$exists": False}}) == ["c"]


def test_max_marginal_relevance_prefers_diversity(tmp_path, embeddings):
    store = HovraVectorStore(embeddings, path=tmp_path / "mmr")
    store.add_texts(["same", "same", "other"], ids=["s1", "s2", "o"])
    picked = store.max_marginal_relevance_search("same", k=2, fetch_k=3, lambda_mult=0.0)
    assert sorted(d.id for d in picked)[0] == "o" and len(picked) == 2
    assert [
        d.id for d in store.max_marginal_relevance_search("same", k=2, filter={"page_content": "other"})
    ] == ["o"]


def test_refused_input_changes_nothing(tmp_path, embeddings):
    store = HovraVectorStore(embeddings, path=tmp_path / "bad")
    with pytest.raises(ValueError, match="page_content"):
        store.add_texts(["a", "b"], [{"ok": 1}, {"page_content": "clash"}])
    with pytest.raises(ValueError):
        store.add_texts(["a", "b"], [{}])
    with pytest.raises(TypeError, match="filtr"):
        store.similarity_search("a", filtr={"x": 1})
    assert store.database is None and store.similarity_search("a") == []
    (tmp_path / "damaged").mkdir()
    (tmp_path / "damaged" / "graph.hovra").write_bytes(b"x")
    (tmp_path / "damaged" / "vectors.bin").write_bytes(b"")
    with pytest.raises(hovra.CorruptDataError, match="failed to fill whole buffer"):
        HovraVectorStore(embeddings, path=tmp_path / "damaged")
    custom = HovraVectorStore(embeddings, path=tmp_path / "custom", text_key="body")
    custom.add_texts(["x"], [{"page_content": "kept"}], ids=["1"])
    assert custom.get_by_ids(["1"])[0].metadata == {"page_content": "kept"}


def test_temporary_store_removes_its_directory(embeddings):
    store = HovraVectorStore(embeddings)
    store.add_texts(["a"])
    path = store._path
    assert os.path.isdir(path)
    del store
    gc.collect()
    assert not os.path.exists(path)


def test_the_standard_suite_runs_in_full():
    suite = TestStandard()
    assert suite.has_sync and suite.has_async and suite.has_get_by_ids
    assert len([name for name in dir(suite) if name.startswith("test_")]) >= 25


def test_hybrid_search_and_the_hybrid_retriever(tmp_path, embeddings):
    store = HovraVectorStore.from_texts(
        TEXTS, embeddings, METAS, ids=["a", "b", "c", "d"], path=tmp_path / "h"
    )
    scored = store.hybrid_search_with_score("apple", k=4)
    # Only the apple documents hold the word; both retrievers rank them.
    assert {doc.id for doc, _ in scored[:2]} == {"a", "d"}
    assert all(s1 >= s2 for (_, s1), (_, s2) in zip(scored, scored[1:]))
    assert store.database.text_index["field"] == "page_content"
    docs = store.hybrid_search("apple", k=4, filter={"year": {"$gt": 2010}})
    assert [d.id for d in docs][:1] == ["d"] and all(d.metadata["year"] > 2010 for d in docs)
    retriever = store.as_retriever(search_type="hybrid", search_kwargs={"k": 2, "fusion": "weighted"})
    assert {d.id for d in retriever.invoke("apple")} == {"a", "d"}
    assert len(store.as_retriever(search_kwargs={"k": 1}).invoke("apple")) == 1
    with pytest.raises(TypeError):
        store.hybrid_search("apple", nonsense=1)
