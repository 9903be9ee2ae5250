"""The installable package: typed stubs and a pip build without a package index."""

import importlib.util
import os
import pathlib
import subprocess
import sys

import pytest

import _morbizet as mz

ROOT = pathlib.Path(__file__).resolve().parents[2]


def test_committed_stub_matches_the_generated_one():
    generated = pathlib.Path(mz.__file__).with_name("_morbizet.pyi")
    if not generated.exists():
        pytest.skip("module not built with stubs")
    committed = ROOT / "src" / "bindings" / "_morbizet.pyi"
    assert committed.read_text() == generated.read_text(), "run `make build` and commit the new stub"


@pytest.mark.skipif(importlib.util.find_spec("pip") is None, reason="pip not installed")
@pytest.mark.skipif("MORBIZET_SANITIZED" in os.environ, reason="builds an uninstrumented module")
def test_pip_install_without_build_isolation(tmp_path):
    target = tmp_path / "site"
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--no-build-isolation", "--no-deps",
                    "--root-user-action=ignore", "--target", str(target), str(ROOT)], check=True)
    names = {p.name for p in target.iterdir()}
    assert {"_morbizet.pyi", "py.typed", "morbizet"} <= names
    assert (target / "morbizet" / "py.typed").is_file()
    code = "import _morbizet, sys; assert _morbizet.__file__.startswith(sys.argv[1]); print(_morbizet.__doc__)"
    out = subprocess.run([sys.executable, "-c", code, str(target)], env={"PYTHONPATH": str(target)},
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "Morbizet C++ core bindings"
    code = ("import morbizet, sys; assert morbizet.__file__.startswith(sys.argv[1]); "
            "print(abs(morbizet.PauliSum([(1.0, 'X')]).expectation(morbizet.basis_state('0'))))")
    out = subprocess.run([sys.executable, "-c", code, str(target)], env={"PYTHONPATH": str(target)},
                         capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "0.0"
