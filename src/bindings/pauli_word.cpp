#include <nanobind/stl/complex.h>
#include <nanobind/stl/string.h>

#include "bindings.hpp"
#include "morbizet/pauli_word.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

void init_pauli_word(nb::module_& m) {
  nb::class_<PauliWord>(m, "_PauliWord")
      .def(nb::init<cdouble, std::string>(), "coeff"_a, "string"_a)
      .def("_num_qubits", &PauliWord::num_qubits)
      .def("_get_coeff", &PauliWord::get_coeff)
      .def("_get_string", &PauliWord::get_string);
}

}  // namespace morbizet::bindings
