#pragma once
// What is known of the spectrum of H' between solves on the same operator.

#include <string_view>

namespace morbizet {

// Where an interval holding the spectrum of H' came from: +-norm_bound (the sum of the
// coefficients' moduli), the Gershgorin discs of the grouped action, or Lanczos steps
// (probable bounds, inside the certain ones).
enum class IntervalSource { norm_bound, gershgorin, lanczos };

std::string_view interval_source_name(IntervalSource source);

// An interval [lo, hi] that holds the spectrum of H' (probably, where estimated from
// Lanczos steps), and [safe_lo, safe_hi] that holds it for certain; kept by the caller
// between calls on the same operator so that only the first one pays for it.
struct SpectrumBounds {
  double lo, hi, safe_lo, safe_hi;
  bool estimated;
  bool known;  // false: not yet found
  IntervalSource source = IntervalSource::norm_bound;
};

}  // namespace morbizet
