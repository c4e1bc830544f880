"""csim's limits: a g++ build or a test bench that outlasts its timeout, or that Ctrl-C
interrupts, is killed with every process it started, reaped, and reported; the interpreter
runs other threads while csim waits.

A shell script stands in for g++ on the PATH: it hangs itself (the build stage) or "builds" a
program that hangs (the run stage).  Whichever hangs starts a child of its own, and both write
their process IDs down, so that the tests can check that neither is left."""

import _thread
import os
import re
import signal
import stat
import threading
import time
from pathlib import Path

import pytest

from tests.interrupts import interrupted
from zelka.backend.fpga import csim

HANGS = """#!/bin/sh
sleep 5 &
echo "$$ $!" > {pids}
wait
"""

GXX = """#!/bin/sh
if [ "{stage}" = build ]; then exec {hangs}; fi
while [ "$#" -gt 0 ]; do if [ "$1" = -o ]; then out="$2"; fi; shift; done
cp {hangs} "$out"
"""


def executable(path, text):
    path.write_text(text)
    path.chmod(path.stat().st_mode | stat.S_IXUSR)
    return path


@pytest.fixture
def hanging(tmp_path, monkeypatch, request):
    """A project folder whose `request.param` stage ("build" or "run") hangs; returns the folder
    and the file that receives the process IDs of the hanging tool and of its child."""
    pids = tmp_path / "pids"
    hangs = executable(tmp_path / "hangs.sh", HANGS.format(pids=pids))
    (tmp_path / "bin").mkdir()
    executable(tmp_path / "bin" / "g++", GXX.format(stage=request.param, hangs=hangs))
    monkeypatch.setenv("PATH", f"{tmp_path / 'bin'}{os.pathsep}{os.environ['PATH']}")
    project = tmp_path / "prj"
    (project / "firmware").mkdir(parents=True)
    (project / "firmware" / "p.cpp").write_text("")
    (project / "p_tb.cpp").write_text("")
    return project, pids


def running(pid):
    """Whether the process runs (a killed process of an init that does not reap stays a zombie)."""
    try:
        return Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


def assert_nothing_left(pids):
    tool, child = (int(pid) for pid in pids.read_text().split())
    with pytest.raises(ProcessLookupError):
        os.kill(tool, 0)  # reaped: no zombie of this process
    deadline = time.monotonic() + 1.0
    while running(child) and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not running(child)


BOTH = pytest.mark.parametrize("hanging", ["build", "run"], indirect=True)


BUILD_TIMEOUT = (
    r"the build of the C simulation of '.*prj' \(g\+\+\) did not finish within 0\.5 s \(build_timeout\)"
)
RUN_TIMEOUT = r"the run of the test bench of '.*prj' did not finish within 0\.25 s \(run_timeout\)"


@pytest.mark.parametrize(("hanging", "limit", "message"), [
    ("build", {"build_timeout": 0.5}, BUILD_TIMEOUT),
    ("run", {"run_timeout": 0.25, "build_timeout": 60}, RUN_TIMEOUT),
], indirect=["hanging"])  # fmt: skip
def test_a_stage_that_outlasts_its_timeout_is_killed_with_what_it_started(hanging, limit, message):
    project, pids = hanging
    start = time.monotonic()
    with pytest.raises(TimeoutError, match="^" + message + "$"):
        csim(project, **limit)
    assert time.monotonic() - start < 2.0
    assert_nothing_left(pids)


def send_sigint():
    os.kill(os.getpid(), signal.SIGINT)


@BOTH
@pytest.mark.parametrize("interrupt", [_thread.interrupt_main, send_sigint], ids=["interrupt_main", "SIGINT"])
def test_ctrl_c_stops_a_stage_within_a_fraction_of_a_second(hanging, interrupt):
    project, pids = hanging
    start = time.monotonic()
    interrupted(lambda: csim(project), after=0.5, interrupt=interrupt)
    assert time.monotonic() - start < 1.0
    assert_nothing_left(pids)


@pytest.mark.parametrize("hanging", ["run"], indirect=True)
def test_other_threads_run_while_csim_waits(hanging):
    project, pids = hanging
    ticks, done = [], threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    thread = threading.Thread(target=tick)
    start = time.monotonic()
    thread.start()
    try:
        with pytest.raises(TimeoutError):
            csim(project, run_timeout=0.6)
    finally:
        done.set()
        thread.join()
    assert sum(start + 0.2 < t < start + 0.5 for t in ticks) > 10
    assert_nothing_left(pids)


@pytest.mark.parametrize("value", [0, -1.0, float("nan")])
def test_timeouts_must_be_positive(tmp_path, value):
    for argument in ("build_timeout", "run_timeout"):
        expected = f"Argument '{argument}' must be a positive number of seconds or None, got {value!r}"
        with pytest.raises(ValueError, match="^" + re.escape(expected) + "$"):
            csim(tmp_path, **{argument: value})
