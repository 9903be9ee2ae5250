"""Symmetry sectors: the states of a conserved quantity, so that a state vector holds
only the amplitudes that can be non-zero."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _morbizet

from . import _arguments

# A state counts as inside a sector when its part outside is at most this fraction of it:
# what rounding leaves after an evolution of the whole space by a conserving H.
PROJECTION_RTOL = 1e-10


class Sector:
    """The states of n qubits that keep a conserved quantity.

    ``weight``: the basis states with that many 1 bits (the conserved magnetisation of
    XXZ and Heisenberg chains, the particle number of hopping fermions). ``spin_flip``:
    the eigenspace +1 or -1 of the global flip X (x) X (x) ... (x) X (transverse-field
    Ising chains); with a weight only for weight = n / 2, which the flip maps onto
    itself. Both may be given; at least one must be.

    A sector vector holds ``dim`` amplitudes, one per state, in the order of ``basis``:
    the full-space indices of the states in ascending order, read like the Pauli strings
    and basis_state (leftmost character the most significant bit). In a flip sector a
    state is the pair (|s> + spin_flip |~s>) / sqrt(2), listed by s, the member whose
    leftmost bit is 0. ``embed`` and ``project`` convert to and from full state vectors.

    Every operation that takes ``sector=`` (evolve, evolve_with_info, PauliSum.apply,
    expectation, as_linear_operator, to_sparse) then works on sector vectors.
    """

    def __init__(self, num_qubits: int, *, weight: int | None = None, spin_flip: int | None = None) -> None:
        from ._pauli_sum import MAX_QUBITS

        n = _arguments.whole_number(num_qubits, f"num_qubits must be an int, got {num_qubits!r}")
        if not 1 <= n <= MAX_QUBITS:
            raise ValueError(f"num_qubits must be between 1 and {MAX_QUBITS}, got {n}")
        if weight is not None:
            weight = _arguments.whole_number(weight, f"weight must be None or an int, got {weight!r}")
            if not 0 <= weight <= n:
                raise ValueError(f"weight must lie between 0 and num_qubits = {n}, got {weight}")
        if spin_flip is not None:
            if isinstance(spin_flip, bool) or spin_flip not in (1, -1):
                raise ValueError(f"spin_flip must be None, +1 or -1, got {spin_flip!r}")
            spin_flip = int(spin_flip)
            if weight is not None and 2 * weight != n:
                raise ValueError(f"the spin flip maps weight {weight} to {n - weight}, so with spin_flip the weight "
                                 f"must be num_qubits / 2, got weight={weight} for {n} qubits")
        if weight is None and spin_flip is None:
            raise ValueError("a Sector needs a weight, a spin_flip or both (without either it is the whole space)")
        self._num_qubits, self._weight, self._spin_flip = n, weight, spin_flip
        self._space = _morbizet._SectorSpace(n, weight, spin_flip or 0)

    @property
    def num_qubits(self) -> int:
        return self._num_qubits

    @property
    def weight(self) -> int | None:
        return self._weight

    @property
    def spin_flip(self) -> int | None:
        return self._spin_flip

    @property
    def dim(self) -> int:
        """The number of states, the length of a sector vector."""
        return int(self._space._dim)

    @property
    def basis(self) -> NDArray[np.uint64]:
        """The full-space index of every state (of its member with leftmost bit 0 in a flip
        sector), ascending: a new array of ``dim`` entries."""
        return self._space._states(0, self.dim)

    def index(self, states: ArrayLike) -> NDArray[np.int64]:
        """The inverse of ``basis``: the position in a sector vector of each full-space
        index in ``states``, or -1 for an index that is not in ``basis``."""
        array = np.asarray(states)
        if array.dtype.kind not in "iu":
            raise TypeError(f"states must be integer full-space indices, got dtype {array.dtype}")
        flat = array.reshape(-1)
        if flat.size and (flat.min() < 0 or int(flat.max()) >= 2**self._num_qubits):
            raise ValueError(f"states must be indices of {self._num_qubits} qubits, 0 to 2**{self._num_qubits} - 1")
        ranks = self._space._ranks(np.ascontiguousarray(flat, dtype=np.uint64))
        return ranks.reshape(array.shape)

    def basis_state(self, bits: str | int) -> NDArray[np.complex128]:
        """The sector vector of the basis state |bits> (a string of '0' and '1', or a
        full-space index); in a flip sector, of (|bits> + spin_flip |~bits>) / sqrt(2)."""
        from ._states import _qubits_and_index

        _, index = _qubits_and_index(bits, None if isinstance(bits, str) else self._num_qubits)
        if isinstance(bits, str) and len(bits) != self._num_qubits:
            raise ValueError(f"bits {bits!r} has {len(bits)} characters, but the sector has {self._num_qubits} qubits")
        sign = 1.0
        if self._spin_flip is not None and index >> (self._num_qubits - 1):
            index ^= 2**self._num_qubits - 1
            sign = float(self._spin_flip)
        position = int(self.index(np.array([index], dtype=np.uint64))[0])
        if position < 0:
            raise ValueError(f"basis state {bits!r} has {int(index).bit_count()} bits set, outside the sector of "
                             f"weight {self._weight}")
        v = np.zeros(self.dim, dtype=np.complex128)
        v[position] = sign
        return v

    def embed(self, v: ArrayLike) -> NDArray[np.complex128]:
        """The full state vector (2**n amplitudes) of a sector vector."""
        vector = _arguments.state(v, self._num_qubits, "v", sector=self)
        basis = self.basis
        psi = np.zeros(2**self._num_qubits, dtype=np.complex128)
        if self._spin_flip is None:
            psi[basis] = vector
        else:
            psi[basis] = vector / math.sqrt(2)
            psi[basis ^ np.uint64(2**self._num_qubits - 1)] = (self._spin_flip / math.sqrt(2)) * vector
        return psi

    def project(self, psi: ArrayLike) -> NDArray[np.complex128]:
        """The sector vector of a full state vector that lies in the sector; ValueError
        when more than rounding of it (1e-10 of its norm) lies outside, saying how much."""
        full = _arguments.state(psi, self._num_qubits)
        basis = self.basis
        if self._spin_flip is None:
            v = full[basis]
        else:
            v = (full[basis] + self._spin_flip * full[basis ^ np.uint64(2**self._num_qubits - 1)]) / math.sqrt(2)
        total = float(np.linalg.norm(full))
        outside = float(np.linalg.norm(full - self.embed(v)))
        if outside > PROJECTION_RTOL * total:
            raise ValueError(f"psi is not in the sector: a part of norm {outside:.3g} ({outside / total:.3g} of "
                             f"|psi|) lies outside it; project only states that lie in it")
        return v

    def _check(self, num_qubits: int) -> Any:
        """The compiled sector, for an operator on num_qubits qubits."""
        if num_qubits != self._num_qubits:
            raise ValueError(f"the sector has {self._num_qubits} qubits, but the operator acts on {num_qubits}")
        return self._space

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Sector) and (self._num_qubits, self._weight, self._spin_flip) == (
            other._num_qubits, other._weight, other._spin_flip)

    def __hash__(self) -> int:
        return hash((Sector, self._num_qubits, self._weight, self._spin_flip))

    def __repr__(self) -> str:
        parts = [str(self._num_qubits)]
        if self._weight is not None:
            parts.append(f"weight={self._weight}")
        if self._spin_flip is not None:
            parts.append(f"spin_flip={self._spin_flip:+d}")
        return f"Sector({', '.join(parts)})"


def compiled(sector: Any, num_qubits: int, comm: Any = None) -> Any:
    """The compiled form of a sector argument (None for the whole space), checked against
    the operator's qubits; sectors and states spread over processes do not mix."""
    if sector is None:
        return None
    if not isinstance(sector, Sector):
        raise TypeError(f"sector must be a morbizet.Sector or None, got {type(sector).__name__}")
    if comm is not None:
        raise ValueError("a sector is not supported with comm: evolve a sector's states on one process (a sector "
                         "of 30 qubits fits where the whole space of 30 does not)")
    return sector._check(num_qubits)
