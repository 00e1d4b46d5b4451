"""The record and query API on real data: filtered search per filter
operator, records in bulk, and Arrow ingest.

Data: the Debian package descriptions (../shared/data/debian-minilm/,
59,021 x 384, cosine) with their metadata (section, priority,
installed_size, package) and a list field ``words``, the package name split
at '-' and '.'.

1. Filtered search, one row per operator: hovra's search (k=10, default
   beam) against an exact NumPy scan of the matching rows (pre-gathered, one
   mat-vec per query) and against LanceDB's SQL filter (prefilter, flat
   scan) where it is installed. Recall against the exact filtered top-k;
   wall-time latency per query, medians of interleaved rounds with their
   spread; explain()'s path and candidate estimate.
2. get_many and records(): records per second of CPU time, against a loop
   of get().
3. Ingest: add_many of 20,000 rows from a NumPy array against add_many
   from a pyarrow FixedSizeList array (read in place through the Arrow
   PyCapsule interface) and from Python lists. The graph is linked in every
   case, so reading the input is a small share of the cost.

    python benchmarks/bench_query_api.py [--queries 200] [--rounds 3]
"""

from __future__ import annotations

import argparse
import gzip
import json
import os
import re
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from benchdata import Table, emit, header, scratch_dir, set_threads  # noqa: E402

DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "shared", "data", "debian-minilm")


def load(data_dir):
    import numpy as np

    base = np.load(os.path.join(data_dir, "base-f16.npy")).astype(np.float32)
    base /= np.linalg.norm(base, axis=1, keepdims=True)
    queries = np.load(os.path.join(data_dir, "queries-f16.npy")).astype(np.float32)
    queries /= np.linalg.norm(queries, axis=1, keepdims=True)
    with gzip.open(os.path.join(data_dir, "meta.json.gz"), "rt") as f:
        meta = json.load(f)
    for m in meta:
        m["words"] = [w for w in re.split(r"[-.]", m["package"]) if w]
    return base, queries, meta


# (label, hovra filter, Python predicate, LanceDB SQL)
FILTERS = [
    ("$eq 10 %", {"section": "libs"}, lambda m: m["section"] == "libs", "section = 'libs'"),
    ("$eq rare", {"section": "hamradio"}, lambda m: m["section"] == "hamradio", "section = 'hamradio'"),
    ("$ne", {"section": {"$ne": "libs"}}, lambda m: m["section"] != "libs", "section != 'libs'"),
    (
        "$in",
        {"section": {"$in": ["science", "math", "hamradio"]}},
        lambda m: m["section"] in ("science", "math", "hamradio"),
        "section IN ('science', 'math', 'hamradio')",
    ),
    (
        "$nin",
        {"section": {"$nin": ["libs", "devel", "doc"]}},
        lambda m: m["section"] not in ("libs", "devel", "doc"),
        "section NOT IN ('libs', 'devel', 'doc')",
    ),
    (
        "range",
        {"installed_size": {"$gte": 1000, "$lt": 5000}},
        lambda m: 1000 <= m.get("installed_size", -1) < 5000,
        "installed_size >= 1000 AND installed_size < 5000",
    ),
    (
        "$exists false",
        {"installed_size": {"$exists": False}},
        lambda m: "installed_size" not in m,
        "installed_size IS NULL",
    ),
    (
        "$contains list",
        {"words": {"$contains": "python3"}},
        lambda m: "python3" in m["words"],
        "array_has(words, 'python3')",
    ),
    (
        "$contains str",
        {"package": {"$contains": "qt"}},
        lambda m: "qt" in m["package"],
        "package LIKE '%qt%'",
    ),
    (
        "$or",
        {"$or": [{"section": "hamradio"}, {"priority": "required"}]},
        lambda m: m["section"] == "hamradio" or m["priority"] == "required",
        "section = 'hamradio' OR priority = 'required'",
    ),
    (
        "$and",
        {"$and": [{"section": "libs"}, {"installed_size": {"$lt": 100}}]},
        lambda m: m["section"] == "libs" and m.get("installed_size", 100) < 100,
        "section = 'libs' AND installed_size < 100",
    ),
    (
        "$not",
        {"$not": {"section": {"$in": ["libs", "devel"]}}},
        lambda m: m["section"] not in ("libs", "devel"),
        "NOT (section IN ('libs', 'devel'))",
    ),
]


def median_spread(values):
    import numpy as np

    v = np.asarray(values, dtype=np.float64)
    return float(np.median(v)), float(v.min()), float(v.max())


def us(triple):
    med, lo, hi = triple
    return f"{med:,.0f} ({lo:,.0f}-{hi:,.0f})"


