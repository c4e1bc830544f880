#include "host/external_tool.hpp"

#include <cmath>
#include <exception>

#include "core/text/number_format.hpp"
#include "host/args.hpp"

namespace zelka::host {

tools::CommandResult run_tool(tools::Command command, const ToolRun& run) {
  std::exception_ptr raised;
  command.stop_requested = [&raised] {
    try {
      run_signal_handlers_unlocked();
      return false;
    } catch (nb::python_error&) {
      raised = std::current_exception();
      return true;
    }
  };
  tools::CommandResult result;
  {
    nb::gil_scoped_release release;
    result = tools::run_command(command);
  }
  if (raised) std::rethrow_exception(raised);
  if (result.end == tools::CommandEnd::timed_out) {
    const double seconds = std::chrono::duration<double>(*command.timeout).count();
    const std::string message = run.what + " did not finish within " + text::float_repr(seconds) +
                                " s (" + run.timeout_argument + ")";
    PyErr_SetString(PyExc_TimeoutError, message.c_str());
    throw nb::python_error();
  }
  return result;
}

std::optional<std::chrono::nanoseconds> timeout_argument(nb::handle value, const char* name) {
  if (value.is_none()) return std::nullopt;
  const double seconds = float_argument(value, name);
  if (!(seconds > 0))
    raise_formatted(PyExc_ValueError,
                    "Argument '{}' must be a positive number of seconds or None, got {!r}", name,
                    value);
  const std::chrono::duration<double> limit(seconds);
  if (limit >= std::chrono::nanoseconds::max()) return std::nullopt;
  return std::chrono::duration_cast<std::chrono::nanoseconds>(limit);
}

nb::str printed_text(const std::string& bytes) {
  return nb::borrow<nb::str>(steal_or_raise(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace")));
}

nb::object printed_tail(const std::string& bytes) {
  nb::object lines = printed_text(bytes).attr("splitlines")();
  const std::size_t count = nb::len(lines);
  return nb::str("\n").attr("join")(
      lines[nb::slice(nb::int_(count > 30 ? count - 30 : 0), nb::none(), nb::none())]);
}

}  // namespace zelka::host
