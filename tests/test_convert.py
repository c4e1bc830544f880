"""from_torch: spike trains of converted Linear/Leaky networks equal snnTorch's spike for spike
(constant and per-step stimuli, shared and per-neuron beta and threshold, immediate resets),
every beta a float32 tau can give found, the graphs of convolutional networks, and every
refusal."""

import itertools
import sys
from collections import OrderedDict

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

torch = pytest.importorskip("torch")
snn = pytest.importorskip("snntorch")
from torch import nn

from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.convert import from_torch
from zelka.ir import (
    LIF,
    Affine,
    AvgPool2d,
    BatchNorm1d,
    BatchNorm2d,
    Conv1d,
    Conv2d,
    Flatten,
    Input,
    MaxPool2d,
    Output,
    ReLU,
    Sigmoid,
)

F32 = np.float32
pytestmark = pytest.mark.filterwarnings("ignore:Inhibition is an unstable", "ignore:Using padding='same'")


def reachable_betas(rng, n, low=2.0, high=60.0):
    """Decays 1 - 1/tau of random float32 time constants: each has a tau by construction."""
    taus = rng.uniform(low, high, n).astype(F32)
    return F32(1) - F32(1) / taus


def dyadic_linear(rng, n_in, n_out, bias=True):
    """A Linear layer with weights in sixteenths: its sums are exact in any order, so PyTorch
    and the simulator form the same currents."""
    layer = nn.Linear(n_in, n_out, bias=bias)
    with torch.no_grad():
        layer.weight.copy_(torch.from_numpy(rng.integers(-16, 17, (n_out, n_in)) / 16))
        if bias:
            layer.bias.copy_(torch.from_numpy(rng.integers(-8, 9, n_out) / 16))
    return layer


def random_network(rng, per_neuron, reset_delay=True, init_hidden=False):
    sizes = [int(rng.integers(4, 24)) for _ in range(int(rng.integers(2, 5)))]
    layers = []
    for n_in, n_out in itertools.pairwise(sizes):
        layers.append(dyadic_linear(rng, n_in, n_out, bias=bool(rng.integers(0, 4))))
        if per_neuron:
            beta = torch.from_numpy(reachable_betas(rng, n_out))
            low = 0.0 if not reset_delay else -0.25
            threshold = torch.from_numpy(rng.uniform(low, 1.5, n_out).astype(F32))
            leaky = snn.Leaky(
                beta=beta,
                threshold=threshold,
                learn_beta=True,
                learn_threshold=True,
                reset_mechanism="zero",
                reset_delay=reset_delay,
                init_hidden=init_hidden,
            )
        else:
            beta = float(reachable_betas(rng, 1)[0])
            leaky = snn.Leaky(
                beta=beta,
                threshold=float(rng.uniform(0.25, 1.5)),
                reset_mechanism="zero",
                reset_delay=reset_delay,
                init_hidden=init_hidden,
            )
        layers.append(leaky)
    return nn.Sequential(*layers), sizes[0]


def snntorch_spike_trains(chain, stimulus_at, steps):
    """{layer name: (steps, batch, neurons) bools} of a chain of (name, layer) run for `steps`
    steps from zero membranes; stimulus_at(t) is the input of step t."""
    for _, layer in chain:
        if isinstance(layer, snn.Leaky):
            layer.reset_mem()
    trains = {name: [] for name, layer in chain if isinstance(layer, snn.Leaky)}
    with torch.no_grad():
        for t in range(steps):
            current = torch.from_numpy(stimulus_at(t))
            for name, layer in chain:
                current = layer(current)
                if isinstance(layer, snn.Leaky):
                    current = current[0] if isinstance(current, tuple) else current
                    trains[name].append(current.numpy() != 0)
    return {name: np.stack(train) for name, train in trains.items()}


def assert_same_spikes(graph, chain, stimulus, steps, per_step):
    names = [name for name, layer in chain if isinstance(layer, snn.Leaky)]
    want = snntorch_spike_trains(chain, (lambda t: stimulus[t]) if per_step else (lambda t: stimulus), steps)
    data = PerStep({"input": stimulus}) if per_step else {"input": stimulus}
    batch = _cpu_backend.simulate_batch(graph, data, steps, record=names, workers=2)
    assert all(batch.outputs_valid), batch.errors
    for name in names:
        assert want[name].any(), "a network that never fires compares nothing"
        np.testing.assert_array_equal(batch.spike_trains[name], want[name], err_msg=name)
    if not per_step:  # sample 0 alone through simulate, step by step
        run = _cpu_backend.simulate(graph, {"input": stimulus[0]}, steps, step_by_step=True)
        for name in names:
            got = np.stack([state[name] != 0 for state in run.node_states])
            np.testing.assert_array_equal(got, want[name][:, 0], err_msg=name)


