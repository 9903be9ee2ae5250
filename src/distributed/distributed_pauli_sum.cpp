#include "morbizet/distributed_pauli_sum.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>
#include <string>

#include "kernels/parallel.hpp"
#include "kernels/vector_ops.hpp"

namespace morbizet {

namespace {

constexpr int kTag = 0x6d62;
// Slices per message at most, so that a count never nears the int range of MPI.
constexpr std::uint64_t kMaxMessage = std::uint64_t{1} << 24;

// FNV-1a over everything that defines a Hamiltonian, in order.
std::uint64_t fingerprint(const Hamiltonian& h) {
  std::uint64_t f = 14695981039346656037ULL;
  const auto mix = [&](const void* p, std::size_t n) {
    const auto* b = static_cast<const unsigned char*>(p);
    for (std::size_t i = 0; i < n; ++i) f = (f ^ b[i]) * 1099511628211ULL;
  };
  for (const PauliWord& w : h.get_pwords()) {
    const cdouble c = w.get_coeff();
    const std::uint64_t bits[3] = {std::bit_cast<std::uint64_t>(c.real()), std::bit_cast<std::uint64_t>(c.imag()),
                                   w.get_string().size()};
    mix(bits, sizeof bits);
    mix(w.get_string().data(), w.get_string().size());
  }
  return f;
}

// The exchange buffer may hold an eighth of the local slice, or one kernel block.
std::uint64_t exchange_budget(std::uint64_t local_dim) {
  return std::max<std::uint64_t>(local_dim / 8, std::min<std::uint64_t>(local_dim, 2048));
}

}  // namespace

DistributedPauliSum::DistributedPauliSum(const Hamiltonian& h, Communicator comm, ActionOrder order)
    : comm_(comm), order_(order), grouped_(h) {
  if (!comm_.all_equal(fingerprint(h))) {
    throw std::invalid_argument("the Hamiltonian differs between processes: every process must pass the same terms");
  }
  const auto size = static_cast<std::uint64_t>(comm_.size());
  const std::uint64_t n = h.num_qubits();
  if (!std::has_single_bit(size)) {
    throw std::invalid_argument("a distributed state needs a power of two of processes, got " +
                                std::to_string(size));
  }
  const auto proc_bits = static_cast<std::uint64_t>(std::countr_zero(size));
  dim_ = h.dim();
  const std::uint64_t leaf = sum_block_size(dim_);
  if (proc_bits > n || (dim_ >> proc_bits) < leaf) {
    throw std::invalid_argument(std::to_string(size) + " processes cannot share a state of " + std::to_string(n) +
                                " qubits: each must hold at least " + std::to_string(leaf) +
                                " amplitudes, so use at most " + std::to_string(dim_ / leaf) + " processes");
  }
  local_bits_ = static_cast<unsigned>(n - proc_bits);
  local_dim_ = std::uint64_t{1} << local_bits_;
  identity_coeff_ = h.identity_coeff();
  norm_bound_ = h.norm_bound();

  // The X masks in the order the action meets them.
  std::vector<std::uint64_t> xs;
  if (order_ == ActionOrder::words) {
    for (std::uint64_t k : h.active_terms()) {
      const PauliWord& w = h.get_pwords()[k];
      terms_.push_back({w.x_mask(), w.z_mask(), w.phased_coeff()});
      xs.push_back(w.x_mask());
    }
  } else {
    for (const FlipGroup& g : grouped_.groups()) xs.push_back(g.x);
  }
  const std::uint64_t local_mask = local_dim_ - 1;
  const std::uint64_t budget = exchange_budget(local_dim_);
  std::uint64_t buffer = 0;
  for (std::size_t k = 0; k < xs.size();) {
    Run run{xs[k] >> local_bits_, k, k, local_dim_, {}, {}};
    while (run.end < xs.size() && (xs[run.end] >> local_bits_) == run.top) ++run.end;
    if (run.top != 0) {
      // Halve the slices until one per distinct high part fits the budget.
      for (;;) {
        run.highs.clear();
        run.high_of.clear();
        for (std::size_t i = run.begin; i < run.end; ++i) {
          const std::uint64_t high = xs[i] & local_mask & ~(run.slice - 1);
          const auto at = std::find(run.highs.begin(), run.highs.end(), high);
          run.high_of.push_back(static_cast<std::size_t>(at - run.highs.begin()));
          if (at == run.highs.end()) run.highs.push_back(high);
        }
        if ((run.highs.size() * run.slice <= budget && run.slice <= kMaxMessage) || run.slice == 1) break;
        run.slice /= 2;
      }
      buffer = std::max<std::uint64_t>(buffer, run.highs.size() * run.slice);
      bytes_per_application_ += run.highs.size() * local_dim_ * sizeof(cdouble);
    }
    runs_.push_back(std::move(run));
    k = runs_.back().end;
  }
  bool ok = true;
  try {
    if (buffer > 0) exchange_ = allocate_state(buffer);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!all_succeeded(ok)) throw std::bad_alloc();
}

void DistributedPauliSum::accumulate(const Run& run, const SliceSource* sources, cdouble* out,
                                     std::uint64_t out_begin, std::uint64_t len, bool clear,
                                     std::int32_t threads) const {
  const std::size_t stride = run.top == 0 ? 0 : 1;
  if (order_ == ActionOrder::words) {
    accumulate_pauli_terms(terms_.data() + run.begin, run.end - run.begin, sources, stride, local_dim_ - 1, out,
                           out_begin, len, clear, threads);
  } else {
    grouped_.accumulate(run.begin, run.end, sources, stride, local_dim_ - 1, out, out_begin, len, clear, threads);
  }
}

void DistributedPauliSum::apply_nonidentity(const cdouble* in, cdouble* out, std::int32_t num_threads) const {
  if (runs_.empty()) {
    std::fill(out, out + local_dim_, cdouble{0.0, 0.0});
    return;
  }
  const auto rank = static_cast<std::uint64_t>(comm_.rank());
  std::vector<SliceSource> sources;
  bool first = true;
  for (const Run& run : runs_) {
    if (run.top == 0) {
      const SliceSource own{in, 0, rank << local_bits_};
      accumulate(run, &own, out, 0, local_dim_, first, num_threads);
      first = false;
      continue;
    }
    // Both partners walk the same output slices in the same order and need each
    // other's slices a ^ h for the same h, so every exchange is one send-receive pair.
    const std::uint64_t partner = rank ^ run.top;
    const std::uint64_t s = run.slice;
    for (std::uint64_t a = 0; a < local_dim_; a += s) {
      for (std::size_t i = 0; i < run.highs.size(); ++i) {
        MPI_Sendrecv(in + (a ^ run.highs[i]), static_cast<int>(s), MPI_C_DOUBLE_COMPLEX, static_cast<int>(partner),
                     kTag, exchange_.get() + i * s, static_cast<int>(s), MPI_C_DOUBLE_COMPLEX,
                     static_cast<int>(partner), kTag, comm_.get(), MPI_STATUS_IGNORE);
      }
      bytes_sent_ += run.highs.size() * s * sizeof(cdouble);
      sources.clear();
      for (std::size_t k = 0; k < run.end - run.begin; ++k) {
        const std::size_t i = run.high_of[k];
        sources.push_back({exchange_.get() + i * s, a ^ run.highs[i], partner << local_bits_});
      }
      accumulate(run, sources.data(), out + a, a, s, first, num_threads);
    }
    first = false;
  }
}

std::pair<double, double> DistributedPauliSum::spectral_bounds(std::int32_t num_threads) const {
  const auto top = static_cast<std::uint64_t>(comm_.rank()) << local_bits_;
  const auto [lo, hi] = grouped_.gershgorin_bounds(local_dim_ - 1, top, 0, local_dim_, num_threads);
  double extremes[2] = {-lo, hi};
  max_across(extremes, 2);
  return {-extremes[0], extremes[1]};
}

std::vector<double> DistributedPauliSum::gather(const double* values, int count) const {
  std::vector<double> all(static_cast<std::size_t>(count) * static_cast<std::size_t>(comm_.size()));
  MPI_Allgather(values, count, MPI_DOUBLE, all.data(), count, MPI_DOUBLE, comm_.get());
  return all;
}

void DistributedPauliSum::max_across(double* values, int count) const {
  MPI_Allreduce(MPI_IN_PLACE, values, count, MPI_DOUBLE, MPI_MAX, comm_.get());
}

void DistributedPauliSum::sum_across_in_rank_order(double* values, int count) const {
  const std::vector<double> all = gather(values, count);
  for (int k = 0; k < count; ++k) {
    double s = all[static_cast<std::size_t>(k)];
    for (int r = 1; r < comm_.size(); ++r) s += all[static_cast<std::size_t>(r * count + k)];
    values[k] = s;
  }
}

void DistributedPauliSum::sum_across_pairwise(double* values, int count) const {
  const std::vector<double> all = gather(values, count);
  std::vector<double> column(static_cast<std::size_t>(comm_.size()));
  for (int k = 0; k < count; ++k) {
    for (int r = 0; r < comm_.size(); ++r) column[static_cast<std::size_t>(r)] = all[static_cast<std::size_t>(r * count + k)];
    values[k] = pairwise_sum(column.data(), column.size());
  }
}

namespace {

// A slice-sized buffer, or std::bad_alloc on every process when any one cannot have it.
StateBuffer allocate_on_all(const DistributedPauliSum& h) {
  StateBuffer out;
  bool ok = true;
  try {
    out = allocate_state(h.local_dim());
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!h.all_succeeded(ok)) throw std::bad_alloc();
  return out;
}

}  // namespace

StateBuffer apply_hamiltonian(const DistributedPauliSum& h, const cdouble* psi, std::int32_t num_threads) {
  const std::uint64_t n = h.local_dim();
  StateBuffer out = allocate_on_all(h);
  h.apply_nonidentity(psi, out.get(), num_threads);
  add_scaled(psi, out.get(), n, h.identity_coeff(), num_threads);
  return out;
}

cdouble expectation_value(const DistributedPauliSum& h, const cdouble* psi, std::int32_t num_threads) {
  const std::uint64_t n = h.local_dim();
  const std::uint64_t leaf = sum_block_size(h.dim());
  StateBuffer part = allocate_on_all(h);
  h.apply_nonidentity(psi, part.get(), num_threads);
  std::vector<double> re = block_dots(psi, part.get(), n, leaf, false, num_threads);
  std::vector<double> im = block_dots(psi, part.get(), n, leaf, true, num_threads);
  std::vector<double> norm = block_sums_abs2(psi, n, leaf, num_threads);
  double sums[3] = {pairwise_sum(re.data(), re.size()), pairwise_sum(im.data(), im.size()),
                    pairwise_sum(norm.data(), norm.size())};
  h.sum_across_pairwise(sums, 3);
  const cdouble s = h.identity_coeff();
  return {sums[0] + s.real() * sums[2], sums[1] + s.imag() * sums[2]};
}

}  // namespace morbizet
