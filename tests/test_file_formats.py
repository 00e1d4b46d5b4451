"""The file formats as docs/file-formats.md writes them down.

A small reader written from that page alone (it shares no code with the
engine) decodes a database left on disk after a save and a log holding every
record kind, a batch, deletes, metadata and the quantized file; what it
decodes must be what the reopened database returns.
"""

from __future__ import annotations

import json
import struct
import zlib
from dataclasses import dataclass, field
from typing import Any

import numpy as np
import pytest
from _hovra import Database, _inspect

# ---------------------------------------------------------------------------
# The reader
# ---------------------------------------------------------------------------


class Refused(Exception):
    """A file the page says a reader must refuse."""


class Bytes:
    """Little-endian fields taken front to back; running out is a refusal."""

    def __init__(self, data: bytes) -> None:
        self.data = data
        self.at = 0

    def remaining(self) -> int:
        return len(self.data) - self.at

    def take(self, n: int) -> bytes:
        if n > self.remaining():
            raise Refused("truncated")
        piece = self.data[self.at : self.at + n]
        self.at += n
        return piece

    def u8(self) -> int:
        return self.take(1)[0]

    def u32(self) -> int:
        return struct.unpack("<I", self.take(4))[0]

    def u64(self) -> int:
        low, high = struct.unpack("<II", self.take(8))
        return low | high << 32

    def f32s(self, n: int) -> np.ndarray:
        return np.frombuffer(self.take(4 * n), dtype="<f4").astype(np.float32)

    def string(self) -> bytes:
        return self.take(self.u32())


def strict_utf8(raw: bytes) -> str:
    try:
        return raw.decode("utf-8", errors="strict")
    except UnicodeDecodeError as e:
        raise Refused(f"id is not UTF-8: {e}") from e


def metadata_of(raw: bytes) -> Any:
    """None for no metadata (length 0), else the JSON value."""
    return None if not raw else json.loads(raw.decode("utf-8"))


def compact_json(value: Any) -> str:
    """The compact text the page describes, for values whose floats print
    alike in Python and in the shortest round-trip form."""
    return json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True, allow_nan=False)


@dataclass
class Graph:
    dim: int
    metric: int
    m: int
    ef_construction: int
    entry_point: int
    max_level: int
    deleted: set[int]
    nodes: list[list[list[int]]]  # per slot, per layer, the neighbour slots
    records: dict[int, tuple[str, bytes]]  # slot -> (id, metadata text)
    # Flag bit 2 (rows apart): the norms and the replaced rows (slot -> row)
    # of the row section; None when vectors.bin holds the norms.
    norms: np.ndarray | None = None
    replaced: dict[int, np.ndarray] | None = None


GRAPH_MAGIC, RECORD_MAGIC = b"GWSH", b"ATEM"
NO_ENTRY = 0xFFFFFFFF


def read_node(r: Bytes, n: int) -> list[list[int]]:
    """One node entry: its layer count, then a list per layer."""
    layers = r.u32()
    if layers == 0:
        raise Refused("node without layers")
    lists = []
    for _ in range(layers):
        count = r.u32()
        if count > r.remaining() // 4:
            raise Refused("truncated")
        lists.append([r.u32() for _ in range(count)])
    if any(x >= n for lst in lists for x in lst):
        raise Refused("neighbour out of range")
    return lists


def check_entry(entry: int, max_level: int, nodes: list) -> None:
    if not nodes:
        if entry != NO_ENTRY or max_level != 0:
            raise Refused("entry point of an empty graph")
    elif entry >= len(nodes) or max_level != len(nodes[entry]) - 1:
        raise Refused("entry point")


