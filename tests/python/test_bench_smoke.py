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
    never shadow anything here; bench/ is on the path only while the module's own imports
    of its neighbours run."""
    sys.path.insert(0, str(ROOT / "bench"))
    try:
        return types.SimpleNamespace(**runpy.run_path(str(ROOT / "bench" / f"{name}.py")))
    finally:
        sys.path.remove(str(ROOT / "bench"))


def quick_doc(out):
    return json.loads((out / "latest.json").read_text())


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
    doc = quick_doc(out)
    assert set(doc) == {"machine", "settings", "floor", "spectra", "summary", "runs"}
    assert {"cpu_model", "logical_cpus", "mem_total_bytes", "numpy", "scipy", "qutip", "date"} <= set(doc["machine"])
    assert doc["settings"]["quick"] is True
    assert doc["settings"]["rtol"] == 1e-8
    for threads in doc["settings"]["threads"]:
        assert doc["floor"]["stream"]["threads"][str(threads)]["copy_GBps"] > 0
        for n in doc["settings"]["sizes"]:
            word_pass = doc["floor"]["word_pass"][str(n)][str(threads)]
            assert word_pass["apply_words_s"] > 0 and word_pass["apply_identity_s"] > 0
            assert word_pass["seconds"] is None or word_pass["seconds"] > 0
    methods = {(r["method"], r["threads"]) for r in doc["runs"]}
    ours = {(s, t) for s in ("taylor", "krylov", "chebyshev") for t in (1, 2)}
    assert ours | {("scipy", 1), ("numpy-cheb", 1)} <= methods
    for run in doc["runs"]:
        assert {"model", "n", "theta", "method", "threads", "status"} <= set(run)


def test_quick_runs_agree_with_their_reference(quick_run):
    """Every finished run has its time, memory and error; an error near 1 would mean the
    harness compares different problems (a transposed CSR matrix, say), not a slow solver."""
    _, out = quick_run
    runs = [r for r in quick_doc(out)["runs"] if r["status"] == "ok"]
    assert {r["model"] for r in runs} == {"tfim", "heisenberg", "random4"}
    for run in runs:
        assert run["total_s"] > 0 and run["mem_bytes"] >= 0
        if run.get("is_reference"):
            continue
        assert math.isfinite(run["rel_err"]) and run["rel_err"] < 1e-6, run


def test_quick_runs_report_counts_parameters_and_intervals(quick_run):
    """Counts and parameters come from the library for ours and from counting for the
    peers; two figures reported apart must agree (a series of degree K makes K products,
    plus its Lanczos steps), and every Chebyshev interval must hold the true spectrum of
    the same problem, or the series would not converge to what the error says."""
    _, out = quick_run
    doc = quick_doc(out)
    runs = [r for r in doc["runs"] if r["status"] == "ok"]
    spectra = {(s["model"], s["n"]): s for s in doc["spectra"]}
    assert {s["how"] for s in spectra.values()} == {"eigvalsh", "eigsh"}
    for run in runs:
        params = run.get("params")
        if run["method"] == "taylor":
            assert 0 < run["applications"] <= params["m"] * params["s"], run
        elif run["method"] == "krylov":
            assert 0 < run["applications"] <= (2 * params["d"] - 1) * params["n"], run
        elif run["method"] in ("chebyshev", "numpy-cheb"):
            assert run["applications"] == params["K"] + params.get("L", 0), run
            spectrum = spectra[(run["model"], run["n"])]
            assert run["spectrum"] == [spectrum["min"], spectrum["max"]]
            lo, hi = run["interval"]
            # The reference eigenvalues carry the eigensolver's rounding; a certain bound
            # may touch the spectrum exactly (the Heisenberg chain's ferromagnetic state).
            slack = 1e-9 * max(1.0, abs(spectrum["min"]), abs(spectrum["max"]))
            assert lo - slack <= spectrum["min"] < spectrum["max"] <= hi + slack, run
        elif run["method"] == "scipy":
            assert run["applications"] > 0
        word_pass = doc["floor"]["word_pass"][str(run["n"])][str(run["threads"])]["seconds"]
        if run.get("applications") and word_pass:
            assert run["floor_ratio"] > 0, run


def test_quick_run_sets_ours_against_the_fastest_peer(quick_run):
    """The fastest peer is the quickest of SciPy, the NumPy series and QuTiP on the same
    problem (never the dense or Taylor reference), and the summary has the Chebyshev
    solver at two threads on every problem, within the rtol it was asked for."""
    _, out = quick_run
    doc = quick_doc(out)
    runs = [r for r in doc["runs"] if r["status"] == "ok"]
    for run in runs:
        if run["kind"] != "ours" or run.get("is_reference"):
            continue
        peers = [r for r in runs if r["kind"] in ("scipy", "numpy", "qutip")
                 and (r["model"], r["n"], r["theta"]) == (run["model"], run["n"], run["theta"])]
        fastest = min(peers, key=lambda r: r["total_s"])
        assert (run["fastest_peer"], run["fastest_peer_s"]) == (fastest["method"], fastest["total_s"])
        assert run["peer_ratio"] == pytest.approx(fastest["total_s"] / run["total_s"])
    problems = {(r["model"], r["n"], r["theta"]) for r in runs}
    summary = doc["summary"]
    assert {(s["model"], s["n"], s["theta"]) for s in summary} == problems
    for entry in summary:
        assert (entry["method"], entry["threads"]) == ("chebyshev", 2)
        assert entry["within_rtol"] is True and entry["rel_err"] <= doc["settings"]["rtol"], entry


def test_numpy_peer_and_eigenvalues_against_dense(rng):
    """The NumPy Chebyshev peer (identity part as a phase included, which the benchmark
    models lack) meets rtol against the dense exponential, and both ways of finding the
    extreme eigenvalues give those of the dense matrix of H' (the identity part left out)."""
    import scipy.linalg

    workers = load_bench_module("workers")
    for n, theta in ((3, 0.7), (5, 6.0)):
        terms = random_terms(rng, n, 8, identity=0.4)
        psi = rng.normal(size=2**n) + 1j * rng.normal(size=2**n)
        want = scipy.linalg.expm(-1j * theta * dense(terms)) @ psi
        got, degree = workers.chebyshev_evolve(workers.chebyshev_operator(terms), psi, theta, 1e-8)
        assert np.linalg.norm(got - want) <= 1e-8 * np.linalg.norm(want)
        assert degree > theta * sum(abs(c) for c, s in terms if s.strip("I"))
        values = np.linalg.eigvalsh(dense([(c, s) for c, s in terms if s.strip("I")]))
        for use_dense in (True, False):
            lo, hi, _ = workers.extreme_eigenvalues(terms, use_dense)
            assert (lo, hi) == pytest.approx((values[0], values[-1]), rel=1e-9, abs=1e-9)


