"""The write path: ingest, time until searchable, search latency while
ingesting, open of an unsaved log, and save after a few changes.

- ingest: ``--n`` records of ``--dim`` floats (clustered) go in by batches of
  ``--batch`` from 1 and 4 writer threads. The table gives the records per
  second until the last ``add_many`` returned (wall time) and the recall@10 of
  ``--queries`` searches made at that moment (fresh records are scanned
  exactly, so they are searchable at once), then the time until the linker
  has linked everything. hnswlib's ``add_items`` (synchronous: searchable
  when it returns) on the same data is the peer, and LanceDB where it
  installs (``pip install lancedb``): rows added to a table are searchable
  at once by a flat scan of the unindexed rows, and are in an index once
  ``create_index`` (IVF_HNSW_SQ) has run over the table, which is its
  "until linked".
- latency: single searches (one thread) on a database of ``--n`` records,
  idle and while a writer adds ``--rate`` records per second by batches of
  100; p50 and p99 wall time. LanceDB beside it: a table of the same rows
  with an IVF_HNSW_SQ index, the writer's rows left unindexed (searched by
  a flat scan, as LanceDB does until its index is rebuilt).
- open: a log of n records is written in the log's documented format (the
  same bytes ``add_many`` would log, without paying for the linking first),
  and the constructor's wall time in a fresh process is measured, with the
  log's size over that time.
- save: after 1 record, 1 % and 10 % of ``--n`` changed (updated), the time
  of ``save()``; hnswlib's ``save_index`` and faiss's ``write_index`` of the
  same collection as peers.
- checkpoint: single ``add()`` calls at ``--add-rate`` per second for
  ``--add-seconds`` on a database of ``--n`` records, with background
  checkpoints every ``--checkpoint-every`` records and without them; p50, p99
  and max wall time of the call, and of the time from its scheduled start
  (a call that waits behind a checkpoint delays the ones scheduled after
  it). Each round runs in a fresh process per build; ``--builds
  name=PYTHONPATH,...`` compares builds (an empty PYTHONPATH: the installed
  package), interleaved round by round.

Rounds interleave the settings; medians with min and max.

    python3 benchmarks/bench_write_path.py [--n 50000] [--dim 128] [--rounds 3]
        [--open-sizes 100000,1000000] [--parts ingest,latency,open,save,checkpoint]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import threading
import time
import warnings
import zlib

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=50_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--batch", type=int, default=1000)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--rate", type=int, default=2000, help="records per second added during the latency test")
    p.add_argument("--latency-queries", type=int, default=2000)
    p.add_argument("--open-sizes", default="100000,1000000")
    p.add_argument("--parts", default="ingest,latency,open,save,checkpoint")
    p.add_argument("--add-rate", type=int, default=2000, help="single adds per second in the checkpoint part")
    p.add_argument("--add-seconds", type=float, default=8.0)
    p.add_argument(
        "--checkpoint-every", type=int, default=4000, help="checkpoint_records in the checkpoint part"
    )
    p.add_argument("--builds", default="", help="name=PYTHONPATH,... compared in the checkpoint part")
    p.add_argument("--checkpoint-round", default="", help=argparse.SUPPRESS)
    p.add_argument(
        "--link-up-to", type=int, default=200_000, help="open tables wait for the linker up to this size"
    )
    bd.add_common_args(p, search=True, intrinsic=False)
    p.set_defaults(queries=200, ef_construction=100)
    return p.parse_args()


def stats(xs, scale=1.0, spec=".3f"):
    return (
        format(statistics.median(xs) * scale, spec),
        format(min(xs) * scale, spec),
        format(max(xs) * scale, spec),
    )


# ------------------------------------------------------------------ ingest


def ingest_hovra(Database, work, X, Q, truth, writers, a, r):
    path = os.path.join(work, f"ingest-{writers}-{r}")
    shutil.rmtree(path, ignore_errors=True)
    db = Database(path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction)
    n = len(X)
    starts = list(range(0, n, a.batch))
    parts = [starts[w::writers] for w in range(writers)]

    def writer(w):
        for lo in parts[w]:
            db.add_many([str(i) for i in range(lo, min(n, lo + a.batch))], X[lo : lo + a.batch])

    threads = [threading.Thread(target=writer, args=(w,)) for w in range(writers)]
    t0 = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    stored = time.perf_counter() - t0
    fresh = db.stats()["fresh_rows"]
    found = [bd.hovra_ids(db.search(q, k=a.k)) for q in Q]
    recall = bd.recall_at_k(found, truth, a.k)
    db.wait_indexed()
    linked = time.perf_counter() - t0
    db.close(save=False)
    shutil.rmtree(path, ignore_errors=True)
    return stored, recall, fresh, linked


def ingest_hnswlib(hnswlib, X, Q, truth, a):
    index = hnswlib.Index(space="l2", dim=a.dim)
    index.init_index(max_elements=len(X), M=a.m, ef_construction=a.ef_construction)
    index.set_num_threads(a.threads)
    t0 = time.perf_counter()
    for lo in range(0, len(X), a.batch):
        index.add_items(X[lo : lo + a.batch], np.arange(lo, min(len(X), lo + a.batch)))
    built = time.perf_counter() - t0
    index.set_ef(max(200, a.k))
    labels, _ = index.knn_query(Q, k=a.k)
    return built, bd.recall_at_k(labels.tolist(), truth, a.k)


def lance_rows(pa, X, lo, hi):
    """Rows lo..hi of X as an Arrow table of ids and fixed-size vectors."""
    dim = X.shape[1]
    return pa.table(
        {
            "id": pa.array([str(i) for i in range(lo, hi)]),
            "vector": pa.FixedSizeListArray.from_arrays(pa.array(X[lo:hi].ravel()), dim),
        }
    )


def lance_ids(table, q, k):
    hits = table.search(q).metric("l2").limit(k).select(["id", "_distance"]).to_arrow()
    return [int(i) for i in hits.column("id").to_pylist()]


def lance_index(table, n):
    with warnings.catch_warnings():  # the keyword form is deprecated in 0.41, still the plainest
        warnings.simplefilter("ignore", DeprecationWarning)
        table.create_index(metric="l2", index_type="IVF_HNSW_SQ", num_partitions=max(1, n // 8192))


def ingest_lancedb(lancedb, pa, work, X, Q, truth, a, r):
    path = os.path.join(work, f"lance-ingest-{r}")
    shutil.rmtree(path, ignore_errors=True)
    n = len(X)
    t0 = time.perf_counter()
    table = lancedb.connect(path).create_table("t", lance_rows(pa, X, 0, min(n, a.batch)))
    for lo in range(a.batch, n, a.batch):
        table.add(lance_rows(pa, X, lo, min(n, lo + a.batch)))
    stored = time.perf_counter() - t0
    recall = bd.recall_at_k([lance_ids(table, q, a.k) for q in Q], truth, a.k)
    lance_index(table, n)
    indexed = time.perf_counter() - t0
    shutil.rmtree(path, ignore_errors=True)
    return stored, recall, indexed


def ingest_table(Database, hnswlib, work, a, lance=None):
    X, Q = bd.make_clustered(a.n, a.dim, a.queries, a.clusters, a.spread, a.seed)
    truth = bd.exact_knn(X, Q, a.k)
    samples = {w: [] for w in (1, 4)}
    peer = []
    lance_samples = []
    for r in range(a.rounds):
        for w in (1, 4):
            samples[w].append(ingest_hovra(Database, work, X, Q, truth, w, a, r))
        if hnswlib is not None:
            peer.append(ingest_hnswlib(hnswlib, X, Q, truth, a))
        if lance is not None:
            lance_samples.append(ingest_lancedb(*lance, work, X, Q, truth, a, r))
    t = bd.Table(
        [
            "engine",
            "writers",
            "records/s stored",
            "(min-max)",
            "recall@10 then",
            "fresh then",
            "s until linked",
            "(min-max)",
        ]
    )
    for w in (1, 4):
        xs = samples[w]
        rate = [a.n / s[0] for s in xs]
        med, lo, hi = stats(rate, spec=",.0f")
        lmed, llo, lhi = stats([s[3] for s in xs], spec=".1f")
        t.add(
            "hovra",
            str(w),
            med,
            f"{lo}-{hi}",
            f"{statistics.median(s[1] for s in xs):.4f}",
            f"{statistics.median(s[2] for s in xs):,.0f}",
            lmed,
            f"{llo}-{lhi}",
        )
    if peer:
        rate = [a.n / s[0] for s in peer]
        med, lo, hi = stats(rate, spec=",.0f")
        bmed, blo, bhi = stats([s[0] for s in peer], spec=".1f")
        t.add(
            "hnswlib",
            f"{a.threads} (add_items)",
            med,
            f"{lo}-{hi}",
            f"{statistics.median(s[1] for s in peer):.4f}",
            "0",
            bmed,
            f"{blo}-{bhi}",
        )
    if lance_samples:
        rate = [a.n / s[0] for s in lance_samples]
        med, lo, hi = stats(rate, spec=",.0f")
        imed, ilo, ihi = stats([s[2] for s in lance_samples], spec=".1f")
        t.add(
            "lancedb",
            "1 (add; index after)",
            med,
            f"{lo}-{hi}",
            f"{statistics.median(s[1] for s in lance_samples):.4f}",
            f"{a.n:,} (unindexed)",
            imed,
            f"{ilo}-{ihi}",
        )
    return (
        f"ingest: {a.n:,} x {a.dim} by batches of {a.batch}, {a.rounds} rounds; recall@10 of "
        f"{a.queries} searches made when the last add_many returned\n" + t.render()
    )


# ------------------------------------------------------------------ latency


def paced_writer(add, start, end, rate, stop):
    """Adds rows start.. by batches of 100 at rate rows a second until stop
    is set or the rows run out; add(lo, hi) adds one batch."""
    step = 100
    lo = start
    t_next = time.perf_counter()
    while not stop.is_set() and lo + step <= end:
        add(lo, lo + step)
        lo += step
        t_next += step / rate
        pause = t_next - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
    return lo


def timed_queries(search, Q):
    out = []
    for q in Q:
        t0 = time.perf_counter()
        search(q)
        out.append(time.perf_counter() - t0)
    return out


class HovraLatency:
    """hovra for the latency rounds: a database of the first n rows, linked."""

    name = "hovra"

    def __init__(self, Database, work, X, a):
        self.path = os.path.join(work, "latency")
        shutil.rmtree(self.path, ignore_errors=True)
        self.db = Database(self.path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction)
        for lo in range(0, a.n, 10_000):
            hi = min(a.n, lo + 10_000)
            self.db.add_many([str(i) for i in range(lo, hi)], X[lo:hi])
        self.db.wait_indexed()
        self.k, self.X, self.fresh = a.k, X, []

    def search(self, q):
        self.db.search(q, k=self.k)

    def add(self, lo, hi):
        self.db.add_many([str(i) for i in range(lo, hi)], self.X[lo:hi])

    def end_round(self):
        self.fresh.append(self.db.stats()["fresh_rows"])
        self.db.wait_indexed()

    def close(self):
        self.db.close(save=False)
        shutil.rmtree(self.path, ignore_errors=True)


class LanceLatency:
    """LanceDB for the latency rounds: a table of the first n rows with an
    IVF_HNSW_SQ index; the writer's rows stay unindexed (a flat scan)."""

    name = "lancedb"

    def __init__(self, lance, work, X, a):
        self.lancedb, self.pa = lance
        self.path = os.path.join(work, "lance-latency")
        shutil.rmtree(self.path, ignore_errors=True)
        self.table = self.lancedb.connect(self.path).create_table("t", lance_rows(self.pa, X, 0, a.n))
        lance_index(self.table, a.n)
        self.k, self.X = a.k, X

    def search(self, q):
        self.table.search(q).metric("l2").limit(self.k).select(["id", "_distance"]).to_arrow()

    def add(self, lo, hi):
        self.table.add(lance_rows(self.pa, self.X, lo, hi))

    def end_round(self):
        pass

    def close(self):
        shutil.rmtree(self.path, ignore_errors=True)


