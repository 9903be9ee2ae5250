// The windowed grid walk against single solves (every state and expectation value within
// rtol, by either way of forming values), the same bits for every thread count, and the
// tridiagonal eigensolver and basis kernels it rests on.

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <stdexcept>
#include <vector>

#include "dense_reference.hpp"
#include "evolution/allocation.hpp"
#include "evolution/tridiagonal_eigen.hpp"
#include "kernels/basis_ops.hpp"
#include "kernels/parallel.hpp"
#include "morbizet/evolve_grid.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"

namespace morbizet {
namespace {

using testing::bitwise_equal;
using testing::random_state;
using testing::random_string;

Hamiltonian random_sum(std::size_t n, int count, std::mt19937_64& rng, bool hermitian, cdouble identity) {
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<PauliWord> words{{identity, std::string(n, 'I')}};
  for (int k = 0; k < count; ++k) words.emplace_back(cdouble{u(rng), hermitian ? 0.0 : u(rng)}, random_string(n, rng));
  return Hamiltonian(std::move(words));
}

struct Recorder final : GridVisitor {
  std::vector<std::size_t> order;
  std::map<std::size_t, std::vector<cdouble>> states, values;
  std::size_t n = 0, count = 0;
  void visit(std::size_t k, const cdouble* state, const cdouble* v) override {
    order.push_back(k);
    if (state != nullptr) states[k].assign(state, state + n);
    if (v != nullptr) values[k].assign(v, v + count);
  }
};

Recorder walk(OperatorRef h, const std::vector<cdouble>& psi, const std::vector<double>& times, double rtol,
              const std::vector<GridObservable>& observables, bool states, std::int32_t threads,
              GridStats* stats = nullptr, std::uint64_t vectors = 200) {
  Recorder r;
  r.n = psi.size();
  r.count = observables.size();
  evolve_grid(h, psi.data(), times.data(), times.size(), rtol, observables, GridOptions{states, vectors, 24.0}, r,
              threads, stats);
  return r;
}

cdouble expectation(const Hamiltonian& o, const std::vector<cdouble>& v) {
  const testing::Dense m = testing::sum_of_words(o.get_pwords(), v.size());
  const std::vector<cdouble> ov = testing::matvec(m, v);
  cdouble s{};
  for (std::size_t i = 0; i < v.size(); ++i) s += std::conj(v[i]) * ov[i];
  return s;
}

TEST(TridiagonalEigen, ReconstructsTheMatrixAndKeepsItsEnds) {
  std::mt19937_64 rng(11);
  std::normal_distribution<double> g;
  const std::uint64_t m = 37;
  std::vector<double> a(m), b(m - 1);
  for (auto& x : a) x = g(rng);
  for (auto& x : b) x = g(rng);
  b[10] = 0.0;  // a split into two blocks
  for (std::uint64_t i = 20; i < 26; ++i) a[i] = 0.5, b[i] = i < 25 ? 0.0 : b[i];  // a repeated eigenvalue
  const TridiagonalEigen e = tridiagonal_eigen(a.data(), b.data(), m);
  for (std::uint64_t i = 0; i < m; ++i) {
    for (std::uint64_t j = 0; j < m; ++j) {
      double t = 0.0, q = 0.0;
      for (std::uint64_t k = 0; k < m; ++k) {
        t += e.vectors[i * m + k] * e.values[k] * e.vectors[j * m + k];
        q += e.vectors[k * m + i] * e.vectors[k * m + j];
      }
      const double expected = i == j ? a[i] : (j == i + 1 ? b[i] : (i == j + 1 ? b[j] : 0.0));
      EXPECT_NEAR(t, expected, 1e-13) << i << "," << j;
      EXPECT_NEAR(q, i == j ? 1.0 : 0.0, 1e-13) << i << "," << j;
    }
  }
  const TridiagonalEigen ends = tridiagonal_eigen(a.data(), b.data(), m, true);
  ASSERT_EQ(ends.vectors.size(), 2 * m);
  for (std::uint64_t k = 0; k < m; ++k) {
    EXPECT_EQ(ends.values[k], e.values[k]);
    EXPECT_EQ(ends.vectors[k], e.vectors[k]);
    EXPECT_EQ(ends.vectors[m + k], e.vectors[(m - 1) * m + k]);
  }
}

TEST(TridiagonalEigen, OneAndTwoRows) {
  const double a1[] = {0.75};
  const TridiagonalEigen one = tridiagonal_eigen(a1, nullptr, 1, true);
  EXPECT_EQ(one.values, std::vector<double>{0.75});
  EXPECT_EQ(one.vectors, std::vector<double>{1.0});
  // [[1, 2], [2, 1]]: eigenvalues -1 and 3, eigenvectors (1, -1) and (1, 1) over sqrt 2.
  const double a2[] = {1.0, 1.0}, b2[] = {2.0};
  const TridiagonalEigen two = tridiagonal_eigen(a2, b2, 2);
  for (int j = 0; j < 2; ++j) {
    const double lambda = two.values[j], q0 = two.vectors[j], q1 = two.vectors[2 + j];
    EXPECT_NEAR(std::abs(lambda - 1.0), 2.0, 1e-15);
    EXPECT_NEAR(q0 * q0 + q1 * q1, 1.0, 1e-15);
    EXPECT_NEAR(1.0 * q0 + 2.0 * q1, lambda * q0, 1e-14);
  }
}

TEST(StateBlock, RefusesSizesPastTheAddressSpace) {
  EXPECT_THROW(allocate_block(std::uint64_t{1} << 62), std::bad_alloc);
  EXPECT_THROW(allocate_block(~std::uint64_t{0}), std::bad_alloc);
  // A small block is aligned to a cache line, one of a huge page or more to the page.
  const StateBlock small = allocate_block(3);
  ASSERT_NE(small.get(), nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.get()) % 64, 0u);
  const StateBlock large = allocate_block(std::uint64_t{1} << 17);
  ASSERT_NE(large.get(), nullptr);
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.get()) % (std::uintptr_t{1} << 21), 0u);
}

