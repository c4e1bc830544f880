"""The FPGA backend: hls4ml configuration, HLS headers and project generation."""
