#pragma once
// exp(-i*theta*H)*psi by a truncated Taylor series with a-priori degree and substeps,
// after Al-Mohy and Higham, "Computing the action of the matrix exponential, with an
// application to exponential integrators", SIAM J. Sci. Comput. 33 (2011).

#include <cstdint>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

// Degree m (1..55) and number of equal substeps s of the Taylor solver.
struct TaylorParameters {
  std::uint64_t m;
  std::uint64_t s;
};

// The (m, s) with the fewest Hamiltonian applications s*m whose remainder bound
// s * (b/s)^(m+1) / (m+1)! stays within ln(1 + rtol/2); ties keep the smaller m.
// b = |theta| * norm_bound. A degree whose substep count does not fit in 64 bits is
// left out; throws std::invalid_argument when every degree is left out.
TaylorParameters choose_taylor_parameters(double b, double rtol);

// The choice above bounds the truncation error alone. Each substep also rounds its
// partial sums, whose largest term is about max_k (b/s)^k / k! times the vector, so
// that over s substeps the rounding grows to about s * eps * max_k (b/s)^k / k!: beyond
// rtol for long times (H = Z at theta = 1e5 and rtol = 1e-8 gives 3e-8). This raises s
// (and lowers m to the least degree that still fits) until that estimate is within
// rtol/4, or at the floor b * eps where rtol asks for less; p itself when it already is.
TaylorParameters limit_taylor_rounding(TaylorParameters p, double b, double rtol);

// ignored: the a-priori choice alone; bounded: with limit_taylor_rounding.
enum class TaylorRounding { ignored, bounded };

// psi holds op.local_dim() amplitudes (all dim() of them on one process). Throws
// std::invalid_argument unless rtol > 0, or when theta*norm_bound is too large for rtol;
// std::bad_alloc when memory runs out. stats, when given, receives (m, s).
StateBuffer evolve_higham(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                          SolveStats* stats = nullptr, TaylorRounding rounding = TaylorRounding::ignored);

}  // namespace morbizet
