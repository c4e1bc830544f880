"""from_torch reads the calls one step of forward makes: the chain follows forward's order (not
the registration order), flattens done in forward become Flatten nodes, inputs of shape
(steps, batch, ...) are read one step at a time, and data flows a chain cannot express are
refused naming the layers; the network itself is left as it was."""

import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

torch = pytest.importorskip("torch")
snn = pytest.importorskip("snntorch")
from torch import nn

from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.convert import from_torch
from zelka.ir import Dropout, Flatten, Tanh

F32 = np.float32


def sixteenths(rng, layer):
    """Weights and biases in sixteenths: sums exact in any order."""
    with torch.no_grad():
        for parameter in layer.parameters():
            parameter.copy_(torch.from_numpy(rng.integers(-16, 17, parameter.shape) / 16))
    return layer


class Stepped(nn.Module):
    """snnTorch's tutorial network, its layers registered in another order than forward calls
    them, fed x of shape (steps, batch, 2, 6) and flattening each step's images itself."""

    def __init__(self, rng, reset):
        super().__init__()
        self.fc2 = sixteenths(rng, nn.Linear(10, 4))
        self.lif2 = snn.Leaky(beta=0.75, threshold=0.5, reset_mechanism=reset)
        self.lif1 = snn.Leaky(beta=0.875, reset_mechanism=reset)
        self.fc1 = sixteenths(rng, nn.Linear(12, 10))
        self.unused = nn.Linear(3, 3)

    def forward(self, x):
        mem1, mem2 = self.lif1.init_leaky(), self.lif2.init_leaky()
        spikes = []
        for step in range(x.shape[0]):
            cur1 = self.fc1(x[step].view(x.shape[1], -1))
            spk1, mem1 = self.lif1(cur1, mem1)
            spk2, mem2 = self.lif2(self.fc2(spk1), mem2)
            spikes.append(spk2)
        return torch.stack(spikes)


@pytest.mark.parametrize("reset", ["zero", "subtract"])
def test_the_chain_follows_forward_and_equals_its_spikes(reset):
    rng = np.random.default_rng(4)
    net = Stepped(rng, reset)
    x = (rng.random((30, 16, 2, 6)) < 0.5).astype(F32)
    graph = from_torch(net, (2, 6), example_input=torch.zeros(3, 1, 2, 6))
    assert list(graph.nodes) == ["input", "flatten_fc1", "fc1", "lif1", "fc2", "lif2", "output"]
    assert graph.edges == [
        ("input", "flatten_fc1"),
        ("flatten_fc1", "fc1"),
        ("fc1", "lif1"),
        ("lif1", "fc2"),
        ("fc2", "lif2"),
        ("lif2", "output"),
    ]
    assert isinstance(graph.nodes["flatten_fc1"], Flatten) and graph.nodes["flatten_fc1"].start_dim == 0
    with torch.no_grad():
        want = net(torch.from_numpy(x)).numpy() != 0
    got = _cpu_backend.simulate_batch(graph, PerStep({"input": x}), 30, record=["lif2"]).spike_trains["lif2"]
    assert want.any()
    np.testing.assert_array_equal(got, want)


class Block(nn.Module):
    def __init__(self):
        super().__init__()
        self.drop = nn.Dropout(0.25)
        self.skip = nn.Identity()
        self.squash = nn.Tanh()

    def forward(self, x):
        kept = self.skip(self.drop(x))  # in eval mode both return x itself
        return self.squash(kept.view(x.shape[0], -1))


def test_identity_is_left_out_and_nested_modules_keep_their_names():
    net = nn.Sequential(nn.Conv1d(2, 2, 1), Block(), nn.Identity())
    graph = from_torch(net, (2, 3))
    assert list(graph.nodes) == ["input", "0", "1.drop", "flatten_1.squash", "1.squash", "output"]
    assert isinstance(graph.nodes["1.drop"], Dropout) and graph.nodes["1.drop"].p == 0.25
    assert isinstance(graph.nodes["1.squash"], Tanh) and graph.nodes["1.squash"].features == 6


def test_the_network_is_left_as_it_was():
    leaky = snn.Leaky(beta=0.5, init_hidden=True)
    net = nn.Sequential(nn.Linear(3, 4), nn.BatchNorm1d(4), leaky).train()
    leaky.mem = torch.full((1, 4), 0.25)
    state = {name: value.clone() for name, value in net.state_dict().items()}
    from_torch(net, (3,), example_input=torch.ones(5, 3))
    assert net.training and torch.equal(leaky.mem, torch.full((1, 4), 0.25))
    for name, value in net.state_dict().items():
        assert torch.equal(value, state[name]), name


