"""The CPU engine as a runtime: step counts of any size, Ctrl-C, threads, memory that stays
flat, exact spike totals and parameters the native kernels cannot hold."""

import gc
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

from tests.agreement import assert_same_result, run_both
from tests.interrupts import interrupted
from zelka.backend.cpu.simulator import SimulationResult, _cpu_backend
from zelka.backend.run import RunResult, run
from zelka.ir import LIF, Affine, Graph, Input, Output

cpu = _cpu_backend


def lif_net(n=4, threshold=1.0, **lif):
    return Graph.sequential(
        ("in", Input(input_type={"x": (n,)})),
        ("lif", LIF(lif.pop("tau", 2.0), np.full(n, threshold, np.float32), **lif)),
        ("out", Output()),
    )


def mlp(seed=0, sizes=(64, 48, 10)):
    rng = np.random.default_rng(seed)
    nodes = [("in", Input(input_type={"x": (sizes[0],)}))]
    for i, (m, k) in enumerate(zip(sizes[1:], sizes[:-1])):
        nodes.append((f"fc{i}", Affine(rng.normal(0, 0.4, (m, k)).astype(np.float32))))
        nodes.append((f"lif{i}", LIF(3.0, np.full(m, 0.5, np.float32))))
    return Graph.sequential(*nodes, ("out", Output())), rng.random(sizes[0]).astype(np.float32)


# ---- step counts --------------------------------------------------------------------------


@pytest.mark.parametrize("n_steps", [-1, -(2**63), -(2**70), -(10**40)])
def test_negative_counts_of_any_size_run_no_step(step_path, n_steps):
    result = cpu.simulate(lif_net(), {"in": np.ones(4, np.float32)}, n_steps)
    assert result.outputs_valid and result.errors == []
    assert result.timesteps_run == n_steps and result.outputs == {} and result.spike_counts == {}
    assert run(lif_net(), np.ones(4, np.float32), n_steps, profile=False).timesteps_run == n_steps


@pytest.mark.parametrize(
    "how", ["n_steps", "timesteps", "max_iterations", "many steps", "float16 steps", "counting activity"]
)
def test_huge_counts_run_until_interrupted(step_path, how):
    graph, x = mlp()
    if how == "counting activity":  # running totals: nothing allocated for every step
        interrupted(lambda: cpu.simulate_batch(graph, {"in": x[None]}, 2**70, activity=True))
        interrupted(lambda: run(graph, x, timesteps=10**12, activity=True))
    elif how == "float16 steps":  # numpy steps that run no Python code between them
        interrupted(lambda: cpu.simulate(graph, {"in": x.astype(np.float16)}, 10**12))
    elif how == "n_steps":
        interrupted(lambda: cpu.simulate(graph, {"in": x}, 2**70))
    elif how == "timesteps":
        interrupted(lambda: run(graph, x, timesteps=2**70))
    elif how == "max_iterations":
        graph.cyclic_config = {"max_iterations": 2**64}
        interrupted(lambda: cpu.simulate(graph, {"in": x}))
    else:  # a count that fits, but would take hours: Ctrl-C is honoured between steps
        interrupted(lambda: cpu.simulate(graph, {"in": x}, 10**12, step_by_step=False))


# ---- exactness -----------------------------------------------------------------------------


def test_spike_totals_are_counted_exactly_past_float32_precision(step_path):
    # 2**24 + 3 neurons all firing for 3 steps: a float32 sum of the spikes would be off.
    n = 2**24 + 3
    graph = lif_net(n, threshold=0.5)
    result = cpu.simulate(graph, {"in": np.ones(n, np.float32)}, 3)
    assert result.spike_counts == {"lif": 3 * n}


@pytest.mark.skipif(np.finfo(np.longdouble).nmant < 60, reason="long double is float64 here")
@pytest.mark.parametrize("where", ["v_threshold", "v_leak", "weight", "bias", "input"])
def test_long_double_values_are_not_rounded_to_float64(step_path, where):
    tiny = np.longdouble(2.0) ** -60
    ld = np.longdouble
    threshold = np.full(3, ld(1) + tiny) if where == "v_threshold" else np.ones(3, np.float32)
    lif = LIF(1e30, threshold, v_leak=ld(tiny) if where == "v_leak" else 0.0)
    weight = np.eye(3, dtype=ld if where == "weight" else np.float32)
    if where == "weight":
        weight *= 1 + tiny
    bias = np.full(3, tiny, ld) if where == "bias" else None
    graph = Graph.sequential(("in", Input()), ("fc", Affine(weight, bias)), ("lif", lif), ("out", Output()))
    x = np.ones(3, ld) + tiny if where == "input" else np.ones(3, np.float32)
    result = run_both(graph, {"in": x}, 4)
    if where == "v_threshold":  # just above 1: the first step's potential of exactly 1 stays below
        assert result.spike_counts == {"lif": 6}