TEST(BasisOps, MatchPlainSumsForEveryShapeAndThreadCount) {
  std::mt19937_64 rng(12);
  for (std::uint64_t n : {1u, 2u, 4u, 8u, 1024u, 8192u}) {
    for (std::uint64_t m : {1u, 3u, 8u}) {
      std::vector<std::vector<cdouble>> v;
      std::vector<const cdouble*> basis;
      for (std::uint64_t k = 0; k < m; ++k) v.push_back(random_state(n, rng));
      for (const auto& x : v) basis.push_back(x.data());
      const std::uint64_t p = 3;
      const std::vector<cdouble> c = random_state(m * p, rng);
      std::vector<std::vector<cdouble>> out1(p, std::vector<cdouble>(n)), out3 = out1;
      std::vector<cdouble*> o1, o3;
      for (std::uint64_t j = 0; j < p; ++j) o1.push_back(out1[j].data()), o3.push_back(out3[j].data());
      combine_basis(basis.data(), m, c.data(), p, o1.data(), n, 1);
      combine_basis(basis.data(), m, c.data(), p, o3.data(), n, 3);
      for (std::uint64_t j = 0; j < p; ++j) {
        ASSERT_TRUE(bitwise_equal(out1[j].data(), out3[j].data(), n)) << n << " " << m;
        for (std::uint64_t i = 0; i < n; ++i) {
          cdouble s{};
          for (std::uint64_t k = 0; k < m; ++k) s += c[j * m + k] * v[k][i];
          EXPECT_NEAR(std::abs(out1[j][i] - s), 0.0, 1e-13) << n << " " << m;
        }
      }
      // <basis[k] | out[l]> for every entry, and the upper triangle alone with first = 1.
      const std::uint64_t leaf = sum_block_size(n), leaves = n / leaf;
      std::vector<const cdouble*> right(o1.begin(), o1.end());
      for (bool upper : {false, true}) {
        std::vector<double> one = basis_inner_products(basis.data(), m, right.data(), p, n, leaf, upper, 1, 1);
        std::vector<double> three = basis_inner_products(basis.data(), m, right.data(), p, n, leaf, upper, 1, 3);
        ASSERT_EQ(one, three);
        for (std::uint64_t k = 0; k < m; ++k) {
          for (std::uint64_t l = 0; l < p; ++l) {
            const std::uint64_t e = k * p + l;
            const double re = pairwise_sum(one.data() + 2 * e * leaves, leaves);
            const double im = pairwise_sum(one.data() + (2 * e + 1) * leaves, leaves);
            cdouble s{};
            for (std::uint64_t i = 0; i < n; ++i) s += std::conj(v[k][i]) * out1[l][i];
            if (upper && k > 1 + l) continue;
            EXPECT_NEAR(std::abs(cdouble{re, im} - s), 0.0, 1e-14 * static_cast<double>(n * m)) << n << " " << m << " " << k << " " << l;
          }
        }
      }
    }
  }
}

