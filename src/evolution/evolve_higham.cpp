#include "morbizet/evolve_higham.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tolerance.hpp"

namespace morbizet {

namespace {

constexpr std::uint64_t kMaxDegree = 55;
// Terms below this fraction of the partial sum cannot change it in double precision.
constexpr double kEarlyExit = 0x1p-53;

// Largest squared modulus, starting from 0 and replaced only by a strictly greater
// value, so NaN entries never win.
struct Maxima {
  double term = 0.0;
  double result = 0.0;
};

double max_abs2(const cdouble* v, std::uint64_t n) {
  double mx = 0.0;
  for (std::uint64_t i = 0; i < n; ++i) {
    const double a = v[i].real() * v[i].real() + v[i].imag() * v[i].imag();
    mx = a > mx ? a : mx;
  }
  return mx;
}

// One Taylor term: term = f*work, result += term, and both maxima, in one pass.
Maxima add_taylor_term(cdouble f, const cdouble* work, cdouble* term, cdouble* result, std::uint64_t n) {
  Maxima mx;
  for (std::uint64_t i = 0; i < n; ++i) {
    const cdouble t = cmul(f, work[i]);
    const cdouble r{result[i].real() + t.real(), result[i].imag() + t.imag()};
    term[i] = t;
    result[i] = r;
    const double at = t.real() * t.real() + t.imag() * t.imag();
    const double ar = r.real() * r.real() + r.imag() * r.imag();
    mx.term = at > mx.term ? at : mx.term;
    mx.result = ar > mx.result ? ar : mx.result;
  }
  return mx;
}

void multiply_all(cdouble* v, std::uint64_t n, cdouble phase) {
  for (std::uint64_t i = 0; i < n; ++i) v[i] = cmul(v[i], phase);
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
    const cdouble phase = std::exp(c);
    for (std::uint64_t i = 0; i < dim; ++i) result[i] = cmul(phase, psi[i]);
    return result;
  }

  // Chosen before any allocation, so that a refused request costs nothing.
  const TaylorParameters p = choose_taylor_parameters(b, rtol);
  StateBuffer result = allocate_state(dim);
  const double sd = static_cast<double>(p.s);
  const cdouble eta = std::exp(cdouble{c.real() / sd, c.imag() / sd});
  std::copy(psi, psi + dim, result.get());
  StateBuffer term = allocate_state(dim);
  StateBuffer work = allocate_state(dim);
  const double inv_s = 1.0 / sd;

  for (std::uint64_t step = 0; step < p.s; ++step) {
    std::copy(result.get(), result.get() + dim, term.get());
    double c1 = std::sqrt(max_abs2(term.get(), dim));
    for (std::uint64_t k = 1; k <= p.m; ++k) {
      ham.apply_nonidentity(term.get(), work.get(), num_threads);
      const double q = inv_s / static_cast<double>(k);
      const cdouble f{q * 0.0, -theta * q};  // -i*theta/(s*k)
      const Maxima mx = add_taylor_term(f, work.get(), term.get(), result.get(), dim);
      const double c2 = std::sqrt(mx.term);
      const double nr = std::sqrt(mx.result);
      // The last two terms are below the rounding of the partial sum: the series has
      // converged for this substep.
      if (nr * kEarlyExit >= c1 + c2) break;
      c1 = c2;
    }
    // The identity part commutes with everything: one scalar phase per substep.
    multiply_all(result.get(), dim, eta);
  }
  return result;
}

}  // namespace morbizet
