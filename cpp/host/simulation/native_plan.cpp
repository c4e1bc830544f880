#include "host/simulation/native_plan.hpp"

#include <algorithm>
#include <cstring>
#include <string>

#include "core/engine/layer.hpp"
#include "core/engine/lif.hpp"
#include "core/engine/matvec.hpp"
#include "core/engine/plan_draft.hpp"
#include "core/numeric/precision.hpp"
#include "core/rules/lif_rule.hpp"
#include "host/lif_settings.hpp"
#include "host/numpy.hpp"
#include "host/simulation/plan_values.hpp"
#include "host/simulation/slot_buffers.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

using engine::DType;
using engine::Instruction;
using engine::OpKind;
using Shape = std::vector<std::int64_t>;

// Builds a NativeRun: the node rules of one step turned into a draft program, the draft
// finished by the engine's passes, its slots bound to buffers.
//
// A plan made after some steps starts from the state the planned samples reached: every
// key, type and shape is read off that state, and a native step must leave them as it
// found them.  A plan made for the first step starts from the stimuli alone: the keys are
// created in the order step 1 creates them, and their types and shapes follow from the
// node rules; such a plan stands only where step 1 computes what every later step
// computes.
class Planner {
 public:
  // After some steps, from the samples' states.
  Planner(const RunSetup& s, const std::vector<WorkingState*>& states,
          const std::vector<std::int64_t>& sample_ids)
      : s_(s), w_(*states.front()), sample_ids_(sample_ids), np_(Numpy::get()), starts_(states) {}
  // From the first step: `initial` is the state a call starts with (no activations,
  // float32 zero membranes).
  Planner(const RunSetup& s, const WorkingState& initial,
          const std::vector<std::int64_t>& sample_ids, bool fill_missing_inputs)
      : s_(s),
        w_(initial),
        sample_ids_(sample_ids),
        np_(Numpy::get()),
        starts_(no_states_),
        first_step_(true),
        fill_missing_inputs_(fill_missing_inputs) {}

  std::unique_ptr<NativeRun> build() {
    run_ = std::make_unique<NativeRun>();
    run_->computed = s_.computed;
    draft_.plan.batch = static_cast<std::int64_t>(sample_ids_.size());
    require(PyUnicode_Check(s_.precision.ptr()));
    auto range = numeric::precision_range(utf8(s_.precision));
    require(range.has_value());
    bounds_ = {numeric::bounds_for<float>(*range), numeric::bounds_for<double>(*range)};
    require(PyList_Check(s_.exec_order.ptr()) || PyTuple_Check(s_.exec_order.ptr()));
    draft_.reserve(static_cast<std::size_t>(PySequence_Fast_GET_SIZE(s_.exec_order.ptr())));
    if (first_step_)
      add_stimulus_slots();
    else
      add_activation_slots();
    walk_nodes();
    // Step 1 reads no value a later step would find: no predecessor missing when a node
    // is computed gains a value later in the step.
    for (const nb::object& key : read_before_made_) require(!has_key(key));
    engine::drop_constant_output_copies(draft_);
    engine::mark_static_instructions(draft_);
    mark_stimuli_of_zeros_and_ones();
    engine::use_spike_kernels(draft_);
    engine::sum_columns_where_sparse(draft_);
    engine::mark_recomputed_at_step_one(draft_);
    engine::let_lif_add_bias(draft_);
    engine::read_spikes_as_bits(draft_);
    bind_buffers(draft_, starts_, s_.step_inputs, sample_ids_, run_->keep_alive);
    for (NativeRun::Key& k : run_->keys) {
      const engine::SlotInfo& info = draft_.slots[k.slot];
      if (info.written_by < 0 && info.step_input < 0) k.constant = starts_.first(k.slot);
      if (info.written_by >= 0) require(!s_.input_data.contains(k.key));
    }
    for (const engine::SlotInfo& info : draft_.slots) run_->shapes.push_back(info.shape);
    draft_.plan.spike_totals.assign(draft_.plan.batch * draft_.plan.counters(), 0);
    run_->plan = std::move(draft_.plan);
    return std::move(run_);
  }

