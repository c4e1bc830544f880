#include "host/fpga/snn_project.hpp"

#include <algorithm>
#include <cctype>

#include "core/fpga/project_writer.hpp"
#include "core/fpga/snn_bench_data.hpp"
#include "core/fpga/snn_constants.hpp"
#include "core/fpga/snn_firmware.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "core/text/template.hpp"
#include "core/tools/sha256.hpp"
#include "host/fpga/clock_period.hpp"
#include "host/fpga/hls_headers.hpp"
#include "host/fpga/project_paths.hpp"
#include "host/fpga/script_names.hpp"
#include "host/fpga/snn_auto_precision.hpp"
#include "host/fpga/snn_graph.hpp"
#include "host/fpga/stored_graph.hpp"
#include "host/fpga/vexal_config.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

using zelka::fpga::FixedType;
namespace snn = zelka::fpga::snn;

FixedType type_argument(nb::handle text, const char* argument) {
  if (auto type = numeric::parse_fixed_type(utf8(text))) return *type;
  raise_formatted(PyExc_ValueError,
                  "Argument '{}' must be a fixed-point type name ({}) or 'auto', got {!r}",
                  argument, numeric::fixed_type_forms, text);
}

snn::Strategy strategy_argument(nb::handle text) {
  std::string name = utf8(text);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "latency") return snn::Strategy::latency;
  if (name == "resource") return snn::Strategy::resource;
  raise_formatted(PyExc_ValueError, "Argument 'strategy' must be 'Latency' or 'Resource', got {!r}",
                  text);
}

std::int64_t positive_argument(nb::handle value, const char* argument) {
  const long long n = PyLong_AsLongLong(value.ptr());
  if (n == -1 && PyErr_Occurred()) throw nb::python_error();
  if (n < 1)
    raise_formatted(PyExc_ValueError, "Argument '{}' must be at least 1, got {!r}", argument,
                    value);
  return n;
}

// ValueError naming n_steps when the test bench's reference spikes for `steps` steps would
// exceed the limit.
void require_reference_fits(const snn::Network& network, std::int64_t steps) {
  if (snn::reference_bytes(network, static_cast<std::uint64_t>(steps)) <=
      snn::reference_bytes_limit)
    return;
  const std::uint64_t per_step = snn::reference_bytes(network, 1);
  raise_formatted(PyExc_ValueError,
                  "Argument 'n_steps': the test bench's reference spikes of {} steps would take {} "
                  "bytes ({} per step), above the limit of {} bytes (64 MiB): at most {} steps "
                  "fit this network",
                  steps, multiply(nb::int_(steps), nb::int_(per_step)), per_step,
                  snn::reference_bytes_limit, snn::reference_bytes_limit / per_step);
}

bool is_auto(nb::handle text) {
  return PyUnicode_Check(text.ptr()) && utf8(text) == "auto";
}

// The chosen types in place of those the network was read with.
void apply_types(snn::Network& network, const snn::ChosenTypes& types) {
  network.input_type = types.input;
  network.membrane_type = types.membrane;
  for (std::size_t i = 0; i < network.nodes.size(); ++i) {
    snn::Node& node = network.nodes[i];
    if (node.kind != snn::NodeKind::dense) continue;
    node.weight_type = *types.dense[i].weight;
    node.bias_type = *types.dense[i].bias;
    node.accum_type = *types.dense[i].accum;
    node.result_type = *types.dense[i].result;
  }
}

// Node name -> its types: weight_t, bias_t, accum_t and result_t of a dense layer, membrane_t
// and decay_t of an LIF layer.
nb::dict layer_types(const snn::Network& network) {
  const auto str = [](const FixedType& type) { return nb::str(type.name().c_str()); };
  nb::dict layers;
  for (const snn::Node& node : network.nodes) {
    nb::dict types;
    if (node.kind == snn::NodeKind::dense) {
      types["weight_t"] = str(node.weight_type);
      types["bias_t"] = str(node.bias_type);
      types["accum_t"] = str(node.accum_type);
      types["result_t"] = str(node.result_type);
    } else if (node.kind == snn::NodeKind::lif) {
      types["membrane_t"] = str(network.membrane_type);
      types["decay_t"] = str(zelka::fpga::decay_type(network.membrane_type));
    } else {
      continue;
    }
    layers[str_from_utf8_surrogates_passed(node.name)] = types;
  }
  return layers;
}

void emit_warnings(const std::vector<std::string>& warnings) {
  for (const std::string& text : warnings)
    if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw nb::python_error();
}

}  // namespace

