"""A background scan run: its scans as numpy arrays."""

from __future__ import annotations

import asyncio
import ctypes
import logging
import os
import re
import sys
import threading
import time
import warnings
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import (TYPE_CHECKING, Any, AsyncIterator, Callable, Dict, Iterator, List, Optional, Sequence, Set,
                    Tuple)

import numpy as np

from . import _check
from ._columns import Channel, label_of, numbered_dataframe
from ._lib import (END_AT_ONCE, END_FRAME_ERROR, END_HOST, END_LINE_LOST, END_MEMORY_FULL, END_QUEUE_OVERFLOW,
                   END_TIMED, END_UNLOAD, GAP_NOT_STORED, GAP_OVERRUN, GapStruct, RunSummaryStruct)
from .errors import NoAnswerError, Q583Error, ScanError, ScanGap, ScanGapError, ScanGapWarning

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .device import Q583

__all__ = ["ScanRun", "RunSummary", "RING_VALUES"]

log = logging.getLogger("q583")

#: Values the library's memory ring holds.
RING_VALUES = 8640
# Marks the running output as untouched: the library writes nothing when
# the instrument is not signed on.
_UNWRITTEN = 2
# A 24-bit count in millivolts, as the library converts it.
_MILLIVOLTS_PER_COUNT = 0.0002980232
# The library names its scan log in the process's current directory; a run
# with its own log directory switches there for the moment of the start.


def _log_names(directory: Path) -> Set[str]:
    return {entry.name for entry in os.scandir(directory) if entry.name.startswith("ScanLog_")}


def _log_number(name: str) -> int:
    match = re.match(r"ScanLog_(\d+)", name)
    return int(match.group(1)) if match else -1


def _caller_level() -> int:
    """The stack level, for warnings.warn called by the caller of this,
    of the first frame outside the package: the host's read, loop or
    read_all."""
    here = os.path.dirname(os.path.abspath(__file__))
    frame = sys._getframe(1)
    level = 1
    while frame.f_back is not None and os.path.dirname(os.path.abspath(frame.f_code.co_filename)) == here:
        frame = frame.f_back
        level += 1
    return level


_END_REASONS = {
    END_HOST: "ended by the host",
    END_TIMED: "its length was over",
    END_MEMORY_FULL: "the memory ring was full",
    END_FRAME_ERROR: "a frame fault",
    END_LINE_LOST: "the line was lost",
    END_QUEUE_OVERFLOW: "the receive queue overflowed",
    END_UNLOAD: "the library was unloaded",
}


@dataclass
class RunSummary:
    """The library's account of a run (``run.summary``).

    Attributes:
        scans_sent: scans the instrument sent, numbered from 0: those taken
            from the line and those known lost after the last.
        scans_taken: frames taken from the line.
        scans_stored: scans stored in the library's memory ring.
        scans_handed_out: scans the library handed to the package.
        lost: scans lost, by cause: ``"overrun"`` (the host fell a ring
            behind), ``"frame fault"``, ``"line lost"``, ``"queue
            overflow"``, ``"run ended"`` (frames on their way when a call
            ended the run at once).
        not_stored: scans taken while memory logging was off (not lost).
        end_code: how the run ended, the library's ``Q583_END_*`` (0 while
            it runs).
        end_reason: the same in words (``"ended by the host"``, ``"its
            length was over"``, ``"a frame fault: <the library's error
            text>"``, ``"ended at once by EX_SetRate"``), ``None`` while it
            runs.
        end_call: the call that ended the run at once, or ``""``.
        started, ended: local times of the start and the end (``None``
            while it runs).
        longest_delay: seconds from a frame taken from the line to its scan
            stored, at most.
        running: the run goes on.
        log_limit_reached: the scan log was closed at its size limit (the
            run went on).
        gap_count: gaps the library recorded.
    """

    scans_sent: int
    scans_taken: int
    scans_stored: int
    scans_handed_out: int
    lost: Dict[str, int]
    not_stored: int
    end_code: int
    end_reason: Optional[str]
    end_call: str
    started: Optional[datetime]
    ended: Optional[datetime]
    longest_delay: float
    running: bool
    log_limit_reached: bool
    gap_count: int = field(default=0)

    @property
    def lost_total(self) -> int:
        """Scans lost, whatever the cause."""
        return sum(self.lost.values())

    @classmethod
    def _of(cls, struct: RunSummaryStruct, error_text: str) -> "RunSummary":
        code = int(struct.endReason)
        call = struct.endCall.decode("latin-1")
        if code == 0:
            reason: Optional[str] = None
        elif code == END_AT_ONCE:
            reason = f"ended at once by {call or 'a call'}"
        elif code == END_FRAME_ERROR and error_text:
            reason = f"a frame fault: {error_text}"
        else:
            reason = _END_REASONS.get(code, f"an end the library does not name ({code})")
        return cls(
            scans_sent=int(struct.scansSent), scans_taken=int(struct.scansTaken),
            scans_stored=int(struct.scansStored), scans_handed_out=int(struct.scansHandedOut),
            lost={"overrun": int(struct.lostOverrun), "frame fault": int(struct.lostFrameFault),
                  "line lost": int(struct.lostLineLost), "queue overflow": int(struct.lostQueueOverflow),
                  "run ended": int(struct.lostRunEnded)},
            not_stored=int(struct.notStored), end_code=code, end_reason=reason, end_call=call,
            started=datetime.fromtimestamp(struct.startTime) if struct.startTime > 0 else None,
            ended=datetime.fromtimestamp(struct.endTime) if struct.endTime > 0 else None,
            longest_delay=float(struct.longestDelay), running=bool(struct.running),
            log_limit_reached=bool(struct.logLimitReached), gap_count=int(struct.gapCount))


