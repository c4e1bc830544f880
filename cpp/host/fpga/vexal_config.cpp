#include "host/fpga/vexal_config.hpp"

#include <string>

#include "core/fpga/boards.hpp"
#include "core/fpga/defaults.hpp"
#include "core/fpga/tcl_script.hpp"
#include "host/args.hpp"
#include "host/fpga/script_names.hpp"

using namespace nanobind::literals;

namespace zelka::host::fpga {
namespace {

nb::object default_part() {
  return nb::str(zelka::fpga::default_part.data(), zelka::fpga::default_part.size());
}
nb::object default_clock_period_ns() {
  return nb::float_(zelka::fpga::default_clock_period_ns);
}
nb::object default_clock_uncertainty_pct() {
  return nb::float_(12.5);
}

nb::str str_of(std::string_view text) {
  return nb::str(text.data(), text.size());
}

// A clock field as a float: any number is taken, anything else is a TypeError.
double clock_field(const VexalConfig& config, const char* field) {
  nb::handle value = config[config.index_of(field)];
  if (!is_number(value))
    raise_formatted(PyExc_TypeError, "VexalConfig.{} has incorrect type (expected float, got {})",
                    field, type_name_of(value));
  const double result = PyFloat_AsDouble(value.ptr());
  if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return result;
}

// The record's documentation, with the defaults of the board table and of the generators.
const std::string vexal_config_doc =
    std::string(
        "Target device of an FPGA build.\n\n"
        "Attributes:\n"
        "    part: Xilinx part number (default the ") +
    std::string(zelka::fpga::default_board) + " board's '" +
    std::string(zelka::fpga::default_part) +
    "').\n"
    "    clock_period_ns: Target clock period in nanoseconds (" +
    std::to_string(zelka::fpga::default_clock_period_ns) +
    ".0 ns = " + std::to_string(1000 / zelka::fpga::default_clock_period_ns) +
    " MHz).\n"
    "    clock_uncertainty_pct: Clock uncertainty as a percentage of the period.\n\n"
    "resources gives the part's resource limits (an empty dict for a part without a\n"
    "row in VEXAL_RESOURCES); VexalConfig.for_board(name) builds the record of a board.";

}  // namespace

const RecordLayout vexal_config_layout{"VexalConfig",
                                       vexal_config_doc.c_str(),
                                       {{"part", default_part},
                                        {"clock_period_ns", default_clock_period_ns},
                                        {"clock_uncertainty_pct", default_clock_uncertainty_pct}}};

nb::dict board_parts_table() {
  nb::dict table;
  for (const auto& board : zelka::fpga::boards) table[str_of(board.name)] = str_of(board.part);
  return table;
}

nb::dict part_resources_table() {
  nb::dict table;
  for (const auto& entry : zelka::fpga::part_resources) {
    nb::dict row;
    for (const auto& [name, amount] : entry.resources) row[str_of(name)] = amount;
    table[str_of(entry.part)] = row;
  }
  return table;
}

nb::object resources_of(const VexalConfig& config, nb::handle resources_table) {
  nb::handle part = config[config.index_of("part")];
  if (PyUnicode_Check(part.ptr())) {
    PyObject* row = PyDict_GetItemWithError(resources_table.ptr(), part.ptr());
    if (row) return nb::borrow(row);
    if (PyErr_Occurred()) throw nb::python_error();
  }
  return nb::dict();
}

nb::object config_for_board(nb::handle board) {
  const auto part = zelka::fpga::part_of_board(utf8_surrogates_passed(board));
  if (!part)
    raise_formatted(PyExc_ValueError, "Unknown board: {}. Available: {}", board,
                    nb::str(zelka::fpga::board_names_literal().c_str()));
  return nb::type<VexalConfig>()("part"_a = str_of(*part));
}

nb::object tcl_script(const VexalConfig& config, nb::handle project_name,
                      std::string_view testbench_data) {
  nb::handle part = config[config.index_of("part")];
  if (!PyUnicode_Check(part.ptr()))
    raise_formatted(PyExc_TypeError, "VexalConfig.part has incorrect type (expected str, got {})",
                    type_name_of(part));
  require_project_name(project_name, "project_name");
  require_part_number(part, "VexalConfig.part");
  const std::string name = utf8(project_name);
  const std::string part_text = utf8(part);
  const std::string text = zelka::fpga::render_tcl_script(
      {name, part_text, clock_field(config, "clock_period_ns"),
       clock_field(config, "clock_uncertainty_pct"), testbench_data});
  return nb::str(text.data(), text.size());
}

}  // namespace zelka::host::fpga
