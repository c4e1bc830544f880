// zelka.backend.fpga.hlsbridge: the FPGA backend ("fpga"): validation, capabilities and
// constraints, compile to a hardware descriptor, the build.py generator, the project writer
// of build_bitstream, the SNN HLS project writer and its C simulation.
#include <nanobind/nanobind.h>

#include <string>

#include "core/fpga/boards.hpp"
#include "core/fpga/defaults.hpp"
#include "core/fpga/snn_fixed_types.hpp"
#include "core/value/json.hpp"
#include "core/value/python_literal.hpp"
#include "host/args.hpp"
#include "host/backend_class.hpp"
#include "host/external_tool.hpp"
#include "host/fpga/bitstream_config.hpp"
#include "host/fpga/build_script.hpp"
#include "host/fpga/clock_period.hpp"
#include "host/fpga/csim.hpp"
#include "host/fpga/fpga_backend.hpp"
#include "host/fpga/fpga_compile.hpp"
#include "host/fpga/node_kinds.hpp"
#include "host/fpga/project_build.hpp"
#include "host/fpga/snn_arguments.hpp"
#include "host/fpga/snn_project.hpp"
#include "host/numpy.hpp"
#include "host/paths.hpp"
#include "host/python_types.hpp"
#include "host/typed_function.hpp"
#include "host/value_convert.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka;
using namespace zelka::host;
using namespace zelka::host::fpga;
namespace py = zelka::host::python_type;

