"""Saving, reopening and recovery: file layouts, read errors, log replay and
a save stopped at each of its steps."""
import os
import shutil
import struct
import subprocess
import sys
import time

import numpy as np
import pytest

from _hovra import Database

NOT_FOUND = "database not found — specify dim to create a new one"


def state(db):
    return {i: db.get(i) for i in db.ids()}


def header(dim=3, metric=0, m=16, ef=200, entry=0xFFFFFFFF, max_level=0, n=0, d=0, version=2, magic=b"GWSH"):
    return magic + struct.pack("<IIBIIIIII", version, dim, metric, m, ef, entry, max_level, n, d)


class TestLayouts:
    def test_empty_database(self, tmp_path):
        path = tmp_path / "a" / "b"
        db = Database(str(path), dim=3)
        assert path.is_dir() and os.listdir(path) == []
        db.save()
        assert sorted(os.listdir(path)) == ["graph.hovra", "vectors.bin"]
        assert (path / "graph.hovra").read_bytes() == header() + b"ATEM" + struct.pack("<I", 0)
        assert (path / "vectors.bin").read_bytes() == b""

    def test_one_record(self, tmp_path):
        # a huge m makes level 0 all but certain
        db = Database(str(tmp_path), dim=2, m=1_000_000_000)
        db.add("a", [1.0, 2.0])
        db.save()
        raw = (tmp_path / "graph.hovra").read_bytes()
        assert len(raw) == 66
        assert raw == (header(dim=2, m=1_000_000_000, entry=0, n=1) + struct.pack("<II", 1, 0)
                       + b"ATEM" + struct.pack("<III", 1, 0, 1) + b"a" + struct.pack("<I", 0))
        assert not (tmp_path / "wal.hovra").exists()

    def test_vector_files(self, tmp_path):
        db = Database(str(tmp_path), dim=3, quantize=True)
        db.add_many(["x", "y"], [[1, 2, 3], [4, 6, 3]])
        db.save()
        vec = (tmp_path / "vectors.bin").read_bytes()
        assert len(vec) == 32
        floats = struct.unpack("<8f", vec)
        assert floats[:6] == (1, 2, 3, 4, 6, 3)
        assert floats[6:] == pytest.approx([np.sqrt(14), np.sqrt(61)])
        sq8 = (tmp_path / "vectors.sq8").read_bytes()
        assert len(sq8) == 34
        q, *rest = struct.unpack("<I6f", sq8[:28])
        assert q == 3 and rest[:3] == [1, 2, 3] and rest[3:] == pytest.approx([3 / 255, 4 / 255, 1.0])
        assert sq8[28:] == bytes([0, 0, 0, 255, 255, 0])

    def test_two_saves_write_same_vectors(self, tmp_path):
        db = Database(str(tmp_path), dim=4)
        db.add_many([str(i) for i in range(40)], np.arange(160, dtype=np.float32).reshape(40, 4))
        db.delete("3")
        db.save()
        first = (tmp_path / "vectors.bin").read_bytes(), len((tmp_path / "graph.hovra").read_bytes())
        db.save()
        assert ((tmp_path / "vectors.bin").read_bytes(), len((tmp_path / "graph.hovra").read_bytes())) == first


