#include "core/fpga/snn_firmware.hpp"

#include <algorithm>
#include <cctype>
#include <functional>
#include <numeric>
#include <set>

#include "core/fpga/parameters_header.hpp"
#include "core/text/number_format.hpp"
#include "core/text/template.hpp"

namespace zelka::fpga::snn {
namespace {

std::string idx(const Node& node) {
  return std::to_string(node.config_index);
}

std::size_t element_count(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::size_t{1}, std::multiplies<>());
}

std::string upper(std::string s) {
  for (char& c : s) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return s;
}

// "name (Kind)" for comments.
std::string described(const Node& node) {
  return text::comment_safe(node.name) + " (" + text::comment_safe(node.class_name) + ")";
}

// A C++ identifier from a node name: other characters become '_', runs of '_' one, none at
// either end, and a leading digit (or nothing left) gets an "n" before it.
std::string identifier_from(const std::string& name) {
  std::string out;
  for (char c : name) {
    const bool word =
        std::isalnum(static_cast<unsigned char>(c)) && static_cast<unsigned char>(c) < 128;
    const char kept = word ? c : '_';
    if (kept == '_' && (out.empty() || out.back() == '_')) continue;
    out += kept;
  }
  while (!out.empty() && out.back() == '_') out.pop_back();
  if (out.empty() || std::isdigit(static_cast<unsigned char>(out.front()))) out = "n" + out;
  return out;
}

// The name of the type of a node's value: "input_t", "spike_t", "layer{configN}_t" for dense
// layers, "layer{configN}_sum_t" for sums, or that of the one node a node passes on.
std::string value_type_name(const Network& net, const Plan& plan, std::size_t i) {
  const Node& node = net.nodes[i];
  const NodePlan& p = plan.nodes[i];
  switch (node.kind) {
    case NodeKind::input:
      return "input_t";
    case NodeKind::dense:
      return "layer" + idx(node) + "_t";
    case NodeKind::lif:
      return "spike_t";
    case NodeKind::pass_through:
      if (p.reads.size() > 1) return "layer" + idx(node) + "_sum_t";
      [[fallthrough]];
    case NodeKind::output:
      break;
  }
  return value_type_name(net, plan, p.reads.front().node);
}

// The code of one project: the network, its plan, and the names of values and types.
class Firmware {
 public:
  Firmware(const Network& net, const Plan& plan, const std::string& project)
      : net_(net), plan_(plan), project_(project), ports_(top_ports(net, plan)) {}

  ProjectFiles files() const {
    ProjectFiles out{{"firmware/" + project_ + ".h", header()},
                     {"firmware/" + project_ + ".cpp", source()},
                     {"firmware/defines.h", defines()},
                     {"firmware/layer_configs.h", layer_configs()}};
    for (std::size_t i = 0; i < net_.nodes.size(); ++i)
      if (evaluated(i)) add_constants(net_.nodes[i], out);
    return out;
  }

 private:
  bool evaluated(std::size_t i) const { return plan_.nodes[i].first_step != never; }

  const Port* port_of(std::size_t node) const {
    for (const Port& port : ports_)
      if (port.node == node) return &port;
    return nullptr;
  }

  // A pass-through node that needs no array of its own: it reads one node from this step and
  // no node reads it from the previous step.
  bool is_alias(std::size_t i) const {
    const NodePlan& p = plan_.nodes[i];
    return net_.nodes[i].kind == NodeKind::pass_through && p.reads.size() == 1 &&
           !p.reads.front().previous_step && !p.read_by_later_step;
  }

  // Dense and LIF layers sum their reads into a buffer of their own when they have several,
  // or read themselves (the kernel then writes what it reads).
  bool needs_input_buffer(std::size_t i) const {
    const NodePlan& p = plan_.nodes[i];
    return p.reads.size() > 1 || p.reads.front().node == i;
  }

  std::string value_name(std::size_t i) const {
    const Node& node = net_.nodes[i];
    if (node.kind == NodeKind::input || node.kind == NodeKind::output) return port_of(i)->name;
    if (is_alias(i)) return value_name(plan_.nodes[i].reads.front().node);
    return "layer" + idx(node) + "_value";
  }

  std::string type_name(std::size_t i) const { return value_type_name(net_, plan_, i); }

  // The type of the buffer a dense or LIF layer sums its reads into.
  std::string input_buffer_type(std::size_t i) const {
    const NodePlan& p = plan_.nodes[i];
    return p.reads.size() > 1 ? "layer" + idx(net_.nodes[i]) + "_sum_t"
                              : type_name(p.reads.front().node);
  }