def ingesting_queries(engine, Q, start, end, rate):
    """The queries' times while a writer adds rows start.. at rate; returns
    them and the first row not added."""
    stop = threading.Event()
    box = {"end": start}

    def writer():
        box["end"] = paced_writer(engine.add, start, end, rate, stop)

    th = threading.Thread(target=writer)
    th.start()
    try:
        return timed_queries(engine.search, Q), box
    finally:
        stop.set()
        th.join()


def latency_table(Database, work, a, lance=None):
    X, Q = bd.make_clustered(a.n + 200_000, a.dim, a.latency_queries, a.clusters, a.spread, a.seed + 1)
    engines = [HovraLatency(Database, work, X, a)]
    if lance is not None:
        engines.append(LanceLatency(lance, work, X, a))
    results = {e.name: {"idle": [], "ingesting": []} for e in engines}
    # Each engine's writer takes its own rows after the first n.
    next_row = {e.name: a.n for e in engines}
    for _ in range(a.rounds):
        for e in engines:
            results[e.name]["idle"].append(timed_queries(e.search, Q))
            times, box = ingesting_queries(e, Q, next_row[e.name], len(X), a.rate)
            results[e.name]["ingesting"].append(times)
            next_row[e.name] = box["end"]
            e.end_round()
    for e in engines:
        e.close()
    t = bd.Table(["engine", "state", "p50 ms", "p99 ms", "p99 range ms", "queries"])
    for engine, res in results.items():
        for state, runs in res.items():
            p50 = [float(np.percentile(r, 50)) for r in runs]
            p99 = [float(np.percentile(r, 99)) for r in runs]
            t.add(
                engine,
                state,
                f"{statistics.median(p50) * 1e3:.3f}",
                f"{statistics.median(p99) * 1e3:.3f}",
                f"{min(p99) * 1e3:.3f}-{max(p99) * 1e3:.3f}",
                str(sum(len(r) for r in runs)),
            )
    return (
        f"search latency: {a.n:,} x {a.dim}, k={a.k}, one query at a time, idle against a writer adding "
        f"{a.rate:,} records/s by batches of 100, engines interleaved by round (hovra's fresh rows at the "
        f"end of each round: {engines[0].fresh})\n" + t.render()
    )


