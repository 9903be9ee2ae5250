// The Chebyshev solvers of real and imaginary time: their Bessel coefficients and
// degree, the grouped action they run on (reweighted too), the spectral bounds, and the
// solvers against dense exponentials.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "dense_reference.hpp"
#include "evolution/chebyshev_series.hpp"
#include "evolution/spectral_interval.hpp"
#include "kernels/parallel.hpp"
#include "kernels/vector_ops.hpp"
#include "morbizet/counting_operator.hpp"
#include "morbizet/dense_matrix.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_imaginary.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/weighted_sum.hpp"

namespace morbizet {
namespace {

using testing::bitwise_equal;

Hamiltonian random_hamiltonian(std::size_t n, std::size_t terms, std::mt19937_64& rng, bool hermitian) {
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  for (std::size_t k = 0; k < terms; ++k)
    words.emplace_back(cdouble{g(rng), hermitian ? 0.0 : g(rng)}, testing::random_string(n, rng));
  words.emplace_back(cdouble{0.3, hermitian ? 0.0 : -0.2}, std::string(n, 'I'));
  return Hamiltonian(std::move(words));
}

TEST(BesselSequence, MatchesTabulatedValues) {
  // Abramowitz and Stegun, tables 9.1 and 9.2 (to the digits given there).
  const auto j1 = bessel_j_sequence(1.0, 5);
  EXPECT_NEAR(j1[0], 0.7651976865579666, 1e-15);
  EXPECT_NEAR(j1[1], 0.4400505857449335, 1e-15);
  EXPECT_NEAR(j1[5], 2.497577302112344e-4, 1e-18);
  const auto j10 = bessel_j_sequence(10.0, 30);
  EXPECT_NEAR(j10[0], -0.2459357644513483, 1e-14);
  EXPECT_NEAR(j10[5], -0.2340615281867936, 1e-14);
  EXPECT_NEAR(j10[30], 1.551096078257e-12, 1e-23);
  EXPECT_NEAR(bessel_j_sequence(100.0, 0)[0], 0.01998585030422312, 1e-14);
  // Small arguments through the power series: J_k(z) ~ (z/2)^k / k!.
  const auto tiny = bessel_j_sequence(1e-124, 3);
  EXPECT_EQ(tiny[0], 1.0);
  EXPECT_DOUBLE_EQ(tiny[1], 5e-125);
  EXPECT_EQ(tiny[3], 0.0);
  // J_0 + 2 (J_2 + J_4 + ...) = 1 holds far out too.
  const auto far = bessel_j_sequence(5000.0, 6000);
  double sum = far[0];
  for (std::size_t k = 2; k <= 6000; k += 2) sum += 2.0 * far[k];
  EXPECT_NEAR(sum, 1.0, 1e-12);
}

TEST(ChebyshevSeries, DegreeIsTheFirstWithASmallEnoughTail) {
  for (double a : {0.0, 1e-9, 0.5, 3.0, 47.0, 812.5}) {
    for (double rtol : {1e-3, 1e-8, 1e-12, 1e-310}) {
      const ChebyshevSeries s = chebyshev_series(a, rtol);
      const auto j = bessel_j_sequence(a, s.degree + 200);
      double tail = 0.0;
      for (std::size_t k = s.degree + 1; k < j.size(); ++k) tail += 2.0 * std::abs(j[k]);
      EXPECT_LE(tail, rtol) << a << " " << rtol;
      if (s.degree > 0) EXPECT_GT(tail + 2.0 * std::abs(j[s.degree]), rtol) << a << " " << rtol;
    }
  }
  EXPECT_THROW(chebyshev_series(1e12, 1e-8), std::invalid_argument);
}

TEST(GroupedPauliSum, AgreesWithTheWordOrderActionForEveryThreadCount) {
  std::mt19937_64 rng(3);
  for (std::size_t n : {1, 2, 3, 5, 11, 13}) {
    for (bool hermitian : {true, false}) {
      const Hamiltonian h = random_hamiltonian(n, 30, rng, hermitian);
      const GroupedPauliSum g(h);
      for (std::size_t k = 1; k < g.groups().size(); ++k) EXPECT_LT(g.groups()[k - 1].x, g.groups()[k].x);
      const auto psi = testing::random_state(h.dim(), rng);
      std::vector<cdouble> expected(h.dim()), got(h.dim(), cdouble{9.0, 9.0});
      h.apply_nonidentity(psi.data(), expected.data(), 1);
      g.apply_nonidentity(psi.data(), got.data(), 1);
      EXPECT_LT(testing::max_abs_diff(got.data(), expected.data(), h.dim()), 1e-12) << n;
      for (int threads : {0, 2, 3, 2147483647}) {
        std::vector<cdouble> other(h.dim());
        g.apply_nonidentity(psi.data(), other.data(), threads);
        EXPECT_TRUE(bitwise_equal(got.data(), other.data(), h.dim())) << n << " " << threads;
      }
    }
  }
}

// The Gershgorin bounds hold the spectrum (dense eigenvalues), and are exact where a
// row's disc touches it: the Heisenberg chain's ferromagnetic top, n - 1.
TEST(GroupedPauliSum, GershgorinBoundsHoldTheSpectrum) {
  // The reference eigenvalues first: one bond of the chain has -3 once and 1 three times.
  const Hamiltonian bond({{{1.0, 0.0}, "XX"}, {{1.0, 0.0}, "YY"}, {{1.0, 0.0}, "ZZ"}});
  const auto pair = testing::hermitian_eigenvalues(testing::sum_of_words(bond.get_pwords(), 4), 4);
  EXPECT_NEAR(pair.front(), -3.0, 1e-12);
  EXPECT_NEAR(pair[2], 1.0, 1e-12);
  EXPECT_NEAR(pair.back(), 1.0, 1e-12);
  std::mt19937_64 rng(12);
  for (std::size_t n : {2, 5, 7}) {
    const Hamiltonian h = random_hamiltonian(n, 12, rng, true);
    const auto [lo, hi] = GroupedPauliSum(h).spectral_bounds(2);
    std::vector<double> eig = testing::hermitian_eigenvalues(testing::sum_of_words(h.get_pwords(), h.dim()), h.dim());
    const double id = h.identity_coeff().real();
    EXPECT_LE(lo, eig.front() - id + 1e-12) << n;
    EXPECT_GE(hi, eig.back() - id - 1e-12) << n;
    EXPECT_LE(hi - lo, 2 * h.norm_bound() + 1e-12);
  }
  std::vector<PauliWord> chain;
  for (std::size_t k = 0; k + 1 < 12; ++k)
    for (char p : {'X', 'Y', 'Z'}) {
      std::string s(12, 'I');
      s[k] = s[k + 1] = p;
      chain.emplace_back(cdouble{1.0, 0.0}, s);
    }
  EXPECT_EQ(GroupedPauliSum(Hamiltonian(std::move(chain))).spectral_bounds(1).second, 11.0);
}

TEST(LanczosBounds, HoldTheSpectrumOfTheProjection) {
  // A tridiagonal T whose extreme Ritz values are known: the path graph, eigenvalues
  // 2 cos(pi k / (m + 1)); the bound must lie outside them, and approach them as the
  // component the probe is assumed to have grows.
  const std::size_t m = 30;
  std::vector<double> alpha(m, 0.0), beta(m - 1, 1.0);
  const double top = 2.0 * std::cos(M_PI / (m + 1));
  const RitzBounds loose = lanczos_bounds(alpha.data(), beta.data(), m, 1e-12);
  const RitzBounds tight = lanczos_bounds(alpha.data(), beta.data(), m, 0.5);
  EXPECT_NEAR(loose.ritz_max, top, 1e-12);
  EXPECT_NEAR(loose.ritz_min, -top, 1e-12);
  EXPECT_GT(loose.hi, tight.hi);
  EXPECT_GT(tight.hi, top);
  EXPECT_LT(loose.lo, tight.lo);
  EXPECT_LT(tight.lo, -top);
}

TEST(EvolveChebyshev, MatchesDenseExponentialAndThreadCounts) {
  std::mt19937_64 rng(17);
  for (std::size_t n : {1, 3, 6}) {
    const Hamiltonian h = random_hamiltonian(n, 10, rng, true);
    const std::size_t dim = h.dim();
    const testing::Dense dense = testing::sum_of_words(h.get_pwords(), dim);
    const auto psi = testing::random_state(dim, rng);
    const GroupedPauliSum g(h);
    for (double theta : {-40.0, 0.3, 9.0}) {
      DenseMatrix a(dim * dim);
      for (std::size_t e = 0; e < a.size(); ++e) a[e] = cdouble{0.0, -theta} * dense[e];
      const auto expected = testing::matvec(expm(std::move(a), dim), psi);
      double norm = 0.0;
      for (const cdouble& v : psi) norm += std::norm(v);
      const StateBuffer got = evolve_chebyshev(g, psi.data(), theta, 1e-10, 1);
      EXPECT_LT(testing::max_abs_diff(got.get(), expected.data(), dim), 1e-10 * std::sqrt(norm)) << n << " " << theta;
      const StateBuffer parallel = evolve_chebyshev(g, psi.data(), theta, 1e-10, 3);
      EXPECT_TRUE(bitwise_equal(got.get(), parallel.get(), dim));
    }
  }
}

TEST(EvolveChebyshev, CountsWhatItDoesAndUnwindsFromACheckpoint) {
  std::mt19937_64 rng(5);
  const Hamiltonian h = random_hamiltonian(8, 20, rng, true);
  const GroupedPauliSum g(h);
  const auto psi = testing::random_state(h.dim(), rng);
  SolveStats stats;
  const StateBuffer counted = evolve_chebyshev(CountingOperator(g, stats), psi.data(), 30.0, 1e-8, 2, &stats);
  const StateBuffer plain = evolve_chebyshev(g, psi.data(), 30.0, 1e-8, 2);
  EXPECT_TRUE(bitwise_equal(counted.get(), plain.get(), h.dim()));
  EXPECT_EQ(stats.applications, stats.degree + stats.estimation_steps);
  EXPECT_GT(stats.estimation_steps, 0u);
  EXPECT_LE(stats.interval_lo, stats.ritz_min);
  EXPECT_GE(stats.interval_hi, stats.ritz_max);
  EXPECT_LT(stats.interval_hi - stats.interval_lo, 2.0 * h.norm_bound());
  // A checkpoint that throws on the fifth application leaves the solver through its
  // destructors (the sanitizer build reports anything left behind).
  int calls = 0;
  const Checkpoint stop{[](void* c) {
                          if (++*static_cast<int*>(c) == 5) throw std::runtime_error("stop");
                        },
                        &calls};
  SolveStats unused;
  EXPECT_THROW(evolve_chebyshev(CountingOperator(g, unused, stop), psi.data(), 30.0, 1e-8, 2), std::runtime_error);
  EXPECT_EQ(calls, 5);
}

// The same operator without apply_nonidentity_then, as a distributed one is: the solver
// then stores H' * psi whole and finishes each term in a pass of its own.
struct StoringOperator {
  const GroupedPauliSum& g;
  std::uint64_t dim() const { return g.dim(); }
  cdouble identity_coeff() const { return g.identity_coeff(); }
  double norm_bound() const { return g.norm_bound(); }
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t threads) const {
    g.apply_nonidentity(in, out, threads);
  }
  std::pair<double, double> spectral_bounds(std::int32_t threads) const { return g.spectral_bounds(threads); }
};

TEST(EvolveChebyshev, FinishingTermsInCacheChangesNoBit) {
  static_assert(HandingOverOperator<GroupedPauliSum> && !HandingOverOperator<StoringOperator>);
  std::mt19937_64 rng(8);
  for (std::size_t n : {4, 12, 13}) {
    const Hamiltonian h = random_hamiltonian(n, 25, rng, true);
    const GroupedPauliSum g(h);
    const auto psi = testing::random_state(h.dim(), rng);
    for (double theta : {0.4, 25.0}) {  // the safe interval, and an estimated one
      SolveStats fused, stored;
      const StateBuffer a = evolve_chebyshev(g, psi.data(), theta, 1e-9, 2, &fused);
      const StateBuffer b = evolve_chebyshev(StoringOperator{g}, psi.data(), theta, 1e-9, 3, &stored);
      EXPECT_TRUE(bitwise_equal(a.get(), b.get(), h.dim())) << n << " " << theta;
      EXPECT_EQ(fused.degree, stored.degree);
      EXPECT_EQ(fused.interval_hi, stored.interval_hi);
    }
  }
}

// A kept interval: the first solve finds it (Lanczos steps even for a short series, a
// narrower interval than Gershgorin's), a later one takes it without a step and with the
// bits of a solve handed the same bounds; an estimate that misses leaves the certain
// bounds behind for later solves.
TEST(EvolveChebyshev, KeptIntervalIsFoundOnceAndReused) {
  std::vector<PauliWord> words;
  for (std::size_t k = 0; k + 1 < 10; ++k) {
    for (const char* p : {"XX", "YY", "ZZ"}) {
      std::string s(10, 'I');
      s[k] = p[0];
      s[k + 1] = p[1];
      words.emplace_back(cdouble{1.0, 0.0}, s);
    }
  }
  const GroupedPauliSum g{Hamiltonian(std::move(words))};
  std::mt19937_64 rng(31);
  const auto psi = testing::random_state(g.dim(), rng);
  SpectrumBounds kept{};
  SolveStats first, plain, second;
  const StateBuffer a = evolve_chebyshev(g, psi.data(), 1.0, 1e-9, 2, &first, &kept);
  evolve_chebyshev(g, psi.data(), 1.0, 1e-9, 2, &plain);
  ASSERT_TRUE(kept.known);
  EXPECT_EQ(kept.source, IntervalSource::lanczos);
  EXPECT_EQ(first.interval_source, IntervalSource::lanczos);
  EXPECT_EQ(plain.interval_source, IntervalSource::gershgorin);  // short: no steps without keeping
  EXPECT_EQ(plain.estimation_steps, 0u);
  EXPECT_GT(first.estimation_steps, 0u);
  EXPECT_LT(kept.hi - kept.lo, plain.interval_hi - plain.interval_lo);
  EXPECT_LT(first.degree, plain.degree);
  const StateBuffer b = evolve_chebyshev(g, psi.data(), 1.0, 1e-9, 1, &second, &kept);
  EXPECT_TRUE(second.interval_kept && !first.interval_kept);
  EXPECT_EQ(second.estimation_steps, 0u);
  EXPECT_EQ(second.degree, first.degree);
  EXPECT_TRUE(bitwise_equal(a.get(), b.get(), g.dim()));
  // Bounds that miss the spectrum: the series outgrows psi, is redone on the certain
  // interval, and the certain interval is what is kept.
  SpectrumBounds wrong{-1.0, 1.0, kept.safe_lo, kept.safe_hi, true, true, IntervalSource::lanczos};
  SolveStats widened;
  const StateBuffer c = evolve_chebyshev(g, psi.data(), 1.0, 1e-9, 2, &widened, &wrong);
  EXPECT_TRUE(widened.widened);
  EXPECT_EQ(wrong.lo, kept.safe_lo);
  EXPECT_FALSE(wrong.estimated);
  EXPECT_EQ(wrong.source, IntervalSource::gershgorin);
  EXPECT_LT(testing::max_abs_diff(a.get(), c.get(), g.dim()), 1e-8);
}

// The vectorised term against the scalar formulas: next and result bit for bit, and the
// leaf sums of |next|^2 in eight partial sums over the leaf's doubles, for leaves that
// are not whole groups of four amplitudes and runs of several leaves.
TEST(ChebyshevStep, VectorisedTermsAreTheScalarFormulas) {
  std::mt19937_64 rng(404);
  for (std::uint64_t len : {1u, 3u, 4u, 7u, 64u, 1030u}) {
    for (std::uint64_t leaf : {len, std::uint64_t{4}, std::uint64_t{5}}) {
      for (bool first : {true, false}) {
        const auto w = testing::random_state(len, rng), cur = testing::random_state(len, rng);
        const auto prev = testing::random_state(len, rng);
        auto result = testing::random_state(len, rng);
        std::vector<cdouble> next(len), expected_result = result;
        std::vector<double> sums(leaf_count(len, leaf));
        const ChebyshevStep step{cur.data(), prev.data(), next.data(), result.data(), 0.7, -0.3, {0.25, -1.5},
                                 {2.0, 0.125}, first, sums.data(), leaf};
        chebyshev_step_range(step, w.data(), 0, len);
        for (std::uint64_t l0 = 0; l0 < len; l0 += leaf) {
          double slots[8] = {};
          for (std::uint64_t k = l0; k < std::min(len, l0 + leaf); ++k) {
            cdouble x{0.7 * w[k].real() - -0.3 * cur[k].real(), 0.7 * w[k].imag() - -0.3 * cur[k].imag()};
            if (first) {
              const cdouble t0 = cmul({2.0, 0.125}, cur[k]), t1 = cmul({0.25, -1.5}, x);
              expected_result[k] = {t0.real() + t1.real(), t0.imag() + t1.imag()};
            } else {
              x = {x.real() - prev[k].real(), x.imag() - prev[k].imag()};
              const cdouble t = cmul({0.25, -1.5}, x);
              expected_result[k] = {expected_result[k].real() + t.real(), expected_result[k].imag() + t.imag()};
            }
            EXPECT_TRUE(bitwise_equal(&x, &next[k], 1)) << len << " " << k;
            slots[(2 * (k - l0)) % 8] += x.real() * x.real();
            slots[(2 * (k - l0) + 1) % 8] += x.imag() * x.imag();
          }
          const double total = ((slots[0] + slots[1]) + (slots[2] + slots[3])) +
                               ((slots[4] + slots[5]) + (slots[6] + slots[7]));
          EXPECT_EQ(sums[l0 / leaf], total) << len << " " << leaf;
        }
        EXPECT_TRUE(bitwise_equal(result.data(), expected_result.data(), len)) << len << " " << first;
      }
      // The Lanczos passes of the spectral estimate, by the same rule.
      auto w = testing::random_state(len, rng), expected_w = w;
      const auto u = testing::random_state(len, rng), v = testing::random_state(len, rng);
      const std::vector<double> dots = subtract_then_block_dots(w.data(), u.data(), 0.375, v.data(), len, leaf, 2);
      std::vector<cdouble> w2 = w, expected_w2 = w;
      const std::vector<double> norms = subtract_then_block_abs2(w2.data(), v.data(), -1.25, len, leaf, 3);
      for (std::uint64_t l0 = 0; l0 < len; l0 += leaf) {
        double dot_slots[8] = {}, norm_slots[8] = {};
        for (std::uint64_t k = l0; k < std::min(len, l0 + leaf); ++k) {
          expected_w[k] = {expected_w[k].real() - 0.375 * u[k].real(), expected_w[k].imag() - 0.375 * u[k].imag()};
          dot_slots[(2 * (k - l0)) % 8] += v[k].real() * expected_w[k].real();
          dot_slots[(2 * (k - l0) + 1) % 8] += v[k].imag() * expected_w[k].imag();
          expected_w2[k] = {expected_w2[k].real() + 1.25 * v[k].real(), expected_w2[k].imag() + 1.25 * v[k].imag()};
          norm_slots[(2 * (k - l0)) % 8] += expected_w2[k].real() * expected_w2[k].real();
          norm_slots[(2 * (k - l0) + 1) % 8] += expected_w2[k].imag() * expected_w2[k].imag();
        }
        const auto total = [](const double* s) {
          return ((s[0] + s[1]) + (s[2] + s[3])) + ((s[4] + s[5]) + (s[6] + s[7]));
        };
        EXPECT_EQ(dots[l0 / leaf], total(dot_slots)) << len << " " << leaf;
        EXPECT_EQ(norms[l0 / leaf], total(norm_slots)) << len << " " << leaf;
      }
      EXPECT_TRUE(bitwise_equal(w.data(), expected_w.data(), len));
      EXPECT_TRUE(bitwise_equal(w2.data(), expected_w2.data(), len));
    }
  }
}

TEST(EvolveChebyshev, RefusesWhatItCannotDo) {
  const Hamiltonian complex_word({{{1.0, 0.5}, "XY"}, {{0.2, 0.1}, "II"}});
  EXPECT_THROW(require_hermitian(complex_word), std::invalid_argument);
  EXPECT_NO_THROW(require_hermitian(Hamiltonian({{{1.0, 0.0}, "XY"}, {{0.2, 0.1}, "II"}})));
  const GroupedPauliSum g(Hamiltonian({{{1.0, 0.0}, "XY"}}));
  const cdouble psi[4] = {1.0, 0.0, 0.0, 0.0};
  for (double rtol : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_THROW(evolve_chebyshev(g, psi, 1.0, rtol, 1), std::invalid_argument);
  EXPECT_THROW(evolve_chebyshev(g, psi, std::numeric_limits<double>::infinity(), 1e-8, 1), std::invalid_argument);
  EXPECT_THROW(evolve_chebyshev(g, psi, 1e12, 1e-8, 1), std::invalid_argument);
}

TEST(DecaySeries, ScaledBesselIValuesAndTheirTail) {
  // e^-z I_k(z) (Abramowitz and Stegun table 9.8, to double precision as SciPy's ive).
  const DecaySeries one = decay_series(1.0, 1e-17);
  EXPECT_NEAR(one.scaled[0], 0.4657596075936404, 1e-15);
  EXPECT_NEAR(one.scaled[1], 0.20791041534970842, 1e-15);
  const DecaySeries ten = decay_series(10.0, 1e-17);
  EXPECT_NEAR(ten.scaled[0], 0.12783333716342862, 1e-15);
  EXPECT_NEAR(ten.scaled[1], 0.12126268138445552, 1e-15);
  for (double z : {0.0, 1e-8, 0.7, 35.0, 2e4}) {
    for (double tol : {1e-4, 1e-12}) {
      const DecaySeries s = decay_series(z, tol);
      // The weights sum to 1, and the series at x = -1, where exp(-z (x + 1)) = 1 and
      // every (-1)^k T_k is 1, sums the same values with every sign positive.
      double sum = s.scaled[0];
      for (std::size_t k = 1; k < s.scaled.size(); ++k) sum += 2.0 * s.scaled[k];
      EXPECT_NEAR(sum, 1.0, tol + 1e-13) << z;
      const DecaySeries longer = decay_series(z, tol * 1e-3);
      double tail = 0.0;
      for (std::size_t k = s.degree + 1; k < longer.scaled.size(); ++k) tail += 2.0 * longer.scaled[k];
      EXPECT_LE(tail, tol) << z;
      if (s.degree > 0) EXPECT_GT(tail + 2.0 * longer.scaled[s.degree], 0.99 * tol) << z;
    }
  }
}

TEST(EvolveImaginary, NormalisedStateAndLogNormAgainstDenseExponentials) {
  std::mt19937_64 rng(29);
  for (std::size_t n : {1, 4, 6}) {
    const Hamiltonian h = random_hamiltonian(n, 12, rng, true);
    const std::size_t dim = h.dim();
    const testing::Dense dense = testing::sum_of_words(h.get_pwords(), dim);
    const double lowest = testing::hermitian_eigenvalues(dense, dim).front();
    auto psi = testing::random_state(dim, rng);
    for (cdouble& v : psi) v *= 1e120;  // far from unit norm
    const GroupedPauliSum g(h);
    SpectrumBounds kept{};
    for (double beta : {0.0, 0.2, 3.0, 60.0}) {
      // exp(-beta (H - lowest)) stays within the double range; its log norm adds beta*lowest back.
      DenseMatrix a(dim * dim);
      for (std::size_t e = 0; e < a.size(); ++e) a[e] = -beta * dense[e];
      for (std::size_t i = 0; i < dim; ++i) a[i * dim + i] += beta * lowest;
      const auto shifted = testing::matvec(expm(std::move(a), dim), psi);
      double norm2 = 0.0;
      for (const cdouble& v : shifted) norm2 += std::norm(v);
      std::vector<cdouble> expected(dim);
      for (std::size_t i = 0; i < dim; ++i) expected[i] = shifted[i] / std::sqrt(norm2);
      SolveStats stats;
      const ImaginaryResult got = evolve_imaginary(g, psi.data(), beta, 1e-10, 1, &stats, &kept);
      EXPECT_LT(testing::max_abs_diff(got.state.get(), expected.data(), dim), 1e-9) << n << " " << beta;
      EXPECT_NEAR(got.log_norm, 0.5 * std::log(norm2) - beta * lowest, 1e-9 * (1.0 + std::abs(got.log_norm)));
      const ImaginaryResult parallel = evolve_imaginary(g, psi.data(), beta, 1e-10, 3, nullptr, &kept);
      EXPECT_TRUE(bitwise_equal(got.state.get(), parallel.state.get(), dim));
      EXPECT_EQ(got.log_norm, parallel.log_norm);
    }
  }
}

TEST(EvolveImaginary, HugeBetaZeroStateAndBadArguments) {
  std::mt19937_64 rng(31);
  const Hamiltonian h = random_hamiltonian(5, 10, rng, true);
  const GroupedPauliSum g(h);
  const auto psi = testing::random_state(h.dim(), rng);
  // beta |H| = 1e5: the log norm is about -beta * lowest, nothing overflows.
  const double lowest = testing::hermitian_eigenvalues(testing::sum_of_words(h.get_pwords(), h.dim()), h.dim()).front();
  const ImaginaryResult far = evolve_imaginary(g, psi.data(), 1e5 / h.norm_bound(), 1e-8, 2);
  EXPECT_NEAR(far.log_norm / (1e5 / h.norm_bound()), -lowest, 1e-3);
  const std::vector<cdouble> zero(h.dim());
  const ImaginaryResult none = evolve_imaginary(g, zero.data(), 1.0, 1e-8, 1);
  EXPECT_EQ(none.log_norm, -std::numeric_limits<double>::infinity());
  EXPECT_THROW(evolve_imaginary(g, psi.data(), -1.0, 1e-8, 1), std::invalid_argument);
  EXPECT_THROW(evolve_imaginary(g, psi.data(), std::numeric_limits<double>::infinity(), 1e-8, 1),
               std::invalid_argument);
  EXPECT_THROW(evolve_imaginary(g, psi.data(), 1.0, 0.0, 1), std::invalid_argument);
}

TEST(WeightedSum, CombinationsAreTheSumsAndReuseTheGrouping) {
  std::mt19937_64 rng(37);
  const std::size_t n = 6;
  const std::vector<Hamiltonian> parts{random_hamiltonian(n, 9, rng, true), random_hamiltonian(n, 7, rng, true)};
  const WeightedSum sum(parts);
  const auto psi = testing::random_state(std::size_t{1} << n, rng);
  for (const std::vector<cdouble>& weights :
       {std::vector<cdouble>{1.0, 0.0}, std::vector<cdouble>{-0.5, 2.0}, std::vector<cdouble>{0.3, cdouble{0.0, 1.5}}}) {
    // The same words, scaled, as one Hamiltonian built from scratch.
    std::vector<PauliWord> words;
    for (std::size_t j = 0; j < parts.size(); ++j)
      for (const PauliWord& w : parts[j].get_pwords()) words.emplace_back(cmul(weights[j], w.coeff()), w.get_string());
    const Hamiltonian direct(std::move(words));
    const Hamiltonian combined = sum.combine(weights);
    EXPECT_EQ(combined.norm_bound(), direct.norm_bound());
    EXPECT_EQ(combined.identity_coeff(), direct.identity_coeff());
    const GroupedPauliSum reweighted = sum.grouped(combined);
    const GroupedPauliSum fresh(direct);
    std::vector<cdouble> a(psi.size()), b(psi.size());
    reweighted.apply_nonidentity(psi.data(), a.data(), 2);
    fresh.apply_nonidentity(psi.data(), b.data(), 1);
    EXPECT_TRUE(bitwise_equal(a.data(), b.data(), psi.size()));
  }
  EXPECT_THROW(sum.combine({1.0}), std::invalid_argument);
  EXPECT_THROW(GroupedPauliSum(parts[0]).reweighted(parts[1]), std::invalid_argument);
  EXPECT_THROW(WeightedSum({parts[0], random_hamiltonian(n + 1, 3, rng, true)}), std::invalid_argument);
}

}  // namespace
}  // namespace morbizet
