"""How a trained 64-128-10 spiking network with learned decays and thresholds follows the CPU
simulator in both hardware paths.

The network is snnTorch's Linear, Leaky, Linear, Leaky with the default subtract reset, built as
the converter takes it (reset="subtract", fire=">", the float32 threshold itself, the time
constants whose float32 decay is beta): Gaussian weights, beta learned per neuron (clamped to 1
where training pushed it past, so that a third of the hidden neurons do not leak: tau = inf) and
the negative thresholds such training leaves (-0.026 and -0.425).  Its inputs are rate-coded: each
of the 64 values spikes at every step with its own probability.  Both writers choose the types with
precision="auto" on 64 calibration samples; the HLS project's C simulation and the Verilog design's
Verilator bench (parallelism 4) then run the test set, and the script prints per seed how many
samples agree with simulate_batch at every step, and the time each path took (build, then run).

    python benchmarks/trained_hardware_agreement.py [SEEDS] [SAMPLES]     (default 3 and 100)

Needs hls4ml (the HLS headers), g++ and the tools of pip install "zelka[rtl]".
"""

import sys
import tempfile
import time
import warnings

import numpy as np

from zelka import _convert
from zelka.backend.cpu.simulator import PerStep
from zelka.backend.fpga import csim, rtl
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

STEPS = 25
# inputs, neurons, weight scale, bias mean, learned threshold
LAYERS = ((64, 128, 1.0, -0.3, -0.026), (128, 10, 3.0, -0.6, -0.425))


def learned_network(seed: int) -> Graph:
    rng = np.random.default_rng(seed)
    graph = Graph()
    graph.add("pixels", Input(input_type={"input": (64,)}))
    previous = "pixels"
    for k, (n_in, n_out, scale, mean, threshold) in enumerate(LAYERS, start=1):
        weight = (rng.standard_normal((n_out, n_in)) * (scale / np.sqrt(n_in))).astype(np.float32)
        bias = (mean + 0.1 * rng.standard_normal(n_out)).astype(np.float32)
        beta = np.minimum(rng.uniform(0.85, 1.1, n_out), 1.0).astype(np.float32)
        graph.add(f"fc{k}", Affine(weight, bias), after=previous)
        lif = LIF(tau=_convert.time_constants_for_decays(beta, f"lif{k}"),
                  v_threshold=np.full(n_out, threshold, np.float32), reset="subtract", fire=">")  # fmt: skip
        graph.add(f"lif{k}", lif, after=f"fc{k}")
        previous = f"lif{k}"
    graph.add("out", Output(), after=previous)
    return graph


def rate_coded(rng, samples: int) -> np.ndarray:
    rates = rng.random((samples, 64))
    return (rng.random((STEPS, samples, 64)) < rates).astype(np.float32)


def main() -> None:
    seeds = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    samples = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    fpga = get_backend("fpga")
    print(f"{samples} rate-coded samples of {STEPS} steps per seed; agreeing samples, seconds (build + run)")
    for seed in range(seeds):
        graph = learned_network(seed)
        rng = np.random.default_rng(100 + seed)
        calibration, test = PerStep({"pixels": rate_coded(rng, 64)}), rate_coded(rng, samples)
        settings = {"precision": "auto", "calibration": calibration, "n_steps": STEPS,
                    "input_data": PerStep({"pixels": test[:, 0]})}  # fmt: skip
        with tempfile.TemporaryDirectory() as folder, warnings.catch_warnings():
            warnings.simplefilter("ignore")  # every constant is rounded onto its type
            written = fpga.write_snn_project(graph, f"{folder}/hls", "trained", **settings)
            rtl.write_rtl_project(graph, f"{folder}/rtl", "trained", parallelism=4, **settings)
            started = time.perf_counter()
            hls = csim(f"{folder}/hls", PerStep({"pixels": test}))
            hls_seconds = time.perf_counter() - started
            started = time.perf_counter()
            design = rtl.simulate_rtl(f"{folder}/rtl", PerStep({"pixels": test}))
            rtl_seconds = time.perf_counter() - started
        print(
            f"seed {seed}: membranes {written['membrane_precision']}, "
            f"hidden spikes {hls['sample_reference_spike_counts']['lif1'].mean() / (128 * STEPS):.0%}; "
            f"csim {int(hls['sample_agrees'].sum())}/{samples} "
            f"({hls['build_seconds']:.1f} + {hls_seconds - hls['build_seconds']:.1f} s), "
            f"simulate_rtl {int(design['sample_agrees'].sum())}/{samples} "
            f"({design['build_seconds']:.1f} + {rtl_seconds - design['build_seconds']:.1f} s)"
        )


if __name__ == "__main__":
    main()
