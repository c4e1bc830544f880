#include "host/simulation/native_plan.hpp"

#include <cmath>
#include <cstring>
#include <string>

#include "core/engine/lif.hpp"
#include "core/engine/spike_values.hpp"
#include "core/numeric/precision.hpp"
#include "host/numpy.hpp"

using namespace nanobind::literals;

namespace zelka::host::simulation {
namespace {

using engine::DType;
using engine::Instruction;
using engine::OpKind;
using Shape = std::vector<std::int64_t>;

// Raised inside the planner when the call cannot run natively.
struct NotNative {};

void require(bool condition) {
  if (!condition) throw NotNative{};
}

struct PendingAffine {
  int args;
  nb::object weight;  // C-contiguous, in the product type
};

class Planner {
 public:
  Planner(const RunSetup& s, const std::vector<WorkingState*>& states,
          const std::vector<std::int64_t>& sample_ids)
      : s_(s), states_(states), w_(*states.front()), sample_ids_(sample_ids), np_(Numpy::get()) {}

  std::unique_ptr<NativeRun> build() {
    run_ = std::make_unique<NativeRun>();
    run_->plan.batch = static_cast<std::int64_t>(states_.size());
    require(PyUnicode_Check(s_.precision.ptr()));
    auto range = numeric::precision_range(utf8(s_.precision));
    require(range.has_value());
    bounds_ = {numeric::bounds_for<float>(*range), numeric::bounds_for<double>(*range)};
    require(PyList_Check(s_.exec_order.ptr()) || PyTuple_Check(s_.exec_order.ptr()));
    add_activation_slots();
    walk_nodes();
    drop_constant_output_copies();
    mark_static_instructions();
    finish_affines();
    assign_storage();
    run_->plan.spike_totals.assign(run_->plan.batch * run_->plan.counters(), 0);
    return std::move(run_);
  }

 private:
  // ---- slots --------------------------------------------------------------------------

  int add_slot(DType dtype, Shape shape) {
    engine::Slot slot;
    slot.dtype = dtype;
    slot.size = element_count(shape);
    slot.sample_stride = slot.size;
    run_->plan.slots.push_back(std::move(slot));
    run_->shapes.push_back(std::move(shape));
    source_.emplace_back();
    origin_.emplace_back();
    per_step_.push_back(-1);
    written_at_.push_back(-1);
    return static_cast<int>(run_->plan.slots.size()) - 1;
  }

  int add_array_slot(nb::handle value) {
    require(is_exact_ndarray(value));
    DType dtype;
    require(engine_dtype(value.attr("dtype"), dtype));
    int slot = add_slot(dtype, shape_of(value));
    source_[slot] = nb::borrow(value);
    return slot;
  }

  void add_activation_slots() {
    for (auto [key, value] : w_.activations) {
      int slot = add_array_slot(value);
      origin_[slot] = {&WorkingState::activations, nb::borrow(key)};
      for (std::size_t i = 0; i < s_.step_inputs.size(); ++i)
        if (s_.step_inputs[i].key.equal(key)) per_step_[slot] = static_cast<int>(i);
      key_slot_[key] = slot;
      run_->keys.push_back({nb::borrow(key), slot, nb::object()});
    }
  }

  // The value a slot starts from in sample `b`.
  nb::object start_value(int slot, std::size_t b) const {
    const Origin& o = origin_[slot];
    return getitem((*states_[b]).*o.dict, o.key);
  }

  bool has_key(nb::handle key) const { return key_slot_.contains(key); }
  // The slot of an activation; a node about to be computed must already have one (else a
  // native step would add a key).
  int slot_of(nb::handle key) const {
    require(has_key(key));
    return nb::cast<int>(key_slot_[key]);
  }
  DType dtype_of(int slot) const { return run_->plan.slots[slot].dtype; }
  const Shape& shape_of_slot(int slot) const { return run_->shapes[slot]; }

  int emit(Instruction ins, std::initializer_list<int> sources, std::initializer_list<int> writes) {
    int index = static_cast<int>(run_->plan.program.size());
    for (int w : writes) {
      require(written_at_[w] < 0);
      written_at_[w] = index;
    }
    run_->plan.program.push_back(std::move(ins));
    sources_.emplace_back(sources);
    writes_.emplace_back(writes);
    output_copy_.push_back(false);
    dropped_.push_back(false);
    return index;
  }