def read_delta(r: Bytes, dim: int, nodes: list, deleted: set, records: dict, norms: list, replaced: dict):
    """One delta section applied to what the file said before it; returns
    the entry point and max level it names."""
    if r.take(4) != b"DLTA":
        raise Refused("bad graph delta magic")
    entry, max_level, n, flags, d = (r.u32() for _ in range(5))
    if flags & ~2 or n < len(nodes):
        raise Refused("delta flags or node count")
    added = n - len(nodes)
    nodes.extend([None] * added)
    norms.extend([0.0] * added)
    if d > r.remaining() // 4:
        raise Refused("truncated")
    for _ in range(d):
        slot = r.u32()
        if slot >= n:
            raise Refused("deleted slot out of range")
        deleted.add(slot)
        records.pop(slot, None)  # a record the file gave earlier goes with its slot
    count, last = r.u32(), -1
    for _ in range(count):
        slot, parts = r.u32(), r.u32()
        if slot >= n or slot <= last or parts & ~6:
            raise Refused("changed node slot or parts")
        last = slot
        nodes[slot] = read_node(r, n)
        norms[slot] = float(r.f32s(1)[0])
        if parts & 2:
            replaced[slot] = r.f32s(dim)
        if parts & 4:
            if slot in deleted:
                raise Refused(f"misplaced record on slot {slot}")
            ident, text = r.string(), r.string()
            r.take(-(len(ident) + len(text)) % 4)  # the record ends at a multiple of 4
            records[slot] = (strict_utf8(ident), text)
    if any(node is None for node in nodes):
        raise Refused("a new node without its lists")
    check_entry(entry, max_level, nodes)
    return entry, max_level


def read_graph(data: bytes) -> Graph:
    r = Bytes(data)
    if r.take(4) != GRAPH_MAGIC:
        raise Refused("bad graph magic")
    version = r.u32()
    if version not in (2, 3):
        raise Refused("unsupported graph version")
    dim, metric = r.u32(), r.u8()
    if metric > 2:
        raise Refused("unknown metric")
    m, ef, entry, max_level, n, d = (r.u32() for _ in range(6))
    flags = r.u32() if version == 3 else 0
    assert r.at == (41 if version == 3 else 37)
    if flags & 8:
        r.take(3)  # zero bytes: the words that follow sit at offsets divisible by 4
    # bit 0: saved with a seal; bit 1: holds unlinked rows; bit 2: rows apart;
    # bit 3: delta sections follow the record table
    if flags & ~15:
        raise Refused("unsupported graph flags")
    if m < 2:
        raise Refused("m below 2")
    if d > r.remaining() // 4:
        raise Refused("truncated")
    deleted = {r.u32() for _ in range(d)}
    if any(s >= n for s in deleted):
        raise Refused("deleted slot out of range")
    nodes = [read_node(r, n) for _ in range(n)]
    check_entry(entry, max_level, nodes)
    norms = replaced = None
    if flags & 4:
        if r.take(4) != b"NRMS":
            raise Refused("bad row section magic")
        if n > r.remaining() // 4:
            raise Refused("truncated")
        norms = r.f32s(n)
        count = r.u32()
        if count > r.remaining() // (4 + 4 * dim):
            raise Refused("truncated")
        replaced = {}
        for _ in range(count):
            slot = r.u32()
            if slot >= n or (replaced and slot <= max(replaced)):
                raise Refused("replaced row slot")
            replaced[slot] = r.f32s(dim)
    if r.take(4) != RECORD_MAGIC:
        raise Refused("bad metadata section magic")
    count = r.u32()
    if count > r.remaining() // 12:
        raise Refused("truncated")
    records: dict[int, tuple[str, bytes]] = {}
    for _ in range(count):
        slot, ident, text = r.u32(), strict_utf8(r.string()), r.string()
        if slot >= n or slot in deleted or slot in records:
            raise Refused(f"misplaced record on slot {slot}")
        records[slot] = (ident, text)
    if flags & 8:
        if norms is None or replaced is None:
            raise Refused("deltas without a row section")
        r.take(-r.at % 4)  # the record table ends at a multiple of 4
        norm_list = list(norms)
        while r.remaining():
            entry, max_level = read_delta(r, dim, nodes, deleted, records, norm_list, replaced)
        norms = np.asarray(norm_list, dtype=np.float32)
        n = len(nodes)
    if len(records) != n - len(deleted):
        raise Refused("record count differs from the live count")
    if len({ident for ident, _ in records.values()}) != len(records):
        raise Refused("two records with one id")
    return Graph(dim, metric, m, ef, entry, max_level, deleted, nodes, records, norms, replaced)


