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

// Where a term reads its input: the amplitude of local index i is data[i - begin], and
// its global index is top | i (top holds the index bits above this process's slice of
// the state, zero on one process).
struct SliceSource {
  const cdouble* data;
  std::uint64_t begin;
  std::uint64_t top;
};

// The building block of a distributed action. For every output amplitude of the local
// indices [out_begin, out_begin + len) (whole blocks, or one smaller slice), adds the
// contributions of terms[0..count) in order, term k reading sources[k * source_stride]
// at local index j ^ (x & local_mask); out[0] is the amplitude at out_begin. With clear
// the amplitudes start from +0. An amplitude receives exactly the additions, in the same
// order, that apply_pauli_sum makes for it when the terms are cut into consecutive runs
// accumulated one after another.
void accumulate_pauli_terms(const PauliTerm* terms, std::size_t count, const SliceSource* sources,
                            std::size_t source_stride, std::uint64_t local_mask, cdouble* out, std::uint64_t out_begin,
                            std::uint64_t len, bool clear, std::int32_t num_threads);

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
