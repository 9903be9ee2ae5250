"""Every call into the compiled extension goes through the few functions here, one per
operation, so that a different way of running an operation (a state spread over
processes, say) changes this module and nothing above it."""

from __future__ import annotations

from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import NDArray

import _morbizet

from ._distributed import Session

Hamiltonian = _morbizet._Hamiltonian
State = NDArray[np.complex128]

# The compiled solvers, by name, as the extension's table lists them: each row says
# whether the method needs a Hermitian H and whether its statistics hold an interval.
METHODS: dict[str, dict[str, Any]] = {row["name"]: row for row in _morbizet._methods()}


def build(terms: Sequence[tuple[complex, str]], num_qubits: int) -> Hamiltonian:
    """The compiled Hamiltonian of checked terms; the zero operator becomes one zero
    identity word, since the compiled type needs at least one word to know its size."""
    words = [_morbizet._PauliWord(c, s) for c, s in terms] or [_morbizet._PauliWord(0.0, "I" * num_qubits)]
    return _morbizet._Hamiltonian(words)


def _distributed(name: str) -> Any:
    """A distributed entry point, or an error saying that this build has none."""
    function = getattr(_morbizet, name, None)
    if function is None:
        raise RuntimeError("this build of morbizet has no MPI support: comm needs the extension built where "
                           "CMake finds an MPI library")
    return function


def spectrum(ham: Hamiltonian) -> list[Any]:
    """The slot, kept on the compiled operator, for the bounds of the spectrum of its H'
    that a solve found: item 0 is None until then. Every later solve on the whole space
    (every call, grid step and time of a walk) takes them instead of finding them again."""
    slot = getattr(ham, "_spectrum", None)
    if slot is None:
        slot = ham._spectrum = [None]
    return slot


def solve(method: str, ham: Hamiltonian, psi: State, theta: float, rtol: float, threads: int,
          session: Session | None = None, progress: Callable[[int, int, int], None] | None = None,
          sector: Any = None, keep: bool = True) -> tuple[State, dict[str, Any]]:
    """exp(-i theta H) psi and the solver's statistics; Ctrl-C raises KeyboardInterrupt.
    With a session, psi is this process's slice and so is the result (collective); with
    a compiled sector, psi holds its states. progress(applications, degree, substeps) is
    called a few times a second (on one process only). On the whole space the spectral
    interval is kept with ham (see spectrum), unless keep is False (an H built for one
    solve, which a kept interval would not repay)."""
    kept = spectrum(ham) if sector is None and keep else None
    if session is None:
        state, info = _morbizet._solve(method, ham, psi, theta, rtol, threads, progress, sector, kept)
    else:
        state, info = _distributed("_solve_distributed")(method, ham, psi, theta, rtol, threads,
                                                         session.comm.py2f(), session.interrupted, kept)
    return state, dict(info)


def solve_imaginary(ham: Hamiltonian, psi: State, beta: float, rtol: float, threads: int,
                    session: Session | None = None, sector: Any = None,
                    bounds: tuple[float, float, float, float, bool] | None = None
                    ) -> tuple[State, float, dict[str, Any], Any]:
    """exp(-beta H) psi for a Hermitian H as (unit state, ln of its norm, statistics,
    bounds of the spectrum of H' to hand to the next call on the same H)."""
    if sector is None and bounds is None:
        bounds = spectrum(ham)[0]
    if session is None:
        state, log_norm, info, found = _morbizet._solve_imaginary(ham, psi, beta, rtol, threads, None, sector, bounds)
    else:
        state, log_norm, info, found = _distributed("_solve_imaginary_distributed")(
            ham, psi, beta, rtol, threads, session.comm.py2f(), session.interrupted, bounds)
    if sector is None:
        spectrum(ham)[0] = found
    return state, log_norm, dict(info), found


def weighted_sum(parts: Sequence[Hamiltonian]) -> Any:
    """The parts' words merged and grouped once, for solves at many weightings."""
    return _morbizet._WeightedSum(list(parts))


def solve_weighted(weighted: Any, method: str, weights: Sequence[complex], psi: State, theta: float, rtol: float,
                   threads: int, session: Session | None = None, sector: Any = None) -> State:
    """exp(-i theta sum_j weights[j] H_j) psi: on the grouping made once for the whole
    space on one process; a state spread over processes or held in a sector runs on the
    combination built for the call."""
    if session is None and sector is None:
        return weighted.solve(method, list(weights), psi, theta, rtol, threads)[0]
    return solve(method, weighted.combine(list(weights)), psi, theta, rtol, threads, session, None, sector,
                 keep=False)[0]


def grid(ham: Hamiltonian, psi: State, times: NDArray[np.float64], rtol: float, threads: int,
         observables: Sequence[Hamiltonian], rows: NDArray[np.complex128] | None, states: bool, max_vectors: int,
         visit: Callable[[int, State | None, NDArray[np.complex128] | None], None],
         sector: Any = None) -> dict[str, Any]:
    """Walks the times in order in windows of a Lanczos basis (H Hermitian apart from its
    identity part), calling visit(k, state, values) at every time; returns the walk's
    statistics. With rows, row k receives the state and visit gets None for it."""
    return dict(_morbizet._grid(ham, psi, times, rtol, threads, list(observables), states, rows, max_vectors, visit,
                                sector))


def apply(ham: Hamiltonian, psi: State, threads: int, session: Session | None = None, sector: Any = None) -> State:
    """H psi, the identity part included (this process's slice with a session, the
    sector's states with a compiled sector)."""
    if session is None:
        return _morbizet._apply(ham, psi, threads, sector)
    return _distributed("_apply_distributed")(ham, psi, threads, session.comm.py2f())


def expectation(ham: Hamiltonian, psi: State, threads: int, session: Session | None = None,
                sector: Any = None) -> complex:
    """<psi|H|psi>, not normalised; with a session over the whole state, the same
    everywhere; with a compiled sector, of the part of H that maps it into itself."""
    if session is None:
        return _morbizet._expectation(ham, psi, threads, sector)
    return _distributed("_expectation_distributed")(ham, psi, threads, session.comm.py2f())