  // ---- node rules ---------------------------------------------------------------------

  void walk_nodes() {
    nb::dict seen;
    for (nb::handle name : s_.exec_order) {
      require(!seen.contains(name));
      seen[name] = true;
      nb::object node = getitem(s_.nodes, name);
      if (s_.kinds.is(node, Kind::input)) continue;
      if (s_.kinds.is(node, Kind::output)) {
        plan_output(name);
        continue;
      }
      nb::object preds = getitem(s_.predecessors, name);
      if (!truth(preds)) continue;
      std::vector<int> present;
      for (nb::handle p : preds)
        if (has_key(p)) present.push_back(slot_of(p));
      if (present.empty()) continue;
      if (s_.kinds.is(node, Kind::affine))
        plan_affine(name, node, present);
      else if (s_.kinds.is(node, Kind::lif))
        plan_lif(name, node, present);
      else
        plan_passthrough(name, present);
    }
  }

  void plan_output(nb::handle name) {
    nb::object preds = getitem(s_.predecessors, name);
    if (!truth(preds)) return;
    nb::object first = getitem(preds, nb::int_(0));
    if (!has_key(first)) return;
    const int src = slot_of(first), dst = slot_of(name);
    require(dtype_of(src) == dtype_of(dst) && shape_of_slot(src) == shape_of_slot(dst));
    emit_copy(src, dst, -1);
    output_copy_.back() = true;
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
    int scratch = add_slot(c.dtype, c.shape);
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

  // The node's entry in the plan's per-node times (added on first use).
  int timed(nb::handle name) {
    if (!timed_index_.contains(name)) {
      timed_index_[name] = run_->timed_names.size();
      run_->timed_names.push_back(nb::borrow(name));
      run_->plan.node_ns.push_back(0);
    }
    return nb::cast<int>(timed_index_[name]);
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
    int index = emit(std::move(ins), {}, {destination});
    sources_[index] = c.args.sources;
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
    const int dst = slot_of(name);
    require(dtype_of(dst) == c.dtype && shape_of_slot(dst) == c.shape);
    write_combined(c, dst, -1);
    emit_mark(timed(name));
  }

  void plan_affine(nb::handle name, nb::handle node, const std::vector<int>& present) {
    const Combined c = combined(present);
    const int dst = slot_of(name);
    nb::object weight = node.attr("weight");
    require(is_exact_ndarray(weight));
    const Shape wshape = shape_of(weight);
    require(wshape.size() == 2);
    const std::string kind = utf8(weight.attr("dtype").attr("kind"));
    require(kind == "f" || kind == "i" || kind == "u");
    const std::int64_t rows = wshape[0], cols = wshape[1];
    const std::int64_t flat = element_count(c.shape);
    if (flat != cols) {  // the flattened input passes through
      require(dtype_of(dst) == c.dtype && shape_of_slot(dst) == Shape{flat});
      write_combined(c, dst, timed(name));
      return;
    }
    // The product does not depend on the sign of zero inputs.
    int input = input_slot(c, false);
    if (input == dst) {  // a layer fed by itself reads its previous output
      input = add_slot(c.dtype, c.shape);
      emit_copy(dst, input, -1);
    }
    DType product;
    require(engine_dtype(np_.result_type(weight.attr("dtype"), dtype_object(c.dtype)), product));
    nb::object bias = nb::getattr(node, "bias", nb::none());
    if (bias.is_none()) bias = np_.zeros(rows);
    DType result;
    nb::object product_probe = np_.empty(0, "dtype"_a = dtype_object(product));
    require(engine_dtype(np_.result_type(product_probe, bias), result));
    require(dtype_of(dst) == result && shape_of_slot(dst) == Shape{rows});
    nb::object bias_array = np_.asarray(bias, "dtype"_a = dtype_object(result));
    const Shape bshape = shape_of(bias_array);
    require(bshape.size() <= 1 && (element_count(bshape) == 1 || element_count(bshape) == rows));
    nb::object bias_vector =
        np_.ascontiguousarray(np_.broadcast_to(bias_array, shape_tuple({rows})));
    run_->keep_alive.push_back(bias_vector);

    engine::AffineArgs args;
    args.input = input;
    args.rows = rows;
    args.cols = cols;
    args.product = product;
    args.result = result;
    args.bias = ArrayData(bias_vector).data();
    args.bounds = bounds_;
    args.product_slot = add_slot(product, Shape{rows});
    if (c.dtype != product) args.converted_input = add_slot(product, Shape{cols});
    nb::object converted = np_.ascontiguousarray(weight, "dtype"_a = dtype_object(product));
    run_->keep_alive.push_back(converted);
    args.weight = ArrayData(converted).data();

    run_->plan.affine.push_back(args);
    Instruction ins;
    ins.kind = OpKind::affine;
    ins.node = timed(name);
    ins.destination = dst;
    ins.affine = static_cast<int>(run_->plan.affine.size()) - 1;
    if (args.converted_input >= 0)
      emit(std::move(ins), {input}, {dst, args.product_slot, args.converted_input});
    else
      emit(std::move(ins), {input}, {dst, args.product_slot});
    pending_affines_.push_back({static_cast<int>(run_->plan.affine.size()) - 1, converted});
  }

  // A LIF parameter as one float64 value per neuron: a Python number, a numpy scalar,
  // or a real array of shape (), (1,) or (neurons,).
  std::vector<double> neuron_param(nb::handle value, std::int64_t neurons) {
    if (PyFloat_Check(value.ptr()))
      return std::vector<double>(static_cast<std::size_t>(neurons), PyFloat_AsDouble(value.ptr()));
    if (PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr())) {
      int overflow = 0;
      const long long v = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
      // Integers up to 2**53 in magnitude are exact as float64.
      require(!overflow && v >= -(1LL << 53) && v <= (1LL << 53));
      return std::vector<double>(static_cast<std::size_t>(neurons), static_cast<double>(v));
    }
    require(is_instance(value, np_.module.attr("generic")) || is_exact_ndarray(value));
    require(holds_exactly_as_float64(value.attr("dtype")));
    nb::object flat = np_.asarray(value, "dtype"_a = np_.float64).attr("ravel")();
    const std::int64_t size = nb::cast<std::int64_t>(flat.attr("size"));
    require(nb::len(nb::object(value.attr("shape"))) <= 1 && (size == 1 || size == neurons));
    const ArrayData data(np_.ascontiguousarray(flat));
    const double* values = static_cast<const double*>(data.data());
    if (size == 1) return std::vector<double>(static_cast<std::size_t>(neurons), values[0]);
    return std::vector<double>(values, values + size);
  }

