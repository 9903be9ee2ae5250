"""The module and its two operator classes as Python sees them."""

import pytest

import _morbizet as mz


def test_module_surface():
    assert mz.__doc__ == "Morbizet C++ core bindings"
    # A build with MPI adds the distributed entry points, and only those.
    distributed = {"_apply_distributed", "_expectation_distributed", "_solve_distributed",
                   "_solve_imaginary_distributed"}
    names = set(n for n in dir(mz) if not n.startswith("__"))
    assert names - distributed == {"_Hamiltonian", "_PauliWord", "_apply", "_evolve_chebyshev", "_evolve_higham",
                                   "_SectorSpace", "_evolve_krylov", "_expectation", "_grid", "_solve",
                                   "_methods", "_solve_imaginary", "_WeightedSum"}
    assert names & distributed in (set(), distributed)
    members = [n for n in vars(mz._PauliWord) if not n.startswith("__")]
    assert members == ["_num_qubits", "_get_coeff", "_get_string"]
    members = [n for n in vars(mz._Hamiltonian) if not n.startswith("__")]
    assert members == ["_num_qubits", "_num_terms", "_get_pwords"]


def test_pauli_word_conversions():
    w = mz._PauliWord(1, "XZ")
    assert w._get_coeff() == 1 + 0j and isinstance(w._get_coeff(), complex)
    assert w._num_qubits() == 2 and w._get_string() == "XZ"
    y = mz._PauliWord(string="Y", coeff=0.5j)
    assert y._get_coeff() == 0.5j  # as passed, not the phased -0.5
    accented = mz._PauliWord(2.5, "Xé")
    assert accented._num_qubits() == 3 and accented._get_string() == "Xé"
    assert mz._PauliWord(1.0, "")._num_qubits() == 0

    class Index:
        def __index__(self):
            return 3

    assert mz._PauliWord(Index(), "Z")._get_coeff() == 3
    for bad in [(1.0, b"XZ"), (None, "X"), (1.0, None), ("1", "X")]:
        with pytest.raises(TypeError):
            mz._PauliWord(*bad)


def test_pauli_word_length_limit():
    assert mz._PauliWord(1.0, "Z" * 62)._num_qubits() == 62
    with pytest.raises(ValueError, match=r"62.*63|63.*62"):
        mz._PauliWord(1.0, "I" * 63)
    with pytest.raises(ValueError, match="62"):
        mz._PauliWord(1.0, "é" * 40)  # 80 bytes


def test_hamiltonian_conversions_and_copies():
    words = [mz._PauliWord(1.0, "II"), mz._PauliWord(2.0, "XX"), mz._PauliWord(0.5j, "II")]
    for seq in (words, tuple(words), iter_free_sequence(words)):
        h = mz._Hamiltonian(seq)
        assert h._num_terms() == 3 and h._num_qubits() == 2
    h = mz._Hamiltonian(pwords=words)
    a, b = h._get_pwords(), h._get_pwords()
    assert isinstance(a, list) and a is not b
    assert all(x is not y and x is not w for x, y, w in zip(a, b, words))
    assert [(w._get_coeff(), w._get_string()) for w in a] == [(1, "II"), (2, "XX"), (0.5j, "II")]
    for bad in ["XX", b"XX", [words[0], 3], None, [None]]:
        with pytest.raises(TypeError):
            mz._Hamiltonian(bad)


def iter_free_sequence(items):
    class Seq:
        def __len__(self):
            return len(items)

        def __getitem__(self, i):
            return items[i]

    return Seq()


def test_hamiltonian_rejections():
    with pytest.raises(ValueError, match="at least one Pauli word"):
        mz._Hamiltonian([])
    ragged = [mz._PauliWord(1.0, "XY"), mz._PauliWord(1.0, "ZZ"), mz._PauliWord(1.0, "ZZZ")]
    with pytest.raises(ValueError, match=r"word 2 has 3 qubits but word 0 has 2"):
        mz._Hamiltonian(ragged)
