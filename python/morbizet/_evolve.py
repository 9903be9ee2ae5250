"""Time evolution exp(-i t H) psi at one time or along a grid of times, with expectation
values of observables instead of states on request."""

from __future__ import annotations

import math
from collections.abc import Callable, Iterable, Sequence
from typing import Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments, _core
from ._distributed import Session
from ._driven import DrivenWalk, TimeDependentSum, check_max_step
from ._pauli_sum import PauliSum
from ._progress import Progress
from ._sector import Sector, compiled

METHODS = ("auto", *_core.METHODS)


def _operator(H: Any) -> PauliSum:
    if not isinstance(H, PauliSum):
        raise TypeError(f"H must be a PauliSum, got {type(H).__name__}")
    return H


def _method(H: PauliSum, method: Any, path: float, rtol: float) -> tuple[str, PauliSum, float]:
    """The solver, the operator it runs on and the tolerance left to it. ``auto`` treats
    an H whose non-identity coefficients have imaginary parts too small to matter over
    the walk's path length (as conversions from other packages leave, 1e-17 say) as
    Hermitian: dropping iB from H = A + iB changes exp(-i t H) psi by at most
    t |B| e^(t |B|) |psi| (Duhamel), |B| <= sum |Im c|, which is then taken from rtol."""
    method = _method_name(method)
    if H._hermitian_but_identity:
        return ("chebyshev" if method == "auto" else method), H, rtol
    if method == "auto":
        identity = "I" * H.num_qubits
        skew = path * sum(abs(c.imag) for c, s in H.simplify().terms if s != identity)
        if skew <= 0.25 * rtol:  # rtol < 1, so e^skew stays near 1 and cannot overflow
            neglected = skew * math.exp(skew)
            if neglected <= 0.25 * rtol:
                return "chebyshev", H._hermitian_part(), rtol - neglected
        return "taylor", H, rtol
    if _core.METHODS[method]["needs_hermitian"]:
        raise ValueError(f"method {method!r} needs a Hermitian H (real coefficients on every non-identity "
                         "string once simplified); use method='taylor' or 'auto' for a non-Hermitian H")
    return method, H, rtol


def _method_name(method: Any) -> str:
    """method, checked to be one of METHODS (for a driven H each exponential's H(t) then
    decides what "auto" and the Hermitian-only methods run)."""
    if not isinstance(method, str) or method not in METHODS:
        raise ValueError(f"method must be one of {', '.join(map(repr, METHODS))}, got {method!r}")
    return method


def _path_length(times: NDArray[np.float64]) -> float:
    """The length of the walk 0 -> times[0] -> times[1] -> ..."""
    return float(np.abs(np.diff(times, prepend=0.0)).sum()) if times.size else 0.0


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


def measure(ops: Sequence[_core.Hamiltonian], state: _core.State, threads: int, session: Session | None, space: Any,
            real: bool, row: NDArray[Any]) -> None:
    """row[j] = <state|ops[j]|state>, its real part where every observable is Hermitian."""
    for j, o in enumerate(ops):
        value = _core.expectation(o, state, threads, session, space)
        row[j] = value.real if real else value


Times = float | Sequence[float] | ArrayLike
Callback = Callable[[float, NDArray[np.complex128]], Any]


class EvolutionInterrupted(KeyboardInterrupt):
    """Ctrl-C during a grid of times: a KeyboardInterrupt (``except KeyboardInterrupt``
    catches it) that keeps what was finished. ``completed`` times of the grid, the first
    ones in the order given, were done: ``times[:completed]``; ``states`` and ``values``
    hold the rows of what the call would have returned (None for what it does not
    return), rows from ``completed`` on unfilled (NaN)."""

    def __init__(self, completed: int, times: NDArray[np.float64], states: NDArray[np.complex128] | None,
                 values: NDArray[Any] | None) -> None:
        super().__init__(f"interrupted after {completed} of {times.size} times")
        self.completed = completed
        self.times = times
        self.states = states
        self.values = values


@overload
def evolve(H: PauliSum | TimeDependentSum, psi: ArrayLike, t: Times, *, method: str = ..., rtol: float = ...,
           threads: int | None = ..., observables: None = ..., callback: Callback | None = ...,
           return_states: bool = ..., progress: bool = ..., grid_memory: int | None = ...,
           sector: Sector | None = ..., comm: Any = ..., max_step: float | None = ...) -> NDArray[np.complex128]: ...


@overload
def evolve(H: PauliSum | TimeDependentSum, psi: ArrayLike, t: Times, *, method: str = ..., rtol: float = ...,
           threads: int | None = ..., observables: PauliSum | Sequence[PauliSum],
           callback: Callback | None = ..., return_states: bool = ..., progress: bool = ...,
           grid_memory: int | None = ..., sector: Sector | None = ..., comm: Any = ...,
           max_step: float | None = ...) -> Any: ...


