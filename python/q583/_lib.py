"""Loading of the Q583_SP library and the signatures of its exports."""

from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path
from typing import Any, Callable, Dict, List, Optional, Tuple

from .errors import LibraryNotFoundError

__all__ = ["library", "MessageBoxHandler", "BeepHandler", "library_file_names", "RunSummaryStruct", "GapStruct"]

_WINDOWS = sys.platform == "win32"
# The exports use the platform's standard call on 32-bit Windows.
_FUNCTYPE = ctypes.WINFUNCTYPE if _WINDOWS else ctypes.CFUNCTYPE  # type: ignore[attr-defined]

#: Message box handler: text, caption, Win32 style bits -> 1 (OK) or 2 (Cancel).
MessageBoxHandler = _FUNCTYPE(ctypes.c_int, ctypes.c_char_p, ctypes.c_char_p, ctypes.c_uint32)
#: Beep handler: frequency in Hz, length in ms.
BeepHandler = _FUNCTYPE(None, ctypes.c_uint32, ctypes.c_uint32)



class RunSummaryStruct(ctypes.Structure):
    """The library's ``Q583RunSummary``: a run's account (``size`` first,
    set to the struct's size by the caller)."""

    _fields_ = [
        ("size", ctypes.c_uint32),
        ("endReason", ctypes.c_uint32),
        ("scansSent", ctypes.c_uint64),
        ("scansTaken", ctypes.c_uint64),
        ("scansStored", ctypes.c_uint64),
        ("scansHandedOut", ctypes.c_uint64),
        ("lostOverrun", ctypes.c_uint64),
        ("lostFrameFault", ctypes.c_uint64),
        ("lostLineLost", ctypes.c_uint64),
        ("lostQueueOverflow", ctypes.c_uint64),
        ("lostRunEnded", ctypes.c_uint64),
        ("notStored", ctypes.c_uint64),
        ("startTime", ctypes.c_double),
        ("endTime", ctypes.c_double),
        ("longestDelay", ctypes.c_double),
        ("running", ctypes.c_uint32),
        ("logLimitReached", ctypes.c_uint32),
        ("gapCount", ctypes.c_uint32),
        ("endCall", ctypes.c_char * 36),
    ]


class GapStruct(ctypes.Structure):
    """The library's ``Q583Gap``: missing scan numbers and their cause."""

    _fields_ = [("first", ctypes.c_uint64), ("count", ctypes.c_uint64), ("cause", ctypes.c_uint32),
                ("reserved", ctypes.c_uint32)]


# Q583_GAP_*: the causes of a gap.
GAP_OVERRUN, GAP_FRAME_FAULT, GAP_LINE_LOST, GAP_QUEUE_OVERFLOW, GAP_RUN_ENDED, GAP_NOT_STORED = range(1, 7)
# Q583_END_*: how a run ended.
(END_RUNNING, END_HOST, END_TIMED, END_MEMORY_FULL, END_FRAME_ERROR, END_LINE_LOST, END_QUEUE_OVERFLOW,
 END_AT_ONCE, END_UNLOAD) = range(9)

_u8, _u16, _u32, _i32, _dbl = ctypes.c_uint8, ctypes.c_uint16, ctypes.c_uint32, ctypes.c_int32, ctypes.c_double
_P = ctypes.POINTER
_str = ctypes.c_char_p

