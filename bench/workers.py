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
    reported by the library itself. Like a PauliSum, it keeps the spectral interval the
    first solve on a Hamiltonian finds for the later ones on the same terms."""

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
        self.spectra = {}

    def build(self, terms):
        ham = self.mz._Hamiltonian([self.mz._PauliWord(c, s) for c, s in terms])
        ham._spectrum = self.spectra.setdefault(tuple(terms), [None])
        return ham

    def solve(self, ham, psi):
        out, self.stats = self.mz._solve(self.solver, ham, psi, self.theta, self.rtol, self.threads, None, None,
                                         ham._spectrum)
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


def chebyshev_operator(terms):
    """What the NumPy series needs of H: the CSR matrix of 2 H' / b with b = sum |coeff|
    over the non-identity words (H' scaled into [-2, 2], so that each step of the
    recurrence is one product and one subtraction, with no scaling pass over the state),
    b, and the identity part's coefficient."""
    bound = pauli_models.norm_bound(terms)
    shift = sum(c for c, s in terms if not s.strip("I"))
    return pauli_models.csr_matrix([(2.0 * c / bound, s) for c, s in pauli_models.nonidentity(terms)]), bound, shift


def chebyshev_evolve(op, psi, theta, rtol):
    """exp(-i*theta*H) psi as the Chebyshev series a capable user writes: coefficients
    2 (-i)^k J_k(theta*b) from SciPy's Bessel functions, the series stopped before the
    first coefficient past theta*b below rtol/10 (beyond theta*b they fall faster than
    geometrically), the three-term recurrence in NumPy, the identity part a phase.
    Returns the state and the degree."""
    import scipy.special

    a, bound, shift = op
    z = theta * bound
    k = np.arange(int(1.5 * z) + 60)
    coeffs = 2.0 * np.array([1, -1j, -1, 1j])[k % 4] * scipy.special.jv(k, z)
    coeffs[0] /= 2.0
    degree = int(np.flatnonzero((k > z) & (np.abs(coeffs) < rtol / 10))[0]) - 1
    t_prev, t = psi, 0.5 * (a @ psi)
    out = coeffs[0] * psi + coeffs[1] * t
    for j in range(2, degree + 1):
        t_next = a @ t
        t_next -= t_prev
        out += coeffs[j] * t_next
        t_prev, t = t, t_next
    out *= np.exp(-1j * theta * shift)
    return out, degree


class NumpyChebyshev:
    """The NumPy Chebyshev series on the CSR matrix (chebyshev_operator, chebyshev_evolve),
    single-threaded as SciPy's sparse products are, its products counted."""

    def __init__(self, job):
        self.counter = counting.SparseMatvecCounter()
        self.theta = job["theta"]
        self.rtol = job["rtol"]
        self.degree = self.bound = None

    def build(self, terms):
        return chebyshev_operator(terms)

    def solve(self, op, psi):
        self.counter.count = 0
        out, self.degree = chebyshev_evolve(op, psi, self.theta, self.rtol)
        self.bound = op[1]
        return out

    def details(self):
        return {"applications": self.counter.count, "params": {"K": self.degree},
                "interval": [-self.bound, self.bound]}


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


METHODS = {"ours": OurSolver, "scipy": ScipyExpmMultiply, "numpy": NumpyChebyshev, "qutip": QutipSesolve,
           "dense": DenseExpm}
SPECTRUM_SEED = 20261210
# A Ritz residual below SPECTRUM_TOL times the value bounds the value's error by the same,
# and in practice it is about the residual squared over the gap: within 2e-11 of the
# dense values at n = 12, and of searches at 1e-10 at n = 14 and 16.
SPECTRUM_TOL = 1e-6
# Lanczos vectors ARPACK keeps between restarts: at 20 (its default) the restarts cost
# more than the products on the random model's clustered edges; 60 halved the time at
# n = 16 and 18.
SPECTRUM_NCV = 60


def extreme_eigenvalues(terms, dense):
    """(smallest, largest) eigenvalue of H' and how they were found: numpy.linalg.eigvalsh
    of the dense matrix, or scipy.sparse.linalg.eigsh (Lanczos, one value at each end, from
    a seeded start) on the CSR matrix."""
    import scipy.sparse.linalg

    h = pauli_models.csr_matrix(pauli_models.nonidentity(terms))
    if dense:
        values = np.linalg.eigvalsh(h.toarray())
        return float(values[0]), float(values[-1]), "eigvalsh"
    dim = h.shape[0]
    v0 = np.random.default_rng(SPECTRUM_SEED).normal(size=dim).astype(np.complex128)
    ends = [scipy.sparse.linalg.eigsh(h, k=1, which=which, v0=v0, tol=SPECTRUM_TOL, ncv=min(SPECTRUM_NCV, dim),
                                      return_eigenvectors=False)[0] for which in ("SA", "LA")]
    return float(ends[0]), float(ends[1]), "eigsh"


def spectrum_worker(job):
    """--worker mode for the extreme eigenvalues of one (model, n)."""
    t0 = time.perf_counter()
    lo, hi, how = extreme_eigenvalues(pauli_models.model_terms(job["model"], job["n"]), job["dense"])
    return {"min": lo, "max": hi, "how": how, "seconds": time.perf_counter() - t0}


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
    if job["kind"] == "spectrum":
        return spectrum_worker(job)
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
