"""Figures of simulation results and profiles.

Each function returns a ``matplotlib.figure.Figure`` built with matplotlib's object API: it is
never shown and leaves pyplot's state alone; save it with ``fig.savefig("raster.png")`` or let
a notebook display it.  Needs the ``plot`` extra (``pip install "zelka[plot]"``).
"""

from __future__ import annotations

from collections.abc import Iterable, Mapping
from typing import Any

import numpy as np

try:
    from matplotlib.figure import Figure
    from matplotlib.ticker import MaxNLocator
except ImportError as exc:
    raise ImportError('zelka.plot needs matplotlib: pip install "zelka[plot]"') from exc

__all__ = [
    "energy_breakdown",
    "firing_rates",
    "layer_latency",
    "membrane_trace",
    "spike_raster",
    "synaptic_operations",
]


def spike_raster(result: Any, node: str, sample: int = 0) -> Figure:
    """A raster of one LIF node's spikes: a mark at (step, neuron) for every spike of `sample`.

    `result` is a BatchSimulationResult (or a DatasetResult) whose spike trains were recorded
    (``record=[node]``), or a SimulationResult of ``simulate(..., step_by_step=True)``, one
    sample, whose node states give the spikes (the node's nonzero values).
    """
    trains = _spike_trains(result, node, sample)
    steps, neurons = np.nonzero(trains)
    figure = Figure(figsize=(8, 3), layout="constrained")
    axes = figure.add_subplot()
    axes.scatter(steps, neurons, s=12, marker="|", linewidths=1)
    axes.set_xlim(-0.5, trains.shape[0] - 0.5)
    axes.set_ylim(-0.5, trains.shape[1] - 0.5)
    axes.yaxis.set_major_locator(MaxNLocator(integer=True))
    axes.set_xlabel("step")
    axes.set_ylabel("neuron")
    axes.set_title(f"{node}: spikes of sample {sample}")
    return figure


def membrane_trace(result: Any, node: str, neurons: int | Iterable[int], sample: int = 0) -> Figure:
    """The membrane potentials of one LIF node's `neurons` (an index or several) after each
    step, one line per neuron, for `sample` of a BatchSimulationResult (or DatasetResult) that
    recorded them (``record=["v:" + node]``)."""
    membranes = _recorded(result, "membranes", node, "membrane_trace", f"'v:{node}'")
    sample = _sample_index(sample, membranes.shape[1])
    count = membranes.shape[2]
    chosen = [neurons] if isinstance(neurons, (int, np.integer)) else list(neurons)
    if not chosen:
        raise ValueError("neurons must name at least one neuron")
    for neuron in chosen:
        if not isinstance(neuron, (int, np.integer)) or isinstance(neuron, bool) or not 0 <= neuron < count:
            raise ValueError(
                f"neurons: {neuron!r} is not a neuron of {node!r}, which has {count} (0 to {count - 1})"
            )
    traces = np.asarray(membranes[:, sample][:, chosen])
    figure = Figure(figsize=(8, 3), layout="constrained")
    axes = figure.add_subplot()
    steps = np.arange(traces.shape[0])
    for k, neuron in enumerate(chosen):
        axes.plot(steps, traces[:, k], label=f"neuron {neuron}")
    axes.set_xlabel("step")
    axes.set_ylabel("membrane potential")
    axes.set_title(f"{node}: membranes of sample {sample}")
    axes.legend(loc="upper right", fontsize="small")
    return figure


def energy_breakdown(profile_result: Any) -> Figure:
    """Bars of a ProfileResult's energy estimate: its shares due to computation (MACs), spikes
    and memory (SRAM accesses), and its estimate per layer."""
    profile = _profile(profile_result, "energy_breakdown")
    figure = Figure(figsize=(10, 4), layout="constrained")
    shares, layers = figure.subplots(1, 2, width_ratios=(1, 2))
    shares.bar(
        ["compute (MACs)", "spikes", "memory (SRAM)"],
        [profile.mac_energy_uj, profile.spike_energy_uj, profile.sram_energy_uj],
        color=["tab:blue", "tab:orange", "tab:green"],
    )
    shares.set_ylabel("estimated energy (µJ)")
    shares.set_title("by operation")
    _bars_by_node(layers, profile.per_layer_energy_uj, "estimated energy (µJ)")
    layers.set_title("by layer")
    figure.suptitle(
        f"Estimated energy {profile.energy_estimate_uj:.4g} µJ ({profile.energy_preset}): "
        "counts times per-operation coefficients, not a measurement",
        fontsize="medium",
    )
    return figure


def layer_latency(profile_result: Any) -> Figure:
    """Bars of a ProfileResult's host time per node (its ``per_node_latency``), in execution
    order."""
    profile = _profile(profile_result, "layer_latency")
    count = max(len(profile.per_node_latency), 1)
    figure = Figure(figsize=(8, 1.5 + 0.3 * count), layout="constrained")
    axes = figure.add_subplot()
    _bars_by_node(axes, profile.per_node_latency, "host time (µs)")
    axes.set_title(f"Host time per node over the run (total {profile.total_latency_us:.4g} µs)")
    return figure


def firing_rates(activity: Any, sample: int | None = None) -> Figure:
    """Bars of each LIF node's firing rate (spikes per neuron and step) from an Activity (or a
    result holding one in ``activity``): of one `sample`, or by default their mean over the
    samples with the standard deviation as error bars."""
    record = _activity(activity, "firing_rates")
    return _bars_of_activity(record.firing_rates, sample, "firing rate (spikes per neuron and step)",
                             "Firing rate per LIF node")  # fmt: skip


