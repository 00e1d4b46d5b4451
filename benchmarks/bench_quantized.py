"""SQ8 quantized graph search: hovra quantized vs hovra full precision vs
faiss IndexHNSWSQ (8-bit).

hovra walks the graph on 8-bit codes and re-scores the beam at full
precision; faiss IndexHNSWSQ walks and ranks on the codes alone.  Each
configuration is large enough (n * dim >= 10M) for hovra to use its graph.

    python3 benchmarks/bench_quantized.py [--configs 100000x128,20000x768] [--queries 1000] [--threads 2]
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--configs", default="100000x128,20000x768", help="comma-separated NxDIM")
    p.add_argument("--efs", default="50,100,200,400", help="ef values; 200 is hovra's default for k=10")
    p.add_argument(
        "--rounds",
        type=int,
        default=3,
        help="timed rounds per measurement, alternating the variants; the best is kept",
    )
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def run_config(a, n, dim, Database, faiss, summary):
    k = a.k
    efs = [int(x) for x in a.efs.split(",")]
    X, Q = bd.make_clustered(n, dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    t0 = bd.perf()
    gt = bd.exact_knn(X, Q, k)
    t_gt = bd.perf() - t0
    bd.emit(f"### {n:,} x {dim}, {a.queries:,} queries (truth {t_gt:.1f} s)")

    with bd.scratch_dir(a.workdir) as work:
        db = Database(
            os.path.join(work, "db"), dim=dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        t0 = bd.perf()
        db.add_many([str(i) for i in range(n)], X)
        t_build = bd.perf() - t0
        st = db.stats()
        if st["uses_brute_force"]:
            bd.emit("WARNING: n*dim < 10,000,000 - hovra scans exhaustively here")
        t0 = bd.perf()
        db.enable_quantized_search()
        t_enable = bd.perf() - t0
        st_q = db.stats()
        assert st_q["uses_quantized_search"], "enable_quantized_search did not switch the quantizer on"

        index = None
        t_faiss = None
        if faiss is not None:
            index = faiss.IndexHNSWSQ(dim, faiss.ScalarQuantizer.QT_8bit, a.m)
            index.hnsw.efConstruction = a.ef_construction
            faiss.omp_set_num_threads(a.threads)
            t0 = bd.perf()
            index.train(X)
            index.add(X)
            t_faiss = bd.perf() - t0

        def hovra_runs(quantized, ef):
            def switch():
                if quantized and not db.quantized_search:
                    db.enable_quantized_search()
                elif not quantized and db.quantized_search:
                    db.disable_quantized_search()

            def one():
                switch()
                tot, _lat, res = bd.time_single(lambda q: db.search(q, k=k, ef_search=ef), Q)
                return tot, res

            def batch():
                switch()
                return bd.time_best(lambda: db.search_many(Q, k=k, ef_search=ef), repeat=1)

            return one, batch

        def faiss_runs(ef):
            def one():
                index.hnsw.efSearch = ef
                faiss.omp_set_num_threads(1)
                tot, _lat, res = bd.time_single(lambda q: index.search(q[None, :], k)[1][0], Q)
                faiss.omp_set_num_threads(a.threads)
                return tot, res

            def batch():
                index.hnsw.efSearch = ef
                return bd.time_best(lambda: index.search(Q, k), repeat=1)

            return one, batch

        full, quant, fa = {}, {}, {}
        for ef in efs:
            runs = {}
            runs["f1"], runs["fb"] = hovra_runs(False, ef)
            runs["q1"], runs["qb"] = hovra_runs(True, ef)
            if index is not None:
                runs["x1"], runs["xb"] = faiss_runs(ef)
            best = bd.interleaved_best(runs, a.rounds)

            def pack(one, batch, ids_of):
                tot, res = best[one]
                return (
                    bd.recall_at_k([ids_of(r) for r in res], gt, k),
                    a.queries / tot,
                    a.queries / best[batch][0],
                )

            full[ef] = pack("f1", "fb", bd.hovra_ids)
            quant[ef] = pack("q1", "qb", bd.hovra_ids)
            if index is not None:
                fa[ef] = pack("x1", "xb", lambda r: r)
        del db, index

    t = bd.Table(["build", "seconds", "code bytes", "code MiB", "ratio hovra/faiss"])
    t.add(
        "hovra add_many (full precision)",
        f"{t_build:.2f}",
        "-",
        "-",
        f"{t_build / t_faiss:.2f}x" if t_faiss else "-",
    )
    t.add(
        "hovra enable_quantized_search",
        f"{t_enable:.2f}",
        f"{st_q['memory_quantized_bytes']:,}",
        bd.mib(st_q["memory_quantized_bytes"]),
        f"{st_q['memory_quantized_bytes'] / (n * dim):.3f}x" if faiss else "-",
    )
    if t_faiss is not None:
        t.add("faiss IndexHNSWSQ train+add", f"{t_faiss:.2f}", f"{n * dim:,}", bd.mib(n * dim), "")
    bd.emit(
        f"full-precision vectors: {st['memory_vectors_bytes']:,} bytes; "
        f"graph {st['memory_graph_bytes']:,} bytes"
    )
    bd.emit(t.render())
    bd.emit()

    t = bd.Table(
        [
            "ef",
            "variant",
            "recall@%d" % k,
            "1-q QPS",
            "batch QPS",
            "1-q vs hovra full",
            "batch vs hovra full",
            "1-q vs faiss SQ8",
            "batch vs faiss SQ8",
        ]
    )
    for ef in efs:
        rf, sf, bf = full[ef]
        rq, sq, bq = quant[ef]
        t.add(
            str(ef) + (" (default)" if ef == 200 else ""),
            "hovra full",
            f"{rf:.4f}",
            f"{sf:,.0f}",
            f"{bf:,.0f}",
            "1.00x",
            "1.00x",
            f"{sf / fa[ef][1]:.2f}x" if ef in fa else "-",
            f"{bf / fa[ef][2]:.2f}x" if ef in fa else "-",
        )
        t.add(
            "",
            "hovra SQ8",
            f"{rq:.4f}",
            f"{sq:,.0f}",
            f"{bq:,.0f}",
            f"{sq / sf:.2f}x",
            f"{bq / bf:.2f}x",
            f"{sq / fa[ef][1]:.2f}x" if ef in fa else "-",
            f"{bq / fa[ef][2]:.2f}x" if ef in fa else "-",
        )
        if ef in fa:
            r, s, b = fa[ef]
            t.add(
                "",
                "faiss SQ8",
                f"{r:.4f}",
                f"{s:,.0f}",
                f"{b:,.0f}",
                f"{s / sf:.2f}x",
                f"{b / bf:.2f}x",
                "",
                "",
            )
        t.sep()
    bd.emit("QPS ratios: >1 means the row's variant is faster than the column's reference")
    bd.emit(t.render())
    bd.emit()

    ref_ef = 200 if 200 in efs else efs[len(efs) // 2]
    sf, sq = full[ref_ef][1], quant[ref_ef][1]
    summary.append((n, dim, ref_ef, sf, sq, full[ref_ef][0], quant[ref_ef][0]))


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    faiss = bd.import_faiss(a.threads)
    configs = bd.parse_configs(a.configs)

    bd.emit(
        bd.header(
            "hovra SQ8 quantized search vs full precision vs faiss IndexHNSWSQ (euclidean)",
            [
                f"data      : {', '.join(f'{n:,} x {d}' for n, d in configs)} float32; {a.queries:,} queries; "
                f"{a.clusters} Gaussian clusters (spread {a.spread}), seed {a.seed}",
                f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}; "
                f"faiss QT_8bit, efSearch = ef",
                "hovra SQ8 : enable_quantized_search on the same graph; walk on codes, beam re-scored in float32",
                "faiss SQ8 : walk and ranking on codes only (no re-scoring)",
                "single    : Python loop (faiss with 1 OpenMP thread); batch: search_many / index.search",
                f"timing    : best of {a.rounds} rounds per cell, variants alternating (quantizer toggled "
                f"between rounds)",
                "code size : hovra stats()['memory_quantized_bytes'] (codes + codebook); faiss n*dim",
            ]
            + ([] if faiss else ["faiss-cpu is not installed: its rows are omitted"]),
        )
    )

    summary = []
    for n, dim in configs:
        run_config(a, n, dim, Database, faiss, summary)

    bd.emit("summary: is quantized traversal faster than full precision? (single-query QPS)")
    t = bd.Table(["data", "ef", "full QPS", "SQ8 QPS", "SQ8/full", "recall full", "recall SQ8", "verdict"])
    for n, dim, ef, sf, sq, rf, rq in summary:
        t.add(
            f"{n:,} x {dim}",
            str(ef),
            f"{sf:,.0f}",
            f"{sq:,.0f}",
            f"{sq / sf:.2f}x",
            f"{rf:.4f}",
            f"{rq:.4f}",
            "faster" if sq > sf else "slower",
        )
    bd.emit(t.render())


if __name__ == "__main__":
    main()
