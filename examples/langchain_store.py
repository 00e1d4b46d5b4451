"""LangChain: a HovraVectorStore with LangChain's deterministic fake embeddings
(swap in any real embeddings model), searched with a metadata filter."""

import tempfile

from hovra.langchain import HovraVectorStore
from langchain_core.documents import Document
from langchain_core.embeddings import DeterministicFakeEmbedding

embeddings = DeterministicFakeEmbedding(size=32)
path = tempfile.mkdtemp(prefix="hovra-langchain-example-")

store = HovraVectorStore(embeddings, path=path)
store.add_documents(
    [
        Document(
            id="a", page_content="hovra keeps vectors in a directory", metadata={"topic": "db", "year": 2024}
        ),
        Document(
            id="b", page_content="LangChain chains calls together", metadata={"topic": "llm", "year": 2023}
        ),
        Document(
            id="c", page_content="HNSW graphs find near neighbours", metadata={"topic": "db", "year": 2016}
        ),
    ]
)

for doc, distance in store.similarity_search_with_score("hovra keeps vectors in a directory", k=2):
    print(f"{distance:.4f}  {doc.id}  {doc.page_content}")

recent = store.similarity_search("graphs", k=3, filter={"topic": "db", "year": {"$gte": 2020}})
assert [doc.id for doc in recent] == ["a"]

store.save()
reopened = HovraVectorStore(embeddings, path=path)
assert [doc.page_content for doc in reopened.get_by_ids(["c"])] == ["HNSW graphs find near neighbours"]
print("reopened:", len(reopened.get_by_ids(["a", "b", "c"])), "documents")
