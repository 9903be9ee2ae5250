"""Many Python threads solving on one shared Hamiltonian: catches data races on shared state, results that depend on what runs beside them, deadlocks between the interpreter lock and the thread teams, Python objects touched without the lock, and solves that hang after a fork."""

import os
import sys
import threading
import time

import numpy as np
import pytest

import _morbizet as mz
import conftest
from conftest import SOLVERS

SANITIZED = bool(os.environ.get("MORBIZET_SANITIZED"))
TIMEOUT = 600 if SANITIZED else 180


def run_in_child(statement):
    return conftest.run_in_child("test_concurrency", statement, TIMEOUT).stdout


def _problem(seed, n=10, words=8):
    rng = np.random.default_rng(seed)
    terms = [(float(rng.normal()), "".join(rng.choice(list("IXYZ"), size=n))) for _ in range(words)]
    ham = mz._Hamiltonian([mz._PauliWord(c, s) for c, s in terms] + [mz._PauliWord(0.3 - 0.1j, "I" * n)])
    states = []
    for _ in range(3):
        psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
        psi /= np.linalg.norm(psi)
        psi.flags.writeable = False  # shared by every thread
        states.append(psi)
    return ham, states




def shared_hamiltonian_child(num_workers=8, rounds=None):
    rounds = rounds or (3 if SANITIZED else 10)
    # 2**15 amplitudes: several blocks of the Pauli kernel and two ranges of the element-wise
    # loops, so that the teams really split the work.
    ham, states = _problem(20261209, n=15, words=10)
    thetas = (0.7, -1.1, 0.25)
    reference = {(s.__name__, i): s(ham, states[i], thetas[i], 1e-10, 1).tobytes()
                 for s in SOLVERS for i in range(len(states))}
    barrier = threading.Barrier(num_workers + 1)
    failures, done = [], threading.Event()
    churned = [0]

    def worker(k):
        try:
            barrier.wait(timeout=60)
            for r in range(rounds):
                for j, solver in enumerate(SOLVERS):
                    i = (k + r + j) % len(states)
                    threads = (2, 3, 4, 0, -1, 7, 2**31 - 1, 1)[(k + r) % 8]
                    out = solver(ham, states[i], thetas[i], 1e-10, threads)
                    if out.tobytes() != reference[solver.__name__, i]:
                        failures.append(f"worker {k} round {r} {solver.__name__} threads={threads}: differs")
                # A refused call between solves leaves the shared objects as they were.
                try:
                    SOLVERS[k % len(SOLVERS)](ham, states[0], 1.0, -1.0, 3)
                    failures.append("negative rtol accepted")
                except ValueError:
                    pass
        except Exception as e:  # noqa: BLE001 - reported through the failures list
            failures.append(f"worker {k}: {type(e).__name__}: {e}")

    def churn():
        # Python work while the solves run: allocating, reading the shared Hamiltonian and
        # collecting garbage. Under -X dev an allocation made without the lock aborts.
        import gc

        while not done.is_set():
            words = ham._get_pwords()
            h = mz._Hamiltonian(words[:3])
            _ = [w._get_string() for w in words], h._num_terms(), np.ones(64).sum()
            gc.collect(0)
            churned[0] += 1

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(num_workers)]
    churner = threading.Thread(target=churn)
    for t in threads:
        t.start()
    churner.start()
    barrier.wait(timeout=60)
    deadline = time.monotonic() + TIMEOUT - 30
    for t in threads:
        t.join(max(0.0, deadline - time.monotonic()))
    done.set()
    churner.join(30)
    if any(t.is_alive() for t in threads) or churner.is_alive():
        print("threads still running: deadlock", flush=True)
        os._exit(3)
    assert not failures, failures[:10]
    assert churned[0] > 0
    assert ham._num_terms() == 11 and all(s.flags.writeable is False for s in states)
    print("ok", churned[0])


def test_shared_hamiltonian_from_many_threads():
    assert run_in_child("test_concurrency.shared_hamiltonian_child()").startswith("ok")


def interpreter_lock_child():
    """A solve on a team of threads lets another Python thread run."""
    ham, states = _problem(7, n=14, words=40)
    ticks, stop = [], threading.Event()

    def count():
        while not stop.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    sys.setswitchinterval(30.0)  # a thread holding the lock would starve the counter
    counter = threading.Thread(target=count)
    counter.start()
    time.sleep(0.05)
    report = []
    for solver in SOLVERS:
        before, start = len(ticks), time.perf_counter()
        solver(ham, states[0], 3.0, 1e-12, 4)
        report.append((solver.__name__, len(ticks) - before, time.perf_counter() - start))
    stop.set()
    counter.join()
    for name, n, seconds in report:
        # Roughly one tick per 1-2 ms while the lock is free; none at all otherwise.
        assert n >= min(5, seconds * 100), (name, n, seconds)
    print("ok", report)


def test_interpreter_lock_is_released_by_a_thread_team():
    assert run_in_child("test_concurrency.interpreter_lock_child()").startswith("ok")


def fork_child():
    """After a solve on a team of threads, a forked process can still solve on a team."""
    ham, states = _problem(3)
    reference = [s(ham, states[0], 0.9, 1e-10, 3).tobytes() for s in SOLVERS]
    for threads in (3, 2, 0):
        pid = os.fork()
        if pid == 0:
            same = all(s(ham, states[0], 0.9, 1e-10, threads).tobytes() == ref for s, ref in zip(SOLVERS, reference))
            os._exit(0 if same else 5)
        deadline = time.monotonic() + (120 if SANITIZED else 30)
        while time.monotonic() < deadline:
            done, status = os.waitpid(pid, os.WNOHANG)
            if done:
                assert os.waitstatus_to_exitcode(status) == 0, (threads, status)
                break
            time.sleep(0.01)
        else:
            os.kill(pid, 9)
            os.waitpid(pid, 0)
            raise AssertionError(f"solve with num_threads={threads} hung in a forked child")
    print("ok")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_solves_after_fork():
    assert run_in_child("import warnings; warnings.simplefilter('ignore', DeprecationWarning); "
                        "test_concurrency.fork_child()").startswith("ok")
