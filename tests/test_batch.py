"""simulate_batch: every sample equal to its own single-sample run (static stimuli) or to the
numpy transcription (stimuli per step), on any number of threads; recorded spike trains,
per-sample errors, bad shapes and Ctrl-C."""

import pickle
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from tests.agreement import assert_same_values
from tests.graphs import F32, dyadic, random_graph
from tests.interrupts import interrupted
from tests.oracle import engine as reference
from zelka.backend.cpu.simulator import BatchSimulationResult, PerStep, _cpu_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

cpu = _cpu_backend
pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")


def batch_of(rng, inputs, batch, steps=None):
    """`batch` stimuli shaped and typed like the single-sample `inputs` (dyadic floats, small
    integers), stacked along a batch axis (after a time axis of `steps` when given)."""
    out = {}
    for key, x in inputs.items():
        lead = (batch,) if steps is None else (steps, batch)
        if x.dtype.kind == "f":
            out[key] = dyadic(rng, lead + x.shape, x.dtype)
        else:
            out[key] = rng.integers(-3, 4, lead + x.shape).astype(x.dtype)
    return out


def assert_sample(got, i, want):
    """Sample i of a batch result against a single-sample SimulationResult."""
    assert bool(got.outputs_valid[i]) is want.outputs_valid
    assert got.errors[i] == want.errors
    if not want.outputs_valid:
        return
    for name, value in want.outputs.items():
        assert_same_values(got.outputs[name][i], np.asarray(value), where=f"outputs[{name!r}][{i}]")
    for name, count in want.spike_counts.items():
        assert got.spike_counts[name][i] == count, (name, i)
    for name, trains in got.spike_trains.items():
        for t, state in enumerate(want.node_states):
            expected = state[name] != 0 if name in state else np.zeros(trains.shape[2], bool)
            assert np.array_equal(trains[t, i], expected), (name, t, i)


def lifs(graph):
    return [name for name, node in graph.nodes.items() if isinstance(node, LIF)]


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("batch", [1, 2, 7, 64])
@pytest.mark.parametrize("seed", range(6))
def test_static_stimuli_give_each_samples_own_run(step_path, seed, batch, workers):
    rng = np.random.default_rng(300 + seed)
    graph, inputs = random_graph(rng)
    stimuli = batch_of(rng, inputs, batch)
    n_steps = 12
    got = cpu.simulate_batch(graph, stimuli, n_steps, workers=workers, record=lifs(graph))
    assert type(got) is BatchSimulationResult and got.timesteps_run == n_steps
    assert got.outputs_valid.dtype == bool and got.outputs_valid.shape == (batch,)
    for i in range(batch):
        want = cpu.simulate(graph, {k: v[i] for k, v in stimuli.items()}, n_steps, step_by_step=True)
        assert_sample(got, i, want)


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("batch", [1, 2, 7])
@pytest.mark.parametrize("seed", range(6))
def test_stimuli_per_step_agree_with_the_transcription(step_path, seed, batch, workers):
    rng = np.random.default_rng(400 + seed)
    graph, inputs = random_graph(rng)
    n_steps = 10
    stimuli = batch_of(rng, inputs, batch, steps=n_steps + 2)
    got = cpu.simulate_batch(graph, PerStep(stimuli), n_steps, workers=workers, record=lifs(graph))
    for i in range(batch):
        want = reference.simulate(
            graph, {k: v[:, i] for k, v in stimuli.items()}, n_steps, True, per_step=True
        )
        assert_sample(got, i, want)


def network(n_in=40, hidden=24, out=6, seed=0):
    rng = np.random.default_rng(seed)
    return Graph.sequential(
        ("in", Input(input_type={"x": (n_in,)})),
        ("fc1", Affine(dyadic(rng, (hidden, n_in)), dyadic(rng, hidden))),
        ("lif1", LIF(3.0, np.full(hidden, 0.5, F32))),
        ("fc2", Affine(dyadic(rng, (out, hidden)))),
        ("lif2", LIF(2.0, np.full(out, 0.5, F32), v_leak=np.float64(0.125))),
        ("out", Output()),
    )


