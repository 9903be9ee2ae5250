"""Driven Hamiltonians H(t) = sum_j f_j(t) H_j and their time evolution: exact solves where
the coefficients are constant, a fourth-order commutator-free Magnus integrator with an
automatic step where they vary."""

from __future__ import annotations

import math
import numbers
from collections.abc import Callable, Sequence
from typing import Any

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments, _core
from ._distributed import Session
from ._pauli_sum import PauliSum

# Commutator-free Magnus of order four with two exponentials (Blanes and Moan, Appl.
# Numer. Math. 56 (2006) 1519; Alvermann and Fehske, J. Comput. Phys. 230 (2011) 5930,
# "CF4:2"): with H_1, H_2 at the Gauss-Legendre nodes t + (1/2 -+ sqrt(3)/6) h,
# U(t + h, t) = exp(-i h (A2 H_1 + A1 H_2)) exp(-i h (A1 H_1 + A2 H_2)) + O(h^5).
_NODES = (0.5 - math.sqrt(3.0) / 6.0, 0.5 + math.sqrt(3.0) / 6.0)
_A1 = 0.25 + math.sqrt(3.0) / 6.0
_A2 = 0.25 - math.sqrt(3.0) / 6.0
# Step control by step doubling: the error of two half steps is about |two halves - one
# step| / (2^4 - 1) (Hairer, Norsett and Wanner, Solving ODEs I, section II.4).
_RICHARDSON = 15.0
_SAFETY = 0.9
_MOST_GROWTH = 4.0
_LEAST_GROWTH = 0.2
_LEAST_UNCHECKED = 2
_MOST_UNCHECKED = 8
# The exponentials' share of a step's tolerance, so that the estimate sees the
# integrator's error and not the solvers'.
_SOLVER_SHARE = 0.05
# Squared norms are summed in blocks of this many amplitudes, each block's sum
# identical on every cut of the state, then exactly over the blocks: the step sizes,
# and so the results, do not depend on the thread or process count.
_NORM_BLOCK = 64


class _Schedule:
    """A coefficient given on a grid of times: strictly increasing finite times and as
    many finite values (real or complex)."""

    def __init__(self, times: ArrayLike, values: ArrayLike) -> None:
        t = np.asarray(times)
        v = np.asarray(values)
        if t.ndim != 1 or t.size == 0 or t.dtype.kind not in "iuf":
            raise TypeError(f"{type(self).__name__} times must be a non-empty one-dimensional sequence of real "
                            f"numbers, got {times!r}")
        if v.shape != t.shape or v.dtype.kind not in "iufc":
            raise ValueError(f"{type(self).__name__} needs one number per time: {t.size} times, values of shape "
                             f"{v.shape}")
        t = t.astype(np.float64)
        v = v.astype(np.complex128)
        if not (np.isfinite(t).all() and np.isfinite(v).all()):
            raise ValueError(f"{type(self).__name__} times and values must be finite")
        if (np.diff(t) <= 0).any():
            raise ValueError(f"{type(self).__name__} times must be strictly increasing, got {times!r}")
        self.times = t
        self.values = v if (v.imag != 0).any() else v.real.copy()

    def breakpoints(self) -> NDArray[np.float64]:
        return self.times

    def __repr__(self) -> str:
        return f"{type(self).__name__}({self.times.tolist()!r}, {self.values.tolist()!r})"


class PiecewiseConstant(_Schedule):
    """values[k] on [times[k], times[k+1]), values[-1] from times[-1] on and values[0]
    before times[0]. Evolution under it is exact: one solve per piece, no step error."""

    def __call__(self, t: float) -> complex:
        k = int(np.searchsorted(self.times, t, side="right")) - 1
        return self.values[max(k, 0)]


class PiecewiseLinear(_Schedule):
    """Linear between the points (times[k], values[k]), constant beyond the first and
    last."""

    def __call__(self, t: float) -> complex:
        return np.interp(t, self.times, self.values.real) + (
            1j * np.interp(t, self.times, self.values.imag) if self.values.dtype.kind == "c" else 0.0)


Coefficient = complex | Callable[[float], complex] | PiecewiseConstant | PiecewiseLinear


