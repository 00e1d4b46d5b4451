"""Filtered search, and search after update and delete churn: hovra against
exact NumPy results, hnswlib's filtered knn_query and faiss HNSW with an
IDSelector.

Sections (--sections, comma-separated):

  synthetic  100,000 x 128 clustered vectors (the graph path: live x dim >=
             10M) with filters of selectivity 50 %, 10 %, 1 %, 0.1 % and a
             numeric range.
  text       the Debian package descriptions (MiniLM, 59,021 x 384, cosine)
             from ../shared/data/debian-minilm (how it was made:
             ../shared/data/debian-minilm/README.md): section "libs" (~10 %),
             section "hamradio" (134 rows), an installed_size range.
  churn      recall after three rounds of updating half of 100,000 x 128
             records, against a fresh build of the final vectors; and after
             deleting 75 % of 400,000 x 128 records without compaction (the
             graph path still holds).

hovra keeps walking until its beam holds ef records that pass the filter,
or scans the matching records exactly when there are few of them.  hnswlib's
filter is a Python callable checked per visited node; faiss tests a bitmap.
Every cell times the systems in alternating rounds and reports medians.

    python3 benchmarks/bench_filtered.py [--sections synthetic,text,churn] [--queries 1000] [--threads 2]
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np

HERE = os.path.dirname(os.path.abspath(__file__))
TEXT_DIR = os.path.join(HERE, "..", "..", "shared", "data", "debian-minilm")

SYNTHETIC_FILTERS = [
    ("none", None, None),
    ("eq 50% {half: 1}", {"half": 1}, lambda c: c["half"] == 1),
    ("eq 10% {cat: 3}", {"cat": 3}, lambda c: c["cat"] == 3),
    ("eq 1% {tag: 42}", {"tag": 42}, lambda c: c["tag"] == 42),
    ("eq 0.1% {rare: 7}", {"rare": 7}, lambda c: c["rare"] == 7),
    (
        "range 10% price [10,20)",
        {"price": {"$gte": 10, "$lt": 20}},
        lambda c: (c["price"] >= 10) & (c["price"] < 20),
    ),
]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sections", default="synthetic,text,churn")
    p.add_argument("--n", type=int, default=100_000, help="records of the synthetic and update-churn sets")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--delete-n", type=int, default=400_000, help="records of the delete-churn set")
    p.add_argument("--efs", default="40,default", help="ef values of the filtered tables")
    p.add_argument("--churn-efs", default="10,40,default", help="ef values of the churn tables")
    p.add_argument(
        "--peer-queries",
        type=int,
        default=200,
        help="queries timed for the peers (hnswlib calls a Python filter per node)",
    )
    p.add_argument("--rounds", type=int, default=3, help="alternating timed rounds per cell (median kept)")
    p.add_argument("--text-dir", default=TEXT_DIR)
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def ef_value(e):
    return None if e == "default" else int(e)


def numpy_filtered(X, rows, k, metric):
    """Exact filtered search as an application would write it with NumPy:
    the eligible rows are gathered once, then each query is one mat-vec."""
    sub = X[rows]
    norms = np.einsum("ij,ij->i", sub, sub)

    def one(q):
        d = -(sub @ q) if metric == "cosine" else norms - 2.0 * (sub @ q)
        kk = min(k, d.shape[0])
        if kk == 0:
            return []
        part = np.argpartition(d, kk - 1)[:kk]
        return rows[part[np.argsort(d[part])]]

    return one


class Peers:
    """hnswlib and faiss HNSW indexes over the same vectors (either may be
    missing when the library is not installed)."""

    def __init__(self, a, X, metric):
        self.hnswlib = self.faiss = None
        n, dim = X.shape
        hnswlib = bd.import_hnswlib()
        if hnswlib is not None:
            self.hnswlib = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=dim)
            self.hnswlib.init_index(max_elements=n, ef_construction=a.ef_construction, M=a.m, random_seed=100)
            self.hnswlib.add_items(X, np.arange(n), num_threads=a.threads)
        faiss = bd.import_faiss(a.threads)
        if faiss is not None:
            self.faiss_mod = faiss
            kind = faiss.METRIC_INNER_PRODUCT if metric == "cosine" else faiss.METRIC_L2
            self.faiss = faiss.IndexHNSWFlat(dim, a.m, kind)
            self.faiss.hnsw.efConstruction = a.ef_construction
            self.faiss.add(X)
        self.n = n

    def searches(self, rows, k, ef):
        """Per-query search functions, name -> callable(q) -> labels."""
        out = {}
        if self.hnswlib is not None:
            allowed = None if rows is None else set(rows.tolist())
            fn = None if allowed is None else allowed.__contains__
            hi = self.hnswlib

            def hnsw_one(q):
                hi.set_ef(max(ef, k))
                return hi.knn_query(q, k=k, num_threads=1, filter=fn)[0][0]

            out["hnswlib"] = hnsw_one
        if self.faiss is not None:
            faiss = self.faiss_mod
            params = faiss.SearchParametersHNSW(efSearch=max(ef, k))
            if rows is not None:
                mask = np.zeros(self.n, bool)
                mask[rows] = True
                bits = np.packbits(mask, bitorder="little")
                sel = faiss.IDSelectorBitmap(self.n, faiss.swig_ptr(bits))
                params = faiss.SearchParametersHNSW(sel=sel, efSearch=max(ef, k))
                params._keep = (bits, sel)  # the selector reads these; keep them alive
            fi = self.faiss

            def faiss_one(q):
                labels = fi.search(q[None, :], k, params=params)[1][0]
                return labels[labels >= 0]

            out["faiss"] = faiss_one
        return out


def timed(fn, queries):
    tot, _, res = bd.time_single(fn, queries, warmup=min(20, len(queries)))
    return tot, res


def filtered_rows(a, label, db, peers, X, Q, metric, filters, cols, out_rows):
    """One table block: every filter at every ef, hovra beside the peers."""
    k = a.k
    n = len(X)
    for name, flt, pred in filters:
        if pred is None:
            rows, sel = None, 1.0
        else:
            mask = np.asarray(pred(cols))
            rows = np.flatnonzero(mask)
            sel = mask.mean()
            cnt = db.count(flt)
            if cnt != len(rows):
                bd.emit(f"MISMATCH: count({flt}) = {cnt}, NumPy says {len(rows)}")
        gt = bd.exact_knn(X, Q, k, candidates=rows)
        want = min(k, n if rows is None else len(rows))
        np_one = numpy_filtered(X, rows if rows is not None else np.arange(n), k, metric)
        nq_peer = min(a.peer_queries, len(Q))
        for e in a.efs.split(","):
            ef = ef_value(e)
            peer_fns = peers.searches(rows, k, ef if ef is not None else 200)
            runs = {
                "hovra": lambda: timed(lambda q: db.search(q, k=k, ef_search=ef, where_filter=flt), Q),
                "hovra batch": lambda: bd.time_best(
                    lambda: db.search_many(Q, k=k, ef_search=ef, where_filter=flt), repeat=1
                ),
                "numpy": lambda: timed(np_one, Q[:nq_peer]),
            }
            for pname, fn in peer_fns.items():
                runs[pname] = (lambda f: lambda: timed(f, Q[:nq_peer]))(fn)
            med = bd.interleaved_median(runs, rounds=a.rounds)
            res = med["hovra"][1]
            found = [bd.hovra_ids(r) for r in res]
            same = found == [bd.hovra_ids(r) for r in med["hovra batch"][1]]
            hits = np.array([len(f) for f in found])
            ok_filter = rows is None or all(int(i) in set(rows.tolist()) for f in found[:50] for i in f)
            row = dict(
                block=label,
                filt=name,
                sel=sel,
                ef=e,
                rec=bd.recall_at_k(found, gt, k),
                short=(hits < want).mean(),
                qps=len(Q) / med["hovra"][0],
                bqps=len(Q) / med["hovra batch"][0],
                np_qps=nq_peer / med["numpy"][0],
                flags=("" if same else "search_many!=search ") + ("" if ok_filter else "FILTER VIOLATED"),
            )
            for pname in ("hnswlib", "faiss"):
                if pname in med:
                    pres = [list(r) for r in med[pname][1]]
                    row[pname] = (
                        bd.recall_at_k(pres, gt[:nq_peer], k),
                        float(np.mean([len(r) < want for r in pres])),
                        nq_peer / med[pname][0],
                    )
            out_rows.append(row)


def render_filtered(rows):
    t = bd.Table(
        [
            "set",
            "filter",
            "sel",
            "ef",
            "recall",
            "short",
            "1-q QPS",
            "batch QPS",
            "numpy QPS",
            "hnswlib recall",
            "short",
            "QPS",
            "faiss recall",
            "short",
            "QPS",
            "notes",
        ]
    )
    last = None
    for r in rows:
        if last is not None and r["block"] != last:
            t.sep()
        last = r["block"]
        cells = [
            r["block"],
            r["filt"],
            f"{100 * r['sel']:.2f}%",
            r["ef"],
            f"{r['rec']:.4f}",
            f"{100 * r['short']:.1f}%",
            f"{r['qps']:,.0f}",
            f"{r['bqps']:,.0f}",
            f"{r['np_qps']:,.0f}",
        ]
        for pname in ("hnswlib", "faiss"):
            if pname in r:
                rec, short, qps = r[pname]
                cells += [f"{rec:.4f}", f"{100 * short:.1f}%", f"{qps:,.0f}"]
            else:
                cells += ["-", "-", "-"]
        t.add(*cells, r["flags"])
    return t.render()


def synthetic_section(a, Database, rows):
    X, Q = bd.make_clustered(a.n, a.dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    cols, metas = bd.make_metadata(a.n, a.seed + 1)
    with bd.scratch_dir(a.workdir) as work:
        db = Database(
            os.path.join(work, "db"), dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        t0 = bd.perf()
        db.add_many([str(i) for i in range(a.n)], X, metas)
        t_build = bd.perf() - t0
        assert db.stats()["uses_brute_force"] is False
        peers = Peers(a, X, "euclidean")
        bd.emit(f"### synthetic {a.n:,} x {a.dim}: hovra build with metadata {t_build:.1f} s")
        filtered_rows(
            a, f"synthetic {a.n // 1000}k", db, peers, X, Q, "euclidean", SYNTHETIC_FILTERS, cols, rows
        )
        del db


def load_text(text_dir):
    def rows_of(name):
        v = np.load(os.path.join(text_dir, name)).astype(np.float32)
        return v / np.linalg.norm(v, axis=1, keepdims=True)

    X, Q = rows_of("base-f16.npy"), rows_of("queries-f16.npy")
    with gzip.open(os.path.join(text_dir, "meta.json.gz"), "rt") as f:
        meta = json.load(f)
    return X, Q, meta


def text_section(a, Database, rows):
    if not os.path.isdir(a.text_dir):
        bd.emit(f"### text set not found at {a.text_dir}; section skipped")
        return
    X, Q, meta = load_text(a.text_dir)
    section = np.array([m["section"] for m in meta])
    # a few packages have no installed_size: NaN, which no range holds
    size = np.array([float(m.get("installed_size", "nan")) for m in meta])
    cols = {"section": section, "installed_size": size}
    metas = [{k: m[k] for k in ("section", "installed_size") if k in m} for m in meta]
    lo, hi = 4096, 16384
    filters = [
        ("none", None, None),
        ('section "libs"', {"section": "libs"}, lambda c: c["section"] == "libs"),
        ('section "hamradio"', {"section": "hamradio"}, lambda c: c["section"] == "hamradio"),
        (
            f"installed_size [{lo},{hi})",
            {"installed_size": {"$gte": lo, "$lt": hi}},
            lambda c: (c["installed_size"] >= lo) & (c["installed_size"] < hi),
        ),
    ]
    with bd.scratch_dir(a.workdir) as work:
        db = Database(
            os.path.join(work, "db"),
            dim=X.shape[1],
            metric="cosine",
            m=a.m,
            ef_construction=a.ef_construction,
        )
        t0 = bd.perf()
        db.add_many([str(i) for i in range(len(X))], X, metas)
        t_build = bd.perf() - t0
        assert db.stats()["uses_brute_force"] is False
        peers = Peers(a, X, "cosine")
        bd.emit(f"### text {len(X):,} x {X.shape[1]} (cosine): hovra build with metadata {t_build:.1f} s")
        filtered_rows(a, "debian-minilm", db, peers, X, Q, "cosine", filters, cols, rows)
        del db


def recall_table(db, X, live, Q, k, efs):
    gt = bd.exact_knn(X, Q, k, candidates=live)
    out = {}
    for e in efs:
        ef = ef_value(e)
        tot, _, res = bd.time_single(lambda q: db.search(q, k=k, ef_search=ef), Q)
        found = [bd.hovra_ids(r) for r in res]
        out[e] = (bd.recall_at_k(found, gt, k), float(np.mean([len(f) < k for f in found])), len(Q) / tot)
    return out


def churn_section(a, Database):
    efs = a.churn_efs.split(",")
    k = a.k
    t = bd.Table(["run", "state", "ef", "recall", "short", "1-q QPS", "min_degree_layer0", "notes"])
    X, Q = bd.make_clustered(a.n, a.dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    rng = np.random.default_rng(a.seed + 2)
    ids = [str(i) for i in range(a.n)]
    with bd.scratch_dir(a.workdir) as work:
        db = Database(
            os.path.join(work, "upd"), dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        db.add_many(ids, X)
        live = np.arange(a.n)
        t_upd = []
        for r in range(3):
            # half the records move to draws around new cluster centres (another seed)
            moved = rng.choice(a.n, a.n // 2, replace=False)
            fresh = bd.make_clustered(
                len(moved), a.dim, 1, a.clusters, a.spread, a.seed + 10 + r, a.intrinsic
            )[0]
            t0 = bd.perf()
            for i, v in zip(moved, fresh):
                db.update(ids[i], v)
            t_upd.append(bd.perf() - t0)
            X[moved] = fresh
            res = recall_table(db, X, live, Q, k, efs)
            for e in efs:
                rec, short, qps = res[e]
                t.add(
                    "update churn",
                    f"after round {r + 1}",
                    e,
                    f"{rec:.4f}",
                    f"{100 * short:.1f}%",
                    f"{qps:,.0f}",
                    str(db.stats()["min_degree_layer0"]),
                    f"{len(moved):,} updates in {t_upd[-1]:.1f} s",
                )
        rebuilt = Database(
            os.path.join(work, "fresh"),
            dim=a.dim,
            metric="euclidean",
            m=a.m,
            ef_construction=a.ef_construction,
        )
        rebuilt.add_many(ids, X)
        res = recall_table(rebuilt, X, live, Q, k, efs)
        for e in efs:
            rec, short, qps = res[e]
            t.add(
                "update churn",
                "fresh build of final vectors",
                e,
                f"{rec:.4f}",
                f"{100 * short:.1f}%",
                f"{qps:,.0f}",
                str(rebuilt.stats()["min_degree_layer0"]),
                "",
            )
        del db, rebuilt
        t.sep()

        n = a.delete_n
        X, Q = bd.make_clustered(n, a.dim, a.queries, a.clusters, a.spread, a.seed + 3, a.intrinsic)
        db = Database(
            os.path.join(work, "del"), dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        db.add_many([str(i) for i in range(n)], X)
        gone = rng.choice(n, n * 3 // 4, replace=False)
        t0 = bd.perf()
        for i in gone:
            db.delete(str(i))
        t_del = bd.perf() - t0
        live = np.setdiff1d(np.arange(n), gone)
        st = db.stats()
        assert st["uses_brute_force"] is False, st
        res = recall_table(db, X, live, Q, k, efs)
        for e in efs:
            rec, short, qps = res[e]
            t.add(
                "delete churn",
                f"{len(gone):,} of {n:,} deleted",
                e,
                f"{rec:.4f}",
                f"{100 * short:.1f}%",
                f"{qps:,.0f}",
                str(st["min_degree_layer0"]),
                f"deletes {t_del:.1f} s, no compaction",
            )
        del db
    bd.emit()
    bd.emit(t.render())


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    sections = a.sections.split(",")
    bd.emit(
        bd.header(
            "hovra filtered search and churn: graph path",
            [
                f"synthetic : {a.n:,} x {a.dim} float32, {a.queries:,} queries, {a.clusters} Gaussian clusters "
                f"(spread {a.spread}); metadata half 0..1, cat 0..9, tag 0..99, rare 0..999, price uniform [0,100)",
                "text      : Debian package descriptions, all-MiniLM-L6-v2, 59,021 x 384, 1,000 held-out queries, "
                "cosine",
                f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}, k={a.k}; "
                "'default' ef is hovra's own (200 for k=10), peers get 200",
                "truth     : exact filtered top-k (NumPy, float64); recall = |found ∩ truth| / |truth|",
                "short     : share of queries with fewer than min(k, matching records) hits",
                "numpy     : exact scan of the pre-gathered matching rows, one mat-vec per query",
                f"hnswlib   : knn_query(filter=set.__contains__, num_threads=1); faiss: IndexHNSWFlat with "
                f"IDSelectorBitmap, one query per call; peers time the first {a.peer_queries} queries",
                f"QPS       : 1-q = Python loop of search; batch = search_many; medians of {a.rounds} rounds, "
                "systems alternating",
            ],
        )
    )
    rows = []
    if "synthetic" in sections:
        synthetic_section(a, Database, rows)
    if "text" in sections:
        text_section(a, Database, rows)
    if rows:
        bd.emit()
        bd.emit(render_filtered(rows))
    if "churn" in sections:
        churn_section(a, Database)


if __name__ == "__main__":
    main()