def test_an_exact_reset_value_decides_later_spikes(step_path):
    # The potential creeps up to v_leak = 0.7 (a float64) and fires exactly there; resetting to
    # 0.7 itself keeps it firing, a reset rounded to float32 (just below 0.7) would not.
    graph = Graph.sequential(
        ("in", Input()), ("lif", LIF(2.0, np.array([0.7]), v_leak=np.float64(0.7))), ("out", Output())
    )
    result = run_both(graph, {"in": np.zeros(1, np.float32)}, 120)
    assert result.spike_counts["lif"] > 50


def test_nan_inputs_agree_on_both_paths(step_path, numpy_errors):
    graph, x = mlp(3)
    x[[2, 7]] = np.nan
    result = run_both(graph, {"in": x}, 50, exact=False)
    assert result.outputs_valid


# ---- threads and memory --------------------------------------------------------------------


def test_threads_simulating_one_graph_get_the_serial_results():
    graph, x = mlp(1, (96, 64, 32, 10))
    serial = cpu.simulate(graph, {"in": x}, 300)
    results = [None] * 8
    start = threading.Barrier(len(results))

    def work(i):
        start.wait()
        results[i] = cpu.simulate(graph, {"in": x}, 300)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(results))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for result in results:
        assert_same_result(result, serial)


def test_first_calls_from_many_threads_at_once_do_not_deadlock():
    # Everything an operation binds from the host is bound when its module loads, so threads
    # making their first calls together never wait on each other's initialisation.
    script = textwrap.dedent(
        """
        import threading, numpy as np
        from zelka.backend.run import run
        from zelka.backend.fpga.cfgsmith import generate_parameters_h
        from zelka.ir import Graph, Input, Affine, LIF, Output
        g = Graph.sequential(("in", Input(input_type={"x": (8,)})), ("fc", Affine(np.eye(8))),
                             ("lif", LIF(np.full(8, 2.0), np.ones(8))), ("out", Output()))
        barrier = threading.Barrier(8)
        def work():
            barrier.wait()
            assert run(g, np.ones(8), 50, profile=False).errors == []
            generate_parameters_h(g)
        threads = [threading.Thread(target=work) for _ in range(8)]
        [t.start() for t in threads]
        [t.join() for t in threads]
        print("done")
        """
    )
    done = subprocess.run(
        [sys.executable, "-c", script], check=False, capture_output=True, text=True, timeout=120
    )
    assert done.stdout.strip() == "done", done.stderr


def allocated_blocks_after(action, repeat):
    # warm-up: caches, interned strings, free lists (filled up to the most objects a call
    # holds at once, which native runs with snapshots reach only after a few hundred calls)
    for _ in range(repeat // 2):
        action()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(repeat):
        action()
    gc.collect()
    return sys.getallocatedblocks() - before


def failing(call):
    def action():
        try:
            call()
        except TypeError:
            pass
        else:
            raise AssertionError("the call did not fail")

    return action


@pytest.mark.parametrize("record", [SimulationResult, RunResult])
@pytest.mark.parametrize(
    "arguments",
    [
        lambda r: r(*range(20)),
        lambda r: r(bogus=1),
        lambda r: r({}, outputs={}),
        lambda r: r(**{"\ud800": 1}),
    ],
)
def test_failing_record_constructions_leave_nothing_behind(record, arguments):
    assert allocated_blocks_after(failing(lambda: arguments(record)), 20000) < 100


def test_repeated_runs_leave_nothing_behind(step_path):
    graph, x = mlp(2)

    def calls():
        cpu.simulate(graph, {"in": x}, 20, step_by_step=True)
        cpu.simulate(graph, {"in": x[:3]}, 5)  # fails inside the loop: reported in errors
        run(graph, x, 5, profile=False)

    assert allocated_blocks_after(calls, 300) < 100
