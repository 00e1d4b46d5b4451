"""Shared helpers for the hovra benchmark scripts.

Synthetic data, exact ground truth, timing, the machine header and the
plain-text tables every script prints.  Nothing here depends on hovra being
importable; the scripts call ``import_hovra()`` after ``set_threads()``.
"""

from __future__ import annotations

import gc
import os
import platform
import shutil
import tempfile
import time
from contextlib import contextmanager
from typing import Callable, Iterable, List, Optional, Sequence, Tuple

# NumPy is only the referee (ground truth, exact baselines).  One BLAS thread
# keeps its timings steady on a small, busy machine: a threaded mat-vec whose
# helper thread gets descheduled can be ten times slower.  Must be set before
# NumPy is first imported.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
os.environ.setdefault("MKL_NUM_THREADS", "1")

import numpy as np  # noqa: E402

perf = time.perf_counter


# ---------------------------------------------------------------------------
# Threads and imports
# ---------------------------------------------------------------------------


def set_threads(n: int) -> None:
    """Pin every library's worker count to ``n``.

    hovra sizes its process-wide pool from RAYON_NUM_THREADS when the pool is
    first used and OpenMP (faiss) reads OMP_NUM_THREADS when it loads, so call
    this before importing either.  NumPy's BLAS stays at one thread (above).
    """
    n = str(int(n))
    os.environ["RAYON_NUM_THREADS"] = n
    os.environ["OMP_NUM_THREADS"] = n


def import_hovra():
    """Return the ``Database`` class: from the installed package, or from the
    bare extension module (a build tree on PYTHONPATH)."""
    try:
        from hovra import Database  # type: ignore
    except ImportError:
        from _hovra import Database  # type: ignore
    return Database


def import_hnswlib():
    try:
        import hnswlib  # type: ignore

        return hnswlib
    except ImportError:
        return None


def import_faiss(threads: int):
    try:
        import faiss  # type: ignore
    except ImportError:
        return None
    faiss.omp_set_num_threads(int(threads))
    return faiss


def hovra_location() -> str:
    try:
        import _hovra  # type: ignore
        import hovra  # type: ignore  # noqa: F401 - the package must import too

        return os.path.dirname(_hovra.__file__)
    except ImportError:
        import _hovra  # type: ignore

        return os.path.dirname(_hovra.__file__)


# ---------------------------------------------------------------------------
# Data
# ---------------------------------------------------------------------------


def make_clustered(
    n: int,
    dim: int,
    n_queries: int,
    n_clusters: int = 100,
    spread: float = 0.6,
    seed: int = 42,
    intrinsic: int = 0,
):
    """``n`` base vectors and ``n_queries`` queries, float32, drawn from the
    same mixture of ``n_clusters`` isotropic Gaussians.

    Cluster centres are N(0, 1) per component; points are centre plus
    N(0, spread^2) noise, so clusters overlap a little (at spread 0.6 the
    typical within-cluster distance is ~60 % of the centre-to-centre one).
    Queries are fresh draws, not copies of base vectors.

    With ``intrinsic`` > 0 the mixture is drawn in that many dimensions and
    rotated into ``dim`` by a random orthonormal map (plus 1 % noise), which
    gives data of low intrinsic dimension, closer to real embeddings.
    """
    rng = np.random.default_rng(seed)
    if intrinsic and intrinsic < dim:
        lo_x, lo_q = make_clustered(n, intrinsic, n_queries, n_clusters, spread, seed)
        basis, _ = np.linalg.qr(rng.standard_normal((dim, intrinsic)))
        basis = basis.T.astype(np.float32)

        def lift(a: np.ndarray) -> np.ndarray:
            out = np.empty((a.shape[0], dim), dtype=np.float32)
            for lo in range(0, a.shape[0], 65536):
                blk = a[lo : lo + 65536] @ basis
                blk += 0.01 * rng.standard_normal(blk.shape, dtype=np.float32)
                out[lo : lo + 65536] = blk
            return out

        return lift(lo_x), lift(lo_q)
    centres = rng.standard_normal((n_clusters, dim), dtype=np.float32)

    def draw(count: int) -> np.ndarray:
        out = np.empty((count, dim), dtype=np.float32)
        step = 65536
        for lo in range(0, count, step):
            hi = min(count, lo + step)
            lab = rng.integers(0, n_clusters, hi - lo)
            out[lo:hi] = centres[lab]
            out[lo:hi] += spread * rng.standard_normal((hi - lo, dim), dtype=np.float32)
        return out

    return draw(n), draw(n_queries)


