"""Driven Hamiltonians H(t) = sum_j f_j(t) H_j and imaginary time exp(-beta H) psi, against
dense references: solve_ivp at tight tolerance and products of exact exponentials."""

import math

import numpy as np
import pytest
import scipy.linalg as sl
from scipy.integrate import solve_ivp

import morbizet as mb
from conftest import heisenberg_terms, random_state, random_terms


def _matrix(H):
    return H.to_sparse().toarray()


def _reference(parts, coefficients, psi, times):
    """psi(t) for H(t) = sum_j f_j(t) H_j by DOP853 at 1e-13."""
    mats = [_matrix(h) for h in parts]
    coeff = [f if callable(f) else (lambda t, c=f: c) for f in coefficients]

    def rhs(t, y):
        return -1j * sum(c(t) * (m @ y) for c, m in zip(coeff, mats))

    sol = solve_ivp(rhs, (0.0, times[-1]), psi, t_eval=times, rtol=1e-13, atol=1e-13, method="DOP853")
    return sol.y.T


@pytest.fixture
def pair(rng):
    n = 3
    return n, mb.PauliSum(random_terms(rng, n, 6)), mb.PauliSum(random_terms(rng, n, 6, identity=0.3))


def test_smooth_drive_meets_rtol_at_every_time_and_converges_at_fourth_order(pair, rng):
    n, H0, H1 = pair
    f = lambda t: math.sin(2.0 * t) + 0.3 * t  # noqa: E731
    H = mb.TimeDependentSum([(H0, 1.0), (H1, f)])
    psi = random_state(rng, n)
    times = np.array([0.5, 1.0, 2.5, 3.0])
    ref = _reference([H0, H1], [1.0, f], psi, times)
    for rtol in (1e-5, 1e-8, 1e-10):
        got = mb.evolve(H, psi, times, rtol=rtol)
        assert np.linalg.norm(got - ref, axis=1).max() <= rtol
    # Fixed steps h of the integrator alone: the error falls 16-fold per halving.
    from morbizet._driven import DrivenWalk

    errors = []
    for steps in (8, 16, 32):
        walk, state = DrivenWalk(H, "auto", 1, None, None, None), psi
        for k in range(steps):
            state = walk._cf4(state, 3.0 * k / steps, 3.0 / steps, 1e-15)
        errors.append(np.linalg.norm(state - ref[-1]))
    assert 12 < errors[0] / errors[1] < 22 and 12 < errors[1] / errors[2] < 22, errors


def test_piecewise_schedules(pair, rng):
    n, H0, H1 = pair
    M0, M1 = _matrix(H0), _matrix(H1)
    psi = random_state(rng, n)
    # Constant pieces are exact: the product of the pieces' exponentials, to rtol.
    steps = mb.PiecewiseConstant([0.0, 0.7, 1.9], [1.0, -0.5, 2.0])
    got = mb.evolve(mb.TimeDependentSum([(H0, 1.0), (H1, steps)]), psi, [0.3, 2.3], rtol=1e-12)
    U1 = sl.expm(-0.3j * (M0 + M1))
    U2 = sl.expm(-0.4j * (M0 + 2 * M1)) @ sl.expm(-1.2j * (M0 - 0.5 * M1)) @ sl.expm(-0.7j * (M0 + M1))
    assert np.linalg.norm(got - np.stack([U1 @ psi, U2 @ psi]), axis=1).max() <= 1e-12
    assert steps(-1.0) == 1.0 and steps(0.7) == -0.5 and steps(5.0) == 2.0
    # Linear pieces: kinks at the knots are integrated across exactly.
    ramp = mb.PiecewiseLinear([0.0, 1.0, 2.0], [0.0, 1.0, -1.0])
    ref = _reference([H0, H1], [1.0, ramp], psi, np.array([2.5]))
    got = mb.evolve(mb.TimeDependentSum([(H0, 1.0), (H1, ramp)]), psi, 2.5, rtol=1e-9)
    assert np.linalg.norm(got - ref[0]) <= 1e-9
    # A time-independent sum agrees with the constant evolution.
    same = mb.evolve(mb.TimeDependentSum([(H0, 2.0), (H1, -1.0)]), psi, 1.3, rtol=1e-12)
    assert np.linalg.norm(same - mb.evolve(2.0 * H0 - H1, psi, 1.3, rtol=1e-12)) <= 2e-12


