"""A quench in the antiferromagnetic Heisenberg chain, through the public package.

The open chain H = sum_k (X_k X_k+1 + Y_k Y_k+1 + Z_k Z_k+1) on 20 qubits starts in the
Neel state |0101...>, which is not an eigenstate: its staggered magnetisation
m_s = (1/n) sum_k (-1)^k <Z_k> starts at 1 and decays as the order melts, while the
energy per bond stays where it started. One call of mb.evolve walks the whole time grid
and measures both observables at each time, without keeping the states; the Chebyshev
and Taylor solvers run side by side. With SciPy present, a 10-qubit chain is also
checked against a dense matrix exponential.
"""

import functools
import time

import numpy as np

import morbizet as mb

N = 20
TIMES = np.linspace(0.0, 1.5, 7)
RTOL = 1e-10
METHODS = ("chebyshev", "taylor")


def heisenberg(n):
    return mb.PauliSum([(1.0, "I" * k + p + p + "I" * (n - k - 2)) for k in range(n - 1) for p in "XYZ"])


def staggered_magnetisation(n):
    return mb.PauliSum([((-1) ** k / n, "I" * k + "Z" + "I" * (n - k - 1)) for k in range(n)])


def neel_state(n):
    return mb.basis_state("01" * (n // 2) + "0" * (n % 2))


def dense_check(n=10, theta=1.7):
    import scipy.linalg

    pauli = {"X": np.array([[0, 1], [1, 0]]), "Y": np.array([[0, -1j], [1j, 0]]),
             "Z": np.diag([1, -1]), "I": np.eye(2)}
    ham = heisenberg(n)
    dense = sum(c * functools.reduce(np.kron, (pauli[ch] for ch in s)) for c, s in ham.terms)
    psi = neel_state(n)
    expected = scipy.linalg.expm(-1j * theta * dense) @ psi
    for method in ("chebyshev", "taylor", "krylov"):
        err = np.linalg.norm(mb.evolve(ham, psi, theta, method=method, rtol=RTOL) - expected)
        print(f"  {method:9s} vs scipy.linalg.expm, {n} qubits, t = {theta}: |error| = {err:.1e}")


def main():
    ham = heisenberg(N)
    observables = [staggered_magnetisation(N), ham / (N - 1)]
    print(f"Heisenberg chain, {N} qubits ({2**N} amplitudes), {len(ham)} Pauli words, rtol = {RTOL:g}, "
          f"{len(TIMES)} times from {TIMES[0]:g} to {TIMES[-1]:g}")
    values, seconds = {}, {}
    for method in METHODS:
        start = time.perf_counter()
        values[method] = mb.evolve(ham, neel_state(N), TIMES, method=method, rtol=RTOL, observables=observables)
        seconds[method] = time.perf_counter() - start
    cheb, taylor = (values[m] for m in METHODS)
    print(f"{'t':>5} | {'m_s chebyshev':>13} {'m_s taylor':>11} {'|difference|':>12} | "
          f"{'energy/bond':>11} {'drift':>8}")
    for k, t in enumerate(TIMES):
        print(f"{t:5.2f} | {cheb[k, 0]:13.8f} {taylor[k, 0]:11.8f} {abs(cheb[k, 0] - taylor[k, 0]):12.1e} | "
              f"{cheb[k, 1]:11.8f} {cheb[k, 1] - cheb[0, 1]:8.1e}")
    print("Wall time for the grid: " + ", ".join(f"{m} {seconds[m]:.2f} s" for m in METHODS) +
          f"; largest difference of any value: {np.abs(cheb - taylor).max():.1e}")

    print("One step of dt = 0.25 from the Neel state, as each solver chose it:")
    for method in METHODS + ("krylov",):
        _, info = mb.evolve_with_info(ham, neel_state(N), 0.25, method=method, rtol=RTOL)
        extra = f", {info['estimation_steps']} for the spectral interval" if method == "chebyshev" else ""
        print(f"  {method:9s} {info['applications']:4d} applications of H (degree {info['degree']}, "
              f"{info['substeps']} substeps{extra})")
    try:
        import scipy  # noqa: F401
    except ImportError:
        print("SciPy not found: dense check skipped")
    else:
        print("Check against a dense exponential:")
        dense_check()


if __name__ == "__main__":
    main()
