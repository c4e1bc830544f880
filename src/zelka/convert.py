"""Networks trained with PyTorch and snnTorch, as zelka graphs.

PyTorch and snnTorch are optional: they are imported when :func:`from_torch` runs
(``pip install "zelka[convert]"`` after installing the PyTorch build of your choice).
"""

from __future__ import annotations

import math
import operator

import numpy as np

from zelka import _convert
from zelka.ir import (
    LIF,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    BatchNorm2d,
    Conv1d,
    Conv2d,
    Flatten,
    Graph,
    Input,
    MaxPool2d,
    Node,
    Output,
    ReLU,
    Sigmoid,
)

_INSTALL_HINT = 'pip install "zelka[convert]" (install the PyTorch build of your choice first)'


def _import_torch():
    try:
        import torch
    except ImportError as error:
        raise ImportError(f"zelka.convert.from_torch needs PyTorch: {_INSTALL_HINT}") from error
    try:
        import snntorch  # type: ignore[import-untyped]
    except ImportError:
        snntorch = None  # a network without snnTorch layers converts without it
    return torch, snntorch


def from_torch(module, input_shape, *, input_name: str = "input") -> Graph:
    """The graph of a trained feed-forward network.

    `module` is an ``nn.Sequential`` or a module whose child modules run one after the other
    in the order they were registered (the usual snnTorch pattern: ``self.fc1``,
    ``self.lif1``, ``self.fc2``, ... called in that order by ``forward``); child
    ``nn.Sequential`` containers are chains of their own children.  The order of the calls in
    ``forward`` is not read: a network that calls its children in another order, skips or
    repeats them converts into something else.

    Layers: ``nn.Linear`` (an ``Affine``; a layer without bias gets a float32 zero bias, which
    keeps the simulator's arithmetic in float32), ``nn.Conv1d``, ``nn.Conv2d``, ``nn.Flatten``,
    ``nn.AvgPool2d``, ``nn.MaxPool2d``, ``nn.BatchNorm1d``/``2d`` (with their running
    statistics, as in eval mode), ``nn.ReLU``, ``nn.Sigmoid`` and snnTorch's ``Leaky`` (a
    ``LIF``), each as the IR kind of the same name.  Parameters are copied as float32 numpy
    arrays; the network must be float32 (``module.float()``).

    `input_shape` is the shape of one sample, without the batch axis: the graph starts with
    an ``Input`` node named `input_name` declaring it (``input_type={"input": input_shape}``)
    and ends with an ``Output`` node (``"output"``, or ``"output_1"``, ... when a layer has
    that name).  Layers are named by their attribute names (``"fc1"``; ``"net.0"`` inside a
    child container, ``"0"``, ``"1"``, ... for an ``nn.Sequential``).

    A ``Leaky`` layer becomes a LIF node of one neuron per value of its input (flattened in C
    order) whose spikes equal snnTorch's, bit for bit, when fed the same float32 currents and
    started from zero membranes:

    - ``beta`` (clamped to [0, 1], per neuron or shared) becomes the float32 ``tau`` for which
      the simulator's decay ``1 - 1/tau`` (computed in float32) equals it exactly.  Betas of
      0.75 and above always have one, most between 0.5 and 0.75 do, and below 0.5 only
      multiples of 2**-24 do; a ValueError names the layer otherwise.
    - snnTorch fires where ``mem > threshold``, the simulator where ``mem >= v_threshold``:
      ``v_threshold`` is the next float32 above ``threshold``.
    - Only the reset to zero has an exact equivalent.  snnTorch (with the default
      ``reset_delay=True``) zeroes a neuron that fired at the start of the next step, before
      the leak; the simulator resets it to ``v_leak=0`` at the end of the step; both then
      compute ``beta * 0 + input``.  With ``reset_delay=False`` snnTorch zeroes it at once,
      which is the same while every threshold is at least 0 (it is refused otherwise).  What
      counts is the reset snnTorch computes: the one the layer was built with (and, where
      ``reset_delay=False`` applies a reset at once, the state dict's ``reset_mechanism_val``),
      not a ``reset_mechanism`` set after construction, which snnTorch does not read; a
      refusal says so when the two disagree.
    - Refused, with a ValueError naming the layer: ``"subtract"`` and ``"none"`` resets,
      graded spikes (``graded_spikes_factor`` other than 1), ``inhibition``, ``state_quant``,
      and a ``spike_grad`` not from ``snntorch.surrogate`` (whose forward pass could be other
      than the step ``mem - threshold > 0``).

    The simulator computes dense layers with its own summation order, so their outputs
    agree with PyTorch's to floating-point rounding (exactly when the sums are exact).  It
    passes convolutions, pooling, normalisation and activations through unchanged: call
    ``graph.check(shapes=True)`` after conversion to see where a converted network would
    compute something else in ``simulate``.

    Anything else is refused: a ValueError names the layer and its type (or the setting it
    cannot represent).  ImportError when PyTorch is not installed.
    """
    torch, snntorch = _import_torch()
    if not isinstance(module, torch.nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, got {type(module).__name__}")
    if not isinstance(input_name, str):
        raise TypeError(f"input_name must be a str, got {type(input_name).__name__}")
    shape = _sample_shape(input_shape)
    layers = _chain(module, torch)
    names = {name for name, _ in layers}
    if input_name in names:
        raise ValueError(f"input_name {input_name!r} is also the name of a layer; choose another")
    converter = _LayerConverter(torch, snntorch)
    nodes: list[tuple[str, Node]] = [(input_name, Input(input_type={"input": shape}))]
    for name, layer in layers:
        node, shape = converter.convert(name, layer, shape)
        nodes.append((name, node))
    output_name = "output"
    suffix = 0
    while output_name in names or output_name == input_name:
        suffix += 1
        output_name = f"output_{suffix}"
    nodes.append((output_name, Output()))
    return Graph.sequential(*nodes)


def _sample_shape(input_shape) -> tuple:
    try:
        dims = tuple(operator.index(d) for d in input_shape)
    except TypeError:
        raise TypeError(f"input_shape must be a sequence of integers, got {input_shape!r}") from None
    if not dims or any(d < 1 for d in dims):
        raise ValueError(f"input_shape must be one or more positive sizes, got {input_shape!r}")
    return dims


def _chain(module, torch) -> list:
    """(name, layer) pairs in registration order, with nn.Sequential children expanded in
    place; a module without children is a chain of one layer named "0"."""
    if not isinstance(module, torch.nn.Sequential) and not module._modules:
        return [("0", module)]
    layers = []

    def expand(container, prefix):
        # _modules keeps a child registered under two names twice, as forward calls it
        for name, child in container._modules.items():
            if child is None:
                raise ValueError(f"module {prefix + name!r} is None")
            if type(child) is torch.nn.Sequential:
                expand(child, f"{prefix}{name}.")
            else:
                layers.append((prefix + name, child))

    expand(module, "")
    if not layers:
        raise ValueError(f"module {type(module).__name__} has no layers")
    return layers


class _LayerConverter:
    """The IR node of each layer and the shape of one sample after it."""

    def __init__(self, torch, snntorch):
        self.torch = torch
        self.nn = torch.nn
        self.snntorch = snntorch
        self.kinds = {
            self.nn.Linear: self.linear,
            self.nn.Conv1d: self.conv1d,
            self.nn.Conv2d: self.conv2d,
            self.nn.Flatten: self.flatten,
            self.nn.AvgPool2d: self.avg_pool2d,
            self.nn.MaxPool2d: self.max_pool2d,
            self.nn.BatchNorm1d: self.batch_norm,
            self.nn.BatchNorm2d: self.batch_norm,
            self.nn.ReLU: self.relu,
            self.nn.Sigmoid: self.sigmoid,
        }
        if snntorch is not None:
            self.kinds[snntorch.Leaky] = self.leaky

    def convert(self, name: str, layer, shape: tuple):
        # exact types: a subclass may compute something else in its forward
        method = self.kinds.get(type(layer))
        label = f"{type(layer).__name__} {name!r}"
        if method is None:
            supported = ", ".join(sorted(cls.__name__ for cls in self.kinds))
            raise ValueError(
                f"layer {name!r} is a {type(layer).__module__}.{type(layer).__qualname__}, which "
                f"zelka cannot convert (it converts {supported})"
            )
        return method(layer, label, shape)

    # ---- parameters

    def array(self, tensor, label: str, what: str) -> np.ndarray:
        """A float32 copy of a parameter (the graph must not change when training goes on)."""
        if tensor.dtype != self.torch.float32:
            raise ValueError(
                f"{label}: {what} is {tensor.dtype}; zelka converts float32 networks (call module.float())"
            )
        return tensor.detach().cpu().numpy().copy()

    def bias(self, layer, label: str, count: int) -> np.ndarray:
        if layer.bias is None:
            return np.zeros(count, np.float32)
        return self.array(layer.bias, label, "bias")

    @staticmethod
    def require_dims(label: str, shape: tuple, dims: int, layout: str):
        if len(shape) != dims:
            raise ValueError(f"{label}: takes samples of shape {layout}, got {shape}")

    def output_shape(self, layer, label: str, shape: tuple) -> tuple:
        """The sample shape after a stateless layer, as PyTorch computes it for one sample."""
        with self.torch.no_grad():
            try:
                result = layer(self.torch.zeros((1, *shape), dtype=self.torch.float32))
            except RuntimeError as error:
                raise ValueError(f"{label}: cannot take samples of shape {shape}: {error}") from None
        return tuple(result.shape[1:])

    @staticmethod
    def refuse(label: str, setting: str, value, supported: str):
        raise ValueError(f"{label}: {setting}={value!r} cannot be converted ({supported})")

    # ---- layers

    def linear(self, layer, label, shape):
        if shape != (layer.in_features,):
            raise ValueError(
                f"{label}: takes {layer.in_features} values per sample, got shape {shape} "
                "(an Affine node multiplies a flat vector: put an nn.Flatten before it)"
            )
        weight = self.array(layer.weight, label, "weight")
        return Affine(weight, self.bias(layer, label, layer.out_features)), (layer.out_features,)

    def convolution_padding(self, layer, label) -> tuple:
        if layer.padding_mode != "zeros":
            self.refuse(label, "padding_mode", layer.padding_mode, "only 'zeros' padding")
        if layer.padding == "valid":
            return (0,) * len(layer.kernel_size)
        if layer.padding != "same":
            return tuple(layer.padding)
        totals = [d * (k - 1) for d, k in zip(layer.dilation, layer.kernel_size, strict=True)]
        if any(total % 2 for total in totals):
            self.refuse(label, "padding", "same", "'same' padding only where it is symmetric")
        return tuple(total // 2 for total in totals)

    def convolution(self, kind, layer, label, shape, layout: str, form):
        """A convolution node; `form` turns a per-axis tuple into the kind's stride, padding and
        dilation (an integer for Conv1d, a tuple for Conv2d)."""
        self.require_dims(label, shape, len(layer.kernel_size) + 1, layout)
        weight = self.array(layer.weight, label, "weight")  # float32 before PyTorch runs it
        node = kind(
            weight,
            self.bias(layer, label, layer.out_channels),
            stride=form(layer.stride),
            padding=form(self.convolution_padding(layer, label)),
            dilation=form(layer.dilation),
            groups=layer.groups,
        )
        return node, self.output_shape(layer, label, shape)

    def conv1d(self, layer, label, shape):
        return self.convolution(Conv1d, layer, label, shape, "(channels, length)", lambda axes: axes[0])

    def conv2d(self, layer, label, shape):
        return self.convolution(Conv2d, layer, label, shape, "(channels, height, width)", tuple)

    def flatten(self, layer, label, shape):
        batched = len(shape) + 1
        start = layer.start_dim + batched if layer.start_dim < 0 else layer.start_dim
        end = layer.end_dim + batched if layer.end_dim < 0 else layer.end_dim
        if start < 1:
            self.refuse(label, "start_dim", layer.start_dim, "the batch axis must stay")
        if end != batched - 1:
            self.refuse(label, "end_dim", layer.end_dim, "only flattening through the last axis")
        kept = shape[: start - 1]
        return Flatten(start_dim=start - 1), (*kept, math.prod(shape[start - 1 :]))

    @staticmethod
    def pair(value) -> tuple:
        return tuple(value) if isinstance(value, (tuple, list)) else (value, value)

    def pooling(self, kind, layer, label, shape):
        self.require_dims(label, shape, 3, "(channels, height, width)")
        if layer.ceil_mode:
            self.refuse(label, "ceil_mode", True, "pooling windows must fit the input")
        out = self.output_shape(layer, label, shape)
        node = kind(
            kernel_size=self.pair(layer.kernel_size),
            stride=self.pair(layer.stride),
            padding=self.pair(layer.padding),
        )
        return node, out

    def avg_pool2d(self, layer, label, shape):
        if layer.divisor_override is not None:
            self.refuse(label, "divisor_override", layer.divisor_override, "averages over the window only")
        if not layer.count_include_pad and any(self.pair(layer.padding)):
            self.refuse(label, "count_include_pad", False, "padding counts in the average")
        return self.pooling(AvgPool2d, layer, label, shape)

    def max_pool2d(self, layer, label, shape):
        if any(d != 1 for d in self.pair(layer.dilation)):
            self.refuse(label, "dilation", layer.dilation, "only dilation 1")
        if layer.return_indices:
            self.refuse(label, "return_indices", True, "pooling returns values only")
        return self.pooling(MaxPool2d, layer, label, shape)

    def batch_norm(self, layer, label, shape):
        if type(layer) is self.nn.BatchNorm2d:
            kind, layouts = BatchNorm2d, ((3, "(channels, height, width)"),)
        else:
            kind, layouts = BatchNorm1d, ((1, "(features,)"), (2, "(channels, length)"))
        if not any(len(shape) == dims for dims, _ in layouts):
            self.require_dims(label, shape, layouts[-1][0], " or ".join(text for _, text in layouts))
        if shape[0] != layer.num_features:
            raise ValueError(
                f"{label}: normalises {layer.num_features} channels, got samples of shape {shape}"
            )
        if layer.running_mean is None:
            self.refuse(label, "track_running_stats", False, "inference needs the running mean and variance")
        node = kind(
            layer.num_features,
            running_mean=self.array(layer.running_mean, label, "running_mean"),
            running_var=self.array(layer.running_var, label, "running_var"),
            gamma=None if layer.weight is None else self.array(layer.weight, label, "weight"),
            beta=None if layer.bias is None else self.array(layer.bias, label, "bias"),
            eps=float(layer.eps),
        )
        return node, shape

    def relu(self, layer, label, shape):
        return ReLU(features=math.prod(shape)), shape

    def sigmoid(self, layer, label, shape):
        return Sigmoid(features=math.prod(shape)), shape

    def require_zero_reset(self, layer, label):
        """Refuses a layer unless what snnTorch computes is the reset to zero.  A Leaky applies the
        reset of the state function chosen when it was built, and with ``reset_delay=False`` also
        the one ``reset_mechanism_val`` names at the step a neuron fires; neither follows the
        ``reset_mechanism`` attribute set, or a state dict loaded, after construction."""
        snn = self.snntorch
        update = getattr(layer.state_function, "__func__", None)
        resets = {snn.Leaky._base_zero: "zero", snn.Leaky._base_sub: "subtract", snn.Leaky._base_int: "none"}
        computed = resets.get(update, "custom")
        immediate = list(snn.SpikingNeuron.reset_dict)[int(layer.reset_mechanism_val)]
        if not layer.reset_delay and immediate != computed:
            raise ValueError(
                f"{label}: with reset_delay=False snnTorch resets a neuron that fired by {immediate!r} "
                f"at once (reset_mechanism_val) and by {computed!r} at the next step (the reset the "
                "layer was built with), a mix with no exact equivalent in the simulator; build the "
                "layer with reset_mechanism='zero'"
            )
        if computed == "zero":
            return
        message = (
            f"{label}: reset_mechanism {computed!r} has no exact equivalent in the simulator, "
            "which resets neurons that fired to v_leak (use reset_mechanism='zero')"
        )
        stated = getattr(layer, "reset_mechanism", computed)
        if stated != computed:
            message += (
                f"; snnTorch computes the reset {computed!r} the layer was built with although its "
                f"reset_mechanism reads {stated!r}: setting it, or loading a state dict, after "
                "construction does not change the reset, so build the layer with "
                "reset_mechanism='zero' and train it again"
            )
        raise ValueError(message)

    def leaky(self, layer, label, shape):
        if layer.inhibition:
            self.refuse(label, "inhibition", True, "every neuron fires on its own")
        if layer.state_quant:
            self.refuse(label, "state_quant", layer.state_quant, "membranes are not quantised")
        self.require_heaviside(layer, label)
        self.require_zero_reset(layer, label)
        graded = self.per_neuron(layer.graded_spikes_factor, label, "graded_spikes_factor", shape)
        if np.any(graded != 1):
            self.refuse(label, "graded_spikes_factor", float(graded[graded != 1][0]), "spikes are 1")
        beta = self.per_neuron(layer.beta.detach().clamp(0, 1), label, "beta", shape)
        threshold = self.per_neuron(layer.threshold, label, "threshold", shape)
        if not layer.reset_delay and not np.all(threshold >= 0):
            raise ValueError(
                f"{label}: reset_delay=False with a threshold below 0 (or NaN) has no exact "
                "equivalent in the simulator (snnTorch then resets such neurons again at the next step)"
            )
        node = LIF(
            tau=_convert.time_constants_for_decays(beta, label),
            v_threshold=_convert.inclusive_thresholds(threshold),
        )
        return node, shape

    def require_heaviside(self, layer, label):
        """snnTorch's surrogates all spike where mem - threshold > 0 in the forward pass; a
        function from elsewhere may not."""
        function = layer.spike_grad
        if function is self.snntorch.SpikingNeuron._surrogate_bypass:  # surrogate_disable=True
            return
        if getattr(function, "__module__", None) != "snntorch.surrogate":
            raise ValueError(
                f"{label}: spike_grad {function!r} is not from snntorch.surrogate, so its forward "
                "pass is unknown (assign one of snntorch.surrogate's, whose forward pass is the "
                "step mem - threshold > 0, before converting)"
            )

    def per_neuron(self, tensor, label: str, what: str, shape: tuple) -> np.ndarray:
        """A per-neuron parameter as one float32 value per neuron, flattened in C order."""
        batched = (1, *shape)
        try:
            fits = self.torch.broadcast_shapes(tensor.shape, batched) == batched
        except RuntimeError:
            fits = False
        if not fits:
            raise ValueError(
                f"{label}: {what} of shape {tuple(tensor.shape)} is not one value or one per neuron "
                f"of samples of shape {shape}"
            )
        values = self.array(self.torch.broadcast_to(tensor.detach(), batched), label, what)
        return np.ascontiguousarray(values.reshape(-1))
