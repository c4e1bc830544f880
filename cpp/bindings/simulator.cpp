// zelka.backend.cpu.simulator: the CPU backend ("cpu"): validation, capabilities and
// constraints, and the step-by-step simulation of IR graphs.
#include <nanobind/nanobind.h>

#include "host/args.hpp"
#include "host/backend_class.hpp"
#include "host/numpy.hpp"
#include "host/record.hpp"
#include "host/simulation/step_loop.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace zelka::host;
using namespace zelka::host::simulation;

namespace {

const RecordLayout simulation_result_layout{
    "SimulationResult",
    "Result of CPU simulation.\n\n"
    "Attributes:\n"
    "    outputs: Output node name -> activation after the last step.\n"
    "    outputs_valid: Whether simulation completed without errors.\n"
    "    timesteps_run: Number of timesteps executed.\n"
    "    node_states: Per-node state history (if step_by_step=True).\n"
    "    spike_counts: LIF node name -> total spikes over all steps.\n"
    "    errors: List of error messages (empty if valid).",
    {{"outputs", new_dict},
     {"outputs_valid", true_value},
     {"timesteps_run", zero_int},
     {"node_states", new_list},
     {"spike_counts", new_dict},
     {"errors", new_list}}};

struct SimulationResult : Record {
  SimulationResult() : Record(&simulation_result_layout) {}
};

const char* const cpu_backend_doc =
    "CPU software backend for ZELKA IR graphs.\n\n"
    "- validate(): Check graph compatibility\n"
    "- compile(): Generate hardware descriptor (JSON/binary config)\n"
    "- simulate(): Run graph in software for correctness validation\n"
    "- profile(): Latency/energy/memory estimation (from scratch)\n\n"
    "The CPU backend supports all IR primitives and both DAG and cyclic graphs.";

// CompileConfig, bound when the module is loaded.
nb::object& compile_config() {
  static nb::object* cls = new nb::object();
  return *cls;
}

nb::object validate(nb::handle, nb::handle graph) {
  nb::object result_type = nb::module_::import_("zelka.backend.config").attr("ValidationResult");
  nb::object result = result_type("is_valid"_a = true);
  nb::object warnings = result.attr("warnings");
  nb::object unsupported = result.attr("unsupported_nodes");
  nb::object nodes = graph.attr("nodes");
  if (!truth(nodes)) {
    result.attr("is_valid") = false;
    warnings.attr("append")("Graph has no nodes");
  }
  nb::object edges = graph.attr("edges");
  if (!truth(edges)) warnings.attr("append")("Graph has no edges");
  nb::object node_names = nb::steal(PySet_New(nodes.ptr()));
  if (!node_names.is_valid()) throw nb::python_error();
  for (nb::handle edge : edges) {
    for (const nb::object& end : unpack(edge, 2)) {
      int known = PySet_Contains(node_names.ptr(), end.ptr());
      if (known < 0) throw nb::python_error();
      if (known) continue;
      result.attr("is_valid") = false;
      unsupported.attr("append")(end);
      warnings.attr("append")(nb::str("Edge references missing node: {}").format(end));
    }
  }
  return result;
}

nb::object simulate(nb::handle, nb::handle graph, nb::handle input_data, nb::handle n_steps_arg,
                    nb::handle step_by_step) {
  require_dict_or_none(input_data, "input_data");
  nb::object n_steps = int_argument(n_steps_arg, "n_steps");
  const bool snapshots = truth(step_by_step);

  RunSetup setup;
  setup.kinds = NodeKinds::load();
  nb::module_ graph_utils = nb::module_::import_("zelka.backend.cpu.graph_utils");
  setup.saturate = graph_utils.attr("saturate");
  setup.native_products = is_native_saturate(setup.saturate);
  nb::object result = nb::cast(SimulationResult());
  SimulationResult& record = nb::cast<SimulationResult&>(result);
  setup.precision = compile_config()().attr("target_precision");
  setup.input_data = input_data.is_none() ? synthetic_inputs(graph, setup.kinds.input)
                                          : nb::borrow<nb::dict>(input_data);
  ExecutionContext context = execution_context(graph_utils.attr("build_execution_context"), graph);
  setup.nodes = graph.attr("nodes");
  setup.exec_order = context.exec_order;
  setup.predecessors = context.predecessors;

  nb::object cyclic = nb::getattr(graph, "cyclic_config", nb::none());
  if (truth(cyclic)) {
    nb::object max_iter = cyclic.attr("get")("max_iterations");
    if (!max_iter.is_none() && equal(n_steps, nb::int_(1)))
      n_steps = steal_or_raise(PyNumber_Long(max_iter.ptr()));
  }
  const std::int64_t steps = nb::cast<std::int64_t>(n_steps);

  WorkingState state;
  init_membranes(graph, setup.kinds, state);

  try {
    LoopOptions options;
    nb::list node_states = nb::borrow<nb::list>(record.field("node_states"));
    if (snapshots) options.snapshots = &node_states;
    run_step_loop(setup, state, steps, options);
    nb::object outputs = record.field("outputs");
    nb::object output_kind = setup.kinds.output;
    for (nb::handle item : setup.nodes.attr("items")()) {
      nb::object name = item[0];
      if (is_instance(item[1], output_kind) && state.activations.contains(name))
        outputs[name] = state.activations[name];
    }
    record.field("timesteps_run") = n_steps;
    record.field("spike_counts") = state.spike_counts;
    record.field("outputs_valid") = nb::bool_(true);
  } catch (nb::python_error& e) {
    if (!e.matches(PyExc_Exception)) throw;
    record.field("outputs_valid") = nb::bool_(false);
    nb::borrow<nb::list>(record.field("errors")).append(nb::str(e.value()));
  }
  return result;
}

nb::object get_capabilities(nb::handle) {
  nb::object capabilities =
      nb::module_::import_("zelka.backend.config").attr("BackendCapabilities");
  nb::list primitives;
  for (const char* kind :
       {"Affine",  "SpikingAffine", "Conv2d", "SepConv2d",   "MaxPool2d",   "AvgPool2d",
        "Flatten", "LIF",           "ReLU",   "Sigmoid",     "Tanh",        "Softmax",
        "GELU",    "ELU",           "PReLU",  "BatchNorm1d", "BatchNorm2d", "LayerNorm",
        "Dropout", "HybridRegion",  "Skip",   "Upsample"})
    primitives.append(kind);
  nb::list precisions;
  for (const char* p : {"fp32", "fp16", "int16", "int8", "int4"}) precisions.append(p);
  nb::dict conv, affine, lif, constraints;
  conv["max_kernel_size"] = 64;
  conv["max_channels"] = 65536;
  affine["max_params"] = 100000000;
  lif["max_neurons"] = 1000000;
  constraints["Conv2d"] = conv;
  constraints["Affine"] = affine;
  constraints["LIF"] = lif;
  return capabilities("supported_primitives"_a = primitives, "max_graph_size"_a = 1000000,
                      "supported_precisions"_a = precisions, "supports_cyclic"_a = true,
                      "primitive_constraints"_a = constraints);
}

nb::object get_constraints(nb::handle) {
  nb::object hardware_spec = nb::module_::import_("zelka.graph").attr("HardwareSpec");
  return hardware_spec("max_neurons_per_core"_a = 10000, "max_synapses_per_core"_a = 10000000,
                       "sram_bytes_per_core"_a = 1000000000, "max_fan_in"_a = 10000,
                       "max_fan_out"_a = 10000, "num_cores"_a = 1);
}

}  // namespace

NB_MODULE(simulator, m) {
  compile_config() = nb::module_::import_("zelka.backend.config").attr("CompileConfig");
  bind_record<SimulationResult>(m, simulation_result_layout);

  BackendClassBuilder(m, "CPUBackend", "cpu", cpu_backend_doc)
      .method("validate", &validate, "graph"_a.none(),
              "Check the graph's structure; problems are reported in the result's warnings.")
      .method("simulate", &simulate, "graph"_a.none(), "input_data"_a.none() = nb::none(),
              "n_steps"_a.none() = 1, "step_by_step"_a.none() = false,
              "Run the graph for n_steps time steps; returns a SimulationResult.")
      .method("get_capabilities", &get_capabilities, "The backend's BackendCapabilities.")
      .method("get_constraints", &get_constraints, "The backend's HardwareSpec limits.")
      .build();

  nb::object backend = m.attr("CPUBackend")();
  m.attr("_cpu_backend") = backend;
  nb::module_::import_("zelka.backend.registry").attr("register_backend")(backend);
}
