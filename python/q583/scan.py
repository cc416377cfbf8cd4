"""A background scan run: its scans as numpy arrays."""

from __future__ import annotations

import ctypes
import threading
import time
import warnings
from pathlib import Path
from typing import TYPE_CHECKING, Any, Iterator, List, Optional

import numpy as np

from .errors import ERROR_TYPES, NoAnswerError, Q583Error, ScanError

if TYPE_CHECKING:
    from .device import Q583

__all__ = ["ScanRun", "RING_VALUES"]

#: Values the library's memory ring holds.
RING_VALUES = 8640
# Marks the running output as untouched: the library writes nothing when
# the instrument is not signed on.
_UNWRITTEN = 2


def _log_names() -> set:
    return {p.name for p in Path.cwd().glob("ScanLog_*")}


class ScanRun:
    """A scan started by :meth:`Q583.scan`.

    Iterating over it yields arrays of shape (scans, values) as the scans
    arrive, until the run is over; :meth:`read` takes what is waiting now and
    :meth:`read_all` waits for a limited run's end.  As a context manager it
    ends the run on the way out, also on an exception or Ctrl-C, with the
    scan log's trailer written.

    Attributes:
        values_per_scan: values in each scan (columns of the arrays).
        interval: the applied scan interval, seconds.
        log_path: the scan log file, or ``None`` without one.
        error: the :class:`ScanError` that ended the run, or ``None``.
    """

    def __init__(self, device: "Q583", values_per_scan: int, interval: float,
                 seconds: Optional[float], scans: Optional[int], log_file: bool) -> None:
        self._dev = device
        self._lib = device._lib
        self.values_per_scan = values_per_scan
        self.interval = interval
        self.seconds = seconds
        self.scans = scans
        self.log_path: Optional[Path] = None
        self.error: Optional[ScanError] = None
        self._log_file = log_file
        # The library's ring holds this many whole scans; no call asks for more.
        self._capacity = max(1, RING_VALUES // values_per_scan)
        self._probe = np.empty(values_per_scan)  # a call for 0 scans writes nothing
        self._returned = ctypes.c_int32()
        self._unread = ctypes.c_int32()
        self._running = ctypes.c_uint8()
        self._refs = (ctypes.byref(self._returned), ctypes.byref(self._unread), ctypes.byref(self._running))
        self._delivered = 0
        self._ended = False       # the library says the run is over
        self._stopped = False     # EX_EndScan has been called
        self._error_raised = False
        self._wake = threading.Event()
        self._poll = min(max(interval / 2, 0.01), 0.1)
        self._started = 0.0

    # ---- start and end -----------------------------------------------------

    def _start(self) -> None:
        before = _log_names() if self._log_file else set()
        self._dev._take_boxes()
        self._started = time.monotonic()
        if not self._lib.EX_StartScan():
            self._stopped = self._ended = True
            if any("LOG FILE" in box for box in self._dev._take_boxes()):
                raise ScanError(f"cannot create a scan log file in {Path.cwd()} (change directory, or log_file=False)")
            raise ScanError(f"scan start failed: the instrument on {self._dev.port} did not confirm the start")
        if self._log_file:
            new = sorted(_log_names() - before)
            self.log_path = Path.cwd() / new[-1] if new else None

    @property
    def running(self) -> bool:
        """True until the run has ended (by itself, :meth:`stop` or an error)."""
        return not (self._ended or self._stopped)

    @property
    def overruns(self) -> int:
        """Scans dropped because they were not read before the ring wrapped."""
        return self._dev.overruns

    @property
    def times(self) -> np.ndarray:
        """Times in seconds (from the first scan) of every scan handed out so far."""
        return np.arange(self._delivered) * self.interval

    def stop(self) -> None:
        """Ends the run (``EX_EndScan``): the scan log gets its trailer and is
        closed, the instrument stops scanning.  Scans not yet read can still
        be read afterwards.  Takes about 2 s; a second call does nothing.

        Raises:
            NoAnswerError: the instrument did not confirm the stop.
        """
        if self._stopped:
            return
        self._stopped = True
        self._wake.set()
        if not self._lib.EX_EndScan():
            self._dev._signed_on = False
            raise NoAnswerError(f"the instrument on {self._dev.port} did not confirm the end of the scan "
                                "(the scan log was closed with its trailer)")

    def _end_quietly(self) -> None:
        try:
            self.stop()
        except Q583Error as error:
            warnings.warn(str(error), stacklevel=3)

    def __enter__(self) -> "ScanRun":
        return self

    def __exit__(self, kind: Any, value: Any, traceback: Any) -> None:
        if kind is None:
            self.stop()
        else:
            self._end_quietly()

    # ---- retrieval ------------------------------------------------------------

    def _fetch(self, scans: int, into: np.ndarray) -> bool:
        self._running.value = _UNWRITTEN
        self._unread.value = 0
        ok = self._lib.EX_GetScanDataDbl(into.ctypes.data, scans, *self._refs)
        if not ok and self._running.value == _UNWRITTEN:
            self._dev._signed_on = False
            raise ScanError("the scans cannot be fetched: the instrument is no longer signed on")
        return bool(ok)

    def _ended_by_itself(self) -> None:
        self._ended = True
        if self._stopped or self.scans is not None and self._delivered >= self.scans:
            return
        if self.seconds is not None and time.monotonic() - self._started >= self.seconds - 0.05:
            return
        code = self._dev._error_type()
        cause = ERROR_TYPES.get(code or 0, "no frame error recorded: the line failed or the host fell too far behind")
        self.error = ScanError(f"the scan on {self._dev.port} ended after {self._delivered} scans: {cause}", code)

    def _take(self) -> np.ndarray:
        per, blocks = self.values_per_scan, []
        while not self._ended:
            if not self._fetch(0, self._probe):
                self._ended_by_itself()
                break
            waiting = self._unread.value
            if waiting <= 0:
                break
            block = np.empty((min(waiting, self._capacity), per))
            if not self._fetch(block.shape[0], block):
                self._ended_by_itself()
                break
            blocks.append(block[: self._returned.value])
            if self._unread.value <= 0:
                break
        data = blocks[0] if len(blocks) == 1 else np.concatenate(blocks) if blocks else np.empty((0, per))
        if self.scans is not None and self._delivered + len(data) >= self.scans:
            data = data[: self.scans - self._delivered]
            self._delivered += len(data)
            self._ended = True
            self.stop()
        else:
            self._delivered += len(data)
        return data

    def read(self) -> np.ndarray:
        """The scans waiting now, an array of shape (scans, values); (0, values)
        when none wait.

        Raises:
            ScanError: the run ended by an error (raised once the scans taken
                before it have been handed out).
        """
        data = self._take()
        if self.error is not None and len(data) == 0 and not self._error_raised:
            self._error_raised = True
            raise self.error
        return data

    def _blocks(self) -> Iterator[np.ndarray]:
        while True:
            data = self.read()
            if len(data):
                yield data
            elif self._ended:
                return
            else:
                self._wake.wait(self._poll)

    def __iter__(self) -> Iterator[np.ndarray]:
        """Yields the scans as they arrive; ends the run (:meth:`stop`) when
        the last was handed out.  Blocks between polls without spinning."""
        try:
            yield from self._blocks()
        except GeneratorExit:
            raise
        except BaseException:
            self._end_quietly()
            raise
        self.stop()

    def read_all(self) -> np.ndarray:
        """Waits for the end of a limited run (``seconds`` or ``scans``) and
        returns every scan not yet read, shape (scans, values).

        Raises:
            ValueError: the run is unlimited.
            ScanError: the run ended by an error; its ``scans`` holds what
                was taken before.
        """
        if self.seconds is None and self.scans is None:
            raise ValueError("read_all() needs a limited run (seconds= or scans=); iterate, or read() and stop()")
        blocks: List[np.ndarray] = []
        try:
            blocks.extend(self)
        except ScanError as error:
            error.scans = np.concatenate(blocks) if blocks else np.empty((0, self.values_per_scan))
            raise
        return np.concatenate(blocks) if blocks else np.empty((0, self.values_per_scan))

    def __repr__(self) -> str:
        state = "running" if self.running else "ended"
        return f"<ScanRun {state}, {self._delivered} scans read, {self.values_per_scan} values each>"
