"""Scans: arrays against the scan log, the iterator, the run's end."""

import asyncio
import logging
import os
import subprocess
import sys
import time
import warnings
from datetime import datetime
from pathlib import Path

import numpy as np
import pytest

import q583
from q583.scan import RING_VALUES

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
    # Numbered from 0 without a gap: the log's times are the numbers' times.
    np.testing.assert_array_equal(run.numbers, np.arange(len(data)))
    np.testing.assert_allclose(run.numbers * run.interval, log.times, atol=0.051)  # the log has one decimal
    assert (np.diff(run.times) >= 0).all() and 0 <= run.times[0] < run.times[-1]
    summary = run.summary
    assert summary.scans_sent == summary.scans_stored == len(data) and summary.lost_total == 0
    assert run.end_reason == summary.end_reason == "its length was over" and not summary.running
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
    assert list(frame.columns) == ["time"] + list(logged.columns) and list(logged.columns) == log.labels
    assert frame.index.name == "scan" and list(frame.index) == list(run.numbers)
    assert list(run.to_dataframe(data[1:3], first=1).index) == [1, 2]
    with pytest.raises(ValueError, match="no scan of that number"):
        run.to_dataframe(data[:1], first=len(data))
    np.testing.assert_allclose((frame["time"] - run.started).dt.total_seconds(), run.times, atol=1e-6)
    np.testing.assert_allclose(frame[log.labels].to_numpy(), logged.to_numpy(), atol=1e-7)
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
    assert list(numbers) == [0, 1, 2, 3, 4] == list(run.numbers)
    np.testing.assert_array_equal(times, run.times)  # the receive times

    def fail(*block):
        raise KeyError("in the callback")

    with dev.scan(codes=[0x00], log_file=False) as run:
        run.on_block(fail)
        with pytest.raises(KeyError, match="in the callback"):
            run.read(timeout=30)
        assert not run.running


@pytest.fixture(scope="module")
def flooding(workdir):
    """An instrument that sends 96 channels with their offset and full scale
    as fast as the line takes them: the ring holds 88 of those scans."""
    with q583.Simulator(pacing=False, frame_interval=0.01) as sim, q583.Q583(sim) as device:
        device.scan_type = 2
        device.rate = 1000  # a short settling time before the stop
        yield device


def _rest(run, errors):
    """The scans of an ended run not yet read; the gap errors on the way."""
    while True:
        try:
            return run.read(10**6, timeout=30)
        except q583.ScanGapError as error:
            errors.append(error)


@pytest.mark.parametrize("on_gap", ["warn", "raise", "ignore"])
def test_a_host_that_falls_behind_learns_what_it_lost(flooding, caplog, on_gap):
    errors = []
    with warnings.catch_warnings(record=True) as warned, caplog.at_level(logging.WARNING, logger="q583"):
        warnings.simplefilter("always")
        with flooding.scan(codes=[0x0F] * 6, log_file=False, on_gap=on_gap) as run:
            head = run.read(5)
            while run.summary.scans_taken < 2 * (RING_VALUES // run.values_per_scan):  # the ring wrapped
                time.sleep(0.05)
        data = np.concatenate([head, _rest(run, errors)])
    numbers, gaps, summary = run.numbers, run.gaps, run.summary
    # Every missing number is in a gap, and every gap is the library's count.
    missing = np.setdiff1d(np.arange(numbers[-1] + 1), numbers)
    assert list(missing) == [n for gap in gaps for n in range(gap.first, gap.first + gap.count)] != []
    assert sum(gap.count for gap in gaps) == summary.lost["overrun"] == summary.lost_total == run.overruns
    assert summary.scans_sent == len(numbers) + len(missing) == len(data) + len(missing)
    assert {gap.cause for gap in gaps} == {1} and summary.end_reason == "ended by the host"
    lines = [str(gap) for gap in gaps]
    assert str(q583.ScanGap(7, 1, 3)) == "1 scan lost at 7: the line was lost"
    assert lines[0] == f"{gaps[0].count:,} scans lost at {gaps[0].first}-{missing[gaps[0].count - 1]}: " \
                       "the host fell behind"
    said = [str(w.message) for w in warned if w.category is q583.ScanGapWarning]
    logged = [r.getMessage() for r in caplog.records if "lost at" in r.getMessage()]
    assert said == logged == (lines if on_gap == "warn" else [])
    assert [gap for error in errors for gap in error.gaps] == (gaps if on_gap == "raise" else [])
    if errors:
        # The first carried the scans around the gap; the run handed them out next.
        first = errors[0]
        assert gaps[0].first + gaps[0].count in first.numbers
        np.testing.assert_array_equal(first.scans, data[np.searchsorted(numbers, first.numbers)])
    # A time for every scan its own, never one that assumes no gap.
    frame = run.to_dataframe(data)
    assert list(frame.index) == list(numbers)
    np.testing.assert_allclose((frame["time"] - run.started).dt.total_seconds(), run.times, atol=1e-6)


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


def test_log_dir_and_log_path(dev, workdir, tmp_path, monkeypatch):
    # The working directory is never changed, not even for a moment: another
    # thread's relative path must not land in log_dir.
    def refuse(path):
        raise AssertionError(f"the working directory was changed to {path}")
    monkeypatch.setattr(os, "chdir", refuse)
    with dev.scan(codes=[0x00], scans=2, log_dir=tmp_path) as run:
        counts = run.read_all(raw=True)
    log = q583.read_scan_log(run.log_path)
    assert run.log_path == tmp_path / "ScanLog_0.txt" and log.ended
    # The converter's counts, and the scale that makes them the logged volts.
    assert counts.dtype == np.int32
    np.testing.assert_allclose(counts * run.scale[0] + run.scale[1], log.values, atol=1e-7)
    assert Path.cwd() == workdir


def test_wire_trace_of_a_run(dev, tmp_path):
    trace = tmp_path / "run.trace"
    with dev.scan(codes=[0x00], scans=2, log_file=False, wire_trace=trace) as run:
        run.read_all()
    events = [line.split()[1:] for line in trace.read_text().splitlines() if not line.startswith("#")]
    sent = [byte for event in events if event[0] == ">" for byte in event[1:]]
    received = [byte for event in events if event[0] == "<" for byte in event[1:]]
    # The start (0x89) and the stop (0x8A) went out, frames (0xF0) came in,
    # and the trace ended with the run.
    assert "89" in sent and "8A" in sent[sent.index("89"):] and "F0" in received
    assert events[-1] == ["end"]


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
