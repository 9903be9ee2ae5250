#pragma once
// exp(-i t_k H) psi for a grid of times t_0, t_1, ..., walked in the order given, with
// the states or the expectation values of observables handed over time by time.
//
// The walk runs in windows. At an anchor state phi (psi at first) m Lanczos steps give
// H' V_m = V_m T_m + beta_m v_{m+1} e_m^T, and every time s inside the window's reach is
// then served by the same basis: psi(anchor + s) ~ e^(-i s c0) |phi| V_m exp(-i s T_m) e_1,
// which costs O(m^2) scalars once T_m's eigenvectors are known, however many times the
// window holds. The error of that state obeys the residual bound
//     |error(s)| <= |phi| beta_m integral_0^|s| |e_m^T exp(-i sigma T_m) e_1| d sigma
// (Saad, "Analysis of some Krylov subspace approximations to the matrix exponential
// operator", SIAM J. Numer. Anal. 29 (1992), section 5; the bound follows from
// Duhamel's formula and H V_m = V_m T_m + beta_m v_{m+1} e_m^T alone, so it holds
// without orthogonality of V_m). The reach is the longest s whose bound stays within
// rtol * s / (path length): the errors of the anchors add up along the walk, so every
// returned state is within rtol * |psi| of the exact one, whatever the grid.
//
// Expectation values come either from each state formed (a combination of the basis,
// then the observable applied to it) or, where a window holds many times, from the
// observable projected into the basis once, G = V_m^H O V_m, after which each time
// costs y^H G y. The window size is the one whose cost per unit of time is least,
// found on the first window from a model of the work (applications of H' and of the
// observables, multiply-adds per amplitude) and kept for the rest of the walk.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"

namespace morbizet {

// An observable O = identity_coeff * I + O' through the operator contract, with the
// cost of one application of O' in multiply-adds per amplitude and whether O is
// Hermitian (its projection then needs only one triangle).
struct GridObservable {
  OperatorRef op;
  double cost;
  bool hermitian;
};

// What the walk hands over for every time, in the order of the grid.
class GridVisitor {
 public:
  virtual ~GridVisitor() = default;
  // k: the index of the time in the grid. state: its state when states are asked for
  // (nullptr otherwise), valid until the call returns. values: the expectation values
  // <psi_k|O|psi_k> of the observables in order (nullptr without observables).
  virtual void visit(std::size_t k, const cdouble* state, const cdouble* values) = 0;
};

struct GridOptions {
  bool states = true;             // whether the visitor needs every state
  std::uint64_t max_vectors = 0;  // state vectors the walk may hold, basis included; at least kMinGridVectors
  double application_cost = 24.0;  // one application of H' in multiply-adds per amplitude
};

// The fewest state vectors a walk can run in: a basis of 8 and its next vector, an
// output, and the observables' scratch.
inline constexpr std::uint64_t kMinGridVectors = 12;

struct GridStats {
  std::uint64_t windows = 0;     // Lanczos bases built
  std::uint64_t basis_size = 0;  // the window size chosen, m
  std::uint64_t projected = 0;   // windows whose values came from projected observables
};

// H must be Hermitian apart from its identity part (require_hermitian), and so the
// walk unitary up to that part. times[0..count) are finite. Throws std::invalid_argument
// unless 0 < rtol and max_vectors >= kMinGridVectors; std::bad_alloc when memory runs
// out. Single process only.
void evolve_grid(OperatorRef h, const cdouble* psi, const double* times, std::size_t count, double rtol,
                 const std::vector<GridObservable>& observables, const GridOptions& options, GridVisitor& visitor,
                 std::int32_t num_threads, GridStats* stats = nullptr);

}  // namespace morbizet