def read_vectors(data: bytes, graph: Graph) -> tuple[np.ndarray, np.ndarray]:
    """The rows (with the graph file's replaced rows in place) and norms."""
    n, dim = len(graph.nodes), graph.dim
    if graph.norms is None:
        if len(data) != 4 * n * (dim + 1):
            raise Refused("vector file size")
        r = Bytes(data)
        rows = r.f32s(n * dim).reshape(n, dim)
        return rows, r.f32s(n)
    # Rows apart: bytes past the rows are an append that never committed.
    if len(data) < 4 * n * dim:
        raise Refused("vector file size")
    rows = Bytes(data).f32s(n * dim).reshape(n, dim).copy()
    for slot, row in (graph.replaced or {}).items():
        rows[slot] = row
    return rows, graph.norms


@dataclass
class Codebook:
    mins: np.ndarray
    scales: np.ndarray
    codes: np.ndarray  # (n, dim) uint8
    exceptions: list[int]  # the slots the codes misplace


def read_sq8(data: bytes, n: int, dim: int) -> Codebook:
    r = Bytes(data)
    q, exceptions = r.u32(), []
    if q == 0x38515348:  # the magic "HSQ8": version 2 lists the exceptions
        if r.u32() != 2:
            raise Refused("unsupported quantized vector file version")
        q, count = r.u32(), r.u32()
        mins, scales = r.f32s(q), r.f32s(q)
        exceptions = [r.u32() for _ in range(count)]
        if any(s >= n for s in exceptions) or exceptions != sorted(set(exceptions)):
            raise Refused("exception slots out of order or beyond the slots")
    else:
        mins, scales = r.f32s(q), r.f32s(q)
    if q != dim or r.remaining() != n * dim:
        raise Refused("quantized file does not fit the graph")
    codes = np.frombuffer(r.take(n * dim), dtype=np.uint8).reshape(n, dim)
    return Codebook(mins, scales, codes, exceptions)


@dataclass
class OneBitCodes:
    stamp: tuple[int, int, int]  # the seal's generation, graph size, graph CRC
    centred_on: int
    center: np.ndarray
    signs: np.ndarray  # (n, dim) bool: the component lies above the mean's
    factors: np.ndarray  # (n, 3) float32


def read_one_bit_codes(data: bytes, n: int, dim: int, metric: int) -> OneBitCodes:
    r = Bytes(data)
    if r.take(4) != b"HB1C" or r.u32() != 1:
        raise Refused("not a code file of version 1")
    if (r.u32(), r.u8(), r.take(3), r.u64()) != (dim, metric, bytes(3), n):
        raise Refused("code file of another shape")
    centred_on = r.u64()
    stamp = (r.u64(), r.u64(), r.u32())
    words = (dim + 63) // 64
    if r.u32() != 8 * words + 16:
        raise Refused("row size")
    center = r.f32s(dim)
    if r.remaining() != n * (8 * words + 16):
        raise Refused("code file length")
    rows = np.frombuffer(r.take(r.remaining()), dtype=np.uint8).reshape(n, 8 * words + 16)
    bits = np.unpackbits(rows[:, : 8 * words], axis=1, bitorder="little")
    if bits[:, dim:].any() or rows[:, -4:].any():
        raise Refused("bits past the dimension or padding set")
    factors = np.ascontiguousarray(rows[:, 8 * words : 8 * words + 12]).view("<f4").astype(np.float32)
    return OneBitCodes(stamp, centred_on, center, bits[:, :dim].astype(bool), factors)


@dataclass
class Seal:
    version: int
    graph: tuple[int, int]
    vectors: tuple[int, int]
    sq8: tuple[int, int] | None
    log_prefix: tuple[int, int] | None
    text: tuple[int, int] | None = None
    generation: int = 0


