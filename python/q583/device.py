"""The instrument: :class:`Q583`, a context manager over the library."""

from __future__ import annotations

import contextlib
import ctypes
import errno
import functools
import logging
import math
import os
import re
import stat
import threading
import weakref
from pathlib import Path
from typing import (TYPE_CHECKING, Any, Callable, Iterable, List, Literal, Optional, Sequence, Tuple, TypeVar, Union,
                    overload)

import numpy as np

from . import _check
from ._lib import MessageBoxHandler, library
from .errors import NoAnswerError, PortError, Q583Error

if TYPE_CHECKING:
    from numpy.typing import NDArray

    from .scan import ScanRun
    from .simulator import Simulator

__all__ = ["Q583", "close_all", "GAINS", "AVERAGES", "FILTERS_HZ", "SCAN_TYPES", "NOT_SCANNED"]

GAINS = (1, 2, 4, 8, 16, 32, 64, 128)
AVERAGES = tuple(2**i for i in range(16))
FILTERS_HZ = (4, 40, 400)
#: Scan types: 0 single channel, 1 multi-channel, 2 multi-channel with the
#: offset and full-scale readings after the channel values.
SCAN_TYPES = (0, 1, 2)
#: Channel code of a main channel that is not scanned.
NOT_SCANNED = 16

_OK_CANCEL = 0x1
_BOX_OK, _BOX_CANCEL = 1, 2

log = logging.getLogger("q583")

_F = TypeVar("_F", bound=Callable[..., Any])


def _locked(method: _F) -> _F:
    """Runs the method under the device's lock: a compound operation (select
    a channel, then convert) never interleaves with another thread's."""

    @functools.wraps(method)
    def run(self: "Q583", *args: Any, **kwargs: Any) -> Any:
        with self._lock:
            return method(self, *args, **kwargs)

    return run  # type: ignore[return-value]


def _choices(values: Iterable[object]) -> str:
    return ", ".join(str(v) for v in values)


def check_codes(codes: Sequence[int]) -> Tuple[int, ...]:
    """Validates six channel codes (fewer are filled with 16) and returns them."""
    codes = _check.integers("channel codes", codes)
    if len(codes) > 6:
        raise ValueError("at most six channel codes, one per main channel")
    codes += (NOT_SCANNED,) * (6 - len(codes))
    for slot, code in enumerate(codes):
        if not 0 <= code <= 255:
            raise ValueError(f"channel code {code} of main channel {slot} is not a byte")
        if code != NOT_SCANNED and (code >> 4) > (code & 0xF):
            raise ValueError(
                f"channel code 0x{code:02X} of main channel {slot}: the first sub-channel (high nibble) "
                "lies after the last (low nibble); use 16 for a main channel that is not scanned"
            )
    if channel_count(codes) == 0:
        raise ValueError("no channel selected: every channel code is 16")
    return codes


def channel_count(codes: Sequence[int]) -> int:
    """Number of values the channel codes select."""
    return len(channels_of(codes))


def channels_of(codes: Sequence[int]) -> List[Tuple[int, int]]:
    """The (main, sub) channel of each value the channel codes select, in
    the order of the values in a scan."""
    return [(main, sub) for main, code in enumerate(codes) if code != NOT_SCANNED
            for sub in range(code >> 4, (code & 0xF) + 1)]


def _port_problem(path: str) -> Optional[PortError]:
    """Why the port at path cannot be used, or None when it looks usable."""
    try:
        info = os.stat(path)
    except OSError as error:
        return PortError(f"port {path} missing: {error.strerror}", path, "missing")
    if not stat.S_ISCHR(info.st_mode):
        return PortError(f"port {path} is not a serial device", path, "unusable")
    try:
        fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as error:
        if error.errno == errno.EBUSY:
            return PortError(f"port {path} busy: another program has it open", path, "busy")
        if error.errno == errno.EACCES:
            return PortError(
                f"port {path}: permission denied (is your user in the group that owns it, e.g. dialout?)",
                path,
                "denied",
            )
        return PortError(f"port {path} cannot be opened: {error.strerror}", path, "unusable")
    try:
        import fcntl

        try:
            # The library takes the port with an exclusive lock.
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
            fcntl.flock(fd, fcntl.LOCK_UN)
        except OSError:
            return PortError(f"port {path} busy: another program has it open", path, "busy")
    finally:
        os.close(fd)
    return None


def _close_dropped(lib: Any, port: str, box_handler: Any) -> None:
    """Closes the port of a device collected (or left at exit) while open.
    box_handler, the device's message box handler, is held here until the
    library has let go of it."""
    log.warning("closing the Q583 on %s, which was left open", port)
    try:
        lib.EX_ClosePort()  # ends a running scan as EX_EndScan does
        lib.EX_SetIniDirectory(None)
        lib.EX_SetMessageBoxHandler(MessageBoxHandler())
    except Q583Error as error:  # a worker process that has ended
        log.warning("%s", error)
    if hasattr(lib, "shut_down"):
        lib.shut_down()


