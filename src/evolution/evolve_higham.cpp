#include "morbizet/evolve_higham.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "allocation.hpp"
#include "kernels/vector_ops.hpp"
#include "phase.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

constexpr std::uint64_t kMaxDegree = 55;
// Terms below this fraction of the partial sum cannot change it in double precision.
constexpr double kEarlyExit = 0x1p-53;
// States whose largest component lies within 2^+-300 run as they are: their squares, and
// those of the Taylor terms, stay far from the ends of the double range.
constexpr int kSafeExponent = 300;

// ln(b^(m+1) / (m+1)!): the remainder bound of one substep of norm b at degree m, before
// the division by s^m that s substeps bring.
double log_remainder(double md, double lb) { return (md + 1.0) * lb - std::lgamma(md + 2.0); }

// The logarithm of max_k h^k / k!, the largest Taylor term of a substep of norm h.
double log_largest_term(double h) {
  const double lh = std::log(h);
  double best = -std::numeric_limits<double>::infinity();
  for (double k = 1.0; k <= std::floor(h) + 1.0; k += 1.0) best = std::max(best, k * lh - std::lgamma(k + 1.0));
  return best;
}

// The early exit compares maxima of squared moduli over the whole state, so every
// process must see the same ones.
double largest(const OperatorRef& op, double local) {
  op.max_across(&local, 1);
  return local;
}

}  // namespace

TaylorParameters choose_taylor_parameters(double b, double rtol) {
  // The remainder bound of s substeps of degree m, b^(m+1) / ((m+1)! s^m), must stay
  // within ln(1 + rtol/2); in logarithms: A - m ln s <= g.
  const double g = std::log(std::log1p(rtol * 0.5));
  const double lb = std::log(b);
  double best_cost = std::numeric_limits<double>::infinity();
  TaylorParameters best{1, 1};
  bool found = false;
  for (std::uint64_t m = 1; m <= kMaxDegree; ++m) {
    const double md = static_cast<double>(m);
    const double a = log_remainder(md, lb);
    const std::uint64_t s =
        first_fitting_count((a - g) / md, [&](double sd) { return a - md * std::log(sd) > g; });
    if (s == 0) continue;
    const double cost = static_cast<double>(s) * md;
    if (best_cost > cost) {
      best_cost = cost;
      best = {m, s};
      found = true;
    }
  }
  if (!found) throw_too_large(b, rtol);
  return best;
}

TaylorParameters limit_taylor_rounding(TaylorParameters p, double b, double rtol) {
  constexpr double kEpsilon = 0x1p-52;
  // s * eps * peak(b/s) = b * eps * peak(h)/h with h = b/s, which falls as s grows and
  // reaches its floor b * eps at h = 2 (peak(2) = 2); below rtol/4 where possible.
  const double budget = std::max(std::log(0.25 * rtol), std::log(kEpsilon * b));
  auto fits = [&](double s) { return std::log(s) + std::log(kEpsilon) + log_largest_term(b / s) <= budget + 1e-9; };
  const double sd = static_cast<double>(p.s);
  if (b / sd <= 2.0 || fits(sd)) return p;
  const double most = std::ceil(b / 2.0);
  if (!(most < 0x1p63)) throw_too_large(b, rtol);
  auto lo = p.s, hi = static_cast<std::uint64_t>(most);  // fits(hi) holds; find the first s that fits
  while (lo + 1 < hi) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (fits(static_cast<double>(mid))) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  // The lowest degree whose truncation bound holds at the new substep count (p.m does,
  // since more substeps only shorten each one).
  const double g = std::log(std::log1p(rtol * 0.5));
  const double lb = std::log(b), log_s = std::log(static_cast<double>(hi));
  std::uint64_t m = 1;
  while (m < p.m && log_remainder(static_cast<double>(m), lb) - static_cast<double>(m) * log_s > g) ++m;
  return {m, hi};
}

StateBuffer evolve_higham(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                          SolveStats* stats, TaylorRounding rounding) {
  require_positive_rtol(rtol);
  const std::uint64_t dim = op.local_dim();
  const cdouble c = cmul({0.0, -theta}, op.identity_coeff());
  const double b = op.norm_bound() * std::abs(theta);
  StateBuffer result, term, work;

  if (b == 0.0) {
    allocate_collectively(op, [&] { result = allocate_state(dim); });
    const SplitPhase phase = split_exp(c);
    scale_all(psi, result.get(), dim, phase.factor, num_threads);
    if (phase.exponent != 0) scale_by_power_of_two(result.get(), dim, clamp_exponent(phase.exponent), num_threads);
    return result;
  }

  // Chosen before any allocation, so that a refused request costs nothing.
  TaylorParameters p = choose_taylor_parameters(b, rtol);
  if (rounding == TaylorRounding::bounded) p = limit_taylor_rounding(p, b, rtol);
  if (stats != nullptr) *stats = SolveStats{stats->applications, p.m, p.s};
  allocate_collectively(op, [&] {
    result = allocate_state(dim);
    term = allocate_state(dim);
    work = allocate_state(dim);
  });
  const double sd = static_cast<double>(p.s);
  // A phase per substep beyond the double range (a large complex identity part) is
  // applied as a factor and a power of two carried to the end.
  const SplitPhase eta = split_exp(cdouble{c.real() / sd, c.imag() / sd});
  copy_all(psi, result.get(), dim, num_threads);
  // The early exit compares squared moduli, which vanish or overflow for states with all
  // amplitudes below about 1e-160 or one above 1e150; such a state runs rescaled by a
  // power of two, and so does one that grows or decays that far during the call. The
  // exponent is carried and put back at the end.
  std::int64_t exponent = rescaling_exponent(largest(op, max_component(result.get(), dim, num_threads)), kSafeExponent);
  if (exponent != 0) scale_by_power_of_two(result.get(), dim, static_cast<int>(-exponent), num_threads);
  const double inv_s = 1.0 / sd;

  for (std::uint64_t step = 0; step < p.s; ++step) {
    double c1 = std::sqrt(largest(op, copy_max_abs2(result.get(), term.get(), dim, num_threads)));
    for (std::uint64_t k = 1; k <= p.m; ++k) {
      op.apply_nonidentity(term.get(), work.get(), num_threads);
      const double q = inv_s / static_cast<double>(k);
      const cdouble f{q * 0.0, -theta * q};  // -i*theta/(s*k)
      double maxima[2] = {0.0, 0.0};
      add_taylor_term(f, work.get(), term.get(), result.get(), dim, num_threads, maxima[0], maxima[1]);
      op.max_across(maxima, 2);
      const double c2 = std::sqrt(maxima[0]);
      const double nr = std::sqrt(maxima[1]);
      // The last two terms are below the rounding of the partial sum: the series has
      // converged for this substep.
      if (nr * kEarlyExit >= c1 + c2) break;
      c1 = c2;
    }
    // The identity part commutes with everything: one scalar phase per substep.
    const double mx = largest(op, scale_all_max_component(result.get(), result.get(), dim, eta.factor, num_threads));
    exponent += eta.exponent;
    const int e = rescaling_exponent(mx, kSafeExponent);
    if (e != 0) {
      scale_by_power_of_two(result.get(), dim, -e, num_threads);
      exponent += e;
    }
  }
  if (exponent != 0) scale_by_power_of_two(result.get(), dim, clamp_exponent(exponent), num_threads);
  return result;
}

}  // namespace morbizet
