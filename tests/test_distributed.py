"""simulate_dataset: each sample equal to its own run whatever the chunking, recorded trains and
membranes, stimuli per step from numpy and Dask arrays, a worker lost during the run, bad
arguments refused before anything reaches the cluster, the function's own cluster closed on
failure and Ctrl-C, and the error without the extra."""

import importlib
import os
import signal
import sys
import threading
import time

import numpy as np
import pytest

dask = pytest.importorskip("dask")
da = pytest.importorskip("dask.array")
distributed = pytest.importorskip("distributed")

import zelka.distributed as zd
from tests.agreement import assert_same_values
from tests.interrupts import interruptible
from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.ir import LIF, Affine, Graph, Input, Output, ReLU

cpu = _cpu_backend
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster, set_as_default=False) as c,
    ):
        yield c


def two_input_network(seed=0):
    """Two Inputs summed into a dense layer, a LIF layer feeding itself back through a second
    dense layer, and an Output of the spikes."""
    rng = np.random.default_rng(seed)
    w1 = (rng.integers(-8, 9, (6, 5)) / 8).astype(np.float32)
    w2 = (rng.integers(-8, 9, (6, 6)) / 16).astype(np.float32)
    graph = Graph(
        [
            ("a", Input(input_type={"x": (5,)})),
            ("b", Input(input_type={"x": (5,)})),
            ("fc", Affine(w1, np.full(6, 0.125, np.float32))),
            ("lif", LIF(tau=np.full(6, 3.0, np.float32), v_threshold=np.full(6, 1.0, np.float32))),
            ("back", Affine(w2)),
            ("out", Output()),
        ],
        [("a", "fc"), ("b", "fc"), ("fc", "lif"), ("lif", "back"), ("back", "lif"), ("lif", "out")],
    )
    return graph, rng


def assert_results_equal(got, want, client=None):
    """A DatasetResult, computed with `client`, against a BatchSimulationResult of the same
    samples, bitwise."""
    assert got.timesteps_run == want.timesteps_run
    for field in ("outputs", "spike_counts", "spike_trains", "membranes"):
        theirs = getattr(want, field)
        assert list(getattr(got, field)) == list(theirs), field
        for name, value in getattr(got, field).items():
            assert_same_values(value.compute(scheduler=client), theirs[name], where=f"{field}[{name!r}]")
    assert_same_values(got.outputs_valid.compute(scheduler=client), want.outputs_valid, where="outputs_valid")
    assert got.errors.compute(scheduler=client).tolist() == want.errors


# ---- exactness -----------------------------------------------------------------------------


def test_each_sample_equals_its_own_simulate_with_chunks_that_do_not_divide_the_samples(client):
    graph, rng = two_input_network()
    stimuli = {k: (rng.integers(0, 9, (11, 5)) / 8).astype(np.float32) for k in "ab"}
    got = zd.simulate_dataset(graph, stimuli, 15, client=client, chunk=4, record=["lif", "v:lif"])
    assert got.outputs["out"].chunks == ((4, 4, 3), (6,))
    assert got.spike_trains["lif"].chunks == ((15,), (4, 4, 3), (6,))
    assert got.errors.dtype == object and got.spike_counts["lif"].dtype == np.int64
    valid, outputs, counts, trains = dask.compute(
        got.outputs_valid,
        got.outputs["out"],
        got.spike_counts["lif"],
        got.spike_trains["lif"],
        scheduler=client,
    )
    for i in range(11):
        want = cpu.simulate(graph, {k: v[i] for k, v in stimuli.items()}, 15, step_by_step=True)
        assert want.outputs_valid and valid[i]
        assert_same_values(outputs[i], want.outputs["out"], where=f"sample {i}")
        assert counts[i] == want.spike_counts["lif"]
        assert np.array_equal(trains[:, i], [state["lif"] != 0 for state in want.node_states])
    # the membranes, and every other field, as one simulate_batch call gives them
    assert_results_equal(got, cpu.simulate_batch(graph, stimuli, 15, record=["lif", "v:lif"]), client)