# Every export: name -> argument types.  All return a one-byte boolean
# except DllEntryPoint (int32).
_SIGNATURES: Dict[str, Tuple[Any, ...]] = {
    # device record, interval, configuration file
    "EX_SetDevToDefaultSetup": (),
    "EX_SetModel": (_P(ctypes.c_int16),),
    "EX_GetScanInterval": (_P(_dbl),),
    "EX_GetScanIntervalMinMax": (_P(_dbl), _P(_dbl)),
    "EX_SetToMinScanInterval": (),
    "EX_SetToMaxScanInterval": (),
    "EX_SetToUserScanInterval": (_P(_dbl),),
    "EX_SetDevToIniSetup": (),
    "EX_WriteCurrentConfigToIniFile": (),
    # settings
    "EX_GetMultiChanScanChanCodes": (_P(_u8),) * 7,
    "EX_SetMultiChanScanChanCodes": (_u8,) * 6 + (_u32,),
    "EX_SetSingleChanScanChanCode": (_u8,),
    "EX_GetSingleChanScanChanCode": (_P(_u8),),
    "EX_GetScanType": (_P(_u8),),
    "EX_SetScanType": (_u8,),
    "EX_GetDataLogOptions": (_P(_u32), _P(_u32), _u32),
    "EX_SetDataLogOptions": (_u32, _u32, _u32),
    "EX_SetCOMport": (_u8,),
    "EX_GetCOMport": (_P(_u8),),
    "EX_SetGain": (_u8,),
    "EX_GetGain": (_P(_u8),),
    "EX_SetRemoteAverage": (_u16,),
    "EX_GetRemoteAverage": (_P(_u16),),
    "EX_SetPolarity": (_u8,),
    "EX_GetPolarity": (_P(_u8),),
    "EX_SetFilter": (_u8,),
    "EX_GetFilter": (_P(_u8),),
    "EX_GetPolledModeChan": (_P(_u8), _P(_u8)),
    "EX_SetRate": (_dbl,),
    "EX_GetRate": (_P(_dbl),),
    # setup report, packets, sign-on
    "EX_ShowDevSetupInfo_MsgBox": (),
    "EX_ShowDevSetupInfo_WriteToFile": (),
    "DLL_SendPacket": (_u32, _u32),
    "EX_InitDev": (),
    # direct operations
    "EX_SendDigout": (_u8,),
    "EX_SendDigoutWScan": (_u8, _P(_u8)),
    "EX_GetDigin": (_P(_u8),),
    "EX_GetOneConversion": (_P(_dbl),),
    "EX_SystemCalibration": (),
    "EX_FullScaleCalibration": (),
    "EX_OffsetCalibration": (),
    "EX_SetDiginScan": (_u8,),
    "EX_GetDiginWScan": (_P(_u8),),
    "EX_Standby": (_u8,),
    "EX_Sleep": (_u8,),
    "EX_SetPolledModeChan": (_u8, _u8),
    "EX_Reset": (),
    # scanning
    "EX_StartScan": (),
    "EX_StartScan_NoSysCal": (),
    "SetDigOutPriorityOption": (_u8,),
    # The value arrays are passed as plain addresses (numpy buffers).
    "EX_GetScanDataDbl": (ctypes.c_void_p, _u32, _P(_i32), _P(_i32), _P(_u8)),
    "EX_GetScanDataInt": (ctypes.c_void_p, _u32, _P(_i32), _P(_i32), _P(_u8)),
    "EX_EndScan": (),
    "EX_Run": (),
    "EX_Stop": (),
    "EX_CheckRun": (),
    # timed runs, beep, scan log texts, debug logs
    "EX_SetLengthOfRunMs": (_u32,),
    "EX_SetLengthOfRunSec": (_u32,),
    "EX_SetRunEndBeepOptions": (_u8, _u32, _u32, _u32, _u32),
    "EX_StopRunEndBeep": (),
    "EX_SetExperimentName": (_str,),
    "EX_AddLogFileComment": (_str,),
    "EX_DoVexDbgNew": (_u8,),
    "EX_DoScanDebug": (_u8,),
    "EX_DoDebugNorm": (_u8,),
    "DllEntryPoint": (ctypes.c_void_p, _u32, ctypes.c_void_p),
    # extensions
    "EX_SetMessageBoxHandler": (MessageBoxHandler,),
    "EX_SetCOMportDevice": (_u8, _str),
    "EX_SetBeepHandler": (BeepHandler,),
    "EX_GetScanOverrunCount": (_P(_u32),),
    "EX_SetIniDirectory": (_str,),
    "EX_SetIniWriteEnabled": (_u8,),
    "EX_SetScanLogDirectory": (_str,),
    "EX_SetWireTrace": (_str,),
    "EX_ClosePort": (),
    "EX_GetErrorType": (_P(_i32), _P(ctypes.c_char), _u32),
    # values (volts), counts, numbers (uint64), times: addresses, each may be null
    "EX_GetNumberedScanData": (ctypes.c_void_p,) * 4 + (_u32, _P(_i32), _P(_i32), _P(_u8)),
    "EX_GetRunSummary": (_P(RunSummaryStruct),),
    "EX_GetRunGaps": (_P(GapStruct), _u32, _P(_u32)),
}