def bench_filters(db, base, queries, meta, lance_table, rounds, k, lance_queries):
    import numpy as np

    table = Table(
        [
            "filter",
            "matching",
            "explain path",
            "estimate",
            "hovra recall",
            "hovra us/q",
            "numpy us/q",
            "lance recall",
            "lance us/q",
        ]
    )
    for label, flt, pred, sql in FILTERS:
        rows = np.array([i for i, m in enumerate(meta) if pred(m)], dtype=np.int64)
        gathered = base[rows]
        truth = []
        for q in queries:
            scores = gathered @ q
            top = np.argsort(-scores, kind="stable")[:k]
            truth.append(set(rows[top].tolist()))
        e = db.explain(flt, k=k)

        def run_hovra():
            t0 = time.perf_counter()
            found = [db.search(q, k=k, where_filter=flt) for q in queries]
            return time.perf_counter() - t0, found

        def run_numpy():
            t0 = time.perf_counter()
            for q in queries:
                scores = gathered @ q
                np.argpartition(-scores, min(k, len(scores) - 1))[:k] if len(scores) > k else scores
            return time.perf_counter() - t0, None

        def run_lance():
            t0 = time.perf_counter()
            found = [
                lance_table.search(q).distance_type("cosine").where(sql, prefilter=True).limit(k).to_arrow()
                for q in queries[:lance_queries]
            ]
            return time.perf_counter() - t0, found

        runs = {"hovra": run_hovra, "numpy": run_numpy}
        if lance_table is not None:
            runs["lance"] = run_lance
        times = {name: [] for name in runs}
        last = {}
        for _ in range(rounds):
            for name, fn in runs.items():
                sec, payload = fn()
                times[name].append(sec / (lance_queries if name == "lance" else len(queries)) * 1e6)
                last[name] = payload
        hovra_found = last["hovra"]
        hovra_recall = np.mean(
            [len({int(h.id) for h in f} & t) / max(1, min(k, len(rows))) for f, t in zip(hovra_found, truth)]
        )
        lance_recall, lance_us = "-", "-"
        if lance_table is not None:
            lance_recall = np.mean(
                [
                    len(set(f.column("row").to_pylist()) & t) / max(1, min(k, len(rows)))
                    for f, t in zip(last["lance"], truth)
                ]
            )
            lance_recall = f"{lance_recall:.4f}"
            lance_us = us(median_spread(times["lance"]))
        table.add(
            label,
            f"{len(rows):,}",
            e["path"],
            f"{e['candidates']:,}",
            f"{hovra_recall:.4f}",
            us(median_spread(times["hovra"])),
            us(median_spread(times["numpy"])),
            lance_recall,
            lance_us,
        )
        emit(f"  {label}: done")
    return table


def bench_records(db, n, rounds):
    import numpy as np

    rng = np.random.default_rng(3)
    ids = [str(i) for i in rng.choice(n, 1000, replace=False)]
    runs = {
        "get_many(1,000 ids) x 20": lambda: [db.get_many(ids) for _ in range(20)],
        "get() x 1,000 x 20": lambda: [[db.get(i) for i in ids] for _ in range(20)],
        "records() all, with vectors": lambda: sum(1 for _ in db.records()),
        "records() all, without vectors": lambda: sum(1 for _ in db.records(include_vectors=False)),
        "records(filter $eq 10 %)": lambda: sum(
            1 for _ in db.records({"section": "libs"}, include_vectors=False)
        ),
    }
    counts = {
        "get_many(1,000 ids) x 20": 20_000,
        "get() x 1,000 x 20": 20_000,
        "records() all, with vectors": n,
        "records() all, without vectors": n,
        "records(filter $eq 10 %)": None,
    }
    cpu = {name: [] for name in runs}
    for _ in range(rounds):
        for name, fn in runs.items():
            t0 = time.process_time()
            out = fn()
            cpu[name].append(time.process_time() - t0)
            if counts[name] is None:
                counts[name] = out
    table = Table(["operation", "records", "CPU s (median, min-max)", "records/s (median)"])
    for name, t in cpu.items():
        med, lo, hi = median_spread(t)
        table.add(name, f"{counts[name]:,}", f"{med:.3f} ({lo:.3f}-{hi:.3f})", f"{counts[name] / med:,.0f}")
    return table


