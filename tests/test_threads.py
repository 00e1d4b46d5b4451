"""The worker pool's size: HOVRA_NUM_THREADS (then the RAYON_ fallbacks) when
the pool is made, hovra.set_num_threads(n) at any time, also while other
threads search and write, and refusals of sizes that cannot be."""

import os
import subprocess
import sys
import threading

import hovra
import numpy as np
import pytest


def pool_size_in_child(env_extra):
    """get_num_threads() in a fresh interpreter with the given environment."""
    env = {
        k: v
        for k, v in os.environ.items()
        if k not in ("HOVRA_NUM_THREADS", "RAYON_NUM_THREADS", "RAYON_RS_NUM_CPUS")
    }
    env.update(env_extra)
    code = "import hovra; print(hovra.get_num_threads())"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, check=True)
    return int(out.stdout)


def test_the_environment_sizes_the_pool():
    default = pool_size_in_child({})
    assert default == (os.cpu_count() or 1)
    assert (
        pool_size_in_child({"HOVRA_NUM_THREADS": "3", "RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "7"})
        == 3
    )
    assert pool_size_in_child({"RAYON_NUM_THREADS": "5", "RAYON_RS_NUM_CPUS": "7"}) == 5
    assert pool_size_in_child({"RAYON_RS_NUM_CPUS": "7"}) == 7
    # Values that are not positive integers are ignored.
    assert pool_size_in_child({"HOVRA_NUM_THREADS": "0", "RAYON_NUM_THREADS": "2"}) == 2
    assert pool_size_in_child({"HOVRA_NUM_THREADS": "many"}) == default


def test_set_num_threads_refuses_impossible_sizes():
    before = hovra.get_num_threads()
    with pytest.raises(ValueError, match="from 1 to 4096"):
        hovra.set_num_threads(0)
    with pytest.raises(ValueError, match="from 1 to 4096"):
        hovra.set_num_threads(4097)
    with pytest.raises(OverflowError):
        hovra.set_num_threads(-1)
    with pytest.raises(TypeError):
        hovra.set_num_threads(2.0)
    with pytest.raises(TypeError):
        hovra.set_num_threads()
    assert hovra.get_num_threads() == before


def test_resizing_while_other_threads_search_and_write(tmp_path):
    """Searches, batches and scans keep returning what they return on a
    steady pool while another thread resizes it over and over."""
    before = hovra.get_num_threads()
    rng = np.random.default_rng(3)
    db = hovra.Database(tmp_path / "db", dim=16, metric="euclidean")
    base = rng.standard_normal((2000, 16)).astype(np.float32)
    db.add_many([str(i) for i in range(2000)], base)
    queries = rng.standard_normal((64, 16)).astype(np.float32)
    expected = [[h.id for h in hits] for hits in db.search_many(queries, k=5)]
    failures = []
    stop = threading.Event()

    def search():
        while not stop.is_set():
            got = [[h.id for h in hits] for hits in db.search_many(queries, k=5)]
            if got != expected:
                failures.append("search_many changed its answers")

    def write(prefix):
        for round in range(6):
            ids = [f"{prefix}-{round}-{i}" for i in range(300)]
            db.add_many(ids, rng.standard_normal((300, 16)).astype(np.float32) + 100)
            if not all(i in db for i in ids):
                failures.append("a batch lost records")

    workers = [threading.Thread(target=search) for _ in range(2)]
    writer = threading.Thread(target=write, args=("w",))
    for t in workers + [writer]:
        t.start()
    try:
        sizes = [1, 4, 2, 8, 3]
        rounds = 0
        while writer.is_alive() or rounds < 50:
            hovra.set_num_threads(sizes[rounds % len(sizes)])
            rounds += 1
        writer.join()
    finally:
        stop.set()
        for t in workers:
            t.join()
        hovra.set_num_threads(before)
    assert not failures, failures[:3]
    assert len(db) == 2000 + 6 * 300
    hovra.set_num_threads(3)
    assert hovra.get_num_threads() == 3
    hovra.set_num_threads(before)
    db.close()