  std::size_t size_of(std::size_t i) const { return element_count(plan_.nodes[i].shape); }

  static std::string step_condition(int from_step) {
    return "steps_since_reset >= " + std::to_string(from_step - 1);
  }

  std::string header() const {
    const std::string guard = upper(project_) + "_H_";
    std::string out = "// " + project_ +
                      ": one time step of a spiking network, generated by zelka's "
                      "write_snn_project.\n#ifndef " +
                      guard + "\n#define " + guard + "\n\n#include \"defines.h\"\n\n" +
                      signature_comment() + signature() + ";\n\n";
    out +=
        "#ifndef __SYNTHESIS__\n// C simulation only: the spikes of every LIF layer in the last "
        "call, which the test\n// bench compares with the CPU simulator's.\nstruct " +
        project_ + "_spike_probe {\n";
    for (const Node& node : net_.nodes)
      if (node.kind == NodeKind::lif)
        out += "  spike_t " + probe_member(node) + "[" + std::to_string(node.neurons) + "];  // " +
               text::comment_safe(node.name) + "\n";
    out += "};\nextern " + project_ + "_spike_probe " + project_ + "_spikes;\n#endif\n\n#endif\n";
    return out;
  }

  std::string signature_comment() const {
    std::string out =
        "// Each call computes one time step: every node in the graph's execution order, its\n"
        "// inputs summed, values from later nodes (back edges) taken from the previous step.\n"
        "// LIF membranes persist from one call to the next; reset = true clears them (and the\n"
        "// values of the previous step) before the step, so call it with reset = true first.\n"
        "// Arguments:\n";
    for (const Port& port : ports_) {
      const Node& node = net_.nodes[port.node];
      out += "//   " + port.name + ": " + std::to_string(port.size) + " values of " +
             (node.kind == NodeKind::input ? "the Input node " : "the Output node ") +
             text::comment_safe(node.name) + "\n";
    }
    return out;
  }

  std::string signature() const {
    std::string out = "void " + project_ + "(";
    for (const Port& port : ports_)
      out += port.type + " " + port.name + "[" + std::to_string(port.size) + "], ";
    return out + "bool reset)";
  }

  std::string defines() const {
    std::string out =
        "// The types of the values the top function computes with.\n#ifndef DEFINES_H_\n"
        "#define DEFINES_H_\n\n#include \"ap_fixed.h\"\n#include \"ap_int.h\"\n\n"
        "// Values of the network's inputs (the graph's Input nodes).\ntypedef " +
        net_.input_type.name() +
        " input_t;\n// Spikes: 1 where a neuron fired.\ntypedef ap_uint<1> spike_t;\n"
        "// LIF membrane potentials, thresholds and rest values.\ntypedef " +
        net_.membrane_type.name() + " membrane_t;\n// LIF decay factors, 1 - 1/tau.\ntypedef " +
        decay_type(net_.membrane_type).name() + " decay_t;\n";
    std::string dense, sums;
    for (std::size_t i = 0; i < net_.nodes.size(); ++i) {
      const Node& node = net_.nodes[i];
      if (!evaluated(i)) continue;
      const std::string comment = "  // " + text::comment_safe(node.name) + "\n";
      if (node.kind == NodeKind::dense)
        dense += "typedef " + node.result_type.name() + " layer" + idx(node) + "_t;" + comment;
      if (node.kind != NodeKind::output && plan_.nodes[i].reads.size() > 1)
        sums += "typedef " + plan_.nodes[i].sum_type.name() + " layer" + idx(node) + "_sum_t;" +
                comment;
    }
    if (!dense.empty()) out += "// Outputs of the dense layers.\n" + dense;
    if (!sums.empty())
      out += "// Sums of several inputs, wide enough to hold them exactly.\n" + sums;
    return out + "\n#endif\n";
  }

  std::string strategy_name() const {
    return net_.strategy == Strategy::latency ? "nnet::latency" : "nnet::resource";
  }

