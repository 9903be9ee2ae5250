"""Benchmark of _morbizet's three solvers against SciPy, NumPy and QuTiP, with the machine's floor.

    tools/env python3 bench/run.py            # the full run (n = 12, 14, ..., 22, hours)
    tools/env python3 bench/run.py --quick    # tiny sizes, a smoke test
    tools/env python3 bench/run.py --help     # every option

Every (model, n, theta, method) runs in a child process of its own (this script in
--worker mode), which measures time, memory and applications, and so does the search
for the extreme eigenvalues of each (model, n); this process compares the results with
a reference, prints a line per run as it finishes, then the machine's floor, the whole
table and the Chebyshev solver against the fastest peer, and writes latest.json and
latest.png to bench/results/ (or --out). See bench/README.md for the columns.
"""

import argparse
import contextlib
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np

import machine
import pauli_models
import report
import workers

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
RTOL = 1e-8
REFERENCE_RTOL = 1e-12
MEMORY_HEADROOM = 0.8
BUSY_LOAD = 0.5
QUTIP_KRYLOV_VECTORS = 3 * workers.QUTIP_OPTIONS["krylov_dim"]
PEER_KINDS = ("scipy", "numpy", "qutip")
TARGET_SOLVER = "chebyshev"
TARGET_STATES = 5


QUICK_DEFAULTS = {"sizes": [8, 10], "thetas": [1.0], "reps": 1, "dense_max_n": 8, "timeout": 120.0}
FULL_DEFAULTS = {"sizes": None, "thetas": [1.0, 10.0], "reps": 5, "dense_max_n": 12, "timeout": 900.0}


def parse_args(argv):
    """The command line; --quick only changes the defaults of options not given."""
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--quick", action="store_true", help="n in {8, 10}, theta = 1, one repetition, dense only at n = 8")
    p.add_argument("--min-n", type=int, default=12, help="smallest n (default 12)")
    p.add_argument("--max-n", type=int, default=22, help="largest n (24 is possible where memory allows)")
    p.add_argument("--step", type=int, default=2, help="step between sizes from --min-n to --max-n")
    p.add_argument("--sizes", type=int, nargs="+", help="explicit sizes (still capped by --max-n)")
    p.add_argument("--models", nargs="+", choices=pauli_models.MODELS, default=list(pauli_models.MODELS))
    p.add_argument("--thetas", type=float, nargs="+", help="evolution times (default 1 10)")
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2],
                   help="thread counts of our solvers (default 1 2)")
    p.add_argument("--reps", type=int, help="most repetitions, default 5 (at most 3 above n = 16, 1 above 20)")
    p.add_argument("--budget", type=float, default=60.0,
                   help="stop repeating a method after this many seconds (default 60)")
    p.add_argument("--timeout", type=float,
                   help="seconds one method, or one eigenvalue search, may take in all (default 900, 120 with "
                        "--quick)")
    p.add_argument("--dense-max-n", type=int,
                   help="largest n with a dense scipy.linalg.expm reference and dense eigenvalues (default 12, "
                        "8 with --quick; at n = 12 each exponential and each eigvalsh takes about a minute)")
    p.add_argument("--no-qutip", action="store_true", help="leave QuTiP out")
    p.add_argument("--out", type=pathlib.Path, default=BENCH / "results", help="where latest.json/png go")
    p.add_argument("--worker", help=argparse.SUPPRESS)
    args = p.parse_args(argv)
    for name, value in (QUICK_DEFAULTS if args.quick else FULL_DEFAULTS).items():
        if getattr(args, name) is None:
            setattr(args, name, value)
    return args


def settings_from(args):
    """The run's parameters, as recorded in the JSON."""
    sizes = args.sizes or list(range(args.min_n, args.max_n + 1, args.step))
    return {
        "quick": args.quick,
        "sizes": sorted(n for n in set(sizes) if 1 <= n <= args.max_n),
        "models": args.models,
        "thetas": args.thetas,
        "threads": args.threads,
        "rtol": RTOL,
        "reference_rtol": REFERENCE_RTOL,
        "reps": args.reps,
        "budget_s": args.budget,
        "timeout_s": args.timeout,
        "dense_max_n": args.dense_max_n,
        "qutip": not args.no_qutip and machine.package_version("qutip") is not None,
        "qutip_options": workers.QUTIP_OPTIONS,
        "psi_seed": pauli_models.PSI_SEED,
        "terms_seed": pauli_models.TERMS_SEED,
        "stream_length": 2**22 if args.quick else 2**25,
    }