  // Integers become float64 in numpy's arithmetic too (rounded alike); floats wider than
  // float64 (long double) would be rounded where numpy computes in their precision.
  static bool holds_exactly_as_float64(nb::handle dtype) {
    const std::string kind = utf8(dtype.attr("kind"));
    if (kind == "i" || kind == "u") return true;
    return kind == "f" && nb::cast<std::int64_t>(dtype.attr("itemsize")) <= 8;
  }

  bool result_is(nb::handle a, nb::handle b, DType expected) {
    DType d;
    return engine_dtype(np_.result_type(a, b), d) && d == expected;
  }

  void plan_lif(nb::handle name, nb::handle node, const std::vector<int>& present) {
    const Combined c = combined(present);
    nb::object membrane = getitem(w_.membrane_state, name);
    const int mem = add_array_slot(membrane);
    origin_[mem] = {&WorkingState::membrane_state, nb::borrow(name)};
    const Shape mshape = shape_of_slot(mem);
    require(mshape.size() == 1);
    const std::int64_t n = mshape[0];
    const DType mtype = dtype_of(mem);
    const int spikes = slot_of(name);
    require(dtype_of(spikes) == DType::f32 && shape_of_slot(spikes) == Shape{n});

    nb::object tau = node.attr("tau");
    nb::object threshold = node.attr("v_threshold");
    nb::object v_leak = node.attr("v_leak");
    nb::object one = nb::float_(1.0);
    nb::object decay = subtract(one, true_divide(one, tau));

    engine::LifArgs args;
    args.neurons = n;
    args.membrane = mem;
    args.spikes = spikes;
    args.decay = neuron_param(decay, n);
    args.v_leak = neuron_param(v_leak, n);
    require(is_exact_ndarray(threshold));
    require(utf8(threshold.attr("dtype").attr("kind")) == "f");
    require(shape_of(threshold) == Shape{n});
    args.v_threshold = neuron_param(threshold, n);
    require(result_is(membrane, decay, mtype) && result_is(membrane, v_leak, mtype));
    nb::object spike_probe = np_.empty(0, "dtype"_a = np_.float32);
    args.reset_in_f32 = result_is(v_leak, spike_probe, DType::f32);
    args.bounds = bounds_;
    require(!c.shape.empty());
    const bool has_input = c.shape[0] >= n;
    int input = -1;
    if (has_input) {
      require(c.shape.size() == 1 && engine::promote(mtype, c.dtype) == mtype);
      input = input_slot(c, false);
      args.input_plus_zero =
          input == lone_source(c, false) && c.args.mode == engine::CombineMode::sum;
    }
    args.input = input;
    args.counter = static_cast<int>(run_->plan.lif.size());
    engine::prepare_lif(args);
    run_->counted.push_back(nb::borrow(name));
    run_->membranes.push_back({nb::borrow(name), mem});
    run_->plan.lif.push_back(std::move(args));

    Instruction ins;
    ins.kind = OpKind::lif;
    ins.node = timed(name);
    ins.destination = spikes;
    ins.lif = static_cast<int>(run_->plan.lif.size()) - 1;
    if (input >= 0)
      emit(std::move(ins), {input, mem}, {spikes, mem});
    else
      emit(std::move(ins), {mem}, {spikes, mem});
  }

