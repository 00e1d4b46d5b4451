"""The `hovra` command-line tool (also `python -m hovra`).

    hovra info PATH          parameters, record counts, file sizes, graph statistics
    hovra verify PATH        checksums, record table, graph reachability, log
    hovra export PATH OUT    ids, vectors and metadata to OUT.npz + OUT.jsonl,
                             or to OUT.parquet (needs pyarrow)
    hovra import PATH IN     the records of an export into a database,
                             which is created when missing

`info`, `verify` and `export` only read: they load a directory as
`Database(path, read_only=True)` does, through the same engine function,
take no lock and change no file, so they also work beside a program that
has the database open for writing. They see the last saved files with the
log's committed records applied in memory, as a reader does.

Exit status: 0 on success, 1 when verify finds damage or a command fails,
2 for a usage error, 130 when interrupted (Ctrl-C).
"""

from __future__ import annotations

import argparse
import importlib
import json
import sys
from collections.abc import Iterator, Sequence
from pathlib import Path
from typing import Any, Optional

import _hovra
import numpy as np
import numpy.typing as npt

from . import __version__
from ._progress import ProgressDisplay

# Records read or written per step by export and import.
DEFAULT_BATCH = 10_000
# The key under which a Parquet export keeps the database's parameters.
PARQUET_KEY = b"hovra"


class CommandError(Exception):
    """A failure the tool reports in one line, with exit status 1."""


def _say(text: str = "") -> None:
    print(text, flush=True)


def _size(n: int) -> str:
    value = float(n)
    for unit in ("bytes", "KiB", "MiB", "GiB"):
        if value < 1024 or unit == "GiB":
            return f"{n} bytes" if unit == "bytes" else f"{value:.1f} {unit} ({n} bytes)"
        value /= 1024
    return f"{n} bytes"


def _inspect(path: str, snapshot: bool = False) -> dict[str, Any]:
    try:
        return _hovra._inspect(path, snapshot=snapshot)
    except ValueError as e:
        raise CommandError(str(e)) from None


# --------------------------------------------------------------------- info


def _info_lines(report: dict[str, Any]) -> list[str]:
    lines = [f"database         {report['path']}"]
    db = report["database"]
    if db is None:
        lines.append(f"cannot load      {report['load_error']}")
    else:
        lines += [
            f"dimension        {db['dim']}",
            f"metric           {db['metric']}",
            f"m                {db['m']}",
            f"ef_construction  {db['ef_construction']}",
            f"quantize         {'yes (saves write vectors.sq8)' if db['quantize'] else 'no'}",
            f"records          {db['count']} live, {db['deleted_count']} deleted, {db['total_slots']} slots",
        ]
        text = db.get("text_index")
        if text is not None:
            analysis = (
                text["language"]
                + (", stemmed" if text["stemmer"] else "")
                + (", stop words" if text["stopwords"] else "")
            )
            building = ", being built" if text["building"] else ""
            lines.append(
                f"text index       field '{text['field']}' ({analysis}; k1 {text['k1']:g}, b {text['b']:g}): "
                f"{text['documents']} documents, {text['terms']} terms{building}"
            )
        if db.get("sparse_vectors"):
            lines.append(f"sparse vectors   {db['sparse_vectors']}")
    check = report["check"]
    if check["log_bytes"]:
        lines.append(f"log              {check['log_records']} records to replay at the next open")
    lines.append("files")
    for name, size in report["files"].items():
        lines.append(f"  {name:<15}{_size(size)}")
    if db is not None:
        lines.append("stats")
        for key, value in db["stats"].items():
            shown = f"{value:.2f}" if isinstance(value, float) else str(value)
            lines.append(f"  {key:<23}{shown}")
    return lines


def cmd_info(args: argparse.Namespace) -> int:
    report = _inspect(args.path)
    if args.json:
        _say(json.dumps(report, indent=2))
    else:
        for line in _info_lines(report):
            _say(line)
    return 0 if report["database"] is not None else 1


# ------------------------------------------------------------------- verify


