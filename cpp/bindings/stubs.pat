# The types of the compiled modules' stubs.  The bindings take and return Python objects, whose
# generated signatures say `object`; nanobind's stub generator replaces each entry matched here
# (a regular expression searched in the entry's qualified name) with the lines below it.  `\doc`
# keeps the entry's docstring, `\from` adds an import.  Defaults that the C++ states once (the
# FPGA precision, board, part and clock period, the energy preset and run's coefficients) are
# written `...` here; the docstrings and the runtime signatures carry their values.

# ---- imports ---------------------------------------------------------------------------------

zelka\.backend\.cpu\.simulator\.__prefix__$:
    \from collections.abc import Iterable, Mapping
    \from typing import Any
    \from numpy import bool_, int64
    \from numpy.typing import ArrayLike, NDArray
    \from zelka.backend.config import BackendCapabilities, CompileConfig, HardwareDescriptor, ValidationResult
    \from zelka.backend.cpu.profiler import ProfileResult
    \from zelka.graph import HardwareSpec
    \from zelka.ir import Graph

zelka\.backend\.cpu\.profiler\.__prefix__$:
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy.typing import ArrayLike
    \from zelka.ir import Graph

zelka\.backend\.run\.__prefix__$:
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy.typing import ArrayLike, NDArray
    \from zelka.backend.cpu.profiler import ProfileResult
    \from zelka.ir import Graph

zelka\.backend\.fpga\.(cfgsmith|vexal)\.__prefix__$:
    \import os
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy.typing import ArrayLike
    \from zelka.backend.config import BackendCapabilities, HardwareDescriptor, ValidationResult
    \from zelka.graph import HardwareSpec
    \from zelka.ir import Graph

zelka\.backend\.fpga\.hlsbridge\.__prefix__$:
    \import os
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy.typing import ArrayLike
    \from zelka.backend.config import BackendCapabilities, HardwareDescriptor, ValidationResult
    \from zelka.backend.cpu.simulator import PerStep
    \from zelka.graph import HardwareSpec
    \from zelka.ir import Graph

zelka\.backend\.fpga\.rtl\.__prefix__$:
    \import os
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy.typing import ArrayLike
    \from zelka.ir import Graph

zelka\.backend\.cpu\._saturate\.__prefix__$:
    \from typing import Any
    \from numpy.typing import ArrayLike, NDArray

zelka\._ir\.__prefix__$:
    \from collections.abc import Iterable

# ---- record fields (shared names first) ------------------------------------------------------

\.(Batch)?SimulationResult\.outputs$|\.RunResult\.outputs$:
    outputs: dict[str, NDArray[Any]]

\.timesteps_run$:
    timesteps_run: int

\.SimulationResult\.outputs_valid$:
    outputs_valid: bool

\.SimulationResult\.node_states$:
    node_states: list[dict[str, NDArray[Any]]]

\.(SimulationResult|ProfileResult|RunResult)\.spike_counts$:
    spike_counts: dict[str, int]

\.(SimulationResult|RunResult)\.errors$:
    errors: list[str]

\.BatchSimulationResult\.outputs_valid$:
    outputs_valid: NDArray[bool_]

\.BatchSimulationResult\.spike_counts$:
    spike_counts: dict[str, NDArray[int64]]

\.BatchSimulationResult\.spike_trains$:
    spike_trains: dict[str, NDArray[bool_]]

\.BatchSimulationResult\.errors$:
    errors: list[list[str]]

\.BatchSimulationResult\.membranes$:
    membranes: dict[str, NDArray[Any]]

\.PerStep\.inputs$:
    inputs: Mapping[str, ArrayLike]

\.PerStep\.__init__$:
    def __init__(self, inputs: Mapping[str, ArrayLike] = ...) -> None: ...

\.(total_latency_us|energy_estimate_uj|mac_energy_uj|spike_energy_uj|sram_energy_uj)$:
    \1: float

\.(per_node_latency|per_layer_energy_uj|neuron_utilization)$:
    \1: dict[str, float]

\.(peak_memory_bytes|weight_memory_bytes|state_memory_bytes|total_sram_accesses|mac_ops)$:
    \1: int

\.(per_core_latency|per_core_energy)$:
    \1: dict[int, float]

