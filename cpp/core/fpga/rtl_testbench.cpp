#include "core/fpga/rtl_testbench.hpp"

#include "core/fpga/rtl_top.hpp"
#include "core/text/cpp_literal.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::rtl {
namespace {

using snn::NodeKind;

// The texts of the test bench, with «placeholders» that text::fill replaces.

constexpr std::string_view bench =
    R"bench(// Verilator test bench of «project»: runs the design on every sample of a stimulus file and
// compares every LIF layer's spikes, step by step, with those of a reference file (the CPU
// simulator's), both in the forms of the HLS project's test bench and read as it runs, a sample
// at a time, so that new data needs no new build.
//
//     «project»_rtl_tb <cycles file> [runs [STIMULUS [REFERENCE]]]
//
// reads tb_data/stimulus.dat and tb_data/reference_spikes.dat unless other files are named.
// Each sample runs `runs` times (1 unless given) through its steps, the first step of each run
// with `clear` raised once the design is idle, and counts as one sample of runs * steps steps.
// Whenever the design takes a stimulus (in_ready) the bench writes the next step's, a word a
// cycle, raising `start` with the last word, so that the steps of an overlapped design overlap.  It prints the report
// of the HLS project's C simulation, one line each:
//     zelka-csim steps=<runs * steps> layers=<LIF layers> samples=<samples>
//     layer <k> neurons=<count> <node name>            for each LIF layer, k = 1, 2, ...
//   then for each sample
//     step <t> agree|differ <c>,<r>,<d> ...            for each step: per layer the spikes of
//                                                      the design, of the CPU simulator, and
//                                                      the neurons whose spike differs
//     fired <k> <spikes of each neuron> ...            for each LIF layer: the sample's spikes
//   and last
//     result <agreeing>/<samples * runs * steps> steps agree
// writes the clock cycles of every step of every sample to the cycles file, one a line (from
// the cycle after the previous step's `done`, or the step's own `start` when no step was under
// way, to its `done`), and
// exits with status 0 when every step agrees, 1 when one differs and 2 when it cannot run
// (saying why on standard error).
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "V«project».h"
#include "verilated.h"

namespace {

const unsigned lanes = «lanes»;
// The neurons and node name of each LIF layer, the values of each Input port, and the input
// type's width and fractional bits.
const std::vector<unsigned> layer_neurons = {«layer_neurons»};
const std::vector<std::string> layer_names = {«layer_names»};
const std::vector<unsigned> input_sizes = {«input_sizes»};
const unsigned input_width = «input_width»;
const int input_fraction = «input_fraction»;
const std::uint64_t input_mask = input_width >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << input_width) - 1;
// More cycles than the longest step takes: a step still running then has hung.
const std::uint64_t cycle_limit = «cycle_limit»;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "«project»_rtl_tb: %s\n", what.c_str());
  std::exit(2);
}

// A data file read line by line, its header first.
struct DataFile {
  std::string path;
  std::ifstream in;
  std::size_t line_number = 0;

  std::string next(const std::string& what) {
    std::string line;
    if (!std::getline(in, line)) fail(path + " ends before " + what);
    line_number++;
    return line;
  }
  [[noreturn]] void refuse(const std::string& problem) const {
    fail(path + ": line " + std::to_string(line_number) + " " + problem);
  }
};

void open(DataFile& file, const std::string& path) {
  file.path = path;
  file.in.open(path);
  if (!file.in) fail("cannot read " + path);
}

