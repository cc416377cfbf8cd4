"""Column labels shared by scan runs and scan logs, and their pandas view."""

from __future__ import annotations

import re
from datetime import datetime
from typing import TYPE_CHECKING, Any, List, Optional, Sequence, Tuple, Union

import numpy as np

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["Channel", "label_of", "channel_of", "dataframe", "numbered_dataframe"]

#: What a column holds: (main, sub), or "offset" / "fullscale" (scan type 2).
Channel = Union[Tuple[int, int], str]


def label_of(channel: Channel) -> str:
    """The scan log's heading of a column: ``"1 - 3"``, ``"offset"``."""
    return channel if isinstance(channel, str) else f"{channel[0]} - {channel[1]}"


def channel_of(label: str) -> Channel:
    match = re.fullmatch(r"(\d+) - (\d+)", label)
    return (int(match.group(1)), int(match.group(2))) if match else label


def _pandas() -> Any:
    try:
        import pandas as pd
    except ImportError:
        raise ImportError("to_dataframe() needs pandas, which q583 itself does not require: "
                          "install python3-pandas (Debian) or pandas") from None
    return pd


def _times(pd: Any, seconds: NDArray[np.float64], started: Optional[datetime]) -> Any:
    """Local times from started, or times from the start (timedeltas) when
    it is not known."""
    offsets = pd.to_timedelta(np.asarray(seconds, dtype=float), unit="s")
    return pd.DatetimeIndex(pd.Timestamp(started) + offsets) if started is not None else pd.TimedeltaIndex(offsets)


def dataframe(values: NDArray[Any], labels: Sequence[str], seconds: NDArray[np.float64], started: Optional[datetime]) -> Any:
    """A DataFrame of values with a ``time`` index: local times from started,
    or times from the start (timedeltas) when it is not known."""
    pd = _pandas()
    index = _times(pd, seconds, started)
    index.name = "time"
    columns: List[str] = list(labels)
    return pd.DataFrame(np.asarray(values).reshape(len(index), len(columns)), index=index, columns=columns)


def numbered_dataframe(values: NDArray[Any], labels: Sequence[str], numbers: NDArray[np.int64],
                       seconds: NDArray[np.float64], started: Optional[datetime]) -> Any:
    """A DataFrame of values indexed by scan number (``scan``), with a
    ``time`` column as :func:`dataframe` makes its index."""
    pd = _pandas()
    columns: List[str] = list(labels)
    frame = pd.DataFrame(np.asarray(values).reshape(len(numbers), len(columns)),
                         index=pd.Index(np.asarray(numbers), name="scan"), columns=columns)
    frame.insert(0, "time", _times(pd, seconds, started))
    return frame
