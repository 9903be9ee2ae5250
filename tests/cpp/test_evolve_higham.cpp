// The Taylor solver: its a-priori parameters, termination on hostile inputs, and exact
// identities.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "dense_reference.hpp"
#include "morbizet/dense_matrix.hpp"
#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/evolve_krylov.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"

namespace morbizet {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

void expect_params(double b, double rtol, std::uint64_t m, std::uint64_t s) {
  const TaylorParameters p = choose_taylor_parameters(b, rtol);
  EXPECT_EQ(p.m, m) << "b = " << b << ", rtol = " << rtol;
  EXPECT_EQ(p.s, s) << "b = " << b << ", rtol = " << rtol;
}

TEST(TaylorParameters, WorkedExamples) {
  expect_params(5e-5, 1e-8, 1, 1);
  expect_params(0.00012, 1e-8, 1, 2);  // ties with (2, 1): the smaller degree wins
  expect_params(1e-3, 1e-8, 2, 1);
  expect_params(1.0, 1e-8, 11, 1);
  expect_params(10.0, 1e-8, 40, 1);
  expect_params(100.0, 1e-8, 54, 7);
  expect_params(1.0, 1e-12, 15, 1);
  expect_params(10.0, 1e-6, 37, 1);
}

TEST(TaylorParameters, NanBoundKeepsOneSubstep) {
  expect_params(kNaN, 1e-8, 1, 1);
  expect_params(1.0, -1.0, 1, 1);
  expect_params(1.0, kNaN, 1, 1);
}

TEST(TaylorParameters, TerminatesWhenNoCountFits) {
  EXPECT_THROW(choose_taylor_parameters(kInf, 1e-8), std::invalid_argument);
  EXPECT_THROW(choose_taylor_parameters(1.0, 0.0), std::invalid_argument);
  EXPECT_THROW(choose_taylor_parameters(1e300, 1e-8), std::invalid_argument);
  EXPECT_THROW(choose_taylor_parameters(std::numeric_limits<double>::max(), 1e-300), std::invalid_argument);
  // Large but representable: the degrees whose counts overflow are left out.
  const TaylorParameters p = choose_taylor_parameters(1e17, 1e-16);
  EXPECT_EQ(p.m, 55u);
  EXPECT_GT(p.s, std::uint64_t{1} << 50);
}

TEST(TaylorParameters, RoundingLimitRaisesSubstepsOnlyWhereItMatters) {
  const auto log_rounding = [](TaylorParameters p, double b) {
    const double h = b / static_cast<double>(p.s);
    double peak = -kInf;
    for (double k = 1.0; k <= std::floor(h) + 1.0; k += 1.0) peak = std::max(peak, k * std::log(h) - std::lgamma(k + 1.0));
    return std::log(static_cast<double>(p.s)) + std::log(0x1p-52) + peak;
  };
  // Ordinary requests keep the a-priori choice (and so the bits of _evolve_higham).
  for (double b : {0.5, 10.0, 100.0}) {
    const TaylorParameters p = choose_taylor_parameters(b, 1e-8);
    const TaylorParameters q = limit_taylor_rounding(p, b, 1e-8);
    EXPECT_EQ(q.m, p.m);
    EXPECT_EQ(q.s, p.s);
  }
  for (const auto& [b, rtol] : {std::pair{1e5, 1e-8}, std::pair{500.0, 1e-12}, std::pair{1e5, 1e-14}}) {
    const TaylorParameters p = choose_taylor_parameters(b, rtol);
    const TaylorParameters q = limit_taylor_rounding(p, b, rtol);
    EXPECT_GT(q.s, p.s) << b;
    EXPECT_LE(q.m, p.m) << b;
    // Rounding within rtol/4, or at the floor eps * b; the truncation bound still holds.
    EXPECT_LE(log_rounding(q, b), std::max(std::log(0.25 * rtol), std::log(0x1p-52 * b)) + 1e-9) << b;
    const double m = static_cast<double>(q.m);
    EXPECT_LE((m + 1.0) * std::log(b) - std::lgamma(m + 2.0) - m * std::log(static_cast<double>(q.s)),
              std::log(std::log1p(0.5 * rtol)))
        << b;
    // And the fewest substeps that do.
    EXPECT_GT(log_rounding({q.m, q.s - 1}, b), std::max(std::log(0.25 * rtol), std::log(0x1p-52 * b))) << b;
  }
}

TEST(EvolveHigham, RejectsNonPositiveTolerance) {
  const Hamiltonian h({{{1.0, 0.0}, "X"}});
  const cdouble psi[2] = {1.0, 0.0};
  for (double rtol : {0.0, -1e-8, kNaN, -kInf}) EXPECT_THROW(evolve_higham(h, psi, 1.0, rtol, 1), std::invalid_argument);
  EXPECT_THROW(evolve_higham(h, psi, kInf, 1e-8, 1), std::invalid_argument);
}

TEST(EvolveHigham, SingleStepClosedFormAndShortcuts) {
  // b = 1e-5 gives (m, s) = (1, 1): exp(c) (psi - i theta H' psi) exactly.
  const double theta = 1e-5;
  const cdouble id{0.25, -0.5};
  const Hamiltonian h({{{1.0, 0.0}, "X"}, {id, "I"}});
  const cdouble psi[2] = {{0.6, 0.1}, {-0.3, 0.7}};
  const StateBuffer r = evolve_higham(h, psi, theta, 1e-8, 1);
  const cdouble phase = std::exp(cmul({0.0, -theta}, id));
  for (int i = 0; i < 2; ++i) {
    const cdouble hpsi = psi[1 - i];
    const cdouble expected = phase * (psi[i] + cdouble{0.0, -theta} * hpsi);
    EXPECT_NEAR(std::abs(r[i] - expected), 0.0, 1e-16);
  }
  // theta = 0 copies psi exactly; zero psi stays zero.
  const StateBuffer same = evolve_higham(h, psi, 0.0, 1e-8, 1);
  EXPECT_TRUE(testing::bitwise_equal(same.get(), psi, 2));
  const cdouble zero[2] = {};
  const StateBuffer z = evolve_higham(h, zero, 3.0, 1e-8, 2);
  EXPECT_EQ(z[0], cdouble{});
  EXPECT_EQ(z[1], cdouble{});
}

// A phase exp(-i theta c) beyond the double range still scales a state into a
// representable result: here e^-1000 and e^+800 on amplitudes near 1e300 and 1e-300,
// with and without a non-identity part, in all three solvers.
TEST(EvolveHigham, IdentityPhaseBeyondTheDoubleRangeInEverySolver) {
  using Solver = StateBuffer (*)(const Hamiltonian&, const cdouble*, double);
  const Solver solvers[] = {
      [](const Hamiltonian& h, const cdouble* p, double t) { return evolve_higham(h, p, t, 1e-10, 1); },
      [](const Hamiltonian& h, const cdouble* p, double t) { return evolve_krylov(h, p, t, 1e-10, 1); },
      [](const Hamiltonian& h, const cdouble* p, double t) { return evolve_chebyshev(GroupedPauliSum(h), p, t, 1e-10, 1); }};
  const double theta = 5.0;
  for (const Solver& solve : solvers) {
    for (double x : {0.0, 0.3}) {  // x * X plus the identity part
      // decay: c = -200i, e^-1000 on 1e300; growth: c = 160i, e^800 on 1e-300
      for (const auto& [c, scale, half] : {std::tuple{-200.0, 1e300, -500.0}, std::tuple{160.0, 1e-300, 400.0}}) {
        const Hamiltonian h({{{x, 0.0}, "X"}, {{0.0, c}, "I"}});
        const cdouble psi[2] = {{0.6 * scale, 0.0}, {0.0, 0.8 * scale}};
        const StateBuffer r = solve(h, psi, theta);
        // exp(-i theta x X) (0.6, 0.8i): cos(theta x) psi - i sin(theta x) X psi, by hand.
        const double co = std::cos(theta * x), si = std::sin(theta * x);
        const cdouble expected[2] = {{0.6 * co + 0.8 * si, 0.0}, {0.0, 0.8 * co - 0.6 * si}};
        for (int i = 0; i < 2; ++i) {
          const cdouble unscaled = r[i] / std::exp(half) / std::exp(half) / scale;
          EXPECT_LT(std::abs(unscaled - expected[i]), 1e-9) << "x = " << x << ", c = " << c << "i, i = " << i;
        }
      }
    }
  }
}

TEST(EvolveHigham, MatchesDenseExponentialAndThreadCounts) {
  std::mt19937_64 rng(42);
  std::normal_distribution<double> g;
  const std::size_t n = 5;
  std::vector<PauliWord> words;
  for (int k = 0; k < 12; ++k) words.emplace_back(cdouble{g(rng), 0.0}, testing::random_string(n, rng));
  words.emplace_back(cdouble{0.3, 0.0}, "IIIII");
  const Hamiltonian h(std::move(words));
  const std::size_t dim = h.dim();
  const testing::Dense dense = testing::sum_of_words(h.get_pwords(), dim);
  const auto psi = testing::random_state(dim, rng);
  for (double theta : {-2.5, 0.7, 6.0}) {
    DenseMatrix a(dim * dim);
    for (std::size_t e = 0; e < a.size(); ++e) a[e] = cdouble{0.0, -theta} * dense[e];
    const auto expected = testing::matvec(expm(std::move(a), dim), psi);
    const StateBuffer got = evolve_higham(h, psi.data(), theta, 1e-10, 1);
    EXPECT_LT(testing::max_abs_diff(got.get(), expected.data(), dim), 1e-8) << "theta = " << theta;
    const StateBuffer parallel = evolve_higham(h, psi.data(), theta, 1e-10, 3);
    EXPECT_TRUE(testing::bitwise_equal(got.get(), parallel.get(), dim));
  }
}

}  // namespace
}  // namespace morbizet
