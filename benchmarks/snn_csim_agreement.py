"""How often the C simulation of write_snn_project's HLS project agrees with simulate.

Builds seeded random spiking networks (tests/snn_networks.py: chains, fan-in sums into LIF
layers and into dense and LIF layers of other sizes, recurrent and self-reading layers,
Flatten and SpikingAffine layers, pass-through nodes that start late, per-neuron time
constants, thresholds and rest values), all networks of one setting side by side in one
project so that g++ builds it once, runs its C simulation and prints, per setting, how many
networks agree with simulate at every step, the share of agreeing network-steps and the
largest relative difference of a layer's spike count.

    python benchmarks/snn_csim_agreement.py [NETWORKS] [STEPS]     (default 30 and 200)

Needs hls4ml and g++.
"""

import os
import sys
import tempfile
import warnings

# The network generator lives under tests/, which is importable from the repository root.
REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if REPO_ROOT not in sys.path:
    sys.path.insert(0, REPO_ROOT)

from tests.snn_networks import networks
from zelka.backend.fpga import csim
from zelka.backend.registry import get_backend

SETTINGS = (  # title, dyadic values, precision, membrane
    ("dyadic values, default membrane", True, "ap_fixed<16,6>", None),
    ("dyadic values, membrane ap_fixed<16,6>", True, "ap_fixed<16,6>", "ap_fixed<16,6>"),
    ("continuous values, default membrane", False, "ap_fixed<16,6>", None),
    ("continuous values, precision='auto'", False, "auto", None),
)


def measure(count, steps, dyadic, precision, membrane):
    graph, stimuli, lifs = networks(range(count), dyadic)
    with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # continuous values are rounded: one warning per array
        get_backend("fpga").write_snn_project(
            graph,
            folder,
            "agreement",
            precision=precision,
            membrane_precision=membrane,
            input_data=stimuli,
            n_steps=steps,
        )
        result = csim(folder)
    differing = [sum(result["steps_differing"][name] for name in names) for names in lifs.values()]
    agreeing_networks = sum(d == 0 for d in differing)
    # a network's step agrees when none of its layers differs: bounded below by this share
    network_steps = 1 - sum(min(d, steps) for d in differing) / (count * steps)
    reference = result["reference_spike_counts"]
    count_change = max(
        abs(result["spike_counts"][name] - reference[name]) / max(reference[name], 1) for name in reference
    )
    return agreeing_networks, network_steps, count_change, result["build_seconds"]


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 30
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 200
    print(f"{count} networks, {steps} steps each")
    for title, dyadic, precision, membrane in SETTINGS:
        agreeing, share, count_change, seconds = measure(count, steps, dyadic, precision, membrane)
        print(f"{title:<42} {agreeing:>3}/{count} networks agree at every step, "
              f">= {share:.1%} of network-steps agree, spike counts within {count_change:.1%} "
              f"(g++ build {seconds:.0f} s)")  # fmt: skip


if __name__ == "__main__":
    main()
