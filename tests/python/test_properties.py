"""Hypothesis properties of both solvers: wrong Pauli actions or bit order, mishandled identity bytes or identity terms, results that depend on qubit order, dimension or kernel width, lost unitarity, broken time composition, inversion or linearity, and tolerances not honoured."""

import os

import numpy as np
import pytest
import scipy.linalg
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import _morbizet as mz
from conftest import SOLVERS, dense, heisenberg_terms

SANITIZED = bool(os.environ.get("MORBIZET_SANITIZED"))

settings.register_profile(
    "morbizet-properties",
    max_examples=60 if SANITIZED else 200,
    deadline=None,
    derandomize=True,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
PROFILE = settings.get_profile("morbizet-properties")

# Bytes other than upper-case X, Y, Z are the identity on their qubit.
IDENTITY_ALIASES = "IIIIix yz-_.0\x00\x7f"
RTOLS = st.sampled_from([1e-2, 1e-4, 1e-6, 1e-8, 1e-10, 1e-12]) | st.floats(-13.0, -2.0).map(lambda e: 10.0**e)
THETAS = st.floats(-3.0, 3.0) | st.floats(-12.0, 12.0)
SEEDS = st.integers(0, 2**32 - 1)
SCALARS = st.builds(
    lambda mag, phase: mag * np.exp(1j * phase), st.floats(1e-3, 1e3), st.floats(0.0, 2 * np.pi)
)


def _real_coeff():
    nonzero = st.builds(lambda m, s: m * s, st.floats(0.05, 2.0), st.sampled_from([-1.0, 1.0]))
    return st.just(0.0) | nonzero


def _complex_coeff():
    return st.builds(complex, _real_coeff(), _real_coeff())


@st.composite
def pauli_sums(draw, max_qubits=8, max_words=8, hermitian=True, complex_identity=True):
    """(canonical terms for the dense reference, terms as handed to the module, n)."""
    n = draw(st.integers(1, max_qubits))
    strings = st.text(alphabet="IXYZ", min_size=n, max_size=n)
    coeff = _real_coeff() if hermitian else _complex_coeff()
    terms = draw(st.lists(st.tuples(coeff, strings), min_size=1, max_size=max_words))
    if draw(st.booleans()):  # a word and its exact negation cancel
        c, s = terms[draw(st.integers(0, len(terms) - 1))]
        terms.append((-c, s))
    ident = _complex_coeff() if complex_identity else _real_coeff()
    terms += [(c, "I" * n) for c in draw(st.lists(ident, max_size=2))]
    terms = draw(st.permutations(terms))
    aliased = []
    for c, s in terms:
        alias = draw(st.text(alphabet=IDENTITY_ALIASES, min_size=n, max_size=n))
        aliased.append((c, "".join(a if p == "I" else p for p, a in zip(s, alias))))
    return terms, aliased, n


def build(aliased):
    return mz._Hamiltonian([mz._PauliWord(c, s) for c, s in aliased])


def state(seed, n):
    rng = np.random.default_rng(seed)
    psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
    return psi / np.linalg.norm(psi)


def coeff_sum(terms):
    return sum(abs(c) for c, _ in terms)


def tolerance(rtol, theta, terms):
    """Error allowed for one solve of a unit vector: the requested accuracy plus rounding, both
    growing with |theta| * sum |coeff|, which bounds |theta| * ||H||."""
    b = abs(theta) * coeff_sum(terms)
    return (4.0 * rtol + 1e-13) * (1.0 + b)


def identity_part(terms):
    return sum(c for c, s in terms if set(s) <= {"I"})


def hermitian_solvers():
    return pytest.mark.parametrize("solver", SOLVERS, ids=lambda f: f.__name__)


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(), theta=THETAS, rtol=RTOLS, seed=SEEDS)
def test_matches_dense_exponential(solver, sums, theta, rtol, seed):
    terms, aliased, n = sums
    psi = state(seed, n)
    expected = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
    got = solver(build(aliased), psi, theta, rtol, 1)
    assert got.shape == psi.shape and got.dtype == np.complex128
    scale = max(1.0, np.linalg.norm(expected))  # a complex identity part changes the norm
    assert np.linalg.norm(got - expected) <= tolerance(rtol, theta, terms) * scale