@pytest.mark.parametrize("per_step", [False, True])
def test_the_activity_of_the_chunks_is_that_of_one_batch(client, per_step):
    graph, rng = two_input_network(5)
    if per_step:  # spike trains: the first layer counts synaptic operations too
        stimuli = {k: (rng.random((9, 10, 5)) < 0.4).astype(np.float32) for k in "ab"}
    else:
        stimuli = {k: (rng.integers(0, 9, (10, 5)) / 8).astype(np.float32) for k in "ab"}
    got = zd.simulate_dataset(graph, stimuli, 9, client=client, chunk=3, per_step=per_step, activity=True)
    want = cpu.simulate_batch(graph, PerStep(stimuli) if per_step else stimuli, 9, activity=True).activity
    activity = got.activity
    assert activity.samples == 10 and list(activity.synaptic_ops) == list(want.synaptic_ops)
    assert ("fc" in activity.synaptic_ops) is per_step
    for field in ("synaptic_ops", "dense_macs", "spikes"):
        for name, counts in getattr(want, field).items():
            np.testing.assert_array_equal(
                getattr(activity, field)[name], counts, err_msg=f"{field}[{name!r}]"
            )
    np.testing.assert_array_equal(activity.spikes["lif"], got.spike_counts["lif"].compute(scheduler=client))
    assert zd.simulate_dataset(graph, stimuli, 9, client=client, chunk=5, per_step=per_step).activity is None


@pytest.mark.parametrize("per_step", [False, True])
def test_chunks_that_take_an_input_differently_join_as_one_batch_counts_them(client, per_step):
    """A chunk of all-zero images holds nothing but zeros and ones: alone it counts its first
    layer's synaptic operations, joined to images the whole set counts dense MACs.  Spike
    trains with one value of another kind in one chunk count dense MACs throughout too."""
    graph, rng = two_input_network(6)
    if per_step:
        stimuli = {k: (rng.random((9, 10, 5)) < 0.4).astype(np.float32) for k in "ab"}
        stimuli["b"][4, 8, 2] = 0.5
    else:
        stimuli = {k: (rng.integers(1, 9, (10, 5)) / 8).astype(np.float32) for k in "ab"}
        for k in "ab":
            stimuli[k][4:8] = 0
    dataset = {k: da.from_array(v, chunks=(9, 4, 5) if per_step else (4, 5)) for k, v in stimuli.items()}
    got = zd.simulate_dataset(graph, dataset, 9, client=client, chunk=4, per_step=per_step, activity=True)
    want = cpu.simulate_batch(graph, PerStep(stimuli) if per_step else stimuli, 9, activity=True).activity
    activity = got.activity
    assert list(activity.dense_macs) == list(want.dense_macs) == ["fc"]
    assert list(activity.synaptic_ops) == list(want.synaptic_ops) == ["back"]
    for field in ("synaptic_ops", "dense_macs", "spikes"):
        for name, counts in getattr(want, field).items():
            np.testing.assert_array_equal(
                getattr(activity, field)[name], counts, err_msg=f"{field}[{name!r}]"
            )


def test_calls_in_quick_succession_with_the_same_graph(client):
    # each call sends the graph anew, while the copy of the call before is still being released
    graph, rng = two_input_network(3)
    stimuli = {"a": rng.random((6, 5), dtype=np.float32)}
    want = cpu.simulate_batch(graph, stimuli, 4)
    for _ in range(5):
        assert_results_equal(zd.simulate_dataset(graph, stimuli, 4, client=client, chunk=2), want)