@contextlib.contextmanager
def scratch_dir():
    """A private folder for result vectors, under the git-ignored build/ (a tmpfs /tmp
    would hold big vectors in memory), removed afterwards."""
    base = REPO / "build"
    path = pathlib.Path(tempfile.mkdtemp(prefix="bench-scratch-", dir=base if base.is_dir() else None))
    try:
        yield path
    finally:
        shutil.rmtree(path, ignore_errors=True)


def reps_for(n, reps):
    """Fewer repetitions for big n, where one run already takes seconds to minutes."""
    return reps if n <= 16 else min(reps, 3) if n <= 20 else 1


def method_jobs(n, settings):
    """The methods run on one problem, the reference candidate first."""
    jobs = []
    if n <= settings["dense_max_n"]:
        jobs.append({"method": "dense", "kind": "dense", "threads": 1})
    jobs.append({"method": "scipy", "kind": "scipy", "threads": 1})
    jobs.append({"method": "numpy-cheb", "kind": "numpy", "threads": 1, "rtol": RTOL})
    if settings["qutip"]:
        jobs.append({"method": "qutip", "kind": "qutip", "threads": 1})
    for solver in ("taylor", "krylov", "chebyshev"):
        for threads in settings["threads"]:
            jobs.append({"method": solver, "kind": "ours", "solver": solver, "threads": threads,
                          "rtol": RTOL})
    return jobs


def estimated_bytes(kind, n, terms):
    """A generous estimate of a method's peak, to skip what cannot fit instead of letting the
    machine swap or kill it: SciPy holds H, -i*theta*H and the trace-shifted copy; QuTiP
    holds three copies and about 3*krylov_dim vectors; the dense method n^2 matrices; the
    NumPy series one matrix and a few vectors; the eigenvalue search one matrix and its
    Lanczos vectors."""
    dim = 2**n
    nnz = dim * len(pauli_models.grouped_by_flip(terms))
    matrix = nnz * (16 + (4 if nnz < 2**31 else 8)) + 8 * dim
    vector = 16 * dim
    return {
        "dense": 8 * 16 * dim * dim,
        "scipy": 3 * matrix + 10 * vector,
        "qutip": 3 * matrix + (QUTIP_KRYLOV_VECTORS + 10) * vector,
        "numpy": matrix + 10 * vector,
        "spectrum": matrix + (workers.SPECTRUM_NCV + 10) * vector,
        "ours": 8 * vector,
    }[kind]


