"""The public package against dense matrices, SciPy, and the conventions of OpenFermion and Qiskit."""

import os
import pickle
import signal
import subprocess
import sys
import time
import tracemalloc
import typing

import numpy as np
import pytest
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg

import morbizet as mb
from conftest import HERE, dense, heisenberg_terms, random_state, random_terms

METHODS = ["auto", "taylor", "krylov", "chebyshev"]
# Unsorted, negative, repeated and zero times, each reached from the one before.
GRID = [0.7, -0.4, 2.5, 2.5, 0.0, 1.1]


def expm_states(terms, psi, times):
    h = dense(terms)
    return np.array([scipy.linalg.expm(-1j * t * h) @ psi for t in times])


@pytest.mark.parametrize("method", METHODS)
def test_evolve_matches_dense_exponential(rng, method):
    terms = random_terms(rng, 6, 10, identity=0.3 - 0.2j)  # a complex identity part is a phase and a decay
    psi = random_state(rng, 6)
    h = mb.PauliSum(terms)
    expected = expm_states(terms, psi, GRID)
    np.testing.assert_allclose(mb.evolve(h, psi, GRID, method=method, rtol=1e-10), expected, atol=1e-9)
    for t in (GRID[0], np.array(GRID[0])):
        np.testing.assert_allclose(mb.evolve(h, psi.tolist(), t, method=method, rtol=1e-10), expected[0], atol=1e-9)
    state, info = mb.evolve_with_info(h, psi, 2.5, method=method)
    assert info["method"] == ("chebyshev" if method == "auto" else method) and info["applications"] > 0
    np.testing.assert_allclose(state, expected[2], atol=1e-7)
    assert mb.evolve(h, psi, []).shape == (0, 64)


def _field_chain(n, seed):
    r = np.random.default_rng(seed)
    return ([(1.0, "I" * k + "ZZ" + "I" * (n - k - 2)) for k in range(n - 1)]
            + [(r.normal(), "I" * k + p + "I" * (n - k - 1)) for k in range(n) for p in "XZ"])


# Each returned state must be within rtol, or within the rounding floor eps * |t| * sum |c|
# where that is larger, whatever the time and the size of the space.
ACCURACY_CASES = {
    # The Krylov space is the whole space (2^n <= 64): one long substep.
    "whole space, t = 20": (_field_chain(6, 1), None, 20.0, 1e-8, METHODS),
    "whole space, 40 random words": (random_terms(np.random.default_rng(3), 6, 40), None, 100.0, 1e-8, METHODS),
    "whole space, n = 5": (_field_chain(5, 2), None, 30.0, 1e-12, METHODS),
    # A coupling far below the breakdown threshold, which acts over a long time.
    "tiny coupling": ([(1.0, "ZI"), (1e-14, "IX")], [1, 0, 0, 0], 1e5, 1e-12, ["krylov", "chebyshev"]),
    "tiny coupling, 7 qubits": ([(1.0, "ZIIIIII"), (1e-14, "IIIIIIX")], [1] + [0] * 127, 1e5, 1e-12, ["krylov"]),
    # Many substeps, each rounding terms that peak far above the result.
    "long time": ([(1.0, "Z")], [0.6, 0.8], 500.0, 1e-12, METHODS),
    "long time, looser": ([(0.5, "Z"), (0.25, "I")], [0.6, 0.8j], 4e4, 1e-9, ["taylor"]),
}


@pytest.mark.parametrize("case", ACCURACY_CASES)
def test_every_method_meets_rtol_at_long_times_and_on_small_spaces(case):
    terms, psi, t, rtol, methods = ACCURACY_CASES[case]
    n = len(terms[0][1])
    psi = random_state(np.random.default_rng(11), n) if psi is None else np.asarray(psi, dtype=complex)
    values, vectors = np.linalg.eigh(dense(terms))
    exact = vectors @ (np.exp(-1j * t * values) * (vectors.conj().T @ psi))
    floor = 2.0**-52 * abs(t) * sum(abs(c) for c, _ in terms)
    for method in methods:
        error = np.linalg.norm(mb.evolve(mb.PauliSum(terms), psi, t, method=method, rtol=rtol) - exact)
        assert error <= max(rtol, 4 * floor) * np.linalg.norm(psi), (method, error)


