"""Speed, memory and threading report for the native CPU engine.

Usage (from the repository root)::

    python benchmarks/bench_engine.py           # full run, a couple of minutes at most
    python benchmarks/bench_engine.py --quick   # fewer repeats, shorter thread runs

Every case builds a seeded graph and runs it through the native engine
(``_cpu_backend.simulate``) and through the plain numpy transcription in
``tests/oracle/engine.py`` on the same inputs.  The table shows the median wall time
of each, their ratio (reference / engine) against the target ratio, and whether the
spike counts agree exactly.  All timings are measured in the same run, so only the
ratios are meaningful from one machine to the next.

Two further checks follow:

* memory: peak RSS growth of one ``simulate`` call on the large network, measured in a
  fresh interpreter, against the byte size of its weights;
* threads: two different graphs simulated from two threads at once against the same two
  runs one after the other.

The script always exits with status 0; its last line is either ``ALL TARGETS MET`` or
``TARGETS MISSED: ...`` naming every missed target.
"""

from __future__ import annotations

import gc
import json
import os
import resource
import statistics
import subprocess
import sys
import threading
import time

import numpy as np

REPO_ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
if REPO_ROOT not in sys.path:
    sys.path.insert(0, REPO_ROOT)

from zelka.backend.cpu.simulator import _cpu_backend  # noqa: E402
from zelka.ir import LIF, Affine, Graph, Input, Output  # noqa: E402

MB = 1024.0 * 1024.0


# --------------------------------------------------------------------------- graphs


def _weights(rng, n_out, n_in, scale, dtype):
    """Gaussian weights with standard deviation scale/sqrt(n_in), drawn straight in `dtype`.

    Drawing in the target dtype and scaling in place keeps the peak RSS of graph
    construction equal to the final weights, so the memory probe sees no slack.
    """
    w = rng.standard_normal((n_out, n_in), dtype=dtype)
    w *= dtype(scale / np.sqrt(n_in))
    return w


def _feedforward(seed, sizes, layers, dtype=np.float32, tau=10.0, threshold=1.0):
    """Input -> (Affine -> LIF) per layer -> Output.

    `layers` gives (weight scale, bias) per Affine; a bias of None leaves the layer
    without one, a number fills the bias vector with it.
    """
    rng = np.random.default_rng(seed)
    x = rng.random(sizes[0], dtype=dtype)
    nodes = [("in", Input(input_type={"x": (sizes[0],)}))]
    for i, ((scale, bias), n_in, n_out) in enumerate(zip(layers, sizes, sizes[1:]), start=1):
        w = _weights(rng, n_out, n_in, scale, dtype)
        b = None if bias is None else np.full(n_out, bias, dtype=dtype)
        nodes.append((f"fc{i}", Affine(w, b)))
        nodes.append((f"lif{i}", LIF(tau=tau, v_threshold=np.full(n_out, threshold, dtype=dtype))))
    nodes.append(("out", Output()))
    return Graph.sequential(*nodes), x


def tiny(seed=1, dtype=np.float32):
    return _feedforward(seed, [8, 16, 4], [(2.0, 0.05), (4.0, None)], dtype, tau=5.0)


def small(seed=2, dtype=np.float32):
    return _feedforward(
        seed, [128, 128, 128, 128], [(1.0, -0.1), (6.0, None), (6.0, -0.1)], dtype, tau=5.0
    )


def medium(seed=3, dtype=np.float32):
    return _feedforward(
        seed, [784, 256, 128, 10], [(1.0, -0.2), (5.0, None), (6.0, 0.0)], dtype
    )


def large(seed=4, dtype=np.float32):
    """784-1000-1000-10 tuned so that only a few percent of neurons fire per step."""
    return _feedforward(
        seed, [784, 1000, 1000, 10], [(1.0, -0.7), (5.0, -0.5), (8.0, None)], dtype
    )


