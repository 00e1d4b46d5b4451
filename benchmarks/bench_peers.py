#!/usr/bin/env python3
"""hovra beside hnswlib, faiss-cpu and usearch on the same data.

Data sets (choose with --sets):
  synth      100,000 x 128, 100 Gaussian clusters, squared Euclidean
  synth32    1,000,000 x 32, 100 Gaussian clusters, squared Euclidean
  synth768   30,000 x 768, 100 Gaussian clusters, squared Euclidean
             (hovra full precision against hovra SQ8 only, by default)
  synth96    5,000,000 x 96, 100 Gaussian clusters, squared Euclidean
             (the large synthetic set: hovra, hnswlib and faiss; run a
             share of it with --scale, e.g. --scale 0.4 for 2,000,000)
  real1m     the real set below replicated with noise to 1,000,000 x 384:
             row i is real row i mod 59,021 plus Gaussian noise of norm
             0.5, normalised (so every text has about 17 noisy copies at
             cosine ~0.89 to it); the real queries
  real       Debian package descriptions embedded with all-MiniLM-L6-v2
             (384-d unit vectors, cosine), read from
             ../shared/data/debian-minilm/ (how it was made:
             ../shared/data/debian-minilm/README.md)
  scan       the exhaustive scan: 78,000 x 128 (just under the exact-scan
             threshold) and 1,000 x 128, against a streaming read measured
             on the same clock on an array at least 10x the last-level cache
             and on one the size of the scanned set, plus the per-call cost
             on 16 vectors
  small      the per-call cost on a small collection: 1,000 x 16, k 10 and
             k 1, hovra (exact) against hnswlib's graph and brute-force
             indexes and faiss's flat index, interleaved in blocks of calls

Clocks and processes:
  * search QPS: process CPU time of the searching thread(s), every system in
    this one process, interleaved in rounds (median over rounds); single
    queries, one call each, every library pinned to one thread; the wall-clock
    QPS of the same loops is reported beside it;
  * per-call costs (scan, small): CPU time per call for throughput and wall
    time per call for latency, both reported, interleaved in blocks;
  * build, RSS, disk size, open and the first 100 queries: a fresh child
    process per system (and per round), the index files evicted from the page
    cache (fsync + posix_fadvise(POSIX_FADV_DONTNEED)) before each open;
  * the streaming read bandwidth: a float32 array at least 10x the
    last-level cache (and one the size of the scanned set) read by NumPy's
    sum and a one-thread BLAS gemv in this process, on the same CPU-time clock
    as the scans and interleaved with them;
  * the header records the CPU model, its vector flags, the last-level cache,
    the commit and the load average; the load average at the end closes the
    report.

Figures: QPS at recall@10 0.90 / 0.95 / 0.99 (interpolated over an ef sweep),
best recall, unreachable nodes (breadth-first walk from the entry point over
all layers), self-misses (a base row not among the 10 results of a search for
its own vector at ef 200; an exact duplicate counts as found), build CPU and
wall time, RSS growth during the build, disk size, open and first 100
queries, SQ8 against faiss IndexHNSWSQ and usearch i8, SQ8 against full
precision, the exhaustive scan against the bandwidth.

Examples:
  python benchmarks/bench_peers.py                       # everything (~40 min)
  python benchmarks/bench_peers.py --quick               # every section, small (~3 min)
  python benchmarks/bench_peers.py --sets scan
  python benchmarks/bench_peers.py --sets synth --scale 0.2 --rounds 2
  python benchmarks/bench_peers.py --sets real --systems hovra,hnswlib
  python benchmarks/bench_peers.py --out benchmarks/results/bench_peers.txt
"""

from __future__ import annotations

import argparse
import gzip  # noqa: F401  (kept for readers extending the real-data loader)
import json
import math
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchdata as bd  # noqa: E402  (sets the BLAS thread count first)
import numpy as np  # noqa: E402


def _find_real_dir() -> str:
    """../shared/data/debian-minilm beside the checkout (or one level up for a
    worktree), unless HOVRA_REAL_DATA names another directory."""
    if os.environ.get("HOVRA_REAL_DATA"):
        return os.environ["HOVRA_REAL_DATA"]
    repo = os.path.dirname(HERE)
    for up in (os.path.dirname(repo), os.path.dirname(os.path.dirname(repo))):
        cand = os.path.join(up, "shared", "data", "debian-minilm")
        if os.path.isdir(cand):
            return cand
    return os.path.join(os.path.dirname(repo), "shared", "data", "debian-minilm")


REAL_DIR = _find_real_dir()
TARGETS = (0.90, 0.95, 0.99)
EF_SWEEP = (10, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 1536)
PEERS = ("hnswlib", "faiss", "usearch")

# name -> (n, dim, metric, default systems)
SETS = {
    "synth": (100_000, 128, "l2", ("hovra", "hovra-sq8", "hnswlib", "faiss", "faiss-sq8", "usearch")),
    "synth32": (1_000_000, 32, "l2", ("hovra", "hnswlib", "faiss", "usearch")),
    "synth768": (30_000, 768, "l2", ("hovra", "hovra-sq8")),
    "synth96": (5_000_000, 96, "l2", ("hovra", "hnswlib", "faiss")),
    "real1m": (1_000_000, 384, "cos", ("hovra", "hnswlib", "faiss")),
    "real": (
        None,
        384,
        "cos",
        ("hovra", "hovra-sq8", "hnswlib", "faiss", "faiss-sq8", "usearch", "usearch-i8"),
    ),
}


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------


def load_set(name: str, scale: float, n_queries: int, seed: int):
    """(base, queries, metric) as float32 arrays; real rows normalised."""
    n, dim, metric, _ = SETS[name]
    if name == "real":
        base = _real_rows("base-f16.npy")
        if scale < 1.0:
            base = base[: max(1000, int(len(base) * scale))]
        return np.ascontiguousarray(base), _real_queries(n_queries), metric
    n = max(1000, int(n * scale))
    if name == "real1m":
        return replicate_real(n, seed), _real_queries(n_queries), metric
    base, queries = bd.make_clustered(n, dim, n_queries, seed=seed)
    return base, queries, metric


def _real_rows(name: str) -> np.ndarray:
    rows = np.load(os.path.join(REAL_DIR, name)).astype(np.float32)
    rows /= np.linalg.norm(rows, axis=1, keepdims=True)
    return rows


def _real_queries(n_queries: int) -> np.ndarray:
    return np.ascontiguousarray(_real_rows("queries-f16.npy")[:n_queries])


