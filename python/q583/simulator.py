"""The simulated instrument: the q583-sim program on a pseudo-terminal."""

from __future__ import annotations

import shutil
import subprocess
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple, Union

__all__ = ["Simulator"]

SignalSpec = Union[float, str, Sequence[Any]]
ChannelKey = Union[int, Tuple[int, int]]


def _signal_option(key: ChannelKey, spec: SignalSpec) -> str:
    main, sub = (key, 0) if isinstance(key, int) else key
    if isinstance(spec, (int, float)):
        fields: List[Any] = ["constant", spec]
    elif isinstance(spec, str):
        fields = [spec, 0]
    else:
        fields = list(spec)
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

    Example::

        with Simulator({0: ("sine", 0, 2, 4), (1, 2): 1.5}) as sim, Q583(sim) as dev:
            print(dev.convert(1, 2))
    """

    def __init__(self, signals: Optional[Mapping[ChannelKey, SignalSpec]] = None, program: Optional[str] = None,
                 **options: Any) -> None:
        found = program or shutil.which("q583-sim")
        if not found:
            raise FileNotFoundError("q583-sim not found on PATH (build it: cmake --build BUILD --target q583-sim, "
                                    "and put BUILD/sim on PATH)")
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
        self._process: Optional[subprocess.Popen] = None
        self.port: str = ""

    def start(self) -> "Simulator":
        """Starts the program and reads its device path (what ``with`` does)."""
        process = subprocess.Popen(self.args, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.PIPE, text=True)
        line = process.stdout.readline().strip() if process.stdout else ""
        if not line:
            process.wait()
            error = process.stderr.read().strip() if process.stderr else ""
            raise RuntimeError(f"q583-sim did not start: {error or 'no device path printed'}")
        self._process, self.port = process, line
        return self

    def stop(self) -> None:
        """Stops the program."""
        if self._process is not None:
            self._process.terminate()
            try:
                self._process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self._process.kill()
                self._process.wait()
            for stream in (self._process.stdout, self._process.stderr):
                if stream:
                    stream.close()
            self._process = None

    def __enter__(self) -> "Simulator":
        return self.start()

    def __exit__(self, *exc: Any) -> None:
        self.stop()

    def __repr__(self) -> str:
        return f"Simulator(port={self.port!r})"
