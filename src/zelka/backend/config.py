"""Configuration and result records shared by the backends."""

from dataclasses import dataclass, field
from typing import Any


@dataclass
class CompileConfig:
    """How a graph is compiled: numeric format, execution mode (None: derived from the graph) and goal."""

    target_precision: str = "fp32"
    execution_mode: str | None = None
    optimize_for: str = "latency"


@dataclass
class ValidationResult:
    """Outcome of checking a graph against a backend."""

    is_valid: bool = True
    errors: list = field(default_factory=list)
    warnings: list = field(default_factory=list)
    unsupported_nodes: list = field(default_factory=list)


@dataclass
class BackendCapabilities:
    """What a backend accepts: node kinds, graph size, precisions, cycles and per-kind limits."""

    supported_primitives: list = field(default_factory=list)
    max_graph_size: int = 0
    supported_precisions: list = field(default_factory=list)
    supports_cyclic: bool = False
    primitive_constraints: dict = field(default_factory=dict)


@dataclass
class NeuronConfig:
    """One compute node placed on a core."""

    node_name: str = ""
    node_type: str = ""
    core_id: Any = 0
    precision: Any = "fp32"
    parameters: dict = field(default_factory=dict)


@dataclass
class HardwareDescriptor:
    """A compiled graph laid out by core: neuron configurations, weight tables and schedule."""

    metadata: dict = field(default_factory=dict)
    neuron_configs: dict = field(default_factory=dict)
    weight_tables: dict = field(default_factory=dict)
    execution_schedule: dict = field(default_factory=dict)
