"""The C simulation of test sets: csim(project, inputs) runs any number of samples through the
project's program, built once and kept in the project, and compares them with simulate_batch on
the graph the project stores (graph.zelka), sample by sample.

g++ builds two programs: the 64-128-10 trained-like network with automatic types, on which
every test set runs, and a small network held in few bits, whose C simulation differs from
simulate_batch."""

import hashlib
import os
import shutil
import subprocess
import sys
import warnings

import numpy as np
import pytest

import zelka.io
from tests.snn_networks import trained_like
from tests.test_fpga_snn import HLS4ML, small
from zelka.backend.cpu.simulator import PerStep
from zelka.backend.fpga import csim
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Flatten, Graph, Input, Output

pytestmark = pytest.mark.skipif(HLS4ML is None or shutil.which("g++") is None, reason="needs hls4ml and g++")
STEPS = 25


def images(samples, seed):
    return np.random.default_rng(seed).random((samples, 64)).astype(np.float32)


def write(graph, folder, **settings):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # weights rounded
        return get_backend("fpga").write_snn_project(graph, folder, "net", n_steps=STEPS, **settings)


@pytest.fixture(scope="module")
def trained(tmp_path_factory):
    """The folder of the trained-like network's project with automatic types, and its graph."""
    folder = tmp_path_factory.mktemp("trained") / "prj"
    graph = trained_like(26)
    calibration = images(64, seed=1)
    write(graph, folder, precision="auto", input_data={"x": calibration[0]}, calibration={"x": calibration})
    return folder, graph


def test_a_test_set_runs_on_one_build_and_agrees_with_simulate_batch_sample_by_sample(trained):
    folder, graph = trained
    test = images(100, seed=2)
    first, second = csim(folder, {"x": test}), csim(folder, inputs={"x": test})
    assert (
        first["build_seconds"] > 0
        and second["build_seconds"] == 0.0
        and len(os.listdir(folder / "csim")) == 1
    )
    batch = get_backend("cpu").simulate_batch(graph, {"x": test}, STEPS, record=["lif1", "lif2"])
    for result in (first, second):
        assert result["samples"] == 100 and result["steps"] == STEPS
        assert result["sample_agrees"].mean() >= 0.99  # automatic types
        for layer in ("lif1", "lif2"):
            np.testing.assert_array_equal(
                result["sample_reference_spike_counts"][layer], batch.spike_counts[layer]
            )
            np.testing.assert_array_equal(result["neuron_reference_spike_counts"][layer],
                                          batch.spike_trains[layer].sum(axis=0))  # fmt: skip
            agreeing = result["sample_agrees"]
            np.testing.assert_array_equal(result["neuron_spike_counts"][layer][agreeing],
                                          result["neuron_reference_spike_counts"][layer][agreeing])  # fmt: skip
            assert result["spike_counts"][layer] == result["sample_spike_counts"][layer].sum()
    predicted = first["neuron_spike_counts"]["lif2"].argmax(axis=1)
    assert (predicted == batch.spike_trains["lif2"].sum(axis=0).argmax(axis=1)).mean() >= 0.99
    assert {k: v for k, v in first.items() if k != "build_seconds"}.keys() == second.keys() - {
        "build_seconds"
    }
    assert first["agrees"] == bool(first["sample_agrees"].all())


def test_stimuli_per_step_and_other_step_counts(trained):
    folder, graph = trained
    trains = (np.random.default_rng(3).random((30, 12, 64)) < 0.4).astype(np.float32)  # rate-coded
    result = csim(folder, PerStep({"x": trains}))
    batch = get_backend("cpu").simulate_batch(graph, PerStep({"x": trains}), 30, record=["lif2"])
    assert result["steps"] == 30 and result["samples"] == 12 and result["build_seconds"] == 0.0
    np.testing.assert_array_equal(
        result["neuron_reference_spike_counts"]["lif2"], batch.spike_trains["lif2"].sum(0)
    )
    assert result["sample_agrees"].all()

    short = csim(folder, {"x": images(5, seed=4)}, n_steps=7)
    batch = get_backend("cpu").simulate_batch(graph, {"x": images(5, seed=4)}, 7)
    assert short["steps"] == len(short["step_agreement"]) == 7
    np.testing.assert_array_equal(short["sample_reference_spike_counts"]["lif1"], batch.spike_counts["lif1"])


