#pragma once
// Independent dense references for the core's tests: Pauli words as Kronecker products
// of 2x2 matrices, built without the masks under test.

#include <algorithm>
#include <bit>
#include <complex>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "morbizet/complex.hpp"

namespace morbizet::testing {

using Dense = std::vector<cdouble>;  // row-major square matrix

inline Dense pauli_matrix(char c) {
  const cdouble i{0.0, 1.0};
  switch (c) {
    case 'X': return {0.0, 1.0, 1.0, 0.0};
    case 'Y': return {0.0, -i, i, 0.0};
    case 'Z': return {1.0, 0.0, 0.0, -1.0};
    default: return {1.0, 0.0, 0.0, 1.0};
  }
}

inline Dense kron(const Dense& a, std::size_t na, const Dense& b, std::size_t nb) {
  Dense out(na * nb * na * nb);
  for (std::size_t i = 0; i < na; ++i)
    for (std::size_t j = 0; j < na; ++j)
      for (std::size_t k = 0; k < nb; ++k)
        for (std::size_t l = 0; l < nb; ++l) out[(i * nb + k) * (na * nb) + (j * nb + l)] = a[i * na + j] * b[k * nb + l];
  return out;
}

// coeff * (P_0 kron P_1 kron ...): the leftmost character is the most significant qubit.
inline Dense word_matrix(cdouble coeff, const std::string& s) {
  Dense m{coeff};
  std::size_t n = 1;
  for (char c : s) {
    m = kron(m, n, pauli_matrix(c), 2);
    n *= 2;
  }
  return m;
}

// The sum of coeff * P over words given as (coeff, string) pairs, each word built by
// Kronecker products of its characters.
template <class Words>
Dense sum_of_words(const Words& words, std::size_t dim) {
  Dense sum(dim * dim);
  for (const auto& w : words) {
    const Dense m = word_matrix(w.coeff(), w.get_string());
    for (std::size_t e = 0; e < sum.size(); ++e) sum[e] += m[e];
  }
  return sum;
}

// The eigenvalues of a Hermitian matrix, ascending, by cyclic Jacobi rotations on its
// real symmetric 2d x 2d form [[Re, -Im], [Im, Re]] (each eigenvalue twice): slow, but
// independent of everything under test.
inline std::vector<double> hermitian_eigenvalues(const Dense& h, std::size_t d) {
  const std::size_t m = 2 * d;
  std::vector<double> a(m * m);
  for (std::size_t i = 0; i < d; ++i)
    for (std::size_t j = 0; j < d; ++j) {
      const cdouble v = h[i * d + j];
      a[i * m + j] = a[(i + d) * m + j + d] = v.real();
      a[(i + d) * m + j] = v.imag();
      a[i * m + j + d] = -v.imag();
    }
  for (int sweep = 0; sweep < 60; ++sweep) {
    double off = 0.0;
    for (std::size_t p = 0; p < m; ++p)
      for (std::size_t q = p + 1; q < m; ++q) off += a[p * m + q] * a[p * m + q];
    if (off < 1e-26) break;
    for (std::size_t p = 0; p < m; ++p)
      for (std::size_t q = p + 1; q < m; ++q) {
        if (std::abs(a[p * m + q]) < 1e-300) continue;
        const double theta = 0.5 * std::atan2(2 * a[p * m + q], a[q * m + q] - a[p * m + p]);
        const double c = std::cos(theta), s = std::sin(theta);
        for (std::size_t k = 0; k < m; ++k) {
          const double akp = a[k * m + p], akq = a[k * m + q];
          a[k * m + p] = c * akp - s * akq;
          a[k * m + q] = s * akp + c * akq;
        }
        for (std::size_t k = 0; k < m; ++k) {
          const double apk = a[p * m + k], aqk = a[q * m + k];
          a[p * m + k] = c * apk - s * aqk;
          a[q * m + k] = s * apk + c * aqk;
        }
      }
  }
  std::vector<double> eig(m);
  for (std::size_t i = 0; i < m; ++i) eig[i] = a[i * m + i];
  std::sort(eig.begin(), eig.end());
  return eig;
}

inline std::vector<cdouble> matvec(const Dense& m, const std::vector<cdouble>& v) {
  const std::size_t n = v.size();
  std::vector<cdouble> out(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t j = 0; j < n; ++j) out[i] += m[i * n + j] * v[j];
  return out;
}

inline std::vector<cdouble> random_state(std::size_t dim, std::mt19937_64& rng) {
  std::normal_distribution<double> g;
  std::vector<cdouble> v(dim);
  for (auto& x : v) x = {g(rng), g(rng)};
  return v;
}

inline std::string random_string(std::size_t n, std::mt19937_64& rng) {
  static const char kChars[] = "IXYZ";
  std::string s(n, 'I');
  for (auto& c : s) c = kChars[rng() % 4];
  return s;
}

inline double max_abs_diff(const cdouble* a, const cdouble* b, std::size_t n) {
  double mx = 0.0;
  for (std::size_t i = 0; i < n; ++i) mx = std::max(mx, std::abs(a[i] - b[i]));
  return mx;
}

inline bool bitwise_equal(const cdouble* a, const cdouble* b, std::size_t n) {
  return std::equal(a, a + n, b, [](cdouble x, cdouble y) {
    return std::bit_cast<std::uint64_t>(x.real()) == std::bit_cast<std::uint64_t>(y.real()) &&
           std::bit_cast<std::uint64_t>(x.imag()) == std::bit_cast<std::uint64_t>(y.imag());
  });
}

}  // namespace morbizet::testing
