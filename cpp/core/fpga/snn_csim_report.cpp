#include "core/fpga/snn_csim_report.hpp"

#include <charconv>

#include "core/errors.hpp"

namespace zelka::fpga::snn {
namespace {

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

void take(std::string_view& text, std::string_view expected, std::size_t line) {
  if (!text.starts_with(expected))
    malformed(line, "does not continue with \"" + std::string(expected) + "\"");
  text.remove_prefix(expected.size());
}

std::string decimal(unsigned __int128 count) {
  std::string digits;
  do {
    digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(count % 10)));
    count /= 10;
  } while (count != 0);
  return digits;
}

// The line count of a report, which may exceed 64 bits (saturated at 128).
unsigned __int128 line_count(std::uint64_t layers, std::uint64_t steps, std::uint64_t samples,
                             bool fired_lines) {
  using wide = unsigned __int128;
  const wide per_sample = wide{steps} + (fired_lines ? layers : 0);
  wide count;
  if (__builtin_mul_overflow(per_sample, wide{samples}, &count) ||
      __builtin_add_overflow(count, wide{layers} + 2, &count))
    return ~wide{0};
  return count;
}

// Spikes added to a total: at most `most` (what `bound` says, "spikes of a layer of 3 neurons"),
// and a total that 64 bits hold.
void add_count(std::uint64_t& total, std::uint64_t count, std::uint64_t most,
               const std::string& bound, std::size_t line) {
  if (count > most) malformed(line, "counts " + std::to_string(count) + " " + bound);
  if (__builtin_add_overflow(total, count, &total))
    malformed(line, "brings a layer's spikes over the 64 bits that hold them");
}

}  // namespace

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
  CsimReport report;
  const bool fired_lines = line.starts_with(" samples=");
  if (fired_lines) {
    take(line, " samples=", 1);
    report.samples = take_number(line, 1);
  }
  if (!line.empty())
    malformed(1, fired_lines ? "has more than the step, layer and sample counts"
                             : "has more than the step and layer counts");
  const unsigned __int128 expected = line_count(layer_count, steps, report.samples, fired_lines);
  if (lines.size() != expected)
    malformed(lines.size(), "ends the report, which should have " + decimal(expected) + " lines");
  for (std::size_t k = 0; k < layer_count; ++k) {
    line = lines[1 + k];
    take(line, "layer " + std::to_string(k + 1) + " neurons=", 2 + k);
    LayerReport layer;
    layer.neurons = take_number(line, 2 + k);
    take(line, " ", 2 + k);
    layer.name = line;
    layer.sample_spikes.assign(report.samples, 0);
    layer.sample_reference_spikes.assign(report.samples, 0);
    if (fired_lines) {
      // every neuron of every sample takes at least two characters of a fired line
      std::uint64_t counts;
      if (__builtin_mul_overflow(report.samples, layer.neurons, &counts) ||
          counts > output.size() / 2)
        malformed(2 + k, "counts more neurons than the report's fired lines can hold");
      layer.neuron_spikes.assign(counts, 0);
    }
    report.layers.push_back(std::move(layer));
  }

  // Per step over the samples: whether all agreed, and whether each layer differed in one.
  report.step_agrees.assign(steps, true);
  std::vector<std::vector<bool>> layer_differed(layer_count, std::vector<bool>(steps, false));
  report.sample_steps_agreeing.assign(report.samples, 0);
  std::vector<std::string> layer_bounds;
  for (const LayerReport& layer : report.layers)
    layer_bounds.push_back("spikes of a layer of " + std::to_string(layer.neurons) + " neurons");
  const std::string neuron_bound =
      "spikes of a neuron in a sample of " + std::to_string(steps) + " steps";
  std::size_t number = 1 + layer_count;
  for (std::uint64_t s = 0; s < report.samples; ++s) {
    for (std::size_t t = 0; t < steps; ++t) {
      line = lines[number++];
      take(line, "step " + std::to_string(t + 1) + " ", number);
      const bool agrees = line.starts_with("agree");
      take(line, agrees ? "agree" : "differ", number);
      bool any_differing = false;
      for (std::size_t k = 0; k < layer_count; ++k) {
        LayerReport& layer = report.layers[k];
        const std::string& bound = layer_bounds[k];
        take(line, " ", number);
        const std::uint64_t spikes = take_number(line, number);
        add_count(layer.spikes, spikes, layer.neurons, bound, number);
        add_count(layer.sample_spikes[s], spikes, layer.neurons, bound, number);
        take(line, ",", number);
        const std::uint64_t reference = take_number(line, number);
        add_count(layer.reference_spikes, reference, layer.neurons, bound, number);
        add_count(layer.sample_reference_spikes[s], reference, layer.neurons, bound, number);
        take(line, ",", number);
        const std::uint64_t differing = take_number(line, number);
        if (differing > layer.neurons)
          malformed(number, "counts " + std::to_string(differing) +
                                " differing neurons of a layer of " +
                                std::to_string(layer.neurons));
        if (differing > 0 && !layer_differed[k][t]) {
          layer_differed[k][t] = true;
          ++layer.steps_differing;
        }
        any_differing = any_differing || differing > 0;
      }
      if (!line.empty()) malformed(number, "has more than one count per layer");
      if (agrees == any_differing) malformed(number, "says agree and differ at once");
      report.step_agrees[t] = report.step_agrees[t] && agrees;
      report.sample_steps_agreeing[s] += agrees;
    }
    if (!fired_lines) continue;
    for (std::size_t k = 0; k < layer_count; ++k) {
      LayerReport& layer = report.layers[k];
      line = lines[number++];
      take(line, "fired " + std::to_string(k + 1), number);
      std::uint64_t total = 0;
      for (std::size_t i = 0; i < layer.neurons; ++i) {
        take(line, " ", number);
        const std::uint64_t fired = take_number(line, number);
        add_count(total, fired, steps, neuron_bound, number);
        layer.neuron_spikes[s * layer.neurons + i] = fired;
      }
      if (!line.empty()) malformed(number, "has more than one count per neuron");
      if (total != layer.sample_spikes[s])
        malformed(number, "counts " + std::to_string(total) + " spikes of the sample's " +
                              std::to_string(layer.sample_spikes[s]) + " in its step lines");
    }
  }
  std::uint64_t agreeing = 0;
  for (std::uint64_t count : report.sample_steps_agreeing) agreeing += count;
  for (bool step : report.step_agrees) report.steps_agreeing += step;
  line = lines.back();
  take(line,
       "result " + std::to_string(agreeing) + "/" +
           decimal(static_cast<unsigned __int128>(steps) * report.samples) + " steps agree",
       lines.size());
  return report;
}

}  // namespace zelka::fpga::snn
