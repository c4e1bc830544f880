"""HlsBridge.write_snn_project and zelka.backend.fpga.csim: the HLS project that runs a spiking
network one time step per call, checked by its own test bench against simulate.

The C simulations compile with g++ against hls4ml's headers; they are skipped only where
either is missing (CI installs hls4ml).  g++ builds four programs in all: one project holding
every test network side by side, the same project with AddressSanitizer, the dense adapter's
check and a few tiny fake test benches.
"""

import importlib.util
import os
import re
import shutil
import subprocess
import warnings
from pathlib import Path

import numpy as np
import pytest

from tests.snn_networks import SHAPES, add_network, networks, threshold_margin_holds
from tests.test_fpga_csim_stops import executable
from tests.test_fpga_project import snapshot
from zelka.backend.fpga import cfgsmith, csim, templates
from zelka.backend.fpga.vexal import VexalConfig, generate_tcl
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output, ReLU, SpikingAffine

HLS4ML = importlib.util.find_spec("hls4ml")
needs_hls4ml = pytest.mark.skipif(HLS4ML is None, reason="needs hls4ml")
needs_gxx = pytest.mark.skipif(shutil.which("g++") is None, reason="needs g++")
STEPS = 120
MARGIN = 1e-3  # far above the membrane's rounding, 2^-19 per step, accumulated over 1 / (1 - 15/16)


def fpga():
    return get_backend("fpga")


def small(**lif):
    """Input (4) -> Affine -> LIF (3) -> Output, with dyadic values."""
    weight = np.array([[0.5, 0.25, 0, 0], [0, 0.5, 0.5, 0], [0.25, 0, 0, 1]], np.float32)
    settings = {"tau": np.full(3, 4.0, np.float32), "v_threshold": np.ones(3, np.float32), **lif}
    return Graph.sequential(("x", Input(input_type={"input": (4,)})), ("fc", Affine(weight)),
                            ("lif", LIF(**settings)), ("y", Output()))  # fmt: skip


def stimulus():
    return {"x": np.array([1, 0.5, 0.75, 0.25], np.float32)}


def write(graph, folder, **settings):
    settings.setdefault("input_data", stimulus())
    return fpga().write_snn_project(graph, str(folder), settings.pop("project_name", "snn"), **settings)


# --- one project of many networks, compiled once ------------------------------------------


def exact_seeds():
    """The first dyadic network of every shape whose membranes keep MARGIN from their thresholds."""
    seeds = []
    for shape in SHAPES:
        for seed in range(SHAPES.index(shape), 200, len(SHAPES)):
            graph, stimuli = Graph(), {}
            add_network(graph, stimuli, seed, dyadic=True)
            if threshold_margin_holds(graph, stimuli, STEPS, MARGIN):
                seeds.append(seed)
                break
    return seeds


CONTINUOUS = range(100, 104)


@pytest.fixture(scope="session")
def written_project(tmp_path_factory):
    """The folder of the project of the exact networks and of four continuous ones, the LIF
    names of each network and the write result."""
    if HLS4ML is None or shutil.which("g++") is None:
        pytest.skip("needs hls4ml and g++")
    graph, stimuli, lifs = Graph(), {}, {}
    for seed in exact_seeds():
        lifs[seed] = add_network(graph, stimuli, seed, dyadic=True)
    for seed in CONTINUOUS:
        lifs[seed] = add_network(graph, stimuli, seed, dyadic=False)
    folder = tmp_path_factory.mktemp("snn") / "prj"
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        written = fpga().write_snn_project(graph, str(folder), "net", input_data=stimuli, n_steps=STEPS)
    return folder, lifs, written


@pytest.fixture(scope="session")
def simulated(written_project):
    """The LIF names of each network, the write result and the project's C simulation."""
    folder, lifs, written = written_project
    return lifs, written, csim(folder)


def test_networks_with_dyadic_values_and_threshold_margins_agree_at_every_step(simulated):
    lifs, _, result = simulated
    exact = {seed: names for seed, names in lifs.items() if seed not in CONTINUOUS}
    assert len(exact) == len(SHAPES)  # a network of every shape had its margins
    for names in exact.values():
        for name in names:
            assert result["steps_differing"][name] == 0, name
            assert result["spike_counts"][name] == result["reference_spike_counts"][name]
    assert sum(result["reference_spike_counts"][n] for names in exact.values() for n in names) > 1000


def test_networks_with_continuous_values_keep_their_spike_counts_within_the_measured_bound(simulated):
    # Weights, stimuli and decays rounded to ap_fixed<16,6> and every product truncated by
    # hls4ml's kernel shift some spikes by a step or more, so step-by-step agreement is not
    # guaranteed.  Measured over 30 such networks (benchmarks/snn_csim_agreement.py): 15 agree at
    # every step, at least 70.9% of network-steps agree, and no layer's spike count differs from
    # simulate's by more than 20.3%.
    lifs, _, result = simulated
    for seed in CONTINUOUS:
        for name in lifs[seed]:
            reference = result["reference_spike_counts"][name]
            assert reference > 0, name
            assert abs(result["spike_counts"][name] - reference) <= 0.25 * reference + 2, name


