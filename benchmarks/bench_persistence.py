"""Persistence: save, reopen and first search after reopen, hovra against
hnswlib's save_index / load_index; and what the write-ahead log costs a
single add.

hovra's save writes vectors.bin and graph.hovra (through temporaries and
renames) and deletes the log; reopening maps vectors.bin, parses the graph
file and replays the (empty) log.  hnswlib writes and reads one index file.
Files are read back from a warm page cache (they were just written).

    python3 benchmarks/bench_persistence.py [--sizes 100000,1000000] [--dim 128] [--threads 2]

The default run builds 1,000,000 vectors in both libraries, which takes about
a quarter of an hour on two cores; --sizes 100000 gives a run of about a minute.
"""

from __future__ import annotations

import argparse
import gc
import os
import shutil
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--sizes", default="100000,1000000", help="comma-separated record counts")
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--chunk", type=int, default=100_000, help="add_many batch size while building")
    p.add_argument("--adds", type=int, default=1000, help="single adds timed per row of the log table")
    p.add_argument(
        "--small-base", type=int, default=1000, help="records in the small database of the log table"
    )
    p.add_argument("--shm", default="/dev/shm", help="tmpfs used for the in-memory baseline")
    bd.add_common_args(p, search=False, intrinsic=False)
    return p.parse_args()


def fs_type(path: str) -> str:
    best, kind = "", "?"
    try:
        with open("/proc/mounts") as f:
            for line in f:
                parts = line.split()
                mnt, typ = parts[1], parts[2]
                if os.path.realpath(path).startswith(mnt) and len(mnt) > len(best):
                    best, kind = mnt, typ
    except OSError:
        pass
    return kind


def hovra_top(db, Q, k=10):
    return [bd.hovra_ids(db.search(q, k=k)) for q in Q]


def persist_round(a, n, Database, hnswlib, work, keep):
    """Build, save, reopen and search one size; returns table rows."""
    X, Q = bd.make_clustered(n, a.dim, 101, a.clusters, a.spread, a.seed)
    first_q, Q = Q[0], Q[1:]
    ids = [str(i) for i in range(n)]
    rows = {}

    # ----------------------------------------------------------------- hovra
    path = os.path.join(work, f"hovra-{n}")
    db = Database(path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction)
    t0 = bd.perf()
    for lo in range(0, n, a.chunk):
        db.add_many(ids[lo : lo + a.chunk], X[lo : lo + a.chunk])
    rows["build"] = [bd.perf() - t0]
    wal_bytes = os.path.getsize(os.path.join(path, "wal.hovra"))
    before = hovra_top(db, Q[:20])
    t0 = bd.perf()
    db.save()
    rows["save"] = [bd.perf() - t0]
    rows["size"] = [bd.dir_bytes(path)]
    del db
    gc.collect()

    t0 = bd.perf()
    db = Database(path)
    rows["open"] = [bd.perf() - t0]
    t0 = bd.perf()
    db.search(first_q, k=10)
    rows["first"] = [bd.perf() - t0]
    t0 = bd.perf()
    db.search(Q[-1], k=10)
    rows["second"] = [bd.perf() - t0]
    tot, _, _ = bd.time_single(lambda q: db.search(q, k=10), Q, warmup=0)
    rows["steady"] = [tot / len(Q)]
    same = hovra_top(db, Q[:20]) == before
    rows["open+first"] = [rows["open"][0] + rows["first"][0]]
    if len(db) != n:
        bd.emit(f"MISMATCH: reopened hovra database holds {len(db)} records, expected {n}")
    del db
    gc.collect()

    # --------------------------------------------------------------- hnswlib
    if hnswlib is not None:
        hpath = os.path.join(work, f"hnswlib-{n}.bin")
        hi = hnswlib.Index(space="l2", dim=a.dim)
        hi.init_index(max_elements=n, ef_construction=a.ef_construction, M=a.m, random_seed=100)
        t0 = bd.perf()
        for lo in range(0, n, a.chunk):
            hi.add_items(X[lo : lo + a.chunk], np.arange(lo, min(n, lo + a.chunk)), num_threads=a.threads)
        rows["build"].append(bd.perf() - t0)
        hi.set_ef(200)
        t0 = bd.perf()
        hi.save_index(hpath)
        rows["save"].append(bd.perf() - t0)
        rows["size"].append(os.path.getsize(hpath))
        del hi
        gc.collect()

        t0 = bd.perf()
        hi = hnswlib.Index(space="l2", dim=a.dim)
        hi.load_index(hpath, max_elements=n + a.adds + 16)
        hi.set_ef(200)  # hovra's default beam for k = 10
        rows["open"].append(bd.perf() - t0)
        t0 = bd.perf()
        hi.knn_query(first_q, k=10, num_threads=1)
        rows["first"].append(bd.perf() - t0)
        t0 = bd.perf()
        hi.knn_query(Q[-1], k=10, num_threads=1)
        rows["second"].append(bd.perf() - t0)
        tot, _, _ = bd.time_single(lambda q: hi.knn_query(q, k=10, num_threads=1), Q, warmup=0)
        rows["steady"].append(tot / len(Q))
        rows["open+first"].append(rows["open"][1] + rows["first"][1])
        del hi
        gc.collect()

    if keep is not None:
        keep.update(hovra=path, hnswlib=os.path.join(work, f"hnswlib-{n}.bin"), n=n)
    else:
        shutil.rmtree(path, ignore_errors=True)
        if hnswlib is not None:
            os.remove(os.path.join(work, f"hnswlib-{n}.bin"))
    return rows, same, wal_bytes


