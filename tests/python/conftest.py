"""Shared helpers: random Pauli sums and their dense matrices, built independently."""

import functools
import os
import subprocess
import sys

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


# Every solver with the five-argument calling frame; all take Hermitian sums, and
# _evolve_higham non-Hermitian ones too.
SOLVERS = [mz._evolve_higham, mz._evolve_krylov, mz._evolve_chebyshev]


HERE = os.path.dirname(os.path.abspath(__file__))
CRASH_MARKERS = ("Fatal Python error", "Segmentation", "AddressSanitizer", "runtime error:", "LeakSanitizer",
                 "ThreadSanitizer", "core dumped", "Aborted", "terminate called")


def run_in_child(module, statement, timeout, prelude="", markers=()):
    """Runs `statement` after importing the test file `module` in a fresh interpreter with this
    run's flags (-X dev, -W ...) and environment, so that a crash, a deadlock or a hang fails
    one test instead of ending the run; returns the finished process."""
    flags = subprocess._args_from_interpreter_flags()
    code = (f"import faulthandler, sys; faulthandler.dump_traceback_later({timeout - 10}, exit=True); "
            f"sys.path.insert(0, {HERE!r}); import {module}; {prelude}{statement}")
    try:
        proc = subprocess.run([sys.executable, *flags, "-c", code], capture_output=True, text=True,
                              timeout=timeout, env=dict(os.environ), cwd=HERE)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{statement} hung or deadlocked ({timeout} s):\n{(e.stderr or b'')[-6000:]!s}")
    tail = proc.stderr[-6000:]
    assert proc.returncode == 0, f"{statement} exited with {proc.returncode}:\n{proc.stdout[-2000:]}\n{tail}"
    for marker in CRASH_MARKERS + tuple(markers):
        assert marker not in proc.stderr, f"{statement}: {marker!r} on standard error:\n{tail}"
    return proc


@pytest.fixture(params=SOLVERS, ids=lambda f: f.__name__)
def solver(request):
    return request.param


@pytest.fixture
def rng():
    return np.random.default_rng(20261209)
