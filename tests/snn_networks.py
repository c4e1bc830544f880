"""Seeded spiking networks for the SNN HLS project, several of them side by side in one graph
so that one C simulation checks them all.

Each network is named by a prefix ("n0_", "n1_", ...) and draws its shape from its seed: one
to three dense + LIF layers, sometimes sums (two dense layers summed into one LIF layer, and
two stimuli summed into dense layers of fewer and of more outputs than inputs and into an LIF
layer of fewer neurons than values), a recurrent dense layer read from the previous step, an
LIF layer that reads its own spikes, a Flatten of a two-dimensional stimulus, a SpikingAffine
layer, or a pass-through node that has a value only from the second step on.  Neurons have their own time constants, thresholds and
non-zero rest values.

`dyadic=True` draws values that fixed-point types hold exactly (weights in 1/16, time
constants giving decays 1/2 to 15/16, thresholds and rest values in 1/8, stimuli of spikes or
sixteenths); `dyadic=False` draws them from continuous distributions.
"""

import numpy as np

from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output, SpikingAffine

SHAPES = ("chain", "fan_in", "recurrent", "self_loop", "flatten", "spiking_affine", "late")


def _weights(rng, shape, dyadic):
    if dyadic:
        return (rng.integers(-12, 13, size=shape) / 16).astype(np.float32)
    return rng.normal(0.0, 0.4, size=shape).astype(np.float32)


def _lif(rng, n, dyadic):
    if dyadic:
        tau = rng.choice([2.0, 4.0, 8.0, 16.0], size=n).astype(np.float32)
        threshold = (rng.integers(4, 13, size=n) / 8).astype(np.float32)
        rest = (rng.integers(-2, 3, size=n) / 8).astype(np.float32)
    else:
        tau = rng.uniform(2.0, 20.0, size=n).astype(np.float32)
        threshold = rng.uniform(0.5, 1.5, size=n).astype(np.float32)
        rest = rng.uniform(-0.2, 0.2, size=n).astype(np.float32)
    return LIF(tau=tau, v_threshold=threshold, v_leak=rest)


def _stimulus(rng, shape, dyadic):
    if dyadic and rng.random() < 0.5:
        return (rng.random(shape) < 0.4).astype(np.float32)
    if dyadic:
        return (rng.integers(0, 16, size=shape) / 16).astype(np.float32)
    return rng.random(shape).astype(np.float32)


