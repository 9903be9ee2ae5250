// The module's execution step: nanobind's multi-phase initialisation runs this body
// once per import, after setting up its shared state. The module keeps no state of its
// own; everything lives in the instances of the bound classes.

#include "bindings.hpp"

NB_MODULE(_morbizet, m) {
  m.attr("__doc__") = "Morbizet C++ core bindings";
  morbizet::bindings::init_pauli_word(m);
  morbizet::bindings::init_hamiltonian(m);
  morbizet::bindings::init_evolution(m);
  morbizet::bindings::init_solve(m);
  morbizet::bindings::init_action(m);
  morbizet::bindings::init_sector(m);
  morbizet::bindings::init_grid(m);
  morbizet::bindings::init_imaginary(m);
  morbizet::bindings::init_weighted_sum(m);
#ifdef MORBIZET_WITH_MPI
  morbizet::bindings::init_distributed(m);
#endif
}
