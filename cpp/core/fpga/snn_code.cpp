#include "core/fpga/snn_code.hpp"

#include <cctype>
#include <functional>
#include <numeric>
#include <set>

#include "core/text/template.hpp"

namespace zelka::fpga::snn {
namespace {

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

}  // namespace

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

std::string layer_number(const Node& node) {
  return std::to_string(node.config_index);
}

std::string probe_member(const Node& node) {
  return "layer" + layer_number(node);
}

std::string value_type_name(const Network& net, const Plan& plan, std::size_t i) {
  const Node& node = net.nodes[i];
  const NodePlan& p = plan.nodes[i];
  switch (node.kind) {
    case NodeKind::input:
      return "input_t";
    case NodeKind::dense:
      return "layer" + layer_number(node) + "_t";
    case NodeKind::lif:
      return "spike_t";
    case NodeKind::pass_through:
      if (p.reads.size() > 1) return "layer" + layer_number(node) + "_sum_t";
      [[fallthrough]];
    case NodeKind::output:
      break;
  }
  return value_type_name(net, plan, p.reads.front().node);
}

bool is_evaluated(const Plan& plan, std::size_t i) {
  return plan.nodes[i].first_step != never;
}

bool is_alias(const Network& net, const Plan& plan, std::size_t i) {
  const NodePlan& p = plan.nodes[i];
  return net.nodes[i].kind == NodeKind::pass_through && p.reads.size() == 1 &&
         !p.reads.front().previous_step && !p.read_by_later_step;
}

std::size_t element_count(const Shape& shape) {
  return std::accumulate(shape.begin(), shape.end(), std::size_t{1}, std::multiplies<>());
}

std::string described(const Node& node) {
  return text::comment_safe(node.name) + " (" + text::comment_safe(node.class_name) + ")";
}

std::string include_guard(const std::string& name) {
  std::string guard = name;
  for (char& c : guard) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return guard + "_H_";
}

}  // namespace zelka::fpga::snn
