"""Progress output of the long operations, and Ctrl-C: SIGINT delivered to
a child process in the middle of a large add_many, search_many or compact
raises KeyboardInterrupt between two chunks of work, before the phase it
interrupts ends, and leaves the database unchanged (or, for a batch already
being linked, complete)."""

import os
import re
import signal
import subprocess
import sys
import textwrap

import hovra
import numpy as np
import pytest


def block_tqdm(monkeypatch):
    monkeypatch.setitem(sys.modules, "tqdm", None)


class TestProgressOutput:
    def test_plain_lines_for_every_long_operation(self, tmp_path, monkeypatch, capsys):
        block_tqdm(monkeypatch)
        db = hovra.Database(tmp_path / "db", dim=8)
        x = np.random.default_rng(0).standard_normal((300, 8)).astype(np.float32)
        db.add_many([str(i) for i in range(300)], x)
        db.upsert_many(["0", "new"], x[:2])
        db.search_many(x[:5])
        db.compact()
        db.save()
        assert capsys.readouterr().err == ""
        db.add_many([f"a{i}" for i in range(300)], x, show_progress=True)
        db.upsert_many(["0", "b"], x[:2], show_progress=True)
        db.search_many(x[:5], show_progress=True)
        db.search_arrays(x[:5], show_progress=True)
        db.delete("b")
        db.compact(show_progress=True)
        db.save(show_progress=True)
        err = capsys.readouterr().err.splitlines()
        for line in (
            "hovra add_many: storing 300/300 records (100%)",
            "hovra upsert_many: storing 2/2 records (100%)",
            "hovra search_many: searching 5/5 queries (100%)",
            "hovra search_arrays: searching 5/5 queries (100%)",
            "hovra compact: rebuilding 601/601 records (100%)",
        ):
            assert line in err, err
        assert any(
            line.startswith("hovra save: writing graph ") and line.endswith(" bytes") for line in err
        ), err
        assert len(err) == len(set(err))

    def test_tqdm_bar(self, tmp_path, capsys):
        pytest.importorskip("tqdm")
        db = hovra.Database(tmp_path / "db", dim=8)
        db.add_many([str(i) for i in range(200)], np.ones((200, 8), np.float32), show_progress=True)
        err = capsys.readouterr().err
        assert "add_many: storing" in err and "200/200" in err and "100%" in err

    def test_a_failing_display_is_dropped_and_a_bad_flag_refused(self, tmp_path, monkeypatch, capsys):
        class Broken:
            def write(self, text):
                raise OSError("stderr is gone")

        block_tqdm(monkeypatch)
        monkeypatch.setattr(sys, "stderr", Broken())
        db = hovra.Database(tmp_path / "db", dim=8)
        db.add_many(["a", "b"], np.ones((2, 8), np.float32), show_progress=True)
        assert len(db) == 2
        with pytest.raises(TypeError, match="show_progress"):
            db.compact(show_progress="yes")
        with pytest.raises(TypeError):
            db.add_many(["c"], np.ones((1, 8), np.float32), None, True)


CHILD = textwrap.dedent("""
    import signal, sys, time
    import numpy as np
    # A shell may start background jobs with SIGINT ignored; Python then
    # leaves it ignored. Ctrl-C is what is measured here.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    sys.modules["tqdm"] = None
    import hovra, hovra._progress
    hovra._progress.PLAIN_INTERVAL = 0.0   # a line at every poll
    op, path, text = sys.argv[1], sys.argv[2], int(sys.argv[3])
    db = hovra.Database(path)
    x = np.random.default_rng(1).standard_normal((200000, 16)).astype(np.float32)
    query = np.random.default_rng(2).standard_normal(16)
    print("ready", flush=True)
    try:
        if op == "add_many":
            # Large metadata makes the batch slow to log (and quick to link).
            n = 3000
            metadatas = [{"text": "x" * text, "i": i} for i in range(n)]
            db.add_many([f"new{i}" for i in range(n)], x[:n] + 5, metadatas, show_progress=True)
        elif op == "add_many_big":
            db.add_many([f"new{i}" for i in range(150000)], x[:150000], show_progress=True)
        elif op == "wait_indexed":
            db.add_many([f"new{i}" for i in range(60000)], x[:60000])
            db.wait_indexed(show_progress=True)
        elif op == "search_many":
            db.search_many(x, k=10, show_progress=True)
        elif op == "compact":
            db.compact(show_progress=True)
        print("finished", flush=True)
    except KeyboardInterrupt:
        print("interrupted", flush=True)
    print("state", len(db), db.total_slots, db.deleted_count, [h.id for h in db.search(query, k=5)], flush=True)
""")