def real_data_dir() -> str:
    """The real-text set (../shared/data/debian-minilm beside the checkout, or
    one level further up for a worktree), unless HOVRA_REAL_DATA names another
    directory. Its recipe is the README.md in that directory."""
    if os.environ.get("HOVRA_REAL_DATA"):
        return os.environ["HOVRA_REAL_DATA"]
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for up in (os.path.dirname(repo), os.path.dirname(os.path.dirname(repo))):
        cand = os.path.join(up, "shared", "data", "debian-minilm")
        if os.path.isdir(cand):
            return cand
    return os.path.join(os.path.dirname(repo), "shared", "data", "debian-minilm")


def make_metadata(n: int, seed: int = 7):
    """Per-record metadata used by the filtered benchmarks, as NumPy columns
    and as the list of dicts hovra stores.

    cat   int in [0, 10)   -> {"cat": c} matches ~10 %
    tag   int in [0, 100)  -> {"tag": t} matches ~1 %
    price float in [0, 100) -> {"price": {"$gte": 10, "$lt": 20}} ~10 %
    half  int in [0, 2)    -> {"half": h} matches ~50 %
    rare  int in [0, 1000) -> {"rare": r} matches ~0.1 %
    """
    rng = np.random.default_rng(seed)
    cat = rng.integers(0, 10, n)
    tag = rng.integers(0, 100, n)
    price = np.round(rng.uniform(0.0, 100.0, n), 2)
    half = rng.integers(0, 2, n)
    rare = rng.integers(0, 1000, n)
    metas = [
        {"cat": int(c), "tag": int(t), "price": float(p), "half": int(h), "rare": int(r)}
        for c, t, p, h, r in zip(cat.tolist(), tag.tolist(), price.tolist(), half.tolist(), rare.tolist())
    ]
    return {"cat": cat, "tag": tag, "price": price, "half": half, "rare": rare}, metas


def exact_knn(
    X: np.ndarray,
    Q: np.ndarray,
    k: int,
    candidates: Optional[np.ndarray] = None,
    chunk_rows: int = 50_000,
    chunk_queries: int = 256,
) -> np.ndarray:
    """Exact k nearest rows of ``X`` (squared Euclidean) for every query, in
    float64, chunked over both queries and rows to bound memory.

    With ``candidates`` (an index array) only those rows are eligible.  Rows
    are returned as indices into ``X``; when fewer than k rows are eligible
    the tail is -1.
    """
    if candidates is not None:
        base = X[candidates]
    else:
        base = X
    nb = base.shape[0]
    kk = min(k, nb)
    out = np.full((Q.shape[0], k), -1, dtype=np.int64)
    if kk == 0:
        return out
    q64_all = Q.astype(np.float64)
    norms = np.empty(nb, dtype=np.float64)
    for lo in range(0, nb, chunk_rows):
        b = base[lo : lo + chunk_rows].astype(np.float64)
        norms[lo : lo + chunk_rows] = np.einsum("ij,ij->i", b, b)
    for qlo in range(0, Q.shape[0], chunk_queries):
        q = q64_all[qlo : qlo + chunk_queries]
        best_d = np.full((q.shape[0], 0), np.inf)
        best_i = np.zeros((q.shape[0], 0), dtype=np.int64)
        for lo in range(0, nb, chunk_rows):
            b = base[lo : lo + chunk_rows].astype(np.float64)
            d = norms[lo : lo + chunk_rows][None, :] - 2.0 * (q @ b.T)
            take = min(kk, d.shape[1])
            part = np.argpartition(d, take - 1, axis=1)[:, :take]
            cd = np.concatenate([best_d, np.take_along_axis(d, part, 1)], axis=1)
            ci = np.concatenate([best_i, part + lo], axis=1)
            keep = np.argpartition(cd, min(kk, cd.shape[1]) - 1, axis=1)[:, :kk]
            best_d = np.take_along_axis(cd, keep, 1)
            best_i = np.take_along_axis(ci, keep, 1)
        order = np.argsort(best_d, axis=1, kind="stable")
        best_i = np.take_along_axis(best_i, order, 1)
        if candidates is not None:
            best_i = candidates[best_i]
        out[qlo : qlo + q.shape[0], :kk] = best_i
    return out