 private:
  // ---- slots --------------------------------------------------------------------------

  int add_array_slot(nb::handle value) {
    std::optional<FloatArray> array = float_array(value);
    require(array.has_value());
    return draft_.add_slot(array->dtype, std::move(array->shape));
  }

  void add_key(nb::handle key, int slot) {
    key_slot_[key] = slot;
    run_->keys.push_back({nb::borrow(key), slot, nb::object()});
  }

  void add_activation_slots() {
    for (auto [key, value] : w_.activations) {
      const int slot = add_array_slot(value);
      starts_.set(slot, &WorkingState::activations, key);
      for (std::size_t i = 0; i < s_.step_inputs.size(); ++i)
        if (s_.step_inputs[i].key.equal(key)) draft_.slots[slot].step_input = static_cast<int>(i);
      add_key(key, slot);
    }
  }

  // The stimuli in the order a step sets them: the values every sample shares, the rows
  // of the arrays that hold one value per sample, then those given per step.
  void add_stimulus_slots() {
    for (auto [key, value] : s_.input_data) {
      const int slot = add_array_slot(value);
      starts_.set_shared(slot, value);
      add_key(key, slot);
    }
    for (const StepStimulus& stimulus : s_.sample_inputs) {
      const std::optional<FloatArray> array = float_array(stimulus.array);
      require(!has_key(stimulus.key) && array && !array->shape.empty());
      const int slot =
          draft_.add_slot(array->dtype, Shape(array->shape.begin() + 1, array->shape.end()));
      starts_.set_rows(slot, array->in_place() ? nb::object(stimulus.array)
                                               : np_.ascontiguousarray(stimulus.array));
      add_key(stimulus.key, slot);
    }
    for (std::size_t i = 0; i < s_.step_inputs.size(); ++i) {
      const StepStimulus& stimulus = s_.step_inputs[i];
      const std::optional<FloatArray> array = float_array(stimulus.array);
      require(!has_key(stimulus.key) && array && array->shape.size() >= 2);
      const int slot =
          draft_.add_slot(array->dtype, Shape(array->shape.begin() + 2, array->shape.end()));
      draft_.slots[slot].step_input = static_cast<int>(i);
      add_key(stimulus.key, slot);
    }
  }

  bool has_key(nb::handle key) const { return key_slot_.contains(key); }
  // The slot of a predecessor's value when a node reads it, or -1 when it has none.  From
  // the first step, one that has none must not gain one later in the step (the next step
  // would read it).
  int present(nb::handle key) {
    PyObject* slot = PyDict_GetItemWithError(key_slot_.ptr(), key.ptr());
    if (slot) return static_cast<int>(PyLong_AsLong(slot));
    if (PyErr_Occurred()) throw nb::python_error();
    if (first_step_) read_before_made_.push_back(nb::borrow(key));
    return -1;
  }
  // The slot of the value a node computes, of this type and shape: the one its key holds
  // (after some steps, where a native step must keep it), or a new one (from the first
  // step, where the key is made now).
  int destination(nb::handle name, DType dtype, const Shape& shape) {
    if (!first_step_) {
      const int slot = slot_of(name);
      require(dtype_of(slot) == dtype && shape_of_slot(slot) == shape);
      return slot;
    }
    require(!has_key(name));  // a stimulus the step would overwrite
    const int slot = draft_.add_slot(dtype, shape);
    add_key(name, slot);
    return slot;
  }
  // The slot of an activation; a node about to be computed must already have one (else a
  // native step would add a key).
  int slot_of(nb::handle key) const {
    require(has_key(key));
    return nb::cast<int>(key_slot_[key]);
  }
  DType dtype_of(int slot) const { return draft_.dtype_of(slot); }
  const Shape& shape_of_slot(int slot) const { return draft_.shape_of(slot); }

  void emit(Instruction ins, std::vector<int> reads, std::vector<int> writes) {
    require(draft_.emit(std::move(ins), std::move(reads), std::move(writes)));
  }

