"""Seeded graphs and stimuli shared by the engine and profiler tests.

Values are dyadic (small integers over powers of two) wherever they pass through a
matrix-vector product, so that products and sums are exact in any order and results can be
required to be identical.
"""

import numpy as np

from zelka.ir import LIF, Affine, Dropout, Flatten, Graph, Input, Output, ReLU, Skip

F16, F32, F64 = np.float16, np.float32, np.float64
TAUS = (2.0, 3.0, 1.7, 4, F32(2.0), F32(3.0), F64(3.0), "float32", "float64", "one")
LEAKS = (0.0, -0.25, 0.1, 1, F32(0.5), F64(-0.1), "float32", "float64")


def dyadic(rng, shape, dtype=F32, steps=8, denominator=8):
    return (rng.integers(-steps, steps + 1, size=shape) / denominator).astype(dtype)


def chain(*nodes):
    return Graph.sequential(("in", Input()), *nodes, ("out", Output()))


def feed(graph, target, arrays, prefix="in"):
    """Adds an Input per array, each feeding `target`; returns the stimuli."""
    for i in range(len(arrays)):
        graph.add(f"{prefix}{i}", Input()).connect(f"{prefix}{i}", target)
    return {f"{prefix}{i}": x for i, x in enumerate(arrays)}


def per_neuron(rng, choice, n, low, high):
    """`choice`, or for a name, values of that type: per neuron, or one ("one", "one64")."""
    if not isinstance(choice, str):
        return choice
    size = 1 if choice.startswith("one") else n
    return rng.uniform(low, high, size).astype(F64 if choice.endswith("64") else F32)


def random_graph(rng, general=False, float_types=None):
    """A random graph of inputs, Affine, LIF, pass-through and Output nodes with fan-in of
    equal and unequal shapes, back edges from LIF nodes, self-loops and Outputs anywhere.

    Cycles that could grow values exponentially are left out: back edges start at LIF nodes
    (their spikes are 0 or 1) and at most one pass-through node loops onto itself.  A path
    crosses at most two Affine layers or self-loops, which keeps dyadic float32 products exact.
    With `general`, every value is a random float instead of a dyadic one, of one of
    `float_types` (float64 alone by default).
    """

    def values(shape, dtype):
        return rng.standard_normal(shape).astype(dtype) if general else dyadic(rng, shape, dtype)

    def pick(options):
        return options[rng.integers(len(options))]

    edges, shapes, depth, inputs = [], {}, {}, {}
    float_types = float_types or ([F64] if general else [F32, F32, F64])
    for i in range(rng.integers(1, 4)):
        name = f"in{i}"
        shape = shapes[name] = pick([(4,), (4,), (3,), (5,), (2, 3)])
        # an integer stimulus keeps the engine on numpy steps: rare, to leave most graphs native
        dtype = np.int32 if not general and rng.random() < 0.08 else pick(float_types)
        inputs[name] = rng.integers(-3, 4, shape).astype(dtype) if dtype is np.int32 else values(shape, dtype)
        depth[name] = 0
    nodes = [(name, Input()) for name in inputs]
    lifs, looped = [], False
    for i in range(rng.integers(2, 8)):
        name, sources = f"n{i}", list(shapes)
        preds = [first := pick(sources)]
        same = [s for s in sources if shapes[s] == shapes[first]]
        preds += [pick(same if rng.random() < 0.7 else sources) for _ in range(pick([0, 0, 1, 2, 3]))]
        shape, level = shapes[first], max(depth[p] for p in preds)
        size = int(np.prod(shape))
        kind = pick(["affine", "affine", "lif", "pass", "output"])
        kind = "pass" if kind == "affine" and level >= 2 else kind
        if kind == "affine":
            rows = int(rng.integers(1, 6))
            cols = size if rng.random() < 0.85 else size + 1
            wtype = pick(float_types)
            bias = pick([None, values(rows, wtype), values(rows, F64), 0.5, F32(-0.25)])
            node = Affine(values((rows, cols), wtype), bias)
            shape = (rows,) if cols == size else (size,)
            level += 1
        elif kind == "lif":
            n = int(shape[0]) + (rng.random() < 0.2)
            threshold = rng.uniform(-0.2, 1.5, n).astype([F32, F64, F16][rng.integers(3)])
            tau = per_neuron(rng, pick(TAUS), n, 1.2, 6.0)
            node = LIF(tau, threshold, v_leak=per_neuron(rng, pick(LEAKS), n, -0.5, 0.5))
            if rng.random() < 0.4:
                node.reset, node.fire = pick(["v_leak", "subtract", "none"]), pick([">=", ">"])
            shape, level = (n,), 0
            lifs.append(name)
            if rng.random() < 0.3:
                preds.append(name)
        elif kind == "pass":
            node = pick((ReLU, Skip, Flatten, Dropout))()
            if not looped and level < 2 and rng.random() < 0.3:
                preds.append(name)
                looped = True
                level += 1
        else:
            node = Output()
        nodes.append((name, node))
        edges.extend((p, name) for p in preds)
        shapes[name], depth[name] = shape, level
    for lif in lifs:
        if rng.random() < 0.5:
            edges.append((lif, pick([name for name, _ in nodes if name.startswith("n")])))
    for i, name in enumerate(rng.choice(list(shapes), size=2, replace=False)):
        nodes.append((f"out{i}", Output()))
        edges.append((name, f"out{i}"))
    order = rng.permutation(len(nodes))
    return Graph([nodes[i] for i in order], edges), inputs
