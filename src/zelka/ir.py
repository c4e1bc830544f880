"""The ZELKA graph IR: one dataclass per node kind and the `Graph` that wires them.

Every node kind carries its own attributes first and then the settings common to all
kinds (output shape, core placement, precision and the HLS type hints), which are
keyword-only.  Nodes compare by identity: they hold numpy arrays, for which a
field-wise ``==`` has no single truth value.
"""

from __future__ import annotations

import dataclasses
import inspect
import itertools
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, TypeVar

from zelka._ir import check_computed_layers, lif_choices, passed_through_computations, stable_order

if TYPE_CHECKING:
    from typing_extensions import dataclass_transform
else:

    def dataclass_transform(**_):
        """Marks a decorator that makes dataclasses, for type checkers (typing's from Python 3.11)."""
        return lambda decorator: decorator


@dataclass(eq=False, kw_only=True)
class _Settings:
    """The settings common to all kinds: keyword-only fields that follow each kind's own."""

    output_type: Any = None
    core_id: Any = 0
    precision: Any = None
    reuse_factor: Any = None
    weight_t: Any = None
    bias_t: Any = None
    accum_t: Any = None
    result_t: Any = None


_COMMON_FIELDS: tuple[tuple[str, Any], ...] = tuple(
    (f.name, f.default) for f in dataclasses.fields(_Settings)
)

# Type checkers see the common settings as fields of the base; _node_kind adds them to each kind.
if TYPE_CHECKING:
    _NodeBase = _Settings
else:
    _NodeBase = object


class Node(_NodeBase):
    """Base of every IR node kind."""

    def to_dict(self) -> dict:
        """The node's fields in declaration order, preceded by "type" (the kind's name)."""
        out = {"type": type(self).__name__}
        for f in dataclasses.fields(self):
            out[f.name] = getattr(self, f.name)
        return out


_Kind = TypeVar("_Kind", bound=type)


@dataclass_transform(eq_default=False, field_specifiers=(field,))
def _node_kind(cls: _Kind) -> _Kind:
    """Turn a class body into a node dataclass whose common settings follow its own fields."""
    annotations = dict(inspect.get_annotations(cls))
    for name, default in _COMMON_FIELDS:
        annotations[name] = "Any"
        setattr(cls, name, field(default=default, kw_only=True))
    cls.__annotations__ = annotations
    dataclass(eq=False)(cls)  # in place
    return cls


@_node_kind
class Input(Node):
    """A stimulus port. `input_type` maps a port name to a shape, or is an array of dimensions."""

    input_type: Any = field(default_factory=dict)


@_node_kind
class Output(Node):
    """Reports the activation of its first predecessor."""


@dataclass(eq=False)
class _Dense(Node):
    weight: Any
    bias: Any = None


@_node_kind
class Affine(_Dense):
    """Dense layer: weight [out, in], optional bias [out]."""


@_node_kind
class SpikingAffine(_Dense):
    """Dense layer fed by spikes: weight [out, in], optional bias [out]."""


@dataclass(eq=False)
class _Convolution(Node):
    weight: Any
    bias: Any = None
    stride: Any = 1
    padding: Any = 0
    dilation: Any = 1
    groups: int = 1


@_node_kind
class Conv1d(_Convolution):
    """1-D convolution: weight [out_ch, in_ch, kW]; stride and padding integers."""


@_node_kind
class Conv2d(_Convolution):
    """2-D convolution: weight [out_ch, in_ch, kH, kW]; stride and padding an integer or a pair."""


@_node_kind
class SepConv2d(Node):
    """Depthwise-separable 2-D convolution: depthwise [in_ch, 1, kH, kW], pointwise [out_ch, in_ch, 1, 1]."""

    depthwise_weight: Any
    pointwise_weight: Any
    bias: Any = None
    stride: Any = 1
    padding: Any = 0


@dataclass(eq=False)
class _Pooling(Node):
    kernel_size: Any = (2, 2)
    stride: Any = ()
    padding: Any = (0, 0)


@_node_kind
class MaxPool2d(_Pooling):
    """2-D max pooling; an empty stride means a stride equal to the kernel."""


@_node_kind
class AvgPool2d(_Pooling):
    """2-D average pooling; an empty stride means a stride equal to the kernel."""


@dataclass(eq=False)
class _BatchNorm(Node):
    num_features: int
    running_mean: Any = None
    running_var: Any = None
    gamma: Any = None
    beta: Any = None
    eps: float = 1e-5


@_node_kind
class BatchNorm1d(_BatchNorm):
    """Batch normalisation over features."""


