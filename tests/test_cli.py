"""The `hovra` command-line tool, run as a subprocess on real databases:
info and verify beside a process that has the database open, verify on
damaged files, and export/import round trips."""

import json
import subprocess
import sys
import textwrap
from pathlib import Path

import hovra
import numpy as np
import pytest

DIM = 8


def cli(*args, cwd=None):
    return subprocess.run(
        [sys.executable, "-m", "hovra", *map(str, args)], capture_output=True, text=True, timeout=300, cwd=cwd
    )


def make_db(path, n=600, seed=0):
    """A saved database with metadata of several shapes, a deleted record and
    a change that is only in the log."""
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((n, DIM)).astype(np.float32)
    metadatas = [
        None if i % 5 == 0 else {"i": i, "tag": "\u00fc" * (i % 3), "f": i / 7, "nested": {"a": [i, None]}}
        for i in range(n)
    ]
    db = hovra.Database(path, dim=DIM, metric="dot", m=8, ef_construction=50)
    db.add_many([f"id-{i}" for i in range(n)], vectors, metadatas)
    db.delete("id-3")
    db.save()
    db.upsert("late", vectors[0] * 2, {"late": True})
    db.close(save=False)  # the late change stays in the log
    return vectors, metadatas


def contents(db):
    return {i: db.get(i) for i in db.ids()}


