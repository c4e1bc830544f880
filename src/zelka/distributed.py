"""Simulate a data set of samples on a Dask cluster: chunks of samples run as
``simulate_batch`` calls on the workers.

``simulate_dataset(graph, inputs, n_steps)`` starts a ``LocalCluster`` of worker processes
(closed before it returns, also on an error or Ctrl-C); pass ``client=`` to run on a cluster
of your own, such as ``Client("tcp://scheduler:8786")``.  Needs the ``distributed`` extra
(``pip install "zelka[distributed]"``).
"""

from __future__ import annotations

import copy
import threading
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

import numpy as np

try:
    import dask
    import dask.array as da
    from distributed import Client, LocalCluster, get_worker
except ImportError as exc:
    raise ImportError(
        'zelka.distributed needs Dask\'s distributed scheduler: pip install "zelka[distributed]"'
    ) from exc

from zelka._ir import check_computed_layers
from zelka.activity import Activity
from zelka.backend.cpu.simulator import PerStep, _count_argument
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Graph, Input, _declared_shape

__all__ = ["DatasetResult", "simulate_dataset"]


@dataclass
class DatasetResult:
    """The results of a data set, as Dask arrays chunked along the sample axis like the
    computation (``.compute()`` gives numpy arrays).  Sample i holds what ``simulate`` gives
    for sample i alone.

    Attributes:
        outputs: Output node name -> (N, *shape) activation after the last step (zeros for a
            sample whose run failed).
        outputs_valid: Bool (N,): whether each sample's run completed.
        spike_counts: LIF node name -> int64 (N,) spikes over all steps.
        errors: Object (N,): each sample's list of error messages (empty if valid).
        spike_trains: Recorded LIF node name -> bool (n_steps, N, neurons).
        membranes: Recorded LIF node name -> (n_steps, N, neurons) membrane potentials after
            each step, in the node's membrane type.
        timesteps_run: Number of timesteps run.
        activity: With ``activity=True``, every sample's synaptic operations, spikes and
            firing rates (a ``zelka.activity.Activity`` of N samples); else None.
    """

    outputs: dict[str, da.Array]
    outputs_valid: da.Array
    spike_counts: dict[str, da.Array]
    errors: da.Array
    spike_trains: dict[str, da.Array]
    membranes: dict[str, da.Array]
    timesteps_run: int
    activity: Activity | None = None


# The fields of a batch result held per node, with the axis of their samples.
_NODE_FIELDS = (("outputs", 0), ("spike_counts", 0), ("spike_trains", 1), ("membranes", 1))
_RECORDINGS = ("spike_trains", "membranes")

# One chunk at a time per worker process, on all of the worker's threads.
_SIMULATING = threading.Lock()