@_node_kind
class BatchNorm2d(_BatchNorm):
    """Batch normalisation over channels."""


# Fields added to a kind after graph files first stored it: zelka.io leaves them out of a file
# while they hold their defaults, so that such a graph's file reads as before.
_OMITTED_AT_DEFAULT = {"omitted_at_default": True}

LIF_CHOICES: dict[str, tuple[str, ...]] = {name: tuple(values) for name, values in lif_choices()}
"""The values of a LIF node's reset and fire fields, the default first, as the simulator names them."""


@_node_kind
class LIF(Node):
    """Leaky integrate-and-fire neurons; `v_threshold` is an array whose first dimension is the neuron count.

    Each step the simulator updates the n = ``v_threshold.shape[0]`` membranes (``tau``,
    ``v_threshold`` and ``v_leak`` give one value per neuron or one for all), in the element
    type of the arrays:

    1. leak: ``decay = 1 - 1/tau``; ``mem = decay * (mem - v_leak) + v_leak``;
    2. integrate: when the input (the sum of the predecessors' values) has at least n values,
       ``mem += input[:n]`` (gain 1); a shorter input adds nothing;
    3. ``mem`` is saturated to the precision (``"fp32"`` by default);
    4. fire: ``spikes = (mem >= v_threshold)`` as float32 zeros and ones, the node's value
       (``mem > v_threshold`` with ``fire=">"``);
    5. reset: the neurons that fired are set to ``v_leak``.

    Membranes start at 0 (float32 zeros).  ``r`` is not used by the simulator: the input is
    added as it is.  For example one neuron with ``tau=2`` (decay 0.5), ``v_threshold=1`` and
    ``v_leak=0``, fed 0.6 every step, holds 0.6 after step 1 (0 + 0.6), 0.9 after step 2
    (0.3 + 0.6), and reaches 1.05 in step 3 (0.45 + 0.6): it fires and is reset to 0.

    ``reset`` chooses what happens after a neuron fires:

    - ``"v_leak"`` (the default): step 5 above;
    - ``"subtract"``: no step 5; instead, a step that starts from a membrane that fires
      (``mem >= v_threshold``, or ``>`` with ``fire=">"``: the neuron fired at the previous
      step, or the initial 0 is above a negative threshold) takes ``v_threshold`` off after
      its leak and input, before saturating: ``mem = decay * (mem - v_leak) + v_leak +
      input - v_threshold``.  This is snnTorch's ``Leaky`` with ``reset_mechanism="subtract"``
      (which fires where ``mem > threshold``: ``fire=">"``).  The neuron above, with
      ``reset="subtract"``, fires at step 3 holding 1.05, starts step 4 above threshold and
      holds 0.525 + 0.6 - 1 = 0.125; step 5 gives 0.0625 + 0.6 = 0.6625 again without
      subtracting;
    - ``"none"``: the membrane is left as it is (it fires again as long as it stays above).

    ``fire`` is the comparison that fires a neuron: ``">="`` (the default) or ``">"``.
    """

    tau: Any
    v_threshold: Any
    v_leak: Any = 0.0
    r: Any = 1.0
    reset: str = field(default=LIF_CHOICES["reset"][0], metadata=_OMITTED_AT_DEFAULT)
    fire: str = field(default=LIF_CHOICES["fire"][0], metadata=_OMITTED_AT_DEFAULT)


@dataclass(eq=False)
class _Activation(Node):
    features: int = 0


@_node_kind
class ReLU(_Activation):
    """Rectifier; a non-zero `negative_slope` makes it leaky."""

    negative_slope: float = 0.0


@_node_kind
class Sigmoid(_Activation):
    """Logistic activation."""


@_node_kind
class Tanh(_Activation):
    """Hyperbolic tangent activation."""


@_node_kind
class Softmax(_Activation):
    """Softmax over `axis`."""

    axis: int = -1


@_node_kind
class GELU(_Activation):
    """Gaussian error linear unit."""


@_node_kind
class ELU(_Activation):
    """Exponential linear unit."""

    alpha: float = 1.0


@_node_kind
class PReLU(_Activation):
    """Rectifier with learned per-channel negative slopes."""

    slope: Any = None


@_node_kind
class LayerNorm(Node):
    """Layer normalisation over the trailing `normalized_shape`."""

    normalized_shape: Any = ()
    gamma: Any = None
    beta: Any = None
    eps: float = 1e-5


@_node_kind
class Dropout(Node):
    """Dropout (identity at inference)."""

    p: float = 0.5


