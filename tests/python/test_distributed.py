"""The public interface on states spread over MPI processes, under mpirun: results gathered
from 2 and 4 processes against the single-process ones bit for bit, and bad arguments on
one process raising the same exception on all of them instead of leaving the others
waiting. 4 processes oversubscribe the 2 cores of a small machine; the states are kept
small (10 and 13 qubits) so that the whole file takes well under a minute."""

import os
import shutil
import subprocess
import sys

import pytest

import _morbizet
from conftest import HERE

pytestmark = [
    pytest.mark.skipif(not hasattr(_morbizet, "_solve_distributed"), reason="built without MPI"),
    pytest.mark.skipif(shutil.which("mpirun") is None, reason="no mpirun"),
    # The sanitizer runtime preloaded into the tests would also be preloaded into mpirun.
    pytest.mark.skipif("MORBIZET_SANITIZED" in os.environ, reason="mpirun under the sanitizer runtime"),
]
pytest.importorskip("mpi4py")


def mpirun(processes, *checks, timeout=240):
    # Open MPI refuses to run as root unless told to; CI runs as root.
    env = os.environ | {"OMPI_ALLOW_RUN_AS_ROOT": "1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM": "1", "OMP_NUM_THREADS": "2"}
    cmd = ["mpirun", "--oversubscribe", "-n", str(processes), sys.executable, "distributed_cases.py", *checks]
    try:
        proc = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env, cwd=HERE)
    except subprocess.TimeoutExpired as e:
        pytest.fail(f"{checks} on {processes} processes hung ({timeout} s): {(e.stderr or b'')[-3000:]!s}")
    assert proc.returncode == 0, proc.stdout[-3000:] + proc.stderr[-3000:]
    assert proc.stdout.split().count("ok") == processes, proc.stdout


@pytest.mark.parametrize("processes", [2, 4])
def test_same_results_as_one_process(processes):
    mpirun(processes, "check_results")


@pytest.mark.parametrize("processes", [2, 4])
def test_driven_and_imaginary_time_as_one_process(processes):
    mpirun(processes, "check_driven_and_imaginary")


@pytest.mark.parametrize("processes", [2, 4])
def test_bad_arguments_fail_on_every_process(processes):
    mpirun(processes, "check_failures")


@pytest.mark.parametrize("processes", [2, 4])
def test_ctrl_c_on_one_process_stops_every_process(processes):
    mpirun(processes, "check_interrupts")


def test_process_count_must_be_a_power_of_two():
    mpirun(3, "check_process_count")
