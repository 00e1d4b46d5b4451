"""Sharded collections on Ray (hovra.ray) against one database, on one machine.

Builds the same records into one hovra Database (add_many in the driver) and
into ShardedDatabase collections of 1 and 2 shards (write_dataset from a Ray
Dataset pipeline), then measures batch queries per second, recall@k against
exact ground truth, single-query latency, and what the fan-out to the shards
and the merge of their answers cost per query. Ends with what changes on a
cluster of several machines, worked out from the measured figures, the time
of resharding the widest collection into twice as many shards, and, on a
smaller collection of 2 shards, the writes with replicas (sync_replicas on
and off) and the time a replica takes to take over a lost primary.

    python3 benchmarks/bench_sharded.py [--n 1000000] [--dim 32] [--shards 1,2] [--queries 1000] [--rounds 5]
        [--replica-n 50000] [--reshard-n N]

Ray runs locally on loopback addresses, with --threads CPUs; each shard gets
threads // shards worker threads, so every configuration uses the same cores.
"""

from __future__ import annotations

import argparse
import logging
import os
import pickle
import statistics
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

# A local, private Ray: loopback addresses only, no token set-up, no usage
# report. Ray reads these when it is imported.
os.environ.setdefault("RAY_ENABLE_WINDOWS_OR_OSX_CLUSTER", "0")
os.environ.setdefault("RAY_AUTH_MODE", "disabled")
os.environ.setdefault("RAY_USAGE_STATS_ENABLED", "0")

import benchdata as bd  # noqa: E402


def parse_args():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--n", type=int, default=1_000_000)
    p.add_argument("--dim", type=int, default=32)
    p.add_argument("--shards", default="1,2", help="comma-separated shard counts")
    p.add_argument(
        "--rounds",
        type=int,
        default=5,
        help="timed rounds; configurations alternate within a round; medians are reported",
    )
    p.add_argument(
        "--build-batch",
        type=int,
        default=50_000,
        help="rows per add_many call (one database) and per write_dataset batch",
    )
    p.add_argument("--single", type=int, default=200, help="queries timed one by one per round")
    p.add_argument(
        "--writes",
        type=int,
        default=20_000,
        help="new records written per round in the write test (add_many in batches of --write-batch)",
    )
    p.add_argument("--write-batch", type=int, default=2_000)
    p.add_argument(
        "--replica-n",
        type=int,
        default=50_000,
        help="records of the 2-shard collections of the replica test (0: skip it)",
    )
    p.add_argument(
        "--reshard-n",
        type=int,
        default=0,
        help="split a fresh 2-shard collection of this many records instead of the widest one (0: the widest)",
    )
    bd.add_common_args(p, search=True, intrinsic=True)
    return p.parse_args()


def median(values):
    return statistics.median(values) if values else float("nan")


