"""Filtered search: hovra where_filter on the exhaustive path and on the graph
path, against exact NumPy results and hnswlib's filtered knn_query.

Below live_count * dim = 10M hovra scans every eligible record, which is
exact; above it hovra walks the graph with a beam of max(ef, 4k) and keeps
the beam members that pass the filter, so selective filters can return fewer
than k hits.  hnswlib instead keeps searching until it holds k passing
records (its filter is a Python callable, checked per visited node).

    python3 benchmarks/bench_filtered.py [--configs 50000x128,100000x128] [--queries 1000] [--threads 2]
"""
from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np


FILTERS = [
    ("none", None, None),
    ("eq ~10% {cat: 3}", {"cat": 3}, lambda m: m["cat"] == 3),
    ("eq ~1% {tag: 42}", {"tag": 42}, lambda m: m["tag"] == 42),
    ("range ~10% price in [10,20)", {"price": {"$gte": 10, "$lt": 20}},
     lambda m: (m["price"] >= 10) & (m["price"] < 20)),
]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--configs", default="50000x128,100000x128", help="comma-separated NxDIM")
    p.add_argument("--peer-queries", type=int, default=300,
                   help="queries timed for hnswlib's filtered search (Python callback per node)")
    p.add_argument("--graph-efs", default="default,1000",
                   help="ef values on the graph path ('default' = hovra's own choice, 200 for k=10)")
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def numpy_filtered(X, Q, rows, k):
    """Exact filtered search the way an application would do it with NumPy:
    the eligible rows are gathered once, then each query is one mat-vec."""
    sub = X[rows]
    norms = np.einsum("ij,ij->i", sub, sub)

    def one(q):
        d = norms - 2.0 * (sub @ q)
        kk = min(k, d.shape[0])
        if kk == 0:
            return []
        part = np.argpartition(d, kk - 1)[:kk]
        return rows[part[np.argsort(d[part])]]
    return one


