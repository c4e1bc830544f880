"""What counting a run's activity costs: simulate_batch with and without ``activity=True`` on
bench_batch.py's networks and stimuli.

Usage (from the repository root)::

    OPENBLAS_NUM_THREADS=1 python benchmarks/bench_activity.py           # batch 64, 1000 steps
    OPENBLAS_NUM_THREADS=1 python benchmarks/bench_activity.py --quick   # batch 16, 200 steps

For each network and stimulus kind (the same image every step: the first layer counts dense
MACs; Bernoulli spike trains per step: every layer counts synaptic operations) it prints the
best wall time and the best CPU time (of all the call's threads) of each, taken in turns so
that load elsewhere on the machine spoils both alike, and their ratios; the short runs of
bench_batch follow (540 samples of 25 steps).  The target is a ratio of at most 1.10 (the
CPU time's, which other processes on a shared machine disturb less); the last line is
``ALL TARGETS MET`` or ``TARGETS MISSED: ...``.
"""

from __future__ import annotations

import os
import sys
import time

os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from bench_batch import NETWORKS, SHORT_RUN, inputs

from zelka.backend.cpu.simulator import PerStep, _cpu_backend

TARGET = 1.10


def timed(graph, data, steps, activity):
    """(wall seconds, CPU seconds of the process's threads, the result) of one call."""
    wall, cpu = time.perf_counter(), time.process_time()
    result = _cpu_backend.simulate_batch(graph, data, steps, activity=activity)
    return time.perf_counter() - wall, time.process_time() - cpu, result


def measure(name, kind, batch, steps, rounds):
    """Wall and CPU seconds without counting and with it, the best of `rounds` turns of
    each, and the counted result."""
    graph, params = NETWORKS[name]()
    image, trains = inputs(batch, steps, params[0][0].shape[1])
    data = PerStep({"in": trains}) if kind == "per-step" else {"in": image}
    plain, counted, result = [], [], None
    timed(graph, data, steps, False)  # buffers kept for the calls that follow
    for _ in range(rounds):
        plain.append(timed(graph, data, steps, False)[:2])
        *seconds, result = timed(graph, data, steps, True)
        counted.append(seconds)
    return [min(t[k] for t in plain) for k in (0, 1)], [min(t[k] for t in counted) for k in (0, 1)], result


def main(argv):
    quick = "--quick" in argv
    batch, steps, rounds = (16, 200, 5) if quick else (64, 1000, 7)
    print(f"activity counting: {os.cpu_count()} CPUs, best of {rounds} turns each")
    columns = [
        "network",
        "stimulus",
        "batch x steps",
        "wall s",
        "counted",
        "ratio",
        "CPU s",
        "counted",
        "ratio",
    ]
    widths = [-18, -9, 13, 8, 8, 6, 8, 8, 6]
    header = " ".join(f"{c:{'<' if w < 0 else '>'}{abs(w)}}" for c, w in zip(columns, widths))
    print(f"{header}  SOPs / MACs per sample\n{'-' * (len(header) + 24)}")
    missed = []
    rows = [
        (name, kind, batch, steps)
        for name in NETWORKS
        if name != SHORT_RUN
        for kind in ("static", "per-step")
    ]
    rows += [(SHORT_RUN, kind, 540, 25) for kind in ("static", "per-step")]
    for name, kind, n, length in rows:
        plain, counted, result = measure(name, kind, n, length, rounds if name != SHORT_RUN else 4 * rounds)
        wall_ratio, ratio = counted[0] / plain[0], counted[1] / plain[1]
        activity = result.activity
        print(
            f"{name:<18} {kind:<9} {f'{n} x {length}':>13} {plain[0]:>8.4f} {counted[0]:>8.4f} {wall_ratio:>6.3f} "
            f"{plain[1]:>8.4f} {counted[1]:>8.4f} {ratio:>6.3f}  "
            f"{activity.total_synaptic_ops.mean():,.0f} / {activity.total_dense_macs.mean():,.0f}"
        )
        if ratio > TARGET:
            missed.append(f"{name} {kind} ({ratio:.3f} > {TARGET})")
    print("ALL TARGETS MET" if not missed else "TARGETS MISSED: " + "; ".join(missed))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
