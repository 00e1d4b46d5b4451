#!/usr/bin/env python3
"""Memory after add_many: hovra beside hnswlib, and hovra's breakdown per
structure.

Each build runs in a fresh child process: the data (and, for hovra, the id
strings and metadata dicts) are made first and the C heap trimmed, then the
resident set is taken before and after one add_many (hnswlib: add_items) of the whole set, and the
peak during it (the kernel's high-water mark, reset just before the call).
hovra gets decimal-string ids, hnswlib integer labels; both the same float32
rows, M=16, ef_construction=200, 2 threads.

Cases (choose with --cases):
  synth        100,000 x 128, 100 Gaussian clusters, squared Euclidean
  real         59,021 x 384 Debian package descriptions (all-MiniLM-L6-v2),
               cosine, read from ../shared/data/debian-minilm/ (how it was
               made: ../shared/data/debian-minilm/README.md)
  synth-meta   synth with 4 small fields per record (cat, tag, price, half)
  real-meta    real with its 4 fields per record (package, section, priority,
               installed_size)
  synth32      1,000,000 x 32, 100 Gaussian clusters (not run by default: slow)

Figures: RSS growth (median over rounds), peak growth, hovra / hnswlib, and
hovra's bytes per structure (vectors, norms, graph, ids, id map, metadata,
metadata index) with the allocator's free-but-held bytes, per record.

Examples:
  python benchmarks/bench_memory.py
  python benchmarks/bench_memory.py --cases synth --rounds 1 --scale 0.2
  python benchmarks/bench_memory.py --out benchmarks/results/bench_memory.txt
"""

from __future__ import annotations

import argparse
import ctypes
import gzip
import json
import os
import statistics
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchdata as bd  # noqa: E402  (sets the BLAS thread count first)
import numpy as np  # noqa: E402
from bench_peers import REAL_DIR  # noqa: E402

CASES = {
    # name -> (data set, metadata)
    "synth": ("synth", False),
    "real": ("real", False),
    "synth-meta": ("synth", True),
    "real-meta": ("real", True),
    "synth32": ("synth32", False),
}
PARTS = ("vectors", "norms", "graph", "quantizer", "ids", "id_map", "metadata", "metadata_index")


def load(name: str, scale: float):
    if name == "real":
        base = np.load(os.path.join(REAL_DIR, "base-f16.npy")).astype(np.float32)
        base /= np.linalg.norm(base, axis=1, keepdims=True)
        if scale < 1.0:
            base = base[: max(1000, int(len(base) * scale))]
        return np.ascontiguousarray(base), "cosine"
    n, dim = (1_000_000, 32) if name == "synth32" else (100_000, 128)
    base, _ = bd.make_clustered(max(1000, int(n * scale)), dim, 1, seed=42)
    return base, "euclidean"


def metadata_for(name: str, n: int):
    if name == "real":
        with gzip.open(os.path.join(REAL_DIR, "meta.json.gz"), "rt") as f:
            return json.load(f)[:n]
    _, metas = bd.make_metadata(n)
    return [{k: m[k] for k in ("cat", "tag", "price", "half")} for m in metas]


def rss() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def reset_peak() -> None:
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def peak() -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024
    return 0


def child(job: dict) -> dict:
    bd.set_threads(job["threads"])
    data, meta = CASES[job["case"]]
    base, metric = load(data, job["scale"])
    n, dim = base.shape
    path = job["path"]
    if job["system"] != "hnswlib":
        Database = bd.import_hovra()
        db = Database(path, dim=dim, metric=metric, m=16, ef_construction=200)
        ids = [str(i) for i in range(n)]
        metas = metadata_for(data, n) if meta else None
        add = lambda: db.add_many(ids, base, metas)  # noqa: E731
    else:
        import hnswlib  # type: ignore

        index = hnswlib.Index(space="cosine" if metric == "cosine" else "l2", dim=dim)
        index.init_index(max_elements=n, ef_construction=200, M=16)
        labels = np.arange(n)
        add = lambda: index.add_items(base, labels, num_threads=job["threads"])  # noqa: E731
    # What making the data freed goes back to the system first, so that
    # neither system's growth is hidden by memory the allocator held.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    r0 = rss()
    reset_peak()
    add()
    r1, p1 = rss(), peak()
    out = {"n": n, "rss_delta": r1 - r0, "peak_delta": max(0, p1 - r0)}
    if job["system"] != "hnswlib" and hasattr(db, "memory_usage"):
        out["parts"] = db.memory_usage()
    return out