# ------------------------------------------------------------------ open


def frame(kind, payload):
    head = bytes([kind])
    return head + struct.pack("<I", len(payload)) + payload + struct.pack("<I", zlib.crc32(head + payload))


def write_log(path, n, dim, seed, batch=10_000):
    """A log of n inserts in batches, as add_many writes it, after the header
    of the log the directory holds (its checkpoint generation)."""
    rng = np.random.default_rng(seed)
    log = os.path.join(path, "wal.hovra")
    with open(log, "rb") as f:
        header = f.read(20)
    with open(log, "wb") as f:
        f.write(header)
        for lo in range(0, n, batch):
            count = min(batch, n - lo)
            block = rng.standard_normal((count, dim)).astype("<f4")
            out = [frame(4, struct.pack("<I", count))]
            for i in range(count):
                ident = str(lo + i).encode()
                payload = (
                    struct.pack("<I", len(ident))
                    + ident
                    + struct.pack("<I", dim)
                    + block[i].tobytes()
                    + struct.pack("<I", 0)
                )
                out.append(frame(1, payload))
            out.append(frame(5, struct.pack("<I", count)))
            f.write(b"".join(out))


OPEN_CHILD = r"""
import sys, time
from hovra import Database
t0, c0 = time.perf_counter(), time.process_time()
db = Database(sys.argv[1], autocheckpoint=False)  # the log stays for the next round
t1, c1 = time.perf_counter(), time.process_time()
assert len(db) == int(sys.argv[2])
if sys.argv[3] == "link":
    db.wait_indexed()
t2 = time.perf_counter()
db.close(save=False)
print(t1 - t0, c1 - c0, t2 - t0)
"""