  std::string layer_configs() const {
    std::string out =
        "// The configurations of the top function's layers: parameters.h's dense-layer\n"
        "// configurations made usable with nnet::dense, and one per LIF layer.\n"
        "#ifndef LAYER_CONFIGS_H_\n#define LAYER_CONFIGS_H_\n\n#include \"defines.h\"\n"
        "#include \"nnet_utils/dense_adapter.h\"\n#include \"nnet_utils/lif_neurons.h\"\n"
        "#include \"parameters.h\"\n";
    for (std::size_t i = 0; i < net_.nodes.size(); ++i) {
      const Node& node = net_.nodes[i];
      if (!evaluated(i)) continue;
      if (node.kind == NodeKind::dense)
        out += "\n// " + described(node) + "\ntypedef nnet::dense_adapter<config" + idx(node) +
               ", " + strategy_name() + "> layer" + idx(node) + "_config;\n";
      if (node.kind == NodeKind::lif) {
        const std::string n = std::to_string(node.neurons);
        out +=
            "\n// " + described(node) + ": " + n + " neurons fed by " +
            std::to_string(size_of(plan_.nodes[i].reads.front().node)) +
            " values.  parameters.h's config" + idx(node) +
            " states the first neuron's\n// threshold and leak only; every neuron's decay, "
            "threshold and rest value are in\n// weights/decay" +
            idx(node) + ".h, threshold" + idx(node) + ".h and rest" + idx(node) +
            ".h.\nstruct layer" + idx(node) + "_config {\n  static const unsigned n_in = " +
            std::to_string(size_of(plan_.nodes[i].reads.front().node)) +
            ";\n  static const unsigned n_out = " + n +
            ";\n  static const unsigned reuse_factor = " + std::to_string(node.reuse_factor) +
            ";\n  static const unsigned multiplier_limit = DIV_ROUNDUP(n_out, reuse_factor);\n};\n";
      }
    }
    return out + "\n#endif\n";
  }

  static std::string array_text(const std::string& declaration, const std::vector<double>& values) {
    std::string out = declaration + "[" + std::to_string(values.size()) + "] = {";
    for (std::size_t i = 0; i < values.size(); ++i) {
      out += i % 8 == 0 ? "\n    " : " ";
      out += text::float_repr(values[i]) + (i + 1 < values.size() ? "," : "");
    }
    return out + "\n};\n";
  }

  static std::string constants_header(const std::string& file, const std::string& comment,
                                      const std::string& declaration,
                                      const std::vector<double>& values) {
    const std::string guard = upper(file) + "_H_";
    return "// " + comment + "\n#ifndef " + guard + "\n#define " + guard + "\n\n" +
           array_text(declaration, values) + "\n#endif\n";
  }

  void add_constants(const Node& node, ProjectFiles& out) const {
    const std::string k = idx(node), name = described(node);
    if (node.kind == NodeKind::dense) {
      std::vector<double> laid_out = node.weight;
      std::string layout = "output-major for the resource kernel: w" + k + "[o * " +
                           std::to_string(node.n_in) + " + i] = weight[o, i]";
      if (net_.strategy == Strategy::latency) {
        for (std::size_t o = 0; o < node.n_out; ++o)
          for (std::size_t i = 0; i < node.n_in; ++i)
            laid_out[i * node.n_out + o] = node.weight[o * node.n_in + i];
        layout = "input-major for the latency kernel: w" + k + "[i * " +
                 std::to_string(node.n_out) + " + o] = weight[o, i]";
      }
      out.emplace_back("firmware/weights/w" + k + ".h",
                       constants_header("w" + k, name + ": weight, " + layout,
                                        "config" + k + "::weight_t w" + k, laid_out));
      out.emplace_back(
          "firmware/weights/b" + k + ".h",
          constants_header("b" + k, name + ": bias", "config" + k + "::bias_t b" + k, node.bias));
    } else if (node.kind == NodeKind::lif) {
      out.emplace_back("firmware/weights/decay" + k + ".h",
                       constants_header("decay" + k, name + ": decay 1 - 1/tau of each neuron",
                                        "decay_t decay" + k, node.decay));
      out.emplace_back("firmware/weights/threshold" + k + ".h",
                       constants_header("threshold" + k, name + ": threshold of each neuron",
                                        "membrane_t threshold" + k, node.threshold));
      out.emplace_back("firmware/weights/rest" + k + ".h",
                       constants_header("rest" + k, name + ": rest value (v_leak) of each neuron",
                                        "membrane_t rest" + k, node.rest));
    }
  }

  static std::string partition(const std::string& variable, std::size_t size, unsigned reuse) {
    const std::size_t factor = (size + reuse - 1) / reuse;
    if (factor >= size)
      return "#pragma HLS ARRAY_PARTITION variable=" + variable + " complete dim=0\n";
    return "#pragma HLS ARRAY_PARTITION variable=" + variable +
           " cyclic factor=" + std::to_string(factor) + " dim=1\n";
  }

  // An unrolled loop over `size` elements; `body` is indented by one level more.
  static std::string loop(const std::string& label, std::size_t size, const std::string& body) {
    return label + ":\nfor (unsigned i = 0; i < " + std::to_string(size) +
           "; i++) {\n#pragma HLS UNROLL\n" + indented(body) + "}\n";
  }

