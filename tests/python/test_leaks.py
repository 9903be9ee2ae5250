"""Thousands of calls of every entry point, failing ones included: catches leaked C++ buffers, leaked Python objects, stolen or leaked references to the arguments, and instances still alive when the interpreter exits."""

import gc
import os
import subprocess
import sys
import weakref

import numpy as np
import pytest

import _morbizet as mz
from conftest import SOLVERS

SANITIZED = bool(os.environ.get("MORBIZET_SANITIZED"))
HERE = os.path.dirname(os.path.abspath(__file__))
N = 12  # qubits of the states in the loops: 64 KiB per complex128 state, 32 KiB per float64 one


def rss():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


class FloatLike:
    def __float__(self):
        return 0.25


class Sequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def _fixtures():
    rng = np.random.default_rng(11)
    long_strings = ["".join(rng.choice(list("IXYZ"), size=40)) for _ in range(600)]
    words = [mz._PauliWord(float(rng.normal()), s) for s in long_strings]
    small = mz._Hamiltonian([mz._PauliWord(float(rng.normal()), "".join(rng.choice(list("IXYZ"), size=N)))
                             for _ in range(4)] + [mz._PauliWord(0.1, "I" * N)])
    psi = rng.normal(size=2**N) + 1j * rng.normal(size=2**N)
    psi /= np.linalg.norm(psi)
    return {
        "words": words,
        "ragged": words[:599] + [mz._PauliWord(1.0, "X" * 39)],
        "foreign": words[:599] + [None],
        "big": mz._Hamiltonian(words),
        "small": small,
        "psi": psi,
        "psi_real": psi.real.copy(),  # converted to complex128 on every call
        "psi_short": np.ones(2**N - 1),
        "psi_strided": np.repeat(psi, 2)[::2],
        "word": words[0],
    }


def _operations(f):
    """(name, call, iterations): each call leaks at least tens of KiB of C++ or NumPy memory,
    or at least one Python object, if anything it allocates is not released."""
    small, psi = f["small"], f["psi"]
    ops = [
        ("PauliWord", lambda: mz._PauliWord(1.5 - 2j, "XYZ" * 20 + "I"), 20000),
        ("PauliWord index coeff", lambda: mz._PauliWord(FloatLike(), "Z" * 62), 20000),
        ("PauliWord too long", lambda: mz._PauliWord(1.0, "X" * 63), 20000),
        ("PauliWord bad coeff", lambda: mz._PauliWord("1", "XX"), 20000),
        ("PauliWord surrogate", lambda: mz._PauliWord(1.0, "X\ud800"), 20000),
        ("Hamiltonian", lambda: mz._Hamiltonian(f["words"]), 1000),
        ("Hamiltonian from sequence", lambda: mz._Hamiltonian(Sequence(f["words"])), 1000),
        ("Hamiltonian ragged", lambda: mz._Hamiltonian(f["ragged"]), 1000),
        ("Hamiltonian foreign", lambda: mz._Hamiltonian(f["foreign"]), 1000),
        ("Hamiltonian empty", lambda: mz._Hamiltonian([]), 20000),
        ("get_pwords", lambda: f["big"]._get_pwords(), 1000),
        ("get_string", lambda: f["word"]._get_string(), 20000),
        ("get_coeff", lambda: f["word"]._get_coeff(), 20000),
        ("num_qubits/num_terms", lambda: (f["big"]._num_qubits(), f["big"]._num_terms()), 20000),
    ]
    for s in SOLVERS:
        name = s.__name__
        ops += [
            (f"{name}", lambda s=s: s(small, psi, 0.2, 1e-8, 1), 1000),
            (f"{name} converted psi", lambda s=s: s(small, f["psi_real"], 0.2, 1e-8, 1), 1000),
            (f"{name} strided psi", lambda s=s: s(small, f["psi_strided"], 0.2, 1e-8, 1), 1000),
            (f"{name} wrong length", lambda s=s: s(small, f["psi_short"], 0.2, 1e-8, 1), 1500),
            (f"{name} bad rtol", lambda s=s: s(small, f["psi_real"], 0.2, -1.0, 1), 1500),
            (f"{name} too large", lambda s=s: s(small, f["psi_real"], 1e300, 1e-8, 1), 1500),
            (f"{name} bad threads", lambda s=s: s(small, f["psi_real"], 0.2, 1e-8, 2**31), 1500),
            (f"{name} bad theta", lambda s=s: s(small, f["psi_real"], "0.2", 1e-8, 1), 1500),
            (f"{name} bad psi", lambda s=s: s(small, [1.0] * 2**N, 0.2, 1e-8, 1), 1500),
            (f"{name} bad ham", lambda s=s: s(f["word"], psi, 0.2, 1e-8, 1), 1500),
        ]
    return ops


def _call(fn):
    try:
        fn()
    except (TypeError, ValueError):
        pass