nb::dict write_snn_project(nb::handle graph, const SnnProjectArguments& a) {
  if (!truth(a.output_dir))
    throw nb::value_error(
        "Argument 'output_dir' must name a folder to write the project to, got ''");
  require_project_name(a.project_name, "project_name", ProjectNameUse::cpp_top_function);
  const std::string project = utf8(a.project_name);
  std::optional<FixedType> precision, membrane;
  if (!is_auto(a.precision)) precision = type_argument(a.precision, "precision");
  if (!a.membrane_precision.is_none() && !is_auto(a.membrane_precision))
    membrane = type_argument(a.membrane_precision, "membrane_precision");
  else if (a.membrane_precision.is_none() && precision)
    membrane = zelka::fpga::default_membrane_type(*precision);
  if (precision && membrane && !a.calibration.is_none())
    throw nb::value_error(
        "Argument 'calibration' is read by precision='auto' and membrane_precision='auto' only");
  const snn::Strategy strategy = strategy_argument(a.strategy);
  const auto reuse_factor = static_cast<unsigned>(
      std::min<std::int64_t>(positive_argument(a.reuse_factor, "reuse_factor"), 1'000'000'000));
  const std::int64_t n_steps = positive_argument(a.n_steps, "n_steps");
  require_positive_clock_period(a.clock_period);
  nb::module_ vexal = imported("zelka.backend.fpga.vexal");
  nb::object target = vexal.attr("VexalConfig").attr("for_board")(a.board);
  target.attr("clock_period_ns") = a.clock_period;
  FileTexts library = hls4ml_headers();

  // With a type chosen automatically the network is read with the default types in its place
  // first, which the choice then replaces.
  snn::Network network = read_network(
      graph, a.input_data,
      {precision.value_or(FixedType{}), membrane.value_or(FixedType{}), strategy, reuse_factor});
  const bool has_lif = std::any_of(network.nodes.begin(), network.nodes.end(),
                                   [](const snn::Node& n) { return n.kind == snn::NodeKind::lif; });
  if (!has_lif)
    throw nb::value_error(
        "the graph has no LIF node: the project's test bench compares the spikes of LIF layers");
  snn::Plan plan = snn::plan_network(network);
  for (const snn::Node& node : network.nodes)
    if (node.kind == snn::NodeKind::lif && text::has_control_character(node.name))
      raise_formatted(PyExc_ValueError,
                      "{}: its name holds a line break or another control character, which the "
                      "test bench's report cannot carry",
                      nb::str(node.label.c_str()));
  require_reference_fits(network, simulated_steps(graph, n_steps));
  nb::object built = nb::borrow(graph);
  if (!precision || !membrane) {
    const AutoPrecision chosen =
        auto_precision(graph, network, plan, a.calibration, n_steps, precision, membrane);
    built = chosen.graph;
    precision = chosen.types.input;
    membrane = chosen.types.membrane;
    apply_types(network, chosen.types);
    plan = snn::plan_network(network);  // the value and sum types follow the chosen ones
  }
  emit_warnings(snn::round_constants(network));
  const SimulatedSpikes reference = simulate_spikes(graph, network, a.input_data, n_steps);

  // Ctrl-C is honoured between the parts and while the files are written; nothing is
  // written unless all of them are.
  run_signal_handlers();
  FileTexts files = snn::firmware_files(network, plan, project);
  run_signal_handlers();
  nb::object parameters_h =
      imported("zelka.backend.fpga.cfgsmith")
          .attr("generate_parameters_h")(
              built,
              "default_precision"_a = is_auto(a.precision) ? nb::str(precision->name().c_str())
                                                           : nb::borrow<nb::str>(a.precision),
              "default_reuse_factor"_a = reuse_factor, "io_type"_a = "io_parallel");
  files.emplace_back("firmware/parameters.h", utf8(parameters_h) + "\n");
  for (auto& file : package_headers()) files.push_back(std::move(file));
  for (auto& file : library) files.push_back(std::move(file));
  std::string stored_graph = stored_graph_bytes(built);
  for (auto& file :
       snn::testbench_files(network, plan, project,
                            {reference.spikes, reference.steps, tools::sha256_hex(stored_graph)}))
    files.push_back(std::move(file));
  files.emplace_back(stored_graph_file, std::move(stored_graph));
  files.emplace_back(
      "build_prj.tcl",
      utf8(tcl_script(static_cast<const VexalConfig&>(detail::initialised_record(target)),
                      a.project_name, "tb_data")));

  const std::string folder = fs_path(a.output_dir);
  nb::list written;
  std::vector<std::string> targets;
  for (const auto& file : files) {
    targets.push_back(join(folder, file.first));
    written.append(host_path(targets.back()));
  }
  {
    nb::gil_scoped_release release;
    zelka::fpga::ProjectWriter writer(run_signal_handlers_unlocked);
    for (std::size_t i = 0; i < files.size(); ++i) {
      writer.make_directories(parent_of(targets[i]));
      writer.stage(targets[i], files[i].second);
    }
    writer.commit();
  }

  nb::dict result;
  result["written_files"] = written;
  result["precision"] = nb::str(precision->name().c_str());
  result["membrane_precision"] = nb::str(membrane->name().c_str());
  result["layer_types"] = layer_types(network);
  result["steps"] = reference.steps;
  result["reference_spike_counts"] = reference.counts;
  return result;
}

}  // namespace zelka::host::fpga