def table(columns, rows) -> str:
    t = bd.Table(columns)
    for r in rows:
        t.add(*r)
    return t.render()


def run_child(job: dict, python: str) -> dict:
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(job["threads"])
    res = subprocess.run(
        [python, os.path.abspath(__file__), "--child", json.dumps(job)],
        capture_output=True,
        text=True,
        env=env,
    )
    if res.returncode != 0:
        raise RuntimeError(f"child {job} failed:\n{res.stderr[-3000:]}")
    return json.loads(res.stdout.strip().splitlines()[-1])


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--cases", default="synth,real,synth-meta,real-meta")
    p.add_argument("--rounds", type=int, default=2)
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--out", default=None)
    p.add_argument(
        "--baseline-python",
        default=None,
        help="an interpreter with an earlier hovra build installed: adds 'hovra-base' rows",
    )
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.child:
        print(json.dumps(child(json.loads(args.child))))
        return
    lines = []
    emit_plain = bd.emit

    def emit(text: str = "") -> None:
        lines.append(text)
        emit_plain(text)

    bd.emit = emit
    cases = [c.strip() for c in args.cases.split(",") if c.strip()]
    bd.emit(
        bd.header(
            "bench_memory: RSS after add_many, hovra beside hnswlib",
            [
                f"{args.threads} threads, M=16, ef_construction=200, {args.rounds} rounds (median); a fresh child per build",
                f"hovra-base: {args.baseline_python or '-'} (an earlier build, for comparison)",
                "hovra: decimal-string ids; hnswlib: integer labels; same float32 rows",
            ],
        )
    )
    results = {}
    with bd.scratch_dir() as tmp:
        for r in range(args.rounds):
            for case in cases:
                systems = ["hovra"] if CASES[case][1] else ["hovra", "hnswlib"]
                if args.baseline_python:
                    systems.append("hovra-base")
                for system in systems if r % 2 == 0 else systems[::-1]:
                    job = {
                        "case": case,
                        "system": system,
                        "scale": args.scale,
                        "threads": args.threads,
                        "path": os.path.join(tmp, f"{case}-{system}-{r}"),
                    }
                    python = args.baseline_python if system == "hovra-base" else sys.executable
                    out = run_child(job, python)
                    results.setdefault((case, system), []).append(out)
                    bd.emit(
                        f"  round {r + 1} {case:10s} {system:8s} rss +{bd.mib(out['rss_delta'])} MiB"
                        f"  peak +{bd.mib(out['peak_delta'])} MiB"
                    )
    bd.emit()
    rows = []
    for case in cases:
        for system in ("hovra", "hovra-base", "hnswlib"):
            runs = results.get((case, system))
            if not runs:
                continue
            n = runs[0]["n"]
            delta = statistics.median(x["rss_delta"] for x in runs)
            pk = statistics.median(x["peak_delta"] for x in runs)
            # With metadata: against hnswlib on the same vectors (it stores none).
            peer = results.get((case, "hnswlib")) or results.get((CASES[case][0], "hnswlib"))
            ratio = "-"
            if system != "hnswlib" and peer:
                ratio = bd.fmt(delta / statistics.median(x["rss_delta"] for x in peer), ".2f") + "x"
            rows.append([case, system, f"{n:,}", bd.mib(delta), bd.mib(pk), f"{delta / n:,.0f}", ratio])
    bd.emit(table(["case", "system", "records", "rss +MiB", "peak +MiB", "B/record", "/ hnswlib"], rows))
    bd.emit()
    bd.emit("hovra per structure after add_many (bytes per record; last round)")
    head = ["case"] + list(PARTS) + ["sum", "heap free", "rss +"]
    rows = []
    for case in cases:
        runs = results.get((case, "hovra"))
        if not runs or "parts" not in runs[-1]:
            continue
        last, n = runs[-1]["parts"], runs[-1]["n"]
        vals = [last.get(k, 0) for k in PARTS]
        rows.append(
            [case]
            + [f"{v / n:,.0f}" for v in vals]
            + [f"{sum(vals) / n:,.0f}", f"{last['heap_free'] / n:,.0f}", f"{runs[-1]['rss_delta'] / n:,.0f}"]
        )
    bd.emit(table(head, rows))
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main()