struct GridCase {
  std::vector<double> times;
  double rtol;
};

TEST(EvolveGrid, EveryStateAndValueWithinRtolEitherWay) {
  std::mt19937_64 rng(13);
  const Hamiltonian h = random_sum(7, 24, rng, true, {0.3, 0.0});
  const GroupedPauliSum grouped(h);
  const Hamiltonian o1 = random_sum(7, 4, rng, true, {0.2, 0.0});
  const Hamiltonian o2 = random_sum(7, 3, rng, false, {0.0, 0.0});
  const GroupedPauliSum g2(o2);
  const std::vector<GridObservable> observables{{o1, 3.0, true}, {g2, 3.0, false}};
  const std::vector<cdouble> psi = random_state(128, rng);
  double norm = 0.0;
  for (cdouble x : psi) norm += std::norm(x);
  norm = std::sqrt(norm);
  std::vector<double> dense(400);
  for (std::size_t k = 0; k < dense.size(); ++k) dense[k] = 6.0 * static_cast<double>(k) / 399.0;
  const std::vector<GridCase> cases{{dense, 1e-4}, {dense, 1e-10}, {{0.7, -0.4, 2.5, 2.5, 0.0, 1.1, -3.0}, 1e-10}};
  for (const GridCase& c : cases) {
    // The grouped operator hands H' * v over a unit at a time, the plain one does not.
    for (OperatorRef op : {OperatorRef(grouped), OperatorRef(h)}) {
      GridStats formed_stats, projected_stats;
      const Recorder formed = walk(op, psi, c.times, c.rtol, observables, true, 2, &formed_stats);
      const Recorder projected = walk(op, psi, c.times, c.rtol, observables, false, 2, &projected_stats);
      ASSERT_EQ(formed.order.size(), c.times.size());
      for (std::size_t k = 0; k < c.times.size(); ++k) EXPECT_EQ(formed.order[k], k);
      for (std::size_t k = 0; k < c.times.size(); ++k) {
        const StateBuffer exact = evolve_higham(h, psi.data(), c.times[k], 1e-14, 1);
        const std::vector<cdouble> ex(exact.get(), exact.get() + psi.size());
        EXPECT_LE(testing::max_abs_diff(formed.states.at(k).data(), ex.data(), psi.size()), c.rtol * norm) << k;
        for (std::size_t j = 0; j < 2; ++j) {
          const Hamiltonian& o = j == 0 ? o1 : o2;
          const double bound = (2.0 * c.rtol + c.rtol * c.rtol) * (o.norm_bound() + std::abs(o.identity_coeff())) *
                               norm * norm;
          const cdouble want = expectation(o, ex);
          EXPECT_LE(std::abs(formed.values.at(k)[j] - want), bound) << k << " " << j;
          EXPECT_LE(std::abs(projected.values.at(k)[j] - want), bound) << k << " " << j;
        }
      }
      EXPECT_EQ(formed_stats.projected, 0u);
      if (c.times.size() > 100) EXPECT_GT(projected_stats.projected, 0u);
    }
  }
}

