"""Saving, reopening and recovery: file layouts, read errors, log replay and
a save stopped at each of its steps."""

import os
import shutil
import struct
import subprocess
import sys
import threading
import time
import warnings

import numpy as np
import pytest
from _hovra import CorruptDataError, Database, DatabaseInUseError

NOT_FOUND = "database not found — specify dim to create a new one"


def state(db):
    return {i: db.get(i) for i in db.ids()}


def header(
    dim=3, metric=0, m=16, ef=200, entry=0xFFFFFFFF, max_level=0, n=0, d=0, version=3, magic=b"GWSH", flags=0
):
    fields = magic + struct.pack("<IIBIIIIII", version, dim, metric, m, ef, entry, max_level, n, d)
    # Flag bit 3 (deltas): three zero bytes keep the words that follow at
    # offsets divisible by 4.
    return fields + (struct.pack("<I", flags) + (b"\0" * 3 if flags & 8 else b"") if version == 3 else b"")


def older_graph(graph: bytes) -> bytes:
    """The graph file as a build before the flags word wrote it (version 2)."""
    return graph[:4] + struct.pack("<I", 2) + graph[8:37] + graph[41:]


def older_files(path, dim: int) -> None:
    """A saved directory (without replaced rows) turned into the files of a
    build before the flags word: the graph file without its row section, at
    version 2, and the norms back at the end of vectors.bin."""
    graph = (path / "graph.hovra").read_bytes()
    (n,) = struct.unpack_from("<I", graph, 29)
    (flags,) = struct.unpack_from("<I", graph, 37)
    if flags & 8:  # the header's padding goes (an earlier build ignores the table's)
        graph = graph[:41] + graph[44:]
    at = graph.index(b"NRMS")
    norms = graph[at + 4 : at + 4 + 4 * n]
    assert graph[at + 4 + 4 * n : at + 8 + 4 * n] == b"\0\0\0\0"
    (path / "graph.hovra").write_bytes(older_graph(graph[:at] + graph[at + 8 + 4 * n :]))
    rows = (path / "vectors.bin").read_bytes()[: 4 * n * dim]
    (path / "vectors.bin").write_bytes(rows + norms)


