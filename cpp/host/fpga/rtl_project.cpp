#include "host/fpga/rtl_project.hpp"

#include <algorithm>
#include <numeric>

#include "core/fpga/boards.hpp"
#include "core/fpga/rtl_cycles.hpp"
#include "core/fpga/rtl_library.hpp"
#include "core/fpga/rtl_memories.hpp"
#include "core/fpga/rtl_scripts.hpp"
#include "core/fpga/rtl_targets.hpp"
#include "core/fpga/rtl_testbench.hpp"
#include "core/fpga/rtl_top.hpp"
#include "core/tools/sha256.hpp"
#include "host/args.hpp"
#include "host/fpga/project_files.hpp"
#include "host/fpga/script_names.hpp"
#include "host/fpga/snn_arguments.hpp"
#include "host/fpga/snn_reading.hpp"
#include "host/fpga/snn_types.hpp"
#include "host/fpga/stored_graph.hpp"
#include "host/paths.hpp"

namespace zelka::host::fpga {
namespace {

using zelka::fpga::FixedType;
namespace snn = zelka::fpga::snn;
namespace rtl = zelka::fpga::rtl;

// The most values a word of the design holds.
constexpr std::int64_t most_lanes = 1024;

// The most bytes of reference spikes the test bench's data file holds: 256 MiB.
constexpr std::uint64_t reference_limit = std::uint64_t{256} << 20;

const rtl::Target& target_argument(nb::handle name) {
  if (const rtl::Target* target = rtl::find_target(utf8(name))) return *target;
  raise_formatted(PyExc_ValueError, "Argument 'target' must be {}, got {!r}",
                  nb::str(rtl::target_names().c_str()), name);
}

// The board whose part the xcup target's figures are given for.
constexpr std::string_view ultrascale_board = zelka::fpga::default_board;

void warn_when_weights_overflow(const snn::Network& network, const rtl::Design& design,
                                const rtl::Target& target) {
  const std::uint64_t bits = rtl::weight_bits(network, design);
  const auto resources = rtl::target_resources(target, ultrascale_board);
  const auto available = static_cast<std::uint64_t>(resources->bram_bits);
  if (bits <= available) return;
  const std::string text = "the weights take " + std::to_string(bits) + " bits of block RAM, " +
                           "more than the " + std::to_string(available) + " bits of the " +
                           std::string(target.device) +
                           ": the design does not fit it; a narrower weight_t on the dense "
                           "nodes (ap_fixed<8,2>, say) halves them";
  if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) != 0) throw nb::python_error();
}

// dense_parallelism: the dense nodes named, each with its outputs computed at a time, a
// multiple of `lanes` up to most_lanes.
std::vector<rtl::DenseLanes> dense_lanes_argument(nb::handle given, const snn::Network& network,
                                                  std::int64_t lanes) {
  std::vector<rtl::DenseLanes> dense;
  if (given.is_none()) return dense;
  require_dict_or_none(given, "dense_parallelism");
  for (auto [key, value] : nb::borrow<nb::dict>(given)) {
    if (!nb::isinstance<nb::str>(key))
      raise_formatted(PyExc_TypeError,
                      "Argument 'dense_parallelism' maps node names to counts; got the key {!r}",
                      key);
    const std::string name = utf8(key);
    const auto node = std::find_if(network.nodes.begin(), network.nodes.end(),
                                   [&](const snn::Node& n) { return n.name == name; });
    if (node == network.nodes.end())
      raise_formatted(PyExc_ValueError,
                      "Argument 'dense_parallelism' names {!r}, which is no node of the graph",
                      key);
    if (node->kind != snn::NodeKind::dense)
      raise_formatted(PyExc_ValueError,
                      "Argument 'dense_parallelism' names {}, which is not a dense layer "
                      "(Affine or SpikingAffine)",
                      nb::str(node->label.c_str()));
    const std::int64_t count = count64_argument(value, "dense_parallelism");
    if (count < lanes || count % lanes != 0 || count > most_lanes)
      raise_formatted(PyExc_ValueError,
                      "Argument 'dense_parallelism' gives {} {} outputs at a time; expected a "
                      "multiple of parallelism ({}) up to {}",
                      nb::str(node->label.c_str()), count, lanes, most_lanes);
    dense.push_back(
        {static_cast<std::size_t>(node - network.nodes.begin()), static_cast<std::size_t>(count)});
  }
  return dense;
}

}  // namespace

