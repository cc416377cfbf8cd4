"""Failures become exceptions: the port, the instrument, the scan, the library."""

import fcntl
import logging
import os
import shutil
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest

import q583

from conftest import SIGNALS


def test_missing_port():
    with pytest.raises(q583.PortError, match="port /dev/q583-none missing") as caught:
        q583.Q583("/dev/q583-none").open()
    assert caught.value.reason == "missing"


def test_busy_port():
    with q583.Simulator() as sim:
        fd = os.open(sim.port, os.O_RDWR | os.O_NOCTTY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX)  # as the library holds an open port
            with pytest.raises(q583.PortError, match="busy: another program has it open") as caught:
                q583.Q583(sim).open()
            assert caught.value.reason == "busy"
        finally:
            os.close(fd)


def test_silent_instrument():
    with q583.Simulator(no_wake_reply=True) as sim:
        with pytest.raises(q583.NoAnswerError, match=f"no sign-on: the instrument on {sim.port} is not answering"):
            q583.Q583(sim).open()


@pytest.mark.parametrize("take", ["iterate", "read_all"])
def test_scan_ended_by_a_wrong_marker(tmp_path, monkeypatch, take):
    monkeypatch.chdir(tmp_path)
    with q583.Simulator(frame_fault="marker:3", pacing=False) as sim, q583.Q583(sim) as dev:
        with dev.scan(codes=[0x00], seconds=60) as run:
            with pytest.warns(q583.ScanGapWarning, match=r"lost at 3(-\d+)?: a frame fault ended the run$"), \
                    pytest.raises(q583.ScanError, match="wrong marker") as caught:
                if take == "iterate":
                    for _ in run:
                        pass
                else:
                    run.read_all()
        assert caught.value.errorType == 1
        assert not run.running
        assert len(q583.read_scan_log(run.log_path).values) == 3  # frames 0-2
        if take == "read_all":
            assert caught.value.scans.shape == (3, 1)  # what it had taken
            assert list(caught.value.numbers) == [0, 1, 2] and len(run.numbers) == 0
        else:
            assert list(run.numbers) == [0, 1, 2]
        # The frame in hand and those behind it, lost to the fault.
        assert caught.value.gaps == run.gaps and len(run.gaps) == 1
        gap, summary = run.gaps[0], run.summary
        assert (gap.first, gap.cause) == (3, 2) and gap.count == summary.lost["frame fault"] >= 1
        assert summary.scans_sent == 3 + gap.count and summary.scans_taken == 3
        assert run.end_reason == "a frame fault: a frame began with a wrong marker (or a single conversion's " \
                                 "reply was short)"


@pytest.mark.parametrize("limit", [{"seconds": 2}, {"scans": 3}])
def test_a_stop_that_fails_keeps_the_scans(tmp_path, monkeypatch, caplog, limit):
    monkeypatch.chdir(tmp_path)
    with q583.Simulator({0: 1.25}, no_stop_echo=True) as sim, q583.Q583(sim) as dev:
        run = dev.scan(codes=[0x00], log_file=False, **limit)
        with pytest.raises(q583.NoAnswerError, match="did not confirm the end") as caught:
            run.read_all()
        scans = caught.value.scans
        assert len(scans) >= 3 and (len(scans) == 3 or "seconds" in limit)
        np.testing.assert_allclose(scans, SIGNALS[0], atol=2e-6)
        np.testing.assert_array_equal(run.read(), scans)  # the run kept them too
        if "scans" in limit:
            return
        # A failed stop on the way out of a with block is logged, the
        # exception in flight goes on.
        with caplog.at_level(logging.WARNING, logger="q583"), pytest.raises(KeyError):
            with dev.scan(codes=[0x00], log_file=False):
                raise KeyError
        assert "did not confirm the end" in caplog.text


def test_a_lost_line_raises_the_error_that_ended_the_run(caplog):
    with q583.Simulator({0: 1.25}) as sim, q583.Q583(sim) as dev:
        run = dev.scan(codes=[0x00], seconds=30, log_file=False)
        time.sleep(1)
        sim.stop()
        with caplog.at_level(logging.WARNING, logger="q583"), pytest.raises(q583.ScanError) as caught:
            run.read_all()
    assert caught.value is run.error and len(caught.value.scans) > 0
    assert "did not confirm the end" in caplog.text  # the stop that followed
    assert run.end_reason == "the line was lost" and str(caught.value).endswith(": the line was lost")


def test_simulator_arguments_and_failures(monkeypatch):
    sim = q583.Simulator({np.int64(0): np.float32(1.5), (np.uint8(1), 2): ("sine", np.float64(0), 1)})
    assert sim.args[1:] == ["--signal=0:0:constant:1.5", "--signal=1:2:sine:0.0:1.0"]
    with pytest.raises(q583.SimulatorError, match="did not start: .*no-such-option"):
        q583.Simulator(no_such_option=True).start()
    monkeypatch.setenv("PATH", "")
    with pytest.raises(q583.SimulatorNotFoundError, match="the q583-tools package"):
        q583.Simulator()


def _load_in_child(env_update, package_dir):
    env = {k: v for k, v in os.environ.items() if k not in ("Q583_SP_LIBRARY", "LD_LIBRARY_PATH")}
    env.update(env_update, PYTHONPATH=os.pathsep.join([str(package_dir), str(package_dir / "site")]))
    code = "import q583\ntry:\n    q583.library()\nexcept q583.LibraryNotFoundError as e:\n    print(e)\n"
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=package_dir, capture_output=True, text=True, check=True).stdout


def test_library_not_found_names_every_place(tmp_path):
    package = Path(q583.__file__).parent
    shutil.copytree(package, tmp_path / "q583", ignore=shutil.ignore_patterns("*.so*", "__pycache__"))
    text = _load_in_child({}, tmp_path)
    assert f"beside the package: {tmp_path / 'q583' / 'libQ583_SP.so'}" in text
    assert "system loader: libQ583_SP.so" in text
    assert "hides another" not in text
    # Started in the source tree's directory, with an installed copy.
    shutil.copytree(tmp_path / "q583", tmp_path / "site" / "q583")
    text = _load_in_child({}, tmp_path)
    assert f"This q583 is {tmp_path / 'q583'}" in text and f"hides another: {tmp_path / 'site' / 'q583'}." in text
    text = _load_in_child({"Q583_SP_LIBRARY": "/nowhere/libQ583_SP.so"}, tmp_path)
    assert "Q583_SP_LIBRARY: /nowhere/libQ583_SP.so" in text and "beside the package" not in text
