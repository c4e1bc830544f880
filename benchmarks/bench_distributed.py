"""Throughput of simulate_dataset on a LocalCluster of 1 and of 2 single-threaded worker
processes against one simulate_batch call on 2 threads, and the cost of a chunk.

Usage (from the repository root, with ``pip install ".[distributed]"``)::

    python benchmarks/bench_distributed.py           # 10,000 samples, 200 steps
    python benchmarks/bench_distributed.py --quick   # 2,000 samples, 200 steps

The network is bench_batch.py's 784-256-128-10; each sample is a rate-coded stimulus per step
(bench_batch.py's Bernoulli spike trains, drawn per block of samples with its own seed).  The
data set is made on the workers and held there before the runs are timed, as data read by the
cluster would be; simulate_batch gets the same values as one numpy array.  Each contestant runs
the data set `repeats` times and keeps its best time (from calling simulate_dataset until the
spike counts are in hand: simulate_dataset gathers them, nothing is recorded, so they are
computed in this process); the spike totals of every contestant must agree.

Targets: 2 workers at least 1.7x the throughput of 1 worker, and at least 0.85x that of one
simulate_batch(workers=2) call.  The cost of a chunk comes from the times of one data set of
constant stimuli (the images) in chunks of several sizes on 2 workers: a straight line through
time against number of chunks, whose slope times the 2 workers is the time each chunk adds.  The
last line is ``ALL TARGETS MET`` or ``TARGETS MISSED: ...``.  The machine's load average is
printed first: other work on the cores shows in every figure.
"""

from __future__ import annotations

import os
import sys
import time
import warnings

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import dask
import dask.array as da
from bench_batch import NETWORKS, inputs
from distributed import Client, LocalCluster

from zelka.backend.cpu.simulator import PerStep, _cpu_backend
from zelka.distributed import simulate_dataset

NETWORK, SIZE, BLOCK = "784-256-128-10", 784, 256


def trains_block(index: int, samples: int, steps: int) -> np.ndarray:
    """Block `index` of the data set: (steps, samples, 784) spike trains of its own seed."""
    return inputs(samples, steps, SIZE, seed=1000 + index)[1]


def blocks_of(n_samples: int) -> list[tuple[int, int]]:
    return [(start, min(start + BLOCK, n_samples)) for start in range(0, n_samples, BLOCK)]


def data_set(n_samples: int, steps: int) -> da.Array:
    """The spike trains as a Dask array whose blocks are made where they are computed."""
    make = dask.delayed(trains_block, pure=True)
    return da.concatenate(
        [
            da.from_delayed(make(i, stop - start, steps), shape=(steps, stop - start, SIZE), dtype=np.float32)
            for i, (start, stop) in enumerate(blocks_of(n_samples))
        ],
        axis=1,
    )


def spike_totals(counts: dict) -> list[int]:
    return [int(np.asarray(counts[name]).sum()) for name in sorted(counts)]


def best_time(run, repeats: int) -> tuple[float, list[int]]:
    best, totals = float("inf"), []
    for _ in range(repeats):
        start = time.perf_counter()
        totals = run()
        best = min(best, time.perf_counter() - start)
    return best, totals


def in_one_call(graph, n_samples: int, steps: int, repeats: int) -> tuple[float, list[int]]:
    """Best time and spike totals of one simulate_batch(workers=2) call on the data set."""
    trains = np.empty((steps, n_samples, SIZE), np.float32)
    for i, (start, stop) in enumerate(blocks_of(n_samples)):
        trains[:, start:stop] = trains_block(i, stop - start, steps)
    stimuli = PerStep({"in": trains})
    return best_time(
        lambda: spike_totals(_cpu_backend.simulate_batch(graph, stimuli, steps, workers=2).spike_counts),
        repeats,
    )