@PROFILE
@given(sums=pauli_sums(max_qubits=7, max_words=6, hermitian=False), theta=st.floats(-1.5, 1.5),
       rtol=RTOLS, seed=SEEDS)
def test_taylor_matches_dense_for_non_hermitian_sums(sums, theta, rtol, seed):
    terms, aliased, n = sums
    psi = state(seed, n)
    expected = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
    got = mz._evolve_higham(build(aliased), psi, theta, rtol, 1)
    # exp(-i theta H) may grow or shrink a non-normal vector by up to e^(|theta| sum |c|).
    growth = np.exp(abs(theta) * coeff_sum(terms))
    assert np.linalg.norm(got - expected) <= tolerance(rtol, theta, terms) * growth


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(), theta=THETAS, rtol=RTOLS, seed=SEEDS)
def test_norm_follows_the_identity_part(solver, sums, theta, rtol, seed):
    # exp(-i theta (c I + H')) with Hermitian H' scales every norm by exactly e^(theta Im c).
    terms, aliased, n = sums
    psi = state(seed, n) * 3.0
    got = solver(build(aliased), psi, theta, rtol, 1)
    factor = np.exp(theta * complex(identity_part(terms)).imag)
    assert abs(np.linalg.norm(got) - 3.0 * factor) <= 3.0 * factor * tolerance(rtol, theta, terms)


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(complex_identity=False), theta=THETAS, rtol=RTOLS, seed=SEEDS)
def test_backward_evolution_undoes_forward(solver, sums, theta, rtol, seed):
    terms, aliased, n = sums
    psi = state(seed, n)
    ham = build(aliased)
    back = solver(ham, solver(ham, psi, theta, rtol, 1), -theta, rtol, 1)
    assert np.linalg.norm(back - psi) <= 2 * tolerance(rtol, theta, terms)


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(complex_identity=False), t1=THETAS, t2=THETAS, rtol=RTOLS, seed=SEEDS)
def test_evolution_composes_in_time(solver, sums, t1, t2, rtol, seed):
    terms, aliased, n = sums
    psi = state(seed, n)
    ham = build(aliased)
    at_once = solver(ham, psi, t1 + t2, rtol, 1)
    in_steps = solver(ham, solver(ham, psi, t1, rtol, 1), t2, rtol, 1)
    tol = tolerance(rtol, t1 + t2, terms) + tolerance(rtol, t1, terms) + tolerance(rtol, t2, terms)
    assert np.linalg.norm(at_once - in_steps) <= 2 * tol


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(complex_identity=False), theta=THETAS, rtol=RTOLS, seed1=SEEDS, seed2=SEEDS,
       a=SCALARS, b=SCALARS)
def test_linear_in_the_state(solver, sums, theta, rtol, seed1, seed2, a, b):
    terms, aliased, n = sums
    psi1, psi2 = state(seed1, n), state(seed2, n)
    ham = build(aliased)
    combined = solver(ham, a * psi1 + b * psi2, theta, rtol, 1)
    separate = a * solver(ham, psi1, theta, rtol, 1) + b * solver(ham, psi2, theta, rtol, 1)
    assert np.linalg.norm(combined - separate) <= 3 * tolerance(rtol, theta, terms) * (abs(a) + abs(b))


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(max_qubits=6, complex_identity=False), theta=THETAS, rtol=RTOLS, seed=SEEDS,
       exponent=st.integers(-8, 8))
