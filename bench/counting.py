"""Counting the peers' matrix-vector products by watching them happen.

Our solvers count their own applications (the statistics of _morbizet._solve); the
peers cannot, so their products are counted from outside. A count taken this way
includes everything a peer really does (SciPy's norm estimates, say). Every counter
reports None when it cannot attach, and the table then shows '-'.
"""


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
