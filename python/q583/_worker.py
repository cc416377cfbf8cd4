"""The library in a worker process, for an instrument beside the one this
process drives: the library drives one instrument per process.

:class:`RemoteLibrary` stands for the loaded library in :class:`Q583` and
:class:`ScanRun`, so that their code, checks and exceptions are the same
for both.  Each export call goes over a pipe with its by-reference values,
and comes back with them updated and with the message boxes the call
raised; scan data come back as one block of counts, numbers and times per
call."""

from __future__ import annotations

import ctypes
import os
import socket
import subprocess
import sys
import threading
from multiprocessing.connection import Connection
from pathlib import Path
from typing import TYPE_CHECKING, Any, Callable, Dict, List, Optional, Sequence, Tuple

import numpy as np

from ._lib import MessageBoxHandler, library
from .errors import NoAnswerError, Q583Error

if TYPE_CHECKING:
    from numpy.typing import NDArray

__all__ = ["RemoteLibrary"]

_BY_REFERENCE = type(ctypes.byref(ctypes.c_int()))
_OK_CANCEL, _BOX_OK, _BOX_CANCEL = 0x1, 1, 2


def serve(fd: int) -> None:
    """The worker: runs the export calls that arrive on the socket fd until
    the host closes it (or ends)."""
    conn = Connection(fd)
    lib = library()
    boxes: List[Tuple[bytes, bytes, int]] = []

    def on_box(text: Optional[bytes], caption: Optional[bytes], style: int) -> int:
        boxes.append((text or b"", caption or b"", style))
        # As the host's device answers: a box that asks is cancelled.
        return _BOX_CANCEL if style & 0xF == _OK_CANCEL else _BOX_OK

    handler = MessageBoxHandler(on_box)
    # Room for the scan data asked for, grown as needed.
    room: Dict[str, "NDArray[Any]"] = {"counts": np.empty(0, dtype=np.int32), "numbers": np.empty(0, dtype=np.uint64),
            "times": np.empty(0, dtype=np.float64)}
    while True:
        try:
            name, args, cwd = conn.recv()
        except (EOFError, OSError):
            return
        function = getattr(lib, name)
        refs: List[Any] = []  # what the call writes back: cells and buffers, in order
        call_args: List[Any] = []
        for position, (kind, value) in enumerate(args):
            if kind == "value":
                call_args.append(value)
            elif kind in room:
                if room[kind].size < value:
                    room[kind] = np.empty(value, dtype=room[kind].dtype)
                call_args.append(room[kind].ctypes.data)
            elif kind == "buffer":  # a struct or an array, as its bytes
                buffer = ctypes.create_string_buffer(value, len(value))
                refs.append(buffer)
                call_args.append(ctypes.cast(buffer, function.argtypes[position]))
            else:
                cell = getattr(ctypes, kind)(value)
                refs.append(cell)
                call_args.append(ctypes.byref(cell))
        if name == "EX_SetMessageBoxHandler":
            call_args = [handler if call_args[0] else MessageBoxHandler()]
        home = os.getcwd() if cwd else None
        try:
            if cwd:
                os.chdir(cwd)  # the scan log is named in the current directory
            result = function(*call_args)
        except Exception as error:  # pylint: disable=broad-except - reported to the host
            conn.send((None, [], [], f"{name}: {type(error).__name__}: {error}"))
            continue
        finally:
            if home is not None:
                os.chdir(home)
        block: Tuple[bytes, ...] = ()
        if name == "EX_GetNumberedScanData" and result:
            scans = refs[0].value
            per = args[1][1] // max(1, args[4][1])  # values asked for / scans asked for
            block = (room["counts"][: scans * per].tobytes(), room["numbers"][:scans].tobytes(),
                     room["times"][:scans].tobytes())
        conn.send((result, [ref.raw if isinstance(ref, ctypes.Array) else ref.value for ref in refs], boxes[:],
                   block))
        boxes.clear()


