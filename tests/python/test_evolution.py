"""Both solvers as Python sees them, against dense exponentials and exact identities."""

import sys
import threading
import time

import numpy as np
import pytest
import scipy.linalg

import _morbizet as mz
from conftest import SOLVERS, dense, hamiltonian, heisenberg_terms, random_state, random_terms


@pytest.mark.parametrize("rtol", [1e-6, 1e-9, 1e-12])
@pytest.mark.parametrize("theta", [-12.0, -0.3, 0.05, 1.0, 25.0, 100.0])
def test_matches_dense_exponential(solver, rng, theta, rtol):
    n = int(rng.integers(1, 9))
    terms = random_terms(rng, n, int(rng.integers(1, 12)), identity=0.4)
    psi = random_state(rng, n)
    expected = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
    got = solver(hamiltonian(terms), psi, theta, rtol, 2)
    assert np.linalg.norm(got - expected) <= 50 * rtol + 1e-13


@pytest.mark.parametrize("theta", [-4.0, 0.7])
def test_taylor_handles_non_hermitian_sums(rng, theta):
    terms = random_terms(rng, 5, 8, hermitian=False, identity=0.3 - 0.2j)
    psi = random_state(rng, 5)
    expected = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
    got = mz._evolve_higham(hamiltonian(terms), psi, theta, 1e-10, 1)
    assert np.linalg.norm(got - expected) <= 1e-8 * np.linalg.norm(expected)


def test_exact_identities(solver, rng):
    psi = random_state(rng, 4)
    h = hamiltonian(random_terms(rng, 4, 6, identity=0.25))
    assert np.array_equal(solver(h, psi, 0.0, 1e-8, 1), psi)
    ident = hamiltonian([(0.5 - 0.25j, "IIII"), (1.5, "IIII")])
    np.testing.assert_allclose(solver(ident, psi, 3.0, 1e-8, 1), np.exp(-3j * (2 - 0.25j)) * psi, rtol=1e-15)
    forward = solver(h, psi, 2.5, 1e-12, 1)
    np.testing.assert_allclose(solver(h, forward, -2.5, 1e-12, 1), psi, atol=1e-10)
    # A single Pauli word P squares to 1: exp(-i t P) = cos t - i sin t P.
    word = hamiltonian([(1.0, "XIYZ")])
    p_psi = dense([(1.0, "XIYZ")]) @ psi
    np.testing.assert_allclose(solver(word, psi, 0.9, 1e-12, 1),
                               np.cos(0.9) * psi - 1j * np.sin(0.9) * p_psi, atol=1e-11)
    assert not np.any(solver(h, np.zeros(16, complex), 1.5, 1e-8, 1))


def test_bit_identical_across_thread_counts(solver, rng):
    h = hamiltonian(random_terms(rng, 11, 25, identity=0.1))
    psi = random_state(rng, 11)
    reference = solver(h, psi, 1.3, 1e-10, 0)
    for threads in (-1, 1, 2, 3, 2**11 + 1, 2**31 - 1):
        assert solver(h, psi, 1.3, 1e-10, threads).tobytes() == reference.tobytes(), threads


def test_solvers_agree_on_a_heisenberg_chain(rng):
    h = hamiltonian(heisenberg_terms(12))
    psi = random_state(rng, 12)
    a = mz._evolve_higham(h, psi, 2.0, 1e-10, 2)
    b = mz._evolve_krylov(h, psi, 2.0, 1e-10, 2)
    assert a.dtype == b.dtype == np.complex128 and a.shape == b.shape
    assert np.linalg.norm(a - b) < 1e-8


def test_array_ownership(solver, rng):
    psi = random_state(rng, 3)
    psi.flags.writeable = False
    before = psi.copy()
    h = hamiltonian([(1.0, "XYZ"), (0.5, "ZZI")])
    first = solver(h, psi, 0.4, 1e-8, 1)
    assert np.array_equal(psi, before)
    assert first.flags.writeable and first.flags.c_contiguous and first.ndim == 1
    first[:] = 7
    second = solver(h, psi, 0.4, 1e-8, 1)
    assert np.array_equal(psi, before) and not np.array_equal(second, first)
    del psi, before
    view = second[1:]
    del second
    assert np.all(np.isfinite(view))
    # Integral theta and rtol are accepted as the equal floats.
    assert np.array_equal(solver(h, first, 1, 1, 1), solver(h, first, 1.0, 1.0, 1))