@pytest.mark.parametrize("per_step", [False, True], ids=["constant", "per-step"])
@pytest.mark.parametrize("per_neuron", [False, True], ids=["shared", "per-neuron"])
@pytest.mark.parametrize("seed", range(4))
def test_spike_trains_equal_snntorch(seed, per_neuron, per_step):
    rng = np.random.default_rng(seed)
    net, n_in = random_network(rng, per_neuron, init_hidden=bool(seed % 2))
    graph = from_torch(net, (n_in,))
    steps, batch = 40, 12
    if per_step:  # rate-coded spikes
        stimulus = (rng.random((steps, batch, n_in)) < 0.4).astype(F32)
    else:  # values in eighths: products with sixteenths stay exact
        stimulus = (rng.integers(0, 9, (batch, n_in)) / 8).astype(F32)
    chain = [(name, layer) for name, layer in net.named_children()]
    assert_same_spikes(graph, chain, stimulus, steps, per_step)


@pytest.mark.parametrize("seed", range(3))
def test_immediate_reset_equals_snntorch_for_thresholds_from_zero(seed):
    rng = np.random.default_rng(100 + seed)
    net, n_in = random_network(rng, per_neuron=True, reset_delay=False)
    stimulus = (rng.integers(0, 9, (8, n_in)) / 8).astype(F32)
    assert_same_spikes(from_torch(net, (n_in,)), list(net.named_children()), stimulus, 40, False)


class TutorialNet(nn.Module):
    """The usual snnTorch network: children registered in the order forward calls them."""

    def __init__(self, rng):
        super().__init__()
        self.fc1 = dyadic_linear(rng, 12, 10)
        self.lif1 = snn.Leaky(beta=0.95, reset_mechanism="zero", spike_grad=snn.surrogate.fast_sigmoid())
        self.fc2 = dyadic_linear(rng, 10, 4)
        self.lif2 = snn.Leaky(beta=0.8, threshold=0.5, reset_mechanism="zero", surrogate_disable=True)

    def forward(self, x, steps):
        mem1, mem2 = self.lif1.reset_mem(), self.lif2.reset_mem()
        spikes = []
        for _ in range(steps):
            spk1, mem1 = self.lif1(self.fc1(x), mem1)
            spk2, mem2 = self.lif2(self.fc2(spk1), mem2)
            spikes.append(spk2)
        return torch.stack(spikes)


def test_a_tutorial_style_module_converts_in_registration_order():
    rng = np.random.default_rng(3)
    net = TutorialNet(rng)
    graph = from_torch(net, (12,))
    assert list(graph.nodes) == ["input", "fc1", "lif1", "fc2", "lif2", "output"]
    assert graph.edges == [
        ("input", "fc1"),
        ("fc1", "lif1"),
        ("lif1", "fc2"),
        ("fc2", "lif2"),
        ("lif2", "output"),
    ]
    np.testing.assert_array_equal(graph.nodes["lif1"].tau, np.full(10, 20, F32))
    x = (rng.integers(0, 9, (16, 12)) / 8).astype(F32)
    with torch.no_grad():
        want = net(torch.from_numpy(x), 50).numpy() != 0
    got = _cpu_backend.simulate_batch(graph, {"input": x}, 50, record=["lif2"]).spike_trains["lif2"]
    assert want.any()
    np.testing.assert_array_equal(got, want)


@settings(max_examples=60, deadline=None)
@given(st.lists(st.floats(0, 1, width=32), min_size=1, max_size=16))
def test_every_beta_becomes_its_exact_decay_or_a_named_refusal(betas):
    beta = torch.tensor(betas, dtype=torch.float32)
    net = nn.Sequential(nn.Linear(len(betas), len(betas)), snn.Leaky(beta=beta, reset_mechanism="zero"))
    try:
        graph = from_torch(net, (len(betas),))
    except ValueError as error:
        assert "Leaky '1'" in str(error) and "beta=" in str(error)
        assert any(b < 0.75 for b in betas)  # from 0.75 up every beta has a tau
        return
    tau = graph.nodes["1"].tau
    assert tau.dtype == F32 and tau.shape == (len(betas),)
    np.testing.assert_array_equal(F32(1) - F32(1) / tau, np.array(betas, F32))