@_node_kind
class HybridRegion(Node):
    """A sub-graph run in another computing domain (spiking or conventional)."""

    subgraph: Any = None
    domain: str = "spiking"


@_node_kind
class Skip(Node):
    """Skip (residual) connection; its inputs are combined by `mode`."""

    mode: str = "add"


@_node_kind
class Upsample(Node):
    """Upsampling by `scale_factor`."""

    scale_factor: Any = 2
    mode: str = "nearest"


@_node_kind
class Flatten(Node):
    """Flattens its input from `start_dim` on."""

    start_dim: int = 0


NODE_KINDS = tuple(
    cls
    for name, cls in list(globals().items())
    if isinstance(cls, type) and issubclass(cls, Node) and not name.startswith("_") and cls is not Node
)
"""Every node kind, in the order of their definitions."""


def _stable_order(names: list, edges: Iterable) -> tuple[list, dict, bool]:
    """Kahn's algorithm with ties broken by node position; cycles are broken at the earliest remaining node."""
    return stable_order(names, edges)


def _declared_shape(node: Input) -> tuple | None:
    """The shape an Input declares (its input_type's first value, or an array of dimensions)."""
    import numpy as np

    declared = node.input_type
    if isinstance(declared, Mapping) and declared:
        declared = next(iter(declared.values()))
    elif not isinstance(declared, np.ndarray):
        return None
    return np.zeros(declared, dtype=np.float32).shape


def _shape_problems(graph: Graph) -> list[str]:
    """Where the simulator would drop or cut values, found by following the Inputs' declared
    shapes through the graph step by step until no shape changes (back edges deliver the
    previous step's value, as in the simulator)."""
    from math import prod

    import numpy as np

    order, predecessors, _ = _stable_order(list(graph.nodes), graph.edges)
    shapes: dict = {}
    problems: dict = {}  # ordered, without repeats
    for _ in range(len(order) + 1):
        before = dict(shapes)
        for name in order:
            node = graph.nodes[name]
            kind = type(node).__name__
            if isinstance(node, Input):
                shapes[name] = _declared_shape(node)
                continue
            given = [(p, shapes[p]) for p in predecessors[name] if p in shapes]
            if isinstance(node, Output):
                if predecessors[name] and predecessors[name][0] in shapes:
                    shapes[name] = shapes[predecessors[name][0]]
                continue
            if not given:
                continue
            known = [shape for _, shape in given if shape is not None]
            if len(known) < len(given):
                shape = None
            else:
                shape = known[0]
                if any(other != shape for other in known[1:]):
                    listed = ", ".join(f"{p!r} {s}" for p, s in given)
                    problems[f"{kind} {name!r} sums inputs of different shapes: {listed}"] = None
            if isinstance(node, Affine):
                weight = getattr(node, "weight", None)
                if shape is not None and isinstance(weight, np.ndarray) and weight.ndim == 2:
                    length = prod(shape)
                    if length == weight.shape[1]:
                        shape = (weight.shape[0],)
                    else:
                        problems[
                            f"Affine {name!r}: input of {length} values (shape {shape}) for a weight "
                            f"of shape {weight.shape}, which takes {weight.shape[1]}"
                        ] = None
                        shape = (length,)
                else:
                    shape = None
            elif isinstance(node, LIF):
                threshold = getattr(node, "v_threshold", None)
                neurons = threshold.shape[0] if isinstance(threshold, np.ndarray) and threshold.ndim else None
                if shape is not None and neurons is not None and shape != (neurons,):
                    problems[f"LIF {name!r}: input of shape {shape} for {neurons} neurons"] = None
                shape = None if neurons is None else (neurons,)
            shapes[name] = shape
        if shapes == before:
            break
    return list(problems)


_LAYER_CHOICES = ("pass_through", "computed")


def _checked_layers(layers: Any) -> str:
    if not (isinstance(layers, str) and layers in _LAYER_CHOICES):
        raise ValueError(f"Graph layers must be 'pass_through' or 'computed', got {layers!r}")
    return layers


def _passed_through(graph: Graph) -> list[str]:
    """The nodes of a pass-through graph that pass through what a computed graph computes."""
    kinds = set(passed_through_computations())
    return [
        f'{type(node).__name__} {name!r} passes its input through: layers="computed" computes it'
        for name, node in graph.nodes.items()
        if type(node).__name__ in kinds
    ]


