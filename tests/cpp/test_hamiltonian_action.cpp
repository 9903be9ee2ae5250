// The action of H' against dense Kronecker products, and its independence of the
// thread count.

#include <gtest/gtest.h>

#include <random>

#include "dense_reference.hpp"
#include "morbizet/checkpoint.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/interruptible_hamiltonian.hpp"

namespace morbizet {
namespace {

using testing::bitwise_equal;

std::vector<cdouble> apply(const Hamiltonian& h, const std::vector<cdouble>& in, int threads) {
  std::vector<cdouble> out(h.dim(), cdouble{7.0, 7.0});  // must be overwritten
  h.apply_nonidentity(in.data(), out.data(), threads);
  return out;
}

Hamiltonian random_hamiltonian(std::size_t n, std::size_t terms, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  for (std::size_t k = 0; k < terms; ++k) words.emplace_back(cdouble{g(rng), g(rng)}, testing::random_string(n, rng));
  return Hamiltonian(std::move(words));
}

TEST(HamiltonianAction, WorkedExampleXZ) {
  const Hamiltonian h({{{1.0, 0.0}, "XZ"}});
  std::vector<cdouble> e1(4), e0(4);
  e1[1] = 1.0;
  e0[0] = 1.0;
  EXPECT_EQ(apply(h, e1, 1), (std::vector<cdouble>{0.0, 0.0, 0.0, -1.0}));
  EXPECT_EQ(apply(h, e0, 1), (std::vector<cdouble>{0.0, 0.0, 1.0, 0.0}));
  // Y with coefficient 1 maps |0> to i|1>.
  EXPECT_EQ(apply(Hamiltonian({{{1.0, 0.0}, "Y"}}), {1.0, 0.0}, 1), (std::vector<cdouble>{0.0, {0.0, 1.0}}));
}

TEST(HamiltonianAction, IdentityOnlyGivesZero) {
  const Hamiltonian h({{{2.5, 0.0}, "II"}});
  EXPECT_EQ(apply(h, {1.0, 2.0, 3.0, 4.0}, 2), std::vector<cdouble>(4));
  EXPECT_EQ(apply(Hamiltonian({{{2.0, 0.0}, ""}}), {5.0}, 1), std::vector<cdouble>(1));
}

TEST(HamiltonianAction, MatchesKroneckerProductsOfRandomWords) {
  std::mt19937_64 rng(20261209);
  for (std::size_t n = 1; n <= 8; ++n) {
    const Hamiltonian h = random_hamiltonian(n, 6, rng);
    testing::Dense dense(h.dim() * h.dim());
    for (std::uint64_t k : h.active_terms()) {
      const auto& w = h.get_pwords()[k];
      const auto m = testing::word_matrix(w.coeff(), w.get_string());
      for (std::size_t e = 0; e < dense.size(); ++e) dense[e] += m[e];
    }
    const auto psi = testing::random_state(h.dim(), rng);
    const auto expected = testing::matvec(dense, psi);
    const auto got = apply(h, psi, 2);
    EXPECT_LT(testing::max_abs_diff(got.data(), expected.data(), h.dim()), 1e-12) << "n = " << n;
  }
}

TEST(HamiltonianAction, BitIdenticalForEveryThreadCount) {
  std::mt19937_64 rng(7);
  for (std::size_t n : {3, 10, 14}) {
    const Hamiltonian h = random_hamiltonian(n, 20, rng);
    const auto psi = testing::random_state(h.dim(), rng);
    const auto serial = apply(h, psi, 0);
    for (int threads : {-1, 1, 2, 3, static_cast<int>(h.dim()) + 1, 2147483647, -2147483647 - 1}) {
      EXPECT_TRUE(bitwise_equal(serial.data(), apply(h, psi, threads).data(), h.dim()))
          << "n = " << n << ", threads = " << threads;
    }
  }
}

// The blocked kernel against the word-by-word reference, bit for bit: sizes around the
// block and register widths, masks on the low bits that the registers permute, and
// every thread count.
TEST(HamiltonianAction, BlockedKernelEqualsWordByWordReference) {
  std::mt19937_64 rng(99);
  for (std::size_t n : {1, 2, 3, 4, 5, 10, 11, 12, 15}) {
    const Hamiltonian h = random_hamiltonian(n, 40, rng);
    auto psi = testing::random_state(h.dim(), rng);
    psi[0] = {0.0, -0.0};  // signed zeros must come out alike too
    std::vector<cdouble> reference(h.dim());
    for (std::uint64_t k : h.active_terms()) h.get_pwords()[k].apply_add(psi.data(), reference.data(), 1);
    for (int threads : {0, 1, 2, 5}) {
      EXPECT_TRUE(bitwise_equal(reference.data(), apply(h, psi, threads).data(), h.dim()))
          << "n = " << n << ", threads = " << threads;
    }
  }
}

// The actions that stop between slices give the same bits as the whole-vector ones, and
// call the checkpoint once between each pair of slices.
TEST(HamiltonianAction, SlicedActionsEqualTheWholeOnes) {
  std::mt19937_64 rng(21);
  const Hamiltonian h = random_hamiltonian(19, 12, rng);
  const auto psi = testing::random_state(h.dim(), rng);
  int calls = 0;
  const Checkpoint count{[](void* c) { ++*static_cast<int*>(c); }, &calls};
  const auto whole = apply(h, psi, 2);
  std::vector<cdouble> sliced(h.dim());
  InterruptibleHamiltonian(h).apply_nonidentity(psi.data(), sliced.data(), 2, count);
  EXPECT_TRUE(bitwise_equal(whole.data(), sliced.data(), h.dim()));
  EXPECT_EQ(calls, 1);
  const GroupedPauliSum g(h);
  std::vector<cdouble> grouped_whole(h.dim()), grouped_sliced(h.dim());
  g.apply_nonidentity(psi.data(), grouped_whole.data(), 2);
  g.apply_nonidentity(psi.data(), grouped_sliced.data(), 2, count);
  EXPECT_TRUE(bitwise_equal(grouped_whole.data(), grouped_sliced.data(), h.dim()));
  EXPECT_EQ(calls, 2);

  // Slices are sized by work: with 4,000 words, 2^12 amplitudes, so a 14-qubit action
  // stops 3 times, and so does the pass over the Gershgorin bounds; the same bits.
  EXPECT_EQ(checkpoint_slice(std::uint64_t{1} << 14, 4000), std::uint64_t{1} << 12);
  EXPECT_EQ(checkpoint_slice(std::uint64_t{1} << 30, 1), std::uint64_t{1} << 18);
  EXPECT_EQ(checkpoint_slice(8, 100000), 8u);
  const Hamiltonian many = random_hamiltonian(14, 4000, rng);
  const auto phi = testing::random_state(many.dim(), rng);
  calls = 0;
  std::vector<cdouble> many_sliced(many.dim());
  InterruptibleHamiltonian(many).apply_nonidentity(phi.data(), many_sliced.data(), 2, count);
  EXPECT_TRUE(bitwise_equal(apply(many, phi, 2).data(), many_sliced.data(), many.dim()));
  const GroupedPauliSum mg(many);
  EXPECT_EQ(mg.spectral_bounds(2, count), mg.spectral_bounds(2));
  EXPECT_EQ(calls, 6);
}

// Many words on few X masks, each mask with words whose Z masks lie within the low 11
// bits (which the grouped action sums into a table), straddle bit 11, or lie above it;
// complex coefficients, so every product mode is taken. The diagonal and the first flip
// mask have 40 words each, enough for the per-block Walsh-Hadamard transform.
Hamiltonian few_masks(std::size_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  const std::uint64_t all = (std::uint64_t{1} << n) - 1;
  for (int m = 0; m < 5; ++m) {
    const std::uint64_t x = m == 0 ? 0 : rng() & all;
    for (int k = 0; k < (m < 2 ? 40 : 9); ++k) {
      std::uint64_t z = rng() & all;
      if (k % 3 == 0) z &= 0x7ff;
      if (k % 3 == 1) z &= ~std::uint64_t{0x7ff};
      std::string s(n, 'I');
      for (std::size_t q = 0; q < n; ++q) {
        const bool bx = (x >> q) & 1, bz = (z >> q) & 1;
        s[n - 1 - q] = bx ? (bz ? 'Y' : 'X') : (bz ? 'Z' : 'I');
      }
      words.emplace_back(m == 2 ? cdouble{g(rng), 0.0} : cdouble{g(rng), g(rng)}, s);
    }
  }
  for (int k = 0; k < 10; ++k) words.emplace_back(cdouble{g(rng), 0.0}, testing::random_string(n, rng));
  return Hamiltonian(std::move(words));
}

// The grouped action against the word-order one (to rounding), and its own bits: the
// same for every thread count, for the whole vector, checkpointed slices, a unit at a
// time, and the groups added in two runs as a distributed action adds them; sizes
// below, at and above the tile, block and table widths. Its Gershgorin bounds are the
// dense matrix's discs.
TEST(GroupedAction, AgreesWithWordOrderAndKeepsItsBitsUnderEveryCut) {
  std::mt19937_64 rng(1912);
  for (std::size_t n : {1, 3, 5, 6, 8, 11, 12, 14}) {
    const Hamiltonian h = few_masks(n, rng);
    const GroupedPauliSum g(h);
    auto psi = testing::random_state(h.dim(), rng);
    std::vector<cdouble> got(h.dim()), other(h.dim());
    g.apply_nonidentity(psi.data(), got.data(), 1);
    const auto expected = apply(h, psi, 1);
    double scale = 0.0;
    for (const cdouble& v : expected) scale = std::max(scale, std::abs(v));
    EXPECT_LT(testing::max_abs_diff(got.data(), expected.data(), h.dim()), 1e-13 * scale) << "n = " << n;
    for (int threads : {2, 3, 7}) {
      g.apply_nonidentity(psi.data(), other.data(), threads);
      EXPECT_TRUE(bitwise_equal(got.data(), other.data(), h.dim())) << "n = " << n << ", threads = " << threads;
    }
    g.apply_nonidentity(psi.data(), other.data(), 2, Checkpoint{});
    EXPECT_TRUE(bitwise_equal(got.data(), other.data(), h.dim())) << "n = " << n;
    const SliceSource whole{psi.data(), 0, 0};
    const std::size_t half = g.groups().size() / 2;
    g.accumulate(0, half, &whole, 0, h.dim() - 1, other.data(), 0, h.dim(), true, 2);
    g.accumulate(half, g.groups().size(), &whole, 0, h.dim() - 1, other.data(), 0, h.dim(), false, 3);
    EXPECT_TRUE(bitwise_equal(got.data(), other.data(), h.dim())) << "n = " << n;
    struct Units {
      std::vector<cdouble>* out;
      static void take(void* self, const cdouble* values, std::uint64_t begin, std::uint64_t len) {
        std::copy(values, values + len, static_cast<Units*>(self)->out->begin() + static_cast<std::ptrdiff_t>(begin));
      }
    } units{&other};
    std::fill(other.begin(), other.end(), cdouble{});
    g.apply_nonidentity_then(psi.data(), BlockEpilogue{&Units::take, &units, std::min<std::uint64_t>(h.dim(), 64)}, 2);
    EXPECT_TRUE(bitwise_equal(got.data(), other.data(), h.dim())) << "n = " << n;
    // New weights on the same words: the tables and transforms follow them, bit for bit
    // as a grouping made afresh.
    std::vector<PauliWord> scaled;
    double factor = 0.5;
    for (std::uint64_t k = 0; k < h.num_terms(); ++k) {
      const PauliWord& w = h.get_pwords()[k];
      scaled.emplace_back(w.coeff() * (factor += 0.25), w.get_string());
    }
    const Hamiltonian h2(std::move(scaled));
    std::vector<cdouble> fresh(h.dim()), reweighted(h.dim());
    GroupedPauliSum(h2).apply_nonidentity(psi.data(), fresh.data(), 2);
    g.reweighted(h2).apply_nonidentity(psi.data(), reweighted.data(), 3);
    EXPECT_TRUE(bitwise_equal(fresh.data(), reweighted.data(), h.dim())) << "n = " << n;
    if (n <= 8) {
      // Hermitian parts only: the discs of a non-Hermitian sum are not the bounds'.
      std::vector<PauliWord> real_words;
      for (std::uint64_t k : h.active_terms()) {
        real_words.emplace_back(cdouble{h.get_pwords()[k].coeff().real(), 0.0}, h.get_pwords()[k].get_string());
      }
      const Hamiltonian hr(std::move(real_words));
      const auto dense = testing::sum_of_words(hr.get_pwords(), hr.dim());
      double lo = 1e300, hi = -1e300;
      for (std::uint64_t r = 0; r < hr.dim(); ++r) {
        double radius = 0.0;
        for (std::uint64_t c = 0; c < hr.dim(); ++c) {
          if (c != r) radius += std::abs(dense[r * hr.dim() + c]);
        }
        const double centre = dense[r * hr.dim() + r].real() - hr.identity_coeff().real();
        lo = std::min(lo, centre - radius);
        hi = std::max(hi, centre + radius);
      }
      const auto [glo, ghi] = GroupedPauliSum(hr).spectral_bounds(2);
      EXPECT_NEAR(glo, lo, 1e-12 * (1 + std::abs(lo))) << "n = " << n;
      EXPECT_NEAR(ghi, hi, 1e-12 * (1 + std::abs(hi))) << "n = " << n;
    }
  }
}

}  // namespace
}  // namespace morbizet
