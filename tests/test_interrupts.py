"""The tests that wait for Ctrl-C pass in a test run that inherited SIGINT ignored, as one
started in the background by a non-interactive shell does, instead of hanging."""

import signal
import subprocess
import sys
from pathlib import Path

WAITING_FOR_CTRL_C = [
    "tests/test_engine_runtime.py::test_huge_counts_run_until_interrupted",
    "tests/test_batch.py::test_ctrl_c_stops_a_batch",
    "tests/test_distributed.py::test_the_own_cluster_is_closed_on_ctrl_c",
    "tests/test_fpga_csim_stops.py::test_ctrl_c_stops_a_stage_within_a_fraction_of_a_second",
    "tests/test_fpga_snn_limits.py::test_ctrl_c_stops_the_reference_simulation",
    "tests/test_fpga_snn_limits.py::test_ctrl_c_while_the_files_are_written_leaves_nothing",
]


def test_tests_waiting_for_ctrl_c_pass_with_sigint_ignored():
    def ignore_sigint():
        signal.signal(signal.SIGINT, signal.SIG_IGN)

    done = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *WAITING_FOR_CTRL_C],
        check=False,
        cwd=Path(__file__).parent.parent,
        preexec_fn=ignore_sigint,
        capture_output=True,
        text=True,
        timeout=600,
    )
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    assert " passed" in done.stdout
