"""The compiled functions declare the Python types of their parameters: the signatures (and so the
stubs) state them, while every argument, None included, still reaches the functions' own checks
and their messages."""

import ast
import importlib.util
import pathlib

import pytest

from zelka import _convert, _io
from zelka.backend.cpu._saturate import saturate
from zelka.backend.cpu.profiler import CPUProfiler, get_energy_preset
from zelka.backend.cpu.simulator import CPUBackend
from zelka.backend.fpga import cfgsmith, hlsbridge, rtl, vexal
from zelka.backend.fpga.hlsbridge import HlsBridge
from zelka.backend.fpga.vexal import VexalConfig
from zelka.backend.run import run

PACKAGE = pathlib.Path(importlib.util.find_spec("zelka").origin).parent
PATH = "str | bytes | os.PathLike[str] | os.PathLike[bytes]"
INPUTS = "collections.abc.Mapping[str, numpy.typing.ArrayLike]"


def signature_line(function):
    return function.__doc__.splitlines()[0]


@pytest.mark.parametrize(
    ("function", "expected"),
    [
        (run, "run(graph: zelka.ir.Graph, input_data: numpy.typing.ArrayLike | " + INPUTS + " | None = None, "
              "timesteps: int = 1, backend: str = 'cpu', profile: bool = True, energy_per_mac_pj: float = 0.9, "
              "energy_per_spike_pj: float = 0.1, energy_per_sram_read_pj: float = 5.0, *, activity: bool = False) -> zelka.backend.run.RunResult"),
        (CPUBackend.simulate_batch, "simulate_batch(self, graph: zelka.ir.Graph, input_data: " + INPUTS + " | "
              "zelka.backend.cpu.simulator.PerStep, n_steps: int = 1, *, workers: int | None = None, "
              "record: str | collections.abc.Iterable[str] = (), progress: bool = False, "
              "activity: bool = False) -> zelka.backend.cpu.simulator.BatchSimulationResult"),
        (CPUProfiler.profile, "profile(self, graph: zelka.ir.Graph, input_data: " + INPUTS + " | None = None, "
              "n_steps: int = 1) -> zelka.backend.cpu.profiler.ProfileResult"),
        (rtl.simulate_rtl, "simulate_rtl(project_dir: " + PATH + ", inputs: " + INPUTS + " | "
              "zelka.backend.cpu.simulator.PerStep | None = None, *, n_steps: int | None = None, runs: int = 1, "
              "build_timeout: float | None = 600.0, run_timeout: float | None = 600.0) -> dict[str, typing.Any]"),
        (hlsbridge.csim, "csim(project_dir: " + PATH + ", inputs: " + INPUTS + " | zelka.backend.cpu.simulator.PerStep"
              " | None = None, *, n_steps: int | None = None, build_timeout: float | None = 600.0, "
              "run_timeout: float | None = 600.0) -> dict[str, typing.Any]"),
        (vexal.generate_tcl, ("generate_tcl(config: zelka.backend.fpga.vexal.VexalConfig, "
              "project_name: str = 'myproject') -> str")),
        (CPUProfiler.__init__, ("__init__(self, energy_per_mac_pj: float | None = None, energy_per_spike_pj: float | None "
              "= None, energy_per_sram_read_pj: float | None = None, energy_per_sram_write_pj: float | None = None, "
              "energy_preset: str = 'neuromorphic_int8') -> None")),
        (saturate, "saturate(values: numpy.typing.ArrayLike, precision: str) -> numpy.typing.NDArray[typing.Any]"),
        (VexalConfig.for_board, "for_board(board: str) -> zelka.backend.fpga.vexal.VexalConfig"),
        (_io.load_graph, "load_graph(path: " + PATH + ") -> zelka.ir.Graph"),
        (_io.write_files, "write_files(folder: " + PATH + ", files: collections.abc.Iterable[tuple[str, bytes]]) -> None"),
        (_convert.inclusive_thresholds, ("inclusive_thresholds(strict_thresholds: numpy.typing.ArrayLike) "
              "-> numpy.typing.NDArray[typing.Any]")),
        (HlsBridge.validate, "validate(self, graph: zelka.ir.Graph) -> zelka.backend.config.ValidationResult"),
    ],
)  # fmt: skip
def test_the_signature_declares_the_types_and_the_defaults(function, expected):
    assert signature_line(function) == expected


