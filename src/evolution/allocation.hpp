#pragma once
// Allocation that every process of a distributed solve agrees on.

#include <exception>
#include <new>

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

}  // namespace morbizet
