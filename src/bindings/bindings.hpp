#pragma once
// One registration function per bound concept, called in order from the module body.

#include <nanobind/nanobind.h>

namespace morbizet::bindings {

void init_pauli_word(nanobind::module_& m);
void init_hamiltonian(nanobind::module_& m);
void init_evolution(nanobind::module_& m);
void init_solve(nanobind::module_& m);
void init_action(nanobind::module_& m);
void init_grid(nanobind::module_& m);
void init_sector(nanobind::module_& m);
void init_imaginary(nanobind::module_& m);
void init_weighted_sum(nanobind::module_& m);
// Only in a build with MPI.
void init_distributed(nanobind::module_& m);

}  // namespace morbizet::bindings
