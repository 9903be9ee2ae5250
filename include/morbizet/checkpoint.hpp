#pragma once
// A function a long computation calls now and then, which may throw to abandon it: the
// computation then unwinds through its destructors and frees everything it holds.

#include <algorithm>
#include <cstdint>

namespace morbizet {

struct Checkpoint {
  void (*call)(void* context) = nullptr;
  void* context = nullptr;
  void operator()() const {
    if (call != nullptr) call(context);
  }
};

// An application that can stop part-way does so between slices of this many output
// amplitudes (4 MiB): several milliseconds of work, enough to keep a thread team busy.
inline std::uint64_t checkpoint_slice(std::uint64_t dim) { return std::min<std::uint64_t>(dim, std::uint64_t{1} << 18); }

}  // namespace morbizet
