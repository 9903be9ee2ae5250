#include "morbizet/hamiltonian.hpp"

#include <cmath>
#include <stdexcept>
#include <string>
#include <utility>

namespace morbizet {

namespace {

void check_words(const std::vector<PauliWord>& pwords) {
  if (pwords.empty()) throw std::invalid_argument("a Hamiltonian needs at least one Pauli word");
  const std::uint64_t n = pwords.front().num_qubits();
  for (std::size_t k = 1; k < pwords.size(); ++k) {
    if (pwords[k].num_qubits() != n) {
      throw std::invalid_argument("all Pauli words of a Hamiltonian must have the same length: word " +
                                  std::to_string(k) + " has " + std::to_string(pwords[k].num_qubits()) +
                                  " qubits but word 0 has " + std::to_string(n));
    }
  }
}

}  // namespace

Hamiltonian::Hamiltonian(std::vector<PauliWord> pwords) : pwords_(std::move(pwords)) {
  check_words(pwords_);
  dim_ = pwords_.front().dim();
  active_terms_.reserve(pwords_.size());
  active_words_.reserve(pwords_.size());
  for (std::size_t k = 0; k < pwords_.size(); ++k) {
    const cdouble c = pwords_[k].coeff();
    if (pwords_[k].is_identity()) {
      identity_coeff_ = {identity_coeff_.real() + c.real(), identity_coeff_.imag() + c.imag()};
    } else {
      active_terms_.push_back(k);
      active_words_.push_back({pwords_[k].x_mask(), pwords_[k].z_mask(), pwords_[k].phased_coeff()});
      norm_bound_ += std::hypot(c.real(), c.imag());
    }
  }
}

}  // namespace morbizet
