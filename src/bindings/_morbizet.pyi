"""Morbizet C++ core bindings"""

from collections.abc import Sequence
from typing import Annotated

import numpy
from numpy.typing import NDArray


class _PauliWord:
    def __init__(self, coeff: complex, string: str) -> None: ...

    def _num_qubits(self) -> int: ...

    def _get_coeff(self) -> complex: ...

    def _get_string(self) -> str: ...

class _Hamiltonian:
    def __init__(self, pwords: Sequence[_PauliWord]) -> None: ...

    def _num_qubits(self) -> int: ...

    def _num_terms(self) -> int: ...

    def _get_pwords(self) -> list[_PauliWord]: ...

def _evolve_higham(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int) -> Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C')]: ...

def _evolve_krylov(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int) -> Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C')]: ...

def _evolve_chebyshev(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int) -> Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C')]: ...

def _methods() -> list:
    """
    The solvers _solve runs, in order: dicts of name, needs_hermitian and reports_interval.
    """

def _solve(method: str, ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int, progress: object | None = None, sector: _SectorSpace | None = None, spectrum: object | None = None) -> tuple:
    """
    exp(-i*theta*H)*psi by the named method ('taylor', 'krylov', 'chebyshev'), stoppable with Ctrl-C; psi holds the sector's states when one is given (H must map it into itself); returns (state, statistics). progress, when given, is called a few times a second as progress(applications, degree, substeps). spectrum, when given, is a one-item list holding the spectral bounds kept with ham (None at first): the solve uses them and stores what it found.
    """

def _apply(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], num_threads: int, sector: _SectorSpace | None = None) -> Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C')]:
    """
    H * psi, the identity part included (on the sector's states when one is given).
    """

def _expectation(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], num_threads: int, sector: _SectorSpace | None = None) -> complex:
    """
    <psi|H|psi>, not normalised; on a sector's states, the part of H that maps the sector into itself.
    """

class _SectorSpace:
    def __init__(self, num_qubits: int, weight: int | None, flip: int) -> None:
        """
        The sector of num_qubits qubits with `weight` 1 bits (None: any) and flip eigenvalue flip (0: none).
        """

    @property
    def _dim(self) -> int: ...

    def _states(self, begin: int, count: int) -> Annotated[NDArray[numpy.uint64], dict(shape=(None,))]:
        """
        The full-space indices of the representatives of states [begin, begin + count).
        """

    def _ranks(self, indices: Annotated[NDArray[numpy.uint64], dict(shape=(None,), order='C', device='cpu', writable=False)]) -> Annotated[NDArray[numpy.int64], dict(shape=(None,))]:
        """
        The number of the state whose representative is each index, or -1 for an index that is none.
        """

    def _violation(self, ham: _Hamiltonian) -> str:
        r"""Why H does not map the sector into itself, or \'\' when it does."""

def _grid(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], times: Annotated[NDArray[numpy.float64], dict(shape=(None,), order='C', device='cpu', writable=False)], rtol: float, num_threads: int, observables: Sequence[_Hamiltonian], states: bool, rows: Annotated[NDArray[numpy.complex128], dict(shape=(None, None), order='C', device='cpu')] | None, max_vectors: int, visit: object, sector: _SectorSpace | None = None) -> dict:
    """
    Walks the times in order in windows of a Lanczos basis (H Hermitian apart from its identity part), calling visit(k, state, values) at every time: state a new array (None with rows, whose row k then holds it, or when states is False), values the expectation values of the observables (None without them). Holds at most max_vectors state vectors; returns the walk's statistics. With a sector, psi and the states hold its states, and the observables are measured by their part that maps the sector into itself.
    """

def _solve_imaginary(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], beta: float, rtol: float, num_threads: int, progress: object | None = None, sector: _SectorSpace | None = None, bounds: tuple[float, float, float, float, bool, int] | None = None) -> tuple:
    """
    exp(-beta*H)*psi for a Hermitian H as (unit state, ln of its norm, statistics, bounds): the state's norm carried as a logarithm; bounds (lo, hi, safe_lo, safe_hi, estimated) of the spectrum of H' from an earlier call skip their search. Stoppable with Ctrl-C.
    """

class _WeightedSum:
    def __init__(self, parts: Sequence[_Hamiltonian]) -> None:
        """The parts H_j, their words merged and grouped once."""

    @property
    def num_parts(self) -> int: ...

    @property
    def num_qubits(self) -> int: ...

    def combine(self, weights: Sequence[complex]) -> _Hamiltonian:
        """sum_j weights[j] H_j as a Hamiltonian."""

    def solve(self, method: str, weights: Sequence[complex], psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int, progress: object | None = None) -> tuple:
        """As _solve for H = sum_j weights[j] H_j, on the grouping made once."""

def _solve_distributed(method: str, ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], theta: float, rtol: float, num_threads: int, comm: int, interrupted: object | None = None, spectrum: object | None = None) -> tuple:
    """
    As _solve, on this process's slice of a state spread over the processes of comm (a Fortran communicator handle); collective. interrupted(), when given, says whether a deferred Ctrl-C is pending here, which stops every process. spectrum as for _solve, the same on every process.
    """

def _solve_imaginary_distributed(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], beta: float, rtol: float, num_threads: int, comm: int, interrupted: object | None = None, bounds: tuple[float, float, float, float, bool, int] | None = None) -> tuple:
    """As _solve_imaginary, on this process's slice; collective."""

def _apply_distributed(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], num_threads: int, comm: int) -> Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C')]:
    """As _apply, on this process's slice; collective."""

def _expectation_distributed(ham: _Hamiltonian, psi: Annotated[NDArray[numpy.complex128], dict(shape=(None,), order='C', device='cpu', writable=False)], num_threads: int, comm: int) -> complex:
    """
    <psi|H|psi> over the whole state, the same on every process; collective.
    """
