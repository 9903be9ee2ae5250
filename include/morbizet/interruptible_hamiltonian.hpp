#pragma once
// A Hamiltonian's word-order action that can stop between slices of the output.

#include <cstdint>
#include <vector>

#include "morbizet/checkpoint.hpp"
#include "morbizet/complex.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/pauli_sum_kernel.hpp"

namespace morbizet {

// The operator h, applied exactly as Hamiltonian::apply_nonidentity applies it (the same
// bits), and also a slice at a time with a checkpoint between slices. h must outlive it.
class InterruptibleHamiltonian {
 public:
  explicit InterruptibleHamiltonian(const Hamiltonian& h);

  std::uint64_t dim() const { return h_.dim(); }
  cdouble identity_coeff() const { return h_.identity_coeff(); }
  double norm_bound() const { return h_.norm_bound(); }
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
    h_.apply_nonidentity(in, out, num_threads);
  }
  void apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads,
                         const Checkpoint& checkpoint) const;

 private:
  const Hamiltonian& h_;
  std::vector<PauliTerm> terms_;
};

}  // namespace morbizet
