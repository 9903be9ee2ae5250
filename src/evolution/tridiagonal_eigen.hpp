#pragma once
// Eigenvalues and eigenvectors of a real symmetric tridiagonal matrix, for the Lanczos
// matrices of the grid walk: once T = Q diag(lambda) Q^T is known, exp(-i s T) e_1 costs
// O(m^2) for every further time s instead of a new matrix exponential.

#include <cstdint>
#include <vector>

namespace morbizet {

struct TridiagonalEigen {
  std::vector<double> values;   // lambda_j, in no particular order
  std::vector<double> vectors;  // rows of Q: vectors[r * m + j] is component r of eigenvector j
};

// T has diagonal alpha[0..m) and off-diagonal beta[0..m-1). By the implicit QL method
// with Wilkinson shifts (Bowdler, Martin, Reinsch and Wilkinson, "The QR and QL
// algorithms for symmetric matrices", Numer. Math. 11 (1968) 293), accumulating the
// rotations into Q; about 3 m^3 operations. Throws std::runtime_error should an
// eigenvalue not converge in 60 iterations (which for symmetric tridiagonal matrices
// does not happen in practice). With ends_only, only the first and the last row of Q
// are kept (as rows 0 and 1), which is all an error estimate needs, for O(m^2) work.
TridiagonalEigen tridiagonal_eigen(const double* alpha, const double* beta, std::uint64_t m, bool ends_only = false);

}  // namespace morbizet
