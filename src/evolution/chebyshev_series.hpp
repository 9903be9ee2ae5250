#pragma once
// The Chebyshev expansion of exp(-i z x) on [-1, 1] and its truncation degree.
//
// Jacobi-Anger: exp(-i z x) = J_0(z) + 2 sum_{k>=1} (-i)^k J_k(z) T_k(x) for x in [-1, 1]
// (Tal-Ezer and Kosloff, "An accurate and efficient scheme for propagating the time
// dependent Schroedinger equation", J. Chem. Phys. 81 (1984) 3967, eq. 11). Since
// |T_k(x)| <= 1 there, dropping the terms above K changes the result by at most the
// tail 2 sum_{k>K} |J_k(z)| times |psi|.

#include <cstdint>
#include <vector>

namespace morbizet {

// J_0(z), ..., J_last(z) for z >= 0, by Miller's backward recurrence
// J_{k-1} = (2k/z) J_k - J_{k+1}, started far above both z and last and normalised by
// J_0 + 2 (J_2 + J_4 + ...) = 1 (Abramowitz and Stegun 9.1.46, 9.12).
std::vector<double> bessel_j_sequence(double z, std::uint64_t last);

// The truncated expansion for |z| = a: the smallest degree K whose tail
// 2 sum_{k>K} |J_k(a)| is at most rtol, and J_0(a) ... J_K(a).
struct ChebyshevSeries {
  std::uint64_t degree;
  std::vector<double> bessel;
};

// Throws std::invalid_argument when the degree would exceed about 2^31.
ChebyshevSeries chebyshev_series(double a, double rtol);

// The degree alone, as chebyshev_series(a, rtol).degree.
std::uint64_t chebyshev_degree(double a, double rtol);

// The truncated expansion of exp(-z (x + 1)) on [-1, 1], z >= 0, the imaginary-time
// propagator shifted to the interval's lower end so that it never exceeds 1 there:
// exp(-z (x + 1)) = e^-z I_0(z) + 2 sum_{k>=1} (-1)^k e^-z I_k(z) T_k(x) (Abramowitz and
// Stegun 9.6.34 with x -> -x). The scaled values e^-z I_k(z) are positive and sum to 1
// with the same weights (9.6.37), so none overflows however large z is. The degree is
// the smallest whose tail 2 sum_{k>K} e^-z I_k(z) is at most tol; scaled[k] holds
// e^-z I_k(z) for k <= K.
struct DecaySeries {
  std::uint64_t degree;
  std::vector<double> scaled;
};

// Throws std::invalid_argument when the degree would exceed about 2^31.
DecaySeries decay_series(double z, double tol);

}  // namespace morbizet
