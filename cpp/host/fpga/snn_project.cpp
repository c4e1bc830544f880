#include "host/fpga/snn_project.hpp"

#include <algorithm>
#include <cctype>

#include "core/fpga/snn_firmware.hpp"
#include "core/fpga/snn_testbench.hpp"
#include "host/fpga/clock_period.hpp"
#include "host/fpga/hls_headers.hpp"
#include "host/fpga/project_files.hpp"
#include "host/fpga/project_paths.hpp"
#include "host/fpga/script_names.hpp"
#include "host/fpga/snn_arguments.hpp"
#include "host/fpga/snn_reading.hpp"

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

// ValueError naming n_steps when the test bench's reference spikes for `steps` steps would
// exceed the limit.
void require_reference_fits(const snn::Network& network, std::int64_t steps) {
  if (snn::reference_bytes(network, static_cast<std::uint64_t>(steps)) <=
      snn::reference_bytes_limit)
    return;
  const std::uint64_t per_step = snn::reference_bytes(network, 1);
  raise_formatted(PyExc_ValueError,
                  "Argument 'n_steps': a test bench of {} steps would embed {} bytes of reference "
                  "spikes ({} per step), above the limit of {} bytes (64 MiB): at most {} steps "
                  "fit this network",
                  steps, multiply(nb::int_(steps), nb::int_(per_step)), per_step,
                  snn::reference_bytes_limit, snn::reference_bytes_limit / per_step);
}

}  // namespace

nb::dict write_snn_project(nb::handle graph, const SnnProjectArguments& a) {
  require_output_dir(a.output_dir);
  require_project_name(a.project_name, "project_name", ProjectNameUse::cpp_top_function);
  const std::string project = utf8(a.project_name);
  const FixedType precision = type_argument(a.precision, "precision");
  const FixedType membrane = membrane_argument(a.membrane_precision, precision);
  const snn::Strategy strategy = strategy_argument(a.strategy);
  const auto reuse_factor = static_cast<unsigned>(
      std::min<std::int64_t>(positive_argument(a.reuse_factor, "reuse_factor"), 1'000'000'000));
  const std::int64_t n_steps = positive_argument(a.n_steps, "n_steps");
  require_positive_clock_period(a.clock_period);
  nb::module_ vexal = imported("zelka.backend.fpga.vexal");
  nb::object target = vexal.attr("VexalConfig").attr("for_board")(a.board);
  target.attr("clock_period_ns") = a.clock_period;
  FileTexts library = hls4ml_headers();

  const auto [network, plan] =
      planned_network(graph, a.input_data, {precision, membrane, strategy, reuse_factor});
  require_reference_fits(network, simulated_steps(graph, n_steps));
  const SimulatedSpikes reference = simulate_spikes(graph, network, a.input_data, n_steps);

  // Ctrl-C is honoured between the parts and while the files are written; nothing is
  // written unless all of them are.
  run_signal_handlers();
  FileTexts files = snn::firmware_files(network, plan, project);
  run_signal_handlers();
  nb::object parameters_h =
      imported("zelka.backend.fpga.cfgsmith")
          .attr("generate_parameters_h")(graph, "default_precision"_a = a.precision,
                                         "default_reuse_factor"_a = reuse_factor,
                                         "io_type"_a = "io_parallel");
  files.emplace_back("firmware/parameters.h", utf8(parameters_h) + "\n");
  for (auto& file : package_headers()) files.push_back(std::move(file));
  for (auto& file : library) files.push_back(std::move(file));
  for (auto& file : snn::testbench_files(network, plan, project, reference.spikes, reference.steps))
    files.push_back(std::move(file));
  files.emplace_back("build_prj.tcl", utf8(vexal.attr("generate_tcl")(target, a.project_name)));

  nb::dict result;
  result["written_files"] = write_project_files(fs_path(a.output_dir), files);
  result["membrane_precision"] = nb::str(membrane.name().c_str());
  result["steps"] = reference.steps;
  result["reference_spike_counts"] = reference.counts;
  return result;
}

}  // namespace zelka::host::fpga
