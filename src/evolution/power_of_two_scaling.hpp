#pragma once
// Exact rescaling of a state by a power of two, for states whose squared amplitudes
// would leave the double range. Both solvers are linear in the state and every one of
// their operations commutes exactly with a power-of-two factor as long as nothing
// overflows or becomes subnormal, so a rescaled run gives the rescaled result.

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "morbizet/complex.hpp"
#include "operators/parallel.hpp"

namespace morbizet {

// Largest |re| or |im| over the vector; NaN entries are passed over.
inline double max_component(const cdouble* x, std::uint64_t len, std::int32_t threads) {
  double mx = 0.0, unused = 0.0;
  parallel_max2(len, threads, mx, unused, [&](std::uint64_t b, std::uint64_t e, double& m, double&) {
    for (std::uint64_t i = b; i < e; ++i) {
      const double a = std::max(std::abs(x[i].real()), std::abs(x[i].imag()));
      m = a > m ? a : m;
    }
  });
  return mx;
}

// x *= 2^e.
inline void scale_by_power_of_two(cdouble* x, std::uint64_t len, int e, std::int32_t threads) {
  parallel_ranges(len, threads, [&](std::uint64_t b, std::uint64_t end) {
    for (std::uint64_t i = b; i < end; ++i) x[i] = {std::ldexp(x[i].real(), e), std::ldexp(x[i].imag(), e)};
  });
}

// The exponent e with 2^-e * x of largest component in [1, 2), or 0 when x is zero or
// not finite, or when its largest component already lies in [2^-limit, 2^limit].
inline int rescaling_exponent(const cdouble* x, std::uint64_t len, int limit, std::int32_t threads) {
  const double mx = max_component(x, len, threads);
  if (mx == 0.0 || !std::isfinite(mx)) return 0;
  if (mx >= std::ldexp(1.0, -limit) && mx <= std::ldexp(1.0, limit)) return 0;
  return std::ilogb(mx);
}

}  // namespace morbizet