  // ---- whole-program passes -----------------------------------------------------------

  // An Output whose predecessor never changes keeps the very object it holds (a caller's
  // stimulus stays the caller's array); every other Output copies its predecessor.
  void drop_constant_output_copies() {
    bool changed = true;
    while (changed) {
      changed = false;
      for (std::size_t i = 0; i < run_->plan.program.size(); ++i) {
        if (!output_copy_[i] || dropped_[i]) continue;
        const Instruction& ins = run_->plan.program[i];
        if (written_at_[ins.source] >= 0 || per_step_[ins.source] >= 0) continue;
        if (!same_object_in_every_sample(ins.source, ins.destination)) continue;
        dropped_[i] = true;
        written_at_[ins.destination] = -1;
        changed = true;
      }
    }
    std::vector<Instruction> program;
    std::vector<std::vector<int>> sources, writes;
    for (std::size_t i = 0; i < run_->plan.program.size(); ++i) {
      if (dropped_[i]) continue;
      program.push_back(std::move(run_->plan.program[i]));
      sources.push_back(std::move(sources_[i]));
      writes.push_back(std::move(writes_[i]));
    }
    run_->plan.program = std::move(program);
    sources_ = std::move(sources);
    writes_ = std::move(writes);
    std::fill(written_at_.begin(), written_at_.end(), -1);
    for (std::size_t i = 0; i < writes_.size(); ++i)
      for (int w : writes_[i]) written_at_[w] = static_cast<int>(i);
  }

  bool same_object_in_every_sample(int a, int b) const {
    for (std::size_t k = 0; k < states_.size(); ++k)
      if (!start_value(a, k).is(start_value(b, k))) return false;
    return true;
  }

  // An instruction is static when it keeps no state and every value it reads is either
  // constant or written earlier in the step by a static instruction.
  void mark_static_instructions() {
    std::vector<bool> dynamic(run_->plan.slots.size(), false);
    for (std::size_t i = 0; i < run_->plan.program.size(); ++i) {
      Instruction& ins = run_->plan.program[i];
      bool is_dynamic = ins.kind == OpKind::lif;
      for (int src : sources_[i]) {
        const int writer = written_at_[src];
        if (writer >= 0 && (writer >= static_cast<int>(i) || dynamic[src])) is_dynamic = true;
        if (per_step_[src] >= 0) is_dynamic = true;
      }
      ins.is_static = !is_dynamic;
      for (int w : writes_[i]) dynamic[w] = is_dynamic;
    }
  }

