"""The write path: changes are stored and found at once while a background
linker links them into the graph; open replays the log without linking;
saves happen at close, at interpreter exit and in the background once the
log passes its bounds; writers wait when they outrun the linker; a process
killed at any point keeps every change whose call returned."""

import io
import os
import random
import shutil
import signal
import struct
import subprocess
import sys
import textwrap
import threading
import time
import zlib
from pathlib import Path

import hovra
import numpy as np
import pytest
from _hovra import DEFAULTS


def rows(n, dim, seed):
    return np.random.default_rng(seed).standard_normal((n, dim)).astype(np.float32)


def log_is_empty(path):
    """Whether wal.hovra holds its header alone (a save starts a new log)."""
    return (path / "wal.hovra").stat().st_size == 20


def poll(condition, seconds=120.0):
    """Waits for condition() (true at once on a quick machine); the bound
    only keeps a broken build from hanging the suite."""
    deadline = time.monotonic() + seconds
    while not condition():
        assert time.monotonic() < deadline, "condition never held"
        time.sleep(0.02)


class TestFreshRowsAreSearched:
    def test_a_batch_is_found_at_once_on_the_graph_path(self, tmp_path):
        # 5,000 x 2,048 is past the exact-scan threshold: searches walk the
        # graph, and the records of the second batch, not linked yet, are
        # found by the exact scan of the fresh rows that every search merges
        # in, under filters and max_distance too. The beam is as wide as the
        # graph and the data lie in a 12-dimensional subspace (where the
        # graph reaches every record), so the records the linker links
        # meanwhile are found exactly as well: the answer is exact whatever
        # the linker has done.
        dim = 2048
        db = hovra.Database(tmp_path / "g", dim=dim, metric="euclidean", m=8, ef_construction=32)
        basis = rows(12, dim, 0)
        inner = rows(5000, 12, 1)
        base = inner @ basis
        db.add_many([str(i) for i in range(5000)], base, [{"g": i % 3} for i in range(5000)])
        new = (inner[:300] + 0.05 * rows(300, 12, 2)) @ basis
        db.add_many([f"n{i}" for i in range(300)], new, [{"g": i % 3} for i in range(300)])
        assert not db.stats()["uses_brute_force"]
        for i in range(0, 300, 7):
            q = new[i] + 0.001 * rows(1, dim, i)[0]
            hits = db.search(q, k=5, ef_search=6000)
            assert hits[0].id == f"n{i}"
            # Every new record closer than the fifth hit is among the hits.
            d_new = ((new - q) ** 2).sum(axis=1)
            assert {f"n{j}" for j in np.flatnonzero(d_new < hits[-1].distance)} <= {h.id for h in hits}
            flt = {"g": (i + 1) % 3}
            hits = db.search(q, k=5, where_filter=flt, ef_search=6000)
            assert all(h.metadata == flt for h in hits) and len(hits) == 5
            near = db.search(q, k=5, max_distance=float(d_new[i]) * 1.01, ef_search=6000)
            assert [h.id for h in near][:1] == [f"n{i}"] and all(h.distance <= d_new[i] * 1.01 for h in near)
        assert db.wait_indexed()
        assert db.stats()["fresh_rows"] == 0
        assert [h.id for h in db.search(new[5], k=1, ef_search=6000)] == ["n5"]

    def test_updates_and_deletes_of_fresh_and_linked_records(self, tmp_path):
        db = hovra.Database(tmp_path / "u", dim=8, metric="euclidean")
        x = rows(3000, 8, 3)
        db.add_many([str(i) for i in range(3000)], x)
        db.wait_indexed()
        more = rows(500, 8, 4)
        db.add_many([f"m{i}" for i in range(500)], more)
        db.update("7", vector=more[0] + 100)  # a linked record moves
        db.update("m3", vector=more[1] - 100)  # a fresh one moves
        db.delete("m4")
        db.delete("8")
        assert [h.id for h in db.search(more[0] + 100, k=1)] == ["7"]
        assert [h.id for h in db.search(more[1] - 100, k=1)] == ["m3"]
        assert "m4" not in db and "8" not in db and len(db) == 3498
        assert db.wait_indexed()
        assert [h.id for h in db.search(more[0] + 100, k=1)] == ["7"]
        assert db.deleted_count == 2 and db.total_slots == 3500


def log_frame(kind, payload):
    head = bytes([kind])
    return head + struct.pack("<I", len(payload)) + payload + struct.pack("<I", zlib.crc32(head + payload))


