#include "morbizet/interruptible_hamiltonian.hpp"

namespace morbizet {

InterruptibleHamiltonian::InterruptibleHamiltonian(const Hamiltonian& h) : h_(h) {
  for (std::uint64_t k : h.active_terms()) {
    const PauliWord& w = h.get_pwords()[k];
    terms_.push_back({w.x_mask(), w.z_mask(), w.phased_coeff()});
  }
}

void InterruptibleHamiltonian::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                                                 const Checkpoint& checkpoint) const {
  // Every output amplitude is computed within its slice, from +0 and in word order, as
  // the whole-vector action computes it.
  const std::uint64_t dim = h_.dim();
  const std::uint64_t slice = checkpoint_slice(dim, terms_.size());
  const SliceSource whole{in, 0, 0};
  for (std::uint64_t begin = 0; begin < dim; begin += slice) {
    if (begin > 0) checkpoint();
    accumulate_pauli_terms(terms_.data(), terms_.size(), &whole, 0, dim - 1, out + begin, begin, slice, true,
                           num_threads);
  }
}

}  // namespace morbizet
