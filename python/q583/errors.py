"""The exceptions of the package: every failure reported by the library
becomes one of these."""

from __future__ import annotations

from typing import Optional

__all__ = ["Q583Error", "LibraryNotFoundError", "PortError", "NoAnswerError", "ScanError", "SimulatorError",
           "SimulatorNotFoundError", "ERROR_TYPES"]

#: What the library's ``errorType`` codes mean.
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
    """

    scans: object = None


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
    """

    def __init__(self, message: str, errorType: Optional[int] = None, scans: object = None) -> None:
        super().__init__(message)
        self.errorType = errorType
        self.scans = scans


class SimulatorError(Q583Error, RuntimeError):
    """The simulator program could not be started; the message has what it
    said.  Also a ``RuntimeError``, as it was before it was a
    :class:`Q583Error`."""


class SimulatorNotFoundError(SimulatorError, FileNotFoundError):
    """The simulator program ``q583-sim`` is not on PATH.  Also a
    ``FileNotFoundError``."""