  // The float32 stimuli (constant during the run, or given per step) of zeros and ones.
  void mark_stimuli_of_zeros_and_ones() {
    for (std::size_t i = 0; i < draft_.slots.size(); ++i) {
      const int slot = static_cast<int>(i);
      engine::SlotInfo& info = draft_.slots[i];
      if (info.written_by >= 0 || dtype_of(slot) != DType::f32) continue;
      if (!starts_.has(slot) && info.step_input < 0) continue;
      info.zeros_and_ones = holds_zeros_and_ones(draft_, starts_, slot, s_.step_inputs, s_.workers);
    }
  }

  // ---- node rules ---------------------------------------------------------------------

  // A name the order holds twice would be computed twice in a step: the second computation
  // finds its value's slot written already, which the draft refuses.
  void walk_nodes() {
    for (nb::handle name : s_.exec_order) {
      nb::object node = getitem(s_.nodes, name);
      if (s_.kinds.is(node, Kind::input)) {
        // From the first step, an Input without a stimulus gets a float32 zero vector of
        // length 1 (unless the policy leaves it without a value), constant from then on.
        if (first_step_ && fill_missing_inputs_ && !has_key(name))
          add_key(name, draft_.add_slot(DType::f32, Shape{1}));
        continue;
      }
      if (s_.kinds.is(node, Kind::output)) {
        plan_output(name);
        continue;
      }
      nb::object preds = getitem(s_.predecessors, name);
      if (!truth(preds)) continue;
      std::vector<int> present_slots;
      for (nb::handle p : preds)
        if (const int slot = present(p); slot >= 0) present_slots.push_back(slot);
      if (present_slots.empty()) continue;
      if (s_.computed)
        plan_computed(name, node, present_slots);
      else if (s_.kinds.is(node, Kind::affine))
        plan_affine(name, node, present_slots);
      else if (s_.kinds.is(node, Kind::lif))
        plan_lif(name, node, present_slots);
      else
        plan_passthrough(name, present_slots);
    }
  }

  void plan_output(nb::handle name) {
    nb::object preds = getitem(s_.predecessors, name);
    if (!truth(preds)) return;
    nb::object first = getitem(preds, nb::int_(0));
    if (present(first) < 0) return;
    if (first_step_) {  // the Output holds its predecessor's very value: they share a slot
      require(!has_key(name));
      add_key(name, slot_of(first));
      return;
    }
    const int src = slot_of(first), dst = slot_of(name);
    require(dtype_of(src) == dtype_of(dst) && shape_of_slot(src) == shape_of_slot(dst));
    emit_copy(src, dst, -1);
    draft_.instrs.back().copies_an_alias = starts_.alias_in_every_sample(src, dst);
  }

  // How the present predecessors combine: the combined type, shape and instruction args.
  struct Combined {
    DType dtype;
    Shape shape;
    engine::CombineArgs args;
  };

  Combined combined(const std::vector<int>& present) const {
    Combined c;
    const Shape& first = shape_of_slot(present[0]);
    bool same = true;
    for (int p : present) same = same && shape_of_slot(p) == first;
    c.shape = first;
    if (same) {
      c.dtype = dtype_of(present[0]);
      for (int p : present) c.dtype = engine::promote(c.dtype, dtype_of(p));
      c.args.sources = present;
      // numpy sums a single element per position pairwise rather than in order.
      require(present.size() == 1 || element_count(first) > 1);
    } else {
      c.dtype = dtype_of(present[0]);
      for (int p : present)
        if (shape_of_slot(p) == first) c.args.sources.push_back(p);
    }
    if (same)
      c.args.mode = engine::CombineMode::sum;
    else
      c.args.mode =
          c.args.sources.size() == 1 ? engine::CombineMode::copy : engine::CombineMode::add_into;
    return c;
  }

  // The slot of a lone predecessor whose value is the input as it stands (or, when
  // `zero_sign_matters` is false, up to the sign of zeros), or -1.
  static int lone_source(const Combined& c, bool zero_sign_matters) {
    if (c.args.sources.size() != 1) return -1;
    if (c.args.mode == engine::CombineMode::copy) return c.args.sources[0];
    return zero_sign_matters ? -1 : c.args.sources[0];
  }

