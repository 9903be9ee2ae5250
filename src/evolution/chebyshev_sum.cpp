#include "chebyshev_sum.hpp"

#include "allocation.hpp"
#include "kernels/vector_ops.hpp"
#include "state_sums.hpp"

namespace morbizet {

namespace {

// On an interval that holds the spectrum |T_k((H' - c)/r) psi| <= |psi|; growth beyond
// this factor (far above rounding) means it does not.
constexpr double kGrowthLimit = 1.001;

void finish_units(void* step, const cdouble* values, std::uint64_t begin, std::uint64_t len) {
  chebyshev_step_range(*static_cast<const ChebyshevStep*>(step), values, begin, len);
}

}  // namespace

ChebyshevVectors allocate_chebyshev_vectors(const OperatorRef& op, bool result_only) {
  const std::uint64_t n = op.local_dim();
  ChebyshevVectors v;
  allocate_collectively(op, [&] {
    v.result = allocate_state(n);
    if (!result_only) {
      v.a = allocate_block(n);
      v.b = allocate_block(n);
      if (!op.hands_over()) v.w = allocate_block(n);
    }
  });
  return v;
}

bool chebyshev_sum(const OperatorRef& op, const cdouble* psi, double norm2_psi, double lo, double hi,
                   const std::vector<cdouble>& coefficients, bool guard, ChebyshevVectors& buf,
                   std::int32_t threads) {
  const std::uint64_t n = op.local_dim();
  const std::uint64_t leaf = sum_block_size(op.dim());
  const double center = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
  cdouble* result = buf.result.get();
  if (coefficients.size() <= 1) {
    scale_all(psi, result, n, coefficients.at(0), threads);
    return true;
  }
  const double limit = kGrowthLimit * kGrowthLimit * norm2_psi;
  std::vector<double> sums(guard ? leaf_count(n, leaf) : 0);
  // One term: where the operator can, each unit of H' * cur is finished while in cache.
  const auto term = [&](ChebyshevStep step) {
    step.leaf_sums = guard ? sums.data() : nullptr;
    step.leaf = leaf;
    if (op.hands_over()) {
      op.apply_nonidentity_then(step.cur, BlockEpilogue{&finish_units, &step, leaf}, threads);
    } else {
      op.apply_nonidentity(step.cur, buf.w.get(), threads);
      chebyshev_step(step, buf.w.get(), n, threads);
    }
    return !guard || pairwise_total(op, sums) <= limit;
  };

  // phi_1 = (H' - c) psi / r, and from there phi_{k+1} = 2 (H' - c) phi_k / r - phi_{k-1}.
  if (!term({psi, nullptr, buf.a.get(), result, 1.0 / half, center / half, coefficients[1], coefficients[0], true,
             nullptr, 0})) {
    return false;
  }
  const cdouble* prev = psi;
  cdouble* cur = buf.a.get();
  const double p = 2.0 / half, q = 2.0 * center / half;
  for (std::size_t k = 2; k < coefficients.size(); ++k) {
    // phi_{k-2} is not needed again, so phi_k takes its place, unless it is the
    // caller's psi, which is never written.
    cdouble* next = prev == buf.a.get() || prev == buf.b.get() ? const_cast<cdouble*>(prev) : buf.b.get();
    if (!term({cur, prev, next, result, p, q, coefficients[k], {}, false, nullptr, 0})) return false;
    prev = cur;
    cur = next;
  }
  return true;
}

}  // namespace morbizet