def evolve(H: PauliSum | TimeDependentSum, psi: ArrayLike, t: Times, *, method: str = "auto", rtol: float = 1e-8,
           threads: int | None = None, observables: PauliSum | Sequence[PauliSum] | None = None,
           callback: Callback | None = None, return_states: bool = False, progress: bool = False,
           grid_memory: int | None = None, sector: Sector | None = None, comm: Any = None,
           max_step: float | None = None) -> Any:
    """exp(-i t H) psi.

    ``t`` a number: the state at time t, an array of 2**n amplitudes. ``t`` a sequence of
    times: a (len(t), 2**n) array whose row k is the state at t[k]. The grid is walked
    in one pass in the order given, so times may be unsorted, negative or repeated (a
    repeated time costs nothing). For a Hermitian H ("auto", "chebyshev", "krylov") the
    walk runs in windows of a Lanczos basis: each basis serves every time within its
    reach for a few scalar operations per time, so a grid of a thousand times costs a
    few times the evolution to its last time (see ``grid_memory``); "taylor" evolves
    each time from the previous one.

    ``observables``: a sequence of PauliSums gives their expectation values
    <psi(t)|O|psi(t)> (not normalised) instead of states, of shape (len(observables),)
    for a single time and (len(t), len(observables)) for a grid; a single PauliSum drops
    that axis (a scalar, or shape (len(t),)). No state is kept per time. The values are
    floats when every observable is Hermitian, complex otherwise.

    ``callback``: f(t, psi_t) is called at every time, in the order of the walk, with a
    read-only view of the state (overlaps, fidelities, entropies, anything); beside
    ``observables`` or instead of them. With a callback and no observables nothing else
    is kept and None is returned. ``return_states=True`` keeps the states too: with
    observables the call then returns (states, values), otherwise the states.

    Ctrl-C stops a grid with ``EvolutionInterrupted``, a KeyboardInterrupt that carries
    the times finished so far and their states or values.

    ``method``: "chebyshev" (a Chebyshev series on an estimated spectral interval),
    "taylor" (a truncated Taylor series, any complex coefficients), "krylov" (Lanczos,
    five state vectors of memory), or "auto": chebyshev when H is Hermitian apart from
    its identity term, or when the imaginary parts of its other coefficients cannot
    change the result by more than rtol/4 over the walk (they are then dropped, and
    what they could change is taken from rtol); taylor otherwise.

    ``rtol`` (in (0, 1)): the accuracy of every returned value, however many times the
    grid has and in whatever order: each state within rtol * |psi| of the exact
    exp(-i t H) psi for its time, each expectation value within rtol * |O| * |psi|**2
    (|O| the sum of the moduli of O's coefficients), or within the rounding floor, about
    2.2e-16 * (path walked) * sum |c|, where that is larger.
    ``grid_memory``: the bytes a grid's walk may hold in state vectors for its basis and
    the states it forms at once (None: an eighth of the machine's physical memory, at
    most 2 GiB).
    Larger windows and batches make long grids cheaper; below 12 state vectors' worth
    (0, say) each time is evolved from the previous one with the method's own solver, as
    for "taylor" and for a state spread over processes (``comm``).
    ``threads``: None uses the CPUs this process may run on that other processes are not
    busy on when the call starts. ``progress``: show a progress bar on standard error
    (tqdm's when installed): over the time points of a grid, or over the applications
    of H of a single time.

    psi (any array-like of 2**n amplitudes) is never modified, and not copied when it is
    already a contiguous complex128 array. The solvers run without the interpreter lock
    and stop with KeyboardInterrupt on Ctrl-C.

    ``H`` a TimeDependentSum: the evolution under H(t) from psi at t = 0, exact on
    pieces where every coefficient is constant and by a fourth-order commutator-free
    Magnus integrator elsewhere, its step chosen so that every returned value meets
    rtol (see TimeDependentSum); ``max_step`` caps that step. ``grid_memory`` does not
    apply: the grid is walked step by step.

    ``sector``: a morbizet.Sector that H maps into itself (checked on its words:
    ValueError naming the first word that does not); psi and every returned state are
    then sector vectors of sector.dim amplitudes (see Sector.embed and Sector.project),
    at a fraction of the memory and work. Observables need not conserve the sector:
    only their part that maps the sector into itself contributes to <psi|O|psi> for a
    psi inside it, so their values are exact. Not with ``comm``.

    ``comm``: an mpi4py communicator of P = 2**p processes sharing the state. Each passes
    its slice of psi (see basis_state) and gets its slice of every state back, with
    expectation values over the whole state on every process; the result gathered in
    rank order is the single-process one, bit for bit for "taylor" and "chebyshev" (a grid
    is then walked step by step, as by one process with ``grid_memory=0``). A callback
    then sees this process's slice and must not raise on some processes only.
    """

    def prepare() -> tuple[Any, ...]:
        times, single = _times(t)
        tolerance = _arguments.tolerance(rtol)
        if isinstance(H, TimeDependentSum):
            op, ham, memory = H, H, 0
            solver = _method_name(method)
            steps = check_max_step(max_step)
        else:
            op = _operator(H)
            solver, runs_on, tolerance = _method(op, method, _path_length(times), tolerance)
            ham, memory, steps = runs_on._hamiltonian(), _arguments.grid_memory(grid_memory), None
            if max_step is not None:
                raise TypeError("max_step applies to a TimeDependentSum; a constant H needs no time step")
        if callback is not None and not callable(callback):
            raise TypeError(f"callback must be callable as callback(t, psi_t), got {callback!r}")
        if not isinstance(return_states, bool):
            raise TypeError(f"return_states must be True or False, got {return_states!r}")
        space = compiled(sector, op.num_qubits, comm)
        return (op, solver, _arguments.state(psi, op.num_qubits, comm=comm, sector=sector), tolerance,
                _arguments.threads(threads), times, single,
                None if observables is None else _observables(observables, op.num_qubits), ham, memory, space, steps)

    def same(checked: tuple[Any, ...]) -> dict[str, Any]:
        op, solver, _, tolerance, _, times, single, measured, _, _, _, steps = checked
        return {"H": op, "method": solver, "t": (times, single), "rtol": tolerance, "observables": measured,
                "observables as one PauliSum": isinstance(observables, PauliSum),
                "callback given": callback is not None, "return_states": return_states, "max_step": steps}

    shape = (isinstance(observables, PauliSum), callback, return_states)
    if comm is None:
        return _evolve(prepare(), shape, progress, None)
    with Session(comm) as session:
        return _evolve(session.agreed(prepare, same), shape, progress and comm.Get_rank() == 0, session)


