"""The HLS headers that ship with the package (``zelka/backend/fpga/hls``) and the projects'
copies of them.

Both FPGA projects keep them in ``firmware/nnet_utils`` (FOLDER): build_bitstream's project
the neuron models (HEADERS), written by `write_templates`, where ``parameters.h`` includes
``complex_lif.h``; write_snn_project's project the headers its firmware includes
(SNN_HEADERS).
"""

import os
from importlib import resources

from zelka import _io

FOLDER = "firmware/nnet_utils"
HEADERS = ("if_model.h", "lif_model.h", "lif_subtractive_model.h", "complex_lif.h")
SNN_HEADERS = ("complex_lif.h", "dense_adapter.h", "lif_model.h", "lif_neurons.h")


def header_bytes(name):
    """The content of the package's header `name`."""
    return resources.files(__package__).joinpath("hls", name).read_bytes()


def write_templates(output_dir):
    """Write the four headers into `output_dir`/firmware/nnet_utils and return their paths in
    the order of HEADERS.

    All four are written to temporary files first and renamed into place only when every one
    of them is complete, so a failure leaves no header half written.
    """
    folder = os.path.join(output_dir, FOLDER)
    _io.write_files(folder, [(name, header_bytes(name)) for name in HEADERS])
    return [os.path.join(folder, name) for name in HEADERS]
