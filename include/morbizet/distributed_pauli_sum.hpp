#pragma once
// H' on a state vector spread over P = 2^p processes.
//
// Process r holds the 2^(n-p) amplitudes whose top p index bits equal r. A word whose X
// mask has top bits t maps them onto process r XOR t: every word with the same top bits
// needs the one exchange of amplitudes with that partner, and Z on top bits only
// changes signs. The action walks the words in runs of equal top bits, in order, and
// accumulates each run into the output before the next, exchanging with the run's
// partner slice by slice, so that the exchange buffer holds at most an eighth of the
// local slice (or one kernel block). Every amplitude therefore receives the same
// additions in the same order as on one process: in word order (as
// Hamiltonian::apply_nonidentity) or in the grouped order (as GroupedPauliSum), and the
// result is the same bit for bit for every process count.
//
// The sums the solvers need are combined over the processes through allgather and
// added in a fixed order; maxima are exact. All collective: every process makes the same
// calls in the same order.

#include <cstdint>
#include <vector>

#include "morbizet/communicator.hpp"
#include "morbizet/complex.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/pauli_sum_kernel.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

enum class ActionOrder { words, grouped };

class DistributedPauliSum {
 public:
  // Collective. Throws std::invalid_argument, with the same message on every process,
  // when the Hamiltonians differ between processes, when the process count is not a
  // power of two, or when it cuts the state into slices too small to hold whole leaves
  // of the pairwise sums (sum_block_size); std::bad_alloc, on every process, when one
  // cannot allocate its exchange buffer.
  DistributedPauliSum(const Hamiltonian& h, Communicator comm, ActionOrder order);

  std::uint64_t dim() const { return dim_; }
  cdouble identity_coeff() const { return identity_coeff_; }
  double norm_bound() const { return norm_bound_; }
  std::uint64_t local_dim() const { return local_dim_; }
  std::uint64_t local_offset() const { return static_cast<std::uint64_t>(comm_.rank()) * local_dim_; }
  const Communicator& communicator() const { return comm_; }

  // out = H' * in on this process's slices; collective.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const;

  // Gershgorin bounds of H' over the whole state (GroupedPauliSum::spectral_bounds),
  // each process bounding its rows; collective.
  std::pair<double, double> spectral_bounds(std::int32_t num_threads) const;

  void max_across(double* values, int count) const;
  void sum_across_in_rank_order(double* values, int count) const;
  void sum_across_pairwise(double* values, int count) const;
  bool all_succeeded(bool ok) const { return !comm_.any(!ok); }

  // Bytes this process has sent to its partners so far, and per application.
  std::uint64_t bytes_sent() const { return bytes_sent_; }
  std::uint64_t bytes_per_application() const { return bytes_per_application_; }

 private:
  // Consecutive words (or groups) [begin, end) with the same top X bits, and how their
  // partner's amplitudes are fetched: slices of `slice` amplitudes, one per distinct
  // high part h of the words' local X masks, for output slice a the partner's a ^ h.
  struct Run {
    std::uint64_t top;
    std::size_t begin;
    std::size_t end;
    std::uint64_t slice;
    std::vector<std::uint64_t> highs;
    std::vector<std::size_t> high_of;  // per word (or group) of the run: its index in highs
  };

  void accumulate(const Run& run, const SliceSource* sources, cdouble* out, std::uint64_t out_begin,
                  std::uint64_t len, bool clear, std::int32_t threads) const;
  std::vector<double> gather(const double* values, int count) const;

  Communicator comm_;
  ActionOrder order_;
  std::uint64_t dim_ = 0;
  std::uint64_t local_dim_ = 0;
  unsigned local_bits_ = 0;
  cdouble identity_coeff_{0.0, 0.0};
  double norm_bound_ = 0.0;
  std::vector<PauliTerm> terms_;  // word order
  GroupedPauliSum grouped_;       // grouped order
  std::vector<Run> runs_;
  mutable StateBuffer exchange_;
  mutable std::uint64_t bytes_sent_ = 0;
  std::uint64_t bytes_per_application_ = 0;
};

// H * psi (identity part included) on this process's slice, in the grouped order.
StateBuffer apply_hamiltonian(const DistributedPauliSum& h, const cdouble* psi, std::int32_t num_threads);

// <psi|H|psi> over the whole state, the same on every process and the same bit for bit
// as expectation_value of the whole state on one process (h in the grouped order).
cdouble expectation_value(const DistributedPauliSum& h, const cdouble* psi, std::int32_t num_threads);

}  // namespace morbizet
