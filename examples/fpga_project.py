"""Write the FPGA project of the quickstart's network into a folder and list what was written:
parameters.h, the neuron-model headers, build.py, build_prj.tcl and hls4ml_config.json.

    python examples/fpga_project.py [FOLDER]     (default: a new temporary folder)

Then, on a machine with hls4ml and PyTorch, run build.py from inside that folder (see
docs/guide/hls.md, "The FPGA backend").
"""

import os
import sys
import tempfile

from quickstart import build_network

from zelka.backend.fpga.hlsbridge import BitstreamConfig
from zelka.backend.registry import get_backend


def main() -> None:
    folder = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else tempfile.mkdtemp(prefix="zelka_fpga_"))
    # The project is written by its name from the folder above it: hls4ml_config.json then
    # names a relative OutputDir, and build.py run inside the project puts hls4ml's own
    # project in a subfolder instead of over these files.
    parent, name = os.path.split(folder)
    os.makedirs(parent, exist_ok=True)
    os.chdir(parent)
    fpga = get_backend("fpga")
    graph = build_network()
    validation = fpga.validate(graph)
    if not validation.is_valid:
        raise SystemExit("the network does not fit the FPGA backend: " + "; ".join(validation.warnings))

    result = fpga.build_bitstream(
        graph,
        output_dir=name,
        project_name="quickstart",
        io_type="io_parallel",
        bitstream_config=BitstreamConfig(csim=True),
        write_to_disk=True,
    )
    print(f"FPGA project of the quickstart network in {folder}:")
    for path in result["written_files"]:
        print(f"  {os.path.relpath(path, name):<45} {os.path.getsize(path):>6} bytes")
    print(f"next: cd {folder} && python build.py  (needs hls4ml, PyTorch and a model.pt)")


if __name__ == "__main__":
    main()
