"""States spread over the processes of an MPI communicator (an mpi4py Comm).

Process r of P = 2**p holds the slice of 2**(n - p) amplitudes whose top p index bits
equal r, that is amplitudes [r * 2**(n-p), (r + 1) * 2**(n-p)) of the whole state. Every
function that takes ``comm`` is collective: each process calls it with its own slice
and the same other arguments, and a bad argument on any one process raises the same
exception on every process.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Any, TypeVar

T = TypeVar("T")


def layout(comm: Any) -> tuple[int, int]:
    """(rank, size) of an mpi4py communicator; TypeError for anything else."""
    for name in ("Get_rank", "Get_size", "allgather", "py2f"):
        if not callable(getattr(comm, name, None)):
            raise TypeError(f"comm must be an mpi4py communicator (such as MPI.COMM_WORLD), got {comm!r}")
    return comm.Get_rank(), comm.Get_size()


def local_length(num_qubits: int, size: int) -> int:
    """The amplitudes each of size processes holds of a state of num_qubits qubits."""
    if size & (size - 1):
        raise ValueError(f"a distributed state needs a power of two of processes, got {size}")
    if size > 2**num_qubits:
        raise ValueError(f"{size} processes cannot share a state of {num_qubits} qubits "
                         f"(2**{num_qubits} amplitudes)")
    return 2**num_qubits // size


def agreed(comm: Any, prepare: Callable[[], T]) -> T:
    """prepare() on every process; when it raises on any of them, every process raises the
    exception of the lowest such rank, so that none goes on into a collective call that
    the others never make."""
    try:
        result, failure = prepare(), None
    except Exception as e:  # noqa: BLE001 - any failure must reach every process
        result, failure = None, e
    failures = comm.allgather(None if failure is None else (type(failure), str(failure)))
    for rank, reported in enumerate(failures):
        if reported is None:
            continue
        kind, message = reported
        text = f"on process {rank} of {len(failures)}: {message}"
        try:
            error = kind(text)
        except Exception:  # noqa: BLE001 - an exception type that takes other arguments
            error = RuntimeError(text)
        raise error from (failure if rank == comm.Get_rank() else None)
    return result  # type: ignore[return-value]
