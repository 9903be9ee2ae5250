#include "chebyshev_series.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "tolerance.hpp"

namespace morbizet {

namespace {

// Above this the recurrence's values are scaled down; one step grows them by at most
// 2k/z, far less than the room left, since the recurrence only runs for z > 1.
constexpr double kRescaleAbove = 1e250;
constexpr double kRescaleBy = 1e-250;
constexpr double kMaxDegree = 2147483647.0;

// J_k(z) = sum_m (-1)^m (z/2)^(2m+k) / (m! (m+k)!) (Abramowitz and Stegun 9.1.10), for
// z <= 1, where it converges within a few terms; (z/2)^k / k! is carried from k to
// k + 1 and may underflow to 0, as J_k itself does.
std::vector<double> bessel_j_series(double z, std::uint64_t last) {
  std::vector<double> j(last + 1, 0.0);
  const double h = 0.5 * z, h2 = h * h;
  double lead = 1.0;  // (z/2)^k / k!
  for (std::uint64_t k = 0; k <= last && lead != 0.0; ++k) {
    if (k > 0) lead *= h / static_cast<double>(k);
    double term = lead, sum = lead;
    for (std::uint64_t m = 0; term != 0.0 && std::abs(term) > 1e-18 * std::abs(sum); ++m) {
      term *= -h2 / (static_cast<double>(m + 1) * static_cast<double>(m + k + 1));
      sum += term;
    }
    j[k] = sum;
  }
  return j;
}

// Start of the backward recurrence for J_0..J_last: the values it starts from are wrong,
// and the error shrinks by about z/(2k) per step downward, so starting sqrt(40 * max)
// plus a few tens of steps above max(z, last) leaves it below double precision.
std::uint64_t miller_start(double z, std::uint64_t last) {
  const double top = std::max(z, static_cast<double>(last));
  const double start = top + 30.0 + std::ceil(std::sqrt(40.0 * top));
  const auto n = static_cast<std::uint64_t>(start);
  return n + (n & 1);  // even, so that the normalisation sum ends on J_0
}

}  // namespace

std::vector<double> bessel_j_sequence(double z, std::uint64_t last) {
  if (z <= 1.0) return bessel_j_series(z, last);
  std::vector<double> j(last + 1, 0.0);
  const std::uint64_t start = miller_start(z, last);
  std::vector<double> all(start + 2, 0.0);
  all[start] = 1e-300;
  for (std::uint64_t k = start; k >= 1; --k) {
    all[k - 1] = (2.0 * static_cast<double>(k) / z) * all[k] - all[k + 1];
    if (std::abs(all[k - 1]) > kRescaleAbove) {
      for (std::uint64_t i = k - 1; i <= start; ++i) all[i] *= kRescaleBy;
    }
  }
  // J_0 + 2 sum J_2k = 1, summed from the small end with compensation (Neumaier), since
  // for large z it adds many terms of both signs.
  double sum = 0.0, carry = 0.0;
  for (std::uint64_t k = start; k >= 2; k -= 2) {
    const double term = 2.0 * all[k];
    const double t = sum + term;
    carry += std::abs(sum) >= std::abs(term) ? (sum - t) + term : (term - t) + sum;
    sum = t;
  }
  const double t = sum + all[0];
  carry += std::abs(sum) >= std::abs(all[0]) ? (sum - t) + all[0] : (all[0] - t) + sum;
  const double norm = t + carry;
  // Cannot happen for z > 1 (the values stay far inside the double range); checked so
  // that no bad coefficient ever reaches a state.
  if (!std::isfinite(norm) || norm == 0.0) throw std::runtime_error("Bessel recurrence left the double range");
  for (std::uint64_t k = 0; k <= last; ++k) j[k] = all[k] / norm;
  return j;
}

ChebyshevSeries chebyshev_series(double a, double rtol) {
  // J_k(a) decays faster than geometrically once k exceeds a, so the degree lies a
  // little above a; look that far, and further if the tail is not yet small enough.
  double guess = a + 10.0 + 4.0 * std::cbrt(a) * std::max(1.0, -std::log10(rtol));
  for (;;) {
    if (!(guess <= kMaxDegree)) throw_too_large(a, rtol);
    const auto last = static_cast<std::uint64_t>(guess);
    std::vector<double> j = bessel_j_sequence(a, last);
    double tail = 0.0;
    std::uint64_t k = last;
    // Tail beyond last: below the last computed term's share, checked by the margin.
    while (k > 0 && tail + 2.0 * std::abs(j[k]) <= rtol) {
      tail += 2.0 * std::abs(j[k]);
      --k;
    }
    // Keep looking further when the tail is not yet within rtol a few terms below last.
    if (k + 4 <= last || last >= kMaxDegree) {
      j.resize(k + 1);
      return {k, std::move(j)};
    }
    guess = 2.0 * guess + 16.0;
  }
}

std::uint64_t chebyshev_degree(double a, double rtol) { return chebyshev_series(a, rtol).degree; }

DecaySeries decay_series(double z, double tol) {
  // e^-z I_k(z) ~ exp(-k^2 / (2z)) / sqrt(2 pi z) while k is well below z and falls
  // faster beyond, so the values above sqrt(2 z ln(1/tol)) + a few are below tol; the
  // backward recurrence I_{k-1} = (2k/z) I_k + I_{k+1} (9.6.26), stable downward since
  // I_k is its minimal solution, starts well above that and is normalised by
  // I_0 + 2 sum I_k = e^z.
  if (z == 0.0) return {0, {1.0}};
  const double reach = std::sqrt(2.0 * z * std::max(1.0, std::log(1.0 / tol))) + 10.0;
  const double first = reach + 30.0 + std::ceil(std::sqrt(40.0 * std::max(z, reach)));
  if (!(first <= kMaxDegree)) throw_too_large(z, tol);
  const auto start = static_cast<std::uint64_t>(first);
  std::vector<double> all(start + 2, 0.0);
  all[start] = 1e-300;
  for (std::uint64_t k = start; k >= 1; --k) {
    all[k - 1] = (2.0 * static_cast<double>(k) / z) * all[k] + all[k + 1];
    if (all[k - 1] > kRescaleAbove) {
      for (std::uint64_t i = k - 1; i <= start; ++i) all[i] *= kRescaleBy;
    }
  }
  // Every term is positive: summed from the small end, the sum loses nothing.
  double sum = 0.0;
  for (std::uint64_t k = start; k >= 1; --k) sum += 2.0 * all[k];
  sum += all[0];
  for (double& v : all) v /= sum;
  double tail = 0.0;
  std::uint64_t k = start;
  while (k > 0 && tail + 2.0 * all[k] <= tol) tail += 2.0 * all[k--];
  all.resize(k + 1);
  return {k, std::move(all)};
}

}  // namespace morbizet