def simulate_dataset(
    graph: Graph,
    inputs: Mapping[str, Any],
    n_steps: int,
    *,
    client: Client | None = None,
    chunk: int = 256,
    record: str | Iterable[str] = (),
    per_step: bool = False,
    activity: bool = False,
) -> DatasetResult:
    """Simulate every sample of a data set for `n_steps` steps, `chunk` samples per task.

    `inputs` maps Input names to numpy or Dask arrays of shape (N, *input_shape), applied at
    every step, or with ``per_step=True`` of shape (n_steps, N, *input_shape), step t of
    sample i reading ``[t, i]``.  Each chunk runs as one ``simulate_batch`` call on a worker,
    on all of the worker's threads (one chunk at a time per worker), under the numpy error
    handling in force where this function is called.  `record` names LIF nodes whose spikes
    are kept for every step, and ``"v:<LIF name>"`` those whose membrane potentials are.
    With ``activity=True`` each chunk counts its samples' activity (``simulate_batch``'s), and
    the result's ``activity`` holds them all, in sample order, as one call over the whole
    data set counts them: a layer fed by an Input whose values are 0 or 1 in some chunks and
    other values in others (a chunk of all-zero images among images) counts dense MACs in
    every chunk (``Activity.concatenate``).

    Without `client`, a ``LocalCluster`` of worker processes runs the chunks; the results are
    gathered and the cluster closed before the function returns (also when a task fails or
    on Ctrl-C).  With a `client`, the recorded spike trains and membranes stay in the
    cluster's memory until computed (compute them with that client; the other results are
    gathered); a failure or Ctrl-C cancels the chunks still running.
    Numpy stimuli travel with their tasks, so that the scheduler can run a chunk again when
    its worker dies; give Dask arrays for data sets that do not fit in memory.

    The graph is sent to each worker once.  Bad arguments raise before anything is sent to
    the cluster: TypeError for arguments of the wrong type, ValueError for a `client` that is
    closed, keys naming no Input, stimuli whose shapes do not fit (numbers of samples that
    differ, shapes other than the Inputs' declared ones, a time axis shorter than n_steps),
    record names that are not LIF nodes, a data set of no samples, and for a graph whose
    layers are computed what they cannot compute.
    """
    if not isinstance(graph, Graph):
        raise TypeError(f"graph must be a zelka.ir.Graph, got {type(graph).__name__}")
    if client is not None and not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client or None, got {type(client).__name__}")
    if client is not None and client.status in ("closing", "closed"):
        raise ValueError(f"client is closed (status {client.status!r}): pass a running client or None")
    n_steps = _count_argument(n_steps, "n_steps")
    chunk = _count_argument(chunk, "chunk")
    if chunk < 1:
        raise ValueError(f"chunk must be at least 1, got {chunk}")
    names = _recorded(graph, record)
    per_step = bool(per_step)
    options = {"record": names, "per_step": per_step, "activity": bool(activity)}
    stimuli, n_samples = _stimuli(graph, inputs, n_steps, per_step)
    if graph.layers == "computed":  # what its layers cannot compute, before the cluster sees it
        lead = 2 if per_step else 1
        check_computed_layers(graph, {key: tuple(array.shape[lead:]) for key, array in stimuli.items()})
    bounds = [(start, min(start + chunk, n_samples)) for start in range(0, n_samples, chunk)]
    chunks = {key: _chunks(array, 1 if per_step else 0, bounds) for key, array in stimuli.items()}

    if client is not None:
        return _run(client, graph, chunks, bounds, n_steps, options, gather=False)
    with (
        LocalCluster(processes=True, dashboard_address=":0") as cluster,
        Client(cluster, set_as_default=False) as own,
    ):
        return _run(own, graph, chunks, bounds, n_steps, options, gather=True)


def _run(
    client: Client,
    graph: Graph,
    chunks: dict[str, list[Any]],
    bounds: list[tuple[int, int]],
    n_steps: int,
    options: dict[str, Any],
    *,
    gather: bool,
) -> DatasetResult:
    """Submits the chunks and assembles their results, the recordings kept on the cluster
    unless `gather` (the chunks still running are cancelled on an error or Ctrl-C).  `options`
    holds simulate_batch's record, activity and whether the stimuli are per step."""
    record = options["record"]
    futures: list = []
    try:
        # A key of its own: a graph scattered by an earlier call under the same key may still
        # be on its way out of the cluster.
        graph_future = client.scatter(graph, broadcast=True, hash=False)
        simulate = dask.delayed(_simulate_chunk, pure=False)
        numpy_errors = np.geterr()
        futures = client.compute(
            [
                simulate(graph_future, {key: blocks[i] for key, blocks in chunks.items()}, n_steps, options,
                         numpy_errors)
                for i in range(len(bounds))
            ]
        )  # fmt: skip
        # The recordings (spikes and membranes of every step) stay on the cluster unless the
        # results are gathered; the rest of each chunk's result is small and comes here.
        remote = bool(record) and not gather
        if remote:
            parts = client.gather(client.map(_without_recordings, futures))
            results, recorded = [result for result, _ in parts], [layout for _, layout in parts]
        else:
            results, recorded = client.gather(futures), [{}] * len(futures)
        layouts = [_layout(result) | layout for result, layout in zip(results, recorded)]

        def block(i: int, request: tuple) -> np.ndarray | da.Array:
            if remote and request[0] in _RECORDINGS:
                value = dask.delayed(_field, pure=True)(futures[i], *request)
                return da.from_delayed(value, shape=request[2], dtype=request[3])
            return _field(results[i], *request)

        assembled = _assemble(layouts, bounds, block)
        if options["activity"]:
            assembled.activity = Activity.concatenate([result.activity for result in results])
        return assembled
    except BaseException:
        client.cancel(futures)
        raise


