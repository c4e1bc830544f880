#include "host/fpga/snn_graph.hpp"

#include <algorithm>
#include <cmath>

#include "core/rules/lif_rule.hpp"
#include "host/cpu/batch_records.hpp"
#include "host/cpu/simulate.hpp"
#include "host/execution_context.hpp"
#include "host/fpga/node_attributes.hpp"
#include "host/lif_settings.hpp"
#include "host/numpy.hpp"
#include "host/simulation/setup.hpp"
#include "host/simulation/step_loop.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

using zelka::fpga::FixedType;
using zelka::fpga::snn::Network;
using zelka::fpga::snn::Node;
using zelka::fpga::snn::NodeKind;

// The kinds the SNN writers build, in the order their refusals name them.
constexpr auto built_kinds =
    zelka::ir::ports_at_the_ends(zelka::ir::kinds_taken_by<zelka::ir::snn_project>());

IrKinds snn_kinds() {
  return IrKinds::load(built_kinds);
}

[[noreturn]] void fail(PyObject* type, const Node& node, const std::string& what) {
  const std::string message = node.label + ": " + what;
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

// np.asarray(value, dtype=float64), or TypeError naming the node and what the value is.
nb::object float_array(nb::handle value, const Node& node, const char* what) {
  const Numpy& np = Numpy::get();
  try {
    return np.ascontiguousarray(np.asarray(value, "dtype"_a = np.float64));
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_TypeError) && !e.matches(PyExc_ValueError)) throw;
    fail(PyExc_TypeError, node,
         std::string(what) + " must be an array of numbers (got " + type_name_of(value) + ")");
  }
}

// The values of a float64 array; NaN is refused, and so is an infinity unless
// `infinity_allowed` (a time constant's, whose decay 1 - 1/tau is then exactly 1).
std::vector<double> values_of(nb::handle array, const Node& node, const char* what,
                              bool infinity_allowed = false) {
  const ArrayData data(array);
  const auto* first = static_cast<const double*>(data.data());
  std::vector<double> values(first,
                             first + data.bytes() / static_cast<std::int64_t>(sizeof(double)));
  for (double v : values)
    if (std::isnan(v) || (!infinity_allowed && std::isinf(v)))
      fail(PyExc_ValueError, node,
           std::string(what) + " holds " + (std::isnan(v) ? "nan" : "an infinity") +
               ", which no fixed-point type holds");
  return values;
}

zelka::fpga::snn::Shape shape_from(nb::handle array) {
  zelka::fpga::snn::Shape shape;
  for (std::int64_t d : shape_of(array)) shape.push_back(static_cast<std::size_t>(d));
  return shape;
}

std::string shape_repr(nb::handle array) {
  return repr_text(array.attr("shape"));
}

// One value per neuron: `value` broadcast to (neurons,) as numpy broadcasts it.
std::vector<double> per_neuron(nb::handle value, std::size_t neurons, const Node& node,
                               const char* what, bool infinity_allowed = false) {
  const Numpy& np = Numpy::get();
  nb::object array = float_array(value, node, what);
  try {
    array = np.ascontiguousarray(np.broadcast_to(array, nb::make_tuple(neurons)));
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_ValueError)) throw;
    fail(PyExc_ValueError, node,
         std::string(what) + " of shape " + shape_repr(array) +
             " does not give one value to each of its " + std::to_string(neurons) +
             " neurons (v_threshold's first dimension)");
  }
  return values_of(array, node, what, infinity_allowed);
}

// The node's type attribute (weight_t, bias_t, result_t) when set, else the model precision.
FixedType type_setting(nb::handle graph_node, const Node& node, const char* attribute,
                       const FixedType& fallback) {
  nb::object value = nb::getattr(graph_node, attribute, nb::none());
  if (!truth(value)) return fallback;
  if (!PyUnicode_Check(value.ptr()))
    fail(PyExc_TypeError, node,
         std::string(attribute) + " must be a type name (str), got " + type_name_of(value));
  if (auto type = numeric::parse_fixed_type(utf8(value))) return *type;
  fail(PyExc_ValueError, node,
       std::string(attribute) + " " + repr_text(value) + " is not a fixed-point type (expected " +
           numeric::fixed_type_forms + ")");
}