def test_argument_errors(solver):
    h = hamiltonian([(1.0, "XY")])
    psi = np.ones(4, complex)
    for args in [(h, psi, 1.0, 1e-8, 2.0), (h, psi, 1.0, 1e-8, 2**31), (h, psi, 1.0, 1e-8, -(2**31) - 1),
                 (mz._PauliWord(1.0, "XY"), psi, 1.0, 1e-8, 1), (None, psi, 1.0, 1e-8, 1),
                 (h, None, 1.0, 1e-8, 1), (h, np.ones((2, 2), complex), 1.0, 1e-8, 1),
                 (h, psi, "1", 1e-8, 1)]:
        with pytest.raises(TypeError):
            solver(*args)
    for length in (2, 8, 0):
        with pytest.raises(ValueError, match=f"psi has {length} amplitudes.*4"):
            solver(h, np.ones(length, complex), 1.0, 1e-8, 1)
    for rtol in (0.0, -1e-8, float("nan")):
        with pytest.raises(ValueError, match="rtol must be a positive number"):
            solver(h, psi, 1.0, rtol, 1)
    with pytest.raises(ValueError, match="too large"):
        solver(hamiltonian([(1.0, "XY")] * 2 + [(1.0, "ZZ")]), np.ones(4, complex), float("inf"), 1e-8, 1)
    # NaN theta propagates as NaN values.
    assert np.all(np.isnan(solver(h, psi, float("nan"), 1e-8, 1)))


def test_interpreter_lock_is_released(solver, rng):
    h = hamiltonian(heisenberg_terms(15))
    psi = random_state(rng, 15)
    ticks = []
    done = threading.Event()

    def count():
        while not done.is_set():
            ticks.append(time.perf_counter())
            time.sleep(0.001)

    old = sys.getswitchinterval()
    sys.setswitchinterval(10.0)  # without a released lock the counter would starve
    try:
        t = threading.Thread(target=count)
        t.start()
        time.sleep(0.01)
        start = len(ticks)
        solver(h, psi, 2.0, 1e-10, 1)
        during = len(ticks) - start
        done.set()
        t.join()
    finally:
        sys.setswitchinterval(old)
    assert during >= 5


def test_both_solvers_registered_alike():
    sigs = [f.__nb_signature__[0][0].split("(", 1)[1] for f in SOLVERS]
    assert sigs[0] == sigs[1]


@pytest.mark.parametrize("weight", [1e-7, 1e-11])
@pytest.mark.parametrize("end", [0, -1])
@pytest.mark.parametrize("terms", [heisenberg_terms(9), random_terms(np.random.default_rng(9), 9, 30)],
                         ids=["heisenberg", "random"])
def test_chebyshev_keeps_tiny_weights_at_the_far_end_of_the_spectrum(terms, end, weight):
    # An interval fitted to where psi lives would leave out the extreme eigenvalue that
    # psi barely touches, and the series would amplify that component exponentially.
    energies, vectors = np.linalg.eigh(dense(terms))
    rng = np.random.default_rng(4)
    bulk = vectors[:, 1:-1] @ (rng.normal(size=len(energies) - 2) + 1j * rng.normal(size=len(energies) - 2))
    psi = bulk / np.linalg.norm(bulk) + weight * vectors[:, end]
    theta, rtol = 12.0, 1e-10
    expected = vectors @ (np.exp(-1j * theta * energies) * (vectors.conj().T @ psi))
    got, stats = mz._solve("chebyshev", hamiltonian(terms), psi, theta, rtol, 2)
    assert np.linalg.norm(got - expected) <= rtol * np.linalg.norm(psi)
    lo, hi = stats["interval"]
    assert lo <= energies[0] + 1e-9 and energies[-1] - 1e-9 <= hi
    assert hi - lo < 2 * sum(abs(c) for c, _ in terms)  # the estimate was used, not +-norm_bound


@pytest.mark.parametrize("case", ["ferromagnet", "diagonal"])
def test_chebyshev_with_the_spectrum_on_the_ends_of_its_interval(rng, case):
    # Gershgorin discs are exact here: the Heisenberg chain's |0...0> has energy n - 1, the top
    # of both its spectrum and its discs, and a sum of Z words has radius 0 in every row. The
    # extreme eigenvalues then lie on the interval's ends, where rounding may put them just
    # outside; the series must still hold the phase over many terms.
    n = 9
    if case == "ferromagnet":
        terms = heisenberg_terms(n)
        psi = np.zeros(2**n, complex)
        psi[0] = 1.0
        expected = np.exp(-60j * (n - 1)) * psi
    else:
        terms = [(rng.normal(), "".join(rng.choice(list("IZ"), size=n))) for _ in range(12)]
        psi = random_state(rng, n)
        expected = np.exp(-60j * np.diag(dense(terms))) * psi
    got, stats = mz._solve("chebyshev", hamiltonian(terms), psi, 60.0, 1e-12, 2)
    assert np.linalg.norm(got - expected) <= 1e-11
    assert stats["degree"] > 100


def test_chebyshev_refuses_non_hermitian_sums():
    ham = hamiltonian([(1.0, "XZ"), (0.5 + 0.25j, "YI"), (0.3 - 0.2j, "II")])
    with pytest.raises(ValueError, match=r"word 1 \(YI\).*_evolve_higham"):
        mz._evolve_chebyshev(ham, np.ones(4, complex), 1.0, 1e-8, 1)
    # A complex identity part is a scalar factor, not a reason to refuse.
    ident = hamiltonian([(1.0, "XZ"), (0.3 - 0.2j, "II")])
    expected = scipy.linalg.expm(-1.5j * dense([(1.0, "XZ"), (0.3 - 0.2j, "II")])) @ np.ones(4)
    np.testing.assert_allclose(mz._evolve_chebyshev(ident, np.ones(4, complex), 1.5, 1e-12, 1), expected, atol=1e-12)


