#include "morbizet/evolve_imaginary.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <stdexcept>
#include <utility>
#include <vector>

#include "allocation.hpp"
#include "chebyshev_series.hpp"
#include "chebyshev_sum.hpp"
#include "kernels/vector_ops.hpp"
#include "spectral_interval.hpp"
#include "state_sums.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

// The most the norm may fall over one chunk, e^-6: the series' absolute error and its
// rounding then grow by at most e^6 ~ 400 relative to the result.
constexpr double kChunkDecay = 6.0;
// Each chunk's share of rtol, relative to its result.
constexpr double kChunkShare = 0.05;
// A chunk is at most this many times longer than the last, should the last one's fall
// vanish to rounding.
constexpr double kMostGrowth = 64.0;

// The squared norm of x, the same bit for bit on every thread and process count.
double norm2(const OperatorRef& op, const cdouble* x, std::int32_t threads) {
  return pairwise_total(op, block_sums_abs2(x, op.local_dim(), sum_block_size(op.dim()), threads));
}

}  // namespace

ImaginaryResult evolve_imaginary(OperatorRef op, const cdouble* psi, double beta, double rtol,
                                 std::int32_t num_threads, SolveStats* stats, SpectrumBounds* bounds) {
  require_positive_rtol(rtol);
  if (!(beta >= 0.0) || std::isinf(beta)) {
    throw std::invalid_argument("beta must be a finite number >= 0, got " + format_double(beta));
  }
  const std::uint64_t n = op.local_dim();
  const cdouble identity = op.identity_coeff();
  const bool trivial = beta == 0.0 || !(op.norm_bound() > 0.0);
  ChebyshevVectors buf = allocate_chebyshev_vectors(op, trivial);
  StateBuffer x;
  allocate_collectively(op, [&] { x = allocate_state(n); });
  ImaginaryResult out{std::move(x), 0.0};
  cdouble* state = out.state.get();

  // The unit vector along psi, and ln |psi|, without forming |psi|^2 where it would
  // leave the double range.
  double largest = max_component(psi, n, num_threads);
  op.max_across(&largest, 1);
  if (largest == 0.0) {
    std::fill(state, state + n, cdouble{0.0, 0.0});
    out.log_norm = -std::numeric_limits<double>::infinity();
    return out;
  }
  const int exponent = std::isfinite(largest) ? std::ilogb(largest) : 0;
  copy_all(psi, state, n, num_threads);
  scale_by_power_of_two(state, n, -exponent, num_threads);
  const double first = norm2(op, state, num_threads);
  const double nan = std::numeric_limits<double>::quiet_NaN();
  if (!std::isfinite(first) || !std::isfinite(identity.real()) || !std::isfinite(identity.imag()) ||
      !std::isfinite(op.norm_bound())) {
    std::fill(state, state + n, cdouble{nan, nan});
    out.log_norm = nan;
    return out;
  }
  scale_real(state, state, n, 1.0 / std::sqrt(first), num_threads);
  double log_norm = exponent * std::numbers::ln2 + 0.5 * std::log(first) - beta * identity.real();

  if (!trivial) {
    SpectrumBounds known{};
    if (bounds != nullptr && bounds->known) {
      known = *bounds;
      if (stats != nullptr) stats->interval_kept = true;
    } else {
      const SpectralInterval found = choose_interval(op, beta, rtol, buf.a.get(), buf.b.get(), buf.result.get(),
                                                     num_threads, bounds != nullptr);
      known = kept_bounds(found);
      if (stats != nullptr) {
        stats->estimation_steps = found.steps;
        stats->ritz_min = found.ritz_min;
        stats->ritz_max = found.ritz_max;
      }
    }
    if (stats != nullptr) stats->interval_source = known.source;
    const double tol = kChunkShare * rtol * std::exp(-kChunkDecay);
    double remaining = beta;
    double step = kChunkDecay / (known.hi - known.lo);
    std::uint64_t chunks = 0, degree = 0;
    while (remaining > 0.0) {
      // A last piece under a quarter of a chunk joins the one before it.
      const double t = remaining <= 1.25 * step ? remaining : step;
      const DecaySeries series = decay_series(0.5 * t * (known.hi - known.lo), tol);
      std::vector<cdouble> coefficients(series.degree + 1);
      for (std::uint64_t k = 0; k <= series.degree; ++k) {
        const double eps = k == 0 ? 1.0 : 2.0;
        coefficients[k] = {(k % 2 == 0 ? eps : -eps) * series.scaled[k], 0.0};
      }
      if (!chebyshev_sum(op, state, 1.0, known.lo, known.hi, coefficients, known.estimated, buf, num_threads)) {
        // The estimate missed part of the spectrum; the certain bounds cannot.
        known = certain_bounds(known.safe_lo, known.safe_hi, op.norm_bound());
        if (stats != nullptr) stats->interval_source = known.source;
        step = kChunkDecay / (known.hi - known.lo);
        if (stats != nullptr) stats->widened = true;
        continue;
      }
      const double nu = norm2(op, buf.result.get(), num_threads);
      if (!(nu > 0.0) || !std::isfinite(nu)) {
        throw std::runtime_error("imaginary-time chunk left the double range: the spectral interval is wrong");
      }
      const double fall = -0.5 * std::log(nu);
      log_norm += -t * known.lo - fall;
      std::swap(out.state, buf.result);
      state = out.state.get();
      scale_real(state, state, n, 1.0 / std::sqrt(nu), num_threads);
      remaining -= t;
      ++chunks;
      degree = std::max(degree, series.degree);
      step = fall > kChunkDecay / kMostGrowth ? t * kChunkDecay / fall : t * kMostGrowth;
    }
    if (stats != nullptr) {
      stats->degree = degree;
      stats->substeps = chunks;
      stats->interval_lo = known.lo;
      stats->interval_hi = known.hi;
    }
    if (bounds != nullptr) *bounds = known;
  }
  // The identity part's imaginary half is a phase.
  if (identity.imag() != 0.0) {
    const double angle = -beta * identity.imag();
    scale_all(state, state, n, {std::cos(angle), std::sin(angle)}, num_threads);
  }
  out.log_norm = log_norm;
  return out;
}

}  // namespace morbizet
