#!/usr/bin/env python3
"""Cold open of a quantized database: vectors.sq8 with its exceptions listed
(version 2) against the first layout (the exceptions found among the
full-precision rows at open) and faiss's IndexHNSWSQ.

Uses the indexes a bench_peers.py run left in its --workdir (the set's
`hovra` directory and `faiss-sq8` file): the hovra directory is copied and
saved with quantized vectors (version 2), and that copy is copied again with
vectors.sq8 rewritten in the first layout (and the seal's record of it). Each
open runs in a fresh child with the files evicted from the page cache
(bench_peers.py's open task: open, the first --first queries at --open-ef,
then every query once more), the three systems interleaved in rounds;
medians with their spread.

Example:
  python benchmarks/bench_peers.py --sets real --systems hovra,faiss-sq8 --figures open \\
      --rounds 1 --workdir /tmp/hovra-bench
  python benchmarks/bench_sq8_open.py --workdir /tmp/hovra-bench --rounds 5 \\
      --out benchmarks/results/bench_sq8_open.txt
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import struct
import sys
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bench_peers as bp  # noqa: E402
import benchdata as bd  # noqa: E402

SQ8_MAGIC = b"HSQ8"


def first_layout(path: str) -> int:
    """Rewrites path/vectors.sq8 (version 2) in the first layout and fixes
    the seal's size and CRC of it; returns the number of listed exceptions."""
    sq8 = os.path.join(path, "vectors.sq8")
    with open(sq8, "rb") as f:
        raw = f.read()
    magic, version, dim, count = struct.unpack_from("<4sIII", raw)
    if (magic, version) != (SQ8_MAGIC, 2):
        raise SystemExit(f"{sq8} is not of version 2")
    old = struct.pack("<I", dim) + raw[16 : 16 + 8 * dim] + raw[16 + 8 * dim + 4 * count :]
    with open(sq8, "wb") as f:
        f.write(old)
    seal_path = os.path.join(path, "seal.hovra")
    with open(seal_path, "rb") as f:
        seal = bytearray(f.read())
    if struct.unpack_from("<4sI", seal) != (b"SEAL", 4):
        raise SystemExit("the seal is not of version 4")
    struct.pack_into("<QI", seal, 33, len(old), zlib.crc32(old))
    struct.pack_into("<I", seal, 66, zlib.crc32(bytes(seal[:66])))
    with open(seal_path, "wb") as f:
        f.write(seal)
    return count


def run_open(spec: dict, baseline: str | None) -> dict:
    """bench_peers.py's open task in a fresh child, with an earlier build
    first on PYTHONPATH when given."""
    if not baseline:
        return bp.run_child(spec, 1)
    saved = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = baseline + (os.pathsep + saved if saved else "")
    try:
        return bp.run_child(spec, 1)
    finally:
        if saved is None:
            del os.environ["PYTHONPATH"]
        else:
            os.environ["PYTHONPATH"] = saved


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--workdir", required=True, help="a bench_peers.py --workdir holding the set's indexes")
    p.add_argument("--set", default="real")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--first", type=int, default=100)
    p.add_argument("--open-ef", type=int, default=100)
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--seed", type=int, default=42)
    p.add_argument(
        "--baseline",
        action="append",
        default=[],
        metavar="LABEL=DIR",
        help="an earlier build's hovra package (or _hovra module) in DIR, first on PYTHONPATH: its opens "
        "of the listed copy run beside this build's as LABEL (repeatable)",
    )
    p.add_argument("--out", help="also write the report here")
    args = p.parse_args()
    report = []

    def emit(text: str) -> None:
        bd.emit(text)
        report.append(text)

    base_dir = os.path.join(args.workdir, args.set)
    hovra_dir = os.path.join(base_dir, "hovra")
    faiss_file = os.path.join(base_dir, "faiss-sq8")
    for need in (hovra_dir, faiss_file):
        if not os.path.exists(need):
            raise SystemExit(f"{need} is missing: run bench_peers.py with this --workdir first")
    v2 = os.path.join(base_dir, "hovra-sq8-listed")
    v1 = os.path.join(base_dir, "hovra-sq8-first")
    for path in (v2, v1):
        shutil.rmtree(path, ignore_errors=True)
    shutil.copytree(hovra_dir, v2)
    hovra = bd.import_hovra()
    db = hovra(v2)
    dim = db.dim
    db.close()
    db = hovra(v2, dim=dim, quantize=True)  # quantize= keeps quantized vectors when given with dim
    db.save()
    db.close()
    del db
    shutil.copytree(v2, v1)
    listed = first_layout(v1)

    emit(
        bd.header(
            "Cold open of a quantized database: exceptions listed in vectors.sq8 or found at open",
            [
                f"options   : {' '.join(sys.argv[1:])}",
                f"set       : {args.set}, {listed} exceptions listed",
                "clocks    : a fresh child per open, files evicted; open, first query and open+N on wall "
                "time, open+N also on CPU time; rss: resident growth from before the open",
            ],
        )
    )
    systems = [("hovra-sq8 first layout", "hovra-sq8", v1), ("hovra-sq8 listed", "hovra-sq8", v2)]
    baselines = dict(b.split("=", 1) for b in args.baseline)
    systems += [(label, "hovra-sq8", v2) for label in baselines]
    systems.append(("faiss-sq8", "faiss-sq8", faiss_file))
    runs = {label: [] for label, _s, _p in systems}
    common = {"set": args.set, "scale": 1.0, "queries": args.queries, "seed": args.seed, "threads": 1}
    for _ in range(args.rounds):
        for label, system, path in systems:
            spec = dict(
                common, task="open", system=system, path=path, first=args.first, ef=args.open_ef, k=args.k
            )
            runs[label].append(run_open(spec, baselines.get(label)))

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
            "rss +MiB",
            "rss all",
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
            cell(label, "rss_first", mib),
            cell(label, "rss_search", mib),
        )
    emit(table.render())
    emit("medians (min-max) over the rounds; rss +MiB after the first queries, rss all after every query")
    emit(f"load avg  : {' '.join(f'{x:.2f}' for x in os.getloadavg())} (1/5/15 min, at the end)")
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(report) + "\n")


if __name__ == "__main__":
    main()
