"""Networks trained with PyTorch and snnTorch, as zelka graphs.

PyTorch and snnTorch are optional: they are imported when :func:`from_torch` runs
(``pip install "zelka[convert]"`` after installing the PyTorch build of your choice).
"""

from __future__ import annotations

import copy
import importlib
import inspect
import math
import operator
from dataclasses import dataclass, field

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
    Dropout,
    Flatten,
    Graph,
    Input,
    MaxPool2d,
    Node,
    Output,
    ReLU,
    Sigmoid,
    Tanh,
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


def from_torch(module, input_shape, *, input_name: str = "input", example_input=None) -> Graph:
    """The graph of a trained network, one node per layer that one step of its forward calls.

    **What is recorded.**  The network's ``forward`` is run once, on a copy of `module` in eval
    mode under ``torch.no_grad()`` (the network itself is left as it was), with `example_input`
    (any tensor ``forward`` takes; by default zeros of shape ``(1, *input_shape)``).  Forward
    hooks on its layers (the modules converted below, and every module without children;
    ``nn.Sequential`` and other containers are looked into) record which layer is called, in
    which order, and which value each call is fed: the network's input, the output of the
    call before it, or a value made in ``forward`` outside any layer.  snnTorch networks loop
    over their time steps inside ``forward``, so the calls repeat: the chain is one period of
    them, which must repeat unchanged to the end.  A layer without state called again in a
    step (one ``nn.ReLU`` after each layer) gets a node for each call, ``"relu"``, ``"relu_2"``,
    ...; a neuron layer, whose calls share its membranes, must be called once.  The
    graph is a chain: the first call of a step is fed the network's input (the example itself,
    or ``x[step]`` of an example of shape ``(steps, batch, *input_shape)``), and every other
    call the output (the spikes, for a neuron layer) of the call just before it.  The only
    value made outside a layer that is taken is a flatten of each sample (``x.view(batch,
    -1)``, ``x.flatten(1)``, ``x.reshape(batch, -1)``, told apart from other arithmetic by its
    being the same memory, laid out the same, unchanged since the layer made it): it becomes a
    ``Flatten`` node named ``"flatten_<next layer>"``.  Refused, with a ValueError naming the
    layers: a neuron layer called twice in one step, branches and joins (residuals, two
    layers fed the same value), any other value computed in ``forward`` (``x + y``,
    ``torch.relu(x)``, a slice), a membrane fed to a layer, and a neuron layer given a state
    that is not its own from the step before (or zeros at the first step).  This is what ``forward`` computes, not
    the order the layers were registered in; what it does with the last layer's output
    (stacking the steps' spikes, summing them) is not read.  ``nn.Identity`` layers are left
    out of the chain.

    Layers: ``nn.Linear`` (an ``Affine``; a layer without bias gets a float32 zero bias, which
    keeps the simulator's arithmetic in float32), ``nn.Conv1d``, ``nn.Conv2d``, ``nn.Flatten``,
    ``nn.AvgPool2d``, ``nn.MaxPool2d``, ``nn.BatchNorm1d``/``2d`` (with their running
    statistics, as in eval mode), ``nn.ReLU``, ``nn.Sigmoid``, ``nn.Tanh``, ``nn.Dropout``
    (a ``Dropout`` node, the identity at inference), snnTorch's ``Leaky`` (a ``LIF``) and
    ``RLeaky`` (a ``LIF`` and its recurrent ``Affine``), each as the IR kind of the same name.
    Parameters are copied as float32 numpy arrays; the network must be float32
    (``module.float()``).

    `input_shape` is the shape of one sample, without the batch axis: the graph starts with
    an ``Input`` node named `input_name` declaring it (``input_type={"input": input_shape}``)
    and ends with an ``Output`` node (``"output"``, or ``"output_1"``, ... when a layer has
    that name).  Layers are named by their attribute names (``"fc1"``; ``"net.0"`` inside a
    child container, ``"0"``, ``"1"``, ... for an ``nn.Sequential``; ``"0"`` for a `module`
    that is itself a layer).

    A ``Leaky`` layer becomes a LIF node of one neuron per value of its input (flattened in C
    order) whose spikes equal snnTorch's, bit for bit, when fed the same float32 currents and
    started from zero membranes:

    - ``beta`` (clamped to [0, 1] as snnTorch does, per neuron or shared, learned or not)
      becomes the float32 ``tau`` for which the simulator's decay ``1 - 1/tau`` (computed in
      float32) equals it exactly; beta 1 gives ``tau = inf`` (decay exactly 1).  Betas of 0.75
      and above always have one, most between 0.5 and 0.75 do, and below 0.5 only multiples
      of 2**-24 do; a ValueError names the layer otherwise.
    - The reset is the one snnTorch computes: the state update the layer was built with (and,
      where ``reset_delay=False`` applies a reset at once, the one ``reset_mechanism_val``
      names), not a ``reset_mechanism`` set after construction, which snnTorch does not read; a
      refusal names both when they disagree.
    - ``"subtract"`` (snnTorch's default) and ``"none"``: ``reset="subtract"`` or ``"none"``,
      ``fire=">"`` and ``v_threshold`` the threshold itself.  snnTorch subtracts the threshold
      where the membrane a step starts from exceeds it (the zero membrane of the first step
      too, below a negative threshold), after adding the step's input, as the simulator's
      rule does.  A subtracted threshold must be finite (snnTorch's ``0 * inf`` is NaN).
    - ``"zero"``: ``reset="v_leak"`` with ``v_leak=0`` and ``fire=">="``: ``v_threshold`` is
      the next float32 above the threshold.  snnTorch zeroes a neuron that fired at the start
      of the next step, before the leak; the simulator sets it to 0 at the end of the step;
      both then compute ``beta * 0 + input``.
    - ``reset_delay=False`` (the reset applied in the step that fires): exact for ``"none"``,
      and for ``"zero"`` while every threshold is at least 0 (then no neuron starts a step
      above its threshold, so snnTorch's delayed test never resets, whatever the state update);
      refused for ``"subtract"``, whose next step tests the reduced membrane again, and for
      ``"zero"`` below a threshold of 0.
    - Refused, with a ValueError naming the layer: graded spikes (``graded_spikes_factor``
      other than 1), ``inhibition``, ``state_quant``, and a ``spike_grad`` not from
      ``snntorch.surrogate`` (whose forward pass could be other than the step
      ``mem - threshold > 0``).

    An ``RLeaky`` layer becomes the same LIF node and an ``Affine`` node ``"<name>.recurrent"``
    fed by its spikes and feeding it back, an edge the simulator delivers one step late, as
    snnTorch adds ``recurrent(spikes of the step before)``: the recurrent ``nn.Linear``'s weight
    (``all_to_all=True`` with ``linear_features``), or the diagonal matrix of ``V`` (one-to-one,
    ``all_to_all=False``: one nonzero term per row, so each product is exact).  At the first
    step the recurrent edge has no value yet while snnTorch adds ``recurrent(0)``, the Linear's
    bias: the bias is therefore added to that of the ``nn.Linear`` feeding the layer (refused
    when another kind of layer feeds it, unless the bias is zero).  Convolutional recurrence
    and the ``"zero"`` reset with ``reset_delay=True`` (which zeroes the whole next step, its
    input included) are refused.  snnTorch sums ``(beta * mem + input) + recurrent`` while the
    simulator adds the sum of a node's inputs, ``input + recurrent``, to the leaked membrane:
    the membranes agree to rounding, and the spikes are identical where these sums are exact
    (weights, biases and inputs in multiples of a power of two such as 1/16, of moderate size)
    and may differ at a neuron whose membrane lies within rounding of its threshold.

    The graph's layers are computed (``layers="computed"``): the simulator computes its
    convolutions, pooling, normalisation, activations and flattening as PyTorch does, and
    ``graph.check(shapes=True)`` lists anything it would refuse.  It computes dense layers and
    convolutions with its own summation order, so their outputs agree with PyTorch's to
    floating-point rounding (exactly when the sums are exact): on float weights an occasional
    neuron at its threshold fires in one and not the other, and the spike trains of such a
    sample differ from that step on.

    Anything else is refused: a ValueError names the layer and its type (or the setting it
    cannot represent).  ImportError when PyTorch is not installed.
    """
    torch, snntorch = _import_torch()
    if not isinstance(module, torch.nn.Module):
        raise TypeError(f"module must be a torch.nn.Module, got {type(module).__name__}")
    if not isinstance(input_name, str):
        raise TypeError(f"input_name must be a str, got {type(input_name).__name__}")
    shape = _sample_shape(input_shape)
    example = _example_input(torch, example_input, shape)
    converter = _LayerConverter(torch, snntorch)
    recording = _CallRecorder(torch, converter).record(module, example, shape)
    chain = recording.chain()
    layer_names = {name for name, layer in chain if layer is not _FLATTEN}
    if input_name in layer_names:
        raise ValueError(f"input_name {input_name!r} is also the name of a layer; choose another")
    taken = layer_names | {input_name}
    nodes: dict[str, Node] = {input_name: Input(input_type={"input": shape})}
    edges = []
    previous = input_name
    for name, layer in chain:
        if layer is _FLATTEN:
            name = _unused(f"flatten_{name}", taken)
        elif name in nodes:  # a stateless layer called again in the step: a node of its own
            name = _unused(name, taken)
        node, shape, recurrent = converter.convert(name, layer, shape, nodes[previous])
        nodes[name] = node
        edges.append((previous, name))
        if recurrent is not None:
            back = _unused(f"{name}.recurrent", taken)
            nodes[back] = recurrent
            edges += [(name, back), (back, name)]  # the LIF comes first, so this edge is the back one
        previous = name
    recording.raise_failure()
    output_name = "output"
    suffix = 0
    while output_name in taken:
        suffix += 1
        output_name = f"output_{suffix}"
    nodes[output_name] = Output()
    edges.append((previous, output_name))
    return Graph(nodes, edges, layers="computed")


