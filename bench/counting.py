"""Counting Hamiltonian applications by watching them happen, for our solvers and the peers.

A count taken this way includes everything a solver really does (the Taylor early exit,
a Lanczos breakdown, SciPy's norm estimates), which an a-priori formula cannot. Every
counter reports None when it cannot attach, and the table then shows '-'.
"""

import ctypes
import os
import pathlib
import shutil
import subprocess

HERE = pathlib.Path(__file__).resolve().parent
APPLY_SYMBOL = "_ZNK8morbizet11Hamiltonian17apply_nonidentityEPKSt7complexIdEPS2_i"
APPLY_FN = ctypes.CFUNCTYPE(None, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int32)


def build_apply_counter(scratch):
    """Compiles apply_counter.c into scratch; None when no C compiler is at hand. LD_PRELOAD
    is dropped so that a sanitizer runtime preloaded into the tests stays out of the compiler."""
    out = pathlib.Path(scratch) / "apply_counter.so"
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    for cc in ("cc", "gcc", "clang"):
        if shutil.which(cc) is None:
            continue
        cmd = [cc, "-O2", "-shared", "-fPIC", "-o", str(out), str(HERE / "apply_counter.c")]
        if subprocess.run(cmd, env=env, capture_output=True, timeout=120).returncode == 0:
            return out
    return None


class ApplyCounter:
    """Loads the counting library into the global scope, then imports _morbizet, so that the
    module's calls of Hamiltonian::apply_nonidentity go through the counter."""

    def __init__(self, shim_path):
        self.lib = None
        self.real = None
        if shim_path is not None:
            self.lib = ctypes.CDLL(str(shim_path), mode=ctypes.RTLD_GLOBAL)
        import _morbizet

        self.mz = _morbizet
        if self.lib is not None:
            self._connect()

    def _connect(self):
        """Hands the module's own definition to the counter and checks, on a two-qubit
        evolution, that applications are really seen; otherwise the counter stays off."""
        try:
            real = ctypes.CDLL(self.mz.__file__)[APPLY_SYMBOL]
        except (AttributeError, OSError):
            return
        real_address = ctypes.cast(real, ctypes.c_void_p).value
        if real_address == ctypes.cast(self.lib[APPLY_SYMBOL], ctypes.c_void_p).value:
            return
        self.lib.apply_counter_set_target.argtypes = [ctypes.c_void_p]
        self.lib.apply_counter_set_target(real_address)
        self.lib.apply_counter_calls.restype = ctypes.c_uint64
        self.lib.apply_counter_last_self.restype = ctypes.c_void_p
        self.real = APPLY_FN(real_address)
        import numpy as np

        ham = self.mz._Hamiltonian([self.mz._PauliWord(1.0, "XZ")])
        self.reset()
        self.mz._evolve_higham(ham, np.array([1, 0, 0, 0], dtype=complex), 0.5, 1e-8, 0)
        if self.calls() == 0:
            self.real = None

    @property
    def available(self):
        return self.real is not None

    def reset(self):
        if self.lib is not None:
            self.lib.apply_counter_reset()

    def calls(self):
        """Applications since the last reset; None when the counter is not attached."""
        return int(self.lib.apply_counter_calls()) if self.available else None

    def apply_function(self, ham, psi):
        """(f, self pointer) with f(self, in, out, threads) the module's one application of
        ham, found by letting a very short evolution of ham pass through the counter; ham
        must outlive every use of the pointer."""
        self.mz._evolve_higham(ham, psi, 1e-9, 1e-8, 0)
        return self.real, self.lib.apply_counter_last_self()


class SparseMatvecCounter:
    """Wraps SciPy's compiled CSR/CSC matrix-vector kernels (the same fast path, one Python
    call more) and counts the vectors they multiply: a (n, k) block counts k."""

    NAMES = ("csr_matvec", "csc_matvec", "csr_matvecs", "csc_matvecs")

    def __init__(self):
        from scipy.sparse import _sparsetools

        self.count = 0
        for name in self.NAMES:
            setattr(_sparsetools, name, self._wrap(getattr(_sparsetools, name), name.endswith("s")))

    def _wrap(self, fn, blocked):
        """fn counting its vectors: n_vecs is the third argument of the blocked kernels."""

        def counted(*args):
            self.count += args[2] if blocked else 1
            return fn(*args)

        return counted


class _CountingData:
    """Stands in for qutip.core.data inside QuTiP's Krylov integrator: every attribute is
    the real one, and matmul counts products of a dim x dim operator with a vector."""

    def __init__(self, real, dim):
        self._real = real
        self._dim = dim
        self.count = 0

    def __getattr__(self, name):
        return getattr(self._real, name)

    def matmul(self, left, right, *args, **kwargs):
        if left.shape == (self._dim, self._dim) and right.shape[1] == 1:
            self.count += 1
        return self._real.matmul(left, right, *args, **kwargs)


def qutip_krylov_counter(dim):
    """Installs the counting stand-in in QuTiP's Krylov integrator; None if its layout
    differs from the one this was written against."""
    try:
        from qutip.solver.integrator import krylov
    except ImportError:
        return None
    if not hasattr(krylov, "_data"):
        return None
    counter = _CountingData(krylov._data, dim)
    krylov._data = counter
    return counter