  // A slot holding the node's input: a predecessor's own slot when it will do, else a
  // scratch slot filled by a combine instruction.
  int input_slot(const Combined& c, bool zero_sign_matters) {
    const int lone = lone_source(c, zero_sign_matters);
    if (lone >= 0 && dtype_of(lone) == c.dtype) return lone;
    const int scratch = draft_.add_slot(c.dtype, c.shape);
    emit_combine(c, scratch, -1);
    return scratch;
  }

  // dst = the combined input, as the node's own value; `timed` as for Instruction::node.
  void write_combined(const Combined& c, int dst, int timed) {
    bool reads_itself = false;
    for (int p : c.args.sources) reads_itself = reads_itself || p == dst;
    if (reads_itself)
      emit_copy(input_slot(c, true), dst, timed);
    else if (c.args.mode == engine::CombineMode::copy)
      emit_copy(c.args.sources[0], dst, timed);
    else
      emit_combine(c, dst, timed);
  }

  // A new entry in the plan's per-node times, for the node's compute (each node computes
  // once a step: the walk meets every node once).
  int timed(nb::handle name) {
    run_->timed_names.push_back(nb::borrow(name));
    draft_.plan.node_ns.push_back(0);
    return static_cast<int>(draft_.plan.node_ns.size()) - 1;
  }

  // A pass-through node computes nothing beyond gathering its input: its time is that of
  // an empty instruction.
  void emit_mark(int node) {
    Instruction ins;
    ins.kind = OpKind::mark;
    ins.node = node;
    emit(std::move(ins), {}, {});
  }

  void emit_combine(const Combined& c, int destination, int node) {
    Instruction ins;
    ins.kind = OpKind::combine;
    ins.node = node;
    ins.destination = destination;
    ins.combine = c.args;
    emit(std::move(ins), c.args.sources, {destination});
  }

  void emit_copy(int source, int destination, int node) {
    Instruction ins;
    ins.kind = OpKind::copy;
    ins.node = node;
    ins.source = source;
    ins.destination = destination;
    emit(std::move(ins), {source}, {destination});
  }

  void plan_passthrough(nb::handle name, const std::vector<int>& present) {
    const Combined c = combined(present);
    const int dst = destination(name, c.dtype, c.shape);
    write_combined(c, dst, -1);
    emit_mark(timed(name));
  }

  // A node of a computed graph: a layer by its kernel, a reshape or an identity as a copy
  // of its input, Affine (and SpikingAffine) and LIF by their rules.
  void plan_computed(nb::handle name, nb::handle node, const std::vector<int>& present) {
    const ComputedNode* c = s_.computed->find(name);
    require(c != nullptr);
    if (c->layer) {
      plan_layer(name, *c, present);
      return;
    }
    const zelka::ir::Computed computes = zelka::ir::info(c->kind).computed;
    if (computes == zelka::ir::Computed::flattening || computes == zelka::ir::Computed::identity) {
      const Combined combined_input = combined(present);
      require(element_count(combined_input.shape) == element_count(c->output));
      write_combined(combined_input, destination(name, combined_input.dtype, c->output), -1);
      emit_mark(timed(name));
    } else if (c->kind == Kind::lif) {
      plan_lif(name, node, present);
    } else {
      plan_affine(name, node, present);
    }
  }

  // A slot written by a convolution (whose sums start from +0.0 and so are never -0.0, nor
  // is its bias added to one) or holding a LIF's spikes.
  bool holds_no_negative_zero(int slot) const {
    const int writer = draft_.slots[slot].written_by;
    if (writer < 0) return false;
    const Instruction& ins = draft_.plan.program[writer];
    if (ins.destination != slot) return false;
    return ins.kind == OpKind::lif ||
           (ins.kind == OpKind::layer &&
            draft_.plan.layers[ins.layer].layer->op == engine::LayerOp::convolution);
  }