class TestReadErrors:
    @pytest.fixture
    def saved(self, tmp_path):
        db = Database(str(tmp_path), dim=3)
        db.add_many(["a", "b"], [[1, 2, 3], [3, 2, 1]])
        db.save()
        return tmp_path

    @pytest.mark.parametrize(
        "content,message",
        [
            (b"GWS", "failed to fill whole buffer"),
            (b"XXXXXX", "bad graph magic"),
            (header(version=1) + b"ATEM\0\0\0\0", "unsupported graph version: 1"),
            (header(version=3) + b"ATEM\0\0\0\0", "unsupported graph version: 3"),
            (header()[:13].replace(b"\x03\x00\x00\x00\x00", b"\x03\x00\x00\x00\x03"), "unknown metric: 3"),
            (header() + b"ATEX\0\0\0\0", "bad metadata section magic"),
            (header() + b"ATE", "failed to fill whole buffer"),
        ],
    )
    def test_graph_file_errors(self, tmp_path, content, message):
        (tmp_path / "graph.hovra").write_bytes(content)
        (tmp_path / "vectors.bin").write_bytes(b"")
        with pytest.raises(ValueError) as err:
            Database(str(tmp_path), dim=3)
        assert str(err.value) == "io error: " + message
        with pytest.raises(ValueError, match=NOT_FOUND):
            Database(str(tmp_path))

    def test_short_quantized_file(self, saved):
        (saved / "vectors.sq8").write_bytes(struct.pack("<I", 3) + b"\0")
        with pytest.raises(ValueError, match="^io error: failed to fill whole buffer$"):
            Database(str(saved), dim=3)

    @pytest.mark.parametrize("cut", [4, 28])
    def test_vectors_file_of_wrong_size(self, saved, cut):
        raw = (saved / "vectors.bin").read_bytes()
        (saved / "vectors.bin").write_bytes(raw[:-cut])
        with pytest.raises(ValueError, match="^io error: "):
            Database(str(saved), dim=3)

    def test_metadata_that_is_not_json_loads_as_none(self, tmp_path):
        raw = (header(entry=0, n=1) + struct.pack("<II", 1, 0) + b"ATEM" + struct.pack("<III", 1, 0, 1)
               + b"a" + struct.pack("<I", 1) + b"{")
        (tmp_path / "graph.hovra").write_bytes(raw)
        (tmp_path / "vectors.bin").write_bytes(struct.pack("<4f", 1, 2, 3, np.sqrt(14)))
        db = Database(str(tmp_path))
        assert db.get("a") == ([1.0, 2.0, 3.0], None)