class TimeDependentSum:
    """H(t) = sum_j f_j(t) H_j, from pairs ``(H_j, f_j)``:

        ramp = mb.TimeDependentSum([(H0, lambda t: 1 - t / T), (H1, lambda t: t / T)])
        psi_t = mb.evolve(ramp, psi0, [0.5, 1.0, 2.0], observables=[M])

    Each f_j is a constant, a callable f(t) returning a real or complex number, or a
    schedule given on a grid: ``PiecewiseConstant(times, values)`` or
    ``PiecewiseLinear(times, values)``. psi is the state at t = 0; ``evolve`` takes this
    in place of a PauliSum with the same keywords, and ``max_step``.

    Where every coefficient is constant (constants and piecewise-constant schedules
    between their switching times) the evolution is exact: one solve per piece. Elsewhere
    a fourth-order commutator-free Magnus integrator (two exponentials of combinations of
    the H_j per step, at the Gauss-Legendre nodes) runs with its step chosen by step
    doubling so that every returned state is within rtol of the exact one; callables
    should be smooth between the schedules' breakpoints (a kink elsewhere only costs
    smaller steps). The words of all H_j are merged and grouped once; each exponential
    only reweights them. A combination with complex weights (or a non-Hermitian H_j)
    runs with the Taylor solver where ``method`` is "auto".
    """

    def __init__(self, terms: Sequence[tuple[PauliSum, Coefficient]]) -> None:
        if isinstance(terms, (str, bytes, PauliSum)) or not isinstance(terms, Sequence):
            raise TypeError(f"TimeDependentSum takes a sequence of (PauliSum, coefficient) pairs, got {terms!r}")
        if not terms:
            raise ValueError("TimeDependentSum needs at least one (PauliSum, coefficient) pair")
        parts: list[PauliSum] = []
        coefficients: list[Any] = []
        for k, item in enumerate(terms):
            if not isinstance(item, tuple) or len(item) != 2:
                raise TypeError(f"terms[{k}] must be a (PauliSum, coefficient) pair, got {item!r}")
            h, f = item
            if not isinstance(h, PauliSum):
                raise TypeError(f"terms[{k}][0] must be a PauliSum, got {type(h).__name__}")
            if parts and h.num_qubits != parts[0].num_qubits:
                raise ValueError(f"terms[{k}] acts on {h.num_qubits} qubits, but terms[0] on {parts[0].num_qubits}")
            if isinstance(f, bool) or not (isinstance(f, (numbers.Number, _Schedule)) or callable(f)):
                raise TypeError(f"terms[{k}][1] must be a number, a callable f(t) or a PiecewiseConstant or "
                                f"PiecewiseLinear schedule, got {f!r}")
            if isinstance(f, numbers.Number) and not math.isfinite(abs(complex(f))):
                raise ValueError(f"terms[{k}][1] must be finite, got {f!r}")
            parts.append(h)
            coefficients.append(f)
        self._parts = tuple(parts)
        self._coefficients = tuple(coefficients)
        self._hermitian_parts = all(h._hermitian_but_identity for h in parts)
        self._unitary_parts = all(h.is_hermitian for h in parts)
        self._weighted: Any = None
        breaks = [f.breakpoints() for f in coefficients if isinstance(f, _Schedule)]
        self._breakpoints = np.unique(np.concatenate(breaks)) if breaks else np.empty(0)
        # Whether the sum is constant between breakpoints: no callable, no linear piece.
        self._piecewise_constant = all(isinstance(f, (numbers.Number, PiecewiseConstant)) for f in coefficients)

    @property
    def num_qubits(self) -> int:
        return self._parts[0].num_qubits

    @property
    def terms(self) -> tuple[tuple[PauliSum, Coefficient], ...]:
        return tuple(zip(self._parts, self._coefficients))

    def weights(self, t: float) -> list[complex]:
        """The coefficients f_j(t), checked: each a finite number."""
        out = []
        for k, f in enumerate(self._coefficients):
            value = f if isinstance(f, numbers.Number) else f(t)
            if isinstance(value, np.ndarray) and value.ndim == 0:
                value = value.item()
            if isinstance(value, bool) or not isinstance(value, numbers.Number):
                raise TypeError(f"the coefficient of terms[{k}] must return a number, returned {value!r} at t = {t!r}")
            value = complex(value)
            if not (math.isfinite(value.real) and math.isfinite(value.imag)):
                raise ValueError(f"the coefficient of terms[{k}] returned {value!r} at t = {t!r}: it must be finite")
            out.append(value)
        return out

    def at(self, t: float) -> PauliSum:
        """H(t) as a PauliSum."""
        t = _arguments.real("t", t)
        total = PauliSum([], num_qubits=self.num_qubits)
        for w, h in zip(self.weights(t), self._parts):
            total = total + w * h
        return total

    def _fingerprint(self) -> str:
        """What every process must pass alike (callables compared by name only)."""
        return repr([(h._fingerprint(), f if isinstance(f, (numbers.Number, _Schedule))
                      else getattr(f, "__qualname__", type(f).__name__)) for h, f in self.terms])

    def _compiled(self) -> Any:
        if self._weighted is None:
            self._weighted = _core.weighted_sum([h._hamiltonian() for h in self._parts])
        return self._weighted

    def __repr__(self) -> str:
        return f"TimeDependentSum({list(self.terms)!r})"