def test_landau_zener_sweep_and_periodic_drive():
    # H = v t Z / 2 + g X / 2 from t = -T to T: the diabatic state survives with
    # probability exp(-pi g^2 / (2 v)), up to corrections of order g / (v T).
    v, g, T = 4.0, 1.0, 20.0
    Z, X = mb.PauliSum([(0.5, "Z")]), mb.PauliSum([(0.5 * g, "X")])
    sweep = lambda t: v * (t - T)  # noqa: E731
    start = np.array([1, 0], dtype=complex)
    out = mb.evolve(mb.TimeDependentSum([(Z, sweep), (X, 1.0)]), start, 2 * T, rtol=1e-6)
    assert np.linalg.norm(out - _reference([Z, X], [sweep, 1.0], start, np.array([2 * T]))[0]) <= 1e-6
    assert abs(abs(out[0]) ** 2 - math.exp(-math.pi * g**2 / (2 * v))) < 0.02
    # A resonant drive on a qubit: Rabi oscillation over 20 periods.
    w, a = 2.0, 0.1
    H = mb.TimeDependentSum([(mb.PauliSum([(0.5 * w, "Z")]), 1.0), (mb.PauliSum([(a, "X")]), lambda t: math.cos(w * t))])
    period = 2 * math.pi / w
    times = np.arange(1, 21) * period
    ref = _reference([mb.PauliSum([(0.5 * w, "Z")]), mb.PauliSum([(a, "X")])], [1.0, lambda t: math.cos(w * t)],
                     np.array([1, 0], dtype=complex), times)
    got = mb.evolve(H, np.array([1, 0], dtype=complex), times, rtol=1e-8)
    assert np.linalg.norm(got - ref, axis=1).max() <= 1e-8


def test_driven_keywords_methods_threads_and_sectors(rng):
    n = 6
    hop = mb.PauliSum(heisenberg_terms(n))
    field = mb.PauliSum([(1.0, "I" * k + "Z" + "I" * (n - k - 1)) for k in range(n)])
    H = mb.TimeDependentSum([(hop, 1.0), (field, lambda t: 0.5 * math.cos(t))])
    psi = random_state(rng, n)
    times = [0.4, 1.2]
    ref = _reference([hop, field], [1.0, lambda t: 0.5 * math.cos(t)], psi, np.array(times))
    for method in ("auto", "chebyshev", "taylor", "krylov"):
        got = mb.evolve(H, psi, times, method=method, rtol=1e-8)
        assert np.linalg.norm(got - ref, axis=1).max() <= 1e-8, method
    one = mb.evolve(H, psi, times, threads=1, max_step=0.05)
    assert one.tobytes() == mb.evolve(H, psi, times, threads=2, max_step=0.05).tobytes()
    values = mb.evolve(H, psi, times, observables=field, rtol=1e-8)
    assert np.allclose(values, [np.vdot(r, _matrix(field) @ r).real for r in ref], atol=1e-8)
    seen = []
    mb.evolve(H, psi, times, callback=lambda t, s: seen.append((t, s.copy())))
    assert [t for t, _ in seen] == times
    # Heisenberg hopping and a Z field keep the number of up spins: a sector of 3 of 6.
    sector = mb.Sector(n, weight=3)
    start = psi[sector.basis] / np.linalg.norm(psi[sector.basis])
    inside = mb.evolve(H, start, times, sector=sector, rtol=1e-9)
    whole = mb.evolve(H, sector.embed(start), times, rtol=1e-9)
    assert np.linalg.norm(np.stack([sector.embed(r) for r in inside]) - whole) <= 3e-9
    # A complex weight makes the combination non-Hermitian: auto runs Taylor, a
    # Hermitian-only method refuses it.
    damped = mb.TimeDependentSum([(hop, 1.0), (field, lambda t: 0.1j)])
    expected = mb.evolve(hop + 0.1j * field, psi, 0.5, rtol=1e-12)
    assert np.linalg.norm(mb.evolve(damped, psi, 0.5, rtol=1e-10) - expected) <= 1e-9
    with pytest.raises(ValueError, match="Hermitian"):
        mb.evolve(damped, psi, 0.5, method="chebyshev")