@pytest.mark.parametrize("workers", [1, 2])
@pytest.mark.parametrize("seed", range(8))
def test_recorded_membranes_are_the_potentials_after_each_step(seed, workers):
    rng = np.random.default_rng(seed)
    graph, inputs = random_graph(rng)
    steps, batch = 6, 5
    per_step = seed % 2 == 1
    stimuli = batch_of(rng, inputs, batch, steps if per_step else None)
    names = lifs(graph)
    got = cpu.simulate_batch(graph, PerStep(stimuli) if per_step else stimuli, steps, workers=workers,
                             record=[f"v:{n}" for n in names] + names[:1])  # fmt: skip
    assert list(got.membranes) == names and list(got.spike_trains) == names[:1]
    for i in range(batch):
        if not got.outputs_valid[i]:
            continue
        sample = {k: (x[:, i] if per_step else x[i]) for k, x in stimuli.items()}
        trace = []
        reference.simulate(graph, sample, steps, per_step=per_step, membranes=trace)
        for name in names:
            want = np.stack([state[name] for state in trace])
            assert got.membranes[name].dtype == want.dtype, name
            assert_same_values(got.membranes[name][:, i], want, where=f"{name} sample {i}")


def test_membranes_of_a_node_that_is_no_lif_are_refused():
    with pytest.raises(ValueError, match=r"record: 'v:fc1' is not a LIF node of the graph"):
        cpu.simulate_batch(network(), {"in": np.ones((2, 40), F32)}, 3, record=["v:fc1"])


@pytest.mark.parametrize("density", [0.05, 0.5, 1.0])
def test_spike_train_stimuli_on_threads(density):
    # Rate-coded spikes: the first layer sums the columns of each sample's active inputs.
    rng = np.random.default_rng(5)
    steps, batch = 80, 9
    spikes = (rng.random((steps, batch, 40)) < density).astype(F32)
    graph = network()
    results = [
        cpu.simulate_batch(graph, PerStep({"in": spikes}), steps, workers=w, record="lif2") for w in (1, 3)
    ]
    for i in range(batch):
        want = reference.simulate(graph, {"in": spikes[:, i]}, steps, True, per_step=True)
        for got in results:
            assert_sample(got, i, want)
    assert results[0].spike_trains["lif2"].shape == (steps, batch, 6)
    assert results[0].spike_counts["lif1"].dtype == np.int64


@pytest.mark.parametrize("dtype", [F32, np.float64])
@pytest.mark.parametrize(("batch", "workers"), [(1, 1), (3, 1), (5, 2)])
def test_long_stimuli_per_step_mixing_dense_sparse_and_silent_steps(batch, workers, dtype):
    # A stimulus known for every step has its first layer's products computed many steps
    # ahead: over 75 steps (windows of steps that do not divide it) where some steps are
    # dense, some sparse and some silent, each sample's every step must still be its own.
    rng = np.random.default_rng(21)
    steps, n_in = 75, 40
    graph = network(n_in=n_in)
    if dtype is not F32:
        graph = Graph({name: Affine(node.weight.astype(dtype), None if node.bias is None else
                                    node.bias.astype(dtype)) if isinstance(node, Affine) else node
                       for name, node in graph.nodes.items()}, graph.edges)  # fmt: skip
    density = rng.choice([0.0, 0.1, 0.3, 1.0], size=(steps, 1, 1))
    stimuli = np.where(rng.random((steps, batch, n_in)) < density, dyadic(rng, (steps, batch, n_in)), 0)
    stimuli = stimuli.astype(dtype)
    got = cpu.simulate_batch(
        graph, PerStep({"in": stimuli}), steps, workers=workers, record=["lif1", "v:lif2"]
    )
    assert got.spike_counts["lif1"].min() > 0
    for i in range(batch):
        trace = []
        want = reference.simulate(graph, {"in": stimuli[:, i]}, steps, True, per_step=True, membranes=trace)
        assert_sample(got, i, want)
        assert_same_values(
            got.membranes["lif2"][:, i], np.stack([s["lif2"] for s in trace]), where=f"sample {i}"
        )


def misaligned(array):
    """A copy of `array` whose data starts one byte past an aligned address (as a view into a
    byte buffer is), which numpy describes as not aligned."""
    raw = np.zeros(array.nbytes + 1, np.uint8)[1:]
    out = raw.view(array.dtype).reshape(array.shape)
    out[...] = array
    assert not out.flags.aligned
    return out


