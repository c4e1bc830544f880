"""Running a graph through the CPU engine and the numpy reference and comparing what they return."""

import copy

import numpy as np

from tests.oracle import engine as reference
from zelka.backend.cpu.simulator import _cpu_backend


def _arrays_in(obj, found, seen):
    """Every ndarray reachable from `obj` through node attributes, dicts, lists and tuples."""
    if id(obj) in seen:
        return
    seen.add(id(obj))
    if isinstance(obj, np.ndarray):
        found.append(obj)
        return
    if hasattr(obj, "__dict__") and not isinstance(obj, dict):
        obj = vars(obj)
    for value in obj.values() if isinstance(obj, dict) else obj if isinstance(obj, (list, tuple)) else ():
        _arrays_in(value, found, seen)


def caller_arrays(graph, input_data):
    found = []
    _arrays_in([graph.nodes, input_data, getattr(graph, "cyclic_config", None)], found, set())
    return found


def assert_same_values(got, want, exact=True, where="value"):
    """Same type; for arrays the same dtype, shape and values (NaN where NaN, zeros of the same
    sign when exact, else within a relative 1e-9)."""
    assert type(got) is type(want), f"{where}: {type(got).__name__} != {type(want).__name__}"
    if not isinstance(want, (np.ndarray, np.generic)):
        assert got is want or got == want, f"{where}: {got!r} != {want!r}"
        return
    got, want = np.asarray(got), np.asarray(want)
    assert got.dtype == want.dtype, f"{where}: dtype {got.dtype} != {want.dtype}"
    assert got.shape == want.shape, f"{where}: shape {got.shape} != {want.shape}"
    if want.dtype.kind not in "fc":
        assert np.array_equal(got, want), f"{where}: {got!r} != {want!r}"
        return
    nan = np.isnan(want)
    assert np.array_equal(np.isnan(got), nan), f"{where}: NaN positions differ: {got!r} != {want!r}"
    g, w = got[~nan], want[~nan]
    if exact:
        assert np.array_equal(g, w), f"{where}: {got!r} != {want!r}"
        assert np.array_equal(np.signbit(g.real), np.signbit(w.real)), f"{where}: signed zeros differ"
    else:
        assert np.allclose(g, w, rtol=1e-9, atol=0.0), f"{where}: {got!r} !~ {want!r}"


def assert_same_result(got, want, exact=True):
    assert type(got) is type(want)
    assert list(got.outputs) == list(want.outputs), "output keys or their order differ"
    for name in want.outputs:
        assert_same_values(got.outputs[name], want.outputs[name], exact, f"outputs[{name!r}]")
    assert got.outputs_valid is want.outputs_valid
    assert type(got.timesteps_run) is type(want.timesteps_run) and got.timesteps_run == want.timesteps_run
    assert got.errors == want.errors
    assert list(got.spike_counts.items()) == list(want.spike_counts.items())
    assert all(type(count) is int for count in got.spike_counts.values())
    assert len(got.node_states) == len(want.node_states)
    for step, (g, w) in enumerate(zip(got.node_states, want.node_states)):
        assert list(g) == list(w), f"snapshot {step}: keys differ"
        for name in w:
            assert_same_values(g[name], w[name], exact, f"node_states[{step}][{name!r}]")


def describe(graph, input_data=None):
    """A readable account of a graph and its stimulus, for failure reports."""
    lines = [f"cyclic_config={getattr(graph, 'cyclic_config', None)!r} edges={graph.edges!r}"]
    for name, node in graph.nodes.items():
        fields = {k: v for k, v in vars(node).items() if v is not None} if node is not None else {}
        lines.append(f"  {name}: {type(node).__name__} {fields!r}")
    lines.append(f"input_data={input_data!r}")
    return "\n".join(lines)


def outcome(call):
    """(result, None) or (None, exception) of `call()`."""
    try:
        return call(), None
    except Exception as exc:  # noqa: BLE001 - the exception itself is compared
        return None, exc


def run_both(graph, input_data=None, n_steps=1, step_by_step=False, exact=True):
    """Runs the engine and then the reference on the same objects and asserts that they agree:
    the same exception (type and text), or the same result.  The engine must leave every array
    the caller handed over unchanged.  Returns the engine's result (None when both raised)."""
    arrays = caller_arrays(graph, input_data)
    before = [copy.deepcopy(a) for a in arrays]
    got, got_exc = outcome(lambda: _cpu_backend.simulate(graph, input_data, n_steps, step_by_step))
    for a, b in zip(arrays, before):
        assert a.dtype == b.dtype and a.shape == b.shape
        assert np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"), "the engine changed a caller's array"
    want, want_exc = outcome(lambda: reference.simulate(graph, input_data, n_steps, step_by_step))
    if want_exc is not None:
        assert got_exc is not None, f"the reference raised {want_exc!r}, the engine returned {got!r}"
        assert type(got_exc) is type(want_exc) and str(got_exc) == str(want_exc)
        return None
    assert got_exc is None, f"the engine raised {got_exc!r}, the reference returned {want!r}"
    assert_same_result(got, want, exact)
    # an Output of a stimulus hands back the caller's own object
    for name, value in want.outputs.items():
        if isinstance(input_data, dict) and any(value is v for v in input_data.values()):
            assert got.outputs[name] is value, f"outputs[{name!r}] is not the caller's object"
    return got


