#!/usr/bin/env python3
"""One-bit codes against full precision and SQ8 on the real set (or the
synthetic clustered set of bench_peers.py), and usearch b1.

hovra's three search modes (full precision, SQ8, one-bit codes) on copies of
one index, interleaved in rounds in this process: recall@10 and queries per
second of process CPU time (median over rounds) per ef_search. Then usearch's
b1 index over the same sign bits (about the rows' mean), Hamming walk: its
own recall@10, and with its top ef re-scored at full precision in NumPy (the
re-scoring's CPU time included).

  python benchmarks/bench_binary.py --index DIR   # a saved hovra index of the real set
  python benchmarks/bench_binary.py               # builds one first (~1 min)
  python benchmarks/bench_binary.py --set synth --index DIR  # 100,000 x 128 in Gaussian clusters
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import bench_peers as bp  # noqa: E402
import benchdata as bd  # noqa: E402
import numpy as np  # noqa: E402


def load_real(n_queries):
    d = bd.real_data_dir()
    base = np.load(os.path.join(d, "base-f16.npy")).astype(np.float32)
    queries = np.load(os.path.join(d, "queries-f16.npy")).astype(np.float32)[:n_queries]
    base /= np.linalg.norm(base, axis=1, keepdims=True)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    return np.ascontiguousarray(base), np.ascontiguousarray(queries)


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--set", default="real", choices=("real", "synth"))
    p.add_argument("--index", default=None, help="a saved hovra index of the set (M 16, efc 200)")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--ef", default=None, help="ef sweep (real: 16-128, synth: 16-512)")
    p.add_argument("--usearch-ef", default="32,64,128,256")
    p.add_argument("--out", default=None)
    args = p.parse_args()
    bd.set_threads(1)
    Database = bd.import_hovra()
    cosine = args.set == "real"
    if cosine:
        base, queries = load_real(args.queries)
        truth = np.argsort(-(queries @ base.T), axis=1)[:, :10]
    else:
        base, queries, _metric = bp.load_set(args.set, 1.0, args.queries, 42)
        truth = bd.exact_knn(base, queries, 10)
    if args.ef is None:
        args.ef = "16,24,32,40,48,64,96,128" if cosine else "16,32,64,128,256,512"
    lines = [bd.header(f"hovra one-bit codes beside full precision, SQ8 and usearch b1 ({args.set} set)")]
    work = tempfile.mkdtemp(prefix="hovra-bench-binary-")
    try:
        src = args.index
        if src is None:
            src = os.path.join(work, "built")
            metric = "cosine" if cosine else "euclidean"
            db = Database(src, dim=base.shape[1], metric=metric, m=16, ef_construction=200)
            db.add_many([str(i) for i in range(len(base))], base)
            db.wait_indexed()
            db.save()
            db.close()
        dbs = {}
        for mode in ("full", "sq8", "binary"):
            path = os.path.join(work, mode)
            shutil.copytree(src, path)
            db = Database(path, quantize="binary") if mode == "binary" else Database(path)
            if mode == "sq8" and not db.quantized_search:
                db.enable_quantized_search()
            dbs[mode] = db
        efs = [int(x) for x in args.ef.split(",")]
        qps = {m: {ef: [] for ef in efs} for m in dbs}
        rec = {m: {} for m in dbs}
        for rnd in range(args.rounds):
            for ef in efs:
                for m, db in dbs.items():
                    for q in queries[:20]:
                        db.search(q, 10, ef)
                    out = [None] * len(queries)
                    c0 = time.process_time()
                    for i, q in enumerate(queries):
                        out[i] = db.search(q, 10, ef)
                    qps[m][ef].append(len(queries) / (time.process_time() - c0))
                    if rnd == 0:
                        rec[m][ef] = bd.recall_at_k([[int(h.id) for h in r] for r in out], truth, 10)
        lines.append(
            f"\n{args.set}: {len(base):,} x {base.shape[1]}, {'cosine' if cosine else 'Euclidean'}, "
            f"{len(queries)} queries, k 10, {args.rounds} rounds; "
            "recall@10 / QPS (process CPU time, median) per ef_search"
        )
        for m in dbs:
            lines.append(
                f"  hovra {m:7s} "
                + "  ".join(f"{ef}:{rec[m][ef]:.3f}/{statistics.median(qps[m][ef]):.0f}" for ef in efs)
            )
        lines.append(
            f"  memory_usage()['quantizer'] in binary mode: {dbs['binary'].memory_usage()['quantizer'] / 2**20:.1f} MiB"
            f" (vectors {len(base) * base.shape[1] * 4 / 2**20:.1f} MiB)"
        )
        for db in dbs.values():
            db.close()
        # What making the codes at open costs: the same directory opened
        # plain and with quantize="binary", interleaved (files in the cache:
        # a full-precision open of a store this size reads every row anyway).
        opens = {"full": [], "binary": []}
        for _ in range(max(5, args.rounds)):
            for m in opens:
                w0, c0 = time.perf_counter(), time.process_time()
                db = Database(os.path.join(work, "full"), quantize="binary" if m == "binary" else False)
                opens[m].append((time.perf_counter() - w0, time.process_time() - c0))
                db.close(save=False)
        lines.append(
            "  open (files cached), median wall / CPU ms: "
            + ", ".join(
                f"{m} {statistics.median(w for w, _ in v) * 1e3:.1f} / {statistics.median(c for _, c in v) * 1e3:.1f}"
                for m, v in opens.items()
            )
        )
        try:
            from usearch.index import Index  # type: ignore
        except ImportError:
            Index = None
        if Index is not None:
            c = base.mean(axis=0)
            bx = np.packbits((base - c) > 0, axis=1)
            bq = np.packbits((queries - c) > 0, axis=1)
            index = Index(
                ndim=base.shape[1], metric="hamming", dtype="b1", connectivity=16, expansion_add=200
            )
            index.add(np.arange(len(base)), bx, threads=2)
            lines.append(
                "  usearch b1 (sign bits about the mean, Hamming walk), per ef: own recall@10; "
                "top-ef re-scored in NumPy: recall@10 / QPS"
            )
            for ef in (int(x) for x in args.usearch_ef.split(",")):
                index.expansion_search = ef
                runs = []
                for rnd in range(args.rounds):
                    own = rescored = 0
                    c0 = time.process_time()
                    for i in range(len(queries)):
                        keys = index.search(bq[i], ef, threads=1).keys
                        if cosine:
                            top = keys[np.argsort(-(base[keys] @ queries[i]))[:10]]
                        else:
                            top = keys[np.argsort(((base[keys] - queries[i]) ** 2).sum(axis=1))[:10]]
                        if rnd == 0:
                            own += len(set(keys[:10].tolist()) & set(truth[i].tolist()))
                            rescored += len(set(top.tolist()) & set(truth[i].tolist()))
                    runs.append(len(queries) / (time.process_time() - c0))
                    if rnd == 0:
                        r_own, r_res = own / (10 * len(queries)), rescored / (10 * len(queries))
                lines.append(f"    ef {ef}: {r_own:.3f}; {r_res:.3f} / {statistics.median(runs):.0f}")
    finally:
        shutil.rmtree(work, ignore_errors=True)
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    lines.append(f"\nload avg  : {load} (1/5/15 min, at the end)")
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    main()
