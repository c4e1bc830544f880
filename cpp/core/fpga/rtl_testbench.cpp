#include "core/fpga/rtl_testbench.hpp"

#include <cmath>

#include "core/fpga/rtl_top.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

// The texts of the test bench, with «placeholders» that text::fill replaces.

constexpr std::string_view bench =
    R"cpp(// Verilator test bench of «project»: runs the design step by step on the stimulus of
          // <data folder>/stimulus.txt and compares every LIF layer's spikes with the CPU
          // simulator's of <data folder>/reference_spikes.txt at every step.  Both are read when it
          // runs, so new data needs no new build.
          //
          //     «project»_rtl_tb <data folder> <cycles file> [runs]
          //
          // `runs` (1 unless given) repeats the reference's steps, each run started with `clear`.
          // It prints the report of the HLS project's C simulation, one line each:
          //     zelka-csim steps=<steps> layers=<LIF layers>
          //     layer <k> neurons=<count> <node name>            for each LIF layer, k = 1, 2, ...
          //     step <t> agree|differ <c>,<r>,<d> ...            for each step t = 1, 2, ...: per
          //     layer
          //                                                      the spikes of the design, of the
          //                                                      CPU simulator, and the neurons
          //                                                      whose spike differs
          //     result <agreeing>/<steps> steps agree
          // writes the clock cycles of every step to the cycles file, one a line, and exits with
          // status 0 when every step agrees, 1 when one differs and 2 when it cannot run (saying
          // why on standard error).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "V«project».h"
#include "verilated.h"

          namespace {

          const unsigned lanes = «lanes»;
          // The neurons of each LIF layer, the values of each Input port and their width in bits.
          const std::vector<unsigned> layer_neurons = {«layer_neurons»};
          const std::vector<unsigned> input_sizes = {«input_sizes»};
          const unsigned input_width = «input_width»;
          // More cycles than the longest step takes: a step still running then has hung.
          const std::uint64_t cycle_limit = «cycle_limit»;

          [[noreturn]] void fail(const std::string& what) {
            std::fprintf(stderr, "«project»_rtl_tb: %s\n", what.c_str());
            std::exit(2);
          }

          std::vector<std::string> lines_of(const std::string& path) {
            std::ifstream file(path);
            if (!file) fail("cannot read " + path);
            std::vector<std::string> lines;
            for (std::string line; std::getline(file, line);) lines.push_back(line);
            return lines;
          }

          void tick(V«project»& top) {
            top.clk = 0;
            top.eval();
            top.clk = 1;
            top.eval();
          }

          bool fired(const V«project»& top, unsigned lane) {
            return «spike_bit»;
          }

          // The Input ports' values, written into the design one by one.
          void write_stimulus(V«project»& top, const std::string& path) {
            const std::vector<std::string> lines = lines_of(path);
            if (lines.size() != input_sizes.size())
              fail(path + " has " + std::to_string(lines.size()) + " lines for " +
                   std::to_string(input_sizes.size()) + " Input ports");
            for (unsigned port = 0; port < input_sizes.size(); port++) {
              std::istringstream values(lines[port]);
              unsigned count = 0;
              for (long long value; values >> value; count++) {
                if (count == input_sizes[port]) break;
                top.in_write = 1;
                top.in_port = port;
                top.in_word = count / lanes;
                top.in_lane = count % lanes;
                top.in_value = static_cast<std::uint64_t>(value) & ((std::uint64_t{1} << input_width) - 1);
                tick(top);
              }
              top.in_write = 0;
              if (count != input_sizes[port] || !values.eof())
                fail(path + ": line " + std::to_string(port + 1) + " does not hold " +
                     std::to_string(input_sizes[port]) + " integers");
            }
          }

          }  // namespace

          int main(int argc, char** argv) {
            if (argc < 3 || argc > 4)
              fail(
                  "usage: «project»_rtl_tb <data folder> <cycles file> "
                  "[runs]");
            const std::string data = argv[1];
            const long runs = argc == 4 ? std::strtol(argv[3], nullptr, 10) : 1;
            if (runs < 1) fail("the runs must be at least 1");
            const unsigned layers = layer_neurons.size();
            const std::vector<std::string> reference = lines_of(data + "/reference_spikes.txt");
            if (reference.size() < layers || (reference.size() - layers) % layers != 0)
              fail(data + "/reference_spikes.txt does not hold a line per layer and step");
            const std::size_t steps = (reference.size() - layers) / layers;
            for (unsigned k = 0; k < layers; k++)
              if (reference[k].rfind("layer " + std::to_string(k + 1) +
                                         " neurons=" + std::to_string(layer_neurons[k]) + " ",
                                     0) != 0)
                fail(data + "/reference_spikes.txt: line " + std::to_string(k + 1) +
                     " does not name layer " + std::to_string(k + 1) + " of " +
                     std::to_string(layer_neurons[k]) + " neurons");
            for (std::size_t line = layers; line < reference.size(); line++)
              if (reference[line].size() != layer_neurons[line % layers] ||
                  reference[line].find_first_not_of("01") != std::string::npos)
                fail(data + "/reference_spikes.txt: line " + std::to_string(line + 1) + " is not " +
                     std::to_string(layer_neurons[line % layers]) + " spikes");

            VerilatedContext context;
            V«project» top(&context);
            top.rst = 1;
            tick(top);
            tick(top);
            top.rst = 0;
            write_stimulus(top, data + "/stimulus.txt");

            std::printf("zelka-csim steps=%zu layers=%u\n", steps * runs, layers);
            for (unsigned k = 0; k < layers; k++) std::printf("%s\n", reference[k].c_str());
            std::vector<std::uint64_t> cycles;
            std::vector<std::vector<char>> spikes(layers);
            unsigned agreeing = 0;
            for (long run = 0; run < runs; run++)
              for (std::size_t t = 0; t < steps; t++) {
                for (unsigned k = 0; k < layers; k++) spikes[k].assign(layer_neurons[k], '0');
                top.start = 1;
                top.clear = t == 0;
                std::uint64_t step_cycles = 0;
                do {
                  tick(top);
                  top.start = 0;
                  top.clear = 0;
                  if (++step_cycles > cycle_limit)
                    fail("step " + std::to_string(cycles.size() + 1) + " did not finish within " +
                         std::to_string(cycle_limit) + " cycles");
                  if (!top.spike_valid) continue;
                  if (top.spike_layer >= layers) fail("spikes of a layer that does not exist");
                  for (unsigned lane = 0; lane < lanes; lane++) {
                    const std::size_t neuron = std::size_t{top.spike_word} * lanes + lane;
                    if (neuron < layer_neurons[top.spike_layer])
                      spikes[top.spike_layer][neuron] = fired(top, lane) ? '1' : '0';
                  }
                } while (!top.done);
                cycles.push_back(step_cycles);
                bool agrees = true;
                std::string counts;
                for (unsigned k = 0; k < layers; k++) {
                  const std::string& expected = reference[layers + t * layers + k];
                  unsigned design = 0, simulated = 0, differing = 0;
                  for (unsigned n = 0; n < layer_neurons[k]; n++) {
                    design += spikes[k][n] == '1';
                    simulated += expected[n] == '1';
                    differing += spikes[k][n] != expected[n];
                  }
                  agrees = agrees && differing == 0;
                  counts += " " + std::to_string(design) + "," + std::to_string(simulated) + "," +
                            std::to_string(differing);
                }
                agreeing += agrees;
                std::printf("step %zu %s%s\n", cycles.size(), agrees ? "agree" : "differ", counts.c_str());
              }
            std::printf("result %u/%zu steps agree\n", agreeing, steps * runs);
            top.final();

            std::ofstream cycles_file(argv[2]);
            for (std::uint64_t c : cycles) cycles_file << c << "\n";
            if (!cycles_file.flush()) fail(std::string("cannot write ") + argv[2]);
            return agreeing == steps * runs ? 0 : 1;
          }
    )cpp";

