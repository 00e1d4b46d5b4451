"""One source for defaults: the engine's defaults and thresholds, exported
as _hovra.DEFAULTS, are what the engine does, what the stubs and the
package's wrappers declare, and what the docstrings and the README say."""

from __future__ import annotations

import ast
import re
from pathlib import Path
from typing import Any

import numpy as np
import pytest
from _hovra import DEFAULTS, Database, _inspect

ROOT = Path(__file__).resolve().parent.parent
# Files that declare parameters the engine gives defaults to (the stubs cannot
# read the engine, the Ray wrapper repeats the signatures).
DECLARING = [
    ROOT / "python" / "_hovra-stubs" / "__init__.pyi",
    ROOT / "python" / "hovra" / "ray" / "_retrieval.py",
]
PARAMETERS = ("k", "m", "ef_construction", "metric")


def declared_defaults(path: Path) -> list[tuple[str, str, Any]]:
    """(function, parameter, default) for every literal default of the
    PARAMETERS in the file's function definitions (None defaults skipped)."""
    found = []
    for node in ast.walk(ast.parse(path.read_text(encoding="utf-8"))):
        if not isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            continue
        args = node.args
        positional = args.posonlyargs + args.args
        pairs = list(zip(positional[len(positional) - len(args.defaults) :], args.defaults))
        pairs += [(a, d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None]
        for arg, default in pairs:
            if arg.arg in PARAMETERS and isinstance(default, ast.Constant) and default.value is not None:
                found.append((node.name, arg.arg, default.value))
    return found


def test_the_mapping_is_complete_and_read_only():
    assert dict(DEFAULTS) == {
        "m": DEFAULTS["m"],
        "ef_construction": DEFAULTS["ef_construction"],
        "metric": "cosine",
        "k": DEFAULTS["k"],
        "ef_search_floor": DEFAULTS["ef_search_floor"],
        "ef_search_sqrt_factor": DEFAULTS["ef_search_sqrt_factor"],
        "exact_scan_components": DEFAULTS["exact_scan_components"],
        "parallel_batch_above": DEFAULTS["parallel_batch_above"],
        "fresh_scan_components": DEFAULTS["fresh_scan_components"],
        "checkpoint_bytes": DEFAULTS["checkpoint_bytes"],
        "checkpoint_records": DEFAULTS["checkpoint_records"],
    }
    assert all(
        isinstance(v, int) and v > 0
        for k, v in DEFAULTS.items()
        if k not in ("metric", "ef_search_sqrt_factor")
    )
    with pytest.raises(TypeError):
        DEFAULTS["k"] = 5  # type: ignore[index]


@pytest.mark.parametrize("path", DECLARING, ids=lambda p: p.name)
def test_declared_defaults_are_the_engines(path):
    found = declared_defaults(path)
    assert any(name == "k" for _, name, _ in found), "no default of k found: the parser is out of date"
    wrong = [(f, name, value) for f, name, value in found if value != DEFAULTS[name]]
    assert not wrong, f"{path.name} declares defaults the engine does not use: {wrong}"


def numbers(text: str) -> int:
    return int(text.replace(",", ""))


def test_docstrings_and_readme_quote_the_defaults():
    doc = Database.__doc__ or ""
    search = Database.search.__doc__ or ""
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    assert int(re.search(r"m: .*?\(default (\d+)", doc, re.S).group(1)) == DEFAULTS["m"]
    assert (
        int(re.search(r"ef_construction: .*?\(default (\d+)\)", doc, re.S).group(1))
        == DEFAULTS["ef_construction"]
    )
    assert re.search(r'metric: "(\w+)" \(the default', doc).group(1) == DEFAULTS["metric"]
    assert (
        int(re.search(r"k: The most results to return \(default (\d+)\)", search).group(1)) == DEFAULTS["k"]
    )
    floor, factor = re.search(r"default max\((\d+), k \+\s+(\d+)\*sqrt\(k\)\)", search).groups()
    assert (int(floor), float(factor)) == (DEFAULTS["ef_search_floor"], DEFAULTS["ef_search_sqrt_factor"])
    floor, factor = re.search(r"default\s+`max\((\d+), k \+ (\d+)·√k\)`", readme).groups()
    assert (int(floor), float(factor)) == (DEFAULTS["ef_search_floor"], DEFAULTS["ef_search_sqrt_factor"])
    thresholds = re.findall(r"\b(\d{1,3}(?:,\d{3}){2,})\b", doc + (Database.stats.__doc__ or ""))
    assert thresholds and {numbers(t) for t in thresholds} == {DEFAULTS["exact_scan_components"]}
    exact = re.search(r"live records times the dimension stays below ([\d,]+)", readme).group(1)
    assert numbers(exact) == DEFAULTS["exact_scan_components"]


def test_the_engine_does_what_the_defaults_say(tmp_path):
    rng = np.random.default_rng(5)
    db = Database(tmp_path / "plain", dim=4)
    stored = _inspect(str(tmp_path / "plain"))["database"]
    assert (stored["m"], stored["ef_construction"], stored["metric"]) == (
        DEFAULTS["m"],
        DEFAULTS["ef_construction"],
        DEFAULTS["metric"],
    )
    db.add_many([str(i) for i in range(3 * DEFAULTS["k"])], rng.standard_normal((3 * DEFAULTS["k"], 4)))
    assert len(db.search([0.0, 0.0, 0.0, 1.0])) == DEFAULTS["k"]
    db.close()

    # The exact-scan threshold: live records x dimension below it scans.
    dim = 50_000
    n = DEFAULTS["exact_scan_components"] // dim
    assert n * dim == DEFAULTS["exact_scan_components"]
    big = Database(tmp_path / "big", dim=dim, m=4, ef_construction=8)
    big.add_many([str(i) for i in range(n)], rng.standard_normal((n, dim), dtype=np.float32))
    assert big.stats()["uses_brute_force"] is False
    big.delete("0")
    assert big.stats()["uses_brute_force"] is True
    big.close()
