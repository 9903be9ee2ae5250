#pragma once
// The processes that share a distributed state: an MPI communicator, and the few
// collective decisions the library makes over it.

#include <cstdint>
#include <optional>
#include <string>

#include <mpi.h>

namespace morbizet {

class Communicator {
 public:
  // The communicator behind a Fortran handle, as mpi4py's Comm.py2f() gives it.
  static Communicator from_fortran(std::int64_t handle);
  explicit Communicator(MPI_Comm comm);

  MPI_Comm get() const { return comm_; }
  int rank() const { return rank_; }
  int size() const { return size_; }

  // Collective. When any process passes an error, every process throws
  // std::invalid_argument with the message of the lowest such rank (prefixed by which
  // process it came from), so that all raise the same exception and none is left
  // waiting for the others.
  void agree_or_throw(const std::optional<std::string>& error) const;

  // Collective: true when any process passes true.
  bool any(bool flag) const;

  // Collective: the values agree on every process.
  bool all_equal(std::uint64_t value) const;

 private:
  MPI_Comm comm_;
  int rank_ = 0;
  int size_ = 1;
};

}  // namespace morbizet