def _verify_findings(report: dict[str, Any]) -> tuple[list[str], list[str], list[str]]:
    """(passed checks, warnings, failures) as lines of text."""
    check = report["check"]
    passed: list[str] = []
    warnings: list[str] = []
    failures: list[str] = []
    if check["problem"] is not None:
        failures.append(check["problem"])
    else:
        if check["checksums"]:
            passed.append("checksums: the saved files match seal.hovra")
        else:
            warnings.append(
                "checksums: no checksum record (a directory of layout 1, saved before seal.hovra was kept); "
                "structure checked only"
            )
        passed.append(f"graph and record table: {check['slots']} slots, {check['records']} live records")
        if check["unreachable"]:
            warnings.append(
                f"reachability: {check['unreachable']} of {check['records']} live records cannot be reached from "
                "the entry point; a graph search never returns them"
            )
        else:
            passed.append("reachability: every live record can be reached from the entry point")
        log = f"log: {check['log_records']} records readable"
        if check["log_skipped"]:
            failures.append(f"log: {check['log_skipped']} intact frames in wal.hovra do not decode")
        if check["log_uncommitted"]:
            warnings.append(f"log: {check['log_uncommitted']} records of a batch that never committed")
        if check["log_prepared"]:
            warnings.append(
                f"log: {check['log_prepared']} prepared transactions ({check['log_prepared_records']} records) "
                "wait for their commit or abort; their records stay invisible until then"
            )
        if check["log_torn_bytes"]:
            warnings.append(
                f"log: {check['log_torn_bytes']} bytes after the last intact record "
                "(a torn append; the next open drops them)"
            )
        passed.append(log)
    if report["load_error"] is not None and not failures:
        failures.append(f"cannot load: {report['load_error']}")
    return passed, warnings, failures


def cmd_verify(args: argparse.Namespace) -> int:
    report = _inspect(args.path)
    passed, warnings, failures = _verify_findings(report)
    failed = bool(failures) or (args.strict and bool(warnings))
    if args.json:
        _say(
            json.dumps(
                {
                    "ok": not failed,
                    "passed": passed,
                    "warnings": warnings,
                    "failures": failures,
                    "check": report["check"],
                },
                indent=2,
            )
        )
        return 1 if failed else 0
    _say(f"verifying {report['path']}")
    for line in passed:
        _say(f"  ok       {line}")
    for line in warnings:
        _say(f"  warning  {line}")
    for line in failures:
        _say(f"  FAILED   {line}")
    _say("FAILED" if failed else "ok")
    return 1 if failed else 0


# ------------------------------------------------------------------- export


def _export_paths(out: str, fmt: Optional[str]) -> tuple[str, Path, Path]:
    """The format and the files of an export or import argument."""
    path = Path(out)
    if fmt is None:
        fmt = "parquet" if path.suffix == ".parquet" else "npz"
    if fmt == "parquet":
        return fmt, path, path
    base = path.with_suffix("") if path.suffix in (".npz", ".jsonl") else path
    return fmt, base.with_name(base.name + ".npz"), base.with_name(base.name + ".jsonl")


def _pyarrow() -> tuple[Any, Any]:
    """pyarrow and pyarrow.parquet (an optional dependency, typed as Any)."""
    try:
        return importlib.import_module("pyarrow"), importlib.import_module("pyarrow.parquet")
    except ImportError:
        raise CommandError("Parquet needs pyarrow: python3 -m pip install pyarrow") from None


def _records(
    db: _hovra.Database, ids: list[str], batch: int, display: Optional[ProgressDisplay]
) -> Iterator[tuple[list[str], npt.NDArray[np.float32], list[Optional[str]]]]:
    """The records of ids in batches: ids, vectors and metadata as JSON text."""
    for start in range(0, len(ids), batch):
        chunk = ids[start : start + batch]
        vectors = np.empty((len(chunk), db.dim), dtype=np.float32)
        metadata: list[Optional[str]] = []
        for row, record_id in enumerate(chunk):
            vector, meta = db.get(record_id)
            vectors[row] = vector
            metadata.append(None if meta is None else json.dumps(meta, ensure_ascii=False))
        if display is not None:
            display.update("exporting", "records", start + len(chunk), len(ids))
        yield chunk, vectors, metadata


