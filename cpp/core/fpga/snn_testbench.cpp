#include "core/fpga/snn_testbench.hpp"

#include <algorithm>
#include <sstream>

#include "core/fpga/snn_bench_data.hpp"
#include "core/text/cpp_literal.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::snn {
namespace {

// The texts of the test bench, with «placeholders» that text::fill replaces; the parts that
// repeat (per LIF layer or port) have templates of their own, filled in a loop.

constexpr std::string_view bench =
    R"(// Test bench of «project»: runs the network on every sample of a stimulus file and
// compares every LIF layer's spikes, step by step, with those of a reference file (the CPU
// simulator's).
//
//     «project»_tb [STIMULUS [REFERENCE]]
//
// reads tb_data/stimulus.dat and tb_data/reference_spikes.dat (the graph's stimulus and the
// CPU simulator's spikes for it) unless other files are named.  The membranes are reset at
// the first step of every sample.  It prints, one line each:
//     zelka-csim steps=<steps> layers=<LIF layers> samples=<samples>
//     layer <k> neurons=<count> <node name>            for each LIF layer, k = 1, 2, ...
//   then for each sample
//     step <t> agree|differ <c>,<r>,<d> ...            for each step t = 1, 2, ...: per layer
//                                                      the spikes of the C simulation, of the
//                                                      CPU simulator, and the neurons whose
//                                                      spike differs
//     fired <k> <spikes of each neuron> ...            for each LIF layer: the sample's spikes
//                                                      in the C simulation, neuron by neuron
//   and last
//     result <agreeing>/<samples * steps> steps agree
// and exits with status 0 when every step of every sample agrees, 1 otherwise, and 2 (the
// reason on standard error) when a data file cannot be read or does not fit the network.
#include <cstdio>
#include <cstring>

#include "firmware/«project».h"

namespace {

const unsigned layers = «layer_count»;
const unsigned layer_neurons[layers] = {«neurons»};
// Holds a header line or a layer's line of spikes with its line break and the final '\0'.
const unsigned line_size = «line_size»;

struct LayerCounts {
  unsigned csim, reference, differing;
};

// A layer's spikes against the reference's line, each neuron's spikes added to `fired`.
template <unsigned N>
LayerCounts compare(const spike_t (&spikes)[N], const char* reference, unsigned (&fired)[N]) {
  LayerCounts counts = {0, 0, 0};
  for (unsigned i = 0; i < N; i++) {
    const bool spiked = spikes[i] == 1, expected = reference[i] == '1';
    fired[i] += spiked;
    counts.csim += spiked;
    counts.reference += expected;
    counts.differing += spiked != expected;
  }
  return counts;
}

template <unsigned N>
void print_fired(unsigned layer, const unsigned (&fired)[N]) {
  std::printf("fired %u", layer);
  for (unsigned i = 0; i < N; i++) std::printf(" %u", fired[i]);
  std::printf("\n");
}

// Says on standard error why a data file cannot be used; the exit status that follows.
int unusable(const char* path, const char* problem) {
  std::fprintf(stderr, "%s %s\n", path, problem);
  return 2;
}

// The next line of `file` without its line break, or false when there is none.
bool read_line(std::FILE* file, char (&line)[line_size]) {
  if (!std::fgets(line, line_size, file)) return false;
  const std::size_t length = std::strlen(line);
  if (length == 0 || line[length - 1] != '\n') return false;
  line[length - 1] = '\0';
  return true;
}

bool read_input_header(std::FILE* file, char (&line)[line_size], unsigned input, unsigned values) {
  unsigned k, n;
  return read_line(file, line) && std::sscanf(line, "input %u values=%u", &k, &n) == 2 &&
         k == input && n == values;
}

bool read_layer_header(std::FILE* file, char (&line)[line_size], unsigned layer) {
  unsigned k, n;
  return read_line(file, line) && std::sscanf(line, "layer %u neurons=%u", &k, &n) == 2 &&
         k == layer + 1 && n == layer_neurons[layer];
}

// The values of an Input port, each converted to input_t (exactly, for values on its grid).
template <unsigned N>
bool read_values(std::FILE* file, input_t (&values)[N]) {
  for (unsigned i = 0; i < N; i++) {
    double value;
    if (std::fscanf(file, "%lf", &value) != 1) return false;
    values[i] = value;
  }
  return true;
}

// The next line of spikes of layer `layer`: a '0' or '1' for each of its neurons.
bool read_spikes(std::FILE* file, char (&line)[line_size], unsigned layer) {
  if (!read_line(file, line) || std::strlen(line) != layer_neurons[layer]) return false;
  for (unsigned i = 0; i < layer_neurons[layer]; i++)
    if (line[i] != '0' && line[i] != '1') return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const char* stimulus_path = argc > 1 ? argv[1] : "tb_data/stimulus.dat";
  const char* reference_path = argc > 2 ? argv[2] : "tb_data/reference_spikes.dat";
  std::FILE* stimulus = std::fopen(stimulus_path, "r");
  if (!stimulus) return unusable(stimulus_path, "cannot be opened");
  std::FILE* reference = std::fopen(reference_path, "r");
  if (!reference) return unusable(reference_path, "cannot be opened");

  static char line[line_size];
  unsigned samples, steps, per_step, inputs;
  if (!read_line(stimulus, line) ||
      std::sscanf(line, "zelka-stimulus samples=%u steps=%u per_step=%u inputs=%u", &samples,
                  &steps, &per_step, &inputs) != 4 ||
      inputs != «input_count»«input_headers»)
    return unusable(stimulus_path, "«stimulus_problem»");
  unsigned reference_samples, reference_steps, reference_layers;
  if (!read_line(reference, line) ||
      std::sscanf(line, "zelka-reference samples=%u steps=%u layers=%u", &reference_samples,
                  &reference_steps, &reference_layers) != 3 ||
      reference_layers != layers)
    return unusable(reference_path, "«reference_problem»");
  for (unsigned k = 0; k < layers; k++)
    if (!read_layer_header(reference, line, k))
      return unusable(reference_path, "«reference_problem»");
  if (reference_samples != samples || reference_steps != steps)
    return unusable(reference_path, "does not cover the samples and steps of the stimulus");

  std::printf("zelka-csim steps=%u layers=%u samples=%u\n", steps, layers, samples);
«layer_lines»
«ports»  static char spikes[layers][line_size];
  unsigned long long agreeing = 0;
  for (unsigned s = 0; s < samples; s++) {
«fired_counts»    for (unsigned t = 0; t < steps; t++) {
      if ((t == 0 || per_step) && !(«read_ports»))
        return unusable(stimulus_path, "ends before the values of every sample");
      «project»(«arguments», t == 0);
      for (unsigned k = 0; k < layers; k++)
        if (!read_spikes(reference, spikes[k], k))
          return unusable(reference_path, "ends or holds a line that is no layer's spikes");
      const LayerCounts counts[layers] = {
«comparisons»      };
      bool agrees = true;
      for (unsigned k = 0; k < layers; k++) agrees = agrees && counts[k].differing == 0;
      if (agrees) agreeing++;
      std::printf("step %u %s", t + 1, agrees ? "agree" : "differ");
      for (unsigned k = 0; k < layers; k++)
        std::printf(" %u,%u,%u", counts[k].csim, counts[k].reference, counts[k].differing);
      std::printf("\n");
    }
«fired_lines»  }
  const unsigned long long total = static_cast<unsigned long long>(samples) * steps;
  std::printf("result %llu/%llu steps agree\n", agreeing, total);
  return agreeing == total ? 0 : 1;
}
)";

constexpr std::string_view stimulus_problem =
    "is not a stimulus of this network's «count» inputs («sizes» values)";

constexpr std::string_view reference_problem =
    "is not a reference of this network's «count» LIF layers («sizes» neurons)";

constexpr std::string_view input_header =
    " ||\n      !read_input_header(stimulus, line, «input», «values»)";

constexpr std::string_view layer_line =
    R"(  std::printf("layer «layer» neurons=«neurons» %s\n", «name»);
)";

