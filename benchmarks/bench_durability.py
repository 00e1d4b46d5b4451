"""Durability: what a single add costs with and without sync_writes (one and
four writer threads), and what the graph checksum check adds to opening a
saved database, against a build without the check.

Adds: each measurement creates a small database (``--base`` records) and
times ``--adds`` single adds of one 128-float vector, spread over the writer
threads; the four settings run interleaved in every round and the table
shows medians.  With sync_writes=True every add returns only after its log
record is on stable storage; concurrent writers share one fdatasync (group
commit), so the cost per add drops with more writers.

Open: each size is built once (``--ef-construction`` defaults low here: the
graph's quality does not matter for opening, only its size) and saved.  Every
round then opens it in fresh processes, alternating between this build (which
checks graph.hovra against the checksum record), this build on a copy without
the record (no check), and the baseline build given by ``--base-python`` (a
Python whose hovra comes from the code before the check; it skips the record).
Files come from a warm page cache; the time is the constructor's alone.

    python3 benchmarks/bench_durability.py --base-python /path/to/venv/bin/python
        [--sizes 100000,1000000] [--rounds 7] [--adds 2000] [--workdir DIR] [--keep]

Building 1,000,000 x 128 takes a few minutes; --keep reuses the databases of
an earlier run under --workdir.
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import threading
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np

OPEN_CHILD = r"""
import sys, time
try:
    from hovra import Database
except ImportError:
    from _hovra import Database
