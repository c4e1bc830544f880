#include "host/lif_settings.hpp"

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelka::host {
namespace {

std::string choices(std::span<const std::string_view> names) {
  std::string text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i) text += i + 1 == names.size() ? " or " : ", ";
    text += "'" + std::string(names[i]) + "'";
  }
  return text;
}

template <typename Rule>
Rule read(nb::handle node, nb::handle name, const char* field,
          std::span<const std::string_view> names, std::optional<Rule> (*named)(std::string_view)) {
  nb::object value = nb::steal(PyObject_GetAttr(node.ptr(), interned(field).ptr()));
  if (!value.is_valid()) {  // a node without the field holds the default rule
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
    PyErr_Clear();
    return Rule{};
  }
  if (PyUnicode_Check(value.ptr())) {
    // The str's own UTF-8 form (made once and kept by the str); a str that has none (lone
    // surrogates) names no rule.
    Py_ssize_t size = 0;
    if (const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &size)) {
      if (const std::optional<Rule> rule = named(std::string_view(text, size))) return *rule;
    } else {
      PyErr_Clear();
    }
  }
  raise_formatted(PyExc_ValueError, "LIF node '{}': {} must be {}, got {!r}", name, field,
                  choices(names), value);
}

template <typename Rule>
void require_default(nb::handle name, const char* field, Rule rule,
                     std::span<const std::string_view> names) {
  if (rule == Rule{}) return;
  raise_formatted(PyExc_ValueError,
                  "LIF node '{}': {} '{}' cannot be built: the hardware neuron is built for {} "
                  "'{}' only",
                  name, field, std::string(names[static_cast<std::size_t>(rule)]), field,
                  std::string(names[0]));
}

}  // namespace

void require_built_lif_rule(nb::handle node, nb::handle name) {
  const LifSettings settings = lif_settings(node, name);
  require_default(name, "reset", settings.reset, rules::lif_reset_names);
  require_default(name, "fire", settings.fire, rules::lif_fire_names);
}

LifSettings lif_settings(nb::handle node, nb::handle name) {
  return {read(node, name, "reset", rules::lif_reset_names, rules::lif_reset_named),
          read(node, name, "fire", rules::lif_fire_names, rules::lif_fire_named)};
}

}  // namespace zelka::host