def cmd_export(args: argparse.Namespace) -> int:
    fmt, first, second = _export_paths(args.out, args.format)
    report = _inspect(args.path, snapshot=True)
    db = report["snapshot"]
    if db is None:
        raise CommandError(f"cannot load: {report['load_error']}")
    params = {key: report["database"][key] for key in ("dim", "metric", "m", "ef_construction")}
    ids = sorted(db.ids())
    display = None if args.quiet else ProgressDisplay("export")
    if display is not None:
        display.update("exporting", "records", 0, len(ids))
    try:
        if fmt == "parquet":
            _write_parquet(first, db, ids, params, args.batch_size, display)
            written = str(first)
        else:
            _write_npz(first, second, db, ids, params, args.batch_size, display)
            written = f"{first} and {second}"
    finally:
        if display is not None:
            display.close()
        db.close()
    _say(f"exported {len(ids)} records to {written}")
    return 0


def _write_npz(
    npz: Path,
    jsonl: Path,
    db: _hovra.Database,
    ids: list[str],
    params: dict[str, Any],
    batch: int,
    display: Optional[ProgressDisplay],
) -> None:
    vectors = np.empty((len(ids), db.dim), dtype=np.float32)
    with open(jsonl, "w", encoding="utf-8") as lines:
        at = 0
        for chunk, block, metadata in _records(db, ids, batch, display):
            vectors[at : at + len(chunk)] = block
            at += len(chunk)
            for record_id, meta in zip(chunk, metadata):
                lines.write(
                    '{"id": '
                    + json.dumps(record_id, ensure_ascii=False)
                    + ', "metadata": '
                    + (meta if meta is not None else "null")
                    + "}\n"
                )
    with open(npz, "wb") as f:
        np.savez(
            f,
            ids=np.array(ids, dtype=str),
            vectors=vectors,
            metric=np.array(params["metric"]),
            m=np.array(params["m"]),
            ef_construction=np.array(params["ef_construction"]),
        )


def _write_parquet(
    path: Path,
    db: _hovra.Database,
    ids: list[str],
    params: dict[str, Any],
    batch: int,
    display: Optional[ProgressDisplay],
) -> None:
    pa, pq = _pyarrow()
    schema = pa.schema(
        [("id", pa.string()), ("vector", pa.list_(pa.float32(), db.dim)), ("metadata", pa.string())],
        metadata={PARQUET_KEY: json.dumps(params).encode()},
    )
    with pq.ParquetWriter(str(path), schema) as writer:
        for chunk, block, metadata in _records(db, ids, batch, display):
            vector = pa.FixedSizeListArray.from_arrays(pa.array(block.reshape(-1), pa.float32()), db.dim)
            writer.write_table(
                pa.Table.from_arrays(
                    [pa.array(chunk, pa.string()), vector, pa.array(metadata, pa.string())], schema=schema
                )
            )
        if not ids:
            writer.write_table(schema.empty_table())


# ------------------------------------------------------------------- import


Batch = tuple[list[str], npt.NDArray[np.float32], list[Optional[dict[str, Any]]]]


def _metadata_of(text: Optional[str], where: str) -> Optional[dict[str, Any]]:
    if text is None:
        return None
    value = json.loads(text)
    if value is not None and not isinstance(value, dict):
        raise CommandError(f"{where}: metadata must be an object or null")
    return value


def _read_npz(npz: Path, jsonl: Path, batch: int) -> tuple[dict[str, Any], int, Iterator[Batch]]:
    for path in (npz, jsonl):
        if not path.exists():
            raise CommandError(f"{path} not found (an export writes a .npz file and a .jsonl file)")
    data = np.load(npz, allow_pickle=False)
    try:
        ids_array, vectors = data["ids"], data["vectors"]
    except KeyError as e:
        raise CommandError(f"{npz} lacks the array {e}") from None
    if vectors.ndim != 2 or len(ids_array) != len(vectors):
        raise CommandError(f"{npz}: 'vectors' must be an (n, dim) array with one row per id")
    params = {"dim": int(vectors.shape[1])}
    for key in ("metric", "m", "ef_construction"):
        if key in data.files:
            params[key] = data[key].item()

    def batches() -> Iterator[Batch]:
        with open(jsonl, encoding="utf-8") as lines:
            for start in range(0, len(ids_array), batch):
                ids = [str(i) for i in ids_array[start : start + batch]]
                metadata: list[Optional[dict[str, Any]]] = []
                for offset, record_id in enumerate(ids):
                    line_no = start + offset + 1
                    line = lines.readline()
                    if not line:
                        raise CommandError(
                            f"{jsonl} ends at line {line_no}; {npz} holds {len(ids_array)} records"
                        )
                    row = json.loads(line)
                    if not isinstance(row, dict) or row.get("id") != record_id:
                        raise CommandError(f"{jsonl}:{line_no}: expected the id {record_id!r} of {npz}")
                    meta = row.get("metadata")
                    if meta is not None and not isinstance(meta, dict):
                        raise CommandError(f"{jsonl}:{line_no}: metadata must be an object or null")
                    metadata.append(meta)
                yield ids, np.ascontiguousarray(vectors[start : start + batch], dtype=np.float32), metadata

    return params, len(ids_array), batches()


