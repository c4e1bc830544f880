"""The analytical profiler: energy presets, the ProfileResult record and its report, and
CPUProfiler.profile against the numpy transcription in tests/oracle/profiler.py."""

import dataclasses
import gc
import math
import pickle

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from tests.agreement import profile_both
from tests.graphs import F32, dyadic, random_graph
from tests.oracle import profiler as reference
from zelka import ir
from zelka.backend.cpu import profiler as prof
from zelka.backend.cpu.profiler import (
    DEFAULT_ENERGY_PRESET,
    ENERGY_PRESETS,
    CPUProfiler,
    ProfileResult,
    get_energy_preset,
)
from zelka.ir import LIF, Affine, Graph, Input, Output

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")

AVAILABLE = "28nm_cmos, 45nm_cmos, neuromorphic_int8, vexal_7020, vexal_us_plus, zcu102"


# ---- energy presets ------------------------------------------------------------------------


def test_the_preset_table():
    assert DEFAULT_ENERGY_PRESET == "neuromorphic_int8"
    table = {
        "45nm_cmos": (0.9, 0.1, 5.0, 5.0, "Standard 45 nm CMOS process (Velloran 2014)"),
        "28nm_cmos": (0.5, 0.06, 2.5, 2.5, "28 nm CMOS process"),
        "neuromorphic_int8": (4.6, 0.9, 5.0, 5.0, "Representative INT8 neuromorphic accelerator"),
        "vexal_us_plus": (
            3.2, 0.7, 4.0, 4.0,
            "Vexal UltraScale+ XCZU9EG on ZCU102 (16 nm FinFET, 274K LUTs, 2520 DSP48, 32.1 Mb BRAM)",
        ),
        "zcu102": (3.2, 0.7, 4.0, 4.0, "Alias for vexal_us_plus (XCZU9EG-2FFVB1156 on ZCU102)"),
        "vexal_7020": (6.5, 1.2, 8.0, 8.0, "Xilinx Vexal-7020 FPGA (28 nm)"),
    }  # fmt: skip
    assert list(ENERGY_PRESETS) == list(table)
    keys = ["mac_pj", "spike_pj", "sram_read_pj", "sram_write_pj", "description"]
    for name, values in table.items():
        entry = ENERGY_PRESETS[name]
        assert list(entry) == keys and list(entry.values()) == list(values)
        assert all(type(entry[k]) is float for k in keys[:4])
    assert ENERGY_PRESETS["zcu102"] is not ENERGY_PRESETS["vexal_us_plus"]


def test_lookups_return_copies():
    preset = get_energy_preset("zcu102")
    assert preset == ENERGY_PRESETS["zcu102"] and preset is not ENERGY_PRESETS["zcu102"]
    preset["mac_pj"] = 99.0
    assert get_energy_preset("zcu102")["mac_pj"] == 3.2
    us_plus = get_energy_preset("vexal_us_plus")
    assert {k: v for k, v in us_plus.items() if k != "description"} == {
        k: v for k, v in preset.items() if k not in ("description", "mac_pj")
    } | {"mac_pj": 3.2}
    assert us_plus["description"] != preset["description"]
    default = get_energy_preset(DEFAULT_ENERGY_PRESET)
    assert [default[k] for k in ("mac_pj", "spike_pj", "sram_read_pj", "sram_write_pj")] == [
        4.6,
        0.9,
        5.0,
        5.0,
    ]


@pytest.mark.parametrize("name", ["ZCU102", "", " zcu102", "\ud800"])
def test_unknown_presets_name_the_available_ones(name):
    with pytest.raises(KeyError) as info:
        get_energy_preset(name)
    assert info.value.args == (f"Unknown energy preset '{name}'. Available: {AVAILABLE}",)
    with pytest.raises(KeyError) as info:
        CPUProfiler(1, 1, 1, 1, name)
    assert info.value.args[0].endswith(AVAILABLE)


def test_preset_names_must_be_text():
    with pytest.raises(TypeError, match=r"^Argument 'name' has incorrect type \(expected str, got int\)$"):
        get_energy_preset(3)