class DrivenWalk:
    """Evolves a state under a TimeDependentSum from one time to the next, keeping the
    step size between calls. method: a name of the package's methods ("auto" included)."""

    def __init__(self, H: TimeDependentSum, method: str, threads: int, session: Session | None, space: Any,
                 max_step: float | None) -> None:
        self.H = H
        self.method = method
        self.threads = threads
        self.session = session
        self.space = space
        self.max_step = max_step
        self.step: float | None = None
        self.run = _LEAST_UNCHECKED
        self.unchecked = 0
        self.verified = 0.0  # the longest step the last check allows to run unchecked
        self.norm: float | None = None  # |psi| at the start of advance

    def advance(self, psi: _core.State, start: float, end: float, tol: float) -> _core.State:
        """psi at start evolved to end, within tol * |psi| of the exact state."""
        span = end - start
        if span == 0.0:
            return psi
        direction = 1.0 if span > 0 else -1.0
        inside = self.H._breakpoints[(self.H._breakpoints - start) * direction > 0]
        inside = inside[(inside - end) * direction < 0]
        edges = [start, *(inside if direction > 0 else inside[::-1]).tolist(), end]
        scale = self.norm = self._norm(psi)
        for a, b in zip(edges[:-1], edges[1:]):
            share = tol * abs(b - a) / abs(span)
            if self.H._piecewise_constant:
                psi = self._exponential(self.H.weights(0.5 * (a + b)), psi, b - a, share)
            else:
                psi = self._magnus(psi, a, b, share / abs(b - a), scale)
        return psi

    def _magnus(self, psi: _core.State, a: float, b: float, rate: float, scale: float) -> _core.State:
        """From a to b by CF4:2 steps, each within rate * |h| * scale (an error per unit
        time, so that the steps' errors add up to the interval's share).

        Step doubling (the two halves kept) checks a step and sets the next size so that
        the error per unit time, which grows as h^4, is predicted at 0.9^4 of its share.
        The steps after a passed check, never longer than the step it checked, skip the
        whole-length comparison (two thirds of the cost): 2 of them, up to 8 while the
        checks find the error well inside its share; then the next is checked, so that
        the size follows H(t). A longer step is always checked first."""
        direction = 1.0 if b > a else -1.0
        t = a
        h = self.step if self.step is not None else self._first_step(a)
        while (b - t) * direction > 0:
            remaining = abs(b - t)
            if self.max_step is not None:
                h = min(h, self.max_step)
            # The steps left, of equal length: no short last step to land on b.
            count = max(1, math.ceil(remaining / (1.05 * h)))
            step = remaining / count
            last = count == 1
            tol = rate * step * scale
            # A step is two CF4 steps of half its length; a checked one also takes the
            # whole length at once, and the difference estimates the halves' error, for
            # which the exponentials are solved far more accurately. Unchecked, they get
            # half of the step's share.
            checked = self.unchecked >= self.run or step > self.verified
            solver = _SOLVER_SHARE * tol if checked else 0.5 * tol
            half = self._cf4(psi, t, 0.5 * direction * step, 0.5 * solver)
            half = self._cf4(half, t + 0.5 * direction * step, 0.5 * direction * step, 0.5 * solver)
            if not checked:
                psi = half
                self.unchecked += 1
                t = b if last else t + direction * step
                continue
            full = self._cf4(psi, t, direction * step, solver)
            error = 2.0 * math.sqrt(self._norm2(half - full)) / _RICHARDSON
            factor = _SAFETY * (tol / error) ** 0.25 if error > 0 else _MOST_GROWTH
            grown = step * min(_MOST_GROWTH, max(_LEAST_GROWTH, factor))
            self.unchecked = 0
            # Checks that find the error well inside its share space out; one that
            # comes near it brings them close again.
            self.run = min(2 * self.run, _MOST_UNCHECKED) if error <= 0.25 * tol else _LEAST_UNCHECKED
            if error <= tol:
                psi = half
                self.verified = step
                t = b if last else t + direction * step
                # A step cut short to land on b only says that the next may be larger.
                h = max(h, grown) if step < h else grown
            else:
                h = grown
                if h < 1e-14 * max(1.0, abs(t)):
                    raise FloatingPointError(f"the driven step fell below {h:.3g} at t = {t!r}: the coefficients "
                                             "vary too fast (or are not smooth) for rtol")
        self.step = h
        return psi

    def _first_step(self, t: float) -> float:
        """A first guess, refined by the control: a step over which H(t) turns by about
        a radian, h |H(t)| = 1."""
        norm = sum(abs(w) * sum(abs(c) for c, _ in h.terms) for w, h in zip(self.H.weights(t), self.H._parts))
        return 1.0 / norm if norm > 0 else 1.0

    def _cf4(self, psi: _core.State, t: float, h: float, tol: float) -> _core.State:
        """One CF4:2 step of h from t, each exponential within tol / 2."""
        f1 = self.H.weights(t + _NODES[0] * h)
        f2 = self.H.weights(t + _NODES[1] * h)
        first = [_A1 * x + _A2 * y for x, y in zip(f1, f2)]
        second = [_A2 * x + _A1 * y for x, y in zip(f1, f2)]
        psi = self._exponential(first, psi, h, 0.5 * tol)
        return self._exponential(second, psi, h, 0.5 * tol)

    def _exponential(self, weights: list[complex], psi: _core.State, theta: float, tol: float) -> _core.State:
        """exp(-i theta sum_j weights[j] H_j) psi within tol * |psi|."""
        hermitian = self.H._hermitian_parts and all(w.imag == 0 for w in weights)
        method = self.method
        if method == "auto":
            method = "chebyshev" if hermitian else "taylor"
        elif not hermitian and _core.METHODS[method]["needs_hermitian"]:
            raise ValueError(f"method {method!r} needs a Hermitian H(t) (real weights on Hermitian terms); use "
                             "method='taylor' or 'auto' for complex coefficients")
        if self.H._unitary_parts and all(w.imag == 0 for w in weights) and self.norm is not None:
            scale = self.norm  # unitary steps keep it
        else:
            scale = math.sqrt(self._norm2(psi))
        rtol = min(0.5, tol / scale) if scale > 0 else 0.5
        return _core.solve_weighted(self.H._compiled(), method, weights, psi, theta, rtol, self.threads,
                                    self.session, self.space)

    def _norm(self, psi: _core.State) -> float:
        return math.sqrt(self._norm2(psi))

    def _norm2(self, v: _core.State) -> float:
        """|v|^2 over the whole state, the same bit for bit on every thread and process
        count: blocks of _NORM_BLOCK amplitudes, then an exactly rounded sum over them."""
        flat = v.view(np.float64)
        whole = flat.size - flat.size % (2 * _NORM_BLOCK)
        blocks = flat[:whole].reshape(-1, 2 * _NORM_BLOCK)
        parts = np.einsum("ij,ij->i", blocks, blocks)
        if whole < flat.size:
            parts = np.append(parts, np.dot(flat[whole:], flat[whole:]))
        if self.session is None:
            return math.fsum(parts.tolist())
        return math.fsum(x for chunk in self.session.comm.allgather(parts.tolist()) for x in chunk)


def check_max_step(value: Any) -> float | None:
    if value is None:
        return None
    return _arguments.real("max_step", value, positive=True)