def open_table(Database, work, a):
    sizes = [int(s) for s in a.open_sizes.split(",") if s]
    paths = {}
    for n in sizes:
        path = os.path.join(work, f"open-{n}")
        shutil.rmtree(path, ignore_errors=True)
        Database(path, dim=a.dim, metric="euclidean").close()
        write_log(path, n, a.dim, a.seed)
        paths[n] = path
    samples = {n: [] for n in sizes}
    cpu = {n: [] for n in sizes}
    linked = {n: [] for n in sizes}
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    for _ in range(a.rounds):
        for n in sizes:
            # Each open is made on a fresh copy of the log: an open leaves
            # the log as it was (close(save=False)), but keep it exact.
            out = subprocess.run(
                [sys.executable, "-c", OPEN_CHILD, paths[n], str(n), "link" if n <= a.link_up_to else "-"],
                capture_output=True,
                text=True,
                check=True,
                env=env,
            )
            secs, cpu_secs, linked_secs = out.stdout.split()
            samples[n].append(float(secs))
            cpu[n].append(float(cpu_secs))
            linked[n].append(float(linked_secs))
    t = bd.Table(
        [
            "records",
            "log MiB",
            "open s",
            "(min-max)",
            "log MB/s",
            "open CPU s",
            "log MB/CPU s",
            "open + linked s",
        ]
    )
    for n in sizes:
        size = os.path.getsize(os.path.join(paths[n], "wal.hovra"))
        med, lo, hi = stats(samples[n], spec=".3f")
        t.add(
            f"{n:,}",
            bd.mib(size),
            med,
            f"{lo}-{hi}",
            f"{size / 1e6 / statistics.median(samples[n]):.0f}",
            f"{statistics.median(cpu[n]):.3f}",
            f"{size / 1e6 / statistics.median(cpu[n]):.0f}",
            f"{statistics.median(linked[n]):.1f}" if n <= a.link_up_to else "-",
        )
        shutil.rmtree(paths[n], ignore_errors=True)
    return (
        f"open of an unsaved log ({a.dim} floats per record, no metadata): the constructor's wall and CPU time "
        "in a fresh process, warm page cache; 'open + linked' adds the wait for the linker (wait_indexed), "
        "which is what an open cost when it linked the log's records before returning\n" + t.render()
    )