def test_the_documentation_follows_the_signature_line():
    doc = cfgsmith.generate_parameters_h.__doc__
    first, blank, text = doc.split("\n", 2)
    assert first.startswith("generate_parameters_h(graph: zelka.ir.Graph, default_precision: str = ")
    assert blank == "" and text.startswith("The text of the HLS header parameters.h")


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda: get_energy_preset(None), "Argument 'name' has incorrect type (expected str, got NoneType)"),
        (lambda: get_energy_preset(3), "Argument 'name' has incorrect type (expected str, got int)"),
        (lambda: VexalConfig.for_board(None), "Argument 'board' has incorrect type (expected str, got NoneType)"),
        (lambda: _io.load_graph(None), "Argument 'path' has incorrect type"),
        (lambda: vexal.generate_tcl(None), "Argument 'config' has incorrect type (expected VexalConfig, got NoneType)"),
        (lambda: vexal.generate_tcl("xcu250"), "Argument 'config' has incorrect type (expected VexalConfig, got str)"),
        (lambda: rtl.simulate_rtl(".", runs=None), "Argument 'runs' has incorrect type (expected int, got NoneType)"),
        (lambda: rtl.simulate_rtl(".", runs=2.0), "Argument 'runs' has incorrect type (expected int, got float)"),
        (lambda: rtl.simulate_rtl(None), "Argument 'project_dir' has incorrect type"),
        (lambda: cfgsmith.generate_parameters_h(None, default_precision=None),
         "Argument 'default_precision' has incorrect type (expected str, got NoneType)"),
        (lambda: CPUProfiler().profile(None, n_steps="3"), "Argument 'n_steps' has incorrect type (expected int, got str)"),
        (lambda: CPUBackend().simulate(None, input_data=3), "Argument 'input_data' has incorrect type (expected dict, got int)"),
        (lambda: CPUProfiler(energy_per_mac_pj="1"), "Argument 'energy_per_mac_pj' has incorrect type"),
        (lambda: HlsBridge().compile(None, strategy=None), "Argument 'strategy' has incorrect type (expected str, got NoneType)"),
    ],
)  # fmt: skip
def test_any_argument_reaches_the_checks_of_the_function(call, message):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value).startswith(message)
    assert "incompatible function arguments" not in str(error.value)


def test_the_writers_check_their_arguments_before_the_graph(tmp_path):
    with pytest.raises(
        TypeError, match=r"^Argument 'project_name' has incorrect type \(expected str, got NoneType\)$"
    ):
        rtl.write_rtl_project(None, tmp_path, project_name=None)
    with pytest.raises(
        TypeError, match=r"^Argument 'n_steps' has incorrect type \(expected int, got bool\)$"
    ):
        HlsBridge().write_snn_project(None, tmp_path, n_steps=True)
    assert list(tmp_path.iterdir()) == []


# Parameters that say `object` in a stub: what the function takes is any object.
ANY_OBJECT = {("__eq__", "other")}


def stub_parameters():
    for stub in sorted(PACKAGE.rglob("*.pyi")):
        for node in ast.walk(ast.parse(stub.read_text(encoding="utf-8"))):
            if isinstance(node, ast.FunctionDef):
                arguments = node.args
                for argument in arguments.posonlyargs + arguments.args + arguments.kwonlyargs:
                    if argument.arg not in ("self", "cls"):
                        yield stub.stem, node.name, argument


def test_every_parameter_of_the_public_modules_stubs_has_a_type_narrower_than_object():
    untyped = [
        (module, function, argument.arg)
        for module, function, argument in stub_parameters()
        if not module.startswith("_")
        if not function.startswith("_") or function in ("__init__", "__eq__")
        if argument.annotation is None or "object" in ast.unparse(argument.annotation)
        if (function, argument.arg) not in ANY_OBJECT
    ]
    assert untyped == []


def test_a_parameter_is_optional_in_the_stubs_only_where_none_is_its_default_or_documented():
    optional = {
        (module, function, argument.arg)
        for module, function, argument in stub_parameters()
        if argument.annotation is not None and ast.unparse(argument.annotation).endswith("| None")
    }
    assert ("run", "run", "timesteps") not in optional
    assert ("rtl", "write_rtl_project", "project_name") not in optional
    assert ("rtl", "write_rtl_project", "membrane_precision") in optional
    assert ("hlsbridge", "csim", "build_timeout") in optional
    assert ("simulator", "simulate_batch", "input_data") not in optional
