"""The figures of the Verilog flow (zelka.backend.fpga.rtl).

Agreement: seeded networks of every shape the tests use (tests/snn_networks.py), all networks of
one setting side by side in one design, checked by the Verilator test bench against simulate;
printed as benchmarks/snn_csim_agreement.py prints the HLS project's.

A 784-256-128-10 network (8-bit weights, weight_t="ap_fixed<8,2>", on their grid so that the design
agrees with simulate; rate-coded input, about 10 % of the 784 values 1) for parallelism 1, 4 and
16: clock cycles per step (measured by Verilator), the cells Yosys counts for UltraScale+ and their
share of the zcu102's part, the LFE5U-85F's after synthesis, the clock nextpnr-ecp5 reaches when
placing and routing for 50 MHz, the latency per step at that clock, and the synaptic events (an
active input reaching an output of a dense layer) per second.

    python benchmarks/rtl_report.py [NETWORKS] [STEPS]     (default 30 and 200)

Needs the tools of pip install "zelka[rtl]" and g++; takes about an hour on two cores (most of it
placing and routing).
"""

import itertools
import os
import sys
import tempfile
import warnings

import numpy as np

# The network generator lives under tests/, which is importable from the repository root.
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if REPO_ROOT not in sys.path:
    sys.path.insert(0, REPO_ROOT)

from tests.snn_networks import networks
from zelka.backend.fpga import rtl
from zelka.ir import LIF, Affine, Graph, Input, Output

AGREEMENT = (("dyadic values, default membrane", True), ("continuous values, default membrane", False))
LAYERS = (784, 256, 128, 10)
CLOCK_MHZ = 50.0


def agreement(count, steps, dyadic):
    graph, stimuli, lifs = networks(range(count), dyadic)
    with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # continuous values are rounded: one warning per array
        rtl.write_rtl_project(graph, folder, "agreement", parallelism=4, input_data=stimuli, n_steps=steps)
        result = rtl.simulate_rtl(folder, build_timeout=None, run_timeout=None)
    differing = [sum(result["steps_differing"][name] for name in names) for names in lifs.values()]
    network_steps = 1 - sum(min(d, steps) for d in differing) / (count * steps)
    reference = result["reference_spike_counts"]
    count_change = max(
        abs(result["spike_counts"][name] - reference[name]) / max(reference[name], 1) for name in reference
    )
    return sum(d == 0 for d in differing), network_steps, count_change, result["build_seconds"]


def rate_coded_network():
    """784-256-128-10, weights on the grid of ap_fixed<8,2>, and a stimulus of 0s and 1s."""
    rng = np.random.default_rng(0)
    nodes = [("pixels", Input(input_type={"input": (LAYERS[0],)}))]
    for k, (n_in, n_out) in enumerate(itertools.pairwise(LAYERS)):
        weight = np.clip(
            np.round(rng.normal(0, 1 / np.sqrt(0.1 * n_in), (n_out, n_in)) * 32) / 32, -2, 2 - 1 / 32
        )
        nodes.append((f"fc{k + 1}", Affine(weight.astype(np.float32), weight_t="ap_fixed<8,2>")))
        nodes.append(
            (f"lif{k + 1}", LIF(tau=np.full(n_out, 8.0, np.float32), v_threshold=np.ones(n_out, np.float32)))
        )
    nodes.append(("scores", Output()))
    return Graph.sequential(*nodes), (rng.random(LAYERS[0]) < 0.1).astype(np.float32)


def hardware(parallelism, steps, folder):
    graph, pixels = rate_coded_network()
    written = rtl.write_rtl_project(graph, folder, "rate_coded", parallelism=parallelism,
                                    input_data={"pixels": pixels}, n_steps=steps)  # fmt: skip
    simulated = rtl.simulate_rtl(folder, build_timeout=None, run_timeout=None)
    ultrascale = rtl.synthesize(folder, "xcup", timeout=None)
    routed = rtl.place_and_route(folder, clock_mhz=CLOCK_MHZ, timeout=None)
    spikes = written["reference_spike_counts"]
    events = (
        np.count_nonzero(pixels) * LAYERS[1]
        + (spikes["lif1"] * LAYERS[2] + spikes["lif2"] * LAYERS[3]) / steps
    )
    return simulated, ultrascale, routed, events


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    print(f"Agreement with simulate: {count} networks, {steps} steps each, parallelism 4")
    for title, dyadic in AGREEMENT:
        agreeing, share, count_change, seconds = agreement(count, steps, dyadic)
        print(f"  {title:<38} {agreeing:>3}/{count} networks agree at every step, "
              f">= {share:.1%} of network-steps agree, spike counts within {count_change:.1%} "
              f"(Verilator build {seconds:.0f} s)")  # fmt: skip

    print(f"\n784-256-128-10, 8-bit weights, rate-coded input (~10 % active), {steps} steps")
    for parallelism in (1, 4, 16):
        with tempfile.TemporaryDirectory() as folder:
            simulated, ultrascale, routed, events = hardware(parallelism, steps, folder)
        ecp5, share = routed["synthesis"], ultrascale["share"]
        clock = routed["max_frequency_mhz"]
        cycles = simulated["cycles_per_step"]
        print(f"  parallelism {parallelism}: agrees at {simulated['steps_agreeing']}/{simulated['steps']} steps, "
              f"{cycles:.0f} cycles per step (longest {max(simulated['step_cycles'])})")  # fmt: skip
        print(f"    UltraScale+ (Yosys, before placement): {ultrascale['luts']} LUTs ({share['luts']:.2%} of the "
              f"zcu102's), {ultrascale['ffs']} FFs ({share['ffs']:.2%}), {ultrascale['bram']:g} RAMB36 "
              f"({share['bram']:.1%}), {ultrascale['dsp']} DSP48E2 ({share['dsp']:.2%})")  # fmt: skip
        print(f"    LFE5U-85F: {ecp5['luts']} LUT4s, {ecp5['ffs']} FFs, {ecp5['bram']:g} of 208 DP16KD, "
              f"{ecp5['dsp']} of 156 MULT18X18D; nextpnr: {clock:.1f} MHz "
              f"({'meets' if routed['clock_met'] else 'misses'} {CLOCK_MHZ:g} MHz)")  # fmt: skip
        print(f"    {cycles / clock:.1f} us per step at {clock:.1f} MHz, {events:.0f} synaptic events per step, "
              f"{events * clock / cycles * 1e6:.3g} per second")  # fmt: skip


if __name__ == "__main__":
    main()