@pytest.mark.parametrize("kind", ["numpy", "dask"])
def test_stimuli_per_step_from_numpy_and_dask_arrays(client, kind):
    graph, rng = two_input_network(1)
    trains = {k: (rng.random((12, 7, 5)) < 0.4).astype(np.float32) for k in "ab"}  # 12 steps given
    stimuli = (
        trains if kind == "numpy" else {k: da.from_array(v, chunks=(5, 3, 5)) for k, v in trains.items()}
    )
    got = zd.simulate_dataset(graph, stimuli, 10, client=client, chunk=3, record="lif", per_step=True)
    assert got.spike_trains["lif"].shape == (10, 7, 6)
    assert_results_equal(got, cpu.simulate_batch(graph, PerStep(trains), 10, record=["lif"]), client)


def test_failing_samples_follow_the_callers_numpy_error_handling(client):
    # The layer feeds itself: a large stimulus overflows in its third step, which under
    # over="raise" fails that sample's run (as in simulate); chunk [2, 4) fails as a whole.
    graph = Graph(
        [
            ("in", Input()),
            ("fc", Affine(np.full((1, 1), 2.0, np.float32), np.zeros(1, np.float32))),
            ("out", Output()),
        ],
        [("in", "fc"), ("fc", "fc"), ("fc", "out")],
    )
    stimuli = np.array([[1.0], [0.5], [1e38], [3e38], [0.25]], np.float32)
    with np.errstate(over="raise"):
        got = zd.simulate_dataset(graph, {"in": stimuli}, 6, client=client, chunk=2)
        wants = [cpu.simulate(graph, {"in": x}, 6) for x in stimuli]
    valid, errors, outputs = dask.compute(got.outputs_valid, got.errors, got.outputs["out"], scheduler=client)
    assert valid.tolist() == [w.outputs_valid for w in wants] == [1, 1, 0, 0, 1]
    assert errors.tolist() == [w.errors for w in wants]
    assert outputs.dtype == wants[0].outputs["out"].dtype and not outputs[2:4].any()
    for i in (0, 1, 4):
        assert_same_values(outputs[i], wants[i].outputs["out"])
    # under numpy's default handling the overflow only warns: every sample completes
    again = zd.simulate_dataset(graph, {"in": stimuli}, 6, client=client, chunk=2)
    assert again.outputs_valid.compute(scheduler=client).all()


def test_a_worker_killed_during_the_run_leaves_the_results_unchanged(client):
    # A recurrent layer recomputed every step: each chunk of one sample runs for about a second.
    rng = np.random.default_rng(5)
    graph = Graph(
        [
            ("in", Input(input_type={"x": (32,)})),
            ("fc", Affine(rng.normal(0, 0.5, (32, 32)).astype(np.float32))),
            ("lif", LIF(tau=2.0, v_threshold=np.ones(32, np.float32))),
            ("out", Output()),
        ],
        [("in", "fc"), ("fc", "lif"), ("lif", "fc"), ("lif", "out")],
    )
    stimuli = {"in": rng.random((4, 32), dtype=np.float32)}
    steps, killed = 2_000_000, []
    pids = client.run(os.getpid)

    def kill_a_busy_worker():
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            busy = [
                w for w, keys in client.processing().items() if any("_simulate_chunk" in str(k) for k in keys)
            ]
            if busy:
                time.sleep(0.2)
                os.kill(pids[busy[0]], signal.SIGKILL)
                killed.append(busy[0])
                return
            time.sleep(0.05)

    killer = threading.Thread(target=kill_a_busy_worker)
    killer.start()
    try:
        got = zd.simulate_dataset(graph, stimuli, steps, client=client, chunk=1)
    finally:
        killer.join()
    assert killed
    assert_results_equal(got, cpu.simulate_batch(graph, stimuli, steps), client)
    client.wait_for_workers(2, timeout=30)


# ---- the function's own cluster ----------------------------------------------------------------


@pytest.fixture
def own_clusters(monkeypatch):
    """The LocalClusters simulate_dataset makes, with the worker processes each one started."""
    made = []

    class Spied(distributed.LocalCluster):
        def __init__(self, *args, **kwargs):
            super().__init__(*args, **kwargs)
            self.pids = [w.process.pid for w in self.workers.values()]
            made.append(self)

    monkeypatch.setattr(zd, "LocalCluster", Spied)
    return made


