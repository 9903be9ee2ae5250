#pragma once
// What a solver needs of a Hamiltonian, and nothing more.
//
// A solver sees H = identity_coeff * I + H', where H' is the non-identity part: it
// reads the dimension, the identity coefficient and a bound on |H'|, and asks for
// out = H' * in. Any type with those four members is an operator (a plain Hamiltonian,
// a grouped form of one, a wrapper that counts applications). An operator whose state
// vectors are spread over several processes also says which slice of the state this
// process holds and how per-process values are combined; a single-process operator
// gets the obvious answers to those questions from OperatorRef.

#include <concepts>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "morbizet/complex.hpp"

namespace morbizet {

// Where an operator that can apply H' without storing H' * in whole hands over its
// result: call(context, values, begin, len) with values[k] the amplitude begin + k, for
// aligned units of `unit` amplitudes, possibly from several threads at once.
struct BlockEpilogue {
  void (*call)(void* context, const cdouble* values, std::uint64_t begin, std::uint64_t len);
  void* context;
  std::uint64_t unit;
};

template <class Op>
concept HamiltonianOperator = requires(const Op& op, const cdouble* in, cdouble* out, std::int32_t threads) {
  { op.dim() } -> std::convertible_to<std::uint64_t>;             // 2^n, the length of the whole state
  { op.identity_coeff() } -> std::convertible_to<cdouble>;        // the sum of the identity words
  { op.norm_bound() } -> std::convertible_to<double>;             // an upper bound of |H'|
  op.apply_nonidentity(in, out, threads);                         // out = H' * in
};

// An operator on a state that is cut into contiguous slices, one per process. The
// vectors a solver hands to apply_nonidentity are this process's slices: local_dim()
// amplitudes starting at global index local_offset(). The combinations are collective:
// every process calls them in the same order with the same count.
template <class Op>
concept DistributedHamiltonianOperator =
    HamiltonianOperator<Op> && requires(const Op& op, double* values, int count, bool ok) {
      { op.local_dim() } -> std::convertible_to<std::uint64_t>;
      { op.local_offset() } -> std::convertible_to<std::uint64_t>;
      // values[k] becomes the largest of the processes' values[k].
      op.max_across(values, count);
      // values[k] becomes ((v_0 + v_1) + v_2) + ... over the processes in rank order.
      op.sum_across_in_rank_order(values, count);
      // values[k] becomes the pairwise sum over the processes: a perfect binary tree of
      // additions, leaves in rank order.
      op.sum_across_pairwise(values, count);
      // True when every process passed ok = true.
      { op.all_succeeded(ok) } -> std::convertible_to<bool>;
    };

// An operator that can also hand H' * in over a unit at a time instead of storing it,
// so that a solver can finish each unit while it is still in cache.
template <class Op>
concept HandingOverOperator =
    HamiltonianOperator<Op> && requires(const Op& op, const cdouble* in, const BlockEpilogue& then, std::int32_t t) {
      op.apply_nonidentity_then(in, then, t);
    };

// An operator that can bound the spectrum of H' (Hermitian) more tightly than
// +-norm_bound: every eigenvalue lies in [first, second]. Collective where distributed.
template <class Op>
concept BoundedOperator = HamiltonianOperator<Op> && requires(const Op& op, std::int32_t t) {
  { op.spectral_bounds(t) } -> std::convertible_to<std::pair<double, double>>;
};

// A non-owning view of any operator, so that each solver is compiled once and a new
// kind of operator needs no change to any solver. The operator must outlive the view.
class OperatorRef {
 public:
  template <HamiltonianOperator Op>
    requires(!std::same_as<std::remove_cvref_t<Op>, OperatorRef>)
  OperatorRef(const Op& op) noexcept : self_(&op), table_(&kTable<Op>) {}  // NOLINT: implicit on purpose

  std::uint64_t dim() const { return table_->dim(self_); }
  cdouble identity_coeff() const { return table_->identity_coeff(self_); }
  double norm_bound() const { return table_->norm_bound(self_); }
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t threads) const {
    table_->apply(self_, in, out, threads);
  }