class TestRecovery:
    def test_log_replayed_after_drop(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.add_many(["a", "b", "c"], [[1, 0], [0, 1], [1, 1]], [{"n": 1}, None, {"n": 3}])
        db.save()
        db.add("d", [2, 2], {"n": 4})
        db.delete("b")
        db.update("c", metadata={"n": 33})
        expected = state(db)
        del db
        db = Database(str(tmp_path))
        assert state(db) == expected
        assert db.deleted_count == 1 and db.total_slots == 4

    def test_never_saved_database(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.add("a", [1, 2])
        del db
        with pytest.raises(ValueError, match=NOT_FOUND):
            Database(str(tmp_path))
        db = Database(str(tmp_path), dim=2)
        assert len(db) == 0
        db.add("b", [3, 4])
        db.save()
        assert not (tmp_path / "wal.hovra").exists()
        assert Database(str(tmp_path)).ids() == ["b"]

    def test_with_block_that_raises_still_saves(self, tmp_path):
        with pytest.raises(KeyError):
            with Database(str(tmp_path), dim=2) as db:
                db.add("a", [1, 2])
                raise KeyError("boom")
        assert not (tmp_path / "wal.hovra").exists()
        assert Database(str(tmp_path)).get("a") == ([1.0, 2.0], None)

    def test_stored_parameters_win(self, tmp_path):
        Database(str(tmp_path), dim=4, metric="l2").save()
        db = Database(str(tmp_path), dim=8, metric="dot")
        assert (db.dim, db.metric) == (4, "euclidean")

    def test_reopened_vectors_bit_for_bit_and_first_change(self, tmp_path):
        rng = np.random.default_rng(4)
        data = rng.standard_normal((30, 5)).astype(np.float32)
        db = Database(str(tmp_path), dim=5, metric="euclidean")
        db.add_many([str(i) for i in range(30)], data)
        db.save()
        db = Database(str(tmp_path))
        assert db.search(data[3], k=1)[0].id == "3"
        db.update("7", data[8])
        db.add("new", data[0])
        for i in range(30):
            expected = data[8] if i == 7 else data[i]
            assert np.array_equal(np.array(db.get(str(i))[0], np.float32), expected)

    def test_persist_quantized_rules(self, tmp_path):
        a, b = tmp_path / "a", tmp_path / "b"
        db = Database(str(a), dim=2, quantize=True)
        assert db.quantized_search is False
        db.add_many(["x", "y"], [[1, 2], [3, 4]])
        db.save()
        db = Database(str(a))
        assert db.quantized_search is True
        db.disable_quantized_search()
        db.save()
        assert (a / "vectors.sq8").exists()
        db = Database(str(b), dim=2)
        db.add("x", [1, 2])
        db.save()
        db = Database(str(b))
        db.enable_quantized_search()
        db.save()
        assert not (b / "vectors.sq8").exists()

    def test_torn_or_damaged_log_tail_is_ignored(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.save()
        for i in range(3):
            db.add(f"r{i}", [i, i])
        del db
        wal = tmp_path / "wal.hovra"
        raw = wal.read_bytes()
        wal.write_bytes(raw[:-3])
        assert sorted(Database(str(tmp_path)).ids()) == ["r0", "r1"]
        damaged = bytearray(raw)
        damaged[len(raw) // 3 + 12] ^= 0x40  # inside the second record's payload
        wal.write_bytes(bytes(damaged))
        assert Database(str(tmp_path)).ids() == ["r0"]

    def test_replay_rules(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.add("a", [1, 1], {"k": 1})
        db.add("b", [2, 2], {"k": 2})
        db.save()
        db.upsert("a", [5, 5], {"k": 5})
        db.update("b", metadata={})
        expected = state(db)
        slots = db.total_slots
        del db
        db = Database(str(tmp_path))
        assert state(db) == expected
        assert db.total_slots == slots


SAVE_CHILD = r"""
import sys
from _hovra import Database
db = Database(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
db.save()
print("saved", flush=True)
"""

STEP_SYSCALLS = ["openat", "write", "fsync", "rename", "unlink"]


def saved_with_log(path):
    rng = np.random.default_rng(1)
    db = Database(str(path), dim=4, quantize=True)
    db.add_many([str(i) for i in range(60)], rng.standard_normal((60, 4)).astype(np.float32),
                [{"i": i} for i in range(60)])
    db.save()
    db.delete("5")
    db.add("5", [1, 2, 3, 4], {"again": True})
    db.add_many([f"n{i}" for i in range(10)], rng.standard_normal((10, 4)).astype(np.float32))
    db.update("7", metadata={"changed": 1})
    return state(db)


def run_save_killed_at(path, syscall, nth):
    """Runs a save in a child and kills it at the nth call of one syscall;
    returns whether the kill happened."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    child = subprocess.Popen([sys.executable, "-c", SAVE_CHILD, str(path)], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, text=True, env=env)
    assert child.stdout.readline().strip() == "ready"
    tracer = subprocess.Popen(["strace", "-f", "-qq", "-o", os.devnull, "-p", str(child.pid), "-e",
                               f"trace={syscall}", "-e", f"inject={syscall}:signal=KILL:when={nth}"])
    deadline = time.time() + 10
    while time.time() < deadline:
        with open(f"/proc/{child.pid}/status") as f:
            if "TracerPid:\t0" not in f.read():
                break
        time.sleep(0.01)
    child.stdin.write("go\n")
    child.stdin.flush()
    out = child.stdout.read()
    rc = child.wait()
    tracer.wait()
    return rc == -9, out


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_save_stopped_at_every_step(tmp_path):
    base = tmp_path / "base"
    expected = saved_with_log(base)
    stops = 0
    for syscall in STEP_SYSCALLS:
        for nth in range(1, 40):
            work = tmp_path / f"{syscall}{nth}"
            shutil.copytree(base, work)
            killed, _ = run_save_killed_at(work, syscall, nth)
            if not killed:
                shutil.rmtree(work)
                break
            stops += 1
            db = Database(str(work))
            assert state(db) == expected, (syscall, nth, sorted(os.listdir(work)))
            db.add("after", [0, 0, 0, 1])
            db.save()
            assert state(Database(str(work))) == expected | {"after": ([0.0, 0.0, 0.0, 1.0], None)}
            shutil.rmtree(work)
    assert stops >= 10