nb::dict write_rtl_project(nb::handle graph, const RtlProjectArguments& a) {
  require_output_dir(a.output_dir);
  require_project_name(a.project_name, "project_name", ProjectNameUse::verilog_module);
  const std::string project = utf8(a.project_name);
  GivenTypes types = given_types(a.precision, a.membrane_precision, a.calibration);
  const std::int64_t lanes = positive_argument(a.parallelism, "parallelism");
  if (lanes > most_lanes)
    raise_formatted(PyExc_ValueError,
                    "Argument 'parallelism' must be at most {} (neurons updated per clock cycle), "
                    "got {!r}",
                    most_lanes, a.parallelism);
  const std::int64_t n_steps = positive_argument(a.n_steps, "n_steps");
  const rtl::Target& target = target_argument(a.target);

  PlannedNetwork planned = planned_network(
      graph, a.input_data, settings_for(types, snn::Strategy::latency, 1, "write_rtl_project"));
  const std::int64_t steps = simulated_steps(graph, n_steps);
  require_stimulus_steps(planned.network, steps);
  require_reference_fits(planned.network, steps, reference_limit);
  const nb::object built = choose_missing_types(graph, planned, types, a.calibration, n_steps);
  auto& [network, plan] = planned;
  round_constants_with_warnings(network);
  const rtl::Design design =
      rtl::design_network(network, plan, static_cast<std::size_t>(lanes),
                          dense_lanes_argument(a.dense_parallelism, network, lanes), a.overlap);
  warn_when_weights_overflow(network, design, target);
  const SimulatedSpikes reference = simulate_spikes(graph, network, a.input_data, n_steps);

  // Ctrl-C is honoured between the parts and while the files are written; nothing is
  // written unless all of them are.
  run_signal_handlers();
  snn::ProjectFiles files = rtl::library_files();
  files.emplace_back("rtl/" + project + ".v", rtl::top_module(network, design, project));
  for (auto& file : rtl::memory_files(network, design)) files.push_back(std::move(file));
  run_signal_handlers();
  std::string stored_graph = stored_graph_bytes(built);
  for (auto& file :
       rtl::testbench_files(network, design, project,
                            {reference.spikes, reference.steps, tools::sha256_hex(stored_graph)},
                            rtl::longest_step_cycles(network, design)))
    files.push_back(std::move(file));
  files.emplace_back(stored_graph_file, std::move(stored_graph));
  for (auto& file : rtl::yosys_scripts(project)) files.push_back(std::move(file));
  const std::vector<std::uint64_t> cycles =
      rtl::step_cycles(network, design, reference.spikes, reference.steps);

  nb::dict result;
  result["written_files"] = write_project_files(fs_path(a.output_dir), files);
  result["precision"] = nb::str(types.precision->name().c_str());
  result["membrane_precision"] = nb::str(types.membrane->name().c_str());
  result["layer_types"] = layer_types(network);
  result["steps"] = reference.steps;
  result["reference_spike_counts"] = reference.counts;
  result["schedule"] = nb::str(rtl::schedule_name(design.schedule));
  result["cycles_per_step_estimate"] =
      cycles.empty()
          ? 0.0
          : static_cast<double>(std::accumulate(cycles.begin(), cycles.end(), std::uint64_t{0})) /
                static_cast<double>(cycles.size());
  return result;
}

}  // namespace zelka::host::fpga
