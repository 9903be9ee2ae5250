"""A quench in the antiferromagnetic Heisenberg chain, evolved by both solvers.

The open chain H = sum_k (X_k X_k+1 + Y_k Y_k+1 + Z_k Z_k+1) on 20 qubits starts in the
Neel state |0101...>, which is not an eigenstate: its staggered magnetisation
m_s = (1/n) sum_k (-1)^k <Z_k> starts at 1 and decays as the order melts. Each row
evolves one more interval dt from the previous state, with the Taylor and the Krylov
solver side by side. With SciPy present, a 10-qubit chain is also checked against a dense
matrix exponential.
"""

import functools
import os
import time

import numpy as np

import _morbizet as mz

N = 20
DT = 0.25
STEPS = 4
RTOL = 1e-10
THREADS = os.cpu_count() or 1


def heisenberg(n):
    words = []
    for k in range(n - 1):
        for p in "XYZ":
            words.append(mz._PauliWord(1.0, "I" * k + p + p + "I" * (n - k - 2)))
    return mz._Hamiltonian(words)


def neel_state(n):
    psi = np.zeros(2**n, dtype=complex)
    psi[int("01" * (n // 2) + "0" * (n % 2), 2)] = 1.0
    return psi


def staggered_magnetisation(psi, n):
    """(1/n) sum_k (-1)^k <Z_k>; character k of a word acts on bit n-1-k of the index."""
    p = np.abs(psi) ** 2
    index = np.arange(psi.size)
    total = 0.0
    for k in range(n):
        z = 1.0 - 2.0 * ((index >> (n - 1 - k)) & 1)
        total += (-1) ** k * np.dot(p, z)
    return total / n


def timed(f, *args):
    start = time.perf_counter()
    out = f(*args)
    return out, time.perf_counter() - start


def dense_check(n=10, theta=1.7):
    import scipy.linalg

    pauli = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
             "Z": np.diag([1, -1]), "I": np.eye(2)}
    dense = np.zeros((2**n, 2**n), dtype=complex)
    for w in heisenberg(n)._get_pwords():
        dense += w._get_coeff() * functools.reduce(np.kron, (pauli[c] for c in w._get_string()))
    psi = neel_state(n)
    expected = scipy.linalg.expm(-1j * theta * dense) @ psi
    for f in (mz._evolve_higham, mz._evolve_krylov):
        err = np.linalg.norm(f(heisenberg(n), psi, theta, RTOL, THREADS) - expected)
        print(f"  {f.__name__:15s} vs scipy.linalg.expm, {n} qubits, theta = {theta}: |error| = {err:.1e}")


def main():
    ham = heisenberg(N)
    print(f"Heisenberg chain, {N} qubits ({2**N} amplitudes), {ham._num_terms()} Pauli words, "
          f"rtol = {RTOL:g}, {THREADS} threads")
    print(f"{'theta':>6} | {'m_s taylor':>11} {'norm - 1':>9} {'time':>7} | "
          f"{'m_s krylov':>11} {'norm - 1':>9} {'time':>7} | {'|taylor - krylov|':>17}")
    taylor = krylov = neel_state(N)
    print(f"{0.0:6.2f} | {staggered_magnetisation(taylor, N):11.6f} {0.0:9.1e} {'':>7} | "
          f"{staggered_magnetisation(krylov, N):11.6f} {0.0:9.1e} {'':>7} |")
    for step in range(1, STEPS + 1):
        taylor, t_time = timed(mz._evolve_higham, ham, taylor, DT, RTOL, THREADS)
        krylov, k_time = timed(mz._evolve_krylov, ham, krylov, DT, RTOL, THREADS)
        print(f"{step * DT:6.2f} | {staggered_magnetisation(taylor, N):11.6f} "
              f"{np.linalg.norm(taylor) - 1:9.1e} {t_time:6.2f}s | "
              f"{staggered_magnetisation(krylov, N):11.6f} {np.linalg.norm(krylov) - 1:9.1e} {k_time:6.2f}s | "
              f"{np.linalg.norm(taylor - krylov):17.1e}")
    try:
        import scipy  # noqa: F401
    except ImportError:
        print("SciPy not found: dense check skipped")
    else:
        print("Check against a dense exponential:")
        dense_check()


if __name__ == "__main__":
    main()
