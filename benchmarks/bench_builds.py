"""Two builds of hovra, side by side: unfiltered graph search speed and recall.

Each build is an interpreter with its own hovra installed (two virtual
environments).  Every build first builds and saves a database from the same
vectors; then, in rounds, a fresh process of each build opens each saved
database and times the same queries (single-query loop and search_many).
The processes alternate, A then B, within every round, so a burst of outside
load lands on both; the table gives per-cell medians over the rounds and the
ratio B / A.  "own graph" compares the builds on the graphs they built;
"graph of A" runs both on one graph, which isolates the search code.

    python3 benchmarks/bench_builds.py --python-a /venvs/base/bin/python \\
        --python-b /venvs/new/bin/python [--n 100000] [--dim 128] [--rounds 7]
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchdata as bd  # noqa: E402

np = bd.np
HERE = os.path.abspath(__file__)


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--python-a", help="interpreter of build A (the reference)")
    p.add_argument("--python-b", help="interpreter of build B")
    p.add_argument("--n", type=int, default=100_000)
    p.add_argument("--dim", type=int, default=128)
    p.add_argument("--efs", default="10,40,default", help="ef values ('default' = hovra's own choice)")
    p.add_argument("--rounds", type=int, default=7)
    p.add_argument("--worker", help=argparse.SUPPRESS)
    p.add_argument("--dir", help=argparse.SUPPRESS)
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def worker_build(a):
    Database = bd.import_hovra()
    X = np.load(os.path.join(a.dir, "base.npy"))
    db = Database(
        os.path.join(a.dir, "db"),
        dim=X.shape[1],
        metric="euclidean",
        m=a.m,
        ef_construction=a.ef_construction,
    )
    t0 = bd.perf()
    db.add_many([str(i) for i in range(len(X))], X)
    secs = bd.perf() - t0
    db.save()
    st = db.stats()
    print(
        json.dumps({"build_s": secs, "avg_degree": st["avg_degree_layer0"], "brute": st["uses_brute_force"]})
    )


def worker_search(a):
    Database = bd.import_hovra()
    Q = np.load(os.path.join(a.dir, "..", "queries.npy"))
    db = Database(a.dir)
    out = {}
    for e in a.efs.split(","):
        ef = None if e == "default" else int(e)
        tot, _, res = bd.time_single(lambda q: db.search(q, k=a.k, ef_search=ef), Q)
        bt, _ = bd.time_best(lambda: db.search_many(Q, k=a.k, ef_search=ef), repeat=2)
        out[e] = {"qps": len(Q) / tot, "bqps": len(Q) / bt, "found": [bd.hovra_ids(r) for r in res]}
    print(json.dumps(out))


def run(python, *args):
    env = dict(os.environ)
    done = subprocess.run([python, HERE, *args], capture_output=True, text=True, env=env)
    if done.returncode != 0:
        sys.exit(f"{python} {' '.join(args)} failed:\n{done.stderr[-3000:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    common = [
        "--threads",
        str(a.threads),
        "--k",
        str(a.k),
        "--m",
        str(a.m),
        "--ef-construction",
        str(a.ef_construction),
        "--efs",
        a.efs,
    ]
    if a.worker == "build":
        return worker_build(a)
    if a.worker == "search":
        return worker_search(a)
    if not (a.python_a and a.python_b):
        sys.exit("--python-a and --python-b are required")

    X, Q = bd.make_clustered(a.n, a.dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    gt = bd.exact_knn(X, Q, a.k)
    builds = {"A": a.python_a, "B": a.python_b}
    bd.emit(
        bd.header(
            "hovra: two builds compared on unfiltered graph search (euclidean)",
            [
                f"A         : {a.python_a}",
                f"B         : {a.python_b}",
                f"data      : {a.n:,} x {a.dim} float32, {a.queries:,} queries, {a.clusters} Gaussian clusters "
                f"(spread {a.spread}), seed {a.seed}",
                f"index     : m={a.m}, ef_construction={a.ef_construction}, threads={a.threads}, k={a.k}",
                f"timing    : {a.rounds} rounds; in each, a fresh process per (build, graph), A and B alternating; "
                "medians over rounds",
                "QPS       : single = Python loop of search (50 warm-up queries); batch = best of 2 search_many",
            ],
        )
    )
    with bd.scratch_dir(a.workdir) as work:
        graphs = {}
        for name, python in builds.items():
            d = os.path.join(work, name)
            os.makedirs(d)
            np.save(os.path.join(d, "base.npy"), X)
            np.save(os.path.join(d, "queries.npy"), Q)
            info = run(python, "--worker", "build", "--dir", d, *common)
            assert not info["brute"], "the database must be on the graph path"
            graphs[name] = (os.path.join(d, "db"), info)
            bd.emit(f"build {name}: {info['build_s']:.1f} s, avg_degree_layer0 {info['avg_degree']:.2f}")
        cells = {}
        for _round in range(a.rounds):
            for graph in ("own", "A"):
                for name, python in builds.items():
                    path = graphs[name if graph == "own" else "A"][0]
                    res = run(python, "--worker", "search", "--dir", path, *common)
                    for e, v in res.items():
                        cell = cells.setdefault((graph, e, name), {"qps": [], "bqps": [], "rec": None})
                        cell["qps"].append(v["qps"])
                        cell["bqps"].append(v["bqps"])
                        cell["rec"] = bd.recall_at_k(v["found"], gt, a.k)
        t = bd.Table(
            [
                "graph",
                "ef",
                "recall A",
                "recall B",
                "1-q QPS A",
                "1-q QPS B",
                "B/A",
                "batch QPS A",
                "batch QPS B",
                "B/A",
            ]
        )
        for graph in ("own", "A"):
            for e in a.efs.split(","):
                ca, cb = cells[(graph, e, "A")], cells[(graph, e, "B")]
                qa, qb = np.median(ca["qps"]), np.median(cb["qps"])
                ba, bb = np.median(ca["bqps"]), np.median(cb["bqps"])
                t.add(
                    "own graph" if graph == "own" else "graph of A",
                    e,
                    f"{ca['rec']:.4f}",
                    f"{cb['rec']:.4f}",
                    f"{qa:,.0f}",
                    f"{qb:,.0f}",
                    f"{qb / qa:.3f}",
                    f"{ba:,.0f}",
                    f"{bb:,.0f}",
                    f"{bb / ba:.3f}",
                )
        bd.emit()
        bd.emit(t.render())


if __name__ == "__main__":
    main()