class Bench:
    """Runs every problem of the settings, keeping track of what failed so that a method
    that ran out of time or memory at some (n, theta) is not tried on anything larger."""

    def __init__(self, settings, scratch):
        self.settings = settings
        self.scratch = scratch
        self.failures = {}
        self.rows = []
        self.spectra = []

    def run_all(self):
        """Every (model, n, theta) of the settings, smallest n first, so that failures at
        small n can spare the larger ones; returns the rows."""
        for model in self.settings["models"]:
            for n in self.settings["sizes"]:
                terms = pauli_models.model_terms(model, n)
                spectrum = self.spectrum(model, n, terms)
                for theta in self.settings["thetas"]:
                    self.run_problem(model, n, theta, terms, spectrum)
        return self.rows

    def spectrum(self, model, n, terms):
        """The extreme eigenvalues of H', once per (model, n) (they do not depend on theta),
        against which the Chebyshev series' intervals are set: dense up to dense_max_n, by
        Lanczos above, in a child process so that time and memory limits hold; None where
        they could not be found in those limits."""
        dense = n <= self.settings["dense_max_n"]
        entry = {"model": model, "n": n, "how": "eigvalsh" if dense else "eigsh"}
        key = (model, entry["how"], 1)
        reason = self.skip_reason(key, n, 0.0, "dense" if dense else "spectrum", terms)
        result, note = (None, reason) if reason else self.spawn({"kind": "spectrum", "model": model, "n": n,
                                                                 "dense": dense})
        if result is None:
            entry.update(status="failed", note=note)
            if not reason:
                self.failures.setdefault(key, []).append((n, 0.0, note.split(":")[0]))
        else:
            entry.update(result, status="ok")
        self.spectra.append(entry)
        print(report.spectrum_line(entry), flush=True)
        return [entry["min"], entry["max"]] if result else None

    def run_problem(self, model, n, theta, terms, spectrum):
        """All methods on one (model, n, theta), each compared with the reference: the dense
        exponential up to dense_max_n, SciPy above (its tolerance is 2^-53), and our Taylor
        solver at rtol = 1e-12 where SciPy did not finish."""
        reference = None
        for job in method_jobs(n, self.settings):
            row, vec = self.run_method(model, n, theta, terms, job)
            if "interval" in row:
                row["spectrum"] = spectrum
            if reference is None and job["kind"] in ("dense", "scipy"):
                if vec is not None:
                    reference = (job["method"], vec)
                    row["is_reference"] = True
                elif job["kind"] == "scipy":
                    reference = self.fallback_reference(model, n, theta, terms)
            self.finish_row(row, vec, reference)

    def fallback_reference(self, model, n, theta, terms):
        """Our Taylor solver at a much tighter tolerance, when no peer gave a reference."""
        job = {"method": "taylor-ref", "kind": "ours", "solver": "taylor",
                "threads": max(self.settings["threads"]), "rtol": REFERENCE_RTOL}
        row, vec = self.run_method(model, n, theta, terms, job)
        row["is_reference"] = vec is not None
        self.finish_row(row, vec, None)
        return None if vec is None else (job["method"], vec)

    def finish_row(self, row, vec, reference):
        """Error against the reference, then print and keep the row."""
        if reference is not None and vec is not None and not row.get("is_reference"):
            ref_name, ref = reference
            row["reference"] = ref_name
            row["rel_err"] = float(np.linalg.norm(vec - ref) / np.linalg.norm(ref))
        elif row.get("is_reference"):
            row["reference"] = row["method"]
        self.rows.append(row)
        print(report.progress_line(row), flush=True)

    def skip_reason(self, key, n, theta, kind, terms):
        """Why a method is not run on this problem, or None."""
        for fn, ftheta, why in self.failures.get(key, []):
            if fn <= n and ftheta <= theta:
                return f"skipped: {why} at n={fn}, theta={ftheta:g}"
        need = estimated_bytes(kind, n, terms)
        avail = machine.meminfo_bytes("MemAvailable")
        if avail is not None and need > MEMORY_HEADROOM * avail:
            return f"skipped: needs ~{need / 2**30:.1f} GiB, {avail / 2**30:.1f} GiB available"
        return None

    def run_method(self, model, n, theta, terms, job):
        """One child process for one method; returns the row and the result vector (or None)."""
        key = (model, job["method"], job["threads"])
        row = {"model": model, "n": n, "theta": theta, "method": job["method"], "kind": job["kind"],
               "threads": job["threads"], "words": sum(1 for _, s in terms if s.strip("I")),
               "flips": len(pauli_models.grouped_by_flip(pauli_models.nonidentity(terms))),
               "state_bytes": 16 * 2**n}
        reason = self.skip_reason(key, n, theta, job["kind"], terms)
        if reason:
            row.update(status="skipped", note=reason)
            return row, None
        out = self.scratch / f"{model}-{n}-{theta:g}-{job['method']}-{job['threads']}.npy"
        result, note = self.spawn(dict(job, model=model, n=n, theta=theta, out=str(out),
                                       reps=reps_for(n, self.settings["reps"]), budget_s=self.settings["budget_s"]))
        if result is None:
            row.update(status="failed", note=note)
            self.failures.setdefault(key, []).append((n, theta, note.split(":")[0]))
            return row, None
        vec = np.load(out)
        os.unlink(out)
        row.update(result, status="ok")
        row["mem_states"] = row["mem_bytes"] / row["state_bytes"]
        return row, vec

    def spawn(self, job):
        """Runs a worker on the job; (its measurements, None) or (None, why it failed)."""
        cmd = [sys.executable, str(BENCH / "run.py"), "--worker", json.dumps(job)]
        try:
            proc = subprocess.run(cmd, capture_output=True, text=True, timeout=self.settings["timeout_s"])
        except subprocess.TimeoutExpired:
            return None, f"timeout: over {self.settings['timeout_s']:g} s"
        if proc.returncode != 0:
            tail = (proc.stderr.strip().splitlines() or ["(no message)"])[-1]
            why = "killed" if proc.returncode < 0 else "error"
            return None, f"{why}: exit {proc.returncode}: {tail[:160]}"
        return json.loads(proc.stdout.strip().splitlines()[-1]), None


def measure_floor(mz, settings):
    """STREAM bandwidth and one-word pass times for every size and thread count in use."""
    max_threads = max(settings["threads"])
    return {
        "stream": machine.stream_bandwidth(settings["stream_length"], 5, max_threads),
        "word_pass": machine.word_passes(mz, settings["sizes"], max_threads),
    }


def merge_floors(before, after):
    """The better of the floors measured before and after the runs (STREAM's best-of rule:
    another process busy on the machine only ever makes a figure worse), both kept."""
    merged = {"stream": {"array_bytes": before["stream"]["array_bytes"], "threads": {}}, "word_pass": {}}
    for t, b in before["stream"]["threads"].items():
        a = after["stream"]["threads"][t]
        merged["stream"]["threads"][t] = {k: max(b[k], a[k]) for k in b} | {"before": b, "after": a}
    for n, by_threads in before["word_pass"].items():
        merged["word_pass"][n] = {}
        for t, b in by_threads.items():
            a = after["word_pass"][n][t]
            measured = [w for w in (a, b) if w["seconds"] is not None]
            best = min(measured, key=lambda w: w["seconds"]) if measured else b
            merged["word_pass"][n][t] = dict(best, before_s=b["seconds"], after_s=a["seconds"])
    return merged


