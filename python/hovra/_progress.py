"""Progress display for long operations.

A long operation goes through named phases ("logging", "linking", ...), each
counting something ("records", "queries", "bytes") up to a total (0 when the
total is not known beforehand). `ProgressDisplay` shows them on standard
error: one tqdm bar per phase when tqdm is installed (the `hovra[progress]`
extra), otherwise a plain line when a phase begins, every few seconds while
it runs and when it ends, such as::

    hovra add_many: linking 25000/100000 records (25%)

The `_hovra` module drives it for the methods called with
``show_progress=True``; the command-line tool drives it for export and
import.
"""

from __future__ import annotations

import importlib
import sys
import time
from typing import Any, Optional, TextIO

# Seconds between two plain lines of one phase.
PLAIN_INTERVAL = 2.0


def _tqdm_class() -> Any:
    """tqdm's bar class (an optional dependency, typed as Any), or None."""
    try:
        return importlib.import_module("tqdm").tqdm
    except ImportError:
        return None


class ProgressDisplay:
    """Shows the progress of one operation on standard error.

    Args:
        operation: What runs, shown before each phase ("add_many", "export").
        stream: Where to write; standard error (as it is at each write) when
            None.
        use_tqdm: None picks tqdm when it can be imported; False forces the
            plain lines.
    """

    def __init__(
        self, operation: str, stream: Optional[TextIO] = None, use_tqdm: Optional[bool] = None
    ) -> None:
        self.operation = operation
        self._stream = stream
        self._tqdm = _tqdm_class() if use_tqdm is not False else None
        self._phase: Optional[str] = None
        self._unit = ""
        self._done = 0
        self._total = 0
        self._bar: Any = None
        self._last_line = 0.0
        self._last_text = ""

    def _out(self) -> Optional[TextIO]:
        return self._stream if self._stream is not None else sys.stderr

    def update(self, phase: str, unit: str, done: int, total: int) -> None:
        """Reports that `done` of `total` units of `phase` are finished.

        A new phase name ends the phase before it. `total` 0 means unknown.
        """
        if total and done > total:
            done = total
        if phase != self._phase:
            # A phase ends only by finishing: show it complete.
            if self._phase is not None and self._total:
                self.update(self._phase, self._unit, self._total, self._total)
            self._end_phase()
            self._phase, self._unit, self._done, self._total = phase, unit, done, total
            self._begin_phase()
            return
        done = max(done, self._done)
        if self._bar is not None:
            if total != self._total:
                self._bar.total = total or None
            self._bar.update(done - self._done)
        self._done, self._total = done, total
        if self._bar is None and time.monotonic() - self._last_line >= PLAIN_INTERVAL:
            self._line()

    def close(self) -> None:
        """Ends the current phase (its bar, or its final line)."""
        self._end_phase()
        self._phase, self._done, self._total = None, 0, 0

    def _begin_phase(self) -> None:
        out = self._out()
        if self._tqdm is not None and out is not None:
            self._bar = self._tqdm(
                total=self._total or None,
                initial=self._done,
                desc=f"{self.operation}: {self._phase}",
                unit=" " + self._unit if self._unit != "bytes" else "B",
                unit_scale=self._unit == "bytes",
                file=out,
                leave=True,
            )
            return
        self._line()

    def _end_phase(self) -> None:
        if self._phase is None:
            return
        if self._bar is not None:
            self._bar.close()
            self._bar = None
        else:
            self._line()

    def _line(self) -> None:
        out = self._out()
        self._last_line = time.monotonic()
        if out is None:
            return
        text = f"hovra {self.operation}: {self._phase} {self._done}"
        if self._total:
            text += f"/{self._total} {self._unit} ({100 * self._done // self._total}%)"
        else:
            text += f" {self._unit}"
        if text != self._last_text:
            out.write(text + "\n")
            out.flush()
            self._last_text = text
