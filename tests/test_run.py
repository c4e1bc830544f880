"""The run entry: backend lookup, validation, input normalisation, energy estimate."""

from types import SimpleNamespace

import numpy as np
import pytest

import zelka.backend.run as run_module
from zelka.backend import registry
from zelka.backend.run import RunResult, run
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU

DEFAULTS = RunResult()
RUN_FIELDS = ["outputs", "spike_counts", "timesteps_run", "total_latency_us", "energy_estimate_uj", "mac_ops"]
RUN_FIELDS += ["peak_memory_bytes", "per_node_latency", "profile"]


def small_graph():
    return Graph.sequential(
        ("in", Input(input_type={"x": (3,)})),
        ("fc", Affine(np.eye(3, dtype=np.float32))),
        ("lif", LIF(tau=2.0, v_threshold=np.full(3, 0.5, np.float32))),
        ("out", Output()),
    )


def assert_only_errors(result, errors):
    assert result.errors == errors
    for field in RUN_FIELDS:
        assert getattr(result, field) == getattr(DEFAULTS, field), field


class FakeBackend:
    """A backend that records its calls and returns canned records."""

    name = "fake"

    def __init__(self, spike_counts, mac_ops=1000, outputs_valid=True):
        self.calls = []
        canned = {"outputs": {"out": np.ones(2)}, "timesteps_run": 7, "errors": ["boom"]}
        self.sim = SimpleNamespace(**canned, spike_counts=spike_counts, outputs_valid=outputs_valid)
        self.prof = SimpleNamespace(
            total_latency_us=12.5, per_node_latency={"fc": 12.5}, mac_ops=mac_ops, peak_memory_bytes=400
        )

    def validate(self, graph):
        self.calls.append("validate")
        return SimpleNamespace(is_valid=True, warnings=["ignored"], unsupported_nodes=[])

    def simulate(self, graph, input_data=None, n_steps=1):
        self.calls.append(("simulate", input_data, n_steps))
        return self.sim

    def profile(self, graph, input_data=None, n_steps=1):
        self.calls.append(("profile", input_data, n_steps))
        return self.prof


def install(monkeypatch, *args, **kwargs):
    backend = FakeBackend(*args, **kwargs)
    monkeypatch.setitem(registry._backends, "fake", backend)
    return backend


def test_defaults_and_documentation():
    assert run_module.DEFAULT_ENERGY_PER_MAC_PJ == 0.9
    assert run_module.DEFAULT_ENERGY_PER_SPIKE_PJ == 0.1
    assert run_module.DEFAULT_ENERGY_PER_SRAM_READ_PJ == 5.0
    assert RunResult.__doc__.startswith("Result of running a ZELKA IR graph.")
    assert "profile: Full ProfileResult if profile=True, else None." in RunResult.__doc__
    assert DEFAULTS.errors == [] and DEFAULTS.profile is None and DEFAULTS.total_latency_us == 0.0


def test_unknown_backend_and_backend_without_simulation(monkeypatch):
    assert_only_errors(run(small_graph(), backend="nosuch"), ["Backend 'nosuch' not found"])
    no_sim = SimpleNamespace(name="fpga", validate=lambda g: pytest.fail("validated"), simulate=None)
    monkeypatch.setitem(registry._backends, "fpga", no_sim)
    assert_only_errors(
        run(small_graph(), backend="fpga"), ["Backend 'fpga' does not support simulation. Use backend='cpu'."]
    )


def test_invalid_graphs_report_warnings_then_the_missing_nodes():
    g = Graph({"a": ReLU()}, [("x", "a")])
    assert_only_errors(run(g), ["Edge references missing node: x", "Validation failed: ['x']"])
    assert_only_errors(run(Graph()), ["Graph has no nodes", "Graph has no edges", "Validation failed: []"])
    bad_edge = Graph({"in": Input(), "out": Output()}, [("in", "out", "x")])
    assert_only_errors(
        run(bad_edge), ["Edge ('in', 'out', 'x') must be a (src, dst) pair", "Validation failed: []"]
    )


