"""PauliSum: a weighted sum of Pauli strings, the operator every other function takes."""

from __future__ import annotations

import cmath
import hashlib
import math
import numbers
from collections.abc import Iterable, Mapping
from typing import TYPE_CHECKING, Any, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

from . import _arguments, _core
from ._distributed import Session
from ._sector import Sector, compiled

if TYPE_CHECKING:
    from scipy.sparse import csr_array, csr_matrix
    from scipy.sparse.linalg import LinearOperator
else:
    # SciPy is imported only where it is used; these names keep the annotations
    # resolvable at run time (typing.get_type_hints).
    LinearOperator = csr_array = csr_matrix = Any

ALLOWED = "IXYZ"
MAX_QUBITS = 62  # the compiled module indexes amplitudes with 64-bit integers

# to_sparse stores one entry per row for each distinct X pattern; beyond this many
# entries (about 3 GiB with their indices) it refuses rather than exhaust memory.
MAX_SPARSE_ENTRIES = 2**27

_Term = tuple[complex, str]


def _coefficient(value: Any, string: str) -> complex:
    try:
        c = complex(value)
    except (TypeError, ValueError):
        raise TypeError(f"the coefficient of {string!r} must be a number, got {value!r}") from None
    if not cmath.isfinite(c):
        raise ValueError(f"the coefficient of {string!r} must be finite, got {c!r}")
    return c


def _pauli_string(value: Any) -> str:
    if not isinstance(value, str):
        raise TypeError(f"a Pauli string must be a str, got {value!r}; terms are (coefficient, string) pairs")
    if not 1 <= len(value) <= MAX_QUBITS:
        shown = value if len(value) <= 80 else f"{value[:40]}... ({len(value)} characters)"
        raise ValueError(f"a Pauli string needs 1 to {MAX_QUBITS} characters (one per qubit), got {shown!r}")
    for ch in value:
        if ch not in ALLOWED:
            raise ValueError(f"Pauli string {value!r} has the character {ch!r}; allowed are 'I', 'X', 'Y' "
                             "and 'Z', one per qubit")
    return str(value)


def _term(item: Any) -> _Term:
    if isinstance(item, (str, bytes)):
        raise TypeError(f"each term must be a (coefficient, string) pair, got {item!r}")
    try:
        coeff, string = item
    except (TypeError, ValueError):
        raise TypeError(f"each term must be a (coefficient, string) pair, got {item!r}") from None
    if isinstance(coeff, (str, bytes)):
        raise TypeError(f"each term must be a (coefficient, string) pair, coefficient first; got {item!r}")
    string = _pauli_string(string)
    return _coefficient(coeff, string), string


def _qubit_count(value: Any, name: str) -> int:
    n = _arguments.whole_number(value, f"{name} must be an int")
    if not 1 <= n <= MAX_QUBITS:
        raise ValueError(f"{name} must be between 1 and {MAX_QUBITS}, got {n}")
    return n


def _scalar(value: Any) -> complex | None:
    """value as a complex number when it is a scalar an operator can be scaled by, else None."""
    if not isinstance(value, numbers.Number):
        return None
    c = complex(value)
    if not cmath.isfinite(c):
        raise ValueError(f"cannot combine a PauliSum with a non-finite number, got {value!r}")
    return c


def _openfermion_factors(key: Any) -> dict[int, str]:
    """{qubit: 'X'|'Y'|'Z'} of an OpenFermion term such as ((0, 'X'), (2, 'Z'))."""
    bad = ValueError(f"an OpenFermion term must be a tuple of (qubit, 'X'|'Y'|'Z') pairs with qubits >= 0, "
                     f"got {key!r}")
    if not isinstance(key, tuple):
        raise bad
    acts: dict[int, str] = {}
    for pair in key:
        if not isinstance(pair, tuple) or len(pair) != 2:
            raise bad
        qubit, action = pair
        if isinstance(qubit, bool) or not isinstance(qubit, numbers.Integral) or qubit < 0:
            raise bad
        if not isinstance(action, str) or action not in ("X", "Y", "Z"):
            raise bad
        if int(qubit) in acts:
            raise ValueError(f"qubit {qubit} appears twice in the OpenFermion term {key!r}")
        acts[int(qubit)] = action
    return acts


