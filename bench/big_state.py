"""The largest evolution this machine holds: a 26-qubit Heisenberg chain at theta = 1.

    tools/env python3 bench/big_state.py [N] [THREADS]

Runs _evolve_higham and then _evolve_krylov from a Neel state, each in a child process
of its own, and prints the wall time, the norm of the result, the agreement of the two
solvers and each child's peak resident memory as a multiple of one state vector.
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


def worker(solver_name, n, threads, out_path):
    """One solve in this process; writes the result for the parent to compare."""
    psi = neel(n)
    start = time.perf_counter()
    out = getattr(mz, solver_name)(heisenberg(n), psi, 1.0, 1e-8, threads)
    elapsed = time.perf_counter() - start
    # A seeded random sample: a regular stride would only hit amplitudes that the
    # conserved magnetisation keeps exactly zero.
    sample = np.random.default_rng(0).choice(out.size, size=min(out.size, 1 << 16), replace=False)
    np.save(out_path, out[sample])
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(f"{solver_name}: {elapsed:.1f} s, |result| = {np.linalg.norm(out):.15f}, "
          f"peak RSS {peak / 2**30:.2f} GiB = {peak / out.nbytes:.2f} state vectors", flush=True)


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 26
    threads = int(sys.argv[2]) if len(sys.argv) > 2 else os.cpu_count()
    print(f"Heisenberg chain, {n} qubits, state vector {16 * 2**n / 2**30:.2f} GiB, {threads} threads")
    samples = []
    for name in ("_evolve_higham", "_evolve_krylov"):
        path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", f"big_{name}.npy")
        subprocess.run([sys.executable, __file__, "--worker", name, str(n), str(threads), path], check=True)
        samples.append(np.load(path))
        os.remove(path)
    print(f"max |taylor - krylov| over a sample of {samples[0].size} amplitudes: "
          f"{np.max(np.abs(samples[0] - samples[1])):.1e}")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--worker":
        worker(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5])
    else:
        main()