def _read_parquet(path: Path, batch: int) -> tuple[dict[str, Any], int, Iterator[Batch]]:
    _, pq = _pyarrow()
    if not path.exists():
        raise CommandError(f"{path} not found")
    f = pq.ParquetFile(str(path))
    stored = (f.schema_arrow.metadata or {}).get(PARQUET_KEY)
    params: dict[str, Any] = json.loads(stored) if stored else {}
    names = f.schema_arrow.names
    if "id" not in names or "vector" not in names:
        raise CommandError(f"{path} needs the columns 'id' and 'vector'")
    if "dim" not in params:
        vector_type = f.schema_arrow.field("vector").type
        params["dim"] = getattr(vector_type, "list_size", None)

    def batches() -> Iterator[Batch]:
        columns = [c for c in ("id", "vector", "metadata") if c in names]
        for record_batch in f.iter_batches(batch_size=batch, columns=columns):
            ids = [str(i) for i in record_batch.column("id").to_pylist()]
            flat = record_batch.column("vector").flatten().to_numpy(zero_copy_only=False)
            try:
                vectors = np.ascontiguousarray(flat, dtype=np.float32).reshape(len(ids), params["dim"])
            except ValueError:
                raise CommandError(f"{path}: every vector must hold {params['dim']} numbers") from None
            texts = (
                record_batch.column("metadata").to_pylist() if "metadata" in columns else [None] * len(ids)
            )
            yield ids, vectors, [_metadata_of(t, str(path)) for t in texts]

    return params, f.metadata.num_rows, batches()


def cmd_import(args: argparse.Namespace) -> int:
    fmt, first, second = _export_paths(args.input, args.format)
    if fmt == "parquet":
        params, total, batches = _read_parquet(first, args.batch_size)
    else:
        params, total, batches = _read_npz(first, second, args.batch_size)
    if params.get("dim") is None:
        raise CommandError(f"{first}: cannot tell the vectors' dimension")
    try:
        db = _hovra.Database(
            args.path,
            dim=params["dim"],
            metric=params.get("metric"),
            m=params.get("m"),
            ef_construction=params.get("ef_construction"),
        )
    except ValueError as e:
        raise CommandError(str(e)) from None
    display = None if args.quiet else ProgressDisplay("import")
    if display is not None:
        display.update("importing", "records", 0, total)
    done = 0
    try:
        for ids, vectors, metadata in batches:
            db.upsert_many(ids, vectors, metadata)
            done += len(ids)
            if display is not None:
                display.update("importing", "records", done, total)
        if display is not None:
            display.close()
        db.save()
    except KeyboardInterrupt:
        if display is not None:
            display.close()
        db.close(save=False)
        print(
            f"hovra import: interrupted after {done} records (they are in the log); running the same import "
            "again completes it",
            file=sys.stderr,
        )
        raise
    except ValueError as e:
        db.close()
        raise CommandError(f"after {done} records: {e}") from None
    db.close()
    _say(f"imported {done} records into {args.path}")
    return 0


# --------------------------------------------------------------------- main


# -------------------------------------------------------------------- repair


