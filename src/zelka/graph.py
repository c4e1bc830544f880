"""Hardware limits that a backend advertises for the graphs it runs."""

from dataclasses import dataclass


@dataclass
class HardwareSpec:
    """Per-core limits of a target and the number of cores it has."""

    max_neurons_per_core: int = 0
    max_synapses_per_core: int = 0
    sram_bytes_per_core: int = 0
    max_fan_in: int = 0
    max_fan_out: int = 0
    num_cores: int = 1