t0 = time.perf_counter()
db = Database(sys.argv[1])
t1 = time.perf_counter()
assert len(db) == int(sys.argv[2])
print(t1 - t0)
"""


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument(
        "--sizes", default="100000,1000000", help="comma-separated record counts for the open table"
    )
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--adds", type=int, default=2000, help="single adds per measurement")
    p.add_argument("--base", type=int, default=1000, help="records in the database the adds go to")
    p.add_argument("--base-python", default=None, help="Python whose hovra is the baseline build for opening")
    p.add_argument(
        "--base-label", default="", help="what the baseline build is (e.g. its commit), for the header"
    )
    p.add_argument("--keep", action="store_true", help="keep and reuse the built databases under --workdir")
    p.add_argument("--chunk", type=int, default=100_000, help="add_many batch size while building")
    p.add_argument("--parts", default="adds,open", help="which tables to run: adds, open or both")
    bd.add_common_args(p, search=False, intrinsic=False)
    p.set_defaults(ef_construction=40)
    return p.parse_args()


# ------------------------------------------------------------------- adds


def time_adds(Database, work, sync, writers, a, round_no):
    path = os.path.join(work, f"adds-{int(sync)}-{writers}-{round_no}")
    rng = np.random.default_rng(round_no)
    db = Database(path, dim=a.dim, metric="euclidean", sync_writes=sync)
    db.add_many([f"b{i}" for i in range(a.base)], rng.standard_normal((a.base, a.dim)).astype(np.float32))
    vectors = rng.standard_normal((a.adds, a.dim)).astype(np.float32)
    per = a.adds // writers
    start = threading.Barrier(writers + 1)

    def writer(t):
        start.wait()
        for i in range(t * per, (t + 1) * per):
            db.add(f"a{i}", vectors[i])

    threads = [threading.Thread(target=writer, args=(t,)) for t in range(writers)]
    for t in threads:
        t.start()
    start.wait()
    t0 = bd.perf()
    for t in threads:
        t.join()
    elapsed = bd.perf() - t0
    assert len(db) == a.base + per * writers
    db.close()
    shutil.rmtree(path, ignore_errors=True)
    return elapsed / (per * writers)


def time_raw_sync(work, a):
    """The device's floor: append one log-sized record and fdatasync it, no
    database involved."""
    path = os.path.join(work, "raw.log")
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_TRUNC, 0o644)
    record = b"x" * (a.dim * 4 + 30)
    n = max(1, a.adds // 4)
    t0 = bd.perf()
    for _ in range(n):
        os.write(fd, record)
        os.fdatasync(fd)
    elapsed = bd.perf() - t0
    os.close(fd)
    os.remove(path)
    return elapsed / n


def add_table(Database, work, a):
    settings = [(sync, writers) for writers in (1, 4) for sync in (False, True)]
    samples = {s: [] for s in settings}
    raw = []
    for r in range(a.rounds):
        for s in settings:
            samples[s].append(time_adds(Database, work, s[0], s[1], a, r))
        raw.append(time_raw_sync(work, a))
    t = bd.Table(["writers", "sync_writes", "median us/add", "min us/add", "max us/add", "vs default"])
    for writers in (1, 4):
        default = statistics.median(samples[(False, writers)])
        for sync in (False, True):
            xs = samples[(sync, writers)]
            med = statistics.median(xs)
            t.add(
                str(writers),
                str(sync),
                f"{med * 1e6:.1f}",
                f"{min(xs) * 1e6:.1f}",
                f"{max(xs) * 1e6:.1f}",
                f"{med / default:.2f}x",
            )
        t.sep()
    t.add(
        "1",
        "device*",
        f"{statistics.median(raw) * 1e6:.1f}",
        f"{min(raw) * 1e6:.1f}",
        f"{max(raw) * 1e6:.1f}",
        "",
    )
    return (
        t.render() + "\n* no database: append one record-sized write to a file and fdatasync it (the floor)"
    )


# ------------------------------------------------------------------- open


def build(Database, path, n, a):
    if a.keep and os.path.exists(os.path.join(path, "seal.hovra")):
        return
    shutil.rmtree(path, ignore_errors=True)
    X, _ = bd.make_clustered(n, a.dim, 1, a.clusters, a.spread, a.seed)
    db = Database(path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction)
    ids = [str(i) for i in range(n)]
    t0 = bd.perf()
    for lo in range(0, n, a.chunk):
        db.add_many(ids[lo : lo + a.chunk], X[lo : lo + a.chunk])
    db.save()
    db.close()
    print(f"built {n:,} x {a.dim} in {bd.perf() - t0:.0f} s", file=sys.stderr)


def unchecked_copy(path):
    """The same graph and vector files (hard links) without the checksum record."""
    copy = path + "-unchecked"
    shutil.rmtree(copy, ignore_errors=True)
    os.makedirs(copy)
    for name in ("graph.hovra", "vectors.bin"):
        os.link(os.path.join(path, name), os.path.join(copy, name))
    return copy


def open_seconds(python, path, n):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)) if python == sys.executable else None
    out = subprocess.run(
        [python, "-c", OPEN_CHILD, path, str(n)], capture_output=True, text=True, check=True, env=env
    )
    return float(out.stdout.strip())


def open_table(Database, work, a):
    variants = [
        ("this build, checked", sys.executable, ""),
        ("this build, no record", sys.executable, "-unchecked"),
    ]
    if a.base_python:
        variants.append(("baseline build", a.base_python, ""))
    t = bd.Table(["n", "graph.hovra", "variant", "median open s", "min s", "max s", "vs baseline"])
    for n in [int(x) for x in a.sizes.split(",")]:
        path = os.path.join(work, f"open-{n}")
        build(Database, path, n, a)
        unchecked_copy(path)
        samples = {name: [] for name, _, _ in variants}
        for _ in range(a.rounds):
            for name, python, suffix in variants:
                samples[name].append(open_seconds(python, path + suffix, n))
        base = statistics.median(samples[variants[-1][0]])
        size = os.path.getsize(os.path.join(path, "graph.hovra")) / 2**20
        with open(os.path.join(path, "graph.hovra"), "rb") as f:
            graph = f.read()
        crc = statistics.median(
            bd.time_best(lambda: zlib.crc32(graph), repeat=1, warmup=0)[0] for _ in range(5)
        )
        t.add(f"{n:,}", f"{size:.1f} MiB", "CRC-32 of graph.hovra alone (zlib)", f"{crc:.3f}", "", "", "")
        for name, _, _ in variants:
            xs = samples[name]
            med = statistics.median(xs)
            t.add(
                f"{n:,}",
                f"{size:.1f} MiB",
                name,
                f"{med:.3f}",
                f"{min(xs):.3f}",
                f"{max(xs):.3f}",
                f"{med / base:.2f}x",
            )
        t.sep()
    return t.render()


def fs_type(path):
    best, kind = "", "?"
    with open("/proc/mounts") as f:
        for line in f:
            mnt, typ = line.split()[1:3]
            if os.path.realpath(path).startswith(mnt) and len(mnt) > len(best):
                best, kind = mnt, typ
    return kind


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    work = a.workdir or os.path.join("/tmp", "hovra-bench-durability")
    os.makedirs(work, exist_ok=True)
    base_src = "none"
    if a.base_python:
        base_src = subprocess.run(
            [a.base_python, "-c", "import _hovra; print(_hovra.__file__)"],
            capture_output=True,
            text=True,
            check=True,
        ).stdout.strip()
    print(
        bd.header(
            "hovra durability: cost per add with sync_writes, and open time with the graph checksum",
            [
                f"disk      : {work} ({fs_type(work)}); adds go to a {a.base:,}-record database, {a.dim} floats each",
                f"baseline  : {a.base_label + ', ' if a.base_label else ''}{base_src}",
                f"rounds    : {a.rounds}, settings interleaved in every round; medians",
                f"index     : m={a.m}, ef_construction={a.ef_construction} for the open table, threads={a.threads}",
            ],
        )
    )
    parts = a.parts.split(",")
    if "adds" in parts:
        print(f"\nsingle add, {a.adds:,} adds per measurement, microseconds per add (wall time / adds)")
        print(add_table(Database, work, a))
    if "open" in parts:
        print("\nopen (constructor only, fresh process, warm page cache)")
        print(open_table(Database, work, a))
    if not a.keep:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