@pytest.mark.parametrize("per_step", [False, True])
def test_stimuli_and_weights_not_aligned_give_the_same_results(per_step):
    rng = np.random.default_rng(11)
    steps, batch = 30, 5
    stimuli = (rng.random((steps, batch, 40) if per_step else (batch, 40)) < 0.4).astype(F32)
    graph = network()
    moved = Graph({**graph.nodes, "fc1": Affine(misaligned(graph.nodes["fc1"].weight),
                                                misaligned(graph.nodes["fc1"].bias))},
                  graph.edges)  # fmt: skip
    wrap = PerStep if per_step else dict
    want = cpu.simulate_batch(graph, wrap({"in": stimuli}), steps, record=["lif1", "v:lif2"])
    got = cpu.simulate_batch(moved, wrap({"in": misaligned(stimuli)}), steps, record=["lif1", "v:lif2"])
    assert want.outputs_valid.all() and want.spike_counts["lif1"].any()
    assert got.errors == want.errors
    for field in ("outputs", "spike_counts", "spike_trains", "membranes"):
        for name, value in getattr(want, field).items():
            assert_same_values(getattr(got, field)[name], value, where=f"{field}[{name!r}]")
    if not per_step:
        alone = cpu.simulate(moved, {"in": misaligned(stimuli[0])}, steps)
        assert_same_values(alone.outputs["out"], want.outputs["out"][0], where="simulate")


@pytest.mark.parametrize("per_step", [False, True])
def test_an_empty_batch_gives_empty_results(per_step):
    shape = (5, 0, 40) if per_step else (0, 40)
    stimuli = {"in": np.zeros(shape, F32)}
    for workers in (1, 2):
        got = cpu.simulate_batch(network(), PerStep(stimuli) if per_step else stimuli, 5,
                                 workers=workers, record=["lif1", "v:lif2"])  # fmt: skip
        assert got.outputs_valid.shape == (0,) and got.errors == []
        assert got.spike_trains["lif1"].shape == (5, 0, 24)
        assert got.membranes["lif2"].shape == (5, 0, 6)


@pytest.mark.parametrize("seed", range(3))
def test_buffers_kept_from_an_earlier_call_start_as_in_a_fresh_one(seed):
    # A batch's buffers (above the size kept for reuse) are taken over by the next call of
    # the same size; what the first call left in them must not leak into the second.
    rng = np.random.default_rng(seed)
    graph, inputs = random_graph(rng, general=False)
    stimuli = batch_of(rng, inputs, 300)
    first = cpu.simulate_batch(graph, stimuli, 3)
    cpu.simulate_batch(graph, {name: np.full_like(x, 5.0) for name, x in stimuli.items()}, 3)
    again = cpu.simulate_batch(graph, stimuli, 3)
    for name, values in first.outputs.items():
        assert np.array_equal(again.outputs[name], values, equal_nan=True)
    for name, counts in first.spike_counts.items():
        assert np.array_equal(again.spike_counts[name], counts)


def test_a_failing_sample_does_not_stop_the_others():
    graph = network()
    stimuli = np.ones((4, 40), F32)
    stimuli[2, 0] = 3e38  # its product overflows
    with np.errstate(over="raise"):
        got = cpu.simulate_batch(graph, {"in": stimuli}, 20, record=["lif1"])
        wants = [cpu.simulate(graph, {"in": x}, 20, step_by_step=True) for x in stimuli]
    assert got.outputs_valid.tolist() == [True, True, False, True] and got.errors[2]
    for i, want in enumerate(wants):
        assert_sample(got, i, want)
    assert not got.outputs["out"][2].any() and got.spike_counts["lif1"][2] == 0


