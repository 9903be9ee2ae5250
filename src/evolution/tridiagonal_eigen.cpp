#include "tridiagonal_eigen.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <utility>

namespace morbizet {

TridiagonalEigen tridiagonal_eigen(const double* alpha, const double* beta, std::uint64_t m, bool ends_only) {
  std::vector<double> d(alpha, alpha + m);
  // e[i] couples rows i and i + 1; e[m-1] = 0 ends the matrix.
  std::vector<double> e(m, 0.0);
  for (std::uint64_t i = 0; i + 1 < m; ++i) e[i] = beta[i];
  // The tracked rows of Q start as the same rows of the identity; each rotation acts on
  // two columns of every row independently.
  const std::uint64_t rows = ends_only ? std::min<std::uint64_t>(m, 2) : m;
  std::vector<double> z(rows * m, 0.0);
  for (std::uint64_t r = 0; r < rows; ++r) z[r * m + (ends_only && r == 1 ? m - 1 : r)] = 1.0;
  const double eps = std::numeric_limits<double>::epsilon();

  for (std::uint64_t l = 0; l < m; ++l) {
    for (int iteration = 0;; ++iteration) {
      // The first negligible off-diagonal at or below l splits off the block [l, end].
      std::uint64_t end = l;
      while (end + 1 < m && std::abs(e[end]) > eps * (std::abs(d[end]) + std::abs(d[end + 1]))) ++end;
      if (end == l) break;  // d[l] has converged
      if (iteration == 60) throw std::runtime_error("tridiagonal eigenvalues did not converge");
      // Wilkinson's shift from the leading 2x2 block, then one implicit QL sweep from the
      // bottom of the block up, chasing the bulge with plane rotations.
      double g = (d[l + 1] - d[l]) / (2.0 * e[l]);
      double r = std::hypot(g, 1.0);
      g = d[end] - d[l] + e[l] / (g + std::copysign(r, g));
      double s = 1.0, c = 1.0, p = 0.0;
      bool underflow = false;
      for (std::uint64_t i = end; i-- > l;) {
        const double f = s * e[i];
        const double b = c * e[i];
        r = std::hypot(f, g);
        e[i + 1] = r;
        if (r == 0.0) {
          // The rotation underflowed: deflate here and start the block again.
          d[i + 1] -= p;
          e[end] = 0.0;
          underflow = true;
          break;
        }
        s = f / r;
        c = g / r;
        g = d[i + 1] - p;
        r = (d[i] - g) * s + 2.0 * c * b;
        p = s * r;
        d[i + 1] = g + p;
        g = c * r - b;
        for (std::uint64_t k = 0; k < rows; ++k) {
          const double zi1 = z[k * m + i + 1], zi = z[k * m + i];
          z[k * m + i + 1] = s * zi + c * zi1;
          z[k * m + i] = c * zi - s * zi1;
        }
      }
      if (underflow) continue;
      d[l] -= p;
      e[l] = g;
      e[end] = 0.0;
    }
  }
  return {std::move(d), std::move(z)};
}

}  // namespace morbizet
