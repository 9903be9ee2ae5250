#pragma once
// A function a long computation calls now and then, which may throw to abandon it: the
// computation then unwinds through its destructors and frees everything it holds.

#include <algorithm>
#include <bit>
#include <cstdint>

namespace morbizet {

struct Checkpoint {
  void (*call)(void* context) = nullptr;
  void* context = nullptr;
  void operator()() const {
    if (call != nullptr) call(context);
  }
};

// An application of `words` Pauli words that can stop part-way does so between slices of
// output amplitudes sized by work: about 2^23 word-amplitude updates (a few
// milliseconds on one core), a power of two from 2^12 amplitudes (the leaves of the
// block sums, and enough to keep a thread team busy) to 2^18 (4 MiB). A sum of 20,000
// words over 18 qubits then stops within a few hundredths of a second, where slices
// sized by amplitudes alone stopped only after the whole application.
inline std::uint64_t checkpoint_slice(std::uint64_t dim, std::uint64_t words) {
  constexpr std::uint64_t kWork = std::uint64_t{1} << 23;
  const std::uint64_t wanted = std::bit_floor(std::max<std::uint64_t>(1, kWork / std::max<std::uint64_t>(words, 1)));
  return std::min(dim, std::clamp(wanted, std::uint64_t{1} << 12, std::uint64_t{1} << 18));
}

}  // namespace morbizet
