#include "host/fpga/node_kinds.hpp"

namespace zelka::host::fpga {
namespace {

// Lives as long as the process: the module that loads it is never unloaded.
NodeKinds* kinds = nullptr;

}  // namespace

void load_node_kinds() {
  nb::module_ ir = nb::module_::import_("zelka.ir");
  auto* k = new NodeKinds();
  const std::pair<nb::object NodeKinds::*, const char*> names[] = {
      {&NodeKinds::affine, "Affine"},
      {&NodeKinds::avg_pool2d, "AvgPool2d"},
      {&NodeKinds::batch_norm1d, "BatchNorm1d"},
      {&NodeKinds::batch_norm2d, "BatchNorm2d"},
      {&NodeKinds::conv1d, "Conv1d"},
      {&NodeKinds::conv2d, "Conv2d"},
      {&NodeKinds::flatten, "Flatten"},
      {&NodeKinds::input, "Input"},
      {&NodeKinds::lif, "LIF"},
      {&NodeKinds::max_pool2d, "MaxPool2d"},
      {&NodeKinds::output, "Output"},
      {&NodeKinds::relu, "ReLU"},
      {&NodeKinds::sigmoid, "Sigmoid"},
      {&NodeKinds::spiking_affine, "SpikingAffine"}};
  for (const auto& [member, name] : names) {
    nb::object cls = nb::steal(PyObject_GetAttrString(ir.ptr(), name));
    if (!cls.is_valid()) {
      PyErr_Clear();
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from 'zelka.ir'", name);
      throw nb::python_error();
    }
    k->*member = cls;
  }
  kinds = k;
}

const NodeKinds& node_kinds() {
  return *kinds;
}

}  // namespace zelka::host::fpga
