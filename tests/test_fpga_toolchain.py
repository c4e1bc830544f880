"""The generated project against the real toolchain: parameters.h and the neuron-model headers
compile against hls4ml's HLS headers, the LIF layer of complex_lif.h spikes as the CPU simulator
does, and build.py converts a PyTorch model with hls4ml into a C simulation that predicts what
PyTorch does.  Skipped only where g++, hls4ml or PyTorch is missing (CI installs them)."""

import ctypes
import importlib.util
import os
import re
import shutil
import subprocess
import sys
from collections import OrderedDict

import numpy as np
import pytest

from tests.test_fpga_config import network
from zelka.backend.fpga import cfgsmith, templates
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU

HLS4ML = importlib.util.find_spec("hls4ml")
needs_gxx = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
needs_hls4ml = pytest.mark.skipif(HLS4ML is None, reason="needs hls4ml")
needs_torch = pytest.mark.skipif(importlib.util.find_spec("torch") is None, reason="needs PyTorch")


def hls_include_flags():
    """hls4ml's own nnet_utils and ap_types headers, from its installed package."""
    vivado = os.path.join(os.path.dirname(HLS4ML.origin), "templates", "vivado")
    return ["-I", vivado, "-I", os.path.join(vivado, "ap_types")]


def compile_cpp(source, *flags):
    command = ["g++", "-std=c++14", *hls_include_flags(), *flags, str(source)]
    result = subprocess.run(command, check=False, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@needs_gxx
@needs_hls4ml
def test_parameters_h_of_every_templated_kind_compiles(tmp_path):
    # every kind parameters.h has a block for, those the FPGA backend refuses included
    graph = network()
    graph.nodes["conv2"].bias_t, graph.nodes["conv2"].accum_t = "ap_fixed<12,4>", "ap_fixed<32,12>"
    header = cfgsmith.generate_parameters_h(graph)
    templates.write_templates(str(tmp_path / "prj"))
    (tmp_path / "prj" / "firmware" / "parameters.h").write_text(header)
    for kind in ("dense", "conv2d", "lif", "pooling2d", "batchnorm", "activ"):
        assert f": nnet::{kind}_config {{" in header
    lif = re.search(r"struct (config\d+) : nnet::lif_config", header).group(1)
    source = tmp_path / "prj" / "firmware" / "check.cpp"
    source.write_text(
        '#include "parameters.h"\n#include "nnet_utils/if_model.h"\n#include "nnet_utils/lif_subtractive_model.h"\n'
        f"template void nnet::lif<model_default_t, ap_uint<1>, {lif}>(bool, model_default_t*, ap_uint<1>*);\n"
        "template void nnet::if_step<model_default_t, model_default_t, ap_uint<1>, 4>("
        "model_default_t*, model_default_t*, ap_uint<1>*, model_default_t, model_default_t);\n"
        "template void nnet::lif_subtractive_step<model_default_t, ap_fixed<18, 2>, model_default_t, ap_uint<1>, 4>("
        "model_default_t*, model_default_t*, ap_uint<1>*, ap_fixed<18, 2>, model_default_t, model_default_t);\n"
    )
    compile_cpp(source, "-fsyntax-only")


NEURONS, STEPS = 16, 300

BENCH = """\
// Runs the LIF layer of complex_lif.h, configured by parameters.h's config1, on input sequences
// read from standard input (a step count, then one value per neuron); prints one line of spikes
// per step.  The first step of each sequence resets the membranes.
#include <iostream>

#include "parameters.h"

int main() {
  typedef model_default_t input_t;
  int steps;
  while (std::cin >> steps) {
    input_t input[config1::n_in];
    for (unsigned i = 0; i < config1::n_in; i++) {
      double value;
      std::cin >> value;
      input[i] = value;
    }
    for (int t = 0; t < steps; t++) {
      ap_uint<1> spikes[config1::n_out];
      nnet::lif<input_t, ap_uint<1>, config1>(t == 0, input, spikes);
      for (unsigned i = 0; i < config1::n_out; i++) std::cout << (spikes[i] ? '1' : '0');
      std::cout << '\\n';
    }
  }
}
"""


def lif_network():
    return Graph.sequential(
        ("in", Input(input_type={"input": (NEURONS,)})),
        ("lif", LIF(np.full(NEURONS, 20.0, np.float32), np.ones(NEURONS, np.float32))),
        ("out", Output()),
    )


@pytest.fixture(scope="session")
def lif_bench(tmp_path_factory):
    """The test bench, compiled once for the session against the project written for lif_network()."""
    if shutil.which("g++") is None or HLS4ML is None:
        pytest.skip("needs g++ and hls4ml")
    prj = tmp_path_factory.mktemp("lif") / "prj"
    get_backend("fpga").build_bitstream(lif_network(), str(prj), io_type="io_parallel", write_to_disk=True)
    (prj / "bench.cpp").write_text(BENCH)
    compile_cpp(prj / "bench.cpp", "-O1", "-I", str(prj / "firmware"), "-o", str(prj / "bench"))
    return prj / "bench"


def stimuli(seed):
    """A constant input per neuron, a multiple of 2^-10 in [0, 0.2]: exactly what the layer's
    input type ap_fixed<16,6> holds, so that the bench and the simulator see the same input."""
    return (np.random.default_rng(seed).integers(0, 205, NEURONS) / 1024).astype(np.float32)


def closest_approach(x):
    """How close any membrane comes to the threshold 1.0 over the run, computed in float64."""
    v, closest = np.zeros(NEURONS), np.inf
    for _ in range(STEPS):
        v = 0.95 * v + x
        closest = min(closest, np.abs(v - 1.0).min())
        v[v >= 1.0] = 0.0
    return closest


def test_the_lif_layer_spikes_as_the_simulator_does(lif_bench):
    # The layer's membrane type (ap_fixed<32,8>, round to nearest) is exact to 2^-25 per
    # operation, so it strays from the float32 simulator by about 1e-6 at most over a run (the
    # leak 0.95 damps old errors).  The inputs keep every membrane at least 1e-4 away from the
    # threshold, so both must fire at exactly the same steps: the spike trains must be equal.
    seeds = [1, 2, 3]
    inputs = [stimuli(seed) for seed in seeds]
    assert all(closest_approach(x) > 1e-4 for x in inputs)
    stdin = "".join(f"{STEPS} " + " ".join(repr(float(v)) for v in x) + "\n" for x in inputs)
    run = subprocess.run([str(lif_bench)], input=stdin, capture_output=True, text=True, check=True)
    lines = run.stdout.split()
    assert len(lines) == STEPS * len(seeds)
    cpu = get_backend("cpu")
    for k, x in enumerate(inputs):
        bench = np.array([[c == "1" for c in line] for line in lines[k * STEPS : (k + 1) * STEPS]])
        states = cpu.simulate(lif_network(), {"in": x}, n_steps=STEPS, step_by_step=True).node_states
        simulated = np.array([state["lif"] for state in states]) == 1.0
        assert simulated.sum() > 100  # the comparison covers many spikes
        np.testing.assert_array_equal(bench, simulated)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def c_simulation(project, inputs, n_out):
    """The predictions of the C simulation library hls4ml compiled into `project`/firmware, called
    through the float entry point of its bridge, one sample at a time."""
    (library,) = (project / "firmware").glob("myproject-*.so")
    predict = ctypes.CDLL(str(library)).myproject_float
    predict.argtypes = [ctypes.POINTER(ctypes.c_float)] * 2
    out = np.zeros((len(inputs), n_out), np.float32)
    for x, y in zip(np.ascontiguousarray(inputs), out, strict=True):
        predict(x.ctypes.data_as(predict.argtypes[0]), y.ctypes.data_as(predict.argtypes[1]))
    return out


@needs_gxx
@needs_hls4ml
@needs_torch
def test_build_py_converts_a_pytorch_model_whose_c_simulation_predicts_as_pytorch(tmp_path, monkeypatch):
    import torch

    torch.manual_seed(0)
    layers = [("fc1", torch.nn.Linear(16, 8)), ("relu1", torch.nn.ReLU()), ("fc2", torch.nn.Linear(8, 4))]
    model = torch.nn.Sequential(OrderedDict(layers)).eval()  # layer names as the graph's node names
    weights = {name: p.detach().numpy() for name, p in model.named_parameters()}
    graph = Graph.sequential(
        ("x", Input(input_type={"input": (16,)})),
        ("fc1", Affine(weights["fc1.weight"], weights["fc1.bias"], reuse_factor=2)),
        ("relu1", ReLU(8)),
        ("fc2", Affine(weights["fc2.weight"], weights["fc2.bias"])),
        ("out", Output()),
    )
    monkeypatch.chdir(tmp_path)
    result = get_backend("fpga").build_bitstream(graph, "prj", write_to_disk=True, pytorch_model=model)
    assert "pytorch_model_save_error" not in result
    written = {path: read(path) for path in result["written_files"]}

    scratch = tmp_path / "scratch"  # hls4ml's OutputDir "prj" is relative to where build.py runs
    scratch.mkdir()
    build = subprocess.run([sys.executable, str(tmp_path / "prj" / "build.py")], cwd=scratch,
                           capture_output=True, text=True, check=False)  # fmt: skip
    assert build.returncode == 0, build.stdout + build.stderr
    assert "HLS model compiled successfully." in build.stdout
    assert all(read(path) == text for path, text in written.items())  # nothing overwritten

    hls_config = (scratch / "prj" / "firmware" / "parameters.h").read_text()
    assert "static const unsigned reuse_factor = 2;" in hls_config  # fc1's setting reached its layer
    x = np.random.default_rng(7).uniform(-1, 1, (64, 16)).astype(np.float32)
    with torch.no_grad():
        expected = model(torch.from_numpy(x)).numpy()
    predicted = c_simulation(scratch / "prj", x, 4)
    np.testing.assert_allclose(predicted, expected, rtol=0, atol=0.05)
