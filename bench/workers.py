"""One method on one problem, run in a child process of its own: its memory peak then
belongs to that method alone, and a method that runs out of time or memory takes only
its own process down.

A method is a class: its constructor imports what it needs and installs its counter
before the state exists; build(terms) turns the terms into the method's operator (timed
as build); solve(op, psi) resets the counter and computes exp(-i*theta*H) psi (timed as
solve); details() gives what the last solve chose and did: its Hamiltonian applications
(None where they cannot be counted) and, where the method has them, its parameters.
"""

import ctypes
import gc
import resource
import statistics
import time

import numpy as np

import counting
import pauli_models

QUTIP_OPTIONS = {
    # Chosen from a sweep of QuTiP's integrators (adams, bdf, lsoda, dop853, vern7, vern9,
    # krylov) at n = 12..14, theta = 10: its Krylov integrator was the fastest, and with this
    # dimension and an absolute tolerance a hundred times below rtol its error stayed below
    # 1e-9, where vern9 and dop853 at rtol = 1e-8 missed 1e-8 by 4x and 45x.
    "method": "krylov",
    "krylov_dim": 40,
    "atol": 1e-10,
    "nsteps": 10**7,
    "normalize_output": False,
    "store_states": False,
    "store_final_state": True,
}


class OurSolver:
    """One of _morbizet's solvers at a given thread count, through _solve: the same result
    bits as the _evolve_* functions, with the applications and parameters counted and
    reported by the library itself."""

    # The names _solve gives each solver's two a-priori parameters (degree, substeps).
    PARAMETERS = {"taylor": ("m", "s"), "krylov": ("d", "n"), "chebyshev": ("K", None)}

    def __init__(self, job):
        import _morbizet

        self.mz = _morbizet
        self.solver = job["solver"]
        self.rtol = job["rtol"]
        self.threads = job["threads"]
        self.theta = job["theta"]
        self.stats = None

    def build(self, terms):
        return self.mz._Hamiltonian([self.mz._PauliWord(c, s) for c, s in terms])

    def solve(self, ham, psi):
        out, self.stats = self.mz._solve(self.solver, ham, psi, self.theta, self.rtol, self.threads)
        return out

    def details(self):
        degree, substeps = self.PARAMETERS[self.solver]
        params = {degree: self.stats["degree"]}
        if substeps:
            params[substeps] = self.stats["substeps"]
        if "estimation_steps" in self.stats:
            params["L"] = self.stats["estimation_steps"]
        out = {"applications": self.stats["applications"], "params": params, "stats": self.stats}
        if "interval" in self.stats:
            out["interval"] = list(self.stats["interval"])
        return out


class ScipyExpmMultiply:
    """scipy.sparse.linalg.expm_multiply on the CSR matrix, called as a user would:
    expm_multiply(-1j*theta*H, psi). Its own tolerance is fixed at 2^-53."""

    def __init__(self, job):
        import scipy.sparse.linalg

        self.expm_multiply = scipy.sparse.linalg.expm_multiply
        self.counter = counting.SparseMatvecCounter()
        self.theta = job["theta"]

    def build(self, terms):
        return pauli_models.csr_matrix(terms)

    def solve(self, h, psi):
        self.counter.count = 0
        return self.expm_multiply((-1j * self.theta) * h, psi)

    def details(self):
        return {"applications": self.counter.count}


class QutipSesolve:
    """qutip.sesolve with its Krylov integrator (QUTIP_OPTIONS) on a Qobj wrapping the same
    CSR matrix; build is the CSR build plus QuTiP's conversion."""

    def __init__(self, job):
        import qutip
        import scipy.sparse

        self.qutip = qutip
        self.to_matrix = scipy.sparse.csr_matrix
        self.counter = counting.qutip_krylov_counter(2 ** job["n"])
        self.theta = job["theta"]

    def build(self, terms):
        n = len(terms[0][1])
        return self.qutip.Qobj(self.to_matrix(pauli_models.csr_matrix(terms)), dims=[[2] * n, [2] * n])

    def solve(self, h, psi):
        if self.counter is not None:
            self.counter.count = 0
        n = psi.size.bit_length() - 1
        ket = self.qutip.Qobj(psi.reshape(-1, 1), dims=[[2] * n, [1] * n])
        result = self.qutip.sesolve(h, ket, [0.0, self.theta], options=QUTIP_OPTIONS)
        return result.final_state.full().ravel()

    def details(self):
        return {"applications": None if self.counter is None else self.counter.count}