TIMED_FIELDS = ("total_latency_us", "per_node_latency", "per_core_latency")


def assert_same_profile(got, want):
    """Every counted field equal (energies to 1e-12 relative), the same nodes and cores timed,
    spike counts and their order identical."""
    assert type(got).__name__ == "ProfileResult"
    for field in ("weight_memory_bytes", "state_memory_bytes", "mac_ops", "peak_memory_bytes",
                  "total_sram_accesses", "energy_preset"):  # fmt: skip
        g, w = getattr(got, field), getattr(want, field)
        assert type(g) is type(w) and g == w, f"{field}: {g!r} != {w!r}"
    assert list(got.spike_counts.items()) == list(want.spike_counts.items())
    assert all(type(c) is int for c in got.spike_counts.values())
    for field in ("energy_estimate_uj", "mac_energy_uj", "spike_energy_uj", "sram_energy_uj"):
        g, w = getattr(got, field), getattr(want, field)
        assert type(g) is float and np.isclose(g, w, rtol=1e-12, atol=0, equal_nan=True), (field, g, w)
    for field in ("per_layer_energy_uj", "neuron_utilization", "per_core_energy"):
        g, w = getattr(got, field), getattr(want, field)
        order_matters = field != "per_core_energy"
        assert (list(g) if order_matters else set(g)) == (list(w) if order_matters else set(w)), field
        for key in w:
            assert type(g[key]) is float and np.isclose(g[key], w[key], rtol=1e-12, atol=0), (field, key)
    assert list(got.per_node_latency) == list(want.per_node_latency), "timed nodes differ"
    assert list(got.per_core_latency) == list(want.per_core_latency), "timed cores differ"
    assert type(got.total_latency_us) is float and got.total_latency_us >= 0
    assert all(type(v) is float and v >= 0 for v in got.per_node_latency.values())
    assert all(type(v) is float for v in got.per_core_latency.values())


def profile_both(graph, input_data=None, n_steps=1, **coefficients):
    """Profiles with the package and with the reference transcription; asserts that they agree
    (the same exception, or the same counted result) and that no caller's array changed.
    Returns the package's result (None when both raised)."""
    from tests.oracle import profiler as reference_profiler
    from zelka.backend.cpu.profiler import CPUProfiler

    arrays = caller_arrays(graph, input_data)
    before = [copy.deepcopy(a) for a in arrays]
    got, got_exc = outcome(lambda: CPUProfiler(**coefficients).profile(graph, input_data, n_steps))
    for a, b in zip(arrays, before):
        assert np.array_equal(a, b, equal_nan=a.dtype.kind in "fc"), "the profiler changed a caller's array"
    want, want_exc = outcome(
        lambda: reference_profiler.CPUProfiler(**coefficients).profile(graph, input_data, n_steps)
    )
    if want_exc is not None:
        assert got_exc is not None, f"the reference raised {want_exc!r}, the profiler returned {got!r}"
        assert type(got_exc) is type(want_exc) and str(got_exc) == str(want_exc)
        return None
    assert got_exc is None, f"the profiler raised {got_exc!r}, the reference returned {want!r}"
    assert_same_profile(got, want)
    return got


def compile_both(graph, config=None):
    """Compiles with the CPU backend and with the reference transcription; asserts the same
    exception or the same descriptor (the very arrays of the graph in its weight tables)."""
    from tests.oracle import descriptor as reference_descriptor

    got, got_exc = outcome(lambda: _cpu_backend.compile(graph, config))
    want, want_exc = outcome(lambda: reference_descriptor.compile(graph, config))
    if want_exc is not None:
        assert type(got_exc) is type(want_exc) and str(got_exc) == str(want_exc), (got_exc, want_exc)
        return None
    assert got_exc is None, f"compile raised {got_exc!r}, the reference returned {want!r}"
    assert list(got.metadata.items()) == list(want.metadata.items())
    assert list(got.execution_schedule.items()) == list(want.execution_schedule.items())
    assert list(got.neuron_configs) == list(want.neuron_configs)
    for core, configs in want.neuron_configs.items():
        for g, w in zip(got.neuron_configs[core], configs, strict=True):
            assert (g.node_name, g.node_type, g.core_id, g.precision) == (
                w.node_name,
                w.node_type,
                w.core_id,
                w.precision,
            )
            assert list(g.parameters) == list(w.parameters)
            assert all(g.parameters[k] is w.parameters[k] for k in w.parameters)
    assert list(got.weight_tables) == list(want.weight_tables)
    for core, table in want.weight_tables.items():
        assert list(got.weight_tables[core]) == list(table)
        assert all(got.weight_tables[core][k] is v for k, v in table.items())
    return got