def replicate_real(n: int, seed: int, noise_norm: float = 0.5) -> np.ndarray:
    """The real set's rows repeated to ``n`` rows, each copy with Gaussian
    noise of about ``noise_norm`` added and normalised again; made in blocks
    so that only the output is held in full."""
    real = _real_rows("base-f16.npy")
    dim = real.shape[1]
    rng = np.random.default_rng(seed + 7)
    out = np.empty((n, dim), dtype=np.float32)
    sigma = noise_norm / math.sqrt(dim)
    step = 65536
    for lo in range(0, n, step):
        hi = min(n, lo + step)
        blk = real[np.arange(lo, hi) % len(real)]
        blk += sigma * rng.standard_normal(blk.shape, dtype=np.float32)
        blk /= np.linalg.norm(blk, axis=1, keepdims=True)
        out[lo:hi] = blk
    return out


def ground_truth(base, queries, metric, k):
    if metric == "cos":
        out = np.empty((len(queries), k), dtype=np.int64)
        for lo in range(0, len(queries), 256):
            s = queries[lo : lo + 256] @ base.T
            part = np.argpartition(-s, k - 1, axis=1)[:, :k]
            order = np.argsort(-np.take_along_axis(s, part, 1), axis=1, kind="stable")
            out[lo : lo + 256] = np.take_along_axis(part, order, 1)
        return out
    return bd.exact_knn(base, queries, k)


# ---------------------------------------------------------------------------
# Systems: build, save, open, search
# ---------------------------------------------------------------------------


def _import(system: str, threads: int):
    if system.startswith("hovra"):
        return bd.import_hovra()
    if system == "hnswlib":
        import hnswlib  # type: ignore

        return hnswlib
    if system.startswith("faiss"):
        import faiss  # type: ignore

        faiss.omp_set_num_threads(threads)
        return faiss
    if system.startswith("usearch"):
        from usearch.index import Index  # type: ignore

        return Index
    raise ValueError(system)


def index_path(workdir: str, set_name: str, system: str) -> str:
    # hovra-sq8 searches a copy of the hovra index with quantized search on.
    return os.path.join(workdir, set_name, system)


def build(system, lib, base, metric, m, efc, threads, path):
    """Builds and saves one index; returns the seconds the save took."""
    n, dim = base.shape
    if system.startswith("hovra"):
        db = lib(path, dim=dim, metric="cosine" if metric == "cos" else "euclidean", m=m, ef_construction=efc)
        ids = [str(i) for i in range(n)]

        # add_many returns with up to a few thousand records still fresh (the
        # linker links them in the background): the build ends once every
        # record is in the graph, as the peers' builds do, and the saved index
        # opens without linking to do.
        def add():
            db.add_many(ids, base)
            db.wait_indexed()

        return db, add, lambda: db.save()
    if system == "hnswlib":
        index = lib.Index(space="cosine" if metric == "cos" else "l2", dim=dim)
        index.init_index(max_elements=n, ef_construction=efc, M=m)
        return (
            index,
            lambda: index.add_items(base, np.arange(n), num_threads=threads),
            lambda: index.save_index(path),
        )
    if system.startswith("faiss"):
        mt = lib.METRIC_INNER_PRODUCT if metric == "cos" else lib.METRIC_L2
        if system == "faiss-sq8":
            index = lib.IndexHNSWSQ(dim, lib.ScalarQuantizer.QT_8bit, m, mt)
        else:
            index = lib.IndexHNSWFlat(dim, m, mt)
        index.hnsw.efConstruction = efc

        def add():
            if not index.is_trained:
                index.train(base)
            index.add(base)

        return index, add, lambda: lib.write_index(index, path)
    if system.startswith("usearch"):
        dtype = "i8" if system == "usearch-i8" else "f32"
        index = lib(
            ndim=dim,
            metric="cos" if metric == "cos" else "l2sq",
            dtype=dtype,
            connectivity=m,
            expansion_add=efc,
        )
        return (index, lambda: index.add(np.arange(n), base, threads=threads), lambda: index.save(path))
    raise ValueError(system)


def open_index(system, lib, path, dim, metric):
    if system == "hovra-b1":  # one-bit codes: read from vectors.b1 when it matches, else made
        return lib(path, quantize="binary")
    if system.startswith("hovra"):
        db = lib(path)
        if system == "hovra-sq8" and not db.quantized_search:
            db.enable_quantized_search()
        return db
    if system == "hnswlib":
        index = lib.Index(space="cosine" if metric == "cos" else "l2", dim=dim)
        index.load_index(path)
        return index
    if system.startswith("faiss"):
        return lib.read_index(path)
    if system.startswith("usearch"):
        return lib.restore(path)
    raise ValueError(system)


def searcher(system, index, k):
    """(set_ef(ef), search(q) -> raw result, ids(raw) -> int list)."""
    if system.startswith("hovra"):
        state = {"ef": 200}
        return (
            lambda ef: state.__setitem__("ef", ef),
            lambda q: index.search(q, k, state["ef"]),
            lambda r: [int(x.id) for x in r],
        )
    if system == "hnswlib":
        return (index.set_ef, lambda q: index.knn_query(q, k=k, num_threads=1)[0], lambda r: r[0].tolist())

    if system.startswith("faiss"):

        def set_ef(ef):
            index.hnsw.efSearch = ef

        return (
            set_ef,
            lambda q: index.search(q[None, :], k)[1],
            lambda r: [x for x in r[0].tolist() if x >= 0],
        )

    if system.startswith("usearch"):

        def set_ef(ef):
            index.expansion_search = ef

        return (set_ef, lambda q: index.search(q, k, threads=1).keys, lambda r: r.tolist())
    raise ValueError(system)


def batch_search(system, index, queries, k, ef, threads):
    """Ids of the k results of every query (not timed)."""
    if system.startswith("hovra"):
        res = index.search_many(queries, k, ef)
        return [[int(x.id) for x in r] for r in res]
    if system == "hnswlib":
        index.set_ef(ef)
        return index.knn_query(queries, k=k, num_threads=threads)[0].tolist()
    if system.startswith("faiss"):
        index.hnsw.efSearch = ef
        return index.search(queries, k)[1].tolist()
    if system.startswith("usearch"):
        index.expansion_search = ef
        return np.asarray(index.search(queries, k, threads=threads).keys).tolist()
    raise ValueError(system)


# ---------------------------------------------------------------------------
# Graph reachability
# ---------------------------------------------------------------------------