\.ProfileResult\.energy_preset$:
    energy_preset: str

\.RunResult\.profile$:
    profile: ProfileResult | None

\.BitstreamConfig\.(csim|synth|cosim|export|vsynth|bitfile)$:
    \1: bool

\.BitstreamConfig\.__init__$:
    def __init__(self, csim: bool = ..., synth: bool = ..., cosim: bool = ..., export: bool = ..., vsynth: bool = ..., bitfile: bool = ...) -> None: ...

\.VexalConfig\.part$:
    part: str

\.VexalConfig\.(clock_period_ns|clock_uncertainty_pct)$:
    \1: float

\.VexalConfig\.__init__$:
    def __init__(self, part: str = ..., clock_period_ns: float = ..., clock_uncertainty_pct: float = ...) -> None: ...

\.VexalConfig\.resources$:
    @property
    def resources(self) -> dict[str, int]:
        \doc

\.VexalConfig\.for_board$:
    @staticmethod
    def for_board(board: str) -> VexalConfig:
        \doc

# ---- the backends' methods -------------------------------------------------------------------

\.(CPUBackend|HlsBridge)\.validate$:
    def validate(self, graph: Graph) -> ValidationResult:
        \doc

\.(CPUBackend|HlsBridge)\.get_capabilities$:
    def get_capabilities(self) -> BackendCapabilities:
        \doc

\.(CPUBackend|HlsBridge)\.get_constraints$:
    def get_constraints(self) -> HardwareSpec:
        \doc

\.CPUBackend\.simulate$:
    def simulate(self, graph: Graph, input_data: Mapping[str, ArrayLike] | None = None, n_steps: int = 1, step_by_step: bool = False) -> SimulationResult:
        \doc

\.CPUBackend\.simulate_batch$:
    def simulate_batch(self, graph: Graph, input_data: Mapping[str, ArrayLike] | PerStep, n_steps: int = 1, *, workers: int | None = None, record: str | Iterable[str] = (), progress: bool = False) -> BatchSimulationResult:
        \doc

\.CPUBackend\.compile$:
    def compile(self, graph: Graph, config: CompileConfig | None = None) -> HardwareDescriptor:
        \doc

\.CPUBackend\.profile$:
    def profile(self, graph: Graph, input_data: Mapping[str, ArrayLike] | None = None, n_steps: int = 1, energy_preset: str = ..., energy_per_mac_pj: float | None = None, energy_per_spike_pj: float | None = None, energy_per_sram_read_pj: float | None = None, energy_per_sram_write_pj: float | None = None) -> ProfileResult:
        \doc

\.HlsBridge\.compile$:
    def compile(self, graph: Graph, config: Any = None, output_dir: str = 'hls4ml_project', project_name: str = 'myproject', part: str = ..., clock_period: float = ..., io_type: str = 'io_stream', default_precision: str = ..., default_reuse_factor: int = 1, strategy: str = 'Latency', bitstream_config: BitstreamConfig | None = None) -> HardwareDescriptor:
        \doc

\.HlsBridge\.build_bitstream$:
    def build_bitstream(self, graph: Graph, output_dir: str = 'hls4ml_project', project_name: str = 'myproject', part: str = ..., clock_period: float = ..., io_type: str = 'io_stream', default_precision: str = ..., default_reuse_factor: int = 1, strategy: str = 'Latency', bitstream_config: BitstreamConfig | None = None, write_to_disk: bool = False, pytorch_model: Any = None) -> dict[str, Any]:
        \doc

\.HlsBridge\.write_snn_project$:
    def write_snn_project(self, graph: Graph, output_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], project_name: str = 'myproject', *, precision: str = ..., membrane_precision: str | None = None, reuse_factor: int = 1, strategy: str = 'Latency', input_data: Mapping[str, ArrayLike] | None = None, n_steps: int = 100, board: str = ..., clock_period: float = ..., calibration: Mapping[str, ArrayLike] | PerStep | None = None) -> dict[str, Any]:
        \doc

# ---- module functions and values -------------------------------------------------------------