# fmt: off
@pytest.mark.parametrize("stimuli, steps, message", [
    ({"in": np.ones((3, 40)), "other": np.ones((2, 5))}, 5, r"Input 'other': batch size 2 \(shape \(2, 5\)\) differs from the batch size 3 of Input 'in' \(shape \(3, 40\)\)"),
    ({"in": np.ones((3, 39))}, 5, r"Input 'in': samples of shape \(39,\) \(array of shape \(3, 39\)\) do not match the declared shape \(40,\)"),
    ({"per step": np.ones((4, 2, 40))}, 5, r"Input 'in': 5 steps need a time axis of at least 5, got shape \(4, 2, 40\)"),
    ({"in": np.float32(1)}, 5, r"Input 'in': a batch needs an array of shape \(batch, \*input_shape\), got shape \(\)"),
    ({}, 5, "input_data must hold at least one stimulus"),
    ({"x": np.ones((3, 40))}, 5, r"input_data: 'x' names no Input node of the graph \(its Inputs: \['in'\]\)"),
    ({"in": np.ones((3, 40)), "fc1": np.ones((3, 24))}, 5, r"input_data: 'fc1' names no Input node"),
])
def test_stimuli_of_the_wrong_shape(stimuli, steps, message):
    if "per step" in stimuli:  # built here: records made at collection would outlive the module
        stimuli = PerStep({"in": stimuli["per step"]})
    with pytest.raises(ValueError, match=message):
        cpu.simulate_batch(network(), stimuli, steps)
# fmt: on


def test_declared_shapes_in_any_form_numpy_reads():
    # a tuple of ints is compared as it is, other forms as numpy reads them
    for declared in [(40,), [40], (np.int64(40),), 40, np.array([40]), (2, 20), [2, 20]]:
        graph = Graph.sequential(
            ("in", Input(input_type={"x": declared})),
            ("fc", Affine(np.ones((3, 40), F32))),
            ("lif", LIF(2.0, np.ones(3, F32))),
            ("out", Output()),
        )
        shape = (2, 20) if np.size(declared) == 2 else (40,)
        got = cpu.simulate_batch(graph, {"in": np.ones((2, *shape), F32)}, 3)
        assert got.spike_counts["lif"].tolist() == [9, 9], declared
        with pytest.raises(ValueError, match=r"samples of shape \(41,\) .* declared shape"):
            cpu.simulate_batch(graph, {"in": np.ones((2, 41), F32)}, 3)


def test_argument_rules():
    graph, stimuli = network(), {"in": np.ones((2, 40), F32)}
    with pytest.raises(ValueError, match="record: 'fc1' is not a LIF node of the graph"):
        cpu.simulate_batch(graph, stimuli, 3, record=["fc1"])
    with pytest.raises(ValueError, match="workers must be at least 1"):
        cpu.simulate_batch(graph, stimuli, 3, workers=0)
    with pytest.raises(
        OverflowError,
        match=r"Argument 'workers' must lie between -2\*\*63 and 2\*\*63 - 1, got 9223372036854775808",
    ):
        cpu.simulate_batch(graph, stimuli, 3, workers=2**63)
    with pytest.raises(TypeError, match=r"Argument 'n_steps' has incorrect type \(expected int, got str\)"):
        cpu.simulate_batch(graph, stimuli, "3")
    with pytest.raises(TypeError, match="input_data must be a dict or a PerStep of a dict, got list"):
        cpu.simulate_batch(graph, [np.ones(40)], 3)
    with pytest.raises(TypeError):
        cpu.simulate_batch(graph, stimuli, 3, 2)  # workers is keyword-only
    got = cpu.simulate_batch(graph, stimuli, -(2**70))
    assert got.timesteps_run == -(2**70) and got.outputs == {} and got.outputs_valid.all()


def test_records_and_progress(monkeypatch):
    graph, stimuli = network(), {"in": np.ones((3, 40), F32)}
    a, b = cpu.simulate_batch(graph, stimuli, 5), cpu.simulate_batch(graph, stimuli, 5)
    assert a.errors == b.errors == [[], [], []] and pickle.loads(pickle.dumps(a)).timesteps_run == 5
    assert repr(PerStep({})) == "PerStep(inputs={})" and PerStep({}) == PerStep({})
    assert BatchSimulationResult().outputs_valid.shape == (0,)
    monkeypatch.setitem(sys.modules, "tqdm", None)
    with pytest.raises(ImportError, match="progress=True needs tqdm"):
        cpu.simulate_batch(graph, stimuli, 5, progress=True)


