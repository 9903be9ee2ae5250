"""A progress bar over the time points of an evolution: tqdm's when it is installed,
otherwise a one-line bar redrawn in place on standard error."""

from __future__ import annotations

import sys
from types import TracebackType
from typing import Any

_WIDTH = 30


class Progress:
    def __init__(self, total: int, enabled: bool) -> None:
        self._total = total
        self._done = 0
        self._enabled = bool(enabled)
        self._tqdm: Any = None
        if not self._enabled:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError:
            self._draw()
        else:
            self._tqdm = tqdm(total=total, unit="time")

    def advance(self) -> None:
        self._done += 1
        if self._tqdm is not None:
            self._tqdm.update(1)
        elif self._enabled:
            self._draw()

    def _draw(self) -> None:
        filled = _WIDTH * self._done // self._total if self._total else _WIDTH
        sys.stderr.write(f"\r[{'#' * filled}{' ' * (_WIDTH - filled)}] {self._done}/{self._total}")
        sys.stderr.flush()

    def __enter__(self) -> Progress:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        # Closed on every way out, Ctrl-C included, so the terminal line is left finished.
        if self._tqdm is not None:
            self._tqdm.close()
        elif self._enabled:
            sys.stderr.write("\n")
            sys.stderr.flush()
