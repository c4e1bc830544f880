"""A plain numpy transcription of the CPU backend's step algorithm.

The native engine must agree with it on every graph: result keys and their order, dtypes,
shapes, values, spike counts, snapshots and error texts.  It binds the graph utilities at
call time, exactly as the engine does, so patched utilities affect both alike.
"""

import math

import numpy as np

from zelka import ir
from zelka.backend.config import CompileConfig
from zelka.backend.cpu import graph_utils
from zelka.backend.cpu.simulator import SimulationResult
from zelka.ir import LIF, Affine, Input, Output, SpikingAffine


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


def _pair(value):
    return tuple(value) if isinstance(value, (tuple, list)) else (value, value)


def _layer_type(inp, *parameters):
    """float64 where the input or a parameter array is, else float32."""
    wide = inp.dtype == np.float64 or any(p is not None and p.dtype == np.float64 for p in parameters)
    return np.float64 if wide else np.float32


def _convolve(node, inp):
    """Sums from +0.0 over (input channel, kernel row, kernel column) in that order, then the
    bias; positions in the zero padding add nothing."""
    one_d = isinstance(node, ir.Conv1d)
    dtype = _layer_type(inp, node.weight, node.bias)
    weight = node.weight.astype(dtype)[:, :, None, :] if one_d else node.weight.astype(dtype)
    x = inp.astype(dtype)[:, None, :] if one_d else inp.astype(dtype)
    (sh, sw), (ph, pw), (dh, dw) = (
        ((1, node.stride), (0, node.padding), (1, node.dilation))
        if one_d
        else (_pair(node.stride), _pair(node.padding), _pair(node.dilation))
    )
    out_ch, in_pg, kh, kw = weight.shape
    groups, (in_ch, h, w) = node.groups, x.shape
    oh = (h + 2 * ph - dh * (kh - 1) - 1) // sh + 1
    ow = (w + 2 * pw - dw * (kw - 1) - 1) // sw + 1
    padded = np.zeros((in_ch, h + 2 * ph, w + 2 * pw), dtype)
    padded[:, ph : ph + h, pw : pw + w] = x
    acc = np.zeros((out_ch, oh, ow), dtype)
    out_pg = out_ch // groups
    for g in range(groups):
        for i in range(in_pg):
            for ky in range(kh):
                for kx in range(kw):
                    rows = slice(ky * dh, ky * dh + sh * (oh - 1) + 1, sh)
                    cols = slice(kx * dw, kx * dw + sw * (ow - 1) + 1, sw)
                    window = padded[g * in_pg + i, rows, cols]
                    taps = weight[g * out_pg : (g + 1) * out_pg, i, ky, kx]
                    acc[g * out_pg : (g + 1) * out_pg] += taps[:, None, None] * window[None]
    if node.bias is not None:
        acc = acc + node.bias.astype(dtype)[:, None, None]
    return acc[:, 0, :] if one_d else acc


def _pool(node, inp):
    (kh, kw), (ph, pw) = _pair(node.kernel_size), _pair(node.padding)
    sh, sw = _pair(node.stride) if node.stride not in ((), None) else (kh, kw)
    c, h, w = inp.shape
    oh, ow = (h + 2 * ph - kh) // sh + 1, (w + 2 * pw - kw) // sw + 1
    out = np.empty((c, oh, ow), inp.dtype)
    for oy in range(oh):
        for ox in range(ow):
            top, left = oy * sh - ph, ox * sw - pw
            bottom, right = min(top + kh, h + ph), min(left + kw, w + pw)
            window = inp[:, max(top, 0) : min(bottom, h), max(left, 0) : min(right, w)]
            if isinstance(node, ir.MaxPool2d):
                out[:, oy, ox] = window.reshape(c, -1).max(axis=1)
            else:
                total = np.zeros(c, inp.dtype)
                for value in window.reshape(c, -1).T:
                    total = total + value
                out[:, oy, ox] = total / inp.dtype.type((bottom - top) * (right - left))
    return out


def _fma(a, b, c):
    """a * b + c rounded once (the product is exact in long double)."""
    return (a.astype(np.longdouble) * b.astype(np.longdouble) + c.astype(np.longdouble)).astype(a.dtype)