def test_progress_bar():
    tqdm = pytest.importorskip("tqdm")
    assert tqdm
    got = cpu.simulate_batch(network(), {"in": np.ones((3, 40), F32)}, 50, progress=True)
    assert got.outputs_valid.all()


def in_fresh_interpreter(code):
    """Runs `code` (after `from tests.test_batch import *`) in a fresh interpreter, so that a
    crash fails this test and not the session; returns what it printed."""
    code = "from tests.test_batch import *\n" + textwrap.dedent(code)
    done = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, text=True, timeout=300
    )
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_a_failing_progress_bar_stops_the_run_and_raises_its_error():
    # A bar whose stderr was closed raises BrokenPipeError from update() or close(); the
    # workers are stopped and joined, and the bar's error reaches the caller.  The total of
    # 2**62 steps of 4 samples is past 64 bits.
    printed = in_fresh_interpreter("""
        import types
        class Bar:
            made = []
            def __init__(self, total, **_):
                Bar.made.append(self)
                self.total, self.shown, self.closed = total, 0, 0
            def update(self, n):
                self.shown += n
                if "update" in FAIL and self.shown > FAIL_AFTER:
                    raise BrokenPipeError(32, "update")
            def close(self):
                self.closed += 1
                if "close" in FAIL:
                    raise BrokenPipeError(32, "close")
        sys.modules["tqdm"] = types.SimpleNamespace(tqdm=Bar)
        x = {"in": np.random.default_rng(1).random((4, 40)).astype(F32)}
        for FAIL, FAIL_AFTER, steps in [("update", 4, 2**62), ("update", 0, 10), ("close", 0, 10),
                                        ("update close", 4, 2**62)]:
            try:
                cpu.simulate_batch(network(), x, steps, workers=2, progress=True)
            except BrokenPipeError as e:
                bar = Bar.made[-1]
                print(FAIL, e.strerror, bar.total, bar.closed)
    """)
    assert printed.splitlines() == [
        f"update update {2**64} 1",  # stopped while the workers ran
        "update update 40 1",  # in the first step, which runs through numpy
        "close close 40 1",
        f"update close update {2**64} 1",  # the first error wins
    ]


def test_workers_beyond_what_the_system_can_start():
    # Under a tight address-space limit only a few threads start: the chunks of samples run
    # on those, and the result is that of one worker.
    assert in_fresh_interpreter("""
        import resource
        x, graph = {"in": np.random.default_rng(3).random((1000, 40)).astype(F32)}, network()
        want = cpu.simulate_batch(graph, x, 50, workers=1, record=["lif2"])
        size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize"))
        resource.setrlimit(resource.RLIMIT_AS, (size * 1024 + 400 * 2**20, resource.RLIM_INFINITY))
        got = cpu.simulate_batch(graph, x, 50, workers=1000, record=["lif2"])
        print(np.array_equal(got.spike_trains["lif2"], want.spike_trains["lif2"]),
              np.array_equal(got.outputs["out"], want.outputs["out"]))
    """).split() == ["True", "True"]


def test_batches_from_several_threads_and_in_a_forked_child():
    # The helper threads are kept from call to call: calls from several threads at once share
    # them, and a child made by fork(), which has none of them, starts its own.
    assert in_fresh_interpreter("""
        import os, signal, threading
        rng = np.random.default_rng(5)
        x, graph = {"in": rng.random((300, 40)).astype(F32)}, network()
        want = cpu.simulate_batch(graph, x, 30, workers=1).outputs["out"]
        same = []
        def check():
            for _ in range(5):
                got = cpu.simulate_batch(graph, x, 30, workers=3).outputs["out"]
                same.append(np.array_equal(got, want))
        threads = [threading.Thread(target=check) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        child = os.fork()
        if child == 0:
            signal.alarm(60)  # a child waiting for its parent's threads would hang
            got = cpu.simulate_batch(graph, x, 30, workers=3).outputs["out"]
            os._exit(0 if np.array_equal(got, want) else 1)
        _, status = os.waitpid(child, 0)
        print(all(same), len(same), os.waitstatus_to_exitcode(status))
    """).split() == ["True", "20", "0"]