class Graph:
    """A graph of named nodes.

    ``Graph(nodes, edges)`` takes the nodes as a mapping or as (name, node) pairs and the
    edges as (src, dst) pairs.  Edges are not checked on construction, so that the
    backends' validation sees a graph exactly as it was given; call :meth:`check` (or pass
    ``check=True``) to reject edges that name unknown nodes, and ``check(shapes=True)`` (or
    ``check="shapes"``) to also reject layers whose shapes do not fit together.

    ``layers`` says what the simulator does with convolutions, pooling, normalisation,
    activations and flattening: ``"pass_through"`` (the default) passes their input through
    unchanged; ``"computed"`` computes them as PyTorch does in eval mode and refuses, before a
    run, whatever it cannot compute exactly.
    """

    def __init__(
        self,
        nodes: Mapping[str, Node] | Iterable[tuple[str, Node]] = (),
        edges: Iterable[tuple[str, str]] = (),
        cyclic_config: dict | None = None,
        *,
        check: bool | str = False,
        layers: str = "pass_through",
    ):
        self.nodes: dict[str, Node] = dict(nodes.items() if isinstance(nodes, Mapping) else nodes)
        self.edges: list = list(edges)
        self.cyclic_config = cyclic_config
        self.layers = _checked_layers(layers)
        if check not in (False, True, "shapes"):
            raise ValueError(f"check must be False, True or 'shapes', got {check!r}")
        if check:
            self.check(shapes=check == "shapes")

    @classmethod
    def sequential(
        cls, *named_nodes: tuple[str, Node], cyclic_config: dict | None = None, layers: str = "pass_through"
    ) -> Graph:
        """A chain: each node feeds the next, in the order given."""
        names = [name for name, _ in named_nodes]
        return cls(named_nodes, list(itertools.pairwise(names)), cyclic_config, layers=layers)

    def add(self, name: str, node: Node, *, after: str | Iterable[str] = ()) -> Graph:
        """Add a node, with edges from the node(s) named in `after`; returns the graph."""
        if name in self.nodes:
            raise ValueError(f"Graph already has a node named {name!r}")
        self.nodes[name] = node
        for src in [after] if isinstance(after, str) else after:
            self.edges.append((src, name))
        return self

    def connect(self, src: str, dst: str) -> Graph:
        """Add the edge src -> dst; returns the graph."""
        self.edges.append((src, dst))
        return self

    def check(self, *, shapes: bool = False) -> Graph:
        """Raise ValueError if an edge is not a pair or names a node the graph does not have,
        or a LIF node's ``reset`` or ``fire`` is not one of the values the simulator knows.

        With ``shapes=True`` it also follows the Inputs' declared shapes through the graph as
        the CPU simulator would and raises one ValueError listing every place where the
        simulator would quietly drop or cut values: an Affine whose input length is not its
        weight's column count (the simulator passes such an input through unchanged), a LIF
        whose input is not one value per neuron (it would use the leading values only, or none)
        and a node fed by predecessors of different shapes (it would drop all but those shaped
        like the first).  Shapes an Input does not declare are not checked.

        In a pass-through graph it also names every node that passes through what a computed
        graph computes (convolutions, pooling, normalisation, activations, flattening).  In a
        computed graph it follows the shapes through the computed layers and lists whatever
        the simulator would refuse: kinds with no computation, inputs that do not fit a layer,
        settings PyTorch's layer does not have.
        """
        for edge in self.edges:
            if len(edge) != 2:
                raise ValueError(f"Edge {edge!r} must be a (src, dst) pair")
            for end in edge:
                if end not in self.nodes:
                    raise ValueError(f"Edge {tuple(edge)!r} names unknown node {end!r}")
        for name, node in self.nodes.items():
            if isinstance(node, LIF):
                for setting, values in LIF_CHOICES.items():
                    value = getattr(node, setting)
                    if not isinstance(value, str) or value not in values:
                        choices = ", ".join(map(repr, values[:-1])) + f" or {values[-1]!r}"
                        raise ValueError(f"LIF node {name!r}: {setting} must be {choices}, got {value!r}")
        if shapes and self.layers == "computed":
            check_computed_layers(self)
        elif shapes:
            problems = _shape_problems(self) + _passed_through(self)
            if problems:
                raise ValueError("Graph shapes do not fit:\n" + "\n".join(f"- {p}" for p in problems))
        return self

    @property
    def is_dag(self) -> bool:
        """True when the edges between the graph's nodes form no cycle."""
        return _stable_order(list(self.nodes), self.edges)[2]

    def __repr__(self) -> str:
        layers = ", layers='computed'" if self.layers == "computed" else ""
        return f"Graph({len(self.nodes)} nodes, {len(self.edges)} edges{layers})"


__all__ = [cls.__name__ for cls in NODE_KINDS] + ["Graph", "Node", "NODE_KINDS"]
