#include "core/fpga/rtl_testbench.hpp"

#include "core/fpga/rtl_top.hpp"
#include "core/text/cpp_literal.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

// The texts of the test bench, with «placeholders» that text::fill replaces.

constexpr std::string_view bench =
    R"cpp(// Verilator test bench of «project»: runs the design on every sample of a stimulus file
          // and
          // compares every LIF layer's spikes, step by step, with those of a reference file (the
          // CPU simulator's), both in the forms of the HLS project's test bench and read when it
          // runs, so that new data needs no new build.
          //
          //     «project»_rtl_tb <cycles file> [runs [STIMULUS [REFERENCE]]]
          //
          // reads tb_data/stimulus.dat and tb_data/reference_spikes.dat unless other files are
          // named. Each sample runs `runs` times (1 unless given) through its steps, the first step
          // of each run with `clear` raised, and counts as one sample of runs * steps steps.  It
          // prints the report of the HLS project's C simulation, one line each:
          //     zelka-csim steps=<runs * steps> layers=<LIF layers> samples=<samples>
          //     layer <k> neurons=<count> <node name>            for each LIF layer, k = 1, 2, ...
          //   then for each sample
          //     step <t> agree|differ <c>,<r>,<d> ...            for each step: per layer the
          //     spikes of
          //                                                      the design, of the CPU simulator,
          //                                                      and the neurons whose spike
          //                                                      differs
          //     fired <k> <spikes of each neuron> ...            for each LIF layer: the sample's
          //     spikes
          //   and last
          //     result <agreeing>/<samples * runs * steps> steps agree
          // writes the clock cycles of every step of every sample to the cycles file, one a line,
          // and exits with status 0 when every step agrees, 1 when one differs and 2 when it cannot
          // run (saying why on standard error).
