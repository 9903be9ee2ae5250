#include "spectral_interval.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "chebyshev_series.hpp"
#include "kernels/vector_ops.hpp"
#include "state_sums.hpp"

namespace morbizet {

namespace {

// Below this many series terms on +-norm_bound no interval can save enough to pay for
// the Lanczos steps that find it.
constexpr std::uint64_t kWorthEstimating = 100;
// The Gershgorin pass costs about one application; below this many terms it cannot pay.
constexpr std::uint64_t kWorthBounding = 16;
constexpr std::uint64_t kMinSteps = 6;
constexpr std::uint64_t kMaxSteps = 240;
// A Lanczos step costs an application and three passes over the state, a series term an
// application and one: in series terms, a step costs about this much.
constexpr double kStepCost = 1.25;
// The solves an interval that is kept is taken to serve, to share its steps' cost.
constexpr double kReuse = 32.0;
// Chance that the probe misses an extreme eigenvector (per end of the spectrum).
constexpr double kFailure = 1e-12;
// Safety factor on |p(A) v| = |p(T) e1|, which holds exactly only while the Lanczos
// vectors stay orthonormal; in floating point |V y| <= sqrt(m) |y|, and 10 more.
constexpr double kRoundingSafety = 10.0;

// The number of eigenvalues of the tridiagonal (alpha, beta) below x (Sturm count from
// the pivots of T - x I = L D L^T).
std::uint64_t count_below(const double* alpha, const double* beta, std::uint64_t m, double x) {
  std::uint64_t count = 0;
  double d = 1.0;
  for (std::uint64_t i = 0; i < m; ++i) {
    const double off = i > 0 ? beta[i - 1] * beta[i - 1] / d : 0.0;
    d = alpha[i] - x - off;
    if (d == 0.0) d = -std::numeric_limits<double>::min();
    if (d < 0.0) ++count;
  }
  return count;
}

// The k-th smallest eigenvalue (k from 1) of the tridiagonal, by bisection inside its
// Gershgorin interval.
double tridiagonal_eigenvalue(const double* alpha, const double* beta, std::uint64_t m, std::uint64_t k) {
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  for (std::uint64_t i = 0; i < m; ++i) {
    const double r = (i > 0 ? std::abs(beta[i - 1]) : 0.0) + (i + 1 < m ? std::abs(beta[i]) : 0.0);
    lo = std::min(lo, alpha[i] - r);
    hi = std::max(hi, alpha[i] + r);
  }
  for (int it = 0; it < 200 && hi - lo > 4 * std::numeric_limits<double>::epsilon() * std::max(std::abs(lo), std::abs(hi));
       ++it) {
    const double mid = 0.5 * (lo + hi);
    (count_below(alpha, beta, m, mid) >= k ? hi : lo) = mid;
  }
  return 0.5 * (lo + hi);
}

}  // namespace

RitzBounds lanczos_bounds(const double* alpha, const double* beta, std::uint64_t m, double delta) {
  const double rmin = tridiagonal_eigenvalue(alpha, beta, m, 1);
  const double rmax = tridiagonal_eigenvalue(alpha, beta, m, m);
  const double center = 0.5 * (rmin + rmax), half = 0.5 * (rmax - rmin);
  if (m < 2 || !(half > 0.0)) {
    const double inf = std::numeric_limits<double>::infinity();
    return {rmin, rmax, -inf, inf, inf};
  }
  // y = T_{m-1}((T - center)/half) e1 by the three-term recurrence on vectors of length m.
  std::vector<double> prev(m, 0.0), cur(m, 0.0), next(m);
  prev[0] = 1.0;
  const auto apply = [&](const std::vector<double>& v, std::uint64_t i) {
    double s = (alpha[i] - center) * v[i];
    if (i > 0) s += beta[i - 1] * v[i - 1];
    if (i + 1 < m) s += beta[i] * v[i + 1];
    return s / half;
  };
  for (std::uint64_t i = 0; i < m; ++i) cur[i] = apply(prev, i);
  for (std::uint64_t k = 2; k < m; ++k) {
    for (std::uint64_t i = 0; i < m; ++i) next[i] = 2.0 * apply(cur, i) - prev[i];
    std::swap(prev, cur);
    std::swap(cur, next);
  }
  double norm = 0.0;
  for (double v : cur) norm += v * v;
  // An eigenvalue lambda whose eigenvector has a component >= delta in the probe has
  // |p(lambda)| <= |p(A) probe| / delta; beyond the Ritz values |T_{m-1}| grows as
  // cosh((m-1) acosh|y|), which bounds how far out lambda can lie.
  const double growth = std::max(1.0, kRoundingSafety * std::sqrt(static_cast<double>(m)) * std::sqrt(norm) / delta);
  const double level = std::acosh(growth);
  const double reach = std::cosh(level / static_cast<double>(m - 1));
  return {rmin, rmax, center - half * reach, center + half * reach, level};
}

std::string_view interval_source_name(IntervalSource source) {
  switch (source) {
    case IntervalSource::gershgorin: return "gershgorin";
    case IntervalSource::lanczos: return "lanczos";
    default: return "norm_bound";
  }
}

SpectrumBounds kept_bounds(const SpectralInterval& interval) {
  return {interval.lo, interval.hi, interval.safe_lo, interval.safe_hi, interval.estimated, true, interval.source};
}

SpectrumBounds certain_bounds(double safe_lo, double safe_hi, double norm_bound) {
  const bool norm = safe_lo == -norm_bound && safe_hi == norm_bound;
  return {safe_lo, safe_hi, safe_lo, safe_hi, false, true, norm ? IntervalSource::norm_bound : IntervalSource::gershgorin};
}

SpectralInterval choose_interval(const OperatorRef& op, double theta, double rtol, cdouble* a, cdouble* b, cdouble* w,
                                 std::int32_t num_threads, bool keep) {
  const double bound = op.norm_bound();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  SpectralInterval best{-bound, bound, -bound, bound, nan, nan, 0, false, IntervalSource::norm_bound};
  const double step_cost = keep ? kStepCost / kReuse : kStepCost;
  const double at = std::abs(theta);
  std::uint64_t best_terms = chebyshev_degree(at * bound, rtol);
  const std::uint64_t dim = op.dim();
  // Bounds that hold for certain, where the operator has them and they can pay for the
  // pass that finds them.
  double safe_lo = -bound, safe_hi = bound;
  if (op.has_spectral_bounds() && (keep || best_terms >= kWorthBounding)) {
    const auto [lo, hi] = op.spectral_bounds(num_threads);
    safe_lo = std::max(safe_lo, lo);
    safe_hi = std::min(safe_hi, hi);
    best.lo = best.safe_lo = safe_lo;
    best.hi = best.safe_hi = safe_hi;
    best_terms = chebyshev_degree(at * 0.5 * (safe_hi - safe_lo), rtol);
    best.source = IntervalSource::gershgorin;
  }
  if (best_terms < (keep ? kWorthBounding : kWorthEstimating) || dim < 4) return best;

  const std::uint64_t n = op.local_dim();
  const std::uint64_t block = sum_block_size(dim);
  // For a probe drawn uniformly from the unit sphere of C^dim, the squared component on
  // a fixed unit vector is Beta(1, dim - 1) distributed: below kFailure / (dim - 1) with
  // chance at most kFailure.
  const double delta = std::sqrt(kFailure / static_cast<double>(dim - 1));
  const std::uint64_t max_steps = std::min<std::uint64_t>({kMaxSteps, dim, keep ? kMaxSteps : best_terms});

  cdouble* v_prev = a;
  cdouble* v = b;
  fill_probe(v, n, op.local_offset(), num_threads);
  scale_real(v, v, n, 1.0 / std::sqrt(pairwise_total(op, block_sums_abs2(v, n, block, num_threads))), num_threads);
  std::fill(v_prev, v_prev + n, cdouble{0.0, 0.0});
  std::vector<double> alpha, beta;
  // The series length on an interval, clipped to the bounds that hold for certain.
  const auto terms_on = [&](double lo, double hi) {
    return chebyshev_degree(at * 0.5 * (std::min(safe_hi, hi) - std::max(safe_lo, lo)), rtol);
  };
  // Takes the bound after m steps, and says whether more steps still pay: whether some
  // later step promises to save more terms than the steps up to it cost, supposing the
  // Ritz values stay where they are (they only move outward, and slowly, by the time
  // the bound is of use).
  const auto worth_going_on = [&](std::uint64_t m, bool invariant) {
    RitzBounds r = lanczos_bounds(alpha.data(), beta.data(), m, delta);
    if (invariant) {
      const double pad = 1e-8 * bound;
      r.lo = r.ritz_min - pad;
      r.hi = r.ritz_max + pad;
    }
    best.ritz_min = r.ritz_min;
    best.ritz_max = r.ritz_max;
    const std::uint64_t terms = terms_on(r.lo, r.hi);
    if (terms < best_terms) {
      best_terms = terms;
      best.lo = std::max(safe_lo, r.lo);
      best.hi = std::min(safe_hi, r.hi);
      best.estimated = true;
      best.source = IntervalSource::lanczos;
    }
    if (invariant) return false;
    const double center = 0.5 * (r.ritz_min + r.ritz_max), half = 0.5 * (r.ritz_max - r.ritz_min);
    double promise = static_cast<double>(best_terms);
    for (std::uint64_t ahead = 1; m + ahead <= max_steps; ahead *= 2) {
      const double reach = std::cosh(r.level / static_cast<double>(m + ahead - 1));
      promise = std::min(promise, step_cost * static_cast<double>(ahead) +
                                      static_cast<double>(terms_on(center - half * reach, center + half * reach)));
    }
    return promise < static_cast<double>(best_terms);
  };
  for (std::uint64_t j = 0; j < max_steps; ++j) {
    op.apply_nonidentity(v, w, num_threads);
    const double beta_prev = j > 0 ? beta.back() : 0.0;
    alpha.push_back(pairwise_total(op, subtract_then_block_dots(w, v_prev, beta_prev, v, n, block, num_threads)));
    const double beta_j =
        std::sqrt(pairwise_total(op, subtract_then_block_abs2(w, v, alpha.back(), n, block, num_threads)));
    beta.push_back(beta_j);
    const std::uint64_t m = j + 1;
    // The residual vanishes: the probe lies in an invariant subspace, and since a
    // random probe has a component on every eigenvector, that subspace holds them all.
    const bool invariant = !(beta_j > 1e-12 * bound);
    if ((m >= kMinSteps || invariant) && !worth_going_on(m, invariant)) break;
    std::swap(v_prev, v);
    scale_real(w, v, n, 1.0 / beta_j, num_threads);
  }
  best.steps = alpha.size();
  return best;
}

}  // namespace morbizet
