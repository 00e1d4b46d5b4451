"""Ctrl-C: how long after SIGINT the long operations raise KeyboardInterrupt.

Each measurement runs one operation in a fresh process with
``show_progress=True`` (plain lines, one per poll), waits until its progress
shows the phase named in the table plus ``--settle`` seconds, sends SIGINT,
and takes the time from the signal to the KeyboardInterrupt the child
catches (both read the system's monotonic clock). The operations run
interleaved in every round; the table shows the median and the largest
latency. A batch interrupted while linking runs to its end by design, so its
row shows how long that took instead.

    python3 benchmarks/bench_interrupt.py [--n 200000] [--dim 128] [--rounds 5] [--workdir DIR] [--keep]

The graph database (n x dim, above the exhaustive threshold) is built once
with a low ef_construction; --keep reuses it under --workdir.
"""

from __future__ import annotations

import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np

CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    # A shell may start background jobs with SIGINT ignored; Python then
    # leaves it ignored. Ctrl-C is what is measured here.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.modules["tqdm"] = None
    import hovra, hovra._progress
    hovra._progress.PLAIN_INTERVAL = 0.0
    op, path, n_new, dim = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    db = hovra.Database(path)
    rng = np.random.default_rng(5)
    if op.startswith("add_many"):
        x = rng.standard_normal((n_new, dim)).astype(np.float32)
        # Large metadata makes logging the batch take a while.
        metadatas = [{"text": "x" * 5000}] * n_new if op == "add_many-logging" else None
    if op.startswith("search_many"):
        queries = rng.standard_normal((n_new, dim)).astype(np.float32)
    print("ready", flush=True)
    t0 = time.monotonic()
    try:
        if op.startswith("add_many"):
            db.add_many([f"new{i}" for i in range(n_new)], x, metadatas, show_progress=True)
        elif op.startswith("search_many"):
            db.search_many(queries, k=10, show_progress=True)
        elif op == "compact":
            db.compact(show_progress=True)
        elif op == "save":
            db.save(show_progress=True)
        print("finished", time.monotonic(), len(db), flush=True)
    except KeyboardInterrupt:
        print("interrupted", time.monotonic(), len(db), flush=True)
""")

# operation, database, records or queries it brings, phase to interrupt in,
# whether to wait --settle seconds into the phase (logging is short)
CASES = [
    ("add_many-logging", "small", 20000, "logging", False),
    ("add_many-linking", "small", 20000, "linking", True),
    ("search_many-graph", "graph", 200000, "searching", True),
    ("search_many-exhaustive", "small", 2000, "searching", True),
    ("compact", "graph", 0, "rebuilding", True),
    ("save", "graph", 0, "writing vectors", True),
]


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=200000, help="records of the graph database")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--settle", type=float, default=0.3, help="seconds into the phase before the signal")
    p.add_argument("--workdir", default=None)
    p.add_argument("--keep", action="store_true", help="keep and reuse the databases under --workdir")
    return p.parse_args()


def build(Database, path, n, dim, deleted):
    if os.path.exists(os.path.join(path, "graph.hovra")):
        return
    rng = np.random.default_rng(1)
    db = Database(path, dim=dim, m=16, ef_construction=40)
    step = 50000
    for start in range(0, n, step):
        count = min(step, n - start)
        db.add_many(
            [str(i) for i in range(start, start + count)],
            rng.standard_normal((count, dim)).astype(np.float32),
        )
    if deleted:
        for i in range(0, n, round(1 / deleted)):
            db.delete(str(i))
    db.save()
    db.close()


def measure(path, op, n_new, dim, phase, settle):
    """Seconds from SIGINT to KeyboardInterrupt (or to the end, for a batch
    already linking), whether it was raised, and the records afterwards."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, op, path, str(n_new), str(dim)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        assert child.stdout.readline().strip() == "ready"
        for line in child.stderr:
            if f": {phase} " in line:
                break
        time.sleep(settle)
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=3600)
    finally:
        child.kill()
        child.wait()
    word, stamp, count = out.split()
    return float(stamp) - sent, word == "interrupted", int(count)


def main():
    args = parse_args()
    bd.set_threads(2)
    Database = bd.import_hovra()
    work = args.workdir or tempfile.mkdtemp(prefix="hovra-interrupt-")
    os.makedirs(work, exist_ok=True)
    graph = os.path.join(work, "graph")
    small = os.path.join(work, "small")
    t = time.perf_counter()
    build(Database, graph, args.n, args.dim, deleted=0.1)
    build(Database, small, 60000, args.dim, deleted=0)
    built = time.perf_counter() - t
    # The add_many cases add records; they work on copies.
    results = {case[0]: [] for case in CASES}
    interrupted = {case[0]: 0 for case in CASES}
    kept = {case[0]: 0 for case in CASES}
    for _ in range(args.rounds):
        for op, db_name, n_new, phase, settle in CASES:
            path = graph if db_name == "graph" else small
            if op.startswith("add_many"):
                copy = os.path.join(work, "copy")
                shutil.rmtree(copy, ignore_errors=True)
                shutil.copytree(small, copy)
                path = copy
            seconds, was, count = measure(path, op, n_new, args.dim, phase, args.settle if settle else 0.0)
            results[op].append(seconds)
            interrupted[op] += was
            kept[op] += count == 60000 + n_new
    print(
        bd.header(
            "hovra Ctrl-C latency: SIGINT to KeyboardInterrupt",
            [
                f"databases : graph {args.n:,} x {args.dim} (10% deleted, ef_construction=40); "
                f"exhaustive 60,000 x {args.dim}",
                f"rounds    : {args.rounds}, operations interleaved; signal {args.settle} s into the phase "
                "(at once for logging); "
                f"build {built:.0f} s",
            ],
        )
    )
    print(f"{'operation':<24}{'phase':<17}{'raised':>8}{'batch kept':>12}{'median s':>10}{'max s':>9}")
    for op, _, _, phase, _ in CASES:
        values = results[op]
        batch = f"{kept[op]}/{len(values)}" if op.startswith("add_many") else "-"
        print(
            f"{op:<24}{phase:<17}{interrupted[op]:>6}/{len(values):<1}{batch:>12}"
            f"{statistics.median(values):>10.3f}{max(values):>9.3f}"
        )
    print("\nA batch stopped while logging stores nothing; once linking has begun it completes and is kept,")
    print("so the add_many-linking times are the rest of the link, not a latency.")
    if not args.keep and args.workdir is None:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