def _evolve(checked: tuple[Any, ...], shape: tuple[bool, Callback | None, bool], progress: bool,
            session: Session | None) -> Any:
    _, solver, state, rtol, count, times, single, measured, ham, memory, space, steps = checked
    bare, callback, return_states = shape
    keep_states = return_states or (measured is None and callback is None)
    driven = isinstance(ham, TimeDependentSum)
    if driven:
        advance = DrivenWalk(ham, solver, count, session, space, steps).advance
    else:
        def advance(current: _core.State, now: float, t: float, share: float) -> _core.State:
            return _core.solve(solver, ham, current, t - now, share, count, session, None, space)[0]

    if single and measured is None and callback is None and not driven:
        with Progress(1, progress, unit="application") as bar:
            out, _ = _core.solve(solver, ham, state, float(times[0]), rtol, count, session,
                                 bar.solve_reporter(solver), sector=space)
            bar.finish()
        return out

    rows = np.full((times.size, state.size), np.nan, dtype=np.complex128) if keep_states else None
    values = None
    measured_ops: list[_core.Hamiltonian] = []
    if measured is not None:
        hermitian = all(o.is_hermitian for o in measured)
        measured_ops = [o._hamiltonian() for o in measured]
        values = np.full((times.size, len(measured)), np.nan, dtype=np.float64 if hermitian else np.complex128)

    def visit(k: int, current: _core.State) -> None:
        if rows is not None:
            rows[k] = current
        if values is not None:
            measure(measured_ops, current, count, session, space, hermitian, values[k])
        if callback is not None:
            view = current.view()
            view.flags.writeable = False
            callback(float(times[k]), view)

    # A state within r |psi| of the exact one gives expectation values within
    # |O| (2 r + r^2) |psi|^2; r = rtol / 2.5 keeps that, and the rounding, within rtol.
    state_rtol = rtol if values is None else rtol / 2.5
    completed = [0]
    vectors = _GRID_OWN_VECTORS + memory // (16 * state.size)
    try:
        if (session is None and solver != "taylor" and times.size > 1 and vectors >= _GRID_LEAST_VECTORS
                and not driven):
            _windows(ham, state, times, state_rtol, count, progress, vectors, (rows, values, callback), measured_ops,
                     completed, space)
        else:
            _walk(advance, state, times, state_rtol, progress, visit, completed)
    except KeyboardInterrupt as stop:
        if single:
            raise
        for partial in (rows, values):
            if partial is not None:
                partial[completed[0]:] = np.nan  # the time being visited may be half done
        shown = values if values is None or not bare else values[:, 0]
        raise EvolutionInterrupted(completed[0], times, rows, shown) from stop

    if values is not None and bare:
        values = values[:, 0]
    if single:
        rows = None if rows is None else rows[0]
        values = None if values is None else values[0]
    if values is None:
        return rows
    return (rows, values) if return_states else values