def _batch_norm(node, inp):
    dtype = _layer_type(inp, node.running_mean, node.running_var, node.gamma, node.beta)
    ones = np.ones(node.num_features, dtype)
    gamma = ones if node.gamma is None else node.gamma.astype(dtype)
    beta = ones * 0 if node.beta is None else node.beta.astype(dtype)
    mean, var = node.running_mean.astype(dtype), node.running_var.astype(dtype)
    alpha = dtype(1) / np.sqrt(var + dtype(node.eps)) * gamma
    shift = _fma(-mean, alpha, beta)
    shape = (-1,) + (1,) * (inp.ndim - 1)
    x = inp.astype(dtype)
    return _fma(
        x, np.broadcast_to(alpha.reshape(shape), x.shape), np.broadcast_to(shift.reshape(shape), x.shape)
    )


def _elementwise(function, inp):
    """A libm function of each value in float64, rounded once to the input's type."""
    return (
        np.array([function(float(v)) for v in inp.ravel()], np.float64).astype(inp.dtype).reshape(inp.shape)
    )


def _exp_float32(d):
    """exp in float32 as PyTorch's vectorised kernels compute it (core/engine/activations)."""
    f = np.float32
    q = np.rint(np.where(np.isfinite(d), d, 0) * f(1.4426950408889634)).astype(np.int32)
    s = _fma(q.astype(f), f(-0.693145751953125), d)
    s = _fma(q.astype(f), f(-1.428606765330187045e-06), s)
    u = np.full_like(s, f(0.000198527617612853646278381))
    for c in [0.00139304355252534151077271, 0.00833336077630519866943359, 0.0416664853692054748535156,
              0.166666671633720397949219, 0.5]:  # fmt: skip
        u = _fma(u, s, np.full_like(s, f(c)))
    u = f(1) + _fma(s * s, u, s)
    half = q >> 1
    u = u * np.ldexp(f(1), half).astype(f) * np.ldexp(f(1), q - half).astype(f)
    return np.where(np.isnan(d), d, np.where(d < -104, f(0), np.where(d > 100, f(np.inf), u)))


def _logistic(inp):
    one = inp.dtype.type(1)
    if inp.dtype == np.float32:
        return one / (one + _exp_float32(-inp))
    return one / (one + _elementwise(lambda v: math.exp(-v) if -v < 709.78 else math.inf, inp))


def computed_layer(node, inp, saturate, precision):
    """What a node of a computed graph other than Affine and LIF makes of its input."""
    if isinstance(node, (ir.Conv1d, ir.Conv2d)):
        return saturate(_convolve(node, inp), precision)
    if isinstance(node, (ir.MaxPool2d, ir.AvgPool2d)):
        return _pool(node, inp)
    if isinstance(node, (ir.BatchNorm1d, ir.BatchNorm2d)):
        return saturate(_batch_norm(node, inp), precision)
    if isinstance(node, ir.ReLU):
        if node.negative_slope == 0:
            return np.where(inp < 0, inp.dtype.type(0), inp)
        return np.where(inp > 0, inp, inp * inp.dtype.type(node.negative_slope))
    if isinstance(node, ir.Sigmoid):
        return _logistic(inp)
    if isinstance(node, ir.Tanh):
        return _elementwise(math.tanh, inp)
    if isinstance(node, ir.Flatten):
        start = node.start_dim % inp.ndim if inp.ndim else 0
        return inp.reshape(*inp.shape[:start], -1)
    assert isinstance(node, ir.Dropout), type(node).__name__
    return inp


def _weighted(node, computed):
    """The node multiplies its input by weights."""
    return isinstance(node, Affine) or computed and isinstance(node, (SpikingAffine, ir.Conv1d, ir.Conv2d))


def _spiking_nodes(graph, predecessors, sources):
    """The nodes holding spikes or sums of them: `sources`, and nodes that pass on what
    predecessors that all hold such values hold."""
    computed = getattr(graph, "layers", "pass_through") == "computed"

    def passes_on(node):
        if isinstance(node, Output):
            return True
        if computed:
            return isinstance(node, (ir.Flatten, ir.Dropout, ir.MaxPool2d))
        return not isinstance(node, (Input, Affine, LIF))

    spiking = sources | {name for name, node in graph.nodes.items() if passes_on(node)}
    while True:
        dropped = {
            name
            for name in spiking - sources
            if not (predecessors[name] and all(p in spiking for p in predecessors[name]))
        }
        if not dropped:
            return spiking
        spiking -= dropped


