"""Finding the instrument's port: the machine's serial ports, and a probe
that asks a port whether the instrument is on it.

Example::

    import q583

    for port in q583.list_ports():
        print(port.device, port.by_id, port.usb_id, port.product)
    with q583.Q583(q583.find_instrument()) as dev:
        ...

On Linux the ports come from sysfs (``/sys/class/tty``) with their
``/dev/serial/by-id/`` links and, for USB adapters, the USB identity; on
Windows the port names come from the registry (``HARDWARE\\DEVICEMAP\\SERIALCOMM``).

:func:`probe_port` and :func:`find_instrument` WRITE TO each port they try:
the wake-up byte of the sign-on (0x00 at 300 baud), and once more when the
first goes unanswered (an instrument left at a session's faster rate takes
the first for a break back to 300 baud), so at most two bytes.  They open
the port exclusively, skip a busy one, wait at most ``timeout`` seconds in
all for the answer and restore the port's line settings.  :func:`list_ports` opens
nothing.  Probing is for Linux (and other POSIX systems).
"""

import dataclasses
import errno
import os
import re
import sys
import time
from typing import Dict, List, Optional, Sequence, Tuple

from .errors import Q583Error

__all__ = ["PortInfo", "PortSearchError", "list_ports", "probe_port", "find_instrument"]

WAKE_BYTE = b"\x00"
WAKE_REPLY = 0x03
#: Wake-up bytes a probe writes at most: the first may only take the
#: instrument back to 300 baud from a session's rate.
WAKE_TRIES = 2


@dataclasses.dataclass(frozen=True)
class PortInfo:
    """A serial port and what is known of it ("" where nothing is)."""

    device: str                 # /dev/ttyUSB0, COM3
    path: str = ""              # what is opened: the device, under the root given to list_ports
    by_id: str = ""             # its /dev/serial/by-id/ link
    vendor_id: str = ""         # USB adapters: 4 hex digits
    product_id: str = ""
    manufacturer: str = ""
    product: str = ""
    serial: str = ""
    driver: str = ""            # ftdi_sio, cdc_acm, serial8250, ...

    @property
    def usb_id(self) -> str:
        """``"VID:PID"`` of a USB adapter, else ``""``."""
        return f"{self.vendor_id}:{self.product_id}" if self.vendor_id else ""


class PortSearchError(Q583Error):
    """:func:`find_instrument` found no port, or more than one, where the
    instrument answers.

    Attributes:
        tried: each port tried and its outcome (``"instrument"``,
            ``"no answer"``, ``"busy"`` or ``"failed: ..."``).
    """

    def __init__(self, message: str, tried: Dict[str, str]) -> None:
        super().__init__(message)
        self.tried = tried


def _attribute(path: str) -> str:
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.readline().strip()
    except OSError:
        return ""


def _link_name(path: str) -> str:
    try:
        return os.path.basename(os.readlink(path))
    except OSError:
        return ""


def _device_order(port: PortInfo) -> Tuple[str, int]:
    match = re.match(r"(.*?)(\d*)$", port.device)
    assert match is not None  # the pattern matches every name
    return match.group(1), int(match.group(2)) if match.group(2) else -1


def _list_windows() -> List[PortInfo]:
    if sys.platform != "win32":  # (tells a type checker where winreg exists)
        return []
    import winreg  # pylint: disable=import-outside-toplevel,import-error
    ports: List[PortInfo] = []
    try:
        key = winreg.OpenKey(winreg.HKEY_LOCAL_MACHINE, r"HARDWARE\DEVICEMAP\SERIALCOMM")
    except OSError:
        return ports
    with key:
        index = 0
        while True:
            try:
                _, value, _ = winreg.EnumValue(key, index)
            except OSError:
                break
            ports.append(PortInfo(device=str(value), path=str(value)))
            index += 1
    return sorted(ports, key=_device_order)


def list_ports(root: Optional[str] = None) -> List[PortInfo]:
    """The serial ports of the machine in device order.

    On Linux they are read from ROOT/sys/class/tty and ROOT/dev/serial/by-id,
    each to be opened as ROOT/dev/NAME; ROOT is ``root``, else
    ``$Q583_PORTS_ROOT``, else ``/`` (tests give a tree of their own).
    Virtual terminals, pseudo-terminals and UART slots that hold no UART
    are left out by what sysfs says of them.  No port is opened.
    """
    if sys.platform == "win32" and root is None:
        return _list_windows()
    root = root or os.environ.get("Q583_PORTS_ROOT") or "/"
    by_id = {}
    by_id_dir = os.path.join(root, "dev/serial/by-id")
    if os.path.isdir(by_id_dir):
        for name in os.listdir(by_id_dir):
            try:
                target = os.readlink(os.path.join(by_id_dir, name))
            except OSError:
                continue
            by_id[os.path.normpath(os.path.join("/dev/serial/by-id", target))] = "/dev/serial/by-id/" + name
    devices_root = os.path.realpath(os.path.join(root, "sys/devices"))
    class_dir = os.path.join(root, "sys/class/tty")
    ports = []
    for name in (os.listdir(class_dir) if os.path.isdir(class_dir) else []):
        tty = os.path.join(class_dir, name)
        if not os.path.exists(os.path.join(tty, "device")):
            continue  # virtual terminals, the console, pseudo-terminals
        if _attribute(os.path.join(tty, "type")) == "0":
            continue  # a UART slot with no UART behind it
        device = os.path.realpath(os.path.join(tty, "device"))
        # Newer kernels put a port and a controller device of their own
        # ("serial-base") between a UART and its tty.
        while _link_name(os.path.join(device, "subsystem")) == "serial-base":
            device = os.path.dirname(device)
        usb = {}
        walk = device
        while walk.startswith(devices_root) and walk != devices_root:
            if os.path.exists(os.path.join(walk, "idVendor")):
                usb = {key: _attribute(os.path.join(walk, file)) for key, file in (
                    ("vendor_id", "idVendor"), ("product_id", "idProduct"), ("manufacturer", "manufacturer"),
                    ("product", "product"), ("serial", "serial"))}
                break
            walk = os.path.dirname(walk)
        ports.append(PortInfo(device="/dev/" + name, path=os.path.join(root, "dev", name),
                              by_id=by_id.get("/dev/" + name, ""), driver=_link_name(os.path.join(device, "driver")),
                              **usb))
    return sorted(ports, key=_device_order)


