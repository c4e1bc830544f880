"""A plain numpy transcription of the analytical profiler: its step loop with per-node timing
and peak activation memory, and its counting rules.

Timings are measurements and differ from run to run; everything else the profiler reports
must equal this transcription's result.  It binds the graph utilities at call time, exactly
as the profiler does, and shares the synthetic inputs and the LIF checks of the engine's
transcription.
"""

import math
import time

import numpy as np

from tests.oracle.engine import combine, lif_step, synthetic_inputs
from zelka.backend.config import CompileConfig
from zelka.backend.cpu import graph_utils
from zelka.backend.cpu.profiler import ENERGY_PRESETS, ProfileResult
from zelka.ir import LIF, Affine, Conv1d, Conv2d, Input, Output

STATE_ATTRS = {"tau", "v_threshold", "v_leak", "r"}
WEIGHT_NAMES = ("weight", "bias", "running_mean", "running_var", "gamma", "beta")
STATE_NAMES = ("tau", "v_threshold", "v_leak", "r")


class CPUProfiler:
    def __init__(
        self,
        energy_per_mac_pj=None,
        energy_per_spike_pj=None,
        energy_per_sram_read_pj=None,
        energy_per_sram_write_pj=None,
        energy_preset="neuromorphic_int8",
    ):
        if energy_preset not in ENERGY_PRESETS:
            available = ", ".join(sorted(ENERGY_PRESETS))
            raise KeyError(f"Unknown energy preset '{energy_preset}'. Available: {available}")
        preset = dict(ENERGY_PRESETS[energy_preset])

        def pick(value, key):
            return float(value) if value is not None else float(preset[key])

        self.energy_per_mac_pj = pick(energy_per_mac_pj, "mac_pj")
        self.energy_per_spike_pj = pick(energy_per_spike_pj, "spike_pj")
        self.energy_per_sram_read_pj = pick(energy_per_sram_read_pj, "sram_read_pj")
        self.energy_per_sram_write_pj = pick(energy_per_sram_write_pj, "sram_write_pj")
        self._preset_name = energy_preset

    def profile(self, graph, input_data=None, n_steps=1):
        n_steps = int(n_steps)
        result = ProfileResult()
        precision = CompileConfig().target_precision
        saturate = graph_utils.saturate

        weight_mem, state_mem = memory_census(graph)
        result.weight_memory_bytes = weight_mem
        result.state_memory_bytes = state_mem
        result.mac_ops = step_macs(graph) * n_steps

        if input_data is None:
            input_data = synthetic_inputs(graph)
        exec_order, predecessors, _ = graph_utils.build_execution_context(graph)
        activations, membrane_state, per_node_latency_ns, spike_counts = {}, {}, {}, {}
        peak_activation_bytes = 0
        for name, node in graph.nodes.items():
            if isinstance(node, LIF):
                if not isinstance(node.v_threshold, np.ndarray):
                    raise TypeError(
                        f"LIF node '{name}': v_threshold must be np.ndarray, "
                        f"got {type(node.v_threshold).__name__}"
                    )
                if node.v_threshold.ndim == 0:
                    raise IndexError(
                        f"LIF node '{name}': v_threshold must have at least one dimension (the neurons)"
                    )
                membrane_state[name] = np.zeros(node.v_threshold.shape[0], dtype=np.float32)

        total_start = time.monotonic_ns()
        for _ in range(n_steps):
            for key in input_data:
                activations[key] = input_data[key]
            for name in exec_order:
                node = graph.nodes[name]
                if isinstance(node, (Input, Output)):
                    if isinstance(node, Output):
                        preds = predecessors[name]
                        if preds and preds[0] in activations:
                            activations[name] = activations[preds[0]]
                    continue
                act_list = [activations[p] for p in predecessors[name] if p in activations]
                if not act_list:
                    continue
                inp = combine(act_list)
                node_start = time.monotonic_ns()
                if isinstance(node, Affine):
                    weight = node.weight
                    bias = getattr(node, "bias", None)
                    if bias is None:
                        bias = np.zeros(weight.shape[0])
                    flat = inp.flatten()
                    if flat.shape[0] == weight.shape[1]:
                        activations[name] = saturate(np.dot(weight, flat) + bias, precision)
                    else:
                        activations[name] = flat
                elif isinstance(node, LIF):
                    membrane_state[name], spikes = lif_step(node, membrane_state[name], inp, precision)
                    activations[name] = spikes
                    spike_counts[name] = spike_counts.get(name, 0) + int(np.count_nonzero(spikes))
                else:
                    activations[name] = inp
                per_node_latency_ns[name] = (
                    per_node_latency_ns.get(name, 0) + time.monotonic_ns() - node_start
                )
            current = sum(v.nbytes for v in activations.values() if isinstance(v, np.ndarray))
            peak_activation_bytes = max(peak_activation_bytes, current)
        result.total_latency_us = (time.monotonic_ns() - total_start) / 1000.0
        result.per_node_latency = {k: v / 1000.0 for k, v in per_node_latency_ns.items()}
        result.peak_memory_bytes = peak_activation_bytes + weight_mem + state_mem
        result.spike_counts = spike_counts

        sram_reads = (weight_mem + 3) // 4
        sram_writes = 0
        for node in graph.nodes.values():
            if isinstance(node, LIF):
                sram_reads += node.v_threshold.shape[0] * n_steps
                sram_writes += node.v_threshold.shape[0] * n_steps
        result.total_sram_accesses = sram_reads + sram_writes
        total_spikes = sum(spike_counts.values())
        mac_pj = result.mac_ops * self.energy_per_mac_pj
        spike_pj = total_spikes * self.energy_per_spike_pj
        sram_pj = sram_reads * self.energy_per_sram_read_pj + sram_writes * self.energy_per_sram_write_pj
        result.energy_estimate_uj = (mac_pj + spike_pj + sram_pj) / 1e6
        result.mac_energy_uj = mac_pj / 1e6
        result.spike_energy_uj = spike_pj / 1e6
        result.sram_energy_uj = sram_pj / 1e6
        result.energy_preset = self._preset_name
        self._layer_figures(graph, n_steps, spike_counts, result)
        return result

    def _layer_figures(self, graph, n_steps, spike_counts, result):
        per_core_macs, per_core_spikes, per_core_sram = {}, {}, {}
        for name, node in graph.nodes.items():
            if isinstance(node, (Input, Output)):
                continue
            core = core_id(node)
            if name in result.per_node_latency:
                result.per_core_latency[core] = (
                    result.per_core_latency.get(core, 0.0) + result.per_node_latency[name]
                )
            layer_pj = None
            if isinstance(node, (Affine, Conv1d, Conv2d)):
                if isinstance(node, Affine):
                    layer_macs = node.weight.shape[0] * node.weight.shape[1] * n_steps
                else:
                    layer_macs = math.prod(node.weight.shape) * n_steps
                bias = getattr(node, "bias", None)
                layer_mem = node.weight.nbytes + (bias.nbytes if bias is not None else 0)
                reads = (layer_mem + 3) // 4
                layer_pj = float(layer_macs * self.energy_per_mac_pj + reads * self.energy_per_sram_read_pj)
                per_core_macs[core] = per_core_macs.get(core, 0) + layer_macs
                per_core_sram[core] = per_core_sram.get(core, 0) + reads
            elif isinstance(node, LIF):
                n_neurons = node.v_threshold.shape[0]
                layer_spikes = spike_counts.get(name, 0)
                access_pj = self.energy_per_sram_read_pj + self.energy_per_sram_write_pj
                layer_pj = float(layer_spikes * self.energy_per_spike_pj + n_neurons * n_steps * access_pj)
                result.neuron_utilization[name] = layer_spikes / max(n_neurons * n_steps, 1)
            if layer_pj is not None and layer_pj > 0:
                result.per_layer_energy_uj[name] = layer_pj / 1e6
            if name in spike_counts:
                per_core_spikes[core] = per_core_spikes.get(core, 0) + spike_counts[name]
        for core in {**per_core_macs, **per_core_spikes, **per_core_sram}:
            result.per_core_energy[core] = (
                per_core_macs.get(core, 0) * self.energy_per_mac_pj
                + per_core_spikes.get(core, 0) * self.energy_per_spike_pj
                + per_core_sram.get(core, 0) * self.energy_per_sram_read_pj
            ) / 1e6