class DenseExpm:
    """scipy.linalg.expm of the dense matrix -i*theta*H, times psi: the reference for small n."""

    def __init__(self, job):
        import scipy.linalg

        self.expm = scipy.linalg.expm
        self.theta = job["theta"]

    def build(self, terms):
        return (-1j * self.theta) * pauli_models.csr_matrix(terms).toarray()

    def solve(self, a, psi):
        return self.expm(a) @ psi

    def details(self):
        return {"applications": None}


METHODS = {"ours": OurSolver, "scipy": ScipyExpmMultiply, "qutip": QutipSesolve, "dense": DenseExpm}


def reset_peak_rss():
    """Resets the kernel's resident high-water mark of this process (Linux clear_refs 5), so
    that the peak read later is the method's own, not that of the imports before it."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def proc_status_bytes(field):
    """A kB field of /proc/self/status (VmRSS, VmHWM) in bytes."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def maxrss_bytes():
    """ru_maxrss of this process (kB on Linux) in bytes."""
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def release_free_heap():
    """Hands freed heap memory back to the kernel (glibc malloc_trim), so that memory the
    set-up freed but kept resident is not in the baseline for the method to reuse unseen."""
    try:
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


class PeakMemory:
    """Peak resident memory of what runs between start() and stop(), minus what was resident
    at start (interpreter, imports, the state): VmHWM after a reset where the kernel allows
    it, else ru_maxrss before and after."""

    def start(self):
        gc.collect()
        release_free_heap()
        self.exact = reset_peak_rss()
        self.baseline = proc_status_bytes("VmRSS") if self.exact else maxrss_bytes()

    def stop(self):
        peak = proc_status_bytes("VmHWM") if self.exact else maxrss_bytes()
        return peak, self.baseline


def timed_reps(method, terms, psi, reps, budget_s):
    """Builds and solves up to `reps` times, stopping once `budget_s` is spent (at least
    once); returns the last result, the (build, solve) times and the last details. The
    previous result is dropped before each repetition so that the peak is one run's."""
    times, out = [], None
    for _ in range(reps):
        out = op = None
        t0 = time.perf_counter()
        op = method.build(terms)
        t1 = time.perf_counter()
        out = method.solve(op, psi)
        t2 = time.perf_counter()
        times.append((t1 - t0, t2 - t1))
        if sum(b + s for b, s in times) >= budget_s:
            break
    return out, times, method.details()


WARM_UP_QUBITS = 6


def warm_up(method):
    """One small solve first, so that imports and caches a method fills on its first call
    count neither in its time nor in its memory."""
    method.solve(method.build(pauli_models.tfim_terms(WARM_UP_QUBITS)), pauli_models.random_state(WARM_UP_QUBITS))


def run_worker(job):
    """Runs one method on one (model, n, theta) and returns its measurements; the result
    vector goes to job['out'] for the parent to compare."""
    method = METHODS[job["kind"]](job)
    warm_up(method)
    terms = pauli_models.model_terms(job["model"], job["n"])
    psi = pauli_models.random_state(job["n"])
    memory = PeakMemory()
    memory.start()
    out, times, details = timed_reps(method, terms, psi, job["reps"], job["budget_s"])
    peak, baseline = memory.stop()
    np.save(job["out"], np.asarray(out, dtype=np.complex128))
    return {
        "build_s": statistics.median(b for b, _ in times),
        "solve_s": statistics.median(s for _, s in times),
        "total_s": statistics.median(b + s for b, s in times),
        "times": times,
        "reps_done": len(times),
        "mem_peak_bytes": peak,
        "mem_baseline_bytes": baseline,
        "mem_bytes": max(0, peak - baseline),
        "mem_method": "VmHWM after clear_refs" if memory.exact else "ru_maxrss",
    } | details