  void plan_layer(nb::handle name, const ComputedNode& c, const std::vector<int>& present) {
    const Combined combined_input = combined(present);
    const engine::Layer& layer = *c.layer;
    require(element_count(combined_input.shape) == layer.input_size);
    const DType type = engine::promote(combined_input.dtype, layer.parameters);
    // A convolution's sums do not depend on the sign of zero inputs; the other layers read
    // the input as the numpy step sums it (from +0.0), which is the lone predecessor's value
    // itself where that holds no -0.0.
    const bool zero_sign_matters = layer.op != engine::LayerOp::convolution &&
                                   !(combined_input.args.sources.size() == 1 &&
                                     holds_no_negative_zero(combined_input.args.sources[0]));
    int input = input_slot(combined_input, zero_sign_matters);
    if (!first_step_ && input == slot_of(name)) {  // a layer fed by itself reads its last output
      input = draft_.add_slot(combined_input.dtype, combined_input.shape);
      emit_copy(slot_of(name), input, -1);
    }
    engine::LayerArgs args;
    args.layer = &layer;
    args.input = input;
    args.type = type;
    args.bounds = bounds_;
    std::vector<int> writes{destination(name, type, c.output)};
    if (combined_input.dtype != type)
      writes.push_back(args.converted_input = draft_.add_slot(type, combined_input.shape));
    draft_.plan.layers.push_back(args);
    Instruction ins;
    ins.kind = OpKind::layer;
    ins.node = timed(name);
    ins.destination = writes.front();
    ins.layer = static_cast<int>(draft_.plan.layers.size()) - 1;
    emit(std::move(ins), {input}, std::move(writes));
  }

  void plan_affine(nb::handle name, nb::handle node, const std::vector<int>& present) {
    const Combined c = combined(present);
    nb::object weight = node.attr("weight");
    const std::optional<FloatArray> float_weight = float_array(weight);
    Shape wshape;
    if (float_weight) {
      wshape = float_weight->shape;
    } else {
      require(is_exact_ndarray(weight));
      wshape = shape_of(weight);
      const std::string kind = utf8(weight.attr("dtype").attr("kind"));
      require(kind == "f" || kind == "i" || kind == "u");
    }
    require(wshape.size() == 2);
    const std::int64_t rows = wshape[0], cols = wshape[1];
    const std::int64_t flat = element_count(c.shape);
    if (flat != cols) {  // the flattened input passes through
      write_combined(c, destination(name, c.dtype, Shape{flat}), timed(name));
      return;
    }
    // The product does not depend on the sign of zero inputs.
    int input = input_slot(c, false);
    if (!first_step_ && input == slot_of(name)) {  // a layer fed by itself reads its last output
      input = draft_.add_slot(c.dtype, c.shape);
      emit_copy(slot_of(name), input, -1);
    }
    const DType product =
        float_weight ? engine::promote(float_weight->dtype, c.dtype) : promoted(weight, c.dtype);
    nb::object bias = nb::getattr(node, "bias", nb::none());
    // A missing bias is a float64 zero vector.
    const DType result = bias.is_none() ? promoted(product, DType::f64) : promoted(product, bias);
    const int dst = destination(name, result, Shape{rows});

    engine::AffineArgs args;
    args.input = input;
    args.rows = rows;
    args.cols = cols;
    args.product = product;
    args.result = result;
    args.bias = bias_vector(bias, result, rows);
    args.bounds = bounds_;
    args.product_slot = draft_.add_slot(product, Shape{engine::column_stride(rows)});
    if (c.dtype != product) args.converted_input = draft_.add_slot(product, Shape{cols});
    if (float_weight && float_weight->in_place() && float_weight->dtype == product) {
      run_->keep_alive.push_back(weight);
      args.weight = float_weight->data;
    } else {
      const ArrayData converted(np_.ascontiguousarray(weight, "dtype"_a = dtype_object(product)));
      run_->keep_alive.push_back(converted.owner());
      args.weight = converted.data();
    }

    draft_.plan.affine.push_back(args);
    Instruction ins;
    ins.kind = OpKind::affine;
    ins.node = timed(name);
    ins.destination = dst;
    ins.affine = static_cast<int>(draft_.plan.affine.size()) - 1;
    std::vector<int> writes{dst, args.product_slot};
    if (args.converted_input >= 0) writes.push_back(args.converted_input);
    emit(std::move(ins), {input}, std::move(writes));
  }

