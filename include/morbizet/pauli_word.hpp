#pragma once
// One term of a Hamiltonian: a complex coefficient times a tensor product of Pauli
// operators, kept as two bit masks.
//
// Qubit bit order. A string of n characters acts on state vectors of 2^n amplitudes, and
// the character at position i (0 = leftmost) owns bit n-1-i of a basis index: the
// leftmost character is the most significant bit, the rightmost is bit 0. Worked
// example: "XZ" has n = 2, x_mask = 0b10 (X on bit 1), z_mask = 0b01 (Z on bit 0), and
// maps the basis state |01> (index 1) to -|11> (index 3), and |00> (index 0) to |10>
// (index 2).
//
// Every byte other than upper-case 'X', 'Y', 'Z' is the identity on its qubit, so "I",
// lower-case letters, blanks and the bytes of multi-byte UTF-8 characters all count as
// one identity qubit per byte.

#include <cstdint>
#include <string>

#include "morbizet/complex.hpp"

namespace morbizet {

class PauliWord {
 public:
  // dim = 2^n must stay positive as a signed 64-bit loop bound.
  static constexpr std::uint64_t max_qubits = 62;

  // Throws std::invalid_argument when the string is longer than max_qubits bytes.
  PauliWord(cdouble coeff, std::string string);

  std::uint64_t num_qubits() const { return string_.size(); }
  cdouble get_coeff() const { return coeff_; }
  const std::string& get_string() const { return string_; }

  cdouble coeff() const { return coeff_; }
  std::uint64_t dim() const { return dim_; }
  std::uint64_t x_mask() const { return x_mask_; }
  std::uint64_t z_mask() const { return z_mask_; }
  // coeff * i^(number of 'Y' mod 4): with Y = iXZ the word acts on a basis state as
  // coeff*P|b> = (-1)^popcount(b & z_mask) * phased_coeff * |b ^ x_mask>.
  cdouble phased_coeff() const { return phased_coeff_; }
  bool is_identity() const { return x_mask_ == 0 && z_mask_ == 0; }

  // out += coeff * P * in, over dim() amplitudes; in and out must not overlap.
  void apply_add(const cdouble* in, cdouble* out, std::int32_t num_threads) const;

 private:
  cdouble coeff_;
  std::string string_;
  std::uint64_t dim_;
  std::uint64_t x_mask_ = 0;
  std::uint64_t z_mask_ = 0;
  cdouble phased_coeff_;
};

}  // namespace morbizet
