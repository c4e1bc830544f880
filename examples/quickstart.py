"""Build a small spiking network in the zelka IR, run it on the CPU backend, print what it
produced and its estimated energy profile (and save its breakdown as a PNG when matplotlib is
installed: ``pip install "zelka[plot]"``), and print the hls4ml configuration the FPGA flow
would build it from.

    python examples/quickstart.py [energy.png]
"""

import json
import sys

import numpy as np

from zelka.backend.fpga.cfgsmith import ir_to_hls4ml_config
from zelka.backend.run import run
from zelka.ir import LIF, Affine, Graph, Input, Output


def build_network(seed: int = 0) -> Graph:
    """A 64-32-10 network of LIF neurons fed through two dense layers."""
    rng = np.random.default_rng(seed)
    return Graph.sequential(
        ("pixels", Input(input_type={"input": (64,)})),
        ("fc1", Affine(rng.normal(0.0, 0.3, (32, 64)).astype(np.float32), np.zeros(32, np.float32))),
        ("lif1", LIF(tau=np.full(32, 4.0, np.float32), v_threshold=np.full(32, 1.0, np.float32))),
        ("fc2", Affine(rng.normal(0.0, 0.8, (10, 32)).astype(np.float32), reuse_factor=4)),
        ("lif2", LIF(tau=np.full(10, 8.0, np.float32), v_threshold=np.full(10, 1.0, np.float32))),
        ("scores", Output()),
    )


def main(energy_png: str = "quickstart_energy.png") -> None:
    graph = build_network()
    stimulus = np.random.default_rng(1).random(64).astype(np.float32)
    result = run(graph, stimulus, timesteps=200)
    if result.errors or result.profile is None:
        raise SystemExit("run failed: " + "; ".join(result.errors))

    print(f"ran {result.timesteps_run} steps on the CPU backend")
    for name, spikes in result.outputs.items():
        print(f"output {name!r} after the last step: {spikes.astype(int).tolist()}")
    for name, count in result.spike_counts.items():
        print(f"{name}: {count} spikes")
    print(result.profile.summary())
    try:
        from zelka.plot import energy_breakdown
    except ImportError:
        print("matplotlib is not installed: no figure saved")
    else:
        energy_breakdown(result.profile).savefig(energy_png, dpi=120)
        print(f"energy breakdown saved to {energy_png}")

    config = ir_to_hls4ml_config(graph, project_name="quickstart", io_type="io_parallel")
    print("hls4ml configuration:")
    print(json.dumps(config, indent=2))


if __name__ == "__main__":
    main(*sys.argv[1:2])
