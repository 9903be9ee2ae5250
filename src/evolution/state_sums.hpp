#pragma once
// Sums over a whole state vector that come out the same bit for bit however the state
// is cut among threads and processes.

#include <bit>
#include <cstdint>
#include <vector>

#include "kernels/parallel.hpp"
#include "morbizet/operator.hpp"

namespace morbizet {

// The length of the leaf blocks, summed in index order, of a pairwise sum over a state
// of dim amplitudes: 2^12, or dim/64 for smaller states, so that a state cut into up to
// 64 slices (or into slices of 2^12 and more) holds whole leaves in each.
inline std::uint64_t sum_block_size(std::uint64_t dim) {
  const int n = std::bit_width(dim) - 1;
  const int bits = n - 6 < 0 ? 0 : (n - 6 > 12 ? 12 : n - 6);
  return std::uint64_t{1} << bits;
}

// The pairwise sum of this process's leaf sums, combined pairwise over the processes:
// the same perfect binary tree as on one process.
inline double pairwise_total(const OperatorRef& op, std::vector<double> leaves) {
  double s = pairwise_sum(leaves.data(), leaves.size());
  op.sum_across_pairwise(&s, 1);
  return s;
}

}  // namespace morbizet
