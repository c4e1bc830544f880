#include "host/fpga/snn_project.hpp"

#include <algorithm>
#include <cctype>

#include "core/fpga/snn_bench_data.hpp"
#include "core/fpga/snn_constants.hpp"
#include "core/fpga/snn_firmware.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "core/tools/sha256.hpp"
#include "host/fpga/clock_period.hpp"
#include "host/fpga/hls_headers.hpp"
#include "host/fpga/parameters_blocks.hpp"
#include "host/fpga/project_files.hpp"
#include "host/fpga/script_names.hpp"
#include "host/fpga/snn_arguments.hpp"
#include "host/fpga/snn_reading.hpp"
#include "host/fpga/snn_types.hpp"
#include "host/fpga/stored_graph.hpp"
#include "host/fpga/vexal_config.hpp"
#include "host/paths.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

using zelka::fpga::FixedType;
namespace snn = zelka::fpga::snn;

snn::Strategy strategy_argument(nb::handle text) {
  std::string name = utf8(text);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (name == "latency") return snn::Strategy::latency;
  if (name == "resource") return snn::Strategy::resource;
  raise_formatted(PyExc_ValueError, "Argument 'strategy' must be 'Latency' or 'Resource', got {!r}",
                  text);
}

}  // namespace

nb::dict write_snn_project(nb::handle graph, const SnnProjectArguments& a) {
  require_output_dir(a.output_dir);
  require_project_name(a.project_name, "project_name", ProjectNameUse::cpp_top_function);
  const std::string project = utf8(a.project_name);
  GivenTypes types = given_types(a.precision, a.membrane_precision, a.calibration);
  const snn::Strategy strategy = strategy_argument(a.strategy);
  const auto reuse_factor = static_cast<unsigned>(
      std::min<std::int64_t>(positive_argument(a.reuse_factor, "reuse_factor"), 1'000'000'000));
  const std::int64_t n_steps = positive_argument(a.n_steps, "n_steps");
  require_positive_clock_period(a.clock_period);
  nb::object target = config_for_board(a.board);
  target.attr("clock_period_ns") = a.clock_period;
  FileTexts library = hls4ml_headers();

  // With a type chosen automatically the network is read with the default types in its place
  // first, which the choice then replaces.
  PlannedNetwork planned = planned_network(
      graph, a.input_data, settings_for(types, strategy, reuse_factor, "write_snn_project"));
  const std::int64_t steps = simulated_steps(graph, n_steps);
  require_stimulus_steps(planned.network, steps);
  require_reference_fits(planned.network, steps, snn::reference_bytes_limit);
  const nb::object built = choose_missing_types(graph, planned, types, a.calibration, n_steps);
  auto& [network, plan] = planned;
  const FixedType& precision = *types.precision;
  const FixedType& membrane = *types.membrane;
  round_constants_with_warnings(network);
  const SimulatedSpikes reference = simulate_spikes(graph, network, a.input_data, n_steps);

  // Ctrl-C is honoured between the parts and while the files are written; nothing is
  // written unless all of them are.
  run_signal_handlers();
  FileTexts files = snn::firmware_files(network, plan, project);
  run_signal_handlers();
  const nb::str default_precision = utf8(a.precision) == "auto" ? nb::str(precision.name().c_str())
                                                                : nb::borrow<nb::str>(a.precision);
  const nb::int_ default_reuse_factor(reuse_factor);
  const nb::str io_type("io_parallel");
  files.emplace_back(
      "firmware/parameters.h",
      parameters_h(built, {default_precision, default_reuse_factor, io_type, true}) + "\n");
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

  nb::dict result;
  result["written_files"] = write_project_files(fs_path(a.output_dir), files);
  result["precision"] = nb::str(precision.name().c_str());
  result["membrane_precision"] = nb::str(membrane.name().c_str());
  result["layer_types"] = layer_types(network);
  result["steps"] = reference.steps;
  result["reference_spike_counts"] = reference.counts;
  return result;
}

}  // namespace zelka::host::fpga