def add_network(graph, stimuli, seed, dyadic, shape=None):
    """Adds network `seed` to `graph` (its stimulus to `stimuli`); returns its LIF node names."""
    rng = np.random.default_rng(seed)
    shape = shape or SHAPES[seed % len(SHAPES)]
    p = f"n{seed}_"
    sizes = [int(rng.integers(4, 17)) for _ in range(4)]
    lifs = []

    def dense(name, n_in, n_out, after, kind=Affine):
        graph.add(name, kind(_weights(rng, (n_out, n_in), dyadic), _weights(rng, n_out, dyadic) / 4),
                  after=after)  # fmt: skip

    def lif(name, n, after):
        graph.add(name, _lif(rng, n, dyadic), after=after)
        lifs.append(name)

    if shape == "flatten":
        graph.add(p + "in", Input(input_type={"input": (2, sizes[0] // 2)}))
        stimuli[p + "in"] = _stimulus(rng, (2, sizes[0] // 2), dyadic)
        graph.add(p + "flat", Flatten(), after=p + "in")
        source, width = p + "flat", 2 * (sizes[0] // 2)
    else:
        graph.add(p + "in", Input(input_type={"input": (sizes[0],)}))
        stimuli[p + "in"] = _stimulus(rng, sizes[0], dyadic)
        source, width = p + "in", sizes[0]
    stimulus, stimulus_width = source, width
    depth = 1 + seed % 3
    for layer in range(depth):
        fc, spikes, n = f"{p}fc{layer}", f"{p}lif{layer}", sizes[layer + 1]
        kind = SpikingAffine if shape == "spiking_affine" and layer > 0 else Affine
        dense(fc, width, n, source, kind)
        if shape == "fan_in" and layer == 0:
            dense(p + "side", width, n, source)
            lif(spikes, n, [fc, p + "side"])
        elif shape == "self_loop" and layer == 0:
            lif(spikes, n, fc)
            graph.connect(spikes, spikes)
        elif shape == "late" and layer == 0:
            # the Flatten reads only the recurrent layer, which comes after it: it has a
            # value from the second step on, and the LIF layer adds it from then on
            graph.add(p + "late", Flatten())
            lif(spikes, n, [fc, p + "late"])
            dense(p + "rec", n, n, spikes)
            graph.connect(p + "rec", p + "late")
        else:
            lif(spikes, n, fc)
        if shape == "recurrent" and layer == 0:
            graph.add(p + "rec", Affine(_weights(rng, (n, n), dyadic) / 2), after=spikes)
            graph.connect(p + "rec", spikes)
        source, width = spikes, n
    if shape == "fan_in":
        graph.add(p + "in2", Input(input_type={"input": (stimulus_width,)}))
        stimuli[p + "in2"] = _stimulus(rng, stimulus_width, dyadic)
        both = [stimulus, p + "in2"]
        narrow = stimulus_width - 1 - int(rng.integers(0, stimulus_width // 2))
        wide = stimulus_width + 1 + int(rng.integers(0, 8))
        for name, n in (("narrow", narrow), ("wide", wide)):
            dense(p + name, stimulus_width, n, both)
            lif(p + name + "_lif", n, p + name)
        lif(p + "few", stimulus_width - 1, both)
    graph.add(p + "out", Output(), after=source)
    return lifs


def networks(seeds, dyadic):
    """One graph holding the networks of `seeds`: (graph, stimuli, {seed: LIF names})."""
    graph, stimuli, lifs = Graph(), {}, {}
    for seed in seeds:
        lifs[seed] = add_network(graph, stimuli, seed, dyadic)
    return graph, stimuli, lifs


def threshold_margin_holds(graph, stimuli, n_steps, margin):
    """Whether the CPU simulator fires at the same steps with every threshold moved `margin`
    up or down: then no membrane came within `margin` of its threshold in the run."""
    from zelka.backend.registry import get_backend

    def spikes(shift):
        shifted = Graph(dict(graph.nodes), list(graph.edges))
        for name, node in graph.nodes.items():
            if isinstance(node, LIF):
                shifted.nodes[name] = LIF(node.tau, node.v_threshold + np.float32(shift), node.v_leak)
        states = get_backend("cpu").simulate(shifted, stimuli, n_steps=n_steps, step_by_step=True).node_states
        return [{k: v.copy() for k, v in s.items() if isinstance(shifted.nodes[k], LIF)} for s in states]

    base = spikes(0.0)
    return all(
        all(np.array_equal(a[k], b[k]) for k in a) and a.keys() == b.keys()
        for shift in (margin, -margin)
        for a, b in zip(base, spikes(shift), strict=True)
    )


def trained_like(seed):
    """A 64-128-10 network of two LIF layers (time constant 10, threshold 1) with weights drawn as
    training leaves them: Gaussian with a standard deviation of scale / sqrt(inputs), biases
    around their mean, scaled so that 10 to 20 % of the hidden neurons fire per step on inputs
    in [0, 1] (as benchmarks/bench_batch.py's)."""
    rng = np.random.default_rng(seed)
    nodes = [("x", Input(input_type={"input": (64,)}))]
    for k, (n_in, n_out, scale, mean) in enumerate(((64, 128, 1.0, -0.1), (128, 10, 3.0, 0.0)), start=1):
        weight = (rng.standard_normal((n_out, n_in)) * (scale / np.sqrt(n_in))).astype(np.float32)
        bias = (mean + 0.1 * rng.standard_normal(n_out)).astype(np.float32)
        lif = LIF(tau=np.full(n_out, 10.0, np.float32), v_threshold=np.ones(n_out, np.float32))
        nodes += [(f"fc{k}", Affine(weight, bias)), (f"lif{k}", lif)]
    return Graph.sequential(*nodes, ("y", Output()))
