// Masks, phases and the Hamiltonian's bookkeeping for the worked strings.

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include "morbizet/hamiltonian.hpp"

namespace morbizet {
namespace {

TEST(PauliWord, MasksAndDimensionFollowTheBitOrder) {
  struct Case {
    std::string s;
    std::uint64_t dim, x, z;
  };
  const Case cases[] = {
      {"", 1, 0, 0},          {"III", 8, 0, 0},     {"XZ", 4, 0b10, 0b01},
      {"Y", 2, 1, 1},         {"xyz", 8, 0, 0},     {"X\xc3\xa9", 8, 0b100, 0},
      {"ZIXY", 16, 0b0011, 0b1001},
  };
  for (const auto& c : cases) {
    const PauliWord w({1.0, 0.0}, c.s);
    EXPECT_EQ(w.num_qubits(), c.s.size()) << c.s;
    EXPECT_EQ(w.dim(), c.dim) << c.s;
    EXPECT_EQ(w.x_mask(), c.x) << c.s;
    EXPECT_EQ(w.z_mask(), c.z) << c.s;
    EXPECT_EQ(w.get_string(), c.s);
  }
}

TEST(PauliWord, PhaseIsIToTheNumberOfYs) {
  const cdouble a{2.0, 3.0};
  const cdouble expected[] = {a, {-3.0, 2.0}, {-2.0, -3.0}, {3.0, -2.0}, a};
  for (int ys = 0; ys <= 4; ++ys) {
    const PauliWord w(a, std::string(ys, 'Y'));
    EXPECT_EQ(w.phased_coeff(), expected[ys]) << ys << " Ys";
    EXPECT_EQ(w.get_coeff(), a);
  }
  EXPECT_EQ(PauliWord({2.0, 0.0}, "Y").phased_coeff(), (cdouble{0.0, 2.0}));
}

TEST(PauliWord, InfiniteCoefficientUsesThePlainProduct) {
  const double inf = std::numeric_limits<double>::infinity();
  const cdouble p = PauliWord({inf, 0.0}, "Y").phased_coeff();
  EXPECT_TRUE(std::isnan(p.real()));
  EXPECT_EQ(p.imag(), inf);
}

TEST(PauliWord, RejectsStringsPastSixtyTwoBytes) {
  EXPECT_NO_THROW(PauliWord({1.0, 0.0}, std::string(62, 'X')));
  EXPECT_EQ(PauliWord({1.0, 0.0}, std::string(62, 'Z')).dim(), std::uint64_t{1} << 62);
  try {
    PauliWord({1.0, 0.0}, std::string(63, 'I'));
    FAIL() << "63 bytes accepted";
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("62"), std::string::npos);
    EXPECT_NE(std::string(e.what()).find("63"), std::string::npos);
  }
}

TEST(Hamiltonian, SplitsIdentityWordsAndBoundsTheRest) {
  const Hamiltonian h({{{1.0, 0.0}, "II"}, {{2.0, 0.0}, "XX"}, {{0.0, 0.5}, "II"}, {{0.0, 0.0}, "ZI"}});
  EXPECT_EQ(h.num_terms(), 4u);
  EXPECT_EQ(h.num_qubits(), 2u);
  EXPECT_EQ(h.dim(), 4u);
  EXPECT_EQ(h.active_terms(), (std::vector<std::uint64_t>{1, 3}));
  EXPECT_EQ(h.identity_coeff(), (cdouble{1.0, 0.5}));
  EXPECT_EQ(h.norm_bound(), 2.0);

  const Hamiltonian g({{{3.0, 4.0}, "Z"}, {{-1.0, 0.0}, "X"}});
  EXPECT_EQ(g.norm_bound(), 6.0);
  EXPECT_EQ(g.identity_coeff(), (cdouble{0.0, 0.0}));

  // hypot neither overflows nor underflows where the squares would.
  EXPECT_DOUBLE_EQ(Hamiltonian({{{3e200, 4e200}, "X"}}).norm_bound(), 5e200);
  EXPECT_DOUBLE_EQ(Hamiltonian({{{3e-200, 4e-200}, "X"}}).norm_bound(), 5e-200);
}

TEST(Hamiltonian, RejectsEmptyAndRaggedWordLists) {
  EXPECT_THROW(Hamiltonian(std::vector<PauliWord>{}), std::invalid_argument);
  try {
    Hamiltonian({{{1.0, 0.0}, "XY"}, {{1.0, 0.0}, "ZZ"}, {{1.0, 0.0}, "ZZZ"}});
    FAIL() << "ragged words accepted";
  } catch (const std::invalid_argument& e) {
    const std::string msg = e.what();
    EXPECT_NE(msg.find("word 2"), std::string::npos) << msg;
    EXPECT_NE(msg.find("3 qubits"), std::string::npos) << msg;
    EXPECT_NE(msg.find("has 2"), std::string::npos) << msg;
  }
}

}  // namespace
}  // namespace morbizet