# The windowed walk counts the few vectors any solver holds as its own, and runs only
# where it has room for a basis of 8 beside them.
_GRID_OWN_VECTORS = 4
_GRID_LEAST_VECTORS = 12


def _windows(ham: _core.Hamiltonian, state: _core.State, times: NDArray[np.float64], rtol: float, threads: int,
             progress: bool, vectors: int, outputs: tuple[Any, Any, Callback | None],
             measured_ops: list[_core.Hamiltonian], completed: list[int], space: Any) -> None:
    """The grid walked in windows of a Lanczos basis by the compiled walk, which fills
    rows[k] with the state and hands over values at every time in order; the callback
    sees a read-only view of the state."""
    rows, values, callback = outputs
    hermitian = values is not None and values.dtype.kind == "f"
    with Progress(times.size, progress) as bar:
        def visit(k: int, formed: _core.State | None, measured: NDArray[np.complex128] | None) -> None:
            if measured is not None:
                values[k] = measured.real if hermitian else measured
            if callback is not None:
                view = (rows[k] if rows is not None else formed).view()
                view.flags.writeable = False
                callback(float(times[k]), view)
            completed[0] = k + 1
            bar.advance()

        _core.grid(ham, state, times, rtol, threads, measured_ops, rows, rows is not None or callback is not None,
                   vectors, visit, space)


def _walk(advance: Callable[[_core.State, float, float, float], _core.State], state: _core.State,
          times: NDArray[np.float64], rtol: float, progress: bool, visit: Callable[[int, _core.State], None],
          completed: list[int]) -> None:
    """Calls visit(k, state at times[k]) for each k in order, each state evolved from the
    previous one by advance(state, now, t, tolerance), so that only the current state is
    held (the times are read one at a time, never copied into a list); completed[0]
    counts the times visited.

    The errors of the steps add up along the walk (each is carried unchanged by the
    exact evolution that follows it), so each step gets a share of rtol: half in
    proportion to its length, half spread evenly over the steps, which keeps a tiny
    step from an absurdly tight share. Every state is then within rtol of the exact one
    for its time, however many steps lead to it."""
    length = _path_length(times)
    steps = int(np.count_nonzero(np.diff(times, prepend=0.0)))
    current, now = state, 0.0
    with Progress(times.size, progress) as bar:
        for k in range(times.size):
            t = float(times[k])
            if t != now:
                share = 0.5 * rtol * (abs(t - now) / length + 1.0 / steps)
                current = advance(current, now, t, share)
                now = t
            visit(k, current)
            completed[0] = k + 1
            bar.advance()


def evolve_with_info(H: PauliSum, psi: ArrayLike, t: float, *, method: str = "auto", rtol: float = 1e-8,
                     threads: int | None = None, sector: Sector | None = None,
                     comm: Any = None) -> tuple[NDArray[np.complex128], dict[str, Any]]:
    """exp(-i t H) psi at a single time t, and what the solver chose and did: a dict with
    ``method``, ``applications`` (of H to a vector), ``degree`` and ``substeps``, and for
    chebyshev also ``estimation_steps``, ``ritz_min``, ``ritz_max``, ``interval`` (the
    spectral interval used, lo and hi), ``interval_source`` ("norm_bound", "gershgorin" or
    "lanczos"), ``interval_kept`` (True when an earlier solve on the same H found it: the
    interval is estimated once per H, on its first solve, and kept with it) and
    ``widened``; ``sector`` as for evolve; with
    ``comm`` (as for evolve) also
    ``bytes_sent`` and ``bytes_per_application`` of this process's exchanges."""

    def prepare() -> tuple[Any, ...]:
        op = _operator(H)
        times, single = _times(t)
        if not single:
            raise TypeError("evolve_with_info takes a single time; use evolve for a sequence of times")
        solver, runs_on, tolerance = _method(op, method, abs(float(times[0])), _arguments.tolerance(rtol))
        space = compiled(sector, op.num_qubits, comm)
        return (op, solver, _arguments.state(psi, op.num_qubits, comm=comm, sector=sector), float(times[0]),
                tolerance, _arguments.threads(threads), runs_on, space)

    if comm is None:
        op, solver, state, time, rtol, count, runs_on, space = prepare()
        return _core.solve(solver, runs_on._hamiltonian(), state, time, rtol, count, None, None, space)
    with Session(comm) as session:
        op, solver, state, time, rtol, count, runs_on, _ = session.agreed(
            prepare, lambda c: {"H": c[0], "method": c[1], "t": c[3], "rtol": c[4]})
        return _core.solve(solver, runs_on._hamiltonian(), state, time, rtol, count, session)
