"""The a-priori step choices of the two solvers, redone in Python from their documented
formulas, to report how many Hamiltonian applications each solver plans before it runs.

The Taylor solver may stop a substep early once its terms no longer change the sum, so
its planned count is an upper bound; the Krylov count is exact unless the Lanczos
recurrence finds an invariant subspace. The counted column (counting.py) shows what
really happened.
"""

import math

TAYLOR_MAX_DEGREE = 55
KRYLOV_MAX_DIM = 64
LOG_2_64 = 64 * math.log(2.0)


def first_fitting_count(x, too_few):
    """The first n >= max(ceil(e^x), 1) with too_few(n) false, or 0 when it needs more than
    64 bits, as the solvers search it."""
    x = x if x > 0.0 else 0.0
    if x >= LOG_2_64:
        return 0
    n = max(1, math.ceil(math.exp(x)))
    while too_few(float(n)):
        n += 1
    return n


def taylor_parameters(b, rtol):
    """(degree m, substeps s) with the fewest applications s*m whose remainder bound
    b^(m+1) / ((m+1)! s^m) stays within ln(1 + rtol/2); b = |theta| * sum |coeff|."""
    g = math.log(math.log1p(rtol * 0.5))
    lb = math.log(b)
    best, best_cost = None, math.inf
    for m in range(1, TAYLOR_MAX_DEGREE + 1):
        a = (m + 1) * lb - math.lgamma(m + 2.0)
        s = first_fitting_count((a - g) / m, lambda sd: a - m * math.log(sd) > g)
        if s and s * m < best_cost:
            best, best_cost = (m, s), s * m
    return best


def krylov_parameters(dim, c, rtol):
    """(dimension d, substeps n) with the fewest applications (2d - 1) n whose bound
    n * 2 (c/n)^d / d! stays within rtol/2; c = |theta| * sum |coeff|."""
    if dim == 1:
        return 1, 1
    log_c, log_tol = math.log(c), math.log(0.5 * rtol)
    best, best_cost = None, math.inf
    for d in range(2, min(dim, KRYLOV_MAX_DIM) + 1):
        n = 1
        if d != dim:
            log_bound = (math.log(2.0) + d * log_c) - math.lgamma(d + 1.0)
            n = first_fitting_count((log_bound - log_tol) / (d - 1.0),
                                    lambda nd: log_bound - (d - 1.0) * math.log(nd) > log_tol)
            if n == 0:
                continue
        if (2 * d - 1) * n < best_cost:
            best, best_cost = (d, n), (2 * d - 1) * n
    return best


def planned_applications(solver, dim, bound, theta, rtol):
    """Applications the solver plans for a Hamiltonian with non-identity norm bound
    `bound`; 0 when there is nothing to apply."""
    b = abs(theta) * bound
    if b == 0.0:
        return 0
    if solver == "higham":
        m, s = taylor_parameters(b, rtol)
        return m * s
    d, n = krylov_parameters(dim, b, rtol)
    return (2 * d - 1) * n