@pytest.mark.parametrize("method, solver", [("taylor", mz._evolve_higham), ("krylov", mz._evolve_krylov),
                                            ("chebyshev", mz._evolve_chebyshev)])
def test_solve_returns_the_same_bits_and_says_what_it_did(rng, method, solver):
    ham = hamiltonian(heisenberg_terms(10))
    psi = random_state(rng, 10)
    got, stats = mz._solve(method, ham, psi, 7.0, 1e-9, 2)
    assert got.tobytes() == solver(ham, psi, 7.0, 1e-9, 2).tobytes()
    assert stats["method"] == method and stats["degree"] >= 1 and stats["substeps"] >= 1
    if method == "taylor":  # the early exit may stop a substep short of its degree
        assert stats["applications"] <= stats["degree"] * stats["substeps"]
    elif method == "krylov":  # 2d - 1 per substep, fewer on a breakdown
        assert stats["applications"] <= (2 * stats["degree"] - 1) * stats["substeps"]
    else:
        assert stats["applications"] == stats["degree"] + stats["estimation_steps"]
    with pytest.raises(ValueError, match="unknown method 'lanczos'.*'chebyshev', 'taylor' or 'krylov'"):
        mz._solve("lanczos", ham, psi, 1.0, 1e-8, 1)


def test_the_spectral_interval_is_found_once_and_kept_with_the_operator(rng):
    """A short solve on a kept slot estimates the interval (tighter than Gershgorin's),
    a second one takes it without a step and gives the same bits as a solve handed the
    same bounds; both match the dense exponential. Imaginary time shares the slot; a
    sector's solve neither reads nor fills it; a slot that is no one-item list is refused."""
    import morbizet as mb

    terms = heisenberg_terms(9) + [(0.4, "IIIIZIIII")]
    H = mb.PauliSum(terms)
    psi = random_state(rng, 9)
    expected = scipy.linalg.expm(-1j * dense(terms)) @ psi
    first, info = mb.evolve_with_info(H, psi, 1.0, rtol=1e-10)
    assert info["interval_source"] == "lanczos" and not info["interval_kept"] and info["estimation_steps"] > 0
    eigenvalues = np.linalg.eigvalsh(dense(terms))
    lo, hi = info["interval"]
    gershgorin = mz._solve("chebyshev", hamiltonian(terms), psi, 1.0, 1e-10, 1)[1]["interval"]
    assert gershgorin[0] <= lo <= eigenvalues[0] and eigenvalues[-1] <= hi <= gershgorin[1]
    assert hi - lo < gershgorin[1] - gershgorin[0]
    second, again = mb.evolve_with_info(H, psi, 1.0, rtol=1e-10, threads=2)
    assert again["interval_kept"] and again["estimation_steps"] == 0 and again["interval"] == info["interval"]
    assert again["applications"] == again["degree"] and again["interval_source"] == "lanczos"
    for got in (first, second):
        np.testing.assert_allclose(got, expected, atol=1e-9)
    slot = list(mb._core.spectrum(H._hamiltonian()))
    assert mz._solve("chebyshev", hamiltonian(terms), psi, 1.0, 1e-10, 1, None, None, slot)[0].tobytes() \
        == second.tobytes()
    _, log_norm, imaginary = mb._core.solve_imaginary(H._hamiltonian(), psi, 0.5, 1e-10, 1)[:3]
    assert imaginary["interval_kept"] and imaginary["estimation_steps"] == 0
    sector_H, sector = mb.PauliSum(heisenberg_terms(6)), mb.Sector(6, weight=3)
    for _ in range(2):
        _, in_sector = mb.evolve_with_info(sector_H, np.ones(sector.dim) / np.sqrt(sector.dim), 1.0, sector=sector)
        assert not in_sector["interval_kept"]
    assert mb._core.spectrum(sector_H._hamiltonian())[0] is None
    for bad in ([], [None, None], (None,)):
        with pytest.raises(TypeError, match="spectrum must be a list of one item"):
            mz._solve("chebyshev", hamiltonian(terms), psi, 1.0, 1e-10, 1, None, None, bad)
    # Bounds that are not a solve's: refused, not used.
    not_bounds = r"spectrum\[0\] must"
    for bad, error in (([(-1.0, 1.0, -2.0, 2.0, True, 7)], "unknown source"), ([(-1.0, 1.0)], not_bounds),
                       ([("lo", 1.0, -2.0, 2.0, True, 2)], not_bounds)):
        with pytest.raises((TypeError, ValueError), match=error):
            mz._solve("chebyshev", hamiltonian(terms), psi, 1.0, 1e-10, 1, None, None, bad)
