// The operations that coordinate the device record, the wire and a run,
// behind their exports: each takes the run-control lock, ends or refuses a
// run as its export requires, and then talks to the instrument.
#pragma once

#include <cstdint>

// EX_InitDev: lazy initialisation; a running scan ends in order; sign-on,
// calibration, version and averaging; marks the instrument signed on.
bool InitDev();
// EX_SetDevToDefaultSetup: forgets the sign-on and applies the defaults (a
// run going on keeps the format of its start).
bool SetDevToDefaultSetup();
// EX_SetDevToIniSetup: stops a running scan (and an instrument a run left
// streaming), forgets the sign-on, applies the defaults and loads the file.
bool SetDevToIniSetup();
// EX_SetMultiChanScanChanCodes: stores and checks six codes, recounts, sets
// the minimal interval and signs on again.  False when the sign-on fails.
bool SetMultiChanScanChanCodes(const uint8_t codes[6]);
// EX_GetMultiChanScanChanCodes: signs on first when not signed on.
bool GetMultiChanScanChanCodes(uint8_t codes[6], uint8_t& count);
// EX_Run: a run going on ends at once, then EX_InitDev and EX_StartScan.
bool RunScan();
// EX_ClosePort: a run ends in order, then every port the library opened
// is closed.
bool ClosePort();
