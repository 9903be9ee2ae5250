"""Time evolution exp(-i t H) psi at one time or along a grid of times, with expectation
values of observables instead of states on request."""

from __future__ import annotations

from collections.abc import Callable, Iterable, Sequence
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments, _core
from ._distributed import Session
from ._pauli_sum import PauliSum
from ._progress import Progress

METHODS = ("auto", "chebyshev", "taylor", "krylov")


def _operator(H: Any) -> PauliSum:
    if not isinstance(H, PauliSum):
        raise TypeError(f"H must be a PauliSum, got {type(H).__name__}")
    return H


def _method(H: PauliSum, method: Any) -> str:
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    if method == "auto":
        return "chebyshev" if H._hermitian_but_identity else "taylor"
    if method != "taylor" and not H._hermitian_but_identity:
        raise ValueError(f"method {method!r} needs a Hermitian H (real coefficients on every non-identity "
                         "string once simplified); use method='taylor' or 'auto' for a non-Hermitian H")
    return method


def _times(t: Any) -> tuple[NDArray[np.float64], bool]:
    """The times as a float array, and whether t was a single time."""
    message = f"t must be a real number or a one-dimensional sequence of real numbers, got {t!r}"
    try:
        array = np.asarray(t)
    except (TypeError, ValueError):
        raise TypeError(message) from None
    if array.dtype.kind not in "iuf":
        raise TypeError(message)
    if array.ndim > 1:
        raise ValueError(f"t must be a number or a one-dimensional sequence of times, got shape {array.shape}")
    times = array.astype(np.float64).reshape(-1)
    if not np.isfinite(times).all():
        raise ValueError(f"every time must be finite, got {t!r}")
    return times, array.ndim == 0


def _observables(observables: Any, num_qubits: int) -> list[PauliSum]:
    if isinstance(observables, PauliSum):
        observables = [observables]
    elif isinstance(observables, (str, bytes)) or not isinstance(observables, Iterable):
        raise TypeError(f"observables must be a PauliSum or a sequence of them, got {observables!r}")
    checked = list(observables)
    for k, o in enumerate(checked):
        if not isinstance(o, PauliSum):
            raise TypeError(f"observables[{k}] must be a PauliSum, got {type(o).__name__}")
        if o.num_qubits != num_qubits:
            raise ValueError(f"observables[{k}] acts on {o.num_qubits} qubits, but H on {num_qubits}")
    return checked


Times = float | Sequence[float] | ArrayLike


@overload
def evolve(H: PauliSum, psi: ArrayLike, t: Times, *, method: str = ..., rtol: float = ...,
           threads: int | None = ..., observables: None = ..., progress: bool = ...,
           comm: Any = ...) -> NDArray[np.complex128]: ...


@overload
def evolve(H: PauliSum, psi: ArrayLike, t: Times, *, method: str = ..., rtol: float = ...,
           threads: int | None = ..., observables: PauliSum | Sequence[PauliSum],
           progress: bool = ..., comm: Any = ...) -> NDArray[Any] | float | complex: ...


def evolve(H: PauliSum, psi: ArrayLike, t: Times, *, method: str = "auto", rtol: float = 1e-8,
           threads: int | None = None, observables: PauliSum | Sequence[PauliSum] | None = None,
           progress: bool = False, comm: Any = None) -> NDArray[Any] | float | complex:
    """exp(-i t H) psi.

    ``t`` a number: the state at time t, an array of 2**n amplitudes. ``t`` a sequence of
    times: a (len(t), 2**n) array whose row k is the state at t[k]. The grid is walked
    in one pass in the order given, each time evolved from the previous one, so times
    may be unsorted, negative or repeated (a repeated time costs nothing).

    ``observables``: a sequence of PauliSums gives their expectation values
    <psi(t)|O|psi(t)> (not normalised) instead of states, of shape (len(observables),)
    for a single time and (len(t), len(observables)) for a grid; a single PauliSum drops
    that axis (a scalar, or shape (len(t),)). No state is kept per time. The values are
    floats when every observable is Hermitian, complex otherwise.

    ``method``: "chebyshev" (a Chebyshev series on an estimated spectral interval),
    "taylor" (a truncated Taylor series, any complex coefficients), "krylov" (Lanczos,
    five state vectors of memory), or "auto": chebyshev when H is Hermitian apart from
    its identity term, taylor otherwise. ``rtol``: the relative accuracy asked of each
    step. ``threads``: None uses every CPU this process may run on. ``progress``: show a
    progress bar over the time points on standard error.

    psi (any array-like of 2**n amplitudes) is never modified, and not copied when it is
    already a contiguous complex128 array. The solvers run without the interpreter lock
    and stop with KeyboardInterrupt on Ctrl-C.

    ``comm``: an mpi4py communicator of P = 2**p processes sharing the state. Each passes
    its slice of psi (see basis_state) and gets its slice of every state back, with
    expectation values over the whole state on every process; the result gathered in
    rank order is the single-process one, bit for bit for "taylor" and "chebyshev".
    """

    def prepare() -> tuple[Any, ...]:
        op = _operator(H)
        return (op, _method(op, method), _arguments.state(psi, op.num_qubits, comm=comm),
                _arguments.real("rtol", rtol, positive=True), _arguments.threads(threads), *_times(t),
                None if observables is None else _observables(observables, op.num_qubits), op._hamiltonian())

    def same(checked: tuple[Any, ...]) -> dict[str, Any]:
        op, solver, _, tolerance, _, times, single, measured, _ = checked
        return {"H": op, "method": solver, "t": (times, single), "rtol": tolerance, "observables": measured,
                "observables as one PauliSum": isinstance(observables, PauliSum)}

    if comm is None:
        return _evolve(prepare(), isinstance(observables, PauliSum), progress, None)
    with Session(comm) as session:
        return _evolve(session.agreed(prepare, same), isinstance(observables, PauliSum),
                       progress and comm.Get_rank() == 0, session)