class CoefficientOverflowError(ValueError, OverflowError):
    """Arithmetic on a PauliSum gave a coefficient beyond the double range."""


def _finite(terms: list[_Term], operation: str) -> list[_Term]:
    """terms, or an error naming the first coefficient that overflowed in operation: a
    PauliSum never holds an infinite or NaN coefficient, however it was made."""
    for c, s in terms:
        if not cmath.isfinite(c):
            raise CoefficientOverflowError(f"{operation} overflows: the coefficient of {s!r} would be {c!r}; "
                                           "coefficients must stay finite (below about 1.8e308)")
    return terms


# The product of two single-qubit Paulis: (phase, result).
_PRODUCTS = {(p, q): (1, p if q == "I" else q) for p in "IXYZ" for q in "IXYZ" if p == "I" or q == "I"}
_PRODUCTS.update({(p, p): (1, "I") for p in "XYZ"})
_PRODUCTS.update({("X", "Y"): (1j, "Z"), ("Y", "Z"): (1j, "X"), ("Z", "X"): (1j, "Y"),
                  ("Y", "X"): (-1j, "Z"), ("Z", "Y"): (-1j, "X"), ("X", "Z"): (-1j, "Y")})


def _multiply_strings(s: str, t: str) -> tuple[complex, str]:
    """The Pauli string product s·t as a phase (a power of i) and a string."""
    phase: complex = 1
    chars = []
    for p, q in zip(s, t):
        f, r = _PRODUCTS[p, q]
        phase *= f
        chars.append(r)
    return phase, "".join(chars)


def _format_coefficient(c: complex) -> str:
    return repr(c.real) if c.imag == 0 else repr(c)


