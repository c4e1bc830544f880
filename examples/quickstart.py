"""Build a small spiking network in the zelka IR, run it on the CPU backend and print
what it produced.

    python examples/quickstart.py
"""

import numpy as np
from zelka.backend.run import run

from zelka.ir import LIF, Affine, Graph, Input, Output


def build_network(seed: int = 0) -> Graph:
    """A 64-32-10 network of LIF neurons fed through two dense layers."""
    rng = np.random.default_rng(seed)
    return Graph.sequential(
        ("pixels", Input(input_type={"x": (64,)})),
        ("fc1", Affine(rng.normal(0.0, 0.3, (32, 64)).astype(np.float32), np.zeros(32, np.float32))),
        ("lif1", LIF(tau=4.0, v_threshold=np.full(32, 1.0, np.float32), v_leak=0.0)),
        ("fc2", Affine(rng.normal(0.0, 0.8, (10, 32)).astype(np.float32))),
        ("lif2", LIF(tau=8.0, v_threshold=np.full(10, 1.0, np.float32), v_leak=0.0)),
        ("scores", Output()),
    )


def main() -> None:
    graph = build_network()
    stimulus = np.random.default_rng(1).random(64).astype(np.float32)
    result = run(graph, stimulus, timesteps=200)
    if result.errors:
        raise SystemExit("run failed: " + "; ".join(result.errors))

    print(f"ran {result.timesteps_run} steps on the CPU backend")
    for name, spikes in result.outputs.items():
        print(f"output {name!r} after the last step: {spikes.astype(int).tolist()}")
    for name, count in result.spike_counts.items():
        print(f"{name}: {count} spikes")


if __name__ == "__main__":
    main()