def _unused(name: str, taken: set) -> str:
    """`name`, or `name` with the first suffix "_2", "_3", ... that no node has; taken from now on."""
    candidate, suffix = name, 1
    while candidate in taken:
        suffix += 1
        candidate = f"{name}_{suffix}"
    taken.add(candidate)
    return candidate


def _sample_shape(input_shape) -> tuple:
    try:
        dims = tuple(operator.index(d) for d in input_shape)
    except TypeError:
        raise TypeError(f"input_shape must be a sequence of integers, got {input_shape!r}") from None
    if not dims or any(d < 1 for d in dims):
        raise ValueError(f"input_shape must be one or more positive sizes, got {input_shape!r}")
    return dims


def _example_input(torch, example_input, shape: tuple):
    """The tensor forward is called with: zeros of one sample by default."""
    if example_input is None:
        return torch.zeros((1, *shape), dtype=torch.float32)
    if not isinstance(example_input, torch.Tensor):
        raise TypeError(f"example_input must be a torch.Tensor, got {type(example_input).__name__}")
    if tuple(example_input.shape[1:]) != shape and tuple(example_input.shape[2:]) != shape:
        raise ValueError(
            f"example_input of shape {tuple(example_input.shape)} is neither (batch, *input_shape) "
            f"nor (steps, batch, *input_shape) for input_shape {shape}"
        )
    return example_input