namespace {

const char* const fpga_backend_doc =
    "FPGA backend for ZELKA IR graphs, through hls4ml and Vivado / Vitis HLS.\n\n"
    "- validate(): Check that every node kind has an HLS implementation\n"
    "- compile(): hls4ml configuration, header template paths, board table and, with a\n"
    "  BitstreamConfig, the build.py and build_prj.tcl texts\n"
    "- build_bitstream(): every project artefact; with write_to_disk=True the project\n"
    "  folder (parameters.h, neuron-model headers, build.py, build_prj.tcl,\n"
    "  hls4ml_config.json, model.pt)\n"
    "- write_snn_project(): an HLS project that runs the spiking network itself, one time\n"
    "  step per call, with a test bench checking it against the CPU simulator\n\n"
    "The backend runs no synthesis tool itself and cannot simulate graphs.";

void require_bitstream_config_or_none(nb::handle value) {
  if (!value.is_none() && !nb::isinstance<BitstreamConfig>(value))
    raise_argument_type("bitstream_config", "BitstreamConfig", value);
}

Returns<py::HardwareDescriptor> compile_graph(nb::handle self, Arg<py::Graph> graph, Arg<py::Any>,
                                              Arg<py::Str> output_dir, Arg<py::Str> project_name,
                                              Arg<py::Str> part, Arg<py::Float> clock_period,
                                              Arg<py::Str> io_type, Arg<py::Str> default_precision,
                                              Arg<py::Int> default_reuse_factor,
                                              Arg<py::Str> strategy,
                                              Arg<py::BitstreamConfig> bitstream_config) {
  const ProjectSettings settings =
      checked_project_settings(output_dir, project_name, part, clock_period, io_type,
                               default_precision, default_reuse_factor, strategy);
  require_bitstream_config_or_none(bitstream_config);
  return compile(self, graph, settings, bitstream_config);
}

Returns<py::Dict> build(nb::handle self, Arg<py::Graph> graph, Arg<py::Str> output_dir,
                        Arg<py::Str> project_name, Arg<py::Str> part, Arg<py::Float> clock_period,
                        Arg<py::Str> io_type, Arg<py::Str> default_precision,
                        Arg<py::Int> default_reuse_factor, Arg<py::Str> strategy,
                        Arg<py::BitstreamConfig> bitstream_config, Arg<py::Bool> write_to_disk,
                        Arg<py::Any> pytorch_model) {
  const ProjectSettings settings =
      checked_project_settings(output_dir, project_name, part, clock_period, io_type,
                               default_precision, default_reuse_factor, strategy);
  require_bitstream_config_or_none(bitstream_config);
  return build_bitstream(self, graph, settings, bitstream_config, truth(write_to_disk),
                         pytorch_model);
}

Returns<py::Str> generate_build_script(Arg<py::Settings> hls_config,
                                       Arg<py::BitstreamConfig> bitstream_config,
                                       Arg<py::Str> project_name) {
  if (!PyDict_Check(hls_config.ptr())) raise_argument_type("hls_config", "dict", hls_config);
  if (!nb::isinstance<BitstreamConfig>(bitstream_config))
    raise_argument_type("bitstream_config", "BitstreamConfig", bitstream_config);
  require_str(project_name, "project_name");
  return build_script(
      hls_config, static_cast<const BitstreamConfig&>(detail::initialised_record(bitstream_config)),
      project_name);
}

Returns<py::Dict> write_snn(nb::handle, Arg<py::Graph> graph, Arg<py::Path> output_dir,
                            Arg<py::Str> project_name, Arg<py::Str> precision,
                            Arg<py::Str> membrane_precision, Arg<py::Int> reuse_factor,
                            Arg<py::Str> strategy, Arg<py::Stimuli> input_data,
                            Arg<py::Int> n_steps, Arg<py::Str> board, Arg<py::Float> clock_period,
                            Arg<py::Stimuli> calibration) {
  nb::str folder = path_argument(output_dir, "output_dir");
  require_str(project_name, "project_name");
  require_str(precision, "precision");
  if (!membrane_precision.is_none()) require_str(membrane_precision, "membrane_precision");
  nb::object reuse = count_argument(reuse_factor, "reuse_factor");
  require_str(strategy, "strategy");
  require_stimulus_or_none(input_data, "input_data");
  nb::object steps = count_argument(n_steps, "n_steps");
  require_str(board, "board");
  nb::object clock = clock_period_argument(clock_period, ClockPeriodForm::nanoseconds);
  return write_snn_project(
      graph, {folder, nb::borrow(project_name), nb::borrow(precision),
              nb::borrow(membrane_precision), nb::borrow(strategy), nb::borrow(input_data),
              nb::borrow(board), reuse, steps, clock, nb::borrow(calibration)});
}

// The membrane type of the default precision, as the documentation's example of the rule.
std::string default_membrane_type_name() {
  const auto precision = zelka::numeric::parse_fixed_type(zelka::fpga::default_precision);
  return zelka::fpga::default_membrane_type(*precision).name();
}

const std::string write_snn_project_doc =
    "Write an HLS project whose top function computes one time step of the spiking network\n"
    "(Input, Affine, SpikingAffine, LIF, Flatten and Output nodes; inputs of one shape summed;\n"
    "back edges read the previous step; every LIF reset and fire rule, thresholds of any sign\n"
    "and tau = inf), with a test bench that runs n_steps steps on input_data (a dict of Input\n"
    "-> array applied at every step, a PerStep of Input -> (steps, *shape) arrays, or None: the\n"
    "zero stimulus simulate uses) and compares every LIF layer's spikes with those of the CPU\n"
    "backend's simulate, which it reads from tb_data/ when it runs.\n\n"
    "output_dir (a str, bytes or os.PathLike path) receives firmware/{project_name}.cpp\n"
    "and .h (the top function {project_name}(inputs..., outputs..., bool reset)),\n"
    "firmware/defines.h, firmware/parameters.h (generate_parameters_h's text),\n"
    "firmware/layer_configs.h, firmware/weights/*.h, firmware/nnet_utils and\n"
    "firmware/ap_types (hls4ml's, copied from the installed hls4ml, and the package's own\n"
    "headers), {project_name}_tb.cpp, tb_data/ and build_prj.tcl, all or nothing.\n\n"
    "precision is the inputs' type and the default of the nodes' weight_t, bias_t, accum_t and\n"
    "result_t; reuse_factor the default of their reuse_factor; strategy 'Latency' or\n"
    "'Resource' picks hls4ml's dense kernel.  membrane_precision=None gives the membranes two\n"
    "more integer bits and eight more fractional bits than precision, rounding to nearest and\n"
    "saturating (" +
    default_membrane_type_name() + " for " + zelka::fpga::default_precision +
    ").  precision='auto'\n"
    "chooses the input type and each dense layer's types (those a node does not set), and\n"
    "membrane_precision='auto' (or None with precision='auto') the membrane type, from the\n"
    "weights and the ranges simulate_batch observes on calibration (stimuli as simulate_batch\n"
    "takes them; None: input_data as one sample): one integer bit of headroom over the\n"
    "largest value, and fractional bits that keep each rounding's effect on a membrane within\n"
    "2^-15 of the smallest threshold magnitude over the run (where every threshold is 0, of the\n"
    "largest membrane magnitude).  Constants are rounded to the nearest value\n"
    "of their type; a rounding that changes any is reported with warnings.warn, naming the\n"
    "node and the largest change.  board names the part (see vexal.VEXAL_PARTS),\n"
    "clock_period is in nanoseconds.\n\n"
    "The reference spikes take a line of each LIF layer's neuron count plus a line break per\n"
    "step: n_steps whose lines exceed 64 MiB in all are refused with a ValueError.  Ctrl-C\n"
    "stops the simulation and the writing; nothing is then written.\n\n"
    "Returns a dict: written_files, precision and membrane_precision (the types used),\n"
    "layer_types (per dense and LIF node), steps and reference_spike_counts.  Run the C\n"
    "simulation with zelka.backend.fpga.csim(output_dir).";

nb::str str_of(const std::string& text) {
  return nb::str(text.data(), text.size());
}

}  // namespace

