"""The simulated instrument: the q583-sim program on a pseudo-terminal."""

from __future__ import annotations

import ctypes
import numbers
import os
import shutil
import signal
import subprocess
import sys
import weakref
from typing import Any, Callable, List, Mapping, Optional, Sequence, Tuple, Union

import numpy as np

from . import _check
from .errors import SimulatorError, SimulatorNotFoundError

__all__ = ["Simulator"]

SignalSpec = Union[float, str, Sequence[Any]]
ChannelKey = Union[int, Tuple[int, int]]


def _parent_death_hook() -> Optional[Callable[[], None]]:
    """On Linux, what the child runs before exec so that the kernel sends it
    SIGTERM when its parent dies, even by SIGKILL (prctl PR_SET_PDEATHSIG).
    Looked up here, not in the child, which should call no more than it must
    between fork and exec."""
    if not sys.platform.startswith("linux"):
        return None
    try:
        prctl = ctypes.CDLL(None, use_errno=True).prctl
    except (OSError, AttributeError):
        return None
    pr_set_pdeathsig = 1
    parent = os.getpid()

    def hook() -> None:
        prctl(pr_set_pdeathsig, int(signal.SIGTERM), 0, 0, 0)
        if os.getppid() != parent:  # the parent died before the call
            os._exit(1)

    return hook


def _end(process: subprocess.Popen[str]) -> None:
    """Stops the program: SIGTERM, then SIGKILL after 5 s."""
    if process.poll() is None:
        process.terminate()
        try:
            process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    for stream in (process.stdout, process.stderr):
        if stream:
            stream.close()


def _signal_option(key: ChannelKey, spec: SignalSpec) -> str:
    # Numpy scalars pass wherever Python numbers do, as everywhere in the package.
    if isinstance(key, (tuple, list)) and len(key) == 2:
        main, sub = _check.integer("channel", key[0]), _check.integer("sub-channel", key[1])
    else:
        main, sub = _check.integer("channel", key), 0
    if isinstance(spec, numbers.Real) and not isinstance(spec, (bool, np.bool_)):
        fields: List[Any] = ["constant", float(spec)]
    elif isinstance(spec, str):
        fields = [spec, 0]
    elif isinstance(spec, (Sequence, np.ndarray)) and len(spec) > 0:
        fields = [spec[0], *(_check.real(f"signal of {main}-{sub}", f) for f in spec[1:])]
    else:
        fields = []
    if not fields or fields[0] not in ("constant", "sine", "ramp", "noise"):
        raise ValueError(f"signal {spec!r}: a number (volts) or (kind, offset[, amplitude[, period]]) "
                         "with kind constant, sine, ramp or noise")
    return "--signal=" + ":".join(str(f) for f in [main, sub, *fields])


class Simulator:
    """Runs ``q583-sim`` (from PATH) as a context manager; :attr:`port` is the
    device to open with :class:`Q583`.

    Args:
        signals: inputs by channel: key ``main`` or ``(main, sub)``; value a
            number of volts (constant), or ``(kind, offset[, amplitude[,
            period]])`` with kind ``"constant"``, ``"sine"``, ``"ramp"`` or
            ``"noise"`` (volts, seconds).  Unset inputs read 0 V.
        program: the simulator program (default: ``q583-sim`` from PATH).
        **options: further options of ``q583-sim`` (see ``q583-sim
            --help``), underscores for dashes: ``True`` for a flag, a list
            for a repeatable option; ``pacing=False`` is ``--no-pacing``.
            Faults, e.g. ``no_wake_reply=True``,
            ``frame_fault=["marker:3"]``, ``command_fault="0x81:noreply"``.

    Raises:
        SimulatorNotFoundError: no ``q583-sim`` on PATH (and no program
            given).
        SimulatorError: from :meth:`start`, the program did not start.

    The program dies with the process that started it: when this object is
    collected or the interpreter exits, and on Linux also when the process
    is killed (the kernel's parent-death signal, which follows the thread
    that called :meth:`start`: start it from a thread that lives as long as
    the simulator is needed).  It runs in a session of its own, so that
    Ctrl-C or a notebook's interrupt reaches the Python code only.

    Example::

        with Simulator({0: ("sine", 0, 2, 4), (1, 2): 1.5}) as sim, Q583(sim) as dev:
            print(dev.convert(1, 2))
    """

    def __init__(self, signals: Optional[Mapping[ChannelKey, SignalSpec]] = None, program: Optional[str] = None,
                 **options: Any) -> None:
        found = program or shutil.which("q583-sim")
        if not found:
            raise SimulatorNotFoundError(
                "q583-sim not found on PATH: install the q583-tools package (it has q583-sim), or build it "
                "(cmake --build BUILD --target q583-sim) and put BUILD/sim on PATH")
        self.args: List[str] = [found]
        for key, spec in (signals or {}).items():
            self.args.append(_signal_option(key, spec))
        for name, value in options.items():
            if name == "pacing":
                if not value:
                    self.args.append("--no-pacing")
                continue
            flag = "--" + name.replace("_", "-")
            for item in value if isinstance(value, (list, tuple)) else [value]:
                if item is True:
                    self.args.append(flag)
                elif item is not False and item is not None:
                    self.args.append(f"{flag}={item}")
        self._process: Optional[subprocess.Popen[str]] = None
        self._finalizer: Optional[weakref.finalize] = None
        self.port: str = ""

    @property
    def pid(self) -> Optional[int]:
        """Process id of the running program, or ``None``."""
        return self._process.pid if self._process is not None else None

    def start(self) -> "Simulator":
        """Starts the program and reads its device path (what ``with`` does)."""
        if self._process is not None:
            return self
        # A session of its own: an interrupt meant for this process (a
        # notebook interrupts the kernel's whole process group) does not
        # reach the program; it still dies with this process.
        process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True, preexec_fn=_parent_death_hook(),
                                   start_new_session=True)
        # Collected or at exit, the program goes with this object.
        finalizer = weakref.finalize(self, _end, process)
        line = process.stdout.readline().strip() if process.stdout else ""
        if not line:
            process.wait()
            error = process.stderr.read().strip() if process.stderr else ""
            finalizer()
            raise SimulatorError(f"q583-sim did not start: {error or 'no device path printed'}")
        self._process, self._finalizer, self.port = process, finalizer, line
        return self

    def stop(self) -> None:
        """Stops the program (a second call does nothing)."""
        if self._finalizer is not None:
            self._finalizer()
        self._process, self._finalizer, self.port = None, None, ""

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"Simulator(port={self.port!r})"