#include <cmath>
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
          // The neurons and node name of each LIF layer, the values of each Input port, and the
          // input type's width and fractional bits.
          const std::vector<unsigned> layer_neurons = {«layer_neurons»};
          const std::vector<std::string> layer_names = {«layer_names»};
          const std::vector<unsigned> input_sizes = {«input_sizes»};
          const unsigned input_width = «input_width»;
          const int input_fraction = «input_fraction»;
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

          // The value of `key=` in a header line, or fail naming the file.
          unsigned long long field(const std::string& line, const std::string& key, const std::string& path) {
            const std::size_t at = line.find(" " + key + "=");
            if (at == std::string::npos) fail(path + " has no " + key + " in its first line");
            return std::strtoull(line.c_str() + at + key.size() + 2, nullptr, 10);
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

          // The stimulus: per sample (and step, when it changes every step) and Input port, its
          // values as the design stores them, raw two's complement integers of the input type.
          struct Stimulus {
            unsigned long long samples = 0, steps = 0;
            bool per_step = false;
            std::vector<std::vector<long long>> values;  // [(sample * sets + set) * ports + port]
          };

          Stimulus read_stimulus(const std::string& path) {
            const std::vector<std::string> lines = lines_of(path);
            const unsigned ports = input_sizes.size();
            if (lines.empty() || lines[0].rfind("zelka-stimulus ", 0) != 0)
              fail(path + " is not a stimulus file");
            Stimulus s;
            s.samples = field(lines[0], "samples", path);
            s.steps = field(lines[0], "steps", path);
            s.per_step = field(lines[0], "per_step", path) != 0;
            if (field(lines[0], "inputs", path) != ports)
              fail(path + " is not a stimulus of this design's " + std::to_string(ports) + " inputs");
            for (unsigned k = 0; k < ports; k++)
              if (lines.size() <= k + 1 ||
                  lines[k + 1].rfind("input " + std::to_string(k + 1) +
                                         " values=" + std::to_string(input_sizes[k]) + " ",
                                     0) != 0)
                fail(path + ": line " + std::to_string(k + 2) + " does not describe input " +
                     std::to_string(k + 1) + " of " + std::to_string(input_sizes[k]) + " values");
            const unsigned long long sets = s.per_step ? s.steps : 1;
            if (lines.size() != 1 + ports + s.samples * sets * ports)
              fail(path + " does not hold a line per sample" + (s.per_step ? ", step" : "") + " and input");
            for (std::size_t line = 1 + ports; line < lines.size(); line++) {
              const unsigned port = (line - 1 - ports) % ports;
              std::istringstream text(lines[line]);
              std::vector<long long> raw;
              for (double value; text >> value;)
                raw.push_back(std::llround(std::ldexp(value, input_fraction)));
              if (raw.size() != input_sizes[port] || !text.eof())
                fail(path + ": line " + std::to_string(line + 1) + " does not hold " +
                     std::to_string(input_sizes[port]) + " numbers");
              s.values.push_back(raw);
            }
            return s;
          }

          // The reference's spikes: per sample, step and layer a line of '0' and '1'.
          std::vector<std::string> read_reference(const std::string& path, const Stimulus& stimulus) {
            std::vector<std::string> lines = lines_of(path);
            const unsigned layers = layer_neurons.size();
            if (lines.empty() || lines[0].rfind("zelka-reference ", 0) != 0)
              fail(path + " is not a reference file");
            if (field(lines[0], "layers", path) != layers)
              fail(path + " is not a reference of this design's " + std::to_string(layers) + " LIF layers");
            if (field(lines[0], "samples", path) != stimulus.samples ||
                field(lines[0], "steps", path) != stimulus.steps)
              fail(path + " does not cover the samples and steps of the stimulus");
            for (unsigned k = 0; k < layers; k++)
              if (lines.size() <= k + 1 ||
                  lines[k + 1] != "layer " + std::to_string(k + 1) +
                                      " neurons=" + std::to_string(layer_neurons[k]))
                fail(path + ": line " + std::to_string(k + 2) + " does not name layer " +
                     std::to_string(k + 1) + " of " + std::to_string(layer_neurons[k]) +
                     " neurons");
            lines.erase(lines.begin(), lines.begin() + 1 + layers);
            if (lines.size() != stimulus.samples * stimulus.steps * layers)
              fail(path + " does not hold a line per sample, step and layer");
            for (std::size_t line = 0; line < lines.size(); line++)
              if (lines[line].size() != layer_neurons[line % layers] ||
                  lines[line].find_first_not_of("01") != std::string::npos)
                fail(path + ": line " + std::to_string(line + 2 + layers) + " is not " +
                     std::to_string(layer_neurons[line % layers]) + " spikes");
            return lines;
          }

          // The Input ports' values, written into the design one by one.
          void write_inputs(V«project»& top, const std::vector<long long>* ports) {
            for (unsigned port = 0; port < input_sizes.size(); port++) {
              for (unsigned i = 0; i < input_sizes[port]; i++) {
                top.in_write = 1;
                top.in_port = port;
                top.in_word = i / lanes;
                top.in_lane = i % lanes;
                top.in_value = static_cast<std::uint64_t>(ports[port][i]) &
                               ((std::uint64_t{1} << input_width) - 1);
                tick(top);
              }
              top.in_write = 0;
            }
          }

          }  // namespace

          int main(int argc, char** argv) {
            if (argc < 2 || argc > 5)
              fail("usage: «project»_rtl_tb <cycles file> [runs [STIMULUS [REFERENCE]]]");
            const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
            if (runs < 1) fail("the runs must be at least 1");
            const std::string stimulus_path = argc > 3 ? argv[3] : "tb_data/stimulus.dat";
            const std::string reference_path = argc > 4 ? argv[4] : "tb_data/reference_spikes.dat";
            const Stimulus stimulus = read_stimulus(stimulus_path);
            const std::vector<std::string> reference = read_reference(reference_path, stimulus);
            const unsigned layers = layer_neurons.size(), ports = input_sizes.size();
            const unsigned long long steps = stimulus.steps * runs;

            VerilatedContext context;
            V«project» top(&context);
            top.rst = 1;
            tick(top);
            tick(top);
            top.rst = 0;

            std::printf("zelka-csim steps=%llu layers=%u samples=%llu\n", steps, layers, stimulus.samples);
            for (unsigned k = 0; k < layers; k++)
              std::printf("layer %u neurons=%u %s\n", k + 1, layer_neurons[k], layer_names[k].c_str());
            std::vector<std::uint64_t> cycles;
            std::vector<std::vector<char>> spikes(layers);
            unsigned long long agreeing = 0;
            for (unsigned long long s = 0; s < stimulus.samples; s++) {
              std::vector<std::vector<unsigned>> fired_counts(layers);
              for (unsigned k = 0; k < layers; k++) fired_counts[k].assign(layer_neurons[k], 0);
              for (long run = 0; run < runs; run++)
                for (unsigned long long t = 0; t < stimulus.steps; t++) {
                  if (t == 0 || stimulus.per_step) {
                    const unsigned long long set =
                        s * (stimulus.per_step ? stimulus.steps : 1) + (stimulus.per_step ? t : 0);
                    write_inputs(top, &stimulus.values[set * ports]);
                  }
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
                    const std::string& expected = reference[(s * stimulus.steps + t) * layers + k];
                    unsigned design = 0, simulated = 0, differing = 0;
                    for (unsigned n = 0; n < layer_neurons[k]; n++) {
                      design += spikes[k][n] == '1';
                      fired_counts[k][n] += spikes[k][n] == '1';
                      simulated += expected[n] == '1';
                      differing += spikes[k][n] != expected[n];
                    }
                    agrees = agrees && differing == 0;
                    counts += " " + std::to_string(design) + "," + std::to_string(simulated) + "," +
                              std::to_string(differing);
                  }
                  agreeing += agrees;
                  std::printf("step %llu %s%s\n", run * stimulus.steps + t + 1,
                              agrees ? "agree" : "differ", counts.c_str());
                }
              for (unsigned k = 0; k < layers; k++) {
                std::string line = "fired " + std::to_string(k + 1);
                for (unsigned n : fired_counts[k]) line += " " + std::to_string(n);
                std::printf("%s\n", line.c_str());
              }
            }
            std::printf("result %llu/%llu steps agree\n", agreeing, steps * stimulus.samples);
            top.final();

            std::ofstream cycles_file(argv[1]);
            for (std::uint64_t c : cycles) cycles_file << c << "\n";
            if (!cycles_file.flush()) fail(std::string("cannot write ") + argv[1]);
            return agreeing == steps * stimulus.samples ? 0 : 1;
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

}  // namespace