# ---- the record and its report --------------------------------------------------------------

FIELDS = [
    ("total_latency_us", 0.0), ("per_node_latency", {}), ("energy_estimate_uj", 0.0), ("mac_energy_uj", 0.0),
    ("spike_energy_uj", 0.0), ("sram_energy_uj", 0.0), ("per_layer_energy_uj", {}), ("peak_memory_bytes", 0),
    ("weight_memory_bytes", 0), ("state_memory_bytes", 0), ("total_sram_accesses", 0), ("spike_counts", {}),
    ("mac_ops", 0), ("neuron_utilization", {}), ("per_core_latency", {}), ("per_core_energy", {}),
    ("energy_preset", ""),
]  # fmt: skip


def test_profile_result_is_a_plain_record():
    a, b = ProfileResult(), ProfileResult()
    assert [(f, getattr(a, f)) for f, _ in FIELDS] == FIELDS
    assert all(type(getattr(a, f)) is type(v) for f, v in FIELDS)
    for field, default in FIELDS:
        if isinstance(default, dict):
            getattr(a, field)["x"] = 1
            assert getattr(b, field) == {}
    values = [1.5, {"n": 2.0}, 3.0, 1.0, 1.0, 1.0, {"n": 3.0}, 10, 4, 6, 12, {"lif": 7}, 100, {"lif": 0.5},
              {0: 2.0}, {0: 3.0}, "zcu102"]  # fmt: skip
    c = ProfileResult(*values[:5], **{f: v for (f, _), v in zip(FIELDS[5:], values[5:])})
    assert [getattr(c, f) for f, _ in FIELDS] == values
    assert c == ProfileResult(*values) and c != ProfileResult() and pickle.loads(pickle.dumps(c)) == c
    assert repr(c).startswith("ProfileResult(total_latency_us=1.5, per_node_latency={'n': 2.0}, ")
    assert repr(c).endswith("energy_preset='zcu102')")
    with pytest.raises(TypeError, match="takes at most 17 positional arguments"):
        ProfileResult(*range(18))
    # fields take their defaults when first read; a collection meanwhile walks the others
    d = ProfileResult(mac_ops=5)
    gc.collect()
    assert d.mac_ops == 5 and d.spike_counts == {} and d.spike_counts is not b.spike_counts
    assert d == ProfileResult(*[5 if f == "mac_ops" else v for f, v in FIELDS])


def report_lines(**fields):
    record = ProfileResult(**fields)
    text = record.summary()
    assert text == reference.summary(record)
    return text.split("\n")


def test_the_report_of_an_empty_record():
    lines = report_lines()
    assert len(lines) == 20 and lines[0] == "=" * 60 and lines[8] == "-" * 60
    assert lines[1] == "  ZELKA Energy Profile (ESTIMATED)"
    assert lines[3] == "  Preset:               custom" and lines[4] == "  Total energy:         0.0000 uJ"
    assert lines[9] == "  MAC operations:       0" and lines[10] == "  Total spikes:         0"
    assert lines[16] == "  Latency:              0.0 us"
    assert lines[-2] == "  NOTE: All energy values are analytical estimates."
    assert all(len(line[:24]) == 24 and line[23] == " " for line in lines[3:17] if not line.startswith("-"))
    assert not ProfileResult().summary().endswith("\n")


def test_the_per_layer_block_shows_the_ten_largest_in_a_stable_order():
    energies = {f"layer{i}": float(i % 5) for i in range(12)}  # ties: equal energies keep insertion order
    energies["a_name_of_thirty_five_characters_xx"] = 2.5
    lines = report_lines(per_layer_energy_uj=energies, energy_preset="zcu102", mac_ops=12345678)
    assert len(lines) == 22 + 10 and lines[3] == "  Preset:               zcu102"
    assert lines[9] == "  MAC operations:       12,345,678"
    layers = [line.split()[0] for line in lines[19:29]]
    assert layers == ["layer4", "layer9", "layer3", "layer8", "a_name_of_thirty_five_characters_xx", "layer2",
                      "layer7", "layer1", "layer6", "layer11"]  # fmt: skip
    assert "    a_name_of_thirty_five_characters_xx 2.5000 uJ" in lines
    assert "    layer4" + " " * 24 + " 4.0000 uJ" in lines


