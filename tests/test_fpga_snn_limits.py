"""What write_snn_project refuses up front (a test bench whose reference spikes take more than
64 MiB) and how Ctrl-C stops it: during the reference simulation and while the files
are written, leaving nothing behind."""

import os
import re
import signal
import threading
import time

import numpy as np
import pytest

from tests.interrupts import interrupted, interruptible
from tests.test_fpga_snn import needs_hls4ml, small, stimulus
from zelka.backend.registry import get_backend
from zelka.ir import LIF, Affine, Graph, Input, Output

pytestmark = needs_hls4ml


def write(graph, folder, **settings):
    settings.setdefault("input_data", stimulus())
    return get_backend("fpga").write_snn_project(graph, folder, "snn", **settings)


def wide_layer(neurons):
    graph = Graph.sequential(("x", Input(input_type={"input": (neurons,)})),
                             ("lif", LIF(tau=np.full(neurons, 2.0, np.float32),
                                         v_threshold=np.ones(neurons, np.float32))),
                             ("y", Output()))  # fmt: skip
    return graph, {"x": np.full(neurons, 0.75, np.float32)}


def refusal(steps, per_step, most):
    return (f"Argument 'n_steps': the test bench's reference spikes of {steps} steps would take "
            f"{steps * per_step} bytes ({per_step} per step), above the limit of 67108864 bytes (64 MiB): at "
            f"most {most} steps fit this network")  # fmt: skip


def test_a_test_bench_of_more_than_64_mib_of_reference_spikes_is_refused_before_any_work(tmp_path):
    # a line per step: the layer's 65528 spikes and a line break
    graph, data = wide_layer(2**16 - 8)
    with pytest.raises(ValueError, match="^" + re.escape(refusal(1025, 2**16 - 7, 1024)) + "$"):
        write(graph, tmp_path / "prj", input_data=data, n_steps=1025)
    assert not (tmp_path / "prj").exists()
    assert write(graph, tmp_path / "prj", input_data=data, n_steps=1024)["steps"] == 1024
    assert os.path.getsize(tmp_path / "prj" / "tb_data" / "reference_spikes.dat") > 1024 * (2**16 - 7)

    start = time.monotonic()
    with pytest.raises(ValueError, match="^" + re.escape(refusal(2**31, 4, 2**24)) + "$"):
        write(small(), tmp_path / "long", n_steps=2**31)
    cyclic = Graph(dict(small().nodes), list(small().edges), {"max_iterations": 2**62})
    with pytest.raises(ValueError, match="^" + re.escape(refusal(2**62, 4, 2**24)) + "$"):
        write(cyclic, tmp_path / "long", n_steps=1)  # the graph's own step count
    assert time.monotonic() - start < 1.0 and not (tmp_path / "long").exists()


def test_ctrl_c_stops_the_reference_simulation(tmp_path):
    busy = small()
    busy.add("load", Affine(np.ones((4096, 3), np.float32)), after="lif")  # work for every step
    start = time.monotonic()
    interrupted(lambda: write(busy, tmp_path / "prj", n_steps=6_000_000), after=0.5)  # seconds of steps
    assert time.monotonic() - start < 1.5
    assert not (tmp_path / "prj").exists()


def test_ctrl_c_while_the_files_are_written_leaves_nothing(tmp_path):
    # SIGINT arrives every millisecond; the handler interrupts only once files are being written
    folder = tmp_path / "prj"
    writing = []

    def handler(signum, frame):
        if any(name.endswith(".tmp") for _, _, names in os.walk(folder) for name in names):
            writing.append(True)
            raise KeyboardInterrupt

    done = threading.Event()

    def keep_interrupting():
        while not done.is_set():
            os.kill(os.getpid(), signal.SIGINT)
            time.sleep(0.001)

    thread = threading.Thread(target=keep_interrupting)
    with interruptible():
        signal.signal(signal.SIGINT, handler)
        thread.start()
        try:
            with pytest.raises(KeyboardInterrupt):
                write(small(), folder)
        finally:
            done.set()
            thread.join()
    assert writing and not folder.exists()
