#pragma once
// An operator that counts the applications of another and calls a checkpoint before
// each one: the library's own account of the work a solver does, and the place where a
// long solve can be stopped (a checkpoint that throws unwinds the solver, which frees
// everything it holds).

#include <cstdint>

#include "morbizet/checkpoint.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"

namespace morbizet {

// An operator that can also stop part-way through an application: it calls the
// checkpoint between slices of the output (so that even an application that takes
// seconds can be stopped within a fraction of one).
template <class Op>
concept CheckpointedOperator = requires(const Op& op, const cdouble* in, cdouble* out, std::int32_t threads,
                                        const Checkpoint& checkpoint) {
  op.apply_nonidentity(in, out, threads, checkpoint);
};

template <HamiltonianOperator Op>
class CountingOperator {
 public:
  CountingOperator(const Op& op, SolveStats& stats, Checkpoint checkpoint = {})
      : op_(op), stats_(stats), checkpoint_(checkpoint) {}

  std::uint64_t dim() const { return op_.dim(); }
  cdouble identity_coeff() const { return op_.identity_coeff(); }
  double norm_bound() const { return op_.norm_bound(); }
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t threads) const {
    checkpoint_();
    ++stats_.applications;
    if constexpr (CheckpointedOperator<Op>) {
      op_.apply_nonidentity(in, out, threads, checkpoint_);
    } else {
      op_.apply_nonidentity(in, out, threads);
    }
  }

  void apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t threads) const
    requires HandingOverOperator<Op>
  {
    checkpoint_();
    ++stats_.applications;
    if constexpr (requires { op_.apply_nonidentity_then(in, then, threads, checkpoint_); }) {
      op_.apply_nonidentity_then(in, then, threads, checkpoint_);
    } else {
      op_.apply_nonidentity_then(in, then, threads);
    }
  }

  std::pair<double, double> spectral_bounds(std::int32_t threads) const
    requires BoundedOperator<Op>
  {
    checkpoint_();
    if constexpr (requires { op_.spectral_bounds(threads, checkpoint_); }) {
      return op_.spectral_bounds(threads, checkpoint_);
    } else {
      return op_.spectral_bounds(threads);
    }
  }

  // A distributed operator stays one; its collectives pass straight through.
  std::uint64_t local_dim() const
    requires DistributedHamiltonianOperator<Op>
  {
    return op_.local_dim();
  }
  std::uint64_t local_offset() const
    requires DistributedHamiltonianOperator<Op>
  {
    return op_.local_offset();
  }
  void max_across(double* v, int n) const
    requires DistributedHamiltonianOperator<Op>
  {
    op_.max_across(v, n);
  }
  void sum_across_in_rank_order(double* v, int n) const
    requires DistributedHamiltonianOperator<Op>
  {
    op_.sum_across_in_rank_order(v, n);
  }
  void sum_across_pairwise(double* v, int n) const
    requires DistributedHamiltonianOperator<Op>
  {
    op_.sum_across_pairwise(v, n);
  }
  bool all_succeeded(bool ok) const
    requires DistributedHamiltonianOperator<Op>
  {
    return op_.all_succeeded(ok);
  }

 private:
  const Op& op_;
  SolveStats& stats_;
  Checkpoint checkpoint_;
};

}  // namespace morbizet