def _reach(n, src, dst, entry, live=None):
    """Live nodes not reached from entry over the directed edges src->dst."""
    if n == 0:
        return 0
    order = np.argsort(src, kind="stable")
    src, dst = src[order], dst[order]
    starts = np.searchsorted(src, np.arange(n + 1))
    seen = np.zeros(n, dtype=bool)
    seen[entry] = True
    frontier = np.array([entry], dtype=np.int64)
    while frontier.size:
        lo, hi = starts[frontier], starts[frontier + 1]
        total = int((hi - lo).sum())
        if total == 0:
            break
        idx = np.repeat(lo - np.cumsum(np.r_[0, (hi - lo)[:-1]]), hi - lo) + np.arange(total)
        nxt = np.unique(dst[idx])
        nxt = nxt[~seen[nxt]]
        seen[nxt] = True
        frontier = nxt
    if live is not None:
        return int((live & ~seen).sum())
    return int((~seen).sum())


class _GraphFile:
    """Reads graph.hovra's words as docs/file-formats.md lays them out."""

    def __init__(self, buf):
        self.buf = buf
        self.pos = 0

    def u32(self):
        v = int.from_bytes(self.buf[self.pos : self.pos + 4], "little")
        self.pos += 4
        return v

    def words(self, count):
        out = np.frombuffer(self.buf, dtype="<u4", count=count, offset=self.pos)
        self.pos += 4 * count
        return out

    def string(self):
        n = self.u32()
        self.pos += n
        return n

    def node(self):
        """One node entry: its lists, layer 0 first."""
        return [self.words(self.u32()) for _ in range(self.u32())]


def _hovra_graph(path):
    """(entry, node lists by slot, deleted slots, unlinked flag) of the saved
    graph: the header, the node table, then every delta section up to the
    size seal.hovra records."""
    with open(os.path.join(path, "graph.hovra"), "rb") as f:
        buf = f.read()
    end = len(buf)
    seal = os.path.join(path, "seal.hovra")
    if os.path.exists(seal):
        with open(seal, "rb") as f:
            end = int.from_bytes(f.read(16)[8:16], "little")
    g = _GraphFile(buf[:end])
    if g.u32() != 0x48535747:
        raise ValueError("bad graph magic")
    version = g.u32()
    dim = g.u32()
    g.pos = 21
    entry, _level, n, n_del = g.u32(), g.u32(), g.u32(), g.u32()
    flags = g.u32() if version >= 3 else 0
    if flags & 8:
        g.pos += 3
    deleted = set(g.words(n_del).tolist())
    nodes = [g.node() for _ in range(n)]
    unlinked = bool(flags & 2)
    if not flags & 8:
        return entry, nodes, deleted, unlinked
    if flags & 4:  # row section: magic, norms, replaced rows
        g.pos += 4 + 4 * n
        replaced = g.u32()
        g.pos += replaced * (4 + 4 * dim)
    g.u32()  # record table
    for _ in range(g.u32()):
        g.pos += 4
        g.string()
        g.string()
    g.pos = (g.pos + 3) & ~3
    while g.pos + 4 <= end:
        if g.u32() != 0x41544C44:
            raise ValueError("bad graph delta magic")
        entry, _level, n_now, dflags = g.u32(), g.u32(), g.u32(), g.u32()
        unlinked = bool(dflags & 2)
        deleted.update(g.words(g.u32()).tolist())
        nodes.extend([] for _ in range(n_now - len(nodes)))
        for _ in range(g.u32()):
            slot, parts = g.u32(), g.u32()
            nodes[slot] = g.node()
            g.pos += 4 + (4 * dim if parts & 2 else 0)
            if parts & 4:
                strings = g.string() + g.string()
                g.pos += -strings % 4
    return entry, nodes, deleted, unlinked


def unreachable_hovra(path):
    entry, nodes, deleted, unlinked = _hovra_graph(path)
    n = len(nodes)
    if entry == 0xFFFFFFFF:
        return 0
    live = np.ones(n, dtype=bool)
    live[np.fromiter(deleted, dtype=np.int64, count=len(deleted))] = False
    src_parts, dst_parts = [], []
    for slot, lists in enumerate(nodes):
        # A fresh row (saved before the linker reached it) has empty lists
        # and is searched exactly: it is not counted as unreachable.
        if unlinked and slot != entry and (not lists or lists[0].size == 0):
            live[slot] = False
        for nbrs in lists:
            if nbrs.size:
                dst_parts.append(nbrs)
                src_parts.append(np.full(nbrs.size, slot, dtype=np.int64))
    src = np.concatenate(src_parts) if src_parts else np.zeros(0, np.int64)
    dst = np.concatenate(dst_parts).astype(np.int64) if dst_parts else np.zeros(0, np.int64)
    return _reach(n, src, dst, entry, live)