def test_plot_keeps_one_colour_per_series():
    """A series has the same colour in every panel, whatever else finished there (an extra
    reference series once shifted every colour after it), and no two share one."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    report = load_bench_module("report")
    ours = [("ours", m, t) for m in ("taylor", "krylov", "chebyshev") for t in (1, 2)]
    peers = [(k, m, 1) for k, m in (("scipy", "scipy"), ("numpy", "numpy-cheb"), ("qutip", "qutip"))]
    extra = [("dense", "dense", 1), ("ours", "taylor-ref", 2)]

    def rows(series):
        return [{"kind": k, "method": m, "threads": t, "n": n, "status": "ok", "total_s": 1.0}
                for k, m, t in series for n in (8, 10)]

    fig, axes = plt.subplots(1, 2)
    report.plot_panel(axes[0], rows(ours + peers + extra))
    report.plot_panel(axes[1], rows(ours[::-1] + peers))
    colours = [{line.get_label(): line.get_color() for line in ax.lines} for ax in axes]
    plt.close(fig)
    assert len(set(colours[0].values())) == len(colours[0]) == len(ours + peers + extra)
    assert all(colours[0][label] == colour for label, colour in colours[1].items())


def test_csr_matrix_is_the_kronecker_sum(rng):
    """The peers' matrix, built from the masks, equals sum coeff * kron(P_0, P_1, ...)."""
    models = load_bench_module("pauli_models")
    for n in (1, 3, 5):
        terms = random_terms(rng, n, 9, hermitian=False, identity=0.25)
        assert np.allclose(models.csr_matrix(terms).toarray(), dense(terms), atol=1e-14)
    for name in models.MODELS:
        terms = models.model_terms(name, 6)
        assert np.allclose(models.csr_matrix(terms).toarray(), dense(terms), atol=1e-14)


def test_floor_counts_the_partners_of_a_tile_and_times_against_them(tmp_path):
    """bench/floor.py runs action_bench for every case, and the floor it reports is the
    larger of its byte and arithmetic times; the partner count is the number of distinct
    high parts of the chain's X masks above the tile bits, counted here from the terms."""
    floor = load_bench_module("floor")
    out = tmp_path / "floor.json"
    rows = floor.main(["--sizes", "10", "--reps", "1", "--threads", "1", "2", "--models", "heisenberg", "random4",
                       "--out", str(out)])
    assert [(r["model"], r["threads"]) for r in rows] == [("heisenberg", 1), ("heisenberg", 2), ("random4", 1),
                                                          ("random4", 2)]
    assert json.loads(out.read_text())["rows"] == rows
    for r in rows:
        f = r["floor"]
        assert f["floor_s"] == max(f["memory_s"], f["arithmetic_s"]) > 0
        assert f["bytes"] == 16 * 2**10 * (f["partners"] + 1) and f["products"] == 2**10 * r["groups"]
        assert r["floor_ratio"] == pytest.approx(r["action_s"] / f["floor_s"], rel=1e-3)
        assert r["action_s"] > 0 and r["numpy_pass_s"] > 0
    chain = rows[0]["floor"]
    x_masks = {int("".join("1" if c in "XY" else "0" for c in s), 2)
               for s in ("I" * k + p + p + "I" * (10 - k - 2) for k in range(9) for p in "XYZ")}
    assert rows[0]["groups"] == len(x_masks)
    assert chain["partners"] == len({x >> chain["tile_bits"] for x in x_masks})


def test_short_solves_keep_the_interval_and_match_the_peers(tmp_path):
    """bench/short_solves.py: our later solves take the kept Lanczos interval (no steps,
    degree as many applications), agree with the NumPy series, and the speed-up is the best
    peer's time over ours."""
    short = load_bench_module("short_solves")
    rows = short.main(["--sizes", "8", "--reps", "2", "--no-qutip", "--out", str(tmp_path / "short.json")])
    assert [r["model"] for r in rows] == ["heisenberg", "tfim"]
    for r in rows:
        stats = r["ours"]["stats"]
        assert stats["interval_kept"] and stats["estimation_steps"] == 0
        assert stats["applications"] == stats["degree"]
        assert r["ours"]["error"] < 1e-7 and r["peers"]["scipy"]["error"] < 1e-7
        best = min(p["solve_s"] for p in r["peers"].values())
        assert r["speedup"] == pytest.approx(best / r["ours"]["solve_s"])