class TestLayouts:
    def test_empty_database(self, tmp_path):
        path = tmp_path / "a" / "b"
        db = Database(str(path), dim=3)
        # Written at once, so that a crash before the first save loses nothing.
        files = ["graph.hovra", "lock.hovra", "seal.hovra", "vectors.bin", "wal.hovra"]
        assert sorted(os.listdir(path)) == files
        db.save()
        assert sorted(os.listdir(path)) == files
        # Saved with a checksum record, which the graph file's flag says.
        # Flag 4: the norms (none here) and replaced rows follow the node table.
        assert (path / "graph.hovra").read_bytes() == (
            header(flags=13) + b"NRMS" + struct.pack("<I", 0) + b"ATEM" + struct.pack("<I", 0)
        )
        assert (path / "vectors.bin").read_bytes() == b""

    def test_one_record(self, tmp_path):
        # a huge m makes level 0 all but certain
        db = Database(str(tmp_path), dim=2, m=1_000_000_000)
        db.add("a", [1.0, 2.0])
        db.save()
        assert (tmp_path / "graph.hovra").read_bytes() == (
            header(dim=2, m=1_000_000_000, entry=0, n=1, flags=13)
            + struct.pack("<II", 1, 0)
            + b"NRMS"
            + struct.pack("<fI", np.sqrt(np.float32(5)), 0)
            + b"ATEM"
            + struct.pack("<III", 1, 0, 1)
            + b"a"
            + struct.pack("<I", 0)
            + b"\0\0\0"  # to a multiple of 4
        )
        assert (tmp_path / "wal.hovra").stat().st_size == 20  # a new log: its header only

    def test_vector_files(self, tmp_path):
        db = Database(str(tmp_path), dim=3, quantize=True)
        db.add_many(["x", "y"], [[1, 2, 3], [4, 6, 3]])
        db.save()
        # vectors.bin holds the rows; the norms follow the node table in the
        # graph file's row section.
        vec = (tmp_path / "vectors.bin").read_bytes()
        assert struct.unpack("<6f", vec) == (1, 2, 3, 4, 6, 3)
        graph = (tmp_path / "graph.hovra").read_bytes()
        assert struct.unpack_from("<I", graph, 37)[0] & 4
        at = graph.index(b"NRMS") + 4
        assert struct.unpack_from("<2fI", graph, at) == pytest.approx((np.sqrt(14), np.sqrt(61), 0))
        sq8 = (tmp_path / "vectors.sq8").read_bytes()
        assert len(sq8) == 46
        magic, version, q, exceptions, *rest = struct.unpack("<4sIII6f", sq8[:40])
        assert (magic, version, q, exceptions) == (b"HSQ8", 2, 3, 0)
        assert rest[:3] == [1, 2, 3] and rest[3:] == pytest.approx([3 / 255, 4 / 255, 1.0])
        assert sq8[40:] == bytes([0, 0, 0, 255, 255, 0])

    def test_checkpoints_append_rows_and_carry_replaced_ones(self, tmp_path):
        rng = np.random.default_rng(5)
        rows = rng.standard_normal((200, 8)).astype(np.float32)
        db = Database(str(tmp_path), dim=8, autocheckpoint=False)
        db.add_many([str(i) for i in range(100)], rows[:100])
        db.save()
        vectors = tmp_path / "vectors.bin"
        first = vectors.read_bytes()
        inode = vectors.stat().st_ino
        # New rows are appended, a replaced row travels in the graph file, a
        # delete leaves its row: the file keeps its inode and its bytes.
        db.add_many([str(i) for i in range(100, 150)], rows[100:150])
        db.update("7", vector=rows[150])
        db.delete("8")
        db.save()
        assert vectors.stat().st_ino == inode
        assert vectors.read_bytes() == first + rows[100:150].tobytes()
        # A save that appended and stopped before its commit point leaves
        # rows past the saved ones: they are not read, and the next save
        # cuts them off before it appends.
        with open(vectors, "ab") as f:
            f.write(b"\xff" * 40)
        expected = {str(i): rows[i].tolist() for i in range(150) if i != 8}
        expected["7"] = rows[150].tolist()
        db.close(save=False)
        db = Database(str(tmp_path))
        assert db.verify() is None
        assert {i: db.get(i)[0] for i in db.ids()} == expected
        db.add("150", rows[151])
        db.save()
        assert vectors.stat().st_ino == inode
        assert vectors.read_bytes() == first + rows[100:150].tobytes() + rows[151].tobytes()
        # Past 1/32 of the rows replaced, the save writes vectors.bin anew,
        # with every row as it is.
        db.update_many([str(i) for i in range(20, 40)], vectors=rows[160:180])
        db.save()
        assert vectors.stat().st_ino != inode
        db.close()
        db = Database(str(tmp_path))
        assert db.verify() is None
        assert db.get("25")[0] == rows[165].tolist() and db.get("7")[0] == rows[150].tolist()
        assert len(db) == 150
        # Too short for the rows the graph file names: refused.
        db.close()
        vectors.write_bytes(vectors.read_bytes()[:-4])
        with pytest.raises(CorruptDataError, match="fewer than the rows of 151 slots of dimension 8"):
            Database(str(tmp_path))

    def test_checkpoints_append_graph_deltas(self, tmp_path):
        # Large enough (past 64 KiB) for saves to append their changes to
        # graph.hovra as deltas; random rounds of every kind of change, some
        # saved before the linker caught up, each reopened from a copy.
        rng = np.random.default_rng(11)
        dim = 6
        db = Database(str(tmp_path / "db"), dim=dim, m=8, ef_construction=40, autocheckpoint=False)
        graph = tmp_path / "db" / "graph.hovra"
        model = {}

        def add(ids):
            rows = rng.standard_normal((len(ids), dim)).astype(np.float32)
            metas = [{"g": int(rng.integers(5))} if rng.random() < 0.7 else None for _ in ids]
            db.add_many(ids, rows, metas)
            model.update({i: (r.tolist(), m) for i, r, m in zip(ids, rows, metas)})

        add([f"r{i}" for i in range(1500)])
        db.wait_indexed()
        db.save()
        first = graph.read_bytes()
        assert len(first) > 64 << 10
        sizes = [len(first)]
        fresh_id = 1500
        for round_ in range(8):
            live = sorted(model)
            picked = rng.choice(len(live), size=60, replace=False)
            moved = [live[i] for i in picked[:20]]
            rows = rng.standard_normal((20, dim)).astype(np.float32)
            db.update_many(moved, vectors=rows)
            for i, r in zip(moved, rows):
                model[i] = (r.tolist(), model[i][1])
            for i in (live[j] for j in picked[20:35]):
                db.update(i, metadata={"round": round_})
                model[i] = (model[i][0], {"round": round_})
            gone = [live[j] for j in picked[35:50]]
            db.delete_many(gone)
            for i in gone:
                del model[i]
            add([f"r{fresh_id + i}" for i in range(30)])
            fresh_id += 30
            if round_ % 2:
                db.wait_indexed()  # else some rows are saved before they are linked
            db.save()
            sizes.append(graph.stat().st_size)
            if round_ == 0:
                # The file the first save wrote stays, its bytes too.
                assert graph.read_bytes()[: len(first)] == first
                # A delta appended by a save that never committed is not read,
                # and the next save cuts it off.
                with open(graph, "ab") as f:
                    f.write(b"DLTA" + b"\xff" * 33)
            copy = tmp_path / f"copy{round_}"
            shutil.copytree(tmp_path / "db", copy)
            other = Database(str(copy))
            assert other.verify() is None
            assert state(other) == model
            assert (other.total_slots, other.deleted_count) == (db.total_slots, db.deleted_count)
            query = rng.standard_normal(dim).astype(np.float32)
            other.wait_indexed()
            db.wait_indexed()
            assert [h.id for h in other.search(query, k=10)] == [h.id for h in db.search(query, k=10)]
            other.close(save=False)
            shutil.rmtree(copy)
        # Past a share of the file in deltas (or when vectors.bin is written
        # anew), a save writes it whole again, without them.
        assert any(b < a for a, b in zip(sizes, sizes[1:])), sizes
        db.close()
        assert state(Database(str(tmp_path / "db"))) == model

    def test_two_saves_write_same_vectors(self, tmp_path):
        db = Database(str(tmp_path), dim=4)
        db.add_many([str(i) for i in range(40)], np.arange(160, dtype=np.float32).reshape(40, 4))
        db.delete("3")
        db.wait_indexed()  # the graph file's size is compared: link every record first
        db.save()
        first = (tmp_path / "vectors.bin").read_bytes(), len((tmp_path / "graph.hovra").read_bytes())
        db.save()
        assert (
            (tmp_path / "vectors.bin").read_bytes(),
            len((tmp_path / "graph.hovra").read_bytes()),
        ) == first


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
            (header(version=4) + b"ATEM\0\0\0\0", "unsupported graph version: 4"),
            (header(flags=17) + b"ATEM\0\0\0\0", "unsupported graph flags: 17"),
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
        # Opening without dim reports the same damage, as the damage it is.
        with pytest.raises(CorruptDataError) as err:
            Database(str(tmp_path))
        assert str(err.value) == "io error: " + message

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
        raw = (
            header(entry=0, n=1)
            + struct.pack("<II", 1, 0)
            + b"ATEM"
            + struct.pack("<III", 1, 0, 1)
            + b"a"
            + struct.pack("<I", 1)
            + b"{"
        )
        (tmp_path / "graph.hovra").write_bytes(raw)
        (tmp_path / "vectors.bin").write_bytes(struct.pack("<4f", 1, 2, 3, np.sqrt(14)))
        db = Database(str(tmp_path))
        assert db.get("a") == ([1.0, 2.0, 3.0], None)


