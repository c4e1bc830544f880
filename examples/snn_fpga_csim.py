"""Write the HLS project that runs the quickstart's spiking network on an FPGA, one time step per
call of its top function, then compile and run its C simulation with g++ and print how it agrees
with the CPU simulator, step by step.

    python examples/snn_fpga_csim.py [FOLDER]     (default: a new temporary folder)

Needs hls4ml (pip install "zelka[fpga]") for the HLS headers the project is built against, and
g++.  The values are held in ap_fixed<24,8>: the network's weights and stimulus are not multiples
of a power of two, and with ap_fixed<16,6> their rounding (and the truncation of every product
in hls4ml's dense kernel) moves enough membranes across their thresholds that only about a third
of the steps agree; with eight more fractional bits every step does.
"""

import os
import sys
import tempfile
import warnings

import numpy as np
from quickstart import build_network

from zelka.backend.fpga import csim
from zelka.backend.registry import get_backend


def main() -> None:
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="zelka_snn_"))
    graph = build_network()
    stimulus = np.random.default_rng(1).random(64).astype(np.float32)
    with warnings.catch_warnings(record=True) as rounded:
        warnings.simplefilter("always")
        written = get_backend("fpga").write_snn_project(
            graph,
            folder,
            "quickstart",
            precision="ap_fixed<24,8>",
            input_data={"pixels": stimulus},
            n_steps=200,
        )
    print(f"SNN HLS project of the quickstart network in {folder} ({len(written['written_files'])} files)")
    print(f"membranes held in {written['membrane_precision']}")
    for warning in rounded:
        print(f"  rounded: {warning.message}")

    result = csim(folder)
    print(f"C simulation built by g++ in {result['build_seconds']:.1f} s")
    print(f"{result['steps_agreeing']}/{result['steps']} steps agree with simulate")
    for name, spikes in result["spike_counts"].items():
        print(
            f"  {name}: {spikes} spikes in the C simulation, {result['reference_spike_counts'][name]} in simulate"
        )
    if not result["agrees"]:
        raise SystemExit("the C simulation differs from simulate")


if __name__ == "__main__":
    main()