TEST(EvolveGrid, SameBitsForEveryThreadCount) {
  std::mt19937_64 rng(14);
  const Hamiltonian h = random_sum(10, 30, rng, true, {0.0, 0.0});
  const GroupedPauliSum grouped(h);
  const Hamiltonian o = random_sum(10, 5, rng, true, {0.0, 0.0});
  const GroupedPauliSum go(o);
  const std::vector<GridObservable> observables{{go, 3.0, true}};
  const std::vector<cdouble> psi = random_state(1024, rng);
  std::vector<double> times(300);
  for (std::size_t k = 0; k < times.size(); ++k) times[k] = 0.01 * static_cast<double>(k);
  for (bool states : {true, false}) {
    const Recorder one = walk(grouped, psi, times, 1e-9, observables, states, 1);
    for (std::int32_t threads : {2, 3}) {
      const Recorder more = walk(grouped, psi, times, 1e-9, observables, states, threads);
      for (std::size_t k = 0; k < times.size(); ++k) {
        EXPECT_TRUE(bitwise_equal(one.values.at(k).data(), more.values.at(k).data(), 1)) << k;
        if (states) EXPECT_TRUE(bitwise_equal(one.states.at(k).data(), more.states.at(k).data(), psi.size())) << k;
      }
    }
  }
}

TEST(EvolveGrid, EdgeCases) {
  std::mt19937_64 rng(15);
  const Hamiltonian h = random_sum(3, 5, rng, true, {0.0, 0.0});
  const std::vector<cdouble> psi = random_state(8, rng);
  const std::vector<double> times{0.0, 1.0, 0.0};
  EXPECT_THROW(walk(h, psi, times, 1e-8, {}, true, 1, nullptr, kMinGridVectors - 1), std::invalid_argument);
  EXPECT_THROW(walk(h, psi, times, 0.0, {}, true, 1), std::invalid_argument);
  // Time 0 before the walk moves is psi itself; back at 0 within rtol; psi = 0 stays 0.
  const Recorder r = walk(h, psi, times, 1e-10, {}, true, 1);
  EXPECT_TRUE(bitwise_equal(r.states.at(0).data(), psi.data(), 8));
  EXPECT_LE(testing::max_abs_diff(r.states.at(2).data(), psi.data(), 8), 1e-9);
  const Recorder zero = walk(h, std::vector<cdouble>(8), times, 1e-10, {}, true, 1);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(zero.states.at(k), std::vector<cdouble>(8));
  // The least room: windows of at most 7 vectors, outputs 3 at a time.
  const Hamiltonian wide = random_sum(8, 20, rng, true, {0.0, 0.0});
  const std::vector<cdouble> phi = random_state(256, rng);
  const std::vector<double> many{0.5, 1.0, 1.5, 2.0, 2.5, 3.0, -1.0};
  const Recorder tight = walk(wide, phi, many, 1e-9, {{wide, 20.0, true}}, true, 2, nullptr, kMinGridVectors);
  double norm_phi = 0.0;
  for (cdouble x : phi) norm_phi += std::norm(x);
  for (std::size_t k = 0; k < many.size(); ++k) {
    const StateBuffer exact = evolve_higham(wide, phi.data(), many[k], 1e-14, 1);
    EXPECT_LE(testing::max_abs_diff(tight.states.at(k).data(), exact.get(), 256), 1e-9 * std::sqrt(norm_phi)) << k;
  }
  // An eigenstate of H' (the Lanczos basis breaks down at once) over a long time.
  const Hamiltonian z({{{0.5, 0.0}, "IZI"}, {{0.25, 0.0}, "III"}});
  std::vector<cdouble> basis(8);
  basis[0] = 1.0;
  const Recorder far = walk(z, basis, {1e6}, 1e-10, {}, true, 1);
  EXPECT_LE(std::abs(far.states.at(0)[0] - std::exp(cdouble{0.0, -1e6 * 0.75})), 1e-9);
}

}  // namespace
}  // namespace morbizet
