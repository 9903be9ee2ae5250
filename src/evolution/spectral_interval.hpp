#pragma once
// An interval that holds the spectrum of H', for the Chebyshev solver.

#include <cstdint>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/spectrum_bounds.hpp"

namespace morbizet {

struct SpectralInterval {
  double lo;
  double hi;
  double safe_lo;  // the interval that holds for certain, for a series that must not fail
  double safe_hi;
  double ritz_min;  // the extreme Ritz values found (NaN without Lanczos steps)
  double ritz_max;
  std::uint64_t steps;  // Lanczos steps, one application of H' each
  bool estimated;       // false: the interval holds for certain (+-norm_bound, or the operator's bounds)
  IntervalSource source;
};

// The interval [-norm_bound, norm_bound] holds every eigenvalue of a Hermitian H', and so
// do the operator's own bounds where it has them (Gershgorin discs of the grouped
// action). When the series on that is long enough for a shorter one to pay, Lanczos steps from a
// pseudo-random probe vector find the extreme Ritz values and a bound around them that
// holds unless the probe is nearly orthogonal to an extreme eigenvector (chance below
// 1e-12 for a random probe); steps continue while each one still saves more than one
// term of the series. With keep, the interval is kept for later solves on the same
// operator: it is estimated for short series too, and steps continue while they save
// more than a kReuse-th of a term each (as if the steps' cost were shared among that
// many solves). a, b, w are three scratch vectors of op.local_dim() amplitudes.
SpectralInterval choose_interval(const OperatorRef& op, double theta, double rtol, cdouble* a, cdouble* b, cdouble* w,
                                 std::int32_t num_threads, bool keep = false);

// The bounds as kept between solves; the certain ones alone, after an estimate missed.
SpectrumBounds kept_bounds(const SpectralInterval& interval);
SpectrumBounds certain_bounds(double safe_lo, double safe_hi, double norm_bound);

// Bounds for the extreme eigenvalues from m Lanczos steps: alpha[0..m), beta[0..m-1) make
// the tridiagonal T_m. Returns the interval where |p(x)| <= growth for the Chebyshev
// polynomial p of degree m-1 on [ritz_min, ritz_max], scaled so that every eigenvalue
// whose eigenvector has a component of at least delta in the probe lies inside it (van
// Dorsselaer, Hochstenbach and van der Vorst, "Computing probabilistic bounds for
// extreme eigenvalues of symmetric matrices with the Lanczos method", SIAM J. Matrix
// Anal. Appl. 22 (2000), section 4).
struct RitzBounds {
  double ritz_min, ritz_max, lo, hi;
  double level;  // acosh of the growth bound: the reach after m' steps is cosh(level / (m' - 1))
};
RitzBounds lanczos_bounds(const double* alpha, const double* beta, std::uint64_t m, double delta);

}  // namespace morbizet