def bench_ingest(Database, base, rounds, workdir):
    import numpy as np
    import pyarrow as pa

    n = min(20_000, len(base))
    rows = np.ascontiguousarray(base[:n])
    ids = [f"r{i}" for i in range(n)]
    arrow = pa.FixedSizeListArray.from_arrays(pa.array(rows.reshape(-1)), rows.shape[1])
    lists = rows.tolist()
    inputs = {"NumPy float32": rows, "pyarrow FixedSizeList<float32>": arrow, "Python lists": lists}
    cpu = {name: [] for name in inputs}
    wall = {name: [] for name in inputs}
    with scratch_dir(workdir) as d:
        for r in range(rounds):
            for name, vectors in inputs.items():
                db = Database(os.path.join(d, f"{r}-{len(cpu[name])}-{name[:5]}"), dim=rows.shape[1])
                c0, t0 = time.process_time(), time.perf_counter()
                db.add_many(ids, vectors)
                cpu[name].append(time.process_time() - c0)
                wall[name].append(time.perf_counter() - t0)
                db.close()
    table = Table(["input", "rows", "CPU s (median, min-max)", "wall s (median)", "rows/s CPU"])
    for name in inputs:
        med, lo, hi = median_spread(cpu[name])
        table.add(
            name,
            f"{n:,}",
            f"{med:.3f} ({lo:.3f}-{hi:.3f})",
            f"{median_spread(wall[name])[0]:.3f}",
            f"{n / med:,.0f}",
        )
    return table


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("--data", default=DATA)
    p.add_argument("--queries", type=int, default=200)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--workdir", default=None)
    p.add_argument("--no-lance", action="store_true")
    p.add_argument("--lance-queries", type=int, default=20, help="LanceDB answers the first N queries only")
    p.add_argument("--limit", type=int, default=0, help="use the first N rows only (a smoke run)")
    args = p.parse_args()
    set_threads(args.threads)
    from hovra import Database

    base, queries, meta = load(args.data)
    queries = queries[: args.queries]
    if args.limit:
        base, meta = base[: args.limit], meta[: args.limit]
    lance_note = "not installed"
    lancedb = None
    if not args.no_lance:
        try:
            import lancedb

            lance_note = (
                f"lancedb {lancedb.__version__}: flat scan (no ANN index), prefilter=True, cosine; "
                f"the first {args.lance_queries} queries"
            )
        except ImportError:
            lancedb = None
    emit(
        header(
            "hovra record and query API: filters per operator, records in bulk, Arrow ingest",
            [
                f"data      : Debian package descriptions, {base.shape[0]:,} x {base.shape[1]}, cosine; "
                f"{len(queries)} held-out queries, k={args.k}",
                "metadata  : section, priority, installed_size, package, words (package name split at '-' and '.')",
                "hovra     : m=16, ef_construction=200, default beam; 1 query per call",
                "numpy     : exact scan of the pre-gathered matching rows, one mat-vec per query",
                f"lancedb   : {lance_note}",
                f"timing    : {args.rounds} rounds, systems interleaved; latency in wall us per query, "
                "median (min-max of rounds); throughput in CPU time",
            ],
        )
    )
    with scratch_dir(args.workdir) as d:
        db = Database(os.path.join(d, "db"), dim=base.shape[1], metric="cosine")
        t0 = time.perf_counter()
        db.add_many([str(i) for i in range(len(base))], base, meta)
        emit(f"### hovra build with metadata: {time.perf_counter() - t0:.1f} s wall")
        lance_table = None
        if lancedb is not None:
            import pyarrow as pa

            t0 = time.perf_counter()
            conn = lancedb.connect(os.path.join(d, "lance"))
            data = pa.table(
                {
                    "row": pa.array(range(len(base)), pa.int64()),
                    "vector": pa.FixedSizeListArray.from_arrays(pa.array(base.reshape(-1)), base.shape[1]),
                    "section": [m["section"] for m in meta],
                    "priority": [m["priority"] for m in meta],
                    "installed_size": pa.array([m.get("installed_size") for m in meta], pa.int64()),
                    "package": [m["package"] for m in meta],
                    "words": [m["words"] for m in meta],
                }
            )
            lance_table = conn.create_table("t", data)
            emit(f"### lancedb table: {time.perf_counter() - t0:.1f} s wall")
        emit("\n## 1. Filtered search per operator")
        emit(
            bench_filters(
                db, base, queries, meta, lance_table, args.rounds, args.k, args.lance_queries
            ).render()
        )
        emit("\n## 2. Records in bulk")
        emit(bench_records(db, len(base), args.rounds).render())
        db.close()
    emit("\n## 3. Ingest (add_many of 20,000 x 384, the graph linked in each case)")
    emit(bench_ingest(Database, base, args.rounds, args.workdir).render())


if __name__ == "__main__":
    main()
