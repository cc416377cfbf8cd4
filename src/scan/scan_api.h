// Scan start, end and retrieval as the exports use them.
#pragma once

#include <cstdint>

bool StartScan(bool withSystemCalibration);
bool EndScan();
bool SendScanStop();
bool RunScan();     // EX_Run
bool CheckRun();    // EX_CheckRun
// Volts into dblOut and raw counts into intOut, either of which may be null
// (wantDouble: the scan debug log traces the volts); numbers and times
// (either may be null) receive each scan's number in its run and the
// receive time of its frame.
bool LOCAL_GetScanData(bool wantDouble, double* dblOut, int32_t* intOut, uint32_t uiNumScansToReturn,
                       int32_t* returned, int32_t* unread, uint8_t* running, uint64_t* numbers = nullptr,
                       double* times = nullptr);
// The account of the current run, or of the last one ended; false before
// the first run.
bool CurrentRunFigures(struct RunFigures& figures, bool& running);
uint32_t ScanOverrunCount();

// Timed runs and beep.
bool SetLengthOfRunMs(uint32_t ms);
bool SetLengthOfRunSec(uint32_t sec);
bool SetRunEndBeepOptions(uint8_t enable, uint32_t hz, uint32_t ms, uint32_t intervalSec, uint32_t totalSec);
bool StopRunEndBeep();
// Ends the beep thread at once (unload, forced clean-up).
void TerminateBeepThreadAtOnce();
// Resets every scan global to its load state (library attach).
void ResetScanStateForLoad();
