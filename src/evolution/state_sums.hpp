#pragma once
// Sums over a whole state vector that come out the same bit for bit however the state
// is cut among threads and processes: leaf blocks of sum_block_size amplitudes summed
// in index order, then a pairwise tree over the leaves.

#include <cstdint>
#include <vector>

#include "kernels/parallel.hpp"
#include "morbizet/operator.hpp"

namespace morbizet {

// The pairwise sum of this process's leaf sums, combined pairwise over the processes:
// the same perfect binary tree as on one process.
inline double pairwise_total(const OperatorRef& op, std::vector<double> leaves) {
  double s = pairwise_sum(leaves.data(), leaves.size());
  op.sum_across_pairwise(&s, 1);
  return s;
}

}  // namespace morbizet