constexpr std::string_view port_declaration = "  «type» «port»[«size»];\n";

constexpr std::string_view read_port = "read_values(stimulus, «port»)";

constexpr std::string_view fired_count = "    unsigned «member»_fired[«neurons»] = {0};\n";

constexpr std::string_view comparison =
    "          compare(«project»_spikes.«member», spikes[«index»], «member»_fired),\n";

constexpr std::string_view fired_line = "    print_fired(«layer», «member»_fired);\n";

// "4, 3": counts as a list.
std::string listed(const std::vector<std::size_t>& counts) {
  std::string out;
  for (std::size_t count : counts) out += (out.empty() ? "" : ", ") + std::to_string(count);
  return out;
}

// The longest header line of a data file the bench reads; its line buffer holds that or a
// layer's spikes, with the line break and the final '\0'.
constexpr std::size_t longest_header_line = 1024;

std::string bench_source(const Network& net, const std::vector<Port>& ports,
                         const std::string& project) {
  std::string layer_lines, comparisons, fired_counts, fired_lines, port_declarations, input_headers,
      read_ports, arguments;
  std::vector<std::size_t> neurons, input_sizes;
  for (const Node& node : net.nodes) {
    if (node.kind != NodeKind::lif) continue;
    const std::string layer = std::to_string(neurons.size() + 1),
                      count = std::to_string(node.neurons), member = probe_member(node);
    layer_lines += text::fill(
        layer_line,
        {{"layer", layer}, {"neurons", count}, {"name", text::cpp_string_literal(node.name)}});
    fired_counts += text::fill(fired_count, {{"member", member}, {"neurons", count}});
    comparisons += text::fill(
        comparison,
        {{"project", project}, {"member", member}, {"index", std::to_string(neurons.size())}});
    fired_lines += text::fill(fired_line, {{"layer", layer}, {"member", member}});
    neurons.push_back(node.neurons);
  }
  for (const Port& port : ports) {
    const std::string size = std::to_string(port.size);
    arguments += (arguments.empty() ? "" : ", ") + port.name;
    port_declarations +=
        text::fill(port_declaration, {{"type", port.type}, {"port", port.name}, {"size", size}});
    if (net.nodes[port.node].kind != NodeKind::input) continue;
    input_headers += text::fill(
        input_header, {{"input", std::to_string(input_sizes.size() + 1)}, {"values", size}});
    read_ports += (read_ports.empty() ? "" : " && ") + text::fill(read_port, {{"port", port.name}});
    input_sizes.push_back(port.size);
  }
  const std::size_t widest = *std::max_element(neurons.begin(), neurons.end());
  return text::fill(
      bench, {{"project", project},
              {"layer_count", std::to_string(neurons.size())},
              {"neurons", listed(neurons)},
              {"line_size", std::to_string(std::max(widest, longest_header_line) + 2)},
              {"input_count", std::to_string(input_sizes.size())},
              {"input_headers", input_headers},
              {"stimulus_problem",
               text::fill(stimulus_problem, {{"count", std::to_string(input_sizes.size())},
                                             {"sizes", listed(input_sizes)}})},
              {"reference_problem",
               text::fill(reference_problem,
                          {{"count", std::to_string(neurons.size())}, {"sizes", listed(neurons)}})},
              {"layer_lines", layer_lines},
              {"ports", port_declarations},
              {"fired_counts", fired_counts},
              {"read_ports", read_ports.empty() ? "true" : read_ports},
              {"arguments", arguments},
              {"comparisons", comparisons},
              {"fired_lines", fired_lines}});
}

}  // namespace

