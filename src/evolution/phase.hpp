#pragma once
// Scalar phases exp(z) whose modulus may leave the double range.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "morbizet/complex.hpp"

namespace morbizet {

// exp(z) = factor * 2^exponent. Within |Re z| <= 700, exp(z) is a normal double and
// comes back whole (factor = std::exp(z), exponent = 0). Beyond, the power of two is
// split off, so that a phase such as exp(-1000) can still scale a large state into a
// representable result.
struct SplitPhase {
  cdouble factor;
  std::int64_t exponent;
};

inline SplitPhase split_exp(cdouble z) {
  constexpr double kWhole = 700.0;
  if (!(std::abs(z.real()) > kWhole)) return {std::exp(z), 0};  // NaN stays on this path
  const double k = std::floor(z.real() / std::numbers::ln2);
  const double limit = 1e6;  // far beyond any representable result; keeps k an integer
  return {std::exp(cdouble{z.real() - k * std::numbers::ln2, z.imag()}),
          static_cast<std::int64_t>(std::clamp(k, -limit, limit))};
}

// An exponent accumulated over many substeps, cut to the range where ldexp already
// gives 0 or infinity for every finite double.
inline int clamp_exponent(std::int64_t e) { return static_cast<int>(std::clamp<std::int64_t>(e, -4200, 4200)); }

}  // namespace morbizet
