"""q583: the Q583 A/D instrument from Python, over the Q583_SP library.

Example::

    import q583

    with q583.Simulator({0: ("sine", 0, 2, 4)}) as sim, q583.Q583(sim) as dev:
        dev.gain = 1
        print(dev.convert(0, 0))                    # volts
        with dev.scan(codes=[0x00, 0x00], seconds=5) as run:
            data = run.read_all()                   # numpy array (scans, 2)
"""

from .device import AVERAGES, FILTERS_HZ, GAINS, NOT_SCANNED, SCAN_TYPES, Q583, close_all
from .errors import (ERROR_TYPES, LibraryNotFoundError, NoAnswerError, PortError, Q583Error, ScanError, ScanGap,
                     ScanGapError, ScanGapWarning, SimulatorError, SimulatorNotFoundError)
from ._lib import library
from .scan import RunSummary, ScanRun
from .scanlog import ScanLog, ScanLogError, Trailer, read_scan_log
from .simulator import Simulator
from .ports import PortInfo, PortSearchError, find_instrument, list_ports, probe_port

__all__ = [
    "Q583", "ScanRun", "RunSummary", "ScanGap", "Simulator", "read_scan_log", "ScanLog", "Trailer", "library", "close_all",
    "list_ports", "probe_port", "find_instrument", "PortInfo",
    "Q583Error", "LibraryNotFoundError", "PortError", "NoAnswerError", "ScanError", "ScanGapError", "ScanLogError",
    "ScanGapWarning",
    "PortSearchError", "SimulatorError", "SimulatorNotFoundError",
    "ERROR_TYPES", "GAINS", "AVERAGES", "FILTERS_HZ", "SCAN_TYPES", "NOT_SCANNED",
]
__version__ = "0.1.0"
