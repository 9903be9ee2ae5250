#pragma once
// Owned buffers of complex amplitudes.

#include <cstdint>
#include <memory>

#include "morbizet/complex.hpp"

namespace morbizet {

// A uniquely owned array of complex amplitudes, released with delete[]. The solvers
// return their result in one; whoever owns it last frees it.
using StateBuffer = std::unique_ptr<cdouble[]>;

// dim zero amplitudes. A byte count past the address space throws
// std::bad_array_new_length, which is a std::bad_alloc.
inline StateBuffer allocate_state(std::uint64_t dim) {
  return StateBuffer(new cdouble[static_cast<std::size_t>(dim)]());
}

}  // namespace morbizet
