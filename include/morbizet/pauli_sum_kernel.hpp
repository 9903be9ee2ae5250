#pragma once
// The fast action of a list of Pauli words on a state vector.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"

namespace morbizet {

// What the kernel needs of one word: coeff * P |i> = (-1)^popcount(i & z) * s * |i ^ x>.
struct PauliTerm {
  std::uint64_t x;
  std::uint64_t z;
  cdouble s;  // the phased coefficient
};

// out = sum over terms, in order, of each term applied to in, over dim amplitudes.
//
// Every output amplitude is the sum, starting from +0 and in term order, of one product
// per term, exactly as if the terms were added to a cleared vector one after another;
// only the order of the loops differs. The output is cut into cache-sized blocks; each
// block is cleared and then gathers, term by term, its contributions from the one block
// of the input that the term maps onto it. Blocks are independent, so the result is the
// same bit for bit for every thread count, and the whole application is one parallel
// region.
void apply_pauli_sum(const std::vector<PauliTerm>& terms, const cdouble* in, cdouble* out, std::uint64_t dim,
                     std::int32_t num_threads);

}  // namespace morbizet
