"""Scans: arrays against the scan log, the iterator, the run's end."""

import asyncio
import subprocess
import sys
from datetime import datetime
from pathlib import Path

import numpy as np
import pytest

import q583

from conftest import SIGNALS

CODES = [0x00, 0x03, 0x00]  # 0-0, 1-0 ... 1-3, 2-0: six values


def test_timed_scan_matches_its_log_row_for_row(dev):
    before = datetime.now()
    with dev.scan(codes=CODES, seconds=2, comment="c1", description="python test") as run:
        data = run.read_all()
    assert run.values_per_scan == 6 and data.shape[1] == 6 and len(data) >= 3
    constants = [SIGNALS[0], SIGNALS[(1, 0)], SIGNALS[(1, 1)], SIGNALS[(1, 2)], SIGNALS[(1, 3)]]
    np.testing.assert_allclose(data[:, :5], np.tile(constants, (len(data), 1)), atol=2e-6)
    ramp = data[:, 5]
    assert ((ramp >= 0) & (ramp < 1)).all() and len(np.unique(ramp)) > 1

    log = q583.read_scan_log(run.log_path)
    assert log.labels == ["0 - 0", "1 - 0", "1 - 1", "1 - 2", "1 - 3", "2 - 0"]
    assert log.values.shape == data.shape
    np.testing.assert_allclose(data, log.values, atol=1e-7)  # the log has seven decimals
    np.testing.assert_allclose(run.times, log.times, atol=0.051)  # and the time one
    assert log.comments == ["c1"] * len(data)
    assert log.trailers and log.trailers[0].scans == len(data)
    assert log.trailers[-1].description == "python test"
    assert log.trailers[0].applied_interval == pytest.approx(run.interval, abs=1e-5)
    assert not run.running and run.overruns == 0

    # Both name their columns alike, and give them a time index.
    assert run.channels == log.channels == [(0, 0), (1, 0), (1, 1), (1, 2), (1, 3), (2, 0)]
    assert run.labels == log.labels
    assert before <= run.started <= datetime.now()
    frame, logged = run.to_dataframe(data), log.to_dataframe()
    assert list(frame.columns) == list(logged.columns) == log.labels
    assert frame.index.name == logged.index.name == "time" and frame.index[0] == run.started
    np.testing.assert_allclose(frame.to_numpy(), logged.to_numpy(), atol=1e-7)
    assert abs((logged.index[0] - log.started).total_seconds()) < 1e-9


def test_iterator_over_an_unlimited_run_ended_by_the_context(dev):
    taken = []
    with dev.scan(codes=[0x00], interval=0.2) as run:
        assert run.interval == pytest.approx(0.2, abs=1e-3)
        for block in run:
            assert block.ndim == 2 and block.shape[1] == 1
            taken.append(block)
            if sum(map(len, taken)) >= 4:
                break
        assert run.running
    assert not run.running
    data = np.concatenate(taken)
    log = q583.read_scan_log(run.log_path)
    assert log.ended and log.finished is not None  # trailer written at the end
    assert len(log.values) >= len(data)
    np.testing.assert_allclose(data, log.values[: len(data)], atol=1e-7)
    # Without a with block, nothing else could end an abandoned iteration's run.
    run = dev.scan(codes=[0x00], log_file=False)
    for _ in run:
        break
    assert not run.running


def test_read_n_with_a_timeout_and_a_callback(dev):
    with dev.scan(codes=[0x00], log_file=False) as run:
        assert run.read(3).shape == (3, 1)
        assert len(run.read(10**6, timeout=0.3)) < 10**6  # back at the timeout
    blocks = []
    with dev.scan(codes=[0x00], scans=5, log_file=False) as run:
        run.on_block(lambda *block: blocks.append(block))
        assert len(run.read_all()) == 0  # every scan went to the callback
    values, numbers, times = (np.concatenate(part) for part in zip(*blocks))
    np.testing.assert_allclose(values, SIGNALS[0], atol=2e-6)
    assert list(numbers) == [0, 1, 2, 3, 4] and np.allclose(times, numbers * run.interval)

    def fail(*block):
        raise KeyError("in the callback")

    with dev.scan(codes=[0x00], log_file=False) as run:
        run.on_block(fail)
        with pytest.raises(KeyError, match="in the callback"):
            run.read(timeout=30)
        assert not run.running


def test_asyncio_iteration_and_wait(dev):
    async def scan():
        taken = []
        with dev.scan(codes=[0x00], log_file=False) as run:
            async for block in run:
                taken.append(block)
                if sum(map(len, taken)) >= 3:
                    break
            with pytest.raises(asyncio.TimeoutError):
                await run.wait(timeout=0.2)
        with dev.scan(codes=[0x00], scans=3, log_file=False) as timed:
            return taken, await timed.wait(timeout=30)

    taken, rest = asyncio.run(scan())
    assert sum(map(len, taken)) >= 3 and rest.shape == (3, 1)
    np.testing.assert_allclose(np.concatenate([*taken, rest]), SIGNALS[0], atol=2e-6)


def test_scan_count_limit_and_no_log_file(dev, workdir):
    before = sorted(workdir.glob("ScanLog_*"))
    with dev.scan(codes=[0x00], scans=3, log_file=False) as run:
        data = run.read_all()
    assert data.shape == (3, 1) and run.log_path is None
    assert sorted(workdir.glob("ScanLog_*")) == before
    unlimited = dev.scan(codes=[0x00])
    with pytest.raises(ValueError, match="limited run"):
        unlimited.read_all()
    assert not unlimited.running  # not left running outside a with block
    assert q583.read_scan_log(unlimited.log_path).ended


def test_log_dir_and_log_path(dev, workdir, tmp_path):
    with dev.scan(codes=[0x00], scans=2, log_dir=tmp_path) as run:
        counts = run.read_all(raw=True)
    log = q583.read_scan_log(run.log_path)
    assert run.log_path == tmp_path / "ScanLog_0.txt" and log.ended
    # The converter's counts, and the scale that makes them the logged volts.
    assert counts.dtype == np.int32
    np.testing.assert_allclose(counts * run.scale[0] + run.scale[1], log.values, atol=1e-7)
    assert Path.cwd() == workdir


def test_pandas_is_optional(dev, monkeypatch):
    imported = subprocess.run([sys.executable, "-c", "import sys, q583; print('pandas' in sys.modules)"],
                              capture_output=True, text=True, check=True).stdout
    assert imported.strip() == "False"
    monkeypatch.setitem(sys.modules, "pandas", None)  # as if not installed
    with pytest.raises(ImportError, match="needs pandas"):
        q583.ScanLog(Path("x"), ["0 - 0"], np.zeros((1, 2))).to_dataframe()


def test_malformed_scan_log_names_the_line(tmp_path):
    path = tmp_path / "ScanLog_0.txt"
    path.write_text("Time / s   \t0 - 0    \t\n00000.0   \t 1.0000000\t\n00000.1   \tx\t\n")
    with pytest.raises(q583.ScanLogError, match=r"ScanLog_0.txt:3: not a number"):
        q583.read_scan_log(path)
    path.write_text("Time / s   \t0 - 0    \t\n00000.0   \t 1.0000000\t\n\nMinimal System Interval:\t0.1\n")
    with pytest.raises(q583.ScanLogError, match=r":5: expected the trailer line \"Applied Interval:\""):
        q583.read_scan_log(path)
