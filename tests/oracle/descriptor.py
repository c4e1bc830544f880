"""A plain transcription of the CPU backend's compile: the per-core hardware descriptor."""

import dataclasses

import numpy as np

from zelka.backend.config import CompileConfig, HardwareDescriptor, NeuronConfig
from zelka.backend.cpu import graph_utils
from zelka.ir import Input, Output


def compile(graph, config=None):
    if not config:
        config = CompileConfig()
    if config.execution_mode is None:
        config = dataclasses.replace(config, execution_mode="dag" if graph.is_dag else "cyclic")
    descriptor = HardwareDescriptor()
    descriptor.metadata = {
        "backend": "cpu",
        "execution_mode": config.execution_mode,
        "optimize_for": config.optimize_for,
        "num_nodes": len(graph.nodes),
        "num_edges": len(graph.edges),
    }
    compute = [(name, node) for name, node in graph.nodes.items() if not isinstance(node, (Input, Output))]
    for name, node in compute:
        core = getattr(node, "core_id", 0) or 0
        precision = getattr(node, "precision", None) or config.target_precision
        nc = NeuronConfig(node_name=name, node_type=type(node).__name__, core_id=core, precision=precision)
        params = node.to_dict()
        params.pop("type", None)
        nc.parameters = params
        descriptor.neuron_configs.setdefault(core, []).append(nc)
    for name, node in compute:
        table = descriptor.weight_tables.setdefault(getattr(node, "core_id", 0) or 0, {})
        if hasattr(node, "__dataclass_fields__"):
            for attr in node.__dataclass_fields__:
                value = getattr(node, attr, None)
                if isinstance(value, np.ndarray) and value.ndim >= 1:
                    table[f"{name}.{attr}"] = value
        else:
            for attr in ("weight", "bias"):
                value = getattr(node, attr, None)
                if isinstance(value, np.ndarray):
                    table[f"{name}.{attr}"] = value
    order, _, _ = graph_utils.build_execution_context(graph)
    schedule = {}
    for name in order:
        node = graph.nodes[name]
        if not isinstance(node, (Input, Output)):
            schedule.setdefault(getattr(node, "core_id", 0) or 0, []).append(name)
    descriptor.execution_schedule = {core: [names] for core, names in schedule.items()}
    return descriptor