def read_seal(data: bytes) -> Seal:
    r = Bytes(data)
    if r.take(4) != b"SEAL":
        raise Refused("bad seal magic")
    version = r.u32()
    if version not in (1, 2, 4, 5):
        raise Refused("unknown seal version")
    graph = (r.u64(), r.u32())
    vectors = (r.u64(), r.u32())
    has_sq8, sq8 = r.u8(), (r.u64(), r.u32())
    if version in (4, 5):
        has_text, text = r.u8(), (r.u64(), r.u32())
        generation = r.u64()
        # Version 5: the prefix of the previous generation's log the files hold.
        prefix = (r.u64(), r.u32()) if version == 5 else None
        end = r.at
        if r.u32() != zlib.crc32(data[:end]) or generation == 0:
            raise Refused("seal checksum")
        sq8_part = sq8 if has_sq8 == 1 else None
        return Seal(version, graph, vectors, sq8_part, prefix, text if has_text == 1 else None, generation)
    log_known, prefix = r.u8(), (r.u64(), r.u32())
    if r.at != 58 or r.u32() != zlib.crc32(data[:58]):
        raise Refused("seal checksum")
    return Seal(version, graph, vectors, sq8 if has_sq8 == 1 else None, prefix if log_known == 1 else None)


def read_log_header(data: bytes) -> tuple[int, int]:
    """The log's checkpoint generation and where its frames begin: (0, 0)
    for a log without a header."""
    if not data.startswith(b"HWAL"):
        return 0, 0
    r = Bytes(data)
    r.take(4)
    if r.u32() != 1:
        raise Refused("unknown log version")
    generation = r.u64()
    if r.u32() != zlib.crc32(data[:16]):
        raise Refused("log header checksum")
    return generation, 20


@dataclass
class LogRecord:
    kind: int  # 1 insert, 2 delete, 3 update
    id: str
    vector: np.ndarray | None = None
    metadata: bytes | None = None  # the text; None: absent (update) or none (insert)
    has_metadata: bool = False


@dataclass
class Log:
    records: list[LogRecord] = field(default_factory=list)
    kinds: list[int] = field(default_factory=list)  # every intact frame's kind, in order
    intact_end: int = 0
    skipped: int = 0


def decode_payload(kind: int, payload: bytes) -> LogRecord:
    r = Bytes(payload)
    ident = strict_utf8(r.string())
    if kind == 1:
        vector = r.f32s(r.u32())
        text = r.string()
        if text:
            json.loads(text.decode("utf-8"))  # must read, or the frame is skipped
        return LogRecord(1, ident, vector, text or None, True)
    if kind == 2:
        return LogRecord(2, ident)
    if kind == 3:
        record = LogRecord(3, ident)
        if r.u8() == 1:
            record.vector = r.f32s(r.u32())
        if r.u8() == 1:
            record.has_metadata = True
            text = r.string()
            if text:
                json.loads(text.decode("utf-8"))
            record.metadata = text or None
        return record
    raise Refused("unknown kind")


def read_log(data: bytes) -> Log:
    log = Log()
    r = Bytes(data)
    batch: list[LogRecord] | None = None
    promised = frames_in_batch = 0
    while r.remaining() > 0:
        try:
            kind, length = r.u8(), r.u32()
            payload = r.take(length)
            crc = r.u32()
        except Refused:
            break  # torn tail
        if crc != zlib.crc32(payload, zlib.crc32(bytes([kind]))):
            break
        log.kinds.append(kind)
        if kind in (4, 5):
            count = struct.unpack_from("<I", payload)[0] if len(payload) >= 4 else None
            if kind == 4:
                batch = [] if count is not None else None
                promised, frames_in_batch = count or 0, 0
                continue
            if batch is not None and count == promised == frames_in_batch:
                log.records.extend(batch)
                log.intact_end = r.at
            batch = None
            continue
        try:
            record: LogRecord | None = decode_payload(kind, payload)
        except (Refused, ValueError):
            record = None
            log.skipped += 1
        if batch is not None:
            frames_in_batch += 1
            if record is not None:
                batch.append(record)
            continue
        if record is not None:
            log.records.append(record)
        log.intact_end = r.at
    return log


