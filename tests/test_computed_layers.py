"""Graphs whose layers are computed (Graph(layers="computed")): each kind against PyTorch in
eval mode, the numpy step against the transcription in tests/oracle, batches against single
runs, and the refusals of what such a graph cannot compute."""

import zipfile

import numpy as np
import pytest

from tests.oracle import engine as reference
from zelka import ir
from zelka.backend.cpu import graph_utils
from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.ir import (
    LIF,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    BatchNorm2d,
    Conv1d,
    Conv2d,
    Dropout,
    Flatten,
    Graph,
    Input,
    MaxPool2d,
    Output,
    ReLU,
    Sigmoid,
    SpikingAffine,
    Tanh,
)

torch = pytest.importorskip("torch")
cpu = _cpu_backend
F32 = np.float32


def layer_graph(node, shape, **edges):
    return Graph.sequential(
        ("x", Input(input_type={"x": shape})), ("layer", node), ("y", Output()), layers="computed"
    )


def computed(node, x):
    """The layer's value after one step of a computed graph Input -> node -> Output."""
    result = cpu.simulate(layer_graph(node, x.shape), {"x": x}, n_steps=1)
    assert result.errors == []
    return result.outputs["y"]


def torch_of(module, x):
    module.eval()
    with torch.no_grad():
        return module(torch.from_numpy(x)[None])[0].numpy()


def dyadic(rng, shape, scale=8):
    """Values that are multiples of 1/scale: products and sums of them are exact."""
    return (rng.integers(-16, 17, shape) / scale).astype(F32)


def set_parameters(module, weight, bias):
    with torch.no_grad():
        module.weight.copy_(torch.from_numpy(weight))
        if bias is not None:
            module.bias.copy_(torch.from_numpy(bias))


CONVOLUTIONS = [  # in, out, kernel, stride, padding, dilation, groups, bias
    (1, 4, (3, 3), 1, 0, 1, 1, True),
    (3, 6, (3, 2), (2, 1), (1, 2), 1, 1, False),
    (4, 6, (3, 3), 1, 1, (2, 1), 2, True),
    (4, 4, (2, 2), 2, 0, 1, 4, True),
]


