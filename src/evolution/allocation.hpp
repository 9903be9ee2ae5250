#pragma once
// Allocation that every process of a distributed solve agrees on.

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <memory>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "morbizet/complex.hpp"

#include "morbizet/operator.hpp"

namespace morbizet {

// Runs allocate(), then asks every process whether its allocations succeeded: if any
// failed, every process throws the out-of-memory exception, so that none is left
// waiting for the others in a collective call. On one process this is allocate().
template <class Allocate>
void allocate_collectively(const OperatorRef& op, Allocate&& allocate) {
  std::exception_ptr failure;
  try {
    allocate();
  } catch (const std::bad_alloc&) {
    failure = std::current_exception();
  }
  if (!op.all_succeeded(failure == nullptr)) {
    if (failure) std::rethrow_exception(failure);
    throw std::bad_alloc();
  }
}

// Room for one or many state vectors in one block; from 2 MiB on, aligned to 2 MiB and,
// on Linux, backed by transparent huge pages where the system allows them: touching a
// fresh vector then costs a page fault per 2 MiB instead of one per 4 KiB, which on
// virtual machines made allocating a few dozen vectors cost more than the work done with
// them. The amplitudes are not initialised.
struct FreeBlock {
  void operator()(cdouble* p) const noexcept { std::free(p); }
};
using StateBlock = std::unique_ptr<cdouble[], FreeBlock>;

inline StateBlock allocate_block(std::uint64_t amplitudes) {
  constexpr std::size_t kHugePage = std::size_t{1} << 21;
  constexpr std::size_t kCacheLine = 64;
  if (amplitudes > (SIZE_MAX - kHugePage) / sizeof(cdouble)) throw std::bad_alloc();
  const std::size_t wanted = amplitudes * sizeof(cdouble);
  // A block under a huge page gets a cache line's alignment: rounding it up to 2 MiB
  // would cost a fresh mapping (and its system calls) per small solve.
  const std::size_t align = wanted < kHugePage ? kCacheLine : kHugePage;
  const std::size_t bytes = std::max<std::size_t>((wanted + align - 1) / align * align, align);
  void* p = std::aligned_alloc(align, bytes);
  if (p == nullptr) throw std::bad_alloc();
#if defined(MADV_HUGEPAGE)
  if (align == kHugePage) madvise(p, bytes, MADV_HUGEPAGE);  // advice only: without huge pages the block still works
#endif
  return StateBlock(static_cast<cdouble*>(p));
}

}  // namespace morbizet
