#include "core/fpga/snn_testbench.hpp"

#include <charconv>
#include <limits>

#include "core/errors.hpp"
#include "core/fpga/snn_definitions.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::snn {
namespace {

// The texts of the test bench, with {placeholders} that text::fill replaces; the parts that
// repeat (per LIF layer, port or Input node) have templates of their own, filled in a loop.

// --- {project}_tb.cpp: runs the steps and prints the report -----------------------------

constexpr std::string_view bench =
    R"(// Test bench of {project}: runs the network for {steps} steps on the graph's stimulus
// and compares every LIF layer's spikes with the CPU simulator's at every step.
//
// It prints, one line each:
//     zelka-csim steps=<steps> layers=<LIF layers>
//     layer <k> neurons=<count> <node name>            for each LIF layer, k = 1, 2, ...
//     step <t> agree|differ <c>,<r>,<d> ...            for each step t = 1, 2, ...: per layer
//                                                      the spikes of the C simulation, of the
//                                                      CPU simulator, and the neurons whose
//                                                      spike differs
//     result <agreeing>/<steps> steps agree
// and exits with status 0 when every step agrees, 1 otherwise.
#include <cstdio>

#include "firmware/{project}.h"
#include "tb_data/reference_spikes.h"
#include "tb_data/stimulus.h"

namespace {

struct LayerCounts {
  unsigned csim, reference, differing;
};

template <unsigned N>
LayerCounts compare(const spike_t (&spikes)[N], const char* reference) {
  LayerCounts counts = {0, 0, 0};
  for (unsigned i = 0; i < N; i++) {
    const bool fired = spikes[i] == 1, expected = reference[i] == '1';
    counts.csim += fired;
    counts.reference += expected;
    counts.differing += fired != expected;
  }
  return counts;
}

}  // namespace

int main() {
  const unsigned layers = {layer_count};
  std::printf("zelka-csim steps=%u layers=%u\n", reference_steps, layers);
{layer_lines}  unsigned agreeing = 0;
  for (unsigned t = 0; t < reference_steps; t++) {
{outputs}    {project}({arguments}, t == 0);
    const LayerCounts counts[layers] = {
{comparisons}    };
    bool agrees = true;
    for (unsigned k = 0; k < layers; k++) agrees = agrees && counts[k].differing == 0;
    if (agrees) agreeing++;
    std::printf("step %u %s", t + 1, agrees ? "agree" : "differ");
    for (unsigned k = 0; k < layers; k++)
      std::printf(" %u,%u,%u", counts[k].csim, counts[k].reference, counts[k].differing);
    std::printf("\n");
  }
  std::printf("result %u/%u steps agree\n", agreeing, reference_steps);
  return agreeing == reference_steps ? 0 : 1;
}
)";

constexpr std::string_view layer_line =
    R"(  std::printf("layer {layer} neurons={neurons} %s\n", {name});
)";

constexpr std::string_view output_declaration = "    {type} {port}[{size}];\n";

constexpr std::string_view comparison =
    "        compare({project}_spikes.{member}, reference_{member}[t]),\n";

// --- tb_data/stimulus.h: the Input nodes' values ----------------------------------------

constexpr std::string_view stimulus_header =
    R"(// The graph's stimulus, applied at every step, on the grid of input_t.
#ifndef STIMULUS_H_
#define STIMULUS_H_

#include "../firmware/defines.h"
{stimuli}
#endif
)";

constexpr std::string_view stimulus = R"(
// {name}
{array})";

// --- tb_data/reference_spikes.h: the CPU simulator's spikes -----------------------------

constexpr std::string_view reference_header =
    R"(// The spikes the CPU simulator (zelka's simulate) gave for the graph and its stimulus:
// for each LIF layer one text per step, '1' for each neuron that fired.
#ifndef REFERENCE_SPIKES_H_
#define REFERENCE_SPIKES_H_

static const unsigned reference_steps = {steps};
{layers}
#endif
)";

// {steps_fired} holds a line per step: four spaces, the neurons' spikes as a string literal
// ('1' where a neuron fired) and a comma.
constexpr std::string_view reference_layer = R"(
// {name}
static const char* const reference_{member}[{steps}] = {
{steps_fired}};
)";