def test_a_beta_reached_by_some_tau_is_always_found():
    betas = reachable_betas(np.random.default_rng(11), 2000, low=1.0, high=1e6)
    net = nn.Sequential(
        nn.Linear(4, len(betas)), snn.Leaky(beta=torch.from_numpy(betas), reset_mechanism="zero")
    )
    tau = from_torch(net, (4,)).nodes["1"].tau
    np.testing.assert_array_equal(F32(1) - F32(1) / tau, betas)


def test_round_betas_get_round_time_constants_and_beta_is_clamped():
    beta = torch.tensor([0.9, 0.95, 0.5, 0.0, 1.0, 1.5, -0.25])
    net = nn.Sequential(nn.Linear(2, 7), snn.Leaky(beta=beta, reset_mechanism="zero"))
    np.testing.assert_array_equal(from_torch(net, (2,)).nodes["1"].tau, [10, 20, 2, 1, np.inf, np.inf, 1])


@settings(max_examples=100, deadline=None)
@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_the_threshold_fires_exactly_where_snntorch_does(threshold):
    leaky = snn.Leaky(beta=0.5, threshold=threshold, reset_mechanism="zero")
    v_threshold = from_torch(nn.Sequential(nn.Linear(1, 1), leaky), (1,)).nodes["1"].v_threshold[0]
    t = F32(threshold)
    with np.errstate(over="ignore"):  # next to the largest float32 lies infinity
        near = np.array([t, np.nextafter(t, F32(np.inf)), np.nextafter(t, F32(-np.inf)), 0.0, -0.0], F32)
    with torch.no_grad():
        fires = leaky.fire(torch.from_numpy(near)).numpy() != 0
    np.testing.assert_array_equal(near >= v_threshold, fires)


def test_the_unrepresentable_beta_is_refused_naming_the_layer():
    net = nn.Sequential(
        nn.Linear(3, 3), snn.Leaky(beta=torch.tensor([0.9, 0.1, 0.9]), reset_mechanism="zero")
    )
    with pytest.raises(ValueError, match=r"Leaky '1': .*beta=0\.1 of neuron 1"):
        from_torch(net, (3,))


@pytest.mark.parametrize(
    ("leaky", "message"),
    [
        (lambda: snn.Leaky(beta=0.9), "reset_mechanism 'subtract'"),
        (lambda: snn.Leaky(beta=0.9, reset_mechanism="none"), "reset_mechanism 'none'"),
        (
            lambda: snn.Leaky(beta=0.9, reset_mechanism="zero", graded_spikes_factor=2.0),
            "graded_spikes_factor=2.0",
        ),
        (lambda: snn.Leaky(beta=0.9, reset_mechanism="zero", inhibition=True), "inhibition=True"),
        (lambda: snn.Leaky(beta=0.9, reset_mechanism="zero", state_quant=torch.round), "state_quant"),
        (lambda: snn.Leaky(beta=0.9, reset_mechanism="zero", spike_grad=torch.sigmoid), "spike_grad"),
        (
            lambda: snn.Leaky(beta=0.9, threshold=-0.5, reset_mechanism="zero", reset_delay=False),
            "reset_delay=False",
        ),
        (lambda: snn.Leaky(beta=torch.full((2, 4), 0.9), reset_mechanism="zero"), r"beta of shape \(2, 4\)"),
        (
            lambda: snn.Leaky(beta=torch.tensor(0.9, dtype=torch.float64), reset_mechanism="zero"),
            "torch.float64",
        ),
    ],
)
def test_leaky_settings_without_an_exact_equivalent_are_refused(leaky, message):
    net = nn.Sequential(OrderedDict(fc=nn.Linear(4, 4), spiking=leaky()))
    with pytest.raises(ValueError, match=r"Leaky 'spiking'.*" + message):
        from_torch(net, (4,))


