"""A convolutional snnTorch network, as its tutorials write one, converted and compared with
snnTorch spike for spike.

Conv2d(1, 8, 3, padding=1) -> MaxPool2d(2) -> Leaky -> Flatten -> Linear(128, 10) -> Leaky on
8x8 images over 25 steps, every layer with snnTorch's default arguments (the Leaky neurons
reset by subtraction).  The weights are drawn with a fixed seed, shaped as training leaves them
(nothing is trained here).  The script converts the network with zelka.convert.from_torch (which
records the calls one step of its forward makes, and returns a graph whose layers are computed),
checks its shapes, runs the same rate-coded spike trains through snnTorch and through
simulate_batch, and prints how many samples have identical spike trains in both layers at every
step and how fast each ran.

    python examples/snntorch_conv.py [SAMPLES]   (default: 200 samples)

Needs PyTorch and snnTorch (pip install torch==2.13.0 "zelka[convert]").
"""

import sys
import time

import numpy as np
import snntorch as snn  # type: ignore[import-untyped]
import torch
from torch import nn

from zelka.backend.cpu.simulator import PerStep
from zelka.backend.registry import get_backend
from zelka.convert import from_torch

STEPS = 25


class ConvNet(nn.Module):
    def __init__(self, seed: int = 4):
        super().__init__()
        torch.manual_seed(seed)
        self.conv1 = nn.Conv2d(1, 8, 3, padding=1)
        self.pool1 = nn.MaxPool2d(2)
        self.lif1 = snn.Leaky(beta=0.9)
        self.fc2 = nn.Linear(8 * 4 * 4, 10)
        self.lif2 = snn.Leaky(beta=0.9)
        with torch.no_grad():  # as trained: 10 to 20 % of the hidden neurons fire per step
            self.conv1.weight.normal_(0, 0.2)
            self.fc2.weight.normal_(0, 0.4)

    def forward(self, x: torch.Tensor) -> dict[str, torch.Tensor]:
        mem1, mem2 = self.lif1.init_leaky(), self.lif2.init_leaky()
        recorded: dict[str, list[torch.Tensor]] = {"lif1": [], "lif2": []}
        for step in range(x.shape[0]):
            spk1, mem1 = self.lif1(self.pool1(self.conv1(x[step])), mem1)
            spk2, mem2 = self.lif2(self.fc2(spk1.flatten(1)), mem2)
            recorded["lif1"].append(spk1)
            recorded["lif2"].append(spk2)
        return {name: torch.stack(spikes) for name, spikes in recorded.items()}


def main() -> None:
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    net = ConvNet()
    graph = from_torch(net, (1, 8, 8), example_input=torch.zeros(STEPS, 1, 1, 8, 8))
    graph.check(shapes=True)
    print(f"graph: {', '.join(graph.nodes)} (layers={graph.layers!r})")
    images = np.random.default_rng(5).random((samples, 1, 8, 8), dtype=np.float32)
    trains = (np.random.default_rng(6).random((STEPS, samples, 1, 8, 8)) < images).astype(np.float32)

    start = time.perf_counter()
    with torch.no_grad():
        want = {
            name: spikes.numpy().reshape(STEPS, samples, -1) != 0
            for name, spikes in net(torch.from_numpy(trains)).items()
        }
    torch_seconds = time.perf_counter() - start
    start = time.perf_counter()
    got = get_backend("cpu").simulate_batch(graph, PerStep({"input": trains}), STEPS, record=list(want))
    zelka_seconds = time.perf_counter() - start

    identical = np.ones(samples, bool)
    for name, spikes in want.items():
        print(f"{name}: {spikes.mean():.1%} of the neurons fire per step")
        identical &= (got.spike_trains[name] == spikes).all(axis=(0, 2))
    print(f"{identical.sum()} of {samples} samples identical in every layer at every step")
    print(f"snnTorch's forward {torch_seconds * 1e3:.0f} ms, simulate_batch {zelka_seconds * 1e3:.0f} ms")


if __name__ == "__main__":
    main()