zelka\.backend\.run\.run$:
    def run(graph: Graph, input_data: ArrayLike | Mapping[str, ArrayLike] | None = None, timesteps: int = 1, backend: str = 'cpu', profile: bool = True, energy_per_mac_pj: float = ..., energy_per_spike_pj: float = ..., energy_per_sram_read_pj: float = ...) -> RunResult:
        \doc

\.CPUProfiler\.__init__$:
    def __init__(self, energy_per_mac_pj: float | None = None, energy_per_spike_pj: float | None = None, energy_per_sram_read_pj: float | None = None, energy_per_sram_write_pj: float | None = None, energy_preset: str = ...) -> None: ...

\.CPUProfiler\.profile$:
    def profile(self, graph: Graph, input_data: Mapping[str, ArrayLike] | None = None, n_steps: int = 1) -> ProfileResult:
        \doc

\.simulator\._count_argument$:
    def _count_argument(value: object, name: str) -> int:
        \doc

\.profiler\.ENERGY_PRESETS$:
    ENERGY_PRESETS: dict[str, dict[str, Any]]

\.profiler\.get_energy_preset$:
    def get_energy_preset(name: str) -> dict[str, Any]:
        \doc

\.cfgsmith\.ir_to_hls4ml_config$:
    def ir_to_hls4ml_config(graph: Graph, output_dir: str = 'hls4ml_project', project_name: str = 'myproject', part: str = ..., clock_period: float = ..., io_type: str = 'io_stream', default_precision: str = ..., default_reuse_factor: int = 1, strategy: str = 'Latency') -> dict[str, Any]:
        \doc

\.cfgsmith\.generate_parameters_h$:
    def generate_parameters_h(graph: Graph, default_precision: str = ..., default_reuse_factor: int = 1, io_type: str = 'io_parallel') -> str:
        \doc

\.hlsbridge\.generate_build_script$:
    def generate_build_script(hls_config: Mapping[str, Any], bitstream_config: BitstreamConfig, project_name: str = 'myproject') -> str:
        \doc

\.hlsbridge\.csim$:
    def csim(project_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], inputs: Mapping[str, ArrayLike] | PerStep | None = None, *, n_steps: int | None = None, build_timeout: float | None = 600.0, run_timeout: float | None = 600.0) -> dict[str, Any]:
        \doc

\.rtl\.write_rtl_project$:
    def write_rtl_project(graph: Graph, output_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], project_name: str = 'myproject', *, precision: str = ..., membrane_precision: str | None = None, parallelism: int = 1, input_data: Mapping[str, ArrayLike] | None = None, n_steps: int = 100, target: str = 'ecp5-85f') -> dict[str, Any]:
        \doc

\.rtl\.simulate_rtl$:
    def simulate_rtl(project_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], *, runs: int = 1, build_timeout: float | None = 600.0, run_timeout: float | None = 600.0) -> dict[str, Any]:
        \doc

\.rtl\.synthesize$:
    def synthesize(project_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], target: str = 'ecp5-85f', *, board: str | None = None, timeout: float | None = 3600.0) -> dict[str, Any]:
        \doc

\.rtl\.place_and_route$:
    def place_and_route(project_dir: str | bytes | os.PathLike[str] | os.PathLike[bytes], target: str = 'ecp5-85f', clock_mhz: float = 50.0, *, timeout: float | None = 3600.0) -> dict[str, Any]:
        \doc

\.vexal\.VEXAL_PARTS$:
    VEXAL_PARTS: dict[str, str]

\.vexal\.VEXAL_RESOURCES$:
    VEXAL_RESOURCES: dict[str, dict[str, int]]

\.vexal\.generate_tcl$:
    def generate_tcl(config: VexalConfig, project_name: str = 'myproject') -> str:
        \doc

\._saturate\.saturate$:
    def saturate(values: ArrayLike, precision: str) -> NDArray[Any]:
        \doc

\._ir\.stable_order$:
    def stable_order(names: list[str], edges: Iterable[tuple[str, str]]) -> tuple[list[str], dict[str, list[str]], bool]:
        \doc

# The records' comparison and pattern matching.
\.__eq__$:
    def __eq__(self, other: object, /) -> bool: ...

\.__hash__$:
    \from typing import ClassVar
    __hash__: ClassVar[None]  # type: ignore[assignment]

\.__match_args__$:
    __match_args__: tuple[str, ...]
