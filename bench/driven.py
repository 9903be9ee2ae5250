"""Driven and imaginary-time evolution against their peers, in one run on 2 threads.

Annealing: the transverse-field Ising ramp H(s) = -(1 - s) sum X_i + s (sum Z_i Z_{i+1} +
0.5 sum Z_i), s = t / T, T = 10, from |+...+>, 101 output times with two observables
(sum X_i and sum Z_i Z_{i+1}) at rtol 1e-6: our TimeDependentSum against QuTiP's sesolve
on the same CSR matrices and coefficient functions. Both are first checked at 12 qubits
against a tight reference (our integrator at rtol 1e-11, agreeing with QuTiP at 1e-11),
and QuTiP's tolerance is the loosest of 1e-6, 1e-7, 1e-8 that matches our error there.

Imaginary time: the open Heisenberg chain to beta = 20 from a random state: the energy
against the ground-state energy from eigsh on our LinearOperator, the log norm against
the eigendecomposition where n <= 12, and the time against SciPy's expm_multiply of
-beta H on the CSR matrix (with the log norm it cannot give: it over- or underflows
beyond beta |H| ~ 700).

    make bench-driven             # n = 20
    tools/env python3 bench/driven.py --n 16
"""

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morbizet as mb  # noqa: E402
import pauli_models  # noqa: E402

THREADS = 2
T = 10.0


def ising_parts(n):
    identity = "I" * n
    x = mb.PauliSum([(-1.0, identity[:k] + "X" + identity[k + 1:]) for k in range(n)])
    zz = mb.PauliSum([(1.0, identity[:k] + "ZZ" + identity[k + 2:]) for k in range(n - 1)]
                     + [(0.5, identity[:k] + "Z" + identity[k + 1:]) for k in range(n)])
    return x, zz


def plus_state(n):
    return np.full(2**n, 2 ** (-n / 2), dtype=complex)


def ours(n, rtol, times, observables):
    x, zz = ising_parts(n)
    H = mb.TimeDependentSum([(x, lambda t: 1.0 - t / T), (zz, lambda t: t / T)])
    start = time.perf_counter()
    values = mb.evolve(H, plus_state(n), times, observables=observables, rtol=rtol, threads=THREADS)
    return values, time.perf_counter() - start


def qutip_run(n, rtol, times, observables):
    import qutip
    import scipy.sparse

    def qobj(op):
        return qutip.Qobj(scipy.sparse.csr_matrix(op.to_sparse()), dims=[[2] * n, [2] * n])

    x, zz = ising_parts(n)
    H = qutip.QobjEvo([[qobj(x), lambda t: 1.0 - t / T], [qobj(zz), lambda t: t / T]])
    psi = qutip.Qobj(plus_state(n).reshape(-1, 1), dims=[[2] * n, [1] * n])
    e_ops = [qobj(o) for o in observables]
    start = time.perf_counter()
    result = qutip.sesolve(H, psi, np.concatenate([[0.0], times]), e_ops=e_ops,
                           options={"atol": rtol * 1e-2, "rtol": rtol, "nsteps": 10**7})
    elapsed = time.perf_counter() - start
    return np.array(result.expect).T[1:], elapsed


def annealing(n, check_n):
    times = np.linspace(0.0, T, 101)[1:]
    x, zz = ising_parts(n)
    observables = [-x, zz]  # sum X_i and the Ising energy
    # Accuracy at check_n qubits against tight references.
    cx, czz = ising_parts(check_n)
    small = [-cx, czz]
    tight, _ = ours(check_n, 1e-11, times, small)
    tight_q, _ = qutip_run(check_n, 1e-11, times, small)
    scale = check_n  # the observables' norms are about n
    rows = {"reference_gap": float(np.abs(tight - tight_q).max() / scale)}
    mine, _ = ours(check_n, 1e-6, times, small)
    rows["ours_error"] = float(np.abs(mine - tight).max() / scale)
    for q_rtol in (1e-6, 1e-7, 1e-8):
        theirs, _ = qutip_run(check_n, q_rtol, times, small)
        rows["qutip_rtol"], rows["qutip_error"] = q_rtol, float(np.abs(theirs - tight).max() / scale)
        if rows["qutip_error"] <= max(rows["ours_error"], 1e-9):
            break
    values, rows["ours_s"] = ours(n, 1e-6, times, observables)
    theirs, rows["qutip_s"] = qutip_run(n, rows["qutip_rtol"], times, observables)
    rows["agreement"] = float(np.abs(values - theirs).max() / n)
    rows["speedup"] = rows["qutip_s"] / rows["ours_s"]
    return rows


def imaginary(n, beta):
    import scipy.sparse.linalg as sla

    H = mb.PauliSum(pauli_models.heisenberg_terms(n))
    rng = np.random.default_rng(11)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    psi /= np.linalg.norm(psi)
    start = time.perf_counter()
    state, log_norm = mb.evolve_imaginary(H, psi, beta, rtol=1e-8, threads=THREADS)
    ours_s = time.perf_counter() - start
    energy = H.expectation(state).real
    e0 = sla.eigsh(H.as_linear_operator(), k=1, which="SA", tol=1e-12)[0][0]
    matrix = H.to_sparse().tocsr()
    start = time.perf_counter()
    theirs = sla.expm_multiply(-beta * matrix, psi)
    scipy_s = time.perf_counter() - start
    norm = np.linalg.norm(theirs)
    return {"energy": energy, "e0": e0, "energy_error": abs(energy - e0), "log_norm": log_norm,
            "scipy_log_norm": math.log(norm) if norm > 0 and math.isfinite(norm) else None,
            "scipy_state_gap": float(np.linalg.norm(theirs / norm - state)) if norm > 0 else None,
            "ours_s": ours_s, "scipy_s": scipy_s, "speedup": scipy_s / ours_s}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=20)
    parser.add_argument("--check-n", type=int, default=12)
    parser.add_argument("--beta", type=float, default=20.0)
    args = parser.parse_args()
    rows = annealing(args.n, args.check_n)
    print(f"annealing ramp, {args.n} qubits, 101 times, 2 observables, rtol 1e-6, {THREADS} threads")
    print(f"  accuracy at {args.check_n} qubits (max error / n): ours {rows['ours_error']:.2e}, "
          f"QuTiP at rtol {rows['qutip_rtol']:.0e} {rows['qutip_error']:.2e} "
          f"(tight references agree to {rows['reference_gap']:.1e})")
    print(f"  ours {rows['ours_s']:.2f} s, QuTiP sesolve {rows['qutip_s']:.2f} s: {rows['speedup']:.1f}x "
          f"(values agree to {rows['agreement']:.1e})")
    im = imaginary(args.n, args.beta)
    print(f"imaginary time, Heisenberg chain, {args.n} qubits, beta = {args.beta:g}")
    print(f"  energy {im['energy']:.10f} against eigsh {im['e0']:.10f} (gap {im['energy_error']:.1e}); "
          f"log norm {im['log_norm']:.10f}, expm_multiply's {im['scipy_log_norm']}")
    print(f"  ours {im['ours_s']:.2f} s, expm_multiply {im['scipy_s']:.2f} s: {im['speedup']:.1f}x "
          f"(states differ by {im['scipy_state_gap']:.1e})")


if __name__ == "__main__":
    main()
