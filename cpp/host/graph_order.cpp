#include "host/graph_order.hpp"

#include <functional>
#include <queue>
#include <vector>

#include "host/edges.hpp"

namespace zelka::host {

nb::tuple stable_order(nb::handle names_arg, nb::handle edges) {
  const nb::list names = nb::borrow<nb::list>(names_arg);
  const std::size_t count = names.size();
  nb::dict index, predecessors;
  const auto set = [](const nb::dict& dict, nb::handle key, nb::object value) {
    if (!value.is_valid() || PyDict_SetItem(dict.ptr(), key.ptr(), value.ptr()) != 0)
      throw nb::python_error();
  };
  // The position of a name in `names`, or -1 for a name that is not there.
  const auto position = [&](nb::handle name) -> Py_ssize_t {
    PyObject* at = PyDict_GetItemWithError(index.ptr(), name.ptr());
    if (!at && PyErr_Occurred()) throw nb::python_error();
    return at ? PyLong_AsSsize_t(at) : -1;
  };
  // The names held here: hashing a name or reading an edge runs Python code, which may
  // change the list.
  std::vector<nb::object> held(count);
  for (std::size_t i = 0; i < count; ++i) {
    const nb::object& name = held[i] = names[i];
    set(index, name, nb::steal(PyLong_FromSize_t(i)));
    set(predecessors, name, nb::steal(PyList_New(0)));
  }
  std::vector<std::vector<std::size_t>> successors(count);
  std::vector<std::size_t> in_degree(count, 0);
  for (nb::handle edge : nb::iter(edges)) {
    const EdgeEnds ends = required_edge_ends(edge);
    PyObject* preds = PyDict_GetItemWithError(predecessors.ptr(), ends[1].ptr());
    if (!preds) {
      if (PyErr_Occurred()) throw nb::python_error();
      continue;
    }
    if (PyList_Append(preds, ends[0].ptr()) != 0) throw nb::python_error();
    const Py_ssize_t src = position(ends[0]);
    if (src < 0) continue;
    const auto dst = static_cast<std::size_t>(position(ends[1]));
    successors[static_cast<std::size_t>(src)].push_back(dst);
    ++in_degree[dst];
  }
  std::priority_queue<std::size_t, std::vector<std::size_t>, std::greater<>> ready;
  for (std::size_t i = 0; i < count; ++i)
    if (in_degree[i] == 0) ready.push(i);
  std::vector<bool> placed(count, false);
  nb::list order;
  bool is_dag = true;
  std::size_t next_unplaced = 0, done = 0;
  while (done < count) {
    std::size_t i;
    if (!ready.empty()) {
      i = ready.top();
      ready.pop();
      if (placed[i]) continue;
    } else {
      while (placed[next_unplaced]) ++next_unplaced;
      i = next_unplaced;
      is_dag = false;
    }
    placed[i] = true;
    ++done;
    order.append(held[i]);
    for (std::size_t succ : successors[i])
      if (--in_degree[succ] == 0 && !placed[succ]) ready.push(succ);
  }
  return nb::make_tuple(order, predecessors, nb::bool_(is_dag));
}

nb::tuple graph_stable_order(nb::handle graph) {
  nb::object nodes = graph.attr("nodes");
  nb::object names = nb::steal(PySequence_List(nodes.ptr()));
  if (!names.is_valid()) throw nb::python_error();
  return stable_order(names, graph.attr("edges"));
}

}  // namespace zelka::host
