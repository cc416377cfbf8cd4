"""Fixtures: the simulated instrument and one open Q583 per test module.

The library and q583-sim are found through Q583_SP_LIBRARY and PATH
(scripts/test-python.sh sets both)."""

import os
import shutil

import pytest

import q583

# Known inputs: main channel 0 sub 0 constant, main channel 1 sub-channels
# 0-3 distinct constants (sub 3 negative), main channel 2 a ramp.
SIGNALS = {0: 1.25, (1, 0): 0.5, (1, 1): -0.75, (1, 2): 2.0, (1, 3): -2.0, 2: ("ramp", 0, 1, 1)}


def pytest_configure(config):
    if not shutil.which("q583-sim"):
        raise pytest.UsageError("q583-sim is not on PATH; run scripts/test-python.sh")


@pytest.fixture(scope="module")
def workdir(tmp_path_factory):
    """A private working directory for the scan logs of the module."""
    path = tmp_path_factory.mktemp("work")
    old = os.getcwd()
    os.chdir(path)
    yield path
    os.chdir(old)


@pytest.fixture(scope="module")
def sim():
    with q583.Simulator(SIGNALS) as simulator:
        yield simulator


@pytest.fixture(scope="module")
def dev(sim, workdir):
    with q583.Q583(sim) as device:
        yield device