def declared_fields(node):
    return list(node.__dataclass_fields__) if hasattr(node, "__dataclass_fields__") else None


def memory_census(graph):
    weight_mem = state_mem = 0
    for node in graph.nodes.values():
        if isinstance(node, (Input, Output)):
            continue
        fields = declared_fields(node)
        if fields is not None:
            for field in fields:
                value = getattr(node, field, None)
                if isinstance(value, np.ndarray):
                    if field in STATE_ATTRS:
                        state_mem += value.nbytes
                    else:
                        weight_mem += value.nbytes
        else:
            for field in WEIGHT_NAMES:
                value = getattr(node, field, None)
                if isinstance(value, np.ndarray):
                    weight_mem += value.nbytes
            for field in STATE_NAMES:
                value = getattr(node, field, None)
                if isinstance(value, np.ndarray):
                    state_mem += value.nbytes
    return weight_mem, state_mem


def step_macs(graph):
    total = 0
    for node in graph.nodes.values():
        if isinstance(node, Affine):
            total += node.weight.shape[0] * node.weight.shape[1]
        elif isinstance(node, (Conv1d, Conv2d)):
            total += math.prod(node.weight.shape)
        elif (fields := declared_fields(node)) is not None:
            for field in fields:
                if "weight" in field and "cheap" not in field:
                    value = getattr(node, field, None)
                    if isinstance(value, np.ndarray) and value.ndim >= 2:
                        total += math.prod(value.shape)
                elif "cheap_weight" in field:
                    value = getattr(node, field, None)
                    if isinstance(value, np.ndarray) and value.ndim == 4:
                        total += value.shape[0] * value.shape[2] * value.shape[3]
    return total