class _Column:
    """A column that grows at its end: the numbers or times handed out."""

    def __init__(self, dtype: Any) -> None:
        self._data: NDArray[Any] = np.empty(256, dtype=dtype)
        self._size = 0

    def __len__(self) -> int:
        return self._size

    def extend(self, values: NDArray[Any]) -> None:
        end = self._size + len(values)
        if end > len(self._data):
            grown = np.empty(max(end, 2 * len(self._data)), dtype=self._data.dtype)
            grown[: self._size] = self._data[: self._size]
            self._data = grown
        self._data[self._size:end] = values
        self._size = end

    def view(self) -> NDArray[Any]:
        """What it holds, read-only."""
        view = self._data[: self._size]
        view.flags.writeable = False
        return view


class ScanRun:
    """A scan started by :meth:`Q583.scan`.

    Iterating over it yields arrays of shape (scans, values) as the scans
    arrive, until the run is over; :meth:`read` takes what is waiting now (or
    waits for a number of scans) and :meth:`read_all` waits for a limited
    run's end.  :meth:`on_block` hands each block to a callback instead;
    asyncio code uses ``async for`` and :meth:`wait`.  As a context manager it
    ends the run on the way out, also on an exception or Ctrl-C, with the
    scan log's trailer written.

    No exception costs scans already fetched from the library: every
    :class:`Q583Error` raised out of a run carries them as its ``scans``
    (with their ``numbers`` and ``times``), and the run keeps them in
    :attr:`pending` until :meth:`read` (or :meth:`read_all`) hands them
    out.

    Every scan has its number in the run (from 0, in the order the
    instrument sent them, counting lost ones) and the receive time of its
    frame: :attr:`numbers` and :attr:`times` hold them for every scan handed
    out.  Scans lost (the host fell more than a ring behind, a frame fault
    or a lost line ended the run) leave a gap in the numbers, never a
    shifted time; each gap warns, raises or passes as ``scan(...,
    on_gap=)`` chose, and :attr:`gaps` keeps them all.

    Attributes:
        channels: what each column holds: ``(main, sub)``, then
            ``"offset"`` and ``"fullscale"`` for scan type 2.
        labels: the columns as the scan log heads them (``"0 - 0"``).
        values_per_scan: values in each scan (columns of the arrays).
        interval: the applied scan interval, seconds.
        seconds: the run's length limit, or ``None``.
        scans: the run's scan-count limit, or ``None``.
        started: local time at which the instrument was told to scan.
        scale: ``(volts per count, volts at count 0)`` of the run's
            settings: the volts of the converter's counts that
            ``read(raw=True)`` gives.
        log_path: the scan log file, or ``None`` without one.
        error: the :class:`ScanError` that ended the run, or ``None``.
        gaps: the :class:`ScanGap` s found so far: scans lost, where and
            why.
    """

    def __init__(self, device: "Q583", channels: Sequence[Channel], interval: float,
                 seconds: Optional[float], scans: Optional[int], log_file: bool,
                 log_dir: Optional[str] = None, on_gap: str = "warn", wire_trace: bool = False) -> None:
        self._dev = device
        self._lib = device._lib
        self._remote = hasattr(self._lib, "get_numbered")  # the library of a worker process
        self._lock = device._lock
        self.channels: List[Channel] = list(channels)
        self.labels = [label_of(c) for c in self.channels]
        self.values_per_scan = values_per_scan = len(self.channels)
        self.interval = interval
        self.seconds = seconds
        self.scans = scans
        self.started: Optional[datetime] = None
        self.log_path: Optional[Path] = None
        self.error: Optional[ScanError] = None
        self.gaps: List[ScanGap] = []
        self._on_gap = on_gap
        self._unreported: List[ScanGap] = []
        self._expected = 0        # the number the next scan fetched should have
        self._account: Optional[RunSummary] = None  # the library's, as last read
        self._log_file = log_file
        self._log_dir = Path(log_dir) if log_dir is not None else None
        self._wire_trace = wire_trace  # the library writes this run's wire trace
        # The library's ring holds this many whole scans; no call asks for more.
        self._capacity = max(1, RING_VALUES // values_per_scan)
        # A call for 0 scans writes nothing.
        self._probe = (np.empty(values_per_scan, dtype=np.int32), np.empty(1, dtype=np.uint64),
                       np.empty(1, dtype=np.float64))
        self._returned = ctypes.c_int32()
        self._unread = ctypes.c_int32()
        self._running = ctypes.c_uint8()
        self._refs = (ctypes.byref(self._returned), ctypes.byref(self._unread), ctypes.byref(self._running))
        # Fetched, not yet handed out: counts, numbers, receive times.
        self._pending: List[Tuple[NDArray[np.int32], NDArray[np.int64], NDArray[np.float64]]] = []
        self._numbers_out = _Column(np.int64)  # of every scan handed out
        self._times_out = _Column(np.float64)
        self._fetched = 0         # scans fetched from the library
        self._delivered = 0       # scans handed out
        self._ended = False       # the library says the run is over
        self._stopped = False     # EX_EndScan has been called
        self._error_raised = False
        # The library converts as the device record says: 24-bit counts
        # (16-bit ones times 256), doubled and shifted for bipolar input.
        self._bipolar = device.polarity == "bipolar"
        self._short_words = device._report_number(device.setup_report(), "wordCnt") == 2
        per_count = _MILLIVOLTS_PER_COUNT * (256 if self._short_words else 1) * (2 if self._bipolar else 1) * 0.001
        self.scale = (per_count, -5.0 if self._bipolar else 0.0)
        self._entered = False     # used as a context manager
        self._reader: Optional[threading.Thread] = None  # the thread of on_block
        self._callback_error: Optional[BaseException] = None
        self._wake = threading.Event()
        self._poll = min(max(interval / 2, 0.01), 0.1)
        self._started = 0.0

    # ---- start and end -----------------------------------------------------

    def _start(self) -> None:
        directory = (self._log_dir or Path.cwd()).resolve()
        before = _log_names(directory) if self._log_file else set()
        self._dev._take_boxes()
        self._started = time.monotonic()
        # The library numbers and writes the scan log in the directory given:
        # the process's working directory is never changed, so no other
        # thread's relative path can land in log_dir.
        self._lib.EX_SetScanLogDirectory(str(directory).encode())
        started = self._lib.EX_StartScan()
        if not started:
            self._stopped = self._ended = True
            self._end_wire_trace()
            if any("LOG FILE" in box for box in self._dev._take_boxes()):
                raise ScanError(f"cannot create a scan log file in {directory} (choose another log_dir, "
                                "or log_file=False)")
            raise ScanError(f"scan start failed: the instrument on {self._dev.port} did not confirm the start")
        # The library's clock of the start, from which the receive times count.
        self._keep_account()
        self.started = self._account.started if self._account and self._account.started else datetime.now()
        if self._log_file:
            new = sorted(_log_names(directory) - before, key=_log_number)
            self.log_path = directory / new[-1] if new else None

    @property
    def running(self) -> bool:
        """True until the run has ended (by itself, :meth:`stop` or an error)."""
        return not (self._ended or self._stopped)

    @property
    def overruns(self) -> int:
        """Scans dropped because they were not read before the ring wrapped."""
        return self._dev.overruns

    @property
    def numbers(self) -> NDArray[np.int64]:
        """The number in the run (from 0, lost scans counted) of every scan
        handed out so far, in order; read-only."""
        with self._lock:
            return self._numbers_out.view()

    @property
    def times(self) -> NDArray[np.float64]:
        """The receive time of every scan handed out so far (its frame's,
        seconds since the run's start on a monotonic clock); read-only."""
        with self._lock:
            return self._times_out.view()

    @property
    def summary(self) -> Optional[RunSummary]:
        """The library's account of the run (:class:`RunSummary`): scans
        sent, stored, handed out and lost by cause, how it ended.  Read
        afresh while the library keeps it (until the device's next run
        starts or it is closed), the last one read after that."""
        with self._lock:
            self._keep_account()
            return self._account

    @property
    def end_reason(self) -> Optional[str]:
        """How the run ended, in words (``"ended by the host"``, ``"its
        length was over"``, ``"a frame fault: ..."``, ``"ended at once by
        EX_SetRate"``); ``None`` while it runs."""
        summary = self.summary
        return summary.end_reason if summary is not None else None

    def _keep_account(self) -> None:
        """Reads the library's account of the run, while it has it."""
        dev = self._dev
        if dev._closed or dev._run is not self:
            return
        struct = RunSummaryStruct()
        struct.size = ctypes.sizeof(struct)
        try:
            if not self._lib.EX_GetRunSummary(ctypes.byref(struct)):
                return
            text = dev._error_type()[1] if struct.endReason == END_FRAME_ERROR else ""
        except Q583Error:
            return  # a worker process that has ended: what was read stays
        self._account = RunSummary._of(struct, text)

    def _volts(self, counts: NDArray[np.int32]) -> NDArray[np.float64]:
        # The library's own steps, so that the volts are the ones it gives.
        # Its factors 256 and 2 are powers of two: taken into the first
        # product they change no rounding, and save passes over the array.
        factor = _MILLIVOLTS_PER_COUNT * (256 if self._short_words else 1) * (2 if self._bipolar else 1)
        volts: NDArray[np.float64] = counts * factor  # millivolts, until the last step
        if self._bipolar:
            volts -= 5000.0
        volts *= 0.001
        return volts

    def _pending_block(self) -> Tuple[NDArray[np.int32], NDArray[np.int64], NDArray[np.float64]]:
        pending = self._pending
        if not pending:
            return (np.empty((0, self.values_per_scan), dtype=np.int32), np.empty(0, dtype=np.int64),
                    np.empty(0, dtype=np.float64))
        if len(pending) > 1:
            pending[:] = [(np.concatenate([b[0] for b in pending]), np.concatenate([b[1] for b in pending]),
                           np.concatenate([b[2] for b in pending]))]
        return pending[0]

    @property
    def pending(self) -> NDArray[np.float64]:
        """Scans fetched from the library but not yet handed out, shape
        (scans, values): what an error raised out of the run carried."""
        return self._volts(self._pending_block()[0])

    def _carry(self, error: Q583Error) -> Q583Error:
        counts, error.numbers, error.times = self._pending_block()
        error.scans = self._volts(counts)
        return error

    def stop(self) -> None:
        """Ends the run (``EX_EndScan``): the scan log gets its trailer and is
        closed, the instrument stops scanning.  Scans not yet read can still
        be read afterwards.  Takes about 2 s; a second call does nothing.

        Raises:
            NoAnswerError: the instrument did not confirm the stop; its
                ``scans`` are the scans not yet handed out.
        """
        with self._lock:
            if self._stopped:
                return
            self._stopped = True
            self._wake.set()
            try:
                ended = self._lib.EX_EndScan()
            finally:
                self._end_wire_trace()
            if not ended:
                self._dev._signed_on = False
                raise self._carry(NoAnswerError(
                    f"the instrument on {self._dev.port} did not confirm the end of the scan "
                    "(the scan log was closed with its trailer)"))

    def _end_wire_trace(self) -> None:
        if self._wire_trace:
            self._wire_trace = False
            self._lib.EX_SetWireTrace(None)

    def _end_quietly(self) -> None:
        try:
            self.stop()
        except Q583Error as error:
            log.warning("%s", error)

    def __enter__(self) -> "ScanRun":
        self._entered = True
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None:
            self.stop()
        else:
            self._end_quietly()

    # ---- retrieval ------------------------------------------------------------

    def _fetch(self, scans: int, counts: NDArray[np.int32], numbers: NDArray[np.uint64],
               times: NDArray[np.float64]) -> bool:
        self._running.value = _UNWRITTEN
        self._unread.value = 0
        if self._remote:
            ok = self._lib.get_numbered(counts, numbers, times, scans, self._refs)
        else:
            ok = self._lib.EX_GetNumberedScanData(None, counts.ctypes.data, numbers.ctypes.data, times.ctypes.data,
                                                  scans, *self._refs)
        if not ok and self._running.value == _UNWRITTEN:
            if self._stopped:
                return False  # closed after its end: nothing more will come
            self._dev._signed_on = False
            raise ScanError("the scans cannot be fetched: the instrument is no longer signed on")
        return bool(ok)

    def _ended_by_itself(self) -> None:
        """The library has handed out the run's last scan."""
        self._ended = True
        self._keep_account()
        if self.scans is not None and self._fetched >= self.scans:
            return  # what came after the scans asked for is no loss
        lost = self._find_end_gaps()
        if self._stopped:
            return
        account = self._account
        if account is not None and account.end_code in (END_HOST, END_TIMED, END_MEMORY_FULL):
            return
        if account is None and self.seconds is not None and time.monotonic() - self._started >= self.seconds - 0.05:
            return
        code, text = self._dev._error_type()
        if account is not None and account.end_reason and not (code and account.end_code == END_FRAME_ERROR):
            text = account.end_reason  # the library's own word, with its error text for a frame fault
        elif not code:
            text = "no frame error recorded: the line failed or the host fell too far behind"
        self.error = ScanError(f"the scan on {self._dev.port} ended after {self._fetched} scans: {text}", code)
        self.error.gaps = lost

    def _find_end_gaps(self) -> List[ScanGap]:
        """The gaps after the last scan handed out, from the library's list:
        those a frame fault, a lost line or an overflow left."""
        count = ctypes.c_uint32()
        found = (GapStruct * 64)()
        if (self._dev._closed or self._dev._run is not self
                or not self._lib.EX_GetRunGaps(found, len(found), ctypes.byref(count))):
            return []
        lost = []
        for gap in found[: min(count.value, len(found))]:
            # Scans taken with memory logging off went to the log only: not lost.
            if gap.cause != GAP_NOT_STORED and gap.first >= self._expected:
                lost.append(ScanGap(int(gap.first), int(gap.count), int(gap.cause)))
                self._found(lost[-1])
                self._expected = int(gap.first + gap.count)
        return lost

    def _found(self, gap: ScanGap) -> None:
        self.gaps.append(gap)
        self._unreported.append(gap)

    def _check_numbers(self, numbers: NDArray[np.int64]) -> None:
        """Notes the scans missing before each of numbers: the ring wrapped
        before the host read them."""
        if not len(numbers):
            return
        before = np.empty_like(numbers)
        before[0] = self._expected
        before[1:] = numbers[:-1] + 1
        for at in np.flatnonzero(numbers > before):
            self._found(ScanGap(int(before[at]), int(numbers[at] - before[at]), GAP_OVERRUN))
        self._expected = int(numbers[-1]) + 1

    def _report_gaps(self) -> None:
        """Says the gaps found since the last time, as the run's on_gap chose."""
        gaps, self._unreported = self._unreported, []
        if not gaps or self._on_gap == "ignore":
            return
        if self._on_gap == "warn":
            for gap in gaps:
                log.warning("%s", gap)
                warnings.warn(str(gap), ScanGapWarning, stacklevel=_caller_level())
        elif self.error is not None:
            # The error that ended the run is raised in any case: it carries them.
            self.error.gaps += [gap for gap in gaps if gap not in self.error.gaps]
        else:
            raise self._carry(ScanGapError("; ".join(map(str, gaps)), gaps))

    def _take(self) -> None:
        """Moves the scans waiting in the library to :attr:`pending`.

        Raises:
            ScanGapError: scans were lost, and the run raises for that.
        """
        try:
            per = self.values_per_scan
            while not self._ended:
                if not self._fetch(0, *self._probe):
                    self._ended_by_itself()
                    break
                waiting = self._unread.value
                if waiting <= 0:
                    break
                size = min(waiting, self._capacity)
                block = np.empty((size, per), dtype=np.int32)
                numbers = np.empty(size, dtype=np.uint64)
                times = np.empty(size, dtype=np.float64)
                if not self._fetch(size, block, numbers, times):
                    self._ended_by_itself()
                    break
                size = self._returned.value
                if self.scans is not None and self._fetched + size >= self.scans:
                    size = self.scans - self._fetched
                    self._ended = True
                taken = (block[:size], numbers[:size].astype(np.int64), times[:size])
                self._check_numbers(taken[1])
                self._pending.append(taken)
                self._fetched += size
                if self._unread.value <= 0:
                    break
            if self.scans is not None and self._fetched >= self.scans:
                self.stop()
        except Q583Error as error:
            raise self._carry(error)
        self._report_gaps()

    def _for_the_callback(self) -> bool:
        """Whether every scan goes to the callback, and none to this thread."""
        reader = self._reader
        return reader is not None and reader.is_alive() and threading.current_thread() is not reader

    def _hand_out(self, limit: Optional[int] = None, raw: bool = False
                  ) -> Tuple[NDArray[Any], NDArray[np.int64], NDArray[np.float64]]:
        """The scans handed out now (at most limit), with their numbers and
        receive times, which the run keeps."""
        if not self._pending or self._for_the_callback():
            return (np.empty((0, self.values_per_scan), dtype=np.int32 if raw else np.float64),
                    np.empty(0, dtype=np.int64), np.empty(0, dtype=np.float64))
        counts, numbers, times = self._pending_block()
        if limit is not None and len(counts) > limit:
            self._pending = [(counts[limit:], numbers[limit:], times[limit:])]
            counts, numbers, times = counts[:limit], numbers[:limit], times[:limit]
        else:
            self._pending = []
        self._numbers_out.extend(numbers)
        self._times_out.extend(times)
        self._delivered += len(counts)
        if raw:
            return counts, numbers, times
        return self._volts(counts), numbers, times

    def _raise_callback_error(self) -> None:
        error, self._callback_error = self._callback_error, None
        if error is not None:
            raise error

    def read(self, n: Optional[int] = None, timeout: Optional[float] = None, raw: bool = False) -> NDArray[Any]:
        """Scans of the run, an array of shape (scans, values): volts, or with
        ``raw`` the converter's counts (int32; volts = counts ×
        ``scale[0]`` + ``scale[1]``, see :attr:`scale`).

        Their numbers and receive times join :attr:`numbers` and
        :attr:`times`.  Without arguments, the scans waiting now ((0,
        values) when none wait).  With ``n``, waits until ``n`` scans have arrived and returns
        them (the rest wait for the next read), or fewer when the run ends
        or ``timeout`` seconds pass first.  With only ``timeout``, waits at
        most that long for the first scans.  Scans waited for are not lost
        to an interrupt: they stay in :attr:`pending`.

        Raises:
            ScanError: the run ended by an error (raised once the scans taken
                before it have been handed out).
            ScanGapError: scans were lost, with ``on_gap="raise"``; the run
                goes on, the next read hands out what the error carried.
            Exception: what a callback of :meth:`on_block` raised.
        """
        n = None if n is None else _check.integer("n", n)
        timeout = None if timeout is None else _check.real("timeout", timeout)
        raw = _check.flag("raw", raw)
        if n is not None and n < 1:
            raise ValueError(f"n {n!r} refused; allowed: 1 or more scans")
        if timeout is not None and not timeout >= 0:
            raise ValueError(f"timeout {timeout!r} refused; allowed: 0 or more seconds")
        deadline = None if timeout is None else time.monotonic() + timeout
        wanted = 1 if n is None else n
        while True:
            with self._lock:
                self._raise_callback_error()
                self._take()
                left = None if deadline is None else deadline - time.monotonic()
                if (n is None and deadline is None or self._ended or left is not None and left <= 0
                        or not self._for_the_callback() and sum(len(block[0]) for block in self._pending) >= wanted):
                    data = self._hand_out(n, raw)[0]
                    if self.error is not None and len(data) == 0 and not self._error_raised:
                        self._error_raised = True
                        raise self._carry(self.error)
                    return data
            self._wake.wait(self._poll if left is None else min(self._poll, left))

    def on_block(self, fn: Callable[[NDArray[np.float64], NDArray[np.int64], NDArray[np.float64]], Any]
                 ) -> Callable[..., Any]:
        """Calls ``fn(values, numbers, times)`` from a reader thread for each
        block of scans as it arrives, until the run has ended and its last
        scans are handed over: ``values`` as :meth:`read` returns them,
        ``numbers`` each scan's number in the run (from 0; a gap where scans
        were lost), ``times`` the receive time of each (seconds since the
        run's start).  Every scan then goes to ``fn``, and :meth:`read`
        returns none; :meth:`read_all` waits for the end.  An exception in
        ``fn`` ends the run (as :meth:`stop`) and is raised by the next
        :meth:`read`, :meth:`read_all` or :meth:`wait` of the host; so
        does a :class:`ScanGapError` with ``on_gap="raise"``.  Returns
        ``fn``, so it can decorate it.

        Raises:
            TypeError: fn cannot be called.
            Q583Error: the run has a callback already.
        """
        if not callable(fn):
            raise TypeError(f"fn must be callable, not {type(fn).__name__}")
        with self._lock:
            if self._reader is not None:
                raise Q583Error("the run has a callback already (on_block takes one)")
            self._reader = threading.Thread(target=self._feed, args=(fn,), name="q583 on_block", daemon=True)
            self._reader.start()
        return fn

    def _feed(self, fn: Callable[..., Any]) -> None:
        try:
            while True:
                with self._lock:
                    self._take()
                    data, numbers, times = self._hand_out()
                if len(data):
                    fn(data, numbers, times)
                elif self._ended:
                    return
                else:
                    self._wake.wait(self._poll)
        except ScanGapError as error:
            with self._lock:  # for the host, which chose to have it raised
                self._callback_error = error
                self._end_quietly()
        except Q583Error:
            return  # the run's own errors reach the host by its calls, as without a callback
        except BaseException as error:  # pylint: disable=broad-except
            with self._lock:  # the host sees the error only with the run ended
                self._callback_error = error
                self._end_quietly()

    def _join_reader(self) -> None:
        reader = self._reader
        if reader is not None and reader is not threading.current_thread():
            reader.join()

    def _blocks(self) -> Iterator[NDArray[np.float64]]:
        while True:
            data = self.read()
            if len(data):
                yield data
            elif self._ended:
                return
            else:
                self._wake.wait(self._poll)

    def __iter__(self) -> Iterator[NDArray[np.float64]]:
        """Yields the scans as they arrive; ends the run (:meth:`stop`) when
        the last was handed out.  Blocks between polls without spinning.
        An iteration abandoned (``break``) outside a ``with`` block ends the
        run; inside one the run goes on until the block ends."""
        try:
            yield from self._blocks()
        except GeneratorExit:
            # Abandoned (a break, or the iterator dropped).  In a with block
            # the run goes on until the block ends it; outside one nothing
            # else could, so it ends here.
            if not self._entered:
                self._end_quietly()
            raise
        except BaseException:
            self._end_quietly()
            raise
        self.stop()

    def read_all(self, raw: bool = False) -> NDArray[Any]:
        """Waits for the end of a limited run (``seconds`` or ``scans``) and
        returns every scan not yet read, shape (scans, values): volts, or
        the converter's counts with ``raw`` (as :meth:`read`).

        Raises:
            ValueError: the run is unlimited; it is ended first (its scans
                stay in :attr:`pending`), so nothing is left running.
            ScanError: the run ended by an error; its ``scans`` holds what
                was taken before.
            NoAnswerError: the instrument did not confirm the end of a run
                that ended without an error; its ``scans`` holds every scan
                of the run not yet read.
            ScanGapError: scans were lost, with ``on_gap="raise"`` (at
                once, the run going on); its ``scans`` holds those read.
        """
        raw = _check.flag("raw", raw)
        if self.seconds is None and self.scans is None:
            with self._lock:
                try:
                    if self.running:
                        self._take()
                finally:
                    self._end_quietly()
            raise ValueError("read_all() needs a limited run (seconds= or scans=); the run was ended. "
                             "For an unlimited run iterate, or read() and stop()")
        try:
            while not self._take_until_end():
                self._wake.wait(self._poll)
            self._end()
        except Q583Error:
            raise  # carries the scans
        except BaseException:
            self._end_quietly()
            raise
        return self._rest(raw)

    def _take_until_end(self) -> bool:
        """Takes what waits; whether the run is over."""
        with self._lock:
            self._raise_callback_error()
            self._take()
            return self._ended

    def _end(self) -> None:
        if self.error is None:
            self.stop()
        else:
            # The error that ended the run is the one raised; a stop that
            # cannot be confirmed after it (the line is gone) is only logged.
            self._end_quietly()

    def _rest(self, raw: bool = False) -> NDArray[Any]:
        """After the end: the scans not yet read, or the error that ended it."""
        self._join_reader()
        with self._lock:
            self._raise_callback_error()
            if self.error is not None and not self._error_raised:
                self._error_raised = True
                raise self._carry(self.error)
            return self._hand_out(raw=raw)[0]

    # ---- asyncio ------------------------------------------------------------------

    async def wait(self, timeout: Optional[float] = None) -> NDArray[np.float64]:
        """:meth:`read_all` for asyncio code: waits for the end of the run
        without blocking the event loop (a notebook's too) and returns every
        scan not yet read.  The run may be unlimited and ended by
        :meth:`stop` elsewhere.

        Raises:
            asyncio.TimeoutError: the run did not end within ``timeout``
                seconds; it goes on, its scans wait.
            ScanError, NoAnswerError: as :meth:`read_all`.
        """
        timeout = None if timeout is None else _check.real("timeout", timeout)
        loop = asyncio.get_running_loop()
        deadline = None if timeout is None else loop.time() + timeout
        try:
            while not self._take_until_end():
                if deadline is not None and loop.time() >= deadline:
                    raise asyncio.TimeoutError(f"the run did not end within {timeout} s; it goes on")
                await asyncio.sleep(self._poll)
            await loop.run_in_executor(None, self._end)  # a stop takes about 2 s
        except (Q583Error, asyncio.TimeoutError):
            raise
        except BaseException:  # cancelled, interrupted
            self._end_quietly()
            raise
        await loop.run_in_executor(None, self._join_reader)
        return self._rest()

    async def __aiter__(self) -> AsyncIterator[NDArray[np.float64]]:
        """``async for block in run``: the blocks as iteration yields them,
        waiting without blocking the event loop; ends the run when the last
        was handed out."""
        loop = asyncio.get_running_loop()
        try:
            while True:
                data = self.read()
                if len(data):
                    yield data
                elif self._ended:
                    break
                else:
                    await asyncio.sleep(self._poll)
        except GeneratorExit:
            if not self._entered:
                self._end_quietly()
            raise
        except BaseException:
            self._end_quietly()
            raise
        await loop.run_in_executor(None, self.stop)

    def to_dataframe(self, data: NDArray[np.float64], first: Optional[int] = None) -> Any:
        """The scans of data as a pandas DataFrame indexed by scan number
        (``scan``; lost scans leave gaps), with a ``time`` column of local
        receive times (``started`` plus each scan's :attr:`times`) and the
        :attr:`labels` as further columns.  Needs pandas (the package does
        not).

        Args:
            data: scans as :meth:`read` or :meth:`read_all` returned them.
            first: number of the first scan of data in the run (as
                :attr:`numbers` has it); default: data are the scans handed
                out last.

        Raises:
            ValueError: no such scans were handed out.
        """
        data = np.asarray(data)
        with self._lock:
            numbers, times = self._numbers_out.view(), self._times_out.view()
        if first is None:
            start = len(numbers) - len(data)
        else:
            first = _check.integer("first", first)
            start = int(np.searchsorted(numbers, first))
            if start == len(numbers) or numbers[start] != first:
                raise ValueError(f"first {first}: no scan of that number was handed out")
        if start < 0 or start + len(data) > len(numbers):
            raise ValueError(f"data has {len(data)} scans; {len(numbers) - max(start, 0)} were handed out "
                             "from its first")
        end = start + len(data)
        return numbered_dataframe(data, self.labels, numbers[start:end], times[start:end], self.started)

    def __repr__(self) -> str:
        state = "running" if self.running else "ended"
        return f"<ScanRun {state}, {self._delivered} scans read, {self.values_per_scan} values each>"
