"""zelka: simulation, profiling and FPGA compilation of spiking and conventional neural-network graphs."""

__version__ = "0.1.0"