@pytest.mark.parametrize("settings", CONVOLUTIONS)
def test_conv2d_is_pytorchs(settings):
    in_ch, out_ch, kernel, stride, padding, dilation, groups, has_bias = settings
    rng = np.random.default_rng(in_ch * 7 + out_ch)
    weight = dyadic(rng, (out_ch, in_ch // groups, *kernel))
    bias = dyadic(rng, out_ch) if has_bias else None
    x = dyadic(rng, (in_ch, 9, 8), scale=4)
    module = torch.nn.Conv2d(in_ch, out_ch, kernel, stride, padding, dilation, groups, bias=has_bias)
    set_parameters(module, weight, bias)
    node = Conv2d(weight, bias, stride=stride, padding=padding, dilation=dilation, groups=groups)
    got, want = computed(node, x), torch_of(module, x)
    assert got.dtype == F32 and got.shape == want.shape
    np.testing.assert_array_equal(got, want)  # dyadic: every sum is exact
    # random values: equal to rounding
    weight = rng.standard_normal(weight.shape).astype(F32)
    x = rng.standard_normal(x.shape).astype(F32)
    set_parameters(module, weight, bias)
    node.weight = weight
    np.testing.assert_allclose(computed(node, x), torch_of(module, x), rtol=1e-5, atol=1e-5)


def test_conv1d_is_pytorchs():
    rng = np.random.default_rng(1)
    weight, bias = dyadic(rng, (6, 2, 3)), dyadic(rng, 6)
    x = dyadic(rng, (4, 11), scale=4)
    module = torch.nn.Conv1d(4, 6, 3, stride=2, padding=2, dilation=2, groups=2)
    set_parameters(module, weight, bias)
    got = computed(Conv1d(weight, bias, stride=2, padding=2, dilation=2, groups=2), x)
    np.testing.assert_array_equal(got, torch_of(module, x))


@pytest.mark.parametrize(
    ("kernel", "stride", "padding"),
    [((2, 2), (), (0, 0)), ((3, 3), (2, 2), (1, 1)), ((3, 2), (1, 2), (1, 0))],
)
def test_pooling_is_pytorchs(kernel, stride, padding):
    rng = np.random.default_rng(2)
    x = rng.standard_normal((3, 7, 6)).astype(F32)
    torch_stride = stride or None
    for ours, theirs in [
        (MaxPool2d(kernel, stride, padding), torch.nn.MaxPool2d(kernel, torch_stride, padding)),
        (AvgPool2d(kernel, stride, padding), torch.nn.AvgPool2d(kernel, torch_stride, padding)),
    ]:
        got, want = computed(ours, x), torch_of(theirs, x)
        assert got.shape == want.shape
        np.testing.assert_array_equal(got, want)
    x[0, 0, 0] = np.nan  # a NaN is the largest value of its window
    assert np.isnan(computed(MaxPool2d(kernel, stride, padding), x)[0, 0, 0])


def row_order_max(x):
    """2x2 max pooling as PyTorch's loop takes each window (row order): a NaN replaces the
    largest so far, any other value only when it is greater (so the first of equal values,
    +0.0 or -0.0, stays)."""
    c, h, w = x.shape
    out = np.empty((c, h // 2, w // 2), x.dtype)
    for index in np.ndindex(out.shape):
        k, oy, ox = index
        largest = -np.inf
        for v in x[k, 2 * oy : 2 * oy + 2, 2 * ox : 2 * ox + 2].reshape(-1):
            if v > largest or np.isnan(v):
                largest = v
        out[index] = largest
    return out


@pytest.mark.parametrize("shape", [(3, 8, 6), (2, 4, 1200), (1, 6, 4)])
def test_max_pooling_keeps_each_windows_row_order_to_the_bit(shape):
    rng = np.random.default_rng(4)
    x = rng.choice(np.array([-1.0, -0.0, 0.0, 0.5, np.inf, -np.inf, np.nan], F32), shape)
    nan = np.isnan(x)  # NaNs of different payloads: the last of a window is its result
    payloads = rng.integers(0x7FC00001, 0x7FFFFFFF, int(nan.sum()), dtype=np.uint32)
    x[nan] = payloads.view(F32)
    got = computed(MaxPool2d((2, 2)), x)
    # the node's input is the sum of its inputs from +0.0, in which -0.0 is +0.0
    assert got.tobytes() == row_order_max(x + F32(0)).tobytes()
    spikes = (rng.random(shape) < 0.2).astype(F32)
    assert computed(MaxPool2d((2, 2)), spikes).tobytes() == row_order_max(spikes).tobytes()


@pytest.mark.parametrize(("kind", "torch_kind", "shape"), [
    (BatchNorm1d, torch.nn.BatchNorm1d, (16,)),
    (BatchNorm1d, torch.nn.BatchNorm1d, (16, 5)),
    (BatchNorm2d, torch.nn.BatchNorm2d, (16, 4, 3)),
])  # fmt: skip
@pytest.mark.parametrize("affine", [True, False])
def test_batch_norm_is_pytorchs_to_the_bit(kind, torch_kind, shape, affine):
    rng = np.random.default_rng(3)
    c = shape[0]
    mean, var = rng.standard_normal(c).astype(F32), rng.uniform(0.05, 3, c).astype(F32)
    gamma, beta = rng.normal(1, 0.5, c).astype(F32), rng.standard_normal(c).astype(F32)
    module = torch_kind(c, eps=1e-3, affine=affine)
    with torch.no_grad():
        module.running_mean.copy_(torch.from_numpy(mean))
        module.running_var.copy_(torch.from_numpy(var))
    if affine:
        set_parameters(module, gamma, beta)
    node = kind(c, mean, var, gamma if affine else None, beta if affine else None, eps=1e-3)
    for _ in range(4):
        x = rng.normal(0, 3, shape).astype(F32)
        np.testing.assert_array_equal(computed(node, x), torch_of(module, x))


def test_activations_are_pytorchs():
    rng = np.random.default_rng(4)
    x = np.concatenate(
        [rng.normal(0, 4, 40000), [0.0, np.nan, np.inf, -np.inf, 90.0, -90.0, 88.5, -88.5, 1e-8]]
    ).astype(F32)
    relu = computed(ReLU(), x)
    np.testing.assert_array_equal(relu, torch.relu(torch.from_numpy(x)).numpy())
    leaky = computed(ReLU(negative_slope=0.1), x)
    np.testing.assert_array_equal(leaky, torch.nn.functional.leaky_relu(torch.from_numpy(x), 0.1).numpy())
    # the sigmoid is computed as PyTorch's vectorised kernel computes it: the same bits
    np.testing.assert_array_equal(computed(Sigmoid(), x), torch.sigmoid(torch.from_numpy(x)).numpy())
    got, want = computed(Tanh(), x), torch.tanh(torch.from_numpy(x)).numpy()
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    # within 1 ulp: the float32 values' integer images differ by at most one
    finite = np.isfinite(want)
    gap = np.abs(got[finite].view(np.int32).astype(np.int64) - want[finite].view(np.int32).astype(np.int64))
    assert gap.max() <= 1


def test_flatten_dropout_and_spiking_affine():
    rng = np.random.default_rng(5)
    x = rng.standard_normal((2, 3, 4)).astype(F32)
    assert computed(Flatten(start_dim=1), x).shape == (2, 12)
    np.testing.assert_array_equal(computed(Flatten(), x), x.reshape(-1))
    np.testing.assert_array_equal(computed(Flatten(start_dim=-1), x), x)
    np.testing.assert_array_equal(computed(Dropout(0.5), x), x)
    weight = dyadic(rng, (5, 7))
    v = dyadic(rng, 7)
    np.testing.assert_array_equal(computed(SpikingAffine(weight), v), weight.astype(np.float64) @ v)


def lif(n, threshold=1.0):
    return LIF(tau=np.full(n, 2.0, F32), v_threshold=np.full(n, threshold, F32))


def conv_net(rng, *, batch_norm=True):
    """A small spiking conv net of every computed kind: conv, pooling, normalisation,
    activations and a LIF between convolutions.  The Affine's inputs are dyadic, so that its
    product is exact whatever order it is summed in."""
    nodes = [
        ("in", Input(input_type={"x": (2, 10, 10)})),
        ("c1", Conv2d(dyadic(rng, (4, 2, 3, 3)), dyadic(rng, 4), padding=1)),
        ("p1", MaxPool2d()),
        ("bn", BatchNorm2d(4, rng.standard_normal(4).astype(F32), rng.uniform(0.5, 2, 4).astype(F32))),
        ("t", Tanh()),
        ("l1", lif(4 * 5 * 5, 0.5)),
        ("c2", Conv2d(dyadic(rng, (6, 4, 3, 3)))),
        ("act", ReLU()),
        ("p2", AvgPool2d(kernel_size=(2, 2), stride=(1, 1), padding=(1, 1))),
        ("flat", Flatten()),
        ("drop", Dropout()),
        ("fc", Affine(dyadic(rng, (5, 96)), dyadic(rng, 5))),
        ("l2", lif(5, 0.25)),
        ("out", Output()),
    ]
    if not batch_norm:
        nodes = [pair for pair in nodes if pair[0] != "bn"]
    return Graph.sequential(*nodes, layers="computed")


def assert_same_states(got, want):
    assert got.errors == want.errors == []
    assert got.spike_counts == want.spike_counts
    for t, (state, expected) in enumerate(zip(got.node_states, want.node_states, strict=True)):
        assert list(state) == list(expected)
        for key, value in expected.items():
            assert state[key].dtype == value.dtype and state[key].shape == value.shape, (t, key)
            np.testing.assert_array_equal(state[key], value, err_msg=f"step {t + 1} {key!r}")


@pytest.mark.parametrize("seed", range(4))
def test_every_step_is_the_transcriptions(seed):
    rng = np.random.default_rng(seed)
    graph = conv_net(rng)
    x = (rng.random((2, 10, 10)) < 0.4).astype(F32) if seed % 2 else rng.random((2, 10, 10)).astype(F32)
    got = cpu.simulate(graph, {"in": x}, n_steps=6, step_by_step=True)
    assert_same_states(got, reference.simulate(graph, {"in": x}, n_steps=6, step_by_step=True))
    assert sum(got.spike_counts.values()) > 0


@pytest.mark.parametrize("per_step", [False, True])
def test_batch_samples_are_their_own_runs(per_step):
    rng = np.random.default_rng(7)
    graph = conv_net(rng, batch_norm=False)
    steps, batch = 5, 6
    trains = (rng.random((steps, batch, 2, 10, 10)) < 0.3).astype(F32)
    stimuli = PerStep({"in": trains}) if per_step else {"in": trains[0]}
    result = cpu.simulate_batch(graph, stimuli, steps, record=["l1"])
    for b in range(batch):
        alone = reference.simulate(
            graph, {"in": trains[:, b] if per_step else trains[0, b]}, n_steps=steps, per_step=per_step
        )
        assert result.spike_counts["l1"][b] == alone.spike_counts["l1"]
        np.testing.assert_array_equal(result.outputs["out"][b], alone.outputs["out"])
    assert result.spike_trains["l1"].shape == (steps, batch, 100)


REFUSED = [
    (ir.SepConv2d(np.ones((2, 1, 3, 3), F32), np.ones((4, 2, 1, 1), F32)), "SepConv2d 'layer': a computed graph has no computation for this kind"),
    (ir.Softmax(), "Softmax 'layer': a computed graph has no computation for this kind"),
    (ir.GELU(), "GELU 'layer': a computed graph has no computation for this kind"),
    (ir.ELU(), "ELU 'layer': a computed graph has no computation for this kind"),
    (ir.PReLU(), "PReLU 'layer': a computed graph has no computation for this kind"),
    (ir.LayerNorm(), "LayerNorm 'layer': a computed graph has no computation for this kind"),
    (ir.HybridRegion(), "HybridRegion 'layer': a computed graph has no computation for this kind"),
    (ir.Skip(), "Skip 'layer': a computed graph has no computation for this kind"),
    (ir.Upsample(), "Upsample 'layer': a computed graph has no computation for this kind"),
    (Affine(np.ones((3, 5), F32)), "Affine 'layer': input of shape (2, 3, 4) (24 values) for a weight of shape (3, 5), which takes 5"),
    (lif(10), "LIF 'layer': input of shape (2, 3, 4) (24 values) for 10 neurons"),
    (Conv2d(np.ones((4, 3, 2, 2), F32)), "Conv2d 'layer': input of shape (2, 3, 4) has 2 channels; its weight of shape (4, 3, 2, 2) and groups=1 take 3"),
    (Conv2d(np.ones((4, 2, 5, 2), F32)), "Conv2d 'layer': input of shape (2, 3, 4): its kernel is larger than the padded input"),
    (Conv2d(np.ones((4, 2, 2, 2), F32), padding="same"), "Conv2d 'layer': padding='same' is not a non-negative integer per axis"),
    (Conv2d(np.ones((4, 2, 2, 2), np.int32)), "Conv2d 'layer': its weight is not a float32 or float64 array"),
    (Conv1d(np.ones((4, 2, 2), F32)), "Conv1d 'layer': input of shape (2, 3, 4) is not (channels, length)"),
    (MaxPool2d(kernel_size=(2, 2), padding=(2, 0)), "MaxPool2d 'layer': input of shape (2, 3, 4): its padding is more than half its window"),
    (BatchNorm2d(3, np.zeros(3, F32), np.ones(3, F32)), "BatchNorm2d 'layer': input of shape (2, 3, 4) has 2 channels for num_features=3"),
    (BatchNorm1d(2, np.zeros(2, F32), np.ones(2, F32)), "BatchNorm1d 'layer': input of shape (2, 3, 4) is not (features,) or (channels, length)"),
    (ReLU(features=7), "ReLU 'layer': input of shape (2, 3, 4) (24 values) for features=7"),
    (Flatten(start_dim=3), "Flatten 'layer': start_dim=3 is not an axis of its input of shape (2, 3, 4)"),
]  # fmt: skip


@pytest.mark.parametrize(("node", "message"), REFUSED, ids=[m.split(":")[0] for _, m in REFUSED])
def test_what_cannot_be_computed_is_refused_before_the_run(node, message):
    graph = layer_graph(node, (2, 3, 4))
    x = np.zeros((2, 3, 4), F32)
    text = f"The graph's layers cannot be computed:\n- {message}"
    for call in [
        lambda: cpu.simulate(graph, {"x": x}, n_steps=2),
        lambda: cpu.simulate_batch(graph, {"x": x[None]}, 2),
        lambda: cpu.profile(graph, {"x": x}, n_steps=2),
        lambda: graph.check(shapes=True),
    ]:
        with pytest.raises(ValueError) as caught:
            call()
        assert str(caught.value) == text
    validation = cpu.validate(graph)
    assert not validation.is_valid and validation.warnings == [message]
    assert validation.unsupported_nodes == ["layer"]
    # the same graph passing its layers through runs, and check names what it passes through
    assert cpu.simulate(Graph(graph.nodes, graph.edges), {"x": x}, n_steps=2).errors == []


def test_inputs_of_different_shapes_are_refused():
    graph = Graph(
        {"a": Input(input_type={"x": (4,)}), "b": Input(input_type={"x": (3,)}), "r": ReLU(), "y": Output()},
        [("a", "r"), ("b", "r"), ("r", "y")],
        layers="computed",
    )
    with pytest.raises(
        ValueError, match=r"- ReLU 'r' sums inputs of different shapes: 'a' \(4,\), 'b' \(3,\)$"
    ):
        cpu.simulate(graph, {"a": np.zeros(4, F32), "b": np.zeros(3, F32)})
    # shapes follow the stimuli given, not the declared ones
    assert cpu.simulate(graph, {"a": np.zeros(3, F32), "b": np.zeros(3, F32)}).errors == []


def test_the_choice_is_checked_shown_and_kept():
    nodes = [("x", Input(input_type={"x": (3,)})), ("r", ReLU()), ("y", Output())]
    with pytest.raises(ValueError, match="Graph layers must be 'pass_through' or 'computed', got 'computd'"):
        Graph(nodes, layers="computd")
    assert Graph(nodes).layers == "pass_through"
    assert repr(Graph.sequential(*nodes)) == "Graph(3 nodes, 2 edges)"
    graph = Graph.sequential(*nodes, layers="computed")
    assert repr(graph) == "Graph(3 nodes, 2 edges, layers='computed')"
    x = np.array([-1.0, 0.5, 2.0], F32)
    assert cpu.simulate(graph, {"x": x}).outputs["y"].tolist() == [0.0, 0.5, 2.0]
    graph.layers = "passthrough"  # a plain attribute, checked where it is used
    with pytest.raises(ValueError, match="got 'passthrough'"):
        cpu.simulate(graph, {"x": x})
    validation = cpu.validate(graph)
    assert not validation.is_valid
    assert validation.warnings == ["Graph layers must be 'pass_through' or 'computed', got 'passthrough'"]


def test_a_graph_file_keeps_the_choice(tmp_path):
    import zelka.io

    nodes = [("x", Input(input_type={"x": (3,)})), ("r", ReLU()), ("y", Output())]
    plain, computed_graph = tmp_path / "plain.zelka", tmp_path / "computed.zelka"
    zelka.io.save(Graph.sequential(*nodes), plain)
    zelka.io.save(Graph.sequential(*nodes, layers="computed"), computed_graph)
    assert b"layers" not in zipfile.ZipFile(plain).read("manifest.json")  # written as it always was
    assert zelka.io.load(plain).layers == "pass_through"
    assert zelka.io.load(computed_graph).layers == "computed"
    manifest = zipfile.ZipFile(computed_graph).read("manifest.json").replace(b'"computed"', b'"sparkly"')
    bad = tmp_path / "bad.zelka"
    with zipfile.ZipFile(bad, "w") as archive:
        archive.writestr("manifest.json", manifest)
    with pytest.raises(ValueError, match=r"bad\.zelka.*layers: expected 'pass_through' or 'computed'"):
        zelka.io.load(bad)


def test_run_and_validate_report_refusals():
    from zelka.backend.run import run

    graph = layer_graph(ir.Softmax(), (3,))
    result = run(graph, np.zeros(3, F32), timesteps=2)
    assert any("Softmax 'layer': a computed graph has no computation" in e for e in result.errors)


def random_net(rng, dtype, spikes_in):
    """A conv net of random (not dyadic) values, so that a sum formed in another order would
    show: float32 or float64 parameters, a stimulus of spikes or of floats; the second
    convolution is fed by a LIF's spikes, the first by the stimulus.  (No Affine: with a
    saturate of its own a run forms an Affine's products with numpy, in another order.)"""

    def values(*shape):
        return rng.standard_normal(shape).astype(dtype)

    nodes = [
        ("in", Input(input_type={"x": (2, 9, 9)})),
        ("c1", Conv2d(values(6, 1, 3, 3), values(6), stride=(2, 1), padding=1, dilation=(1, 2), groups=2)),
        ("bn", BatchNorm2d(6, values(6), np.abs(values(6)) + 0.5, values(6), None)),
        ("s", Sigmoid()),
        ("l1", lif(6 * 5 * 7, 0.5)),
        ("c2", Conv2d(values(4, 6, 2, 2) * 2, None, padding=(0, 1))),
        ("p", MaxPool2d(kernel_size=(2, 2), stride=(1, 2), padding=(1, 0))),
        ("r", ReLU(negative_slope=0.25)),
        ("a", AvgPool2d(kernel_size=(3, 3), stride=(), padding=(1, 1))),
        ("flat", Flatten()),
        ("l2", lif(16, 0.25)),
        ("out", Output()),
    ]
    stimulus = rng.random((2, 9, 9)).astype(F32)
    return Graph.sequential(*nodes, layers="computed"), (
        (stimulus < 0.3).astype(F32) if spikes_in else stimulus
    )


@pytest.mark.parametrize("seed", range(6))
def test_numpy_and_native_steps_agree_to_the_bit(seed, monkeypatch):
    rng = np.random.default_rng(seed)
    graph, x = random_net(rng, [F32, np.float64][seed % 2], spikes_in=seed % 3 != 0)
    if seed == 5:  # an infinite weight: spikes go through the dense kernel (inf * 0 is NaN)
        graph.nodes["c2"].weight[0, 0, 0, 0] = np.inf
    native = cpu.simulate(graph, {"in": x}, n_steps=8, step_by_step=True)
    trains = (rng.random((8, 5, 2, 9, 9)) < 0.3).astype(F32)
    batch = cpu.simulate_batch(graph, PerStep({"in": trains}), 8, record=["l1"])
    plain = graph_utils.saturate
    monkeypatch.setattr(graph_utils, "saturate", lambda values, precision: plain(values, precision))
    assert_same_states(native, cpu.simulate(graph, {"in": x}, n_steps=8, step_by_step=True))
    numpy_batch = cpu.simulate_batch(graph, PerStep({"in": trains}), 8, record=["l1"])
    np.testing.assert_array_equal(batch.outputs["out"], numpy_batch.outputs["out"])
    np.testing.assert_array_equal(batch.spike_trains["l1"], numpy_batch.spike_trains["l1"])
    assert native.spike_counts["l1"] > 0


def test_profile_counts_what_the_layers_compute():
    rng = np.random.default_rng(8)
    graph = conv_net(rng)
    x = rng.random((2, 10, 10)).astype(F32)
    report = cpu.profile(graph, {"in": x}, n_steps=3)
    per_step = {
        "c1": 4 * 10 * 10 * 2 * 9,  # outputs x in_channels/groups x kernel size
        "p1": 4 * 5 * 5 * 4,  # outputs x window
        "bn": 4 * 5 * 5,
        "t": 4 * 5 * 5,
        "c2": 6 * 3 * 3 * 4 * 9,
        "act": 6 * 3 * 3,
        "p2": 6 * 4 * 4 * 4,
        "fc": 5 * 96,
    }
    assert report.mac_ops == 3 * sum(per_step.values())
    assert set(report.per_layer_energy_uj) == set(per_step) | {"l1", "l2"}
    # the same graph passing its layers through counts its weights' sizes, as always
    plain = cpu.profile(Graph(graph.nodes, graph.edges), {"in": x}, n_steps=3)
    assert plain.mac_ops == 3 * (4 * 2 * 9 + 6 * 4 * 9 + 5 * 96)


def test_a_converted_snntorch_conv_net_fires_snntorchs_spikes():
    """snnTorch's tutorial layout at a small size, with batch normalisation, max and average
    pooling and its default reset (by subtraction), converted: with dyadic weights every sum is
    exact (and batch normalisation is PyTorch's to the bit), so the spikes of every step equal
    snnTorch's."""
    snn = pytest.importorskip("snntorch")
    from zelka.convert import from_torch

    rng = np.random.default_rng(9)
    torch.manual_seed(0)
    net = torch.nn.Sequential(
        torch.nn.Conv2d(1, 4, 3),
        torch.nn.BatchNorm2d(4),
        torch.nn.MaxPool2d(2),
        snn.Leaky(beta=0.5, init_hidden=True),
        torch.nn.Conv2d(4, 8, 3, padding=1),
        torch.nn.AvgPool2d(2),
        snn.Leaky(beta=0.5, init_hidden=True),
        torch.nn.Flatten(),
        torch.nn.Linear(8 * 3 * 3, 5),
        snn.Leaky(beta=0.5, init_hidden=True),
    )
    with torch.no_grad():
        for module in net:
            if isinstance(module, (torch.nn.Conv2d, torch.nn.Linear)):
                module.weight.copy_(torch.from_numpy(dyadic(rng, tuple(module.weight.shape))))
                module.bias.copy_(torch.from_numpy(dyadic(rng, tuple(module.bias.shape), scale=16)))
            if isinstance(module, torch.nn.BatchNorm2d):  # statistics as training leaves them
                module.running_mean.copy_(torch.from_numpy(dyadic(rng, 4, scale=16)))
                module.running_var.copy_(torch.from_numpy(rng.uniform(0.5, 2.0, 4).astype(F32)))
                module.weight.copy_(torch.from_numpy(rng.uniform(0.5, 1.5, 4).astype(F32)))
    net.eval()
    graph = from_torch(net, (1, 14, 14))
    assert graph.layers == "computed"
    steps, batch = 6, 4
    trains = (rng.random((steps, batch, 1, 14, 14)) < 0.4).astype(F32)
    leaky = [i for i, m in enumerate(net) if isinstance(m, snn.Leaky)]
    result = cpu.simulate_batch(graph, PerStep({"input": trains}), steps, record=[str(i) for i in leaky])
    for i in leaky:
        net[i].reset_mem()
    with torch.no_grad():
        for t in range(steps):
            x = torch.from_numpy(trains[t])
            for i, module in enumerate(net):
                x = module(x)
                if i in leaky:
                    got = result.spike_trains[str(i)][t].reshape(batch, -1)
                    np.testing.assert_array_equal(
                        got, x.reshape(batch, -1).numpy() != 0, err_msg=f"step {t} layer {i}"
                    )
    assert result.spike_counts[str(leaky[0])].sum() > 0
