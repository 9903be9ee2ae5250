#include "morbizet/communicator.hpp"

#include <stdexcept>
#include <vector>

namespace morbizet {

Communicator Communicator::from_fortran(std::int64_t handle) {
  return Communicator(MPI_Comm_f2c(static_cast<MPI_Fint>(handle)));
}

Communicator::Communicator(MPI_Comm comm) : comm_(comm) {
  MPI_Comm_rank(comm_, &rank_);
  MPI_Comm_size(comm_, &size_);
}

void Communicator::agree_or_throw(const std::optional<std::string>& error) const {
  int first = error ? rank_ : size_;
  MPI_Allreduce(MPI_IN_PLACE, &first, 1, MPI_INT, MPI_MIN, comm_);
  if (first == size_) return;
  if (first < 0 || first > size_) {
    // Only a collective of another call can have met this one: the processes are out of
    // step, and the value read is not a rank.
    throw std::runtime_error("the processes made different collective calls (out of step): every process must "
                             "make the same calls with the same arguments");
  }
  int length = rank_ == first ? static_cast<int>(error->size()) : 0;
  MPI_Bcast(&length, 1, MPI_INT, first, comm_);
  std::string message = rank_ == first ? *error : std::string(static_cast<std::size_t>(length), ' ');
  MPI_Bcast(message.data(), length, MPI_CHAR, first, comm_);
  throw std::invalid_argument("on process " + std::to_string(first) + " of " + std::to_string(size_) + ": " +
                              message);
}

bool Communicator::any(bool flag) const {
  int v = flag ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &v, 1, MPI_INT, MPI_MAX, comm_);
  return v != 0;
}

bool Communicator::all_equal(std::uint64_t value) const {
  std::uint64_t range[2] = {value, ~value};  // the maximum of ~v is ~(the minimum of v)
  MPI_Allreduce(MPI_IN_PLACE, range, 2, MPI_UINT64_T, MPI_MAX, comm_);
  return range[0] == ~range[1];
}

}  // namespace morbizet
