"""Computational basis states."""

from __future__ import annotations

import operator
from typing import Any

import numpy as np
from numpy.typing import NDArray

from ._distributed import agreed, layout, local_length
from ._pauli_sum import MAX_QUBITS


def basis_state(bits: str | int, num_qubits: int | None = None, *, comm: Any = None) -> NDArray[np.complex128]:
    """The basis state |bits> as a complex128 array of 2**n amplitudes with a 1 at index
    ``bits``.

    ``bits`` is a string of ``0`` and ``1`` read like the Pauli strings, leftmost
    character the most significant bit (``basis_state("01")`` is 1 at index 1), or an
    int index together with ``num_qubits``. With an mpi4py ``comm`` of P processes, this
    process's slice of it: amplitudes [rank * 2**n / P, (rank + 1) * 2**n / P); collective.
    """
    if comm is None:
        n, index = _qubits_and_index(bits, num_qubits)
        psi = np.zeros(2**n, dtype=np.complex128)
        psi[index] = 1.0
        return psi

    def prepare() -> tuple[int, int, int]:
        n, index = _qubits_and_index(bits, num_qubits)
        rank, size = layout(comm)
        return index, local_length(n, size), rank

    index, local, rank = agreed(comm, prepare, lambda c: {"bits": c[:2]})
    psi = np.zeros(local, dtype=np.complex128)
    if index // local == rank:
        psi[index % local] = 1.0
    return psi


def _qubits_and_index(bits: str | int, num_qubits: int | None) -> tuple[int, int]:
    if isinstance(bits, str):
        if num_qubits is not None and num_qubits != len(bits):
            raise ValueError(f"bits {bits!r} has {len(bits)} characters, but num_qubits = {num_qubits}")
        if not 1 <= len(bits) <= MAX_QUBITS or set(bits) - {"0", "1"}:
            raise ValueError(f"bits must be 1 to {MAX_QUBITS} characters '0' and '1', got {bits!r}")
        return len(bits), int(bits, 2)
    if isinstance(bits, bool) or isinstance(num_qubits, bool):
        raise TypeError(f"bits must be a str of '0' and '1' or an int index, got {bits!r}")
    try:
        index = operator.index(bits)
    except TypeError:
        raise TypeError(f"bits must be a str of '0' and '1' or an int index, got {bits!r}") from None
    if num_qubits is None:
        raise TypeError("an int index needs num_qubits")
    n = operator.index(num_qubits)
    if not 1 <= n <= MAX_QUBITS:
        raise ValueError(f"num_qubits must be between 1 and {MAX_QUBITS}, got {n}")
    if not 0 <= index < 2**n:
        raise ValueError(f"index {index} is not a basis state of {n} qubits (0 to 2**{n} - 1)")
    return n, index