@pytest.mark.parametrize("rtol", [1e-4, 1e-8, 1e-12])
@pytest.mark.parametrize("grid", ["10001 sorted", "unsorted, repeated, negative"])
def test_every_value_of_a_long_grid_meets_rtol(rtol, grid):
    r = np.random.default_rng(4)
    terms = _field_chain(6, 5)
    psi = random_state(r, 6)
    times = np.linspace(0.0, 10.0, 10001) if grid == "10001 sorted" else np.round(r.uniform(-5, 5, 200), 1)
    values, vectors = np.linalg.eigh(dense(terms))
    exact = np.array([vectors @ (np.exp(-1j * t * values) * (vectors.conj().T @ psi)) for t in times])
    observable = mb.PauliSum([(0.5, "ZIIIII"), (0.5, "XXIIII")])
    expected = np.einsum("ki,ij,kj->k", exact.conj(), dense(observable.terms), exact).real
    floor = 2.0**-52 * np.abs(np.diff(times, prepend=0.0)).sum() * sum(abs(c) for c, _ in terms)
    for method in METHODS:
        h = mb.PauliSum(terms)
        states = mb.evolve(h, psi, times, method=method, rtol=rtol)
        assert np.linalg.norm(states - exact, axis=1).max() <= max(rtol, 4 * floor), method
        measured = mb.evolve(h, psi, times, method=method, rtol=rtol, observables=observable)
        assert np.abs(measured - expected).max() <= max(rtol, 4 * floor), method