  // `lines` one level (two spaces) deeper; preprocessor lines stay at the margin.
  static std::string indented(const std::string& lines) {
    std::string out;
    for (std::size_t start = 0; start < lines.size();) {
      const std::size_t end = lines.find('\n', start);
      const std::string line = lines.substr(start, end - start);
      out += (line.empty() || line.front() == '#' ? line : "  " + line) + "\n";
      start = end + 1;
    }
    return out;
  }

  // Statements that fill `target` with the sum of a node's reads; a read that does not have a
  // value in every step the node is evaluated in is added under its condition.
  std::string sum_into(const std::string& target, std::size_t i) const {
    const NodePlan& p = plan_.nodes[i];
    std::string body;
    if (p.reads.size() == 1) {
      body = target + "[i] = " + value_name(p.reads.front().node) + "[i];\n";
    } else {
      body = target + "[i] = 0;\n";
      for (const Read& r : p.reads) {
        const std::string add = target + "[i] += " + value_name(r.node) + "[i];\n";
        body +=
            r.from_step > p.first_step ? "if (" + step_condition(r.from_step) + ") " + add : add;
      }
    }
    return loop("Inputs" + idx(net_.nodes[i]), size_of(i), body);
  }

  struct NodeCode {
    std::string declarations, statements;
  };

  // The arrays a node declares and the statements that compute its value (under the
  // condition of its first step when that is not the first).
  NodeCode node_code(std::size_t i) const {
    const Node& node = net_.nodes[i];
    const NodePlan& p = plan_.nodes[i];
    const std::string k = idx(node);
    NodeCode code;
    std::string input = value_name(p.reads.front().node);
    std::string input_type = type_name(p.reads.front().node);
    const std::size_t input_size = size_of(p.reads.front().node);
    std::string body;
    if ((node.kind == NodeKind::dense || node.kind == NodeKind::lif) && needs_input_buffer(i)) {
      input = "layer" + k + "_inputs";
      input_type = input_buffer_type(i);
      code.declarations += input_type + " " + input + "[" + std::to_string(input_size) + "];\n" +
                           partition(input, input_size, 1);
      body += sum_into(input, i);
    }
    if (node.kind != NodeKind::output && !is_alias(i))
      code.declarations += (p.read_by_later_step ? "static " : "") + type_name(i) + " " +
                           value_name(i) + "[" + std::to_string(size_of(i)) + "];\n" +
                           partition(value_name(i), size_of(i), node.reuse_factor);
    std::string otherwise;
    switch (node.kind) {
      case NodeKind::dense:
        body += "nnet::dense<" + input_type + ", layer" + k + "_t, layer" + k + "_config>(" +
                input + ", " + value_name(i) + ", w" + k + ", b" + k + ");\n";
        break;
      case NodeKind::lif:
        body += "nnet::lif_neurons<" + input_type + ", spike_t, layer" + k + "_config>(" + input +
                ", " + value_name(i) + ", layer" + k + "_membrane, decay" + k + ", threshold" + k +
                ", rest" + k + ");\n";
        break;
      case NodeKind::pass_through:
        if (!is_alias(i)) body += sum_into(value_name(i), i);
        break;
      case NodeKind::output: {
        const std::string& port = port_of(i)->name;
        body += loop("Output_" + port, size_of(i), port + "[i] = " + input + "[i];\n");
        otherwise = loop("NoOutput_" + port, size_of(i), port + "[i] = 0;\n");
        break;
      }
      case NodeKind::input:
        break;
    }
    if (body.empty()) return code;
    code.statements = "\n// " + described(node) + "\n";
    if (p.first_step == 1) {
      code.statements += body;
    } else {
      code.statements += "if (" + step_condition(p.first_step) + ") {\n" + indented(body) + "}";
      code.statements += otherwise.empty() ? "\n" : " else {\n" + indented(otherwise) + "}\n";
    }
    return code;
  }