// `text` as a C++ string literal.  '?' is escaped too: a C++14 compiler in strict mode reads
// trigraphs such as "??/".
std::string string_literal(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\' || c == '?') out += '\\';
    out += c;
  }
  return out + "\"";
}

std::string stimulus_text(const Network& net, const std::vector<Port>& ports) {
  std::string stimuli;
  for (const Port& port : ports) {
    const Node& node = net.nodes[port.node];
    if (node.kind != NodeKind::input) continue;
    stimuli +=
        text::fill(stimulus, {{"name", text::comment_safe(node.name)},
                              {"array", array_definition("input_t " + port.name, node.stimulus)}});
  }
  return text::fill(stimulus_header, {{"stimuli", stimuli}});
}

// The bytes of one step's line of a layer besides its spikes: four spaces, the quotes, a
// comma and the line's end.
constexpr std::uint64_t line_bytes_besides_spikes = 8;

// The lines of reference_layer's {steps_fired}, written directly: they are most of the
// reference's up to 64 MiB.
std::string steps_fired(const std::uint8_t* fired, std::size_t neurons, std::size_t steps) {
  std::string lines;
  lines.reserve(steps * (neurons + line_bytes_besides_spikes));
  for (std::size_t t = 0; t < steps; ++t) {
    lines += "    \"";
    for (std::size_t k = 0; k < neurons; ++k) lines += *fired++ ? '1' : '0';
    lines += "\",\n";
  }
  return lines;
}

std::string reference_text(const Network& net, const ReferenceSpikes& reference,
                           std::size_t steps) {
  std::string layers;
  std::size_t layer = 0;
  for (const Node& node : net.nodes) {
    if (node.kind != NodeKind::lif) continue;
    layers +=
        text::fill(reference_layer,
                   {{"name", text::comment_safe(node.name)},
                    {"member", probe_member(node)},
                    {"steps", std::to_string(steps)},
                    {"steps_fired", steps_fired(reference[layer].data(), node.neurons, steps)}});
    ++layer;
  }
  return text::fill(reference_header, {{"steps", std::to_string(steps)}, {"layers", layers}});
}

[[noreturn]] void malformed(std::size_t line, const std::string& what) {
  throw ValueError("the test bench's report is not in its form: line " + std::to_string(line) +
                   " " + what);
}

// The unsigned number that starts `text`, which then loses it.
std::uint64_t take_number(std::string_view& text, std::size_t line) {
  std::uint64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end == text.data()) malformed(line, "lacks a number where one belongs");
  text.remove_prefix(static_cast<std::size_t>(end - text.data()));
  return value;
}

// 2 + layers + steps, the line count of a report, as decimal text: it may exceed 64 bits.
std::string line_count_text(std::uint64_t layers, std::uint64_t steps) {
  unsigned __int128 count = static_cast<unsigned __int128>(layers) + steps + 2;
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(count % 10)));
    count /= 10;
  } while (count != 0);
  return digits;
}

// A layer's spikes in one step, added to its total: at most its neuron count, and a total
// that 64 bits hold.
void add_count(std::uint64_t& total, std::uint64_t count, const LayerReport& layer,
               std::size_t line) {
  if (count > layer.neurons)
    malformed(line, "counts " + std::to_string(count) + " spikes of a layer of " +
                        std::to_string(layer.neurons) + " neurons");
  if (__builtin_add_overflow(total, count, &total))
    malformed(line, "brings a layer's spikes over the 64 bits that hold them");
}

void take(std::string_view& text, std::string_view expected, std::size_t line) {
  if (!text.starts_with(expected))
    malformed(line, "does not continue with \"" + std::string(expected) + "\"");
  text.remove_prefix(expected.size());
}

}  // namespace