def test_a_long_grid_costs_about_one_evolution_and_agrees_with_the_step_walk(monkeypatch):
    # Counts of applications of H, not timings: the windows serve 101 or 1001 times with
    # about as many as one evolution to the last time, where the walk from time to time
    # needs several times more; the values agree within the two walks' tolerances.
    n = 10
    h, psi = mb.PauliSum(heisenberg_terms(n)), mb.basis_state("01" * (n // 2))
    identity = "I" * n
    observables = [mb.PauliSum([((-1.0) ** k, identity[:k] + "Z" + identity[k + 1:]) for k in range(n)]),
                   mb.PauliSum([(1.0, "XX" + identity[2:]), (1.0, "ZZ" + identity[2:])])]
    single = mb.evolve_with_info(h, psi, 10.0)[1]["applications"]
    walks = []
    grid = mb._core.grid
    monkeypatch.setattr(mb._core, "grid", lambda *args: walks.append(grid(*args)) or walks[-1])
    for points in (101, 1001):
        times = np.linspace(0.0, 10.0, points)
        windows = mb.evolve(h, psi, times, observables=observables)
        assert walks[-1]["applications"] <= 1.25 * single, (points, walks[-1], single)
        steps = mb.evolve(h, psi, times, observables=observables, grid_memory=0)
        assert np.abs(windows - steps).max() <= 2e-8 * n
    assert len(walks) == 2


@pytest.mark.parametrize("identity", [0.0, 0.4 - 0.05j])
def test_windows_against_dense_every_way_of_asking(identity):
    # The windowed walk by each of its ways out: states formed (return_states), values from
    # the observables projected into the basis (a dense grid of values alone) or from each
    # state formed (a sparse one), Hermitian and non-Hermitian observables, an identity
    # part that makes the norm decay, and the least memory the windows run in.
    r = np.random.default_rng(7)
    n, rtol = 7, 1e-9
    terms = random_terms(r, n, 20) + [(identity, "I" * n)]
    h, psi = mb.PauliSum(terms), random_state(r, n)
    observables = [mb.PauliSum([(0.5, "XX" + "I" * (n - 2)), (0.5, "YY" + "I" * (n - 2))]),
                   mb.PauliSum([(1j, "Z" + "I" * (n - 1)), (0.3, "IX" + "I" * (n - 2))])]
    values, vectors = np.linalg.eigh(dense(terms[:-1]))
    for times in (np.linspace(0.0, 4.0, 400), np.array([0.3, 3.9, -1.2, 0.3, 0.0])):
        exact = np.array([np.exp(-1j * t * identity) * (vectors @ (np.exp(-1j * t * values) * (vectors.conj().T @ psi)))
                          for t in times])
        expected = np.stack([np.einsum("ki,ij,kj->k", exact.conj(), dense(o.terms), exact) for o in observables], 1)
        bound = 2.5 * rtol * 1.3 * np.linalg.norm(psi) ** 2 * np.exp(0.1 * np.abs(times).max())
        for memory in (None, 8 * 16 * 2**n):
            states, both = mb.evolve(h, psi, times, rtol=rtol, observables=observables, return_states=True,
                                     grid_memory=memory)
            alone = mb.evolve(h, psi, times, rtol=rtol, observables=observables, grid_memory=memory)
            assert np.linalg.norm(states - exact, axis=1).max() <= rtol * np.linalg.norm(psi), (times.size, memory)
            assert np.abs(both - expected).max() <= bound and np.abs(alone - expected).max() <= bound


def test_grid_memory_below_twelve_vectors_walks_step_by_step(monkeypatch):
    # Windows need room for twelve state vectors, four of them counted as any solver's
    # own: grid_memory one byte short of eight more takes the step-by-step walk.
    h, psi = mb.PauliSum(heisenberg_terms(6)), mb.basis_state("010101")
    taken = []
    grid, solve = mb._core.grid, mb._core.solve
    monkeypatch.setattr(mb._core, "grid", lambda *args, **kw: taken.append("windows") or grid(*args, **kw))
    monkeypatch.setattr(mb._core, "solve", lambda *args, **kw: taken.append("steps") or solve(*args, **kw))
    eight = 8 * 16 * 2**6
    for memory, way in ((eight - 1, "steps"), (eight, "windows")):
        taken.clear()
        states = mb.evolve(h, psi, [0.5, 1.0, 2.0], grid_memory=memory)
        assert set(taken) == {way}
        np.testing.assert_allclose(states[2], mb.evolve(h, psi, 2.0), atol=2e-8)


def test_a_failing_callback_stops_the_walk_with_its_error():
    h, psi = mb.PauliSum(heisenberg_terms(8)), mb.basis_state("01" * 4)
    calls = []

    def fail(t, state):
        calls.append(t)
        if len(calls) == 5:
            raise RuntimeError("stop here")

    with pytest.raises(RuntimeError, match="stop here"):
        mb.evolve(h, psi, np.linspace(0.0, 5.0, 50), callback=fail)
    assert len(calls) == 5
    np.testing.assert_allclose(mb.evolve(h, psi, [0.0, 1.0])[1], mb.evolve(h, psi, 1.0), atol=1e-7)
    # Any memory from none to more than the machine has; times all at 0 are psi itself.
    for memory in (0, 2**60):
        np.testing.assert_allclose(mb.evolve(h, psi, [0.5, 1.0], grid_memory=memory)[1], mb.evolve(h, psi, 1.0),
                                   atol=1e-7)
    assert (mb.evolve(h, psi, [0.0, 0.0, -0.0]) == psi).all()


def test_non_hermitian_sums_take_taylor(rng):
    terms = random_terms(rng, 4, 6, hermitian=False)
    psi = random_state(rng, 4)
    h = mb.PauliSum(terms)
    np.testing.assert_allclose(mb.evolve(h, psi, GRID, rtol=1e-10), expm_states(terms, psi, GRID), atol=1e-9)
    assert mb.evolve_with_info(h, psi, 1.0)[1]["method"] == "taylor"
    for method in ("krylov", "chebyshev"):
        with pytest.raises(ValueError, match="needs a Hermitian H"):
            mb.evolve(h, psi, 1.0, method=method)


def test_observables_against_dense(rng):
    terms = random_terms(rng, 5, 8)
    psi = random_state(rng, 5)
    states = expm_states(terms, psi, GRID)
    z0, hopping = mb.PauliSum([(1.0, "IIIIZ")]), mb.PauliSum([(0.5, "XXIII"), (0.5, "YYIII")])
    skew = mb.PauliSum([(1j, "IZIII")])
    h = mb.PauliSum(terms)

    def expect(o):
        return np.einsum("ki,ij,kj->k", states.conj(), dense(o.terms), states)

    real = mb.evolve(h, psi, GRID, observables=[z0, hopping])
    assert real.shape == (6, 2) and real.dtype == np.float64
    np.testing.assert_allclose(real, np.stack([expect(z0).real, expect(hopping).real], 1), atol=1e-7)
    mixed = mb.evolve(h, psi, GRID, observables=(z0, skew), method="taylor")
    assert mixed.dtype == np.complex128
    np.testing.assert_allclose(mixed[:, 1], expect(skew), atol=1e-7)
    bare = mb.evolve(h, psi, GRID, observables=hopping)
    assert bare.shape == (6,)
    np.testing.assert_allclose(bare, real[:, 1], atol=1e-12)
    assert mb.evolve(h, psi, GRID[0], observables=[z0, skew]).shape == (2,)
    assert isinstance(mb.evolve(h, psi, GRID[0], observables=z0), float)
    assert mb.evolve(h, psi, [], observables=[z0, skew]).shape == (0, 2)
    assert mb.evolve(h, psi, GRID, observables=[]).shape == (6, 0)


def test_operator_on_states_and_scipy_views(rng):
    terms = random_terms(rng, 6, 9, identity=0.4)
    h, m, psi = mb.PauliSum(terms), dense(terms), random_state(rng, 6)
    np.testing.assert_allclose(h @ psi, m @ psi, atol=1e-13)
    block = np.stack([psi, psi.conj()], 1)
    np.testing.assert_allclose(h.apply(block, threads=1), m @ block, atol=1e-13)
    value = h.expectation(psi)
    assert isinstance(value, float) and value == pytest.approx((psi.conj() @ m @ psi).real, abs=1e-13)
    op = h.as_linear_operator()
    ground = scipy.sparse.linalg.eigsh(op, k=1, which="SA")[0][0]
    assert ground == pytest.approx(np.linalg.eigvalsh(m)[0], abs=1e-9)
    got = scipy.sparse.linalg.expm_multiply(-1j * 0.8 * op, psi, traceA=-0.8j * np.trace(m))
    np.testing.assert_allclose(got, scipy.linalg.expm(-0.8j * m) @ psi, atol=1e-10)
    assert (h.to_sparse().toarray() == m).all()
    # A non-Hermitian sum: the adjoint is its own, and the expectation complex.
    g = mb.PauliSum(random_terms(rng, 6, 5, hermitian=False))
    op, mg = g.as_linear_operator(threads=2), dense(g.terms)
    np.testing.assert_allclose(op.rmatvec(psi), mg.conj().T @ psi, atol=1e-13)
    np.testing.assert_allclose(op.H @ block, mg.conj().T @ block, atol=1e-13)
    assert isinstance(g.expectation(psi), complex)


def test_to_sparse_drops_cancelled_entries():
    h = mb.PauliSum([(1.0, "XX"), (1.0, "YY"), (0.5, "ZI"), (-0.5, "ZI")])
    m = dense([(1.0, "XX"), (1.0, "YY")])
    s = h.to_sparse()
    assert s.nnz == np.count_nonzero(m) == 2 and (s.toarray() == m).all()
    assert mb.PauliSum([], num_qubits=3).to_sparse().nnz == 0
    # Built in place: the peak stays near the matrix it returns, half of whose entries
    # (XX + YY) cancel here.
    chain = mb.PauliSum(heisenberg_terms(14))
    tracemalloc.start()
    try:
        s = chain.to_sparse()
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert s.has_sorted_indices and np.allclose(s @ np.ones(2**14), chain @ np.ones(2**14))
    assert peak <= 2.5 * (s.data.nbytes + s.indices.nbytes + s.indptr.nbytes), peak
    with pytest.raises(ValueError, match="limit of 2\\*\\*27"):
        mb.PauliSum([(1.0, "X" * 26), (1.0, "XZ" * 13), (1.0, "Z" * 26)]).to_sparse()


class OpenFermionLike:
    def __init__(self, terms):
        self.terms = terms


class QiskitLike:
    def __init__(self, pairs):
        self.pairs = pairs

    def to_list(self):
        return self.pairs


def test_bit_order_and_conversions():
    # Qubit i is bit i of the index in both peers: OpenFermion's qubit 0 and Qiskit's
    # rightmost label character are the last character of ours.
    assert (mb.PauliSum([(1.0, "XI")]) @ mb.basis_state("00") == mb.basis_state("10")).all()
    assert (mb.basis_state("0101") == mb.basis_state(5, num_qubits=4)).all() and mb.basis_state("0101")[5] == 1
    fermion = OpenFermionLike({((0, "X"), (2, "Z")): 0.5, ((1, "Y"),): -1j, (): 0.25})
    expected = mb.PauliSum([(0.5, "ZIX"), (-1j, "IYI"), (0.25, "III")])
    assert mb.PauliSum.from_openfermion(fermion).terms == expected.terms
    assert mb.PauliSum.from_openfermion(fermion, n_qubits=4).terms[0] == (0.5, "IZIX")
    assert mb.PauliSum.from_qiskit(QiskitLike([("ZIX", 0.5), ("IYI", -1j), ("III", 0.25)])) == expected
    assert mb.PauliSum.from_openfermion(OpenFermionLike({(): 2.0})).num_qubits == 1
    assert len(mb.PauliSum.from_openfermion(OpenFermionLike({}), n_qubits=2)) == 0
    assert mb.PauliSum.from_dict({"ZIX": 0.5, "IYI": -1j, "III": 0.25}) == expected
    # And back out, in the peers' shapes, without either installed.
    assert expected.to_openfermion_terms() == fermion.terms
    assert mb.PauliSum.from_openfermion(OpenFermionLike(expected.to_openfermion_terms())) == expected
    assert mb.PauliSum.from_qiskit(QiskitLike(expected.to_qiskit_list())) == expected


def test_products_adjoints_and_the_types_others_take(rng):
    a, b = mb.PauliSum(random_terms(rng, 3, 5, hermitian=False)), mb.PauliSum(random_terms(rng, 3, 4))
    for product in (a * b, a @ b):
        np.testing.assert_allclose(dense(product.terms), dense(a.terms) @ dense(b.terms), atol=1e-13)
    np.testing.assert_allclose(dense(a.adjoint().terms), dense(a.terms).conj().T)
    commutator = mb.PauliSum([(1.0, "X")]) * mb.PauliSum([(1.0, "Y")]) - mb.PauliSum([(1.0, "Y")]) * mb.PauliSum(
        [(1.0, "X")])
    assert commutator == mb.PauliSum([(2j, "Z")])
    assert isinstance(a.to_sparse(matrix=True), scipy.sparse.csr_matrix)
    np.testing.assert_allclose(a.to_sparse(matrix=True).toarray(), a.to_sparse().toarray())
    for f in (mb.PauliSum.as_linear_operator, mb.PauliSum.to_sparse, mb.evolve, mb.basis_state):
        typing.get_type_hints(f)
    assert mb.__version__.count(".") == 2


def test_callbacks_states_and_observables_from_one_call(rng):
    terms = random_terms(rng, 5, 8)
    psi = random_state(rng, 5)
    h, z = mb.PauliSum(terms), mb.PauliSum([(1.0, "ZIIII")])
    expected = expm_states(terms, psi, GRID)
    seen = []

    def record(t, state):
        with pytest.raises(ValueError):
            state[0] = 0  # a read-only view
        seen.append((t, state.copy()))

    assert mb.evolve(h, psi, GRID, rtol=1e-10, callback=record) is None
    assert [t for t, _ in seen] == GRID
    np.testing.assert_allclose([v for _, v in seen], expected, atol=1e-9)
    states, values = mb.evolve(h, psi, GRID, rtol=1e-10, observables=z, return_states=True)
    np.testing.assert_allclose(states, expected, atol=1e-9)
    np.testing.assert_allclose(values, [np.vdot(v, dense(z.terms) @ v).real for v in expected], atol=1e-9)
    assert mb.evolve(h, psi, GRID, rtol=1e-10, callback=record, return_states=True).shape == (len(GRID), 32)
    state, value = mb.evolve(h, psi, 0.7, observables=[z], return_states=True)
    assert state.shape == (32,) and value.shape == (1,)

    def stop(t, state):  # as Ctrl-C would, after three times
        if len(seen) == 3:
            raise KeyboardInterrupt
        seen.append(t)

    seen.clear()
    with pytest.raises(mb.EvolutionInterrupted) as info:
        mb.evolve(h, psi, GRID, rtol=1e-10, observables=z, callback=stop)
    stopped = info.value
    assert isinstance(stopped, KeyboardInterrupt) and stopped.completed == 3 and stopped.states is None
    np.testing.assert_allclose(stopped.values[:3], values[:3], atol=1e-9)
    assert np.isnan(stopped.values[3:]).all() and list(stopped.times) == GRID


def test_auto_drops_imaginary_parts_too_small_to_matter(rng):
    terms = random_terms(rng, 5, 8)
    psi = random_state(rng, 5)
    converted = [(c + 1e-17j, s) for c, s in terms]  # as conversions from other packages leave them
    state, info = mb.evolve_with_info(mb.PauliSum(converted), psi, 3.0)
    assert info["method"] == "chebyshev"
    np.testing.assert_allclose(state, expm_states(converted, psi, [3.0])[0], atol=1e-8)
    assert mb.evolve_with_info(mb.PauliSum([(c + 1e-6j, s) for c, s in terms]), psi, 3.0)[1]["method"] == "taylor"
    # The walk's whole path counts: 1e-11 over a path of 2e3 is beyond rtol/4.
    small = mb.PauliSum([(c + 1e-11j, s) for c, s in terms])
    assert mb.evolve_with_info(small, psi, 1.0)[1]["method"] == "chebyshev"
    assert mb.evolve_with_info(small, psi, 1000.0)[1]["method"] == "taylor"
    # A large imaginary part over a long time goes to Taylor, without overflowing the bound.
    assert mb.evolve_with_info(mb.PauliSum([(1.0, "X"), (1j, "Z")]), [1, 0], 800.0)[1]["method"] == "taylor"


def test_arithmetic_simplify_and_equality():
    a = mb.PauliSum([(1.0, "XI"), (2.0, "II"), (1 + 1j, "ZZ")])
    b = mb.PauliSum([(-1j, "ZZ"), (0.5, "XI")])
    total = (a + b).simplify()
    assert total.terms == [(1.5, "XI"), (1.0, "ZZ"), (2.0, "II")] and total.is_hermitian
    assert not a.is_hermitian and (a - a).simplify().terms == [] and a - a == mb.PauliSum([], num_qubits=2)
    assert (2 * a).terms == (a * 2.0).terms == [(2.0, "XI"), (4.0, "II"), (2 + 2j, "ZZ")]
    assert -a == a * -1 == a / -1 and a + 1 - 1 == a and sum([a, b]) == a + b
    assert hash(a + b) == hash(total) and {a + b, total} == {total}
    # Equal strings summed in another order are the same operator (0.1 + 0.2 + 0.3 rounds
    # differently from 0.3 + 0.2 + 0.1).
    parts = [(0.1, "XZ"), (0.2, "XZ"), (0.3, "XZ"), (1e-17j, "XZ")]
    assert mb.PauliSum(parts) == mb.PauliSum(parts[::-1]) and hash(mb.PauliSum(parts)) == hash(mb.PauliSum(parts[::-1]))
    a @ np.ones(4)  # compiles a, which must not stop it from pickling
    assert pickle.loads(pickle.dumps(a)).terms == a.terms
    assert "PauliSum([(1.0, 'XI'), (2.0, 'II'), ((1+1j), 'ZZ')])" == repr(a)
    a.terms.clear()
    assert len(a) == 3


def test_state_is_neither_modified_nor_copied(rng, monkeypatch):
    h = mb.PauliSum(random_terms(rng, 4, 5))
    psi = random_state(rng, 4)
    psi.flags.writeable = False
    before = psi.copy()
    seen = []
    real_solve, real_grid = mb._core.solve, mb._core.grid
    monkeypatch.setattr(mb._core, "solve", lambda m, ham, state, *rest: seen.append(state) or real_solve(
        m, ham, state, *rest))
    monkeypatch.setattr(mb._core, "grid", lambda ham, state, *rest: seen.append(state) or real_grid(ham, state, *rest))
    for method in ("taylor", "krylov"):  # evolved step by step, and in windows
        seen.clear()
        mb.evolve(h, psi, [1.0, 2.0], observables=h, method=method)
        assert seen[0] is psi and (psi == before).all()


def test_default_threads_leave_busy_cpus_alone(monkeypatch):
    from morbizet import _arguments

    cpus = _arguments.available_cpus()
    assert 1 <= _arguments.default_threads() <= cpus
    monkeypatch.setattr(_arguments, "_busy_elsewhere", lambda: 0)
    assert _arguments.threads(None) == cpus
    monkeypatch.setattr(_arguments, "_busy_elsewhere", lambda: 1000)
    assert _arguments.threads(None) == 1 and _arguments.threads(2) == 2


def test_plain_progress_bar(rng, monkeypatch, capsys):
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # the fallback bar, whether tqdm is installed or not
    h = mb.PauliSum(random_terms(rng, 3, 3))
    mb.evolve(h, mb.basis_state("000"), [0.1, 0.2, 0.2, 0.3], progress=True)
    err = capsys.readouterr().err
    assert err.startswith("\r[") and err.count("\r") == 5 and err.endswith("] 4/4\n") and "#" * 30 in err
    # One long time: the bar counts the applications of H done out of those planned,
    # reported while the solve runs, not 0/1 until it ends.
    reports = []
    real = mb._core.solve
    monkeypatch.setattr(mb._core, "solve",
                        lambda *a, **kw: real(*a[:-1], lambda *r: (reports.append(r), a[-1](*r)), **kw))
    mb.evolve(mb.PauliSum(heisenberg_terms(14)), mb.basis_state("01" * 7), 20.0, method="taylor", progress=True)
    err = capsys.readouterr().err
    applications, degree, substeps = reports[-1]
    assert len(reports) >= 2 and degree * substeps >= applications > 0
    assert f"] {degree * substeps}/{degree * substeps}\n" in err and f"/{degree * substeps}" in err.split("\r")[2]


@pytest.mark.parametrize("call, error, fragment", [
    (lambda: mb.PauliSum([(1.0, "XA")]), ValueError, "allowed are 'I', 'X', 'Y' and 'Z'"),
    (lambda: mb.PauliSum([(1.0, "XX"), (1.0, "X")]), ValueError, "one character per qubit"),
    (lambda: mb.PauliSum([("XX", 1.0)]), TypeError, "coefficient first"),
    (lambda: mb.PauliSum([(float("nan"), "X")]), ValueError, "must be finite"),
    (lambda: mb.PauliSum({"X": 1.0}), TypeError, "from_dict"),
    (lambda: mb.PauliSum([]), ValueError, "num_qubits for the zero operator"),
    (lambda: mb.PauliSum([(1.0, "X" * 63)]), ValueError, "1 to 62"),
    (lambda: mb.PauliSum([(1.0, "X")]) + mb.PauliSum([(1.0, "XX")]), ValueError, "1 and 2 qubits"),
    (lambda: mb.PauliSum([(1.0, "X")]) * np.ones(2), TypeError, "PauliSum"),
    (lambda: mb.PauliSum.from_openfermion(OpenFermionLike({((0, "X"), (0, "Z")): 1.0})), ValueError, "twice"),
    (lambda: mb.PauliSum.from_openfermion(OpenFermionLike({((0, "x"),): 1.0})), ValueError, "(qubit, 'X'|'Y'|'Z')"),
    (lambda: mb.PauliSum.from_openfermion(OpenFermionLike({((3, "X"),): 1.0}), n_qubits=2), ValueError, "qubit 3"),
    (lambda: mb.PauliSum.from_openfermion(OpenFermionLike({})), ValueError, "give n_qubits"),
    (lambda: mb.PauliSum.from_openfermion(OpenFermionLike({((10**12, "Z"),): 1.0})), ValueError, "at most 62"),
    (lambda: mb.PauliSum.from_openfermion(object()), TypeError, ".terms"),
    (lambda: mb.PauliSum.from_qiskit(QiskitLike([("XQ", 1.0)])), ValueError, "allowed"),
    (lambda: mb.basis_state("012"), ValueError, "'0' and '1'"),
    (lambda: mb.basis_state(4, num_qubits=2), ValueError, "not a basis state"),
    (lambda: mb.PauliSum([(1.0, "XX")]) @ np.ones(8), ValueError, "8 amplitudes, but the operator acts on 2 qubits"),
    (lambda: mb.PauliSum([(1.0, "XX")]).expectation(np.ones((2, 2))), ValueError, "one-dimensional"),
    (lambda: mb.PauliSum([(1.0, "XX")]).apply(np.ones(4), threads=0), ValueError, "positive int"),
    (lambda: mb.PauliSum([(1.0, "XX")]).apply(np.ones(4), threads=True), TypeError, "positive int"),
    (lambda: mb.PauliSum.to_sparse(mb.PauliSum([(1.0, "X" * 28)])), ValueError, "limit"),
    (lambda: mb.evolve([(1.0, "X")], [1, 0], 1.0), TypeError, "H must be a PauliSum"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, method="expm"), ValueError, "'auto', 'chebyshev'"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0, 0], 1.0), ValueError, "3 amplitudes"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [np.nan, 0], 1.0), ValueError, "not finite"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, rtol=0.0), ValueError, "rtol must be a positive"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, rtol=1.0), ValueError, "rtol must be below 1"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), "10", 1.0), TypeError, "got a str"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0], callback=1), TypeError, "callback must be"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0, np.inf]), ValueError, "finite"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [[1.0]]), ValueError, "one-dimensional"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1j), TypeError, "real number"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, observables=[mb.PauliSum([(1.0, "XX")])]),
     ValueError, "observables[0] acts on 2 qubits"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, observables="Z"), TypeError, "observables"),
    (lambda: mb.evolve_with_info(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0]), TypeError, "single time"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0, 2.0], grid_memory=-1), ValueError, "grid_memory"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0, 2.0], grid_memory="1G"), TypeError, "bytes"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], [1.0, 2.0], grid_memory=True), TypeError, "bytes"),
    # Arithmetic that overflows is refused where it happens, as the constructor refuses inf.
    (lambda: mb.PauliSum([(1.0, "X")]) * 1e308 * 10, OverflowError, "multiplying by (10+0j) overflows"),
    (lambda: mb.PauliSum([(1.0, "X")]) / 1e-310, ValueError, "overflows"),
    (lambda: mb.PauliSum([(1e308, "X"), (1e308, "X")]).simplify(), ValueError, "simplify() overflows"),
    (lambda: (mb.PauliSum([(1e308, "X")]) + mb.PauliSum([(1e308, "X")])) @ [1, 0], ValueError, "overflows"),
    (lambda: (mb.PauliSum([(1e308, "I")]) + 1e308) == mb.PauliSum([(1.0, "X")]), ValueError, "overflows"),
    (lambda: mb.PauliSum([(1.0, "X")]) / 0, ZeroDivisionError, "by zero"),
    # Sectors: the operator must keep the sector's states inside it (checked on its words).
    (lambda: mb.evolve(mb.PauliSum([(1.0, "XIII")]), np.ones(6), 1.0, sector=mb.Sector(4, weight=2)), ValueError,
     "'XIII', with the other words that flip the same qubits, does not conserve the number of 1 bits"),
    (lambda: mb.PauliSum([(1.0, "XYII")]).apply(np.ones(6), sector=mb.Sector(4, weight=2)), ValueError,
     "does not conserve"),
    (lambda: mb.PauliSum([(1.0, "XXII"), (0.5, "IZII")]).to_sparse(sector=mb.Sector(4, spin_flip=1)), ValueError,
     "'IZII' does not commute with the global spin flip"),
    (lambda: mb.PauliSum([(1.0, "XY"), (1.0, "YX")]).as_linear_operator(sector=mb.Sector(2, weight=1)),
     ValueError, "does not conserve"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "ZZ")]), np.ones(4), 1.0, sector=mb.Sector(2, weight=1)), ValueError,
     "4 amplitudes, but Sector(2, weight=1) holds 2 states"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "ZZZ")]), np.ones(2), 1.0, sector=mb.Sector(2, weight=1)), ValueError,
     "the sector has 2 qubits, but the operator acts on 3"),
    (lambda: mb.evolve(mb.PauliSum([(1.0, "ZZ")]), np.ones(2), 1.0, sector=1), TypeError, "morbizet.Sector"),
    (lambda: mb.PauliSum([(1.0, "ZZ")]).apply(np.ones(2), comm=object(), sector=mb.Sector(2, weight=1)),
     ValueError, "not supported with comm"),
    (lambda: mb.Sector(4, weight=5), ValueError, "between 0 and num_qubits = 4"),
    (lambda: mb.Sector(4, weight=1, spin_flip=1), ValueError, "weight must be num_qubits / 2"),
    (lambda: mb.Sector(4, spin_flip=2), ValueError, "+1 or -1"),
    (lambda: mb.Sector(4), ValueError, "needs a weight, a spin_flip or both"),
    (lambda: mb.Sector(63, weight=1), ValueError, "between 1 and 62"),
    (lambda: mb.Sector(4, weight=2).basis_state("0111"), ValueError, "3 bits set, outside the sector of weight 2"),
    (lambda: mb.Sector(4, weight=2).index([0.5]), TypeError, "integer"),
    (lambda: mb.Sector(4, weight=2).embed(np.ones(5)), ValueError, "holds 6 states"),
    # Not a communicator: refused before any collective call would use it.
    (lambda: mb.evolve(mb.PauliSum([(1.0, "X")]), [1, 0], 1.0, comm=object()), TypeError, "mpi4py communicator"),
    (lambda: mb.PauliSum([(1.0, "X")]).expectation([1, 0], comm=1), TypeError, "mpi4py communicator"),
])
def test_bad_input_is_refused_with_a_clear_error(call, error, fragment):
    with pytest.raises(error) as info:
        call()
    assert fragment in str(info.value)


