"""One writer and readers in other processes: read-only opening and its
refusals, following the writer's log, checkpoints under readers, torn log
tails, and writers and readers killed at random points."""

import os
import random
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import hovra
import numpy as np
import pytest
from hovra import Database

DIM = 8


def vector_of(op: int, j: int) -> np.ndarray:
    return np.random.default_rng(op * 1000 + j).standard_normal(DIM).astype(np.float32)


# The writer's history, shared by the writer process and the checks: op i
# adds a batch of (i % 4) + 1 records "i-j" (a single add when i % 4 == 0),
# except every seventh op, which deletes the first record of op i - 3. The
# writer checkpoints every `save_every` ops.
HISTORY = textwrap.dedent(
    """
    import numpy as np

    DIM = 8

    def vector_of(op, j):
        return np.random.default_rng(op * 1000 + j).standard_normal(DIM).astype(np.float32)

    def apply(db, i):
        if i % 7 == 6:
            db.delete(f"{i - 3}-0")
        elif i % 4 == 0:
            db.add(f"{i}-0", vector_of(i, 0), {"op": i})
        else:
            n = i % 4 + 1
            db.add_many([f"{i}-{j}" for j in range(n)], np.stack([vector_of(i, j) for j in range(n)]),
                        [{"op": i}] * n)
    """
)

WRITER = HISTORY + textwrap.dedent(
    """
    import sys, time
    import hovra
    path, first, last, save_every, acked_path, pause = sys.argv[1:7]
    db = hovra.Database(path, dim=DIM, m=8, ef_construction=32)
    with open(acked_path, "a") as acked:
        for i in range(int(first), int(last)):
            apply(db, i)
            acked.write(f"{i}\\n")
            acked.flush()
            if int(save_every) and i % int(save_every) == int(save_every) - 1:
                db.save()
            time.sleep(float(pause))
    db.close(save=False)  # checkpoints only where the test asks for them
    """
)

# A reader that refreshes in a loop and checks after each refresh that what
# it sees is the state after some op j with acked_before <= j + 1 and
# j <= acked_after (+1 for an op logged but not yet acknowledged); it
# prints the ops it matched and exits when told to stop (a file appears).
READER = HISTORY + textwrap.dedent(
    """
    import os, sys
    import hovra
    path, acked_path, stop_path, interval = sys.argv[1:5]

    def acked():
        try:
            with open(acked_path) as f:
                lines = f.read().split()
            return int(lines[-1]) if lines else -1
        except FileNotFoundError:
            return -1

    def ids_after(j):
        ids = set()
        for i in range(j + 1):
            if i % 7 == 6:
                ids.discard(f"{i - 3}-0")
            elif i % 4 == 0:
                ids.add(f"{i}-0")
            else:
                ids.update(f"{i}-{k}" for k in range(i % 4 + 1))
        return ids

    db = hovra.Database(path, read_only=True, refresh_interval=float(interval))
    matched = -1
    looks = 0
    q = vector_of(0, 0)
    while True:
        # The stop file is written after the last writer closed: a look that
        # starts after it is seen must see every change.
        stopping = os.path.exists(stop_path) and looks >= 3
        before = acked()
        db.refresh()
        seen = set(db.ids())
        after = acked()
        j = max(matched, -1)
        while ids_after(j) != seen:
            j += 1
            if j > after + 1:
                print("NOT A COMMITTED PREFIX", before, after, len(seen), flush=True)
                sys.exit(1)
        if j < before:
            print("LOST", j, before, flush=True)
            sys.exit(1)
        for rid in list(seen)[:5]:
            op, k = map(int, rid.split("-"))
            try:
                vector = db.get(rid)[0]  # a later call: it may have looked again
            except hovra.NotFoundError:
                if k == 0 and (op + 3) % 7 == 6:
                    continue  # deleted since
                raise
            if not np.array_equal(vector, vector_of(op, k)):
                print("WRONG VECTOR", rid, flush=True)
                sys.exit(1)
        db.search(q, k=5)
        matched = j
        looks += 1
        if stopping:
            break
    print("OK", matched, looks, flush=True)
    """
)


