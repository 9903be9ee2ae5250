"""Symmetry sectors against the whole space and against SciPy, in one run.

The open Heisenberg chain from the Neel state 0101...01 at rtol 1e-8 on 2 threads, for
theta = 1 and 10: our Chebyshev evolution on the whole space (2**n amplitudes), on the
half-filled sector (weight n/2) and on that sector's spin-flip-even half, and SciPy's
expm_multiply on the sector's CSR matrix (PauliSum.to_sparse(sector=)). The ratios are
full-space time / sector time; the applications of H come from the library itself.

    make bench-sector                         # n = 20 and 24
    tools/env python3 bench/sectors.py --big  # the 30-qubit quench the full space cannot hold

--big evolves the 30-qubit chain in its half-filled sector (155 million amplitudes,
2.5 GB per state against 16 GiB for the whole space) to theta = 1 and measures the
staggered magnetisation at four times, reporting time, applications and peak memory.
"""

import argparse
import os
import resource
import sys
import time

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morbizet as mb  # noqa: E402
import pauli_models  # noqa: E402
from machine import best_time  # noqa: E402

RTOL = 1e-8
THREADS = 2


def neel(n):
    return "01" * (n // 2)


def staggered(n):
    identity = "I" * n
    return mb.PauliSum([((-1.0) ** k / n, identity[:k] + "Z" + identity[k + 1:]) for k in range(n)])


def compare(n, theta, reps):
    import scipy.sparse.linalg

    H = mb.PauliSum(pauli_models.heisenberg_terms(n))
    full = mb.basis_state(neel(n))
    row = {"n": n, "theta": theta}
    row["full_s"] = best_time(lambda: mb.evolve(H, full, theta, method="chebyshev", rtol=RTOL, threads=THREADS),
                              reps)
    row["full_apps"] = mb.evolve_with_info(H, full, theta, method="chebyshev", rtol=RTOL,
                                           threads=THREADS)[1]["applications"]
    exact = None
    for name, sector in (("sector", mb.Sector(n, weight=n // 2)),
                         ("flip", mb.Sector(n, weight=n // 2, spin_flip=+1))):
        # The Neel state is no flip eigenstate: its even part (|0101..> + |1010..>)/sqrt(2).
        psi = sector.basis_state(neel(n))
        row[name + "_s"] = best_time(lambda: mb.evolve(H, psi, theta, method="chebyshev", rtol=RTOL,
                                                       threads=THREADS, sector=sector), reps)
        out, info = mb.evolve_with_info(H, psi, theta, method="chebyshev", rtol=RTOL, threads=THREADS,
                                        sector=sector)
        row[name + "_apps"] = info["applications"]
        row[name + "_ratio"] = row["full_s"] / row[name + "_s"]
        if name == "sector":
            exact = out
            matrix = H.to_sparse(sector=sector)
            start = time.perf_counter()
            scipy_out = scipy.sparse.linalg.expm_multiply(-1j * theta * matrix, psi)
            row["scipy_s"] = time.perf_counter() - start
            row["scipy_ratio"] = row["scipy_s"] / row["sector_s"]
            row["scipy_diff"] = float(np.linalg.norm(scipy_out - exact))
    return row


def big(n=30):
    H = mb.PauliSum(pauli_models.heisenberg_terms(n))
    sector = mb.Sector(n, weight=n // 2)
    print(f"{n} qubits, half-filled sector: {sector.dim:,} amplitudes ({16 * sector.dim / 2**30:.2f} GiB per "
          f"state; the whole space needs {16 * 2**n / 2**30:.0f} GiB)", flush=True)
    start = time.perf_counter()
    psi = sector.basis_state(neel(n))
    observable = staggered(n)
    steps, applications, now = 4, 0, 0.0
    # The walk evolve(H, psi, times, observables=...) takes for this many vectors, a step
    # at a time, so that the applications of each step can be counted: each step gets an
    # equal share of rtol, and its errors add along the walk.
    for k in range(1, steps + 1):
        t = k / steps
        psi, info = mb.evolve_with_info(H, psi, t - now, rtol=RTOL / steps, threads=THREADS, sector=sector)
        applications += info["applications"]
        now = t
        value = observable.expectation(psi, threads=THREADS, sector=sector)
        print(f"  t = {t:4.2f}: staggered magnetisation {value:+.10f} ({info['applications']} applications)",
              flush=True)
    elapsed = time.perf_counter() - start
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 2**20
    print(f"  {elapsed:.0f} s on {THREADS} threads for {applications} applications of H "
          f"({elapsed / applications:.2f} s each), peak memory {peak:.1f} GiB")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[20, 24])
    parser.add_argument("--reps", type=int, default=2)
    parser.add_argument("--big", action="store_true", help="the 30-qubit run instead")
    args = parser.parse_args()
    if args.big:
        big()
        return
    print(f"{'n':>3} {'theta':>5} {'full s':>8} {'apps':>5} {'sector s':>9} {'apps':>5} {'ratio':>6} "
          f"{'+flip s':>8} {'apps':>5} {'ratio':>6} {'scipy s':>8} {'scipy/ours':>10} {'|diff|':>8}")
    for n in args.sizes:
        for theta in (1.0, 10.0):
            r = compare(n, theta, args.reps)
            print(f"{n:3d} {theta:5.0f} {r['full_s']:8.3f} {r['full_apps']:5d} {r['sector_s']:9.3f} "
                  f"{r['sector_apps']:5d} {r['sector_ratio']:6.2f} {r['flip_s']:8.3f} {r['flip_apps']:5d} "
                  f"{r['flip_ratio']:6.2f} {r['scipy_s']:8.2f} {r['scipy_ratio']:10.1f} {r['scipy_diff']:8.1e}",
                  flush=True)


if __name__ == "__main__":
    main()