def add_floor_ratios(rows, floor):
    """floor_s = applications * flips * one single-word pass at the row's thread count, and
    solve time / floor_s: how far a run is from reading the state once per distinct flip
    of H per application, the least any of the methods here can do."""
    for row in rows:
        passes = floor["word_pass"].get(str(row["n"]), {}).get(str(row["threads"]))
        if row.get("status") == "ok" and row.get("applications") and passes and passes["seconds"]:
            row["floor_s"] = row["applications"] * row["flips"] * passes["seconds"]
            row["floor_ratio"] = row["solve_s"] / row["floor_s"]


def add_peer_ratios(rows):
    """For each row of our solvers: the problem's fastest peer (the least build + solve time
    among SciPy, the NumPy series and QuTiP) and that time over the row's own."""
    fastest = {}
    for row in rows:
        if row["kind"] in PEER_KINDS and row["status"] == "ok":
            key = (row["model"], row["n"], row["theta"])
            if key not in fastest or row["total_s"] < fastest[key]["total_s"]:
                fastest[key] = row
    for row in rows:
        peer = fastest.get((row["model"], row["n"], row["theta"]))
        if row["kind"] == "ours" and not row.get("is_reference") and row["status"] == "ok" and peer:
            row["fastest_peer"] = peer["method"]
            row["fastest_peer_s"] = peer["total_s"]
            row["peer_ratio"] = peer["total_s"] / row["total_s"]


def target_summary(rows, settings):
    """Per problem, the Chebyshev solver at the most threads against the fastest peer, with
    its error against the rtol it was asked for and its memory against TARGET_STATES."""
    threads = max(settings["threads"])
    peers = {}
    for row in rows:
        if row["kind"] in PEER_KINDS and row["status"] != "ok":
            peers.setdefault((row["model"], row["n"], row["theta"]), []).append(row["method"])
    out = []
    for row in rows:
        if row["method"] != TARGET_SOLVER or row["threads"] != threads:
            continue
        key = (row["model"], row["n"], row["theta"])
        err, mem = row.get("rel_err"), row.get("mem_states")
        out.append({
            "model": row["model"], "n": row["n"], "theta": row["theta"], "method": row["method"],
            "threads": threads, "status": row["status"], "total_s": row.get("total_s"),
            "fastest_peer": row.get("fastest_peer"), "fastest_peer_s": row.get("fastest_peer_s"),
            "peer_ratio": row.get("peer_ratio"), "peers_unfinished": peers.get(key, []),
            "rel_err": err, "reference": row.get("reference"), "rtol": RTOL,
            "within_rtol": None if err is None else err <= RTOL,
            "mem_states": mem, "within_memory": None if mem is None else mem <= TARGET_STATES,
        })
    return out


def worker_main(job_text):
    """--worker mode: one measurement, printed as one JSON line."""
    print(json.dumps(workers.run_worker(json.loads(job_text))))
    return 0


def main(argv=None):
    """Measures the floor, runs every problem, measures the floor again, then reports."""
    args = parse_args(argv)
    if args.worker:
        return worker_main(args.worker)
    settings = settings_from(args)
    args.out.mkdir(parents=True, exist_ok=True)
    # Imported only past the worker dispatch, so that the peers' worker processes never
    # load the module.
    import _morbizet as mz

    with scratch_dir() as scratch:
        info = machine.machine_info(mz.__file__)
        print(report.info_lines(info), flush=True)
        if os.getloadavg()[0] > BUSY_LOAD:
            print(f"warning: load average {os.getloadavg()[0]:.2f}: another process is busy, and timings "
                  "(two-thread ones above all) will be disturbed", flush=True)
        before = measure_floor(mz, settings)
        bench = Bench(settings, scratch)
        rows = bench.run_all()
        info["load_average_end"] = os.getloadavg()
        floor = merge_floors(before, measure_floor(mz, settings))
    add_floor_ratios(rows, floor)
    add_peer_ratios(rows)
    summary = target_summary(rows, settings)
    print()
    print(report.floor_lines(floor))
    print()
    print(report.table(rows))
    print()
    print(report.summary_table(summary, TARGET_STATES))
    json_path, png_path = args.out / "latest.json", args.out / "latest.png"
    report.write_json(json_path, info, settings, floor, bench.spectra, rows, summary)
    report.write_plot(png_path, rows, settings["models"], settings["thetas"])
    print(f"\nwrote {json_path} and {png_path}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