def test_the_reset_is_the_one_snntorch_computes_not_the_attribute():
    # set after construction: snnTorch keeps subtracting, and the refusal says why
    leaky = snn.Leaky(beta=0.9)
    leaky.reset_mechanism = "zero"
    with pytest.raises(ValueError, match=r"'subtract'.*although its reset_mechanism reads 'zero'"):
        from_torch(nn.Sequential(nn.Linear(2, 2), leaky), (2,))
    # built with "zero", then a state dict of a subtracting layer loaded: snnTorch zeroes (the
    # attribute still reads "zero", the buffer "subtract"); converted and equal spike for spike
    rng = np.random.default_rng(5)
    fc, loaded = dyadic_linear(rng, 6, 5), snn.Leaky(beta=0.75, threshold=0.5, reset_mechanism="zero")
    loaded.load_state_dict(snn.Leaky(beta=0.75, threshold=0.5).state_dict())
    chain = [("fc", fc), ("lif", loaded)]
    stimulus = (rng.integers(0, 9, (8, 6)) / 8).astype(F32)
    assert_same_spikes(from_torch(nn.Sequential(OrderedDict(chain)), (6,)), chain, stimulus, 30, False)
    # ... but with reset_delay=False the buffer's subtraction is applied at once as well
    loaded.reset_delay = False
    with pytest.raises(ValueError, match=r"by 'subtract' at once .* by 'zero' at the next step"):
        from_torch(nn.Sequential(OrderedDict(chain)), (6,))


class Custom(nn.Module):
    def forward(self, x):
        return x


@pytest.mark.parametrize(
    ("layers", "shape", "message"),
    [
        ([nn.Linear(4, 4), nn.Dropout()], (4,), r"layer '1' is a torch\.nn\.modules\.dropout\.Dropout"),
        ([nn.Linear(4, 4), Custom()], (4,), r"layer '1' is a .*Custom, which zelka cannot convert"),
        ([nn.LeakyReLU()], (4,), r"LeakyReLU"),
        ([nn.Linear(4, 4).double()], (4,), r"Linear '0': weight is torch\.float64.*module\.float\(\)"),
        ([nn.Linear(4, 4)], (5,), r"Linear '0': takes 4 values per sample, got shape \(5,\)"),
        ([nn.Linear(4, 4)], (2, 4), r"put an nn\.Flatten before it"),
        ([nn.Conv2d(1, 2, 3)], (8, 8), r"Conv2d '0': takes samples of shape \(channels, height, width\)"),
        ([nn.Conv2d(1, 2, 3, padding_mode="reflect")], (1, 8, 8), "padding_mode='reflect'"),
        ([nn.Conv2d(2, 2, 3)], (1, 8, 8), r"Conv2d '0': cannot take samples of shape \(1, 8, 8\)"),
        ([nn.Conv1d(1, 2, 3).double()], (1, 8), r"Conv1d '0': weight is torch\.float64"),
        ([nn.Conv1d(1, 2, 4, padding="same")], (1, 8), "padding='same'"),
        ([nn.Flatten(0)], (3, 4), "start_dim=0"),
        ([nn.Flatten(1, 2)], (3, 4, 5), "end_dim=2"),
        ([nn.MaxPool2d(2, ceil_mode=True)], (1, 5, 5), "ceil_mode=True"),
        ([nn.MaxPool2d(2, dilation=2)], (1, 8, 8), "dilation=2"),
        ([nn.AvgPool2d(2, divisor_override=3)], (1, 8, 8), "divisor_override=3"),
        ([nn.AvgPool2d(3, padding=1, count_include_pad=False)], (1, 8, 8), "count_include_pad=False"),
        ([nn.BatchNorm2d(3, track_running_stats=False)], (3, 4, 4), "track_running_stats=False"),
        ([nn.BatchNorm1d(3)], (4,), r"normalises 3 channels, got samples of shape \(4,\)"),
    ],
)
def test_layers_without_an_ir_equivalent_are_refused(layers, shape, message):
    with pytest.raises(ValueError, match=message):
        from_torch(nn.Sequential(*layers), shape)


def test_arguments_are_checked():
    with pytest.raises(TypeError, match="torch.nn.Module"):
        from_torch([nn.Linear(2, 2)], (2,))
    with pytest.raises(ValueError, match="input_shape"):
        from_torch(nn.Linear(2, 2), (0,))
    with pytest.raises(TypeError, match="input_shape"):
        from_torch(nn.Linear(2, 2), (2.5,))
    with pytest.raises(ValueError, match="input_name 'fc'"):
        from_torch(nn.Sequential(OrderedDict(fc=nn.Linear(2, 2))), (2,), input_name="fc")


