"""HNSW graph search: hovra against hnswlib on the same data.

Both indexes are built with m = 16, ef_construction = 200 and the same number
of threads, then queried with the same ef values, one query at a time from a
Python loop and as one batch.  The data set is large enough (n * dim >= 10M)
for hovra to walk its graph instead of scanning exhaustively.

    python3 benchmarks/bench_hnsw.py [--n 100000] [--dim 128] [--queries 1000] [--threads 2]
"""

from __future__ import annotations

import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--efs", default="10,20,50,100,200", help="ef values of the main table")
    p.add_argument(
        "--sweep",
        default="10,15,20,30,40,50,60,80,100,120,150,200,300,400,600,800",
        help="ef grid searched for the recall-matched comparison",
    )
    p.add_argument("--targets", default="0.90,0.95", help="recall targets")
    p.add_argument(
        "--rounds",
        type=int,
        default=3,
        help="timed rounds per measurement, alternating the systems; the best is kept",
    )
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    hnswlib = bd.import_hnswlib()
    if hnswlib is None:
        sys.exit("hnswlib is not installed: pip install hnswlib (or pip install .[bench])")
    efs = [int(x) for x in a.efs.split(",")]
    sweep = sorted(set(int(x) for x in a.sweep.split(",")) | set(efs))
    targets = [float(x) for x in a.targets.split(",")]
    k = a.k

    t0 = bd.perf()
    X, Q = bd.make_clustered(a.n, a.dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    t_gen = bd.perf() - t0
    t0 = bd.perf()
    gt = bd.exact_knn(X, Q, k)
    t_gt = bd.perf() - t0

    bd.emit(
        bd.header(
            "hovra vs hnswlib: HNSW build and search (euclidean)",
            [
                f"data      : {a.n:,} x {a.dim} float32 base, {a.queries:,} queries; mixture of "
                f"{a.clusters} Gaussian clusters (centres N(0,1), spread {a.spread}), seed {a.seed}"
                + (f", drawn in {a.intrinsic} dims and rotated into {a.dim}" if a.intrinsic else ""),
                f"truth     : exact top-{k} by NumPy brute force in float64 ({t_gt:.1f} s; data {t_gen:.1f} s)",
                f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads} "
                f"(hovra RAYON_NUM_THREADS, hnswlib num_threads)",
                "single    : Python loop, one call per query (hovra search / hnswlib knn_query num_threads=1)",
                "batch     : hovra search_many / hnswlib knn_query on the whole query matrix",
                f"timing    : best of {a.rounds} rounds per cell, the two systems alternating; "
                f"50 warm-up queries before each single-query loop",
                "ratios    : hovra/hnswlib; for QPS >1 means hovra is faster, for times >1 means hovra is slower",
            ],
        )
    )

    with bd.scratch_dir(a.workdir) as work:
        # ---------------------------------------------------------------- build
        ids = [str(i) for i in range(a.n)]
        db = Database(
            os.path.join(work, "db"), dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        t0 = bd.perf()
        db.add_many(ids, X)
        t_hovra = bd.perf() - t0
        st = db.stats()

        hi = hnswlib.Index(space="l2", dim=a.dim)
        hi.init_index(max_elements=a.n, ef_construction=a.ef_construction, M=a.m, random_seed=100)
        t0 = bd.perf()
        hi.add_items(X, list(range(a.n)), num_threads=a.threads)
        t_hnsw = bd.perf() - t0

        bd.emit(
            f"hovra graph: layers={st['num_layers']}, avg layer-0 degree={st['avg_degree_layer0']:.2f}, "
            f"min/max={st['min_degree_layer0']}/{st['max_degree_layer0']}, "
            f"uses_brute_force={st['uses_brute_force']}"
        )
        if st["uses_brute_force"]:
            bd.emit("WARNING: n*dim < 10,000,000 - hovra scans exhaustively, the graph is not measured")
        bd.emit()
        t = bd.Table(["build", "seconds", "vectors/s", "ratio hovra/hnswlib"])
        t.add(
            "hovra add_many (incl. log append)",
            f"{t_hovra:.2f}",
            f"{a.n / t_hovra:,.0f}",
            f"{t_hovra / t_hnsw:.2f}x",
        )
        t.add("hnswlib add_items", f"{t_hnsw:.2f}", f"{a.n / t_hnsw:,.0f}", "")
        bd.emit(t.render())
        bd.emit()

        # ------------------------------------------------------------ searchers
        def hovra_single(ef):
            return lambda q: db.search(q, k=k, ef_search=ef)

        def hnsw_single(ef):
            hi.set_ef(ef)
            return lambda q: hi.knn_query(q, k=k, num_threads=1)[0][0]

        def hovra_batch(ef):
            return lambda: db.search_many(Q, k=k, ef_search=ef)

        def hnsw_batch(ef):
            hi.set_ef(ef)
            return lambda: hi.knn_query(Q, k=k, num_threads=a.threads)[0]

        def single(search):
            tot, lat, res = bd.time_single(search, Q)
            return tot, (lat, res)

        def hovra_recall(res):
            return bd.recall_at_k([bd.hovra_ids(r) for r in res], gt, k)

        # ------------------------------------------------------ main ef table
        t = bd.Table(
            [
                "ef",
                "recall hovra",
                "recall hnswlib",
                "1-q QPS hovra",
                "1-q QPS hnswlib",
                "ratio",
                "p50 us hovra",
                "p50 us hnswlib",
                "batch QPS hovra",
                "batch QPS hnswlib",
                "ratio",
            ]
        )
        mismatch = []
        for ef in efs:
            best = bd.interleaved_best(
                {
                    "h1": lambda: single(hovra_single(ef)),
                    "p1": lambda: single(hnsw_single(ef)),
                    "hb": lambda: bd.time_best(hovra_batch(ef), repeat=1),
                    "pb": lambda: bd.time_best(hnsw_batch(ef), repeat=1),
                },
                a.rounds,
            )
            tot_h, (lat_h, res_h) = best["h1"]
            tot_p, (lat_p, res_p) = best["p1"]
            bt_h, bres_h = best["hb"]
            bt_p, _ = best["pb"]
            rec_h = hovra_recall(res_h)
            rec_p = bd.recall_at_k(res_p, gt, k)
            if [bd.hovra_ids(r) for r in bres_h] != [bd.hovra_ids(r) for r in res_h]:
                mismatch.append(ef)
            qh, qp = a.queries / tot_h, a.queries / tot_p
            bh, bp = a.queries / bt_h, a.queries / bt_p
            t.add(
                str(ef),
                f"{rec_h:.4f}",
                f"{rec_p:.4f}",
                f"{qh:,.0f}",
                f"{qp:,.0f}",
                f"{qh / qp:.2f}x",
                f"{1e6 * float(bd.np.median(lat_h)):.0f}",
                f"{1e6 * float(bd.np.median(lat_p)):.0f}",
                f"{bh:,.0f}",
                f"{bp:,.0f}",
                f"{bh / bp:.2f}x",
            )
        bd.emit(f"search, k={k} (QPS ratios hovra/hnswlib: >1 = hovra faster)")
        bd.emit(t.render())
        if mismatch:
            bd.emit(f"NOTE: hovra search_many differed from search for ef in {mismatch}")
        bd.emit()

        # ------------------------------------------------------ recall sweep
        curve_h, curve_p = {}, {}
        for ef in sweep:
            curve_h[ef] = hovra_recall(db.search_many(Q, k=k, ef_search=ef))
            hi.set_ef(ef)
            curve_p[ef] = bd.recall_at_k(hi.knn_query(Q, k=k, num_threads=a.threads)[0], gt, k)
        t = bd.Table(["ef"] + [str(ef) for ef in sweep])
        t.add("hovra", *[f"{curve_h[ef]:.3f}" for ef in sweep])
        t.add("hnswlib", *[f"{curve_p[ef]:.3f}" for ef in sweep])
        bd.emit("recall@%d by ef (batch search)" % k)
        bd.emit(t.render())
        bd.emit()

        # ------------------------------------------------- recall-matched rows
        def first_ef(curve, target):
            for ef in sweep:
                if curve[ef] >= target:
                    return ef
            return None

        t = bd.Table(
            [
                "target",
                "system",
                "ef",
                "recall",
                "1-q mean us",
                "1-q p99 us",
                "batch QPS",
                "latency ratio hovra/hnswlib",
                "batch QPS ratio",
            ]
        )
        for target in targets:
            eh, ep = first_ef(curve_h, target), first_ef(curve_p, target)
            row_h = row_p = None
            runs = {}
            if eh is not None:
                runs["h1"] = lambda: single(hovra_single(eh))
                runs["hb"] = lambda: bd.time_best(hovra_batch(eh), repeat=1)
            if ep is not None:
                runs["p1"] = lambda: single(hnsw_single(ep))
                runs["pb"] = lambda: bd.time_best(hnsw_batch(ep), repeat=1)
            best = bd.interleaved_best(runs, a.rounds)
            if eh is not None:
                tot, (lat, _) = best["h1"]
                row_h = (
                    eh,
                    curve_h[eh],
                    1e6 * tot / a.queries,
                    1e6 * float(bd.np.percentile(lat, 99)),
                    a.queries / best["hb"][0],
                )
            if ep is not None:
                tot, (lat, _) = best["p1"]
                row_p = (
                    ep,
                    curve_p[ep],
                    1e6 * tot / a.queries,
                    1e6 * float(bd.np.percentile(lat, 99)),
                    a.queries / best["pb"][0],
                )
            if row_h:
                lr = f"{row_h[2] / row_p[2]:.2f}x" if row_p else "-"
                qr = f"{row_h[4] / row_p[4]:.2f}x" if row_p else "-"
                t.add(
                    f"{target:.2f}",
                    "hovra",
                    str(row_h[0]),
                    f"{row_h[1]:.4f}",
                    f"{row_h[2]:.0f}",
                    f"{row_h[3]:.0f}",
                    f"{row_h[4]:,.0f}",
                    lr,
                    qr,
                )
            else:
                best = max(sweep, key=lambda e: curve_h[e])
                t.add(
                    f"{target:.2f}",
                    "hovra",
                    "not reached",
                    f"max {curve_h[best]:.4f} @ ef {best}",
                    "-",
                    "-",
                    "-",
                    "-",
                    "-",
                )
            if row_p:
                t.add(
                    "",
                    "hnswlib",
                    str(row_p[0]),
                    f"{row_p[1]:.4f}",
                    f"{row_p[2]:.0f}",
                    f"{row_p[3]:.0f}",
                    f"{row_p[4]:,.0f}",
                    "",
                    "",
                )
            else:
                best = max(sweep, key=lambda e: curve_p[e])
                t.add(
                    "",
                    "hnswlib",
                    "not reached",
                    f"max {curve_p[best]:.4f} @ ef {best}",
                    "-",
                    "-",
                    "-",
                    "",
                    "",
                )
        bd.emit("recall-matched: smallest ef of the sweep reaching the target, single-query latency there")
        bd.emit(t.render())
        del db


if __name__ == "__main__":
    main()
