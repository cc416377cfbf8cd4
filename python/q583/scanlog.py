"""Reading the library's scan log files (ScanLog_<n>.txt)."""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any, List, Optional, Union

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

from ._columns import Channel, channel_of, dataframe
from .errors import Q583Error

__all__ = ["ScanLog", "Trailer", "ScanLogError", "read_scan_log"]

_TRAILER_KEYS = ("Minimal System Interval", "Applied Interval", "Subcycles averaged", "Started", "Finished",
                 "Experiment Description")


class ScanLogError(Q583Error, ValueError):
    """A scan log file is malformed; the message names the file and line."""


@dataclass
class Trailer:
    """One trailer block of a scan log."""

    minimal_interval: float
    applied_interval: float
    scans: int
    started: Optional[datetime]
    finished: Optional[datetime]
    description: str


@dataclass
class ScanLog:
    """A parsed scan log.

    Attributes:
        path: the file.
        labels: column labels of the values (``"0 - 0"`` is main channel 0,
            sub-channel 0; then ``"offset"`` and ``"fullscale"`` for scan
            type 2).
        rows: array of shape (scans, 1 + values): the time in seconds, then
            the values in volts.
        comments: the comment at the end of each row ("" for none).
        trailers: the trailer blocks, in file order.  A run ended by the
            host carries two (the acquisition's end, then the scan end), a
            run that reached the log size limit one; none means the run was
            still going or was cut off.
    """

    path: Path
    labels: List[str]
    rows: NDArray[np.float64]
    comments: List[str] = field(default_factory=list)
    trailers: List[Trailer] = field(default_factory=list)

    @property
    def times(self) -> NDArray[np.float64]:
        """The time column, seconds (one decimal, as the file has it)."""
        return self.rows[:, 0]

    @property
    def values(self) -> NDArray[np.float64]:
        """The values, volts, shape (scans, values)."""
        return self.rows[:, 1:]

    @property
    def ended(self) -> bool:
        """The file records the end of its run (it has a trailer)."""
        return bool(self.trailers)

    @property
    def finished(self) -> Optional[datetime]:
        """When the acquisition ended: the first trailer's "Finished" time."""
        return self.trailers[0].finished if self.trailers else None

    @property
    def started(self) -> Optional[datetime]:
        """When the run started: the first trailer's "Started" time."""
        return self.trailers[0].started if self.trailers else None

    @property
    def channels(self) -> List[Channel]:
        """What each column holds, as :attr:`ScanRun.channels` says it:
        ``(main, sub)``, ``"offset"``, ``"fullscale"``."""
        return [channel_of(label) for label in self.labels]

    def to_dataframe(self) -> Any:
        """The values as a pandas DataFrame, as :meth:`ScanRun.to_dataframe`
        gives them: a ``time`` index (local times from :attr:`started`, or
        times from the start without a trailer) and the labels as columns.
        Needs pandas (the package does not)."""
        return dataframe(self.values, self.labels, self.times, self.started)


def _ctime(text: str) -> Optional[datetime]:
    try:
        return datetime.strptime(" ".join(text.split()), "%a %b %d %H:%M:%S %Y")
    except ValueError:
        return None


def read_scan_log(path: Union[str, os.PathLike[str]]) -> ScanLog:
    """Parses a scan log file.

    Raises:
        ScanLogError: the file is not a scan log or a line is malformed; the
            message names the line.
        OSError: the file cannot be read.
    """
    path = Path(path)
    with open(path, encoding="latin-1", newline=None) as stream:
        lines = stream.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()

    def fail(number: int, what: str) -> ScanLogError:
        return ScanLogError(f"{path}:{number}: {what}")

    if not lines or not lines[0].startswith("Time / s"):
        raise fail(1, 'not a scan log: the first line does not begin with "Time / s"')
    labels = [f.strip() for f in lines[0].split("\t")[1:] if f.strip()]
    width = len(labels)
    values: List[List[float]] = []
    comments: List[str] = []
    number = 1
    while number < len(lines) and lines[number] != "":
        fields = lines[number].split("\t")
        number += 1
        if len(fields) < width + 2:
            raise fail(number, f"a scan line needs a time and {width} values, found {len(fields) - 1} fields")
        try:
            values.append([float(f) for f in fields[: width + 1]])
        except ValueError as error:
            raise fail(number, f"not a number ({error})") from None
        comments.append("\t".join(fields[width + 1:]))
    trailers: List[Trailer] = []
    while number < len(lines):
        if lines[number] != "":
            raise fail(number + 1, "expected the empty line before a trailer")
        block = lines[number + 1: number + 7]
        found = {}
        for offset, key in enumerate(_TRAILER_KEYS):
            line = block[offset] if offset < len(block) else ""
            name, tab, value = line.partition("\t")
            if not tab or name.rstrip().rstrip(":") != key:
                raise fail(number + 2 + offset, f'expected the trailer line "{key}:"')
            found[key] = value
        try:
            trailers.append(Trailer(
                minimal_interval=float(found["Minimal System Interval"]),
                applied_interval=float(found["Applied Interval"]),
                scans=int(found["Subcycles averaged"]),
                started=_ctime(found["Started"]),
                finished=_ctime(found["Finished"]),
                description=found["Experiment Description"],
            ))
        except ValueError as error:
            raise fail(number + 2, f"a trailer number is malformed ({error})") from None
        number += 7
    rows = np.array(values, dtype=float).reshape(len(values), width + 1)
    return ScanLog(path=path, labels=labels, rows=rows, comments=comments, trailers=trailers)
