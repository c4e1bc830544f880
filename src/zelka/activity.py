"""What a run's activity costs: synaptic operations, spikes, firing rates and the energy of
inference estimated from them, per sample and over a test set.

``simulate(..., activity=True)``, ``simulate_batch(..., activity=True)``,
``zelka.distributed.simulate_dataset(..., activity=True)`` and
``zelka.backend.run.run(..., activity=True)`` count, as their steps run (a running total per
layer and sample):

- per layer that multiplies its input by weights (every ``Affine``; in a graph whose layers are
  computed also ``SpikingAffine``, ``Conv1d`` and ``Conv2d``):

  - fed by spikes (each predecessor a LIF node, or a node passing such values on unchanged:
    an ``Output``, a kind a pass-through graph passes through, or in a computed graph
    ``Flatten``, ``Dropout`` and max pooling of spikes; sums of them included): its *synaptic
    operations*, each step the synapses its nonzero inputs reach (an ``Affine``'s rows for
    each nonzero input; a convolution's (output channel, output position) pairs that read the
    input, padding, stride and dilation counted exactly).  A layer fed so through an
    ``Input`` counts so where its input holds nothing but zeros and ones at every step of
    every sample of the call (spike trains); fed a stimulus of other values (images), it
    counts dense MACs.  ``Activity.concatenate`` decides so for the parts of a test set
    together, as one call over the whole set would;
  - fed by other values: its *dense MACs*, each step every input value times the synapses
    it reaches (an ``Affine``'s rows x columns; a convolution's products with real inputs,
    padding left out), whatever the values are;

  a layer counts on the steps it computes (a back edge reads the previous step's value, so a
  layer fed only through one does not compute at the first step), and an ``Affine`` whose
  input does not fit its weight, which passes the input on, counts nothing;
- per LIF node its spikes (the run's ``spike_counts``) and firing rate, spikes per neuron
  and step.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any

import numpy as np
from numpy.typing import NDArray

from zelka.ir import LIF

__all__ = ["Activity", "EnergyEstimate"]


def _per_sample(values: Any, samples: int) -> NDArray[np.int64]:
    return np.broadcast_to(np.asarray(values, dtype=np.int64), (samples,)).copy()


@dataclass(frozen=True, eq=False)
class EnergyEstimate:
    """Energy of inference priced from an Activity's counts: synaptic operations times the
    energy of an accumulate plus dense MACs times that of a multiply-accumulate.

    Attributes:
        per_sample_uj: float64 array (samples,): each sample's estimate in microjoules.
        per_layer_uj: counted layer -> float64 array (samples,) of its share.
        ac_pj, mac_pj: the coefficients used, in picojoules.
        preset: the energy preset they came from (coefficients given replace its own).
    """

    per_sample_uj: NDArray[np.float64]
    per_layer_uj: dict[str, NDArray[np.floating]]
    ac_pj: float
    mac_pj: float
    preset: str

    @property
    def mean_uj(self) -> float:
        """The mean over the samples."""
        return float(self.per_sample_uj.mean()) if self.per_sample_uj.size else 0.0

    @property
    def std_uj(self) -> float:
        """The standard deviation over the samples (population)."""
        return float(self.per_sample_uj.std()) if self.per_sample_uj.size else 0.0


@dataclass(frozen=True, eq=False)
class Activity:
    """The activity of a run, per sample (arrays of shape (samples,)).

    Attributes:
        n_steps: steps each sample ran.
        synaptic_ops: layer fed by spikes -> its synaptic operations per sample.
        dense_macs: layer fed by other values -> its multiply-accumulates per sample.
        spikes: LIF node -> its spikes per sample.
        neurons: LIF node -> its neurons.
    """

    n_steps: int
    synaptic_ops: dict[str, NDArray[np.int64]] = field(default_factory=dict)
    dense_macs: dict[str, NDArray[np.int64]] = field(default_factory=dict)
    spikes: dict[str, NDArray[np.int64]] = field(default_factory=dict)
    neurons: dict[str, int] = field(default_factory=dict)
    # A layer of synaptic_ops whose spikes come through an Input -> the dense MACs it counts
    # per sample where that Input holds other values than spike trains (concatenate joins a
    # part of spike trains so to a part of other values).
    _dense_alternatives: dict[str, NDArray[np.int64]] = field(default_factory=dict, repr=False)

    @classmethod
    def _from_counts(
        cls,
        nodes: Mapping[str, Any],
        layers: Mapping[str, tuple],
        spike_counts: Mapping,
        n_steps: Any,
        samples: int,
    ) -> Activity:
        """From the engine's counts: per counted layer (fed by spikes, int64 (samples,)
        operations, and for a layer fed by spikes through an Input the dense MACs it counts
        where that Input holds other values, else None) and the run's spike totals."""
        synaptic_ops: dict[str, NDArray[np.int64]] = {}
        dense_macs: dict[str, NDArray[np.int64]] = {}
        alternatives: dict[str, NDArray[np.int64]] = {}
        for name, (spike_fed, counts, dense) in layers.items():
            (synaptic_ops if spike_fed else dense_macs)[name] = counts
            if dense is not None:
                alternatives[name] = dense
        lifs = {name: int(node.v_threshold.shape[0]) for name, node in nodes.items() if isinstance(node, LIF)}
        spikes = {name: _per_sample(spike_counts.get(name, 0), samples) for name in lifs}
        return cls(int(n_steps), synaptic_ops, dense_macs, spikes, lifs, alternatives)

    @classmethod
    def concatenate(cls, parts: Sequence[Activity]) -> Activity:
        """The activities of consecutive parts of a test set, sample after sample (the
        parts ran the same graph for the same steps), as one run of the whole set counts
        them: a layer fed by spikes through an Input counts synaptic operations only when
        that Input held spike trains in every part, and dense MACs in every part otherwise
        (a part of zeros and ones, all-zero images for instance, joined to images)."""
        if not parts:
            raise ValueError("concatenate needs at least one Activity")
        first = parts[0]
        layers = {*first.synaptic_ops, *first.dense_macs}
        for part in parts[1:]:
            if part.n_steps != first.n_steps or part.neurons != first.neurons:
                raise ValueError("concatenate: the parts ran different graphs or numbers of steps")
            if {*part.synaptic_ops, *part.dense_macs} != layers:
                raise ValueError("concatenate: the parts ran different graphs (they count different layers)")
        dense = list(dict.fromkeys(name for part in parts for name in part.dense_macs))
        synaptic = [name for name in first.synaptic_ops if name not in dense]
        for name in dense:
            for i, part in enumerate(parts):
                if name in part.synaptic_ops and name not in part._dense_alternatives:
                    j = next(j for j, other in enumerate(parts) if name in other.dense_macs)
                    raise ValueError(
                        f"concatenate: layer {name!r} counts synaptic operations in part {i} and dense MACs "
                        f"in part {j}, and part {i} holds no dense MACs of it to join them with"
                    )

        def joined(per_part: Any, names: list[str]) -> dict[str, NDArray[np.int64]]:
            return {name: np.concatenate([per_part(p, name) for p in parts]) for name in names}

        def dense_of(part: Activity, name: str) -> NDArray[np.int64]:
            return part.dense_macs[name] if name in part.dense_macs else part._dense_alternatives[name]

        return cls(
            first.n_steps,
            joined(lambda p, name: p.synaptic_ops[name], synaptic),
            joined(dense_of, dense),
            joined(lambda p, name: p.spikes[name], list(first.spikes)),
            dict(first.neurons),
            joined(
                lambda p, name: p._dense_alternatives[name],
                [name for name in synaptic if all(name in p._dense_alternatives for p in parts)],
            ),
        )

    @property
    def samples(self) -> int:
        for counts in (*self.synaptic_ops.values(), *self.dense_macs.values(), *self.spikes.values()):
            return int(counts.shape[0])
        return 0

    @property
    def firing_rates(self) -> dict[str, NDArray[np.float64]]:
        """LIF node -> spikes per neuron and step, per sample."""
        steps = max(self.n_steps, 0)
        return {
            name: counts / (self.neurons[name] * steps) if steps else np.zeros(counts.shape)
            for name, counts in self.spikes.items()
        }

    @property
    def total_synaptic_ops(self) -> NDArray[np.int64]:
        """Per sample, the synaptic operations of all layers."""
        return self._total(self.synaptic_ops)

    @property
    def total_dense_macs(self) -> NDArray[np.int64]:
        """Per sample, the dense MACs of all layers."""
        return self._total(self.dense_macs)

    @property
    def total_spikes(self) -> NDArray[np.int64]:
        """Per sample, the spikes of all LIF nodes."""
        return self._total(self.spikes)

    def _total(self, per_layer: dict[str, NDArray[np.int64]]) -> NDArray[np.int64]:
        total = np.zeros(self.samples, np.int64)
        for counts in per_layer.values():
            total += counts
        return total

    def energy(
        self, preset: str | None = None, *, ac_pj: float | None = None, mac_pj: float | None = None
    ) -> EnergyEstimate:
        """The energy of each sample's inference: synaptic operations x `ac_pj` (an
        accumulate, ACCUMULATE_PJ of the preset) + dense MACs x `mac_pj` (the preset's).
        `preset` is a name of ENERGY_PRESETS (the profiler's default when None)."""
        from zelka.backend.cpu.profiler import ACCUMULATE_PJ, DEFAULT_ENERGY_PRESET, get_energy_preset

        preset = DEFAULT_ENERGY_PRESET if preset is None else preset
        mac = float(get_energy_preset(preset)["mac_pj"]) if mac_pj is None else float(mac_pj)
        ac = float(ACCUMULATE_PJ[preset]) if ac_pj is None else float(ac_pj)
        per_layer = {name: ops * (ac * 1e-6) for name, ops in self.synaptic_ops.items()}
        per_layer.update({name: macs * (mac * 1e-6) for name, macs in self.dense_macs.items()})
        total = np.zeros(self.samples)
        for share in per_layer.values():
            total += share
        return EnergyEstimate(total, per_layer, ac, mac, preset)

    def device_seconds(self, project: Mapping[str, Any], clock_mhz: float) -> float:
        """The time one inference of n_steps steps takes on the Verilog design of `project`
        (what write_rtl_project or simulate_rtl returned): its clock cycles per step, as
        measured by simulate_rtl or estimated by the writer's cycle model, at `clock_mhz`."""
        for key in ("cycles_per_step", "cycles_per_step_estimate"):
            if key in project:
                return float(project[key]) * self.n_steps / (float(clock_mhz) * 1e6)
        raise ValueError(
            "project: expected the dict of write_rtl_project or simulate_rtl, with cycles_per_step"
        )

    def summary(self) -> str:
        """Per layer, the mean per sample and the sum over the samples."""
        lines = [f"Activity of {self.samples} samples, {self.n_steps} steps each (mean per sample / sum)"]
        for title, per_layer in (("synaptic operations", self.synaptic_ops), ("dense MACs", self.dense_macs)):
            for name, counts in per_layer.items():
                lines.append(
                    f"  {name}: {counts.mean() if counts.size else 0:.1f} / {int(counts.sum())} {title}"
                )
        rates = self.firing_rates
        for name, counts in self.spikes.items():
            lines.append(
                f"  {name}: {counts.mean() if counts.size else 0:.1f} / {int(counts.sum())} spikes, "
                f"firing rate {rates[name].mean() if counts.size else 0:.4f}"
            )
        return "\n".join(lines)