_lock = threading.Lock()
_library: Optional[ctypes.CDLL] = None


def library_file_names() -> List[str]:
    """File names the library goes by on this platform."""
    if _WINDOWS:
        return ["Q583_SP.dll"]
    if sys.platform == "darwin":
        return ["libQ583_SP.dylib"]
    return ["libQ583_SP.so", "libQ583_SP.so.10"]


def _declare(lib: ctypes.CDLL) -> ctypes.CDLL:
    for name, argtypes in _SIGNATURES.items():
        function = getattr(lib, name)
        function.argtypes = list(argtypes)
        function.restype = ctypes.c_int32 if name == "DllEntryPoint" else ctypes.c_uint8
    return lib


def _shadowed(package_dir: Path) -> List[str]:
    """Other copies of the package on sys.path, hidden behind this one."""
    here = package_dir.resolve()
    copies: List[str] = []
    for entry in sys.path:
        candidate = Path(entry or os.getcwd()) / package_dir.name
        try:
            if (candidate / "__init__.py").is_file() and candidate.resolve() != here:
                copies.append(str(candidate))
        except OSError:
            continue
    return list(dict.fromkeys(copies))


def _load(env: Optional[str], package_dir: Path, loader: Callable[[str], ctypes.CDLL]) -> ctypes.CDLL:
    tried: List[str] = []

    def attempt(path: str, where: str) -> Optional[ctypes.CDLL]:
        try:
            return loader(path)
        except OSError as error:
            tried.append(f"{where}: {path} ({error})")
            return None

    if env:
        # An explicit choice is final: no other copy is taken in its place.
        candidates = [str(Path(env) / n) for n in library_file_names()] if Path(env).is_dir() else [env]
        for path in candidates:
            lib = attempt(path, "Q583_SP_LIBRARY")
            if lib is not None:
                return lib
    else:
        for name in library_file_names():
            beside = package_dir / name
            if beside.exists():
                lib = attempt(str(beside), "beside the package")
                if lib is not None:
                    return lib
            else:
                tried.append(f"beside the package: {beside} (no such file)")
        names = library_file_names()
        found = ctypes.util.find_library("Q583_SP")
        if found and found not in names:
            names.append(found)
        for name in names:
            lib = attempt(name, "system loader")
            if lib is not None:
                return lib
    shadowed = _shadowed(package_dir) if not env else []
    raise LibraryNotFoundError(
        "the Q583_SP library was not found; tried:\n  " + "\n  ".join(tried)
        + "\nSet Q583_SP_LIBRARY to the library file, put it beside the q583 package, "
        "or install it where the system loader finds it."
        + (f"\nThis q583 is {package_dir}, which comes first on sys.path (Python started in the "
           "directory that holds it, such as the source tree's python/, imports that copy) and hides "
           "another: " + ", ".join(shadowed) + ".  Start Python in another directory to use that one."
           if shadowed else "")
    )


def library() -> ctypes.CDLL:
    """The loaded library with every export declared (loaded on first use).

    Looked for in this order: the file (or directory) named by the
    environment variable ``Q583_SP_LIBRARY`` (when set, nothing else is
    tried), the package's own directory, then the system loader.

    Raises:
        LibraryNotFoundError: naming every place that was tried.
    """
    global _library
    with _lock:
        if _library is None:
            loader: Callable[[str], ctypes.CDLL] = ctypes.WinDLL if _WINDOWS else ctypes.CDLL  # type: ignore[attr-defined]
            _library = _declare(_load(os.environ.get("Q583_SP_LIBRARY"), Path(__file__).parent, loader))
        return _library
