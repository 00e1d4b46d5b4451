"""Several processes on one database: search QPS of 1, 2 and 4 reader
processes (read_only=True) with and without a writer process ingesting at a
fixed rate, the time from the writer's acknowledgement to visibility in a
reader (p50/p99), and each reader's unique and proportional memory (USS/PSS
from /proc/self/smaps_rollup) against the collection's vector bytes. LanceDB
runs the same reader workload beside it when it is installed.

    python benchmarks/bench_processes.py [--n 20000] [--dim 384] [--seconds 3] [--rounds 2]
        [--readers 1,2,4] [--writer both|yes|no] [--out benchmarks/results/bench_processes.txt]

Reader memory is what opening and searching added to the process (after
the run minus before the open), so the interpreter and the imported modules
do not count: its own memory (anonymous pages: heap, and pages of a mapped
file it changed), and USS and PSS. USS also counts the clean pages of a
mapped file that no other process maps at that moment (a reader alone on
the file): those are the page cache's, shared and reclaimable, which is why
the anonymous figure is the one set against the vector bytes.

Readers are separate processes started together; throughput counts each
reader's searches over its own CPU time and over the wall time of the
window (per-core efficiency: against the first configuration's QPS per
reader). --readers and --writer pick the configurations, for a short run
that measures one thing. The machine is shared and noisy: configurations are interleaved in
rounds and medians reported with their spread.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import os
import platform
import statistics
import subprocess
import sys
import tempfile
import time
from datetime import timedelta
from pathlib import Path

import numpy as np

K = 10


def memory_kib() -> tuple[int, int, int]:
    """(USS, PSS, anonymous) of this process in KiB."""
    fields: dict[str, int] = {}
    with open("/proc/self/smaps_rollup") as f:
        for line in f:
            parts = line.split()
            if len(parts) >= 2 and parts[1].isdigit():
                fields[parts[0].rstrip(":")] = int(parts[1])
    uss = fields.get("Private_Clean", 0) + fields.get("Private_Dirty", 0)
    return uss, fields.get("Pss", 0), fields.get("Anonymous", 0)


def timed_reads(search, count, start_at, seconds, uss0, anon0, out):
    """A reader's run, the same for both libraries: waits for the common
    start, then searches (search(i)) for `seconds`, noting when each new row
    first shows in count(); puts its figures on `out`."""
    while time.monotonic() < start_at:
        time.sleep(0.001)
    cpu0, t0 = time.process_time(), time.monotonic()
    done = 0
    seen = count()
    visible = {}
    while time.monotonic() - t0 < seconds:
        search(done)
        done += 1
        n = count()
        if n > seen:
            now = time.monotonic()
            for i in range(seen, n):
                visible[i] = now
            seen = n
    cpu, wall = time.process_time() - cpu0, time.monotonic() - t0
    uss, pss, anon = memory_kib()
    out.put(
        {
            "searches": done,
            "cpu": cpu,
            "wall": wall,
            "uss": uss,
            "pss": pss,
            "uss0": uss0,
            "anon": anon - anon0,
            "visible": visible,
        }
    )


def hovra_reader(path, queries, start_at, seconds, interval, out):
    import hovra

    uss0, _, anon0 = memory_kib()
    db = hovra.Database(path, read_only=True, refresh_interval=interval)
    db.search(queries[0], k=K)
    timed_reads(
        lambda i: db.search(queries[i % len(queries)], k=K),
        lambda: len(db),
        start_at,
        seconds,
        uss0,
        anon0,
        out,
    )


def lance_reader(path, queries, start_at, seconds, interval, out):
    import lancedb

    uss0, _, anon0 = memory_kib()
    # LanceDB's own follow setting: check for a newer version at most this often.
    table = lancedb.connect(path, read_consistency_interval=timedelta(seconds=interval)).open_table("t")
    table.search(queries[0]).limit(K).to_list()
    timed_reads(
        lambda i: table.search(queries[i % len(queries)]).limit(K).to_list(),
        table.count_rows,
        start_at,
        seconds,
        uss0,
        anon0,
        out,
    )


def hovra_writer(path, dim, base, start_at, seconds, rate, out):
    import hovra

    db = hovra.Database(path)
    rng = np.random.default_rng(7)
    acked = {}
    while time.monotonic() < start_at:
        time.sleep(0.001)
    t0 = time.monotonic()
    i = 0
    while time.monotonic() - t0 < seconds:
        due = t0 + i / rate
        while time.monotonic() < due:
            time.sleep(0.0005)
        db.add(f"w{base + i}", rng.standard_normal(dim).astype(np.float32))
        acked[base + i] = time.monotonic()
        i += 1
    # A checkpoint at the end, as a writer that ingests saves now and then:
    # readers of the next configuration start from the saved files.
    db.save()
    db.close()
    out.put(acked)


def lance_writer(path, dim, base, start_at, seconds, rate, out):
    import lancedb

    table = lancedb.connect(path).open_table("t")
    rng = np.random.default_rng(7)
    acked = {}
    while time.monotonic() < start_at:
        time.sleep(0.001)
    t0 = time.monotonic()
    i = 0
    while time.monotonic() - t0 < seconds:
        due = t0 + i / rate
        while time.monotonic() < due:
            time.sleep(0.0005)
        table.add([{"id": f"w{base + i}", "vector": rng.standard_normal(dim).astype(np.float32)}])
        acked[base + i] = time.monotonic()
        i += 1
    out.put(acked)


def run(engine, path, queries, readers, writer, dim, base, seconds, rate, interval):
    ctx = mp.get_context("spawn")
    out = ctx.Queue()
    wout = ctx.Queue()
    start_at = time.monotonic() + 2.0 + 0.3 * readers
    target = hovra_reader if engine == "hovra" else lance_reader
    procs = [
        ctx.Process(target=target, args=(path, queries, start_at, seconds, interval, out))
        for _ in range(readers)
    ]
    for p in procs:
        p.start()
    w = None
    if writer:
        wt = hovra_writer if engine == "hovra" else lance_writer
        w = ctx.Process(target=wt, args=(path, dim, base, start_at, seconds, rate, wout))
        w.start()
    results = [out.get(timeout=seconds + 120) for _ in procs]
    acked = wout.get(timeout=seconds + 120) if writer else {}
    for p in procs:
        p.join()
    if w is not None:
        w.join()
    # A reader's position i (the i-th record, counting from 0) is the
    # writer's record i: the collection's first `base` records came before.
    delays = [max(0.0, t - acked[i]) for r in results for i, t in r["visible"].items() if i in acked]
    return results, acked, delays


def spread(values):
    values = sorted(values)
    if not values:
        return "-"
    return f"{statistics.median(values):.0f} ({values[0]:.0f}-{values[-1]:.0f})"


def pct(values, p):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100 * (len(values) - 1))))]


def build_hovra(path, data):
    import hovra

    db = hovra.Database(path, dim=data.shape[1])
    db.add_many([str(i) for i in range(len(data))], data)
    db.save()
    db.close()


def build_lance(path, data):
    import lancedb

    db = lancedb.connect(path)
    db.create_table("t", data=[{"id": str(i), "vector": v} for i, v in enumerate(data)])


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--n", type=int, default=20000)
    ap.add_argument("--dim", type=int, default=384)
    ap.add_argument("--seconds", type=float, default=3.0)
    ap.add_argument("--rounds", type=int, default=2)
    ap.add_argument("--rate", type=float, default=200.0, help="writer records per second")
    ap.add_argument("--interval", type=float, default=None, help="refresh_interval (default: the default)")
    ap.add_argument("--readers", default="1,2,4", help="reader process counts, comma-separated")
    ap.add_argument(
        "--writer", choices=("both", "yes", "no"), default="both", help="with a writer, without, or both"
    )
    ap.add_argument("--out", default=None)
    args = ap.parse_args()

    import hovra

    interval = args.interval if args.interval is not None else 0.01
    engines = ["hovra"]
    try:
        import lancedb  # noqa: F401

        engines.append("lancedb")
    except ImportError:
        pass
    load_start = os.getloadavg()[0]
    rng = np.random.default_rng(1)
    data = rng.standard_normal((args.n, args.dim)).astype(np.float32)
    queries = rng.standard_normal((200, args.dim)).astype(np.float32)
    tmp = tempfile.mkdtemp(prefix="bench-processes-")
    paths = {}
    for engine in engines:
        paths[engine] = os.path.join(tmp, engine)
        (build_hovra if engine == "hovra" else build_lance)(paths[engine], data)

    reader_counts = [int(x) for x in args.readers.split(",")]
    writer_modes = {"both": (False, True), "yes": (True,), "no": (False,)}[args.writer]
    configs = [(r, w) for w in writer_modes for r in reader_counts]
    qps = {(e, r, w): [] for e in engines for r, w in configs}
    cpu_qps = {(e, r, w): [] for e in engines for r, w in configs}
    mem = {(e, r, w): [] for e in engines for r, w in configs}
    delays = {e: [] for e in engines}
    base = {e: args.n for e in engines}
    for _ in range(args.rounds):
        for r, w in configs:
            for engine in engines:
                results, acked, d = run(
                    engine,
                    paths[engine],
                    queries,
                    r,
                    w,
                    args.dim,
                    base[engine],
                    args.seconds,
                    args.rate,
                    interval,
                )
                base[engine] += len(acked)
                wall = max(x["wall"] for x in results)
                qps[(engine, r, w)].append(sum(x["searches"] for x in results) / wall)
                cpu_qps[(engine, r, w)].append(statistics.median(x["searches"] / x["cpu"] for x in results))
                mem[(engine, r, w)].extend(
                    (x["uss"] - x["uss0"], x["pss"] - x["uss0"], x["anon"]) for x in results
                )
                delays[engine].extend(d)

    vector_kib = args.n * args.dim * 4 / 1024
    lines = []
    commit = subprocess.run(
        ["git", "rev-parse", "--short", "HEAD"], capture_output=True, text=True
    ).stdout.strip()
    cpu_model, flags = "?", []
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name") and cpu_model == "?":
                cpu_model = line.split(":", 1)[1].strip()
            elif line.startswith("flags") and not flags:
                have = set(line.split(":", 1)[1].split())
                flags = [
                    x
                    for x in ("avx2", "fma", "avx512f", "avx512bw", "avx512_vnni", "avx512_bf16")
                    if x in have
                ]
    lines.append(
        f"bench_processes: {args.n} x {args.dim} float32 (vectors {vector_kib / 1024:.1f} MiB), k={K}"
    )
    lines.append(
        f"commit {commit}, hovra {hovra.__version__}, {cpu_model}, {os.cpu_count()} cores, "
        f"python {platform.python_version()}, load average {load_start:.2f} at the start, "
        f"{os.getloadavg()[0]:.2f} at the end"
    )
    lines.append(f"CPU flags: {' '.join(flags)}")
    lines.append(
        f"date {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())} (end of run); "
        f"hovra imported from {os.path.dirname(hovra.__file__)}"
    )
    lines.append(
        f"{args.rounds} rounds of {args.seconds:.0f} s per configuration, interleaved; writer: add() at {args.rate:.0f}/s; "
        f"hovra refresh_interval={interval}"
    )
    lines.append("")
    lines.append(
        "| engine | readers | writer | QPS, all readers (wall) | QPS per reader CPU-second | per-core efficiency |"
    )
    lines.append("|---|---|---|---|---|---|")
    for engine in engines:
        first = configs[0]
        one = statistics.median(qps[(engine,) + first]) / min(first[0], os.cpu_count() or 1)
        for r, w in configs:
            q = statistics.median(qps[(engine, r, w)])
            eff = q / (min(r, os.cpu_count() or 1) * one)
            lines.append(
                f"| {engine} | {r} | {'yes' if w else 'no'} | {spread(qps[(engine, r, w)])} | "
                f"{spread(cpu_qps[(engine, r, w)])} | {eff:.2f} |"
            )
    lines.append("")
    lines.append("Visibility: writer's acknowledgement to a reader's next call that sees the record")
    lines.append("| engine | samples | p50 ms | p99 ms | max ms |")
    lines.append("|---|---|---|---|---|")
    for engine in engines:
        d = [x * 1000 for x in delays[engine]]
        lines.append(
            f"| {engine} | {len(d)} | {pct(d, 50):.1f} | {pct(d, 99):.1f} | {max(d) if d else float('nan'):.1f} |"
        )
    lines.append("")
    lines.append(f"Reader memory (vectors: {vector_kib:.0f} KiB)")
    lines.append(
        "| engine | writer | added own memory KiB median (max) | own / vector bytes | added USS KiB median | "
        "added PSS KiB median |"
    )
    lines.append("|---|---|---|---|---|---|")
    for engine in engines:
        for w in writer_modes:
            allm = [m for key, v in mem.items() if key[0] == engine and key[2] == w for m in v]
            uss = [m[0] for m in allm]
            pss = [m[1] for m in allm]
            own = [m[2] for m in allm]
            lines.append(
                f"| {engine} | {'yes' if w else 'no'} | {statistics.median(own):.0f} ({max(own)}) | "
                f"{statistics.median(own) / vector_kib:.2f} | {statistics.median(uss):.0f} | "
                f"{statistics.median(pss):.0f} |"
            )
    text = "\n".join(lines) + "\n"
    print(text)
    if args.out:
        Path(args.out).write_text(text)


if __name__ == "__main__":
    sys.exit(main())