  // What a float32 slot is known to hold at every step: spikes (exactly 0 or 1: LIF outputs,
  // stimuli of zeros and ones, plain copies of them) or spike counts (sums of spikes and
  // counts: small non-negative integers).
  enum class Held : std::uint8_t { other, spikes, counts };

  std::vector<Held> held_values() const {
    std::vector<Held> held(run_->plan.slots.size(), Held::other);
    for (const engine::LifArgs& l : run_->plan.lif) held[l.spikes] = Held::spikes;
    for (std::size_t i = 0; i < held.size(); ++i) {
      const int slot = static_cast<int>(i);
      if (written_at_[i] >= 0 || !source_[i].is_valid() || dtype_of(slot) != DType::f32) continue;
      if (stimulus_of_zeros_and_ones(slot)) held[i] = Held::spikes;
    }
    bool changed = true;
    while (changed) {
      changed = false;
      for (const Instruction& ins : run_->plan.program) {
        if (ins.destination < 0 || dtype_of(ins.destination) != DType::f32) continue;
        Held value = Held::other;
        if (ins.kind == OpKind::copy) value = held[ins.source];
        if (ins.kind == OpKind::combine) {
          bool all_counted = true;
          for (int src : ins.combine.sources) all_counted = all_counted && held[src] != Held::other;
          if (all_counted)
            value = ins.combine.sources.size() == 1 ? held[ins.combine.sources[0]] : Held::counts;
        }
        if (value != Held::other && held[ins.destination] != value &&
            held[ins.destination] != Held::counts) {
          held[ins.destination] = value;
          changed = true;
        }
      }
    }
    return held;
  }

  // Whether a stimulus holds only zeros and ones: in every sample, and at every step when
  // it is given per step.
  bool stimulus_of_zeros_and_ones(int slot) const {
    const auto zeros_and_ones = [&](nb::handle values) {
      const ArrayData data(np_.ascontiguousarray(values));
      return engine::only_zeros_and_ones(static_cast<const float*>(data.data()),
                                         data.bytes() / static_cast<std::int64_t>(sizeof(float)));
    };
    if (per_step_[slot] >= 0) return zeros_and_ones(s_.step_inputs[per_step_[slot]].array);
    for (std::size_t k = 0; k < states_.size(); ++k)
      if (!zeros_and_ones(start_value(slot, k))) return false;
    return true;
  }

  // Affine layers with finite weights fed by spikes sum the columns of the active inputs;
  // those fed by spike counts that change from step to step add up the columns weighted
  // by the counts whenever few of them are nonzero.
  void finish_affines() {
    const std::vector<Held> held = held_values();
    nb::object isfinite = np_.module.attr("isfinite");
    for (PendingAffine& p : pending_affines_) {
      engine::AffineArgs& a = run_->plan.affine[p.args];
      const Held input = held[a.input];
      if (input == Held::other || (input == Held::counts && static_affine(p.args))) continue;
      if (!truth(isfinite(p.weight).attr("all")())) continue;
      nb::object columns = np_.ascontiguousarray(p.weight.attr("T"));
      run_->keep_alive.push_back(columns);
      a.weight_cols = ArrayData(columns).data();
      a.spike_input = input == Held::spikes;
    }
  }

  bool static_affine(int args) const {
    for (const Instruction& ins : run_->plan.program)
      if (ins.kind == OpKind::affine && ins.affine == args) return ins.is_static;
    return false;
  }

