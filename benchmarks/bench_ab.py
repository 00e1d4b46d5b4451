#!/usr/bin/env python3
"""One hovra against another: two installs (two virtual environments, say
the main branch and a change) measured on the same saved databases.

The databases are built once, by install A, and saved; every round then runs
one child process of each install in turn (A first in odd rounds, B first in
even ones), which opens them and times single queries, so both walk the very
same graphs.  A second child of each builds a fresh database, to time the
build.  Figures:

  synth      100,000 x 128, 100 Gaussian clusters, Euclidean: the graph walk
  synth-sq8  the same database with quantized search switched on
  real       the Debian MiniLM set (384-d, cosine; ../shared/data/debian-minilm,
             recipe in its README.md), skipped when absent
  scan       78,000 x 128: the exact scan, single queries and search_many
  build      --build-n rows of synth added in one add_many, CPU time

Clocks: search QPS from the process's CPU time over the query loop (one
pool thread); build from the child's CPU time (--threads pool threads).
Each figure is the median over rounds, with B / A as the median and range of
the per-round ratios.  Recall is reported for both and must agree: the
graphs are the same.

    python benchmarks/bench_ab.py --a /work/venvs/old/bin/python --b /work/venvs/new/bin/python
    python benchmarks/bench_ab.py --a ... --b ... --rounds 5 --out benchmarks/results/bench_ab.txt
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchdata as bd  # noqa: E402  (sets the BLAS thread count first)
import numpy as np  # noqa: E402

SCAN_ROWS = 78_000  # just under the exact-scan threshold at 128 dimensions


# ---------------------------------------------------------------------------
# Data, written once to the work directory for every child
# ---------------------------------------------------------------------------


def prepare(work: str, a) -> list:
    sets = []
    base, queries = bd.make_clustered(100_000, 128, a.queries, seed=a.seed)
    sets.append(("synth", base, queries, "euclidean"))
    rd = bd.real_data_dir()
    if os.path.isdir(rd):
        rb = np.load(os.path.join(rd, "base-f16.npy")).astype(np.float32)
        rq = np.load(os.path.join(rd, "queries-f16.npy")).astype(np.float32)[: a.queries]
        rb /= np.linalg.norm(rb, axis=1, keepdims=True)
        rq /= np.linalg.norm(rq, axis=1, keepdims=True)
        sets.append(("real", np.ascontiguousarray(rb), np.ascontiguousarray(rq), "cosine"))
    else:
        bd.emit(f"(real data not found at {rd}; skipped)")
    sb, sq = bd.make_clustered(SCAN_ROWS, 128, a.queries, seed=a.seed + 1)
    sets.append(("scan", sb, sq, "euclidean"))
    names = []
    for name, b, q, metric in sets:
        np.save(os.path.join(work, f"{name}-base.npy"), b)
        np.save(os.path.join(work, f"{name}-queries.npy"), q)
        if metric == "cosine":
            truth = np.empty((len(q), a.k), dtype=np.int64)
            for lo in range(0, len(q), 256):
                s = q[lo : lo + 256] @ b.T
                part = np.argpartition(-s, a.k - 1, axis=1)[:, : a.k]
                order = np.argsort(-np.take_along_axis(s, part, 1), axis=1, kind="stable")
                truth[lo : lo + 256] = np.take_along_axis(part, order, 1)
        else:
            truth = bd.exact_knn(b, q, a.k)
        np.save(os.path.join(work, f"{name}-truth.npy"), truth)
        with open(os.path.join(work, f"{name}.json"), "w") as f:
            json.dump({"metric": metric}, f)
        names.append(name)
    return names


# ---------------------------------------------------------------------------
# Children (run by either install)
# ---------------------------------------------------------------------------


def child_create(work: str, names: list, threads: int) -> dict:
    bd.set_threads(threads)
    Database = bd.import_hovra()
    out = {}
    for name in names:
        base = np.load(os.path.join(work, f"{name}-base.npy"))
        metric = json.load(open(os.path.join(work, f"{name}.json")))["metric"]
        db = Database(os.path.join(work, f"db-{name}"), dim=base.shape[1], metric=metric)
        db.add_many([str(i) for i in range(len(base))], base)
        db.save()
        db.close()
        out[name] = len(base)
    return out


def timed_queries(search, queries) -> tuple:
    for q in queries[:50]:
        search(q)
    found = [None] * len(queries)
    t0 = time.process_time()
    for i, q in enumerate(queries):
        found[i] = search(q)
    cpu = time.process_time() - t0
    return len(queries) / cpu, found


def child_search(work: str, names: list, efs: list, k: int) -> dict:
    bd.set_threads(1)
    Database = bd.import_hovra()
    out = {}
    for name in names:
        queries = np.load(os.path.join(work, f"{name}-queries.npy"))
        truth = np.load(os.path.join(work, f"{name}-truth.npy"))
        db = Database(os.path.join(work, f"db-{name}"))
        variants = [("", False)] + ([("-sq8", True)] if name == "synth" else [])
        for suffix, sq8 in variants:
            if sq8:
                db.enable_quantized_search()
            for ef in efs if name != "scan" else [None]:
                qps, found = timed_queries(lambda q: db.search(q, k=k, ef_search=ef), queries)
                label = f"{name}{suffix}" + (f" ef {ef}" if ef else " single")
                out[label] = {
                    "qps": qps,
                    "recall": bd.recall_at_k([bd.hovra_ids(r) for r in found], truth, k),
                }
        if name == "scan":
            db.search_many(queries[:50], k=k)
            t0 = time.process_time()
            for _ in range(3):
                db.search_many(queries, k=k)
            out["scan search_many"] = {"qps": 3 * len(queries) / (time.process_time() - t0), "recall": None}
        db.close()
    return out


def child_build(work: str, n: int, threads: int) -> dict:
    bd.set_threads(threads)
    Database = bd.import_hovra()
    base = np.load(os.path.join(work, "synth-base.npy"))[:n]
    path = os.path.join(work, f"db-build-{os.getpid()}")
    db = Database(path, dim=base.shape[1], metric="euclidean")
    ids = [str(i) for i in range(len(base))]
    t0, c0 = time.perf_counter(), time.process_time()
    db.add_many(ids, base)
    cpu, wall = time.process_time() - c0, time.perf_counter() - t0
    db.close()
    shutil.rmtree(path, ignore_errors=True)
    return {"build cpu s": cpu, "build wall s": wall}


# ---------------------------------------------------------------------------
# The parent
# ---------------------------------------------------------------------------


def run_child(python: str, args: list) -> dict:
    res = subprocess.run(
        [python, os.path.abspath(__file__), *args], capture_output=True, text=True, check=False
    )
    if res.returncode != 0:
        sys.exit(f"child {python} {' '.join(args)} failed:\n{res.stdout}\n{res.stderr}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--a", help="python of install A (the reference); required")
    p.add_argument("--b", help="python of install B; required")
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--efs", default="16,64,200")
    p.add_argument("--build-n", type=int, default=30_000)
    p.add_argument("--threads", type=int, default=2, help="pool threads of the build")
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--workdir", default=None)
    p.add_argument("--out", default=None)
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    p.add_argument("--names", default="", help=argparse.SUPPRESS)
    a = p.parse_args()
    efs = [int(x) for x in a.efs.split(",")]
    if a.child:
        names = [x for x in a.names.split(",") if x]
        if a.child == "create":
            res = child_create(a.workdir, names, a.threads)
        elif a.child == "search":
            res = child_search(a.workdir, names, efs, a.k)
        else:
            res = child_build(a.workdir, a.build_n, a.threads)
        print(json.dumps(res))
        return
    if not a.a or not a.b:
        p.error("--a and --b are required")

    def version(python: str) -> str:
        code = "import _hovra, os; print(os.path.dirname(_hovra.__file__))"
        return subprocess.run([python, "-c", code], capture_output=True, text=True).stdout.strip()

    lines = [f"A         : {a.a} ({version(a.a)})", f"B         : {a.b} ({version(a.b)})"]
    text = [bd.header("hovra A against hovra B on the same saved databases", lines)]
    bd.emit(text[0])
    with bd.scratch_dir(a.workdir) as work:
        names = prepare(work, a)
        common = ["--workdir", work, "--names", ",".join(names), "--k", str(a.k), "--efs", a.efs]
        run_child(a.a, ["--child", "create", "--threads", str(a.threads), *common])
        figures: dict = {}
        for r in range(a.rounds):
            order = [("A", a.a), ("B", a.b)] if r % 2 == 0 else [("B", a.b), ("A", a.a)]
            for side, python in order:
                res = run_child(python, ["--child", "search", *common])
                res.update(
                    run_child(
                        python,
                        [
                            "--child",
                            "build",
                            "--build-n",
                            str(a.build_n),
                            "--threads",
                            str(a.threads),
                            *common,
                        ],
                    )
                )
                for label, v in res.items():
                    figures.setdefault(label, {"A": [], "B": [], "recall": {}})
                    f = figures[label]
                    if isinstance(v, dict):
                        f[side].append(v["qps"])
                        f["recall"][side] = v["recall"]
                    else:
                        f[side].append(v)
            bd.emit(f"round {r + 1} of {a.rounds} done")
    table = bd.Table(
        ["figure", "A (median)", "B (median)", "B / A median", "B / A range", "recall A", "recall B"]
    )
    for label, f in figures.items():
        ratios = [b / x for x, b in zip(f["A"], f["B"])]
        ra, rb = f["recall"].get("A"), f["recall"].get("B")
        table.add(
            label,
            bd.fmt(float(np.median(f["A"])), ",.3f" if "build" in label else ",.0f"),
            bd.fmt(float(np.median(f["B"])), ",.3f" if "build" in label else ",.0f"),
            f"{np.median(ratios):.3f}",
            f"{min(ratios):.3f}-{max(ratios):.3f}",
            "" if ra is None else f"{ra:.4f}",
            "" if rb is None else f"{rb:.4f}",
        )
    notes = "search: queries/s (CPU time, one thread); build: seconds (lower is better)"
    text.append(table.render())
    text.append(notes)
    bd.emit(table.render())
    bd.emit(notes)
    if a.out:
        with open(a.out, "w") as f:
            f.write("\n".join(text) + "\n")


if __name__ == "__main__":
    main()
