#!/usr/bin/env python3
"""Cold open with one-bit search: the codes read from vectors.b1 against the
codes made from the vectors at open, beside full precision and faiss HNSW.

Uses a saved hovra index of the set (a bench_peers.py --workdir, or one
built here): the directory is copied and saved once with one-bit search on
(which writes vectors.b1), and that copy is copied again without the file.
Each open runs in a fresh child with the files evicted from the page cache
(bench_peers.py's open task: open, the first --first queries at --open-ef,
then every query once more), the systems interleaved in rounds; medians
with their spread.

Example:
  python benchmarks/bench_binary_open.py --rounds 5 --out benchmarks/results/bench_binary_open.txt
  python benchmarks/bench_binary_open.py --workdir /tmp/hovra-bench   # reuses bench_peers' real index
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_peers as bp  # noqa: E402
import benchdata as bd  # noqa: E402


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--workdir", default=None, help="a bench_peers.py --workdir holding the set's indexes")
    p.add_argument("--set", default="real")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--first", type=int, default=100)
    p.add_argument("--open-ef", type=int, default=100)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--out", help="also write the report here")
    args = p.parse_args()
    report = []

    def emit(text: str) -> None:
        bd.emit(text)
        report.append(text)

    own = args.workdir is None
    workdir = tempfile.mkdtemp(prefix="hovra-b1-open-") if own else args.workdir
    base_dir = os.path.join(workdir, args.set)
    hovra_dir = os.path.join(base_dir, "hovra")
    faiss_file = os.path.join(base_dir, "faiss")
    common = {"set": args.set, "scale": 1.0, "queries": args.queries, "seed": args.seed}
    try:
        for system, path in (("hovra", hovra_dir), ("faiss", faiss_file)):
            if not os.path.exists(path):
                os.makedirs(base_dir, exist_ok=True)
                spec = dict(common, task="build", system=system, path=path, m=16, efc=200, threads=2)
                bp.run_child(spec, 2)
        read = os.path.join(base_dir, "hovra-b1-read")
        made = os.path.join(base_dir, "hovra-b1-made")
        for path in (read, made):
            shutil.rmtree(path, ignore_errors=True)
        shutil.copytree(hovra_dir, read)
        hovra = bd.import_hovra()
        db = hovra(read, quantize="binary")
        db.save()  # writes vectors.b1
        db.close()
        del db
        shutil.copytree(read, made)
        os.remove(os.path.join(made, "vectors.b1"))
        codes_bytes = os.path.getsize(os.path.join(read, "vectors.b1"))

        emit(
            bd.header(
                "Cold open with one-bit search: codes read from vectors.b1 or made at open",
                [
                    f"options   : {' '.join(sys.argv[1:]) or '(defaults)'}",
                    f"set       : {args.set}, vectors.b1 {codes_bytes / 2**20:.1f} MiB",
                    "clocks    : a fresh child per open, files evicted; open, first query and open+N on wall "
                    "time, open+N also on CPU time; rss: resident growth from before the open",
                ],
            )
        )
        systems = [
            ("hovra-b1 codes made at open", "hovra-b1", made),
            ("hovra-b1 codes read", "hovra-b1", read),
            ("hovra full precision", "hovra", hovra_dir),
            ("faiss HNSW", "faiss", faiss_file),
        ]
        runs = {label: [] for label, _s, _p in systems}
        for _ in range(args.rounds):
            for label, system, path in systems:
                spec = dict(
                    common,
                    task="open",
                    system=system,
                    path=path,
                    first=args.first,
                    ef=args.open_ef,
                    k=args.k,
                    threads=1,
                )
                runs[label].append(bp.run_child(spec, 1))

        def cell(label: str, key: str, scale: float) -> str:
            values = [r[key] * scale for r in runs[label]]
            return f"{statistics.median(values):.1f} ({min(values):.1f}-{max(values):.1f})"

        table = bd.Table(
            [
                "system",
                "open ms",
                "1st q ms",
                f"open+{args.first} ms",
                f"open+{args.first} cpu ms",
                "rss all MiB",
            ]
        )
        mib = 1.0 / (1 << 20)
        for label, _s, _p in systems:
            table.add(
                label,
                cell(label, "open", 1e3),
                cell(label, "first_query", 1e3),
                cell(label, "total", 1e3),
                cell(label, "cpu", 1e3),
                cell(label, "rss_search", mib),
            )
        emit(table.render())
        emit("medians (min-max) over the rounds; rss all: resident growth after every query")
        emit(f"load avg  : {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1/5/15 min, at the end)")
        if args.out:
            with open(args.out, "w") as f:
                f.write("\n".join(report) + "\n")
    finally:
        if own:
            shutil.rmtree(workdir, ignore_errors=True)


if __name__ == "__main__":
    main()
