"""Fixtures shared by the tests of the CPU engine."""

import numpy as np
import pytest

from zelka.backend.cpu import graph_utils


@pytest.fixture(params=["native", "generic"])
def step_path(request, monkeypatch):
    """Leaves the package's own saturate in place (numpy steps, then native kernels) or replaces
    it with a Python wrapper, which keeps the engine on numpy steps for the whole run."""
    if request.param == "generic":
        native = graph_utils.saturate
        monkeypatch.setattr(graph_utils, "saturate", lambda values, precision: native(values, precision))
    return request.param


@pytest.fixture(params=["warn", "ignore"])
def numpy_errors(request):
    """Runs the test under numpy's default error handling, where a floating-point condition in
    the native kernels sends the steps back through numpy, or with every condition ignored,
    where NaN and infinity stay on the native kernels."""
    with np.errstate(all=request.param):
        yield request.param
