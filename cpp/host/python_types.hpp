// The Python types the bindings' signatures declare.  A parameter of type Arg<T> is any Python
// object: its caster takes whatever the caller passed, so that every call reaches the binding,
// whose checks (args.hpp) raise the documented messages; T names the type the signature, and so
// the stub, declares.  Returns<T> names the type of a returned object the same way.  A name is
// written with its module, which the stub generator imports.
#pragma once

#include "host/python.hpp"

namespace zelka::host {

namespace python_type {

// The base of the types below: a name and nothing else.
struct Named {};

#define ZELKA_PYTHON_TYPE(Type, text)                          \
  struct Type : Named {                                        \
    static constexpr auto Name = nb::detail::const_name(text); \
  }

ZELKA_PYTHON_TYPE(Any, "typing.Any");
ZELKA_PYTHON_TYPE(Str, "str");
ZELKA_PYTHON_TYPE(Int, "int");
ZELKA_PYTHON_TYPE(Float, "float");
ZELKA_PYTHON_TYPE(FloatOrNone, "float | None");
ZELKA_PYTHON_TYPE(Bool, "bool");
ZELKA_PYTHON_TYPE(ArrayLike, "numpy.typing.ArrayLike");
ZELKA_PYTHON_TYPE(Array, "numpy.typing.NDArray[typing.Any]");
ZELKA_PYTHON_TYPE(Amounts, "dict[str, int]");
ZELKA_PYTHON_TYPE(Dict, "dict[str, typing.Any]");
ZELKA_PYTHON_TYPE(Settings, "collections.abc.Mapping[str, typing.Any]");
ZELKA_PYTHON_TYPE(Path, "str | bytes | os.PathLike[str] | os.PathLike[bytes]");
ZELKA_PYTHON_TYPE(NamedBytes, "collections.abc.Iterable[tuple[str, bytes]]");
ZELKA_PYTHON_TYPE(Graph, "zelka.ir.Graph");
ZELKA_PYTHON_TYPE(Node, "zelka.ir.Node");
ZELKA_PYTHON_TYPE(ShapeOrNone, "tuple[int, ...] | None");
ZELKA_PYTHON_TYPE(Input,
                  "numpy.typing.ArrayLike | collections.abc.Mapping[str, numpy.typing.ArrayLike]");
ZELKA_PYTHON_TYPE(Inputs, "collections.abc.Mapping[str, numpy.typing.ArrayLike]");
ZELKA_PYTHON_TYPE(Stimuli,
                  "collections.abc.Mapping[str, numpy.typing.ArrayLike] | "
                  "zelka.backend.cpu.simulator.PerStep");
ZELKA_PYTHON_TYPE(Records, "str | collections.abc.Iterable[str]");
ZELKA_PYTHON_TYPE(SimulationResult, "zelka.backend.cpu.simulator.SimulationResult");
ZELKA_PYTHON_TYPE(BatchSimulationResult, "zelka.backend.cpu.simulator.BatchSimulationResult");
ZELKA_PYTHON_TYPE(RunResult, "zelka.backend.run.RunResult");
ZELKA_PYTHON_TYPE(ProfileResult, "zelka.backend.cpu.profiler.ProfileResult");
ZELKA_PYTHON_TYPE(CompileConfig, "zelka.backend.config.CompileConfig");
ZELKA_PYTHON_TYPE(BitstreamConfig, "zelka.backend.fpga.hlsbridge.BitstreamConfig");
ZELKA_PYTHON_TYPE(VexalConfig, "zelka.backend.fpga.vexal.VexalConfig");
ZELKA_PYTHON_TYPE(ValidationResult, "zelka.backend.config.ValidationResult");
ZELKA_PYTHON_TYPE(BackendCapabilities, "zelka.backend.config.BackendCapabilities");
ZELKA_PYTHON_TYPE(HardwareDescriptor, "zelka.backend.config.HardwareDescriptor");
ZELKA_PYTHON_TYPE(HardwareSpec, "zelka.graph.HardwareSpec");

#undef ZELKA_PYTHON_TYPE

}  // namespace python_type

template <typename Type>
using Arg = nb::typed<nb::handle, Type>;

template <typename Type>
using Returns = nb::typed<nb::object, Type>;

}  // namespace zelka::host

// The names above are only ever read through nb::typed, whose caster is that of nb::handle or
// nb::object: a name needs no conversion of its own.
template <typename Type>
struct nanobind::detail::type_caster<
    Type, nanobind::detail::enable_if_t<std::is_base_of_v<zelka::host::python_type::Named, Type>>> {
  static constexpr auto Name = Type::Name;
};
