"""The benchmark harness runs end to end at tiny sizes and writes what it promises.

Nothing here is about speed: the run is a smoke test of the harness (its workers, its
counters, its reference plumbing and its outputs) on a shared machine.
"""

import json
import math
import pathlib
import runpy
import subprocess
import sys
import types

import numpy as np
import pytest

from conftest import dense, random_terms

ROOT = pathlib.Path(__file__).resolve().parents[2]
RUN = ROOT / "bench" / "run.py"


def load_bench_module(name):
    """The names of a module of bench/, run by path, so that bench/'s generic module names
    never shadow anything here."""
    return types.SimpleNamespace(**runpy.run_path(str(ROOT / "bench" / f"{name}.py")))


@pytest.fixture(scope="module")
def quick_run(tmp_path_factory):
    """One --quick run shared by the tests below: (completed process, output folder)."""
    out = tmp_path_factory.mktemp("bench")
    proc = subprocess.run([sys.executable, str(RUN), "--quick", "--out", str(out)],
                          capture_output=True, text=True, timeout=600)
    return proc, out


def test_quick_run_exits_cleanly(quick_run):
    proc, _ = quick_run
    assert proc.returncode == 0, proc.stderr[-3000:]
    assert "rel err" in proc.stdout


def test_quick_run_writes_a_png(quick_run):
    _, out = quick_run
    png = out / "latest.png"
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_quick_run_json_structure(quick_run):
    _, out = quick_run
    doc = json.loads((out / "latest.json").read_text())
    assert set(doc) == {"machine", "settings", "floor", "spectra", "runs"}
    assert {"cpu_model", "logical_cpus", "mem_total_bytes", "numpy", "scipy", "qutip", "date"} <= set(doc["machine"])
    assert doc["settings"]["quick"] is True
    assert doc["settings"]["rtol"] == 1e-8
    for threads in doc["settings"]["threads"]:
        assert doc["floor"]["stream"]["threads"][str(threads)]["copy_GBps"] > 0
        for n in doc["settings"]["sizes"]:
            assert doc["floor"]["word_pass"][str(n)][str(threads)]["seconds"] > 0
    methods = {(r["method"], r["threads"]) for r in doc["runs"]}
    assert {("taylor", 1), ("taylor", 2), ("krylov", 1), ("krylov", 2), ("scipy", 1)} <= methods
    for run in doc["runs"]:
        assert {"model", "n", "theta", "method", "threads", "status"} <= set(run)


def test_quick_runs_agree_with_their_reference(quick_run):
    """Every finished run has its time, memory and error; an error near 1 would mean the
    harness compares different problems (a transposed CSR matrix, say), not a slow solver."""
    _, out = quick_run
    runs = [r for r in json.loads((out / "latest.json").read_text())["runs"] if r["status"] == "ok"]
    assert {r["model"] for r in runs} == {"tfim", "heisenberg", "random4"}
    for run in runs:
        assert run["total_s"] > 0 and run["mem_bytes"] >= 0
        if run.get("is_reference"):
            continue
        assert math.isfinite(run["rel_err"]) and run["rel_err"] < 1e-6, run
        if run["kind"] == "ours":
            assert run["applications"] > 0


def test_csr_matrix_is_the_kronecker_sum(rng):
    """The peers' matrix, built from the masks, equals sum coeff * kron(P_0, P_1, ...)."""
    models = load_bench_module("pauli_models")
    for n in (1, 3, 5):
        terms = random_terms(rng, n, 9, hermitian=False, identity=0.25)
        assert np.allclose(models.csr_matrix(terms).toarray(), dense(terms), atol=1e-14)
    for name in models.MODELS:
        terms = models.model_terms(name, 6)
        assert np.allclose(models.csr_matrix(terms).toarray(), dense(terms), atol=1e-14)
