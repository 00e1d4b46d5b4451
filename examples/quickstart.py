"""Quickstart: create a database, add records, search with a filter, save, reopen."""

import os
import shutil
import tempfile

import hovra
import numpy as np

path = os.path.join(tempfile.gettempdir(), "hovra-quickstart")
shutil.rmtree(path, ignore_errors=True)

rng = np.random.default_rng(0)
vectors = rng.standard_normal((1000, 64)).astype(np.float32)
ids = [f"doc-{i}" for i in range(len(vectors))]
metadatas = [{"topic": ["news", "sports", "tech"][i % 3], "year": 2000 + i % 25} for i in range(len(vectors))]

with hovra.Database(path, dim=64, metric="cosine") as db:
    db.add_many(ids, vectors, metadatas)
    db.add("extra", vectors[0] * 2.0, {"topic": "tech", "year": 2024})
    hits = db.search(vectors[0], k=5, where_filter={"topic": "tech", "year": {"$gte": 2010}})
    for hit in hits:
        print(hit, hit.metadata)
# leaving the with block saved the database

db = hovra.Database(path)  # reopen: no dim means "open an existing database"
print("reopened:", len(db), "records, metric", db.metric, "dim", db.dim)
print("nearest to doc-42:", db.search(vectors[42], k=1)[0].id)
assert db.search(vectors[42], k=1)[0].id == "doc-42"