@pytest.fixture(scope="module")
def coarse(tmp_path_factory):
    """A small network held in few bits, so that its C simulation differs from simulate_batch."""
    folder = tmp_path_factory.mktemp("coarse") / "prj"
    graph = small(tau=np.array([2.3, 5.1, 9.7], np.float32))
    graph.nodes["fc"].weight[:] = np.random.default_rng(5).normal(0.4, 0.3, (3, 4)).astype(np.float32)
    write(
        graph,
        folder,
        precision="ap_fixed<8,3>",
        input_data={"x": np.array([0.9, 0.3, 0.55, 0.15], np.float32)},
    )
    return folder


def test_samples_that_differ_are_counted_as_the_c_simulation_gives_them(coarse):
    folder = coarse
    samples = np.random.default_rng(6).random((40, 4)).astype(np.float32)
    result = csim(folder, {"x": samples})
    agrees, steps_agreeing = result["sample_agrees"], result["sample_steps_agreeing"]
    assert not agrees.all() and agrees.any()
    np.testing.assert_array_equal(agrees, steps_agreeing == STEPS)
    spikes, reference = result["sample_spike_counts"]["lif"], result["sample_reference_spike_counts"]["lif"]
    np.testing.assert_array_equal(result["neuron_spike_counts"]["lif"].sum(axis=1), spikes)
    assert (spikes[~agrees] != reference[~agrees]).any()  # the C simulation's own spikes, not simulate's
    assert result["steps_agreeing"] == sum(result["step_agreement"]) < STEPS
    assert result["spike_counts"] == {"lif": spikes.sum()} and not result["agrees"]

    # the stimulus written with the project, as one sample: what its own test bench gives
    own = csim(folder)
    one = csim(folder, {"x": np.array([[0.9, 0.3, 0.55, 0.15]], np.float32)})
    for key in (
        "steps_agreeing",
        "step_agreement",
        "spike_counts",
        "reference_spike_counts",
        "steps_differing",
    ):
        assert own[key] == one[key], key


def test_the_project_stores_the_graph_it_was_built_from(trained, tmp_path):
    folder, graph = trained
    stored = zelka.io.load(folder / "graph.zelka")
    assert list(stored.nodes) == list(graph.nodes) and stored.edges == graph.edges
    np.testing.assert_array_equal(stored.nodes["fc1"].weight, graph.nodes["fc1"].weight)
    assert (
        stored.nodes["fc1"].weight_t is not None and graph.nodes["fc1"].weight_t is None
    )  # the chosen types

    unsaved = small()
    unsaved.nodes["x"].input_type = {1: (4,)}  # zelka.io saves str keys only
    with pytest.raises(ValueError, match="input_type"):
        write(unsaved, tmp_path / "prj", input_data={"x": np.ones(4, np.float32)})
    assert not (tmp_path / "prj").exists()