def _recorded(graph: Graph, record: str | Iterable[str]) -> list[str]:
    if not isinstance(record, (str, Iterable)):
        raise TypeError(f"record must be a LIF node name or a list of them, got {type(record).__name__}")
    names = [record] if isinstance(record, str) else list(record)
    lifs = {name for name, node in graph.nodes.items() if isinstance(node, LIF)}
    for name in names:
        if not isinstance(name, str) or name.removeprefix("v:") not in lifs:
            raise ValueError(
                f"record: {name!r} is not a LIF node of the graph (a LIF node's name records its "
                f"spikes, 'v:' and the name its membrane potentials; its LIF nodes: {sorted(lifs)})"
            )
    return names


def _stimuli(
    graph: Graph, inputs: Mapping[str, Any], n_steps: int, per_step: bool
) -> tuple[dict[str, Any], int]:
    """The stimuli as numpy or Dask arrays (per step: cut to n_steps steps) and the number of
    samples, after checking them against the graph's Inputs."""
    if not isinstance(inputs, Mapping):
        raise TypeError(f"inputs must be a mapping from Input name to array, got {type(inputs).__name__}")
    if not inputs:
        raise ValueError("inputs must hold at least one stimulus: its sample axis sets the number of samples")
    axis = 1 if per_step else 0
    layout = "(n_steps, N, *input_shape)" if per_step else "(N, *input_shape)"
    known = {name: node for name, node in graph.nodes.items() if isinstance(node, Input)}
    stimuli: dict[str, Any] = {}
    first = None
    for key, value in inputs.items():
        if key not in known:
            raise ValueError(f"inputs: {key!r} names no Input node of the graph (its Inputs: {list(known)})")
        array = value if isinstance(value, da.Array) else np.asarray(value)
        shape = array.shape
        if any(np.isnan(size) for size in shape):
            raise ValueError(
                f"Input {key!r}: the Dask array's shape {shape} is not known; call its "
                "compute_chunk_sizes() first"
            )
        if len(shape) <= axis:
            raise ValueError(f"Input {key!r}: a data set needs an array of shape {layout}, got shape {shape}")
        declared = _declared_shape(known[key])
        if declared is not None and tuple(shape[axis + 1 :]) != declared:
            raise ValueError(
                f"Input {key!r}: samples of shape {tuple(shape[axis + 1 :])} (array of shape {shape}) do "
                f"not match the declared shape {declared}"
            )
        if first is None:
            first = (key, shape)
        elif shape[axis] != first[1][axis]:
            raise ValueError(
                f"Input {key!r}: {shape[axis]} samples (shape {shape}) differ from the {first[1][axis]} "
                f"samples of Input {first[0]!r} (shape {first[1]})"
            )
        if per_step:
            if shape[0] < n_steps:
                raise ValueError(
                    f"Input {key!r}: {n_steps} steps need a time axis of at least {n_steps}, got shape {shape}"
                )
            array = array[: max(n_steps, 0)]
        stimuli[key] = array
    assert first is not None
    n_samples = int(first[1][axis])
    if n_samples == 0:
        raise ValueError(f"inputs hold no samples (their shapes have 0 along the sample axis: {first[1]})")
    return stimuli, n_samples


def _chunks(array: Any, axis: int, bounds: list[tuple[int, int]]) -> list[Any]:
    """The chunks of one stimulus along its sample axis: numpy slices, or the blocks of a Dask
    array (as delayed values) rechunked to the bounds."""
    if isinstance(array, da.Array):
        sizes: dict[int, int | tuple[int, ...]] = {a: -1 for a in range(array.ndim)}
        sizes[axis] = tuple(stop - start for start, stop in bounds)
        return list(array.rechunk(sizes).to_delayed().reshape(-1))
    lead = (slice(None),) * axis
    return [array[lead + (slice(start, stop),)] for start, stop in bounds]


