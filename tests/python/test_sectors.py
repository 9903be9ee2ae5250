"""Symmetry sectors: sector results against dense references on the whole space
(embedded and projected), the structural checks of conservation, and the sector's own
maps."""

import numpy as np
import pytest
import scipy.linalg

import morbizet as mb
from conftest import dense, heisenberg_terms

METHODS = ["chebyshev", "krylov", "taylor"]


def conserving_terms(rng, n):
    """Weight- and flip-conserving words of every kind the action treats apart: hopping
    pairs on near and far bonds (across the split of the bits), hopping through a Z string
    (Jordan-Wigner), an (XY - YX) Z current (imaginary phased coefficients), a product of
    two hoppings and ZZ couplings."""
    def word(ops):
        s = ["I"] * n
        for q, p in ops.items():
            s[q] = p
        return "".join(s)

    terms = []
    for a, b in [(0, 1), (2, 3), (n // 2 - 1, n // 2), (1, n - 1), (0, n - 2)]:
        j = rng.normal()
        terms += [(j, word({a: "X", b: "X"})), (j, word({a: "Y", b: "Y"})), (rng.normal(), word({a: "Z", b: "Z"}))]
    c = rng.normal()
    terms += [(c, word({0: "X", 1: "Z", 2: "Z", 3: "X"})), (c, word({0: "Y", 1: "Z", 2: "Z", 3: "Y"}))]
    d = rng.normal()
    terms += [(d, word({1: "X", n - 2: "Y", 2: "Z"})), (-d, word({1: "Y", n - 2: "X", 2: "Z"}))]
    e = rng.normal()  # the product of two hoppings on disjoint bonds
    terms += [(e, word({0: a, 1: a, n - 2: b, n - 1: b})) for a in "XY" for b in "XY"]
    return terms


def sectors(n):
    out = [mb.Sector(n, weight=w) for w in range(n + 1)]
    out += [mb.Sector(n, spin_flip=f) for f in (1, -1)]
    if n % 2 == 0:
        out += [mb.Sector(n, weight=n // 2, spin_flip=f) for f in (1, -1)]
    return out


def random_sector_state(rng, sector):
    v = rng.normal(size=sector.dim) + 1j * rng.normal(size=sector.dim)
    return v / np.linalg.norm(v)


@pytest.mark.parametrize("n", [6, 9])
def test_every_sector_and_method_matches_the_dense_evolution(rng, n):
    terms = conserving_terms(rng, n)
    H = mb.PauliSum(terms)
    matrix = dense(terms)
    for sector in sectors(n):
        v = random_sector_state(rng, sector)
        full = sector.embed(v)
        assert np.allclose(sector.project(full), v, rtol=0, atol=1e-14)
        exact = scipy.linalg.expm(-1.3j * matrix) @ full
        for method in METHODS:
            out = mb.evolve(H, v, 1.3, method=method, rtol=1e-10, sector=sector)
            assert np.linalg.norm(sector.embed(out) - exact) < 1e-9, (sector, method)
        applied = H.apply(v, sector=sector)
        assert np.allclose(sector.embed(applied), matrix @ full, rtol=0, atol=1e-12)
        assert np.allclose(H.to_sparse(sector=sector) @ v, applied, rtol=0, atol=1e-12)
        assert np.allclose(H.as_linear_operator(sector=sector).matmat(np.stack([v, 2 * v], axis=1))[:, 1],
                           2 * applied, rtol=0, atol=1e-12)
        assert abs(H.expectation(v, sector=sector) - np.vdot(full, matrix @ full).real) < 1e-12
        # The Chebyshev interval holds the sector's spectrum (its discs, then Lanczos).
        lo, hi = mb.evolve_with_info(H, v, 30.0, sector=sector)[1]["interval"]
        spectrum = np.linalg.eigvalsh(H.to_sparse(sector=sector).toarray())
        assert lo <= spectrum[0] + 1e-9 and spectrum[-1] - 1e-9 <= hi


def test_grids_and_observables_that_leave_the_sector(rng):
    """Observables need not conserve the sector: the value is that of the embedded state."""
    n = 8
    terms = conserving_terms(rng, n)
    H, matrix = mb.PauliSum(terms), dense(terms)
    observables = [mb.PauliSum([(1.0, "X" + "I" * (n - 1))]),                       # leaves every sector
                   mb.PauliSum([(0.7, "Z" + "I" * (n - 1)), (0.4, "XX" + "I" * (n - 2))]),  # odd under the flip
                   mb.PauliSum([(1.0, "XY" + "I" * (n - 2)), (0.5, "ZZ" + "I" * (n - 2))])]
    times = np.array([0.0, 0.4, -0.3, 1.1, 1.1, 2.0])
    for sector in [mb.Sector(n, weight=3), mb.Sector(n, spin_flip=-1), mb.Sector(n, weight=4, spin_flip=1)]:
        v = random_sector_state(rng, sector)
        exact = [scipy.linalg.expm(-1j * t * matrix) @ sector.embed(v) for t in times]
        expected = np.array([[np.vdot(s, dense(o.terms) @ s) for o in observables] for s in exact])
        for memory in (None, 0):  # windows of a Lanczos basis, and the step walk
            for method in METHODS:
                states, values = mb.evolve(H, v, times, method=method, rtol=1e-9, sector=sector,
                                           observables=observables, return_states=True, grid_memory=memory)
                assert max(np.linalg.norm(sector.embed(s) - e) for s, e in zip(states, exact)) < 1e-8
                assert np.abs(values - expected).max() < 1e-8, (sector, method, memory)
        for o in observables:
            assert abs(o.expectation(v, sector=sector) - np.vdot(exact[0], dense(o.terms) @ exact[0])) < 1e-12


@pytest.mark.parametrize("sector", [mb.Sector(14, weight=7), mb.Sector(14, weight=7, spin_flip=-1),
                                    mb.Sector(13, spin_flip=1)], ids=repr)
def test_sector_results_are_bit_identical_for_every_thread_count(rng, sector):
    H = mb.PauliSum(conserving_terms(rng, sector.num_qubits))
    v = random_sector_state(rng, sector)
    for call in (lambda t: H.apply(v, threads=t, sector=sector),
                 lambda t: mb.evolve(H, v, 0.8, threads=t, sector=sector),
                 lambda t: mb.evolve(H, v, [0.3, 0.8], threads=t, sector=sector)):
        first = call(1)
        for threads in (2, 3):
            assert np.array_equal(call(threads), first)


def test_many_qubits_few_particles_without_tables():
    """Past 32 ranked bits the ranks are summed bit by bit: two particles hopping on a
    ring of 40 sites, against the sector's own sparse matrix."""
    n = 40
    terms = [(1.0, "I" * k + p + p + "I" * (n - k - 2)) for k in range(n - 1) for p in "XY"]
    terms += [(1.0, "X" + "Z" * (n - 2) + "X"), (1.0, "Y" + "Z" * (n - 2) + "Y"), (0.3, "Z" + "I" * (n - 1))]
    H, sector = mb.PauliSum(terms), mb.Sector(n, weight=2)
    assert sector.dim == n * (n - 1) // 2
    v = sector.basis_state("1" + "0" * (n - 3) + "10")
    exact = scipy.linalg.expm(-2j * H.to_sparse(sector=sector).toarray()) @ v
    assert np.linalg.norm(mb.evolve(H, v, 2.0, rtol=1e-10, sector=sector) - exact) < 1e-9


def test_the_sector_maps():
    s = mb.Sector(4, weight=2)
    assert list(s.basis) == [0b0011, 0b0101, 0b0110, 0b1001, 0b1010, 0b1100] and s.dim == 6
    assert list(s.index([0b1100, 0b0011, 0b0111, 0])) == [5, 0, -1, -1]
    assert list(s.basis_state("1001")) == [0, 0, 0, 1, 0, 0]
    flip = mb.Sector(4, weight=2, spin_flip=-1)
    assert list(flip.basis) == [0b0011, 0b0101, 0b0110]
    # |1100> - |0011> is -(|0011> - |1100>): the listed member carries the sign.
    assert list(flip.basis_state("1100")) == [-1, 0, 0]
    full = flip.embed(flip.basis_state("0011"))
    assert full[0b0011] == pytest.approx(2**-0.5) and full[0b1100] == pytest.approx(-(2**-0.5))
    assert mb.Sector(3, spin_flip=1).dim == 4 and mb.Sector(62, weight=1).dim == 62
    big = mb.Sector(34, weight=17)
    assert big.index(np.array([2**17 - 1, 2**34 - 2**17]))[0] == 0
    assert big.index(np.array([2**34 - 2**17]))[0] == big.dim - 1
    # A state that has left the sector is refused, saying by how much; rounding is not.
    leaked = s.embed(s.basis_state("0101")) + 1e-3 * mb.basis_state("0111")
    with pytest.raises(ValueError, match=r"norm 0\.001"):
        s.project(leaked)
    s.project(s.embed(s.basis_state("0101")) + 1e-13 * mb.basis_state("0111"))


def test_heisenberg_half_filling_against_the_whole_space():
    """The Neel state's staggered magnetisation from the sector and from the whole space."""
    n = 12
    H = mb.PauliSum(heisenberg_terms(n))
    staggered = mb.PauliSum([((-1.0) ** k, "I" * k + "Z" + "I" * (n - k - 1)) for k in range(n)])
    sector = mb.Sector(n, weight=n // 2)
    times = np.linspace(0, 3, 13)
    full = mb.evolve(H, mb.basis_state("01" * (n // 2)), times, observables=staggered, rtol=1e-10)
    reduced = mb.evolve(H, sector.basis_state("01" * (n // 2)), times, observables=staggered, rtol=1e-10,
                        sector=sector)
    assert np.abs(full - reduced).max() < 1e-8