NB_MODULE(hlsbridge, m) {
  register_core_exceptions();
  Numpy::load();
  nb::module_::import_("zelka.backend.fpga.cfgsmith");
  nb::module_::import_("zelka.backend.fpga.vexal");
  nb::module_::import_("zelka.backend.fpga.templates");
  // The configuration generator runs in this module too (compile and build_bitstream call it
  // directly): its node classes are bound here as cfgsmith binds them.
  load_node_kinds();

  bind_record<BitstreamConfig>(m, bitstream_config_layout);
  m.attr("_SUPPORTED") = supported_kind_set();
  def_typed(m, "generate_build_script", &generate_build_script, "hls_config"_a,
            "bitstream_config"_a, "project_name"_a = "myproject",
            "The text of build.py: the script that converts the project's PyTorch model with\n"
            "hls4ml and, with --bitstream, builds the bitstream.");
  def_typed(
      m, "csim",
      [](Arg<py::Path> project_dir, Arg<py::Stimuli> inputs, Arg<py::Int> n_steps,
         Arg<py::FloatOrNone> build_timeout,
         Arg<py::FloatOrNone> run_timeout) -> Returns<py::Dict> {
        return csim(project_dir, inputs, n_steps,
                    {timeout_argument(build_timeout, "build_timeout"),
                     timeout_argument(run_timeout, "run_timeout")});
      },
      "project_dir"_a, "inputs"_a = nb::none(), nb::kw_only(), "n_steps"_a = nb::none(),
      "build_timeout"_a = 600.0, "run_timeout"_a = 600.0,
      "csim(project_dir, inputs=None, *, n_steps=None, build_timeout=600.0, run_timeout=600.0):\n"
      "run the C simulation of the SNN HLS project in project_dir (a str, bytes or os.PathLike\n"
      "path), built with g++ against the headers copied into it and kept in the project's csim/\n"
      "folder (built again only when its sources or the g++ command change), and return a dict:\n"
      "agrees, steps, steps_agreeing, step_agreement (a bool per step), spike_counts and\n"
      "reference_spike_counts (per LIF node, over all steps), steps_differing (per LIF node)\n"
      "and build_seconds (0.0 when the kept program was current).\n\n"
      "inputs=None runs the stimulus written with the project.  Else inputs holds samples, a\n"
      "dict from Input name to arrays (batch, *shape) or a PerStep of arrays (steps, batch,\n"
      "*shape), run for n_steps steps (None: the project's, or the PerStep arrays') and compared\n"
      "with simulate_batch on the graph stored with the project (graph.zelka); the dict then\n"
      "also holds samples, sample_agrees, sample_steps_agreeing, sample_spike_counts and\n"
      "sample_reference_spike_counts (per LIF node, arrays (batch,)), neuron_spike_counts and\n"
      "neuron_reference_spike_counts (per LIF node, arrays (batch, neurons)), and its other keys\n"
      "cover every sample: a step agrees when it agrees in every sample.\n\n"
      "build_timeout and run_timeout bound the g++ build and the test bench's run, in seconds\n"
      "(None: no limit); a stage that outlasts its limit is killed, with whatever it started,\n"
      "and raises TimeoutError naming the stage and the limit.  Ctrl-C stops either stage\n"
      "within a fraction of a second.  RuntimeError when g++ is missing, the build fails or\n"
      "the test bench's report is not in its form.");
  def_typed(
      m, "_python_literal",
      [](Arg<py::Any> v) -> Returns<py::Str> {
        ValueConverter cv;
        return str_of(value::python_literal(cv.to_value(v)));
      },
      "value"_a);
  def_typed(
      m, "_json_text",
      [](Arg<py::Any> v, Arg<py::Int> indent) -> Returns<py::Str> {
        ValueConverter cv;
        return str_of(
            value::json_text(cv.to_value(v), static_cast<int>(int64_argument(indent, "indent"))));
      },
      "value"_a, "indent"_a = 2);

  BackendClassBuilder(m, "HlsBridge", "fpga", fpga_backend_doc)
      .method(
          "validate",
          [](nb::handle, Arg<py::Graph> graph) -> Returns<py::ValidationResult> {
            return validate(graph);
          },
          "graph"_a,
          "Check the graph's node kinds and edges; problems are reported in the result's\n"
          "warnings and unsupported_nodes.")
      .method("compile", &compile_graph, "graph"_a, "config"_a = nb::none(),
              "output_dir"_a = "hls4ml_project", "project_name"_a = "myproject",
              "part"_a = zelka::fpga::default_part.data(),
              "clock_period"_a = zelka::fpga::default_clock_period_ns, "io_type"_a = "io_stream",
              "default_precision"_a = zelka::fpga::default_precision, "default_reuse_factor"_a = 1,
              "strategy"_a = "Latency", "bitstream_config"_a = nb::none(),
              "A HardwareDescriptor whose metadata holds the hls4ml configuration, the\n"
              "neuron-model header paths, the board table and, with a BitstreamConfig, the\n"
              "build.py and build_prj.tcl texts.")
      .method("build_bitstream", &build, "graph"_a, "output_dir"_a = "hls4ml_project",
              "project_name"_a = "myproject", "part"_a = zelka::fpga::default_part.data(),
              "clock_period"_a = zelka::fpga::default_clock_period_ns, "io_type"_a = "io_stream",
              "default_precision"_a = zelka::fpga::default_precision, "default_reuse_factor"_a = 1,
              "strategy"_a = "Latency", "bitstream_config"_a = nb::none(),
              "write_to_disk"_a = false, "pytorch_model"_a = nb::none(),
              "Every artefact of the hls4ml project; with write_to_disk=True the project\n"
              "folder is written (all files or none) and the model saved as model.pt.")
      .method("write_snn_project", &write_snn, "graph"_a, "output_dir"_a,
              "project_name"_a = "myproject", nb::kw_only(),
              "precision"_a = zelka::fpga::default_precision, "membrane_precision"_a = nb::none(),
              "reuse_factor"_a = 1, "strategy"_a = "Latency", "input_data"_a = nb::none(),
              "n_steps"_a = 100, "board"_a = zelka::fpga::default_board.data(),
              "clock_period"_a = zelka::fpga::default_clock_period_ns, "calibration"_a = nb::none(),
              write_snn_project_doc.c_str())
      .method(
          "get_capabilities",
          [](nb::handle) -> Returns<py::BackendCapabilities> { return capabilities(); },
          "The backend's BackendCapabilities.")
      .method(
          "get_constraints", [](nb::handle) -> Returns<py::HardwareSpec> { return constraints(); },
          "The backend's HardwareSpec limits.")
      .build();

  nb::object backend = m.attr("HlsBridge")();
  m.attr("_fpga_backend") = backend;
  nb::module_::import_("zelka.backend.registry").attr("register_backend")(backend);
}