def cmd_repair(args: argparse.Namespace) -> int:
    """Keeps what can be kept of a log with damage in its middle."""
    if not args.yes:
        raise CommandError(
            "repair drops the damaged records of the log for good; run it again with --yes to go ahead"
        )
    try:
        report = _hovra._repair(args.path)
    except ValueError as e:
        raise CommandError(str(e)) from None
    if not report["log_damaged"]:
        _say(f"{args.path}: the log needs no repair; nothing was changed")
        return 0
    lost = report["damaged_spans"] + report["dropped_batch_records"]
    _say(
        f"{args.path}: log repaired: kept {report['kept_records']} records; dropped at least {lost} changes "
        f"({report['damaged_spans']} damaged stretch(es), {report['damaged_bytes']} bytes"
        + (
            f", and {report['dropped_batch_records']} records of batches that lost one"
            if report["dropped_batch_records"]
            else ""
        )
        + ")"
    )
    return 0


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="hovra",
        description="Look at, check, export and import hovra database directories.",
        epilog="info, verify and export take no lock and change nothing, so they also work beside a program that "
        "has the database open.",
    )
    parser.add_argument("--version", action="version", version=f"hovra {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    info = commands.add_parser("info", help="parameters, counts, file sizes and graph statistics")
    info.add_argument("path", metavar="PATH", help="the database directory")
    info.add_argument("--json", action="store_true", help="print the findings as JSON")
    info.set_defaults(run=cmd_info)

    verify = commands.add_parser(
        "verify", help="check checksums, record table, graph reachability and log (exit status 1 on damage)"
    )
    verify.add_argument("path", metavar="PATH", help="the database directory")
    verify.add_argument(
        "--strict",
        action="store_true",
        help="also fail on warnings (unreachable records, a torn or uncommitted log tail)",
    )
    verify.add_argument("--json", action="store_true", help="print the findings as JSON")
    verify.set_defaults(run=cmd_verify)

    export = commands.add_parser(
        "export", help="write ids, vectors and metadata to OUT.npz + OUT.jsonl, or OUT.parquet"
    )
    export.add_argument("path", metavar="PATH", help="the database directory")
    export.add_argument(
        "out", metavar="OUT", help="OUT.npz and OUT.jsonl are written, or OUT when it ends in .parquet"
    )
    export.add_argument("--format", choices=("npz", "parquet"), help="instead of guessing from OUT's suffix")
    export.add_argument(
        "--batch-size",
        type=_positive,
        default=DEFAULT_BATCH,
        metavar="N",
        help=f"records per step (default {DEFAULT_BATCH})",
    )
    export.add_argument("--quiet", action="store_true", help="no progress on standard error")
    export.set_defaults(run=cmd_export)

    imp = commands.add_parser(
        "import", help="upsert the records of an export into a database (created when missing), in batches"
    )
    imp.add_argument("path", metavar="PATH", help="the database directory")
    imp.add_argument("input", metavar="IN", help="IN.npz and IN.jsonl, or IN when it ends in .parquet")
    imp.add_argument("--format", choices=("npz", "parquet"), help="instead of guessing from IN's suffix")
    imp.add_argument(
        "--batch-size",
        type=_positive,
        default=DEFAULT_BATCH,
        metavar="N",
        help=f"records per batch (default {DEFAULT_BATCH})",
    )
    imp.add_argument("--quiet", action="store_true", help="no progress on standard error")
    imp.set_defaults(run=cmd_import)

    repair = commands.add_parser(
        "repair",
        help="keep what can be kept of a log damaged in its middle (which open refuses); needs --yes",
    )
    repair.add_argument("path", metavar="PATH", help="the database directory (not open anywhere)")
    repair.add_argument("--yes", action="store_true", help="drop the damaged records for good")
    repair.set_defaults(run=cmd_repair)
    return parser


def _positive(text: str) -> int:
    value = int(text)
    if value <= 0:
        raise argparse.ArgumentTypeError("must be a positive integer")
    return value


def main(argv: Optional[Sequence[str]] = None) -> int:
    """Runs the tool with argv (sys.argv[1:] when None); returns the exit status."""
    args = _parser().parse_args(argv)
    try:
        status: int = args.run(args)
        return status
    except CommandError as e:
        print(f"hovra {args.command}: {e}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print(f"hovra {args.command}: interrupted", file=sys.stderr)
        return 130
    except (OSError, json.JSONDecodeError) as e:
        print(f"hovra {args.command}: {e}", file=sys.stderr)
        return 1


if __name__ == "__main__":
    sys.exit(main())
