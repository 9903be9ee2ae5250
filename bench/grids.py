"""Time grids against the single evolution to their last time, in one run.

For each model and size: the Neel state evolved to T = 10 once (the default method,
2 threads), then the same evolution on grids of 101 and 1001 equally spaced times on
[0, T] with two observables that do not commute with H, the staggered magnetisation
sum_k (-1)^k Z_k and the correlator X_0 X_1 + Z_0 Z_1, by every method; the ratio
grid / single is what a time trace costs over one evolution. Up to --peer-max-n the
1001-point grid also runs through SciPy's expm_multiply (start/stop/num, the states
then measured with sparse matrices) and QuTiP's sesolve (its Krylov integrator, with
the observables as e_ops), each timed once, and the largest difference of their values
from ours is shown.

    make bench-grid                                   # n = 16 and 20, three models
    tools/env python3 bench/grids.py --sizes 12 --models tfim      # a quick look
"""

import argparse
import os
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import morbizet as mb  # noqa: E402
import pauli_models  # noqa: E402
from machine import best_time  # noqa: E402
from workers import QUTIP_OPTIONS  # noqa: E402

T = 10.0
RTOL = 1e-8
POINTS = (101, 1001)


def observables(n):
    identity = "I" * n
    staggered = mb.PauliSum([((-1.0) ** k, identity[:k] + "Z" + identity[k + 1:]) for k in range(n)])
    correlator = mb.PauliSum([(1.0, "XX" + identity[2:]), (1.0, "ZZ" + identity[2:])])
    return [staggered, correlator]


def ours(h, psi, times, method, threads, measured):
    return mb.evolve(h, psi, times, method=method, rtol=RTOL, threads=threads, observables=measured)


def scipy_grid(h, psi, measured):
    import scipy.sparse.linalg

    a = h.to_sparse()
    matrices = [o.to_sparse() for o in measured]
    states = scipy.sparse.linalg.expm_multiply(-1j * a, psi, start=0.0, stop=T, num=POINTS[-1], endpoint=True)
    return np.array([[np.vdot(s, m @ s).real for m in matrices] for s in states])


def qutip_grid(h, psi, measured):
    import qutip

    n = h.num_qubits
    dims = [[2] * n, [2] * n]
    ket = qutip.Qobj(psi.reshape(-1, 1), dims=[[2] * n, [1] * n])
    e_ops = [qutip.Qobj(o.to_sparse(matrix=True), dims=dims) for o in measured]
    result = qutip.sesolve(qutip.Qobj(h.to_sparse(matrix=True), dims=dims), ket, np.linspace(0.0, T, POINTS[-1]), e_ops=e_ops,
                           options=QUTIP_OPTIONS)
    return np.array(result.expect).T.real


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=int, nargs="+", default=[16, 20])
    p.add_argument("--models", nargs="+", default=list(pauli_models.MODELS), choices=pauli_models.MODELS)
    p.add_argument("--methods", nargs="+", default=["auto", "krylov", "taylor"])
    p.add_argument("--threads", type=int, default=2)
    p.add_argument("--reps", type=int, default=3)
    p.add_argument("--peer-max-n", type=int, default=16, help="largest n at which SciPy and QuTiP run")
    args = p.parse_args(argv)
    print(f"rtol {RTOL:g}, T = {T:g}, {args.threads} threads; ratios are grid time / single evolution to T")
    for n in args.sizes:
        psi = mb.basis_state("01" * (n // 2) + "0" * (n % 2))
        measured = observables(n)
        for model in args.models:
            h = mb.PauliSum(pauli_models.model_terms(model, n))
            mb.evolve(h, psi, 0.1, threads=args.threads)  # warm up
            single = best_time(lambda: mb.evolve(h, psi, T, threads=args.threads), args.reps)
            print(f"{model} n={n}: single evolution {single:.3f} s")
            reference = None
            for method in args.methods:
                line = []
                for points in POINTS:
                    times = np.linspace(0.0, T, points)
                    reps = args.reps if method != "taylor" else 1
                    elapsed = best_time(lambda: ours(h, psi, times, method, args.threads, measured), reps)
                    line.append(f"{points} times {elapsed:.3f} s = {elapsed / single:5.2f}x")
                    if points == POINTS[-1] and method == args.methods[0]:
                        reference = (elapsed, ours(h, psi, times, method, args.threads, measured))
                print(f"  {method:>9}: " + ", ".join(line))
            if n <= args.peer_max_n and reference is not None:
                for name, peer in (("scipy", scipy_grid), ("qutip", qutip_grid)):
                    values = []
                    elapsed = best_time(lambda: values.append(peer(h, psi, measured)), 1)
                    difference = np.abs(values[-1] - reference[1]).max()
                    print(f"  {name:>9}: {POINTS[-1]} times {elapsed:.3f} s, {elapsed / reference[0]:.1f}x ours "
                          f"({args.methods[0]}); largest difference {difference:.1e}")


if __name__ == "__main__":
    main()