  std::string source() const {
    std::string includes, pragmas, state, reset, declarations, statements, probes;
    std::string port_list;
    for (const Port& port : ports_) {
      pragmas += net_.nodes[port.node].kind == NodeKind::input
                     ? "#pragma HLS ARRAY_RESHAPE variable=" + port.name + " complete dim=0\n"
                     : "#pragma HLS ARRAY_PARTITION variable=" + port.name + " complete dim=0\n";
      port_list += (port_list.empty() ? "" : ",") + port.name;
    }
    pragmas += "#pragma HLS INTERFACE ap_vld port=" + port_list + "\n";
    unsigned widest_reuse = 1;
    for (std::size_t i = 0; i < net_.nodes.size(); ++i) {
      const Node& node = net_.nodes[i];
      const std::string k = idx(node);
      const std::string probe = project_ + "_spikes." + probe_member(node) + "[i] = ";
      if (!evaluated(i)) {
        if (node.kind == NodeKind::lif) probes += loop("Probe" + k, node.neurons, probe + "0;\n");
        continue;
      }
      if (node.kind == NodeKind::input) continue;
      if (node.kind == NodeKind::dense || node.kind == NodeKind::lif)
        widest_reuse = std::max(widest_reuse, node.reuse_factor);
      if (node.kind == NodeKind::dense) {
        includes += "#include \"weights/b" + k + ".h\"\n#include \"weights/w" + k + ".h\"\n";
        if (net_.strategy == Strategy::latency)
          state += partition("w" + k, node.n_in * node.n_out, node.reuse_factor);
        state += partition("b" + k, node.n_out, 1);
      }
      if (node.kind == NodeKind::lif) {
        includes += "#include \"weights/decay" + k + ".h\"\n#include \"weights/rest" + k +
                    ".h\"\n#include \"weights/threshold" + k + ".h\"\n";
        state +=
            "static membrane_t layer" + k + "_membrane[" + std::to_string(node.neurons) + "];\n";
        for (const std::string& array :
             {"layer" + k + "_membrane", "decay" + k, "threshold" + k, "rest" + k})
          state += partition(array, node.neurons, node.reuse_factor);
        reset += "nnet::lif_reset<layer" + k + "_config>(layer" + k + "_membrane);\n";
        const int first = plan_.nodes[i].first_step;
        probes += loop("Probe" + k, node.neurons,
                       probe + (first > 1 ? step_condition(first) + " ? " + value_name(i) +
                                                "[i] : spike_t(0);\n"
                                          : value_name(i) + "[i];\n"));
      }
      const NodeCode code = node_code(i);
      declarations += code.declarations;
      statements += code.statements;
    }
    if (net_.strategy == Strategy::latency)
      pragmas += widest_reuse > 1 ? "#pragma HLS PIPELINE II=" + std::to_string(widest_reuse) + "\n"
                                  : "#pragma HLS PIPELINE\n";
    const int settled = plan_.steps_to_settle - 1;
    if (settled > 0) {
      state +=
          "// Steps since the last reset, counted up to " + std::to_string(settled) +
          ": until then some nodes have no value yet.\nstatic unsigned steps_since_reset = 0;\n";
      reset += "steps_since_reset = 0;\n";
    }
    std::string body = pragmas + "\n// State kept from one call to the next.\n" + state +
                       "if (reset) {\n" + indented(reset) + "}\n\n" + declarations + statements;
    if (settled > 0)
      body += "\nif (steps_since_reset < " + std::to_string(settled) + ") steps_since_reset++;\n";
    body += "\n#ifndef __SYNTHESIS__\n" + probes + "#endif\n";
    return "// " + project_ +
           ": one time step of a spiking network, generated by zelka's write_snn_project.\n"
           "#include \"" +
           project_ + ".h\"\n\n#include \"layer_configs.h\"\n" + includes +
           "\n#ifndef __SYNTHESIS__\n" + project_ + "_spike_probe " + project_ +
           "_spikes;\n#endif\n\n" + signature_comment() + signature() + " {\n" + indented(body) +
           "}\n";
  }

  const Network& net_;
  const Plan& plan_;
  const std::string& project_;
  std::vector<Port> ports_;
};

}  // namespace

std::string probe_member(const Node& node) {
  return "layer" + idx(node);
}

std::vector<Port> top_ports(const Network& net, const Plan& plan) {
  std::vector<Port> ports;
  std::set<std::string> used;
  for (NodeKind kind : {NodeKind::input, NodeKind::output}) {
    for (std::size_t i = 0; i < net.nodes.size(); ++i) {
      const Node& node = net.nodes[i];
      if (node.kind != kind) continue;
      const std::string base = identifier_from(node.name);
      const char* suffix = kind == NodeKind::input ? "_in" : "_out";
      std::string name = base + suffix;
      for (int n = 2; used.count(name); ++n) name = base + "_" + std::to_string(n) + suffix;
      used.insert(name);
      ports.push_back({i, name, element_count(plan.nodes[i].shape), value_type_name(net, plan, i)});
    }
  }
  return ports;
}

ProjectFiles firmware_files(const Network& network, const Plan& plan, const std::string& project) {
  return Firmware(network, plan, project).files();
}

}  // namespace zelka::fpga::snn