@pytest.mark.parametrize("call, error, fragment", [
    (lambda h: mb.TimeDependentSum([]), ValueError, "at least one"),
    (lambda h: mb.TimeDependentSum([(h, "x")]), TypeError, "callable"),
    (lambda h: mb.TimeDependentSum([(h, 1.0), (mb.PauliSum([(1.0, "X")]), 1.0)]), ValueError, "qubits"),
    (lambda h: mb.PiecewiseConstant([0.0, 0.0], [1.0, 2.0]), ValueError, "strictly increasing"),
    (lambda h: mb.PiecewiseLinear([0.0, 1.0], [1.0]), ValueError, "one number per time"),
    (lambda h: mb.evolve(mb.TimeDependentSum([(h, lambda t: "a")]), [1, 0, 0, 0], 1.0), TypeError, "return a number"),
    (lambda h: mb.evolve(mb.TimeDependentSum([(h, lambda t: math.inf)]), [1, 0, 0, 0], 1.0), ValueError, "finite"),
    (lambda h: mb.evolve(mb.TimeDependentSum([(h, 1.0)]), [1, 0, 0, 0], 1.0, max_step=0), ValueError, "max_step"),
    (lambda h: mb.evolve(h, [1, 0, 0, 0], 1.0, max_step=0.1), TypeError, "TimeDependentSum"),
    (lambda h: mb.evolve_imaginary(h, [1, 0, 0, 0], -1.0), ValueError, ">= 0"),
    (lambda h: mb.evolve_imaginary(h, [1, 0, 0, 0], [2.0, 1.0]), ValueError, "non-decreasing"),
])
def test_bad_driven_and_imaginary_input(call, error, fragment):
    with pytest.raises(error, match=fragment):
        call(mb.PauliSum([(1.0, "XX"), (0.5, "ZI")]))


def _ground_truth(M, psi, beta):
    """exp(-beta M) psi normalised and ln of its norm, by the eigendecomposition."""
    w, V = np.linalg.eigh(M)
    c = V.conj().T @ psi
    v = V @ (np.exp(-beta * (w - w[0])) * c)
    return v / np.linalg.norm(v), -beta * w[0] + math.log(np.linalg.norm(v))


@pytest.mark.parametrize("beta", [0.0, 0.05, 1.0, 30.0, 1e4 / 30])
def test_imaginary_time_against_the_eigendecomposition(beta, rng):
    n = 6
    H = mb.PauliSum(heisenberg_terms(n) + [(0.3, "ZIIIII"), (1.5, "IIIIII")])
    M = _matrix(H)
    psi = 3.0 * random_state(rng, n)
    state, log_norm = mb.evolve_imaginary(H, psi, beta, rtol=1e-9)
    ref, ref_log = _ground_truth(M, psi, beta)
    assert np.linalg.norm(state - ref) <= 1e-8
    assert abs(log_norm - ref_log) <= 1e-9 * max(1.0, abs(ref_log))
    # A grid, observables on the normalised state, the spectral interval found once.
    betas = [0.0, beta / 3, beta]
    values, logs = mb.evolve_imaginary(H, psi, betas, observables=[H, mb.PauliSum([(1.0, "ZZIIII")])])
    for b, row, log in zip(betas, values, logs):
        r, rl = _ground_truth(M, psi, b)
        assert abs(row[0] - np.vdot(r, M @ r).real) <= 1e-7 * np.abs(M).max()
        assert abs(log - rl) <= 1e-8 * max(1.0, abs(rl))


