"""The largest evolution this machine holds: a 26-qubit Heisenberg chain at theta = 1.

    tools/env python3 bench/big_state.py [N] [THREADS]

Runs the Taylor, Krylov and Chebyshev solvers (through _solve, which reports what each
chose and did) from a Neel state, each in a child process of its own, and prints the
wall time, the applications and parameters, the norm of the result, the agreement of
the solvers and each child's peak resident memory as a multiple of one state vector.
Each solver holds at most five state vectors, so each fits where five do.
"""

import os
import resource
import subprocess
import sys
import time

import numpy as np

import _morbizet as mz


def neel(n):
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[int("01" * (n // 2) + "0" * (n % 2), 2)] = 1.0
    return psi


def heisenberg(n):
    return mz._Hamiltonian([mz._PauliWord(1.0, "I" * k + p + p + "I" * (n - k - 2))
                            for k in range(n - 1) for p in "XYZ"])


SOLVERS = ("taylor", "krylov", "chebyshev")


def worker(method, n, threads, out_path):
    """One solve in this process; writes the result for the parent to compare."""
    psi = neel(n)
    start = time.perf_counter()
    out, stats = mz._solve(method, heisenberg(n), psi, 1.0, 1e-8, threads)
    elapsed = time.perf_counter() - start
    # A seeded random sample: a regular stride would only hit amplitudes that the
    # conserved magnetisation keeps exactly zero.
    sample = np.random.default_rng(0).choice(out.size, size=min(out.size, 1 << 16), replace=False)
    np.save(out_path, out[sample])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{method}: {elapsed:.1f} s, {stats['applications']} applications (degree {stats['degree']}, "
          f"substeps {stats['substeps']}), |result| = {np.linalg.norm(out):.15f}, "
          f"peak RSS {peak / 2**30:.2f} GiB = {peak / out.nbytes:.2f} state vectors", flush=True)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 26
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else os.cpu_count()
    print(f"Heisenberg chain, {n} qubits, state vector {16 * 2**n / 2**30:.2f} GiB, {threads} threads")
    samples = {}
    for method in SOLVERS:
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", f"big_{method}.npy")
        subprocess.run([sys.executable, __file__, "--worker", method, str(n), str(threads), path], check=True)
        samples[method] = np.load(path)
        os.remove(path)
    for other in SOLVERS[1:]:
        print(f"max |taylor - {other}| over a sample of {samples[other].size} amplitudes: "
              f"{np.max(np.abs(samples['taylor'] - samples[other])):.1e}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        main()
