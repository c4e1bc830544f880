"""The example scripts run as a newcomer would run them."""

import importlib.util
import json
import pathlib
import shutil
import subprocess
import sys

import pytest

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def test_fpga_project_writes_a_project_whose_build_script_leaves_it_alone(tmp_path):
    folder = tmp_path / "out" / "prj"
    run = subprocess.run([sys.executable, str(EXAMPLES / "fpga_project.py"), str(folder)], capture_output=True,
                         text=True, check=True)  # fmt: skip
    listed = [line.split()[0] for line in run.stdout.splitlines() if line.startswith("  ")]
    assert listed == [
        "firmware/parameters.h", "firmware/nnet_utils/if_model.h", "firmware/nnet_utils/lif_model.h",
        "firmware/nnet_utils/lif_subtractive_model.h", "firmware/nnet_utils/complex_lif.h", "build.py",
        "build_prj.tcl", "hls4ml_config.json",
    ]  # fmt: skip
    assert all((folder / path).is_file() for path in listed)
    config = json.loads((folder / "hls4ml_config.json").read_text())
    assert config["ProjectName"] == "quickstart" and config["OutputDir"] == "prj"  # relative: lands below


@pytest.mark.skipif(importlib.util.find_spec("hls4ml") is None or shutil.which("g++") is None,
                    reason="needs hls4ml and g++")  # fmt: skip
def test_snn_fpga_csim_writes_the_project_and_its_c_simulation_agrees(tmp_path):
    folder = tmp_path / "snn"
    run = subprocess.run([sys.executable, str(EXAMPLES / "snn_fpga_csim.py"), str(folder)], capture_output=True,
                         text=True, check=True)  # fmt: skip
    assert "200/200 steps agree with simulate" in run.stdout
    assert "membranes held in ap_fixed<34,10,AP_RND_CONV,AP_SAT>" in run.stdout
    assert (folder / "firmware" / "quickstart.cpp").is_file() and (folder / "quickstart_tb.cpp").is_file()


# Runs an example with matplotlib hidden, as on an installation without the plot extra.
WITHOUT_MATPLOTLIB = (
    "import runpy, sys; sys.modules['matplotlib'] = None; sys.argv = sys.argv[1:]; "
    "runpy.run_path(sys.argv[0], run_name='__main__')"
)
PLOTTING = [
    pytest.param(True, marks=pytest.mark.skipif(importlib.util.find_spec("matplotlib") is None,
                                                reason="needs matplotlib"), id="matplotlib"),
    pytest.param(False, id="without matplotlib"),
]  # fmt: skip


def run_example(name, args, plotting, cwd):
    interpreter = [sys.executable] if plotting else [sys.executable, "-c", WITHOUT_MATPLOTLIB]
    return subprocess.run(interpreter + [str(EXAMPLES / name), *args], capture_output=True, text=True,
                          check=True, cwd=cwd)  # fmt: skip


@pytest.mark.parametrize("plotting", PLOTTING)
def test_batch_rate_coding_prints_classes_and_throughput(tmp_path, plotting):
    run = run_example("batch_rate_coding.py", ["6", "40", str(tmp_path / "r.png")], plotting, tmp_path)
    lines = run.stdout.splitlines()
    assert [line.split(":")[0] for line in lines[:4]] == ["sample 0", "sample 1", "sample 2", "sample 3"]
    assert "6 samples x 40 steps in" in lines[4] and lines[4].endswith("sample-steps/s")
    assert (tmp_path / "r.png").is_file() is plotting
    assert lines[5] == ("raster of sample 0's output spikes saved to " + str(tmp_path / "r.png") if plotting
                        else "matplotlib is not installed: no raster saved")  # fmt: skip


@pytest.mark.parametrize("plotting", PLOTTING)
def test_quickstart_prints_the_run_and_saves_its_energy_breakdown(tmp_path, plotting):
    run = run_example("quickstart.py", [], plotting, tmp_path)
    assert run.stdout.startswith("ran 200 steps on the CPU backend\n")
    assert "hls4ml configuration:" in run.stdout
    saved = tmp_path / "quickstart_energy.png"
    assert saved.is_file() is plotting
    assert ("energy breakdown saved to quickstart_energy.png" if plotting
            else "matplotlib is not installed: no figure saved") in run.stdout.splitlines()  # fmt: skip


@pytest.mark.skipif(
    any(importlib.util.find_spec(name) is None for name in ("hls4ml", "torch", "snntorch"))
    or shutil.which("g++") is None,
    reason="needs hls4ml, PyTorch, snnTorch and g++",
)
def test_trained_network_to_fpga_runs_a_test_set_through_the_c_simulation(tmp_path):
    run = subprocess.run([sys.executable, str(EXAMPLES / "trained_network_to_fpga.py"), str(tmp_path), "40"],
                         capture_output=True, text=True, check=True)  # fmt: skip
    lines = run.stdout.splitlines()
    assert "40/40 samples agree with simulate_batch at every step" in lines
    assert "40/40 predicted classes agree" in lines
    assert any(line.startswith("C simulation built by g++ in ") for line in lines)
    assert (tmp_path / "trained.zelka").is_file() and (tmp_path / "prj" / "graph.zelka").is_file()
