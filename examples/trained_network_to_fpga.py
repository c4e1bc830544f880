"""A trained 64-128-10 spiking network taken to the FPGA, and its hardware model measured on a
test set.

Nothing is trained here: the PyTorch/snnTorch network's weights are drawn with a fixed seed,
shaped as training leaves them (Gaussian weights and biases, scaled so that 10 to 20 % of the
hidden neurons fire per step on inputs in [0, 1]).  The script converts it with
zelka.convert.from_torch, saves the graph with zelka.io and loads it back, checks its shapes,
simulates the test set with simulate_batch, writes the SNN HLS project with the types chosen
from the weights and a calibration batch (precision="auto"), and runs the project's C
simulation on the test set: it prints how many samples agree with simulate_batch at every step,
how many predicted classes agree, and how long g++ took to build the simulation.

    python examples/trained_network_to_fpga.py [FOLDER] [SAMPLES]
        (default: a new temporary folder, 100 samples)

Needs PyTorch and snnTorch (pip install torch==2.13.0 "zelka[convert]"), hls4ml for the HLS
headers the project is built against (pip install "zelka[fpga]"), and g++.
"""

import os
import sys
import tempfile
import warnings
from collections import OrderedDict

import numpy as np
import snntorch  # type: ignore[import-untyped]
import torch

import zelka.io
from zelka.backend.fpga import csim
from zelka.backend.registry import get_backend
from zelka.convert import from_torch

STEPS = 25  # as trained networks are evaluated
LAYERS = ((64, 128, 1.0, -0.1), (128, 10, 3.0, 0.0))  # inputs, neurons, weight scale, bias mean


def trained_network(seed: int = 21) -> torch.nn.Module:
    """Linear (64 -> 128), Leaky, Linear (128 -> 10), Leaky: weights Gaussian with a standard
    deviation of scale / sqrt(inputs), biases around their mean; beta 0.9 (time constant 10),
    threshold 1, reset to zero."""
    rng = np.random.default_rng(seed)
    layers: OrderedDict[str, torch.nn.Module] = OrderedDict()
    for k, (n_in, n_out, scale, mean) in enumerate(LAYERS, start=1):
        linear = torch.nn.Linear(n_in, n_out)
        with torch.no_grad():
            linear.weight.copy_(
                torch.from_numpy(rng.standard_normal((n_out, n_in)) * (scale / np.sqrt(n_in)))
            )
            linear.bias.copy_(torch.from_numpy(mean + 0.1 * rng.standard_normal(n_out)))
        layers[f"fc{k}"] = linear
        layers[f"lif{k}"] = snntorch.Leaky(beta=0.9, threshold=1.0, reset_mechanism="zero", init_hidden=True)
    return torch.nn.Sequential(layers)


def main() -> None:
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="zelka_trained_"))
    samples = int(sys.argv[2]) if len(sys.argv) > 2 else 100
    os.makedirs(folder, exist_ok=True)
    rng = np.random.default_rng(7)
    calibration = rng.random((64, 64), dtype=np.float32)  # the ranges the types are chosen from
    test = rng.random((samples, 64), dtype=np.float32)

    graph = from_torch(trained_network(), (64,), input_name="pixels")
    zelka.io.save(graph, os.path.join(folder, "trained.zelka"))
    graph = zelka.io.load(os.path.join(folder, "trained.zelka"))
    graph.check(shapes=True)
    print(f"graph of {len(graph.nodes)} nodes saved to and loaded from {folder}/trained.zelka")

    batch = get_backend("cpu").simulate_batch(graph, {"pixels": test}, STEPS, record=["lif1", "lif2"])
    print(f"simulate_batch: {samples} samples of {STEPS} steps, "
          f"{batch.spike_trains['lif1'].mean():.1%} of the hidden neurons fire per step")  # fmt: skip

    project = os.path.join(folder, "prj")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # every weight is rounded to its type, by at most 2^-26
        written = get_backend("fpga").write_snn_project(
            graph, project, "trained", precision="auto", calibration={"pixels": calibration},
            input_data={"pixels": test[0]}, n_steps=STEPS,
        )  # fmt: skip
    print(
        f"SNN HLS project in {project}: inputs {written['precision']}, membranes {written['membrane_precision']}"
    )
    for layer in ("fc1", "fc2"):
        types = written["layer_types"][layer]
        print(f"  {layer}: weights {types['weight_t']}, sums {types['accum_t']}, outputs {types['result_t']}")

    result = csim(project, {"pixels": test})
    agreeing = int(result["sample_agrees"].sum())
    hardware = result["neuron_spike_counts"]["lif2"].argmax(axis=1)
    software = result["neuron_reference_spike_counts"]["lif2"].argmax(axis=1)
    print(f"C simulation built by g++ in {result['build_seconds']:.1f} s")
    print(f"{agreeing}/{samples} samples agree with simulate_batch at every step")
    print(f"{int((hardware == software).sum())}/{samples} predicted classes agree")
    if agreeing < 0.99 * samples:
        raise SystemExit("fewer than 99 % of the samples agree")


if __name__ == "__main__":
    main()
