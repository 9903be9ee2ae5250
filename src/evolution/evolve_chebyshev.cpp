#include "morbizet/evolve_chebyshev.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "chebyshev_series.hpp"
#include "chebyshev_sum.hpp"
#include "kernels/vector_ops.hpp"
#include "phase.hpp"
#include "spectral_interval.hpp"
#include "state_sums.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

// States whose largest component lies outside 2^+-300 run rescaled, so that the norms
// the guard compares keep their precision.
constexpr int kSafeExponent = 300;

// The series on [lo, hi] into vectors.result. psi0 is psi (possibly rescaled); its
// squared norm norm2_psi is used by the guard when guard is set. Returns false when the
// guard found a Chebyshev vector longer than psi: the interval misses part of the
// spectrum.
bool run_series(const OperatorRef& op, const cdouble* psi0, double norm2_psi, double lo, double hi, double theta,
                double rtol, bool guard, cdouble identity, ChebyshevVectors& vectors, std::int32_t threads,
                SolveStats* stats, std::int64_t& exponent) {
  const double center = 0.5 * (lo + hi), half = 0.5 * (hi - lo);
  const ChebyshevSeries series = chebyshev_series(std::abs(theta) * half, rtol);
  if (stats != nullptr) {
    stats->degree = series.degree;
    stats->substeps = 1;
    stats->interval_lo = lo;
    stats->interval_hi = hi;
  }
  // exp(-i theta (s + c)), split off its power of two should it leave the double range.
  const SplitPhase phase = split_exp(cmul({0.0, -theta}, identity + cdouble{center, 0.0}));
  exponent = phase.exponent;
  // eps_k (-i sign(theta))^k J_k(|theta| r) times the phase: (-i)^k for theta >= 0, i^k below.
  const cdouble unit{0.0, theta < 0.0 ? 1.0 : -1.0};
  cdouble power{1.0, 0.0};
  std::vector<cdouble> coefficients(series.degree + 1);
  for (std::uint64_t k = 0; k <= series.degree; ++k) {
    const double eps = k == 0 ? 1.0 : 2.0;
    const cdouble c = cmul(phase.factor, power);
    power = cmul(power, unit);
    coefficients[k] = {eps * series.bessel[k] * c.real(), eps * series.bessel[k] * c.imag()};
  }
  return chebyshev_sum(op, psi0, norm2_psi, lo, hi, coefficients, guard, vectors, threads);
}

}  // namespace

void require_hermitian(const Hamiltonian& h, std::string_view method) {
  const auto& words = h.get_pwords();
  for (std::uint64_t k : h.active_terms()) {
    const cdouble c = words[k].coeff();
    if (c.imag() != 0.0) {
      throw std::invalid_argument(
          "the " + std::string(method) + " solver needs a Hermitian H: word " + std::to_string(k) + " (" + words[k].get_string() +
          ") has coefficient " + format_double(c.real()) + (c.imag() < 0.0 ? "" : "+") + format_double(c.imag()) +
          "j, but every non-identity word needs a real one; _evolve_higham handles non-Hermitian sums");
    }
  }
}

StateBuffer evolve_chebyshev(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                             SolveStats* stats, SpectrumBounds* bounds) {
  require_positive_rtol(rtol);
  const std::uint64_t n = op.local_dim();
  const double bound = op.norm_bound();
  const cdouble identity = op.identity_coeff();
  const double b = bound * std::abs(theta);
  if (std::isinf(b)) throw_too_large(b, rtol);
  ChebyshevVectors buf = allocate_chebyshev_vectors(op, theta == 0.0 || !(b > 0.0));
  cdouble* result = buf.result.get();
  if (std::isnan(b)) {
    // A NaN theta or coefficient has no meaningful result; it propagates, as in the
    // other solvers.
    const double nan = std::numeric_limits<double>::quiet_NaN();
    std::fill(result, result + n, cdouble{nan, nan});
    return std::move(buf.result);
  }
  if (theta == 0.0) {
    copy_all(psi, result, n, num_threads);
    return std::move(buf.result);
  }
  if (b == 0.0) {
    // Only the identity part: a scalar phase.
    const SplitPhase phase = split_exp(cmul({0.0, -theta}, identity));
    scale_all(psi, result, n, phase.factor, num_threads);
    if (phase.exponent != 0) scale_by_power_of_two(result, n, clamp_exponent(phase.exponent), num_threads);
    return std::move(buf.result);
  }
  double largest = max_component(psi, n, num_threads);
  op.max_across(&largest, 1);
  if (largest == 0.0) return std::move(buf.result);  // psi = 0 evolves to 0

  // The interval first, while three vectors are free (the result is written only later).
  cdouble* third = buf.w ? buf.w.get() : result;
  const bool kept = bounds != nullptr && bounds->known;
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const SpectralInterval interval =
      kept ? SpectralInterval{bounds->lo, bounds->hi, bounds->safe_lo, bounds->safe_hi, nan, nan, 0, bounds->estimated,
                              bounds->source}
           : choose_interval(op, theta, rtol, buf.a.get(), buf.b.get(), third, num_threads, bounds != nullptr);
  if (bounds != nullptr && !kept) *bounds = kept_bounds(interval);
  if (stats != nullptr) {
    stats->estimation_steps = interval.steps;
    stats->ritz_min = interval.ritz_min;
    stats->ritz_max = interval.ritz_max;
    stats->interval_source = interval.source;
    stats->interval_kept = kept;
  }

  // A state near the ends of the double range runs rescaled (in b, which the series
  // then overwrites as its oldest vector).
  const int psi_exponent = rescaling_exponent(largest, kSafeExponent);
  const cdouble* psi0 = psi;
  if (psi_exponent != 0) {
    copy_all(psi, buf.b.get(), n, num_threads);
    scale_by_power_of_two(buf.b.get(), n, -psi_exponent, num_threads);
    psi0 = buf.b.get();
  }
  const double norm2_psi =
      interval.estimated ? pairwise_total(op, block_sums_abs2(psi0, n, sum_block_size(op.dim()), num_threads)) : 0.0;
  std::int64_t exponent = 0;
  bool ok = run_series(op, psi0, norm2_psi, interval.lo, interval.hi, theta, rtol, interval.estimated, identity, buf,
                       num_threads, stats, exponent);
  if (!ok) {
    // The estimate missed part of the spectrum; the certain bounds cannot.
    if (psi_exponent != 0) {
      copy_all(psi, buf.b.get(), n, num_threads);
      scale_by_power_of_two(buf.b.get(), n, -psi_exponent, num_threads);
    }
    run_series(op, psi0, norm2_psi, interval.safe_lo, interval.safe_hi, theta, rtol, false, identity, buf, num_threads,
               stats, exponent);
    if (stats != nullptr) stats->widened = true;
    // Later solves on this operator start from the certain bounds.
    if (bounds != nullptr) *bounds = certain_bounds(interval.safe_lo, interval.safe_hi, op.norm_bound());
  }
  exponent += psi_exponent;
  if (exponent != 0) scale_by_power_of_two(result, n, clamp_exponent(exponent), num_threads);
  return std::move(buf.result);
}

}  // namespace morbizet
