// Native functions whose signature declares the Python types of their parameters (python_types.hpp)
// while None, like any other object, reaches the binding's own checks.  nanobind passes None only
// to a parameter marked .none(), and writes such a parameter's type as "T | None"; so a typed
// function is registered with every parameter marked .none() and, as its signature, nanobind's
// own rendering of the function with the parameters as declared (a parameter whose default is
// None stays "T | None").
#pragma once

#include <string>
#include <type_traits>
#include <utility>

#include "host/python.hpp"

namespace zelka::host {

namespace detail {

// "def " and the signature line of a native function's __doc__.
std::string signature_line(nb::handle function);

// The signature nanobind writes for f with the parameters as declared.
template <typename Func, typename... Extra>
std::string declared_signature(const char* name, const Func& f, const Extra&... extra) {
  return signature_line(nb::cpp_function(f, nb::name(name), extra...));
}

template <typename Extra>
auto passing_none(const Extra& extra) {
  using traits = nb::detail::arg_traits<Extra>;
  constexpr uint32_t flags = traits::flags | nb::detail::cast_flags::accepts_none;
  if constexpr (!traits::is_arg)
    return extra;
  else if constexpr (traits::has_default)
    return nb::arg_v_t<flags, traits::locked>(extra, nb::object(extra.value));
  else
    return extra.none();
}

}  // namespace detail

// The function object; a method when extra holds nb::is_method().
template <typename Func, typename... Extra>
nb::object typed_function(const char* name, Func&& f, const Extra&... extra) {
  const std::string signature = detail::declared_signature(name, f, extra...);
  return nb::cpp_function(std::forward<Func>(f), nb::sig(signature.c_str()),
                          detail::passing_none(extra)...);
}

// The function bound as scope.name: a module's function, or a method of an nb::class_.
template <typename Scope, typename Func, typename... Extra>
void def_typed(Scope& scope, const char* name, Func&& f, const Extra&... extra) {
  std::string signature;
  if constexpr (std::is_same_v<Scope, nb::module_>)
    signature = detail::declared_signature(name, f, extra...);
  else
    signature = detail::declared_signature(name, f, nb::is_method(), extra...);
  scope.def(name, std::forward<Func>(f), nb::sig(signature.c_str()),
            detail::passing_none(extra)...);
}

// The function bound as a static method of an nb::class_.
template <typename Class, typename Func, typename... Extra>
void def_typed_static(Class& cls, const char* name, Func&& f, const Extra&... extra) {
  const std::string signature = detail::declared_signature(name, f, extra...);
  cls.def_static(name, std::forward<Func>(f), nb::sig(signature.c_str()),
                 detail::passing_none(extra)...);
}

}  // namespace zelka::host
