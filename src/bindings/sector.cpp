// _SectorSpace: the states of a symmetry sector, their indices in the full space and the
// inverse map, and the check that a Hamiltonian keeps a state inside.

#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>

#include "bindings.hpp"
#include "frame.hpp"
#include "morbizet/hamiltonian.hpp"
#include "morbizet/sector_space.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace morbizet::bindings {

namespace {

using IndexArray = nb::ndarray<const std::uint64_t, nb::shape<-1>, nb::c_contig, nb::device::cpu>;
using OutIndexArray = nb::ndarray<nb::numpy, std::uint64_t, nb::shape<-1>>;
using OutRankArray = nb::ndarray<nb::numpy, std::int64_t, nb::shape<-1>>;

template <class T, class Array>
Array owned_array(T* data, std::size_t n) {
  nb::capsule owner(data, [](void* p) noexcept { delete[] static_cast<T*>(p); });
  return Array(data, {n}, owner);
}

}  // namespace

void check_state(const Hamiltonian& ham, std::size_t n_psi, const SectorSpace* sector) {
  if (sector == nullptr) {
    check_length(n_psi, ham.num_qubits(), ham.dim());
    return;
  }
  check_sector(ham, *sector);
  check_sector_length(n_psi, *sector);
}

void check_sector_length(std::size_t n_psi, const SectorSpace& sector, const char* what) {
  if (n_psi != sector.dim()) {
    throw nb::value_error((std::string(what) + " has " + std::to_string(n_psi) + " amplitudes, but the sector holds " +
                           std::to_string(sector.dim()) + " states")
                              .c_str());
  }
}

void check_sector(const Hamiltonian& ham, const SectorSpace& sector) {
  const std::string why = sector_violation(ham, sector);
  if (!why.empty()) throw nb::value_error(("H does not map the sector into itself: " + why).c_str());
}

void init_sector(nb::module_& m) {
  nb::class_<SectorSpace>(m, "_SectorSpace")
      .def(
          "__init__",
          [](SectorSpace* self, std::uint64_t num_qubits, std::optional<int> weight, int flip) {
            new (self) SectorSpace(num_qubits, weight ? *weight : SectorSpace::no_weight, flip);
          },
          "num_qubits"_a, "weight"_a.none(), "flip"_a,
          "The sector of num_qubits qubits with `weight` 1 bits (None: any) and flip eigenvalue flip (0: none).")
      .def_prop_ro("_dim", &SectorSpace::dim)
      .def(
          "_states",
          [](const SectorSpace& s, std::uint64_t begin, std::uint64_t count) {
            if (begin > s.dim() || count > s.dim() - begin) throw nb::index_error("states past the sector's end");
            auto* out = new std::uint64_t[count];
            {
              nb::gil_scoped_release unlocked;
              std::uint64_t r = count > 0 ? s.state(begin) : 0;
              for (std::uint64_t k = 0; k < count; ++k) {
                out[k] = r;
                if (k + 1 < count) r = s.next(r);
              }
            }
            return owned_array<std::uint64_t, OutIndexArray>(out, count);
          },
          "begin"_a, "count"_a, "The full-space indices of the representatives of states [begin, begin + count).")
      .def(
          "_ranks",
          [](const SectorSpace& s, IndexArray indices) {
            const std::size_t n = indices.shape(0);
            auto* out = new std::int64_t[n];
            const std::uint64_t* in = indices.data();
            const std::uint64_t top = std::uint64_t{1} << (s.num_qubits() - 1);
            {
              nb::gil_scoped_release unlocked;
              for (std::size_t k = 0; k < n; ++k) {
                const std::uint64_t i = in[k];
                const bool valid = (i >> (s.num_qubits() - 1)) <= 1 && s.contains(i) && !(s.flip() != 0 && i >= top);
                out[k] = valid ? static_cast<std::int64_t>(s.rank(i)) : -1;
              }
            }
            return owned_array<std::int64_t, OutRankArray>(out, n);
          },
          "indices"_a,
          "The number of the state whose representative is each index, or -1 for an index that is none.")
      .def(
          "_violation", [](const SectorSpace& s, const Hamiltonian& h) { return sector_violation(h, s); }, "ham"_a,
          "Why H does not map the sector into itself, or '' when it does.");
}

}  // namespace morbizet::bindings