// The value of `key=` in a header line.
unsigned long long field(const DataFile& file, const std::string& line, const std::string& key) {
  const std::size_t at = line.find(" " + key + "=");
  if (at == std::string::npos) file.refuse("has no " + key);
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

// Word `word` of an Input port's values on in_value, lane 0 in the lowest bits.
void put_word(V«project»& top, const std::vector<long long>& raw, unsigned word) {
  «clear_value»
  for (unsigned lane = 0; lane < lanes; lane++) {
    const std::size_t i = std::size_t{word} * lanes + lane;
    if (i >= raw.size()) break;
    const std::uint64_t value = static_cast<std::uint64_t>(raw[i]) & input_mask;
    for (unsigned bit = 0; bit < input_width; bit++)
      if ((value >> bit) & 1U) {
        const unsigned at = lane * input_width + bit;
        «set_value_bit»
      }
  }
}

// One line of an Input port's values, as the design stores them: raw two's complement integers
// of the input type (the values are on its grid).
std::vector<long long> port_values(DataFile& file, unsigned port) {
  std::istringstream text(file.next("the values of every sample"));
  std::vector<long long> raw;
  for (double value; text >> value;) raw.push_back(std::llround(std::ldexp(value, input_fraction)));
  if (raw.size() != input_sizes[port] || !text.eof())
    file.refuse("does not hold the " + std::to_string(input_sizes[port]) + " values of input " +
                std::to_string(port + 1));
  return raw;
}

// A line of layer `layer`'s spikes: a '0' or '1' for each of its neurons.
std::string layer_spikes(DataFile& file, unsigned layer) {
  std::string line = file.next("the spikes of every sample");
  if (line.size() != layer_neurons[layer] || line.find_first_not_of("01") != std::string::npos)
    file.refuse("is not " + std::to_string(layer_neurons[layer]) + " spikes");
  return line;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || argc > 5) fail("usage: «project»_rtl_tb <cycles file> [runs [STIMULUS [REFERENCE]]]");
  const long runs = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 1;
  if (runs < 1) fail("the runs must be at least 1");
  const unsigned layers = layer_neurons.size(), ports = input_sizes.size();
  DataFile stimulus, reference;
  open(stimulus, argc > 3 ? argv[3] : "tb_data/stimulus.dat");
  open(reference, argc > 4 ? argv[4] : "tb_data/reference_spikes.dat");

  const std::string stimulus_header = stimulus.next("its header");
  if (stimulus_header.rfind("zelka-stimulus ", 0) != 0) stimulus.refuse("is no stimulus header");
  const unsigned long long samples = field(stimulus, stimulus_header, "samples");
  const unsigned long long steps = field(stimulus, stimulus_header, "steps");
  const bool per_step = field(stimulus, stimulus_header, "per_step") != 0;
  if (field(stimulus, stimulus_header, "inputs") != ports)
    stimulus.refuse("does not describe this design's " + std::to_string(ports) + " inputs");
  for (unsigned k = 0; k < ports; k++)
    if (stimulus.next("its header").rfind("input " + std::to_string(k + 1) + " values=" +
                                              std::to_string(input_sizes[k]) + " ",
                                          0) != 0)
      stimulus.refuse("does not describe input " + std::to_string(k + 1) + " of " +
                      std::to_string(input_sizes[k]) + " values");
  const std::string reference_header = reference.next("its header");
  if (reference_header.rfind("zelka-reference ", 0) != 0) reference.refuse("is no reference header");
  if (field(reference, reference_header, "layers") != layers)
    reference.refuse("does not describe this design's " + std::to_string(layers) + " LIF layers");
  if (field(reference, reference_header, "samples") != samples ||
      field(reference, reference_header, "steps") != steps)
    reference.refuse("does not cover the samples and steps of the stimulus");
  for (unsigned k = 0; k < layers; k++)
    if (reference.next("its header") !=
        "layer " + std::to_string(k + 1) + " neurons=" + std::to_string(layer_neurons[k]))
      reference.refuse("does not name layer " + std::to_string(k + 1) + " of " +
                       std::to_string(layer_neurons[k]) + " neurons");

  VerilatedContext context;
  V«project» top(&context);
  top.rst = 1;
  tick(top);
  tick(top);
  top.rst = 0;

  std::printf("zelka-csim steps=%llu layers=%u samples=%llu\n", steps * runs, layers, samples);
  for (unsigned k = 0; k < layers; k++)
    std::printf("layer %u neurons=%u %s\n", k + 1, layer_neurons[k], layer_names[k].c_str());
  std::vector<std::uint64_t> cycles;
  unsigned long long agreeing = 0;
  // The words the host writes for a step, port after port.
  std::vector<std::pair<unsigned, unsigned>> words;
  for (unsigned port = 0; port < ports; port++)
    for (unsigned word = 0; word * lanes < input_sizes[port]; word++) words.emplace_back(port, word);
  const std::size_t host_cycles = words.empty() ? 1 : words.size();
  for (unsigned long long s = 0; s < samples; s++) {
    // The sample's values (a set per step, or one for all) and reference spikes.
    std::vector<std::vector<std::vector<long long>>> sets(per_step ? steps : 1);
    for (auto& set : sets)
      for (unsigned port = 0; port < ports; port++) set.push_back(port_values(stimulus, port));
    std::vector<std::string> expected;
    for (unsigned long long t = 0; t < steps; t++)
      for (unsigned k = 0; k < layers; k++) expected.push_back(layer_spikes(reference, k));
    std::vector<std::vector<unsigned>> fired_counts(layers);
    for (unsigned k = 0; k < layers; k++) fired_counts[k].assign(layer_neurons[k], 0);
    for (long run = 0; run < runs; run++) {
      // every layer's spikes at every step of the run, and the step each layer computes
      std::vector<std::string> spikes;
      for (unsigned long long t = 0; t < steps; t++)
        for (unsigned k = 0; k < layers; k++) spikes.emplace_back(layer_neurons[k], '0');
      std::vector<unsigned long long> layer_step(layers, 0);
      unsigned long long issued = 0, completed = 0, outstanding = 0;
      std::uint64_t counted = 0;
      std::size_t written = 0;
      bool writing = false;
      while (completed < steps) {
        if (!writing && issued < steps && top.in_ready && (issued > 0 || !top.busy)) {
          writing = true;
          written = 0;
        }
        top.in_write = 0;
        top.start = 0;
        top.clear = 0;
        if (writing) {
          if (written < words.size()) {
            const unsigned port = words[written].first, word = words[written].second;
            top.in_write = 1;
            top.in_port = port;
            top.in_word = word;
            put_word(top, sets[per_step ? issued : 0][port], word);
          }
          if (++written == host_cycles) {
            top.start = 1;
            top.clear = issued == 0;
            writing = false;
            issued++;
            outstanding++;
          }
        }
        tick(top);
        if (outstanding > 0 && ++counted > cycle_limit)
          fail("step " + std::to_string(cycles.size() + 1) + " did not finish within " +
               std::to_string(cycle_limit) + " cycles");
        if (top.spike_valid) {
          const unsigned k = top.spike_layer;
          if (k >= layers) fail("spikes of a layer that does not exist");
          if (layer_step[k] >= steps) fail("spikes of layer " + std::to_string(k + 1) + " past the last step");
          std::string& line = spikes[layer_step[k] * layers + k];
          for (unsigned lane = 0; lane < lanes; lane++) {
            const std::size_t neuron = std::size_t{top.spike_word} * lanes + lane;
            if (neuron < layer_neurons[k]) line[neuron] = fired(top, lane) ? '1' : '0';
          }
          if ((std::size_t{top.spike_word} + 1) * lanes >= layer_neurons[k]) layer_step[k]++;
        }
        if (!top.done) continue;
        if (outstanding == 0) fail("done without a step under way");
        outstanding--;
        cycles.push_back(counted);
        counted = 0;
        const unsigned long long t = completed++;
        bool agrees = true;
        std::string counts;
        for (unsigned k = 0; k < layers; k++) {
          const std::string& wanted = expected[t * layers + k];
          const std::string& got = spikes[t * layers + k];
          unsigned design = 0, simulated = 0, differing = 0;
          for (unsigned n = 0; n < layer_neurons[k]; n++) {
            design += got[n] == '1';
            fired_counts[k][n] += got[n] == '1';
            simulated += wanted[n] == '1';
            differing += got[n] != wanted[n];
          }
          agrees = agrees && differing == 0;
          counts += " " + std::to_string(design) + "," + std::to_string(simulated) + "," +
                    std::to_string(differing);
        }
        agreeing += agrees;
        std::printf("step %llu %s%s\n", run * steps + t + 1, agrees ? "agree" : "differ", counts.c_str());
      }
    }
    for (unsigned k = 0; k < layers; k++) {
      std::string line = "fired " + std::to_string(k + 1);
      for (unsigned n : fired_counts[k]) line += " " + std::to_string(n);
      std::printf("%s\n", line.c_str());
    }
  }
  std::printf("result %llu/%llu steps agree\n", agreeing, steps * runs * samples);
  top.final();

  std::ofstream cycles_file(argv[1]);
  for (std::uint64_t c : cycles) cycles_file << c << "\n";
  if (!cycles_file.flush()) fail(std::string("cannot write ") + argv[1]);
  return agreeing == steps * runs * samples ? 0 : 1;
}
)bench";

