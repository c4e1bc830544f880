"""Graph utilities of the CPU backend: execution order and value saturation."""

# The execution order is compiled: the simulator looks it up here at every call.
from zelka._ir import build_execution_context
from zelka.backend.cpu._saturate import saturate

__all__ = ["build_execution_context", "saturate"]
