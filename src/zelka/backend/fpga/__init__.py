"""The FPGA backend: hls4ml configuration, HLS headers and project generation.

``csim(project_dir, inputs=None, *, n_steps=None, build_timeout=600.0, run_timeout=600.0)``
builds (once for each state of its sources) and runs the C simulation of a project written by
the fpga backend's ``write_snn_project``, on the stimulus written with it or on the samples
``inputs`` (as simulate_batch takes them), each stage bounded by its timeout (seconds, None: no
limit); it is the function of the compiled hlsbridge module, loaded on first use so that
importing this package does not load the backend.

``zelka.backend.fpga.rtl`` is the Verilog flow: ``write_rtl_project``, ``simulate_rtl`` (Verilator),
``synthesize`` (Yosys) and ``place_and_route`` (nextpnr-ecp5 and ecppack).
"""


def __getattr__(name):
    if name == "csim":
        from zelka.backend.fpga.hlsbridge import csim

        return csim
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
