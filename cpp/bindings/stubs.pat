# The types of the stubs that the bindings' signatures cannot give.  A function bound with
# def_typed or a backend method declares its parameters' and result's Python types
# (host/python_types.hpp), and nanobind's stub generator writes them from its signature; what is
# left here is what has no such signature.  The generator replaces each entry matched here (a
# regular expression searched in the entry's qualified name) with the lines below it.  `\doc`
# keeps the entry's docstring, `\from` adds an import.  Defaults that the C++ states once are
# written `...` here; the docstrings and the runtime signatures carry their values.

# ---- imports ---------------------------------------------------------------------------------
# Those of the entries below; the generated signatures name their types with their modules.

zelka\.backend\.cpu\.simulator\.__prefix__$:
    \from zelka.activity import Activity
    \from collections.abc import Mapping
    \from typing import Any
    \from numpy import bool_, int64
    \from numpy.typing import ArrayLike, NDArray

zelka\.backend\.cpu\.profiler\.__prefix__$:
    \from typing import Any

zelka\.backend\.run\.__prefix__$:
    \from zelka.activity import Activity
    \from typing import Any
    \from numpy.typing import NDArray
    \from zelka.backend.cpu.profiler import ProfileResult

zelka\._ir\.__prefix__$:
    \from collections.abc import Iterable

# ---- record fields (shared names first) ------------------------------------------------------
# A record class is made by bind_record from its layout: its fields are Python objects in slots
# and its __init__ takes them as given, so no C++ type declares what a field holds.

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

\.(Batch)?SimulationResult\.activity$|\.RunResult\.activity$:
    activity: Activity | None

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

# ---- module functions and values -------------------------------------------------------------

# A private name, which the generator leaves out of a stub unless an entry names it;
# zelka.distributed calls it.
\.simulator\._count_argument$:
    def _count_argument(value: object, name: str) -> int:
        \doc

# Module values: the generator sees only their class.
\.profiler\.ENERGY_PRESETS$:
    ENERGY_PRESETS: dict[str, dict[str, Any]]
    """Preset name -> mac_pj, spike_pj, sram_read_pj, sram_write_pj (pJ per operation) and description."""

\.profiler\.ACCUMULATE_PJ$:
    ACCUMULATE_PJ: dict[str, float]
    """Preset name -> the energy of an accumulate (a synaptic operation) in pJ: mac_pj x 0.9 / (3.7 + 0.9)."""

\.vexal\.VEXAL_PARTS$:
    VEXAL_PARTS: dict[str, str]
    """Board name -> the part number of its FPGA."""

\.vexal\.VEXAL_RESOURCES$:
    VEXAL_RESOURCES: dict[str, dict[str, int]]
    """Part number -> its resources (luts, ffs, bram36, bram_bytes, dsp48, ultraram)."""

# nanobind refuses None for `names` before the call, as it always has; def_typed would pass it.
\._ir\.stable_order$:
    def stable_order(names: list[str], edges: Iterable[tuple[str, str]]) -> tuple[list[str], dict[str, list[str]], bool]:
        \doc

\._ir\.build_execution_context$:
    \from zelka.ir import Graph
    def build_execution_context(graph: Graph) -> tuple[list[str], dict[str, list[str]], bool]:
        \doc

# The records' comparison and pattern matching.
\.__eq__$:
    def __eq__(self, other: object, /) -> bool: ...

\.__hash__$:
    \from typing import ClassVar
    __hash__: ClassVar[None]  # type: ignore[assignment]

\.__match_args__$:
    __match_args__: tuple[str, ...]