class PauliSum:
    """A Hamiltonian or observable H = sum_k c_k P_k on n qubits: complex coefficients c_k
    times Pauli strings P_k such as ``"XXI"``, one character per qubit.

    The leftmost character acts on the most significant bit of the basis index (qubit
    n-1 in OpenFermion's and Qiskit's numbering), so ``"XI"`` flips bit 1 and ``"IX"``
    bit 0. Only ``I``, ``X``, ``Y`` and ``Z`` are allowed.

    A PauliSum is an immutable value: arithmetic returns new sums, and two sums are equal
    (``==``) when they are the same operator: the same coefficient for each string, the
    coefficients of equal strings summed exactly rounded, so that the order of the
    terms does not matter. Arithmetic whose coefficients would overflow raises
    ``CoefficientOverflowError`` (a ValueError and an OverflowError). Arithmetic
    concatenates terms without merging them; ``simplify()`` merges. An empty term list
    needs ``num_qubits`` and is the zero operator.
    """

    __slots__ = ("_terms", "_num_qubits", "_simplified", "_compiled", "_digest")

    # NumPy arrays then leave `array * H` and `array @ H` to PauliSum, which refuses them,
    # instead of building an object array of PauliSums.
    __array_ufunc__ = None

    def __init__(self, terms: Iterable[tuple[complex, str]], *, num_qubits: int | None = None) -> None:
        if isinstance(terms, Mapping):
            raise TypeError("PauliSum takes (coefficient, string) pairs; for a mapping from strings to "
                            "coefficients use PauliSum.from_dict")
        if isinstance(terms, (str, bytes)) or not isinstance(terms, Iterable):
            raise TypeError(f"PauliSum takes an iterable of (coefficient, string) pairs, got {terms!r}")
        checked = [_term(item) for item in terms]
        n = None if num_qubits is None else _qubit_count(num_qubits, "num_qubits")
        for _, s in checked:
            if n is None:
                n = len(s)
            elif len(s) != n:
                first = checked[0][1]
                expected = (f"num_qubits = {num_qubits}" if num_qubits is not None
                            else f"{first!r} has {len(first)}")
                raise ValueError(f"every Pauli string needs one character per qubit: {s!r} has {len(s)} "
                                 f"characters, but {expected}")
        if n is None:
            raise ValueError("a PauliSum needs at least one term, or num_qubits for the zero operator")
        self._init(checked, n)

    def _init(self, terms: list[_Term], num_qubits: int) -> None:
        self._terms = tuple(terms)
        self._num_qubits = num_qubits
        self._simplified: PauliSum | None = None
        self._compiled: _core.Hamiltonian | None = None
        self._digest: str | None = None

    @classmethod
    def _of_checked(cls, terms: list[_Term], num_qubits: int) -> PauliSum:
        out = cls.__new__(cls)
        out._init(terms, num_qubits)
        return out

    @classmethod
    def from_dict(cls, terms: Mapping[str, complex], *, num_qubits: int | None = None) -> PauliSum:
        """From a mapping {pauli_string: coefficient}, in the mapping's order."""
        if not isinstance(terms, Mapping):
            raise TypeError(f"from_dict takes a mapping from Pauli strings to coefficients, got {terms!r}")
        return cls([(c, s) for s, c in terms.items()], num_qubits=num_qubits)

    @classmethod
    def from_openfermion(cls, qubit_operator: Any, n_qubits: int | None = None) -> PauliSum:
        """From an OpenFermion ``QubitOperator``, or anything with a ``.terms`` mapping
        ``{((0, "X"), (2, "Z")): coeff, (): identity_coeff}``.

        Qubit i is bit i of the basis index, which is character n-1-i of the string.
        Without ``n_qubits`` the sum has 1 + the highest qubit index used, or 1 qubit
        when only identity terms appear; an operator without terms needs ``n_qubits``.
        A qubit may appear only once in a term.
        """
        terms = getattr(qubit_operator, "terms", None)
        if not isinstance(terms, Mapping):
            raise TypeError("from_openfermion takes an object whose .terms maps tuples of (qubit, 'X'|'Y'|'Z') "
                            f"pairs to coefficients, such as an OpenFermion QubitOperator; got {qubit_operator!r}")
        factors = [(coeff, _openfermion_factors(key)) for key, coeff in terms.items()]
        used = 1 + max((q for _, acts in factors for q in acts), default=0)
        if used > MAX_QUBITS:
            raise ValueError(f"the operator acts on qubit {used - 1}, but at most {MAX_QUBITS} qubits "
                             f"(0 to {MAX_QUBITS - 1}) are supported")
        if n_qubits is None:
            if not factors:
                raise ValueError("the operator has no terms: give n_qubits for the zero operator")
            n = used
        else:
            n = _qubit_count(n_qubits, "n_qubits")
            if factors and used > n:
                raise ValueError(f"the operator acts on qubit {used - 1}, but n_qubits = {n}")
        out = []
        for coeff, acts in factors:
            chars = ["I"] * n
            for qubit, action in acts.items():
                chars[n - 1 - qubit] = action
            out.append((coeff, "".join(chars)))
        return cls(out, num_qubits=n)

    @classmethod
    def from_qiskit(cls, sparse_pauli_op: Any) -> PauliSum:
        """From a Qiskit ``SparsePauliOp``, or anything whose ``.to_list()`` gives
        ``[(label, coeff), ...]``. A label's rightmost character is qubit 0, the least
        significant bit, which is already this package's order."""
        to_list = getattr(sparse_pauli_op, "to_list", None)
        if not callable(to_list):
            raise TypeError("from_qiskit takes an object whose .to_list() gives (label, coefficient) pairs, "
                            f"such as a Qiskit SparsePauliOp; got {sparse_pauli_op!r}")
        pairs = []
        for item in to_list():
            try:
                label, coeff = item
            except (TypeError, ValueError):
                raise TypeError(f".to_list() must give (label, coefficient) pairs, got {item!r}") from None
            pairs.append((coeff, label))
        return cls(pairs)

    @property
    def num_qubits(self) -> int:
        return self._num_qubits

    @property
    def terms(self) -> list[tuple[complex, str]]:
        """The (coefficient, string) pairs in order, as a new list."""
        return list(self._terms)

    def __len__(self) -> int:
        return len(self._terms)

    def simplify(self) -> PauliSum:
        """The same operator with equal strings merged (their coefficients summed, in the
        order each string first appears), exact zeros dropped, and the identity term, if
        any, last."""
        if self._simplified is None:
            merged: dict[str, complex] = {}
            for c, s in self._terms:
                merged[s] = merged.get(s, 0j) + c
            identity = "I" * self._num_qubits
            last = merged.pop(identity, 0j)
            terms = [(c, s) for s, c in merged.items() if c != 0]
            if last != 0:
                terms.append((last, identity))
            _finite(terms, "merging equal strings in simplify()")
            simplified = PauliSum._of_checked(terms, self._num_qubits)
            simplified._simplified = simplified
            self._simplified = simplified
        return self._simplified

    @property
    def is_hermitian(self) -> bool:
        """True when every coefficient is real once the sum is simplified."""
        return all(c.imag == 0 for c, _ in self.simplify()._terms)

    @property
    def _hermitian_but_identity(self) -> bool:
        """True when every non-identity coefficient is real once simplified: the Krylov and
        Chebyshev solvers need this much, a complex identity coefficient being a factor
        they apply exactly."""
        identity = "I" * self._num_qubits
        return all(c.imag == 0 for c, s in self.simplify()._terms if s != identity)

    def _hermitian_part(self) -> PauliSum:
        """The simplified sum with the imaginary parts of its non-identity coefficients
        dropped (a complex identity coefficient is kept: the solvers apply it exactly)."""
        identity = "I" * self._num_qubits
        terms = [(c if s == identity else complex(c.real), s) for c, s in self.simplify()._terms]
        return PauliSum._of_checked([(c, s) for c, s in terms if c != 0], self._num_qubits)

    def adjoint(self) -> PauliSum:
        """The Hermitian adjoint H†: Pauli strings are Hermitian, so only the coefficients
        are conjugated (term order kept)."""
        return PauliSum._of_checked([(c.conjugate(), s) for c, s in self._terms], self._num_qubits)

    def to_openfermion_terms(self) -> dict[tuple[tuple[int, str], ...], complex]:
        """The simplified sum as OpenFermion's ``QubitOperator.terms`` mapping,
        ``{((0, "X"), (2, "Z")): coeff, (): identity_coeff}``, qubit i being bit i of the
        basis index (character n-1-i of the string); OpenFermion itself is not needed."""
        n = self._num_qubits
        return {tuple((n - 1 - k, ch) for k, ch in reversed(list(enumerate(s))) if ch != "I"): c
                for c, s in self.simplify()._terms}

    def to_qiskit_list(self) -> list[tuple[str, complex]]:
        """The simplified sum as ``[(label, coeff), ...]``, the list Qiskit's
        ``SparsePauliOp.from_list`` takes (labels read like these strings, rightmost
        character qubit 0); Qiskit itself is not needed."""
        return [(s, c) for c, s in self.simplify()._terms]

    def _fingerprint(self) -> str:
        """The terms as exact text, the same on every process for equal terms in the same
        order (to check that processes pass the same operator)."""
        if self._digest is None:
            self._digest = hashlib.sha256(repr((self._num_qubits, self._terms)).encode()).hexdigest()
        return self._digest

    def _hamiltonian(self) -> _core.Hamiltonian:
        """The compiled form of the simplified sum, built once: the sum never changes."""
        if self._compiled is None:
            simplified = self.simplify()
            if simplified is self:
                self._compiled = _core.build(self._terms, self._num_qubits)
            else:
                self._compiled = simplified._hamiltonian()
        return self._compiled

    # Arithmetic. A number stands for that multiple of the identity, so that sum() and
    # H + 0.5 work.

    def _combine(self, other: Any, sign: complex, other_first: bool) -> PauliSum:
        if isinstance(other, PauliSum):
            if other._num_qubits != self._num_qubits:
                raise ValueError(f"cannot combine PauliSums on {self._num_qubits} and {other._num_qubits} qubits")
            theirs = list(other._terms)
        else:
            c = _scalar(other)
            if c is None:
                return NotImplemented
            theirs = [(c, "I" * self._num_qubits)]
        ours = [(sign * c, s) for c, s in self._terms] if sign != 1 else list(self._terms)
        return PauliSum._of_checked(theirs + ours if other_first else ours + theirs, self._num_qubits)

    def __add__(self, other: Any) -> PauliSum:
        return self._combine(other, 1, False)

    def __radd__(self, other: Any) -> PauliSum:
        return self._combine(other, 1, True)

    def __sub__(self, other: Any) -> PauliSum:
        if isinstance(other, PauliSum):
            return self._combine(-other, 1, False)
        c = _scalar(other)
        return NotImplemented if c is None else self._combine(-c, 1, False)

    def __rsub__(self, other: Any) -> PauliSum:
        return self._combine(other, -1, True)

    def __mul__(self, other: Any) -> PauliSum:
        if isinstance(other, PauliSum):
            return self._product(other)
        c = _scalar(other)
        if c is None:
            return NotImplemented
        return PauliSum._of_checked(_finite([(c * a, s) for a, s in self._terms], f"multiplying by {c!r}"),
                                    self._num_qubits)

    def __rmul__(self, other: Any) -> PauliSum:
        return self.__mul__(other)

    def _product(self, other: PauliSum) -> PauliSum:
        """The operator product self·other (other acts first): every pair of strings
        multiplied with its phase, equal strings merged as in simplify()."""
        if other._num_qubits != self._num_qubits:
            raise ValueError(f"cannot multiply PauliSums on {self._num_qubits} and {other._num_qubits} qubits")
        merged: dict[str, complex] = {}
        for a, s in self._terms:
            for b, t in other._terms:
                phase, u = _multiply_strings(s, t)
                merged[u] = merged.get(u, 0j) + phase * a * b
        terms = [(c, u) for u, c in merged.items() if c != 0]
        return PauliSum._of_checked(_finite(terms, "multiplying PauliSums"), self._num_qubits)

    def __truediv__(self, other: Any) -> PauliSum:
        c = _scalar(other)
        if c is None:
            return NotImplemented
        if c == 0:
            raise ZeroDivisionError("cannot divide a PauliSum by zero")
        return PauliSum._of_checked(_finite([(a / c, s) for a, s in self._terms], f"dividing by {c!r}"),
                                    self._num_qubits)

    def __neg__(self) -> PauliSum:
        return self * -1

    def _canonical(self) -> dict[str, complex]:
        """{string: coefficient} with equal strings summed exactly rounded (math.fsum), so
        that neither the order of the terms nor that of their summands matters; zeros
        dropped."""
        parts: dict[str, tuple[list[float], list[float]]] = {}
        for c, s in self._terms:
            re, im = parts.setdefault(s, ([], []))
            re.append(c.real)
            im.append(c.imag)
        try:
            merged = {s: complex(math.fsum(re), math.fsum(im)) for s, (re, im) in parts.items()}
        except OverflowError:
            raise CoefficientOverflowError("comparing PauliSums overflows: equal strings sum to a coefficient "
                                           "beyond the double range") from None
        return {s: c for s, c in merged.items() if c != 0}

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, PauliSum):
            return NotImplemented
        return self._num_qubits == other._num_qubits and self._canonical() == other._canonical()

    def __hash__(self) -> int:
        return hash((self._num_qubits, frozenset(self._canonical().items())))

    def __reduce__(self) -> tuple[Any, ...]:
        # Only the terms travel: the compiled form cannot be pickled and is rebuilt on use.
        return (_rebuild, (self._terms, self._num_qubits))

    def __repr__(self) -> str:
        shown = [f"({_format_coefficient(c)}, {s!r})" for c, s in self._terms]
        if len(shown) > 12:
            shown = shown[:8] + [f"... {len(shown) - 10} more ..."] + shown[-2:]
        size = "" if self._terms else f", num_qubits={self._num_qubits}"
        return f"PauliSum([{', '.join(shown)}]{size})"

    # The operator on states.

    def apply(self, psi: ArrayLike, threads: int | None = None, comm: Any = None, *,
              sector: Sector | None = None) -> NDArray[np.complex128]:
        """H psi, the identity part included, as a new array; psi of shape (2**n,), or
        (2**n, k) for k states as columns. The interpreter lock is released meanwhile.
        With an mpi4py ``comm``, psi is this process's slice of the state (see evolve)
        and so is the result; collective. With a ``sector``, psi and the result are
        sector vectors (sector.dim amplitudes), and H must map the sector into itself
        (ValueError naming the first word that does not)."""
        if comm is None:
            return self._apply(psi, _arguments.threads(threads), sector)
        compiled(sector, self._num_qubits, comm)
        with Session(comm) as session:
            state, count = session.agreed(lambda: self._checked(psi, threads, comm), lambda _: {"H": self})
            return _core.apply(self._hamiltonian(), state, count, session)

    def _checked(self, psi: ArrayLike, threads: int | None, comm: Any,
                 sector: Sector | None = None) -> tuple[NDArray[np.complex128], int]:
        return _arguments.state(psi, self._num_qubits, comm=comm, sector=sector), _arguments.threads(threads)

    def _apply(self, psi: ArrayLike, threads: int, sector: Sector | None = None) -> NDArray[np.complex128]:
        space = compiled(sector, self._num_qubits)
        array = np.asarray(psi)
        if array.ndim == 2:
            if sector is None:
                _arguments.check_length(array.shape[0], self._num_qubits)
            out = np.empty(array.shape, dtype=np.complex128)
            for j in range(array.shape[1]):
                column = _arguments.state(array[:, j], self._num_qubits, sector=sector)
                out[:, j] = _core.apply(self._hamiltonian(), column, threads, sector=space)
            return out
        state = _arguments.state(array, self._num_qubits, sector=sector)
        return _core.apply(self._hamiltonian(), state, threads, sector=space)

    @overload
    def __matmul__(self, other: PauliSum) -> PauliSum: ...

    @overload
    def __matmul__(self, other: ArrayLike) -> NDArray[np.complex128]: ...

    def __matmul__(self, other: Any) -> PauliSum | NDArray[np.complex128]:
        """H @ G: the operator product (as H * G); H @ psi: H applied to a state."""
        if isinstance(other, PauliSum):
            return self._product(other)
        return self.apply(other)

    def expectation(self, psi: ArrayLike, threads: int | None = None, comm: Any = None, *,
                    sector: Sector | None = None) -> float | complex:
        """<psi|H|psi>, not normalised: a float when H is Hermitian, else a complex. With an
        mpi4py ``comm``, psi is this process's slice and the value is that of the whole
        state, the same on every process; collective. With a ``sector``, psi is a sector
        vector and H need not conserve the sector: only the part of H that maps the
        sector into itself contributes to <psi|H|psi> for a psi inside it, and that part
        is what is applied, so the value is exact."""
        if comm is None:
            space = compiled(sector, self._num_qubits)
            value = _core.expectation(self._hamiltonian(), *self._checked(psi, threads, None, sector), sector=space)
        else:
            compiled(sector, self._num_qubits, comm)
            with Session(comm) as session:
                checked = session.agreed(lambda: self._checked(psi, threads, comm), lambda _: {"H": self})
                value = _core.expectation(self._hamiltonian(), *checked, session)
        return value.real if self.is_hermitian else value

    def as_linear_operator(self, threads: int | None = None, *, sector: Sector | None = None) -> LinearOperator:
        """H as a SciPy LinearOperator of shape (2**n, 2**n) (with a ``sector``: (dim,
        dim) on sector vectors, H conserving it) and dtype complex128 that applies it
        without forming a matrix (for eigsh, expm_multiply, iterative solvers)."""
        import scipy.sparse.linalg

        count = _arguments.threads(threads)
        adjoint = self if self.is_hermitian else self.adjoint()
        if sector is not None:
            self._conserves(sector)

        def matvec(x: NDArray[Any]) -> NDArray[np.complex128]:
            x = np.asarray(x)
            return self._apply(x.reshape(-1), count, sector).reshape(x.shape)

        def rmatvec(x: NDArray[Any]) -> NDArray[np.complex128]:
            x = np.asarray(x)
            return adjoint._apply(x.reshape(-1), count, sector).reshape(x.shape)

        dim = 2**self._num_qubits if sector is None else sector.dim
        return scipy.sparse.linalg.LinearOperator(
            (dim, dim), matvec=matvec, rmatvec=rmatvec, matmat=lambda x: self._apply(x, count, sector),
            rmatmat=lambda x: adjoint._apply(x, count, sector), dtype=np.complex128)

    def _conserves(self, sector: Sector) -> Any:
        """The compiled sector, after checking that H maps it into itself."""
        space = compiled(sector, self._num_qubits)
        why = space._violation(self._hamiltonian())
        if why:
            raise ValueError(f"H does not map the sector into itself: {why}")
        return space

    def _flip_groups(self) -> dict[int, list[tuple[complex, int]]]:
        """The phased coefficient and Z mask of every string, by X mask: each string is
        i**(number of Y) * X-part * Z-part, with Y = i X Z, and sends column c to row
        c ^ x with the sign of the parity of c & z."""
        n = self._num_qubits
        groups: dict[int, list[tuple[complex, int]]] = {}
        for c, s in self.simplify()._terms:
            x = z = ny = 0
            for k, ch in enumerate(s):
                bit = 1 << (n - 1 - k)
                x |= bit if ch in "XY" else 0
                z |= bit if ch in "ZY" else 0
                ny += ch == "Y"
            groups.setdefault(x, []).append((c * (1, 1j, -1, -1j)[ny % 4], z))
        return groups

    def _sector_sparse(self, sector: Sector, matrix: bool) -> csr_array | csr_matrix:
        """H on the sector's states as a CSR array: row k, the state with representative r,
        holds sign * g_x(i) at the column of i = r ^ x for every X mask x, i mapped to its
        state (sign the flip sign of a partner whose leftmost bit is 1)."""
        import scipy.sparse

        self._conserves(sector)
        groups = self._flip_groups()
        dim, n = sector.dim, self._num_qubits
        if len(groups) * dim > MAX_SPARSE_ENTRIES:
            raise ValueError(f"to_sparse would store {len(groups)} x {dim} entries, more than its limit of "
                             f"2**27; use apply() or as_linear_operator() for this size")
        basis = sector.basis
        rows_all, cols_all, vals_all = [], [], []
        every = np.uint64(2**n - 1)
        for x, words in groups.items():
            i = basis ^ np.uint64(x)
            values = np.zeros(dim, dtype=np.complex128)
            for c, z in words:
                odd = (np.bitwise_count(i & np.uint64(z)) & 1).astype(bool)
                values += np.where(odd, -c, c)
            if sector.spin_flip is not None:
                flipped = (i >> np.uint64(n - 1)).astype(bool)
                i = np.where(flipped, i ^ every, i)
                values = np.where(flipped, sector.spin_flip * values, values)
            columns = sector.index(i)
            keep = (columns >= 0) & (values != 0)
            rows_all.append(np.nonzero(keep)[0])
            cols_all.append(columns[keep])
            vals_all.append(values[keep])
        out = scipy.sparse.coo_array((np.concatenate(vals_all), (np.concatenate(rows_all), np.concatenate(cols_all))),
                                     shape=(dim, dim)).tocsr()
        out.sum_duplicates()
        out.eliminate_zeros()
        out.sort_indices()
        return scipy.sparse.csr_matrix(out) if matrix else out

    def to_sparse(self, *, matrix: bool = False, sector: Sector | None = None) -> csr_array | csr_matrix:
        """H as a SciPy CSR array, for small systems and checks; entries that cancel are
        left out. ``matrix=True`` gives a ``scipy.sparse.csr_matrix`` instead, the type
        QuTiP's ``Qobj`` takes. With a ``sector``, H (which must conserve it) on its
        states: (dim, dim), in the order of sector.basis. Raises ValueError when it would
        store more than 2**27 entries."""
        import scipy.sparse

        if sector is not None:
            return self._sector_sparse(sector, matrix)
        n = self._num_qubits
        dim = 2**n
        # Strings with the same X mask fill the same positions, so they are summed first.
        groups = self._flip_groups()
        if len(groups) * dim > MAX_SPARSE_ENTRIES:
            raise ValueError(f"to_sparse would store {len(groups)} x 2**{n} entries, more than its limit of "
                             f"2**27; use apply() or as_linear_operator() for this size")
        # Row r holds, for each X mask x, the entry at column r ^ x: the matrix is filled
        # straight into its CSR arrays, one column of a (dim, groups) table per mask,
        # so that the peak stays near the matrix itself (zeros removed in one pass).
        index = np.int32 if len(groups) * dim < 2**31 else np.int64
        width = len(groups)
        data = np.empty(dim * width, dtype=np.complex128)
        columns = np.empty(dim * width, dtype=index)
        table, positions = data.reshape(dim, width), columns.reshape(dim, width)
        rows = np.arange(dim, dtype=np.int64)
        for g, (x, words) in enumerate(groups.items()):
            np.bitwise_xor(rows, x, out=positions[:, g], casting="unsafe")
            values = table[:, g]
            values[:] = 0
            for c, z in words:
                odd = (np.bitwise_count(positions[:, g] & z) & 1).astype(bool)
                values += np.where(odd, -c, c)
        del rows, table, positions
        keep = data != 0
        indptr = np.zeros(dim + 1, dtype=index)
        np.cumsum(keep.reshape(dim, width).sum(axis=1), out=indptr[1:])
        nnz = int(indptr[-1])
        if nnz < data.size:
            # Entries that cancel are squeezed out in place, a slice of rows at a time
            # (kept entries only move towards the front), and the arrays shrunk.
            step = max(1, min(2**20, max(2**12, data.size // 16)) // width)  # temporaries of 1/16 of the table
            for begin in range(0, dim, step):
                end = min(dim, begin + step)
                span = slice(begin * width, end * width)
                kept = keep[span]
                at = int(indptr[begin])
                count = int(indptr[end]) - at
                data[at:at + count] = data[span][kept]
                columns[at:at + count] = columns[span][kept]
            del keep
            data.resize(nnz, refcheck=False)
            columns.resize(nnz, refcheck=False)
        out = scipy.sparse.csr_array((data, columns, indptr), shape=(dim, dim))
        out.sort_indices()
        return scipy.sparse.csr_matrix(out) if matrix else out


def _rebuild(terms: tuple[_Term, ...], num_qubits: int) -> PauliSum:
    return PauliSum(terms, num_qubits=num_qubits)
