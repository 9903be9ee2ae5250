"""States spread over the processes of an MPI communicator (an mpi4py Comm).

Process r of P = 2**p holds the slice of 2**(n - p) amplitudes whose top p index bits
equal r, that is amplitudes [r * 2**(n-p), (r + 1) * 2**(n-p)) of the whole state. Every
function that takes ``comm`` is collective: each process calls it with its own slice
and the same other arguments, and a bad argument on any one process, or an argument
that differs between processes, raises the same exception on every process.
"""

from __future__ import annotations

import _thread
import hashlib
import math
import signal
import threading
import time
from collections.abc import Callable, Mapping
from types import FrameType, TracebackType
from typing import Any, TypeVar

import numpy as np

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


def digest(value: Any) -> str:
    """A digest of an argument that is the same on every process exactly when the values
    are (Python's own hash of a str differs between processes)."""
    h = hashlib.sha256()

    def feed(v: Any) -> None:
        if isinstance(v, np.ndarray):
            h.update(f"array{v.dtype.str}{v.shape}".encode())
            h.update(np.ascontiguousarray(v).tobytes())
        elif isinstance(v, (list, tuple)):
            h.update(f"seq{len(v)}(".encode())
            for item in v:
                feed(item)
            h.update(b")")
        elif hasattr(v, "_fingerprint"):
            h.update(v._fingerprint().encode())
        else:
            h.update(f"{type(v).__name__}:{v!r};".encode())

    feed(value)
    return h.hexdigest()


class _Interrupts:
    """Ctrl-C (SIGINT) around the collective calls of this process. A KeyboardInterrupt
    raised on one process in the Python code between two collective calls would leave
    the others waiting in the next one for ever, so while a call runs, and for a short
    grace period after it (the gap before the next call of a loop), the signal is only
    recorded: the processes agree on it at the next checkpoint of a solve, argument
    check or end of a call, and then every one raises KeyboardInterrupt. A signal that
    no call takes up within the grace period is raised where it fell, as Python's own
    handler would. The handler is process-wide, as signal handlers are; it is installed
    on the main thread in place of Python's default one only, and acts like that one
    outside the calls and their grace periods."""

    GRACE = 0.25  # seconds

    def __init__(self) -> None:
        self.pending = False
        self.depth = 0
        self.ended = -math.inf  # monotonic time at which the last call ended

    def enter(self) -> None:
        self.depth += 1
        if (threading.current_thread() is threading.main_thread()
                and signal.getsignal(signal.SIGINT) is signal.default_int_handler):
            signal.signal(signal.SIGINT, self._handle)

    def leave(self) -> None:
        self.depth -= 1
        self.ended = time.monotonic()
        if self.pending and self.depth == 0:
            self._expire_in(self.GRACE)

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self.depth > 0:
            self.pending = True
            return
        wait = self.ended + self.GRACE - time.monotonic()
        if wait > 0 and not self.pending:
            self.pending = True
            self._expire_in(wait)
            return
        self.pending = False
        raise KeyboardInterrupt

    def _expire_in(self, seconds: float) -> None:
        timer = threading.Timer(seconds, self._expire)
        timer.daemon = True  # never keeps the interpreter from exiting
        timer.start()

    def _expire(self) -> None:
        # Still not taken up by a call: deliver it to the main thread, where the handler
        # (now past the grace period) raises it.
        if self.pending and self.depth == 0:
            _thread.interrupt_main(signal.SIGINT)


_INTERRUPTS = _Interrupts()


class Session:
    """One collective call of the package on comm (see _Interrupts for Ctrl-C)."""

    def __init__(self, comm: Any) -> None:
        layout(comm)  # a TypeError before any collective call
        self.comm = comm

    def __enter__(self) -> Session:
        _INTERRUPTS.enter()
        return self

    @staticmethod
    def interrupted() -> bool:
        return _INTERRUPTS.pending

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        try:
            # An exception on the way out was raised on every process alike (a stop the
            # processes agreed on included, which takes up any signal recorded meanwhile);
            # otherwise a signal recorded since the last agreement is agreed on now. One
            # that arrives during this last agreement stays recorded for the next call.
            if kind is not None and issubclass(kind, KeyboardInterrupt):
                _INTERRUPTS.pending = False
            elif kind is None and any(self.comm.allgather(_INTERRUPTS.pending)):
                _INTERRUPTS.pending = False
                raise KeyboardInterrupt
        finally:
            _INTERRUPTS.leave()

    def agreed(self, prepare: Callable[[], T], same: Callable[[T], Mapping[str, Any]] | None = None) -> T:
        """prepare() on every process; when it raises on any of them, every process raises
        the exception of the lowest such rank, so that none goes on into a collective call
        that the others never make. Then the named arguments of same(result) must be
        equal on every process (ValueError naming the first that differs), and a Ctrl-C
        recorded on any process stops all of them."""
        comm = self.comm
        try:
            result, failure = prepare(), None
            digests = None if same is None else {name: digest(v) for name, v in same(result).items()}
        except Exception as e:  # noqa: BLE001 - any failure must reach every process
            result, failure, digests = None, e, None
        reports = comm.allgather((None if failure is None else (type(failure), str(failure)), digests,
                                  _INTERRUPTS.pending))
        for rank, (reported, _, _) in enumerate(reports):
            if reported is None:
                continue
            kind, message = reported
            text = f"on process {rank} of {len(reports)}: {message}"
            try:
                error = kind(text)
            except Exception:  # noqa: BLE001 - an exception type that takes other arguments
                error = RuntimeError(text)
            raise error from (failure if rank == comm.Get_rank() else None)
        if any(pending for _, _, pending in reports):
            raise KeyboardInterrupt
        if digests is not None:
            for name in digests:
                if len({theirs[name] for _, theirs, _ in reports}) > 1:
                    raise ValueError(f"{name} differs between processes: pass the same {name} on each")
        return result  # type: ignore[return-value]


def agreed(comm: Any, prepare: Callable[[], T], same: Callable[[T], Mapping[str, Any]] | None = None) -> T:
    """Session(comm).agreed(prepare, same), for a call that makes no other collective call."""
    with Session(comm) as session:
        return session.agreed(prepare, same)
