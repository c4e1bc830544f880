"""Graph utilities of the CPU backend: execution order and value saturation."""

from zelka._ir import stable_order
from zelka.backend.cpu._saturate import saturate


def build_execution_context(graph):
    """Return (exec_order, predecessors, is_dag) for `graph`.

    `exec_order` is a stable topological order: Kahn's algorithm with ties broken by the
    order of ``graph.nodes``; when only cycles remain, the earliest remaining node in that
    order goes next, so every node appears exactly once.  `predecessors[name]` lists the
    sources of the edges into `name` in edge order, with a key for every node.
    """
    return stable_order(list(graph.nodes), graph.edges)


__all__ = ["build_execution_context", "saturate"]