@pytest.mark.parametrize("where", ["instance", "class"])
def test_a_replaced_validate_of_the_cpu_backend_is_the_one_run_asks(monkeypatch, where):
    backend = registry.get_backend("cpu")
    calls = []

    def refuse(*args):
        calls.append(args[-1])
        return SimpleNamespace(is_valid=False, warnings=["replaced"], unsupported_nodes=["z"])

    graph = small_graph()
    # (monkeypatch would put the bound method back on the instance: the replacement on the
    # instance is removed by hand)
    if where == "instance":
        backend.validate = refuse
    else:
        monkeypatch.setattr(type(backend), "validate", refuse)
    try:
        assert backend._passes_validation(graph) is False
        assert_only_errors(run(graph, np.ones(2)), ["replaced", "Validation failed: ['z']"])
        assert calls == [graph]
    finally:
        if where == "instance":
            del backend.validate
        monkeypatch.undo()
    assert "validate" not in vars(backend) and backend._passes_validation(graph) is True
    assert run(graph, np.ones(2)).errors == []


@pytest.mark.parametrize("inputs", [0, 2])
def test_a_single_array_needs_exactly_one_input_node(inputs):
    nodes = [(f"in{i}", Input(input_type={"x": (2,)})) for i in range(inputs)] + [("out", Output())]
    g = Graph(nodes, [(n, "out") for n, _ in nodes[:-1]] or [("out", "out")])
    assert_only_errors(
        run(g, np.zeros(2)), ["Single array provided but graph has multiple Input nodes; use dict"]
    )


def test_inputs_are_normalised_before_simulation(monkeypatch):
    fake = install(monkeypatch, {})
    g = Graph({"in": Input(input_type={"p": np.array([3])}), "other": ReLU()}, [("in", "other")])
    run(g, backend="fake", timesteps=2.5)
    _, inputs, n_steps = fake.calls[1]
    assert list(inputs) == ["in"] and inputs["in"].dtype == np.float32 and inputs["in"].shape == (3,)
    assert n_steps == 2
    x = np.arange(3.0)
    run(g, x, backend="fake")
    assert fake.calls[-2][1] == {"in": x} and fake.calls[-2][1]["in"] is x
    given = {"anything": 1}
    run(g, given, backend="fake")
    assert fake.calls[-2][1] is given and fake.calls[-1][1] is given  # profile sees the same map


CUSTOM = {"energy_per_mac_pj": 2, "energy_per_spike_pj": 0, "energy_per_sram_read_pj": 4}


# fmt: off
@pytest.mark.parametrize("spikes, mac_ops, coefficients, energy_pj", [
    ({"a": 20, "b": 30}, 1000, {}, 1000 * 0.9 + 50 * 0.1 + 400 * 5.0 / 4),
    ({"a": 20, "b": 30}, 1000, CUSTOM, 1000 * 2 + 50 * 0 + 400 * 4 / 4),
    ({}, 0, {}, 400 * 5.0 / 4),
])
def test_energy_estimate_uses_the_run_coefficients(monkeypatch, spikes, mac_ops, coefficients, energy_pj):
    fake = install(monkeypatch, spikes, mac_ops)
    result = run(small_graph(), backend="fake", **coefficients)
    assert result.errors == []
    assert result.outputs is fake.sim.outputs and result.spike_counts is fake.sim.spike_counts
    assert result.timesteps_run == 7 and result.profile is fake.prof
    assert result.per_node_latency is fake.prof.per_node_latency
    assert (result.total_latency_us, result.mac_ops, result.peak_memory_bytes) == (12.5, mac_ops, 400)
    assert result.energy_estimate_uj == pytest.approx(energy_pj / 1e6, rel=1e-12)
# fmt: on