class TestChecksumsAndTables:
    @pytest.fixture
    def saved(self, tmp_path):
        db = Database(str(tmp_path), dim=3, quantize=True)
        db.add_many(["a", "b"], [[1, 2, 3], [3, 2, 1]], [{"k": "aa"}, None])
        db.save()
        db.close()
        return tmp_path

    def flip(self, path, offset):
        raw = bytearray(path.read_bytes())
        raw[offset] ^= 0x01
        path.write_bytes(bytes(raw))

    def test_flipped_bits_are_caught(self, saved):
        Database(str(saved)).verify()
        # The graph file is checked at open: a flip inside the metadata text
        # ("aa" becomes "ab") would otherwise load silently.
        graph = saved / "graph.hovra"
        good = graph.read_bytes()
        self.flip(graph, good.index(b'"aa"') + 2)
        with pytest.raises(ValueError, match="^corrupt data: graph.hovra does not match"):
            Database(str(saved), dim=3)
        with pytest.raises(CorruptDataError, match="^corrupt data: graph.hovra does not match"):
            Database(str(saved))
        graph.write_bytes(good)
        # The vector files are checked on demand.
        for name in ("vectors.bin", "vectors.sq8"):
            good = (saved / name).read_bytes()
            self.flip(saved / name, len(good) - 5)
            db = Database(str(saved))
            with pytest.raises(ValueError, match=f"^corrupt data: {name} does not match"):
                db.verify()
            db.close()
            (saved / name).write_bytes(good)
        # Without the checksum record, a graph file of an older save (version
        # 2, which cannot say that a record was written) opens and verifies
        # the structure only.
        (saved / "seal.hovra").unlink()
        older_files(saved, 3)
        self.flip(saved / "vectors.bin", 0)
        db = Database(str(saved))
        assert db.verify() is None
        db.save()
        db.close()
        assert (saved / "seal.hovra").exists()

    @pytest.mark.parametrize(
        "rows, message",
        [
            ([(0, "a"), (1, "a")], "two records with id 'a'"),
            ([(0, "a")], "1 records for 2 live slots"),
        ],
    )
    def test_damaged_record_tables(self, tmp_path, rows, message):
        table = b"".join(
            struct.pack("<II", slot, len(i)) + i.encode() + struct.pack("<I", 0) for slot, i in rows
        )
        nodes = (
            struct.pack("<II", 1, 1) + struct.pack("<I", 1) + struct.pack("<II", 1, 1) + struct.pack("<I", 0)
        )
        (tmp_path / "graph.hovra").write_bytes(
            header(dim=1, entry=0, n=2) + nodes + b"ATEM" + struct.pack("<I", len(rows)) + table
        )
        (tmp_path / "vectors.bin").write_bytes(struct.pack("<4f", 1, 2, 1, 2))
        with pytest.raises(ValueError, match=f"^io error: graph file has {message}$"):
            Database(str(tmp_path), dim=1)


