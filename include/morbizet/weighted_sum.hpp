#pragma once
// H(w) = sum_j w_j H_j: the words of every part H_j in one list, grouped once, so that a
// new weighting (a driven Hamiltonian's coefficients at another time) rescales
// coefficients and never regroups.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/pauli_word.hpp"

namespace morbizet {

class WeightedSum {
 public:
  // Throws std::invalid_argument for no parts or parts of different qubit counts.
  explicit WeightedSum(const std::vector<Hamiltonian>& parts);

  std::uint64_t num_parts() const { return num_parts_; }
  std::uint64_t num_qubits() const { return words_.front().num_qubits(); }

  // sum_j weights[j] H_j: the merged words in part order, word k of part j with
  // coefficient weights[j] times its own. std::invalid_argument unless there is one
  // weight per part.
  Hamiltonian combine(const std::vector<cdouble>& weights) const;

  // The grouped action of a combination made by combine.
  GroupedPauliSum grouped(const Hamiltonian& combination) const { return layout_.reweighted(combination); }

 private:
  std::uint64_t num_parts_;
  std::vector<PauliWord> words_;      // every part's words, with their own coefficients
  std::vector<std::uint64_t> part_;   // the part each word came from
  GroupedPauliSum layout_;
};

}  // namespace morbizet