def test_report_numbers_use_pythons_formats():
    lines = report_lines(
        energy_estimate_uj=1234.56789, total_latency_us=1234.56, spike_counts={"a": 10**6, "b": 1}
    )
    assert (
        lines[4] == "  Total energy:         1,234.5679 uJ"
        and lines[16] == "  Latency:              1,234.6 us"
    )
    assert lines[10] == "  Total spikes:         1,000,001"


finite_or_not = st.floats(allow_nan=True, allow_infinity=True) | st.sampled_from(
    [0.0, -0.0, 5e-5, -5e-5, 0.00005, 1e16, 123456789.123456, 1e300, -1e-300, 2.0**70]
)
integers = st.integers() | st.integers(-(2**200), 2**200) | st.sampled_from([0, -1, 999, 1000, -1000, 10**20])


@settings(max_examples=400, deadline=None)
@given(energy=finite_or_not, latency=finite_or_not, count=integers, layer=finite_or_not)
def test_number_formats_agree_with_python_on_any_value(energy, latency, count, layer):
    report_lines(
        energy_estimate_uj=energy, mac_energy_uj=-energy, total_latency_us=latency, mac_ops=count,
        total_sram_accesses=-count, peak_memory_bytes=count * 7, per_layer_energy_uj={"n": layer, "m": energy},
    )  # fmt: skip


@pytest.mark.parametrize(
    "fields",
    [
        {"mac_ops": 2.5, "energy_estimate_uj": 3, "total_latency_us": np.float32(2.5)},
        {"weight_memory_bytes": np.int64(123456), "energy_preset": 7, "spike_counts": {"a": True}},
        {"per_layer_energy_uj": {"é" * 3: np.float64(1.0), 5: 2.0, "\ud800": 0.5}},
    ],
)
def test_other_values_are_formatted_by_the_host(fields):
    report_lines(**fields)


def test_values_that_cannot_take_the_format_raise_the_hosts_error():
    with pytest.raises(ValueError):
        ProfileResult(mac_ops="many").summary()
    with pytest.raises(TypeError):
        ProfileResult(energy_estimate_uj=None).summary()


# ---- the profiler ---------------------------------------------------------------------------


def test_constructor_rules():
    p = CPUProfiler()
    assert (p.energy_per_mac_pj, p.energy_per_spike_pj, p.energy_per_sram_read_pj, p.energy_per_sram_write_pj) == (
        4.6, 0.9, 5.0, 5.0)  # fmt: skip
    p = CPUProfiler(energy_per_mac_pj=2)
    assert type(p.energy_per_mac_pj) is float and p.energy_per_mac_pj == 2.0
    assert p.energy_per_spike_pj == 0.9 and p._preset_name == "neuromorphic_int8"
    p = CPUProfiler(1, np.float32(0.5), True, 7, "45nm_cmos")
    assert (p.energy_per_mac_pj, p.energy_per_spike_pj, p.energy_per_sram_read_pj, p.energy_per_sram_write_pj) == (
        1.0, 0.5, 1.0, 7.0)  # fmt: skip
    assert p._preset_name == "45nm_cmos"
    with pytest.raises(AttributeError):
        p.energy_per_mac_pj = 3.0