def _simulate_chunk(
    graph: Graph, stimuli: dict[str, Any], n_steps: int, options: dict[str, Any], numpy_errors: dict
) -> Any:
    """One chunk's simulate_batch on the worker running the task, on all of its threads."""
    threads = get_worker().state.nthreads
    # Arrays that arrive in a task's message may start at any byte; the engine computes
    # element-aligned stimuli natively, others through numpy.
    stimuli = {key: np.require(array, requirements="A") for key, array in stimuli.items()}
    with _SIMULATING, np.errstate(**numpy_errors):
        return get_backend("cpu").simulate_batch(
            graph,
            PerStep(stimuli) if options["per_step"] else stimuli,
            n_steps,
            workers=threads,
            record=options["record"],
            activity=options["activity"],
        )


def _layout(result: Any) -> dict[str, Any]:
    """What a chunk's result holds: per node field, each name's shape without the sample axis
    and its dtype."""
    layout: dict[str, Any] = {"timesteps_run": result.timesteps_run}
    for attr, axis in _NODE_FIELDS:
        layout[attr] = {
            name: (value.shape[:axis] + value.shape[axis + 1 :], value.dtype)
            for name, value in getattr(result, attr).items()
        }
    return layout


def _without_recordings(result: Any) -> tuple[Any, dict[str, Any]]:
    """A chunk's result without its recordings, and their layout."""
    layout = _layout(result)
    rest = copy.copy(result)
    for attr in _RECORDINGS:
        setattr(rest, attr, {})
    return rest, {attr: layout[attr] for attr in _RECORDINGS}


def _field(result: Any, attr: str, name: str | None, shape: tuple[int, ...], dtype: Any) -> np.ndarray:
    """One field of a chunk's result as an array of `shape`: zeros where the chunk has no such
    node (no output nor spike count when every sample of the chunk failed), the errors as an
    object array of lists."""
    value = getattr(result, attr)
    if name is not None:
        value = value.get(name)
        if value is None:
            return np.zeros(shape, dtype)
    if dtype == object:
        out = np.empty(shape, object)
        for i, errors in enumerate(value):
            out[i] = errors
        return out
    return np.asarray(value, dtype)


def _assemble(layouts: list[dict[str, Any]], bounds: list[tuple[int, int]], block: Any) -> DatasetResult:
    """The data set's arrays from the chunks' blocks; `block(i, request)` gives _field(chunk i's
    result, *request): a numpy array where the result is here, a Dask array where it is not."""
    lengths = [stop - start for start, stop in bounds]

    def column(attr: str, name: str | None, axis: int, rest: tuple[int, ...], dtype: Any) -> da.Array:
        parts = [
            block(i, (attr, name, rest[:axis] + (n,) + rest[axis:], dtype)) for i, n in enumerate(lengths)
        ]
        if isinstance(parts[0], da.Array):
            return da.concatenate(parts, axis=axis)
        chunks = {d: -1 for d in range(len(rest) + 1)} | {axis: tuple(lengths)}
        return da.from_array(np.concatenate(parts, axis=axis), chunks=chunks, name=False)

    fields: dict[str, dict[str, da.Array]] = {}
    for attr, axis in _NODE_FIELDS:
        merged: dict[str, tuple[tuple[int, ...], Any]] = {}
        for layout in layouts:
            for name, (rest, dtype) in layout[attr].items():
                merged[name] = (rest, np.result_type(merged[name][1], dtype) if name in merged else dtype)
        fields[attr] = {name: column(attr, name, axis, rest, dtype) for name, (rest, dtype) in merged.items()}
    return DatasetResult(
        outputs=fields["outputs"],
        outputs_valid=column("outputs_valid", None, 0, (), np.dtype(bool)),
        spike_counts=fields["spike_counts"],
        errors=column("errors", None, 0, (), np.dtype(object)),
        spike_trains=fields["spike_trains"],
        membranes=fields["membranes"],
        timesteps_run=layouts[0]["timesteps_run"],
    )