class TestOwnership:
    def test_one_engine_per_directory_and_close(self, tmp_path):
        path = str(tmp_path)
        a = Database(path, dim=2)
        b = Database(path)
        c = Database(path, dim=7, metric="dot")  # creation parameters are ignored
        a.add("x", [1, 2])
        assert b.get("x") == ([1.0, 2.0], None) and (c.dim, c.metric) == (2, "cosine")
        b.add("y", [3, 4])
        a.save()  # one log: the save keeps b's change too
        c.add("z", [5, 6])
        a.close()
        a.close()  # closing again does nothing
        for call in (
            lambda: a.get("x"),
            lambda: len(a),
            lambda: "x" in a,
            lambda: a.dim,
            a.save,
            a.verify,
            lambda: a.__exit__(None, None, None),
            lambda: a.search([1, 2]),
        ):
            with pytest.raises(ValueError, match="^database is closed$"):
                call()
        b.close()
        assert c.search([5, 6], k=1)[0].id == "z"
        del c  # the last holder: the lock and files are released at once
        assert sorted(Database(path).ids()) == ["x", "y", "z"]

    def test_another_process_is_refused(self, tmp_path):
        path = str(tmp_path / "d")
        db = Database(path, dim=2)
        code = (
            "import sys\nfrom _hovra import Database\n"
            "for kw in ({}, {'dim': 2}):\n"
            "    try:\n        Database(sys.argv[1], **kw).close()\n        print('opened')\n"
            "    except ValueError as e:\n        print(e)\n"
        )

        def run():
            return subprocess.run(
                [sys.executable, "-c", code, path],
                env=child_env(),
                capture_output=True,
                text=True,
                check=True,
            ).stdout.splitlines()

        assert run() == [f"database at '{path}' is in use by another process"] * 2
        db.close()
        assert run() == ["opened", "opened"]
        # Open mode on a directory without a database leaves no lock file.
        (tmp_path / "empty").mkdir()
        with pytest.raises(ValueError, match=NOT_FOUND):
            Database(str(tmp_path / "empty"))
        assert os.listdir(tmp_path / "empty") == []

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_forked_child_does_not_reuse_the_engine(self, tmp_path):
        db = Database(str(tmp_path), dim=2)
        db.add("a", [1, 2])
        pid = os.fork()
        if pid == 0:
            codes = 0
            for attempt in (lambda: Database(str(tmp_path)), lambda: db.add("b", [3, 4]), db.save):
                try:
                    attempt()
                    codes += 1
                except ValueError as e:
                    codes += 10 * ("in use by another process" not in str(e))
                except BaseException:
                    codes += 100
            os._exit(codes if db.search([1, 2], k=1)[0].id == "a" else 99)
        _, status = os.waitpid(pid, 0)
        assert os.waitstatus_to_exitcode(status) == 0
        db.add("c", [5, 6])
        assert sorted(db.ids()) == ["a", "c"]

    @pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
    def test_children_forked_beside_writers_search_and_never_hang(self, tmp_path):
        """Children forked while writer and searcher threads run in the parent
        (holding the engine's locks, using the worker pool) search what they
        inherited, are refused changes, and all exit within a bound."""
        db = Database(str(tmp_path / "w"), dim=8)
        rng = np.random.default_rng(3)
        db.add_many([f"s{i}" for i in range(2000)], rng.random((2000, 8), dtype=np.float32))
        stop = threading.Event()
        queries = rng.random((64, 8), dtype=np.float32)

        def write():
            n = 0
            while not stop.is_set():
                db.add(f"w{n}", rng.random(8))
                db.add_many([f"b{n}-{j}" for j in range(300)], rng.random((300, 8), dtype=np.float32))
                db.delete(f"w{n}")
                n += 1

        def search():
            while not stop.is_set():
                db.search_many(queries, k=5)

        threads = [threading.Thread(target=write), threading.Thread(target=search)]
        for t in threads:
            t.start()
        children = []
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore", DeprecationWarning)  # fork() beside threads
                for _ in range(12):
                    time.sleep(0.02)
                    pid = os.fork()
                    if pid == 0:
                        code = 1
                        try:
                            hits = db.search(queries[0], k=3)
                            lists = db.search_many(queries, k=3)
                            count = db.count()
                            try:
                                db.add("child", [0.0] * 8)
                            except DatabaseInUseError:
                                code = 0 if len(hits) == 3 and len(lists) == 64 and count >= 2000 else 2
                        finally:
                            os._exit(code)
                    children.append(pid)
        finally:
            stop.set()
            for t in threads:
                t.join()
        deadline = time.monotonic() + 120
        codes = {}
        while len(codes) < len(children) and time.monotonic() < deadline:
            for pid in children:
                if pid not in codes:
                    done, status = os.waitpid(pid, os.WNOHANG)
                    if done:
                        codes[pid] = os.waitstatus_to_exitcode(status)
            time.sleep(0.05)
        hung = [pid for pid in children if pid not in codes]
        for pid in hung:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
        assert not hung, f"{len(hung)} of {len(children)} children hung"
        assert set(codes.values()) == {0}, codes


