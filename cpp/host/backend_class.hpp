// Backend classes are Python subclasses of the framework's BackendBase whose methods are
// native functions; this builds such a class.
#pragma once

#include <utility>

#include "host/python.hpp"

namespace zelka::host {

class BackendClassBuilder {
 public:
  BackendClassBuilder(nb::module_& module, const char* name, const char* registry_name,
                      const char* doc);

  template <typename Func, typename... Extra>
  BackendClassBuilder& method(const char* name, Func&& f, const Extra&... extra) {
    namespace_[name] =
        nb::cpp_function(std::forward<Func>(f), nb::is_method(), nb::name(name), extra...);
    return *this;
  }

  // Create the class, bind it in the module and return it.
  nb::object build();

 private:
  nb::module_& module_;
  const char* name_;
  nb::dict namespace_;
};

}  // namespace zelka::host
