"""A progress bar over the time points of an evolution: tqdm's when it is installed,
otherwise a one-line bar redrawn in place on standard error."""

from __future__ import annotations

import sys
from collections.abc import Callable
from types import TracebackType
from typing import Any

_WIDTH = 30


class Progress:
    """``total`` steps of ``unit``; a bar over one solve learns its total (the
    applications of H the solver plans) from the solver's first report."""

    def __init__(self, total: int, enabled: bool, unit: str = "time") -> None:
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
            self._tqdm = tqdm(total=total, unit=unit)

    def advance(self) -> None:
        self._move_to(self._done + 1, self._total)

    def _move_to(self, done: int, total: int) -> None:
        self._done, self._total = done, total
        if self._tqdm is not None:
            self._tqdm.total = total
            self._tqdm.n = done
            self._tqdm.refresh()
        elif self._enabled:
            self._draw()

    def solve_reporter(self, method: str) -> Callable[[int, int, int], None] | None:
        """What a solve calls a few times a second with (applications made, degree,
        substeps): the bar then shows the applications made out of those planned (an
        upper bound for the Taylor series, which may stop each substep early)."""
        if not self._enabled:
            return None

        def report(applications: int, degree: int, substeps: int) -> None:
            planned = {"taylor": degree * substeps, "krylov": (2 * degree - 1) * substeps}.get(method, degree)
            if planned > 0:
                self._move_to(min(applications, planned), planned)

        return report

    def finish(self) -> None:
        self._move_to(self._total, self._total)

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