// A layer's spikes at one lane of the spike port, a plain integer up to 64 lanes and an
// array of 32-bit words past that.
constexpr std::string_view narrow_spike_bit =
    "(static_cast<std::uint64_t>(top.spike_bits) >> lane) & 1U";
constexpr std::string_view wide_spike_bit = "(top.spike_bits[lane / 32] >> (lane % 32)) & 1U";

std::string joined(const std::vector<std::size_t>& numbers) {
  std::string out;
  for (std::size_t n : numbers) out += (out.empty() ? "" : ", ") + std::to_string(n);
  return out;
}

// A line per Input port: its values as the design stores them, as signed integers.
std::string stimulus_text(const snn::Network& net, const Design& design) {
  std::string out;
  for (const Port& port : design.inputs) {
    const snn::Node& node = net.nodes[port.node];
    std::string line;
    for (double value : node.stimulus) {
      const auto raw = static_cast<long long>(std::ldexp(value, net.input_type.fractional_bits()));
      line += (line.empty() ? "" : " ") + std::to_string(raw);
    }
    out += line + "\n";
  }
  return out;
}

std::string reference_text(const snn::Network& net, const snn::ReferenceSpikes& reference,
                           std::size_t steps) {
  std::string out;
  std::vector<std::size_t> neurons;
  for (const snn::Node& node : net.nodes) {
    if (node.kind != NodeKind::lif) continue;
    neurons.push_back(node.neurons);
    out += "layer " + std::to_string(neurons.size()) + " neurons=" + std::to_string(node.neurons) +
           " " + node.name + "\n";
  }
  for (std::size_t t = 0; t < steps; ++t)
    for (std::size_t k = 0; k < neurons.size(); ++k) {
      const std::uint8_t* fired = reference[k].data() + t * neurons[k];
      for (std::size_t n = 0; n < neurons[k]; ++n) out += fired[n] ? '1' : '0';
      out += '\n';
    }
  return out;
}

}  // namespace

snn::ProjectFiles testbench_files(const snn::Network& network, const Design& design,
                                  const std::string& project, const snn::ReferenceSpikes& reference,
                                  std::size_t steps, std::uint64_t longest_step) {
  std::vector<std::size_t> neurons, input_sizes;
  for (const snn::Node& node : network.nodes)
    if (node.kind == NodeKind::lif) neurons.push_back(node.neurons);
  for (const Port& port : design.inputs) input_sizes.push_back(design.storages[port.storage].size);
  const std::string source = text::fill(
      bench, {{"project", project},
              {"lanes", std::to_string(design.lanes)},
              {"layer_neurons", joined(neurons)},
              {"input_sizes", joined(input_sizes)},
              {"input_width", std::to_string(network.input_type.width)},
              {"cycle_limit", std::to_string(2 * longest_step + 100)},
              {"spike_bit", std::string(design.lanes > 64 ? wide_spike_bit : narrow_spike_bit)}});
  return {{testbench_source(project), source},
          {"tb_data/stimulus.txt", stimulus_text(network, design)},
          {"tb_data/reference_spikes.txt", reference_text(network, reference, steps)}};
}

std::string testbench_source(const std::string& project) {
  return project + "_rtl_tb.cpp";
}

}  // namespace zelka::fpga::rtl
