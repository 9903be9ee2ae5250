#include "morbizet/methods.hpp"

#include <array>

#include "morbizet/evolve_chebyshev.hpp"
#include "morbizet/evolve_higham.hpp"
#include "morbizet/evolve_krylov.hpp"

namespace morbizet {

namespace {

// Taylor with its rounding bound in the stopping rule, as the package runs it.
StateBuffer taylor(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t threads,
                   SolveStats* stats, SpectrumBounds*) {
  return evolve_higham(op, psi, theta, rtol, threads, stats, TaylorRounding::bounded);
}

StateBuffer krylov(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t threads,
                   SolveStats* stats, SpectrumBounds*) {
  return evolve_krylov(op, psi, theta, rtol, threads, stats);
}

StateBuffer chebyshev(OperatorRef op, const cdouble* psi, double theta, double rtol, std::int32_t threads,
                      SolveStats* stats, SpectrumBounds* bounds) {
  return evolve_chebyshev(op, psi, theta, rtol, threads, stats, bounds);
}

constexpr std::array kMethods{
    MethodRow{"chebyshev", &chebyshev, ActionForm::grouped, true, true},
    MethodRow{"taylor", &taylor, ActionForm::words, false, false},
    MethodRow{"krylov", &krylov, ActionForm::words, true, false},
};

}  // namespace

std::span<const MethodRow> methods() { return kMethods; }

const MethodRow* find_method(std::string_view name) {
  for (const MethodRow& row : kMethods) {
    if (row.name == name) return &row;
  }
  return nullptr;
}

}  // namespace morbizet
