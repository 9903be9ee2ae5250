#pragma once
// Argument checks shared by the two solvers.

#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <string>

namespace morbizet {

// The shortest text that reads back as x.
inline std::string format_double(double x) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, x);
  return std::string(buf, r.ptr);
}

// A zero tolerance has no finite step count, and a negative or NaN one would silently
// degrade to a first-order step; neither is a request that can be honoured.
inline void require_positive_rtol(double rtol) {
  if (!(rtol > 0.0)) {
    throw std::invalid_argument("rtol must be a positive number, got " + format_double(rtol));
  }
}

// Raised when no candidate's substep count fits in 64 bits.
[[noreturn]] inline void throw_too_large(double b, double rtol) {
  throw std::invalid_argument("|theta| * norm of H is too large for the tolerance: |theta| * sum |coeff| = " +
                              format_double(b) + " would need more than 2**64 substeps at rtol = " +
                              format_double(rtol));
}

// The first count n >= max(ceil(e^x), 1) for which too_few(n) is false, where e^x is the
// real solution of the error bound and too_few(n) tests the bound at n. Returns 0 when
// the count does not fit in 64 bits (an infinite or huge closed form, or the
// increments running out).
template <class TooFew>
std::uint64_t first_fitting_count(double x, TooFew&& too_few) {
  if (!(x > 0.0)) x = 0.0;
  const double closed = std::ceil(std::exp(x));
  if (!(closed < 0x1p64)) return 0;
  std::uint64_t n = closed < 1.0 ? 1 : static_cast<std::uint64_t>(closed);
  // Rounding in the closed form is corrected upward; past 2^53 several counts share
  // one double logarithm, so this loop runs at most a few thousand times.
  while (too_few(static_cast<double>(n))) {
    if (n == std::numeric_limits<std::uint64_t>::max()) return 0;
    ++n;
  }
  return n;
}

}  // namespace morbizet
