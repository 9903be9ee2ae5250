#include "morbizet/evolve_higham.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "operators/parallel.hpp"
#include "power_of_two_scaling.hpp"
#include "tolerance.hpp"

namespace morbizet {

namespace {

constexpr std::uint64_t kMaxDegree = 55;
// Terms below this fraction of the partial sum cannot change it in double precision.
constexpr double kEarlyExit = 0x1p-53;
// States whose largest component lies within 2^+-300 run as they are: their squares, and
// those of the Taylor terms, stay far from the ends of the double range.
constexpr int kSafeExponent = 300;

// Maxima of squared moduli start from 0 and are replaced only by strictly greater
// values, so NaN entries never win; a maximum is the same in whatever order (and on
// however many threads) it is taken. Every loop here is element-wise, so the results do
// not depend on the thread count either.

double abs2(cdouble v) { return v.real() * v.real() + v.imag() * v.imag(); }

// dst = src, returning max |src|^2.
double copy_max_abs2(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads) {
  double mx = 0.0, unused = 0.0;
  parallel_max2(n, threads, mx, unused, [&](std::uint64_t b, std::uint64_t e, double& m, double&) {
    for (std::uint64_t i = b; i < e; ++i) {
      dst[i] = src[i];
      const double a = abs2(src[i]);
      m = a > m ? a : m;
    }
  });
  return mx;
}

// One Taylor term: term = f*work, result += term, and the maxima of |term|^2 and of the
// updated |result|^2, in one pass.
void add_taylor_term(cdouble f, const cdouble* work, cdouble* term, cdouble* result, std::uint64_t n,
                     std::int32_t threads, double& max_term, double& max_result) {
  parallel_max2(n, threads, max_term, max_result,
                [&](std::uint64_t b, std::uint64_t e, double& mt, double& mr) {
                  for (std::uint64_t i = b; i < e; ++i) {
                    const cdouble t = cmul(f, work[i]);
                    const cdouble r{result[i].real() + t.real(), result[i].imag() + t.imag()};
                    term[i] = t;
                    result[i] = r;
                    const double at = abs2(t), ar = abs2(r);
                    mt = at > mt ? at : mt;
                    mr = ar > mr ? ar : mr;
                  }
                });
}

void copy_all(const cdouble* src, cdouble* dst, std::uint64_t n, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) { std::copy(src + b, src + e, dst + b); });
}

// dst = phase * src.
void scale_all(const cdouble* src, cdouble* dst, std::uint64_t n, cdouble phase, std::int32_t threads) {
  parallel_ranges(n, threads, [&](std::uint64_t b, std::uint64_t e) {
    for (std::uint64_t i = b; i < e; ++i) dst[i] = cmul(src[i], phase);
  });
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
    const double a = (md + 1.0) * lb - std::lgamma(md + 2.0);
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

StateBuffer evolve_higham(const Hamiltonian& ham, const cdouble* psi, double theta, double rtol,
                          std::int32_t num_threads) {
  require_positive_rtol(rtol);
  const std::uint64_t dim = ham.dim();
  const cdouble c = cmul({0.0, -theta}, ham.identity_coeff());
  const double b = ham.norm_bound() * std::abs(theta);

  if (b == 0.0) {
    StateBuffer result = allocate_state(dim);
    scale_all(psi, result.get(), dim, std::exp(c), num_threads);
    return result;
  }

  // Chosen before any allocation, so that a refused request costs nothing.
  const TaylorParameters p = choose_taylor_parameters(b, rtol);
  StateBuffer result = allocate_state(dim);
  const double sd = static_cast<double>(p.s);
  const cdouble eta = std::exp(cdouble{c.real() / sd, c.imag() / sd});
  copy_all(psi, result.get(), dim, num_threads);
  // The early exit compares squared moduli, which vanish or overflow for states with all
  // amplitudes below about 1e-160 or one above 1e150; such a state runs rescaled.
  const int exponent = rescaling_exponent(result.get(), dim, kSafeExponent, num_threads);
  if (exponent != 0) scale_by_power_of_two(result.get(), dim, -exponent, num_threads);
  StateBuffer term = allocate_state(dim);
  StateBuffer work = allocate_state(dim);
  const double inv_s = 1.0 / sd;

  for (std::uint64_t step = 0; step < p.s; ++step) {
    double c1 = std::sqrt(copy_max_abs2(result.get(), term.get(), dim, num_threads));
    for (std::uint64_t k = 1; k <= p.m; ++k) {
      ham.apply_nonidentity(term.get(), work.get(), num_threads);
      const double q = inv_s / static_cast<double>(k);
      const cdouble f{q * 0.0, -theta * q};  // -i*theta/(s*k)
      double max_term = 0.0, max_result = 0.0;
      add_taylor_term(f, work.get(), term.get(), result.get(), dim, num_threads, max_term, max_result);
      const double c2 = std::sqrt(max_term);
      const double nr = std::sqrt(max_result);
      // The last two terms are below the rounding of the partial sum: the series has
      // converged for this substep.
      if (nr * kEarlyExit >= c1 + c2) break;
      c1 = c2;
    }
    // The identity part commutes with everything: one scalar phase per substep.
    scale_all(result.get(), result.get(), dim, eta, num_threads);
  }
  if (exponent != 0) scale_by_power_of_two(result.get(), dim, exponent, num_threads);
  return result;
}

}  // namespace morbizet