unsigned reuse_setting(nb::handle graph_node, const Node& node, unsigned fallback) {
  nb::object value = nb::getattr(graph_node, "reuse_factor", nb::none());
  if (!truth(value)) return fallback;
  nb::object as_int = steal_or_raise(PyNumber_Long(value.ptr()));
  const long long rf = PyLong_AsLongLong(as_int.ptr());
  if (rf < 1 || rf > 1'000'000'000)
    fail(PyExc_ValueError, node, "reuse_factor must be a positive count, got " + repr_text(value));
  return static_cast<unsigned>(rf);
}

void read_dense(nb::handle graph_node, Node& node, const NetworkSettings& s) {
  const Numpy& np = Numpy::get();
  node.kind = NodeKind::dense;
  nb::object weight = float_array(graph_node.attr("weight"), node, "weight");
  if (shape_of(weight).size() != 2)
    fail(PyExc_ValueError, node,
         "weight must have two dimensions (outputs, inputs), got shape " + shape_repr(weight));
  node.n_out = static_cast<std::size_t>(shape_of(weight)[0]);
  node.n_in = static_cast<std::size_t>(shape_of(weight)[1]);
  node.weight = values_of(weight, node, "weight");
  nb::object bias = nb::getattr(graph_node, "bias", nb::none());
  if (bias.is_none()) {
    node.bias.assign(node.n_out, 0.0);
  } else {
    nb::object array = float_array(bias, node, "bias");
    try {
      array = np.ascontiguousarray(np.broadcast_to(array, nb::make_tuple(node.n_out)));
    } catch (nb::python_error& e) {
      if (!e.matches(PyExc_ValueError)) throw;
      fail(PyExc_ValueError, node,
           "bias of shape " + shape_repr(array) + " does not give one value to each of its " +
               std::to_string(node.n_out) + " outputs");
    }
    node.bias = values_of(array, node, "bias");
  }
  node.weight_type = type_setting(graph_node, node, "weight_t", s.precision);
  node.bias_type = type_setting(graph_node, node, "bias_t", s.precision);
  node.accum_type = type_setting(graph_node, node, "accum_t", s.precision);
  node.result_type = type_setting(graph_node, node, "result_t", s.precision);
  node.reuse_factor = reuse_setting(graph_node, node, s.reuse_factor);
}

void read_lif(nb::handle graph_node, Node& node, const NetworkSettings& s, nb::handle name) {
  const Numpy& np = Numpy::get();
  node.kind = NodeKind::lif;
  const LifSettings rule = lif_settings(graph_node, name);
  node.reset = rule.reset;
  node.fire = rule.fire;
  nb::object threshold = graph_node.attr("v_threshold");
  if (!is_instance(threshold, np.ndarray))
    fail(PyExc_TypeError, node, "v_threshold must be np.ndarray, got " + type_name_of(threshold));
  if (shape_of(threshold).empty())
    fail(PyExc_ValueError, node, "v_threshold must have at least one dimension (the neurons)");
  node.neurons = static_cast<std::size_t>(shape_of(threshold)[0]);
  node.threshold = per_neuron(threshold, node.neurons, node, "v_threshold");
  node.rest = per_neuron(graph_node.attr("v_leak"), node.neurons, node, "v_leak");
  nb::object tau = graph_node.attr("tau");
  for (double t : per_neuron(tau, node.neurons, node, "tau", true))
    if (t == 0.0) fail(PyExc_ValueError, node, "tau holds 0, for which 1 - 1/tau has no value");
  // The decay as the simulator computes it, in the element type of tau.
  nb::object decay = rules::lif_decay(nb::float_(1.0), tau);
  node.decay = per_neuron(decay, node.neurons, node, "decay (1 - 1/tau)");
  node.reuse_factor = reuse_setting(graph_node, node, s.reuse_factor);
}

}  // namespace