class RemoteLibrary:
    """The library of a worker process, called as the loaded library is.

    Args:
        label: what the process is for (the port), for its name and messages.
    """

    def __init__(self, label: str) -> None:
        ours, theirs = socket.socketpair()
        # The same package and library file as here.  A session of its own:
        # an interrupt is for the host's Python code (a notebook interrupts
        # its whole process group); the worker ends when the host closes
        # the socket, or ends.
        env = dict(os.environ, Q583_SP_LIBRARY=str(library()._name),
                   PYTHONPATH=os.pathsep.join([str(Path(__file__).resolve().parent.parent),
                                               os.environ.get("PYTHONPATH", "")]))
        self._process = subprocess.Popen(
            [sys.executable, "-c", f"from q583._worker import serve; serve({theirs.fileno()})"],
            pass_fds=[theirs.fileno()], env=env, stdin=subprocess.DEVNULL, start_new_session=True)
        theirs.close()
        self._conn = Connection(ours.detach())
        self._label = label
        self._lock = threading.Lock()
        self._box_handler: Optional[Callable[..., Any]] = None

    def __getattr__(self, name: str) -> Callable[..., int]:
        if not name.startswith(("EX_", "DLL_", "SetDigOut")):
            raise AttributeError(name)
        return lambda *args: self._call(name, args)

    def _call(self, name: str, args: Tuple[Any, ...]) -> int:
        if name == "EX_SetMessageBoxHandler":
            self._box_handler = args[0] if args[0] else None
            return self._send(name, [("value", bool(args[0]))], [])
        wire: List[Tuple[str, Any]] = []
        refs = []
        for arg in args:
            cell = getattr(arg, "_obj") if isinstance(arg, _BY_REFERENCE) else arg  # what byref() was given
            if isinstance(cell, (ctypes.Structure, ctypes.Array)):  # a struct or an array: its bytes
                wire.append(("buffer", bytes(cell)))
                refs.append(cell)
            elif cell is not arg:
                wire.append((type(cell).__name__, cell.value))
                refs.append(cell)
            else:
                wire.append(("value", arg))
        return self._send(name, wire, refs)

    def get_numbered(self, counts: "NDArray[np.int32]", numbers: "NDArray[np.uint64]",
                     times: "NDArray[np.float64]", scans: int, refs: Tuple[Any, ...]) -> int:
        """EX_GetNumberedScanData into counts (scans x values), numbers and
        times (scans each); no volts."""
        cells = [getattr(ref, "_obj") for ref in refs]
        wire = [("value", None), ("counts", counts.size), ("numbers", scans), ("times", scans),
                ("value", scans)] + [(type(cell).__name__, cell.value) for cell in cells]
        return self._send("EX_GetNumberedScanData", wire, cells, (counts, numbers, times))

    def _send(self, name: str, wire: List[Tuple[str, Any]], refs: List[Any],
              into: Sequence["NDArray[Any]"] = ()) -> int:
        cwd = os.getcwd() if name.startswith("EX_StartScan") else None
        with self._lock:
            try:
                self._conn.send((name, wire, cwd))
                result, values, boxes, block = self._conn.recv()
            except (EOFError, OSError) as error:
                raise NoAnswerError(f"the worker process of the Q583 on {self._label} has ended "
                                    f"(exit code {self._process.poll()})") from error
        if result is None:
            raise Q583Error(f"the worker process of the Q583 on {self._label} failed in {block}")
        for ref, value in zip(refs, values):
            if isinstance(ref, (ctypes.Structure, ctypes.Array)):
                ctypes.memmove(ctypes.addressof(ref), value, len(value))
            else:
                ref.value = value
        for array, data in zip(into, block):
            flat = array.reshape(-1)
            flat[: len(data) // array.itemsize] = np.frombuffer(data, dtype=array.dtype)
        if self._box_handler is not None:
            for text, caption, style in boxes:
                self._box_handler(text, caption, style)
        return int(result)

    @property
    def pid(self) -> Optional[int]:
        return self._process.pid

    def shut_down(self) -> None:
        """Ends the worker (its port was closed before); a second call does nothing."""
        self._conn.close()
        try:
            self._process.wait(5)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