def test_a_missing_pytorch_is_an_import_error_naming_the_extra(monkeypatch):
    monkeypatch.setitem(sys.modules, "torch", None)  # import torch now raises ImportError
    with pytest.raises(ImportError, match=r"zelka\[convert\]"):
        from_torch(object(), (2,))


def test_convolutional_networks_keep_their_layers_and_parameters():
    torch.manual_seed(0)
    net = nn.Sequential(
        nn.Conv2d(2, 4, 3, stride=(1, 2), padding=1),
        nn.BatchNorm2d(4),
        nn.ReLU(),
        nn.MaxPool2d(2),
        nn.Conv2d(4, 4, 3, padding="same", dilation=1, groups=2, bias=False),
        nn.AvgPool2d((2, 1), stride=1),
        nn.Flatten(),
        nn.Linear(4 * 3 * 2, 6),
        nn.Sigmoid(),
        nn.Linear(6, 5, bias=False),
        snn.Leaky(beta=0.75, reset_mechanism="zero"),
    )
    with torch.no_grad():  # statistics as training leaves them
        net[1].running_mean.uniform_(-1, 1)
        net[1].running_var.uniform_(0.5, 2)
    graph = from_torch(net, (2, 8, 8), input_name="image")
    kinds = [
        Input,
        Conv2d,
        BatchNorm2d,
        ReLU,
        MaxPool2d,
        Conv2d,
        AvgPool2d,
        Flatten,
        Affine,
        Sigmoid,
        Affine,
        LIF,
        Output,
    ]
    assert [type(node) for node in graph.nodes.values()] == kinds
    assert graph.nodes["image"].input_type == {"input": (2, 8, 8)}
    conv, bn, relu, pool, grouped, avg, flatten, fc, sigmoid, fc2, lif = (
        graph.nodes[str(i)] for i in range(11)
    )
    assert (conv.stride, conv.padding, conv.dilation, conv.groups) == ((1, 2), (1, 1), (1, 1), 1)
    assert (grouped.padding, grouped.groups) == ((1, 1), 2)
    np.testing.assert_array_equal(grouped.bias, np.zeros(4, F32))
    assert (pool.kernel_size, pool.stride, pool.padding) == ((2, 2), (2, 2), (0, 0))
    assert (avg.kernel_size, avg.stride) == ((2, 1), (1, 1))
    assert flatten.start_dim == 0
    # features: the values each activation sees (4 channels of 8 x 4 after the strided conv)
    assert relu.features == 4 * 8 * 4 and sigmoid.features == 6
    assert lif.v_threshold.shape == (5,) and bn.num_features == 4 and bn.eps == 1e-5
    for node, layer in [(conv, net[0]), (grouped, net[4]), (fc, net[7])]:
        np.testing.assert_array_equal(node.weight, layer.weight.detach().numpy())
        assert node.weight.dtype == F32
        assert not np.shares_memory(node.weight, layer.weight.detach().numpy())
    np.testing.assert_array_equal(bn.running_mean, net[1].running_mean.numpy())
    np.testing.assert_array_equal(bn.running_var, net[1].running_var.numpy())
    np.testing.assert_array_equal(bn.gamma, net[1].weight.detach().numpy())
    np.testing.assert_array_equal(fc2.bias, np.zeros(5, F32))


def test_one_dimensional_networks_and_nested_sequentials():
    inner = nn.Sequential(nn.Conv1d(3, 2, 3, stride=2, padding=1), nn.BatchNorm1d(2, affine=False))
    outer = nn.Sequential(inner, nn.Flatten(-2), nn.BatchNorm1d(8), nn.Linear(8, 3))
    outer.add_module("output", snn.Leaky(beta=0.9, reset_mechanism="zero"))
    graph = from_torch(outer, (3, 8))
    assert list(graph.nodes) == ["input", "0.0", "0.1", "1", "2", "3", "output", "output_1"]
    conv, bn = graph.nodes["0.0"], graph.nodes["0.1"]
    assert isinstance(conv, Conv1d) and (conv.stride, conv.padding, conv.dilation) == (2, 1, 1)
    assert bn.gamma is None and bn.beta is None and isinstance(bn, BatchNorm1d)
    assert graph.nodes["1"].start_dim == 0