def insert_frame(ident, vector, metadata=b"", kind=1):
    """A logged insert: the id's bytes, the floats and the metadata's text."""
    floats = np.asarray(vector, "<f4")
    return log_frame(
        kind,
        struct.pack("<I", len(ident))
        + ident
        + struct.pack("<I", len(floats))
        + floats.tobytes()
        + struct.pack("<I", len(metadata))
        + metadata,
    )


class TestOpenAndSave:
    def test_a_logged_run_of_inserts_replays_as_record_by_record(self, tmp_path):
        """Open applies a batch of inserts in pieces straight from the log:
        what it passes over and what a later record of the same id replaces
        come out as applying the records one by one gives."""
        path = tmp_path / "r"
        hovra.Database(path, dim=4, autocheckpoint=False).close()
        x = rows(1300, 4, 8)
        frames = [insert_frame(b"bare", x[0]), insert_frame(b"a", x[1], b'{"k":1}')]
        frames += [
            insert_frame(f"f{i}".encode(), x[10 + i], b'{"i":%d}' % i if i % 3 else b"") for i in range(1200)
        ]
        frames += [
            insert_frame(b"a", x[2]),  # replaces a, without metadata
            insert_frame(b"short", x[3][:3]),  # another dimension: passed over
            insert_frame(b"badjson", x[4], b"{not json"),  # passed over
            insert_frame(b"\xff\xfe", x[5]),  # not UTF-8: passed over
            log_frame(77, b"unknown kind"),  # counted in the batch, passed over
            insert_frame(b"f7", x[6], b'{"again":true}'),  # a later piece replaces f7
            insert_frame(b"sp", x[7], kind=6),  # cut off as a sparse insert: passed over
        ]
        batch = (
            log_frame(4, struct.pack("<I", len(frames)))
            + b"".join(frames)
            + log_frame(5, struct.pack("<I", len(frames)))
        )
        lone = insert_frame(b"lone", x[8], b'["x"]')
        with open(path / "wal.hovra", "ab") as f:
            f.write(batch + lone + insert_frame(b"last", x[9]))
        db = hovra.Database(path, autocheckpoint=False)
        expected = {"bare": (x[0], None), "a": (x[2], None), "lone": (x[8], ["x"]), "last": (x[9], None)}
        expected |= {f"f{i}": (x[10 + i], {"i": i} if i % 3 else None) for i in range(1200)}
        expected["f7"] = (x[6], {"again": True})
        assert sorted(db.ids()) == sorted(expected)
        for key, (vector, metadata) in expected.items():
            assert db.get(key) == (vector.tolist(), metadata), key
        assert [h.id for h in db.search(x[6], k=1, where_filter={"again": True})] == ["f7"]
        assert db.count({"i": {"$gte": 0}}) == 800 - 1  # f7's replacement has no "i"
        db.close(save=False)

    def test_open_replays_without_linking_and_the_linker_catches_up(self, tmp_path):
        path = tmp_path / "o"
        db = hovra.Database(path, dim=16, autocheckpoint=False)
        x = rows(40000, 16, 5)
        db.add_many([str(i) for i in range(40000)], x)
        db.close(save=False)
        assert (path / "wal.hovra").stat().st_size > 40000 * 64
        db = hovra.Database(path)
        # The open returned before linking: the log's records are fresh,
        # and found.
        assert len(db) == 40000 and db.stats()["fresh_rows"] > 0
        assert [h.id for h in db.search(x[39999], k=1)] == ["39999"]
        assert db.wait_indexed()
        assert db.stats()["fresh_rows"] == 0 and db.stats()["min_degree_layer0"] >= 1

    def test_a_long_run_replays_exactly_while_its_memory_is_backed_ahead(self, tmp_path):
        # A run whose rows take more than 64 MiB has the store's new memory
        # backed by a second thread while the open decodes into it: every
        # row is the one logged, also across the 8 MiB pieces it backs.
        path = tmp_path / "big"
        n, dim = 140_000, 128
        hovra.Database(path, dim=dim, metric="euclidean", autocheckpoint=False).close()
        x = rows(n, dim, 11)
        with open(path / "wal.hovra", "ab") as f:
            for lo in range(0, n, 10_000):
                frames = [insert_frame(str(i).encode(), x[i]) for i in range(lo, lo + 10_000)]
                f.write(
                    log_frame(4, struct.pack("<I", len(frames)))
                    + b"".join(frames)
                    + log_frame(5, struct.pack("<I", len(frames)))
                )
        db = hovra.Database(path, autocheckpoint=False)
        assert len(db) == n
        picks = list(range(0, n, 997)) + [n - 1]
        got = np.array([v for v, _ in db.get_many([str(i) for i in picks])], dtype=np.float32)
        assert np.array_equal(got, x[picks])
        assert all(db.search(x[i], k=1)[0].id == str(i) for i in picks[::10])
        db.close(save=False)

    def test_a_save_keeps_fresh_rows_fresh(self, tmp_path):
        path = tmp_path / "s"
        db = hovra.Database(path, dim=16, autocheckpoint=False)
        x = rows(30000, 16, 6)
        db.add_many([str(i) for i in range(30000)], x)
        # Read before the save: the linker only lowers it meanwhile.
        saved_fresh = db.stats()["fresh_rows"]
        db.save()
        db.close(save=False)
        assert log_is_empty(path)
        report = hovra.Database(path)
        # Rows saved before they were linked come back fresh, and count as
        # reachable (searches scan them). A node the linker placed apart
        # meanwhile, whose check still waited for fresh rows, is saved fresh
        # too (the reopened database checks it again): a handful at most.
        assert report.stats()["fresh_rows"] <= saved_fresh + 16
        report.verify()
        assert [h.id for h in report.search(x[123], k=1)] == ["123"]
        assert report.wait_indexed()
        assert report.stats()["min_degree_layer0"] >= 1
        # The graph file's header flags (offset 37): bit 1 marks a file with
        # unlinked rows (bits 0, 2 and 3: sealed, rows apart, deltas). Once
        # every row is linked, a save says it clear: here in the flags word
        # of the delta it appends (16 bytes into it), which the file's
        # readers take over the header's.
        graph = path / "graph.hovra"
        before = graph.read_bytes()
        assert before[37:41] == (15).to_bytes(4, "little")
        report.save()
        after = graph.read_bytes()
        assert after[: len(before)] == before and after[len(before) : len(before) + 4] == b"DLTA"
        assert after[len(before) + 16 : len(before) + 20] == bytes(4)
        report.close()
        assert hovra.Database(path).stats()["fresh_rows"] == 0

    def test_close_saves_the_linking_done_after_a_checkpoint(self, tmp_path):
        # A checkpoint taken while the rows were fresh, then the linker
        # catching up: closing saves the linked graph, so the next open
        # does not link every row again.
        path = tmp_path / "l"
        db = hovra.Database(path, dim=16, checkpoint_records=2000)
        db.add_many([str(i) for i in range(20000)], rows(20000, 16, 8))
        poll(lambda: (path / "wal.hovra").stat().st_size < 20000 * 64)
        assert db.wait_indexed()
        db.close()
        again = hovra.Database(path)
        assert again.stats()["fresh_rows"] == 0

    def test_close_saves_unless_asked_not_to(self, tmp_path):
        path = tmp_path / "c"
        db = hovra.Database(path, dim=4)
        db.add("a", [1, 2, 3, 4])
        db.close()
        assert log_is_empty(path)
        db = hovra.Database(path)
        db.add("b", [1, 2, 3, 5])
        db.close(save=False)
        assert not log_is_empty(path)
        assert sorted(hovra.Database(path).ids()) == ["a", "b"]

    def test_interpreter_exit_saves(self, tmp_path):
        path = tmp_path / "x"
        code = textwrap.dedent(f"""
            import hovra
            db = hovra.Database({str(path)!r}, dim=4)
            db.add_many(["a", "b"], [[1, 2, 3, 4], [4, 3, 2, 1]])
            keep = db  # never closed
        """)
        subprocess.run([sys.executable, "-c", code], check=True)
        assert log_is_empty(path)
        assert sorted(hovra.Database(path).ids()) == ["a", "b"]

    def test_the_log_is_checkpointed_in_the_background(self, tmp_path):
        path = tmp_path / "a"
        db = hovra.Database(path, dim=4, checkpoint_records=50)
        for i in range(120):
            db.add(str(i), [i, 1, 2, 3])
        # A save ran by itself: the log holds fewer records than were added.
        poll(lambda: not (path / "wal.hovra").exists() or (path / "wal.hovra").stat().st_size < 60 * 37)
        off = hovra.Database(tmp_path / "b", dim=4, autocheckpoint=False, checkpoint_records=50)
        for i in range(120):
            off.add(str(i), [i, 1, 2, 3])
        time.sleep(0.2)
        assert (tmp_path / "b" / "wal.hovra").stat().st_size >= 120 * 37
        db.close(save=False)
        assert len(hovra.Database(path)) == 120