ProjectFiles testbench_files(const Network& net, const Plan& plan, const std::string& project,
                             const ReferenceSpikes& reference, std::size_t steps) {
  const std::vector<Port> ports = top_ports(net, plan);
  std::string layer_lines, comparisons, outputs, arguments;
  std::size_t layer = 0;
  for (const Node& node : net.nodes) {
    if (node.kind != NodeKind::lif) continue;
    ++layer;
    layer_lines += text::fill(layer_line, {{"layer", std::to_string(layer)},
                                           {"neurons", std::to_string(node.neurons)},
                                           {"name", string_literal(node.name)}});
    comparisons += text::fill(comparison, {{"project", project}, {"member", probe_member(node)}});
  }
  for (const Port& port : ports) {
    arguments += (arguments.empty() ? "" : ", ") + port.name;
    if (net.nodes[port.node].kind == NodeKind::output)
      outputs += text::fill(
          output_declaration,
          {{"type", port.type}, {"port", port.name}, {"size", std::to_string(port.size)}});
  }
  const std::string tb = text::fill(bench, {{"project", project},
                                            {"steps", std::to_string(steps)},
                                            {"layer_count", std::to_string(layer)},
                                            {"layer_lines", layer_lines},
                                            {"outputs", outputs},
                                            {"arguments", arguments},
                                            {"comparisons", comparisons}});
  return {{project + "_tb.cpp", tb},
          {"tb_data/stimulus.h", stimulus_text(net, ports)},
          {"tb_data/reference_spikes.h", reference_text(net, reference, steps)}};
}

std::uint64_t reference_bytes(const Network& net, std::uint64_t steps) {
  std::uint64_t per_step = 0;
  for (const Node& node : net.nodes)
    if (node.kind == NodeKind::lif &&
        (__builtin_add_overflow(per_step, node.neurons, &per_step) ||
         __builtin_add_overflow(per_step, line_bytes_besides_spikes, &per_step)))
      return std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total;
  return __builtin_mul_overflow(per_step, steps, &total) ? std::numeric_limits<std::uint64_t>::max()
                                                         : total;
}

CsimReport read_csim_report(std::string_view output) {
  std::vector<std::string_view> lines;
  for (std::size_t start = 0; start < output.size();) {
    const std::size_t end = std::min(output.find('\n', start), output.size());
    lines.push_back(output.substr(start, end - start));
    start = end + 1;
  }
  if (lines.empty()) malformed(1, "is missing: the test bench printed nothing");
  std::string_view line = lines[0];
  take(line, "zelka-csim steps=", 1);
  const std::uint64_t steps = take_number(line, 1);
  take(line, " layers=", 1);
  const std::uint64_t layer_count = take_number(line, 1);
  if (!line.empty()) malformed(1, "has more than the step and layer counts");
  if (lines.size() < 2 || layer_count > lines.size() - 2 || steps != lines.size() - 2 - layer_count)
    malformed(lines.size(), "ends the report, which should have " +
                                line_count_text(layer_count, steps) + " lines");
  CsimReport report;
  for (std::size_t k = 0; k < layer_count; ++k) {
    line = lines[1 + k];
    take(line, "layer " + std::to_string(k + 1) + " neurons=", 2 + k);
    LayerReport layer;
    layer.neurons = take_number(line, 2 + k);
    take(line, " ", 2 + k);
    layer.name = line;
    report.layers.push_back(std::move(layer));
  }
  for (std::size_t t = 0; t < steps; ++t) {
    const std::size_t number = 2 + layer_count + t;
    line = lines[number - 1];
    take(line, "step " + std::to_string(t + 1) + " ", number);
    const bool agrees = line.starts_with("agree");
    take(line, agrees ? "agree" : "differ", number);
    bool any_differing = false;
    for (LayerReport& layer : report.layers) {
      take(line, " ", number);
      add_count(layer.spikes, take_number(line, number), layer, number);
      take(line, ",", number);
      add_count(layer.reference_spikes, take_number(line, number), layer, number);
      take(line, ",", number);
      const std::uint64_t differing = take_number(line, number);
      if (differing > layer.neurons)
        malformed(number, "counts " + std::to_string(differing) +
                              " differing neurons of a layer of " + std::to_string(layer.neurons));
      layer.steps_differing += differing > 0;
      any_differing = any_differing || differing > 0;
    }
    if (!line.empty()) malformed(number, "has more than one count per layer");
    if (agrees == any_differing) malformed(number, "says agree and differ at once");
    report.step_agrees.push_back(agrees);
    report.steps_agreeing += agrees;
  }
  line = lines.back();
  take(line,
       "result " + std::to_string(report.steps_agreeing) + "/" + std::to_string(steps) +
           " steps agree",
       lines.size());
  return report;
}

}  // namespace zelka::fpga::snn
