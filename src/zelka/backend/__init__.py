"""Backends of zelka: the CPU simulator and profiler, and the FPGA compiler.

``zelka.backend.run.run`` is the one-call entry; backends are found by name through
``zelka.backend.registry``.
"""