ProjectFiles bench_data_files(const Network& net, const WrittenReference& reference) {
  StimulusLayout stimulus{1, reference.steps, false, net.input_type, {}};
  for (const Node& node : net.nodes)
    if (node.kind == NodeKind::input) {
      stimulus.inputs.push_back(node.stimulus_shape);
      stimulus.per_step = stimulus.per_step || node.stimulus_steps > 0;
    }
  std::vector<std::vector<double>> of_steps;  // where some Input's stimulus changes every step
  of_steps.reserve(stimulus.inputs.size());
  std::vector<PortValues> values;
  for (const Node& node : net.nodes) {
    if (node.kind != NodeKind::input) continue;
    if (stimulus.per_step) of_steps.push_back(stimulus_of_steps(node, reference.steps));
    values.push_back(
        {node.label, stimulus.per_step ? of_steps.back().data() : node.stimulus.data()});
  }
  ReferenceLayout layout{1, reference.steps, {}, reference.graph_digest};
  std::vector<const std::uint8_t*> trains;
  for (const Node& node : net.nodes)
    if (node.kind == NodeKind::lif) {
      layout.layers.push_back(node.neurons);
      trains.push_back(reference.spikes[trains.size()].data());
    }
  std::ostringstream stimulus_data, reference_data;
  write_stimulus(stimulus_data, stimulus, values);
  write_reference(reference_data, layout, trains);
  return {{"tb_data/stimulus.dat", stimulus_data.str()},
          {"tb_data/reference_spikes.dat", reference_data.str()}};
}

ProjectFiles testbench_files(const Network& net, const Plan& plan, const std::string& project,
                             const WrittenReference& reference) {
  ProjectFiles files{{project + "_tb.cpp", bench_source(net, top_ports(net, plan), project)}};
  for (auto& file : bench_data_files(net, reference)) files.push_back(std::move(file));
  return files;
}

}  // namespace zelka::fpga::snn
