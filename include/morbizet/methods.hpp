#pragma once
// The solvers of exp(-i theta H) psi, one row each: everything an entry point needs to
// know to run one by name. Adding a solver means adding its file and its row; the
// bindings and the Python package read the rows, never a list of their own.

#include <cstdint>
#include <span>
#include <string_view>

#include "morbizet/complex.hpp"
#include "morbizet/operator.hpp"
#include "morbizet/solve_stats.hpp"
#include "morbizet/spectrum_bounds.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

// The form of H' a solver runs on: the words in order, whose action gives the same
// bits as the word-by-word definition, or the words gathered by the qubits they flip
// (faster, equal to rounding).
enum class ActionForm { words, grouped };

struct MethodRow {
  std::string_view name;
  // bounds: the spectral interval kept with the operator, for the methods that use one
  // (the others leave it alone); may be null.
  StateBuffer (*solve)(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t num_threads,
                       SolveStats* stats, SpectrumBounds* bounds);
  ActionForm form;
  bool needs_hermitian;    // H' must be Hermitian (real coefficients on every non-identity word)
  bool reports_interval;   // the statistics hold the spectral interval and how it was found
};

// Every method, in the order the package lists them.
std::span<const MethodRow> methods();

// The row named name, or nullptr.
const MethodRow* find_method(std::string_view name);

}  // namespace morbizet
