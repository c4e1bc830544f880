"""The figures of the Verilog flow (zelka.backend.fpga.rtl).

Agreement: seeded networks of every shape the tests use (tests/snn_networks.py), all networks of
one setting side by side in one design, checked by the Verilator test bench against simulate;
printed as benchmarks/snn_csim_agreement.py prints the HLS project's.

Speed: a 784-256-128-10 network (8-bit weights, weight_t="ap_fixed<8,2>", on their grid so that
the design agrees with simulate; a rate-coded input of 0s and 1s, about 10 % of the 784 values 1,
typed as spikes, "ap_ufixed<1,1>"; 25 steps per inference) in three designs: parallelism 16 with
the dense layers computing 256, 128 and 16 outputs at a time (dense_parallelism), its steps
overlapped and one after the other, and parallelism 16 in every layer, one step after the other.
For each: clock cycles per step (measured by Verilator, and the estimate),
the LFE5U-85F's cells after synthesis, the clock nextpnr-ecp5 reaches when placing and routing for
CLOCK_MHZ, the microseconds per inference at that clock and the synaptic events (an active input
reaching an output of a dense layer) per second, beside two published accelerators' figures.

    python benchmarks/rtl_report.py [NETWORKS] [STEPS]     (default 30 and 200: the agreement)

Needs the tools of pip install "zelka[rtl]" and g++; takes about an hour and a half on two cores
(most of it placing and routing).
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
INFERENCE_STEPS = 25
CLOCK_MHZ = 100.0
VALUES = "ap_fixed<16,6>"  # the dense layers' biases and results
MEMBRANE = "ap_fixed<26,8,AP_RND_CONV,AP_SAT>"  # the default membrane of ap_fixed<16,6> values
WIDE = {"fc1": 256, "fc2": 128, "fc3": 16}
DESIGNS = (  # (title, parallelism, dense_parallelism, overlap)
    ("parallelism 16, dense layers 256/128/16, steps overlapped", 16, WIDE, True),
    ("parallelism 16, dense layers 256/128/16, steps one after the other", 16, WIDE, False),
    ("parallelism 16, steps one after the other", 16, None, False),
)
# Published MNIST-sized accelerators: (name, microseconds per image, the resources they report).
PUBLISHED = (
    ("open framework for low-end FPGAs (Artix-7, 100 MHz)", 520.0, "6,358 LUT, 40.5 BRAM"),
    ("Spiker+", 780.0, "7,612 logic cells, 18 BRAM"),
)


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
        dense = Affine(weight.astype(np.float32), weight_t="ap_fixed<8,2>", bias_t=VALUES, result_t=VALUES)
        nodes.append((f"fc{k + 1}", dense))
        nodes.append(
            (f"lif{k + 1}", LIF(tau=np.full(n_out, 8.0, np.float32), v_threshold=np.ones(n_out, np.float32)))
        )
    nodes.append(("scores", Output()))
    return Graph.sequential(*nodes), (rng.random(LAYERS[0]) < 0.1).astype(np.float32)


def hardware(parallelism, dense_parallelism, overlap, folder):
    graph, pixels = rate_coded_network()
    written = rtl.write_rtl_project(
        graph, folder, "rate_coded", precision="ap_ufixed<1,1>", membrane_precision=MEMBRANE,
        parallelism=parallelism, dense_parallelism=dense_parallelism, input_data={"pixels": pixels},
        n_steps=INFERENCE_STEPS, overlap=overlap,
    )  # fmt: skip
    simulated = rtl.simulate_rtl(folder, build_timeout=None, run_timeout=None)
    routed = rtl.place_and_route(folder, clock_mhz=CLOCK_MHZ, timeout=None)
    spikes = written["reference_spike_counts"]
    events = (
        np.count_nonzero(pixels) * LAYERS[1]
        + (spikes["lif1"] * LAYERS[2] + spikes["lif2"] * LAYERS[3]) / INFERENCE_STEPS
    )
    return written, simulated, routed, events


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    print(f"Agreement with simulate: {count} networks, {steps} steps each, parallelism 4")
    for title, dyadic in AGREEMENT:
        agreeing, share, count_change, seconds = agreement(count, steps, dyadic)
        print(f"  {title:<38} {agreeing:>3}/{count} networks agree at every step, "
              f">= {share:.1%} of network-steps agree, spike counts within {count_change:.1%} "
              f"(Verilator build {seconds:.0f} s)")  # fmt: skip

    print(
        f"\n784-256-128-10, 8-bit weights, rate-coded input (~10 % active), {INFERENCE_STEPS} steps per inference"
    )
    for name, us, resources in PUBLISHED:
        print(f"  published: {name}: {us:.0f} us per image ({resources})")
    for title, parallelism, dense_parallelism, overlap in DESIGNS:
        with tempfile.TemporaryDirectory() as folder:
            written, simulated, routed, events = hardware(parallelism, dense_parallelism, overlap, folder)
        ecp5 = routed["synthesis"]
        clock = routed["max_frequency_mhz"]
        cycles = simulated["cycles_per_step"]
        inference = cycles * INFERENCE_STEPS / clock
        print(f"  {title} ({written['schedule']}): agrees at {simulated['steps_agreeing']}/{simulated['steps']} "
              f"steps, {cycles:.1f} cycles per step measured (estimate {written['cycles_per_step_estimate']:.1f}, "
              f"longest {max(simulated['step_cycles'])})")  # fmt: skip
        print(f"    LFE5U-85F: {ecp5['luts']} LUT4s ({ecp5['share']['luts']:.1%}), {ecp5['ffs']} FFs, "
              f"{ecp5['bram']:g} of 208 DP16KD, {ecp5['dsp']} of 156 MULT18X18D; nextpnr: {clock:.1f} MHz "
              f"({'meets' if routed['clock_met'] else 'misses'} {CLOCK_MHZ:g} MHz)")  # fmt: skip
        print(f"    {inference:.1f} us per inference at {clock:.1f} MHz "
              f"({min(us for _, us, _ in PUBLISHED) / inference:.1f}x faster than the faster published figure), "
              f"{events:.0f} synaptic events per step, {events * clock / cycles * 1e6:.3g} per second")  # fmt: skip


if __name__ == "__main__":
    main()
