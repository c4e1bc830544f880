"""An snnTorch network written as its tutorials write them, converted and compared with
snnTorch spike for spike.

The network loops over the time steps inside its forward, reads x[step] from an input of shape
(steps, batch, 2, 16), flattens each step's images itself, and uses snnTorch's default reset
(by subtraction) and a recurrent layer.  Its weights are Gaussian, as training leaves them
(nothing is trained here).  zelka.convert.from_torch records the calls one step of forward
makes and builds the graph from them; the script then runs the same rate-coded spike trains
through snnTorch and through simulate_batch and prints how many samples have identical spike
trains in every layer at every step, and, for the others, at which step and in how many
neurons they first differ (a membrane within rounding of its threshold: PyTorch and the
simulator sum in different orders).

    python examples/snntorch_forward.py [SAMPLES] [STEPS]   (default: 1000 samples, 25 steps)

Needs PyTorch and snnTorch (pip install torch==2.13.0 "zelka[convert]").
"""

import sys

import numpy as np
import snntorch as snn  # type: ignore[import-untyped]
import torch
from torch import nn

from zelka.backend.cpu.simulator import PerStep
from zelka.backend.registry import get_backend
from zelka.convert import from_torch


class Tutorial(nn.Module):
    def __init__(self, seed: int = 3):
        super().__init__()
        torch.manual_seed(seed)
        self.fc1 = nn.Linear(32, 64)
        self.lif1 = snn.Leaky(beta=0.9)
        self.fc2 = nn.Linear(64, 32)
        self.rlif2 = snn.RLeaky(beta=0.8, linear_features=32)
        self.fc3 = nn.Linear(32, 10)
        self.lif3 = snn.Leaky(beta=torch.linspace(0.8, 0.95, 10), learn_beta=True, threshold=0.5)
        with torch.no_grad():
            for layer in (self.fc1, self.fc2, self.fc3, self.rlif2.recurrent):
                layer.weight.normal_(0, 2.5 / layer.in_features**0.5)

    def forward(self, x: torch.Tensor) -> dict[str, torch.Tensor]:
        mem1, mem3 = self.lif1.init_leaky(), self.lif3.init_leaky()
        spk2, mem2 = self.rlif2.init_rleaky()
        recorded: dict[str, list[torch.Tensor]] = {"lif1": [], "rlif2": [], "lif3": []}
        for step in range(x.shape[0]):
            spk1, mem1 = self.lif1(self.fc1(x[step].view(x.shape[1], -1)), mem1)
            spk2, mem2 = self.rlif2(self.fc2(spk1), spk2, mem2)
            spk3, mem3 = self.lif3(self.fc3(spk2), mem3)
            for name, spikes in zip(recorded, (spk1, spk2, spk3), strict=True):
                recorded[name].append(spikes)
        return {name: torch.stack(spikes) for name, spikes in recorded.items()}


def main() -> None:
    samples = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    steps = int(sys.argv[2]) if len(sys.argv) > 2 else 25
    net = Tutorial()
    graph = from_torch(net, (2, 16), example_input=torch.zeros(steps, 1, 2, 16))
    print("nodes:", ", ".join(graph.nodes))
    rates = np.random.default_rng(5).random((samples, 2, 16), dtype=np.float32)
    trains = (np.random.default_rng(6).random((steps, samples, 2, 16)) < rates).astype(np.float32)
    with torch.no_grad():
        want = {name: spikes.numpy() != 0 for name, spikes in net(torch.from_numpy(trains)).items()}
    names = ["lif1", "rlif2", "lif3"]
    got = (
        get_backend("cpu").simulate_batch(graph, PerStep({"input": trains}), steps, record=names).spike_trains
    )
    differs = np.zeros((steps, samples), bool)
    for name in names:
        print(f"{name}: {want[name].mean():.1%} of the neurons fire per step")
        differs |= (got[name] != want[name]).any(axis=2)
    identical = ~differs.any(axis=0)
    print(
        f"{identical.sum()} of {samples} samples identical in every layer at every step ({identical.mean():.2%})"
    )
    for sample in np.flatnonzero(~identical)[:10]:
        step = int(np.argmax(differs[:, sample]))
        neurons = {name: int((got[name][step, sample] != want[name][step, sample]).sum()) for name in names}
        print(f"  sample {sample}: first differs at step {step + 1}, neurons that differ then: {neurons}")


if __name__ == "__main__":
    main()