@dataclass
class State:
    """What a reopen holds: id -> slot, and each slot's row and metadata text."""

    dim: int
    slots: dict[str, int]
    rows: list[np.ndarray]
    metadata: list[bytes | None]
    deleted: set[int]

    def replay(self, log: Log) -> None:
        for rec in log.records:
            slot = self.slots.get(rec.id)
            if rec.kind == 1:
                assert rec.vector is not None
                if len(rec.vector) != self.dim:
                    continue
                if slot is None:
                    self.slots[rec.id] = len(self.rows)
                    self.rows.append(rec.vector)
                    self.metadata.append(rec.metadata)
                else:
                    self.rows[slot], self.metadata[slot] = rec.vector, rec.metadata
            elif slot is None:
                continue
            elif rec.kind == 2:
                del self.slots[rec.id]
                self.deleted.add(slot)
                self.metadata[slot] = None
            else:
                if rec.vector is not None and len(rec.vector) == self.dim:
                    self.rows[slot] = rec.vector
                if rec.has_metadata:
                    self.metadata[slot] = rec.metadata


# ---------------------------------------------------------------------------
# The database on disk
# ---------------------------------------------------------------------------

DIM = 12
METADATA_VALUES: list[Any] = [
    {"lang": "en", "year": 2024, "score": 0.5},
    {"neg": -7, "big": 18446744073709551615, "small": -9223372036854775808},
    {"float_one": 1.0, "nested": {"b": [1, 2.5, None, True, False], "a": {}}, "empty": []},
    {"text": 'quote " backslash \\ newline \n tab \t bell \x07 é 😀'},
    {"zeta": 1, "alpha": 2, "Beta": 3, "ä": 4},
    None,
]


def vec(rng: np.random.Generator) -> np.ndarray:
    return rng.standard_normal(DIM).astype(np.float32)


@pytest.fixture
def saved_then_logged(tmp_path):
    """A quantized database saved with deleted slots, then changed by every
    kind of logged change, and closed without saving."""
    rng = np.random.default_rng(18)
    path = tmp_path / "db"
    db = Database(str(path), dim=DIM, metric="euclidean", m=6, ef_construction=40, quantize=True)
    ids = [f"doc-{i}" for i in range(60)]
    db.add_many(
        ids, rng.standard_normal((60, DIM)).astype(np.float32), [METADATA_VALUES[i % 6] for i in range(60)]
    )
    db.save()
    # Saved again: the changes follow the file written whole as a delta.
    for gone in ("doc-3", "doc-17", "doc-40"):
        db.delete(gone)
    db.update("doc-5", metadata={"moved": True})
    db.update("doc-9", vector=vec(rng))
    db.save()

    # Logged after the save: single inserts, an insert of an existing id,
    # updates of each part, deletes and two batches.
    db.add("new-α", vec(rng), {"k": "v"})
    db.add("new-bare", vec(rng))
    db.upsert("doc-0", vec(rng), {"replaced": 1})
    db.update("doc-1", vector=vec(rng))
    db.update("doc-2", metadata={"only": "metadata"})
    db.update("doc-4", vector=vec(rng), metadata={"both": [1, 2]})
    db.delete("doc-6")
    db.delete("new-bare")
    db.add_many([f"batch-{i}" for i in range(5)], rng.standard_normal((5, DIM)).astype(np.float32))
    db.upsert_many(["doc-7", "batch-9"], rng.standard_normal((2, DIM)).astype(np.float32), [{"up": 1}, None])
    db.add("after-batch", vec(rng), {"n": 3})
    db.close(save=False)  # the changes stay in the log
    return path


