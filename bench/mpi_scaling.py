"""The distributed solvers on this machine: the Heisenberg chain at theta = 1 on 1, 2 and 4
MPI processes, and a model of larger runs built from what was measured.

    tools/env python3 bench/mpi_scaling.py                   # n = 22, 24, 26 (about 15 minutes)
    tools/env python3 bench/mpi_scaling.py --sizes 20 --procs 1 2
    tools/env python3 bench/mpi_scaling.py --model-only      # the model from the last results

Each (n, processes) runs in its own `mpirun` (oversubscribed: this machine has 2 cores, so
4 processes share them and their times show the cost of the exchanges, not a speed-up).
Per run: wall time of the solve, the peak resident memory of each process above its
slice of the start state (in state vectors of its slice), and the bytes each process
sends per application of H, as the library counts them. Results go to bench/results/mpi.json.
"""

import argparse
import json
import os
import pathlib
import subprocess
import sys
import time

BENCH = pathlib.Path(__file__).resolve().parent
RESULTS = BENCH / "results" / "mpi.json"
THETA = 1.0
RTOL = 1e-8
# Open MPI refuses to run as root without these; the CI machines run as root.
MPI_ENV = {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1"}

# The model's assumptions for a cluster (stated in the README): one process per node
# socket with 16 cores, a network that moves this many bytes per second per process in
# each direction, and a latency per message.
MODEL_BANDWIDTH = 12.5e9   # 100 Gb/s (InfiniBand EDR class) per process
MODEL_LATENCY = 2e-6
MODEL_CORES = 16


def worker(n, method, threads):
    """One solve under mpirun; rank 0 prints a JSON line."""
    from mpi4py import MPI
    import numpy as np
    import _morbizet as mz

    sys.path.insert(0, str(BENCH))
    import pauli_models

    comm = MPI.COMM_WORLD
    rank, size = comm.Get_rank(), comm.Get_size()
    terms = pauli_models.heisenberg_terms(n)
    ham = mz._Hamiltonian([mz._PauliWord(c, s) for c, s in terms])
    local = 2**n // size
    # The Neel state, each process building only its slice.
    psi = np.zeros(local, dtype=np.complex128)
    psi.fill(0.0)  # resident before the baseline, so that the peak is the solver's own memory
    neel = int("01" * (n // 2) + "0" * (n % 2), 2)
    if neel // local == rank:
        psi[neel % local] = 1.0
    with open("/proc/self/status") as f:
        base = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:")) * 1024
    comm.Barrier()
    start = time.perf_counter()
    out, info = mz._solve_distributed(method, ham, psi, THETA, RTOL, threads, comm.py2f())
    comm.Barrier()
    seconds = time.perf_counter() - start
    with open("/proc/self/status") as f:
        peak = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:")) * 1024
    norm2 = comm.allreduce(float(np.vdot(out, out).real))
    peaks = comm.gather(peak - base)
    if rank == 0:
        print(json.dumps({"n": n, "procs": size, "threads": threads, "method": method, "seconds": seconds,
                          "applications": info["applications"], "bytes_per_application": info["bytes_per_application"],
                          "peak_bytes": max(peaks), "state_bytes": 16 * 2**n, "slice_bytes": 16 * local,
                          "norm_error": abs(norm2 - 1.0)}), flush=True)


def run(n, procs, method, timeout):
    """One mpirun; the measurement, or None when it failed."""
    threads = max(1, (os.cpu_count() or 1) // procs)
    # Open MPI binds each of up to two processes to one core by default, which would put
    # both threads of a single process on the same core.
    cmd = ["mpirun", "--oversubscribe", "--bind-to", "none", "-n", str(procs), sys.executable, __file__, "--worker",
           str(n), method, str(threads)]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=os.environ | MPI_ENV)
    except subprocess.TimeoutExpired:
        print(f"n={n} procs={procs}: timed out after {timeout} s", flush=True)
        return None
    lines = [line for line in proc.stdout.splitlines() if line.startswith("{")]
    if proc.returncode != 0 or not lines:
        print(f"n={n} procs={procs}: failed: {proc.stderr.strip()[-300:]}", flush=True)
        return None
    return json.loads(lines[-1])


def table(rows):
    head = "| n | processes | threads each | time s | applications | s / application | peak per process (state vectors of its slice) | bytes sent per application per process |"
    out = [head, "|" + "---|" * 8]
    for r in rows:
        out.append(f"| {r['n']} | {r['procs']} | {r['threads']} | {r['seconds']:.1f} | {r['applications']} | "
                   f"{r['seconds'] / r['applications']:.3f} | {r['peak_bytes'] / r['slice_bytes']:.2f} | "
                   f"{r['bytes_per_application'] / 2**20:.0f} MiB |")
    return "\n".join(out)


def model(rows):
    """Time per application of the 32..40-qubit chain on 16..1024 processes: compute scaled
    from the best single-process rate measured here (amplitude-word updates per second
    per core), exchange from the measured volume law (one slice per partner whose qubits
    the words flip, p partners for the chain's p top qubits) over the assumed network."""
    single = [r for r in rows if r["procs"] == 1]
    if not single:
        return "no single-process run to scale from"
    best = max(single, key=lambda r: r["n"])
    words = 3 * (best["n"] - 1)
    rate = best["applications"] * words * 2**best["n"] / best["seconds"] / best["threads"]
    out = ["| qubits | processes | slice GiB | compute s | exchange s | total s per application |", "|---|---|---|---|---|---|"]
    for n in (32, 34, 36, 38, 40):
        for p in (4, 6, 8, 10):
            procs = 2**p
            local = 2 ** (n - p)
            if 16 * local * 5 > 512 * 2**30:  # five slices must fit a 512 GiB node
                continue
            compute = 3 * (n - 1) * local / (rate * MODEL_CORES)
            volume = p * 16 * local  # one full slice to each of p partners
            messages = p * max(1, (16 * local) // (16 * (local // 8 or 1)))
            exchange = volume / MODEL_BANDWIDTH + messages * MODEL_LATENCY
            out.append(f"| {n} | {procs} | {16 * local / 2**30:.1f} | {compute:.2f} | {exchange:.2f} | "
                       f"{compute + exchange:.2f} |")
    return "\n".join(out) + (f"\n\nMeasured rate: {rate / 1e9:.2f} G amplitude-word updates per second per core "
                             f"(n = {best['n']}, one process).")


def main(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=int, nargs="+", default=[22, 24, 26])
    p.add_argument("--procs", type=int, nargs="+", default=[1, 2, 4])
    p.add_argument("--method", default="chebyshev", choices=["chebyshev", "taylor", "krylov"])
    p.add_argument("--timeout", type=float, default=1800)
    p.add_argument("--model-only", action="store_true")
    p.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    if args.worker:
        worker(int(args.worker[0]), args.worker[1], int(args.worker[2]))
        return 0
    if args.model_only:
        rows = json.loads(RESULTS.read_text())["runs"]
    else:
        rows = []
        for n in args.sizes:
            for procs in args.procs:
                r = run(n, procs, args.method, args.timeout)
                if r is not None:
                    rows.append(r)
                    print(table([r]).splitlines()[-1], flush=True)
        RESULTS.parent.mkdir(parents=True, exist_ok=True)
        RESULTS.write_text(json.dumps({"theta": THETA, "rtol": RTOL, "model": "heisenberg", "runs": rows}, indent=1))
    print()
    print(table(rows))
    print()
    print(model(rows))
    return 0


if __name__ == "__main__":
    sys.exit(main())