class TestDirectoryStaysPut:
    """The directory is fixed at open; damaged or partial directories are
    refused, never created over."""

    def test_a_change_of_working_directory_moves_nothing(self, tmp_path, monkeypatch):
        monkeypatch.chdir(tmp_path)
        (tmp_path / "sub").mkdir()
        db = Database("relA", dim=2)
        db.add("a", [1, 0])
        os.chdir("sub")
        db.add("b", [0, 1])
        db.save()
        db.add("c", [1, 1])
        assert repr(db).startswith("Database(path='relA'")
        db.close()
        assert not (tmp_path / "sub" / "relA").exists()
        os.chdir(tmp_path)
        again = Database("relA")
        assert sorted(again.ids()) == ["a", "b", "c"]
        # The lock is on the one directory: another opener through another
        # path shares the engine.
        assert Database(str(tmp_path / "relA")).ids() == again.ids()

    def test_a_directory_removed_after_open_is_made_again_by_save(self, tmp_path):
        path = tmp_path / "gone"
        db = Database(str(path), dim=2)
        db.add("a", [1, 0])
        shutil.rmtree(path)
        db.add("b", [0, 1])  # into the open log, which went with the directory
        db.save()
        db.close()
        assert sorted(Database(str(path)).ids()) == ["a", "b"]

    @pytest.mark.parametrize("removed", ["vectors.bin", "graph.hovra", "seal.hovra"])
    def test_a_missing_main_file_is_refused_in_both_modes(self, tmp_path, removed):
        path = tmp_path / "d"
        db = Database(str(path), dim=3)
        db.add_many([str(i) for i in range(100)], np.random.default_rng(0).random((100, 3)))
        db.save()
        db.close()
        before = {p.name: p.read_bytes() for p in path.iterdir() if p.name != removed}
        (path / removed).unlink()
        for kwargs in ({}, {"dim": 3}):
            with pytest.raises(CorruptDataError, match=f"^corrupt data: {removed} is missing"):
                Database(str(path), **kwargs)
        if removed == "seal.hovra":
            verify = subprocess.run(
                [sys.executable, "-m", "hovra", "verify", str(path)],
                capture_output=True,
                text=True,
                env=child_env(),
            )
            assert verify.returncode == 1 and "seal.hovra is missing" in verify.stdout + verify.stderr
        after = {p.name: p.read_bytes() for p in path.iterdir()}
        assert after == before

    def test_only_an_empty_directory_is_created_anew(self, tmp_path):
        (tmp_path / "e").mkdir()
        (tmp_path / "e" / "lock.hovra").write_bytes(b"")
        (tmp_path / "e" / "graph.tmp").write_bytes(b"left by a creation that never committed")
        assert len(Database(str(tmp_path / "e"), dim=2)) == 0


