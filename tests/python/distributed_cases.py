"""Run under mpirun by test_distributed.py: the public interface on a state spread over
the processes of COMM_WORLD, against the single-process results computed on every
process. Prints "ok" from each process that passed."""

import os
import signal
import sys
import threading

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
    models = {"heisenberg": (10, heisenberg_terms(10)), "random": (13, random_terms(rng, 13, 30, identity=0.4 - 0.1j)),
              # 32 amplitudes: the Krylov space is the whole space, its basis kept and
              # reorthogonalised over the processes.
              "whole space": (5, random_terms(rng, 5, 12)),
              # Dozens of words per flip mask, whose coefficients come from a transform over
              # the low index bits, which a process's slice of 2^10 or 2^9 amplitudes cuts.
              "few masks": (11, many_words_on_few_masks(rng, 11))}
    for name, (n, terms) in models.items():
        H = mb.PauliSum(terms)
        psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
        psi /= np.linalg.norm(psi)
        times = [0.4, -0.3, 1.1]
        for method in ("taylor", "chebyshev", "krylov"):
            for threads in (1, 2):
                # A grid with comm is walked step by step, as one process does without grid memory.
                single = mb.evolve(H, psi, times, method=method, threads=threads, grid_memory=0)
                spread = mb.evolve(H, mine(psi), times, method=method, threads=threads, comm=comm)
                whole = np.stack([gathered(row) for row in spread])
                if method == "krylov":
                    assert np.linalg.norm(whole - single) <= 1e-13 * np.linalg.norm(single), (name, method)
                else:
                    assert same_bits(whole, single), (name, method, threads)
            values = mb.evolve(H, mine(psi), times, method=method, observables=[H, mb.PauliSum([(1.0, "Z" * n)])],
                               comm=comm)
            expected = mb.evolve(H, psi, times, method=method, observables=[H, mb.PauliSum([(1.0, "Z" * n)])],
                                 grid_memory=0)
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


def many_words_on_few_masks(rng, n):
    """40 real words on each of three flip masks and on the diagonal, Z and Y at random."""
    terms = []
    for flips in ("I" * n, "X" + "I" * (n - 2) + "X", "IXXI" + "I" * (n - 4), "I" * (n - 3) + "XXX"):
        for _ in range(40):
            word = "".join({"I": "IZ", "X": "XY"}[c][rng.integers(2)] for c in flips)
            terms.append((float(rng.normal()), word))
    return terms


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
        # Valid on each process, but not the same on all of them: each must be refused by
        # name, not paired with another process's different collective calls.
        "t": lambda: mb.evolve(H, psi, [0.0, 1.0] if rank else [1.0, 1.0], comm=comm),
        "t ": lambda: mb.evolve(H, psi, [0.0, 1.0] if rank else [0.0, 1.0, 2.0], observables=H, comm=comm),
        "observables": lambda: mb.evolve(H, psi, [0.5], observables=[H] if rank else [H, H], comm=comm),
        "observables  ": lambda: mb.evolve(H, psi, [0.5], observables=None if rank else [H], comm=comm),
        "bits": lambda: mb.basis_state("01" * 5 if rank else "10" * 5, comm=comm),
        "H": lambda: H.expectation(psi, comm=comm) if rank else (2 * H).expectation(psi, comm=comm),
    }
    for label, call in cases.items():
        got, same = failure(call)
        assert same and got.startswith(("ValueError", "TypeError")), (label, got)
        if label.strip() in ("t", "observables", "bits", "H"):
            assert f"{label.strip()} differs between processes" in got, (label, got)
        assert "on process -" not in got and "of -" not in got, got
    # Not a communicator: the TypeError meant, on each process, before any collective call.
    for call in (lambda: mb.evolve(H, psi, 1.0, comm=object()), lambda: H.expectation(psi, comm="world"),
                 lambda: mb.basis_state(1, 10, comm=3)):
        got, _ = failure(call)  # the message shows the object, whose address differs
        assert got.startswith("TypeError: comm must be an mpi4py communicator"), got
    # Spectral bounds kept with H that differ between processes (each process's solves so
    # far differing): refused by name on every process, then a solve on agreed bounds runs.
    K = mb.PauliSum(heisenberg_terms(n))
    mb._core.spectrum(K._hamiltonian())[0] = None if rank else (-20.0, 10.0, -30.0, 10.0, True, 2)
    got, same = failure(lambda: mb.evolve(K, psi, 0.5, method="chebyshev", comm=comm))
    assert same and "kept spectral bounds differ between processes" in got, got
    mb._core.spectrum(K._hamiltonian())[0] = None
    # Still usable afterwards: nothing was left half-way through a collective.
    assert np.isfinite(mb.evolve(H, psi, 0.5, comm=comm)).all()
    assert np.isfinite(mb.evolve(K, psi, 0.5, comm=comm)).all()