def on_cluster(graph, n_samples: int, steps: int, workers: int, repeats: int, images: np.ndarray,
               chunks: list[int]) -> tuple[float, list[int], list[tuple[int, float]]]:  # fmt: skip
    """Best time and spike totals of the per-step data set on `workers` worker processes, and
    the best times of the constant stimuli in chunks of each size in `chunks`."""
    with (
        LocalCluster(
            n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        Client(cluster, set_as_default=False) as client,
    ):
        trains = client.persist(data_set(n_samples, steps))
        dask.compute(trains.sum(), scheduler=client)  # made and held on the workers

        def per_step():
            result = simulate_dataset(graph, {"in": trains}, steps, client=client, chunk=BLOCK, per_step=True)
            return spike_totals(dask.compute(result.spike_counts, scheduler="sync")[0])

        seconds, totals = best_time(per_step, repeats)
        # the images travel with their tasks, which Dask warns of past 10 MiB
        warnings.filterwarnings("ignore", "Sending large graph", UserWarning)
        sweep = []
        for chunk in chunks:

            def constant(chunk=chunk):
                result = simulate_dataset(graph, {"in": images}, steps, client=client, chunk=chunk)
                return spike_totals(dask.compute(result.spike_counts, scheduler="sync")[0])

            sweep.append((chunk, best_time(constant, repeats)[0]))
        return seconds, totals, sweep


def main(argv: list[str]) -> int:
    quick = "--quick" in argv
    n_samples, steps, repeats = (2_000, 200, 2) if quick else (10_000, 200, 3)
    chunks = [25, 50, 100] if quick else [25, 50, 100, 200]
    graph, _ = NETWORKS[NETWORK]()
    images = inputs(n_samples, steps, SIZE)[0]
    rate = n_samples * steps
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    print(
        f"simulate_dataset benchmark: {NETWORK}, {n_samples} samples, {steps} steps, rate-coded input per step"
    )
    print(f"{os.cpu_count()} CPUs, load average {load} (1, 5, 15 min) before the runs")

    t_batch, batch_totals = in_one_call(graph, n_samples, steps, repeats)
    t_one, one_totals, _ = on_cluster(graph, n_samples, steps, 1, repeats, images, [])
    t_two, two_totals, sweep = on_cluster(graph, n_samples, steps, 2, repeats, images, chunks)

    print(f"{'contestant':<36} {'seconds':>8} {'sample-steps/s':>15}")
    for name, seconds in [
        ("simulate_batch(workers=2)", t_batch),
        ("simulate_dataset, 1 worker", t_one),
        ("simulate_dataset, 2 workers", t_two),
    ]:
        print(f"{name:<36} {seconds:>8.3f} {rate / seconds:>15,.0f}")
    speedup, vs_batch = t_one / t_two, t_batch / t_two
    print(f"2 workers / 1 worker: {speedup:.2f}x (target >= 1.7); 2 workers / simulate_batch(workers=2): "
          f"{vs_batch:.2f}x (target >= 0.85)")  # fmt: skip
    agree = batch_totals == one_totals == two_totals
    print(
        f"spike totals per layer: {two_totals} ({'equal' if agree else f'differ: {batch_totals} {one_totals}'})"
    )

    n_chunks = np.array([-(-n_samples // chunk) for chunk, _ in sweep], float)
    seconds = np.array([s for _, s in sweep])
    slope, intercept = np.polyfit(n_chunks, seconds, 1)
    print("constant stimuli on 2 workers: " + ", ".join(f"chunk {c}: {s:.3f} s" for c, s in sweep))
    print(f"time a chunk adds: {2 * slope * 1e3:.1f} ms (fit over {len(sweep)} chunk sizes; "
          f"{intercept:.3f} s for the rest)")  # fmt: skip

    missed = []
    if speedup < 1.7:
        missed.append(f"2 workers / 1 worker {speedup:.2f}x < 1.7x")
    if vs_batch < 0.85:
        missed.append(f"2 workers / simulate_batch(workers=2) {vs_batch:.2f}x < 0.85x")
    if not agree:
        missed.append("spike totals differ")
    print("ALL TARGETS MET" if not missed else "TARGETS MISSED: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