  // The bias as `rows` values of the result type, in a buffer the plan owns: a missing
  // bias gives zeros, one value is repeated, and the values are converted as numpy's
  // asarray(bias, dtype=result) converts them.
  const void* bias_vector(nb::handle bias, DType result, std::int64_t rows) {
    engine::Storage& out =
        draft_.plan.owned.emplace_back(static_cast<std::size_t>(rows) * engine::itemsize(result));
    const auto fill = [&](auto read, std::int64_t size) {
      for (std::int64_t r = 0; r < rows; ++r) {
        const double value = read(size == 1 ? 0 : r);
        if (result == DType::f32)
          static_cast<float*>(out.data())[r] = static_cast<float>(value);
        else
          static_cast<double*>(out.data())[r] = value;
      }
    };
    if (bias.is_none()) return out.data();
    if (PyFloat_Check(bias.ptr())) {
      const double value = PyFloat_AsDouble(bias.ptr());
      fill([&](std::int64_t) { return value; }, 1);
      return out.data();
    }
    const std::optional<FloatArray> values = float_array(bias);
    if (values && values->in_place() && values->shape.size() <= 1) {
      const std::int64_t size = values->shape.empty() ? 1 : values->shape[0];
      require(size == 1 || size == rows);
      if (values->dtype == DType::f32)
        fill([&](std::int64_t i) { return double(static_cast<const float*>(values->data)[i]); },
             size);
      else
        fill([&](std::int64_t i) { return static_cast<const double*>(values->data)[i]; }, size);
      return out.data();
    }
    nb::object array = np_.asarray(bias, "dtype"_a = dtype_object(result));
    const Shape bshape = shape_of(array);
    require(bshape.size() <= 1 && (element_count(bshape) == 1 || element_count(bshape) == rows));
    nb::object vector = np_.ascontiguousarray(np_.broadcast_to(array, shape_tuple({rows})));
    std::memcpy(out.data(), ArrayData(vector).data(),
                static_cast<std::size_t>(rows) * engine::itemsize(result));
    return out.data();
  }