def synaptic_operations(activity: Any, sample: int | None = None) -> Figure:
    """Bars of each counted layer's operations from an Activity (or a result holding one in
    ``activity``): synaptic operations of the layers fed by spikes, dense MACs (hatched) of
    the others; of one `sample`, or by default their mean over the samples with the standard
    deviation as error bars."""
    record = _activity(activity, "synaptic_operations")
    counts = {**record.synaptic_ops, **record.dense_macs}
    label = (
        "operations per inference (hatched: dense MACs)" if record.dense_macs else "operations per inference"
    )
    figure = _bars_of_activity(counts, sample, label, "Synaptic operations per layer")
    dense = set(record.dense_macs)
    for bar, name in zip(figure.axes[0].patches, counts):
        if name in dense:
            bar.set_hatch("//")
    return figure


def _activity(value: Any, function: str) -> Any:
    record = getattr(value, "activity", value)
    if record is None or not all(hasattr(record, f) for f in ("synaptic_ops", "dense_macs", "firing_rates")):
        raise TypeError(
            f"{function} needs an Activity or a result of a run with activity=True, got {type(value).__name__}"
        )
    return record


def _bars_of_activity(
    per_node: Mapping[str, np.ndarray], sample: int | None, label: str, title: str
) -> Figure:
    """Horizontal bars, one per node: the values of `sample`, or the mean over the samples
    with the standard deviation as error bars."""
    names = list(per_node)
    figure = Figure(figsize=(8, 1.5 + 0.3 * max(len(names), 1)), layout="constrained")
    axes = figure.add_subplot()
    values = [np.asarray(per_node[name], dtype=float) for name in names]
    samples = values[0].shape[0] if values else 0
    if sample is None:
        means = [v.mean() if v.size else 0.0 for v in values]
        spreads = [v.std() if v.size else 0.0 for v in values]
        axes.barh(names, means, xerr=spreads, color="tab:blue", ecolor="black", capsize=3)
        title += f": mean over {samples} samples, standard deviation as error bars"
    else:
        sample = _sample_index(sample, samples)
        axes.barh(names, [v[sample] for v in values], color="tab:blue")
        title += f": sample {sample}"
    axes.invert_yaxis()
    axes.set_xlabel(label)
    axes.set_title(title, fontsize="medium")
    return figure


def _spike_trains(result: Any, node: str, sample: int) -> np.ndarray:
    """(n_steps, neurons) bools: the spikes of `node` in `sample`."""
    if hasattr(result, "spike_trains"):
        trains = _recorded(result, "spike_trains", node, "spike_raster", repr(node))
        return np.asarray(trains[:, _sample_index(sample, trains.shape[1])], dtype=bool)
    if not hasattr(result, "node_states"):
        raise TypeError(
            "spike_raster needs a BatchSimulationResult (or DatasetResult) with recorded spike trains or a "
            f"SimulationResult with node states, got {type(result).__name__}"
        )
    states = result.node_states
    if not states:
        raise ValueError(
            "spike_raster: the SimulationResult holds no node states; run simulate with step_by_step=True"
        )
    _sample_index(sample, 1)
    shapes = [np.shape(state[node]) for state in states if node in state]
    if not shapes:
        raise ValueError(
            f"spike_raster: {node!r} is not a node of the SimulationResult's node states: {list(states[-1])}"
        )
    neurons = int(np.prod(shapes[-1]))
    empty = np.zeros(neurons, dtype=bool)
    return np.array(
        [np.asarray(state[node]).reshape(-1) != 0 if node in state else empty for state in states]
    )


def _recorded(result: Any, field: str, node: str, function: str, record: str) -> Any:
    """The (n_steps, samples, neurons) array that `result` recorded for `node` in `field`."""
    recorded = getattr(result, field, None)
    if not isinstance(recorded, Mapping):
        raise TypeError(
            f"{function} needs a BatchSimulationResult (or DatasetResult) with {field.replace('_', ' ')}, "
            f"got {type(result).__name__}"
        )
    if node not in recorded:
        raise ValueError(
            f"{function}: {node!r} was not recorded (recorded: {sorted(recorded)}); pass record=[{record}] "
            "to simulate_batch"
        )
    return recorded[node]


def _sample_index(sample: Any, count: int) -> int:
    if isinstance(sample, bool) or not isinstance(sample, (int, np.integer)) or not 0 <= sample < count:
        raise ValueError(
            f"sample must be an index of the result's samples (0 to {count - 1}), got {sample!r}"
        )
    return int(sample)


def _profile(profile_result: Any, function: str) -> Any:
    fields = ("mac_energy_uj", "per_layer_energy_uj", "per_node_latency", "energy_estimate_uj")
    if not all(hasattr(profile_result, f) for f in fields):
        hint = " (its profile field holds one)" if hasattr(profile_result, "profile") else ""
        raise TypeError(f"{function} needs a ProfileResult{hint}, got {type(profile_result).__name__}")
    return profile_result


def _bars_by_node(axes: Any, values: Mapping[str, float], label: str) -> None:
    """Horizontal bars, one per node, the first at the top."""
    axes.barh(list(values), list(values.values()), color="tab:blue")
    axes.invert_yaxis()
    axes.set_xlabel(label)