class TestDamagedLog:
    """A tear is damage at the very end of the log; damage followed by intact
    records is corruption: open refuses, verify fails, repair keeps what
    can be kept."""

    @staticmethod
    def frames(log):
        # After the log's header (magic "HWAL", 20 bytes).
        offsets, at = [], 20 if log[:4] == b"HWAL" else 0
        while at < len(log):
            offsets.append(at)
            at += 9 + struct.unpack_from("<I", log, at + 1)[0]
        return offsets

    def test_a_flip_in_every_record(self, tmp_path):
        path = tmp_path / "db"
        db = Database(str(path), dim=2)
        for i in range(5):
            db.add(f"r{i}", [i, 1])
        db.add_many(["b0", "b1", "b2"], [[1, 2], [3, 4], [5, 6]])
        db.add("last", [9, 9])
        db.close(save=False)
        log = (path / "wal.hovra").read_bytes()
        offsets = self.frames(log)
        assert len(offsets) == 11  # 5 records, begin, 3 records, commit, 1 record
        for k, offset in enumerate(offsets):
            copy = tmp_path / f"flip{k}"
            shutil.copytree(path, copy)
            damaged = bytearray(log)
            damaged[offset + 6] ^= 1
            (copy / "wal.hovra").write_bytes(bytes(damaged))
            if k == len(offsets) - 1:
                # The last record damaged is a torn tail: open drops it.
                assert len(Database(str(copy))) == 8
                continue
            after = len(offsets) - 1 - k
            for kwargs in ({}, {"dim": 2}):
                with pytest.raises(
                    CorruptDataError,
                    match=rf"^corrupt data: wal.hovra is damaged at offset {offset}, and {after} intact record",
                ):
                    Database(str(copy), **kwargs)
            assert (copy / "wal.hovra").read_bytes() == bytes(damaged)
            cli = subprocess.run(
                [sys.executable, "-m", "hovra", "verify", str(copy)],
                capture_output=True,
                text=True,
                env=child_env(),
            )
            assert cli.returncode == 1 and "wal.hovra is damaged" in cli.stdout + cli.stderr
            refused = subprocess.run(
                [sys.executable, "-m", "hovra", "repair", str(copy)],
                capture_output=True,
                text=True,
                env=child_env(),
            )
            assert refused.returncode == 1 and "--yes" in refused.stderr
            done = subprocess.run(
                [sys.executable, "-m", "hovra", "repair", str(copy), "--yes"],
                capture_output=True,
                text=True,
                env=child_env(),
            )
            assert done.returncode == 0 and "log repaired" in done.stdout, done.stderr
            ids = set(Database(str(copy)).ids())
            # Only the damaged record is lost, or the whole batch it belonged to.
            everything = {f"r{i}" for i in range(5)} | {"b0", "b1", "b2", "last"}
            lost = everything - ids
            assert len(lost) == 1 or lost == {"b0", "b1", "b2"} or (k == 5 and not lost)


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

    def test_crash_before_first_save_and_a_log_left_without_files(self, tmp_path):
        code = (
            "import os, sys\nfrom _hovra import Database\n"
            "db = Database(sys.argv[1], dim=4)\n"
            "db.add_many([str(i) for i in range(50)], [[i, 0, 0, 1] for i in range(50)])\n"
            "for i in range(50, 100): db.add(str(i), [i, 0, 0, 1])\n"
            "os.kill(os.getpid(), 9)\n"
        )
        subprocess.run([sys.executable, "-c", code, str(tmp_path / "k")], env=child_env(), check=False)
        db = Database(str(tmp_path / "k"))
        assert len(db) == 100 and db.get("99")[0] == [99.0, 0.0, 0.0, 1.0]
        db.close()
        # A directory holding only a log (a layout-1 database, which creation
        # did not save, never saved): records that fit the new dimension are
        # replayed, not dropped.
        two, three = Database(str(tmp_path / "two"), dim=2), Database(str(tmp_path / "three"), dim=3)
        two.add("a", [1, 2])
        two.add("gone", [3, 4])
        three.add("b", [1, 2, 3])
        two.delete("gone")
        two.close(save=False), three.close(save=False)
        old = tmp_path / "old"
        old.mkdir()
        # (Logs of that layout have no header: the frames after this build's.)
        (old / "wal.hovra").write_bytes(
            (tmp_path / "two" / "wal.hovra").read_bytes()[20:]
            + (tmp_path / "three" / "wal.hovra").read_bytes()[20:]
        )
        # Without dim the lone log is named, not taken for an empty place.
        with pytest.raises(CorruptDataError, match="holds only wal.hovra"):
            Database(str(old))
        db = Database(str(old), dim=2)
        assert db.ids() == ["a"] and (old / "wal.hovra").stat().st_size == 20

    def test_with_block_that_raises_still_saves(self, tmp_path):
        with pytest.raises(KeyError):
            with Database(str(tmp_path), dim=2) as db:
                db.add("a", [1, 2])
                raise KeyError("boom")
        assert (tmp_path / "wal.hovra").stat().st_size == 20
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
        db.close()
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
        db.close()
        db = Database(str(a))
        assert db.quantized_search is True
        db.disable_quantized_search()
        db.save()
        assert (a / "vectors.sq8").exists()
        db = Database(str(b), dim=2)
        db.add("x", [1, 2])
        db.save()
        db.close()
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
        damaged = bytearray(raw)
        # Inside the last record's payload (after the log's 20-byte header).
        damaged[20 + 2 * (len(raw) - 20) // 3 + 12] ^= 0x40
        for broken, kept in ((raw[:-3], ["r0", "r1"]), (bytes(damaged), ["r0", "r1"])):
            wal.write_bytes(broken)
            db = Database(str(tmp_path))
            assert sorted(db.ids()) == kept
            # Changes after the damage land after the intact records and survive.
            db.add("later", [5, 5])
            db.add_many(["b1", "b2"], [[6, 6], [7, 7]])
            db.close(save=False)  # the next round damages the log again
            assert sorted(Database(str(tmp_path)).ids()) == sorted(kept + ["later", "b1", "b2"])

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
from _hovra import CorruptDataError, Database
db = Database(sys.argv[1])
print("ready", flush=True)
sys.stdin.readline()
db.save()
print("saved", flush=True)
"""

STEP_SYSCALLS = ["openat", "write", "fsync", "rename", "unlink"]


def saved_with_log(path, records=60):
    rng = np.random.default_rng(1)
    db = Database(str(path), dim=4, quantize=True)
    db.add_many(
        [str(i) for i in range(records)],
        rng.standard_normal((records, 4)).astype(np.float32),
        [{"i": i} for i in range(records)],
    )
    db.wait_indexed()
    db.save()
    db.delete("5")
    db.add("5", [1, 2, 3, 4], {"again": True})
    db.add_many([f"n{i}" for i in range(10)], rng.standard_normal((10, 4)).astype(np.float32))
    db.update("7", metadata={"changed": 1})
    return state(db)


def child_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))


def run_save_killed_at(path, syscall, nth, script=SAVE_CHILD, action="signal=KILL"):
    """Runs a save (or another script) in a child and kills it at the nth
    call of one syscall (or injects another action there); returns whether
    the child was killed, and its output."""
    child = subprocess.Popen(
        [sys.executable, "-c", script, str(path)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
        env=child_env(),
    )
    assert child.stdout.readline().strip() == "ready"
    tracer = subprocess.Popen(
        [
            "strace",
            "-f",
            "-qq",
            "-o",
            os.devnull,
            "-p",
            str(child.pid),
            "-e",
            f"trace={syscall}",
            "-e",
            f"inject={syscall}:{action}:when={nth}",
        ]
    )
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


@pytest.mark.slow
@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
# 1,500 records make a graph file large enough for the save to append a delta.
@pytest.mark.parametrize("records", [60, 1500])
def test_save_stopped_at_every_step(tmp_path, records):
    base = tmp_path / "base"
    expected = saved_with_log(base, records)
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
            db.close()
            assert state(Database(str(work))) == expected | {"after": ([0.0, 0.0, 0.0, 1.0], None)}
            shutil.rmtree(work)
    assert stops >= 10


BATCH_CHILD = r"""
import sys
import numpy as np
from _hovra import CorruptDataError, Database
db = Database(sys.argv[1])
vectors = np.random.default_rng(2).standard_normal((402, 16)).astype(np.float32)
print("ready", flush=True)
sys.stdin.readline()
db.upsert_many([f"b{i}" for i in range(400)] + ["0", "1"], vectors)
print("done", flush=True)
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_batch_killed_while_logging_is_all_or_nothing(tmp_path):
    base = tmp_path / "base"
    db = Database(str(base), dim=16)
    db.add_many(["0", "1"], np.zeros((2, 16), np.float32))
    db.close()
    outcomes = set()
    for nth in range(1, 40):
        work = tmp_path / f"w{nth}"
        shutil.copytree(base, work)
        killed, _ = run_save_killed_at(work, "write", nth, BATCH_CHILD)
        db = Database(str(work))
        present = sum(f"b{i}" in db for i in range(400))
        assert present in (0, 400), nth
        assert (db.get("0")[0] == [0.0] * 16) == (present == 0)
        outcomes.add(present)
        db.close()
        shutil.rmtree(work)
        if not killed:
            break
    assert outcomes == {0, 400}


SYNC_CHILD = r"""
import sys
from _hovra import CorruptDataError, Database
db = Database(sys.argv[1], sync_writes=True)
print("ready", flush=True)
sys.stdin.readline()
for i in range(3):
    try:
        db.add(str(i), [1.0, float(i)])
        print("ok", flush=True)
    except ValueError as e:
        print(e, flush=True)
"""


@pytest.mark.skipif(shutil.which("strace") is None, reason="needs strace")
def test_failed_sync_is_reported_and_refuses_later_changes(tmp_path):
    Database(str(tmp_path), dim=2).close()
    killed, out = run_save_killed_at(tmp_path, "fdatasync", 2, SYNC_CHILD, "error=EIO")
    lines = out.splitlines()
    assert not killed and lines[0] == "ok" and len(lines) == 3
    assert all(line.startswith("io error: syncing the log failed (Input/output error") for line in lines[1:])
    # The change whose sync failed was not reported durable; the one after
    # it was refused before it was logged.
    assert sorted(Database(str(tmp_path)).ids()) == ["0", "1"]
