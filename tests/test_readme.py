"""The README's quickstart runs as pasted, and again in the same directory."""

import re
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent


def quickstart():
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("## Quickstart", 1)[1]
    return re.search(r"```python\n(.*?)```", section, re.S).group(1)


def test_quickstart_runs_twice(tmp_path):
    code = quickstart()
    outputs = []
    for _ in range(2):
        out = subprocess.run(
            [sys.executable, "-c", code], cwd=tmp_path, capture_output=True, text=True, timeout=300
        )
        assert out.returncode == 0, out.stderr
        outputs.append(out.stdout)
    assert outputs[0] == outputs[1]
    assert outputs[0].splitlines()[-1] == "Database(path='my-db', dim=384, metric='cosine', count=1001)"
    assert outputs[0].splitlines()[0].startswith("doc-1 0.0 {'lang': 'de', 'year': 2001}")