@pytest.fixture(scope="module")
def saved(tmp_path_factory):
    """A saved database of 12,000 records, a third of them deleted."""
    path = tmp_path_factory.mktemp("ctrl-c") / "db"
    x = np.random.default_rng(1).standard_normal((200000, 16)).astype(np.float32)
    with hovra.Database(path, dim=16) as db:
        db.add_many([str(i) for i in range(12000)], x[:12000])
        for i in range(0, 12000, 3):
            db.delete(str(i))
        # Saved linked: a later open has nothing left to link, so closing
        # it writes nothing and the files stay byte for byte as they are.
        db.wait_indexed()
    return path


def unbuffered_line(pipe):
    """The next line of a child's pipe, read without reading past it."""
    data = bytearray()
    while not data.endswith(b"\n"):
        byte = os.read(pipe.fileno(), 1)
        if not byte:
            break
        data += byte
    return data.decode()


def interrupt(path, op, when, text=0):
    """Runs op in a child, sends SIGINT once a progress line containing
    `when` appears; returns the child's stdout lines, its progress lines and
    whether the child saw KeyboardInterrupt."""
    child = subprocess.Popen(
        [sys.executable, "-c", CHILD, op, str(path), str(text)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        # Lines are read a byte at a time from the pipes: a buffered read
        # could take later lines along, which communicate() then never sees.
        assert unbuffered_line(child.stdout).strip() == "ready"
        progress = []
        while line := unbuffered_line(child.stderr):
            progress.append(line.strip())
            if when in line:
                break
        child.send_signal(signal.SIGINT)
        out, err = child.communicate(timeout=300)
    finally:
        child.kill()
        child.wait()
    progress += err.splitlines()
    lines = out.splitlines()
    return lines, progress, lines[0] == "interrupted"


def stopped_short(progress, phase):
    """Whether the last progress line of `phase` counts fewer units than the
    phase holds: the operation stopped between two of its chunks instead of
    running the phase to its end (a check of promptness that no machine's
    load can fail, unlike a time limit)."""
    counts = re.findall(rf": {phase} (\d+)/(\d+) ", "\n".join(progress))
    return bool(counts) and int(counts[-1][0]) < int(counts[-1][1])


class TestCtrlC:
    def test_add_many_while_logging_or_linking(self, tmp_path):
        path = tmp_path / "db"
        hovra.Database(path, dim=16).close()
        lines, progress, interrupted = interrupt(path, "add_many", "logging", text=20000)
        assert interrupted, lines
        state = hovra.Database(path)
        if any("storing" in line for line in progress):
            # The signal came after the batch was committed: it completes.
            assert len(state) == 3000
        else:
            # Stopped while logging: nothing stored, the log cut back.
            assert stopped_short(progress, "logging"), progress
            assert lines[1] == "state 0 0 0 []", lines
            assert len(state) == 0
            log = path / "wal.hovra"
            assert log.stat().st_size == 20  # the log's header, and nothing after it

    @pytest.mark.parametrize("op", ["add_many_big", "wait_indexed"])
    def test_waiting_for_the_linker_stops_and_keeps_the_records(self, tmp_path, op):
        # A bulk load larger than the fresh rows' bound waits for the linker
        # (backpressure); so does wait_indexed. Ctrl-C ends the wait: every
        # record is stored, logged and found, and linked on later.
        path = tmp_path / "db"
        hovra.Database(path, dim=16).close()
        lines, progress, interrupted = interrupt(path, op, "linking")
        assert interrupted and stopped_short(progress, "linking"), (lines, progress)
        n = 150000 if op == "add_many_big" else 60000
        assert lines[1].startswith(f"state {n} {n} 0"), lines
        assert len(hovra.Database(path)) == n

    @pytest.mark.parametrize("op, phase", [("search_many", "searching"), ("compact", "rebuilding")])
    def test_search_many_and_compact_stop_and_change_nothing(self, saved, op, phase):
        db = hovra.Database(saved)
        nearest = [h.id for h in db.search(np.random.default_rng(2).standard_normal(16), k=5)]
        db.close()
        untouched = {p.name: p.read_bytes() for p in saved.iterdir()}
        lines, progress, interrupted = interrupt(saved, op, phase)
        assert interrupted and stopped_short(progress, phase), (lines, progress)
        assert "finished" not in lines
        assert lines[1] == f"state 8000 12000 4000 {nearest}"
        assert {p.name: p.read_bytes() for p in saved.iterdir()} == untouched