  // Whether apply_nonidentity_then is available (HandingOverOperator).
  bool hands_over() const { return table_->then != nullptr; }
  void apply_nonidentity_then(const cdouble* in, const BlockEpilogue& then, std::int32_t threads) const {
    table_->then(self_, in, then, threads);
  }

  // Whether spectral_bounds is available (BoundedOperator).
  bool has_spectral_bounds() const { return table_->bounds != nullptr; }
  std::pair<double, double> spectral_bounds(std::int32_t threads) const { return table_->bounds(self_, threads); }

  std::uint64_t local_dim() const { return table_->local_dim(self_); }
  std::uint64_t local_offset() const { return table_->local_offset(self_); }
  void max_across(double* values, int count) const { table_->max_across(self_, values, count); }
  void sum_across_in_rank_order(double* values, int count) const { table_->sum_in_order(self_, values, count); }
  void sum_across_pairwise(double* values, int count) const { table_->sum_pairwise(self_, values, count); }
  bool all_succeeded(bool ok) const { return table_->all_succeeded(self_, ok); }

 private:
  struct Table {
    std::uint64_t (*dim)(const void*);
    cdouble (*identity_coeff)(const void*);
    double (*norm_bound)(const void*);
    void (*apply)(const void*, const cdouble*, cdouble*, std::int32_t);
    void (*then)(const void*, const cdouble*, const BlockEpilogue&, std::int32_t);
    std::pair<double, double> (*bounds)(const void*, std::int32_t);
    std::uint64_t (*local_dim)(const void*);
    std::uint64_t (*local_offset)(const void*);
    void (*max_across)(const void*, double*, int);
    void (*sum_in_order)(const void*, double*, int);
    void (*sum_pairwise)(const void*, double*, int);
    bool (*all_succeeded)(const void*, bool);
  };

  template <class Op>
  static const Op& as(const void* p) {
    return *static_cast<const Op*>(p);
  }

  template <class Op>
  static constexpr Table make_table() {
    Table t{};
    t.dim = [](const void* p) -> std::uint64_t { return as<Op>(p).dim(); };
    t.identity_coeff = [](const void* p) -> cdouble { return as<Op>(p).identity_coeff(); };
    t.norm_bound = [](const void* p) -> double { return as<Op>(p).norm_bound(); };
    t.apply = [](const void* p, const cdouble* in, cdouble* out, std::int32_t threads) {
      as<Op>(p).apply_nonidentity(in, out, threads);
    };
    if constexpr (HandingOverOperator<Op>) {
      t.then = [](const void* p, const cdouble* in, const BlockEpilogue& then, std::int32_t threads) {
        as<Op>(p).apply_nonidentity_then(in, then, threads);
      };
    }
    if constexpr (BoundedOperator<Op>) {
      t.bounds = [](const void* p, std::int32_t threads) -> std::pair<double, double> {
        return as<Op>(p).spectral_bounds(threads);
      };
    }
    if constexpr (DistributedHamiltonianOperator<Op>) {
      t.local_dim = [](const void* p) -> std::uint64_t { return as<Op>(p).local_dim(); };
      t.local_offset = [](const void* p) -> std::uint64_t { return as<Op>(p).local_offset(); };
      t.max_across = [](const void* p, double* v, int n) { as<Op>(p).max_across(v, n); };
      t.sum_in_order = [](const void* p, double* v, int n) { as<Op>(p).sum_across_in_rank_order(v, n); };
      t.sum_pairwise = [](const void* p, double* v, int n) { as<Op>(p).sum_across_pairwise(v, n); };
      t.all_succeeded = [](const void* p, bool ok) -> bool { return as<Op>(p).all_succeeded(ok); };
    } else {
      // One process holds the whole state, and combining over one process changes nothing.
      t.local_dim = [](const void* p) -> std::uint64_t { return as<Op>(p).dim(); };
      t.local_offset = [](const void*) -> std::uint64_t { return 0; };
      t.max_across = [](const void*, double*, int) {};
      t.sum_in_order = [](const void*, double*, int) {};
      t.sum_pairwise = [](const void*, double*, int) {};
      t.all_succeeded = [](const void*, bool ok) { return ok; };
    }
    return t;
  }

  template <class Op>
  static constexpr Table kTable = make_table<Op>();

  const void* self_;
  const Table* table_;
};

}  // namespace morbizet