def test_independent_reader_decodes_what_the_database_returns(saved_then_logged):
    path = saved_then_logged
    graph_bytes = (path / "graph.hovra").read_bytes()
    vectors_bytes = (path / "vectors.bin").read_bytes()
    sq8_bytes = (path / "vectors.sq8").read_bytes()
    log_bytes = (path / "wal.hovra").read_bytes()

    # The checksum record covers the saved files, and names the prefix of the
    # previous generation's log that they hold (a header at least).
    seal = read_seal((path / "seal.hovra").read_bytes())
    assert seal.version == 5 and seal.log_prefix[0] >= 20 and seal.generation >= 1
    assert seal.graph == (len(graph_bytes), zlib.crc32(graph_bytes))
    assert seal.vectors == (len(vectors_bytes), zlib.crc32(vectors_bytes))  # no append left unfinished
    assert seal.sq8 == (len(sq8_bytes), zlib.crc32(sq8_bytes))
    assert (path / "lock.hovra").read_bytes() == b""

    graph = read_graph(graph_bytes)
    n = len(graph.nodes)
    look = _inspect(str(path))
    assert (graph.dim, graph.metric, graph.m, graph.ef_construction) == (DIM, 1, 6, 40)
    stored = look["database"]
    assert (stored["dim"], stored["metric"], stored["m"], stored["ef_construction"]) == (
        DIM,
        "euclidean",
        6,
        40,
    )
    assert (look["check"]["slots"], look["check"]["records"]) == (n, len(graph.records))
    assert n == 60 and graph.deleted == {3, 17, 40}
    layer0_cap, upper_cap = 2 * graph.m, graph.m
    assert all(
        len(lists[0]) <= layer0_cap and all(len(x) <= upper_cap for x in lists[1:]) for lists in graph.nodes
    )
    assert all(s not in lst for s, lists in enumerate(graph.nodes) for lst in lists)

    rows, norms = read_vectors(vectors_bytes, graph)
    np.testing.assert_allclose(norms, np.sqrt((rows.astype(np.float64) ** 2).sum(axis=1)), rtol=1e-5)

    # Every slot's codes decode within half a step of its row: none is listed
    # as one the codes misplace.
    book = read_sq8(sq8_bytes, n, graph.dim)
    assert book.exceptions == []
    low, high = rows.min(axis=0), rows.max(axis=0)
    assert np.array_equal(book.mins, low)
    assert np.array_equal(book.scales, np.where(high != low, (high - low) / np.float32(255), np.float32(1)))
    decoded = book.codes.astype(np.float32) * book.scales + book.mins
    assert np.all(np.abs(decoded - rows) <= book.scales / 2 * 1.0001 + 1e-6)

    # Metadata is compact JSON text.
    for ident, text in graph.records.values():
        if text:
            assert text.decode("utf-8") == compact_json(json.loads(text)), ident

    generation, frames_at = read_log_header(log_bytes)
    assert generation == seal.generation  # the log continues the saved files
    log = read_log(log_bytes[frames_at:])
    assert frames_at + log.intact_end == len(log_bytes) and log.skipped == 0
    assert set(log.kinds) == {1, 2, 3, 4, 5}
    assert log.kinds.count(4) == log.kinds.count(5) == 2
    assert look["check"]["log_records"] == len(log.records) and look["check"]["log_torn_bytes"] == 0

    state = State(
        graph.dim,
        {ident: slot for slot, (ident, _) in graph.records.items()},
        list(rows),
        [graph.records[s][1] or None if s in graph.records else None for s in range(n)],
        set(graph.deleted),
    )
    state.replay(log)

    db = Database(str(path))
    try:
        assert sorted(db.ids()) == sorted(state.slots)
        assert db.total_slots == len(state.rows)
        assert db.deleted_count == len(state.deleted)
        for ident, slot in state.slots.items():
            vector, metadata = db.get(ident)
            assert np.array_equal(np.asarray(vector, dtype=np.float32), state.rows[slot]), ident
            expected = metadata_of(state.metadata[slot] or b"")
            assert compact_json(metadata) == compact_json(expected), ident
        # Spot checks of what the log did.
        assert db.get("doc-2")[1] == {"only": "metadata"}
        assert db.get("doc-0")[1] == {"replaced": 1}
        assert "doc-6" not in db and "new-bare" not in db and "batch-9" in db
        # Numbers keep their kinds (a float 1.0 stays a float).
        kinds = db.get("doc-8")[1]
        assert kinds is not None and isinstance(kinds["float_one"], float) and kinds["nested"]["b"][1] == 2.5
    finally:
        db.close()