def start(script: str, *args: object) -> subprocess.Popen:
    return subprocess.Popen(
        [sys.executable, "-c", script, *map(str, args)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )


def acked_ops(path: Path) -> list[int]:
    return [int(x) for x in path.read_text().split()] if path.exists() else []


def ids_after(j: int) -> set[str]:
    ids: set[str] = set()
    for i in range(j + 1):
        if i % 7 == 6:
            ids.discard(f"{i - 3}-0")
        elif i % 4 == 0:
            ids.add(f"{i}-0")
        else:
            ids.update(f"{i}-{k}" for k in range(i % 4 + 1))
    return ids


def run_writer(
    path: Path, acked: Path, first: int, last: int, save_every: int = 0, pause: float = 0.0
) -> None:
    done = subprocess.run(
        [sys.executable, "-c", WRITER, *map(str, (path, first, last, save_every, acked, pause))],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert done.returncode == 0, done.stderr


def test_read_only_refusals_and_options(tmp_path):
    path = tmp_path / "db"
    with pytest.raises(hovra.DatabaseNotFoundError):
        Database(str(path), read_only=True)
    writer = Database(str(path), dim=DIM)
    writer.add("a", vector_of(0, 0), {"x": 1})
    writer.save()
    writer.close()

    db = Database(str(path), read_only=True)
    assert db.read_only and len(db) == 1 and db.get("a")[1] == {"x": 1}
    message = f"database at '{path}' is open read-only"
    changes = [
        lambda: db.add("b", vector_of(0, 1)),
        lambda: db.upsert("a", vector_of(0, 1)),
        lambda: db.update("a", metadata={}),
        lambda: db.delete("a"),
        lambda: db.add_many(["b"], vector_of(0, 1)[None, :]),
        lambda: db.upsert_many(["b"], vector_of(0, 1)[None, :]),
        lambda: db.update_many(["a"], metadatas=[{}]),
        lambda: db.delete_many(["a"]),
        lambda: db.delete_where({"x": 1}),
        lambda: db.save(),
        lambda: db.compact(),
        lambda: db.create_text_index("x"),
        lambda: db.drop_text_index(),
    ]
    for change in changes:
        with pytest.raises(hovra.ReadOnlyError) as raised:
            change()
        assert str(raised.value) == message
    assert isinstance(raised.value, ValueError)
    with db:  # leaving the block saves nothing
        pass
    assert len(db) == 1 and db.get("a")[1] == {"x": 1}
    db.refresh()
    db.close()
    # Nothing was taken or written: a writer opens as usual.
    assert sorted(p.name for p in path.iterdir()) == [
        "graph.hovra",
        "lock.hovra",
        "seal.hovra",
        "vectors.bin",
        "wal.hovra",
    ]

    with pytest.raises(ValueError, match="read-only takes no dim"):
        Database(str(path), dim=DIM, read_only=True)
    for quantize in ("sq8", True):
        with pytest.raises(ValueError, match="read-only takes no quantize"):
            Database(str(path), read_only=True, quantize=quantize)
    with pytest.raises(ValueError, match="refresh_interval"):
        Database(str(path), read_only=True, refresh_interval=-1)
    with pytest.raises(ValueError, match="refresh_interval applies"):
        Database(str(path), refresh_interval=1.0)
    with pytest.raises(TypeError):
        Database(str(path), read_only=True, refresh_interval="1")


def test_in_process_reader_shares_the_writer(tmp_path):
    path = tmp_path / "db"
    writer = Database(str(path), dim=DIM)
    reader = Database(str(path), read_only=True, refresh_interval=3600)
    writer.add("a", vector_of(0, 0))
    assert "a" in reader  # the same engine: no refresh needed
    with pytest.raises(hovra.ReadOnlyError):
        reader.delete("a")
    writer.close()
    reader.close()

    # A reader opened first follows a writer opened later through the files.
    reader = Database(str(path), read_only=True, refresh_interval=3600)
    writer = Database(str(path))
    writer.add("b", vector_of(0, 1))
    assert "b" not in reader
    reader.refresh()
    assert "b" in reader
    writer.save()
    writer.add("c", vector_of(0, 2))
    reader.refresh()
    assert sorted(reader.ids()) == ["a", "b", "c"]
    writer.close()
    reader.close()


def test_awaitable_reader(tmp_path):
    import asyncio

    import hovra.aio

    path = tmp_path / "db"
    writer = Database(str(path), dim=DIM)
    writer.add("a", vector_of(0, 0))

    async def read():
        db = await hovra.aio.AsyncDatabase.open(str(path), read_only=True, refresh_interval=3600)
        assert db.read_only and await db.ids() == ["a"]
        writer.add("b", vector_of(0, 1))
        await db.refresh()
        assert sorted(await db.ids()) == ["a", "b"]
        with pytest.raises(hovra.ReadOnlyError):
            await db.add("c", vector_of(0, 2))
        await db.close()

    asyncio.run(read())
    writer.close()


def test_reader_follows_another_process(tmp_path):
    """Appends, batches, deletes and checkpoints of a writer process, seen
    by readers opened before, between and after its checkpoints; codes given
    at the open or chosen later last across the checkpoints a reader loads."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 10)
    early = Database(str(path), read_only=True, refresh_interval=3600)
    coded = Database(str(path), read_only=True, refresh_interval=3600, quantize="binary")
    assert set(early.ids()) == ids_after(9)
    assert coded.binary_search and not early.binary_search
    chosen = Database(str(path), read_only=True, refresh_interval=3600)
    chosen.enable_quantized_search()
    run_writer(path, acked, 10, 30, save_every=8)  # checkpoints after ops 15 and 23
    assert set(early.ids()) == ids_after(9)  # nothing until it looks
    early.refresh()
    assert set(early.ids()) == ids_after(29)
    coded.refresh()  # a new checkpoint loaded: its codes made again
    assert coded.binary_search and set(coded.ids()) == ids_after(29)
    assert coded.search(vector_of(20, 1), k=1)[0].id == early.search(vector_of(20, 1), k=1)[0].id
    chosen.refresh()
    assert chosen.quantized_search and not early.quantized_search and set(chosen.ids()) == ids_after(29)
    coded.disable_quantized_search()
    chosen.enable_quantized_search("binary")
    assert not coded.binary_search and chosen.binary_search and not chosen.quantized_search
    coded.close()
    chosen.close()
    late = Database(str(path), read_only=True, refresh_interval=0)
    assert set(late.ids()) == ids_after(29)
    run_writer(path, acked, 30, 33)
    assert set(late.ids()) == ids_after(32)  # interval 0: looks before every call
    for rid in ids_after(32):
        op, k = map(int, rid.split("-"))
        assert np.array_equal(late.get(rid)[0], vector_of(op, k))
    hits = late.search(vector_of(31, 1), k=1)
    assert hits[0].id == "31-1"
    early.close()
    late.close()


def test_torn_tail_and_open_batch_are_not_seen(tmp_path):
    """A reader takes whole records and committed batches only; what a
    writer completes later shows at the next look."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 4)  # ends with a batch of 4 (op 3)
    log = path / "wal.hovra"
    whole = log.read_bytes()
    run_writer(path, acked, 4, 6)  # op 4: single add, op 5: batch of 2
    full = log.read_bytes()
    added = full[len(whole) :]
    reader = None
    for cut in [1, 5, 20, len(added) - 1]:
        log.write_bytes(whole + added[:cut])
        reader = Database(str(path), read_only=True, refresh_interval=3600)
        assert set(reader.ids()) <= ids_after(4) and set(reader.ids()) >= ids_after(3)
        # The writer finishes its append: the rest shows at the next look.
        with open(log, "ab") as f:
            f.write(added[cut:])
        reader.refresh()
        assert set(reader.ids()) == ids_after(5)
        reader.close()


def test_damage_in_the_middle_of_the_log_stops_a_reader_loudly(tmp_path):
    """Intact records after a damaged one are no crash's trace: the reader
    keeps what came before the damage and reports it at every use, instead
    of serving an ever older state, until it finds a log it can follow."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 4)
    log = path / "wal.hovra"
    whole = log.read_bytes()
    reader = Database(str(path), read_only=True, refresh_interval=3600)
    run_writer(path, acked, 4, 6)  # op 4: one record, op 5: a batch of 2 after it
    added = log.read_bytes()[len(whole) :]
    # Op 4 was not there when the reader opened: damage its frame, which a
    # committed batch follows.
    log.write_bytes(whole + added[:8] + bytes([added[8] ^ 0xFF]) + added[9:])
    message = f"wal.hovra is damaged at offset {len(whole)}, and 4 intact records follow it"
    with pytest.raises(hovra.CorruptDataError, match=message):
        reader.refresh()
    for use in (reader.ids, lambda: reader.search(vector_of(3, 0), k=1), lambda: len(reader)):
        with pytest.raises(hovra.CorruptDataError, match=message):
            use()
    # A log it can follow again (here the bytes put back): it goes on.
    log.write_bytes(whole + added)
    reader.refresh()
    assert set(reader.ids()) == ids_after(5)
    reader.close()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_children_forked_beside_a_refreshing_reader_search(tmp_path):
    """A reader's own locks around fork(): a child made while another thread
    refreshes finds them free, searches, and follows the writer itself."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 8)
    reader = Database(str(path), read_only=True, refresh_interval=0)
    stop = threading.Event()

    def refresh_all_the_time():
        while not stop.is_set():
            reader.refresh()

    threads = [threading.Thread(target=refresh_all_the_time) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for round_ in range(6):
            pid = os.fork()
            if pid == 0:
                try:
                    ok = reader.search(vector_of(5, 1), k=1)[0].id == "5-1"
                    reader.refresh()
                    ok = ok and set(reader.ids()) >= ids_after(7)
                    os._exit(0 if ok else 3)
                except BaseException:
                    os._exit(4)
            deadline = time.monotonic() + 60
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, signal.SIGKILL)
                    os.waitpid(pid, 0)
                    pytest.fail(f"a child forked beside a refreshing reader hung (round {round_})")
                time.sleep(0.01)
            assert os.waitstatus_to_exitcode(status) == 0
    finally:
        stop.set()
        for t in threads:
            t.join()
    reader.close()


def test_reader_survives_its_writer_and_checkpoint_files(tmp_path):
    """A reader keeps serving when its writer is gone, and switches to the
    next writer's checkpoint, while the old files it maps are replaced."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 12, save_every=5)
    reader = Database(str(path), read_only=True, refresh_interval=0)
    assert set(reader.ids()) == ids_after(11)
    for round_ in range(3):
        first = 12 + 6 * round_
        run_writer(path, acked, first, first + 6, save_every=3)
        assert set(reader.ids()) == ids_after(first + 5)
        newest = max(ids_after(first + 5), key=lambda rid: int(rid.split("-")[0]))
        op, k = map(int, newest.split("-"))
        assert reader.search(vector_of(op, k), k=1)[0].id == newest
    reader.close()


def exact_nearest(ids: set[str], query: np.ndarray, k: int) -> list[str]:
    """The k nearest of the history's records by cosine distance."""
    order = sorted(ids)
    rows = np.stack([vector_of(*map(int, rid.split("-"))) for rid in order]).astype(np.float64)
    q = query.astype(np.float64)
    distance = 1.0 - rows @ q / (np.linalg.norm(rows, axis=1) * np.linalg.norm(q))
    return [order[i] for i in np.argsort(distance, kind="stable")[:k]]


def test_a_reader_applies_records_past_the_room_it_loaded_with(tmp_path):
    """A reader loads its arrays with room for more records than the
    checkpoint holds; the writer's records applied in looks of every size
    (one record, a few, hundreds), until they pass that room, keep its
    records, vectors and exact answers those of the writer's history."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 40, save_every=40)
    reader = Database(str(path), read_only=True, refresh_interval=3600)
    assert set(reader.ids()) == ids_after(39)
    queries = [vector_of(10_000, j) for j in range(3)]
    # More than the checkpoint's records plus the room (at least 1024).
    for first, last in ((40, 41), (41, 43), (43, 60), (60, 400), (400, 900)):
        run_writer(path, acked, first, last)
        reader.refresh()
        seen = ids_after(last - 1)
        assert set(reader.ids()) == seen
        for rid in sorted(seen)[:: max(1, len(seen) // 50)]:
            assert np.array_equal(reader.get(rid)[0], vector_of(*map(int, rid.split("-"))))
        for q in queries:
            assert [h.id for h in reader.search(q, k=10)] == exact_nearest(seen, q, 10)
    assert len(reader) > len(ids_after(39)) + 1024
    reader.close()


@pytest.mark.slow
def test_writer_and_three_readers_under_load_with_kills(tmp_path):
    """Three reader processes check a committed prefix after every refresh
    while a writer process adds, deletes and checkpoints; the writer is
    killed at random points and a new one recovers; readers are killed
    while the writer checkpoints, and the writer is never held up."""
    path, acked, stop = tmp_path / "db", tmp_path / "acked", tmp_path / "stop"
    run_writer(path, acked, 0, 1)
    rng = random.Random(23)
    readers = [start(READER, path, acked, stop, interval) for interval in (0, 0.01, 0.05)]
    victims = []
    first = 1
    for _ in range(4):
        writer = start(WRITER, path, first, first + 400, 9, acked, 0.002)
        time.sleep(rng.uniform(0.3, 1.2))
        # A reader killed at a random point while the writer works.
        victim = start(READER, path, acked, tmp_path / "never", 0)
        time.sleep(rng.uniform(0.05, 0.3))
        victim.send_signal(signal.SIGKILL)
        victims.append(victim)
        writer.send_signal(signal.SIGKILL)
        writer.wait()
        done = acked_ops(acked)
        first = done[-1] + 1
        # The next writer recovers every acknowledged op.
        check = Database(str(path), read_only=True)
        seen = set(check.ids())
        assert seen in (ids_after(first - 1), ids_after(first)), "acknowledged changes lost"
        check.close()
        if seen == ids_after(first):  # logged, killed before its acknowledgement
            with open(acked, "a") as f:
                f.write(f"{first}\n")
            first += 1
    run_writer(path, acked, first, first + 30, save_every=7)
    stop.write_text("")
    for r in readers:
        out, err = r.communicate(timeout=120)
        assert r.returncode == 0, out + err
        assert out.startswith("OK")
        assert int(out.split()[1]) == first + 29
    for v in victims:
        v.wait()
    with Database(str(path)) as db:
        assert set(db.ids()) == ids_after(first + 29)


DELTA_WRITER = textwrap.dedent(
    """
    import sys
    import numpy as np
    from hovra import Database
    db = Database(sys.argv[1], autocheckpoint=False)
    rng = np.random.default_rng(9)
    print("ready", flush=True)
    for round_ in range(3):
        sys.stdin.readline()
        moved = [str(i) for i in range(round_, 100, 25)]
        db.update_many(moved, vectors=rng.standard_normal((len(moved), 8)).astype(np.float32))
        db.add_many([f"n{round_}-{i}" for i in range(20)], rng.standard_normal((20, 8)).astype(np.float32))
        db.delete_many([str(1000 + round_), f"n{round_}-3"])
        db.update("5", metadata={"round": round_})
        db.wait_indexed()
        db.save()
        print("saved", flush=True)
    db.close()
    """
)


def test_a_reader_walks_the_graph_file_where_it_lies(tmp_path):
    """A reader maps graph.hovra and reads its layer-0 lists in place, while
    the writer's saves append deltas to that same file (past 64 KiB)."""
    path = tmp_path / "db"
    rng = np.random.default_rng(8)
    db = Database(str(path), dim=8, autocheckpoint=False)
    db.add_many([str(i) for i in range(1500)], rng.standard_normal((1500, 8)).astype(np.float32))
    db.wait_indexed()
    db.save()
    db.close()
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    writer = subprocess.Popen(
        [sys.executable, "-c", DELTA_WRITER, str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=env,
    )
    try:
        assert writer.stdout.readline().strip() == "ready"
        reader = Database(str(path), read_only=True, refresh_interval=3600)
        sizes = [(path / "graph.hovra").stat().st_size]
        for _ in range(3):
            writer.stdin.write("go\n")
            writer.stdin.flush()
            assert writer.stdout.readline().strip() == "saved"
            sizes.append((path / "graph.hovra").stat().st_size)
            reader.refresh()
            assert reader.get("5")[1] == {"round": len(sizes) - 2}
        assert sizes[0] < sizes[1] < sizes[2]  # deltas appended to the file the reader maps
        assert writer.wait(timeout=60) == 0
    finally:
        writer.kill()
    seen = {i: reader.get(i) for i in reader.ids()}
    queries = rng.standard_normal((5, 8)).astype(np.float32)
    found = [[h.id for h in reader.search(q, k=10)] for q in queries]
    graph_bytes = reader.memory_usage()["graph"]
    reader.close()
    own = Database(str(path))
    assert {i: own.get(i) for i in own.ids()} == seen
    assert [[h.id for h in own.search(q, k=10)] for q in queries] == found
    # The writer holds its lists in its own memory; the reader does not.
    assert graph_bytes * 2 < own.memory_usage()["graph"]
    own.close()


def test_a_reader_reads_the_writers_vectors_where_the_log_holds_them(tmp_path):
    """The rows a reader takes from the log it follows are read where they
    lie in the log, not copied: get() gives the writer's vectors and
    searches the writer's hits at the same distances, bit for bit; across a
    checkpoint the reader keeps serving the old log's rows until it looks;
    a torn or damaged tail after what it took changes nothing it serves."""
    path, acked = tmp_path / "db", tmp_path / "acked"
    run_writer(path, acked, 0, 8, save_every=8)
    readers = [
        Database(str(path), read_only=True, refresh_interval=3600),
        # Walks the saved graph and scans the log's rows apart.
        Database(str(path), read_only=True, refresh_interval=3600, exact_threshold=0),
    ]
    vectors_before = [r.memory_usage()["vectors"] for r in readers]
    run_writer(path, acked, 8, 400)  # logged, not saved: about 900 records
    queries = [vector_of(10_000, j) for j in range(4)] + [vector_of(322, 1), vector_of(397, 1)]
    seen = ids_after(399)
    answers = []
    for r, before in zip(readers, vectors_before):
        r.refresh()
        assert set(r.ids()) == seen
        for rid in sorted(seen)[::7]:
            assert np.array_equal(r.get(rid)[0], vector_of(*map(int, rid.split("-"))))
        got = [r.get_many(sorted(seen)[:50])]
        assert all(
            np.array_equal(v, vector_of(*map(int, i.split("-")))) for i, (v, _) in zip(sorted(seen), got[0])
        )
        assert [h.id for h in r.search(vector_of(322, 1), k=1)] == ["322-1"]
        answers.append([[(h.id, h.distance) for h in r.search(q, k=10)] for q in queries])
        # The rows lie in the log: the reader's own memory for rows grew by
        # an address per row, not by the rows (about 900 of 8 floats: 28 KiB).
        assert r.memory_usage()["vectors"] - before < 16 * 1024
    assert [[i for i, _ in a] for a in answers[1]] == [[i for i, _ in a] for a in answers[0]]
    # The writer's own answers, from the same records, at the same distances.
    own = Database(str(path), autocheckpoint=False)
    assert answers[0] == [[(h.id, h.distance) for h in own.search(q, k=10)] for q in queries]
    own.close(save=False)

    # A checkpoint: the log the readers read is replaced; until they look
    # they serve what they took from it.
    run_writer(path, acked, 400, 420, save_every=10)
    for r, a in zip(readers, answers):
        assert [[(h.id, h.distance) for h in r.search(q, k=10)] for q in queries] == a
        assert np.array_equal(r.get("322-1")[0], vector_of(322, 1))
        r.refresh()
        assert set(r.ids()) == ids_after(419)
        assert [h.id for h in r.search(vector_of(415, 1), k=1)] == ["415-1"]

    # A torn tail after what the readers took, then damage: what they took
    # stays as it was.
    run_writer(path, acked, 420, 440)
    log = path / "wal.hovra"
    for r in readers:
        r.refresh()
    whole = log.read_bytes()
    run_writer(path, acked, 440, 460)
    added = log.read_bytes()[len(whole) :]
    with open(log, "r+b") as f:
        f.truncate(len(whole) + len(added) // 2)
    for r in readers:
        r.refresh()
        assert any(set(r.ids()) == ids_after(j) for j in range(439, 460))  # a committed prefix
        assert np.array_equal(r.get("431-0")[0], vector_of(431, 0))
    with open(log, "ab") as f:
        f.write(added[len(added) // 2 :])
    whole = log.read_bytes()
    for r in readers:
        r.refresh()
        assert set(r.ids()) == ids_after(459)
    run_writer(path, acked, 460, 470)
    byte = log.read_bytes()[len(whole) + 8]
    with open(log, "r+b") as f:  # in place, after what the readers took
        f.seek(len(whole) + 8)
        f.write(bytes([byte ^ 0xFF]))
    for r in readers:
        with pytest.raises(hovra.CorruptDataError, match="damaged"):
            r.refresh()
    with open(log, "r+b") as f:
        f.seek(len(whole) + 8)
        f.write(bytes([byte]))
    for r in readers:
        r.refresh()
        assert set(r.ids()) == ids_after(469)
        for rid in sorted(ids_after(469))[::11]:
            assert np.array_equal(r.get(rid)[0], vector_of(*map(int, rid.split("-"))))
        r.close()
