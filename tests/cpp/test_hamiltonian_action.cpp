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

}  // namespace
}  // namespace morbizet