def test_independent_reader_decodes_graph_deltas(tmp_path):
    """Saves that append their changes to graph.hovra (a file past 64 KiB)
    read back, by the page alone, as the database's records, rows and
    deletions."""
    rng = np.random.default_rng(4)
    path = tmp_path / "deltas"
    db = Database(str(path), dim=8, metric="euclidean", m=6, ef_construction=40, autocheckpoint=False)
    ids = [f"d{i}" for i in range(1500)]
    db.add_many(
        ids, rng.standard_normal((1500, 8)).astype(np.float32), [METADATA_VALUES[i % 6] for i in range(1500)]
    )
    db.wait_indexed()
    db.save()
    sizes = [(path / "graph.hovra").stat().st_size]
    for round_ in range(2):
        db.add_many([f"n{round_}-{i}" for i in range(7)], rng.standard_normal((7, 8)).astype(np.float32))
        db.update_many(
            [f"d{i}" for i in range(round_, 40, 5)], vectors=rng.standard_normal((8, 8)).astype(np.float32)
        )
        db.update(f"d{100 + round_}", metadata={"round": round_, "é": [1.5, None]})
        db.delete_many([f"d{200 + round_}", f"n0-{round_}"])
        if round_ == 1:
            db.wait_indexed()
        db.save()
        sizes.append((path / "graph.hovra").stat().st_size)
    graph_bytes = (path / "graph.hovra").read_bytes()
    seal = read_seal((path / "seal.hovra").read_bytes())
    assert seal.graph == (len(graph_bytes), zlib.crc32(graph_bytes))
    (flags,) = struct.unpack_from("<I", graph_bytes, 37)
    assert flags & 12 == 12 and sizes[0] < sizes[1] < sizes[2]  # deltas appended
    assert graph_bytes.count(b"DLTA") >= 2
    graph = read_graph(graph_bytes)
    rows, norms = read_vectors((path / "vectors.bin").read_bytes(), graph)
    np.testing.assert_allclose(norms, np.sqrt((rows.astype(np.float64) ** 2).sum(axis=1)), rtol=1e-5)
    assert len(graph.nodes) == db.total_slots and len(graph.deleted) == db.deleted_count
    assert sorted(ident for ident, _ in graph.records.values()) == sorted(db.ids())
    for slot, (ident, text) in graph.records.items():
        vector, metadata = db.get(ident)
        assert np.array_equal(rows[slot], np.asarray(vector, dtype=np.float32)), ident
        assert compact_json(metadata_of(text)) == compact_json(metadata), ident
    assert db.get("d101")[1] == {"round": 1, "é": [1.5, None]}
    db.close()


