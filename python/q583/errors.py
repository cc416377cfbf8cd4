"""The exceptions of the package: every failure reported by the library
becomes one of these."""

from __future__ import annotations

from dataclasses import dataclass
from typing import List, Optional

__all__ = ["Q583Error", "LibraryNotFoundError", "PortError", "NoAnswerError", "ScanError", "ScanGapError",
           "ScanGapWarning", "ScanGap", "SimulatorError", "SimulatorNotFoundError", "ERROR_TYPES"]

#: What the library's ``errorType`` codes mean (its messages come from the
#: library itself, ``EX_GetErrorType``; kept for code that reads the table).
ERROR_TYPES = {
    1: "a frame began with a wrong marker (or a single conversion's reply was short)",
    2: "a frame was cut short",
    3: "the receive queue overflowed (the host fell behind)",
    10: "a frame was cut short (0x0A at the fill position)",
}


class Q583Error(Exception):
    """Base class of every error of the package.

    Attributes:
        scans: for an error raised out of a scan run, the scans fetched and
            not yet handed out (an array of shape (scans, values)); the run
            keeps them too (``run.pending``).  ``None`` otherwise.
        numbers, times: beside ``scans``, each one's number in the run and
            the receive time of its frame (seconds since the run's start),
            or ``None``.
    """

    scans: object = None
    numbers: object = None
    times: object = None


class LibraryNotFoundError(Q583Error):
    """The Q583_SP library could not be loaded; the message names every
    place that was tried."""


class PortError(Q583Error):
    """The serial port cannot be used.

    Attributes:
        port: the device path.
        reason: ``"missing"``, ``"busy"``, ``"denied"`` or ``"unusable"``.
    """

    def __init__(self, message: str, port: str, reason: str) -> None:
        super().__init__(message)
        self.port = port
        self.reason = reason


class NoAnswerError(Q583Error):
    """The instrument did not answer (no sign-on, or a command failed twice)."""


class ScanError(Q583Error):
    """A scan could not start, or ended by itself with an error.

    Attributes:
        errorType: the library's error code of the failed scan (see
            :data:`ERROR_TYPES`), 0 when none was recorded, ``None`` when
            not known.
        scans: as for every :class:`Q583Error`: the scans taken before the
            error and not yet handed out, or ``None``.
        gaps: the scans the end lost (:class:`ScanGap` s), when it lost any.
    """

    def __init__(self, message: str, errorType: Optional[int] = None, scans: object = None) -> None:
        super().__init__(message)
        self.errorType = errorType
        self.scans = scans
        self.gaps: List[ScanGap] = []


#: Why scans were lost, by the library's gap cause (``Q583_GAP_*``).
GAP_CAUSES = {
    1: "the host fell behind",
    2: "a frame fault ended the run",
    3: "the line was lost",
    4: "the receive queue overflowed",
    5: "the run was ended with frames on their way",
}


@dataclass(frozen=True)
class ScanGap:
    """Scans of a run that never reached the host: numbers ``first`` to
    ``first + count - 1`` (the run's numbering, from 0), and why.

    Attributes:
        first: the first missing scan number.
        count: how many are missing.
        cause: the library's cause (1 the ring wrapped before the host read
            them, 2 a frame fault, 3 the line was lost, 4 the receive queue
            overflowed, 5 the run was ended with frames on their way).
    """

    first: int
    count: int
    cause: int

    @property
    def reason(self) -> str:
        """The cause in words: ``"the host fell behind"``."""
        return GAP_CAUSES.get(self.cause, f"for a reason the library does not name ({self.cause})")

    def __str__(self) -> str:
        where = str(self.first) if self.count == 1 else f"{self.first}-{self.first + self.count - 1}"
        return f"{self.count:,} scan{'' if self.count == 1 else 's'} lost at {where}: {self.reason}"


class ScanGapWarning(UserWarning):
    """Scans of a run were lost (``scan(..., on_gap="warn")``, the default);
    the message says how many, where and why."""


class ScanGapError(Q583Error):
    """Scans of a run were lost (``scan(..., on_gap="raise")``).  The run
    goes on unless the error leaves a loop over it or a ``with`` block.

    Attributes:
        gaps: the :class:`ScanGap` s found.
        scans, numbers, times: the scans fetched and not yet handed out,
            with their numbers and receive times (those around the gap);
            the run keeps them, the next ``read()`` hands them out.
    """

    def __init__(self, message: str, gaps: List[ScanGap]) -> None:
        super().__init__(message)
        self.gaps = gaps


class SimulatorError(Q583Error, RuntimeError):
    """The simulator program could not be started; the message has what it
    said.  Also a ``RuntimeError``, as it was before it was a
    :class:`Q583Error`."""


class SimulatorNotFoundError(SimulatorError, FileNotFoundError):
    """The simulator program ``q583-sim`` is not on PATH.  Also a
    ``FileNotFoundError``."""
