#pragma once
// The basis of a symmetry sector, and the map between its states and the full space.
//
// A sector is spanned by the basis states whose number of 1 bits is `weight` (the
// conserved magnetisation or particle number), and/or by one eigenspace of the global
// flip F = X (x) X (x) ... (x) X. In a flip sector each state is the pair
// (|s> + flip * |~s>) / sqrt(2), named by its representative: of s and ~s, the one whose
// top bit (qubit 0, the leftmost character of a word) is 0. States are numbered by their
// representatives in ascending order, and a sector vector holds one amplitude per state.
//
// The number of a weight-w index is its rank among the weight-w indices, which by the
// combinatorial number system is sum over its set bits p_1 < ... < p_w of C(p_k, k)
// (Knuth, TAOCP 4A, 7.2.1.3, Theorem L). Up to 32 ranked bits it is two table lookups,
// one for the low half of the bits and one for the high half (whose bits' places k
// among all set bits follow from the weight): 2 * 2^16 entries at most, against the
// sector vectors' hundreds of millions. Past 32 bits it is summed bit by bit.

#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "morbizet/hamiltonian.hpp"

namespace morbizet {

class SectorSpace {
 public:
  static constexpr int no_weight = -1;

  // Throws std::invalid_argument for a weight outside [0, num_qubits], a flip other than
  // -1, 0 (none) or +1, a flip with a weight other than num_qubits / 2, and a sector of
  // no states or more than 2^62.
  SectorSpace(std::uint64_t num_qubits, int weight, int flip);

  std::uint64_t num_qubits() const { return n_; }
  int weight() const { return weight_; }
  int flip() const { return flip_; }
  std::uint64_t dim() const { return dim_; }

  // The representative of state k < dim().
  std::uint64_t state(std::uint64_t k) const;
  // The representative after s in ascending order (s not the last one).
  std::uint64_t next(std::uint64_t s) const {
    if (weight_ == no_weight) return s + 1;
    const std::uint64_t t = s | (s - 1);  // Gosper's hack: the next index of the same weight
    return (t + 1) | (((~t & (t + 1)) - 1) >> (std::countr_zero(s) + 1));
  }
  // The number of the state whose representative is s.
  std::uint64_t rank(std::uint64_t s) const {
    if (weight_ == no_weight) return s;
    if (!table_) return rank_by_bits(s);
    return low_[s & low_mask_] + high_[s >> low_bits_];
  }

  // Where a full-space index i lands: whether its state lies in the sector (its weight),
  // the number of that state, and the sign of i's amplitude within it (flip for the
  // partner whose top bit is 1, +1 otherwise).
  bool contains(std::uint64_t i) const {
    return weight_ == no_weight || static_cast<int>(std::popcount(i)) == weight_;
  }
  bool flipped(std::uint64_t i) const { return flip_ != 0 && (i >> (n_ - 1)) != 0; }
  std::uint64_t representative(std::uint64_t i) const { return flipped(i) ? i ^ all_ : i; }

  // The split of a representative into its high and low bits: every high part hi owns
  // one contiguous block of the numbering, from block_offset(hi), whose states are its
  // low parts of one weight (any, without a weight) in ascending order, each at
  // within_block(lo). Available with the tables (split()).
  bool split() const { return weight_ == no_weight || table_; }
  int ranked_bits() const { return static_cast<int>(flip_ != 0 ? n_ - 1 : n_); }
  int low_bits() const { return low_bits_; }
  std::uint64_t block_offset(std::uint64_t hi) const { return weight_ == no_weight ? hi << low_bits_ : high_[hi]; }
  std::uint64_t within_block(std::uint64_t lo) const { return weight_ == no_weight ? lo : low_[lo]; }

 private:
  std::uint64_t rank_by_bits(std::uint64_t s) const;

  std::uint64_t n_;
  int weight_, flip_;
  std::uint64_t dim_ = 0;
  std::uint64_t all_;
  bool table_ = false;
  int low_bits_ = 0;
  std::uint64_t low_mask_ = 0;
  std::vector<std::uint64_t> low_, high_;
};

// Why h does not map the sector into itself, or an empty string when it does. Checked on
// the words, not on states: in a flip sector every word must commute with F (an even
// number of Z and Y), and in a weight sector the words that flip the same qubits x must
// together vanish on every index whose flipped weight differs from its own. Coefficients
// that cancel to rounding (1e-12 of the group's size) count as cancelled.
std::string sector_violation(const Hamiltonian& h, const SectorSpace& space);

}  // namespace morbizet