def unreachable_hnswlib(path):
    """Parses hnswlib's saved index (layout of hnswlib 0.8's saveIndex)."""
    buf = open(path, "rb").read()
    fields = np.frombuffer(buf, dtype="<u8", count=6)
    _off0, _max_el, count, size_per, _label_off, _off_data = (int(x) for x in fields)
    pos = 48
    _maxlevel = int.from_bytes(buf[pos : pos + 4], "little", signed=True)
    entry = int.from_bytes(buf[pos + 4 : pos + 8], "little")
    pos += 8
    _max_m, max_m0, _m = (int(x) for x in np.frombuffer(buf, dtype="<u8", count=3, offset=pos))
    pos += 24 + 8 + 8  # mult (double), ef_construction
    level0 = np.frombuffer(buf, dtype=np.uint8, count=count * size_per, offset=pos).reshape(count, size_per)
    pos += count * size_per
    cnt0 = level0[:, 0:2].copy().view("<u2")[:, 0].astype(np.int64)
    links0 = level0[:, 4 : 4 + 4 * max_m0].copy().view("<u4").reshape(count, max_m0)
    mask = np.arange(max_m0)[None, :] < cnt0[:, None]
    src = [np.repeat(np.arange(count), cnt0)]
    dst = [links0[mask].astype(np.int64)]
    size_links = 4 * (_max_m + 1)
    for i in range(count):
        ln = int.from_bytes(buf[pos : pos + 4], "little")
        pos += 4
        if ln:
            blk = np.frombuffer(buf, dtype="<u4", count=ln // 4, offset=pos).reshape(-1, _max_m + 1)
            for row in blk:
                c = int(row[0]) & 0xFFFF
                if c:
                    dst.append(row[1 : 1 + c].astype(np.int64))
                    src.append(np.full(c, i, dtype=np.int64))
            pos += ln
    del size_links
    return _reach(count, np.concatenate(src), np.concatenate(dst), entry)


def unreachable_faiss(index, faiss):
    h = index.hnsw
    n = index.ntotal
    if n == 0:
        return 0
    _levels = faiss.vector_to_array(h.levels).astype(np.int64)
    offsets = faiss.vector_to_array(h.offsets).astype(np.int64)
    nbrs = faiss.vector_to_array(h.neighbors).astype(np.int64)
    owner = np.repeat(np.arange(n), np.diff(offsets))
    keep = nbrs >= 0
    return _reach(n, owner[keep], nbrs[keep], int(h.entry_point))


def unreachable(system, path, index, lib):
    try:
        if system == "hovra":
            return unreachable_hovra(path)
        if system == "hnswlib":
            return unreachable_hnswlib(path)
        if system in ("faiss", "faiss-sq8"):
            return unreachable_faiss(index, lib)
    except Exception as e:  # the figure is diagnostic; never stop the run
        bd.emit(f"  ({system}: reachability not computed: {e})")
    return None


# ---------------------------------------------------------------------------
# Child processes: build, and open + first queries
# ---------------------------------------------------------------------------


def rss_bytes() -> int:
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def cpu_seconds() -> float:
    r = resource.getrusage(resource.RUSAGE_SELF)
    return r.ru_utime + r.ru_stime


def evict(path: str) -> None:
    files = (
        [path] if os.path.isfile(path) else [os.path.join(r, f) for r, _d, fs in os.walk(path) for f in fs]
    )
    for name in files:
        fd = os.open(name, os.O_RDONLY)
        try:
            os.fsync(fd)
            os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
        finally:
            os.close(fd)


def _remove(path: str) -> None:
    if os.path.isdir(path):
        shutil.rmtree(path)
    elif os.path.exists(path):
        os.remove(path)


def disk_bytes(path: str) -> int:
    return os.path.getsize(path) if os.path.isfile(path) else bd.dir_bytes(path)


def child_main(spec: dict) -> dict:
    bd.set_threads(spec["threads"])
    lib = _import(spec["system"], spec["threads"])
    base, queries, metric = load_set(spec["set"], spec["scale"], spec["queries"], spec["seed"])
    path = spec["path"]
    if spec["task"] == "build":
        index, add, save = build(
            spec["system"], lib, base, metric, spec["m"], spec["efc"], spec["threads"], path
        )
        rss0 = rss_bytes()
        c0, w0 = cpu_seconds(), time.perf_counter()
        add()
        c1, w1 = cpu_seconds(), time.perf_counter()
        rss1 = rss_bytes()
        save()
        w2 = time.perf_counter()
        return {
            "build_cpu": c1 - c0,
            "build_wall": w1 - w0,
            "rss_delta": rss1 - rss0,
            "rss": rss1,
            "save_wall": w2 - w1,
            "disk": disk_bytes(path),
        }
    # open + the first queries, from a cold page cache
    first = queries[: spec["first"]]
    evict(path)
    rss0 = rss_bytes()
    c0, w0 = cpu_seconds(), time.perf_counter()
    index = open_index(spec["system"], lib, path, base.shape[1], metric)
    w_open = time.perf_counter()
    set_ef, search, _ids = searcher(spec["system"], index, spec["k"])
    set_ef(spec["ef"])
    lat = []
    for q in first:
        t = time.perf_counter()
        search(q)
        lat.append(time.perf_counter() - t)
    w1, c1 = time.perf_counter(), cpu_seconds()
    rss_first = rss_bytes()
    # Every query once more: the memory a searching process holds (what
    # the searches touched, plus anything read ahead meanwhile).
    for q in queries:
        search(q)
    return {
        "open": w_open - w0,
        "first_query": lat[0] if lat else 0.0,
        "total": w1 - w0,
        "cpu": c1 - c0,
        "rss": rss_bytes(),
        "rss_first": rss_first - rss0,
        "rss_search": rss_bytes() - rss0,
    }


def run_child(spec: dict, env_threads: int) -> dict:
    env = dict(os.environ)
    env["RAYON_NUM_THREADS"] = str(env_threads)
    env["OMP_NUM_THREADS"] = str(env_threads)
    out = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--child", json.dumps(spec)],
        capture_output=True,
        text=True,
        env=env,
    )
    if out.returncode != 0:
        raise RuntimeError(f"child {spec['task']} {spec['system']} failed:\n{out.stderr[-3000:]}")
    return json.loads(out.stdout.strip().splitlines()[-1])


# ---------------------------------------------------------------------------
# The graph sets
# ---------------------------------------------------------------------------


def interpolate(points, target):
    """QPS at a recall, from (recall, qps) points in ef order; None if never
    reached. Linear in recall, geometric in QPS; a first point already above
    the target gives that point's QPS."""
    prev = None
    for r, q in points:
        if r >= target:
            if prev is None or prev[0] >= r:
                return q
            pr, pq = prev
            t = (target - pr) / (r - pr)
            return math.exp(math.log(pq) + t * (math.log(q) - math.log(pq)))
        prev = (r, q)
    return None