  void plan_lif(nb::handle name, nb::handle node, const std::vector<int>& present) {
    const Combined c = combined(present);
    // In a computed graph the input is one value per neuron in any shape, and so are the spikes.
    const bool shaped_input = s_.computed != nullptr;
    nb::object membrane = getitem(w_.membrane_state, name);
    nb::object tau = node.attr("tau");
    nb::object threshold = node.attr("v_threshold");
    nb::object v_leak = node.attr("v_leak");
    // 1 - 1/tau, as numpy computes it for a Python float 1: in C++ for an array (numpy would
    // make two arrays), through the Python operators for anything else.
    const std::optional<ArrayDecay> array_decay = decay_of_array(tau);
    const nb::object decay_object =
        array_decay ? nb::object() : rules::lif_decay(nb::object(nb::float_(1.0)), tau);
    const Operand decay = array_decay ? Operand(array_decay->dtype) : Operand(decay_object);
    int mem;
    if (first_step_) {
      const Shape shape = shape_of(membrane);
      require(shape.size() == 1);
      mem = draft_.add_slot(first_membrane_type(decay, v_leak, c, shape[0], shaped_input), shape);
    } else {
      mem = add_array_slot(membrane);
      starts_.set(mem, &WorkingState::membrane_state, name);
    }
    const Shape mshape = shape_of_slot(mem);
    require(mshape.size() == 1);
    const std::int64_t n = mshape[0];
    const DType mtype = dtype_of(mem);

    const LifSettings settings = lif_settings(node, name);
    engine::LifArgs args;
    args.reset = settings.reset;
    args.fire = settings.fire;
    args.neurons = n;
    args.membrane = mem;
    args.decay = array_decay ? per_neuron(array_decay->values, n) : neuron_values(decay_object, n);
    args.v_leak = neuron_values(v_leak, n);
    if (const auto values = float_array(threshold)) {
      require(values->shape == Shape{n});
    } else {
      require(is_exact_ndarray(threshold));
      require(utf8(threshold.attr("dtype").attr("kind")) == "f");
      require(shape_of(threshold) == Shape{n});
    }
    args.v_threshold = neuron_values(threshold, n);
    require(result_is(mtype, decay, mtype) && result_is(mtype, v_leak, mtype));
    if (args.reset == rules::LifReset::subtract) {
      // mem - v_threshold keeps the membrane's type, so the threshold is a value of it.
      require(result_is(mtype, threshold, mtype));
      if (mtype == DType::f32)
        for (double v : args.v_threshold) require(static_cast<double>(static_cast<float>(v)) == v);
    }
    // Step 1 starts from float32 zeros: where the membrane's type differs, the leak of
    // that step is computed in another type, which gives the same values only when they
    // leak toward zero.
    if (first_step_ && mtype != DType::f32)
      for (double v : args.v_leak) require(v == 0.0);
    args.reset_in_f32 = result_is(v_leak, DType::f32, DType::f32);
    args.bounds = bounds_;
    require(!c.shape.empty());
    const bool has_input = shaped_input || c.shape[0] >= n;
    int input = -1;
    if (has_input) {
      require((shaped_input || c.shape.size() == 1) && engine::promote(mtype, c.dtype) == mtype);
      input = input_slot(c, false);
      args.input_plus_zero =
          input == lone_source(c, false) && c.args.mode == engine::CombineMode::sum;
    }
    const int spikes = destination(name, DType::f32, shaped_input ? c.shape : Shape{n});
    // Reset "subtract" keeps which neurons started the step above threshold in the spike
    // vector until the step fires them anew: the input must be another value.
    require(args.reset != rules::LifReset::subtract || input != spikes);
    args.spikes = spikes;
    args.input = input;
    args.counter = static_cast<int>(draft_.plan.lif.size());
    engine::prepare_lif(args, static_cast<std::int64_t>(sample_ids_.size()));
    run_->counted.push_back(nb::borrow(name));
    run_->membranes.push_back({nb::borrow(name), mem});
    draft_.plan.lif.push_back(std::move(args));

    Instruction ins;
    ins.kind = OpKind::lif;
    ins.node = timed(name);
    ins.destination = spikes;
    ins.lif = static_cast<int>(draft_.plan.lif.size()) - 1;
    if (input >= 0)
      emit(std::move(ins), {input, mem}, {spikes, mem});
    else
      emit(std::move(ins), {mem}, {spikes, mem});
  }

  // The type a float32 zero membrane has after step 1: that of
  // decay * (mem - v_leak) + v_leak, plus the input when it reaches every neuron, as numpy
  // promotes them.  The reset that follows must keep it.
  DType first_membrane_type(const Operand& decay, nb::handle v_leak, const Combined& c,
                            std::int64_t neurons, bool shaped_input) const {
    DType type = promoted(promoted(decay, promoted(DType::f32, v_leak)), v_leak);
    require(!c.shape.empty());
    if (shaped_input || c.shape[0] >= neurons) type = promoted(type, c.dtype);
    require(promoted(promoted(type, DType::f32), promoted(v_leak, DType::f32)) == type);
    return type;
  }

  static inline const std::vector<WorkingState*> no_states_{};
  const RunSetup& s_;
  const WorkingState& w_;  // the first sample's (from the first step: the initial state)
  const std::vector<std::int64_t>& sample_ids_;
  const Numpy& np_;
  SlotStarts starts_;
  engine::PlanDraft draft_;
  std::unique_ptr<NativeRun> run_;
  engine::SaturateBounds bounds_;
  const bool first_step_ = false;
  const bool fill_missing_inputs_ = true;
  nb::dict key_slot_;
  std::vector<nb::object> read_before_made_;  // predecessors a node found without a value
};

}  // namespace

std::optional<std::unique_ptr<NativeRun>> plan_native(const RunSetup& setup,
                                                      const std::vector<WorkingState*>& states,
                                                      const std::vector<std::int64_t>& sample_ids) {
  try {
    return Planner(setup, states, sample_ids).build();
  } catch (const NotNative&) {
    return std::nullopt;
  } catch (const nb::python_error&) {
    // A value the planner cannot inspect the way it expects: the numpy path goes on.
    return std::nullopt;
  }
}