def test_profile_off_or_failed_simulation_skip_profiling(monkeypatch):
    install(monkeypatch, {"a": 1})
    result = run(small_graph(), backend="fake", profile=0)
    assert result.profile is None and result.energy_estimate_uj == 0.0 and result.mac_ops == 0
    assert result.timesteps_run == 7
    failing = install(monkeypatch, {"a": 1}, outputs_valid=False)
    result = run(small_graph(), backend="fake")
    assert result.errors == ["boom"] and result.timesteps_run == 7 and result.profile is None
    assert [c[0] for c in failing.calls[1:]] == ["simulate"]


# fmt: off
@pytest.mark.parametrize("argument, value, expected", [
    ("timesteps", "3", "int"), ("timesteps", None, "int"),
    ("backend", 1, "str"), ("energy_per_mac_pj", "x", "float"),
])
def test_argument_types_are_checked_before_anything_runs(argument, value, expected):
    with pytest.raises(TypeError) as info:
        run(small_graph(), **{"backend": "nosuch", argument: value})
    got = type(value).__name__
    assert str(info.value) == f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"
# fmt: on


def test_cpu_run_end_to_end():
    x = np.array([1.0, 0.2, 0.6], np.float32)
    result = run(small_graph(), x, 3, "cpu", False)
    assert result.errors == [] and result.timesteps_run == 3
    assert result.spike_counts == {"lif": 6}
    assert result.outputs["out"].tolist() == [1.0, 0.0, 1.0]
    bad = small_graph()
    bad.nodes["fc"].bias = np.zeros(5)
    result = run(bad, x)
    assert result.errors and "broadcast" in result.errors[0]
    assert result.outputs == {} and result.timesteps_run == 0


def test_cpu_run_fills_the_profile_fields():
    x = np.array([1.0, 0.2, 0.6], np.float32)
    result = run(small_graph(), x, 5, energy_per_mac_pj=2.0)
    prof = result.profile
    assert type(prof).__name__ == "ProfileResult" and prof.energy_preset == "neuromorphic_int8"
    assert result.per_node_latency is prof.per_node_latency and list(prof.per_node_latency) == ["fc", "lif"]
    assert (result.total_latency_us, result.mac_ops) == (prof.total_latency_us, 45)
    # activations in 12, fc 24 (float64: the missing bias is float64 zeros), lif 12, out 12; weights 36, state 12
    assert result.peak_memory_bytes == prof.peak_memory_bytes == 12 + 24 + 12 + 12 + 36 + 12
    spikes = sum(result.spike_counts.values())
    assert result.energy_estimate_uj == pytest.approx(
        (45 * 2.0 + spikes * 0.1 + prof.peak_memory_bytes * 5.0 / 4) / 1e6
    )


# --- the CPU backend's one timed run for simulate and profile -----------------------------

PROFILE_FIELDS = ["weight_memory_bytes", "state_memory_bytes", "mac_ops", "peak_memory_bytes", "spike_counts",
                  "total_sram_accesses", "energy_estimate_uj", "mac_energy_uj", "spike_energy_uj",
                  "sram_energy_uj", "energy_preset", "neuron_utilization"]  # fmt: skip


@pytest.mark.parametrize("steps", [0, 1, 5])
@pytest.mark.parametrize("seed", range(16))
def test_run_gives_what_simulate_and_profile_give(seed, steps):
    from tests.agreement import assert_same_values
    from tests.graphs import random_graph

    cpu = registry.get_backend("cpu")
    graph, inputs = random_graph(np.random.default_rng(seed))
    sim = cpu.simulate(graph, input_data=inputs, n_steps=steps)
    try:  # what run's second call gives (run makes it only when the simulation succeeded)
        prof = cpu.profile(graph, input_data=inputs, n_steps=steps) if sim.outputs_valid else None
    except AttributeError as error:  # a census the profiler refuses (a float bias): run raises it too
        with pytest.raises(AttributeError, match=str(error)):
            run(graph, inputs, steps)
        return
    got = run(graph, inputs, steps)
    assert got.errors == sim.errors and got.timesteps_run == sim.timesteps_run
    assert list(got.outputs) == list(sim.outputs) and got.spike_counts == sim.spike_counts
    for name, value in sim.outputs.items():
        assert_same_values(got.outputs[name], value, where=name)
    if prof is None:
        assert got.profile is None
        return
    for field in PROFILE_FIELDS:
        assert getattr(got.profile, field) == getattr(prof, field), field
    assert list(got.per_node_latency) == list(prof.per_node_latency) and got.mac_ops == prof.mac_ops
    assert got.per_node_latency is got.profile.per_node_latency
    assert got.spike_counts is not got.profile.spike_counts  # each record has its own map


