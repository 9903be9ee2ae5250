#pragma once
// H = identity_coeff * I + sum over active_terms k of pwords[k].coeff * P_k.

#include <cstdint>
#include <vector>

#include "morbizet/complex.hpp"
#include "morbizet/pauli_sum_kernel.hpp"
#include "morbizet/pauli_word.hpp"

namespace morbizet {

class Hamiltonian {
 public:
  // Takes the words over. Throws std::invalid_argument for an empty sequence or for
  // words of different lengths.
  explicit Hamiltonian(std::vector<PauliWord> pwords);

  std::uint64_t num_qubits() const { return pwords_.front().num_qubits(); }
  std::uint64_t num_terms() const { return pwords_.size(); }
  const std::vector<PauliWord>& get_pwords() const { return pwords_; }
  const std::vector<std::uint64_t>& active_terms() const { return active_terms_; }

  std::uint64_t dim() const { return dim_; }
  cdouble identity_coeff() const { return identity_coeff_; }
  // Sum of |coeff| over the non-identity words: every Pauli product has norm 1, so this
  // bounds the spectral norm of H - identity_coeff*I.
  double norm_bound() const { return norm_bound_; }

  // out = (H - identity_coeff*I) * in over dim() amplitudes; in and out must not
  // overlap. Identical bit for bit for every num_threads (<= 0: the calling thread), and
  // to clearing out and calling apply_add of every active word in order.
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const;

 private:
  std::vector<PauliWord> pwords_;
  std::vector<std::uint64_t> active_terms_;
  std::uint64_t dim_;
  double norm_bound_ = 0.0;
  cdouble identity_coeff_{0.0, 0.0};
  std::vector<PauliTerm> active_words_;  // the active words in the kernel's compact form
};

}  // namespace morbizet
