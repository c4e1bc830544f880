"""Run a batch of rate-coded stimuli through a 784-256-128-10 LIF network on all cores.

Each sample is an image of 784 intensities in [0, 1); every step, each input neuron fires
with a probability proportional to its intensity (Bernoulli spike trains drawn with numpy).
The script prints the spike counts of the ten output neurons for the first samples, the
throughput, and saves a raster of one sample's output spikes as a PNG when matplotlib is
installed (``pip install "zelka[plot]"``).

    python examples/batch_rate_coding.py [batch] [steps] [raster.png]
"""

import sys
import time

import numpy as np

from zelka.backend.cpu.simulator import BatchSimulationResult, PerStep
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Node, Output


def build_network(seed: int = 3) -> Graph:
    rng = np.random.default_rng(seed)
    sizes = [784, 256, 128, 10]
    scales = [3.0, 5.0, 6.0]
    nodes: list[tuple[str, Node]] = [("pixels", Input(input_type={"x": (784,)}))]
    for i, (n_in, n_out, scale) in enumerate(zip(sizes, sizes[1:], scales), start=1):
        weight = (rng.standard_normal((n_out, n_in)) * scale / np.sqrt(n_in)).astype(np.float32)
        nodes.append((f"fc{i}", Affine(weight, np.full(n_out, -0.1, np.float32))))
        nodes.append((f"lif{i}", LIF(tau=10.0, v_threshold=np.full(n_out, 1.0, np.float32))))
    nodes.append(("classes", Output()))
    return Graph.sequential(*nodes)


def rate_code(images: np.ndarray, steps: int, max_rate: float, seed: int = 0) -> np.ndarray:
    """Spike trains (steps, batch, 784) as float32 zeros and ones."""
    rng = np.random.default_rng(seed)
    probabilities = max_rate * images
    return (rng.random((steps,) + images.shape, dtype=np.float32) < probabilities).astype(np.float32)


def save_raster(result: BatchSimulationResult, path: str) -> bool:
    """Saves the raster of sample 0's output spikes; False when matplotlib is not installed."""
    try:
        from zelka.plot import spike_raster
    except ImportError:
        return False
    spike_raster(result, "lif3", sample=0).savefig(path, dpi=120)
    return True


def main(batch: int = 64, steps: int = 500, raster: str = "raster.png") -> None:
    cpu = get_backend("cpu")
    graph = build_network()
    images = np.random.default_rng(7).random((batch, 784), dtype=np.float32)
    trains = rate_code(images, steps, max_rate=0.2)

    start = time.perf_counter()
    result = cpu.simulate_batch(graph, PerStep({"pixels": trains}), steps, record=["lif3"])
    seconds = time.perf_counter() - start
    if not result.outputs_valid.all():
        raise SystemExit(f"some samples failed: {result.errors}")

    per_class = result.spike_trains["lif3"].sum(axis=0)  # (batch, 10) spikes per output neuron
    for i in range(min(batch, 4)):
        print(
            f"sample {i}: spikes per class {per_class[i].tolist()}, most active class {per_class[i].argmax()}"
        )
    print(
        f"{batch} samples x {steps} steps in {seconds:.3f} s: {batch * steps / seconds:,.0f} sample-steps/s"
    )
    if save_raster(result, raster):
        print(f"raster of sample 0's output spikes saved to {raster}")
    else:
        print("matplotlib is not installed: no raster saved")


if __name__ == "__main__":
    args = sys.argv[1:]
    main(
        int(args[0]) if args else 64,
        int(args[1]) if len(args) > 1 else 500,
        args[2] if len(args) > 2 else "raster.png",
    )