# A flatten of each sample done by forward between two layers, in a chain of (name, layer)
# pairs: named after the layer it feeds.
_FLATTEN = object()


@dataclass
class _Source:
    """Where a value a layer is fed comes from: the call that made it (-1: the network's
    input), which of the values that call returned (None: the only one), and whether forward
    flattened each sample of it on the way."""

    call: int
    index: int | None = None
    flattened: bool = False


@dataclass
class _Call:
    """One call of a layer: its name, the module, what its first argument is (None: a value
    computed outside any layer) and, for a neuron layer, where each state argument it was given
    comes from ("zeros" for zeros made outside any layer, None for anything else)."""

    name: str
    layer: object
    source: _Source | None
    states: dict = field(default_factory=dict)
    tuple_of: int | None = None  # the call whose tuple of values the layer was fed


# The state arguments of snnTorch's neuron layers, by the position of that state among the
# values the layer returns.
_STATE_OUTPUTS = {"spk": 0, "mem": 1}


class _CallRecorder:
    """Runs forward once on a copy of the network, with hooks on its layers, and keeps each
    call of a layer and where the values it was fed come from."""

    def __init__(self, torch, converter) -> None:
        self.torch = torch
        self.converter = converter
        self.calls: list[_Call] = []
        self.made: dict[int, tuple] = {}  # id(tensor) -> (tensor, source, version)
        self.bases: list[tuple] = []  # (tensor, source, version) that a flatten may view
        self.pending: _Call | None = None
        self.failure: BaseException | None = None

    def record(self, module, example, shape: tuple) -> _CallRecorder:
        network = copy.deepcopy(module).eval()  # forward may change states and statistics
        example = example.clone()  # and its input, in place
        originals = dict(module.named_modules())
        if example.dim() == len(shape) + 2:  # (steps, batch, ...): forward reads x[step]
            for step in example:
                self.bases.append((step, _Source(-1), step._version))
        else:
            self.remember(example, _Source(-1))
        with self.torch.no_grad():
            for name, layer in self.layers(network):
                layer.register_forward_pre_hook(self.before(name or "0", originals[name]), with_kwargs=True)
                layer.register_forward_hook(self.after, with_kwargs=True)
            try:
                network(example)
            except Exception as error:  # a shape a layer cannot take is named by the converter
                if self.pending is None:
                    raise ValueError(
                        f"forward failed on example_input of shape {tuple(example.shape)} outside "
                        f"any layer: {type(error).__name__}: {error} (pass as example_input a "
                        "tensor forward takes)"
                    ) from error
                self.calls.append(self.pending)
                self.failure = error
        return self

    def layers(self, network) -> list:
        """(name, module) of each module to watch, looking into containers; each module once."""
        found, seen = [], set()

        def visit(name, module):
            if id(module) in seen:
                return
            seen.add(id(module))
            if self.converter.is_layer(module) or not module._modules:
                if type(module) is not self.torch.nn.Identity:  # forward returns its input itself
                    found.append((name, module))
                return
            for child_name, child in module._modules.items():
                if child is not None:
                    visit(f"{name}.{child_name}" if name else child_name, child)

        visit("", network)
        return found

    def before(self, name: str, original):
        def hook(layer, args, kwargs):
            try:
                bound = inspect.signature(layer.forward).bind(*args, **kwargs).arguments
            except TypeError:
                bound = {}
            values = list(bound.items())
            source = self.origin(values[0][1]) if values else None
            states = {
                key: self.state_origin(value)
                for key, value in values[1:]
                if key in _STATE_OUTPUTS and value is not None
            }
            self.pending = _Call(name, original, source, states)
            if values and isinstance(values[0][1], (tuple, list)) and values[0][1]:
                first = self.origin(values[0][1][0])
                self.pending.tuple_of = None if first is None else first.call

        return hook

    def after(self, layer, args, kwargs, output):
        call = len(self.calls)
        self.calls.append(self.pending)
        self.pending = None
        if isinstance(output, (tuple, list)):
            for index, value in enumerate(output):
                self.remember(value, _Source(call, index))
        else:
            self.remember(output, _Source(call))

    def remember(self, value, source: _Source):
        if isinstance(value, self.torch.Tensor):
            self.made[id(value)] = (value, source, value._version)
            self.bases.append((value, source, value._version))

    def state_origin(self, value):
        source = self.origin(value)
        if source is None and isinstance(value, self.torch.Tensor) and bool((value == 0).all()):
            return "zeros"
        return source

    def origin(self, value) -> _Source | None:
        """Where `value` comes from: a value a layer returned (or the input), unchanged since,
        or a flatten of each of its samples; None for anything else."""
        if not isinstance(value, self.torch.Tensor):
            return None
        made = self.made.get(id(value))
        if made is not None and made[0] is value:
            return made[1] if value._version == made[2] else None
        for base, source, version in reversed(self.bases):  # the layer that last returned it
            layout = self.view_of(value, base)
            if layout is not None and value._version == version:
                return _Source(source.call, source.index, source.flattened or layout == "flattened")
        return None

    @staticmethod
    def view_of(value, base) -> str | None:
        """ "same" when `value` is `base` seen again (same memory, shape and layout), "flattened"
        when it is each sample of `base` flattened in C order, else None."""
        if (
            value.dtype != base.dtype
            or value.device != base.device
            or value.numel() == 0
            or value.numel() != base.numel()
            or value.dim() < 1
            or base.dim() < 1
            or value.shape[0] != base.shape[0]
            or not (value.is_contiguous() and base.is_contiguous())
            or value.storage_offset() != base.storage_offset()
            or value.untyped_storage().data_ptr() != base.untyped_storage().data_ptr()
        ):
            return None
        if value.shape == base.shape:
            return "same"
        return "flattened" if value.dim() == 2 else None

    # ---- the chain

    def chain(self) -> list:
        """(name, layer) of one step's calls in order, _FLATTEN where forward flattens."""
        calls = self.calls
        if not calls:
            raise ValueError("forward called none of the network's layers on example_input")
        period = self.period()
        names = [call.name for call in calls[:period]]
        for call in calls[:period]:
            if names.count(call.name) > 1 and self.converter.keeps_state(call.layer):
                shown = " -> ".join(names[:12]) + (" -> ..." if len(names) > 12 else "")
                raise ValueError(
                    f"forward calls layer {call.name!r} {names.count(call.name)} times in one step "
                    f"({shown}): its calls share one state, which separate nodes do not (a step "
                    "is the run of calls that repeats; a layer called once before the loop over "
                    "the steps breaks the repetition)"
                )
        chain = []
        for position, call in enumerate(calls[:period]):
            if self.chained_source(position, call).flattened:
                chain.append((call.name, _FLATTEN))
            chain.append((call.name, call.layer))
        for position, call in enumerate(calls):
            self.require_own_states(position, call, period)
        return chain

    def period(self) -> int:
        """The number of calls of one step: the shortest run of calls, each fed by the same
        relative call, that repeats to the end (cut short by a failure: to the failing call)."""
        keys = [self.key(position, call) for position, call in enumerate(self.calls)]
        count = len(keys)
        for period in range(1, count + 1):
            if self.failure is None and count % period:
                continue
            if all(keys[i] == keys[i - period] for i in range(period, count)):
                return period
        return count

    @staticmethod
    def key(position: int, call: _Call) -> tuple:
        source = call.source
        if source is None:
            return (call.name, None)
        fed_by = "input" if source.call < 0 else position - source.call
        return (call.name, fed_by, source.index, source.flattened)

    def describe(self, call: _Call) -> str:
        source = call.source
        if call.tuple_of is not None and call.tuple_of >= 0:
            return (
                f"the tuple of values {self.calls[call.tuple_of].name!r} returns (an snnTorch layer "
                "returns its spikes alone with init_hidden=True and output=False, as nn.Sequential needs)"
            )
        if source is None:
            return (
                "a value computed in forward outside any layer (arithmetic such as x + y, a "
                "function such as torch.relu, a slice or a reshape other than a flatten of each "
                "sample, or a value changed in place), which the graph cannot compute"
            )
        if source.call < 0:
            return "the network's input"
        made_by = self.calls[source.call].name
        if source.index:
            return (
                f"value {source.index} (from 0) of those {made_by!r} returns, not its first (an "
                "snnTorch layer returns its spikes first, then its membrane)"
            )
        return f"the output of {made_by!r}"

    def chained_source(self, position: int, call: _Call) -> _Source:
        """Where a call of one step takes its value from, refused unless that is the network's
        input for the first call and the output of the call just before for the others."""
        source = call.source
        if position == 0:
            if source is None or source.call >= 0:
                raise ValueError(
                    f"layer {call.name!r}, the first layer forward calls in a step, is fed "
                    f"{self.describe(call)}, not the network's input"
                )
            return source
        before = self.calls[position - 1].name
        if source is None or source.call != position - 1 or source.index:
            raise ValueError(
                f"layer {call.name!r} is fed {self.describe(call)}; a chain feeds each layer the "
                f"output of the layer called before it ({before!r}), and forward's data flow (a "
                "residual, a branch or a join) is not a chain"
            )
        return source

    def require_own_states(self, position: int, call: _Call, period: int):
        for key, state in call.states.items():
            own = position >= period and state == _Source(position - period, _STATE_OUTPUTS[key])
            if own or (position < period and state == "zeros"):
                continue
            raise ValueError(
                f"layer {call.name!r} is given a {key} (at step {position // period + 1}) that is "
                f"not its own {key} of the step before (nor zeros at the first step): the graph's "
                "neurons keep their own state, from zero"
            )

    def raise_failure(self):
        """Raises forward's failure, now that the layers up to the failing one converted."""
        if self.failure is not None:
            raise ValueError(
                f"layer {self.calls[-1].name!r} failed when forward called it on example_input: "
                f"{type(self.failure).__name__}: {self.failure}"
            ) from self.failure


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
            self.nn.Tanh: self.tanh,
            self.nn.Dropout: self.dropout,
        }
        if snntorch is not None:
            self.kinds[snntorch.Leaky] = self.leaky
            self.kinds[snntorch.RLeaky] = self.rleaky
        self.kinds_and_identity = (*self.kinds, self.nn.Identity)

    def keeps_state(self, layer) -> bool:
        """True for snnTorch's neurons, whose membranes persist from call to call."""
        return self.snntorch is not None and isinstance(layer, self.snntorch.SpikingNeuron)

    def is_layer(self, module) -> bool:
        """A module whose calls are recorded as a whole: one of the converted kinds or a subclass
        of one (refused by name when called: it may compute something else)."""
        return isinstance(module, self.kinds_and_identity)

    def convert(self, name: str, layer, shape: tuple, feeding: Node):
        """The node of a layer fed by the node `feeding`, the shape of one sample after it, and
        the Affine node that feeds its spikes back to it one step later (None for most)."""
        if layer is _FLATTEN:  # done by forward
            return Flatten(start_dim=0), (math.prod(shape),), None
        # exact types: a subclass may compute something else in its forward
        method = self.kinds.get(type(layer))
        label = f"{type(layer).__name__} {name!r}"
        if method is None:
            supported = ", ".join(sorted(cls.__name__ for cls in self.kinds))
            raise ValueError(
                f"layer {name!r} is a {type(layer).__module__}.{type(layer).__qualname__}, which "
                f"zelka cannot convert (it converts {supported})"
            )
        if method == self.rleaky:
            return self.rleaky(layer, label, shape, feeding)
        node, shape = method(layer, label, shape)
        return node, shape, None

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

    def tanh(self, layer, label, shape):
        return Tanh(features=math.prod(shape)), shape

    def dropout(self, layer, label, shape):
        return Dropout(p=float(layer.p)), shape

    def leaky(self, layer, label, shape):
        return self.neurons(layer, label, shape), shape

    def rleaky(self, layer, label, shape, feeding: Node):
        recurrent = layer.recurrent
        one_to_one = importlib.import_module("snntorch._neurons.rleaky").RecurrentOneToOne
        if type(recurrent) is self.nn.Conv2d:
            self.refuse(
                label, "conv2d_channels", layer.conv2d_channels, "recurrence through a Linear or V only"
            )
        if type(recurrent) not in (self.nn.Linear, one_to_one):
            raise ValueError(
                f"{label}: its recurrent module is a {type(recurrent).__qualname__}, which zelka "
                "cannot convert (it converts an nn.Linear or snnTorch's one-to-one V)"
            )
        count = math.prod(shape)
        if len(shape) != 1:
            raise ValueError(
                f"{label}: takes samples of shape (neurons,), got {shape} (the recurrent Affine "
                "feeds back one value per neuron: put an nn.Flatten before it)"
            )
        node = self.neurons(layer, label, shape)
        if type(recurrent) is one_to_one:  # spikes * V: one nonzero term per row, exact
            v = self.per_neuron(self.torch.as_tensor(recurrent.V), label, "V", shape)
            if not np.all(np.isfinite(v)):
                raise ValueError(f"{label}: V must be finite (snnTorch's 0 * inf is NaN), got {v}")
            weight, bias = np.diag(v), np.zeros(count, np.float32)
        else:
            if shape != (recurrent.in_features,):
                raise ValueError(
                    f"{label}: its recurrent Linear takes {recurrent.in_features} spikes, got "
                    f"samples of shape {shape}"
                )
            weight = self.array(recurrent.weight, label, "recurrent weight")
            bias = self.bias(recurrent, label, count)
        if np.any(bias != 0):
            # snnTorch adds recurrent(0), the bias, from the first step, when the back edge has
            # no value yet: the layer feeding the neurons adds it instead, every step
            if type(feeding) is not Affine:
                raise ValueError(
                    f"{label}: its recurrent Linear has a bias, which snnTorch adds from the first "
                    "step on, before any spike comes back; zelka adds it to the bias of the "
                    f"nn.Linear feeding the layer, but a {type(feeding).__name__} node feeds it"
                )
            feeding.bias = feeding.bias + bias
        return node, shape, Affine(weight, np.zeros(count, np.float32))

    def neurons(self, layer, label, shape) -> LIF:
        """The LIF node of a Leaky or RLeaky layer."""
        if layer.inhibition:
            self.refuse(label, "inhibition", True, "every neuron fires on its own")
        if layer.state_quant:
            self.refuse(label, "state_quant", layer.state_quant, "membranes are not quantised")
        self.require_heaviside(layer, label)
        graded = self.per_neuron(layer.graded_spikes_factor, label, "graded_spikes_factor", shape)
        if np.any(graded != 1):
            self.refuse(label, "graded_spikes_factor", float(graded[graded != 1][0]), "spikes are 1")
        beta = self.per_neuron(layer.beta.detach().clamp(0, 1), label, "beta", shape)
        threshold = self.per_neuron(layer.threshold, label, "threshold", shape)
        rule = self.reset_rule(layer, label, threshold)
        tau = _convert.time_constants_for_decays(beta, label)
        if rule == "zero":
            return LIF(tau=tau, v_threshold=_convert.inclusive_thresholds(threshold))
        return LIF(tau=tau, v_threshold=threshold, reset=rule, fire=">")

    def reset_rule(self, layer, label, threshold: np.ndarray) -> str:
        """The simulator's reset rule that computes what snnTorch computes for the layer: "zero"
        (reset to v_leak, 0), "subtract" or "none".  A layer applies the reset of the state
        function chosen when it was built, and with ``reset_delay=False`` also the one
        ``reset_mechanism_val`` names, at the step a neuron fires; neither follows the
        ``reset_mechanism`` attribute set, or a state dict loaded, after construction."""
        cls = type(layer)
        update = getattr(layer.state_function, "__func__", None)
        resets = {cls._base_zero: "zero", cls._base_sub: "subtract", cls._base_int: "none"}
        computed = resets.get(update)
        stated = getattr(layer, "reset_mechanism", computed)
        note = ""
        if stated != computed:
            note = (
                f"; snnTorch computes the reset {computed!r} the layer was built with although "
                f"its reset_mechanism reads {stated!r}: setting it, or loading a state dict, after "
                "construction does not change the reset"
            )
        if computed is None:
            raise ValueError(
                f"{label}: its state_function {layer.state_function!r} is not one of snnTorch's resets"
            )
        immediate = "none"
        if not layer.reset_delay:
            immediate = list(self.snntorch.SpikingNeuron.reset_dict)[int(layer.reset_mechanism_val)]
        if immediate == "subtract" and computed == "subtract":
            raise ValueError(
                f"{label}: reset_delay=False with reset_mechanism 'subtract' has no exact equivalent "
                "in the simulator: snnTorch subtracts the threshold in the step a neuron fires and "
                "tests the reduced membrane again at the next step (use reset_delay=True)"
            )
        if immediate == "subtract":
            raise ValueError(
                f"{label}: with reset_delay=False snnTorch resets a neuron that fired by 'subtract' "
                f"at once (reset_mechanism_val) and by {computed!r} at the next step (the reset the "
                "layer was built with), a mix with no exact equivalent in the simulator" + note
            )
        if computed == "subtract" and not np.all(np.isfinite(threshold)):
            # with reset_delay=False and 'zero' at once it subtracts 0 * threshold every step
            raise ValueError(
                f"{label}: reset_mechanism 'subtract' with a threshold of {threshold[~np.isfinite(threshold)][0]} "
                "cannot be converted (snnTorch subtracts 0 * threshold, NaN, where no neuron fired)" + note
            )
        if immediate == "zero":
            # from thresholds of 0 up no neuron starts a step above its threshold (one that
            # fired was zeroed at once), so the state function never resets: the reset to zero
            if not np.all(threshold >= 0):
                raise ValueError(
                    f"{label}: reset_delay=False with a threshold below 0 (or NaN) has no exact "
                    "equivalent in the simulator (snnTorch then resets such neurons again at the "
                    "next step)" + note
                )
            return "zero"
        if computed == "zero" and cls is self.snntorch.RLeaky:
            raise ValueError(
                f"{label}: RLeaky's reset_mechanism 'zero' (with reset_delay=True) zeroes the whole "
                "step after a spike, its input and recurrent input too (base - reset * base), which "
                "no LIF reset rule computes; build it with reset_delay=False, or reset by "
                "'subtract' or 'none'" + note
            )
        return computed

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
