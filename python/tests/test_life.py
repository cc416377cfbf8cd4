"""Opening and closing: the port comes back, both context managers clean up
on an exception, the simulator goes with its script."""

import fcntl
import gc
import os
import signal
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import q583


def port_free(path):
    """True when another open of the device can take the library's lock."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        return True
    except OSError:
        return False
    finally:
        os.close(fd)


def test_reopen_three_times_in_one_process():
    with q583.Simulator({0: 1.25}) as sim:
        for _ in range(2):
            with q583.Q583(sim) as dev:
                assert not port_free(sim.port)
                assert dev.convert(0) == pytest.approx(1.25, abs=2e-6)
            assert port_free(sim.port)  # another program could have it now
        # Out of reach (a notebook cell run again): refused with the way
        # out, and closed once collected.
        dev = q583.Q583(sim).open()
        with pytest.raises(q583.Q583Error, match=rf"\({sim.port}\) is open.*q583.close_all\(\)"):
            q583.Q583(sim).open()
        q583.close_all()
        assert port_free(sim.port)
        dev.open()
        del dev
        gc.collect()
        assert port_free(sim.port)


def test_exceptions_in_with_blocks_end_the_run_and_free_the_port(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with q583.Simulator() as sim:
        with q583.Q583(sim) as dev:
            with pytest.raises(KeyError):
                with dev.scan(codes=[0x00]) as run:
                    raise KeyError
            assert not run.running  # ScanRun.__exit__
            assert q583.read_scan_log(run.log_path).ended
        with pytest.raises(KeyError):
            with q583.Q583(sim) as dev:
                run = dev.scan(codes=[0x00])
                raise KeyError
        assert not run.running  # Q583.__exit__
        assert q583.read_scan_log(run.log_path).ended
        assert port_free(sim.port)


def test_a_port_number_without_its_device_is_missing():
    with pytest.raises(q583.PortError, match="/dev/ttyS254 missing") as caught:
        q583.Q583(254).open()
    assert caught.value.reason == "missing"


def _alive(pid):
    try:
        state = Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()[0]
    except FileNotFoundError:
        return False
    return state not in ("Z", "X")


def test_simulator_dies_with_a_killed_script():
    script = "import os, signal, q583\nsim = q583.Simulator().start()\nprint(sim.pid, flush=True)\n" \
             "os.kill(os.getpid(), signal.SIGKILL)\n"
    child = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    pid = int(child.stdout)
    deadline = time.monotonic() + 5
    while _alive(pid) and time.monotonic() < deadline:
        time.sleep(0.05)
    if _alive(pid):
        os.kill(pid, signal.SIGTERM)
        pytest.fail(f"q583-sim (pid {pid}) outlived its script")


def test_an_interrupt_to_the_process_group_spares_the_simulator():
    # A notebook interrupts its kernel's whole process group.
    script = ("import time, q583\nsim = q583.Simulator().start()\ntry:\n    print(sim.port, flush=True)\n"
              "    time.sleep(30)\nexcept KeyboardInterrupt:\n    print(q583.probe_port(sim.port))\n")
    child = subprocess.Popen([sys.executable, "-c", script], stdout=subprocess.PIPE, text=True,
                             start_new_session=True)
    child.stdout.readline()
    os.killpg(child.pid, signal.SIGINT)
    assert child.communicate(timeout=10)[0].strip() == "instrument"


def test_two_instruments_at_once_and_a_killed_worker_harms_only_its_own(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    with q583.Simulator({0: 1.25}) as a, q583.Simulator({0: -0.5}) as b, \
            q583.Q583(a) as first, q583.Q583(b) as second:
        assert first.worker_pid is None and second.worker_pid is not None
        with first.scan(codes=[0x00], seconds=6) as run:
            with second.scan(codes=[0x00], seconds=1) as other:
                theirs = other.read_all()  # while the first scans
            # The worker's retrieval numbers and times them, and keeps the account.
            assert list(other.numbers) == list(range(len(theirs))) and len(other.times) == len(theirs)
            assert other.summary.scans_handed_out == len(theirs) and other.end_reason == "its length was over"
            doomed = second.scan(codes=[0x00])
            os.kill(second.worker_pid, signal.SIGKILL)
            ours = run.read_all()
        with pytest.raises(q583.NoAnswerError, match="worker process .* has ended"):
            doomed.read()
        with pytest.raises(q583.NoAnswerError, match="worker process .* has ended"):
            second.close()  # the stop of its run cannot be confirmed
    for scans, log_path, volts in ((ours, run.log_path, 1.25), (theirs, other.log_path, -0.5)):
        np.testing.assert_allclose(scans, q583.read_scan_log(log_path).values, atol=1e-7)  # whole
        np.testing.assert_allclose(scans, volts, atol=2e-6)  # and its own


def test_close_from_another_thread_ends_an_iterating_scan(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    got, errors = [], []

    def iterate(run):
        try:
            for block in run:
                got.append(block)
        except Exception as error:  # noqa: BLE001 - the test reports it
            errors.append(error)

    with q583.Simulator({0: 1.25}) as sim, q583.Q583(sim) as dev:
        run = dev.scan(codes=[0x00])
        thread = threading.Thread(target=iterate, args=(run,))
        thread.start()
        time.sleep(1.0)
        dev.close()
        thread.join(10)
    assert not thread.is_alive() and errors == []
    # Every scan of the run reached the iterator, the last ones after the close.
    assert sum(map(len, got)) == len(q583.read_scan_log(run.log_path).values) > 0
