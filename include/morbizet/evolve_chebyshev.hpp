#pragma once
// exp(-i*theta*H)*psi by a Chebyshev series in H' on an interval that holds its
// spectrum (Tal-Ezer and Kosloff, J. Chem. Phys. 81 (1984) 3967), for Hermitian H'.
//
// With H = s*I + H' and the spectrum of H' inside [c - r, c + r],
// exp(-i theta H) = exp(-i theta (s + c)) * sum_k eps_k (-i)^k J_k(theta r) T_k((H' - c)/r),
// eps_0 = 1, eps_k = 2. The identity part and the centre of the interval are applied
// exactly as one scalar factor; the degree is the smallest whose neglected tail of
// Bessel coefficients is within rtol, so |result - exact| <= rtol * |psi| up to rounding.
// The interval is +-norm_bound, or a tighter one from a few Lanczos steps where that
// shortens the series by more than the steps cost (see choose_interval); should the
// Chebyshev vectors ever outgrow |psi|, which they cannot on an interval that holds the
// spectrum, the series is redone on +-norm_bound.

#include <cstdint>
#include <string_view>

#include "morbizet/complex.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/spectrum_bounds.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

// Throws std::invalid_argument naming the first non-identity word of h whose coefficient
// has a non-zero imaginary part: the named solver (the series by default) needs a
// Hermitian H'.
void require_hermitian(const Hamiltonian& h, std::string_view method = "chebyshev");

// psi holds op.local_dim() amplitudes (all dim() of them on one process); H' must be
// Hermitian (require_hermitian). Throws std::invalid_argument unless rtol > 0, or when
// theta*norm_bound is too large; std::bad_alloc when memory runs out. Holds three state
// vectors besides psi, four with an operator that cannot hand H' * psi over a unit at a
// time (HandingOverOperator). stats, when given, receives the degree, the Lanczos steps
// and the interval. bounds, when given, is the interval kept with the operator: used
// where known (no steps spent), found and filled in otherwise, refined for later solves
// as well as this one (see choose_interval).
StateBuffer evolve_chebyshev(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                             SolveStats* stats = nullptr, SpectrumBounds* bounds = nullptr);

}  // namespace morbizet
