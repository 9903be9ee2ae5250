"""Shared helpers: random Pauli sums and their dense matrices, built independently."""

import functools

import numpy as np
import pytest

import _morbizet as mz

PAULI = {
    "I": np.eye(2, dtype=complex),
    "X": np.array([[0, 1], [1, 0]], dtype=complex),
    "Y": np.array([[0, -1j], [1j, 0]]),
    "Z": np.diag([1.0 + 0j, -1.0]),
}


def dense(terms):
    """sum coeff * kron(P_0, P_1, ...) with the leftmost character most significant."""
    n = len(terms[0][1])
    h = np.zeros((2**n, 2**n), dtype=complex)
    for coeff, s in terms:
        h += coeff * functools.reduce(np.kron, (PAULI[c] for c in s), np.eye(1))
    return h


def hamiltonian(terms):
    return mz._Hamiltonian([mz._PauliWord(c, s) for c, s in terms])


def random_terms(rng, n, count, hermitian=True, identity=0.0):
    terms = []
    for _ in range(count):
        s = "".join(rng.choice(list("IXYZ"), size=n))
        c = rng.normal() if hermitian else complex(rng.normal(), rng.normal())
        terms.append((c, s))
    if identity:
        terms.append((identity, "I" * n))
    return terms


def random_state(rng, n):
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def heisenberg_terms(n):
    return [(1.0, "I" * k + p + p + "I" * (n - k - 2)) for k in range(n - 1) for p in "XYZ"]


SOLVERS = [mz._evolve_higham, mz._evolve_krylov]


@pytest.fixture(params=SOLVERS, ids=lambda f: f.__name__)
def solver(request):
    return request.param


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)
