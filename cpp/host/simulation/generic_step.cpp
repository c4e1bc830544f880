#include "host/simulation/generic_step.hpp"

#include "core/engine/clock.hpp"
#include "core/engine/layer.hpp"
#include "core/engine/matvec.hpp"
#include "core/rules/lif_rule.hpp"
#include "host/lif_settings.hpp"
#include "host/numpy.hpp"
#include "host/simulation/activity_counts.hpp"
#include "host/simulation/node_times.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

bool contains(const nb::dict& d, nb::handle key) {
  int r = PyDict_Contains(d.ptr(), key.ptr());
  if (r < 0) throw nb::python_error();
  return r == 1;
}

// The input of a node: predecessors of one shape are summed over a new leading axis;
// otherwise the first is copied and each further one of the same shape is added in place.
nb::object combine(const nb::list& act_list) {
  nb::object first = act_list[0];
  bool same_shape = true;
  for (nb::handle a : act_list) {
    if (!equal(a.attr("shape"), first.attr("shape"))) {
      same_shape = false;
      break;
    }
  }
  if (same_shape) return Numpy::get().sum(act_list, "axis"_a = 0);
  nb::object inp = first.attr("copy")();
  const std::size_t n = act_list.size();
  for (std::size_t i = 1; i < n; ++i) {
    nb::object a = act_list[i];
    if (equal(a.attr("shape"), inp.attr("shape"))) inp = inplace_add(inp, a);
  }
  return inp;
}

// weight . flat with the engine's kernel when both are float32 or float64 arrays of
// fitting shapes (the float32 one widened when the types differ, as numpy's dot does);
// otherwise, and for every error, numpy's dot.
nb::object product(const RunSetup& s, nb::object weight, nb::object flat) {
  const Numpy& np = Numpy::get();
  engine::DType wtype, xtype;
  if (!s.native_products || !is_exact_ndarray(weight) ||
      !engine_dtype(weight.attr("dtype"), wtype) || !engine_dtype(flat.attr("dtype"), xtype))
    return np.dot(weight, flat);
  const std::vector<std::int64_t> shape = shape_of(weight);
  if (shape.size() != 2) return np.dot(weight, flat);
  const engine::DType type = engine::promote(wtype, xtype);
  weight = np.ascontiguousarray(weight, "dtype"_a = dtype_object(type));
  flat = np.ascontiguousarray(flat, "dtype"_a = dtype_object(type));
  nb::object out = np.empty(shape[0], "dtype"_a = dtype_object(type));
  const ArrayData w(weight), x(flat), y(out, true);
  if (type == engine::DType::f32)
    engine::matvec(static_cast<const float*>(w.data()), static_cast<const float*>(x.data()),
                   static_cast<float*>(y.data()), shape[0], shape[1]);
  else
    engine::matvec(static_cast<const double*>(w.data()), static_cast<const double*>(x.data()),
                   static_cast<double*>(y.data()), shape[0], shape[1]);
  return out;
}

nb::object affine(const RunSetup& s, nb::handle node, const nb::object& inp) {
  const Numpy& np = Numpy::get();
  nb::object weight = node.attr("weight");
  nb::object bias = nb::getattr(node, "bias", nb::none());
  if (bias.is_none()) bias = np.zeros(weight.attr("shape")[0]);
  nb::object flat = inp.attr("flatten")();
  if (equal(flat.attr("shape")[0], weight.attr("shape")[1]))
    return s.saturate(add(product(s, weight, flat), bias), s.precision);
  return flat;
}

nb::object lif(const RunSetup& s, WorkingState& w, nb::handle name, nb::handle node,
               const nb::object& inp) {
  const Numpy& np = Numpy::get();
  const LifSettings settings = lif_settings(node, name);
  // rules::lif_fires on arrays: numpy's >= or > gives one comparison a neuron
  const int fires_when = settings.fire == rules::LifFire::above ? Py_GT : Py_GE;
  nb::object tau = node.attr("tau");
  nb::object v_threshold = node.attr("v_threshold");
  nb::object v_leak = node.attr("v_leak");
  nb::object mem = getitem(w.membrane_state, name);
  nb::object started_above;
  if (settings.reset == rules::LifReset::subtract)
    started_above = compare(mem, v_threshold, fires_when);
  nb::object one = nb::float_(1.0);
  nb::object decay = rules::lif_decay(one, tau);
  mem = rules::lif_leak(mem, decay, v_leak);
  nb::object n = mem.attr("shape")[0];
  if (truth(compare(inp.attr("shape")[0], n, Py_GE)))
    mem = rules::lif_integrate(mem, getitem(inp, nb::slice(nb::none(), n, nb::none())));
  if (started_above.is_valid())
    mem = np.module.attr("where")(started_above, rules::lif_subtract(mem, v_threshold), mem);
  mem = s.saturate(mem, s.precision);
  nb::object spikes = compare(mem, v_threshold, fires_when).attr("astype")(np.float32);
  if (settings.reset == rules::LifReset::to_leak) mem = rules::lif_reset(mem, spikes, v_leak, one);
  w.membrane_state[name] = mem;
  // Spikes are counted, not summed: a float32 sum is inexact past 2**24 neurons.
  nb::object count = steal_or_raise(PyNumber_Long(np.count_nonzero(spikes).ptr()));
  nb::object previous =
      w.spike_counts.contains(name) ? nb::object(w.spike_counts[name]) : nb::object(nb::int_(0));
  w.spike_counts[name] = add(previous, count);
  return spikes;
}

