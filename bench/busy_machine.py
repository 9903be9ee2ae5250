"""The default thread count on a busy machine: an 18-qubit Heisenberg evolution with
threads=None against threads=1, first on a quiet machine, then with a spinning process
on every CPU, all in one run. threads=None takes the CPUs that other processes are not
using when the call starts; the ratio None / 1 should stay near or below 1 in both."""

import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "python"))

import morbizet as mb  # noqa: E402
from conftest import heisenberg_terms  # noqa: E402
from machine import best_time  # noqa: E402


def main():
    n = 18
    H = mb.PauliSum(heisenberg_terms(n))
    psi = mb.basis_state("01" * (n // 2))
    mb.evolve(H, psi, 0.5)  # warm up
    for label in ("quiet", "busy"):
        hogs = []
        if label == "busy":
            hogs = [subprocess.Popen([sys.executable, "-c", "while True: pass"]) for _ in range(os.cpu_count() or 1)]
            time.sleep(0.5)
        try:
            one = best_time(lambda: mb.evolve(H, psi, 2.0, threads=1), 3)
            default = best_time(lambda: mb.evolve(H, psi, 2.0), 3)
        finally:
            for hog in hogs:
                hog.kill()
        print(f"{label}: threads=1 {one:.3f} s, threads=None {default:.3f} s, None / 1 = {default / one:.2f}")


if __name__ == "__main__":
    main()
