#pragma once
// Small dense complex matrices and their exponential.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"

namespace morbizet {

// A d x d matrix in row-major order, entry (i, j) at i*d + j; d travels separately.
using DenseMatrix = std::vector<cdouble>;

// Largest 1-norm for which the [13/13] Pade approximant is used unscaled (Higham 2005).
inline constexpr double theta13 = 5.371920351148152;

// exp(A) by scaling and squaring with the diagonal [13/13] Pade approximant, Higham,
// "The scaling and squaring method for the matrix exponential revisited", SIAM J.
// Matrix Anal. Appl. 26 (2005), Algorithm 2.3 at m = 13 only. A is consumed. A matrix
// whose 1-norm is infinite gives a d x d matrix of NaNs.
DenseMatrix expm(DenseMatrix a, std::uint64_t d);

// A*B; the operands may be the same matrix. Zero entries of A are skipped.
DenseMatrix matmul(const DenseMatrix& a, const DenseMatrix& b, std::uint64_t d);

// X with P*X = Q by Gauss-Jordan elimination with partial pivoting by modulus (ties
// keep the upper row). Both are consumed; X comes back in Q's storage.
DenseMatrix gauss_jordan_solve(DenseMatrix p, DenseMatrix q, std::uint64_t d);

}  // namespace morbizet