def assert_closed(clusters):
    assert len(clusters) == 1 and clusters[0].status.name == "closed"
    for pid in clusters[0].pids:
        try:
            os.waitpid(pid, os.WNOHANG)
        except ChildProcessError:
            continue  # reaped
        with pytest.raises(ProcessLookupError):
            os.kill(pid, 0)


def test_without_a_client_the_results_are_gathered_and_the_cluster_closed(own_clusters):
    graph, rng = two_input_network(2)
    stimuli = {"a": (rng.integers(0, 9, (5, 5)) / 8).astype(np.float32)}
    got = zd.simulate_dataset(graph, stimuli, 9, chunk=2, record=["v:lif"])
    assert_closed(own_clusters)
    assert_results_equal(got, cpu.simulate_batch(graph, stimuli, 9, record=["v:lif"]))


def test_the_own_cluster_is_closed_when_a_task_fails(own_clusters):
    graph, _ = two_input_network()

    def broken(block):
        raise OSError("the stimulus could not be read")

    stimuli = da.zeros((6, 5), np.float32, chunks=3).map_blocks(broken, dtype=np.float32)
    with pytest.raises(OSError, match="could not be read"):
        zd.simulate_dataset(graph, {"a": stimuli}, 5, chunk=3)
    assert_closed(own_clusters)


def test_the_own_cluster_is_closed_on_ctrl_c(own_clusters):
    graph, rng = two_input_network()
    stimuli = {"a": rng.random((2, 5), dtype=np.float32)}
    seen_running = []

    def interrupt_once_running():  # interrupts after a minute at the latest, running or not
        deadline = time.monotonic() + 60
        while time.monotonic() < deadline:
            tasks = own_clusters[0].scheduler.tasks.values() if own_clusters else ()
            if any(t.state == "processing" and "_simulate_chunk" in str(t.key) for t in tasks):
                seen_running.append(True)
                break
            time.sleep(0.05)
        os.kill(os.getpid(), signal.SIGINT)

    interrupter = threading.Thread(target=interrupt_once_running)
    with interruptible():
        interrupter.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                zd.simulate_dataset(graph, stimuli, 10**12, chunk=1)
        finally:
            interrupter.join()
    assert seen_running, "the data set's chunks were never seen running"
    assert_closed(own_clusters)


# ---- arguments -----------------------------------------------------------------------------


def bad_calls():
    x = np.zeros((4, 5), np.float32)
    per_step = np.zeros((6, 4, 5), np.float32)
    unknown = da.from_array(x)[da.from_array(x[:, 0]) > 0]  # a mask leaves the number of rows unknown
    return {
        "samples differ": (ValueError, "3 samples", {"inputs": {"a": x, "b": x[:3]}}),
        "samples differ (dask)": (ValueError, "3 samples", {"inputs": {"a": da.from_array(x), "b": x[:3]}}),
        "declared shape": (ValueError, "declared shape", {"inputs": {"a": np.zeros((4, 6))}}),
        "short time axis": (ValueError, "time axis of at least 8", {"inputs": {"a": per_step}, "per_step": True}),
        "no sample axis": (ValueError, "shape \\(n_steps, N", {"inputs": {"a": x[0]}, "per_step": True}),
        "unknown key": (ValueError, "'c' names no Input.*\\['a', 'b'\\]", {"inputs": {"c": x}}),
        "not an Input": (ValueError, "'fc' names no Input", {"inputs": {"fc": x}}),
        "no stimulus": (ValueError, "at least one stimulus", {"inputs": {}}),
        "no sample": (ValueError, "no samples", {"inputs": {"a": x[:0]}}),
        "unknown shape": (ValueError, "compute_chunk_sizes", {"inputs": {"a": unknown}}),
        "record": (ValueError, "record: 'fc' is not a LIF", {"record": ["lif", "fc"]}),
        "record type": (TypeError, "^record must be a LIF node name or a list of them, got NoneType$", {"record": None}),
        "chunk": (ValueError, "chunk must be at least 1", {"chunk": 0}),
        "chunk type": (TypeError, r"^Argument 'chunk' has incorrect type \(expected int, got float\)$", {"chunk": 2.0}),
        "n_steps type": (TypeError, r"^Argument 'n_steps' has incorrect type \(expected int, got str\)$", {"n_steps": "8"}),
        "n_steps bool": (TypeError, r"^Argument 'n_steps' has incorrect type \(expected int, got bool\)$", {"n_steps": True}),
        "inputs type": (TypeError, "inputs must be a mapping", {"inputs": [x]}),
        "graph type": (TypeError, "graph must be a zelka.ir.Graph", {"graph": {"a": Input()}}),
        "computed layers": (ValueError, "LIF 'lif': input of shape \\(4,\\)", {"graph": computed_mismatch()}),
    }  # fmt: skip


