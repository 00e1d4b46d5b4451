"""The LlamaIndex vector store, through LlamaIndex's own VectorStoreIndex,
retrievers and query engine with a deterministic embedding: node text and
relationships kept, every filter operator and condition against LlamaIndex's
own filter evaluator, deletes by document and by node, persistence, and the
text_search and hybrid query modes."""

import hashlib
import random
import re

import pytest

pytest.importorskip("llama_index.core")

from hovra.llama_index import HovraVectorStore, to_where_filter  # noqa: E402
from llama_index.core import Document, StorageContext, VectorStoreIndex  # noqa: E402
from llama_index.core.base.embeddings.base import BaseEmbedding  # noqa: E402
from llama_index.core.llms.mock import MockLLM  # noqa: E402
from llama_index.core.schema import TextNode  # noqa: E402
from llama_index.core.vector_stores.types import (  # noqa: E402
    FilterCondition,
    FilterOperator,
    MetadataFilter,
    MetadataFilters,
    VectorStoreQuery,
)
from llama_index.core.vector_stores.utils import build_metadata_filter_fn  # noqa: E402

DIM = 32


def embed(text):
    """Hashed bag of words: texts that share words are close."""
    v = [0.0] * DIM
    for word in re.findall(r"\w+", text.lower()):
        h = hashlib.sha256(word.encode()).digest()
        v[h[0] % DIM] += 1.0
        v[h[1] % DIM] += 0.5
    return v if any(v) else [1.0] + [0.0] * (DIM - 1)


class WordEmbedding(BaseEmbedding):
    def _get_text_embedding(self, text):
        return embed(text)

    def _get_query_embedding(self, query):
        return embed(query)

    async def _aget_query_embedding(self, query):
        return embed(query)


DOCS = [
    Document(
        text="Rust is a systems programming language", metadata={"lang": "en", "year": 2015}, doc_id="d1"
    ),
    Document(
        text="Python is a dynamic programming language", metadata={"lang": "en", "year": 1991}, doc_id="d2"
    ),
    Document(
        text="Der Rhein fliesst durch Basel und Köln", metadata={"lang": "de", "year": 2001}, doc_id="d3"
    ),
    Document(text="Basel liegt am Rhein", metadata={"lang": "de", "year": 2020}, doc_id="d4"),
]


def make_index(path, **store_options):
    store = HovraVectorStore(str(path), **store_options)
    context = StorageContext.from_defaults(vector_store=store)
    index = VectorStoreIndex.from_documents(DOCS, storage_context=context, embed_model=WordEmbedding())
    return store, index


def test_index_retriever_and_query_engine(tmp_path):
    store, index = make_index(tmp_path / "s")
    hits = index.as_retriever(similarity_top_k=2).retrieve("Rust programming language")
    assert hits[0].node.get_content() == "Rust is a systems programming language"
    assert hits[0].node.ref_doc_id == "d1" and hits[0].node.metadata == {"lang": "en", "year": 2015}
    assert hits[0].score == pytest.approx(
        1.0 - store.client.search(embed("Rust programming language"), k=1)[0].distance
    )
    assert hits[0].score > hits[1].score
    filters = MetadataFilters(filters=[MetadataFilter(key="lang", value="de")])
    engine = index.as_query_engine(llm=MockLLM(), similarity_top_k=3, filters=filters)
    response = engine.query("Rhein Basel")
    assert {n.node.ref_doc_id for n in response.source_nodes} == {"d3", "d4"}
    # The text lives in the store: no document store is needed to answer.
    assert not index.storage_context.docstore.docs
    assert len(store.client) == 4


def test_persistence_and_deletes(tmp_path):
    store, index = make_index(tmp_path / "p")
    node_ids = store.client.ids()
    store.persist("unused")
    reopened = HovraVectorStore(str(tmp_path / "p"))
    again = VectorStoreIndex.from_vector_store(reopened, embed_model=WordEmbedding())
    assert again.as_retriever(similarity_top_k=1).retrieve("Basel liegt am Rhein")[0].node.ref_doc_id == "d4"
    nodes = reopened.get_nodes(node_ids=[node_ids[1], "missing", node_ids[0]])
    assert [n.node_id for n in nodes] == [node_ids[1], node_ids[0]] and nodes[0].embedding
    de = MetadataFilters(filters=[MetadataFilter(key="lang", value="de")])
    assert {n.ref_doc_id for n in reopened.get_nodes(filters=de)} == {"d3", "d4"}
    index.delete_ref_doc("d1")
    assert {n.ref_doc_id for n in reopened.get_nodes()} == {"d2", "d3", "d4"}
    reopened.delete_nodes(filters=de)
    assert {n.ref_doc_id for n in reopened.get_nodes()} == {"d2"}
    reopened.clear()
    assert len(reopened.client) == 0
    with pytest.raises(ValueError, match="text key"):
        reopened.add([TextNode(text="x", metadata={"text": "clash"}, embedding=[1.0] * DIM)])