def main():
    a = parse_args()
    bd.set_threads(a.threads)
    Database = bd.import_hovra()
    import numpy as np
    import ray
    from hovra.ray import write_dataset
    from hovra.ray._merge import _merge_packed

    shard_counts = [int(s) for s in a.shards.split(",")]
    k, n, dim = a.k, a.n, a.dim
    bd.emit(
        bd.header(
            "hovra.ray: sharded collections on one machine vs one database (euclidean)",
            [
                f"data      : {n:,} x {dim} float32; {a.queries:,} queries; {a.clusters} Gaussian clusters "
                f"(spread {a.spread}), seed {a.seed}",
                f"index     : m={a.m}, ef_construction={a.ef_construction}, k={k}, ef_search default (200)",
                f"Ray       : {ray.__version__}, local, num_cpus={a.threads}; shard actors with "
                f"threads // shards worker threads each",
                f"build     : one Database: add_many in chunks of {a.build_batch:,} in the driver; shards: "
                f"write_dataset of a Dataset pipeline (range -> map_batches reading the vectors from the "
                f"object store), batches of {a.build_batch:,}; no save in either; until every record is linked (wait_indexed)",
                f"timing    : {a.rounds} rounds, configurations alternating within each round; medians",
                "fan-out   : batch time - the slowest shard's own search_many time, per query (shipping the "
                "queries and results, Ray calls, merging)",
                f"writes    : per round, {a.writes:,} new records by add_many in batches of {a.write_batch:,} "
                "(a batch over several shards is a two-phase commit), wall time; then deleted again",
                "failover  : per round, the widest collection's shard 0 killed for good (ray.kill); wall time "
                "until the next read has started it again and answered",
                "reshard   : at the end, the widest collection (or one of --reshard-n records) split into "
                "twice as many shards (reshard) under a thread of single upserts",
                (
                    f"replicas  : 2 shards of {a.replica_n:,} records, 1 copy / 2 copies with sync_replicas "
                    "off / on (the copies share this node: a replica reads the primary's directory); single "
                    "upserts and add_many batches, wall time, alternating in rounds; then the primary of "
                    "shard 0 killed for good and the wall time until a write is acknowledged by the promoted "
                    "replica and until a new replica takes reads; then that collection resharded to 4 shards"
                    if a.replica_n
                    else "replicas  : not measured (--replica-n 0)"
                ),
            ],
        )
    )

    X, Q = bd.make_clustered(n, dim, a.queries, a.clusters, a.spread, a.seed, a.intrinsic)
    t0 = bd.perf()
    truth = bd.exact_knn(X, Q, k)
    bd.emit(f"ground truth: {bd.perf() - t0:.1f} s")

    ray.init(
        address="local",
        num_cpus=a.threads,
        include_dashboard=False,
        log_to_driver=False,
        logging_level="warning",
    )
    logging.getLogger("ray.data").setLevel(logging.WARNING)
    ray.data.DataContext.get_current().enable_progress_bars = False
    vectors_ref = ray.put(X)

    def embed(batch):
        rows = batch["id"]
        return {"id": rows.astype(str), "vector": ray.get(vectors_ref)[rows]}

    blocks = max(8, n // a.build_batch)
    dataset = ray.data.range(n, override_num_blocks=blocks).map_batches(embed, batch_size=a.build_batch)

    configs = {}  # name -> dict(db, shards, threads, build)
    with bd.scratch_dir(a.workdir) as work:
        db = Database(
            os.path.join(work, "one"), dim=dim, metric="euclidean", m=a.m, ef_construction=a.ef_construction
        )
        ids = [str(i) for i in range(n)]
        t0 = bd.perf()
        for lo in range(0, n, a.build_batch):
            db.add_many(ids[lo : lo + a.build_batch], X[lo : lo + a.build_batch])
        db.wait_indexed()  # a build ends when the graph holds every record
        configs["one Database"] = {"db": db, "shards": 0, "threads": a.threads, "build": bd.perf() - t0}
        del ids
        bd.emit(f"built one Database in {configs['one Database']['build']:.1f} s")

        for count in shard_counts:
            threads = max(1, a.threads // count)
            t0 = bd.perf()
            sharded = write_dataset(
                dataset,
                os.path.join(work, f"shards-{count}"),
                shards=count,
                dim=dim,
                metric="euclidean",
                m=a.m,
                ef_construction=a.ef_construction,
                batch_size=a.build_batch,
                save=False,
                shard_threads=threads,
            )
            sharded.wait_indexed()
            name = f"{count} shard" + ("s" if count > 1 else "")
            configs[name] = {"db": sharded, "shards": count, "threads": threads, "build": bd.perf() - t0}
            assert len(sharded) == n
            bd.emit(f"built {name} in {configs[name]['build']:.1f} s")

        # Recall and the size of what one shard sends back, once per configuration.
        for c in configs.values():
            found, _ = c["db"].search_arrays(Q, k=k)
            c["recall"] = bd.recall_at_k([[int(x) for x in row if x is not None] for row in found], truth, k)
            if c["shards"]:
                per_shard = [ray.get(actor.search_many.remote(None, Q, k=k)) for actor in c["db"]._actors]
                c["per_shard"] = per_shard
                c["result_bytes"] = len(pickle.dumps(per_shard[0], protocol=5)) / len(Q)

        samples = {
            name: {"batch": [], "inner": [], "single": [], "merge": [], "write": [], "failover": []}
            for name in configs
        }
        rng = np.random.default_rng(a.seed + 1)
        fresh = rng.standard_normal((a.writes, dim)).astype(np.float32)
        fresh_ids = [f"w{i}" for i in range(a.writes)]
        single_queries = Q[: a.single]
        for _ in range(max(1, a.rounds)):
            for name, c in configs.items():
                s, db = samples[name], c["db"]
                # Searches time the graph, not fresh rows that the last
                # round's writes or a restart left to the linker.
                db.wait_indexed()
                t0 = bd.perf()
                db.search_many(Q, k=k)
                s["batch"].append(bd.perf() - t0)
                if c["shards"]:
                    inner = ray.get([actor.timed_search_many.remote(Q, k=k) for actor in db._actors])
                    s["inner"].append(max(inner))
                t0 = bd.perf()
                for q in single_queries:
                    db.search(q, k=k)
                s["single"].append((bd.perf() - t0) / len(single_queries))
                t0 = bd.perf()
                for lo in range(0, a.writes, a.write_batch):
                    db.add_many(fresh_ids[lo : lo + a.write_batch], fresh[lo : lo + a.write_batch])
                s["write"].append(bd.perf() - t0)
                db.delete_many(fresh_ids)
                if c["shards"] and c is max(
                    (x for x in configs.values() if x["shards"]), key=lambda x: x["shards"]
                ):
                    victim = db._actors[0]
                    ray.kill(victim, no_restart=True)
                    t0 = bd.perf()
                    # Reads until one has found the shard dead and started it again
                    # (reads may still answer before the kill lands).
                    while True:
                        try:
                            db.count()
                        except Exception:
                            time.sleep(0.01)
                            continue
                        if db._actors[0] is not victim:
                            break
                        time.sleep(0.01)
                    s["failover"].append(bd.perf() - t0)
                if c["shards"]:
                    t0 = bd.perf()
                    _merge_packed(c["per_shard"], k)
                    s["merge"].append(bd.perf() - t0)

        base = configs["one Database"]
        base_batch = median(samples["one Database"]["batch"])
        base_single = median(samples["one Database"]["single"])
        t = bd.Table(
            [
                "configuration",
                "threads each",
                "build s",
                "build vs one",
                "batch QPS",
                "QPS vs one",
                f"recall@{k}",
                "1-query ms",
                "fan-out+merge us/q",
                "merge us/q",
                "result B/q/shard",
                "search mode",
                "writes/s",
            ]
        )
        for name, c in configs.items():
            s = samples[name]
            batch = median(s["batch"])
            fan = (batch - median(s["inner"])) / len(Q) * 1e6 if c["shards"] else None
            merge = median(s["merge"]) / len(Q) * 1e6 if c["shards"] else None
            t.add(
                name,
                str(c["threads"]),
                f"{c['build']:.1f}",
                f"{c['build'] / base['build']:.2f}x",
                f"{len(Q) / batch:,.0f}",
                f"{base_batch / batch:.2f}x",
                f"{c['recall']:.4f}",
                f"{median(s['single']) * 1e3:.3f}",
                "-" if fan is None else f"{fan:.1f}",
                "-" if merge is None else f"{merge:.1f}",
                f"{c['result_bytes']:.0f}" if c["shards"] else "-",
                "exact" if c["db"].stats()["uses_brute_force"] else "graph",
                f"{a.writes / median(s['write']):,.0f}",
            )
            c["fan"], c["merge"], c["batch"] = fan, merge, batch
        bd.emit()
        bd.emit("QPS vs one: >1 means faster than one database; build vs one: >1 means slower")
        bd.emit(t.render())
        bd.emit()
        for name in configs:
            if samples[name]["failover"]:
                f = samples[name]["failover"]
                bd.emit(
                    f"failover ({name}): a shard killed for good answers again after {median(f):.2f} s "
                    f"(median of {len(f)}, {min(f):.2f}-{max(f):.2f} s)"
                )
        bd.emit()

        # What a cluster changes, from the figures above.
        widest = max((c for c in configs.values() if c["shards"]), key=lambda c: c["shards"])
        hop_ms = (
            median(samples[[nm for nm, c in configs.items() if c is widest][0]]["single"]) - base_single
        ) * 1e3
        batch_mb = widest["result_bytes"] * len(Q) * widest["shards"] / 1e6
        bd.emit("On a cluster of several machines:")
        bd.emit(
            f"- every call to a shard crosses the network. Here, on one machine, a single query to "
            f"{widest['shards']} shard(s) takes {hop_ms:+.3f} ms over one database (Ray's call and "
            f"the merge); a LAN adds roughly 0.1-0.5 ms more per query, paid in parallel for all shards, "
            f"so single queries are dominated by it and batches are the way to go."
        )
        bd.emit(
            f"- a batch of {len(Q):,} queries brings back {widest['result_bytes']:.0f} bytes per query "
            f"per shard, {batch_mb:.1f} MB in all for {widest['shards']} shard(s): "
            f"{batch_mb * 8 / 10_000 * 1e3:.1f} ms at 10 Gbit/s, once per batch."
        )
        bd.emit(
            f"- the merge stays on the driver at {widest['merge']:.1f} us per query for "
            f"{widest['shards']} x {k} hits (it grows with shards x k); fan-out and merge together cost "
            f"{widest['fan']:.1f} us per query here, against "
            f"{widest['batch'] / len(Q) * 1e6:.1f} us of batch time per query."
        )
        bd.emit(
            "- what scales is the shards' own work: each machine searches its own part with its own "
            "cores and memory, so with one shard per machine the batch time approaches one shard's "
            "search time plus the figures above."
        )
        if a.reshard_n:
            for c in configs.values():
                if c["shards"]:
                    c["db"].close()
            reshard_widest(fresh_collection(work, "reshard", a.reshard_n, a, X, 2), a, a.reshard_n)
        else:
            reshard_widest(widest, a, n)
            for c in configs.values():
                if c["shards"]:
                    c["db"].close()
        if a.replica_n:
            replicated_writes(work, a, X)


def fresh_collection(work, name, n, a, X, shards, **options):
    """A collection of the first ``n`` vectors of X (cycled when X has fewer)."""
    import numpy as np
    from hovra.ray import ShardedDatabase

    db = ShardedDatabase(
        os.path.join(work, name),
        dim=a.dim,
        metric="euclidean",
        m=a.m,
        ef_construction=a.ef_construction,
        shards=shards,
        shard_threads=max(1, a.threads // shards),
        **options,
    )
    for lo in range(0, n, a.build_batch):
        rows = np.arange(lo, min(n, lo + a.build_batch)) % len(X)
        db.add_many([str(i) for i in range(lo, lo + len(rows))], X[rows])
    return {"db": db, "shards": shards}


def reshard_widest(widest, a, n):
    """Splits the widest collection into twice as many shards while a thread
    upserts single records, and reports the split's time, the pause of
    writes it measured, and the writes' wall latency during it."""
    import threading

    import numpy as np

    db, count = widest["db"], widest["shards"]
    latencies, stop = [], threading.Event()

    def writer():
        rng = np.random.default_rng(a.seed + 2)
        i = 0
        while not stop.is_set():
            t0 = bd.perf()
            db.upsert(f"during-{i}", rng.standard_normal(db.dim).astype(np.float32))
            latencies.append(bd.perf() - t0)
            i += 1

    thread = threading.Thread(target=writer)
    thread.start()
    time.sleep(1.0)
    report = db.reshard(2 * count)
    time.sleep(1.0)
    stop.set()
    thread.join()
    assert len(db) == n + len(latencies)
    if a.reshard_n:
        db.close()
    bd.emit(
        f"reshard {count} -> {2 * count} shards of {n:,} records: {report['seconds']:.1f} s wall "
        f"({report['moved']:,.0f} records moved; copy {report['copy_seconds']:.1f} s with reads and writes "
        f"going on, then writes paused {report['pause_seconds']:.2f} s for the catch-up, the layout "
        f"switch and the deletion of the moved records); a single-record writer meanwhile: "
        f"{len(latencies):,} upserts, median {median(latencies) * 1e3:.1f} ms, longest "
        f"{max(latencies):.2f} s; every one present afterwards"
    )


def replicated_writes(work, a, X):
    """Writes to 2 shards kept in 1 copy and in 2 copies (sync_replicas off
    and on: two handles of the same collection), in alternating rounds;
    then the failover of a primary killed for good."""
    import numpy as np
    import ray
    from hovra.ray import ShardedDatabase, ShardUnavailableError, shard_of

    n = a.replica_n
    handles = {
        "1 copy": fresh_collection(work, "copies-1", n, a, X, 2)["db"],
        "2 copies, sync off": fresh_collection(work, "copies-2", n, a, X, 2, replicas=2)["db"],
    }
    handles["2 copies, sync on"] = ShardedDatabase(os.path.join(work, "copies-2"), sync_replicas=True)
    rng = np.random.default_rng(a.seed + 3)
    rows = rng.standard_normal((a.write_batch, a.dim)).astype(np.float32)
    singles = {name: [] for name in handles}
    batches = {name: [] for name in handles}
    for r in range(max(1, a.rounds)):
        for name, db in handles.items():
            t0 = bd.perf()
            for i in range(a.single):
                db.upsert(f"one-{r}-{i}", rows[i % len(rows)])
            singles[name].append((bd.perf() - t0) / a.single)
            ids = [f"many-{r}-{i}" for i in range(a.write_batch)]
            t0 = bd.perf()
            db.add_many(ids, rows)
            batches[name].append(bd.perf() - t0)
            db.delete_many(ids)
    t = bd.Table(
        ["2 shards of " + f"{n:,}", "single upsert ms", "upserts/s", f"add_many({a.write_batch:,}) rows/s"]
    )
    for name in handles:
        single, batch = median(singles[name]), median(batches[name])
        spread = f" ({min(singles[name]) * 1e3:.2f}-{max(singles[name]) * 1e3:.2f})"
        t.add(name, f"{single * 1e3:.2f}{spread}", f"{1 / single:,.0f}", f"{a.write_batch / batch:,.0f}")
    bd.emit()
    bd.emit(t.render())

    db = handles["2 copies, sync on"]
    victim = db._actors[0]
    on_zero = next(f"after-{i}" for i in range(100) if shard_of(f"after-{i}", 2) == 0)
    ray.kill(victim, no_restart=True)
    t0 = bd.perf()
    while True:
        try:
            db.upsert(on_zero, rows[0])
        except ShardUnavailableError:
            time.sleep(0.01)
            continue
        if db._actors[0] is not victim:
            break
    took = bd.perf() - t0
    assert ray.get(db._actors[0].info.remote())["replica"] is False
    replicas = db._shared.replicas
    while not replicas.members.get(0):
        replicas.admit()
        time.sleep(0.01)
    joined = bd.perf() - t0
    bd.emit(
        f"failover with replicas: the primary of shard 0 killed for good; a write was acknowledged by "
        f"the promoted replica after {took:.2f} s, a new replica in the lost copy's place read the log "
        f"and took reads after {joined:.2f} s (one sample)"
    )
    split = db.reshard(4)
    bd.emit(
        f"resharding the 2 copies of 2 shards into 2 copies of 4 shards: {split['seconds']:.1f} s in all "
        f"(copy {split['copy_seconds']:.1f} s, writes paused {split['pause_seconds']:.2f} s, the new "
        f"shards' replicas started and the old ones reread their shards in the rest), "
        f"{split['moved']:,.0f} records moved (one sample)"
    )
    for db in handles.values():
        db.close()


if __name__ == "__main__":
    main()
