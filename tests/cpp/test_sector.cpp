// The numbering of a sector's states and the sector's action, against the whole
// space's grouped action on embedded vectors.

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "dense_reference.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/sector_pauli_sum.hpp"
#include "morbizet/sector_space.hpp"

namespace morbizet {
namespace {

using testing::bitwise_equal;

struct Case {
  std::uint64_t n;
  int weight, flip;
};

const Case kCases[] = {{6, 3, 0}, {6, 0, 0}, {6, 6, 0}, {7, 2, 0}, {9, 4, 0}, {6, SectorSpace::no_weight, 1},
                       {7, SectorSpace::no_weight, -1}, {8, 4, 1}, {10, 5, -1}, {12, 6, 0}};

TEST(SectorSpace, NumbersItsStatesInAscendingOrder) {
  for (const Case& c : kCases) {
    const SectorSpace s(c.n, c.weight, c.flip);
    std::uint64_t count = 0, previous = 0;
    for (std::uint64_t i = 0; i < (std::uint64_t{1} << c.n); ++i) {
      if (!s.contains(i) || s.flipped(i)) continue;
      if (count > 0) EXPECT_EQ(s.next(previous), i);
      EXPECT_EQ(s.state(count), i);
      EXPECT_EQ(s.rank(i), count);
      previous = i;
      ++count;
    }
    EXPECT_EQ(count, s.dim()) << c.n << " " << c.weight << " " << c.flip;
  }
  // Past 32 ranked bits the ranks are summed bit by bit.
  const SectorSpace big(40, 3, 0);
  EXPECT_EQ(big.dim(), 9880u);
  std::uint64_t s = big.state(0);
  for (std::uint64_t k = 0; k < big.dim(); ++k, s = k < big.dim() ? big.next(s) : s) {
    ASSERT_EQ(big.rank(s), k);
    ASSERT_EQ(big.state(k), s);
  }
  EXPECT_THROW(SectorSpace(6, 2, 1), std::invalid_argument);
  EXPECT_THROW(SectorSpace(6, 7, 0), std::invalid_argument);
}

// Hopping on random bonds (near, far and across the halves of the bits), hopping
// through a Z string, an (XY - YX) Z current and ZZ couplings: every kind of group the
// block plan treats apart, conserving the weight and the flip.
Hamiltonian conserving(std::uint64_t n, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  std::vector<PauliWord> words;
  const auto word = [&](std::initializer_list<std::pair<std::uint64_t, char>> ops) {
    std::string s(n, 'I');
    for (auto [q, p] : ops) s[q] = p;
    return s;
  };
  for (std::uint64_t a = 0; a + 1 < n; ++a) {
    const std::uint64_t b = (a * 5 + 3) % n == a ? (a + 1) % n : (a * 5 + 3) % n;
    const double j = g(rng);
    words.emplace_back(cdouble{j, 0.0}, word({{a, 'X'}, {b, 'X'}}));
    words.emplace_back(cdouble{j, 0.0}, word({{a, 'Y'}, {b, 'Y'}}));
    words.emplace_back(cdouble{g(rng), 0.0}, word({{a, 'Z'}, {a + 1, 'Z'}}));
  }
  const double c = g(rng), d = g(rng);
  words.emplace_back(cdouble{c, 0.0}, word({{0, 'X'}, {1, 'Z'}, {2, 'Z'}, {3, 'X'}}));
  words.emplace_back(cdouble{c, 0.0}, word({{0, 'Y'}, {1, 'Z'}, {2, 'Z'}, {3, 'Y'}}));
  words.emplace_back(cdouble{d, 0.0}, word({{1, 'X'}, {n - 2, 'Y'}, {2, 'Z'}}));
  words.emplace_back(cdouble{-d, 0.0}, word({{1, 'Y'}, {n - 2, 'X'}, {2, 'Z'}}));
  words.emplace_back(cdouble{0.25, 0.0}, std::string(n, 'I'));
  return Hamiltonian(std::move(words));
}

// The full vector of a sector vector: (|s> + flip |~s>) / sqrt(2) per state in a flip sector.
std::vector<cdouble> embed(const SectorSpace& s, const std::vector<cdouble>& v) {
  std::vector<cdouble> full(std::uint64_t{1} << s.num_qubits());
  const double r = s.flip() != 0 ? 1.0 / std::sqrt(2.0) : 1.0;
  const std::uint64_t all = full.size() - 1;
  for (std::uint64_t k = 0; k < s.dim(); ++k) {
    full[s.state(k)] = r * v[k];
    if (s.flip() != 0) full[s.state(k) ^ all] = (s.flip() * r) * v[k];
  }
  return full;
}

struct Collect {
  std::vector<cdouble>* out;
  static void call(void* self, const cdouble* values, std::uint64_t begin, std::uint64_t len) {
    std::copy(values, values + len, static_cast<Collect*>(self)->out->begin() + static_cast<std::ptrdiff_t>(begin));
  }
};

TEST(SectorPauliSum, IsTheWholeSpaceActionOnEmbeddedStates) {
  std::mt19937_64 rng(20261210);
  for (const Case& c : kCases) {
    const Hamiltonian h = conserving(c.n, rng);
    ASSERT_EQ(sector_violation(h, SectorSpace(c.n, c.weight, c.flip)), "");
    const SectorSpace space(c.n, c.weight, c.flip);
    const SectorPauliSum op(h, space);
    const GroupedPauliSum whole(h);
    const std::vector<cdouble> v = testing::random_state(space.dim(), rng);
    std::vector<cdouble> out(space.dim()), full_out(whole.dim());
    op.apply_nonidentity(v.data(), out.data(), 2);
    whole.apply_nonidentity(embed(space, v).data(), full_out.data(), 1);
    const std::vector<cdouble> expected = embed(space, out);
    EXPECT_LT(testing::max_abs_diff(expected.data(), full_out.data(), full_out.size()), 1e-12);
    // The same bits for every thread count and when handed over unit by unit.
    for (int threads : {1, 3}) {
      std::vector<cdouble> again(space.dim());
      op.apply_nonidentity(v.data(), again.data(), threads);
      EXPECT_TRUE(bitwise_equal(again.data(), out.data(), out.size()));
    }
    std::vector<cdouble> handed(space.dim());
    Collect collect{&handed};
    op.apply_nonidentity_then(v.data(), BlockEpilogue{&Collect::call, &collect, 16}, 2);
    EXPECT_TRUE(bitwise_equal(handed.data(), out.data(), out.size()));
    // The Gershgorin bounds hold the spectrum of the sector's matrix (small ones: the
    // reference eigensolver is slow).
    if (space.dim() > 140) continue;
    testing::Dense m(space.dim() * space.dim());
    for (std::uint64_t k = 0; k < space.dim(); ++k) {
      std::vector<cdouble> e(space.dim()), col(space.dim());
      e[k] = 1.0;
      op.apply_nonidentity(e.data(), col.data(), 1);
      for (std::uint64_t r = 0; r < space.dim(); ++r) m[r * space.dim() + k] = col[r];
    }
    const std::vector<double> eig = testing::hermitian_eigenvalues(m, space.dim());
    const auto [lo, hi] = op.spectral_bounds(2);
    EXPECT_LE(lo, eig.front() + 1e-9);
    EXPECT_GE(hi, eig.back() - 1e-9);
  }
}

TEST(SectorViolation, NamesTheFirstWordThatLeavesTheSector) {
  const SectorSpace weight(4, 2, 0), flip(4, SectorSpace::no_weight, 1);
  const Hamiltonian hop({{{1.0, 0.0}, "XXII"}, {{1.0, 0.0}, "YYII"}, {{0.5, 0.0}, "ZIII"}});
  EXPECT_EQ(sector_violation(hop, weight), "");
  EXPECT_NE(sector_violation(hop, flip).find("'ZIII' does not commute"), std::string::npos);
  const Hamiltonian half({{{1.0, 0.0}, "ZZII"}, {{1.0, 0.0}, "IXYI"}});
  EXPECT_NE(sector_violation(half, weight).find("'IXYI'"), std::string::npos);
  // XY - YX conserves the weight; a cancelling pair of words counts as none.
  EXPECT_EQ(sector_violation(Hamiltonian({{{1.0, 0.0}, "XYII"}, {{-1.0, 0.0}, "YXII"}}), weight), "");
  EXPECT_EQ(sector_violation(Hamiltonian({{{1.0, 0.0}, "XIII"}, {{-1.0, 0.0}, "XIII"}}), weight), "");
}

}  // namespace
}  // namespace morbizet
