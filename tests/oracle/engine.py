"""A plain numpy transcription of the CPU backend's step algorithm.

The native engine must agree with it on every graph: result keys and their order, dtypes,
shapes, values, spike counts, snapshots and error texts.  It binds the graph utilities at
call time, exactly as the engine does, so patched utilities affect both alike.
"""

import numpy as np

from zelka.backend.config import CompileConfig
from zelka.backend.cpu import graph_utils
from zelka.backend.cpu.simulator import SimulationResult
from zelka.ir import LIF, Affine, Input, Output


def synthetic_inputs(graph):
    input_data = {}
    for name, node in graph.nodes.items():
        if isinstance(node, Input):
            shape_dict = node.input_type
            if isinstance(shape_dict, dict):
                if not shape_dict:
                    raise ValueError(
                        f"Input node {name!r} declares no input shape: its input_type is an empty dict"
                    )
                first_shape = next(iter(shape_dict.values()))
                input_data[name] = np.zeros(first_shape, dtype=np.float32)
            elif isinstance(shape_dict, np.ndarray):
                input_data[name] = np.zeros(shape_dict, dtype=np.float32)
    return input_data


def lif_step(node, mem, inp, precision):
    """One step of a LIF node: the new membrane and the spikes."""
    v_threshold, v_leak = node.v_threshold, node.v_leak
    fires = np.greater if getattr(node, "fire", ">=") == ">" else np.greater_equal
    reset = getattr(node, "reset", "v_leak")
    started_above = fires(mem, v_threshold)
    decay = 1.0 - 1.0 / node.tau
    mem = decay * (mem - v_leak) + v_leak
    if inp.shape[0] >= mem.shape[0]:
        mem = mem + inp[: mem.shape[0]]
    if reset == "subtract":
        mem = np.where(started_above, mem - v_threshold, mem)
    mem = graph_utils.saturate(mem, precision)
    spikes = fires(mem, v_threshold).astype(np.float32)
    if reset == "v_leak":
        mem = mem * (1.0 - spikes) + v_leak * spikes
    return mem, spikes


def combine(act_list):
    if all(a.shape == act_list[0].shape for a in act_list):
        return np.sum(act_list, axis=0)
    inp = act_list[0].copy()
    for a in act_list[1:]:
        if a.shape == inp.shape:
            inp += a
    return inp


def simulate(graph, input_data=None, n_steps=1, step_by_step=False, per_step=False, membranes=None):
    """The step algorithm; with `per_step`, every stimulus is an array over steps and step t
    reads its slice [t].  A list given as `membranes` receives a copy of the membrane
    potentials after each step."""
    saturate = graph_utils.saturate
    result = SimulationResult()
    precision = CompileConfig().target_precision
    if input_data is None:
        input_data = synthetic_inputs(graph)
    exec_order, predecessors, _is_dag = graph_utils.build_execution_context(graph)
    n_steps = int(n_steps)
    cyclic_config = getattr(graph, "cyclic_config", None)
    if cyclic_config:
        max_iter = cyclic_config.get("max_iterations")
        if max_iter is not None and n_steps == 1:
            n_steps = int(max_iter)

    activations, membrane_state, spike_counts = {}, {}, {}
    for name, node in graph.nodes.items():
        if isinstance(node, LIF):
            if not isinstance(node.v_threshold, np.ndarray):
                raise TypeError(
                    f"LIF node '{name}': v_threshold must be np.ndarray, "
                    f"got {type(node.v_threshold).__name__}"
                )
            if node.v_threshold.ndim == 0:
                raise IndexError(
                    f"LIF node '{name}': v_threshold must have at least one dimension (the neurons)"
                )
            membrane_state[name] = np.zeros(node.v_threshold.shape[0], dtype=np.float32)

    try:
        for t in range(n_steps):
            for key in input_data:
                activations[key] = input_data[key][t] if per_step else input_data[key]
            for name in exec_order:
                node = graph.nodes[name]
                if isinstance(node, Input):
                    if name not in activations:
                        activations[name] = np.zeros(1, dtype=np.float32)
                    continue
                if isinstance(node, Output):
                    preds = predecessors[name]
                    if preds and preds[0] in activations:
                        activations[name] = activations[preds[0]]
                    continue
                preds = predecessors[name]
                if not preds:
                    continue
                act_list = [activations[p] for p in preds if p in activations]
                if not act_list:
                    continue
                inp = combine(act_list)
                if isinstance(node, Affine):
                    weight = node.weight
                    bias = getattr(node, "bias", None)
                    if bias is None:
                        bias = np.zeros(weight.shape[0])
                    flat = inp.flatten()
                    if flat.shape[0] == weight.shape[1]:
                        out = saturate(np.dot(weight, flat) + bias, precision)
                    else:
                        out = flat
                    activations[name] = out
                elif isinstance(node, LIF):
                    membrane_state[name], spikes = lif_step(node, membrane_state[name], inp, precision)
                    activations[name] = spikes
                    spike_counts[name] = spike_counts.get(name, 0) + int(np.count_nonzero(spikes))
                else:
                    activations[name] = inp
            if membranes is not None:
                membranes.append({k: v.copy() for k, v in membrane_state.items()})
            if step_by_step:
                result.node_states.append(
                    {k: (v.copy() if isinstance(v, np.ndarray) else v) for k, v in activations.items()}
                )
        for name, node in graph.nodes.items():
            if isinstance(node, Output) and name in activations:
                result.outputs[name] = activations[name]
        result.timesteps_run = n_steps
        result.spike_counts = spike_counts
        result.outputs_valid = True
    except Exception as exc:  # noqa: BLE001 - the step loop reports every failure as text
        result.outputs_valid = False
        result.errors.append(str(exc))
    return result
