// The [13/13] Pade exponential on matrices with known exponentials.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "morbizet/dense_matrix.hpp"

namespace morbizet {
namespace {

void expect_near(const DenseMatrix& got, const DenseMatrix& expected, double tol) {
  ASSERT_EQ(got.size(), expected.size());
  for (std::size_t e = 0; e < got.size(); ++e) EXPECT_LT(std::abs(got[e] - expected[e]), tol) << "entry " << e;
}

TEST(Expm, SmallAndDegenerateSizes) {
  EXPECT_TRUE(expm({}, 0).empty());
  EXPECT_EQ(expm({0.0}, 1), (DenseMatrix{1.0}));
  EXPECT_EQ(expm({{0.5, 2.0}}, 1), (DenseMatrix{std::exp(cdouble{0.5, 2.0})}));
  // The zero matrix gives the identity exactly.
  for (std::uint64_t d : {2u, 5u}) {
    DenseMatrix eye(d * d);
    for (std::uint64_t i = 0; i < d; ++i) eye[i * d + i] = 1.0;
    EXPECT_EQ(expm(DenseMatrix(d * d), d), eye);
  }
}

TEST(Expm, KnownExponentials) {
  expect_near(expm({0.0, 1.0, 0.0, 0.0}, 2), {1.0, 1.0, 0.0, 1.0}, 1e-15);
  expect_near(expm({{1.5, 0.0}, 0.0, 0.0, {-2.0, 3.0}}, 2),
              {std::exp(cdouble{1.5, 0.0}), 0.0, 0.0, std::exp(cdouble{-2.0, 3.0})}, 1e-14);
  // Rotation by 10 radians: 1-norm 10, one squaring.
  expect_near(expm({0.0, -10.0, 10.0, 0.0}, 2), {std::cos(10.0), -std::sin(10.0), std::sin(10.0), std::cos(10.0)},
              1e-13);
  // Column sums, not row sums: [[3, 3], [0, 0]] has 1-norm 3; exp = [[e^3, e^3 - 1], [0, 1]].
  expect_near(expm({3.0, 3.0, 0.0, 0.0}, 2), {std::exp(3.0), std::exp(3.0) - 1.0, 0.0, 1.0}, 1e-12);
}

TEST(Expm, ScalingExponentAtTheThresholds) {
  // exp(a I) computed with k squarings of exp(a/2^k I); the diagonal must match e^a to
  // rounding whichever side of each threshold the norm lies.
  for (double a : {theta13, std::nextafter(theta13, 10.0), 2.0 * theta13, 4.0 * theta13, 100.0}) {
    const DenseMatrix r = expm({a, 0.0, 0.0, a}, 2);
    EXPECT_NEAR(r[0].real() / std::exp(a), 1.0, 1e-13) << a;
    EXPECT_EQ(r[1], cdouble{});
  }
}

TEST(Expm, InfiniteNormGivesNonFiniteMatrix) {
  const double inf = std::numeric_limits<double>::infinity();
  const DenseMatrix r = expm({inf, 0.0, 0.0, 1.0}, 2);
  ASSERT_EQ(r.size(), 4u);
  for (const cdouble& e : r) EXPECT_FALSE(std::isfinite(e.real()));
}

TEST(Expm, UnitaryForHermitianGeneratorsFarAboveTheta13) {
  std::mt19937_64 rng(3);
  std::normal_distribution<double> g;
  const std::uint64_t d = 24;
  DenseMatrix h(d * d);
  for (std::uint64_t i = 0; i < d; ++i) {
    h[i * d + i] = g(rng);
    for (std::uint64_t j = i + 1; j < d; ++j) {
      h[i * d + j] = {g(rng), g(rng)};
      h[j * d + i] = std::conj(h[i * d + j]);
    }
  }
  DenseMatrix a(d * d);
  for (std::size_t e = 0; e < a.size(); ++e) a[e] = cdouble{0.0, -7.0} * h[e];  // 1-norm ~ 500
  const DenseMatrix u = expm(std::move(a), d);
  for (std::uint64_t i = 0; i < d; ++i) {
    for (std::uint64_t j = 0; j < d; ++j) {
      cdouble dot = 0.0;
      for (std::uint64_t k = 0; k < d; ++k) dot += std::conj(u[k * d + i]) * u[k * d + j];
      EXPECT_LT(std::abs(dot - (i == j ? 1.0 : 0.0)), 1e-11) << i << "," << j;
    }
  }
}

TEST(GaussJordan, SolvesWithPivoting) {
  // A zero leading entry forces a row exchange.
  const DenseMatrix x = gauss_jordan_solve({0.0, 2.0, 4.0, 1.0}, {2.0, 0.0, 9.0, 4.0}, 2);
  expect_near(x, {2.0, 1.0, 1.0, 0.0}, 1e-15);
}

}  // namespace
}  // namespace morbizet
