"""One application of H' against what this machine can do at best, and a NumPy pass.

    tools/env python3 bench/floor.py                      # n = 20 and 24, 1 and 2 threads
    tools/env python3 bench/floor.py --sizes 14 --reps 3  # a quick look
    tools/env python3 bench/floor.py --before DIR         # also the kernel of an earlier build

For every model of build/action_bench (the chains, 100 random 4-local words, 1,000 words
on 5 X masks, 300 Z strings), n and thread
count, build/action_bench times the grouped action and measures the floor of one
application: the larger of the bytes a minimal tiled schedule moves (every distinct
high part of the groups' X masks read once per output tile, the output written once;
the tile the largest whose partners fit the second-level cache) at the rate of a
STREAM triad on vectors of the state's size, and one coefficient-amplitude product per
amplitude and group at the rate the vector units reach on it in the first-level cache
(see bench/action_bench.cpp). The same run times NumPy's c = a + b on two state vectors,
the pass any NumPy user pays at least once per application. --before DIR adds the time
of the grouped action of the build in DIR (its action_bench), so that both kernels are
measured side by side on the same machine state. Writes bench/results/floor.json (or
--out).
"""

import argparse
import json
import os
import pathlib
import subprocess
import time

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
REPO = BENCH.parent
MODELS = ("heisenberg", "ising", "random4", "fewmasks", "zonly")
# The models an earlier build's action_bench knows (it reads any other name as random4).
EARLIER_MODELS = ("heisenberg", "ising", "random4")
STATE_BYTES = 16
# action_bench holds four state vectors (input, output, reference, a spare).
VECTORS = 4


def parse_args(argv=None):
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--sizes", type=int, nargs="+", default=[20, 24])
    p.add_argument("--threads", type=int, nargs="+", default=[1, 2])
    p.add_argument("--models", nargs="+", choices=MODELS, default=list(MODELS[:3]),
                   help="default the chains and random4; fewmasks and zonly on request")
    p.add_argument("--reps", type=int, default=9, help="applications timed per case (median), default 9")
    p.add_argument("--binary", type=pathlib.Path, default=REPO / "build" / "action_bench")
    p.add_argument("--before", type=pathlib.Path, help="a build folder of an earlier version (its action_bench)")
    p.add_argument("--out", type=pathlib.Path, default=BENCH / "results" / "floor.json")
    return p.parse_args(argv)


def fits(n):
    """Whether action_bench's vectors fit in four fifths of the available memory."""
    try:
        available = os.sysconf("SC_AVPHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (ValueError, OSError):
        return True
    return VECTORS * STATE_BYTES * 2**n < 0.8 * available


def numpy_pass_seconds(n, reps):
    """The best time of np.add over two state vectors into a third."""
    rng = np.random.default_rng(7)
    a = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    b, c = a[::-1].copy(), np.empty_like(a)
    best = float("inf")
    for _ in range(reps):
        t0 = time.perf_counter()
        np.add(a, b, out=c)
        best = min(best, time.perf_counter() - t0)
    return best


def action(binary, model, n, threads, reps, floor=True):
    """action_bench's JSON line: with floor, the grouped action against the floor; without
    (an earlier build), its plain comparison, whose grouped_s is the grouped action."""
    args = [str(binary), model, str(n), str(threads), str(reps)] + (["floor"] if floor else [])
    proc = subprocess.run(args, capture_output=True, text=True, check=False)
    if not proc.stdout.strip():
        raise RuntimeError(f"{' '.join(args)} failed: {proc.stderr[-2000:]}")
    return json.loads(proc.stdout)


def row_line(r):
    f = r["floor"]
    before = "" if r.get("before_s") is None else f"  before {1e3 * r['before_s']:8.2f} ms ({r['before_s'] / r['action_s']:.2f}x)"
    return (f"{r['model']:<10} n={r['n']:<2} thr={r['threads']}  groups {r['groups']:>3}  action {1e3 * r['action_s']:8.2f} ms"
            f"  floor {1e3 * f['floor_s']:8.2f} ms (memory {1e3 * f['memory_s']:.2f}, arithmetic "
            f"{1e3 * f['arithmetic_s']:.2f}; {f['partners']} partners of 2^{f['tile_bits']} tiles, "
            f"{f['triad_GBps']:.1f} GB/s)  x floor {r['floor_ratio']:.2f}  x NumPy pass "
            f"{r['action_s'] / r['numpy_pass_s']:.1f}{before}")


def main(argv=None):
    args = parse_args(argv)
    rows = []
    for n in args.sizes:
        if not fits(n):
            print(f"n = {n}: skipped, the vectors do not fit in memory")
            continue
        numpy_s = numpy_pass_seconds(n, max(3, args.reps))
        for model in args.models:
            for threads in args.threads:
                r = action(args.binary, model, n, threads, args.reps)
                r["numpy_pass_s"] = numpy_s
                if args.before is not None and model in EARLIER_MODELS:
                    r["before_s"] = action(args.before / "action_bench", model, n, threads, args.reps,
                                           floor=False)["grouped_s"]
                rows.append(r)
                print(row_line(r), flush=True)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    args.out.write_text(json.dumps({"rows": rows}, indent=1) + "\n")
    return rows


if __name__ == "__main__":
    main()
