#include "host/backend_class.hpp"

namespace zelka::host {

BackendClassBuilder::BackendClassBuilder(nb::module_& module, const char* name,
                                         const char* registry_name, const char* doc)
    : module_(module), name_(name) {
  namespace_["__module__"] = module.attr("__name__");
  namespace_["__qualname__"] = name;
  namespace_["__doc__"] = doc;
  namespace_["name"] = registry_name;
}

nb::object BackendClassBuilder::build() {
  nb::object base = imported("zelka.backend.base").attr("BackendBase");
  nb::object type = imported("builtins").attr("type");
  nb::object cls = type(name_, nb::make_tuple(base), namespace_);
  module_.attr(name_) = cls;
  return cls;
}

}  // namespace zelka::host