@pytest.mark.parametrize("workers", [1, 2])
def test_ctrl_c_stops_a_batch(step_path, workers):
    # with one worker the calling thread runs the steps and watches for Ctrl-C between them
    graph, stimuli = network(), {"in": np.random.default_rng(1).random((16, 40)).astype(F32)}
    interrupted(lambda: cpu.simulate_batch(graph, stimuli, 2**70, workers=workers))


class CountingBar:
    """A stand-in for tqdm's bar that keeps its total and the sum of its updates."""

    def __init__(self, total, **_):
        CountingBar.total, CountingBar.shown = total, 0

    def update(self, n):
        CountingBar.shown += n

    def close(self):
        pass


@pytest.mark.parametrize("workers", [1, 2, 3])
@pytest.mark.parametrize("per_step", [False, True])
def test_samples_in_many_cache_blocks_agree_with_their_own_runs(monkeypatch, per_step, workers):
    # A wide hidden layer makes a sample's state large, so that the batch runs in many blocks
    # of samples, each through all its steps; recordings, totals and outputs are those of
    # each sample alone, and the progress bar counts every sample-step once.
    monkeypatch.setitem(sys.modules, "tqdm", types.SimpleNamespace(tqdm=CountingBar))
    rng = np.random.default_rng(4)
    graph, batch, steps, record = network(hidden=6000, seed=2), 70, 7, ["lif1", "v:lif2"]
    x = dyadic(rng, (steps, batch, 40) if per_step else (batch, 40))

    def stimuli(samples):
        return PerStep({"in": x[:, samples]}) if per_step else {"in": x[samples]}

    got = cpu.simulate_batch(
        graph, stimuli(slice(None)), steps, workers=workers, record=record, progress=True
    )
    assert CountingBar.total == CountingBar.shown == batch * steps
    for i in range(0, batch, 9):
        one = cpu.simulate_batch(graph, stimuli(slice(i, i + 1)), steps, record=record)
        for name in one.outputs:
            assert np.array_equal(got.outputs[name][i], one.outputs[name][0]), (name, i)
        for name in one.spike_counts:
            assert got.spike_counts[name][i] == one.spike_counts[name][0], (name, i)
        for name in one.spike_trains:
            assert np.array_equal(got.spike_trains[name][:, i], one.spike_trains[name][:, 0]), (name, i)
        for name in one.membranes:
            assert np.array_equal(got.membranes[name][:, i], one.membranes[name][:, 0]), (name, i)


def test_inputs_not_given_behave_as_in_simulate(step_path):
    # "b" gets no stimulus: simulate fills it with a float32 zero vector of length 1 each step
    rng = np.random.default_rng(8)
    graph = Graph(
        [("a", Input()), ("b", Input()), ("fc", Affine(dyadic(rng, (3, 4)))), ("lif", LIF(2.0, np.full(3, 0.25, F32))),
         ("out_b", Output()), ("out", Output())],
        [("a", "fc"), ("fc", "lif"), ("lif", "out"), ("b", "out_b")],
    )  # fmt: skip
    stimuli = {"a": dyadic(rng, (5, 4))}
    got = cpu.simulate_batch(graph, stimuli, 9, record=["lif"])
    for i in range(5):
        assert_sample(got, i, cpu.simulate(graph, {"a": stimuli["a"][i]}, 9, step_by_step=True))


def test_a_sample_failing_in_a_native_step_is_replayed_alone(step_path):
    # The layer feeds itself: with a large stimulus, the sum of its inputs overflows in the
    # third step, inside the native steps; under over="raise" that sample's run fails as in
    # simulate, the others do not.
    graph = Graph(
        [("in", Input()), ("fc", Affine(np.full((1, 1), 2.0, F32), np.zeros(1, F32))), ("out", Output())],
        [("in", "fc"), ("fc", "fc"), ("fc", "out")],
    )
    stimuli = np.array([[1.0], [1e38], [0.5]], F32)
    with np.errstate(over="raise"):
        got = cpu.simulate_batch(graph, {"in": stimuli}, 6, workers=2)
        wants = [cpu.simulate(graph, {"in": x}, 6, step_by_step=True) for x in stimuli]
    assert got.outputs_valid.tolist() == [True, False, True] and "overflow" in got.errors[1][0]
    for i, want in enumerate(wants):
        assert_sample(got, i, want)