def test_imaginary_time_of_any_h_threads_and_sectors(rng):
    n = 5
    # Non-Hermitian: Taylor on -iH in chunks, against the dense exponential.
    G = mb.PauliSum(random_terms(rng, n, 8, hermitian=False, identity=0.2 + 0.5j))
    psi = random_state(rng, n)
    for beta in (0.4, 3.0):
        state, log_norm = mb.evolve_imaginary(G, psi, beta, rtol=1e-10)
        v = sl.expm(-beta * _matrix(G)) @ psi
        assert np.linalg.norm(state - v / np.linalg.norm(v)) <= 1e-9
        assert abs(log_norm - math.log(np.linalg.norm(v))) <= 1e-9
    # Far beyond the double range of exp(-beta H) itself: against the shifted exponential.
    beta = 1e3 / sum(abs(c) for c, s in G.terms if s != "I" * n)
    lowest = min(np.linalg.eigvals(_matrix(G)).real)
    v = sl.expm(-beta * (_matrix(G) - lowest * np.eye(2**n))) @ psi
    state, log_norm = mb.evolve_imaginary(G, psi, beta, rtol=1e-10, progress=True)
    assert np.linalg.norm(state - v / np.linalg.norm(v)) <= 1e-8
    assert abs(log_norm - (math.log(np.linalg.norm(v)) - beta * lowest)) <= 1e-9 * abs(beta * lowest)
    # Huge beta |H| without overflow; the ground state of a chain with a gap.
    H = mb.PauliSum(heisenberg_terms(8))
    state, log_norm = mb.evolve_imaginary(H, random_state(rng, 8), 2e3)
    e0 = np.linalg.eigvalsh(_matrix(H))[0]
    assert abs(H.expectation(state).real - e0) <= 1e-8 * abs(e0)
    assert abs(log_norm / 2e3 + e0) <= 0.01
    # Bits do not depend on the thread count; a sector gives the embedded result.
    psi = random_state(rng, 8)
    one = mb.evolve_imaginary(H, psi, 5.0, threads=1)
    two = mb.evolve_imaginary(H, psi, 5.0, threads=2)
    assert one[0].tobytes() == two[0].tobytes() and one[1] == two[1]
    sector = mb.Sector(8, weight=4)
    start = psi[sector.basis]
    inside, log_inside = mb.evolve_imaginary(H, start, 5.0, rtol=1e-10, sector=sector)
    whole, log_whole = mb.evolve_imaginary(H, sector.embed(start), 5.0, rtol=1e-10)
    assert np.linalg.norm(sector.embed(inside) - whole) <= 1e-9 and abs(log_inside - log_whole) <= 1e-9
    zero, log_zero = mb.evolve_imaginary(H, np.zeros(256), 1.0)
    assert not zero.any() and log_zero == -math.inf


def test_driven_walks_any_order_of_times_and_stops_with_what_it_finished(pair, rng):
    n, H0, H1 = pair
    f = lambda t: 1.0 + 0.5 * math.sin(3.0 * t)  # noqa: E731
    H = mb.TimeDependentSum([(H0, f), (H1, mb.PiecewiseLinear([-1.0, 1.0], [0.0, 2.0]))])
    psi = random_state(rng, n)
    M0, M1 = _matrix(H0), _matrix(H1)
    ramp = H.terms[1][1]

    def exact(t):
        sol = solve_ivp(lambda s, y: -1j * (f(s) * (M0 @ y) + ramp(s) * (M1 @ y)), (0.0, t), psi, rtol=1e-13,
                        atol=1e-13, method="DOP853")
        return sol.y[:, -1]

    times = [0.6, -0.8, -0.8, 0.2]
    got = mb.evolve(H, psi, times, rtol=1e-9)
    assert np.linalg.norm(got - np.stack([exact(t) for t in times]), axis=1).max() <= 1e-9
    assert got[1].tobytes() == got[2].tobytes()  # a repeated time costs nothing
    np.testing.assert_allclose(H.at(0.5).to_sparse().toarray(), f(0.5) * M0 + 1.5 * M1, atol=1e-15)

    def stop(t, state):
        if t < 0:
            raise KeyboardInterrupt

    with pytest.raises(mb.EvolutionInterrupted) as info:
        mb.evolve(H, psi, times, rtol=1e-9, callback=stop, return_states=True)
    assert info.value.completed == 1
    assert np.allclose(info.value.states[0], got[0]) and np.isnan(info.value.states[1:]).all()


def test_one_table_of_methods_serves_the_module_and_the_package():
    import _morbizet as mz

    rows = mz._methods()
    names = [row["name"] for row in rows]
    assert names == ["chebyshev", "taylor", "krylov"] and list(mb._evolve.METHODS) == ["auto", *names]
    G = mb.PauliSum([(1.0, "XY"), (0.5j, "ZI")])
    for row in rows:
        run = lambda: mz._solve(row["name"], G._hamiltonian(), np.array([1, 0, 0, 0], dtype=complex), 0.3, 1e-8, 1)  # noqa: E731
        if row["needs_hermitian"]:
            with pytest.raises(ValueError, match=f"the {row['name']} solver needs a Hermitian H"):
                run()
        else:
            assert "interval" in run()[1] if row["reports_interval"] else "interval" not in run()[1]