class SharedActivation(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc1, self.fc2, self.relu = nn.Linear(3, 4), nn.Linear(4, 2), nn.ReLU()
        self.relu_2 = nn.Sigmoid()  # takes the name a second call of relu would get

    def forward(self, x):
        return self.relu_2(self.relu(self.fc2(self.relu(self.fc1(x)))))


def test_a_stateless_layer_called_again_gets_a_node_per_call():
    graph = from_torch(SharedActivation(), (3,))
    assert list(graph.nodes) == ["input", "fc1", "relu", "fc2", "relu_3", "relu_2", "output"]
    assert graph.nodes["relu"].features == 4 and graph.nodes["relu_3"].features == 2


class Misfit(nn.Module):
    """Two Linear + Leaky layers; `flaw` names what forward does that a chain cannot express."""

    def __init__(self, flaw):
        super().__init__()
        self.flaw = flaw
        self.fc1, self.lif1 = nn.Linear(4, 4), snn.Leaky(beta=0.5, reset_mechanism="zero")
        self.fc2, self.lif2 = nn.Linear(4, 4), snn.Leaky(beta=0.5, reset_mechanism="zero")

    def forward(self, x):
        flaw = self.flaw
        mem1, mem2 = self.lif1.init_leaky(), self.lif2.init_leaky()
        for step in range(3):
            cur1 = self.fc1(x)
            if flaw == "residual":
                cur1 = cur1 + x
            if flaw == "in place":
                cur1.mul_(2)
            spk1, mem1 = self.lif1(cur1, mem1)
            if flaw == "called twice":
                spk1, mem1 = self.lif1(cur1, mem1)
            fed = {"membrane": mem1, "branch": cur1, "reshaped": spk1.view(1, 2, 2)[:, 0].repeat(1, 2)}
            state = {"foreign state": mem1, "reset each step": torch.zeros(1, 4)}
            spk2, mem2 = self.lif2(self.fc2(fed.get(flaw, spk1)), state.get(flaw, mem2))
        return spk2


@pytest.mark.parametrize(
    ("flaw", "message"),
    [
        (
            "called twice",
            r"forward calls layer 'lif1' 2 times in one step \(fc1 -> lif1 -> lif1 -> fc2 -> lif2\): its calls share",
        ),
        ("residual", r"layer 'lif1' is fed a value computed in forward outside any layer"),
        ("in place", r"layer 'lif1' is fed a value computed in forward outside any layer .*changed in place"),
        ("reshaped", r"layer 'fc2' is fed a value computed in forward outside any layer"),
        (
            "branch",
            r"layer 'fc2' is fed the output of 'fc1'; a chain feeds each layer the output of .*\('lif1'\)",
        ),
        ("membrane", r"layer 'fc2' is fed value 1 \(from 0\) of those 'lif1' returns"),
        ("foreign state", r"layer 'lif2' is given a mem \(at step 1\) that is not its own mem"),
        ("reset each step", r"layer 'lif2' is given a mem \(at step 2\) that is not its own mem"),
    ],
)
def test_data_flows_a_chain_cannot_express_are_refused_naming_the_layers(flaw, message):
    with pytest.raises(ValueError, match=message):
        from_torch(Misfit(flaw), (4,))


class NeedsSteps(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 4)

    def forward(self, x, steps):
        return self.fc(x)


class CallsNothing(nn.Module):
    def __init__(self):
        super().__init__()
        self.fc = nn.Linear(4, 4)

    def forward(self, x):
        return x


@pytest.mark.parametrize(
    ("make", "kwargs", "error", "message"),
    [
        (
            lambda: nn.Sequential(nn.Linear(4, 4), snn.Leaky(beta=0.5), nn.Linear(4, 2)),
            {},
            ValueError,
            r"layer '2' is fed the tuple of values '1' returns .*init_hidden=True",
        ),
        (
            NeedsSteps,
            {},
            ValueError,
            r"forward failed on example_input of shape \(1, 4\) outside any layer: TypeError",
        ),
        (CallsNothing, {}, ValueError, "forward called none of the network's layers"),
        (
            lambda: nn.Sequential(nn.Linear(4, 4)),
            {"example_input": np.zeros((1, 4))},
            TypeError,
            "torch.Tensor",
        ),
        (
            lambda: nn.Sequential(nn.Linear(4, 4)),
            {"example_input": torch.zeros(2, 5)},
            ValueError,
            r"example_input of shape \(2, 5\) is neither",
        ),
        (
            lambda: nn.Sequential(nn.Linear(4, 4), nn.Hardtanh()),
            {},
            ValueError,
            r"layer '1' is a torch\.nn\.modules\.activation\.Hardtanh",
        ),
    ],
)
def test_forwards_that_cannot_be_recorded_are_refused(make, kwargs, error, message):
    with pytest.raises(error, match=message):
        from_torch(make(), (4,), **kwargs)


def test_a_layer_that_fails_in_forward_is_named():
    # shapes a layer cannot take are named by the converter ...
    with pytest.raises(ValueError, match=r"Linear '1': takes 3 values per sample, got shape \(4,\)"):
        from_torch(nn.Sequential(nn.Linear(4, 4), nn.Linear(3, 3)), (4,))
    # ... anything else by forward's error
    with pytest.raises(
        ValueError, match=r"layer '0' failed when forward called it on example_input: RuntimeError"
    ):
        from_torch(nn.Sequential(nn.Linear(4, 4)), (4,), example_input=torch.zeros(1, 4, dtype=torch.float64))


def test_the_tutorial_example_runs_and_agrees_with_snntorch():
    example = Path(__file__).resolve().parent.parent / "examples" / "snntorch_forward.py"
    run = subprocess.run(
        [sys.executable, str(example), "200", "20"], check=False, capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stderr
    assert "rlif2.recurrent" in run.stdout and "200 of 200 samples identical" in run.stdout, run.stdout


def test_the_convolutional_example_computes_its_layers_and_agrees_with_snntorch():
    example = Path(__file__).resolve().parent.parent / "examples" / "snntorch_conv.py"
    run = subprocess.run(
        [sys.executable, str(example), "100"], check=False, capture_output=True, text=True, timeout=600
    )
    assert run.returncode == 0, run.stderr
    assert "layers='computed'" in run.stdout and "100 of 100 samples identical" in run.stdout, run.stdout
