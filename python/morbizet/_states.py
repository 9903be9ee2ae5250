"""Computational basis states."""

from __future__ import annotations

import operator

import numpy as np
from numpy.typing import NDArray

from ._pauli_sum import MAX_QUBITS


def basis_state(bits: str | int, num_qubits: int | None = None) -> NDArray[np.complex128]:
    """The basis state |bits> as a complex128 array of 2**n amplitudes with a 1 at index
    ``bits``.

    ``bits`` is a string of ``0`` and ``1`` read like the Pauli strings, leftmost
    character the most significant bit (``basis_state("01")`` is 1 at index 1), or an
    int index together with ``num_qubits``.
    """
    if isinstance(bits, str):
        if num_qubits is not None and num_qubits != len(bits):
            raise ValueError(f"bits {bits!r} has {len(bits)} characters, but num_qubits = {num_qubits}")
        if not 1 <= len(bits) <= MAX_QUBITS or set(bits) - {"0", "1"}:
            raise ValueError(f"bits must be 1 to {MAX_QUBITS} characters '0' and '1', got {bits!r}")
        n, index = len(bits), int(bits, 2)
    else:
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
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[index] = 1.0
    return psi
