// Exceptions the core throws.  Each maps to one Python exception kind in the bindings;
// the message is final text.
#pragma once

#include <stdexcept>
#include <string>
#include <system_error>

namespace zelka {

struct ValueError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct KeyError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct TypeError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct ZeroDivisionError : std::runtime_error {
  using std::runtime_error::runtime_error;
};
struct OverflowError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A failed file-system call: the errno value and the path (bytes) it was about; the message
// is the system's text for the error.
struct OSError : std::runtime_error {
  OSError(int error, std::string about)
      : std::runtime_error(std::generic_category().message(error)),
        error_number(error),
        path(std::move(about)) {}
  int error_number;
  std::string path;
};

}  // namespace zelka