@pytest.mark.parametrize("profile", [True, False])
def test_run_counts_the_activity_simulate_counts(profile):
    cpu = registry.get_backend("cpu")
    graph = small_graph()
    graph.nodes["out"] = Affine(np.ones((2, 3), np.float32))  # fed by the LIF's spikes
    graph.nodes["end"] = Output()
    graph.edges.append(("out", "end"))
    x = np.array([1.0, 0.2, 0.6], np.float32)
    got = run(graph, x, 6, profile=profile, activity=True)
    want = cpu.simulate(graph, {"in": x}, 6, activity=True).activity
    assert got.errors == [] and run(graph, x, 6, profile=profile).activity is None
    assert (got.profile is not None) is profile
    counted = got.activity
    assert counted.dense_macs["fc"].tolist() == want.dense_macs["fc"].tolist() == [9 * 6]
    assert (
        counted.synaptic_ops["out"].tolist()
        == want.synaptic_ops["out"].tolist()
        == [2 * got.spike_counts["lif"]]
    )
    assert counted.spikes["lif"].tolist() == [got.spike_counts["lif"]] and counted.n_steps == 6


def test_run_calls_a_replaced_simulate_or_profile(monkeypatch):
    cpu = registry.get_backend("cpu")
    graph, x = small_graph(), np.ones(3, np.float32)
    calls = []
    for method in ("simulate", "profile"):
        original = getattr(type(cpu), method)

        def spy(self, *args, _original=original, _method=method, **kwargs):
            calls.append(_method)
            return _original(self, *args, **kwargs)

        monkeypatch.setattr(type(cpu), method, spy)
        run(graph, x, 3)
        monkeypatch.setattr(type(cpu), method, original)
    assert calls == ["simulate", "profile"]


def test_run_makes_two_calls_where_one_run_would_differ(monkeypatch):
    cpu = registry.get_backend("cpu")
    # an Input without a stimulus: simulate fills it, profile leaves it without a value
    graph = small_graph().add("free", Input()).add("copy", Output(), after="free")
    assert cpu._simulate_and_profile(graph, {"in": np.ones(3, np.float32)}, 3) is None
    assert run(graph, {"in": np.ones(3, np.float32)}, 3).profile is not None
    # a cyclic run length that simulate applies and profile does not
    cyclic = small_graph()
    cyclic.cyclic_config = {"max_iterations": 4}
    assert cpu._simulate_and_profile(cyclic, {"in": np.ones(3, np.float32)}, 1) is None
    assert run(cyclic, np.ones(3, np.float32)).timesteps_run == 4
    # another CompileConfig than the simulator bound
    from zelka.backend import config

    monkeypatch.setattr(config, "CompileConfig", type("Other", (config.CompileConfig,), {}))
    assert cpu._simulate_and_profile(small_graph(), {"in": np.ones(3, np.float32)}, 3) is None


def test_a_failed_simulation_is_reported_before_the_census_is_read():
    # the layer's bias is a float, which the profiler's census refuses; but the simulation
    # fails first (a LIF fed a (2, 3) input), and run reports that alone
    graph = Graph(
        [("in", Input()), ("lif", LIF(2.0, np.ones(2, np.float32))), ("in2", Input()),
         ("fc", Affine(np.ones((2, 3), np.float32), 0.5)), ("out", Output())],
        [("in", "lif"), ("in2", "fc"), ("fc", "out")],
    )  # fmt: skip
    result = run(graph, {"in": np.ones((2, 3), np.float32), "in2": np.ones(3, np.float32)}, 2)
    assert "could not be broadcast" in result.errors[0] and result.profile is None
