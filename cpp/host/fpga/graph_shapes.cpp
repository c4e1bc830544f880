#include "host/fpga/graph_shapes.hpp"

#include "host/execution_context.hpp"
#include "host/numpy.hpp"

namespace zelka::host::fpga {
namespace {

nb::object to_int(nb::handle x) {
  return steal_or_raise(PyNumber_Long(x.ptr()));
}

nb::object int_tuple(nb::handle items) {
  nb::list out;
  for (nb::handle item : items) out.append(to_int(item));
  return nb::tuple(out);
}

// The declared output shape of a node: output_type["output"], when there is one.
bool declared_output(nb::handle node, nb::object& shape) {
  nb::object output_type = nb::getattr(node, "output_type", nb::none());
  if (!truth(output_type)) return false;
  int has = PySequence_Contains(output_type.ptr(), nb::str("output").ptr());
  if (has < 0) throw nb::python_error();
  if (!has) return false;
  shape = getitem(output_type, nb::str("output"));
  return true;
}

// Exact product of int() of the entries, whatever their size.
nb::object int_product(nb::handle items) {
  nb::object product = nb::int_(1);
  for (nb::handle item : items) product = multiply(product, to_int(item));
  return product;
}

}  // namespace

nb::object topological_order(nb::handle graph) {
  nb::object order = execution_context(graph, UnpackWording::counted).exec_order;
  if (!order.is_none() && !PyList_Check(order.ptr()))
    throw nb::type_error(("Expected list, got " + type_name_of(order)).c_str());
  return order;
}

nb::dict predecessor_map(nb::handle graph) {
  nb::dict preds;
  for (nb::handle name : graph.attr("nodes")) preds[name] = nb::list();
  for (nb::handle edge : graph.attr("edges")) {
    std::vector<nb::object> ends = unpack(edge, 2, UnpackWording::counted);
    if (preds.contains(ends[1])) nb::borrow<nb::list>(preds[ends[1]]).append(ends[0]);
  }
  return preds;
}

nb::object node_input_shape(nb::handle graph, nb::handle pred_name) {
  nb::object pred = graph.attr("nodes").attr("get")(pred_name);
  nb::object shape;
  if (pred.is_none() || !declared_output(pred, shape)) return nb::none();
  if (is_instance(shape, Numpy::get().ndarray)) return int_tuple(shape);
  if (!truth(shape)) return nb::none();
  return int_tuple(shape);
}

nb::object node_output_size(nb::handle node, nb::handle prev_shape) {
  nb::object shape;
  if (declared_output(node, shape)) {
    if (is_instance(shape, Numpy::get().ndarray)) return int_product(shape.attr("flat"));
    return truth(shape) ? int_product(shape) : nb::int_(0);
  }
  if (!prev_shape.is_none() && truth(prev_shape)) return int_product(prev_shape);
  return nb::int_(0);
}

}  // namespace zelka::host::fpga
