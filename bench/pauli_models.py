"""The benchmark Hamiltonians as (coeff, string) terms, the start state, and their CSR matrix.

A Pauli string has one character per qubit; character k acts on bit n-1-k of a basis
index (the leftmost character is the most significant bit), as in _morbizet.
"""

import numpy as np

MODELS = ("tfim", "heisenberg", "random4")
RANDOM_TERMS = 100
RANDOM_LOCALITY = 4
TFIM_FIELD = 1.0
PSI_SEED = 20261209
TERMS_SEED = 4242


def bond(n, k, a, b):
    """a on qubit k and b on qubit k+1, identity elsewhere."""
    return "I" * k + a + b + "I" * (n - k - 2)


def tfim_terms(n, h=TFIM_FIELD):
    """Open transverse-field Ising chain: sum Z_k Z_k+1 + h sum X_k."""
    zz = [(1.0, bond(n, k, "Z", "Z")) for k in range(n - 1)]
    x = [(h, "I" * k + "X" + "I" * (n - k - 1)) for k in range(n)]
    return zz + x


def heisenberg_terms(n):
    """Open Heisenberg XXX chain: sum over bonds of X X + Y Y + Z Z."""
    return [(1.0, bond(n, k, p, p)) for k in range(n - 1) for p in "XYZ"]


def random4_terms(n, count=RANDOM_TERMS, seed=TERMS_SEED):
    """count 4-local words (X/Y/Z on 4 distinct random qubits), coefficients uniform in
    [-1, 1]; seeded per n so that every run sees the same Hamiltonian."""
    rng = np.random.default_rng([seed, n])
    terms = []
    for _ in range(count):
        chars = ["I"] * n
        for q in rng.choice(n, size=RANDOM_LOCALITY, replace=False):
            chars[q] = "XYZ"[rng.integers(3)]
        terms.append((float(rng.uniform(-1.0, 1.0)), "".join(chars)))
    return terms


def model_terms(model, n):
    """The term list of a named model, so that workers rebuild it from its name alone."""
    return {"tfim": tfim_terms, "heisenberg": heisenberg_terms, "random4": random4_terms}[model](n)


def random_state(n, seed=PSI_SEED):
    """A seeded Gaussian random state of norm 1, the same for every method."""
    rng = np.random.default_rng([seed, n])
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def masks(string):
    """(x_mask, z_mask, number of Y) of a Pauli string, leftmost character most significant."""
    n = len(string)
    x = z = ny = 0
    for k, c in enumerate(string):
        bit = 1 << (n - 1 - k)
        if c in "XY":
            x |= bit
        if c in "YZ":
            z |= bit
        ny += c == "Y"
    return x, z, ny


def grouped_by_flip(terms):
    """Words grouped by x mask, each group a list of (phased coeff, z mask): words with the
    same flip pattern land on the same matrix entries and are summed into one diagonal."""
    groups = {}
    for coeff, string in terms:
        x, z, ny = masks(string)
        groups.setdefault(x, []).append((complex(coeff) * 1j**ny, z))
    return groups


def flip_diagonal(group, cols):
    """sum over the group of phased_coeff * (-1)^popcount(col & z), for every column index."""
    out = np.zeros(cols.size, dtype=np.complex128)
    for phased, z in group:
        odd = np.bitwise_count(cols & np.int64(z)) & 1
        out += np.where(odd == 1, -phased, phased)
    return out


def csr_matrix(terms):
    """sum coeff*P as a scipy CSR array, vectorised over the basis: each word maps column i
    to row i ^ x with value coeff * i^(#Y) * (-1)^popcount(i & z). Row r therefore holds one
    entry per distinct x mask, at column r ^ x; entries that cancel (XX + YY) are dropped."""
    import scipy.sparse

    n = len(terms[0][1])
    dim = 2**n
    rows = np.arange(dim, dtype=np.int64)
    groups = grouped_by_flip(terms)
    k = len(groups)
    index_type = np.int32 if dim * k < 2**31 else np.int64
    indices = np.empty((dim, k), dtype=index_type)
    data = np.empty((dim, k), dtype=np.complex128)
    for j, (x, group) in enumerate(sorted(groups.items())):
        cols = rows ^ np.int64(x)
        indices[:, j] = cols
        data[:, j] = flip_diagonal(group, cols)
    indptr = np.arange(0, dim * k + 1, k, dtype=index_type)
    h = scipy.sparse.csr_array((data.ravel(), indices.ravel(), indptr), shape=(dim, dim))
    h.eliminate_zeros()
    return h


def nonidentity(terms):
    """The terms without the identity words: H' = H - (identity part)."""
    return [(c, s) for c, s in terms if s.strip("I")]


def norm_bound(terms):
    """Sum of |coeff| over the non-identity words: the bound the solvers size their steps by."""
    return sum(abs(c) for c, _ in nonidentity(terms))
