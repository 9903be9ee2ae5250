"""Run under mpirun by test_distributed.py: the public interface on a state spread over
the processes of COMM_WORLD, against the single-process results computed on every
process. Prints "ok" from each process that passed."""

import sys

import numpy as np
from mpi4py import MPI

import morbizet as mb
from conftest import heisenberg_terms, random_terms

comm = MPI.COMM_WORLD
rank, size = comm.Get_rank(), comm.Get_size()


def gathered(local):
    return np.concatenate(comm.allgather(np.asarray(local)))


def mine(psi):
    local = psi.size // size
    return psi[rank * local:(rank + 1) * local]


def same_bits(a, b):
    return np.asarray(a).tobytes() == np.asarray(b).tobytes()


def check_results():
    rng = np.random.default_rng(7)
    models = {"heisenberg": (10, heisenberg_terms(10)), "random": (13, random_terms(rng, 13, 30, identity=0.4 - 0.1j))}
    for name, (n, terms) in models.items():
        H = mb.PauliSum(terms)
        psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
        psi /= np.linalg.norm(psi)
        times = [0.4, -0.3, 1.1]
        for method in ("taylor", "chebyshev", "krylov"):
            for threads in (1, 2):
                single = mb.evolve(H, psi, times, method=method, threads=threads)
                spread = mb.evolve(H, mine(psi), times, method=method, threads=threads, comm=comm)
                whole = np.stack([gathered(row) for row in spread])
                if method == "krylov":
                    assert np.linalg.norm(whole - single) <= 1e-13 * np.linalg.norm(single), (name, method)
                else:
                    assert same_bits(whole, single), (name, method, threads)
            values = mb.evolve(H, mine(psi), times, method=method, observables=[H, mb.PauliSum([(1.0, "Z" * n)])],
                               comm=comm)
            expected = mb.evolve(H, psi, times, method=method, observables=[H, mb.PauliSum([(1.0, "Z" * n)])])
            tolerance = 1e-12 if method == "krylov" else 0.0
            assert np.allclose(values, expected, rtol=tolerance, atol=tolerance), (name, method)
            assert same_bits(comm.bcast(values), values)  # the same values on every process
        assert same_bits(gathered(H.apply(mine(psi), comm=comm)), H @ psi), name
        assert H.expectation(mine(psi), comm=comm) == H.expectation(psi), name
    # A non-Hermitian sum goes to the Taylor solver, distributed too.
    G = mb.PauliSum([(1.0, "XYZIZXYZZX"), (0.3 + 0.2j, "ZZIIIIIIIX"), (0.5j, "IIIIIIIIII")])
    psi = mb.basis_state("0110100110")
    assert same_bits(gathered(mb.evolve(G, mb.basis_state("0110100110", comm=comm), 0.7, comm=comm)),
                     mb.evolve(G, psi, 0.7))
    assert same_bits(gathered(mb.basis_state(5, num_qubits=10, comm=comm)), mb.basis_state(5, num_qubits=10))


def failure(call):
    """The exception call() raised here, and whether every process raised the same one."""
    try:
        call()
        got = "no exception"
    except Exception as e:  # noqa: BLE001 - compared across the processes
        got = f"{type(e).__name__}: {e}"
    return got, len(set(comm.allgather(got))) == 1


def check_failures():
    n = 10
    H = mb.PauliSum(heisenberg_terms(n))
    psi = mine(mb.basis_state("01" * 5))
    cases = {
        "slice length": lambda: mb.evolve(H, psi if rank != size - 1 else psi[:-1], 1.0, comm=comm),
        "rtol": lambda: mb.evolve(H, psi, 1.0, rtol=1e-8 if rank else -1.0, comm=comm),
        "hamiltonian": lambda: mb.evolve(H if rank else H + mb.PauliSum([(0.1, "X" * n)]), psi, 1.0, comm=comm),
        "apply": lambda: H.apply(psi if rank else psi[:4], comm=comm),
        "expectation": lambda: H.expectation(psi if rank != size - 1 else None, comm=comm),
        "basis state": lambda: mb.basis_state("01" * 5 if rank else "012", comm=comm),
    }
    for label, call in cases.items():
        got, same = failure(call)
        assert same and got.startswith(("ValueError", "TypeError")), (label, got)
    # Still usable afterwards: nothing was left half-way through a collective.
    assert np.isfinite(mb.evolve(H, psi, 0.5, comm=comm)).all()


def check_process_count():
    got, same = failure(lambda: mb.evolve(mb.PauliSum(heisenberg_terms(8)), np.zeros(86), 1.0, comm=comm))
    assert same and "power of two" in got, got


if __name__ == "__main__":
    for check in sys.argv[1:]:
        globals()[check]()
    print("ok", flush=True)
