"""What the machine is and what it can do: its description for the record, a STREAM-like
memory bandwidth, and the time of one pass of a single Pauli word over a state vector,
against which every measured time is set as a ratio."""

import concurrent.futures
import datetime
import importlib
import os
import pathlib
import platform
import statistics
import time

import numpy as np

REPO = pathlib.Path(__file__).resolve().parents[1]
STATE_BYTES = 16


def cpu_model():
    """The first 'model name' of /proc/cpuinfo."""
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def meminfo_bytes(field):
    """A kB field of /proc/meminfo (MemTotal, MemAvailable) in bytes; None off Linux."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return None


def package_version(name):
    """A package's version, or None when it is not installed."""
    try:
        return importlib.import_module(name).__version__
    except ImportError:
        return None


def git_commit():
    """The checked-out commit, read from .git directly (git itself may be absent)."""
    head = REPO / ".git" / "HEAD"
    try:
        ref = head.read_text().strip()
        if ref.startswith("ref: "):
            return (REPO / ".git" / ref[5:]).read_text().strip()
        return ref
    except OSError:
        return None


def blas_name():
    """The BLAS NumPy was built against: with the reference BLAS, dense methods are slow."""
    try:
        return np.show_config(mode="dicts")["Build Dependencies"]["blas"]["name"]
    except (KeyError, TypeError):
        return None


def machine_info(module_file):
    """Everything needed to tell later whether two result files are comparable."""
    return {
        "date": datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0).isoformat(),
        "cpu_model": cpu_model(),
        "logical_cpus": os.cpu_count(),
        "usable_cpus": len(os.sched_getaffinity(0)),
        "mem_total_bytes": meminfo_bytes("MemTotal"),
        "mem_available_bytes": meminfo_bytes("MemAvailable"),
        "kernel": platform.release(),
        "python": platform.python_version(),
        "numpy": np.__version__,
        "scipy": package_version("scipy"),
        "qutip": package_version("qutip"),
        "matplotlib": package_version("matplotlib"),
        "blas": blas_name(),
        "module": module_file,
        "git_commit": git_commit(),
        "load_average": os.getloadavg(),
        "omp_env": {k: v for k, v in os.environ.items() if k.startswith(("OMP_", "GOMP_", "OPENBLAS_"))},
    }


def best_time(fn, reps):
    """Smallest wall time of reps calls: the STREAM convention, the least disturbed run."""
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - t0)
    return best


def split_run(pool, kernel, arrays, threads):
    """Runs kernel on `threads` contiguous slices of the arrays at once. NumPy releases the
    interpreter lock inside copy and add, so Python threads give real parallel traffic."""
    chunks = [np.array_split(a, threads) for a in arrays]
    futures = [pool.submit(kernel, *(c[t] for c in chunks)) for t in range(threads)]
    for f in futures:
        f.result()


def stream_bandwidth(length, reps, max_threads):
    """STREAM copy (b = a, 16 bytes moved per element) and add (c = a + b, 24 bytes) on
    float64 arrays far larger than any cache, in GB/s, for 1..max_threads threads."""
    a = np.full(length, 1.0)
    b = np.full(length, 2.0)
    c = np.zeros(length)
    out = {}
    with concurrent.futures.ThreadPoolExecutor(max_threads) as pool:
        for threads in range(1, max_threads + 1):
            copy_s = best_time(lambda: split_run(pool, np.copyto, (b, a), threads), reps)
            add_s = best_time(lambda: split_run(pool, lambda x, y, z: np.add(x, y, out=z), (a, b, c), threads), reps)
            out[str(threads)] = {"copy_GBps": 16 * length / copy_s / 1e9, "add_GBps": 24 * length / add_s / 1e9}
    return {"array_bytes": 8 * length, "threads": out}


def batch_seconds(fn, batch_min_s=0.02, trials=5):
    """Median time of one call of fn, timed in batches long enough for the clock."""
    batch = 1
    while True:
        t = best_time(lambda: [fn() for _ in range(batch)], 1)
        if t >= batch_min_s or batch >= 1 << 16:
            break
        batch *= 2
    samples = []
    for _ in range(trials):
        t0 = time.perf_counter()
        for _ in range(batch):
            fn()
        samples.append((time.perf_counter() - t0) / batch)
    return statistics.median(samples)


PASS_WORDS = 8


def pass_hamiltonians(mz, n):
    """Single-qubit Y words on the min(n, PASS_WORDS) top qubits, each flipping a bit of its
    own (so each is a group of its own in the grouped action, and each gathers from a far
    part of the state), and the identity alone, whose application does everything else
    an application does: the call, allocating and writing the output, the identity part."""
    words = min(n, PASS_WORDS)
    passes = mz._Hamiltonian([mz._PauliWord(1.0, "I" * k + "Y" + "I" * (n - k - 1)) for k in range(words)])
    return passes, mz._Hamiltonian([mz._PauliWord(1.0, "I" * n)]), words


def word_pass_seconds(mz, n, threads):
    """Time of one pass of a single Pauli word over a state vector of 2^n amplitudes: the
    difference between _apply of the Y words and _apply of the identity alone, per word.
    Both calls pay for the output and the identity part's pass, so the difference is the
    words' own work; it is None where noise swallows it (tiny n)."""
    passes, identity, words = pass_hamiltonians(mz, n)
    psi = np.zeros(2**n, dtype=np.complex128)
    psi[0] = 1.0
    words_s = batch_seconds(lambda: mz._apply(passes, psi, threads))
    identity_s = batch_seconds(lambda: mz._apply(identity, psi, threads))
    seconds = (words_s - identity_s) / words if words_s > identity_s else None
    return {"seconds": seconds, "words": words, "apply_words_s": words_s, "apply_identity_s": identity_s}


def word_passes(mz, sizes, max_threads):
    """word_pass_seconds for every n and thread count, with the effective bandwidth of the
    pass: each word reads the whole input once (16 bytes per amplitude); the output is
    written once per application whatever the word count, and that is in the identity's
    time."""
    out = {}
    for n in sizes:
        out[str(n)] = {}
        for threads in range(1, max_threads + 1):
            w = word_pass_seconds(mz, n, threads)
            w["effective_GBps"] = None if w["seconds"] is None else 16 * 2**n / w["seconds"] / 1e9
            out[str(n)][str(threads)] = w
    return out