@pytest.mark.parametrize(("inputs", "settings", "error", "message"), [
    ({"x": np.ones((3, 5))}, {}, ValueError,
     ("Argument 'inputs': the samples of 'x' have shape (3, 5), expected (batch,) + (4,), the Input's shape in "
      "the project")),
    ({"x": np.ones((3, 4)), "fc": np.ones((3, 4))}, {}, ValueError,
     "Argument 'inputs' names 'fc', which is no Input node of the graph; its Inputs are ['x']"),
    ({}, {}, ValueError, "Argument 'inputs' has no samples for the Input 'x'"),
    ({"x": np.ones((0, 4))}, {}, ValueError, "Argument 'inputs' holds no sample"),
    ([np.ones((3, 4))], {}, TypeError, "Argument 'inputs' has incorrect type (expected dict or PerStep, got list)"),
    ({"x": [[1, 2, "a", 4]]}, {}, TypeError, "Argument 'inputs': the samples of 'x' must be an array of numbers"),
    ({"x": np.array([[0, 0, 0, 0], [0, 1, np.nan, 0]])}, {}, ValueError,
     "Argument 'inputs': 'x' holds nan (sample 2, value 3), which no fixed-point type holds"),
    ({"x": np.ones((3, 4))}, {"n_steps": 0}, ValueError, "Argument 'n_steps' must be at least 1, got 0"),
    ({"x": np.ones((3, 4))}, {"n_steps": 2.0}, TypeError, "Argument 'n_steps' has incorrect type (expected int, got float)"),
    ({"x": np.ones((3, 4))}, {"n_steps": True}, TypeError, "Argument 'n_steps' has incorrect type (expected int, got bool)"),
    (None, {"n_steps": 10}, ValueError, "Argument 'n_steps' applies to samples given as 'inputs'"),
])  # fmt: skip
def test_samples_that_do_not_fit_are_refused_before_anything_is_built(
    tmp_path, inputs, settings, error, message
):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    with pytest.raises(error) as info:
        csim(tmp_path, inputs, **settings)
    assert str(info.value).startswith(message) and not (tmp_path / "csim").exists()


def test_per_step_samples_must_cover_the_steps_asked_for(tmp_path):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    with pytest.raises(
        ValueError, match=r"^Argument 'n_steps' is 10, but the PerStep arrays of 'inputs' hold 6 steps"
    ):
        csim(tmp_path, PerStep({"x": np.ones((6, 2, 4))}), n_steps=10)
    with pytest.raises(ValueError, match=r"expected \(steps, batch\) \+ \(4,\)"):
        csim(tmp_path, PerStep({"x": np.ones((2, 4))}))
    with pytest.raises(ValueError) as info:
        csim(tmp_path, PerStep({"x": np.ones((0, 3, 4))}))
    assert str(info.value) == (
        "Argument 'inputs' holds no step: the first axis of its PerStep arrays, the steps, has length 0"
    )
    assert not (tmp_path / "csim").exists()


def test_a_missing_or_changed_stored_graph_is_refused(tmp_path):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    samples = {"x": np.ones((2, 4), np.float32)}
    zelka.io.save(small(v_threshold=np.full(3, 0.5, np.float32)), tmp_path / "graph.zelka")  # another graph
    with pytest.raises(ValueError, match="graph.zelka is not the graph the project was written from"):
        csim(tmp_path, samples)
    os.remove(tmp_path / "graph.zelka")
    with pytest.raises(
        ValueError, match=r"holds no graph\.zelka, the graph its C simulation runs new samples on"
    ):
        csim(tmp_path, samples)
    shutil.rmtree(tmp_path / "tb_data")  # a project written before its bench read data files
    with pytest.raises(ValueError, match="holds no tb_data/stimulus.dat"):
        csim(tmp_path, samples)
    assert not (tmp_path / "csim").exists()


def test_a_stored_graph_that_is_a_fifo_is_refused_without_waiting_for_a_writer(tmp_path):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    os.remove(tmp_path / "graph.zelka")
    os.mkfifo(tmp_path / "graph.zelka")
    code = (
        "import numpy as np\nfrom zelka.backend.fpga import csim\n"
        f"try:\n    csim({str(tmp_path)!r}, {{'x': np.ones((2, 4), np.float32)}})\n"
        "except ValueError as e:\n    print(e)"
    )
    # in a child killed after two minutes: a csim that waits on the FIFO fails instead of hanging
    run = subprocess.run(
        [sys.executable, "-c", code], check=False, capture_output=True, text=True, timeout=120
    )
    assert run.stdout == (
        f"{str(tmp_path)!r}: graph.zelka is a FIFO, not a graph file: write the project again with "
        "write_snn_project\n"
    ), run.stderr
    assert not (tmp_path / "csim").exists()