def check_interrupts():
    """Ctrl-C on one process only, during a loop of collective calls or a grid with
    observables: every process raises KeyboardInterrupt, none waits for ever, and the
    next call works."""
    n = 14
    H = mb.PauliSum(heisenberg_terms(n))
    Z = mb.PauliSum([(1.0, "Z" * n)])
    psi = mine(mb.basis_state("01" * 7))
    loops = {
        "expectation loop": lambda: [H.expectation(psi, comm=comm) for _ in range(10**6)],
        "apply loop": lambda: [H.apply(psi, comm=comm) for _ in range(10**6)],
        "grid with observables": lambda: mb.evolve(H, psi, np.linspace(0.0, 2000.0, 20001), observables=[H, Z],
                                                   comm=comm),
    }
    for label, loop in loops.items():
        for delay in (0.2, 0.45, 0.7):
            comm.Barrier()
            if rank == size - 1:
                threading.Timer(delay, os.kill, (os.getpid(), signal.SIGINT)).start()
            try:
                loop()
                got = "finished"
            except KeyboardInterrupt:
                got = "interrupted"
            assert comm.allgather(got) == ["interrupted"] * size, (label, delay, got)
            assert np.isfinite(H.expectation(psi, comm=comm)), label


def check_driven_and_imaginary():
    # A driven sum and imaginary time give the single-process bits on every process count.
    n = 10
    hop, field = mb.PauliSum(heisenberg_terms(n)), mb.PauliSum([(1.0, "Z" + "I" * (n - 1)), (0.5, "I" * (n - 1) + "X")])
    H = mb.TimeDependentSum([(hop, 1.0), (field, lambda t: np.cos(3.0 * t))])
    rng = np.random.default_rng(3)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    psi /= np.linalg.norm(psi)
    times = [0.3, 0.8]
    single = mb.evolve(H, psi, times, rtol=1e-7)
    spread = mb.evolve(H, mine(psi), times, rtol=1e-7, comm=comm)
    assert same_bits(np.stack([gathered(row) for row in spread]), single)
    values = mb.evolve(H, mine(psi), times, observables=field, comm=comm)
    assert np.allclose(values, mb.evolve(H, psi, times, observables=field), rtol=0, atol=1e-12)
    state, log_norm = mb.evolve_imaginary(hop, mine(psi), 3.0, comm=comm)
    expected, expected_log = mb.evolve_imaginary(hop, psi, 3.0)
    assert same_bits(gathered(state), expected) and log_norm == expected_log
    values, logs = mb.evolve_imaginary(hop, mine(psi), [0.5, 2.0], observables=[hop], comm=comm)
    assert same_bits(logs, mb.evolve_imaginary(hop, psi, [0.5, 2.0], observables=[hop])[1])
    got, same = failure(lambda: mb.evolve_imaginary(hop, mine(psi), 1.0 + rank, comm=comm))
    assert same and "beta differs" in got, got


def check_process_count():
    got, same = failure(lambda: mb.evolve(mb.PauliSum(heisenberg_terms(8)), np.zeros(86), 1.0, comm=comm))
    assert same and "power of two" in got, got


if __name__ == "__main__":
    for check in sys.argv[1:]:
        globals()[check]()
    print("ok", flush=True)
