#include "morbizet/weighted_sum.hpp"

#include <stdexcept>
#include <string>

namespace morbizet {

namespace {

std::vector<PauliWord> merged_words(const std::vector<Hamiltonian>& parts) {
  if (parts.empty()) throw std::invalid_argument("a weighted sum needs at least one part");
  std::vector<PauliWord> words;
  for (const Hamiltonian& h : parts) {
    if (h.num_qubits() != parts.front().num_qubits()) {
      throw std::invalid_argument("every part of a weighted sum must act on the same qubits: " +
                                  std::to_string(parts.front().num_qubits()) + " and " +
                                  std::to_string(h.num_qubits()) + " qubits given");
    }
    words.insert(words.end(), h.get_pwords().begin(), h.get_pwords().end());
  }
  return words;
}

std::vector<std::uint64_t> part_of_words(const std::vector<Hamiltonian>& parts) {
  std::vector<std::uint64_t> part;
  for (std::uint64_t j = 0; j < parts.size(); ++j) part.insert(part.end(), parts[j].num_terms(), j);
  return part;
}

}  // namespace

WeightedSum::WeightedSum(const std::vector<Hamiltonian>& parts)
    : num_parts_(parts.size()),
      words_(merged_words(parts)),
      part_(part_of_words(parts)),
      layout_(Hamiltonian(words_)) {}

Hamiltonian WeightedSum::combine(const std::vector<cdouble>& weights) const {
  if (weights.size() != num_parts_) {
    throw std::invalid_argument("a weighted sum of " + std::to_string(num_parts_) + " parts needs as many weights, got " +
                                std::to_string(weights.size()));
  }
  std::vector<PauliWord> words;
  words.reserve(words_.size());
  for (std::uint64_t k = 0; k < words_.size(); ++k) {
    words.emplace_back(cmul(weights[part_[k]], words_[k].coeff()), words_[k].get_string());
  }
  return Hamiltonian(std::move(words));
}

}  // namespace morbizet
