#include "core/fpga/snn_bench_data.hpp"

#include <charconv>
#include <cmath>
#include <limits>

#include "core/errors.hpp"
#include "core/fpga/snn_code.hpp"
#include "core/fpga/snn_fixed_types.hpp"
#include "core/text/number_format.hpp"

namespace zelka::fpga::snn {
namespace {

constexpr std::string_view stimulus_magic = "zelka-stimulus";
constexpr std::string_view reference_magic = "zelka-reference";

// A header line read word by word: a fixed word, or a field key=value.
class HeaderLine {
 public:
  HeaderLine(std::istream& in, std::string_view what, const std::string& file, std::size_t number)
      : what_(what), file_(file), number_(number) {
    if (!std::getline(in, text_)) fail("is missing");
    rest_ = text_;
  }

  void word(std::string_view expected) {
    if (next() != expected) fail("does not start with \"" + std::string(expected) + "\"");
  }

  std::string field(std::string_view key) {
    const std::string_view token = next();
    if (!token.starts_with(key) || token.substr(key.size(), 1) != "=")
      fail("lacks the field " + std::string(key) + "=");
    return std::string(token.substr(key.size() + 1));
  }

  std::uint64_t number(std::string_view key) { return parsed(field(key), key); }

  void end() {
    if (!rest_.empty()) fail("has more than its fields");
  }

  std::uint64_t parsed(std::string_view digits, std::string_view key) {
    std::uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size())
      fail("has " + std::string(key) + "=" + std::string(digits) + ", which is no count");
    return value;
  }

  [[noreturn]] void fail(const std::string& problem) const {
    throw ValueError(file_ + " is not a " + std::string(what_) + " file: line " +
                     std::to_string(number_) + " " + problem);
  }

 private:
  std::string_view next() {
    const std::size_t space = rest_.find(' ');
    const std::string_view token = rest_.substr(0, space);
    rest_ = space == std::string_view::npos ? std::string_view() : rest_.substr(space + 1);
    return token;
  }

  std::string_view what_;
  const std::string& file_;
  std::size_t number_;
  std::string text_;
  std::string_view rest_;
};

// The start of a data file's first line: its kind, and how many samples of how many steps.
void read_extent(HeaderLine& header, std::string_view magic, std::uint64_t& samples,
                 std::uint64_t& steps) {
  header.word(magic);
  samples = header.number("samples");
  steps = header.number("steps");
}

std::string shape_field(const Shape& shape) {
  std::string out;
  for (std::size_t d = 0; d < shape.size(); ++d) out += (d ? "," : "") + std::to_string(shape[d]);
  return out;
}

// "sample 3", "sample 3, step 2": where a value of the stimulus belongs, counted from 1.
std::string sample_text(std::uint64_t sample, std::uint64_t step, bool per_step) {
  std::string out = "sample " + std::to_string(sample + 1);
  return per_step ? out + ", step " + std::to_string(step + 1) : out;
}

}  // namespace

void require_finite(const StimulusLayout& layout, const std::vector<PortValues>& ports) {
  const std::uint64_t sets = layout.per_step ? layout.steps : 1;
  for (std::size_t k = 0; k < ports.size(); ++k) {
    const std::size_t size = element_count(layout.inputs[k]);
    for (std::uint64_t t = 0; t < sets; ++t)
      for (std::uint64_t s = 0; s < layout.samples; ++s) {
        const double* values = ports[k].values + (t * layout.samples + s) * size;
        for (std::size_t i = 0; i < size; ++i)
          if (!std::isfinite(values[i]))
            throw ValueError(ports[k].name + " holds " +
                             (std::isnan(values[i]) ? "nan" : "an infinity") + " (" +
                             sample_text(s, t, layout.per_step) + ", value " +
                             std::to_string(i + 1) + "), which no fixed-point type holds");
      }
  }
}

void write_stimulus(std::ostream& out, const StimulusLayout& layout,
                    const std::vector<PortValues>& ports,
                    const std::function<void()>& between_samples) {
  require_finite(layout, ports);
  out << stimulus_magic << " samples=" << layout.samples << " steps=" << layout.steps
      << " per_step=" << (layout.per_step ? 1 : 0) << " inputs=" << layout.inputs.size()
      << " type=" << layout.input_type.name() << "\n";
  for (std::size_t k = 0; k < layout.inputs.size(); ++k)
    out << "input " << k + 1 << " values=" << element_count(layout.inputs[k])
        << " shape=" << shape_field(layout.inputs[k]) << "\n";
  const std::uint64_t sets = layout.per_step ? layout.steps : 1;
  std::string line;
  for (std::uint64_t s = 0; s < layout.samples; ++s) {
    if (s > 0 && between_samples) between_samples();
    for (std::uint64_t t = 0; t < sets; ++t) {
      for (std::size_t k = 0; k < ports.size(); ++k) {
        const std::size_t size = element_count(layout.inputs[k]);
        const double* values = ports[k].values + (t * layout.samples + s) * size;
        line.clear();
        for (std::size_t i = 0; i < size; ++i)
          line += (i ? " " : "") + text::float_repr(nearest_on_grid(values[i], layout.input_type));
        out << line << "\n";
      }
    }
  }
}

