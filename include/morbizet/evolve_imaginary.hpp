#pragma once
// Imaginary-time evolution exp(-beta H) psi for a Hermitian H', returned as the unit
// vector along it and the logarithm of its norm, so that no beta |H| a double can hold
// overflows or underflows.
//
// With H = s*I + H' and the spectrum of H' inside [lo, hi] (c, r its centre and half
// width), exp(-t H) = exp(-t (s + lo)) exp(-t (H' - lo)), and the second factor, at most 1
// on the spectrum, is the Chebyshev series sum_k eps_k (-1)^k e^-z I_k(z) T_k((H' - c)/r)
// with z = t r (Abramowitz and Stegun 9.6.34; Tal-Ezer and Kosloff 1984 for the
// real-time counterpart). The series approximates to an absolute error, so beta is cut
// into chunks over each of which the state's norm falls by at most e^-6: the result of a
// chunk then keeps its relative accuracy, is normalised, and its logarithmic norm is
// carried. The first chunk is 6 / (hi - lo) long (the norm falls at most at the rate
// hi - lo), each later one as long as the last one's fall allows: -ln|exp(-t A) psi| is
// concave in t for A >= 0, so the fall over the next chunk is at most its length times
// the last chunk's mean rate.

#include <cstdint>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/spectrum_bounds.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

struct ImaginaryResult {
  StateBuffer state;  // exp(-beta H) psi / |exp(-beta H) psi| (zero for psi = 0)
  double log_norm;    // ln |exp(-beta H) psi| (-inf for psi = 0)
};

// psi holds op.local_dim() amplitudes; H' must be Hermitian. beta >= 0 and finite, rtol
// > 0, else std::invalid_argument. Each chunk's result lies within rtol / 20 of the exact
// one relative to its norm. bounds, when given, is used where known and filled in
// otherwise; stats receives the largest degree, the chunks (substeps), the interval and
// the Lanczos steps spent on it.
ImaginaryResult evolve_imaginary(OperatorRef op, const cdouble* psi, double beta, double rtol,
                                 std::int32_t num_threads, SolveStats* stats = nullptr,
                                 SpectrumBounds* bounds = nullptr);

}  // namespace morbizet