def run_config(a, n, dim, Database, hnswlib, out_rows):
    k = a.k
    X, Q = bd.make_clustered(n, dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    cols, metas = bd.make_metadata(n, a.seed + 1)
    ids = [str(i) for i in range(n)]
    path = "exhaustive" if n * dim < 10_000_000 else "graph"
    efs = [None] if path == "exhaustive" else \
        [None if e == "default" else int(e) for e in a.graph_efs.split(",")]

    with bd.scratch_dir(a.workdir) as work:
        db = Database(os.path.join(work, "db"), dim=dim, metric="euclidean",
                      m=a.m, ef_construction=a.ef_construction)
        t0 = bd.perf()
        db.add_many(ids, X, metas)
        t_build = bd.perf() - t0
        st = db.stats()
        assert st["uses_brute_force"] == (path == "exhaustive"), st

        hi = None
        if hnswlib is not None:
            hi = hnswlib.Index(space="l2", dim=dim)
            hi.init_index(max_elements=n, ef_construction=a.ef_construction, M=a.m, random_seed=100)
            hi.add_items(X, list(range(n)), num_threads=a.threads)

        bd.emit(f"### {n:,} x {dim}: hovra {path} path (uses_brute_force={st['uses_brute_force']}), "
                f"build with metadata {t_build:.1f} s")
        for name, flt, pred in FILTERS:
            if pred is None:
                rows = None
                sel = 1.0
            else:
                mask = pred(cols)
                rows = np.flatnonzero(mask)
                sel = mask.mean()
                cnt = db.count(flt)
                if cnt != len(rows):
                    bd.emit(f"MISMATCH: count({flt}) = {cnt}, NumPy says {len(rows)}")
            gt = bd.exact_knn(X, Q, k, candidates=rows)
            allowed = None if rows is None else set(rows.tolist())

            # NumPy exact baseline (single thread of Python, BLAS for the mat-vec)
            np_one = numpy_filtered(X, Q, rows if rows is not None else np.arange(n), k)
            nq_np = min(a.queries, 300)
            tot_np, _, _ = bd.time_single(np_one, Q[:nq_np])
            qps_np = nq_np / tot_np

            for ef in efs:
                tot, lat, res = bd.time_single(
                    lambda q: db.search(q, k=k, ef_search=ef, where_filter=flt), Q)
                bt, bres = bd.time_best(
                    lambda: db.search_many(Q, k=k, ef_search=ef, where_filter=flt), repeat=2)
                found = [bd.hovra_ids(r) for r in res]
                same = found == [bd.hovra_ids(r) for r in bres]
                rec = bd.recall_at_k(found, gt, k)
                hits = np.array([len(f) for f in found])
                ok_filter = rows is None or all(int(i) in allowed for f in found for i in f)
                qps = a.queries / tot
                bqps = a.queries / bt

                p_rec = p_qps = p_hits = None
                if hi is not None:
                    ef_p = ef if ef is not None else 200
                    hi.set_ef(max(ef_p, k))
                    nq = min(a.peer_queries, a.queries)
                    fn = None if allowed is None else allowed.__contains__
                    tot_p, _, res_p = bd.time_single(
                        lambda q: hi.knn_query(q, k=k, num_threads=1, filter=fn)[0][0], Q[:nq])
                    p_rec = bd.recall_at_k(res_p, gt[:nq], k)
                    p_hits = float(np.mean([len(r) for r in res_p]))
                    p_qps = nq / tot_p
                out_rows.append(dict(
                    path=f"{path} {n // 1000}k", filt=name, sel=sel,
                    ef="default" if ef is None else str(ef),
                    rec=rec, hits=hits.mean(), short=(hits < min(k, len(rows) if rows is not None else k)).mean(),
                    qps=qps, bqps=bqps, np_qps=qps_np, p_rec=p_rec, p_qps=p_qps, p_hits=p_hits,
                    flags=("" if same else "search_many!=search ") + ("" if ok_filter else "FILTER VIOLATED")))
        del db


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    hnswlib = bd.import_hnswlib()
    configs = bd.parse_configs(a.configs)

    bd.emit(bd.header(
        "hovra filtered search: exhaustive and graph paths (euclidean)",
        [
            f"data      : {', '.join(f'{n:,} x {d}' for n, d in configs)} float32, {a.queries:,} queries, "
            f"{a.clusters} Gaussian clusters (spread {a.spread}); metadata cat in 0..9, tag in 0..99, "
            f"price uniform [0,100)",
            f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}, k={a.k}",
            "truth     : exact filtered top-k (NumPy, float64); recall = |found ∩ truth| / |truth|",
            "hits      : mean hits returned per query; 'short' = share of queries with fewer than k hits",
            "numpy     : exact scan of the pre-gathered eligible rows, one mat-vec per query (Python loop)",
            f"hnswlib   : knn_query(filter=set.__contains__, num_threads=1), same ef; first "
            f"{a.peer_queries} queries",
            "QPS       : single = Python loop of search; batch = search_many; ratios hovra single / peer",
        ]))

    rows = []
    for n, dim in configs:
        run_config(a, n, dim, Database, hnswlib, rows)

    bd.emit()
    t = bd.Table(["path", "filter", "sel", "ef", "recall", "hits", "short",
                  "1-q QPS", "batch QPS", "numpy QPS", "vs numpy",
                  "hnswlib recall", "hnswlib hits", "hnswlib QPS", "vs hnswlib", "notes"])
    last = None
    for r in rows:
        if last is not None and r["path"] != last:
            t.sep()
        last = r["path"]
        t.add(r["path"], r["filt"], f"{100 * r['sel']:.1f}%", r["ef"], f"{r['rec']:.4f}",
              f"{r['hits']:.2f}", f"{100 * r['short']:.0f}%",
              f"{r['qps']:,.0f}", f"{r['bqps']:,.0f}", f"{r['np_qps']:,.0f}",
              f"{r['qps'] / r['np_qps']:.2f}x",
              "-" if r["p_rec"] is None else f"{r['p_rec']:.4f}",
              "-" if r["p_hits"] is None else f"{r['p_hits']:.2f}",
              "-" if r["p_qps"] is None else f"{r['p_qps']:,.0f}",
              "-" if r["p_qps"] is None else f"{r['qps'] / r['p_qps']:.2f}x",
              r["flags"] or "")
    bd.emit(t.render())
    short = [r for r in rows if r["short"] > 0]
    if short:
        bd.emit()
        bd.emit("fewer than k hits returned:")
        for r in short:
            bd.emit(f"  {r['path']}, {r['filt']}, ef {r['ef']}: {100 * r['short']:.0f}% of queries short, "
                    f"mean {r['hits']:.2f} hits of {a.k}")


if __name__ == "__main__":
    main()