# fmt: off
@pytest.mark.parametrize("kwargs, message", [
    ({"energy_per_mac_pj": "1"}, "Argument 'energy_per_mac_pj' has incorrect type (expected float, got str)"),
    ({"energy_per_sram_write_pj": 1j}, "Argument 'energy_per_sram_write_pj' has incorrect type (expected float, got complex)"),
    ({"energy_preset": None}, "Argument 'energy_preset' has incorrect type (expected str, got NoneType)"),
])
def test_constructor_argument_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        CPUProfiler(**kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("kwargs, message", [
    ({"input_data": [1.0]}, "Argument 'input_data' has incorrect type (expected dict, got list)"),
    ({"n_steps": "2"}, "Argument 'n_steps' has incorrect type (expected int, got str)"),
    ({"n_steps": None}, "Argument 'n_steps' has incorrect type (expected int, got NoneType)"),
])
def test_profile_argument_types(kwargs, message):
    with pytest.raises(TypeError) as info:
        CPUProfiler().profile(Graph({}, []), **kwargs)
    assert str(info.value) == message
# fmt: on


def affine_only():
    return Graph.sequential(
        ("in", Input(input_type={"x": (3,)})), ("fc", Affine(np.ones((4, 3)))), ("out", Output())
    )


def test_a_small_affine_run():
    result = profile_both(affine_only(), None, 2)
    assert result.mac_ops == 24 and list(result.per_node_latency) == ["fc"]
    assert result.weight_memory_bytes == 96 and result.state_memory_bytes == 0
    # in (12 bytes) + fc (32) + out (the same 32 again): every entry counts
    assert result.peak_memory_bytes == 12 + 32 + 32 + 96


def test_the_lif_example():
    lif = LIF(2.0, np.ones(3), v_leak=0.0)
    graph = Graph.sequential(("in", Input()), ("lif", lif), ("out", Output()))
    result = profile_both(graph, {"in": np.array([1.5, 0.5, 2.0])}, 2, energy_per_spike_pj=0.9)
    assert result.spike_counts == {"lif": 4}
    assert result.total_sram_accesses == 6 + 6  # 3 neurons read and written in each of 2 steps
    assert result.neuron_utilization == {"lif": 4 / 6}


def test_memory_census_and_mac_rules():
    class Legacy:  # no declared field list: only the named attributes count
        def __init__(self):
            self.weight = np.zeros(100, np.float32)
            self.bias = None
            self.v_threshold = np.zeros(10, np.float32)
            self.extra = np.zeros(1000)

    @dataclasses.dataclass(eq=False)
    class Custom(ir.Node):
        running_mean: object = None
        tau: object = None
        big_weight: object = None
        cheap_weight: object = None
        other_cheap_weight_x: object = None
        cheap_weightless: object = None

    custom = Custom(np.zeros(3), np.zeros(5, np.float32), np.zeros((2, 3, 4)), np.zeros((8, 1, 3, 3)),
                    np.zeros((8, 3, 3)), np.zeros((2, 2, 2, 2)))  # fmt: skip
    graph = Graph([("legacy", Legacy()), ("custom", custom), ("conv", ir.Conv2d(np.zeros((4, 2, 3, 3))))], [])
    result = profile_both(graph, None, 3)
    assert result.state_memory_bytes == 40 + 20
    assert result.weight_memory_bytes == 400 + 24 + 192 + 576 + 576 + 128 + 4 * 2 * 9 * 8
    # big_weight 24, cheap_weight 8*3*3 = 72, cheap_weightless 2*2*2 = 8, conv 72; per step
    assert result.mac_ops == 3 * (24 + 72 + 8 + 72)

    # A second profile reads what changed since the first: an array reshaped in place, a
    # field declared late, a node whose class changed.
    custom.big_weight.shape = (24,)  # one dimension: no longer counted
    Custom.__dataclass_fields__["late_weight"] = dataclasses.field()
    custom.late_weight = np.zeros((5, 7))
    again = profile_both(graph, None, 3)
    assert again.weight_memory_bytes == result.weight_memory_bytes + 280
    assert again.mac_ops == 3 * (72 + 8 + 72 + 35)
    del Custom.__dataclass_fields__["late_weight"]
    del custom.late_weight
    custom.__class__ = type("Plain", (ir.Node,), {})  # no declared fields of its own
    assert profile_both(graph, None, 3).mac_ops == 3 * 72


@pytest.mark.parametrize("n_steps", [0, -3, -(2**70)])
def test_no_step_or_negative_counts(n_steps):
    graph = Graph.sequential(
        ("in", Input()), ("fc", Affine(np.eye(3))), ("lif", LIF(2.0, np.ones(3))), ("out", Output())
    )
    result = profile_both(graph, {"in": np.ones(3)}, n_steps)
    assert result.per_node_latency == {} and result.spike_counts == {} and result.mac_ops == 9 * n_steps
    assert result.neuron_utilization == {"lif": 0.0}


def test_cores_and_their_ids():
    nodes = [("in", Input())]
    for i, core in enumerate([1, 2, 0, 1.9, np.int64(2), True]):
        nodes.append((f"fc{i}", Affine(np.eye(3), core_id=core)))
    graph = Graph.sequential(*nodes, ("out", Output()))
    result = profile_both(graph, {"in": np.ones(3)}, 4)
    assert set(result.per_core_energy) == {0, 1, 2} and list(result.per_core_latency) == [1, 2, 0]
    assert all(type(core) is int for core in result.per_core_energy)


@pytest.mark.parametrize("core", ["a", b"1", 1j, [1]])
def test_core_ids_that_are_not_numbers(core):
    graph = Graph.sequential(("in", Input()), ("fc", Affine(np.eye(3), core_id=core)), ("out", Output()))
    with pytest.raises(TypeError, match=f"^Expected int, got {type(core).__name__}$"):
        CPUProfiler().profile(graph, {"in": np.ones(3)})


def test_failures_are_raised_in_phase_order():
    # The MAC count (a weight without a shape) comes before the LIF check.
    graph = Graph([("fc", Affine([[1.0]])), ("lif", LIF(2.0, 1.0))], [])
    with pytest.raises(AttributeError):
        CPUProfiler().profile(graph)
    with pytest.raises(TypeError, match="LIF node 'lif': v_threshold must be np.ndarray, got float"):
        CPUProfiler().profile(Graph([("lif", LIF(2.0, 1.0))], []))
    # nothing is caught: a failing step raises
    graph = Graph.sequential(("in", Input()), ("fc", Affine(np.ones((2, 3)), np.ones(5))), ("out", Output()))
    profile_both(graph, {"in": np.ones(3)}, 2)


def test_input_nodes_without_data_stay_empty():
    graph = Graph.sequential(("in", Input()), ("relu", ir.ReLU()), ("out", Output()))
    result = profile_both(graph, {}, 3)
    assert result.per_node_latency == {} and result.peak_memory_bytes == 0


def extended_graph(rng):
    """A random graph of the engine tests, plus nodes the profiler counts but the steps pass
    through: convolutions, batch norms, a node without declared fields, and cores."""
    graph, inputs = random_graph(rng)
    names = list(graph.nodes)
    extras = [
        ir.Conv2d(dyadic(rng, (2, 3, 3, 3)), np.zeros(2, F32)),
        ir.Conv1d(dyadic(rng, (2, 1, 3))),
        ir.BatchNorm2d(3, np.zeros(3), np.ones(3), np.ones(3), np.zeros(3)),
        ir.SpikingAffine(dyadic(rng, (3, 4))),
    ]
    for i, node in enumerate(extras):
        if rng.random() < 0.7:
            graph.add(f"x{i}", node, after=names[rng.integers(len(names))])
    for node in graph.nodes.values():
        if hasattr(node, "core_id") and rng.random() < 0.4:
            node.core_id = int(rng.integers(0, 3))
    return graph, inputs


@pytest.mark.parametrize("n_steps", [0, 1, 2, 17, -2])
@pytest.mark.parametrize("seed", range(24))
def test_random_graphs_agree_with_the_transcription(step_path, seed, n_steps):
    graph, inputs = extended_graph(np.random.default_rng(500 + seed))
    preset = list(ENERGY_PRESETS)[seed % len(ENERGY_PRESETS)]
    profile_both(
        graph, inputs if seed % 4 else None, n_steps, energy_preset=preset, energy_per_mac_pj=seed % 3 or None
    )


def test_the_module_surface():
    assert prof.CPUProfiler.__module__ == "zelka.backend.cpu.profiler"
    assert "E = (MACs x mac_pj)" in CPUProfiler.__doc__
    assert ProfileResult.__doc__.startswith("Estimated energy")
    assert math.isclose(CPUProfiler(energy_per_mac_pj=1e-3).energy_per_mac_pj, 1e-3)