def spike_fed_layers(graph):
    """Per layer that multiplies its input by weights, whether every predecessor holds spikes
    or sums of them (a LIF node, an Input, or a node passing such values on), and the Inputs
    without which it would not."""
    computed = getattr(graph, "layers", "pass_through") == "computed"
    _order, predecessors, _is_dag = graph_utils.build_execution_context(graph)
    lifs = {name for name, node in graph.nodes.items() if isinstance(node, LIF)}
    inputs = {name for name, node in graph.nodes.items() if isinstance(node, Input)}
    spiking = _spiking_nodes(graph, predecessors, lifs | inputs)
    without = {i: _spiking_nodes(graph, predecessors, lifs | inputs - {i}) for i in inputs}

    def fed(name, spiking):
        return bool(predecessors[name]) and all(p in spiking for p in predecessors[name])

    return {
        name: (
            fed(name, spiking),
            [i for i in sorted(inputs) if fed(name, spiking) and not fed(name, without[i])],
        )
        for name, node in graph.nodes.items()
        if _weighted(node, computed)
    }


def fan_out(node, inp):
    """Per input value, the synapses it reaches: an Affine's rows; for a convolution the
    outputs that read it, found by convolving each one-hot input with weights of ones.  None
    where the input does not fit the weight."""
    if isinstance(node, (ir.Conv1d, ir.Conv2d)):
        ones = type(node)(
            np.ones_like(node.weight), None, node.stride, node.padding, node.dilation, node.groups
        )
        reached = np.zeros(inp.size, np.int64)
        for i in range(inp.size):
            one_hot = np.zeros(inp.size, np.float64)
            one_hot[i] = 1
            reached[i] = int(_convolve(ones, one_hot.reshape(inp.shape)).sum())
        return reached
    rows, cols = node.weight.shape
    return np.full(cols, rows, np.int64) if inp.size == cols else None


def operations(inp, spike_fed, reached):
    """A counted layer's operations on one step's input: the synapses its nonzero inputs
    reach when it is fed by spikes, else every input value's."""
    return int(reached[inp.reshape(-1) != 0].sum()) if spike_fed else int(reached.sum())


def simulate(graph, input_data=None, n_steps=1, step_by_step=False, per_step=False, membranes=None,
             operations_per_step=None, spike_stimuli=None):  # fmt: skip
    """The step algorithm; with `per_step`, every stimulus is an array over steps and step t
    reads its slice [t].  A list given as `membranes` receives a copy of the membrane
    potentials after each step.  A dict given as `operations_per_step` receives, per layer
    that multiplies by weights, (whether it is fed by spikes, its operations at every step or
    None where it did not compute, the operations of a step of its dense product, the Inputs
    its spikes come through); one
    given as `spike_stimuli`, per Input, whether its values were 0 or 1 at every step."""
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

    spike_fed = spike_fed_layers(graph)
    if operations_per_step is not None:
        operations_per_step.update(
            {name: (fed, [None] * max(n_steps, 0), 0, through) for name, (fed, through) in spike_fed.items()}
        )
    fan_outs = {}
    try:
        for t in range(n_steps):
            for key in input_data:
                activations[key] = input_data[key][t] if per_step else input_data[key]
            for name in exec_order:
                node = graph.nodes[name]
                if isinstance(node, Input):
                    if name not in activations:
                        activations[name] = np.zeros(1, dtype=np.float32)
                    if spike_stimuli is not None:
                        binary = bool(np.isin(activations[name], (0, 1)).all())
                        spike_stimuli[name] = spike_stimuli.get(name, True) and binary
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
                computed = getattr(graph, "layers", "pass_through") == "computed"
                if operations_per_step is not None and name in spike_fed:
                    if name not in fan_outs:
                        fan_outs[name] = fan_out(node, inp)
                    reached = fan_outs[name]
                    if reached is not None and reached.size == inp.size:
                        fed, counts, _, through = operations_per_step[name]
                        counts[t] = operations(inp, fed, reached)
                        operations_per_step[name] = (fed, counts, int(reached.sum()), through)
                shape = inp.shape
                if computed and isinstance(node, LIF):
                    inp = inp.reshape(-1)
                if computed and not isinstance(node, (Affine, SpikingAffine, LIF)):
                    activations[name] = computed_layer(node, inp, saturate, precision)
                elif isinstance(node, (Affine, SpikingAffine) if computed else Affine):
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
                    activations[name] = spikes.reshape(shape) if computed else spikes
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
