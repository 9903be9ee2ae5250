#pragma once
// H' on the states of a symmetry sector, applied by gathering: every output amplitude
// reads its partners through the sector's numbering, so a sector vector is never
// embedded into the full space.
//
// The output amplitude of the state r (its representative) is sum over the groups of
// words that flip the same qubits x of g_x(i) * sign(i) * in[number of i's state], with
// i = r ^ x the index the group maps onto r, g_x(i) = sum of the group's phased
// coefficients times (-1)^popcount(i & z), and sign(i) the flip sign of the partner
// whose top bit is 1. In a flip sector this is sqrt(2) <r|H'|psi> for the embedded psi,
// which is the sector amplitude. Partners outside the weight are passed over, and in a
// flip sector the words that anticommute with the flip are left out: for an operator
// that maps the sector into itself neither changes anything, and for any other one what
// remains is the part of it that maps the sector into itself, which is all that an
// expectation value in the sector sees.
//
// Each amplitude is summed in group order (ascending x) from +0, the words of a group
// in word order first, so the result is the same bit for bit for every thread count.

#include <cstdint>
#include <utility>
#include <vector>

#include "morbizet/checkpoint.hpp"
#include "morbizet/complex.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/sector_space.hpp"

namespace morbizet {

class SectorPauliSum {
 public:
  // The space must outlive the operator.
  SectorPauliSum(const Hamiltonian& h, const SectorSpace& space);

  std::uint64_t dim() const { return space_.dim(); }
  cdouble identity_coeff() const { return identity_coeff_; }
  double norm_bound() const { return norm_bound_; }
  const SectorSpace& space() const { return space_; }
  std::uint64_t num_words() const { return words_.size(); }
  std::uint64_t num_groups() const { return groups_.size(); }

  // out = H' * in over dim() amplitudes; in and out must not overlap.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const;
  // The same, calling checkpoint() between slices of the output.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                         const Checkpoint& checkpoint) const;

  // H' * in handed over a unit at a time (then.unit amplitudes, aligned), formed a slice
  // at a time in cache: the values apply_nonidentity gives, bit for bit.
  void apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t num_threads,
                              const Checkpoint& checkpoint = {}) const;

  // Gershgorin bounds of the spectrum of a Hermitian H' on the sector: per row the
  // diagonal (the entries that map a state onto itself) and the moduli of the others.
  std::pair<double, double> spectral_bounds(std::int32_t num_threads) const;
  std::pair<double, double> spectral_bounds(std::int32_t num_threads, const Checkpoint& checkpoint) const;

 private:
  // The words of the block plan on the ranked bits: Z masks split into high and low parts.
  struct PlanWord {
    std::uint64_t z_hi, z_lo;
    double re, im;
  };
  // A group that maps block hi ^ x_hi onto block hi position by position; plain when
  // its signs do not depend on the low bits (one coefficient per block).
  struct BlockGroup {
    std::uint64_t x_hi;
    std::uint32_t begin, end;
    bool plain;
  };
  // An entry of a listed group: output position, source position, and bit w set where
  // word w's low Z bits give the source a minus sign.
  struct ListEntry {
    std::uint32_t row, col, signs;
  };
  struct ListedGroup {
    std::uint64_t x_hi, x_lo;
    std::uint32_t begin, end;
    // Per output weight of the low part c and shift s of the source's: lists[c * (2f + 1)
    // + s + f], f the number of low bits flipped.
    std::vector<std::vector<ListEntry>> lists;
  };
  // The groups that act alike in every block of one weight of the low part, as one
  // sparse matrix (rows in order, each row's entries in group order).
  struct StaticMatrix {
    std::vector<std::uint32_t> start, cols;
    std::vector<double> re, im;
  };

  struct Plan {
    bool ready = false;
    bool real = false;  // every phased coefficient real
    int low = 0, classes = 0;
    std::vector<std::vector<std::uint64_t>> states;  // the low parts of each weight, ascending
    std::vector<PlanWord> words;
    std::vector<StaticMatrix> matrices;  // per weight of the low part
    std::vector<std::uint64_t> blocks;   // the high parts that hold states, ascending
    std::vector<std::uint64_t> offsets;  // where each begins, and the dimension last
    std::vector<BlockGroup> block_groups;
    std::vector<ListedGroup> listed_groups;
    // Parts of groups left to the gathering path, with their own words.
    std::vector<FlipGroup> gathered_groups;
    std::vector<GroupWord> gathered_words;
  };

  void plan_blocks();
  std::pair<double, double> block_bounds(std::int32_t num_threads, const Checkpoint& checkpoint) const;
  void apply_blocks(const cdouble* in, cdouble* out, std::int32_t num_threads, const Checkpoint& checkpoint) const;
  // body(begin, end) over slices of `slice` output amplitudes on the threads, with a
  // checkpoint between parallel regions.
  template <class Body>
  void in_slices(std::uint64_t slice, std::int32_t num_threads, const Checkpoint& checkpoint, Body&& body) const;
  void range_rows(const cdouble* in, std::uint64_t first, std::uint64_t last, cdouble* o) const;
  void block_rows(const cdouble* in, std::uint64_t k, std::uint64_t r0, std::uint64_t r1, cdouble* o) const;
  // acc += the groups' terms of the output amplitude k, representative r, gathered
  // through the sector's numbering.
  void gather_row(const std::vector<FlipGroup>& groups, const GroupWord* words, const cdouble* in, std::uint64_t r,
                  std::uint64_t k, cdouble& acc) const;
  template <class Row>
  void rows(std::uint64_t begin, std::uint64_t end, Row&& row) const;

  const SectorSpace& space_;
  cdouble identity_coeff_;
  double norm_bound_;
  std::vector<FlipGroup> groups_;
  std::vector<GroupWord> words_;
  Plan plan_;
};

}  // namespace morbizet