def _evolve(checked: tuple[Any, ...], bare: bool, progress: bool,
            session: Session | None) -> NDArray[Any] | float | complex:
    H, solver, state, rtol, count, times, single, measured, ham = checked

    if measured is None:
        if single:
            with Progress(1, progress) as bar:
                out, _ = _core.solve(solver, ham, state, float(times[0]), rtol, count, session)
                bar.advance()
            return out
        rows = np.empty((times.size, state.size), dtype=np.complex128)

        def keep(k: int, current: _core.State) -> None:
            rows[k] = current

        _walk(ham, state, times, solver, rtol, count, progress, keep, session)
        return rows

    hermitian = all(o.is_hermitian for o in measured)
    compiled = [o._hamiltonian() for o in measured]
    values = np.empty((times.size, len(measured)), dtype=np.float64 if hermitian else np.complex128)

    def measure(k: int, current: _core.State) -> None:
        for j, o in enumerate(compiled):
            value = _core.expectation(o, current, count, session)
            values[k, j] = value.real if hermitian else value

    _walk(ham, state, times, solver, rtol, count, progress, measure, session)
    if bare:
        values = values[:, 0]
    return values[0] if single else values


def _walk(ham: _core.Hamiltonian, state: _core.State, times: NDArray[np.float64], method: str, rtol: float,
          threads: int, progress: bool, visit: Callable[[int, _core.State], None], session: Session | None) -> None:
    """Calls visit(k, state at times[k]) for each k in order, each state evolved from the
    previous one, so that only the current state is held (the times are read one at a
    time, never copied into a list)."""
    current, now = state, 0.0
    with Progress(times.size, progress) as bar:
        for k in range(times.size):
            t = float(times[k])
            if t != now:
                current, _ = _core.solve(method, ham, current, t - now, rtol, threads, session)
                now = t
            visit(k, current)
            bar.advance()


def evolve_with_info(H: PauliSum, psi: ArrayLike, t: float, *, method: str = "auto", rtol: float = 1e-8,
                     threads: int | None = None, comm: Any = None) -> tuple[NDArray[np.complex128], dict[str, Any]]:
    """exp(-i t H) psi at a single time t, and what the solver chose and did: a dict with
    ``method``, ``applications`` (of H to a vector), ``degree`` and ``substeps``, and for
    chebyshev also ``estimation_steps``, ``ritz_min``, ``ritz_max``, ``interval`` (the
    spectral interval used, lo and hi) and ``widened``; with ``comm`` (as for evolve) also
    ``bytes_sent`` and ``bytes_per_application`` of this process's exchanges."""

    def prepare() -> tuple[Any, ...]:
        op = _operator(H)
        times, single = _times(t)
        if not single:
            raise TypeError("evolve_with_info takes a single time; use evolve for a sequence of times")
        return (op, _method(op, method), _arguments.state(psi, op.num_qubits, comm=comm),
                float(times[0]), _arguments.real("rtol", rtol, positive=True), _arguments.threads(threads))

    if comm is None:
        op, solver, state, time, rtol, count = prepare()
        return _core.solve(solver, op._hamiltonian(), state, time, rtol, count)
    with Session(comm) as session:
        op, solver, state, time, rtol, count = session.agreed(
            prepare, lambda c: {"H": c[0], "method": c[1], "t": c[3], "rtol": c[4]})
        return _core.solve(solver, op._hamiltonian(), state, time, rtol, count, session)