def core_id(node):
    core = getattr(node, "core_id", 0)
    if not core:
        return 0
    if isinstance(core, (str, bytes, bytearray, complex)) or not (
        hasattr(type(core), "__index__") or hasattr(type(core), "__float__") or hasattr(type(core), "__int__")
    ):
        raise TypeError(f"Expected int, got {type(core).__name__}")
    return int(core)


def summary(record):
    """The report of ProfileResult.summary(), written out with Python's own formatting."""
    rule, thin = "=" * 60, "-" * 60
    lines = [
        rule,
        "  ZELKA Energy Profile (ESTIMATED)",
        rule,
        f"  Preset:               {record.energy_preset or 'custom'}",
        f"  Total energy:         {record.energy_estimate_uj:,.4f} uJ",
        f"    MAC energy:         {record.mac_energy_uj:,.4f} uJ",
        f"    Spike energy:       {record.spike_energy_uj:,.4f} uJ",
        f"    SRAM energy:        {record.sram_energy_uj:,.4f} uJ",
        thin,
        f"  MAC operations:       {record.mac_ops:,}",
        f"  Total spikes:         {sum(record.spike_counts.values()):,}",
        f"  SRAM accesses:        {record.total_sram_accesses:,}",
        thin,
        f"  Weight memory:        {record.weight_memory_bytes:,} bytes",
        f"  State memory:         {record.state_memory_bytes:,} bytes",
        f"  Peak activation mem:  {record.peak_memory_bytes:,} bytes",
        f"  Latency:              {record.total_latency_us:,.1f} us",
    ]
    if record.per_layer_energy_uj:
        lines += [thin, "  Per-layer energy (top 10):"]
        ranked = sorted(record.per_layer_energy_uj.items(), key=lambda kv: kv[1], reverse=True)
        lines += [f"    {name!s:<30} {energy:,.4f} uJ" for name, energy in ranked[:10]]
    lines += [rule, "  NOTE: All energy values are analytical estimates.", rule]
    return "\n".join(lines)
