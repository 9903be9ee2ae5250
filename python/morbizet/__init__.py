"""morbizet: time evolution exp(-i t H) psi of state vectors under Hamiltonians that are
weighted sums of Pauli strings, computed without forming a matrix.

    import morbizet as mb
    H = mb.PauliSum([(1.0, "XX"), (1.0, "YY"), (0.5, "ZZ")])
    psi_t = mb.evolve(H, mb.basis_state("01"), 2.0)

The leftmost character of a Pauli string or of a basis_state's bits is the most
significant bit of the basis index.
"""

__version__ = "0.2.0"

from ._driven import PiecewiseConstant, PiecewiseLinear, TimeDependentSum
from ._evolve import EvolutionInterrupted, evolve, evolve_with_info
from ._imaginary import evolve_imaginary
from ._pauli_sum import CoefficientOverflowError, PauliSum
from ._sector import Sector
from ._states import basis_state

__all__ = ["__version__", "CoefficientOverflowError", "EvolutionInterrupted", "PauliSum", "PiecewiseConstant",
           "PiecewiseLinear", "Sector", "TimeDependentSum", "basis_state", "evolve", "evolve_imaginary",
           "evolve_with_info"]
