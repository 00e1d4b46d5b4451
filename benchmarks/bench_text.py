"""Text and hybrid search: hovra's BM25 text_search against bm25s, tantivy and
SQLite FTS5, and hybrid_search against a dense search plus bm25s fused in
Python, on the Debian package descriptions.

Data: ../shared/data/debian-minilm (how it was made: its README.md): the
59,021 base descriptions (texts.json.gz less the 1,000 held-out query texts)
with their MiniLM embeddings, and the 1,000 query texts and embeddings.

Analysis, as alike as the peers allow: English, Snowball stemming and the
short English stop list.
  hovra   NFKC + case folding, runs of letters and digits, bm25s's English
          stop list, Snowball english (libstemmer 2.0).
  bm25s   its default regex (words of two or more characters), stopwords
          "en" (the same list), PyStemmer english.
  tantivy its "en_stem" tokenizer (letters and digits, lower-cased, tokens
          over 40 bytes dropped, Snowball english), no stop words.
  FTS5    tokenize='porter unicode61' (Porter's original stemmer), no stop
          words; the query is an OR of its words, ranked by bm25().
All score BM25 with k1 = 1.2, b = 0.75 (FTS5's bm25() has those defaults);
the idf formulas differ slightly (tantivy and bm25s "lucene" use Lucene's,
as hovra does; FTS5 its own), so agreement is reported as the mean overlap
of each peer's top-10 with hovra's.

Indexing: CPU seconds to index the texts (hovra: create_text_index over
records already stored; the others: tokenising and indexing); memory of
hovra's text index (memory_usage) and the size of text.hovra after a save.
Query latency: wall time per query in a Python loop, one query at a time,
k = 10, the systems interleaved over --rounds rounds; medians with the 10th
and 90th percentiles. Every system returns ids (tantivy reads a stored id
field, FTS5 a rowid, hovra ids with metadata).

Hybrid: hovra.hybrid_search(vector, text, k=10) (RRF over 50 candidates per
retriever) against hovra.search(k=50) + bm25s (k=50) + RRF in Python.

    python3 benchmarks/bench_text.py [--queries 500] [--rounds 3]
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import re
import sqlite3
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np
HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "..", "..", "shared", "data", "debian-minilm")


def load():
    texts = json.load(gzip.open(os.path.join(DATA, "texts.json.gz")))["texts"]
    queries = json.load(gzip.open(os.path.join(DATA, "query_texts.json.gz")))
    held_out = set(queries)
    base = [t for t in texts if t not in held_out]
    vectors = np.load(os.path.join(DATA, "base-f16.npy")).astype(np.float32)
    qvectors = np.load(os.path.join(DATA, "queries-f16.npy")).astype(np.float32)
    vectors /= np.linalg.norm(vectors, axis=1, keepdims=True)
    qvectors /= np.linalg.norm(qvectors, axis=1, keepdims=True)
    n = min(len(base), len(vectors))
    return base[:n], vectors[:n], queries, qvectors


def cpu(fn):
    t0 = time.process_time()
    out = fn()
    return time.process_time() - t0, out


def rrf(lists, k, c=60.0):
    fused = {}
    for hits in lists:
        for rank, key in enumerate(hits, start=1):
            fused[key] = fused.get(key, 0.0) + 1.0 / (c + rank)
    return sorted(fused, key=lambda x: -fused[x])[:k]


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--queries", type=int, default=500)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--workdir", default=None)
    args = p.parse_args()
    Database = bd.import_hovra()
    import bm25s
    import Stemmer
    import tantivy

    texts, vectors, qtexts, qvectors = load()
    qtexts, qvectors = qtexts[: args.queries], qvectors[: args.queries]
    n = len(texts)
    ids = [str(i) for i in range(n)]
    bd.emit(
        bd.header(
            "Text search: hovra text_search vs bm25s, tantivy, SQLite FTS5; hybrid_search vs dense + bm25s + RRF",
            [
                f"data      : {n} Debian package descriptions, {len(qtexts)} held-out query texts, k = 10",
                f"peers     : bm25s {bm25s.__version__}, tantivy {getattr(tantivy, '__version__', '?')}, "
                f"SQLite {sqlite3.sqlite_version}",
                f"rounds    : {args.rounds} interleaved; latency is wall time per query, indexing CPU time",
            ],
        )
    )

    with bd.scratch_dir(args.workdir) as work:
        # ---------------------------------------------------------- indexing
        db = Database(os.path.join(work, "hovra"), dim=vectors.shape[1])
        db.add_many(ids, vectors, [{"body": t} for t in texts])
        build = {}
        build["hovra"], _ = cpu(lambda: db.create_text_index("body", wait=True))
        stemmer = Stemmer.Stemmer("english")

        def bm25s_index():
            tokens = bm25s.tokenize(texts, stopwords="en", stemmer=stemmer, show_progress=False)
            r = bm25s.BM25()
            r.index(tokens, show_progress=False)
            return r

        build["bm25s"], retriever = cpu(bm25s_index)

        def tantivy_index():
            sb = tantivy.SchemaBuilder()
            sb.add_text_field("body", stored=False, tokenizer_name="en_stem")
            sb.add_unsigned_field("id", stored=True)
            index = tantivy.Index(sb.build())
            writer = index.writer(heap_size=200_000_000, num_threads=1)
            for i, t in enumerate(texts):
                writer.add_document(tantivy.Document(body=t, id=i))
            writer.commit()
            writer.wait_merging_threads()
            index.reload()
            return index

        build["tantivy"], tindex = cpu(tantivy_index)
        searcher = tindex.searcher()
        sql = sqlite3.connect(":memory:")

        def fts_index():
            sql.execute("create virtual table t using fts5(body, tokenize='porter unicode61')")
            sql.executemany("insert into t(rowid, body) values (?, ?)", ((i, t) for i, t in enumerate(texts)))
            sql.commit()

        build["FTS5"], _ = cpu(fts_index)
        db.save()
        text_bytes = os.path.getsize(os.path.join(work, "hovra", "text.hovra"))
        memory = db.memory_usage()["text_index"]

        # ----------------------------------------------------------- queries
        words = re.compile(r"\w+")

        def q_hovra(q):
            return [r.id for r in db.text_search(q, k=10)]

        def q_bm25s(q):
            tokens = bm25s.tokenize([q], stopwords="en", stemmer=stemmer, show_progress=False)
            if not tokens.vocab:
                return []
            docs, _ = retriever.retrieve(tokens, k=10, show_progress=False, n_threads=1)
            return [str(int(d)) for d in docs[0]]

        def q_tantivy(q):
            terms = words.findall(q)
            if not terms:
                return []
            query = tindex.parse_query(" ".join(terms), ["body"])
            return [str(searcher.doc(addr)["id"][0]) for _, addr in searcher.search(query, 10).hits]

        def q_fts(q):
            terms = words.findall(q)
            if not terms:
                return []
            match = " OR ".join('"%s"' % w for w in terms)
            rows = sql.execute(
                "select rowid from t where t match ? order by bm25(t) limit 10", (match,)
            ).fetchall()
            return [str(r[0]) for r in rows]

        systems = {"hovra": q_hovra, "bm25s": q_bm25s, "tantivy": q_tantivy, "FTS5": q_fts}
        latencies = {name: [] for name in systems}
        answers = {}
        for _ in range(args.rounds):
            for name, fn in systems.items():
                _, lat, out = bd.time_single(fn, qtexts, warmup=20)
                latencies[name].extend(lat)
                answers[name] = out

        def overlap(a, b):
            total = [len(set(x) & set(y)) / max(1, min(10, len(y))) for x, y in zip(a, b) if y]
            return float(np.mean(total))

        table = bd.Table(["system", "index CPU s", "p50 us", "p10 us", "p90 us", "top-10 overlap with hovra"])
        for name in systems:
            lat = np.array(latencies[name]) * 1e6
            table.add(
                name,
                f"{build[name]:.2f}",
                f"{np.median(lat):.0f}",
                f"{np.percentile(lat, 10):.0f}",
                f"{np.percentile(lat, 90):.0f}",
                "-" if name == "hovra" else f"{overlap(answers[name], answers['hovra']):.3f}",
            )
        bd.emit(table.render())
        fastest_peer = min(np.median(latencies[s]) for s in systems if s != "hovra")
        bd.emit(
            f"hovra p50 / fastest peer's p50: {np.median(latencies['hovra']) / fastest_peer:.2f}; "
            f"text index: {memory / n:.0f} bytes of memory and {text_bytes / n:.0f} bytes of text.hovra per document"
        )

        # ------------------------------------------------------------ hybrid
        def h_hovra(i):
            return [r.id for r in db.hybrid_search(vector=qvectors[i], text=qtexts[i], k=10)]

        def h_separate(i):
            dense = [r.id for r in db.search(qvectors[i], k=50)]
            tokens = bm25s.tokenize([qtexts[i]], stopwords="en", stemmer=stemmer, show_progress=False)
            sparse = []
            if tokens.vocab:
                docs, _ = retriever.retrieve(tokens, k=50, show_progress=False, n_threads=1)
                sparse = [str(int(d)) for d in docs[0]]
            return rrf([dense, sparse], 10)

        hybrid = {"hovra hybrid_search": h_hovra, "search + bm25s + RRF in Python": h_separate}
        hlat = {name: [] for name in hybrid}
        hout = {}
        positions = np.arange(len(qtexts))
        for _ in range(args.rounds):
            for name, fn in hybrid.items():
                _, lat, out = bd.time_single(fn, positions, warmup=20)
                hlat[name].extend(lat)
                hout[name] = out
        table = bd.Table(["hybrid", "p50 us", "p10 us", "p90 us"])
        for name in hybrid:
            lat = np.array(hlat[name]) * 1e6
            table.add(
                name,
                f"{np.median(lat):.0f}",
                f"{np.percentile(lat, 10):.0f}",
                f"{np.percentile(lat, 90):.0f}",
            )
        bd.emit(table.render())
        bd.emit(
            "top-10 overlap of the two hybrid answers: "
            f"{overlap(hout['search + bm25s + RRF in Python'], hout['hovra hybrid_search']):.3f}"
        )


if __name__ == "__main__":
    main()
