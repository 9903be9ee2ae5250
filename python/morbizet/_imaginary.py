"""Imaginary-time evolution exp(-beta H) psi: the normalised state (or expectation values
on it) and the logarithm of the norm, at one beta or along a grid of them."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments, _core
from ._distributed import Session
from ._evolve import _observables, _operator, _times, measure
from ._pauli_sum import PauliSum
from ._progress import Progress
from ._sector import Sector, compiled

# A Taylor chunk of a non-Hermitian H lets the norm change by at most e^6, so that its
# absolute accuracy stays relative to the result and nothing over- or underflows.
_TAYLOR_CHUNK = 6.0


def _betas(beta: Any) -> tuple[NDArray[np.float64], bool]:
    betas, single = _times(beta)
    if (betas < 0).any():
        raise ValueError(f"beta must be >= 0: exp(-beta H) grows without bound backwards in imaginary time, "
                         f"got {beta!r}")
    if (np.diff(betas) < 0).any():
        raise ValueError(f"a grid of betas must be non-decreasing (each is reached from the one before), got {beta!r}")
    return betas, single


def evolve_imaginary(H: PauliSum, psi: ArrayLike, beta: float | Sequence[float] | ArrayLike, *,
                     observables: PauliSum | Sequence[PauliSum] | None = None, rtol: float = 1e-8,
                     threads: int | None = None, progress: bool = False, sector: Sector | None = None,
                     comm: Any = None) -> tuple[Any, Any]:
    """exp(-beta H) psi as (normalised state, ln |exp(-beta H) psi|).

    The norm is carried as its logarithm, so no beta |H| a double can hold overflows or
    underflows; with a random psi of unit norm, exp(log_norm) ** 2 over the dimension
    estimates tr exp(-2 beta H) / 2**n, and with a long beta the normalised state
    approaches the ground state of H that psi is not orthogonal to.

    ``beta`` a number >= 0: returns (state, log_norm). A non-decreasing sequence: a
    (len(beta), 2**n) array of states and a (len(beta),) array of log norms, each beta
    reached from the one before. ``observables`` (a PauliSum or a sequence of them, as
    for evolve): their expectation values on the normalised state take the states' place,
    of shape (len(observables),) per beta, the axis dropped for a single PauliSum.

    For an H Hermitian apart from its identity term, a Chebyshev series of exp(-t x) on
    an estimated spectral interval (modified Bessel functions) in chunks of t over each of
    which the norm falls by at most e^6; any other H runs the Taylor solver on -iH in
    chunks of t sum|c| <= 6. Each step between betas gets a share of ``rtol`` (in (0, 1)):
    the state is within about rtol of the exact normalised one, and log_norm within
    about rtol, where psi's weight on the low end of the spectrum is not tiny; an error
    made early along a component that later dominates grows with it, as any change of
    psi does.

    ``threads``, ``progress``, ``sector`` and ``comm`` as for evolve: with a sector psi
    and the states are sector vectors; with comm each process passes and gets its
    slice, the log norm and the values being those of the whole state.
    """

    def prepare() -> tuple[Any, ...]:
        op = _operator(H)
        betas, single = _betas(beta)
        space = compiled(sector, op.num_qubits, comm)
        return (op, _arguments.state(psi, op.num_qubits, comm=comm, sector=sector), betas, single,
                _arguments.tolerance(rtol), _arguments.threads(threads),
                None if observables is None else _observables(observables, op.num_qubits), space)

    def same(checked: tuple[Any, ...]) -> dict[str, Any]:
        op, _, betas, single, tolerance, _, measured, _ = checked
        return {"H": op, "beta": (betas, single), "rtol": tolerance, "observables": measured}

    bare = isinstance(observables, PauliSum)
    if comm is None:
        return _walk(prepare(), bare, progress, None)
    with Session(comm) as session:
        return _walk(session.agreed(prepare, same), bare, progress and comm.Get_rank() == 0, session)


def _walk(checked: tuple[Any, ...], bare: bool, progress: bool, session: Session | None) -> tuple[Any, Any]:
    op, state, betas, single, rtol, threads, measured, space = checked
    hermitian = op._hermitian_but_identity
    ham = op._hamiltonian()
    steps = max(1, int(np.count_nonzero(np.diff(betas, prepend=0.0))))
    # Expectation values within rtol need the state within about rtol / 2.5 (see evolve).
    share = (rtol if measured is None else rtol / 2.5) / steps
    measured_ops = [] if measured is None else [o._hamiltonian() for o in measured]
    real = measured is None or all(o.is_hermitian for o in measured)
    rows = None if measured is not None else np.empty((betas.size, state.size), dtype=np.complex128)
    values = None if measured is None else np.empty((betas.size, len(measured)),
                                                    dtype=np.float64 if real else np.complex128)
    logs = np.empty(betas.size)
    current, log_norm, now, bounds = state, 0.0, 0.0, None
    skew = None if hermitian else ((-1j) * op)._hamiltonian()
    with Progress(betas.size, progress) as bar:
        for k, b in enumerate(betas):
            b = float(b)
            if k == 0 or b != now:
                if hermitian:
                    current, step_log, _, bounds = _core.solve_imaginary(ham, current, b - now, share, threads,
                                                                         session, space, bounds)
                else:
                    current, step_log = _taylor_chunks(skew, op, current, b - now, share, threads, session, space)
                log_norm += step_log
                now = b
            logs[k] = log_norm
            if rows is not None:
                rows[k] = current
            if values is not None:
                measure(measured_ops, current, threads, session, space, real, values[k])
            bar.advance()
    out: Any = rows if values is None else values[:, 0] if bare else values
    if single:
        return out[0], float(logs[0])
    return out, logs


def _taylor_chunks(skew: _core.Hamiltonian, op: PauliSum, psi: _core.State, beta: float, rtol: float, threads: int,
                   session: Session | None, space: Any) -> tuple[_core.State, float]:
    """exp(-beta H) psi for any H by the Taylor solver on -iH (exp(-i t (-iH)) =
    exp(-t H)), in chunks of t sum|c| <= 6 (the identity term counted, so that no chunk
    changes the norm by more than e^6) each normalised: the unit vector and ln of the
    norm, psi being of any norm."""
    bound = sum(abs(c) for c, _ in op.simplify().terms)
    count = max(1, math.ceil(beta * bound / _TAYLOR_CHUNK))
    current, log_norm = _normalised(psi, session)
    for _ in range(count):
        current, _ = _core.solve("taylor", skew, current, beta / count, rtol / count, threads, session, None, space)
        current, step_log = _normalised(current, session)
        log_norm += step_log
    return current, log_norm


def _normalised(psi: _core.State, session: Session | None) -> tuple[_core.State, float]:
    """psi / |psi| and ln |psi| (|psi| over every process's slice), scaled by a power of
    two first so that no square leaves the double range."""
    largest = float(np.abs(psi.view(np.float64)).max(initial=0.0))
    if session is not None:
        largest = max(session.comm.allgather(largest))
    if largest == 0.0:
        return psi, -math.inf
    exponent = math.frexp(largest)[1]
    scaled = np.ldexp(psi.view(np.float64), -exponent).view(np.complex128)
    norm2 = float(np.vdot(scaled, scaled).real)
    if session is not None:
        norm2 = math.fsum(session.comm.allgather(norm2))
    return scaled / math.sqrt(norm2), exponent * math.log(2.0) + 0.5 * math.log(norm2)