def time_adds(add, vectors, first_id):
    lat = np.empty(len(vectors))
    for i, v in enumerate(vectors):
        t0 = bd.perf()
        add(str(first_id + i), v)
        lat[i] = bd.perf() - t0
    return lat


def log_rows(a, Database, hnswlib, work, shm, base):
    """Per-add latency: hovra on disk (logged), hovra on tmpfs, hnswlib."""
    _, V = bd.make_clustered(10, a.dim, a.adds + 1, a.clusters, a.spread, a.seed + 99)
    out = []

    # Large base: the saved database, reopened (vectors memory-mapped).
    if base:
        n = base["n"]
        shm_path = os.path.join(shm, "hovra-base")
        shutil.copytree(base["hovra"], shm_path)
        row = {"base": f"{n:,} (reopened)"}
        for label, path in (("disk", base["hovra"]), ("tmpfs", shm_path)):
            db = Database(path)
            t0 = bd.perf()
            db.add("warm-0", V[0])  # first change after reopen copies the mapped vectors
            row[label + "_first"] = bd.perf() - t0
            w0 = os.path.getsize(os.path.join(path, "wal.hovra"))
            lat = time_adds(lambda i, v: db.add(i, v), V[1:], n)
            row[label] = lat
            row["wal_per_add"] = (os.path.getsize(os.path.join(path, "wal.hovra")) - w0) / len(lat)
            del db
            gc.collect()
        shutil.rmtree(shm_path, ignore_errors=True)
        if hnswlib is not None:
            hi = hnswlib.Index(space="l2", dim=a.dim)
            hi.load_index(base["hnswlib"], max_elements=n + a.adds + 16)
            hi.add_items(V[:1], [n + a.adds + 1], num_threads=1)
            row["hnswlib"] = time_adds(
                lambda i, v: hi.add_items(v[None, :], [int(i)], num_threads=1), V[1:], n
            )
            del hi
        out.append(row)

    # Small base: freshly built in this process (owned vectors, log already open).
    nb = a.small_base
    Xs, _ = bd.make_clustered(nb, a.dim, 1, a.clusters, a.spread, a.seed + 7)
    row = {"base": f"{nb:,} (fresh)"}
    for label, parent in (("disk", work), ("tmpfs", shm)):
        path = os.path.join(parent, "hovra-small")
        db = Database(path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction)
        db.add_many([str(i) for i in range(nb)], Xs)
        t0 = bd.perf()
        db.add("warm-0", V[0])
        row[label + "_first"] = bd.perf() - t0
        w0 = os.path.getsize(os.path.join(path, "wal.hovra"))
        row[label] = time_adds(lambda i, v: db.add(i, v), V[1:], nb)
        row["wal_per_add"] = (os.path.getsize(os.path.join(path, "wal.hovra")) - w0) / a.adds
        del db
        gc.collect()
        shutil.rmtree(path, ignore_errors=True)
    if hnswlib is not None:
        hi = hnswlib.Index(space="l2", dim=a.dim)
        hi.init_index(max_elements=nb + a.adds + 16, ef_construction=a.ef_construction, M=a.m)
        hi.add_items(Xs, np.arange(nb), num_threads=a.threads)
        hi.add_items(V[:1], [nb + a.adds + 1], num_threads=1)
        row["hnswlib"] = time_adds(lambda i, v: hi.add_items(v[None, :], [int(i)], num_threads=1), V[1:], nb)
        del hi
    out.append(row)
    return out


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    hnswlib = bd.import_hnswlib()
    sizes = [int(s) for s in a.sizes.split(",")]
    shm_ok = os.path.isdir(a.shm) and fs_type(a.shm) == "tmpfs"

    with bd.scratch_dir(a.workdir) as work, bd.scratch_dir(a.shm if shm_ok else None) as shm:
        bd.emit(
            bd.header(
                "hovra persistence: save / reopen / first search, and the log's cost per add",
                [
                    f"data      : {', '.join(f'{s:,}' for s in sizes)} x {a.dim} float32, "
                    f"{a.clusters} Gaussian clusters; built with add_many in chunks of {a.chunk:,} "
                    f"(hnswlib add_items in the same chunks)",
                    f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}; "
                    f"searches k=10 with ef 200 (hovra's default) in both",
                    f"disk      : {work} ({fs_type(work)}); page cache warm, nothing is fsync'ed by either "
                    f"library",
                    f"tmpfs     : {shm} ({fs_type(shm)})"
                    + ("" if shm_ok else " - /dev/shm unusable, tmpfs rows are on disk"),
                    "ratios    : hovra/hnswlib; >1 means hovra takes longer",
                ],
            )
        )

        keep_size = min(sizes)
        all_rows = []
        base = {}
        for n in sizes:
            rows, same, wal_bytes = persist_round(
                a, n, Database, hnswlib, work, base if n == keep_size else None
            )
            all_rows.append((n, rows, same, wal_bytes))
            bd.emit(
                f"{n:,}: hovra build {rows['build'][0]:.1f} s"
                + (f", hnswlib build {rows['build'][1]:.1f} s" if len(rows["build"]) > 1 else "")
                + f"; log before save {wal_bytes / 2**20:.1f} MiB; "
                f"results identical after reopen: {'yes' if same else 'NO'}"
            )

        bd.emit()
        t = bd.Table(["n", "step", "hovra", "hnswlib", "ratio"])
        labels = [
            ("build", "build (add_many / add_items)", "s"),
            ("save", "save / save_index", "s"),
            ("size", "files on disk", "MiB"),
            ("open", "reopen / load_index", "s"),
            ("first", "first search after reopen", "ms"),
            ("second", "second search", "ms"),
            ("steady", "mean of next 100 searches", "ms"),
            ("open+first", "reopen + first search", "s"),
        ]
        for n, rows, _same, _w in all_rows:
            for key, name, unit in labels:
                vals = rows[key]
                scale = {"s": 1.0, "ms": 1e3, "MiB": 1 / 2**20}[unit]
                spec = ".3f" if unit != "MiB" else ".1f"
                h = format(vals[0] * scale, spec) + " " + unit
                p = format(vals[1] * scale, spec) + " " + unit if len(vals) > 1 else "-"
                r = f"{vals[0] / vals[1]:.2f}x" if len(vals) > 1 and vals[1] > 0 else "-"
                t.add(f"{n:,}", name, h, p, r)
            t.sep()
        bd.emit(t.render())

        bd.emit()
        bd.emit(
            f"single add, {a.adds:,} adds per row, no metadata, ids str; mean / p50 / p99 in microseconds"
        )
        bd.emit("  hovra disk  = logged add, database directory on the disk file system")
        bd.emit(
            "  hovra tmpfs = the same logged add with the directory on tmpfs (the log write "
            "costs no device work)"
        )
        bd.emit("  hnswlib     = add_items of one vector, no log at all (the in-memory baseline)")
        bd.emit(
            "  'first add' = the first add after open, which copies memory-mapped vectors into owned memory"
        )
        lrows = log_rows(a, Database, hnswlib, work, shm, base)
        t = bd.Table(
            [
                "base",
                "variant",
                "mean us",
                "p50 us",
                "p99 us",
                "first add ms",
                "vs hovra tmpfs",
                "vs hnswlib",
                "log bytes/add",
            ]
        )
        for r in lrows:
            for label in ("disk", "tmpfs", "hnswlib"):
                if label not in r:
                    continue
                lat = r[label] * 1e6
                mean = float(lat.mean())
                vs_t = mean / float(r["tmpfs"].mean() * 1e6)
                vs_h = mean / float(r["hnswlib"].mean() * 1e6) if "hnswlib" in r else None
                t.add(
                    r["base"] if label == "disk" else "",
                    {"disk": "hovra disk", "tmpfs": "hovra tmpfs", "hnswlib": "hnswlib"}[label],
                    f"{mean:.1f}",
                    f"{np.median(lat):.1f}",
                    f"{np.percentile(lat, 99):.1f}",
                    f"{1e3 * r[label + '_first']:.2f}" if label + "_first" in r else "-",
                    f"{vs_t:.2f}x" if label != "tmpfs" else "1.00x",
                    f"{vs_h:.2f}x" if vs_h is not None and label != "hnswlib" else "-",
                    f"{r['wal_per_add']:.0f}" if label != "hnswlib" else "-",
                )
            t.sep()
        bd.emit(t.render())
        gc.collect()


if __name__ == "__main__":
    main()