def run_graph_set(name, args, report):
    n_def, dim, metric, default_systems = SETS[name]
    systems = [
        s
        for s in (args.systems.split(",") if args.systems else default_systems)
        if s in default_systems or args.systems
    ]
    systems = [s for s in systems if not (s.endswith("-i8") and metric != "cos")]
    base, queries, metric = load_set(name, args.scale, args.queries, args.seed)
    n = base.shape[0]
    bd.emit(
        f"\n### {name}: {n:,} x {dim}, metric {metric}, {len(queries)} queries, systems {', '.join(systems)}"
    )
    truth = ground_truth(base, queries, metric, args.k)
    workdir = os.path.join(args.workdir, name)
    os.makedirs(workdir, exist_ok=True)
    common = {
        "set": name,
        "scale": args.scale,
        "queries": args.queries,
        "seed": args.seed,
        "m": args.m,
        "efc": args.ef_construction,
        "threads": args.threads,
        "k": args.k,
    }

    # Build in fresh children (hovra-sq8 shares hovra's index).
    builds = {}
    for s in systems:
        if s == "hovra-sq8":
            continue
        path = index_path(args.workdir, name, s)
        record = path + ".build.json"
        if s in args.reuse and os.path.exists(path):
            # an index built by an earlier run with the same options
            builds[s] = json.load(open(record)) if os.path.exists(record) else {}
            bd.emit(f"  reused {s}")
            if not builds[s]:
                continue
        else:
            results = []
            for _ in range(args.build_rounds):
                _remove(path)
                results.append(run_child(dict(common, task="build", system=s, path=path), args.threads))
            builds[s] = {key: statistics.median(r[key] for r in results) for key in results[0]}
            with open(record, "w") as f:
                json.dump(builds[s], f)
        b = builds[s]
        bd.emit(
            f"  built {s:10s} cpu {b['build_cpu']:7.1f} s  wall {b['build_wall']:6.1f} s  "
            f"rss +{bd.mib(b['rss_delta'])} MiB  disk {bd.mib(b['disk'])} MiB"
        )

    if "hovra-sq8" in systems:
        # Its own copy (two handles on one directory would share one engine),
        # saved with its quantized rows, so that it opens with quantized
        # search on as a user's quantized database does.
        sq8_path = index_path(args.workdir, name, "hovra-sq8")
        shutil.rmtree(sq8_path, ignore_errors=True)
        shutil.copytree(index_path(args.workdir, name, "hovra"), sq8_path)
        db = bd.import_hovra()(sq8_path, dim=dim, quantize=True)
        db.save()
        db.close()
        del db

    # Open + first queries, cold, interleaved over systems.
    opens = {s: [] for s in systems}
    for _ in range(args.rounds if "open" in args.figures else 0):
        for s in systems:
            spec = dict(
                common,
                task="open",
                system=s,
                path=index_path(args.workdir, name, s),
                first=args.first,
                ef=args.open_ef,
            )
            opens[s].append(run_child(spec, args.threads))
    open_med = {s: {key: statistics.median(r[key] for r in v) for key in v[0]} for s, v in opens.items() if v}

    # QPS sweep in this process, interleaved.
    bd.set_threads(args.threads)
    libs = {s: _import(s, 1) for s in systems}
    if any(s.startswith("faiss") for s in systems):
        libs[[s for s in systems if s.startswith("faiss")][0]].omp_set_num_threads(1)
    indexes = {s: open_index(s, libs[s], index_path(args.workdir, name, s), dim, metric) for s in systems}
    qps = {s: {ef: [] for ef in args.ef} for s in systems}
    qps_wall = {s: {ef: [] for ef in args.ef} for s in systems}
    recall = {s: {} for s in systems}
    for rnd in range(args.rounds if "qps" in args.figures else 0):
        for ef in args.ef:
            for s in systems:
                set_ef, search, to_ids = searcher(s, indexes[s], args.k)
                set_ef(ef)
                for q in queries[:20]:
                    search(q)
                out = [None] * len(queries)
                c0, w0 = time.process_time(), time.perf_counter()
                for i, q in enumerate(queries):
                    out[i] = search(q)
                el, wall = time.process_time() - c0, time.perf_counter() - w0
                qps[s][ef].append(len(queries) / el if el > 0 else float("inf"))
                qps_wall[s][ef].append(len(queries) / wall if wall > 0 else float("inf"))
                if rnd == 0:
                    recall[s][ef] = bd.recall_at_k([to_ids(r) for r in out], truth, args.k)

    misses, unreach = {}, {}
    if "graph" in args.figures:
        sample = np.random.default_rng(args.seed).choice(n, size=min(n, args.self_sample), replace=False)
        sample.sort()
        for s in systems:
            found = batch_search(s, indexes[s], base[sample], args.k, 200, args.threads)
            miss = 0
            for row, ids in zip(sample, found):
                if row in ids:
                    continue
                own = base[row]
                if not any(0 <= j < n and np.array_equal(base[j], own) for j in ids):
                    miss += 1
            misses[s] = miss / len(sample)
        for s in systems:
            if s.endswith("sq8") and s.startswith("hovra"):
                continue
            unreach[s] = unreachable(s, index_path(args.workdir, name, s), indexes[s], libs[s])

    # Tables.
    table = bd.Table(
        [
            "system",
            "QPS@0.90",
            "QPS@0.95",
            "QPS@0.99",
            "best recall",
            "at ef",
            "unreach",
            "self-miss %",
            "build cpu s",
            "build wall s",
            "rss +MiB",
            "disk MiB",
            "open ms",
            "1st q ms",
            "open+100 ms",
            "open+100 cpu ms",
            "open rss +MiB",
        ]
    )
    curves, wall_curves = {}, {}
    for s in systems:
        pts = [(recall[s][ef], statistics.median(qps[s][ef])) for ef in args.ef if qps[s][ef]]
        curves[s] = pts
        wall_curves[s] = [
            (recall[s][ef], statistics.median(qps_wall[s][ef])) for ef in args.ef if qps_wall[s][ef]
        ]
        at = [interpolate(pts, t) for t in TARGETS]
        best = max(pts, default=(None, None))
        best_ef = args.ef[[p[0] for p in pts].index(best[0])] if pts else None
        b, o = builds.get(s) or {}, open_med.get(s, {})
        u = unreach.get(s)
        table.add(
            s,
            *(bd.fmt(v, ".0f") if v else ("never" if pts else "-") for v in at),
            bd.fmt(best[0], ".4f"),
            bd.fmt(best_ef),
            bd.fmt(u) if u is not None else "-",
            bd.fmt(misses[s] * 100, ".2f") if s in misses else "-",
            bd.fmt(b.get("build_cpu"), ".1f"),
            bd.fmt(b.get("build_wall"), ".1f"),
            bd.mib(b["rss_delta"]) if b else "-",
            bd.mib(b["disk"]) if b else "-",
            bd.fmt(o.get("open", 0) * 1e3, ".1f") if o else "-",
            bd.fmt(o.get("first_query", 0) * 1e3, ".2f") if o else "-",
            bd.fmt(o.get("total", 0) * 1e3, ".1f") if o else "-",
            bd.fmt(o.get("cpu", 0) * 1e3, ".1f") if o else "-",
            f"{bd.mib(o['rss_first'])} / {bd.mib(o['rss_search'])}" if o else "-",
        )
    report.append(
        f"\n{name}: {n:,} x {dim}, {metric}, M={args.m}, ef_construction={args.ef_construction}, "
        f"{args.threads}-thread builds, {len(queries)} queries, k={args.k}, {args.rounds} rounds; "
        "QPS on process CPU time; open, first query and open+N on wall time (open+N also on CPU time); "
        "open rss: resident growth from before the open to after the first N queries / after every query"
    )
    report.append(table.render())

    # Ratios against the best peer of each figure.
    lines = []
    for fp, peers in (
        ("hovra", ("hnswlib", "faiss", "usearch")),
        ("hovra-sq8", ("faiss-sq8", "usearch-i8", "hovra")),
    ):
        if fp not in curves:
            continue
        for t in TARGETS:
            mine = interpolate(curves[fp], t)
            for p in peers:
                if p in curves:
                    other = interpolate(curves[p], t)
                    r = bd.ratio(mine, other)
                    rw = bd.ratio(interpolate(wall_curves[fp], t), interpolate(wall_curves[p], t))
                    lines.append(
                        f"  {fp} / {p} QPS at recall {t:.2f}: {bd.fmt(r, '.2f')}x CPU, {bd.fmt(rw, '.2f')}x wall"
                    )
    if builds.get("hovra"):
        for p in PEERS:
            if builds.get(p):
                lines.append(
                    f"  build cpu hovra / {p}: {bd.fmt(bd.ratio(builds['hovra']['build_cpu'], builds[p]['build_cpu']), '.2f')}x"
                    f"   rss hovra / {p}: {bd.fmt(bd.ratio(builds['hovra']['rss_delta'], builds[p]['rss_delta']), '.2f')}x"
                )
    for mine, others in (("hovra", PEERS), ("hovra-sq8", ("faiss-sq8", "usearch-i8"))):
        if mine not in open_med:
            continue
        a = open_med[mine]
        for p in others:
            if p in open_med:
                b = open_med[p]
                lines.append(
                    f"  open+{args.first} queries {mine} / {p}: "
                    f"{bd.fmt(bd.ratio(a['total'], b['total']), '.2f')}x wall, "
                    f"{bd.fmt(bd.ratio(a['cpu'], b['cpu']), '.2f')}x CPU; first query "
                    f"{bd.fmt(bd.ratio(a['first_query'], b['first_query']), '.2f')}x wall; open "
                    f"{bd.fmt(bd.ratio(a['open'], b['open']), '.2f')}x wall; resident after every query "
                    f"{bd.fmt(bd.ratio(a['rss_search'], b['rss_search']), '.2f')}x"
                )
    report.extend(lines)
    curve_lines = ["  recall / QPS per ef (CPU / wall):"]
    for s in systems:
        curve_lines.append(
            f"    {s:10s} "
            + "  ".join(
                f"{ef}:{recall[s].get(ef, float('nan')):.3f}/{statistics.median(qps[s][ef]):.0f}"
                f"/{statistics.median(qps_wall[s][ef]):.0f}"
                for ef in args.ef
                if qps[s][ef]
            )
        )
    report.extend(curve_lines)
    bd.emit("\n".join(report[-(2 + len(lines) + len(curve_lines)) :]))
    del indexes
    import gc

    gc.collect()


