#pragma once
// exp(-i*theta*H)*psi by a two-pass Lanczos method: each of n equal substeps projects
// onto a Krylov space of dimension at most d, exponentiates the tridiagonal projection
// densely, and regenerates the basis in a second pass instead of storing it. The
// recurrence treats H - identity_coeff*I as Hermitian.

#include <cstdint>
#include <limits>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/dense_matrix.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/state_vector.hpp"
#include "morbizet/vector_kernels.hpp"

namespace morbizet {

// Krylov dimension d (at most 64) and number of equal substeps n.
struct KrylovParameters {
  std::uint64_t d;
  std::uint64_t n;
};

// The (d, n) with the fewest applications (2d - 1)*n whose a-priori error bound
// n * 2 * (c/n)^d / d! stays within rtol/2; ties keep the smaller d. c = |theta| *
// norm_bound, not 0. A candidate whose substep count does not fit in 64 bits is left
// out; throws std::invalid_argument when every candidate is left out.
KrylovParameters choose_krylov_parameters(std::uint64_t dim, double c, double rtol);

// Scratch of one call: the tridiagonal projection and three vectors of dim amplitudes.
struct KrylovWorkspace {
  KrylovWorkspace(std::uint64_t d, std::uint64_t dim);

  std::uint64_t d;
  // lanczos_project ends the space at the first beta_j below the invariant-subspace
  // threshold (2^-52 * 100, less for a norm below 1) or below this cap, whichever is
  // lower; the solver sets it from rtol, theta and the norm bound.
  double breakdown_cap = std::numeric_limits<double>::infinity();
  std::vector<double> T;  // d x d, row-major: alpha_j at (j, j), beta_j at (j+1, j) and (j, j+1)
  StateBuffer v_prev;
  StateBuffer v_cur;
  StateBuffer w;
};

// First pass: fills ws.T from x (with norm beta) and returns the number of Lanczos
// steps m, 1 <= m <= ws.d, fewer when an invariant subspace is found.
std::uint64_t lanczos_project(OperatorRef h, const cdouble* x, double beta,
                              std::int32_t num_threads, KrylovWorkspace& ws);

// Second pass: out = beta * V_m * exp(-i*tau*T_m) * e_1, regenerating V_m from x and T.
void lanczos_reconstruct(OperatorRef h, const cdouble* x, double beta, std::uint64_t m,
                         double tau, cdouble* out, std::int32_t num_threads, KrylovWorkspace& ws);

// The leading m x m block of T times z, as a complex matrix.
DenseMatrix build_projected_matrix(const std::vector<double>& T, std::uint64_t d, std::uint64_t m,
                                   cdouble z);

// psi holds ham.local_dim() amplitudes (all dim() of them on one process). Throws
// std::invalid_argument unless rtol > 0, or when theta*norm_bound is too large for rtol;
// std::bad_alloc when memory runs out. stats, when given, receives (d, n).
StateBuffer evolve_krylov(OperatorRef ham, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                          SolveStats* stats = nullptr);

}  // namespace morbizet
