#pragma once
// The whole Hamiltonian (identity part included) applied to a state, and its
// expectation value, through the grouped action.

#include <cstdint>

#include "morbizet/checkpoint.hpp"
#include "morbizet/complex.hpp"
#include "morbizet/grouped_pauli_sum.hpp"
#include "morbizet/sector_pauli_sum.hpp"
#include "morbizet/state_vector.hpp"

namespace morbizet {

// H * psi over h.dim() amplitudes; checkpoint() is called between slices.
StateBuffer apply_hamiltonian(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                              const Checkpoint& checkpoint = {});

// <psi|H|psi>, not normalised. H' * psi is formed a slice at a time and never stored
// whole; the sums are pairwise over fixed blocks, so the value is the same for every
// thread count.
cdouble expectation_value(const GroupedPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                          const Checkpoint& checkpoint = {});

// The same on the states of a sector.
StateBuffer apply_hamiltonian(const SectorPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                              const Checkpoint& checkpoint = {});
cdouble expectation_value(const SectorPauliSum& h, const cdouble* psi, std::int32_t num_threads,
                          const Checkpoint& checkpoint = {});

}  // namespace morbizet