def close_all() -> None:
    """Closes every open :class:`Q583` of this process, as their
    :meth:`~Q583.close` does.  For when a device object is out of reach (a
    notebook cell run again)."""
    for worker in list(Q583._workers):
        worker.close()
    with Q583._open_lock:
        entry = Q583._open
    if entry is not None:
        device, closer = entry[0](), entry[1]
        if device is not None:
            device.close()
        else:
            closer()


class Q583:
    """The Q583 instrument on one serial port.

    Used as a context manager: entering maps the port to the library's COM
    port and signs the instrument on; leaving ends any scan, leaves the
    instrument idle and closes the port (so it can be opened again, in this
    process or another).  The library drives one instrument per process:
    the first :class:`Q583` opened drives its instrument in this process,
    every further one (on another port) from a worker process of its own,
    with the same API.  The process keeps no strong reference to an open
    device: one collected while open is closed (with a warning), and
    :func:`close_all` closes them from anywhere.

    Settings changed through the properties reach the instrument at the next
    sign-on, which this class does by itself before the next conversion,
    calibration or scan.

    Threads: a :class:`Q583` may be shared between threads.  One lock per
    device covers every operation that makes more than one library call (a
    conversion selects the channel and then converts, a scan start sets the
    codes, the interval and then starts), and each ``read()`` of a run, so
    no two of them interleave.  While a scan runs, the operations that
    would talk to the instrument (settings, conversions, calibrations,
    standby) raise :class:`Q583Error` on every thread; ``digital_out``,
    ``digital_in`` and reading the settings work.  A scan iterated on one
    thread can be ended from another with ``run.stop()`` or ``close()``:
    the iterator then hands out what was still waiting and ends.

    Args:
        port: the serial device (``"/dev/ttyUSB0"``), a :class:`Simulator`,
            a zero-based port number of the library (``/dev/ttyS<n>``, on
            Windows ``COM<n+1>``), or ``None`` for the library's current
            port.
        ini_dir: directory of ``Q583_SP.ini`` for :meth:`load_config` and
            :meth:`save_config` (default: the library's, ``/etc``).

    Raises:
        TypeError: port or ini_dir is of a wrong type.
        ValueError: a port number outside 0 to 254, or a simulator that is
            not running.
    """

    # The open device (weakly) and what closes it should it be collected.
    _open: Optional[Tuple["weakref.ref[Q583]", "weakref.finalize"]] = None
    _open_lock = threading.Lock()
    # The open devices that drive their instruments from worker processes.
    _workers: "weakref.WeakSet[Q583]" = weakref.WeakSet()

    def __init__(self, port: Union[str, int, "os.PathLike[str]", "Simulator", None] = None,
                 ini_dir: Union[str, "os.PathLike[str]", None] = None) -> None:
        self._path: Optional[str] = None         # a device mapped to COM port 0
        self._port_number: Optional[int] = None  # a port number of the library
        if isinstance(port, (str, os.PathLike)):
            self._path = os.fspath(port)
        elif port is not None and hasattr(port, "port") and not isinstance(port, (int, float)):
            if not isinstance(port.port, str) or not port.port:
                raise ValueError(f"{port!r} is not running (use it in a with statement or call start())")
            self._path = port.port
        elif port is not None:
            self._port_number = _check.integer("port", port)
            if not 0 <= self._port_number <= 254:
                raise ValueError(f"port {self._port_number} refused; allowed: 0 to 254, a device path or a Simulator")
        self._ini_dir = _check.path("ini_dir", ini_dir)
        # The device file checked before a sign-on and after a failure.
        self._device: Optional[str] = self._path
        if self._device is None and self._port_number is not None and os.name == "posix":
            self._device = f"/dev/ttyS{self._port_number}"
        self._lib: Any = library()  # or, open beside another device, a worker's
        self._lock = threading.RLock()
        self._boxes: List[str] = []
        self._quiet_boxes = False
        # The library calls the handler; it must not keep the device alive.
        device = weakref.ref(self)

        def on_message_box(text: Optional[bytes], caption: Optional[bytes], style: int) -> int:
            alive = device()
            return alive._on_message_box(text, caption, style) if alive is not None else _BOX_OK

        self._box_handler = MessageBoxHandler(on_message_box)
        self._signed_on = False
        # What the scan interval was set to: a number of seconds or "min".
        self._requested_interval: Union[float, str, None] = None
        self._run: Optional["ScanRun"] = None
        self._digital_out: Optional[int] = None
        self._closed = True
        self._worker_closer: Optional[weakref.finalize] = None

    # ---- life -----------------------------------------------------------

    @property
    def port(self) -> str:
        """The serial device, as the messages name it."""
        if self._device is not None:
            return self._device
        return "the library's port" if self._port_number is None else f"port {self._port_number}"

    @_locked
    def open(self) -> "Q583":
        """Maps the port and signs the instrument on (what ``with`` does).
        Does nothing when this device is open already.

        While another :class:`Q583` of this process is open (on another
        port), this one drives its instrument from a worker process of its
        own (the library drives one instrument per process), with the same
        API and exceptions.

        Raises:
            PortError: the port is missing, busy or not accessible.
            NoAnswerError: the instrument does not answer the sign-on.
            Q583Error: another :class:`Q583` of this process is open on
                the same port.
        """
        if not self._closed:
            return self
        with Q583._open_lock:
            other = None
            if Q583._open is not None:
                other, closer = Q583._open[0](), Q583._open[1]
                if other is None:
                    closer()  # collected while open: closed now, unless that was done
                elif other.port == self.port:
                    raise Q583Error(f"another Q583 ({other.port}) is open in this process on this port: "
                                    "close it first (its close(), or q583.close_all())")
            if other is None:
                Q583._open = (weakref.ref(self), weakref.finalize(self, _close_dropped, self._lib, self.port,
                                                                    self._box_handler))
        if other is not None:
            from ._worker import RemoteLibrary  # pylint: disable=import-outside-toplevel
            remote = RemoteLibrary(self.port)
            self._lib = remote
            self._worker_closer = weakref.finalize(self, _close_dropped, remote, self.port, self._box_handler)
            Q583._workers.add(self)
        self._closed = False
        try:
            lib = self._lib
            lib.EX_SetMessageBoxHandler(self._box_handler)
            lib.EX_SetIniDirectory(self._ini_dir.encode() if self._ini_dir else None)
            problem = _port_problem(self._device) if self._device is not None and os.name == "posix" else None
            if problem is not None:
                raise problem
            if self._path is not None:
                lib.EX_SetCOMportDevice(0, self._path.encode())
                lib.EX_SetCOMport(0)
            elif self._port_number is not None:
                # The number means its default device, whatever an earlier
                # open of this process mapped to it.
                lib.EX_SetCOMportDevice(self._port_number, None)
                lib.EX_SetCOMport(self._port_number)
            self.sign_on()
        except BaseException:
            self._release()
            raise
        return self

    @_locked
    def close(self) -> None:
        """Ends any scan (its log gets the trailer), leaves the instrument
        idle and closes the port.  Called by ``with`` on the way out; a
        second call does nothing."""
        if self._closed:
            return
        run = self._run
        try:
            if run is not None:
                run.stop()
        finally:
            if run is not None and not run._ended:
                # Once the port is closed the library hands out no more
                # scans: what it still holds waits in the run.
                with contextlib.suppress(Q583Error):
                    run._take()
            if run is not None:
                run._keep_account()
            self._release()

    def _release(self) -> None:
        self._closed = True
        self._signed_on = False
        lib = self._lib
        # The port goes, so that the next open (or another program) can
        # have it; the library would otherwise keep it until it is unloaded.
        # (A worker process that has ended took its port with it.)
        with contextlib.suppress(NoAnswerError) if self._worker_closer is not None else contextlib.nullcontext():
            lib.EX_ClosePort()
            lib.EX_SetIniDirectory(None)
            lib.EX_SetMessageBoxHandler(MessageBoxHandler())  # null: the default box
        if self._worker_closer is not None:
            self._worker_closer.detach()
            self._worker_closer = None
            Q583._workers.discard(self)
            self._lib.shut_down()
            self._lib = library()
        with Q583._open_lock:
            if Q583._open is not None and Q583._open[0]() is self:
                Q583._open[1].detach()
                Q583._open = None

    @property
    def worker_pid(self) -> Optional[int]:
        """Process id of the worker process that drives this device's
        instrument, or ``None`` when this process does (see :meth:`open`)."""
        return self._lib.pid if self._worker_closer is not None else None

    def __enter__(self) -> "Q583":
        return self.open()

    def __exit__(self, *exc: Any) -> None:
        if self._run is not None and exc[0] is not None:
            # The exception in flight is the one that matters: a failed
            # stop is only logged.
            self._run._end_quietly()
        self.close()

    def __repr__(self) -> str:
        return f"Q583(port={self.port!r}{'' if self._closed else ', open'})"

    # ---- helpers ----------------------------------------------------------

    def _on_message_box(self, text: Optional[bytes], caption: Optional[bytes], style: int) -> int:
        body = (text or b"").decode("latin-1")
        self._boxes.append(body)
        if style & 0xF == _OK_CANCEL:
            # The scan log cannot be created: cancel the start rather than
            # run without the file that was asked for.
            return _BOX_CANCEL
        if not self._quiet_boxes:
            log.warning("Q583_SP: %s: %s", (caption or b"").decode("latin-1").strip(), body.strip())
        return _BOX_OK

    def _take_boxes(self) -> List[str]:
        boxes, self._boxes = self._boxes, []
        return boxes

    def _check_open(self) -> None:
        if self._closed:
            raise Q583Error("the Q583 is closed (use it in a with statement or call open())")

    def _check_idle(self, what: str) -> None:
        self._check_open()
        if self._run is not None and self._run.running:
            raise Q583Error(f"cannot {what}: a scan is running; stop the scan first")

    def _port_problem_now(self) -> Optional[PortError]:
        if self._device is None or os.name != "posix":
            return None
        # The library may still hold the port after a failed exchange; the
        # check would take that for another program.
        self._lib.EX_ClosePort()
        return _port_problem(self._device)

    def _failure(self, what: str) -> Q583Error:
        """The exception for an operation that the instrument did not carry out."""
        self._signed_on = False
        if self._device is not None and os.name == "posix" and not os.path.exists(self._device):
            return PortError(f"{what} failed: port {self._device} missing", self._device, "missing")
        return NoAnswerError(f"{what} failed: the instrument on {self.port} is not answering")

    def _call(self, name: str, *args: Any, what: str) -> None:
        if not getattr(self._lib, name)(*args):
            raise self._failure(what)

    def _ensure_signed_on(self) -> None:
        if not self._signed_on:
            self.sign_on()

    def _settings_changed(self) -> None:
        # The instrument learns the record's settings at its next sign-on;
        # a minimal interval depends on them.
        self._signed_on = False
        if self._requested_interval == "min":
            self._requested_interval = None

    def _get(self, name: str, ctype: Any) -> Any:
        value = ctype()
        getattr(self._lib, name)(ctypes.byref(value))
        return value.value

    # ---- sign-on ------------------------------------------------------------

    @_locked
    def sign_on(self) -> None:
        """Signs the instrument on with the current settings (``EX_InitDev``).

        Raises:
            PortError, NoAnswerError: as :meth:`open`.
        """
        self._check_idle("sign on")
        if not self._lib.EX_InitDev():
            problem = self._port_problem_now()
            if problem is not None:
                raise problem
            raise NoAnswerError(f"no sign-on: the instrument on {self.port} is not answering")
        self._signed_on = True

    # ---- settings ------------------------------------------------------------

    @property
    def gain(self) -> int:
        """Input gain: 1, 2, 4, ... 128."""
        return int(self._get("EX_GetGain", ctypes.c_uint8))

    @gain.setter
    @_locked
    def gain(self, value: int) -> None:
        value = _check.integer("gain", value)
        self._check_idle("change the gain")
        if value not in GAINS or not self._lib.EX_SetGain(value):
            raise ValueError(f"gain {value!r} refused; allowed: {_choices(GAINS)}")
        self._settings_changed()

    @property
    def average(self) -> int:
        """Remote averaging: a power of two from 1 to 32768."""
        return int(self._get("EX_GetRemoteAverage", ctypes.c_uint16))

    @average.setter
    @_locked
    def average(self, value: int) -> None:
        value = _check.integer("average", value)
        self._check_idle("change the averaging")
        if value not in AVERAGES or not self._lib.EX_SetRemoteAverage(value):
            raise ValueError(f"averaging {value!r} refused; allowed: {_choices(AVERAGES)}")
        self._settings_changed()

    @property
    def polarity(self) -> str:
        """Input range: ``"bipolar"`` (-5 to +5 V) or ``"unipolar"`` (0 to 5 V)."""
        return "bipolar" if self._get("EX_GetPolarity", ctypes.c_uint8) else "unipolar"

    @polarity.setter
    @_locked
    def polarity(self, value: str) -> None:
        value = _check.text("polarity", value)
        self._check_idle("change the polarity")
        if value not in ("bipolar", "unipolar"):
            raise ValueError(f"polarity {value!r} refused; allowed: bipolar, unipolar")
        self._lib.EX_SetPolarity(1 if value == "bipolar" else 0)
        self._settings_changed()

    @property
    def filter_hz(self) -> int:
        """Input filter in Hz: 4, 40 or 400."""
        index = int(self._get("EX_GetFilter", ctypes.c_uint8))
        return FILTERS_HZ[min(index, 2)]

    @filter_hz.setter
    @_locked
    def filter_hz(self, value: int) -> None:
        value = _check.integer("filter_hz", value)
        self._check_idle("change the filter")
        if value not in FILTERS_HZ:
            raise ValueError(f"filter {value!r} Hz refused; allowed: {_choices(FILTERS_HZ)}")
        self._lib.EX_SetFilter(FILTERS_HZ.index(value))
        self._settings_changed()

    @property
    def rate(self) -> float:
        """Conversion rate in conversions per second (single precision)."""
        return float(self._get("EX_GetRate", ctypes.c_double))

    @rate.setter
    @_locked
    def rate(self, value: float) -> None:
        value = _check.real("rate", value)
        self._check_idle("change the rate")
        if not math.isfinite(value) or value <= 0 or not self._lib.EX_SetRate(value):
            raise ValueError(f"rate {value!r} refused; allowed: a finite number of conversions per second above 0")
        self._settings_changed()

    @property
    def scan_type(self) -> int:
        """0 single channel (the polled channel), 1 multi-channel, 2
        multi-channel with the offset and full-scale readings."""
        return int(self._get("EX_GetScanType", ctypes.c_uint8))

    @scan_type.setter
    @_locked
    def scan_type(self, value: int) -> None:
        value = _check.integer("scan_type", value)
        self._check_idle("change the scan type")
        if value not in SCAN_TYPES:
            raise ValueError(f"scan type {value!r} refused; allowed: {_choices(SCAN_TYPES)}")
        self._lib.EX_SetScanType(value)

    @property
    def channel_codes(self) -> Tuple[int, ...]:
        """The six channel codes, one per main channel: first sub-channel in
        the high nibble, last in the low nibble, 16 = not scanned.  Setting
        them signs the instrument on."""
        self._check_open()
        cells = [ctypes.c_uint8() for _ in range(7)]
        self._call("EX_GetMultiChanScanChanCodes", *(ctypes.byref(c) for c in cells), what="reading the channel codes")
        return tuple(c.value for c in cells[:6])

    @channel_codes.setter
    @_locked
    def channel_codes(self, codes: Sequence[int]) -> None:
        codes = check_codes(codes)
        self._check_idle("change the channel codes")
        self._call("EX_SetMultiChanScanChanCodes", *codes, 0, what="sending the channel codes")
        # Its sign-on sent every setting and the minimal interval; it leaves
        # the library's signed-on state as it was.
        self._requested_interval = "min"

    @property
    def values_per_scan(self) -> int:
        """Values in each scan: the channels selected, plus 2 for scan type 2."""
        return channel_count(self.channel_codes) + (2 if self.scan_type == 2 else 0)

    # (Before the interval property: a type checker takes a property for
    # read-only unless its setter follows its getter directly.)
    def _report_number(self, report: str, name: str) -> int:
        match = re.search(rf"^{name}[^:]*:\s*(-?\d+)", report, re.M)
        return int(match.group(1)) if match else 0

    def _applied_interval(self, interval: float) -> float:
        # The instrument's timer counts whole ticks of its time base: the
        # interval it runs is (R + 1) / TB, as the scan log's trailer says.
        report = self.setup_report()
        version, baud = self._report_number(report, "version"), self._report_number(report, "baud")
        base = (3906.25 if version <= 100 else 4882.8125) / 2.0**baud
        ticks = max(0, math.trunc((interval + 0.00005) * base - 1))
        return (ticks + 1) / base

    @property
    def interval(self) -> float:
        """Scan interval in seconds (rounded to the instrument's timer).

        Setting it to the minimum or maximum of :attr:`interval_limits`, or
        to a value between them, is accepted; other values raise
        ``ValueError``."""
        with self._lock:
            return self._applied_interval(float(self._get("EX_GetScanInterval", ctypes.c_double)))

    @interval.setter
    @_locked
    def interval(self, value: float) -> None:
        value = _check.real("interval", value)
        self._check_idle("change the interval")
        low, high = self.interval_limits
        if value == low:
            self._lib.EX_SetToMinScanInterval()
        elif value == high:
            self._lib.EX_SetToMaxScanInterval()
        else:
            wanted = ctypes.c_double(value)
            if not (low < value < high) or not self._lib.EX_SetToUserScanInterval(ctypes.byref(wanted)):
                raise ValueError(f"interval {value!r} s refused; allowed: from {low} to {high} s for these settings")
        self._requested_interval = value
        self._settings_changed()

    @property
    def interval_limits(self) -> Tuple[float, float]:
        """The minimal and maximal scan interval of the current settings, s."""
        low, high = ctypes.c_double(), ctypes.c_double()
        self._lib.EX_GetScanIntervalMinMax(ctypes.byref(low), ctypes.byref(high))
        return float(low.value), float(high.value)

    # ---- direct operations ------------------------------------------------------

    # A count of 1 gives a float, any other an array.  (An int variable that
    # holds 1 also gives a float, which a checker cannot see: hence the
    # overlap it reports and that is silenced.)
    @overload
    def convert(self, channel: int, sub: int = ..., count: Literal[1] = ...) -> float:  # type: ignore[misc]
        ...

    @overload
    def convert(self, channel: int, sub: int = ..., count: int = ...) -> NDArray[np.float64]:
        ...

    @_locked
    def convert(self, channel: int, sub: int = 0, count: int = 1) -> Union[float, NDArray[np.float64]]:
        """Single conversions of one channel, in volts.

        Each conversion selects the channel and lets it settle for 0.5 s.

        Args:
            channel: main channel, 0 to 5.
            sub: sub-channel, 0 to 15.
            count: number of conversions.

        Returns:
            A float for ``count == 1``, else an array of ``count`` volts.
        """
        channel = _check.integer("channel", channel)
        sub = _check.integer("sub", sub)
        count = _check.integer("count", count)
        self._check_idle("convert")
        if channel not in range(6):
            raise ValueError(f"channel {channel!r} refused; allowed: 0 to 5")
        if sub not in range(16):
            raise ValueError(f"sub-channel {sub!r} refused; allowed: 0 to 15")
        if count < 1:
            raise ValueError(f"count {count!r} refused; allowed: 1 or more")
        self._ensure_signed_on()
        self._call("EX_SetPolledModeChan", channel, sub, what=f"selecting channel {channel}-{sub}")
        volts = np.empty(count)
        millivolts = ctypes.c_double()
        for i in range(count):
            self._call("EX_GetOneConversion", ctypes.byref(millivolts), what=f"conversion {i + 1} of channel {channel}-{sub}")
            volts[i] = millivolts.value * 0.001
        return float(volts[0]) if count == 1 else volts

    @property
    @_locked
    def digital_in(self) -> int:
        """The digital input byte (during a scan: the last one the scan read)."""
        self._check_open()
        if self._run is not None and self._run.running:
            return int(self._get("EX_GetDiginWScan", ctypes.c_uint8))
        value = ctypes.c_uint8()
        self._call("EX_GetDigin", ctypes.byref(value), what="reading the digital inputs")
        return value.value

    @property
    def digital_out(self) -> Optional[int]:
        """The digital output byte last written (``None`` before the first)."""
        return self._digital_out

    @digital_out.setter
    @_locked
    def digital_out(self, value: int) -> None:
        value = _check.integer("digital_out", value)
        self._check_open()
        if not 0 <= value <= 255:
            raise ValueError(f"digital output {value!r} refused; allowed: 0 to 255")
        busy = ctypes.c_uint8()
        if not self._lib.EX_SendDigoutWScan(value, ctypes.byref(busy)):
            if busy.value:
                raise Q583Error("digital output refused: the previous byte is still queued for the running scan")
            raise self._failure("writing the digital outputs")
        self._digital_out = value

    @_locked
    def calibrate(self, kind: str = "system") -> None:
        """Internal calibration: ``"system"`` (at gain 1), or ``"offset"`` or
        ``"fullscale"`` of the polled channel (the one last converted)."""
        kind = _check.text("kind", kind)
        self._check_idle("calibrate")
        exports = {"system": "EX_SystemCalibration", "offset": "EX_OffsetCalibration", "fullscale": "EX_FullScaleCalibration"}
        if kind not in exports:
            raise ValueError(f"calibration {kind!r} refused; allowed: system, offset, fullscale")
        self._ensure_signed_on()
        self._call(exports[kind], what=f"{kind} calibration")

    @_locked
    def standby(self, on: bool = True) -> None:
        """Puts the instrument into standby (or out of it).  The next
        operation signs it on again, which also ends standby."""
        on = _check.flag("on", on)
        self._check_idle("enter standby")
        self._lib.EX_Standby(1 if on else 0)
        self._signed_on = False

    @_locked
    def sleep(self) -> None:
        """Sends the instrument to sleep; the next operation wakes it with a
        new sign-on."""
        self._check_idle("send the instrument to sleep")
        self._lib.EX_Sleep(1)
        self._signed_on = False

    @_locked
    def reset(self) -> None:
        """Restores the library's default settings and signs on again."""
        self._check_idle("reset")
        self._lib.EX_Reset()
        self._signed_on = False
        self._requested_interval = None
        self.sign_on()

    @property
    @_locked
    def version(self) -> int:
        """Firmware version of the instrument."""
        self._check_idle("read the version")
        self._ensure_signed_on()
        value = ctypes.c_int16()
        self._call("EX_SetModel", ctypes.byref(value), what="reading the firmware version")
        return int(value.value)

    @property
    def model_code(self) -> int:
        """10000 for firmware versions 132 to 149 (the faster time base), else -1."""
        return 10000 if 132 <= self.version <= 149 else -1

    @_locked
    def setup_report(self) -> str:
        """The library's device setup report, one ``name: value`` a line."""
        self._take_boxes()
        self._quiet_boxes = True
        try:
            self._lib.EX_ShowDevSetupInfo_MsgBox()
        finally:
            self._quiet_boxes = False
        return "".join(self._take_boxes())

    def _error_type(self) -> Tuple[int, str]:
        """The library's errorType of the last scan or read, and its text."""
        code, text = ctypes.c_int32(), ctypes.create_string_buffer(160)
        if not self._lib.EX_GetErrorType(ctypes.byref(code), text, len(text)):
            return 0, ""
        return code.value, text.value.decode("latin-1")

    # ---- configuration file ---------------------------------------------------------

    def _ini_path(self, directory: Union[str, "os.PathLike[str]", None]) -> str:
        base = os.fspath(directory) if directory is not None else self._ini_dir
        return str(Path(base or "/etc") / "Q583_SP.ini")

    @_locked
    def load_config(self, directory: Union[str, "os.PathLike[str]", None] = None) -> None:
        """Loads ``Q583_SP.ini`` from directory (default: ``ini_dir``) into
        the settings; the next operation signs on with them.

        Raises:
            Q583Error: the file is missing or a key has no value (the
                settings are then the defaults).
        """
        directory = _check.path("directory", directory)
        self._check_idle("load the configuration")
        path = self._ini_path(directory)
        lib = self._lib
        if directory is not None:
            lib.EX_SetIniDirectory(directory.encode())
        try:
            loaded = lib.EX_SetDevToIniSetup()
        finally:
            if directory is not None:
                lib.EX_SetIniDirectory(self._ini_dir.encode() if self._ini_dir else None)
        self._signed_on = False
        self._requested_interval = None
        if self._path is not None:
            # The file names a COM port; it is this device.
            lib.EX_SetCOMportDevice(int(self._get("EX_GetCOMport", ctypes.c_uint8)), self._path.encode())
        if not loaded:
            if not os.path.exists(path):
                raise Q583Error(f"{path} not found; the settings are the defaults")
            raise Q583Error(f"{path}: a key is missing or empty; the settings are the defaults")

    @_locked
    def save_config(self, directory: Union[str, "os.PathLike[str]", None] = None) -> str:
        """Writes the current settings to ``Q583_SP.ini`` in directory
        (default: ``ini_dir``) and returns the file's path."""
        directory = _check.path("directory", directory)
        self._check_open()
        path = self._ini_path(directory)
        lib = self._lib
        if directory is not None:
            lib.EX_SetIniDirectory(directory.encode())
        lib.EX_SetIniWriteEnabled(1)
        try:
            written = lib.EX_WriteCurrentConfigToIniFile()
        finally:
            lib.EX_SetIniWriteEnabled(0)
            if directory is not None:
                lib.EX_SetIniDirectory(self._ini_dir.encode() if self._ini_dir else None)
        if not written:
            raise Q583Error(f"cannot write {path}")
        return path

    # ---- scans ------------------------------------------------------------------------

    @property
    def overruns(self) -> int:
        """Scans of the current or last run dropped because the host fell
        more than a ring behind."""
        return int(self._get("EX_GetScanOverrunCount", ctypes.c_uint32))

    @_locked
    def scan(
        self,
        codes: Optional[Sequence[int]] = None,
        interval: Optional[float] = None,
        seconds: Optional[float] = None,
        scans: Optional[int] = None,
        log_file: bool = True,
        comment: str = "",
        description: str = "",
        log_dir: Union[str, "os.PathLike[str]", None] = None,
        on_gap: Literal["warn", "raise", "ignore"] = "warn",
        wire_trace: Union[str, "os.PathLike[str]", None] = None,
    ) -> "ScanRun":
        """Starts a background scan and returns its :class:`ScanRun`.

        Args:
            codes: channel codes (see :attr:`channel_codes`); ``None`` keeps
                the current ones.  Refused with scan type 0, which scans
                the polled channel.
            interval: scan interval in seconds; ``None`` is the minimal one.
            seconds: length of the run; the library ends it about 0.1 s
                after that.
            scans: number of scans; the run is ended once they are taken.
            log_file: write the scan log ``ScanLog_<n>.txt`` (its path is
                ``run.log_path``).
            comment: text added to every line of the scan log.
            description: experiment description of the log's trailer.
            log_dir: directory of the scan log (default: the current one).
                The library names the file in the current directory, so the
                process's current directory is switched to log_dir for the
                moment of the start.
            on_gap: what a loss of scans does (scans the host fell a ring
                behind on, those a frame fault or a lost line cost):
                ``"warn"`` a :class:`ScanGapWarning` and a line on the
                ``q583`` logger, ``"raise"`` a :class:`ScanGapError` out of
                the read that finds it, ``"ignore"`` nothing.  Each run
                keeps its gaps in ``run.gaps`` whatever the choice.
            wire_trace: file (replaced) for the library's wire trace of
                the run: every byte sent to and received from the
                instrument, with its direction and time, from before the
                start (with a sign-on the start needs) until the run is
                stopped (:meth:`ScanRun.stop`, the end of its ``with``
                block) or the device closed.  ``q583-sim --replay FILE``
                plays it back; the README describes the format.

        Raises:
            TypeError: an argument of a wrong type.
            ValueError: a setting or limit is refused.
            Q583Error: the device is closed, or a scan is running.
            ScanError: the instrument did not start, or the scan log could
                not be created.
        """
        from .scan import ScanRun

        # Every argument is checked before anything reaches the instrument.
        codes = None if codes is None else check_codes(codes)
        interval = None if interval is None else _check.real("interval", interval)
        seconds = None if seconds is None else _check.real("seconds", seconds)
        scans = None if scans is None else _check.integer("scans", scans)
        log_file = _check.flag("log_file", log_file)
        comment = _check.text("comment", comment)
        description = _check.text("description", description)
        log_dir = _check.path("log_dir", log_dir)
        wire_trace = _check.path("wire_trace", wire_trace)
        if _check.text("on_gap", on_gap) not in ("warn", "raise", "ignore"):
            raise ValueError(f"on_gap {on_gap!r} refused; allowed: 'warn', 'raise', 'ignore'")
        if seconds is not None and not 0 < seconds <= 4_000_000:
            raise ValueError(f"seconds {seconds!r} refused; allowed: above 0 up to 4000000")
        if scans is not None and scans < 1:
            raise ValueError(f"scans {scans!r} refused; allowed: 1 or more")
        if interval is not None and not (math.isfinite(interval) and interval > 0):
            raise ValueError(f"interval {interval!r} s refused; allowed: a number of seconds above 0")
        for name, text in (("comment", comment), ("description", description)):
            if len(text.encode()) > 511:
                raise ValueError(f"{name}: at most 511 characters")
        if log_dir is not None and not os.path.isdir(log_dir):
            raise ValueError(f"log_dir {log_dir!r} refused: not a directory")
        if codes is not None and self.scan_type == 0:
            raise ValueError("codes refused: a single-channel scan (scan_type 0) converts the polled channel, "
                             "the one last converted; leave codes out, or set scan_type to 1 or 2")
        self._check_idle("start a scan")
        # From here on: the channel codes' setter may sign on.
        if wire_trace is not None and not self._lib.EX_SetWireTrace(os.path.abspath(wire_trace).encode()):
            raise ValueError(f"wire_trace {wire_trace!r} refused: the file cannot be created")
        scan_type = self.scan_type
        if scan_type == 0:
            # A single-channel scan converts the polled channel: one value.
            main, sub = ctypes.c_uint8(), ctypes.c_uint8()
            self._lib.EX_GetPolledModeChan(ctypes.byref(main), ctypes.byref(sub))
            single = [NOT_SCANNED] * 6
            single[min(main.value, 5)] = sub.value * 17
            codes = check_codes(single)
        if codes is not None and codes != self.channel_codes:
            self.channel_codes = codes
        wanted: Union[float, str] = "min" if interval is None else interval
        if wanted != self._requested_interval:
            if interval is None:
                self._lib.EX_SetToMinScanInterval()
                self._settings_changed()
            else:
                self.interval = interval
            self._requested_interval = wanted
        # The instrument takes the interval at its sign-on.
        self._ensure_signed_on()
        lib = self._lib
        lib.EX_SetDataLogOptions(2 | (1 if log_file else 0), 0, 0)
        lib.EX_SetLengthOfRunMs(int(round(seconds * 1000)) if seconds else 0)
        lib.EX_AddLogFileComment(comment.encode())
        lib.EX_SetExperimentName((description or "none").encode())
        channels: List[Any] = list(channels_of(self.channel_codes))
        if scan_type == 2:
            channels += ["offset", "fullscale"]
        if self._run is not None:
            self._run._keep_account()  # the library's account of a run lasts until the next start
        run = ScanRun(self, channels, self.interval, seconds, scans, log_file, log_dir, on_gap, wire_trace is not None)
        self._run = run
        run._start()
        return run
