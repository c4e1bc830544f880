"""The example scripts run as a newcomer would run them."""

import json
import pathlib
import subprocess
import sys

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