# ---------------------------------------------------------------------------
# The exhaustive scan
# ---------------------------------------------------------------------------


def llc_bytes() -> int:
    """The largest cache's size from sysfs (32 MiB if it cannot be read)."""
    best = 0
    root = "/sys/devices/system/cpu/cpu0/cache"
    try:
        for entry in os.listdir(root):
            try:
                with open(os.path.join(root, entry, "size")) as f:
                    text = f.read().strip()
            except OSError:
                continue
            scale = {"K": 2**10, "M": 2**20, "G": 2**30}.get(text[-1:], 1)
            best = max(best, int(text.rstrip("KMG")) * scale)
    except OSError:
        pass
    return best or 32 * 2**20


def stream_cpu_seconds(array, dim, q) -> tuple:
    """Process CPU seconds for one streaming read of `array`: by NumPy's sum
    and by a one-thread BLAS gemv over it as rows of `dim` (the faster of the
    two is the reference)."""
    c0 = time.process_time()
    array.sum()
    c1 = time.process_time()
    np.dot(array.reshape(-1, dim), q)
    c2 = time.process_time()
    return c1 - c0, c2 - c1


def run_scan_set(args, report):
    Database = bd.import_hovra()
    lines = []
    n_big = max(1000, int(args.scan_rows * args.scale)) if args.scale < 1 else args.scan_rows
    dim = 128
    base, queries = bd.make_clustered(n_big, dim, 200, seed=args.seed)
    small = base[:1000].copy()
    tiny = base[:16].copy()
    bd.emit(f"\n### scan: {n_big:,} x {dim} and 1,000 x {dim}, bandwidth references on the same clock")
    tmp = tempfile.mkdtemp(dir=args.workdir)
    dbs = {}
    for label, data in (("big", base), ("small", small), ("tiny", tiny)):
        db = Database(os.path.join(tmp, label), dim=dim, metric="euclidean")
        db.add_many([str(i) for i in range(len(data))], data)
        db.wait_indexed()
        dbs[label] = db
    # The same rows with one record deleted: every scan then goes over the
    # remaining slots with the pairwise distance.
    dbs["tomb"] = Database(os.path.join(tmp, "tomb"), dim=dim, metric="euclidean")
    dbs["tomb"].add_many([str(i) for i in range(len(base))], base)
    dbs["tomb"].delete("0")
    dbs["tomb"].wait_indexed()
    hnswlib = bd.import_hnswlib()
    faiss = bd.import_faiss(1)
    bf = {}
    for label, data in (("big", base), ("small", small), ("tiny", tiny)):
        if hnswlib is not None:
            b = hnswlib.BFIndex(space="l2", dim=dim)
            b.init_index(max_elements=len(data))
            b.add_items(data, np.arange(len(data)))
            bf[("hnswlib", label)] = b
        if faiss is not None:
            f = faiss.IndexFlatL2(dim)
            f.add(data)
            bf[("faiss", label)] = f
    # The bandwidth reference, on the same clock as the scans: a streaming
    # read of an array at least 10x the last-level cache (memory-bound), and
    # of one the scanned set's size (partly cache-resident, as the scan is).
    llc = llc_bytes()
    stream = np.ones(max(10 * llc, 400_000_000) // (4 * dim) * dim, dtype=np.float32)
    same = np.ones(base.size, dtype=np.float32)
    k = args.k

    def per_query_cpu(fn, qs, repeat=1):
        c0 = time.process_time()
        for _ in range(repeat):
            for q in qs:
                fn(q)
        return (time.process_time() - c0) / (len(qs) * repeat)

    res = {}

    def add(key, v):
        res.setdefault(key, []).append(v)

    qs = queries[:50]
    for _ in range(args.rounds):
        for key, arr in (("stream", stream), ("same", same)):
            t_sum, t_gemv = stream_cpu_seconds(arr, dim, queries[0])
            add(key + "_sum", arr.nbytes / max(t_sum, 1e-9))
            add(key + "_gemv", arr.nbytes / max(t_gemv, 1e-9))
        for label, data in (("big", base), ("small", small), ("tiny", tiny)):
            db = dbs[label]
            reps = {"big": 1, "small": 20, "tiny": 200}[label]
            add(("hovra", label), per_query_cpu(lambda q: db.search(q, k), qs, reps))
            if ("hnswlib", label) in bf:
                b = bf[("hnswlib", label)]
                add(
                    ("hnswlib", label),
                    per_query_cpu(lambda q: b.knn_query(q, k=min(k, len(data)), num_threads=1), qs, reps),
                )
            if ("faiss", label) in bf:
                f = bf[("faiss", label)]
                add(("faiss", label), per_query_cpu(lambda q: f.search(q[None, :], k), qs, reps))
            add(
                ("numpy", label),
                per_query_cpu(
                    lambda q: np.argpartition(
                        ((data - q) ** 2).sum(1)
                        if label == "tiny"
                        else (-2.0 * (data @ q) + (data * data).sum(1)),
                        min(k, len(data)) - 1,
                    )[:k],
                    qs[:10] if label == "big" else qs,
                    1,
                ),
            )
        add(("hovra", "tomb"), per_query_cpu(lambda q: dbs["tomb"].search(q, k), qs, 1))
        # search_many over 200 queries: CPU and wall per query
        c0, w0 = time.process_time(), time.perf_counter()
        dbs["big"].search_many(queries, k)
        add("many_cpu", (time.process_time() - c0) / len(queries))
        add("many_wall", (time.perf_counter() - w0) / len(queries))
        if hnswlib is not None:
            b = bf[("hnswlib", "big")]
            c0, w0 = time.process_time(), time.perf_counter()
            b.knn_query(queries, k=k, num_threads=args.threads)
            add("hnswlib_many_cpu", (time.process_time() - c0) / len(queries))
            add("hnswlib_many_wall", (time.perf_counter() - w0) / len(queries))
    med = {key: statistics.median(v) for key, v in res.items()}
    bw = max(med["stream_sum"], med["stream_gemv"])
    bw_same = max(med["same_sum"], med["same_gemv"])
    limit = base.nbytes / bw
    t = bd.Table(["figure", "hovra", "hnswlib BF", "faiss Flat", "numpy", "limit", "hovra / limit"])
    t.add(
        f"{n_big:,} x {dim} per query, CPU us",
        *(
            bd.fmt(med.get((s, "big"), float("nan")) * 1e6, ".0f")
            for s in ("hovra", "hnswlib", "faiss", "numpy")
        ),
        bd.fmt(limit * 1e6, ".0f"),
        bd.fmt(limit / med[("hovra", "big")] * 100, ".0f") + "%",
    )
    t.add(
        "  the same, one record deleted",
        bd.fmt(med[("hovra", "tomb")] * 1e6, ".0f"),
        "-",
        "-",
        "-",
        "-",
        "-",
    )
    t.add(
        f"1,000 x {dim} per call, CPU us",
        *(
            bd.fmt(med.get((s, "small"), float("nan")) * 1e6, ".1f")
            for s in ("hovra", "hnswlib", "faiss", "numpy")
        ),
        "-",
        "-",
    )
    t.add(
        f"16 x {dim} per call, CPU us",
        *(
            bd.fmt(med.get((s, "tiny"), float("nan")) * 1e6, ".2f")
            for s in ("hovra", "hnswlib", "faiss", "numpy")
        ),
        "-",
        "-",
    )
    t.add(
        "search_many 200 q, per query CPU us",
        bd.fmt(med["many_cpu"] * 1e6, ".0f"),
        bd.fmt(med.get("hnswlib_many_cpu", float("nan")) * 1e6, ".0f"),
        "-",
        "-",
        "-",
        "-",
    )
    t.add(
        "search_many 200 q, per query wall us",
        bd.fmt(med["many_wall"] * 1e6, ".0f"),
        bd.fmt(med.get("hnswlib_many_wall", float("nan")) * 1e6, ".0f"),
        "-",
        "-",
        "-",
        "-",
    )
    lines.append(
        f"\nscan: exhaustive search, k={k}, squared Euclidean, {args.rounds} rounds, every figure on process "
        f"CPU time but the search_many wall row; streaming read of {stream.nbytes / 1e6:.0f} MB "
        f"({stream.nbytes / llc:.0f}x the {llc / 2**20:.0f} MiB last-level cache): "
        f"{med['stream_sum'] / 1e9:.1f} GB/s (sum), {med['stream_gemv'] / 1e9:.1f} GB/s (gemv, 1 BLAS thread); "
        f"of {same.nbytes / 1e6:.0f} MB (the scanned set's size): {med['same_sum'] / 1e9:.1f} / "
        f"{med['same_gemv'] / 1e9:.1f} GB/s; limit = {base.nbytes / 1e6:.0f} MB / {bw / 1e9:.1f} GB/s"
    )
    lines.append(t.render())
    lines.append(
        f"  hovra scan rate: {base.nbytes / med[('hovra', 'big')] / 1e9:.1f} GB/s "
        f"= {limit / med[('hovra', 'big')] * 100:.0f} % of the memory-bound read, "
        f"{base.nbytes / bw_same / med[('hovra', 'big')] * 100:.0f} % of a read of the same size "
        f"(above 100 %: the scanned set sits partly in the cache)"
    )
    if ("hnswlib", "small") in med:
        lines.append(
            f"  1,000 x {dim} per call hovra / hnswlib: "
            f"{med[('hovra', 'small')] / med[('hnswlib', 'small')]:.2f}x"
        )
    report.extend(lines)
    bd.emit("\n".join(lines))
    del dbs, stream, same
    shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------------------
# Small collections: the per-call cost
# ---------------------------------------------------------------------------


def run_small_set(args, report):
    """1,000 x 16: hovra's exact search beside hnswlib's graph (M 16, ef
    equal to k, at least 10) and brute-force indexes and faiss's flat index.
    Each system answers a block of calls in turn, blocks interleaved over
    systems and rounds; CPU and wall time per call, medians over blocks."""
    Database = bd.import_hovra()
    n, dim = 1000, 16
    base, queries = bd.make_clustered(n, dim, 200, seed=args.seed)
    tmp = tempfile.mkdtemp(dir=args.workdir)
    db = Database(os.path.join(tmp, "small"), dim=dim, metric="euclidean")
    db.add_many([str(i) for i in range(n)], base)
    db.wait_indexed()  # measured once the linker is done, not beside it
    hnswlib = bd.import_hnswlib()
    faiss = bd.import_faiss(1)
    calls = {}
    for k in (10, 1):
        calls[("hovra", k)] = lambda q, k=k: db.search(q, k)
        if hnswlib is not None:
            g = hnswlib.Index(space="l2", dim=dim)
            g.init_index(max_elements=n, ef_construction=args.ef_construction, M=args.m)
            g.add_items(base, np.arange(n), num_threads=1)
            g.set_ef(max(k, 10))
            calls[("hnswlib", k)] = lambda q, g=g, k=k: g.knn_query(q, k=k, num_threads=1)
            b = hnswlib.BFIndex(space="l2", dim=dim)
            b.init_index(max_elements=n)
            b.add_items(base, np.arange(n))
            calls[("hnswlib BF", k)] = lambda q, b=b, k=k: b.knn_query(q, k=k, num_threads=1)
        if faiss is not None:
            f = faiss.IndexFlatL2(dim)
            f.add(base)
            calls[("faiss Flat", k)] = lambda q, f=f, k=k: f.search(q[None, :], k)
    qs = list(queries)
    cpu, wall = {key: [] for key in calls}, {key: [] for key in calls}
    bd.emit(f"\n### small: {n:,} x {dim}, per call, {', '.join(sorted({s for s, _ in calls}))}")
    for _ in range(args.rounds):
        for _block in range(10):
            for key, fn in calls.items():
                for q in qs[:20]:
                    fn(q)
                c0, w0 = time.process_time(), time.perf_counter()
                for q in qs:
                    fn(q)
                cpu[key].append((time.process_time() - c0) / len(qs))
                wall[key].append((time.perf_counter() - w0) / len(qs))
    systems = list(dict.fromkeys(s for s, _ in calls))
    t = bd.Table(["system", "k 10 CPU us", "k 10 wall us", "k 1 CPU us", "k 1 wall us", "spread k 10 CPU"])
    med = {}
    for sname in systems:
        row = [sname]
        for k in (10, 1):
            c, w = statistics.median(cpu[(sname, k)]), statistics.median(wall[(sname, k)])
            med[(sname, k)] = (c, w)
            row += [bd.fmt(c * 1e6, ".2f"), bd.fmt(w * 1e6, ".2f")]
        c10 = sorted(cpu[(sname, 10)])
        row.append(f"{c10[len(c10) // 10] * 1e6:.2f}-{c10[-1 - len(c10) // 10] * 1e6:.2f}")
        t.add(*row)
    lines = [
        f"\nsmall: {n:,} x {dim}, squared Euclidean, per call on one query; {args.rounds} rounds of 10 blocks of "
        f"{len(qs)} calls per system, interleaved; medians over blocks (spread: 10th-90th percentile)",
        t.render(),
    ]
    for peer in ("hnswlib", "hnswlib BF", "faiss Flat"):
        if (peer, 10) in med:
            lines.append(
                f"  hovra / {peer} per call: k 10 {med[('hovra', 10)][0] / med[(peer, 10)][0]:.2f}x CPU, "
                f"{med[('hovra', 10)][1] / med[(peer, 10)][1]:.2f}x wall; k 1 "
                f"{med[('hovra', 1)][0] / med[(peer, 1)][0]:.2f}x CPU"
            )
    report.extend(lines)
    bd.emit("\n".join(lines))
    del db
    shutil.rmtree(tmp, ignore_errors=True)


# ---------------------------------------------------------------------------


QUICK = {
    "sets": "scan,small,synth,real",
    "scale": 0.1,
    "queries": 200,
    "rounds": 3,
    "ef": "16,32,64,128,256",
    "self_sample": 2000,
}


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument(
        "--sets",
        default="scan,small,synth,real,synth768,synth32",
        help="comma list of: " + ", ".join(["scan", "small", *SETS]),
    )
    p.add_argument(
        "--quick",
        action="store_true",
        help="a short run of every section: " + ", ".join(f"{k}={v}" for k, v in QUICK.items()),
    )
    p.add_argument(
        "--systems",
        default=None,
        help="comma list overriding each set's systems (hovra, hovra-sq8, hnswlib, faiss, faiss-sq8, "
        "usearch, usearch-i8)",
    )
    p.add_argument("--figures", default="qps,graph,open", help="comma list of: qps, graph, open")
    p.add_argument("--scale", type=float, default=1.0, help="fraction of each set's rows (quick runs)")
    p.add_argument("--queries", type=int, default=1000)
    p.add_argument("--k", type=int, default=10)
    p.add_argument("--rounds", type=int, default=3)
    p.add_argument("--build-rounds", type=int, default=1)
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--ef", default=",".join(map(str, EF_SWEEP)), help="ef sweep")
    p.add_argument("--self-sample", type=int, default=20000, help="base rows searched for themselves")
    p.add_argument("--first", type=int, default=100, help="queries after the cold open")
    p.add_argument("--open-ef", type=int, default=100)
    p.add_argument("--scan-rows", type=int, default=78_000)
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--workdir", default=None, help="where indexes are built (default: a temporary directory)")
    p.add_argument("--out", default=None, help="also write the report to this file")
    p.add_argument(
        "--reuse",
        default="",
        help="comma list of systems whose indexes in --workdir are reused "
        "(built by an earlier run with the same options)",
    )
    p.add_argument("--child", default=None, help=argparse.SUPPRESS)
    args = p.parse_args()
    if args.quick:
        for key, value in QUICK.items():
            setattr(args, key, value)
    if args.child:
        print(json.dumps(child_main(json.loads(args.child))), flush=True)
        return
    args.ef = [int(x) for x in args.ef.split(",")]
    args.figures = set(args.figures.split(","))
    args.reuse = set(filter(None, args.reuse.split(",")))
    bd.set_threads(args.threads)
    own_workdir = args.workdir is None
    args.workdir = tempfile.mkdtemp(prefix="hovra-peers-") if own_workdir else os.path.abspath(args.workdir)
    hdr = bd.header(
        "hovra beside hnswlib, faiss-cpu and usearch",
        [
            f"peers     : usearch {_version('usearch')}, scipy-openblas32 {_version('scipy-openblas32')}",
            f"options   : {' '.join(sys.argv[1:]) or '(defaults)'}",
            f"cache     : last-level {llc_bytes() / 2**20:.0f} MiB",
            "clocks    : QPS = queries / process CPU s (one process, libraries on 1 thread, interleaved rounds,",
            "            median); build / RSS / disk / open in a fresh child per system, files evicted first",
        ],
    )
    bd.emit(hdr)
    report = [hdr]
    try:
        for name in args.sets.split(","):
            if name == "scan":
                run_scan_set(args, report)
            elif name == "small":
                run_small_set(args, report)
            elif name in SETS:
                if name == "real" and not os.path.isdir(REAL_DIR):
                    bd.emit(f"(real data not found at {REAL_DIR}; skipped)")
                    continue
                run_graph_set(name, args, report)
            else:
                raise SystemExit(f"unknown set {name}")
    finally:
        if own_workdir:
            shutil.rmtree(args.workdir, ignore_errors=True)
    try:
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        load = "n/a"
    report.append(f"\nload avg  : {load} (1/5/15 min, at the end)")
    bd.emit(report[-1])
    if args.out:
        with open(args.out, "w") as f:
            f.write("\n".join(report) + "\n")


def _version(name):
    from importlib import metadata

    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return "(not installed)"


if __name__ == "__main__":
    main()