def test_rescaling_time_and_energy_together(solver, sums, theta, rtol, seed, exponent):
    # exp(-i (theta/s) (s H)) is the same operator for every s > 0.
    terms, aliased, n = sums
    s = 10.0**exponent
    psi = state(seed, n)
    plain = solver(build(aliased), psi, theta, rtol, 1)
    scaled = solver(build([(c * s, w) for c, w in aliased]), psi, theta / s, rtol, 1)
    assert np.linalg.norm(plain - scaled) <= 2 * tolerance(rtol, theta, terms)


@hermitian_solvers()
@PROFILE
@given(sums=pauli_sums(max_qubits=6), theta=THETAS, rtol=RTOLS, seed=SEEDS)
def test_identity_bytes_and_word_order_do_not_matter(solver, sums, theta, rtol, seed):
    # Any non-XYZ byte is the identity, so spelling it differently gives the same masks and
    # exactly the same result; reordering the words only reorders rounding.
    terms, aliased, n = sums
    psi = state(seed, n)
    got = solver(build(aliased), psi, theta, rtol, 1)
    assert got.tobytes() == solver(build(terms), psi, theta, rtol, 1).tobytes()
    reordered = solver(build(terms[::-1]), psi, theta, rtol, 1)
    assert np.linalg.norm(got - reordered) <= 2 * tolerance(rtol, theta, terms) * max(1.0, np.linalg.norm(got))


@st.composite
def relabelled(draw, max_qubits=13):
    """A Pauli sum, a permutation of its qubits, and identity qubits to insert."""
    n = draw(st.integers(1, max_qubits))
    strings = st.text(alphabet="IXYZ", min_size=n, max_size=n)
    terms = draw(st.lists(st.tuples(_real_coeff(), strings), min_size=1, max_size=6))
    terms.append((draw(_real_coeff()), "I" * n))
    perm = draw(st.permutations(range(n)))
    padding = draw(st.lists(st.integers(0, n), max_size=max(0, min(4, max_qubits - n))))
    return terms, list(perm), sorted(padding)


def padded_state(psi, n, padding):
    """psi on n qubits tensored with |0> on identity qubits inserted before the given positions."""
    t = psi.reshape((2,) * n) if n else psi.reshape(())
    for k, pos in enumerate(padding):
        t = np.stack([t, np.zeros_like(t)], axis=pos + k)
    return t.reshape(-1)


def padded_string(s, padding):
    out = list(s)
    for k, pos in enumerate(padding):
        out.insert(pos + k, "I")
    return "".join(out)


@hermitian_solvers()
@PROFILE
@given(case=relabelled(), theta=THETAS, rtol=RTOLS, seed=SEEDS)
def test_relabelling_and_padding_qubits(solver, case, theta, rtol, seed):
    # Renaming qubits only renames the indices of every product and sum the Taylor solver
    # forms, so its result is exactly the renamed result; so is the result on a state with
    # extra qubits in |0> that no word acts on, whichever kernel width a dimension gets. The
    # Krylov solver sums inner products in index order, so renaming only keeps it close,
    # and its substeps depend on the dimension while that is at most 64.
    terms, perm, padding = case
    n = len(terms[0][1])
    psi = state(seed, n)
    plain = solver(build(terms), psi, theta, rtol, 1)
    renamed = solver(build([(c, "".join(w[p] for p in perm)) for c, w in terms]),
                     np.ascontiguousarray(psi.reshape((2,) * n).transpose(perm)).reshape(-1), theta, rtol, 2)
    expected = plain.reshape((2,) * n).transpose(perm).reshape(-1)
    if solver is mz._evolve_higham:
        assert renamed.tobytes() == expected.tobytes()
    else:
        assert np.linalg.norm(renamed - expected) <= 2 * tolerance(rtol, theta, terms)
    if padding:
        wide = solver(build([(c, padded_string(w, padding)) for c, w in terms]), padded_state(psi, n, padding),
                      theta, rtol, 3)
        where = padded_state(np.arange(1, 2**n + 1), n, padding)  # where psi's amplitudes went
        assert not np.any(wide[where == 0])  # zeros stay zeros (of either sign)
        kept = wide[where > 0][np.argsort(where[where > 0])]
        if solver is mz._evolve_higham or 2**n > 64:
            assert kept.tobytes() == plain.tobytes()
        else:
            assert np.linalg.norm(kept - plain) <= 2 * tolerance(rtol, theta, terms)