class TestInfoAndVerify:
    def test_beside_a_running_writer(self, tmp_path):
        path = tmp_path / "db"
        make_db(path)
        writer = subprocess.Popen(
            [
                sys.executable,
                "-c",
                textwrap.dedent(f"""
            import sys, numpy as np, hovra
            db = hovra.Database({str(path)!r})
            print("open", flush=True)
            i = 0
            while not sys.stdin.readline().startswith("stop"):
                db.add_many([f"w{{i}}-{{j}}" for j in range(50)], np.ones((50, {DIM}), np.float32))
                i += 1
                if i % 2 == 0:
                    db.save()
                print("wrote", i * 50, flush=True)
            db.save()
            print("saved", len(db), flush=True)
            """),
            ],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        try:
            assert writer.stdout.readline().strip() == "open"
            for _ in range(3):
                writer.stdin.write("go\n")
                writer.stdin.flush()
                written = int(writer.stdout.readline().split()[1])
                info = cli("info", path, "--json")
                assert info.returncode == 0, info.stderr
                report = json.loads(info.stdout)
                assert report["database"]["count"] == 600 + written
                assert report["database"]["metric"] == "dot_product" and report["database"]["m"] == 8
                assert "lock.hovra" in report["files"]
                verify = cli("verify", path)
                assert verify.returncode == 0, verify.stdout + verify.stderr
                assert verify.stdout.rstrip().endswith("ok")
                exported = cli("export", path, tmp_path / "out", "--quiet")
                assert exported.returncode == 0, exported.stderr
                assert len(np.load(tmp_path / "out.npz")["ids"]) == 600 + written
            writer.stdin.write("stop\n")
            writer.stdin.flush()
            assert writer.stdout.readline().split() == ["saved", str(600 + written)]
        finally:
            writer.stdin.close()
            assert writer.wait(timeout=60) == 0
        # The writer still owned its log and files: everything it wrote is there.
        assert len(hovra.Database(path)) == 600 + written

    def test_inspection_takes_no_lock_and_writes_nothing(self, tmp_path):
        path = tmp_path / "db"
        make_db(path)
        # A torn append after the log's last record, and no lock file.
        with open(path / "wal.hovra", "ab") as log:
            log.write(b"\x01\x40\x00")
        (path / "lock.hovra").unlink()

        def files():
            return {p.name: (p.stat().st_ino, p.stat().st_size, p.stat().st_mtime_ns) for p in path.iterdir()}

        before = files()
        assert cli("info", path).returncode == 0
        assert cli("verify", path).returncode == 0
        assert cli("export", path, tmp_path / "out", "--quiet").returncode == 0
        assert files() == before
        assert len(np.load(tmp_path / "out.npz")["ids"]) == 600

    def test_info_text_and_a_directory_without_a_database(self, tmp_path):
        path = tmp_path / "db"
        make_db(path)
        out = cli("info", path)
        assert out.returncode == 0
        for text in (
            "dimension        8",
            "dot_product",
            "600 live, 1 deleted, 601 slots",
            "1 records to replay",
            "vectors.bin",
            "avg_degree_layer0",
        ):
            assert text in out.stdout, out.stdout
        missing = cli("verify", tmp_path / "nothing")
        assert missing.returncode == 1 and "database not found" in missing.stderr

    @pytest.mark.parametrize(
        "name, offset", [("vectors.bin", 40), ("graph.hovra", 200), ("vectors.sq8", 100), ("wal.hovra", 32)]
    )
    def test_damaged_files_are_named(self, tmp_path, name, offset):
        path = tmp_path / "db"
        with hovra.Database(path, dim=DIM, quantize=True) as db:
            db.add_many([str(i) for i in range(300)], np.random.default_rng(1).standard_normal((300, DIM)))
        db = hovra.Database(path)
        db.add("u", [1.0] * DIM)
        db.add("v", [2.0] * DIM)
        db.close(save=False)  # the two adds stay in the log
        data = bytearray((path / name).read_bytes())
        data[offset] ^= 0xFF
        (path / name).write_bytes(bytes(data))
        before = {p.name: p.read_bytes() for p in path.iterdir()}
        out = cli("verify", path)
        # In the log, the damaged first record has an intact one after it: no
        # torn append but damage, named like any other.
        assert out.returncode == 1, out.stdout
        assert "FAILED" in out.stdout and name in out.stdout
        # The look changed nothing, the damaged log included.
        assert {p.name: p.read_bytes() for p in path.iterdir()} == before

    def test_a_torn_last_record_is_a_warning(self, tmp_path):
        path = tmp_path / "db"
        db = hovra.Database(path, dim=DIM)
        db.add("u", [1.0] * DIM)
        db.add("v", [2.0] * DIM)
        db.close(save=False)
        data = (path / "wal.hovra").read_bytes()
        (path / "wal.hovra").write_bytes(data[:-3])
        out = cli("verify", path)
        assert out.returncode == 0 and "warning  log:" in out.stdout, out.stdout
        assert cli("verify", path, "--strict").returncode == 1
        assert (
            cli("repair", path, "--yes")
            .stdout.strip()
            .endswith("the log needs no repair; nothing was changed")
        )


class TestExportImport:
    @pytest.mark.parametrize("fmt", ["npz", pytest.param("parquet", marks=pytest.mark.slow)])
    def test_round_trip(self, tmp_path, fmt):
        if fmt == "parquet":
            pytest.importorskip("pyarrow")
        source = tmp_path / "db"
        make_db(source)
        out = tmp_path / ("out.parquet" if fmt == "parquet" else "out")
        exported = cli("export", source, out, "--batch-size", "64")
        assert exported.returncode == 0, exported.stderr
        assert "exporting" in exported.stderr
        if fmt == "npz":
            assert {p.name for p in tmp_path.iterdir()} == {"db", "out.npz", "out.jsonl"}
            first = json.loads((tmp_path / "out.jsonl").read_text(encoding="utf-8").splitlines()[0])
            assert set(first) == {"id", "metadata"}
        target = tmp_path / "copy"
        imported = cli("import", target, out, "--batch-size", "100")
        assert imported.returncode == 0, imported.stderr
        assert "importing" in imported.stderr
        want = contents(hovra.Database(source))
        copy = hovra.Database(target)
        assert (copy.metric, copy.dim) == ("dot_product", DIM)
        assert contents(copy) == want and len(want) == 600
        copy.close()
        # Importing again replaces the same records: nothing doubles.
        again = cli("import", target, out, "--quiet")
        assert again.returncode == 0 and again.stderr == ""
        assert contents(hovra.Database(target)) == want

    def test_console_script_and_bad_input(self, tmp_path):
        script = Path(sys.executable).parent / "hovra"
        if script.exists():
            out = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
            assert out.stdout.strip() == f"hovra {hovra.__version__}"
        source = tmp_path / "db"
        make_db(source, n=20)
        assert cli("export", source, tmp_path / "out", "--quiet").returncode == 0
        lines = (tmp_path / "out.jsonl").read_text(encoding="utf-8").splitlines()
        (tmp_path / "out.jsonl").write_text("\n".join(lines[:5] + lines[6:]) + "\n", encoding="utf-8")
        bad = cli("import", tmp_path / "copy", tmp_path / "out.npz", "--batch-size", "4")
        assert bad.returncode == 1 and "out.jsonl:6: expected the id" in bad.stderr
        # The batch before the bad line is kept; nothing after it.
        assert len(hovra.Database(tmp_path / "copy")) == 4
        assert cli("import", tmp_path / "x", tmp_path / "none.npz").returncode == 1
        assert cli("frobnicate").returncode == 2