def recall_at_k(found: Sequence[Sequence[int]], truth: np.ndarray, k: int) -> float:
    """Mean over queries of |found ∩ true top-k| / (number of true hits, at
    most k).  Queries with no true hit are skipped."""
    total = 0.0
    counted = 0
    for f, t in zip(found, truth):
        t = [int(x) for x in t[:k] if x >= 0]
        if not t:
            continue
        total += len(set(int(x) for x in list(f)[:k]) & set(t)) / len(t)
        counted += 1
    return total / counted if counted else float("nan")


def hovra_ids(results) -> List[int]:
    return [int(r.id) for r in results]


# ---------------------------------------------------------------------------
# Timing
# ---------------------------------------------------------------------------


def time_single(search: Callable, queries: np.ndarray, warmup: int = 50):
    """Run ``search(q)`` for every query in a Python loop.

    Returns (total seconds, per-query latencies in seconds, results)."""
    for i in range(min(warmup, len(queries))):
        search(queries[i])
    lat = np.empty(len(queries))
    out = [None] * len(queries)
    t_all = perf()
    for i in range(len(queries)):
        t0 = perf()
        out[i] = search(queries[i])
        lat[i] = perf() - t0
    total = perf() - t_all
    return total, lat, out


def time_best(fn: Callable, repeat: int = 3, warmup: int = 1):
    """Best wall time of ``fn()`` over ``repeat`` runs after ``warmup`` runs;
    returns (seconds, result of the last run)."""
    res = None
    for _ in range(warmup):
        res = fn()
    best = float("inf")
    for _ in range(repeat):
        t0 = perf()
        res = fn()
        best = min(best, perf() - t0)
    return best, res


def interleaved_best(runs, rounds: int = 3):
    """Run each named measurement ``rounds`` times, alternating between them,
    and keep the fastest run of each.

    ``runs`` maps a name to a callable returning (seconds, payload); the
    result maps the name to the (seconds, payload) of its fastest run.
    Alternating keeps a burst of outside load from landing on one side only.
    """
    best = {}
    for _ in range(max(1, rounds)):
        for name, fn in runs.items():
            sec, payload = fn()
            if name not in best or sec < best[name][0]:
                best[name] = (sec, payload)
    return best


def interleaved_median(runs, rounds: int = 3):
    """Like ``interleaved_best``, but keeps each measurement's median run:
    the result maps a name to (median seconds, payload of its last run)."""
    times, last = {}, {}
    for _ in range(max(1, rounds)):
        for name, fn in runs.items():
            sec, payload = fn()
            times.setdefault(name, []).append(sec)
            last[name] = payload
    return {name: (float(np.median(t)), last[name]) for name, t in times.items()}


@contextmanager
def scratch_dir(base: Optional[str] = None, prefix: str = "hovra-bench-"):
    d = tempfile.mkdtemp(prefix=prefix, dir=base)
    try:
        yield d
    finally:
        gc.collect()
        shutil.rmtree(d, ignore_errors=True)


def dir_bytes(path: str) -> int:
    total = 0
    for root, _dirs, files in os.walk(path):
        for f in files:
            try:
                total += os.path.getsize(os.path.join(root, f))
            except OSError:
                pass
    return total


# ---------------------------------------------------------------------------
# Output
# ---------------------------------------------------------------------------


