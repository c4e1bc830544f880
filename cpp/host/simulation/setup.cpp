#include "host/simulation/setup.hpp"

#include <algorithm>
#include <array>

#include "host/execution_context.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {

IrKinds load_step_kinds() {
  return IrKinds::load(zelka::ir::every_kind);
}

nb::dict synthetic_inputs(nb::handle graph, const IrKinds& kinds) {
  const Numpy& np = Numpy::get();
  nb::dict inputs;
  nb::object items = graph.attr("nodes").attr("items")();
  for (nb::handle item : items) {
    nb::object name = item[0], node = item[1];
    if (!kinds.is(node, Kind::input)) continue;
    nb::object shape_dict = node.attr("input_type");
    if (PyDict_Check(shape_dict.ptr())) {
      if (PyDict_Size(shape_dict.ptr()) == 0)
        raise_formatted(PyExc_ValueError,
                        "Input node {!r} declares no input shape: its input_type is an empty dict",
                        name);
      nb::object first_shape = nb::borrow(*nb::iter(shape_dict.attr("values")()));
      inputs[name] = np.zeros(first_shape, "dtype"_a = np.float32);
    } else if (is_instance(shape_dict, np.ndarray)) {
      inputs[name] = np.zeros(shape_dict, "dtype"_a = np.float32);
    }
  }
  return inputs;
}

namespace {

// The package's own saturate, which the native kernels implement.
bool is_native_saturate(nb::handle saturate) {
  return saturate.is(imported("zelka.backend.cpu._saturate").attr("saturate"));
}

}  // namespace

RunSetup make_run_setup(IrKinds kinds, nb::handle compile_config) {
  RunSetup setup;
  setup.kinds = std::move(kinds);
  setup.saturate = imported("zelka.backend.cpu.graph_utils").attr("saturate");
  setup.native_products = is_native_saturate(setup.saturate);
  nb::object config_class = compile_config.is_none()
                                ? nb::object(imported("zelka.backend.config").attr("CompileConfig"))
                                : nb::borrow(compile_config);
  // The precision a default configuration of the class has, read from an instance made only
  // when the class, its constructor or the constructor's defaults are not those of the last
  // call (kept for the life of the process: building one takes longer than a short run's
  // steps).
  static auto* known = new std::array<nb::object, 4>();
  static auto* known_precision = new nb::object();
  nb::object init = config_class.attr(interned("__init__"));
  const std::array<nb::object, 4> key{config_class, init,
                                      nb::getattr(init, interned("__defaults__"), nb::none()),
                                      nb::getattr(init, interned("__kwdefaults__"), nb::none())};
  const bool same = std::ranges::equal(*known, key, [](const nb::object& a, const nb::object& b) {
    return a.is_valid() && a.is(b);
  });
  if (!same) {
    *known_precision = config_class().attr("target_precision");
    *known = key;
  }
  setup.precision = *known_precision;
  return setup;
}

void bind_execution_context(RunSetup& setup, nb::handle graph) {
  ExecutionContext context = execution_context(graph);
  setup.nodes = graph.attr("nodes");
  setup.exec_order = context.exec_order;
  setup.predecessors = context.predecessors;
}

void bind_graph(RunSetup& setup, nb::handle graph, nb::handle input_data) {
  setup.input_data = input_data.is_none() ? synthetic_inputs(graph, setup.kinds)
                                          : nb::borrow<nb::dict>(input_data);
  bind_execution_context(setup, graph);
}

void bind_computed_layers(RunSetup& setup, nb::handle graph, const StimulusShapes& shapes) {
  if (!computes_layers(graph)) return;
  const nb::dict input_shapes =
      stimulus_shapes(graph, setup.kinds, shapes.stimuli, shapes.leading, shapes.fill_missing);
  auto computed =
      std::make_shared<ComputedGraph>(read_computed_graph(graph, setup.kinds, input_shapes));
  if (!computed->problems.empty()) throw nb::value_error(refusal_text(computed->problems).c_str());
  setup.computed = std::move(computed);
}

void init_membranes(nb::handle graph, const IrKinds& kinds, WorkingState& state) {
  const Numpy& np = Numpy::get();
  for_each_item(graph.attr(interned("nodes")), [&](nb::handle name, nb::handle node) {
    if (!kinds.is(node, Kind::lif)) return true;
    nb::object threshold = node.attr(interned("v_threshold"));
    if (!is_instance(threshold, np.ndarray))
      raise_formatted(PyExc_TypeError, "LIF node '{}': v_threshold must be np.ndarray, got {}",
                      name, threshold.type().attr("__name__"));
    nb::object shape = threshold.attr(interned("shape"));
    if (nb::len(shape) == 0)
      raise_formatted(PyExc_IndexError,
                      "LIF node '{}': v_threshold must have at least one dimension (the neurons)",
                      name);
    state.membrane_state[name] = np.zeros(shape[0], np.float32);
    return true;
  });
}

}  // namespace zelka::host::simulation
