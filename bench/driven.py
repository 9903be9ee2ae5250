"""Driven and imaginary-time evolution against their peers, in one run on 2 threads.

Annealing: the transverse-field Ising ramp H(s) = -(1 - s) sum X_i + s (sum Z_i Z_{i+1} +
0.5 sum Z_i), s = t / T, T = 10, from |+...+>, 101 output times with two observables
(sum X_i and sum Z_i Z_{i+1}) at rtol 1e-6: our TimeDependentSum against QuTiP's sesolve
on the same CSR matrices and coefficient functions. Both are first checked at 12 qubits
against a tight reference (our integrator at rtol 1e-11, agreeing with QuTiP at 1e-11),
and QuTiP runs at the loosest of 1e-6 ... 1e-10 that meets the accuracy asked of us, and
at the loosest that matches the accuracy we reach.

Imaginary time: the open Heisenberg chain to beta = 20 from a random state: the energy
against the ground-state energy from eigsh on our LinearOperator, the log norm against
expm_multiply's state, and the time against SciPy's expm_multiply of -beta H on the CSR
matrix (whose state has a norm near e^(-beta E0), past the double range for beta |E0|
beyond about 709, where it overflows).

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


def annealing(n, check_n, rtol=1e-6):
    times = np.linspace(0.0, T, 101)[1:]
    x, zz = ising_parts(n)
    observables = [-x, zz]  # sum X_i and the Ising energy
    # Accuracy at check_n qubits against tight references, as error / n (both
    # observables have norms of about n).
    cx, czz = ising_parts(check_n)
    small = [-cx, czz]
    tight, _ = ours(check_n, 1e-11, times, small)
    tight_q, _ = qutip_run(check_n, 1e-11, times, small)
    rows = {"reference_gap": float(np.abs(tight - tight_q).max() / check_n)}
    mine, _ = ours(check_n, rtol, times, small)
    rows["ours_error"] = float(np.abs(mine - tight).max() / check_n)
    # QuTiP's tolerance: the loosest that meets the accuracy asked of us, and the
    # loosest that matches the accuracy we reached.
    errors = {}
    for q_rtol in (1e-6, 1e-7, 1e-8, 1e-9, 1e-10):
        theirs, _ = qutip_run(check_n, q_rtol, times, small)
        errors[q_rtol] = float(np.abs(theirs - tight).max() / check_n)
        if errors[q_rtol] <= rows["ours_error"]:
            break
    rows["qutip_errors"] = errors
    meets = [q for q, e in errors.items() if e <= rtol]
    matches = [q for q, e in errors.items() if e <= rows["ours_error"]]
    rows["qutip_meets"] = meets[0] if meets else min(errors)
    rows["qutip_matches"] = matches[0] if matches else min(errors)
    values, rows["ours_s"] = ours(n, rtol, times, observables)
    for key in ("meets", "matches"):
        q_rtol = rows["qutip_" + key]
        if key == "matches" and q_rtol == rows["qutip_meets"]:
            rows["qutip_matches_s"] = rows["qutip_meets_s"]
            continue
        theirs, rows[f"qutip_{key}_s"] = qutip_run(n, q_rtol, times, observables)
        rows["agreement"] = float(np.abs(values - theirs).max() / n)
    return rows


def log_norm_of(v):
    """ln |v| without squaring entries that overflow."""
    largest = float(np.abs(v).max())
    if not (largest > 0 and math.isfinite(largest)):
        return None
    return math.log(largest) + math.log(np.linalg.norm(v / largest))


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
    theirs_log = log_norm_of(theirs)
    gap = None
    if theirs_log is not None:
        unit = theirs / np.abs(theirs).max()
        gap = float(np.linalg.norm(unit / np.linalg.norm(unit) - state))
    return {"energy": energy, "e0": e0, "energy_error": abs(energy - e0), "log_norm": log_norm,
            "scipy_log_norm": theirs_log, "scipy_state_gap": gap,
            "ours_s": ours_s, "scipy_s": scipy_s, "speedup": scipy_s / ours_s}


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--n", type=int, default=20)
    parser.add_argument("--check-n", type=int, default=12)
    parser.add_argument("--beta", type=float, default=20.0)
    args = parser.parse_args()
    rows = annealing(args.n, args.check_n)
    print(f"annealing ramp, {args.n} qubits, 101 times, 2 observables, rtol 1e-6, {THREADS} threads")
    errors = ", ".join(f"{q:.0e}: {e:.1e}" for q, e in rows["qutip_errors"].items())
    print(f"  accuracy at {args.check_n} qubits (max error / n): ours {rows['ours_error']:.2e}; QuTiP by its "
          f"rtol {errors} (tight references agree to {rows['reference_gap']:.1e})")
    print(f"  ours {rows['ours_s']:.2f} s; QuTiP sesolve at rtol {rows['qutip_meets']:.0e} (meets 1e-6) "
          f"{rows['qutip_meets_s']:.2f} s: {rows['qutip_meets_s'] / rows['ours_s']:.1f}x; "
          f"at rtol {rows['qutip_matches']:.0e} (matches ours) {rows['qutip_matches_s']:.2f} s: "
          f"{rows['qutip_matches_s'] / rows['ours_s']:.1f}x (values agree to {rows['agreement']:.1e})")
    im = imaginary(args.n, args.beta)
    print(f"imaginary time, Heisenberg chain, {args.n} qubits, beta = {args.beta:g}")
    print(f"  energy {im['energy']:.10f} against eigsh {im['e0']:.10f} (gap {im['energy_error']:.1e}); "
          f"log norm {im['log_norm']:.10f}, from expm_multiply's state {im['scipy_log_norm']}")
    print(f"  ours {im['ours_s']:.2f} s, expm_multiply {im['scipy_s']:.2f} s: {im['speedup']:.1f}x "
          f"(normalised states differ by {im['scipy_state_gap']})")


if __name__ == "__main__":
    main()