# ------------------------------------------------------------------ save


def save_table(Database, hnswlib, faiss, work, a):
    X, _ = bd.make_clustered(a.n, a.dim, 1, a.clusters, a.spread, a.seed + 2)
    path = os.path.join(work, "save")
    shutil.rmtree(path, ignore_errors=True)
    db = Database(
        path, dim=a.dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction, autocheckpoint=False
    )
    for lo in range(0, a.n, 10_000):
        db.add_many([str(i) for i in range(lo, min(a.n, lo + 10_000))], X[lo : lo + 10_000])
    db.wait_indexed()
    db.save()
    rng = np.random.default_rng(3)
    changes = {"1 record": 1, "1 %": max(1, a.n // 100), "10 %": max(1, a.n // 10)}
    samples = {c: [] for c in changes}
    peers = {"hnswlib save_index": [], "faiss write_index": []}
    hnsw = fx = None
    if hnswlib is not None:
        hnsw = hnswlib.Index(space="l2", dim=a.dim)
        hnsw.init_index(max_elements=a.n, M=a.m, ef_construction=a.ef_construction)
        hnsw.add_items(X, np.arange(a.n))
    if faiss is not None:
        fx = faiss.IndexHNSWFlat(a.dim, a.m)
        fx.hnsw.efConstruction = a.ef_construction
        fx.add(X)
    for _ in range(a.rounds):
        for label, count in changes.items():
            picked = rng.choice(a.n, size=count, replace=False)
            db.update_many([str(i) for i in picked], vectors=X[picked] + 0.01)
            db.wait_indexed()
            t0 = time.process_time()
            db.save()
            samples[label].append(time.process_time() - t0)
        if hnsw is not None:
            t0 = time.process_time()
            hnsw.save_index(os.path.join(work, "hnswlib.bin"))
            peers["hnswlib save_index"].append(time.process_time() - t0)
        if fx is not None:
            t0 = time.process_time()
            faiss.write_index(fx, os.path.join(work, "faiss.index"))
            peers["faiss write_index"].append(time.process_time() - t0)
    t = bd.Table(["what", "CPU s", "(min-max)"])
    for label, xs in list(samples.items()) + [(k, v) for k, v in peers.items() if v]:
        med, lo, hi = stats(xs, spec=".4f")
        t.add(label if label in peers else f"hovra save after {label} changed", med, f"{lo}-{hi}")
    db.close(save=False)
    shutil.rmtree(path, ignore_errors=True)
    return f"save: {a.n:,} x {a.dim}, CPU time of the call (the fsyncs' wait is not CPU)\n" + t.render()


# ------------------------------------------------------------------ checkpoint


def log_generation(path):
    with open(os.path.join(path, "wal.hovra"), "rb") as f:
        return int.from_bytes(f.read(16)[8:16], "little")


def checkpoint_round(Database, work, a, background):
    """Single adds at a fixed rate; returns each call's own wall time, its
    time from the scheduled start, and the checkpoints that ran."""
    X, _ = bd.make_clustered(
        a.n + int(a.add_rate * a.add_seconds) + 1, a.dim, 1, a.clusters, a.spread, a.seed + 3
    )
    path = os.path.join(work, "checkpoint")
    shutil.rmtree(path, ignore_errors=True)
    db = Database(
        path,
        dim=a.dim,
        metric="euclidean",
        m=a.m,
        ef_construction=a.ef_construction,
        autocheckpoint=background,
        checkpoint_records=a.checkpoint_every,
    )
    for lo in range(0, a.n, 10_000):
        db.add_many([str(i) for i in range(lo, min(a.n, lo + 10_000))], X[lo : min(a.n, lo + 10_000)])
    db.wait_indexed()
    db.save()
    first = log_generation(path)
    own, scheduled = [], []
    count = int(a.add_rate * a.add_seconds)
    start = time.perf_counter()
    for i in range(count):
        due = start + i / a.add_rate
        pause = due - time.perf_counter()
        if pause > 0:
            time.sleep(pause)
        t0 = time.perf_counter()
        db.add(f"w{i}", X[a.n + i])
        t1 = time.perf_counter()
        own.append(t1 - t0)
        scheduled.append(t1 - due)
    checkpoints = log_generation(path) - first
    db.close(save=False)
    shutil.rmtree(path, ignore_errors=True)
    return {"own": own, "scheduled": scheduled, "checkpoints": checkpoints}


def checkpoint_table(work, a):
    import json

    builds = [b.split("=", 1) for b in a.builds.split(",")] if a.builds else [["this build", None]]
    results = {(name, bg): [] for name, _ in builds for bg in (True, False)}
    for _ in range(a.rounds):
        for background in (True, False):
            for name, pythonpath in builds:
                env = dict(os.environ)
                if pythonpath is not None:
                    env["PYTHONPATH"] = pythonpath
                args = [
                    sys.executable,
                    os.path.abspath(__file__),
                    "--checkpoint-round",
                    "on" if background else "off",
                ]
                for key in (
                    "n",
                    "dim",
                    "m",
                    "ef_construction",
                    "add_rate",
                    "add_seconds",
                    "checkpoint_every",
                    "seed",
                ):
                    args += [f"--{key.replace('_', '-')}", str(getattr(a, key))]
                args += ["--workdir", work]
                out = subprocess.run(args, env=env, check=True, capture_output=True, text=True).stdout
                results[(name, background)].append(json.loads(out.splitlines()[-1]))
    t = bd.Table(
        [
            "build",
            "checkpoints",
            "call p50 ms",
            "call p99 ms",
            "call max ms",
            "from schedule p99 ms",
            "(min-max)",
        ]
    )
    for (name, background), runs in results.items():

        def med(key, q):
            return statistics.median(float(np.percentile(r[key], q)) for r in runs) * 1e3

        p99s = [float(np.percentile(r["scheduled"], 99)) * 1e3 for r in runs]
        t.add(
            name,
            f"{statistics.median(r['checkpoints'] for r in runs):.0f}" if background else "off",
            f"{med('own', 50):.3f}",
            f"{med('own', 99):.3f}",
            f"{statistics.median(max(r['own']) for r in runs) * 1e3:.1f}",
            f"{statistics.median(p99s):.3f}",
            f"{min(p99s):.3f}-{max(p99s):.3f}",
        )
    return (
        f"add() while checkpoints run: {a.n:,} x {a.dim}, {a.add_rate:,} single adds/s for {a.add_seconds:g} s, "
        f"checkpoint_records={a.checkpoint_every:,} (off: autocheckpoint=False); wall time of each call, and from "
        f"its scheduled start; medians over {a.rounds} rounds, each in a fresh process\n" + t.render()
    )


def main():
    a = parse_args()
    if a.checkpoint_round:
        import json

        bd.set_threads(a.threads)
        with bd.scratch_dir(a.workdir) as work:
            r = checkpoint_round(bd.import_hovra(), work, a, a.checkpoint_round == "on")
        print(json.dumps(r))
        return
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    hnswlib = bd.import_hnswlib()
    try:
        import faiss  # type: ignore
    except ImportError:
        faiss = None
    try:
        import lancedb  # type: ignore
        import pyarrow as pa

        lance = (lancedb, pa)
    except ImportError:
        lance = None
    parts = set(a.parts.split(","))
    with bd.scratch_dir(a.workdir) as work:
        run(a, Database, hnswlib, faiss, parts, work, lance)


def run(a, Database, hnswlib, faiss, parts, work, lance=None):
    bd.emit(
        bd.header(
            "hovra write path: ingest, searchable at once, latency while ingesting, open of a log, save",
            [
                f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}, "
                f"rounds={a.rounds}"
            ],
        )
    )
    if "ingest" in parts:
        bd.emit(ingest_table(Database, hnswlib, work, a, lance) + "\n")
    if "latency" in parts:
        bd.emit(latency_table(Database, work, a, lance) + "\n")
    if "open" in parts:
        bd.emit(open_table(Database, work, a) + "\n")
    if "save" in parts:
        bd.emit(save_table(Database, hnswlib, faiss, work, a) + "\n")
    if "checkpoint" in parts:
        bd.emit(checkpoint_table(work, a) + "\n")


if __name__ == "__main__":
    main()