def test_the_report_covers_every_step_and_layer_of_the_written_project(simulated):
    lifs, written, result = simulated
    assert written["steps"] == result["steps"] == len(result["step_agreement"]) == STEPS
    assert result["reference_spike_counts"] == written["reference_spike_counts"]
    assert list(result["spike_counts"]) == list(written["reference_spike_counts"])
    assert sorted(result["spike_counts"]) == sorted(n for names in lifs.values() for n in names)
    assert result["steps_agreeing"] == sum(result["step_agreement"])
    assert result["agrees"] == (result["steps_agreeing"] == STEPS)
    assert result["build_seconds"] > 0


def test_the_test_bench_runs_other_data_files_and_refuses_those_that_do_not_fit(
    simulated, written_project, tmp_path
):
    folder, _, _ = written_project
    (program,) = (folder / "csim").iterdir()  # kept by the C simulation of the fixture
    stimulus = (folder / "tb_data" / "stimulus.dat").read_text()
    reference = (folder / "tb_data" / "reference_spikes.dat").read_text()
    default = subprocess.run([program], cwd=folder, capture_output=True, text=True, check=False)

    def bench(stimulus_text, reference_text=reference):
        (tmp_path / "s.dat").write_text(stimulus_text)
        (tmp_path / "r.dat").write_text(reference_text)
        return subprocess.run([program, tmp_path / "s.dat", tmp_path / "r.dat"], cwd=tmp_path,
                              capture_output=True, text=True, check=False)  # fmt: skip

    same = bench(stimulus)
    assert same.returncode == default.returncode and same.stdout == default.stdout
    assert "samples=1" in same.stdout
    for stimulus_text, reference_text, problem in [
        (stimulus.replace("input 1 values=15 shape=15", "input 1 values=14 shape=14"), reference,
         "is not a stimulus of this network's 12 inputs (15, 10, "),
        (stimulus[: stimulus.rindex("\n", 0, -1)], reference, "ends before the values of every sample"),
        (stimulus, reference.replace("steps=120", "steps=119", 1), "does not cover the samples and steps"),
        (stimulus, reference[: len(reference) // 2], "ends or holds a line that is no layer's spikes"),
    ]:  # fmt: skip
        run = bench(stimulus_text, reference_text)
        assert run.returncode == 2 and problem in run.stderr, run.stderr


def test_the_project_touches_no_memory_outside_its_arrays(written_project, tmp_path):
    # AddressSanitizer only: UndefinedBehaviorSanitizer reports shifts inside hls4ml's ap_types
    folder, _, _ = written_project
    firmware = folder / "firmware"
    program = tmp_path / "net_asan"
    subprocess.run(["g++", "-std=c++14", "-O0", "-fsanitize=address",
                    "-I", firmware, "-I", firmware / "ap_types", firmware / "net.cpp", folder / "net_tb.cpp",
                    "-o", program], check=True)  # fmt: skip
    env = {**os.environ, "ASAN_OPTIONS": "detect_leaks=0:exitcode=99"}
    run = subprocess.run([program], cwd=folder, capture_output=True, text=True, env=env, check=False)
    assert "AddressSanitizer" not in run.stderr, run.stderr
    assert run.returncode in (0, 1) and run.stdout.endswith(" steps agree\n")


# --- the dense adapter ------------------------------------------------------------------------

ADAPTER_BENCH = """\
// nnet::dense with parameters.h's config1 as written and through nnet::dense_adapter.
#include <cstdio>

#include "parameters.h"
#include "nnet_utils/dense_adapter.h"

typedef ap_fixed<16,6> value_t;

template <class CONFIG_T>
void run(const char* title, bool transpose) {
  value_t x[4] = {1, 0.5, 0.25, -1};
  value_t w[12], b[3] = {0.5, 0, -0.5};
  for (int o = 0; o < 3; o++)
    for (int i = 0; i < 4; i++) w[transpose ? o * 4 + i : i * 3 + o] = value_t((o + 1) * 0.25 - i * 0.125);
  value_t y[3] = {7, 7, 7};
  nnet::dense<value_t, value_t, CONFIG_T>(x, y, w, b);
  std::printf("%s %g %g %g\\n", title, y[0].to_double(), y[1].to_double(), y[2].to_double());
}

int main() {
  run<config1>("raw", false);
  run<nnet::dense_adapter<config1, nnet::latency> >("latency", false);
  run<nnet::dense_adapter<config1, nnet::resource> >("resource", true);
  run<nnet::dense_adapter<config2, nnet::resource> >("resource_gt", true);
}
"""


@needs_gxx
@needs_hls4ml
def test_the_adapter_makes_nnet_dense_compute_what_the_raw_parameters_h_struct_does_not(tmp_path):
    weight = np.array([[(o + 1) * 0.25 - i * 0.125 for i in range(4)] for o in range(3)], np.float32)
    graph = Graph.sequential(("x", Input()), ("fc", Affine(weight, reuse_factor=2)),
                             ("fc_slow", Affine(weight, reuse_factor=8)), ("y", Output()))  # fmt: skip
    write(small(), tmp_path)  # the copied headers
    (tmp_path / "firmware" / "parameters.h").write_text(cfgsmith.generate_parameters_h(graph))
    (tmp_path / "bench.cpp").write_text(ADAPTER_BENCH)
    firmware = tmp_path / "firmware"
    subprocess.run(["g++", "-std=c++14", "-I", str(firmware), "-I", str(firmware / "ap_types"),
                    str(tmp_path / "bench.cpp"), "-o", str(tmp_path / "bench")], check=True)  # fmt: skip
    lines = subprocess.run([str(tmp_path / "bench")], capture_output=True, text=True, check=True).stdout
    printed = {line.split()[0]: [float(v) for v in line.split()[1:]] for line in lines.splitlines()}
    expected = weight.astype(np.float64) @ [1, 0.5, 0.25, -1] + [0.5, 0, -0.5]
    assert printed["raw"] == [7, 7, 7]  # parameters.h's struct as written leaves the output alone
    for strategy in ("latency", "resource", "resource_gt"):
        np.testing.assert_array_equal(printed[strategy], expected)


# --- what the writer produces -----------------------------------------------------------------


@needs_hls4ml
def test_the_project_layout_and_parameters_h(tmp_path):
    result = write(small(), tmp_path, reuse_factor=2)
    relative = [os.path.relpath(path, tmp_path) for path in result["written_files"]]
    for path in ["firmware/snn.cpp", "firmware/snn.h", "firmware/defines.h", "firmware/layer_configs.h",
                 "firmware/parameters.h", "firmware/weights/w1.h", "firmware/weights/b1.h",
                 "firmware/weights/decay2.h", "firmware/weights/threshold2.h", "firmware/weights/rest2.h",
                 "firmware/nnet_utils/dense_adapter.h", "firmware/nnet_utils/lif_neurons.h",
                 "firmware/nnet_utils/complex_lif.h", "firmware/nnet_utils/nnet_dense_latency.h",
                 "firmware/ap_types/ap_fixed.h", "snn_tb.cpp", "tb_data/stimulus.dat",
                 "tb_data/reference_spikes.dat", "build_prj.tcl", "graph.zelka"]:  # fmt: skip
        assert path in relative
    assert all(os.path.isfile(path) for path in result["written_files"])
    header = cfgsmith.generate_parameters_h(small(), default_reuse_factor=2, io_type="io_parallel")
    assert (tmp_path / "firmware" / "parameters.h").read_text() == header + "\n"
    tcl = (tmp_path / "build_prj.tcl").read_text()
    assert "set_top snn\n" in tcl and "add_files -tb snn_tb.cpp" in tcl
    top = (tmp_path / "firmware" / "snn.h").read_text()
    assert "void snn(input_t x_in[4], spike_t y_out[3], bool reset);" in top
    simulated = get_backend("cpu").simulate(small(), stimulus(), n_steps=100)
    assert result["steps"] == 100 and result["reference_spike_counts"] == simulated.spike_counts


@needs_hls4ml
def test_the_package_headers_are_copied_as_they_ship(tmp_path):
    write(small(), tmp_path)
    for name in templates.SNN_HEADERS:
        assert (tmp_path / templates.FOLDER / name).read_bytes() == templates.header_bytes(name)


@needs_hls4ml
def test_the_stored_reference_is_what_simulate_gives_at_every_step(tmp_path):
    # every shape (a late node, SpikingAffine layers, back edges) run for the graph's own count
    graph, stimuli, lifs = networks(range(len(SHAPES)), dyadic=False)
    graph = Graph(dict(graph.nodes), list(graph.edges), {"max_iterations": 37})
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        written = write(graph, tmp_path, input_data=stimuli, n_steps=1)
    as_simulated = {name: Affine(node.weight, node.bias) if type(node) is SpikingAffine else node
                    for name, node in graph.nodes.items()}  # fmt: skip
    states = get_backend("cpu").simulate(Graph(as_simulated, list(graph.edges), graph.cyclic_config), stimuli,
                                         n_steps=1, step_by_step=True).node_states  # fmt: skip
    lines = (tmp_path / "tb_data" / "reference_spikes.dat").read_text().splitlines()
    layers = len(written["reference_spike_counts"])
    stored = [lines[1 + layers + k :: layers] for k in range(layers)]  # a line per step and layer
    names = list(written["reference_spike_counts"])  # in execution order, as the file's layers
    assert written["steps"] == len(states) == 37 and sorted(names) == sorted(
        n for group in lifs.values() for n in group
    )
    for name, steps in zip(names, stored, strict=True):
        fired = ["".join("1" if v else "0" for v in np.ravel(state[name])) for state in states]
        assert steps == fired, name
        assert written["reference_spike_counts"][name] == sum(step.count("1") for step in fired)


@needs_hls4ml
def test_every_neuron_keeps_its_own_constants(tmp_path):
    lif = {"tau": np.array([2, 4, 8], np.float32), "v_threshold": np.array([1, 0.5, 2], np.float32),
           "v_leak": np.array([0, -0.25, 0.125], np.float32)}  # fmt: skip
    write(small(**lif), tmp_path)
    weights = tmp_path / "firmware" / "weights"
    assert "0.5, 0.75, 0.875" in (weights / "decay2.h").read_text()
    assert "1.0, 0.5, 2.0" in (weights / "threshold2.h").read_text()
    assert "0.0, -0.25, 0.125" in (weights / "rest2.h").read_text()
    # stored input-major for the latency kernel: w[i * 3 + o] = weight[o, i]
    assert "0.5, 0.0, 0.25, 0.25, 0.5, 0.0, 0.0, 0.5," in (weights / "w1.h").read_text()


@needs_hls4ml
@pytest.mark.parametrize(("precision", "membrane"), [
    ("ap_fixed<16,6>", "ap_fixed<26,8,AP_RND_CONV,AP_SAT>"),
    ("ap_fixed<24,8>", "ap_fixed<34,10,AP_RND_CONV,AP_SAT>"),
    ("ap_ufixed<8,2>", "ap_fixed<19,5,AP_RND_CONV,AP_SAT>"),
    ("ap_int<8>", "ap_fixed<18,10,AP_RND_CONV,AP_SAT>"),
])  # fmt: skip
def test_the_default_membrane_has_two_more_integer_and_eight_more_fractional_bits(
    tmp_path, precision, membrane
):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = write(small(), tmp_path, precision=precision)
    assert result["membrane_precision"] == membrane
    assert f"typedef {membrane} membrane_t;" in (tmp_path / "firmware" / "defines.h").read_text()


@needs_hls4ml
def test_rounding_warns_with_the_node_and_the_largest_change_and_dyadic_values_do_not(tmp_path):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        write(small(), tmp_path / "a")  # dyadic: nothing changes
    graph = small()
    graph.nodes["fc"].weight[1, 2] = 0.1
    with pytest.warns(UserWarning) as caught:
        write(graph, tmp_path / "b")
    expected = (
        "Affine node 'fc': weight rounded to ap_fixed<16,6>: 1 of 12 values changed, the largest by "
        "0.0003906264901161194 (at [1, 2], 0.10000000149011612 became 0.099609375)"
    )
    assert [str(w.message) for w in caught] == [expected]


LINE_JOINING_NAMES = ["lif\\", "lif\\\\", "lif??/", "lif?", "lif */ /*", "lif\\  "]


@needs_gxx
@needs_hls4ml
def test_names_that_could_join_lines_or_form_trigraphs_leave_the_code_as_it_is(tmp_path):
    # Input, Affine and Output names reach comments only; LIF names reach the test bench's
    # string literals (the report) too
    graph = Graph()
    graph.add("x\\", Input(input_type={"input": (4,)}))
    graph.add("fc??/", Affine(small().nodes["fc"].weight), after="x\\")
    for name in LINE_JOINING_NAMES:
        graph.add(
            name, LIF(tau=np.full(3, 4.0, np.float32), v_threshold=np.ones(3, np.float32)), after="fc??/"
        )
    graph.add("y\\", Output(), after=LINE_JOINING_NAMES[0])
    written = write(graph, tmp_path, input_data={"x\\": stimulus()["x"]}, n_steps=20)
    for path in written["written_files"]:
        if path.endswith((".h", ".cpp")) and "/ap_types/" not in path and "/nnet_utils/" not in path:
            text = Path(path).read_text(encoding="utf-8")
            assert not re.search(r"\\ *$", text, re.MULTILINE), path
            assert not re.search(r"\?\?[=/'()!<>-]", text), path
    result = csim(tmp_path)
    assert result["agrees"] and list(result["spike_counts"]) == LINE_JOINING_NAMES
    assert result["spike_counts"] == written["reference_spike_counts"] and result["spike_counts"]["lif?"] > 0


# --- errors ---------------------------------------------------------------------------------


def with_node(name, node, after="lif"):
    graph = small()
    graph.add(name, node, after=after)
    return graph


@needs_hls4ml
@pytest.mark.parametrize(("graph", "settings", "error", "message"), [
    (with_node("act", ReLU(3)), {}, ValueError,
     "ReLU node 'act': write_snn_project builds Input, Affine, SpikingAffine, LIF, Flatten and Output nodes, not ReLU"),
    (small(), {"project_name": "my-net"}, ValueError, "Argument 'project_name' must be a C++ identifier"),
    (small(), {"project_name": "int"}, ValueError, "Argument 'project_name' must be a C++ identifier"),
    (small(), {"project_name": "main"}, ValueError, "Argument 'project_name' must be a C++ identifier"),
    (small(), {"precision": "float"}, ValueError, "Argument 'precision' must be a fixed-point type name"),
    (small(), {"strategy": "fast"}, ValueError, "Argument 'strategy' must be 'Latency' or 'Resource', got 'fast'"),
    (small(), {"n_steps": 0}, ValueError, "Argument 'n_steps' must be at least 1, got 0"),
    (small(), {"board": "zcu999"}, ValueError, "Unknown board: zcu999"),
    (small(), {"input_data": {"lif": np.ones(3)}}, ValueError,
     "Argument 'input_data' names 'lif', which is no Input node of the graph"),
    (small(), {"input_data": {"x": np.array([1, np.nan, 0, 0])}}, ValueError,
     "Input node 'x': its stimulus holds nan, which no fixed-point type holds"),
    (small(), {"input_data": {"x": np.ones(5)}}, ValueError,
     "Affine node 'fc': its input has 5 values and its weight takes 4"),
    (small(tau=np.array([4, 0, 4], np.float32)), {}, ValueError, "LIF node 'lif': tau holds 0"),
    (small(v_leak=np.zeros(2)), {}, ValueError,
     "LIF node 'lif': v_leak of shape (2,) does not give one value to each of its 3 neurons"),
    (with_node("two", Affine(np.ones((3, 3)))).connect("x", "two"), {}, ValueError,
     "Affine node 'two': its inputs have different shapes, (3,) from LIF node 'lif' and (4,) from Input node 'x'"),
    (with_node("after", Affine(np.ones((3, 3))), after="y"), {}, ValueError,
     "Affine node 'after': it reads Output node 'y'; the project's outputs are ports"),
    (with_node("f", Flatten(), after="ghost"), {}, ValueError,
     "Flatten node 'f': it has an edge from 'ghost', which names no node of the graph"),
    (Graph.sequential(("x", Input(input_type={"input": (4,)})), ("fc", Affine(np.ones((3, 4)))), ("y", Output())),
     {}, ValueError, "the graph has no LIF node"),
    (small(), {"strategy": "Resource", "reuse_factor": 3}, ValueError,
     ("Affine node 'fc': reuse factor 3 does not fit hls4ml's resource kernels for 4 inputs and 3 outputs "
      "(the nearest that do: 2 or 4)")),
])  # fmt: skip
def test_bad_graphs_and_arguments_are_refused_before_anything_is_written(
    tmp_path, graph, settings, error, message
):
    with pytest.raises(error, match="^" + re.escape(message)):
        write(graph, tmp_path / "prj", **settings)
    assert not (tmp_path / "prj").exists()


@needs_hls4ml
@pytest.mark.parametrize(("name", "names_a_cpp_function"), [
    ("Net_2", True), ("net_", True), ("σ", False), ("_net", False), ("a__b", False), ("class", False),
    ("compare", False), ("nnet", False), ("main", False),
])  # fmt: skip
def test_project_names_are_script_names_that_can_name_the_top_function(tmp_path, name, names_a_cpp_function):
    assert f"set_top {name}\n" in generate_tcl(VexalConfig(), name)
    if names_a_cpp_function:
        write(small(), tmp_path, project_name=name, n_steps=2)
        assert (tmp_path / "firmware" / f"{name}.cpp").is_file()
    else:
        with pytest.raises(ValueError, match=r"^Argument 'project_name' must be a C\+\+ identifier .*, got "):
            write(small(), tmp_path, project_name=name, n_steps=2)


def test_names_that_are_no_script_names_are_refused_by_both_rules(tmp_path):
    for name in ("1net", "my-net", ""):
        with pytest.raises(ValueError, match=r"^Argument 'project_name' must be a Python identifier"):
            generate_tcl(VexalConfig(), name)
        with pytest.raises(ValueError, match=r"^Argument 'project_name' must be a C\+\+ identifier"):
            write(small(), tmp_path, project_name=name)


@needs_hls4ml
@pytest.mark.parametrize(("clock_period", "written"), [(4, "4.0"), (2.5, "2.5"), (np.float32(7.5), "7.5")])
def test_the_clock_period_is_any_positive_number_of_nanoseconds(tmp_path, clock_period, written):
    write(small(), tmp_path, clock_period=clock_period, n_steps=2)
    assert f"create_clock -period {written} -name default\n" in (tmp_path / "build_prj.tcl").read_text()


@needs_hls4ml
@pytest.mark.parametrize(("clock_period", "error", "message"), [
    ("5", TypeError, "Argument 'clock_period' has incorrect type (expected float, got str)"),
    (0, ValueError, "Argument 'clock_period' must be a positive number of nanoseconds, got 0.0"),
    (-2, ValueError, "Argument 'clock_period' must be a positive number of nanoseconds, got -2.0"),
    (np.inf, ValueError, "Argument 'clock_period' must be a positive number of nanoseconds, got inf"),
    (np.nan, ValueError, "Argument 'clock_period' must be a positive number of nanoseconds, got nan"),
])  # fmt: skip
def test_other_clock_periods_are_refused(tmp_path, clock_period, error, message):
    with pytest.raises(error) as info:
        write(small(), tmp_path / "prj", clock_period=clock_period)
    assert str(info.value) == message and not (tmp_path / "prj").exists()


@needs_hls4ml
def test_paths_may_be_path_objects_or_bytes(tmp_path):
    # build_bitstream keeps its str-only output_dir; write_snn_project and csim take any path
    folders = (
        tmp_path / "path",
        os.fsencode(tmp_path / "bytes"),
        os.fsencode(tmp_path) + b"/caf\xe9",
        f"{tmp_path}/slash/",
    )
    for folder in folders:
        written = fpga().write_snn_project(small(), folder, "snn", input_data=stimulus(), n_steps=5)
        assert written["written_files"][0] == os.path.join(os.fsdecode(folder), "firmware", "snn.h")
        assert all(os.path.isfile(path) for path in written["written_files"])
    with pytest.raises(TypeError, match=r"^Argument 'output_dir' has incorrect type \(expected str, bytes or "
                                        r"os\.PathLike, got int\)$"):  # fmt: skip
        fpga().write_snn_project(small(), 3)
    with pytest.raises(TypeError, match=r"^Argument 'project_dir' has incorrect type"):
        csim(3)
    with pytest.raises(TypeError, match="Argument 'output_dir' has incorrect type"):
        fpga().build_bitstream(small(), output_dir=tmp_path / "path", write_to_disk=True)


def test_settings_after_the_project_name_are_keyword_only(tmp_path):
    with pytest.raises(TypeError):
        fpga().write_snn_project(small(), str(tmp_path), "snn", "ap_fixed<16,6>")


def test_without_hls4ml_the_error_says_what_to_install(tmp_path, monkeypatch):
    find_spec = importlib.util.find_spec
    monkeypatch.setattr(
        importlib.util, "find_spec", lambda name, *a: None if name == "hls4ml" else find_spec(name, *a)
    )
    with pytest.raises(
        ImportError, match=r"hls4ml is not installed: install hls4ml 1\.3\.0: pip install \"zelka\[fpga\]\""
    ):
        write(small(), tmp_path / "prj")
    assert not (tmp_path / "prj").exists()


@needs_hls4ml
def test_a_failed_write_leaves_the_folder_as_it_was(tmp_path):
    folder = tmp_path / "prj"
    write(small(), folder)
    (folder / "build_prj.tcl").unlink()
    (folder / "build_prj.tcl").mkdir()  # the last file cannot be put in place
    before = snapshot(folder)
    with pytest.raises(IsADirectoryError):
        write(small(v_threshold=np.full(3, 0.5, np.float32)), folder)
    assert snapshot(folder) == before

    fresh = tmp_path / "fresh"
    (fresh / "snn_tb.cpp").mkdir(parents=True)
    with pytest.raises(IsADirectoryError):
        write(small(), fresh)
    assert os.listdir(fresh) == ["snn_tb.cpp"]  # the folders it made are gone too


# --- csim's errors ---------------------------------------------------------------------------


def test_csim_without_gxx_says_what_to_install(tmp_path, monkeypatch):
    (tmp_path / "firmware").mkdir()
    (tmp_path / "firmware" / "p.cpp").write_text("")
    (tmp_path / "p_tb.cpp").write_text("")
    monkeypatch.setenv("PATH", str(tmp_path / "empty"))
    with pytest.raises(RuntimeError, match=r"g\+\+, which is not on the PATH: install GCC's C\+\+ compiler"):
        csim(tmp_path)


def test_csim_of_a_folder_without_a_project(tmp_path):
    with pytest.raises(ValueError, match="holds no SNN HLS project"):
        csim(tmp_path)
    (tmp_path / "firmware").mkdir()
    (tmp_path / "firmware" / "p.cpp").write_text("")
    (tmp_path / "p_tb.cpp").mkdir()  # a folder is no test bench
    with pytest.raises(ValueError, match="holds no SNN HLS project"):
        csim(tmp_path)


def test_csim_names_the_projects_of_a_folder_holding_several_and_a_folder_it_cannot_list(tmp_path):
    (tmp_path / "firmware").mkdir()
    for name in ("b", "a"):
        (tmp_path / f"{name}_tb.cpp").write_text("")
        (tmp_path / "firmware" / f"{name}.cpp").write_text("")
    with pytest.raises(ValueError) as info:
        csim(tmp_path)
    assert str(info.value) == f"{str(tmp_path)!r} holds several SNN HLS projects: ['a', 'b']"
    with pytest.raises(FileNotFoundError) as info:
        csim(tmp_path / "missing")
    assert info.value.filename == str(tmp_path / "missing")


# A g++ that writes down how it was called and "builds" a test bench reporting no steps, or
# fails when the file `fail` exists.
RECORDING_GXX = """#!/bin/sh
printf '%s\\n' "$0" "$@" > {calls}
if [ -e {fail} ]; then exit 1; fi
while [ "$#" -gt 0 ]; do if [ "$1" = -o ]; then out="$2"; fi; shift; done
cp {bench} "$out"
"""
EMPTY_BENCH = "#!/bin/sh\nprintf 'zelka-csim steps=0 layers=0\\nresult 0/0 steps agree\\n'\n"


def test_csim_runs_the_first_gxx_on_the_path_and_builds_in_a_scratch_folder_it_removes(tmp_path, monkeypatch):
    calls, fail = tmp_path / "calls", tmp_path / "fail"
    bench = executable(tmp_path / "bench.sh", EMPTY_BENCH)
    (tmp_path / "unrunnable").mkdir()
    (tmp_path / "unrunnable" / "g++").write_text("")  # no execute permission
    (tmp_path / "folder" / "g++").mkdir(parents=True)
    (tmp_path / "bin").mkdir()
    gxx = executable(tmp_path / "bin" / "g++", RECORDING_GXX.format(calls=calls, fail=fail, bench=bench))
    folders = [str(tmp_path / name) for name in ("unrunnable", "folder", "bin")]
    monkeypatch.setenv("PATH", os.pathsep.join([*folders, os.environ["PATH"]]))
    project = tmp_path / "prj"
    (project / "firmware").mkdir(parents=True)
    (project / "firmware" / "p.cpp").write_text("")
    (project / "p_tb.cpp").write_text("")

    assert csim(project)["agrees"]
    firmware = f"{project}/firmware"
    *arguments, program = calls.read_text().splitlines()
    assert arguments == [str(gxx), "-std=c++14", "-O1", "-fno-exceptions", "-I", firmware, "-I",
                         f"{firmware}/ap_types", f"{firmware}/p.cpp", f"{project}/p_tb.cpp", "-o"]  # fmt: skip
    scratch, built = os.path.split(program)
    assert os.path.basename(scratch).startswith("zelka_csim_") and built == "p_csim"
    assert not os.path.exists(scratch)
    fail.write_text("")
    (project / "p_tb.cpp").write_text("// changed: the kept program is out of date")
    with pytest.raises(RuntimeError, match="g\\+\\+ could not build the C simulation of"):
        csim(project)
    assert not os.path.exists(os.path.dirname(calls.read_text().splitlines()[-1]))


# A g++ that counts its calls in the file `calls` and "builds" the empty test bench.
COUNTING_GXX = """#!/bin/sh
echo "$0" >> {calls}
while [ "$#" -gt 0 ]; do if [ "$1" = -o ]; then out="$2"; fi; shift; done
cp {bench} "$out"
"""


def test_csim_keeps_its_program_and_builds_again_only_when_a_source_or_the_compiler_changes(
    tmp_path, monkeypatch
):
    calls = tmp_path / "calls"
    bench = executable(tmp_path / "bench.sh", EMPTY_BENCH)
    for folder in ("bin", "other"):
        (tmp_path / folder).mkdir()
        executable(tmp_path / folder / "g++", COUNTING_GXX.format(calls=calls, bench=bench))
    monkeypatch.setenv("PATH", os.pathsep.join([str(tmp_path / "bin"), os.environ["PATH"]]))
    project = tmp_path / "prj"
    (project / "firmware" / "weights").mkdir(parents=True)
    (project / "firmware" / "p.cpp").write_text("")
    (project / "firmware" / "weights" / "w1.h").write_text("0.5")
    (project / "p_tb.cpp").write_text("")

    def builds():
        return len(calls.read_text().splitlines()) if calls.exists() else 0

    assert csim(project)["build_seconds"] > 0 and builds() == 1
    kept = os.listdir(project / "csim")
    assert csim(project)["build_seconds"] == 0.0 and builds() == 1
    (project / "tb_data").mkdir()
    (project / "tb_data" / "stimulus.dat").write_text("read when the bench runs, never built")
    assert csim(project)["build_seconds"] == 0.0 and builds() == 1
    (project / "firmware" / "weights" / "w1.h").write_text("0.25")  # a header below firmware/
    assert csim(project)["build_seconds"] > 0 and builds() == 2
    assert len(os.listdir(project / "csim")) == 1 and os.listdir(project / "csim") != kept  # the old one went
    monkeypatch.setenv("PATH", os.pathsep.join([str(tmp_path / "other"), os.environ["PATH"]]))
    assert csim(project)["build_seconds"] > 0 and builds() == 3  # another compiler
    assert csim(project)["build_seconds"] == 0.0 and builds() == 3


FAKE_BENCH = """#include <cstdio>
int main() {{ std::printf("{report}"); return {status}; }}
"""


def csim_of_fake_bench(folder, report, status):
    """csim's result, but for build_seconds, for a test bench that prints `report` and exits with `status`."""
    (folder / "firmware").mkdir()
    (folder / "firmware" / "p.cpp").write_text("")
    (folder / "p_tb.cpp").write_text(FAKE_BENCH.format(report=report, status=status))
    return {k: v for k, v in csim(folder).items() if k != "build_seconds"}


@needs_gxx
@pytest.mark.parametrize(("report", "status", "message"), [
    ("zelka-csim steps=2 layers=1\\nlayer 1 neurons=3 l\\nstep 1 agree 1,1,0\\n", 0, "should have 5 lines"),
    ("zelka-csim steps=1 layers=1\\nlayer 1 neurons=3 l\\nstep 1 differ 1,2,1\\nresult 0/1 steps agree\\n", 0,
     "ended with status 0, which its report does not explain"),
    ("", 3, "ended with status 3 and the test bench's report is not in its form"),
    # counts are read exactly: none wraps around 64 bits, none exceeds the layer's neurons
    (f"zelka-csim steps={2**64 - 1} layers=1\\nlayer 1 neurons=3 l\\nresult 0/{2**64 - 1} steps agree\\n", 0,
     f"line 3 ends the report, which should have {2**64 + 2} lines"),
    (f"zelka-csim steps=1 layers={2**64 - 1}\\nlayer 1 neurons=3 l\\nresult 0/1 steps agree\\n", 0,
     f"should have {2**64 + 2} lines"),
    ("zelka-csim steps=1 layers=1\\nlayer 1 neurons=3 l\\nstep 1 agree 4,4,0\\nresult 1/1 steps agree\\n", 0,
     "line 3 counts 4 spikes of a layer of 3 neurons"),
    ("zelka-csim steps=1 layers=1\\nlayer 1 neurons=3 l\\nstep 1 differ 3,0,9\\nresult 0/1 steps agree\\n", 1,
     "line 3 counts 9 differing neurons of a layer of 3"),
    (f"zelka-csim steps=2 layers=1\\nlayer 1 neurons={2**64 - 1} l\\nstep 1 agree {2**64 - 1},0,0\\n" +
     "step 2 agree 1,0,0\\nresult 2/2 steps agree\\n", 0, "line 4 brings a layer's spikes over the 64 bits"),
    ("zelka-csim steps=0 layers=0 and more\\nresult 0/0 steps agree\\n", 0,
     "line 1 has more than the step and layer counts"),
    ("zelka-csim steps=0 layers=1\\nlayer 1 neurons=3 \\xff\\nresult 0/0 steps agree\\n", 0,
     "ended with status 0 and the test bench's report is not UTF-8 text: 'utf-8' codec can't decode byte 0xff"),
    # several samples: a fired line per layer after each sample's steps, adding up to its spikes
    (("zelka-csim steps=1 layers=1 samples=2\\nlayer 1 neurons=2 l\\nstep 1 agree 1,1,0\\nfired 1 1 0\\n"
      "result 1/2 steps agree\\n"), 0, "line 5 ends the report, which should have 7 lines"),
    (("zelka-csim steps=1 layers=1 samples=2\\nlayer 1 neurons=2 l\\nstep 1 agree 1,1,0\\nfired 1 1 0\\n"
      "step 1 agree 0,0,0\\nfired 1 0 1\\nresult 2/2 steps agree\\n"), 0,
     "line 6 counts 1 spikes of the sample's 0 in its step lines"),
    (("zelka-csim steps=1 layers=1 samples=1\\nlayer 1 neurons=2 l\\nstep 1 agree 2,2,0\\nfired 1 2 0\\n"
      "result 1/1 steps agree\\n"), 0, "line 4 counts 2 spikes of a neuron in a sample of 1 steps"),
    (("zelka-csim steps=1 layers=1 samples=1 more\\nlayer 1 neurons=2 l\\nstep 1 agree 0,0,0\\n"
      "fired 1 0 0\\nresult 1/1 steps agree\\n"), 0, "line 1 has more than the step, layer and sample counts"),
])  # fmt: skip
def test_csim_refuses_a_report_that_does_not_add_up(tmp_path, report, status, message):
    with pytest.raises(RuntimeError, match=message):
        csim_of_fake_bench(tmp_path, report, status)


@needs_gxx
def test_csim_reads_an_honest_report(tmp_path):
    report = "zelka-csim steps=2 layers=2\\nlayer 1 neurons=3 a b\\nlayer 2 neurons=1 c\\n" \
             "step 1 agree 1,1,0 0,0,0\\nstep 2 differ 2,1,1 1,1,0\\nresult 1/2 steps agree\\n"  # fmt: skip
    assert csim_of_fake_bench(tmp_path, report, 1) == {
        "agrees": False, "steps": 2, "steps_agreeing": 1, "step_agreement": [True, False],
        "spike_counts": {"a b": 3, "c": 1}, "reference_spike_counts": {"a b": 2, "c": 1},
        "steps_differing": {"a b": 1, "c": 0},
    }  # fmt: skip


@needs_gxx
def test_csim_sums_the_samples_of_a_report_step_by_step(tmp_path):
    # sample 1 agrees at both steps, sample 2 differs in layer a at step 2
    report = "zelka-csim steps=2 layers=2 samples=2\\nlayer 1 neurons=3 a\\nlayer 2 neurons=1 c\\n" \
             "step 1 agree 1,1,0 0,0,0\\nstep 2 agree 2,2,0 1,1,0\\nfired 1 2 1 0\\nfired 2 1\\n" \
             "step 1 agree 0,0,0 1,1,0\\nstep 2 differ 1,0,1 0,0,0\\nfired 1 0 0 1\\nfired 2 1\\n" \
             "result 3/4 steps agree\\n"  # fmt: skip
    assert csim_of_fake_bench(tmp_path, report, 1) == {
        "agrees": False, "steps": 2, "steps_agreeing": 1, "step_agreement": [True, False],
        "spike_counts": {"a": 4, "c": 2}, "reference_spike_counts": {"a": 3, "c": 2},
        "steps_differing": {"a": 1, "c": 0},
    }  # fmt: skip