class TestConcurrency:
    def test_writers_searches_and_the_linker(self, tmp_path):
        # Two batch writers, an updater and a deleter against two searchers:
        # every record a writer was told is stored is found by a search for
        # its own vector, whatever the linker is doing.
        db = hovra.Database(tmp_path / "w", dim=12, metric="euclidean", checkpoint_records=3000)
        errors = []
        acked = {}
        lock = threading.Lock()
        stop = threading.Event()

        def writer(w):
            rng = np.random.default_rng(w)
            for b in range(15):
                block = rng.standard_normal((200, 12)).astype(np.float32) + w * 50
                ids = [f"w{w}-{b}-{i}" for i in range(200)]
                db.add_many(ids, block)
                with lock:
                    acked.update(zip(ids, block))

        def updater():
            rng = np.random.default_rng(9)
            while not stop.is_set():
                with lock:
                    if not acked:
                        continue
                    key = random.choice(list(acked))
                    vector = rng.standard_normal(12).astype(np.float32) - 80
                    db.upsert(key, vector)
                    acked[key] = vector

        def searcher():
            try:
                while not stop.is_set():
                    with lock:
                        if not acked:
                            continue
                        key = random.choice(list(acked))
                        vector = acked[key]
                        hits = db.search(vector, k=1)
                    if not hits or hits[0].id != key:
                        errors.append((key, hits))
            except Exception as e:  # pragma: no cover - reported below
                errors.append(e)

        threads = [threading.Thread(target=writer, args=(w,)) for w in (1, 2)]
        helpers = [threading.Thread(target=updater)] + [threading.Thread(target=searcher) for _ in range(2)]
        for t in threads + helpers:
            t.start()
        for t in threads:
            t.join()
        stop.set()
        for t in helpers:
            t.join()
        assert not errors, errors[:3]
        assert len(db) == 6000
        assert db.wait_indexed()
        for key in list(acked)[::97]:
            assert db.search(acked[key], k=1)[0].id == key

    def test_backpressure_holds_the_fresh_rows_within_their_bound(self, tmp_path):
        dim, batch = 64, 500
        bound = DEFAULTS["fresh_scan_components"] // dim
        db = hovra.Database(tmp_path / "b", dim=dim, autocheckpoint=False)
        seen = []
        done = threading.Event()

        def sample():
            while not done.is_set():
                seen.append(db.stats()["fresh_rows"])
                time.sleep(0.005)

        sampler = threading.Thread(target=sample)
        sampler.start()
        try:
            x = rows(batch, dim, 7)
            for b in range(80):
                db.add_many([f"{b}-{i}" for i in range(batch)], x)
        finally:
            done.set()
            sampler.join()
        # One writer overshoots the bound by at most one batch, which it
        # then waits out.
        assert max(seen) <= bound + batch
        assert max(seen) > batch  # the writer did outrun the linker


