"""zelka.plot draws the records' own figures: raster marks at the spikes' coordinates, lines
through the recorded membranes, bars of the profile's estimates and latencies; clear errors for
what was not recorded; no pyplot state; the error without the extra."""

import importlib
import sys

import numpy as np
import pytest

pytest.importorskip("matplotlib")

import zelka.plot as zp
from zelka.backend.cpu.profiler import CPUProfiler
from zelka.backend.cpu.simulator import _cpu_backend as cpu
from zelka.ir import LIF, Affine, Graph, Input, Output


@pytest.fixture(scope="module")
def run():
    rng = np.random.default_rng(4)
    graph = Graph.sequential(
        ("in", Input(input_type={"x": (8,)})),
        ("fc", Affine(rng.normal(0.3, 0.6, (6, 8)).astype(np.float32), np.zeros(6, np.float32))),
        ("lif", LIF(tau=np.full(6, 3.0), v_threshold=np.ones(6, np.float32))),
        ("out", Output()),
    )
    stimuli = rng.random((3, 8), dtype=np.float32)
    batch = cpu.simulate_batch(graph, {"in": stimuli}, 30, record=["lif", "v:lif"])
    assert batch.spike_counts["lif"].min() > 0 and len(set(batch.spike_counts["lif"])) > 1  # samples differ
    return graph, stimuli, batch


def test_raster_marks_are_the_spikes_of_the_sample(run):
    graph, stimuli, batch = run
    for sample in (0, 2):
        axes = zp.spike_raster(batch, "lif", sample=sample).axes[0]
        marks = axes.collections[0].get_offsets()
        assert sorted(map(tuple, np.asarray(marks).tolist())) == sorted(
            zip(*np.nonzero(batch.spike_trains["lif"][:, sample]))
        )
    # a single run's node states give the same marks
    single = cpu.simulate(graph, {"in": stimuli[2]}, 30, step_by_step=True)
    assert np.array_equal(zp.spike_raster(single, "lif").axes[0].collections[0].get_offsets(), marks)


def test_membrane_lines_are_the_recorded_potentials(run):
    _, _, batch = run
    lines = zp.membrane_trace(batch, "lif", [4, 1], sample=1).axes[0].get_lines()
    assert [line.get_label() for line in lines] == ["neuron 4", "neuron 1"]
    for line, neuron in zip(lines, [4, 1]):
        assert np.array_equal(line.get_xdata(), np.arange(30))
        assert np.array_equal(line.get_ydata(), batch.membranes["lif"][:, 1, neuron])
    assert np.array_equal(zp.membrane_trace(batch, "lif", 3).axes[0].get_lines()[0].get_ydata(),
                          batch.membranes["lif"][:, 0, 3])  # fmt: skip


def test_profile_bars_are_the_records_figures(run):
    graph, stimuli, _ = run
    profile = CPUProfiler().profile(graph, {"in": stimuli[0]}, 30)
    shares, layers = zp.energy_breakdown(profile).axes
    assert [p.get_height() for p in shares.patches] == [
        profile.mac_energy_uj, profile.spike_energy_uj, profile.sram_energy_uj,
    ]  # fmt: skip
    assert [t.get_text() for t in layers.get_yticklabels()] == list(profile.per_layer_energy_uj)
    assert [p.get_width() for p in layers.patches] == list(profile.per_layer_energy_uj.values())
    latency = zp.layer_latency(profile).axes[0]
    assert [t.get_text() for t in latency.get_yticklabels()] == list(profile.per_node_latency)
    assert [p.get_width() for p in latency.patches] == list(profile.per_node_latency.values())


def test_figures_are_left_out_of_pyplot(run, tmp_path):
    import matplotlib.pyplot as plt

    graph, stimuli, batch = run
    before = plt.get_fignums()
    figure = zp.spike_raster(batch, "lif")
    zp.energy_breakdown(CPUProfiler().profile(graph, {"in": stimuli[0]}, 5))
    assert plt.get_fignums() == before
    figure.savefig(tmp_path / "raster.png")
    assert (tmp_path / "raster.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_what_was_not_recorded_is_named(run):
    graph, stimuli, batch = run
    unrecorded = cpu.simulate_batch(graph, {"in": stimuli}, 5)
    with pytest.raises(ValueError, match=r"'lif' was not recorded \(recorded: \[\]\); pass record=\['lif'\]"):
        zp.spike_raster(unrecorded, "lif")
    with pytest.raises(ValueError, match=r"pass record=\['v:lif'\]"):
        zp.membrane_trace(unrecorded, "lif", 0)
    with pytest.raises(ValueError, match="step_by_step=True"):
        zp.spike_raster(cpu.simulate(graph, {"in": stimuli[0]}, 5), "lif")
    with pytest.raises(ValueError, match="'lyf' is not a node"):
        zp.spike_raster(cpu.simulate(graph, {"in": stimuli[0]}, 5, step_by_step=True), "lyf")
    with pytest.raises(ValueError, match=r"sample must be an index .*\(0 to 2\), got 3"):
        zp.spike_raster(batch, "lif", sample=3)
    with pytest.raises(ValueError, match="neurons: 6 is not a neuron of 'lif', which has 6"):
        zp.membrane_trace(batch, "lif", [0, 6])
    with pytest.raises(
        TypeError, match="needs a ProfileResult \\(its profile field holds one\\), got RunResult"
    ):
        from zelka.backend.run import run as run_graph

        zp.energy_breakdown(run_graph(graph, stimuli[0], timesteps=5))


def test_without_matplotlib_the_import_error_names_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "matplotlib", None)
    monkeypatch.setitem(sys.modules, "matplotlib.figure", None)
    monkeypatch.delitem(sys.modules, "zelka.plot")
    with pytest.raises(ImportError, match=r'pip install "zelka\[plot\]"'):
        importlib.import_module("zelka.plot")