def test_reader_refuses_what_the_engine_refuses(saved_then_logged):
    """Damage the page lists as refused is refused by both readers."""
    path = saved_then_logged
    # Without the checksum record (and the flag that says one was written)
    # the engine reads the damaged files.
    saved = (path / "graph.hovra").read_bytes()
    (flags,) = struct.unpack_from("<I", saved, 37)
    assert flags & 1  # bit 1 (rows not yet linked) may be set too
    good = saved[:37] + struct.pack("<I", flags & ~1) + saved[41:]
    (path / "seal.hovra").unlink()
    (path / "wal.hovra").unlink()

    def damaged(offset: int, value: bytes) -> bytes:
        return good[:offset] + value + good[offset + len(value) :]

    graph = read_graph(good)
    n = len(graph.nodes)
    cases = {
        "magic": damaged(0, b"XWSH"),
        "version": damaged(4, struct.pack("<I", 4)),
        "flags": damaged(37, struct.pack("<I", 16)),
        "metric": damaged(12, b"\x03"),
        "small m": damaged(13, struct.pack("<I", 1)),
        "entry point": damaged(21, struct.pack("<I", n)),
        "max level": damaged(25, struct.pack("<I", len(graph.nodes[graph.entry_point]))),
        "deleted slot": damaged(41, struct.pack("<I", n)),
        "truncated": good[: len(good) - 3],
        "record magic": good.replace(RECORD_MAGIC, b"ATEX"),
    }
    for name, data in cases.items():
        try:
            read_graph(data)
        except Refused:
            pass
        else:
            pytest.fail(f"the reader accepted a graph file with a damaged {name}")
        (path / "graph.hovra").write_bytes(data)
        try:
            Database(str(path)).close()
        except ValueError:
            pass
        else:
            pytest.fail(f"the engine opened a graph file with a damaged {name}")
    (path / "graph.hovra").write_bytes(good)
    vectors = (path / "vectors.bin").read_bytes()
    (path / "vectors.bin").write_bytes(vectors[:-4])
    with pytest.raises(Refused):
        read_vectors(vectors[:-4], graph)
    with pytest.raises(ValueError):
        Database(str(path))
    (path / "vectors.bin").write_bytes(vectors)
    db = Database(str(path))
    assert len(db) == len(graph.records)
    db.close()


def test_empty_database_files(tmp_path):
    """A new database writes the 60-byte graph file of the page at once."""
    path = tmp_path / "empty"
    Database(str(path), dim=3, metric="dot").close()
    data = (path / "graph.hovra").read_bytes()
    assert len(data) == 60
    graph = read_graph(data)
    assert (graph.dim, graph.metric, graph.entry_point, graph.max_level, graph.nodes) == (
        3,
        2,
        NO_ENTRY,
        0,
        [],
    )
    assert (path / "vectors.bin").read_bytes() == b""
    seal = read_seal((path / "seal.hovra").read_bytes())
    assert seal.graph == (60, zlib.crc32(data))
    # The creation's checkpoint starts the log of its generation: a header only.
    log = (path / "wal.hovra").read_bytes()
    assert len(log) == 20 and read_log_header(log) == (seal.generation, 20)


def test_one_bit_codes_file(tmp_path):
    """vectors.b1 as the page writes it: codes of the saved rows about their
    mean, naming the saved state; written only while one-bit search is on."""
    rng = np.random.default_rng(5)
    rows = (rng.standard_normal((300, 70)) + 0.5).astype(np.float32)
    path = tmp_path / "codes"
    db = Database(str(path), dim=70, metric="euclidean", quantize="binary")
    db.add_many([str(i) for i in range(300)], rows)
    db.close()
    graph_bytes = (path / "graph.hovra").read_bytes()
    seal = read_seal((path / "seal.hovra").read_bytes())
    codes = read_one_bit_codes((path / "vectors.b1").read_bytes(), 300, 70, 1)
    assert codes.stamp == (seal.generation, len(graph_bytes), zlib.crc32(graph_bytes))
    # Begun on an empty database, the codes were written about every row's mean.
    assert codes.centred_on == 300
    assert np.allclose(codes.center, rows.astype(np.float64).mean(axis=0), atol=1e-6)
    r = rows.astype(np.float64) - codes.center.astype(np.float64)
    assert (codes.signs == (r > 0)).all()
    l1, l2 = np.abs(r).sum(axis=1), (r * r).sum(axis=1)
    expected = np.stack([l2 / l1, l2, 1 / np.linalg.norm(rows.astype(np.float64), axis=1)], axis=1)
    assert np.allclose(codes.factors, expected, rtol=1e-5)
    # A save without one-bit search removes the file.
    plain = Database(str(path))
    plain.add("one more", rows[0])
    plain.close()
    assert not (path / "vectors.b1").exists()
