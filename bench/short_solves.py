"""Short solves (theta = 1) on the chains against the peers, in one run.

    tools/env python3 bench/short_solves.py                     # n = 18 and 20, the two chains
    tools/env python3 bench/short_solves.py --before DIR        # also an earlier build (DIR/build, DIR/python)
    tools/env python3 bench/short_solves.py --sizes 12 --reps 2 # a quick look

A short solve is where a fixed cost weighs most: the series is a few dozen terms, so an
interval wider than the spectrum, or a spectral estimate paid on every call, shows. Our
solve goes through the public package as a user calls it, mb.evolve_with_info(H, psi, 1)
on one PauliSum, in a child process: the first call, the second (which narrows the
spectral interval the PauliSum then keeps) and the median of the later ones. The peers (SciPy's
expm_multiply, the NumPy Chebyshev series, QuTiP's sesolve; bench/workers.py) run here
on the same terms and state; each result is checked against the NumPy series at rtol.
--before DIR runs our solve once more with an earlier build's module and package.
Writes bench/results/short_solves.json (or --out).
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys
import time

import numpy as np

import pauli_models
import workers

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
THETA = 1.0
RTOL = 1e-8
PEERS = ("numpy", "scipy", "qutip")


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=int, nargs="+", default=[18, 20])
    p.add_argument("--models", nargs="+", choices=("heisenberg", "tfim"), default=["heisenberg", "tfim"])
    p.add_argument("--threads", type=int, default=2, help="our thread count (default 2; the peers use one)")
    p.add_argument("--reps", type=int, default=5, help="timed solves per method (median), default 5")
    p.add_argument("--before", type=pathlib.Path, help="a checkout of an earlier version, built")
    p.add_argument("--no-qutip", action="store_true")
    p.add_argument("--out", type=pathlib.Path, default=BENCH / "results" / "short_solves.json")
    p.add_argument("--ours", help=argparse.SUPPRESS)
    return p.parse_args(argv)


def ours(job):
    """In the child: the first and second solves on a fresh PauliSum and the median of the
    later ones, the statistics of the last and its result (saved to job['out'])."""
    import morbizet as mb

    terms = pauli_models.model_terms(job["model"], job["n"])
    psi = pauli_models.random_state(job["n"])
    mb.evolve(mb.PauliSum(pauli_models.tfim_terms(6)), pauli_models.random_state(6), THETA)  # imports, caches
    H = mb.PauliSum(terms)
    t0 = time.perf_counter()
    out, info = mb.evolve_with_info(H, psi, THETA, rtol=RTOL, threads=job["threads"])
    first = time.perf_counter() - t0
    t0 = time.perf_counter()
    mb.evolve_with_info(H, psi, THETA, rtol=RTOL, threads=job["threads"])
    second = time.perf_counter() - t0
    later = []
    for _ in range(job["reps"]):
        t0 = time.perf_counter()
        out, info = mb.evolve_with_info(H, psi, THETA, rtol=RTOL, threads=job["threads"])
        later.append(time.perf_counter() - t0)
    np.save(job["out"], out)
    return {"first_s": first, "second_s": second, "solve_s": statistics.median(later),
            "stats": {k: (list(v) if isinstance(v, tuple) else v) for k, v in info.items()}}


def run_ours(model, n, threads, reps, out, root=None):
    """ours() in a child process, with the module and package of root (this checkout when
    None)."""
    env = dict(os.environ)
    if root is not None:
        env["PYTHONPATH"] = f"{root / 'build'}:{root / 'python'}:{BENCH}"
    else:
        env["PYTHONPATH"] = f"{BENCH}:{env.get('PYTHONPATH', '')}"
    job = {"model": model, "n": n, "threads": threads, "reps": reps, "out": str(out)}
    proc = subprocess.run([sys.executable, __file__, "--ours", json.dumps(job)], env=env, capture_output=True,
                          text=True, check=False)
    if proc.returncode != 0:
        raise RuntimeError(proc.stderr[-3000:])
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_peer(kind, terms, psi, reps):
    """A peer's median solve time over reps and its last result (build not counted)."""
    job = {"theta": THETA, "rtol": RTOL, "n": len(terms[0][1])}
    method = workers.METHODS[kind](job)
    workers.warm_up(method)
    op = method.build(terms)
    times, out = [], None
    for _ in range(reps):
        t0 = time.perf_counter()
        out = method.solve(op, psi)
        times.append(time.perf_counter() - t0)
    return statistics.median(times), out


def workers_missing(name):
    """Whether a peer's package cannot be imported here."""
    try:
        __import__(name)
        return False
    except ImportError:
        return True


def main(argv=None):
    args = parse_args(argv)
    if args.ours:
        print(json.dumps(ours(json.loads(args.ours))))
        return None
    peers = [p for p in PEERS if not (p == "qutip" and (args.no_qutip or workers_missing("qutip")))]
    rows = []
    scratch = args.out.parent / "short_solves_state.npy"
    args.out.parent.mkdir(parents=True, exist_ok=True)
    for model in args.models:
        for n in args.sizes:
            terms, psi = pauli_models.model_terms(model, n), pauli_models.random_state(n)
            row = {"model": model, "n": n, "theta": THETA, "rtol": RTOL, "threads": args.threads, "peers": {}}
            reference = None
            for kind in peers:
                seconds, out = run_peer(kind, terms, psi, args.reps)
                reference = out if kind == "numpy" else reference
                row["peers"][kind] = {"solve_s": seconds,
                                      "error": None if reference is None else float(np.linalg.norm(out - reference))}
            for label, root in (("ours", None), ("before", args.before)):
                if label == "before" and root is None:
                    continue
                got = run_ours(model, n, args.threads, args.reps, scratch, root)
                got["error"] = float(np.linalg.norm(np.load(scratch) - reference))
                row[label] = got
            best = min(row["peers"], key=lambda k: row["peers"][k]["solve_s"])
            row["best_peer"] = best
            row["speedup"] = row["peers"][best]["solve_s"] / row["ours"]["solve_s"]
            row["first_speedup"] = row["peers"][best]["solve_s"] / row["ours"]["first_s"]
            if "before" in row:
                row["before_speedup"] = row["peers"][best]["solve_s"] / row["before"]["solve_s"]
            rows.append(row)
            print(line(row), flush=True)
    scratch.unlink(missing_ok=True)
    args.out.write_text(json.dumps({"rows": rows}, indent=1) + "\n")
    return rows


def line(row):
    o = row["ours"]
    peers = "  ".join(f"{k} {1e3 * v['solve_s']:.1f} ms" for k, v in row["peers"].items())
    s = (f"{row['model']:<10} n={row['n']}  ours {1e3 * o['solve_s']:.1f} ms (first {1e3 * o['first_s']:.1f} ms, "
         f"second {1e3 * o['second_s']:.1f} ms, "
         f"K={o['stats']['degree']}, interval [{o['stats']['interval'][0]:.2f}, {o['stats']['interval'][1]:.2f}] "
         f"from {o['stats'].get('interval_source', '?')})  {peers}  best peer {row['best_peer']}: "
         f"{row['speedup']:.2f}x (first call {row['first_speedup']:.2f}x)")
    if "before" in row:
        b = row["before"]
        s += (f"  before {1e3 * b['solve_s']:.1f} ms (K={b['stats']['degree']}, {row['before_speedup']:.2f}x the best "
              f"peer)")
    return s


if __name__ == "__main__":
    main()