def _cpu_model() -> str:
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def _cpu_flags() -> str:
    """The processor's vector-instruction flags (what the kernels can use)."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("flags"):
                    flags = line.split(":", 1)[1].split()
                    wanted = ("sse4", "avx", "fma", "f16c", "amx", "vnni")
                    return " ".join(x for x in flags if x.startswith(wanted)) or "none of sse4/avx/fma"
    except OSError:
        pass
    return "unknown"


def _versions() -> str:
    parts = [f"python {platform.python_version()}", f"numpy {np.__version__}"]
    from importlib import metadata

    for name in ("hnswlib", "faiss-cpu", "lancedb"):
        try:
            parts.append(f"{name} {metadata.version(name)}")
        except metadata.PackageNotFoundError:
            if name != "lancedb":  # only the write path's benchmark uses it
                parts.append(f"{name} (not installed)")
    return ", ".join(parts)


def _source_state() -> str:
    """Commit of the working tree the scripts sit in, and whether src/ has
    uncommitted edits (the module under test may have been built from them)."""
    import subprocess

    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    try:
        head = subprocess.run(
            ["git", "-C", root, "log", "-1", "--format=%h %cd", "--date=iso"],
            capture_output=True,
            text=True,
            timeout=10,
        ).stdout.strip()
        dirty = subprocess.run(
            ["git", "-C", root, "status", "--porcelain", "--", "src"],
            capture_output=True,
            text=True,
            timeout=10,
        ).stdout.strip()
    except (OSError, subprocess.SubprocessError):
        return "unknown"
    if not head:
        return "unknown"
    return head + (" + uncommitted edits in src/" if dirty else "")


def header(title: str, lines: Iterable[str] = ()) -> str:
    try:
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        load = "n/a"
    out = [
        "=" * 78,
        title,
        "=" * 78,
        f"date      : {time.strftime('%Y-%m-%d %H:%M:%S')}",
        f"machine   : {os.cpu_count()} logical cores, {_cpu_model()}, {platform.system()} {platform.release()}",
        f"cpu flags : {_cpu_flags()}",
        f"HOVRA_SIMD: {os.environ.get('HOVRA_SIMD', '(unset: the best the processor has)')}",
        f"load avg  : {load} (1/5/15 min, at start)",
        f"software  : {_versions()}",
        f"hovra from: {hovra_location()}",
        f"source    : {_source_state()}",
        f"numpy BLAS: OPENBLAS_NUM_THREADS={os.environ.get('OPENBLAS_NUM_THREADS')} (ground truth and NumPy baselines)",
    ]
    out.extend(lines)
    out.append("-" * 78)
    return "\n".join(out)


def add_common_args(p, search: bool = True, intrinsic: bool = True) -> None:
    """The data, index and run options every benchmark script shares."""
    if search:
        p.add_argument("--queries", type=int, default=1000)
        p.add_argument("--k", type=int, default=10)
    p.add_argument("--threads", type=int, default=os.cpu_count() or 1)
    p.add_argument("--m", type=int, default=16)
    p.add_argument("--ef-construction", type=int, default=200)
    p.add_argument("--clusters", type=int, default=100)
    p.add_argument("--spread", type=float, default=0.6)
    if intrinsic:
        p.add_argument(
            "--intrinsic",
            type=int,
            default=0,
            help="draw the mixture in this many dimensions and rotate it into each dim (0 = off)",
        )
    p.add_argument("--seed", type=int, default=42)
    p.add_argument("--workdir", default=None, help="parent of the temporary database directories")


def parse_configs(text: str) -> List[Tuple[int, int]]:
    """'100000x128,20000x768' -> [(100000, 128), (20000, 768)]."""
    configs = []
    for c in text.split(","):
        n, dim = c.lower().split("x")
        configs.append((int(n), int(dim)))
    return configs


def fmt(v, spec: str = "") -> str:
    if v is None:
        return "-"
    if isinstance(v, float):
        if v != v:
            return "-"
        return format(v, spec) if spec else f"{v:.4g}"
    return str(v)


def ratio(a, b) -> Optional[float]:
    if a is None or b is None or b == 0 or a != a or b != b:
        return None
    return a / b


class Table:
    """Left-aligned text columns, right-aligned numbers."""

    def __init__(self, columns: Sequence[str]):
        self.columns = list(columns)
        self.rows: List[List[str]] = []

    def add(self, *cells) -> None:
        self.rows.append([c if isinstance(c, str) else fmt(c) for c in cells])

    def sep(self) -> None:
        self.rows.append(None)  # type: ignore[arg-type]

    def render(self) -> str:
        widths = [len(c) for c in self.columns]
        for r in self.rows:
            if r is None:
                continue
            for i, c in enumerate(r):
                widths[i] = max(widths[i], len(c))

        def line(cells):
            parts = []
            for i, c in enumerate(cells):
                numeric = i > 0 and _looks_numeric(c)
                parts.append(c.rjust(widths[i]) if numeric else c.ljust(widths[i]))
            return "  ".join(parts).rstrip()

        out = [line(self.columns), "  ".join("-" * w for w in widths)]
        for r in self.rows:
            out.append("" if r is None else line(r))
        return "\n".join(out)


def _looks_numeric(s: str) -> bool:
    s = s.strip().rstrip("x%").replace(",", "")
    if s in ("-", ""):
        return True
    try:
        float(s)
        return True
    except ValueError:
        return False


def emit(text: str = "") -> None:
    print(text, flush=True)


def mib(nbytes: float) -> str:
    return f"{nbytes / 2**20:.1f}"