Network read_network(nb::handle graph, nb::handle input_data, const NetworkSettings& settings) {
  const IrKinds kinds = snn_kinds();
  const ExecutionContext context = execution_context(graph);
  const nb::object& order = context.exec_order;
  const nb::object& predecessors = context.predecessors;
  nb::object nodes = graph.attr("nodes");
  const bool per_step = nb::isinstance<cpu::PerStep>(input_data);
  nb::dict stimulus = input_data.is_none() ? simulation::synthetic_inputs(graph, kinds)
                      : per_step           ? nb::borrow<nb::dict>(input_data.attr("inputs"))
                                           : nb::borrow<nb::dict>(input_data);

  Network net;
  net.input_type = settings.precision;
  net.membrane_type = settings.membrane;
  net.strategy = settings.strategy;
  nb::dict position;
  std::vector<nb::object> names, graph_nodes;
  for (nb::handle name : order) {
    position[name] = nb::int_(names.size());
    names.push_back(nb::borrow(name));
    graph_nodes.push_back(getitem(nodes, name));
  }
  for (auto [key, value] : stimulus) {
    nb::object index = nb::borrow(PyDict_GetItemWithError(position.ptr(), key.ptr()));
    if (!index.is_valid() || !kinds.is(graph_nodes[nb::cast<std::size_t>(index)], Kind::input))
      raise_formatted(PyExc_ValueError,
                      "Argument 'input_data' names {!r}, which is no Input node of the graph", key);
  }

  int config_index = 0;
  for (std::size_t i = 0; i < names.size(); ++i) {
    nb::handle graph_node = graph_nodes[i];
    Node node;
    node.name = utf8_surrogates_passed(names[i]);
    node.label = node_label(graph_node, names[i]);
    node.class_name = type_name_of(graph_node);
    if (kinds.is(graph_node, Kind::input)) {
      node.kind = NodeKind::input;
      PyObject* data = PyDict_GetItemWithError(stimulus.ptr(), names[i].ptr());
      if (!data && PyErr_Occurred()) throw nb::python_error();
      nb::object array = data ? float_array(data, node, "its stimulus")
                              : Numpy::get().zeros(1, "dtype"_a = Numpy::get().float64);
      node.stimulus_shape = shape_from(array);
      if (data && per_step) {
        if (node.stimulus_shape.size() < 2 || node.stimulus_shape.front() == 0)
          fail(PyExc_ValueError, node,
               "its PerStep stimulus of shape " + shape_repr(array) +
                   " is not (steps, *input_shape) with at least one step and one dimension");
        node.stimulus_steps = node.stimulus_shape.front();
        node.stimulus_shape.erase(node.stimulus_shape.begin());
      }
      node.stimulus = values_of(array, node, "its stimulus");
    } else if (kinds.is(graph_node, Kind::output)) {
      node.kind = NodeKind::output;
    } else {
      node.config_index = ++config_index;
      if (kinds.is(graph_node, Kind::affine) || kinds.is(graph_node, Kind::spiking_affine))
        read_dense(graph_node, node, settings);
      else if (kinds.is(graph_node, Kind::lif))
        read_lif(graph_node, node, settings, names[i]);
      else if (kinds.is(graph_node, Kind::flatten))
        node.kind = NodeKind::pass_through;
      else
        fail(PyExc_ValueError, node,
             std::string(settings.writer) + " builds " + zelka::ir::names_in_words(built_kinds) +
                 " nodes, not " + type_name_of(graph_node));
    }
    if (node.kind != NodeKind::input) {
      for (nb::handle pred : getitem(predecessors, names[i])) {
        nb::object index = nb::borrow(PyDict_GetItemWithError(position.ptr(), pred.ptr()));
        if (!index.is_valid())
          fail(PyExc_ValueError, node,
               "it has an edge from " + repr_text(pred) + ", which names no node of the graph");
        node.predecessors.push_back(nb::cast<std::size_t>(index));
      }
    }
    net.nodes.push_back(std::move(node));
  }
  return net;
}

nb::object simulated_graph(nb::handle graph) {
  const IrKinds kinds = snn_kinds();
  nb::dict replaced;
  bool has_spiking_affine = false;
  for (nb::handle item : graph.attr("nodes").attr("items")()) {
    nb::object name = item[0], node = item[1];
    const bool spiking = kinds.is(node, Kind::spiking_affine) && !kinds.is(node, Kind::affine);
    replaced[name] = spiking ? kinds.cls(Kind::affine)(node.attr("weight"),
                                                       nb::getattr(node, "bias", nb::none()))
                             : nb::borrow(node);
    has_spiking_affine = has_spiking_affine || spiking;
  }
  if (!has_spiking_affine) return nb::borrow(graph);
  return imported("zelka.ir")
      .attr("Graph")(replaced, nb::list(graph.attr("edges")),
                     nb::getattr(graph, "cyclic_config", nb::none()));
}