def _answered(fd: int, deadline: float) -> bool:
    """Whether the wake-up reply arrives at fd before the deadline."""
    import select  # pylint: disable=import-outside-toplevel
    while True:
        left = deadline - time.monotonic()
        if left <= 0:
            return False
        readable, _, _ = select.select([fd], [], [], left)
        if not readable:
            continue
        try:
            data = os.read(fd, 64)
        except BlockingIOError:
            continue
        if WAKE_REPLY in data:
            return True
        if not data:
            return False


def probe_port(device: str, timeout: float = 0.7) -> str:
    """Asks the port whether the instrument is on it; writes the wake-up
    byte, at most :data:`WAKE_TRIES` times, and waits ``timeout`` seconds in
    all.  Returns ``"instrument"``, ``"no answer"``, ``"busy"`` or
    ``"failed: <why>"``."""
    import fcntl  # pylint: disable=import-outside-toplevel
    import termios  # pylint: disable=import-outside-toplevel
    try:
        fd = os.open(device, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    except OSError as e:
        return "busy" if e.errno == errno.EBUSY else f"failed: {e.strerror}"
    try:
        if not os.isatty(fd):
            return "failed: not a serial port"
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)  # the library's lock: someone has the port
        except OSError:
            return "busy"
        saved = termios.tcgetattr(fd)
        try:
            fcntl.ioctl(fd, termios.TIOCEXCL)
        except OSError:
            pass
        try:
            iflag, oflag, cflag, lflag, _, _, cc = saved
            cc = list(cc)
            cc[termios.VMIN] = 0
            cc[termios.VTIME] = 0
            cflag = (cflag & ~(termios.CSIZE | termios.PARENB | termios.CSTOPB | termios.CRTSCTS)
                     ) | termios.CS8 | termios.CLOCAL | termios.CREAD
            iflag &= ~(termios.IXON | termios.IXOFF | termios.IXANY | termios.ICRNL | termios.INLCR
                       | termios.IGNCR | termios.ISTRIP | termios.BRKINT | termios.PARMRK | termios.INPCK)
            lflag &= ~(termios.ECHO | termios.ECHONL | termios.ICANON | termios.ISIG | termios.IEXTEN)
            oflag &= ~termios.OPOST
            termios.tcsetattr(fd, termios.TCSANOW,
                              [iflag, oflag, cflag, lflag, termios.B300, termios.B300, cc])
            # Both queues emptied, as the library does after every open.
            termios.tcflush(fd, termios.TCIOFLUSH)
            # An instrument left at a session's faster rate takes the first
            # byte for a break, drops back to 300 baud and answers only the
            # next: as the sign-on does, an unanswered wake-up is sent again.
            start = time.monotonic()
            for attempt in range(1, WAKE_TRIES + 1):
                os.write(fd, WAKE_BYTE)
                if _answered(fd, start + timeout * attempt / WAKE_TRIES):
                    return "instrument"
            return "no answer"
        except OSError as e:
            return f"failed: {e.strerror}"
        finally:
            # The bytes have left (33 ms each at 300 baud; each wait is
            # longer or ended with the answer): the old settings can return.
            termios.tcsetattr(fd, termios.TCSANOW, saved)
            try:
                fcntl.ioctl(fd, termios.TIOCNXCL)
            except OSError:
                pass
    finally:
        os.close(fd)


def find_instrument(ports: Optional[Sequence[str]] = None, timeout: float = 0.7) -> str:
    """The one port where the instrument answers a probe, among ``ports``
    (default: every port of :func:`list_ports`).  Raises
    :class:`PortSearchError`, naming the ports tried, when none or more than
    one answers.  Writes the wake-up byte (at most twice) to each port it
    tries."""
    if ports is None:
        ports = [port.path or port.device for port in list_ports()]
    if not ports:
        raise PortSearchError("no serial ports found", {})
    tried = {port: probe_port(port, timeout) for port in ports}
    found = [port for port, outcome in tried.items() if outcome == "instrument"]
    if len(found) == 1:
        return found[0]
    listing = ", ".join(f"{port} ({outcome})" for port, outcome in tried.items())
    if not found:
        raise PortSearchError(f"the instrument answered on no port; tried {listing}", tried)
    raise PortSearchError(f"more than one port answered as the instrument; tried {listing}", tried)
