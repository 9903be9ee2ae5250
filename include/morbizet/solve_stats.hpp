#pragma once
// What a solver chose and did, for whoever wants to know: benchmarks, tests, users.

#include <cstdint>
#include <limits>

#include "morbizet/spectrum_bounds.hpp"

namespace morbizet {

struct SolveStats {
  // Applications of H' made, counted by the operator (see CountingOperator); the
  // solvers leave this field alone.
  std::uint64_t applications = 0;
  // The a-priori parameters: Taylor degree m and substeps s; Krylov dimension d and
  // substeps n; Chebyshev degree K and one step.
  std::uint64_t degree = 0;
  std::uint64_t substeps = 0;
  // Chebyshev only: the Lanczos steps spent on the spectral interval, the extreme Ritz
  // values they found, the interval the series was expanded on, and whether the
  // series had to be redone on the safe interval +-norm_bound.
  std::uint64_t estimation_steps = 0;
  double ritz_min = std::numeric_limits<double>::quiet_NaN();
  double ritz_max = std::numeric_limits<double>::quiet_NaN();
  double interval_lo = std::numeric_limits<double>::quiet_NaN();
  double interval_hi = std::numeric_limits<double>::quiet_NaN();
  bool widened = false;
  // Where the interval came from, and whether an earlier solve on the same operator
  // found it (then this one spent nothing on it).
  IntervalSource interval_source = IntervalSource::norm_bound;
  bool interval_kept = false;
};

}  // namespace morbizet