def test_text_and_hybrid_modes(tmp_path):
    store, index = make_index(tmp_path / "t")
    store.client.wait_text_index()
    text = index.as_retriever(vector_store_query_mode="text_search", similarity_top_k=2).retrieve("Basel")
    assert {n.node.ref_doc_id for n in text} == {"d3", "d4"} and all(n.score > 0 for n in text)
    hybrid = index.as_retriever(vector_store_query_mode="hybrid", similarity_top_k=2).retrieve(
        "dynamic Python"
    )
    assert hybrid[0].node.ref_doc_id == "d2"
    # alpha weights the vector search against the text search.
    text_only = index.as_retriever(vector_store_query_mode="hybrid", similarity_top_k=1, alpha=0.0).retrieve(
        "Rhein"
    )
    assert text_only[0].node.ref_doc_id == "d4"  # the shorter text holding the word
    vector_only = index.as_retriever(
        vector_store_query_mode="hybrid", similarity_top_k=4, alpha=1.0
    ).retrieve("Rhein")
    plain_order = index.as_retriever(similarity_top_k=4).retrieve("Rhein")
    assert [n.node.node_id for n in vector_only] == [n.node.node_id for n in plain_order]
    # A store over a database made without a text index makes one on demand.
    plain, plain_index = make_index(tmp_path / "n", text_index=False)
    assert plain.client.text_index is None
    assert (
        plain_index.as_retriever(vector_store_query_mode="text_search").retrieve("Rust")[0].node.ref_doc_id
        == "d1"
    )
    with pytest.raises(ValueError, match="not supported"):
        plain_index.as_retriever(vector_store_query_mode="mmr").retrieve("Rust")


def random_filter(rng, depth=0):
    key = rng.choice(["n", "s", "tags", "missing"])
    op = rng.choice(list(FilterOperator))
    if op is FilterOperator.TEXT_MATCH_INSENSITIVE:
        op = FilterOperator.TEXT_MATCH
    if op in (FilterOperator.GT, FilterOperator.GTE, FilterOperator.LT, FilterOperator.LTE):
        key, value = "n", rng.randrange(10)
    elif op in (FilterOperator.IN, FilterOperator.NIN):
        key = rng.choice(["n", "s"])
        value = (
            [rng.randrange(10) for _ in range(3)] if key == "n" else [rng.choice("abcde") for _ in range(2)]
        )
    elif op in (FilterOperator.ANY, FilterOperator.ALL):
        key, value = "tags", [rng.choice("xyz") for _ in range(2)]
    elif op is FilterOperator.CONTAINS:
        key, value = "tags", rng.choice("xyz")
    elif op is FilterOperator.TEXT_MATCH:
        key, value = "s", rng.choice(["a", "b", "ab", "c"])
    elif op is FilterOperator.IS_EMPTY:
        value = None
    else:
        value = rng.randrange(10) if key == "n" else rng.choice("abcde")
    return MetadataFilter(key=key, value=value, operator=op)


@pytest.mark.slow
def test_filters_agree_with_llama_index_s_own_evaluator(tmp_path):
    rng = random.Random(20)
    metadatas = {}
    nodes = []
    for i in range(120):
        m = {"n": rng.randrange(10), "s": "".join(rng.choice("abc") for _ in range(rng.randrange(1, 4)))}
        if i % 3:
            m["tags"] = rng.sample("xyz", rng.randrange(1, 3))
        if i % 11 == 0:
            m["s"] = ""
        metadatas[f"n{i}"] = m
        nodes.append(TextNode(id_=f"n{i}", text=f"node {i}", metadata=m, embedding=[1.0, float(i)]))
    store = HovraVectorStore(str(tmp_path / "f"), metric="euclidean")
    store.add(nodes)
    checked = 0
    for _ in range(300):
        condition = rng.choice(list(FilterCondition))
        filters = MetadataFilters(
            filters=[random_filter(rng) for _ in range(rng.randrange(1, 4))], condition=condition
        )
        try:
            expected = build_metadata_filter_fn(lambda i: metadatas[i], filters)
            want = {i for i in metadatas if expected(i)}
        except TypeError:
            continue  # LlamaIndex's evaluator refuses the types (text_match on a list, say)
        result = store.query(
            VectorStoreQuery(query_embedding=[1.0, 0.0], similarity_top_k=200, filters=filters)
        )
        assert set(result.ids) == want, (filters, to_where_filter(filters))
        checked += 1
    assert checked > 200
    with pytest.raises(ValueError, match="text_match_insensitive"):
        to_where_filter(
            MetadataFilters(
                filters=[MetadataFilter(key="s", value="A", operator=FilterOperator.TEXT_MATCH_INSENSITIVE)]
            )
        )


def test_doc_and_node_ids_narrow_a_query(tmp_path):
    store, _ = make_index(tmp_path / "q", metric="dot")
    ids = {n.ref_doc_id: n.node_id for n in store.get_nodes()}
    q = embed("Basel Rhein")
    by_doc = store.query(VectorStoreQuery(query_embedding=q, similarity_top_k=4, doc_ids=["d1", "d4"]))
    assert set(by_doc.ids) == {ids["d1"], ids["d4"]} and by_doc.ids[0] == ids["d4"]
    among = store.query(
        VectorStoreQuery(query_embedding=q, similarity_top_k=1, node_ids=[ids["d1"], ids["d3"]])
    )
    assert among.ids == [ids["d3"]]
    assert among.similarities[0] == pytest.approx(
        -store.client.search(q, k=1, where_filter={"ref_doc_id": "d3"})[0].distance, rel=1e-5
    )
