#pragma once
// H' with its words gathered by the qubits they flip.
//
// Words with the same X mask x read the same input amplitude for every output one: each
// maps |i> to (+-) its phased coefficient times |i ^ x>, and only the sign, the parity
// of i & z, differs between them. Summed per amplitude first, the group costs one
// gather and one product where the words cost one of each per word: the XX and YY words
// of a bond share one, and all Z-only words form a single diagonal. The groups are
// applied in ascending x, which also is the order in which a state cut into slices by
// its top index bits meets them (see accumulate).
//
// The result agrees with Hamiltonian::apply_nonidentity to rounding, not bit for bit:
// the words of a group are added before the product, not after. Its own roundings are
// fixed: per amplitude, a group's coefficient is the sum of the words whose Z mask has
// no bit among the low 11 (their sign is constant over each aligned run of 2^11
// amplitudes), in word order, then the words with bits both below and above bit 11, in
// word order, then (for a group with several words inside the low 11 bits) those words'
// sum, formed once per operator for every value of the low bits. A group with 32 or more
// words that have low bits sums those instead by their low Z pattern (in word order, with
// the signs of the block's high bits) and takes their total at each low index from a
// Walsh-Hadamard transform in butterfly order, added to the sum of its other words. The
// product and the sum over groups, in group order from +0, follow. So the result is the same bit for bit
// for every thread count, vector width and cut of the state into slices or runs of
// groups. The output is formed a few registers at a time while a batch of groups adds
// to it, so it is read and written once per batch rather than once per group.

#include <cstdint>
#include <utility>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/checkpoint.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/pauli_sum_kernel.hpp"

namespace morbizet {

// One word of a group: its Z mask and phased coefficient.
struct GroupWord {
  std::uint64_t z;
  double re;
  double im;
};

// The words [begin, end) of the word list, all with X mask x; has_re / has_im say
// whether any of them has a non-zero real / imaginary phased coefficient.
struct FlipGroup {
  std::uint64_t x;
  std::uint32_t begin;
  std::uint32_t end;
  bool has_re;
  bool has_im;
};

class GroupedPauliSum {
 public:
  // The non-identity words of h, grouped; the identity part and the norm bound are h's.
  explicit GroupedPauliSum(const Hamiltonian& h);

  // The same grouping with the coefficients of h, which must have the words of the
  // Hamiltonian this one was built from in the same order (std::invalid_argument
  // otherwise): a new weighting of the same words costs a copy of the word list, not a
  // regrouping.
  GroupedPauliSum reweighted(const Hamiltonian& h) const;

  std::uint64_t dim() const { return dim_; }
  cdouble identity_coeff() const { return identity_coeff_; }
  double norm_bound() const { return norm_bound_; }

  // out = H' * in over dim() amplitudes; in and out must not overlap. The same bit for
  // bit for every num_threads.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const;
  // The same, a slice of the output at a time, with checkpoint() between slices.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                         const Checkpoint& checkpoint) const;

  // H' * in handed over a unit at a time, without ever being stored whole: for every
  // aligned unit of then.unit amplitudes (at least one kernel block, at most dim()),
  // then.call(context, values, begin, unit) with values[k] the amplitude begin + k of
  // H' * in, from the thread that formed it; checkpoint() is called between slices. The
  // values are those apply_nonidentity gives, bit for bit.
  void apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t num_threads,
                              const Checkpoint& checkpoint = {}) const;

  // Bounds [lo, hi] that hold every eigenvalue of a Hermitian H': the extremes of its
  // Gershgorin discs, centre the diagonal (the Z-only words) and radius the moduli of a
  // row's other entries (one per group, the group's words summed). One pass over the
  // indices without touching a state, about the work of one application; tight where
  // large diagonals come with small off-diagonal rows (the Heisenberg chain's top).
  std::pair<double, double> spectral_bounds(std::int32_t num_threads) const;
  // The same, calling checkpoint between slices of the rows.
  std::pair<double, double> spectral_bounds(std::int32_t num_threads, const Checkpoint& checkpoint) const;
  // The same over the rows [begin, begin + len) of a slice whose index bits above
  // local_mask are top (a process's share of a distributed state).
  std::pair<double, double> gershgorin_bounds(std::uint64_t local_mask, std::uint64_t top, std::uint64_t begin,
                                              std::uint64_t len, std::int32_t num_threads) const;

  const std::vector<FlipGroup>& groups() const { return groups_; }
  const std::vector<GroupWord>& words() const { return words_; }
  std::uint64_t num_words() const { return words_.size(); }

  // The building block of a distributed action. For every output amplitude j of the
  // local indices [out_begin, out_begin + len) (whole blocks of block_size(), or one
  // smaller slice), adds the contributions of groups [g_begin, g_end) in order, group g
  // reading sources[(g - g_begin) * source_stride] at local index j ^ (x & local_mask);
  // out[0] is the amplitude at out_begin. With clear the amplitudes start from zero.
  void accumulate(std::size_t g_begin, std::size_t g_end, const SliceSource* sources, std::size_t source_stride,
                  std::uint64_t local_mask, cdouble* out, std::uint64_t out_begin, std::uint64_t len, bool clear,
                  std::int32_t num_threads) const;

  // The output amplitudes handled together: 2^11 (a first-level cache's worth), or
  // fewer for small slices.
  static std::uint64_t block_size(std::uint64_t len);

 private:
  std::uint64_t dim_;
  cdouble identity_coeff_;
  double norm_bound_;
  std::vector<FlipGroup> groups_;
  std::vector<GroupWord> words_;
  std::vector<std::uint64_t> source_;  // the index in the Hamiltonian's words of each of words_
  std::uint64_t num_source_words_;
  // Per group (where it pays), the sum of its words whose Z mask lies within the low 11
  // bits, for every value of those bits: re then im, each entry stored twice.
  std::vector<double> table_data_;
  std::vector<std::int64_t> table_at_;  // where a group's table starts; -1 for none

  void build_tables();
};

}  // namespace morbizet