// A layer's spikes at one lane of the spike port, a plain integer up to 64 lanes and an
// array of 32-bit words past that.
constexpr std::string_view narrow_spike_bit =
    "(static_cast<std::uint64_t>(top.spike_bits) >> lane) & 1U";
constexpr std::string_view wide_spike_bit = "(top.spike_bits[lane / 32] >> (lane % 32)) & 1U";

// The stimulus word's bits set on in_value: a plain integer up to 64 bits, an array of 32-bit
// words past that.
constexpr std::string_view narrow_value_clear = "top.in_value = 0;";
constexpr std::string_view narrow_value_bit = "top.in_value |= std::uint64_t{1} << at;";
constexpr std::string_view wide_value_clear =
    "for (unsigned w = 0; w < «value_words»; w++) top.in_value[w] = 0;";
constexpr std::string_view wide_value_bit = "top.in_value[at / 32] |= 1U << (at % 32);";

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
  std::size_t input_words = 0;
  for (const Port& port : design.inputs) {
    input_sizes.push_back(design.storages[port.storage].size);
    input_words += design.storages[port.storage].words;
  }
  const std::size_t value_w = design.lanes * static_cast<std::size_t>(network.input_type.width);
  const bool wide = value_w > 64;
  const std::string source = text::fill(
      bench,
      {{"project", project},
       {"lanes", std::to_string(design.lanes)},
       {"layer_neurons", joined(neurons)},
       {"layer_names", names},
       {"input_sizes", joined(input_sizes)},
       {"input_width", std::to_string(network.input_type.width)},
       {"input_fraction", std::to_string(network.input_type.fractional_bits())},
       {"cycle_limit", std::to_string(2 * longest_step + 100 + input_words)},
       {"spike_bit", std::string(design.lanes > 64 ? wide_spike_bit : narrow_spike_bit)},
       {"clear_value",
        wide ? text::fill(wide_value_clear, {{"value_words", std::to_string((value_w + 31) / 32)}})
             : std::string(narrow_value_clear)},
       {"set_value_bit", std::string(wide ? wide_value_bit : narrow_value_bit)}});
  snn::ProjectFiles files{{testbench_source(project), source}};
  for (auto& file : snn::bench_data_files(network, reference)) files.push_back(std::move(file));
  return files;
}

std::string testbench_source(const std::string& project) {
  return project + "_rtl_tb.cpp";
}

}  // namespace zelka::fpga::rtl