nb::object simulated_batch(nb::handle graph, nb::handle samples, std::int64_t steps,
                           nb::handle record, const char* argument) {
  nb::object batch =
      imported("zelka.backend.registry")
          .attr("get_backend")("cpu")
          .attr("simulate_batch")(simulated_graph(graph), samples, steps, "record"_a = record);
  nb::list errors = batch.attr("errors");
  for (std::size_t s = 0; s < nb::len(errors); ++s) {
    nb::object sample_errors = errors[s];
    if (nb::len(sample_errors) > 0)
      raise_formatted(PyExc_ValueError,
                      "the CPU simulator failed on sample {} (counted from 0) of '{}': {}", s,
                      argument, sample_errors);
  }
  return batch;
}

std::int64_t simulated_steps(nb::handle graph, std::int64_t n_steps) {
  return simulation::steps_to_run(cpu::run_length(graph, nb::int_(n_steps)));
}

namespace {

// simulate_spikes for a stimulus per step: simulate_batch of the one sample, (steps, 1, *shape).
SimulatedSpikes simulate_spikes_per_step(nb::handle graph, const Network& net,
                                         nb::handle input_data, std::int64_t n_steps) {
  const Numpy& np = Numpy::get();
  nb::dict one_sample;
  for (auto [name, values] : nb::borrow<nb::dict>(input_data.attr("inputs")))
    one_sample[name] = np.module.attr("expand_dims")(np.asarray(values), 1);
  nb::object samples = imported("zelka.backend.cpu.simulator").attr("PerStep")(one_sample);
  nb::list record;
  for (const Node& node : net.nodes)
    if (node.kind == NodeKind::lif) record.append(str_from_utf8_surrogates_passed(node.name));
  nb::object batch =
      simulated_batch(graph, samples, simulated_steps(graph, n_steps), record, "input_data");
  SimulatedSpikes out;
  out.steps = nb::cast<std::size_t>(batch.attr("timesteps_run"));
  for (nb::handle name : record) {
    nb::object train = np.ascontiguousarray(getitem(batch.attr("spike_trains"), name),
                                            "dtype"_a = np.module.attr("uint8"));
    const ArrayData bits(train);
    const auto* first = static_cast<const std::uint8_t*>(bits.data());
    out.spikes.emplace_back(first, first + bits.bytes());
    out.counts[name] = nb::int_(getitem(getitem(batch.attr("spike_counts"), name), nb::int_(0)));
  }
  return out;
}

}  // namespace

SimulatedSpikes simulate_spikes(nb::handle graph, const Network& net, nb::handle input_data,
                                std::int64_t n_steps) {
  if (nb::isinstance<cpu::PerStep>(input_data))
    return simulate_spikes_per_step(graph, net, input_data, n_steps);
  nb::object simulated = simulated_graph(graph);
  SimulatedSpikes out;
  out.steps = static_cast<std::size_t>(simulated_steps(simulated, n_steps));
  simulation::StepRecorder recorder;
  recorder.steps = static_cast<std::int64_t>(out.steps);
  recorder.samples = 1;
  std::vector<nb::str> names;
  std::vector<std::size_t> neurons;
  for (const Node& node : net.nodes) {
    if (node.kind != NodeKind::lif) continue;
    names.push_back(str_from_utf8_surrogates_passed(node.name));
    neurons.push_back(node.neurons);
  }
  out.spikes.resize(names.size());
  for (std::size_t k = 0; k < names.size(); ++k) {
    out.spikes[k].assign(out.steps * neurons[k], 0);
    recorder.trains.push_back(
        {names[k], out.spikes[k].data(), static_cast<std::int64_t>(neurons[k])});
  }

  simulation::RunSetup setup =
      simulation::make_run_setup(simulation::load_step_kinds(), nb::none());
  simulation::bind_graph(setup, simulated, input_data);
  simulation::WorkingState state;
  simulation::init_membranes(simulated, setup.kinds, state);
  simulation::LoopOptions options;
  options.recorder = &recorder;
  try {
    simulation::run_step_loop(setup, state, recorder.steps, options);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    raise_formatted(PyExc_ValueError, "the CPU simulator failed on the graph: {}",
                    nb::str(e.value()));
  }
  for (std::size_t k = 0; k < names.size(); ++k)
    out.counts[names[k]] = std::count(out.spikes[k].begin(), out.spikes[k].end(), 1);
  return out;
}

}  // namespace zelka::host::fpga
