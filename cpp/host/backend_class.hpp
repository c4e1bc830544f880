// Backend classes are Python subclasses of the framework's BackendBase whose methods are
// native functions; this builds such a class.
#pragma once

#include <utility>

#include "host/python.hpp"
#include "host/typed_function.hpp"

namespace zelka::host {

class BackendClassBuilder {
 public:
  BackendClassBuilder(nb::module_& module, const char* name, const char* registry_name,
                      const char* doc);

  // A method whose signature declares its parameters' types (typed_function.hpp).
  template <typename Func, typename... Extra>
  BackendClassBuilder& method(const char* name, Func&& f, const Extra&... extra) {
    namespace_[name] = typed_function(name, std::forward<Func>(f), nb::is_method(), extra...);
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
