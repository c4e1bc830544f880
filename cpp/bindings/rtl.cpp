// zelka.backend.fpga.rtl: the Verilog flow of spiking networks: the design's writer (on the
// network model the HLS project uses), its Verilator test bench's build and run, synthesis
// with Yosys, and placement, routing and the bitstream with nextpnr-ecp5 and ecppack.
#include <nanobind/nanobind.h>

#include <string>

#include "core/fpga/boards.hpp"
#include "core/fpga/defaults.hpp"
#include "host/args.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/rtl_project.hpp"
#include "host/fpga/rtl_simulation.hpp"
#include "host/fpga/rtl_synthesis.hpp"
#include "host/fpga/snn_arguments.hpp"
#include "host/numpy.hpp"
#include "host/paths.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::fpga;
namespace py = zelka::host::python_type;

namespace {

const char* const module_doc =
    "The Verilog flow of spiking networks.\n\n"
    "write_rtl_project() writes the Verilog design of a graph (the graphs write_snn_project\n"
    "takes, on the same network model and rules), simulate_rtl() builds its test bench with\n"
    "Verilator and checks it against the CPU simulator, synthesize() counts its cells with\n"
    "Yosys, and place_and_route() places and routes it for an LFE5U-85F with nextpnr-ecp5\n"
    "and writes the bitstream.  The tools come with pip install \"zelka[rtl]\".";

const char* const write_doc =
    "Write the Verilog-2005 design of the spiking network (Input, Affine, SpikingAffine, LIF,\n"
    "Flatten and Output nodes; inputs of one shape summed; back edges read the previous step):\n"
    "one time step per start; with overlap (the default) each unit runs a step as soon as what\n"
    "it reads holds it, so that a layer computes step t + 1 while the next computes step t\n"
    "(graphs with back edges run each step's units one after the other, as overlap=False does);\n"
    "`parallelism` neurons (or outputs) a clock cycle in each layer; dense_parallelism maps\n"
    "dense nodes (by name) to the outputs they compute at a time instead, each a multiple of\n"
    "parallelism (their weight memories are that many weights wide).  The types and rounding are\n"
    "write_snn_project's (precision, membrane_precision and the nodes' weight_t, bias_t and\n"
    "result_t; 'auto' chooses them by write_snn_project's rule from the ranges simulate_batch\n"
    "observes on calibration); dense layers add each output's products exactly and round once\n"
    "into result_t.  input_data is a dict of Input -> array applied at every step, a PerStep of\n"
    "Input -> (steps, *shape) arrays, or None.\n\n"
    "output_dir (a str, bytes or os.PathLike path) receives rtl/{project_name}.v (the top\n"
    "module), ``rtl/zelka_*.v`` (the modules it builds on), ``rtl/*.mem`` (weights, biases\n"
    "and the LIF constants, for $readmemh), {project_name}_rtl_tb.cpp (a Verilator test\n"
    "bench), tb_data/ (the stimulus and simulate's spikes of every LIF layer at every step,\n"
    "read when the bench runs), graph.zelka (the graph, for simulate_rtl's test sets) and\n"
    "yosys_ecp5-85f.ys and yosys_xcup.ys, all or nothing.  target ('ecp5-85f' or\n"
    "'xcup') is the device whose block RAM the weights are checked against (a warning when they\n"
    "do not fit).\n\n"
    "Returns a dict: written_files, precision, membrane_precision, layer_types, steps,\n"
    "reference_spike_counts, cycles_per_step_estimate (the mean clock cycles of the\n"
    "reference's steps) and schedule ('overlapped' or 'sequential').";

const char* const simulate_doc =
    "simulate_rtl(project_dir, inputs=None, *, n_steps=None, runs=1, build_timeout=600.0,\n"
    "run_timeout=600.0): build the test bench of the Verilog design in project_dir with\n"
    "Verilator (kept in the project's verilated/ folder under the digest of what it was built\n"
    "from, and built again only when that changes), run it and return csim's dict (agrees,\n"
    "steps, steps_agreeing, step_agreement, spike_counts, reference_spike_counts,\n"
    "steps_differing, build_seconds) with cycles_per_step (the mean clock cycles of a step,\n"
    "measured) and step_cycles (every step's).  inputs are samples as csim takes them (a dict of\n"
    "(batch, *shape) arrays or a PerStep), run for n_steps steps and reported per sample as csim\n"
    "reports them; None runs the stimulus written with the design.  runs repeats each sample's\n"
    "steps, the membranes cleared at the start of each run; every run is compared with the\n"
    "reference.\n\n"
    "build_timeout and run_timeout bound the build and the run, in seconds (None: no limit); a\n"
    "stage past its limit is killed, with whatever it started, and raises TimeoutError.  Ctrl-C\n"
    "stops either within a fraction of a second.  RuntimeError when Verilator or a program its\n"
    "build runs from the PATH (make, perl, c++, ar) is missing, before anything is built, when\n"
    "the build fails or when the test bench's report is not in its form.";

const std::string synthesize_doc =
    std::string(
        "synthesize(project_dir, target='ecp5-85f', *, board=None, timeout=3600.0): synthesise "
        "the\n"
        "Verilog design in project_dir with Yosys (synth_ecp5 for 'ecp5-85f', synth_xilinx "
        "-family\n"
        "xcup for 'xcup'; results in build/{target}/) and return a dict: target, device, luts,\n"
        "ffs, carry, bram, dsp, lutram, cells (every cell type Yosys counted) and, where the\n"
        "device's resources are known, resources and share (the fraction of each used), and\n"
        "seconds.  The counts are Yosys's, before placement.  For 'xcup', board names the\n"
        "UltraScale+ board of the board table whose part the shares are of ('") +
    std::string(zelka::fpga::default_board) +
    "' when None;\n"
    "the table has the resources of its part).  RuntimeError when Yosys is missing or\n"
    "fails; TimeoutError past timeout seconds (None: no limit).";

const char* const place_doc =
    "place_and_route(project_dir, target='ecp5-85f', clock_mhz=50.0, *, timeout=3600.0):\n"
    "synthesise the Verilog design in project_dir for the LFE5U-85F (CABGA381), place and route\n"
    "it with nextpnr-ecp5 for a clock of clock_mhz and write the bitstream with ecppack, all in\n"
    "build/ecp5-85f/.  Returns a dict: max_frequency_mhz (nextpnr's, after routing),\n"
    "clock_mhz, clock_met, bitstream (its path), utilisation (the nextpnr cell kinds used -> "
    "(used,\n"
    "available)), synthesis (synthesize's dict) and seconds.  RuntimeError naming what the\n"
    "design uses past the device when it does not fit, or with the tool's last lines when a\n"
    "tool fails.";

Returns<py::Dict> write_design(Arg<py::Graph> graph, Arg<py::Path> output_dir,
                               Arg<py::Str> project_name, Arg<py::Str> precision,
                               Arg<py::Str> membrane_precision, Arg<py::Int> parallelism,
                               Arg<py::Stimuli> input_data, Arg<py::Int> n_steps,
                               Arg<py::Str> target, Arg<py::Stimuli> calibration,
                               Arg<py::Amounts> dense_parallelism, Arg<py::Bool> overlap) {
  nb::str folder = path_argument(output_dir, "output_dir");
  require_str(project_name, "project_name");
  require_str(precision, "precision");
  if (!membrane_precision.is_none()) require_str(membrane_precision, "membrane_precision");
  nb::object lanes = count_argument(parallelism, "parallelism");
  require_stimulus_or_none(input_data, "input_data");
  nb::object steps = count_argument(n_steps, "n_steps");
  require_str(target, "target");
  return write_rtl_project(
      graph, {folder, nb::borrow(project_name), nb::borrow(precision),
              nb::borrow(membrane_precision), nb::borrow(input_data), nb::borrow(target), lanes,
              steps, nb::borrow(calibration), nb::borrow(dense_parallelism), truth(overlap)});
}

Returns<py::Dict> simulate_design(Arg<py::Path> project_dir, Arg<py::Stimuli> inputs,
                                  Arg<py::Int> n_steps, Arg<py::Int> runs,
                                  Arg<py::FloatOrNone> build_timeout,
                                  Arg<py::FloatOrNone> run_timeout) {
  const std::int64_t count = count64_argument(runs, "runs");
  if (count < 1)
    raise_formatted(PyExc_ValueError, "Argument 'runs' must be at least 1, got {!r}", runs);
  return simulate_rtl(project_dir, inputs, n_steps,
                      {timeout_argument(build_timeout, "build_timeout"),
                       timeout_argument(run_timeout, "run_timeout"), count});
}

SynthesisArguments synthesis_arguments(nb::handle target, nb::handle board, nb::handle timeout) {
  require_str(target, "target");
  if (!board.is_none()) require_str(board, "board");
  return {nb::borrow(target), nb::borrow(board), timeout_argument(timeout, "timeout")};
}

}  // namespace