def test_a_damaged_kept_program_is_removed_and_built_again(tmp_path):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    samples = {"x": np.random.default_rng(3).integers(0, 5, (6, 4)) / 4}

    def run():
        result = csim(tmp_path, samples)
        (program,) = os.listdir(tmp_path / "csim")
        return result.pop("build_seconds"), program, result

    def kept_intact(program):  # named {project}_{sources' digest}_{its own digest}, 16 digits each
        digest = hashlib.sha256((tmp_path / "csim" / program).read_bytes()).hexdigest()
        return program.startswith("net_") and program.rsplit("_", 1)[1] == digest[:16]

    _, program, first = run()
    assert kept_intact(program)
    damages = (lambda whole: b"\x7fELF garbage", lambda whole: whole[: len(whole) // 2],
               lambda whole: whole[:-1] + bytes([whole[-1] ^ 1]))  # fmt: skip
    for damage in damages:  # overwritten, cut short, its last byte changed
        kept = tmp_path / "csim" / program
        kept.write_bytes(damage(kept.read_bytes()))
        seconds, program, result = run()
        assert seconds > 0 and kept_intact(program)
        assert result.keys() == first.keys() and result["agrees"] == first["agrees"]
        for layer, counts in first["neuron_spike_counts"].items():
            np.testing.assert_array_equal(result["neuron_spike_counts"][layer], counts)
    assert run()[0] == 0.0  # the rebuilt program is trusted again


def test_inputs_of_several_shapes_reach_their_own_ports(tmp_path):
    # two Inputs, one of two dimensions, summed into one LIF layer; given in another order than
    # the graph's; dyadic values, which the project holds exactly
    rng = np.random.default_rng(8)
    graph = Graph()
    graph.add("b", Input(input_type={"input": (2, 3)}))
    graph.add("a", Input(input_type={"input": (4,)}))
    graph.add("flat", Flatten(), after="b")
    graph.add("fc_a", Affine((rng.integers(-8, 9, (3, 4)) / 16).astype(np.float32)), after="a")
    graph.add("fc_b", Affine((rng.integers(-8, 9, (3, 6)) / 16).astype(np.float32)), after="flat")
    graph.add("lif", LIF(tau=np.full(3, 4.0, np.float32), v_threshold=np.full(3, 0.5, np.float32)),
              after=["fc_a", "fc_b"])  # fmt: skip
    graph.add("y", Output(), after="lif")
    write(graph, tmp_path, input_data={"a": np.ones(4, np.float32), "b": np.ones((2, 3), np.float32)})
    samples = {"a": rng.integers(0, 16, (30, 4)) / 16, "b": rng.integers(0, 16, (30, 2, 3)) / 16}
    result = csim(tmp_path, {"b": samples["b"], "a": samples["a"]})
    batch = get_backend("cpu").simulate_batch(graph, samples, STEPS, record=["lif"])
    assert result["sample_agrees"].all() and result["spike_counts"]["lif"] > 0
    np.testing.assert_array_equal(result["neuron_spike_counts"]["lif"], batch.spike_trains["lif"].sum(axis=0))


@pytest.mark.parametrize(("file", "old", "new", "message"), [
    ("stimulus.dat", "steps=25", "steps=x", "tb_data/stimulus.dat is not a stimulus file: line 1 has steps=x, which is no count"),
    ("stimulus.dat", "type=ap_fixed<16,6>", "type=float", "line 1 has type=float, which is no fixed-point type"),
    ("stimulus.dat", "input 1 values=4 shape=4", "input 1 values=4 shape=2,3", "line 2 has a shape of 6 values and values=4"),
    ("reference_spikes.dat", " graph=", " digest=", "tb_data/reference_spikes.dat is not a reference file: line 1 lacks the field graph="),
])  # fmt: skip
def test_project_data_files_not_in_their_form_are_refused(tmp_path, file, old, new, message):
    write(small(), tmp_path, input_data={"x": np.ones(4, np.float32)})
    path = tmp_path / "tb_data" / file
    path.write_text(path.read_text().replace(old, new, 1))
    with pytest.raises(ValueError) as info:
        csim(tmp_path, {"x": np.ones((2, 4))})
    assert str(info.value).startswith(f"{str(tmp_path)!r}: tb_data/") and message in str(info.value)
    assert not (tmp_path / "csim").exists()