// A computed graph's layer with a kernel of its own, on one sample: computed in float64 when
// its input or its parameters are, else in float32; saturated where the layer saturates.
nb::object layer_value(const RunSetup& s, const ComputedNode& c, nb::handle name,
                       const nb::object& inp) {
  const Numpy& np = Numpy::get();
  const engine::Layer& layer = *c.layer;
  engine::DType input_type;
  if (!engine_dtype(inp.attr("dtype"), input_type))
    raise_formatted(PyExc_ValueError,
                    "{} {!r} computes float32 or float64 values, got an input of dtype {}",
                    kind_name(c.kind), name, inp.attr("dtype"));
  const engine::DType type = engine::promote(input_type, layer.parameters);
  nb::object x = np.ascontiguousarray(inp, "dtype"_a = dtype_object(type));
  nb::object y = np.empty(shape_tuple(c.output), "dtype"_a = dtype_object(type));
  const ArrayData in(x), out(y, true);
  const auto run = [&](auto* typed_out) {
    using T = std::remove_pointer_t<decltype(typed_out)>;
    std::vector<T> scratch(static_cast<std::size_t>(layer.scratch_size()));
    engine::compute_layer(layer, static_cast<const T*>(in.data()), typed_out, scratch.data());
  };
  if (type == engine::DType::f32)
    run(static_cast<float*>(out.data()));
  else
    run(static_cast<double*>(out.data()));
  return layer.saturates() ? s.saturate(y, s.precision) : y;
}

// What a node of a computed graph makes of its input.  The LIF rule takes the input's values
// in C order and gives spikes of the input's shape.
nb::object computed_value(const RunSetup& s, WorkingState& w, nb::handle name, nb::handle node,
                          const nb::object& inp) {
  const ComputedNode* c = s.computed->find(name);
  if (!c) raise_formatted(PyExc_ValueError, "Node {!r} was not read for this call's stimuli", name);
  if (c->layer) return layer_value(s, *c, name, inp);
  switch (zelka::ir::info(c->kind).computed) {
    case zelka::ir::Computed::flattening:
      return inp.attr("reshape")(shape_tuple(c->output));
    case zelka::ir::Computed::identity:
      return inp;
    default:
      break;
  }
  if (c->kind == Kind::lif)
    return lif(s, w, name, node, inp.attr("reshape")(-1)).attr("reshape")(inp.attr("shape"));
  return affine(s, node, inp);
}

}  // namespace

void generic_step(const RunSetup& s, WorkingState& w, const StepPolicy& policy, std::int64_t step) {
  const Numpy& np = Numpy::get();
  for (nb::handle key : nb::iter(s.input_data)) w.activations[key] = getitem(s.input_data, key);
  for (const StepStimulus& stimulus : s.step_inputs)
    w.activations[stimulus.key] = getitem(stimulus.array, nb::make_tuple(step, s.sample));
  for (nb::handle name : s.exec_order) {
    nb::object node = getitem(s.nodes, name);
    if (s.kinds.is(node, Kind::input)) {
      if (policy.fill_missing_inputs && !contains(w.activations, name))
        w.activations[name] = np.zeros(1, "dtype"_a = np.float32);
      if (policy.activity && contains(w.activations, name))
        policy.activity->check(name, getitem(w.activations, name), s.sample);
      continue;
    }
    if (s.kinds.is(node, Kind::output)) {
      nb::object preds = getitem(s.predecessors, name);
      if (truth(preds)) {
        nb::object first = getitem(preds, nb::int_(0));
        if (contains(w.activations, first)) w.activations[name] = getitem(w.activations, first);
      }
      continue;
    }
    nb::object preds = getitem(s.predecessors, name);
    if (!truth(preds)) continue;
    nb::list act_list;
    for (nb::handle p : preds)
      if (contains(w.activations, p)) act_list.append(getitem(w.activations, p));
    if (act_list.size() == 0) continue;
    nb::object inp = combine(act_list);
    if (policy.activity) policy.activity->count(name, inp, s.sample);
    const std::int64_t start = policy.node_times ? engine::monotonic_ns() : 0;
    if (s.computed)
      w.activations[name] = computed_value(s, w, name, node, inp);
    else if (s.kinds.is(node, Kind::affine))
      w.activations[name] = affine(s, node, inp);
    else if (s.kinds.is(node, Kind::lif))
      w.activations[name] = lif(s, w, name, node, inp);
    else
      w.activations[name] = inp;
    if (policy.node_times) policy.node_times->add(name, engine::monotonic_ns() - start);
  }
}

std::int64_t activation_bytes(const nb::dict& activations) {
  const Numpy& np = Numpy::get();
  std::int64_t total = 0;
  for (auto [key, value] : activations)
    if (is_instance(value, np.ndarray)) total += nb::cast<std::int64_t>(value.attr("nbytes"));
  return total;
}

nb::dict snapshot(const nb::dict& activations) {
  const Numpy& np = Numpy::get();
  nb::dict copy;
  for (auto [key, value] : activations)
    copy[key] = is_instance(value, np.ndarray) ? value.attr("copy")() : nb::borrow(value);
  return copy;
}

nb::object signature(const WorkingState& w) {
  const Numpy& np = Numpy::get();
  nb::list sig;
  for (const nb::dict* d : {&w.activations, &w.membrane_state}) {
    for (auto [key, value] : *d) {
      if (is_instance(value, np.ndarray))
        sig.append(nb::make_tuple(key, value.type(), value.attr("dtype"), value.attr("shape")));
      else
        sig.append(nb::make_tuple(key, value.type()));
    }
    sig.append(nb::none());
  }
  return sig;
}

}  // namespace zelka::host::simulation