def recurrent(seed=5, dtype=np.float32, n_io=64, n_hidden=128):
    """in -> fc1 -> lif1 -> fc2 -> lif2 -> out, with lif2 fed back into fc1.

    fc1 sums two predecessors of the same shape: the stimulus and last step's lif2 spikes.
    """
    rng = np.random.default_rng(seed)
    x = rng.random(n_io, dtype=dtype)
    nodes = [
        ("in", Input(input_type={"x": (n_io,)})),
        ("fc1", Affine(_weights(rng, n_hidden, n_io, 1.0, dtype), np.full(n_hidden, -0.1, dtype=dtype))),
        ("lif1", LIF(tau=5.0, v_threshold=np.full(n_hidden, 1.0, dtype=dtype))),
        ("fc2", Affine(_weights(rng, n_io, n_hidden, 4.0, dtype))),
        ("lif2", LIF(tau=5.0, v_threshold=np.full(n_io, 1.0, dtype=dtype))),
        ("out", Output()),
    ]
    names = [name for name, _ in nodes]
    edges = list(zip(names, names[1:])) + [("lif2", "fc1")]
    return Graph(nodes, edges), x


def weight_bytes(graph):
    total = 0
    for node in graph.nodes.values():
        if isinstance(node, Affine):
            total += node.weight.nbytes + (0 if node.bias is None else node.bias.nbytes)
    return total


def neuron_counts(graph):
    return {name: node.v_threshold.shape[0] for name, node in graph.nodes.items() if isinstance(node, LIF)}


# --------------------------------------------------------------------------- timing


def _median_time(fn, repeats):
    times, result = [], None
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - t0)
    return statistics.median(times), result


