#include "host/ir_kinds.hpp"

namespace zelka::host {
namespace {

constexpr std::array<const char*, kind_count> names = {
    "Input",        "Output",    "Affine",      "SpikingAffine", "Conv1d", "Conv2d",    "SepConv2d",
    "MaxPool2d",    "AvgPool2d", "BatchNorm1d", "BatchNorm2d",   "LIF",    "ReLU",      "Sigmoid",
    "Tanh",         "Softmax",   "GELU",        "ELU",           "PReLU",  "LayerNorm", "Dropout",
    "HybridRegion", "Skip",      "Upsample",    "Flatten"};

}  // namespace

const char* kind_name(Kind kind) {
  return names[static_cast<std::size_t>(kind)];
}

IrKinds IrKinds::load(std::initializer_list<Kind> kinds) {
  nb::module_ ir = imported("zelka.ir");
  IrKinds loaded;
  for (Kind kind : kinds) {
    const char* name = kind_name(kind);
    nb::object cls = nb::steal(PyObject_GetAttrString(ir.ptr(), name));
    if (!cls.is_valid()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'zelka.ir'", name);
      throw nb::python_error();
    }
    loaded.classes_[static_cast<std::size_t>(kind)] = std::move(cls);
  }
  return loaded;
}

bool IrKinds::is_exactly_loaded(nb::handle node) const {
  for (const nb::object& cls : classes_)
    if (cls.is_valid() && node.type().is(cls)) return true;
  return false;
}

bool IrKinds::is(nb::handle node, Kind kind) const {
  return is_instance(node, cls(kind));
}

}  // namespace zelka::host