def computed_mismatch():
    """A computed graph whose LIF is fed another number of values than it has neurons."""
    lif = LIF(tau=np.float32(2.0), v_threshold=np.ones(3, np.float32))
    nodes = [("a", Input(input_type={"x": (5,)})), ("fc", Affine(np.ones((4, 5), np.float32))), ("lif", lif)]
    return Graph.sequential(*nodes, ("out", Output()), layers="computed")


def test_a_computed_graph_runs_as_in_simulate_batch(client):
    rng = np.random.default_rng(4)
    nodes = [
        ("a", Input(input_type={"x": (5,)})),
        ("relu", ReLU()),  # passed through unless the graph's layers are computed
        ("fc", Affine((rng.integers(-8, 9, (6, 5)) / 8).astype(np.float32))),
        ("lif", LIF(tau=np.float32(2.0), v_threshold=np.full(6, 0.5, np.float32))),
        ("out", Output()),
    ]
    computed = Graph.sequential(*nodes, layers="computed")
    stimuli = {"a": rng.normal(0, 1, (7, 5)).astype(np.float32)}
    want = cpu.simulate_batch(computed, stimuli, 6, record=["lif"])
    assert_results_equal(
        zd.simulate_dataset(computed, stimuli, 6, client=client, chunk=3, record="lif"), want, client
    )
    passed = cpu.simulate_batch(Graph.sequential(*nodes), stimuli, 6, record=["lif"])
    assert not np.array_equal(passed.spike_trains["lif"], want.spike_trains["lif"])


@pytest.mark.parametrize("case", list(bad_calls()))
def test_bad_arguments_are_refused_before_anything_is_submitted(client, monkeypatch, case):
    error, message, given = bad_calls()[case]
    graph, _ = two_input_network()
    call = {"graph": graph, "inputs": {"a": np.zeros((4, 5), np.float32)}, "n_steps": 8} | given

    def submitted(*args, **kwargs):
        raise AssertionError("something was sent to a cluster")

    for method in ("scatter", "compute", "submit", "map"):
        monkeypatch.setattr(client, method, submitted)
    monkeypatch.setattr(zd, "LocalCluster", submitted)  # nor is a cluster started
    for given_client in (client, None):
        with pytest.raises(error, match=message):
            zd.simulate_dataset(**call, client=given_client)


def test_a_closed_client_is_refused_before_anything_is_submitted(client):
    graph, _ = two_input_network()
    with distributed.Client(client.cluster, set_as_default=False) as closed:
        pass
    with pytest.raises(
        ValueError, match=r"^client is closed \(status 'closed'\): pass a running client or None$"
    ):
        zd.simulate_dataset(graph, {"a": np.zeros((4, 5), np.float32)}, 8, client=closed)


def test_without_dask_the_import_error_names_the_extra(monkeypatch):
    for name in ("dask", "dask.array", "distributed"):
        monkeypatch.setitem(sys.modules, name, None)
    monkeypatch.delitem(sys.modules, "zelka.distributed")
    with pytest.raises(ImportError, match=r'pip install "zelka\[distributed\]"'):
        importlib.import_module("zelka.distributed")