SANITIZED = bool(os.environ.get("MORBIZET_SANITIZED"))


CHAIN = "H = mb.PauliSum(heisenberg_terms(20)); psi = mb.basis_state('01' * 10)"
# 100,000 words on 18 qubits: one application takes seconds, so only checks inside it
# (and inside the pass over the spectral bounds) stop it in time.
MANY_WORDS = ("import numpy as np; H = mb.PauliSum([(1.0, ''.join(w)) for w in "
              "np.random.default_rng(5).choice(list('IXYZ'), size=(100000, 18))]); psi = mb.basis_state('0' * 18)")


@pytest.mark.parametrize("setup, statement", [
    (CHAIN, "mb.evolve(H, psi, 1e4, method='taylor')"),
    (CHAIN, "mb.evolve(H, psi, 1e4, method='chebyshev')"),
    (CHAIN, "mb.evolve(H, psi, [0.5, 0.5, 1e4], method='krylov', observables=H)"),
    (CHAIN, "mb.evolve(H, psi, [0.1 * k for k in range(100001)], observables=[H, H])"),
    (CHAIN, "while True: H @ psi"),
    (MANY_WORDS, "mb.evolve(H, psi, 1.0, method='taylor')"),
    (MANY_WORDS, "mb.evolve(H, psi, 1.0, method='chebyshev')"),
    (MANY_WORDS, "H.expectation(psi)"),
    (MANY_WORDS, "H @ psi"),
], ids=lambda v: {CHAIN: "chain", MANY_WORDS: "many_words"}.get(v, v))
def test_ctrl_c_stops_a_long_run(setup, statement):
    # A child of a background job inherits SIGINT ignored, and Python then installs no
    # handler of its own; put back the one an interactive session has.
    code = ("import signal; signal.signal(signal.SIGINT, signal.default_int_handler)\n"
            f"import sys; sys.path.insert(0, {HERE!r}); import morbizet as mb; from conftest import heisenberg_terms\n"
            f"{setup}; H._hamiltonian()\n"
            "print('started', flush=True)\n"
            f"try:\n    {statement}\nexcept KeyboardInterrupt:\n    print('interrupted', flush=True)\n")
    proc = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        assert proc.stdout.readline() == "started\n", proc.stderr.read()
        time.sleep(0.5)  # well inside the solve, which runs for minutes
        proc.send_signal(signal.SIGINT)
        sent = time.monotonic()
        out, err = proc.communicate(timeout=60)
        elapsed = time.monotonic() - sent
    finally:
        proc.kill()
        proc.wait()
    assert out == "interrupted\n" and proc.returncode == 0, err
    assert elapsed < (30 if SANITIZED else 3), elapsed
