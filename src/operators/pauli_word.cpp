#include "morbizet/pauli_word.hpp"

#include <stdexcept>
#include <utility>

namespace morbizet {

namespace {

// i^k for k = 0..3, as (re, im).
constexpr double kPhaseTable[4][2] = {{1.0, 0.0}, {0.0, 1.0}, {-1.0, 0.0}, {0.0, -1.0}};

std::string too_long_message(std::size_t length) {
  return "a Pauli string may have at most " + std::to_string(PauliWord::max_qubits) +
         " bytes (one per qubit), got " + std::to_string(length);
}

}  // namespace

PauliWord::PauliWord(cdouble coeff, std::string string)
    : coeff_(coeff), string_(std::move(string)) {
  const std::size_t n = string_.size();
  if (n > max_qubits) throw std::invalid_argument(too_long_message(n));
  dim_ = std::uint64_t{1} << n;
  std::uint32_t y_count = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << (n - 1 - i);
    switch (string_[i]) {
      case 'X': x_mask_ |= bit; break;
      case 'Y': x_mask_ |= bit; z_mask_ |= bit; ++y_count; break;
      case 'Z': z_mask_ |= bit; break;
      default: break;
    }
  }
  const double* phase = kPhaseTable[y_count % 4];
  phased_coeff_ = cmul(coeff_, cdouble{phase[0], phase[1]});
}

}  // namespace morbizet
