#pragma once
// Passes over a basis of state vectors held together: linear combinations of all of them
// at once and the matrix of their inner products. Both work tile by tile, so that each
// tile of every basis vector is read from memory once and then reused from cache for
// every output, which keeps them near the speed of arithmetic rather than of memory.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"

namespace morbizet {

// out[j] = sum_k coeffs[j * m + k] * basis[k] over n amplitudes, for j < p; the terms are
// added in the order of k, so every amplitude is the same for every thread count.
void combine_basis(const cdouble* const* basis, std::uint64_t m, const cdouble* coeffs, std::uint64_t p,
                   cdouble* const* out, std::uint64_t n, std::int32_t threads);

// The inner products <left[k] | right[l]> (left conjugated) for k < ml, l < mr, as one
// partial sum per leaf of `leaf` amplitudes, for a pairwise sum over the leaves that does
// not depend on how the state is cut: entry (k, l) has its real parts at
// [(2 * (k * mr + l)) * leaves, + leaves) and its imaginary parts right after, leaves =
// leaf_count(n, leaf). With upper set, only the entries with k <= first + l are formed (the others
// are left zero): the upper triangle of a Hermitian matrix whose columns first... are
// right.
std::vector<double> basis_inner_products(const cdouble* const* left, std::uint64_t ml, const cdouble* const* right,
                                         std::uint64_t mr, std::uint64_t n, std::uint64_t leaf, bool upper,
                                         std::uint64_t first, std::int32_t threads);

}  // namespace morbizet