NB_MODULE(rtl, m) {
  register_core_exceptions();
  Numpy::load();
  m.doc() = module_doc;
  def_typed(m, "write_rtl_project", &write_design, "graph"_a, "output_dir"_a,
            "project_name"_a = "myproject", nb::kw_only(),
            "precision"_a = zelka::fpga::default_precision, "membrane_precision"_a = nb::none(),
            "parallelism"_a = 1, "input_data"_a = nb::none(), "n_steps"_a = 100,
            "target"_a = "ecp5-85f", "calibration"_a = nb::none(),
            "dense_parallelism"_a = nb::none(), "overlap"_a = true, write_doc);
  def_typed(m, "simulate_rtl", &simulate_design, "project_dir"_a, "inputs"_a = nb::none(),
            nb::kw_only(), "n_steps"_a = nb::none(), "runs"_a = 1, "build_timeout"_a = 600.0,
            "run_timeout"_a = 600.0, simulate_doc);
  def_typed(
      m, "synthesize",
      [](Arg<py::Path> project_dir, Arg<py::Str> target, Arg<py::Str> board,
         Arg<py::FloatOrNone> timeout) -> Returns<py::Dict> {
        return synthesize(project_dir, synthesis_arguments(target, board, timeout));
      },
      "project_dir"_a, "target"_a = "ecp5-85f", nb::kw_only(), "board"_a = nb::none(),
      "timeout"_a = 3600.0, synthesize_doc.c_str());
  def_typed(
      m, "place_and_route",
      [](Arg<py::Path> project_dir, Arg<py::Str> target, Arg<py::Float> clock_mhz,
         Arg<py::FloatOrNone> timeout) -> Returns<py::Dict> {
        const double clock = float_argument(clock_mhz, "clock_mhz");
        return place_and_route(project_dir, clock,
                               synthesis_arguments(target, nb::none(), timeout));
      },
      "project_dir"_a, "target"_a = "ecp5-85f", "clock_mhz"_a = 50.0, nb::kw_only(),
      "timeout"_a = 3600.0, place_doc);
}
