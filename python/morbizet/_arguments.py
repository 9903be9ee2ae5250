"""Checks of the arguments the public functions share, each failing with an exception
that names the argument, what it was and what is allowed."""

from __future__ import annotations

import math
import numbers
import operator
import os
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

# The compiled functions take the thread count as a C int; more threads than that are
# never useful, so larger requests are capped instead of refused.
_MAX_THREADS = 2**31 - 1


def available_cpus() -> int:
    """The CPUs this process may run on, which can be fewer than the machine has."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except (AttributeError, OSError):
        return os.cpu_count() or 1


def _busy_elsewhere() -> int:
    """How many threads of other processes are running now: the machine's runnable count
    (/proc/loadavg) less this process's own running threads; 0 where it cannot be read."""
    try:
        with open("/proc/loadavg") as f:
            running = int(f.read().split()[3].split("/")[0])
        own = 0
        for task in os.listdir("/proc/self/task"):
            try:
                with open(f"/proc/self/task/{task}/stat") as f:
                    own += f.read().rsplit(")", 1)[1].split()[0] == "R"
            except OSError:
                continue
        return max(0, running - max(own, 1))
    except (OSError, ValueError, IndexError):
        return 0


def default_threads() -> int:
    """threads=None: the CPUs this process may run on that other processes are not
    using now, at least 1. A team spread over busy cores waits at every barrier for its
    slowest member: with the other cores of a 2-core machine busy, two threads ran 2x
    (and up to 10x) slower than one."""
    cpus = available_cpus()
    if cpus == 1:
        return 1
    idle = (os.cpu_count() or cpus) - _busy_elsewhere()
    return max(1, min(cpus, idle))


def whole_number(value: Any, message: str) -> int:
    """value as an int (an int or anything with __index__, but not a bool); TypeError
    with message plus the value otherwise."""
    if isinstance(value, bool):
        raise TypeError(f"{message}, got {value!r}")
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{message}, got {value!r}") from None


def threads(value: Any) -> int:
    if value is None:
        return default_threads()
    count = whole_number(value, "threads must be None or a positive int")
    if count <= 0:
        raise ValueError(f"threads must be None or a positive int, got {count}")
    return min(count, _MAX_THREADS)


def real(name: str, value: Any, *, positive: bool = False) -> float:
    """A finite real number (positive if asked), as a float."""
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        if isinstance(value, np.ndarray) and value.ndim == 0 and value.dtype.kind in "iuf":
            value = value.item()
        else:
            raise TypeError(f"{name} must be a real number, got {value!r}")
    x = float(value)
    if not math.isfinite(x) or (positive and x <= 0):
        raise ValueError(f"{name} must be a {'positive ' if positive else ''}finite number, got {x!r}")
    return x


def state(psi: ArrayLike, num_qubits: int, name: str = "psi", comm: Any = None,
          sector: Any = None) -> NDArray[np.complex128]:
    """psi as a one-dimensional C-contiguous complex128 array of 2**num_qubits finite
    amplitudes (with comm: this process's slice of them; with a sector: its dim); the
    array itself when it already is one, so nothing is copied."""
    if isinstance(psi, (str, bytes)):
        raise TypeError(f"{name} must be an array of complex amplitudes, got a {type(psi).__name__}: {psi!r:.40}")
    try:
        array = np.asarray(psi, dtype=np.complex128, order="C")
    except (TypeError, ValueError) as e:
        raise TypeError(f"{name} must be an array of complex amplitudes: {e}") from None
    if array.ndim != 1:
        raise ValueError(f"{name} must be one-dimensional (a state vector), got shape {array.shape}")
    if sector is not None:
        if array.shape[0] != sector.dim:
            raise ValueError(f"{name} has {array.shape[0]} amplitudes, but {sector!r} holds {sector.dim} states")
    elif comm is None:
        check_length(array.shape[0], num_qubits, name)
    else:
        from ._distributed import layout, local_length

        size = layout(comm)[1]
        local = local_length(num_qubits, size)
        if array.shape[0] != local:
            raise ValueError(f"{name} has {array.shape[0]} amplitudes, but this process's slice of a state of "
                             f"{num_qubits} qubits on {size} processes holds 2**{num_qubits} / {size} = {local}")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} has amplitudes that are not finite (nan or inf)")
    return array


def tolerance(value: Any) -> float:
    """rtol: the relative error allowed, a finite number in (0, 1). At 1 and beyond any
    state of the right norm, or none, would do, so such a request is refused."""
    rtol = real("rtol", value, positive=True)
    if rtol >= 1:
        raise ValueError(f"rtol must be below 1 (it bounds |result - exact| / |psi|), got {rtol!r}")
    return rtol


def default_grid_memory() -> int:
    """An eighth of the machine's physical memory, at most 2 GiB (1 GiB where the system
    does not say)."""
    try:
        return min(os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE") // 8, 2**31)
    except (AttributeError, ValueError, OSError):
        return 2**30


def grid_memory(value: Any) -> int:
    """grid_memory: None for the default, or a number of bytes >= 0."""
    if value is None:
        return default_grid_memory()
    count = whole_number(value, "grid_memory must be None or a number of bytes (an int >= 0)")
    if count < 0:
        raise ValueError(f"grid_memory must be None or a number of bytes (an int >= 0), got {count}")
    return count


def check_length(length: int, num_qubits: int, name: str = "psi") -> None:
    if length != 2**num_qubits:
        raise ValueError(f"{name} has {length} amplitudes, but the operator acts on {num_qubits} qubits, "
                         f"which need 2**{num_qubits} = {2**num_qubits}")