@pytest.mark.parametrize("name", [op[0] for op in _operations(_fixtures())])
def test_memory_stays_flat(name):
    fixtures = _fixtures()
    (fn, iterations), = [(fn, k) for op_name, fn, k in _operations(fixtures) if op_name == name]
    if SANITIZED:
        iterations //= 4
    for _ in range(max(50, iterations // 4)):  # warm-up: caches, pools and arenas settle
        _call(fn)
    # Two measured rounds: a one-off growth (a cache or a free list resizing) shows in one,
    # a leak in both.
    growth = []
    for _ in range(2):
        gc.collect()
        blocks, resident = sys.getallocatedblocks(), rss()
        for _ in range(iterations):
            _call(fn)
        gc.collect()
        growth.append((sys.getallocatedblocks() - blocks, rss() - resident))
    grown_blocks, grown = min(g[0] for g in growth), min(g[1] for g in growth)
    # A leaked Python object per call would add `iterations` blocks.
    assert grown_blocks < max(100, iterations // 4), (name, growth)
    if not SANITIZED:  # the sanitizer's quarantine holds freed memory back on purpose
        assert grown < 6 * 2**20, (name, growth)


def test_reference_counts_of_arguments():
    f = _fixtures()
    words, psi, small = f["words"][:5], f["psi"], f["small"]
    seq = list(words)
    coeff, theta = FloatLike(), FloatLike()
    watched = [*words, seq, psi, small, coeff, theta, f["psi_real"], f["psi_short"]]
    before = [sys.getrefcount(x) for x in watched]
    for _ in range(200):
        mz._PauliWord(coeff, "XYZ")
        mz._Hamiltonian(seq)._get_pwords()
        _call(lambda: mz._Hamiltonian(seq + [None]))
        _call(lambda: mz._Hamiltonian(seq + [mz._PauliWord(1.0, "X")]))
        for s in SOLVERS:
            s(small, psi, theta, 1e-8, 2)
            s(small, f["psi_real"], 0.3, 1e-8, 1)
            _call(lambda: s(small, f["psi_short"], theta, 1e-8, 1))
            _call(lambda: s(small, psi, theta, 0.0, 1))
            _call(lambda: s(small, psi, theta, 1e-8, 2**31))
            _call(lambda: s(small, f["psi_real"], theta, 1e-8, None))
    gc.collect()
    after = [sys.getrefcount(x) for x in watched]
    assert after == before


def test_results_own_nothing_but_their_buffer():
    f = _fixtures()
    for s in SOLVERS:
        for key in ("psi", "psi_real", "psi_strided"):
            psi = f[key].copy() if key != "psi_strided" else np.repeat(f["psi"], 3)[::3]
            watch_psi = weakref.ref(psi)
            out = s(f["small"], psi, 0.3, 1e-8, 1)
            watch_out, watch_owner = weakref.ref(out), weakref.ref(out.base)
            del psi
            gc.collect()
            assert watch_psi() is None  # the input, or its converted copy, is not kept
            out[:] = 0  # the buffer is the result's own
            del out
            gc.collect()
            assert watch_out() is None and watch_owner() is None


EXIT_SCRIPT = r"""
import gc, sys, functools
import numpy as np
import _morbizet as mz

words = [mz._PauliWord(0.5 * k, "XYZI"[k % 4] * 3) for k in range(8)]
ham = mz._Hamiltonian(words)
psi = np.ones(8, complex) / np.sqrt(8)
results = [s(ham, psi, 0.4, 1e-8, 2) for s in (mz._evolve_higham, mz._evolve_krylov)]
view = results[0][2:]                    # a view keeps the buffer's owner alive
cycle = [ham._get_pwords()]
cycle.append(cycle)                      # only the collector frees this one
class Holder:
    kept = mz._Hamiltonian(words[:2])
def closure(h=mz._Hamiltonian(words[3:])):
    return lambda: h
keep = closure()
cached = functools.lru_cache()(lambda k: mz._PauliWord(k, "ZZZ"))
for k in range(10):
    cached(k)
try:
    mz._Hamiltonian(words + [None])
except TypeError as e:
    error = e                            # its traceback keeps a frame alive
for _ in range(1000):
    mz._evolve_krylov(mz._Hamiltonian(ham._get_pwords()), psi, 0.1, 1e-8, 1)
    try:
        mz._evolve_higham(ham, psi[:4], 0.1, 1e-8, 1)
    except ValueError:
        pass
print("done")
"""


@pytest.mark.parametrize("extra", [[], ["-X", "dev"]], ids=["plain", "dev"])
def test_no_instances_alive_at_exit(extra):
    flags = subprocess._args_from_interpreter_flags()
    proc = subprocess.run([sys.executable, *flags, *extra, "-c", EXIT_SCRIPT], capture_output=True, text=True,
                          timeout=600 if SANITIZED else 120, env=dict(os.environ), cwd=HERE)
    assert proc.returncode == 0 and proc.stdout.strip() == "done", proc.stderr[-4000:]
    assert "leaked" not in proc.stderr, proc.stderr[-4000:]
    assert "Fatal Python error" not in proc.stderr and "AddressSanitizer" not in proc.stderr