StimulusLayout read_stimulus_layout(std::istream& in, const std::string& file) {
  StimulusLayout layout;
  HeaderLine header(in, "stimulus", file, 1);
  read_extent(header, stimulus_magic, layout.samples, layout.steps);
  const std::uint64_t per_step = header.number("per_step");
  if (per_step > 1) header.fail("has per_step=" + std::to_string(per_step) + ", not 0 or 1");
  layout.per_step = per_step == 1;
  const std::uint64_t inputs = header.number("inputs");
  const std::string type = header.field("type");
  header.end();
  const auto input_type = numeric::parse_fixed_type(type);
  if (!input_type) header.fail("has type=" + type + ", which is no fixed-point type");
  layout.input_type = *input_type;
  for (std::uint64_t k = 0; k < inputs; ++k) {
    HeaderLine line(in, "stimulus", file, k + 2);
    line.word("input");
    line.word(std::to_string(k + 1));
    const std::uint64_t values = line.number("values");
    const std::string dimensions = line.field("shape");
    line.end();
    Shape shape;
    for (std::size_t start = 0; start < dimensions.size();) {
      const std::size_t comma = std::min(dimensions.find(',', start), dimensions.size());
      shape.push_back(
          line.parsed(std::string_view(dimensions).substr(start, comma - start), "shape"));
      start = comma + 1;
    }
    if (element_count(shape) != values)
      line.fail("has a shape of " + std::to_string(element_count(shape)) +
                " values and values=" + std::to_string(values));
    layout.inputs.push_back(std::move(shape));
  }
  return layout;
}

void write_reference(std::ostream& out, const ReferenceLayout& layout,
                     const std::vector<const std::uint8_t*>& trains,
                     const std::function<void()>& between_samples) {
  out << reference_magic << " samples=" << layout.samples << " steps=" << layout.steps
      << " layers=" << layout.layers.size() << " graph=" << layout.graph_digest << "\n";
  for (std::size_t k = 0; k < layout.layers.size(); ++k)
    out << "layer " << k + 1 << " neurons=" << layout.layers[k] << "\n";
  std::string line;
  for (std::uint64_t s = 0; s < layout.samples; ++s) {
    if (s > 0 && between_samples) between_samples();
    for (std::uint64_t t = 0; t < layout.steps; ++t) {
      for (std::size_t k = 0; k < layout.layers.size(); ++k) {
        const std::size_t neurons = layout.layers[k];
        const std::uint8_t* fired = trains[k] + (t * layout.samples + s) * neurons;
        line.assign(neurons + 1, '\n');
        for (std::size_t i = 0; i < neurons; ++i) line[i] = fired[i] ? '1' : '0';
        out << line;
      }
    }
  }
}

ReferenceLayout read_reference_layout(std::istream& in, const std::string& file) {
  ReferenceLayout layout;
  HeaderLine header(in, "reference", file, 1);
  read_extent(header, reference_magic, layout.samples, layout.steps);
  const std::uint64_t layers = header.number("layers");
  layout.graph_digest = header.field("graph");
  header.end();
  for (std::uint64_t k = 0; k < layers; ++k) {
    HeaderLine line(in, "reference", file, k + 2);
    line.word("layer");
    line.word(std::to_string(k + 1));
    layout.layers.push_back(line.number("neurons"));
    line.end();
  }
  return layout;
}

std::uint64_t reference_bytes(const Network& net, std::uint64_t steps) {
  std::uint64_t per_step = 0;
  for (const Node& node : net.nodes)
    if (node.kind == NodeKind::lif && (__builtin_add_overflow(per_step, node.neurons, &per_step) ||
                                       __builtin_add_overflow(per_step, 1, &per_step)))
      return std::numeric_limits<std::uint64_t>::max();
  std::uint64_t total;
  return __builtin_mul_overflow(per_step, steps, &total) ? std::numeric_limits<std::uint64_t>::max()
                                                         : total;
}

}  // namespace zelka::fpga::snn