def run_cases(quick):
    from tests.oracle.engine import simulate as reference

    # (name, builder, dtype, steps, target, engine repeats, reference repeats)
    cases = [
        ("tiny", tiny, np.float32, 1000, 20.0, 9, 3),
        ("small", small, np.float32, 1000, 20.0, 9, 3),
        ("small-f64", small, np.float64, 1000, 20.0, 9, 3),
        ("medium", medium, np.float32, 500, 5.0, 7, 3),
        ("large-sparse", large, np.float32, 100, 2.0, 7, 3),
        ("recurrent", recurrent, np.float32, 1000, 10.0, 9, 3),
    ]
    rows, activity, missed, notes = [], [], [], []
    for name, build, dtype, steps, target, n_eng, n_ref in cases:
        if quick:
            n_eng, n_ref = max(3, n_eng // 3), 1
        graph, x = build(dtype=dtype)
        inputs = {"in": x}
        dims = "-".join(str(n) for n in [x.shape[0]] + list(neuron_counts(graph).values()))

        # Warm both paths once on a short run so first-call costs stay out of the medians.
        _cpu_backend.simulate(graph, input_data=inputs, n_steps=2)
        reference(graph, input_data=inputs, n_steps=2)

        t_eng, r_eng = _median_time(
            lambda: _cpu_backend.simulate(graph, input_data=inputs, n_steps=steps, step_by_step=False), n_eng
        )
        t_ref, r_ref = _median_time(
            lambda: reference(graph, input_data=inputs, n_steps=steps, step_by_step=False), n_ref
        )
        ratio = t_ref / t_eng if t_eng > 0 else float("inf")
        need = max(target, 1.0)
        spikes_equal = dict(r_eng.spike_counts) == dict(r_ref.spike_counts)
        ok = ratio >= need and spikes_equal and not r_eng.errors and not r_ref.errors
        rows.append(
            (name, dims, np.dtype(dtype).name, steps, t_eng * 1e3, t_ref * 1e3, ratio, need,
             "PASS" if ok else "FAIL", "equal" if spikes_equal else "DIFFER",
             sum(r_ref.spike_counts.values()))
        )
        if ratio < need:
            missed.append(f"{name} speed ({ratio:.1f}x < {need:g}x)")
        if not spikes_equal:
            missed.append(f"{name} spike counts")
            notes.append(f"{name}: engine spike counts {dict(r_eng.spike_counts)} "
                         f"vs reference {dict(r_ref.spike_counts)}")
        if r_eng.errors or r_ref.errors:
            missed.append(f"{name} errors")
            notes.append(f"{name}: engine errors {r_eng.errors}, reference errors {r_ref.errors}")
        # Outputs are not part of the targets but a mismatch is worth a note.
        for key in set(r_eng.outputs) | set(r_ref.outputs):
            a, b = r_eng.outputs.get(key), r_ref.outputs.get(key)
            if a is None or b is None or np.asarray(a).dtype != np.asarray(b).dtype or not np.array_equal(a, b):
                notes.append(f"{name}: output {key!r} differs (engine {a!r}, reference {b!r})")

        counts = neuron_counts(graph)
        activity.append(
            (name, [(layer, r_ref.spike_counts.get(layer, 0), r_ref.spike_counts.get(layer, 0) / (n * steps))
                    for layer, n in counts.items()])
        )
        for layer, count, _ in activity[-1][1]:
            if count == 0:
                notes.append(f"{name}: layer {layer} never spiked")

    header = (f"{'case':<13} {'sizes':<18} {'dtype':<8} {'steps':>5} {'engine ms':>10} {'ref ms':>10} "
              f"{'ratio':>8} {'target':>7} {'result':>6}  {'spikes':<7} {'total spikes':>12}")
    print(header)
    print("-" * len(header))
    for name, dims, dt, steps, te, tr, ratio, need, res, sp, total in rows:
        print(f"{name:<13} {dims:<18} {dt:<8} {steps:>5} {te:>10.3f} {tr:>10.2f} {ratio:>7.1f}x "
              f"{'>=' + format(need, 'g') + 'x':>7} {res:>6}  {sp:<7} {total:>12}")
    print()
    print("Spiking activity (spikes, mean fraction of neurons firing per step):")
    for name, layers in activity:
        print(f"  {name:<13} " + "  ".join(f"{layer}={count} ({rate:.2%})" for layer, count, rate in layers))
    return missed, notes


# --------------------------------------------------------------------------- memory


def _rss_now():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _memory_probe(steps):
    """Runs in a fresh interpreter: one simulate call on the large network."""
    idle = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    graph, x = large()
    inputs = {"in": x}
    gc.collect()
    before_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    before_now = _rss_now()
    result = _cpu_backend.simulate(graph, input_data=inputs, n_steps=steps)
    after_peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    print(json.dumps({
        "idle": idle, "before_peak": before_peak, "before_now": before_now, "after_peak": after_peak,
        "weights": weight_bytes(graph), "errors": list(result.errors),
        "spikes": int(sum(result.spike_counts.values())),
    }))


def run_memory():
    missed = []
    print("Memory: peak RSS growth of one simulate call on large-sparse, fresh interpreter")
    for steps, judged in ((100, True), (1000, False)):
        proc = subprocess.run(
            [sys.executable, os.path.abspath(__file__), "--memory-probe", str(steps)],
            capture_output=True, text=True, cwd=REPO_ROOT,
        )
        if proc.returncode != 0:
            print(f"  probe failed ({steps} steps): {proc.stderr.strip()[-500:]}")
            if judged:
                missed.append("memory (probe failed)")
            continue
        m = json.loads(proc.stdout.strip().splitlines()[-1])
        growth = m["after_peak"] - m["before_peak"]
        limit = 1.5 * m["weights"] + 50 * MB
        ok = growth <= limit and not m["errors"]
        label = ("PASS" if ok else "FAIL") if judged else "(info)"
        print(f"  {steps:>5} steps: idle interpreter {m['idle'] / MB:.1f} MB, before call {m['before_peak'] / MB:.1f} MB "
              f"peak / {m['before_now'] / MB:.1f} MB current, after call {m['after_peak'] / MB:.1f} MB peak")
        print(f"               growth {growth / MB:.2f} MB, weights {m['weights'] / MB:.2f} MB, "
              f"limit 1.5 x weights + 50 MB = {limit / MB:.2f} MB  {label}"
              + (f"  errors: {m['errors']}" if m["errors"] else ""))
        if judged and not ok:
            missed.append(f"memory ({growth / MB:.1f} MB > {limit / MB:.1f} MB)")
    return missed


# --------------------------------------------------------------------------- threads


def run_threads(quick):
    missed = []
    target_s = 0.15 if quick else 0.35
    repeats = 2 if quick else 3
    jobs = []
    for name, build in (("medium", lambda: medium(seed=13)), ("large-sparse", lambda: large(seed=14))):
        graph, x = build()
        inputs = {"in": x}
        _cpu_backend.simulate(graph, input_data=inputs, n_steps=10)
        probe_steps = 200
        t, _ = _median_time(lambda: _cpu_backend.simulate(graph, input_data=inputs, n_steps=probe_steps), 3)
        steps = max(probe_steps, int(probe_steps * target_s / max(t, 1e-9)))
        jobs.append((name, graph, inputs, steps))

    def run(job):
        _, graph, inputs, steps = job
        return _cpu_backend.simulate(graph, input_data=inputs, n_steps=steps)

    seq_times, conc_times, single = [], [], {}
    seq_counts, conc_ok = None, True
    for _ in range(repeats):
        gc.collect()
        t0 = time.perf_counter()
        seq_results = []
        for job in jobs:
            t1 = time.perf_counter()
            seq_results.append(run(job))
            single.setdefault(job[0], []).append(time.perf_counter() - t1)
        seq_times.append(time.perf_counter() - t0)
        seq_counts = [dict(r.spike_counts) for r in seq_results]

        conc_results, failures = [None] * len(jobs), []

        def worker(i):
            try:
                conc_results[i] = run(jobs[i])
            except BaseException as exc:  # reported below
                failures.append(repr(exc))

        threads = [threading.Thread(target=worker, args=(i,)) for i in range(len(jobs))]
        gc.collect()
        t0 = time.perf_counter()
        for th in threads:
            th.start()
        for th in threads:
            th.join()
        conc_times.append(time.perf_counter() - t0)
        if failures or any(r is None or dict(r.spike_counts) != c for r, c in zip(conc_results, seq_counts)):
            conc_ok = False

    seq, conc = statistics.median(seq_times), statistics.median(conc_times)
    ratio = conc / seq
    a, b = (statistics.median(single[job[0]]) for job in jobs)
    ok = ratio <= 0.6 and conc_ok
    print(f"Threads: {jobs[0][0]} x {jobs[0][3]} steps ({a * 1e3:.0f} ms alone) and "
          f"{jobs[1][0]} x {jobs[1][3]} steps ({b * 1e3:.0f} ms alone), {os.cpu_count()} CPUs")
    print(f"  sequential {seq * 1e3:.0f} ms, concurrent {conc * 1e3:.0f} ms, ratio {ratio:.2f} "
          f"(target <= 0.60, best possible here {max(a, b) / (a + b):.2f})  "
          f"{'PASS' if ok else 'FAIL'}; spike counts under concurrency "
          f"{'match' if conc_ok else 'DIFFER from sequential'}")
    if ratio > 0.6:
        missed.append(f"threads ({ratio:.2f} > 0.60)")
    if not conc_ok:
        missed.append("threads (concurrent results differ)")
    return missed


# --------------------------------------------------------------------------- main


def main(argv):
    if len(argv) >= 2 and argv[0] == "--memory-probe":
        _memory_probe(int(argv[1]))
        return 0
    quick = "--quick" in argv
    t_start = time.perf_counter()
    print(f"zelka engine benchmark{' (quick)' if quick else ''}: numpy {np.__version__}, "
          f"python {sys.version.split()[0]}, {os.cpu_count()} CPUs")
    print()
    missed, notes = run_cases(quick)
    print()
    missed += run_memory()
    print()
    missed += run_threads(quick)
    print()
    if notes:
        print("Notes:")
        for note in notes:
            print(f"  {note}")
        print()
    print(f"(total {time.perf_counter() - t_start:.1f} s)")
    print("ALL TARGETS MET" if not missed else "TARGETS MISSED: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