std::optional<std::unique_ptr<NativeRun>> plan_first_step(const RunSetup& setup,
                                                          const WorkingState& initial,
                                                          std::int64_t samples,
                                                          bool fill_missing_inputs) {
  std::vector<std::int64_t> sample_ids(static_cast<std::size_t>(samples));
  for (std::int64_t b = 0; b < samples; ++b) sample_ids[b] = samples == 1 ? setup.sample : b;
  try {
    return Planner(setup, initial, sample_ids, fill_missing_inputs).build();
  } catch (const NotNative&) {
    return std::nullopt;
  } catch (const nb::python_error&) {
    return std::nullopt;
  }
}

int activation_slot(const NativeRun& run, nb::handle key) {
  for (const NativeRun::Key& k : run.keys)
    if (k.key.equal(key)) return k.slot;
  return -1;
}

nb::object slot_value(const NativeRun& run, int slot, std::int64_t sample, std::int64_t step) {
  engine::Plan& plan = const_cast<engine::Plan&>(run.plan);
  const engine::Frame frame{plan.slots, sample, step};
  return array_from_bytes(frame.bytes(slot), run.shapes[slot], plan.slots[slot].dtype);
}

nb::object slot_rows(const NativeRun& run, int slot, std::int64_t step) {
  engine::Plan& plan = const_cast<engine::Plan&>(run.plan);
  Shape shape = run.shapes[slot];
  shape.insert(shape.begin(), plan.batch);
  nb::object rows = Numpy::get().empty(shape_tuple(shape), dtype_object(plan.slots[slot].dtype));
  const ArrayData out(rows, true);
  const auto block = static_cast<std::size_t>(out.bytes() / std::max<std::int64_t>(plan.batch, 1));
  for (std::int64_t b = 0; b < plan.batch; ++b)
    std::memcpy(static_cast<char*>(out.data()) + b * block,
                engine::Frame{plan.slots, b, step}.bytes(slot), block);
  return rows;
}

void write_back(NativeRun& run, WorkingState& state, std::int64_t last_step,
                const std::vector<nb::object>* only) {
  std::vector<nb::object> made(run.plan.slots.size());
  const auto wanted = [&](const nb::object& key) {
    return !only || std::any_of(only->begin(), only->end(),
                                [&](const nb::object& k) { return k.equal(key); });
  };
  for (const NativeRun::Key& k : run.keys) {
    if (!wanted(k.key)) continue;
    if (k.constant.is_valid()) {
      state.activations[k.key] = k.constant;
      continue;
    }
    if (!made[k.slot].is_valid()) made[k.slot] = slot_value(run, k.slot, 0, last_step);
    state.activations[k.key] = made[k.slot];
  }
  if (!only)
    for (const NativeRun::Membrane& m : run.membranes)
      state.membrane_state[m.name] = slot_value(run, m.slot, 0, last_step);
  for (std::size_t i = 0; i < run.counted.size(); ++i) {
    nb::handle name = run.counted[i];
    PyObject* before = PyDict_GetItemWithError(state.spike_counts.ptr(), name.ptr());
    if (!before && PyErr_Occurred()) throw nb::python_error();
    state.spike_counts[name] = add(before ? nb::handle(before) : nb::handle(nb::int_(0)),
                                   nb::int_(run.plan.spike_totals[i]));
    run.plan.spike_totals[i] = 0;
  }
}

std::int64_t native_activation_bytes(const NativeRun& run) {
  std::int64_t total = 0;
  for (const NativeRun::Key& k : run.keys) {
    const engine::Slot& slot = run.plan.slots[k.slot];
    total += slot.size * static_cast<std::int64_t>(engine::itemsize(slot.dtype));
  }
  return total;
}

nb::dict native_snapshot(const NativeRun& run, std::int64_t step) {
  nb::dict copy;
  for (const NativeRun::Key& k : run.keys) copy[k.key] = slot_value(run, k.slot, 0, step);
  return copy;
}

}  // namespace zelka::host::simulation