  // Written slots get storage of their own for every sample, starting from the values
  // they hold now; constant ones point at the array they hold when every sample holds the
  // same one, else get a copy per sample; per-step stimuli point at their array, moving by
  // one step of it from one step to the next.
  void assign_storage() {
    const std::int64_t batch = run_->plan.batch;
    for (std::size_t i = 0; i < run_->plan.slots.size(); ++i) {
      const int index = static_cast<int>(i);
      engine::Slot& slot = run_->plan.slots[i];
      const std::size_t bytes = static_cast<std::size_t>(slot.size) * engine::itemsize(slot.dtype);
      if (per_step_[i] >= 0) {
        point_at_steps(slot, s_.step_inputs[per_step_[i]].array);
      } else if (written_at_[i] >= 0 || !source_[i].is_valid() ||
                 !same_value_in_every_sample(index)) {
        slot.storage = engine::Storage(bytes * batch);
        slot.data = slot.storage.data();
        if (!source_[i].is_valid() || bytes == 0) continue;
        for (std::int64_t b = 0; b < batch; ++b) {
          const ArrayData data(np_.ascontiguousarray(start_value(index, b)));
          std::memcpy(static_cast<char*>(slot.data) + b * bytes, data.data(), bytes);
        }
      } else {
        nb::object contiguous = np_.ascontiguousarray(source_[i]);
        run_->keep_alive.push_back(contiguous);
        slot.data = ArrayData(contiguous).data();
        slot.sample_stride = 0;
      }
    }
    for (NativeRun::Key& k : run_->keys)
      if (written_at_[k.slot] < 0 && per_step_[k.slot] < 0) k.constant = source_[k.slot];
    for (const NativeRun::Key& k : run_->keys)
      if (written_at_[k.slot] >= 0) require(!s_.input_data.contains(k.key));
  }

  // Every sample holds the first sample's very object in this slot.
  bool same_value_in_every_sample(int slot) const {
    if (!origin_[slot].dict) return false;
    for (std::size_t k = 1; k < states_.size(); ++k)
      if (!start_value(slot, k).is(source_[slot])) return false;
    return true;
  }

  // A per-step stimulus (steps, samples, *shape) read in place: the run's samples must be
  // consecutive samples of it.
  void point_at_steps(engine::Slot& slot, nb::handle array) {
    const ArrayData data(array);
    for (std::size_t k = 1; k < sample_ids_.size(); ++k)
      require(sample_ids_[k] == sample_ids_[0] + static_cast<std::int64_t>(k));
    const Shape shape = shape_of(array);
    require(shape.size() >= 2 && element_count(Shape(shape.begin() + 2, shape.end())) == slot.size);
    run_->keep_alive.push_back(nb::borrow(array));
    slot.sample_stride = slot.size;
    slot.step_stride = shape[1] * slot.size;
    slot.data =
        static_cast<char*>(data.data()) +
        sample_ids_[0] * slot.size * static_cast<std::int64_t>(engine::itemsize(slot.dtype));
  }

  // Where a slot's starting value is found in a sample's state (activations or membranes).
  struct Origin {
    nb::dict WorkingState::* dict = nullptr;
    nb::object key;
  };

  const RunSetup& s_;
  const std::vector<WorkingState*>& states_;
  const WorkingState& w_;  // the first sample's
  const std::vector<std::int64_t>& sample_ids_;
  const Numpy& np_;
  std::unique_ptr<NativeRun> run_;
  engine::SaturateBounds bounds_;
  nb::dict key_slot_;
  nb::dict timed_index_;            // node name -> its entry in plan.node_ns
  std::vector<nb::object> source_;  // per slot: the value it starts from in the first sample
  std::vector<Origin> origin_;      // per slot
  std::vector<int> per_step_;       // per slot: its index in setup.step_inputs, or -1
  std::vector<int> written_at_;     // per slot: instruction writing it, or -1
  std::vector<std::vector<int>> sources_, writes_;  // per instruction
  std::vector<bool> output_copy_, dropped_;         // per instruction
  std::vector<PendingAffine> pending_affines_;
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

void write_back(NativeRun& run, WorkingState& state, std::int64_t last_step) {
  std::vector<nb::object> made(run.plan.slots.size());
  for (const NativeRun::Key& k : run.keys) {
    if (k.constant.is_valid()) continue;
    if (!made[k.slot].is_valid()) made[k.slot] = slot_value(run, k.slot, 0, last_step);
    state.activations[k.key] = made[k.slot];
  }
  for (const NativeRun::Membrane& m : run.membranes)
    state.membrane_state[m.name] = slot_value(run, m.slot, 0, last_step);
  for (std::size_t i = 0; i < run.counted.size(); ++i) {
    nb::handle name = run.counted[i];
    state.spike_counts[name] = add(state.spike_counts[name], nb::int_(run.plan.spike_totals[i]));
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
