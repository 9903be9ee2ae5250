// The Lanczos solver: its a-priori parameters, exact identities, and agreement with the
// Taylor solver.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <stdexcept>

#include "dense_reference.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/evolve_krylov.hpp"

namespace morbizet {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

void expect_params(std::uint64_t dim, double c, double rtol, std::uint64_t d, std::uint64_t n) {
  const KrylovParameters p = choose_krylov_parameters(dim, c, rtol);
  EXPECT_EQ(p.d, d) << "dim " << dim << ", c " << c << ", rtol " << rtol;
  EXPECT_EQ(p.n, n) << "dim " << dim << ", c " << c << ", rtol " << rtol;
}

TEST(KrylovParameters, WorkedExamples) {
  expect_params(2, 1e6, 1e-8, 2, 1);
  expect_params(4, 1e-6, 1e-8, 2, 1);
  expect_params(4, 1.0, 1e-8, 4, 1);
  expect_params(1024, 1.0, 1e-8, 12, 1);
  expect_params(1024, 100.0, 1e-8, 62, 6);
  expect_params(128, 20.0, 1e-8, 42, 2);
  expect_params(64, 20.0, 1e-8, 64, 1);
  // NaN bounds keep one substep and the smallest dimension.
  expect_params(1024, kNaN, 1e-8, 2, 1);
  expect_params(1024, 1.0, -1.0, 2, 1);
}

TEST(KrylovParameters, TerminatesWhenNoCountFits) {
  EXPECT_THROW(choose_krylov_parameters(1024, kInf, 1e-8), std::invalid_argument);
  EXPECT_THROW(choose_krylov_parameters(1024, 1.0, 0.0), std::invalid_argument);
  EXPECT_THROW(choose_krylov_parameters(1 << 20, 1e300, 1e-8), std::invalid_argument);
  // With dim <= 64 the whole space is one exact candidate, for any finite c.
  expect_params(8, 1e300, 1e-8, 8, 1);
  EXPECT_THROW(choose_krylov_parameters(8, kInf, 1e-8), std::invalid_argument);
}

TEST(EvolveKrylov, EigenstateOfASingleZ) {
  // H = a * IZI + s: H' psi = a psi, so every substep breaks down after one step.
  const double a = 0.8;
  const cdouble s{0.3, 0.0};
  const Hamiltonian h({{{a, 0.0}, "IZI"}, {s, "III"}});
  std::vector<cdouble> psi(8);
  psi[0] = 1.0;
  for (double theta : {0.5, -40.0}) {
    const StateBuffer r = evolve_krylov(h, psi.data(), theta, 1e-10, 2);
    EXPECT_LT(std::abs(r[0] - std::exp(cdouble{0.0, -theta * (a + s.real())})), 1e-13) << theta;
    for (int i = 1; i < 8; ++i) EXPECT_EQ(r[i], cdouble{});
  }
}

TEST(EvolveKrylov, ZeroTinyAndHugeStates) {
  const Hamiltonian h({{{1.0, 0.0}, "XY"}, {{0.5, 0.0}, "ZZ"}});
  const std::vector<cdouble> zero(4);
  const StateBuffer z = evolve_krylov(h, zero.data(), 2.0, 1e-8, 1);
  EXPECT_TRUE(testing::bitwise_equal(z.get(), zero.data(), 4));
  // Norms whose squares leave the double range still evolve like a state of norm 1.
  const std::vector<cdouble> unit = {{0.5, 0.0}, {0.5, 0.0}, {0.0, 0.5}, {0.5, 0.0}};
  const StateBuffer ref = evolve_krylov(h, unit.data(), 2.0, 1e-10, 1);
  for (double scale : {0x1p-1030, 0x1p1000}) {
    std::vector<cdouble> v(4);
    for (int i = 0; i < 4; ++i) v[i] = unit[i] * scale;
    const StateBuffer r = evolve_krylov(h, v.data(), 2.0, 1e-10, 1);
    for (int i = 0; i < 4; ++i) EXPECT_LT(std::abs(r[i] / scale - ref[i]), 1e-9) << scale;
  }
}

TEST(EvolveKrylov, AgreesWithTaylorAndIsThreadIndependent) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  for (int k = 0; k < 30; ++k) words.emplace_back(cdouble{g(rng), 0.0}, testing::random_string(9, rng));
  words.emplace_back(cdouble{0.2, -0.1}, "IIIIIIIII");
  const Hamiltonian h(std::move(words));
  const auto psi = testing::random_state(h.dim(), rng);
  for (double theta : {0.3, -3.0}) {
    const StateBuffer k1 = evolve_krylov(h, psi.data(), theta, 1e-10, 1);
    const StateBuffer k3 = evolve_krylov(h, psi.data(), theta, 1e-10, 3);
    EXPECT_TRUE(testing::bitwise_equal(k1.get(), k3.get(), h.dim()));
    const StateBuffer t = evolve_higham(h, psi.data(), theta, 1e-12, 2);
    EXPECT_LT(testing::max_abs_diff(k1.get(), t.get(), h.dim()), 1e-7) << theta;
  }
}

TEST(EvolveKrylov, WholeSpaceStaysRightOverLongTimes) {
  // 64 amplitudes: d = dim and one substep. Without reorthogonalisation the Lanczos
  // vectors lose orthogonality and a long substep came out wrong by order one.
  std::mt19937_64 rng(6);
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  for (int k = 0; k < 5; ++k) words.emplace_back(cdouble{1.0, 0.0}, std::string(k, 'I') + "ZZ" + std::string(4 - k, 'I'));
  for (int k = 0; k < 6; ++k) {
    for (char p : {'X', 'Z'}) words.emplace_back(cdouble{g(rng), 0.0}, std::string(k, 'I') + p + std::string(5 - k, 'I'));
  }
  const Hamiltonian h(std::move(words));
  const auto psi = testing::random_state(h.dim(), rng);
  for (double theta : {20.0, -100.0}) {
    const KrylovParameters p = choose_krylov_parameters(h.dim(), h.norm_bound() * std::abs(theta), 1e-10);
    ASSERT_EQ(p.d, h.dim());
    const StateBuffer k = evolve_krylov(h, psi.data(), theta, 1e-10, 2);
    const StateBuffer t = evolve_higham(h, psi.data(), theta, 1e-13, 2);
    EXPECT_LT(testing::max_abs_diff(k.get(), t.get(), h.dim()), 1e-9) << theta;
    double norm2 = 0.0, norm2_psi = 0.0;
    for (std::uint64_t i = 0; i < h.dim(); ++i) {
      norm2 += std::norm(k[i]);
      norm2_psi += std::norm(psi[i]);
    }
    EXPECT_NEAR(norm2 / norm2_psi, 1.0, 1e-12) << theta;
  }
}

}  // namespace
}  // namespace morbizet