KILLED_CHILD = textwrap.dedent("""
    import sys
    import numpy as np
    import hovra
    path = sys.argv[1]
    db = hovra.Database(path, dim=8, metric="euclidean", checkpoint_records=400)
    rng = np.random.default_rng(int(sys.argv[2]))
    start = int(sys.argv[3])
    for b in range(start, start + 100000):
        block = rng.standard_normal((60, 8)).astype(np.float32)
        db.add_many([f"{b}-{i}" for i in range(60)], block)
        np.save(sys.stdout.buffer, block)  # written only once the batch returned
        db.update(f"{b}-0", vector=block[1] * 2)
        print(f"ack {b}", flush=True)
""")


@pytest.mark.slow
def test_kill_during_linking_and_checkpoints_loses_nothing_acknowledged(tmp_path):
    # A writer adds batches (and moves one record of each) while the linker
    # links and background checkpoints run every few batches; it is killed
    # at a random moment, reopened and killed again. Every batch it was told
    # is stored is there, with its vectors, after each reopen.
    path = tmp_path / "k"
    hovra.Database(path, dim=8).close()
    expected = {}
    start = 0
    rng = random.Random(5)
    for round_ in range(4):
        child = subprocess.Popen(
            [sys.executable, "-c", KILLED_CHILD, str(path), str(round_), str(start)],
            stdout=subprocess.PIPE,
        )
        time.sleep(rng.uniform(0.5, 2.5))
        child.send_signal(signal.SIGKILL)
        out, _ = child.communicate()
        stream = io.BytesIO(out)
        b = start
        while True:
            try:
                block = np.load(stream)
            except Exception:
                break
            line = stream.readline()
            if not line.startswith(b"ack"):
                break
            block = block.copy()
            block[0] = block[1] * 2
            for i in range(60):
                expected[f"{b}-{i}"] = block[i]
            b += 1
        start = b + 1  # the batch cut by the kill may or may not be there
        db = hovra.Database(path)
        for key in list(expected)[:: max(1, len(expected) // 400)]:
            vector, _ = db.get(key)
            assert np.allclose(vector, expected[key]), key
        assert all(key in db for key in expected)
        db.close(save=False)


SAVING_CHILD = textwrap.dedent("""
    import sys
    import threading
    import time
    import numpy as np
    import hovra
    db = hovra.Database(sys.argv[1], autocheckpoint=False)
    out = threading.Lock()

    def say(line):
        with out:
            sys.stdout.write(line + "\\n")
            sys.stdout.flush()

    def write(t):
        for n in range(100000):
            db.add_many([f"{t}-{n}-{i}" for i in range(4)], np.arange(32, dtype=np.float32).reshape(4, 8) + n)
            say(f"ack {t} {n}")
            time.sleep(0.002)

    for t in range(2):
        threading.Thread(target=write, args=(t,), daemon=True).start()
    for _ in range(int(sys.argv[2])):  # saves before the tracer comes
        time.sleep(0.1)
        db.save()
    say("ready")
    sys.stdin.readline()
    for _ in range(40):
        time.sleep(0.02)
        db.save()
""")


def seal_and_log_generations(path):
    """The checkpoint generation of seal.hovra (version 5) and of wal.hovra's
    header, and the log's size against the prefix the seal says it holds."""
    seal = (path / "seal.hovra").read_bytes()
    log = (path / "wal.hovra").read_bytes()
    version = int.from_bytes(seal[4:8], "little")
    generation = int.from_bytes(seal[58:66], "little")
    prefix = int.from_bytes(seal[66:74], "little") if version == 5 else None
    return version, generation, int.from_bytes(log[8:16], "little"), len(log), prefix


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_writers_during_a_save_killed_at_its_steps_lose_nothing(tmp_path):
    # Two threads add batches while the main thread saves over and over; the
    # saves' syncs are slowed so that writes land while a save runs, and the
    # process is killed at the nth rename of a save (strace counts by
    # thread, and each save runs on a thread of its own): the commit, the
    # seal's move and the new log's, in the first save or after a few
    # (whose graph file takes deltas). Every batch a writer was told is
    # stored is there after a reopen, for a reader and for a writer, also
    # when the kill left the seal of a new checkpoint beside the old log.
    base = tmp_path / "base"
    hovra.Database(base, dim=8).close()
    window = 0
    for before, nth in [(0, 1), (0, 2), (0, 3), (4, 1), (4, 2), (4, 3)]:
        work = tmp_path / f"r{before}-{nth}"
        shutil.copytree(base, work)
        child = subprocess.Popen(
            [sys.executable, "-c", SAVING_CHILD, str(work), str(before)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        lines = []
        while not lines or lines[-1] != "ready":
            lines.append(child.stdout.readline().strip())
        tracer = subprocess.Popen(
            ["strace", "-f", "-qq", "-o", os.devnull, "-p", str(child.pid), "-e", "trace=rename,fdatasync"]
            + ["-e", "inject=fdatasync:delay_enter=150000", "-e", f"inject=rename:signal=KILL:when={nth}"]
        )
        # strace attaches to the child's threads one after the other.
        tasks = Path(f"/proc/{child.pid}/task")
        poll(
            lambda tasks=tasks: all(
                "TracerPid:\t0" not in (t / "status").read_text() for t in tasks.iterdir()
            ),
            10,
        )
        child.stdin.write("go\n")
        child.stdin.flush()
        lines += child.stdout.read().splitlines()
        assert child.wait() == -9, (before, nth)
        tracer.wait()
        acks = [(int(t), int(n)) for _, t, n in (line.split() for line in lines if line.startswith("ack "))]
        version, sealed, logged, size, prefix = seal_and_log_generations(work)
        assert version == 5
        window += logged + 1 == sealed and size > prefix
        for db in (hovra.Database(work, read_only=True), hovra.Database(work)):
            for t, n in acks:
                got = db.get_many([f"{t}-{n}-{i}" for i in range(4)])
                assert all(g is not None for g in got), (before, nth, t, n)
                assert np.array_equal(np.array([g[0] for g in got]), np.arange(32).reshape(4, 8) + n)
            db.close(save=False)
        shutil.rmtree(work)
    assert window >= 2