snn::ProjectFiles testbench_files(const snn::Network& network, const Design& design,
                                  const std::string& project,
                                  const snn::WrittenReference& reference,
                                  std::uint64_t longest_step) {
  std::vector<std::size_t> neurons, input_sizes;
  std::string names;
  for (const snn::Node& node : network.nodes)
    if (node.kind == NodeKind::lif) {
      neurons.push_back(node.neurons);
      names += (names.empty() ? "" : ", ") + text::cpp_string_literal(node.name);
    }
  for (const Port& port : design.inputs) input_sizes.push_back(design.storages[port.storage].size);
  const std::string source = text::fill(
      bench, {{"project", project},
              {"lanes", std::to_string(design.lanes)},
              {"layer_neurons", joined(neurons)},
              {"layer_names", names},
              {"input_sizes", joined(input_sizes)},
              {"input_width", std::to_string(network.input_type.width)},
              {"input_fraction", std::to_string(network.input_type.fractional_bits())},
              {"cycle_limit", std::to_string(2 * longest_step + 100)},
              {"spike_bit", std::string(design.lanes > 64 ? wide_spike_bit : narrow_spike_bit)}});
  snn::ProjectFiles files{{testbench_source(project), source}};
  for (auto& file : snn::bench_data_files(network, reference)) files.push_back(std::move(file));
  return files;
}

std::string testbench_source(const std::string& project) {
  return project + "_rtl_tb.cpp";
}

}  // namespace zelka::fpga::rtl