# ---------------------------------------------------------------------------------------
# Faults found at the extremes of the properties above (the scale of H, the scale of
# psi), pinned to small triggers.

@hermitian_solvers()
@pytest.mark.parametrize("scale", [1e-15, 1e-20, 1e-40])
def test_regression_krylov_breakdown_threshold_is_absolute(solver, scale):
    # exp(-i (1/s) (s X)) |0> = cos 1 |0> - i sin 1 |1> for every s > 0. The Lanczos
    # recurrence compares the unscaled residual norm (here s) with a fixed 2.2e-14, takes
    # the first step for an invariant subspace, and returns |0> untouched.
    ham = mz._Hamiltonian([mz._PauliWord(scale, "X")])
    got = solver(ham, np.array([1, 0], complex), 1.0 / scale, 1e-10, 1)
    np.testing.assert_allclose(got, [np.cos(1.0), -1j * np.sin(1.0)], atol=1e-9)


@hermitian_solvers()
@pytest.mark.parametrize("amplitude", [1e-170, 1e-200, 1e-300, 1e160, 1e200, 1e300])
def test_regression_taylor_stops_after_one_term_for_extreme_amplitudes(solver, amplitude):
    # exp(-i theta H) (a psi) = a exp(-i theta H) psi. The Taylor early exit compares
    # maxima of squared moduli, which are 0 when every amplitude is below about 1e-162 and
    # inf when one is above about 1e154, so "last terms <= 2^-53 * partial sum" holds after
    # the first term and every substep is cut to one Taylor term.
    terms = [(1.0, "XIZ"), (0.7, "ZZI"), (-0.4, "IYY"), (0.3, "III")]
    psi = state(7, 3)
    expected = scipy.linalg.expm(-1.3j * dense(terms)) @ psi
    got = solver(build(terms), amplitude * psi, 1.3, 1e-10, 1)
    assert np.all(np.isfinite(got))
    assert np.linalg.norm(got / amplitude - expected) <= 1e-8


@hermitian_solvers()
@pytest.mark.parametrize("n, identity, scale", [
    (6, -40j, 1.0), (6, -60j, 1.0), (6, -80j, 1.0), (6, -100j, 1.0), (8, -0.5 - 60j, 1.0),
    (6, 60j, 1.0), (8, 100j, 1.0), (7, 0.0, 1e-161), (7, 0.0, 1e-157)])
def test_regression_state_leaves_the_double_range_during_the_call(solver, n, identity, scale):
    # A complex identity part c scales the state by exp(theta Im c) over the call (here
    # down to e^-700 or up to e^700) while H' keeps turning it. The Taylor solver checked
    # the range only on entry: once the squared moduli underflowed, its early exit fired
    # after the first term of every later substep (c = -60i: relative error 1e-3, -100i:
    # 130). The Krylov norm lost its accuracy for states whose squares are subnormal
    # (amplitudes near 1e-161: 3e-5 at rtol 1e-10) and normalised its first vector wrongly.
    # The reference is scaled by hand: exp(-i theta c) exp(-i theta H') (scale psi).
    theta = 7.0
    terms = heisenberg_terms(n)
    psi = state(11, n)
    turned = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
    got = solver(build(terms + [(identity, "I" * n)]), scale * psi, theta, 1e-10, 1)
    factor = np.exp(-1j * theta * identity) * scale
    assert np.all(np.isfinite(got)) and np.any(got != 0)
    assert np.linalg.norm(got / factor - turned) <= 1e-8
