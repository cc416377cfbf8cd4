// The operations that coordinate the record, the wire and a run.
#include "api/operations.h"

#include "device/config_file.h"
#include "device/q583.h"
#include "device/timing.h"
#include "link/given.h"
#include "link/serial.h"
#include "link/signon.h"
#include "scan/scan_api.h"
#include "scan/scan_run.h"

namespace {
uint8_t LowByte(int32_t value) { return static_cast<uint8_t>(value & 0xFF); }
}  // namespace

bool InitDev() {
  if (!LazyInit()) return false;
  RunControlLock runControl;
  // A running scan ends in order (its trailer included) before the sign-on.
  if (ScanRunning() && !OnScanThread()) StopRunningScan();
  savedChannel = Q583.channel;
  savedSubChan = Q583.subChan;
  if (!SignOnOutsideRun(true)) return false;
  fDevSignedOn = true;
  return true;
}

bool SetDevToDefaultSetup() {
  // The scan, if one runs, goes on with the format of its start: only the
  // settings and the sign-on state are reset.
  RunControlLock runControl;
  fDevSignedOn = false;
  return ApplyDefaults();
}

bool SetDevToIniSetup() {
  RunControlLock runControl;
  // Also stops an instrument that a run which ended by itself left sending.
  StopRunningScan();
  fDevSignedOn = false;
  return LoadConfigFile();
}

bool SetMultiChanScanChanCodes(const uint8_t codes[6]) {
  // Settings made before the first initialisation must not be overwritten
  // by the defaults later.
  if (!LazyInit()) return false;
  RunControlLock runControl;
  // The sign-on below must not run under a live scan: it ends in order.
  if (ScanRunning()) StopRunningScan();
  for (int i = 0; i < 6; ++i) Q583.chan[i] = NormaliseChannelCode(codes[i]);
  NormaliseChannelCodes(1);

  SetScanIntervalToMinimum();

  // The new channel list reaches the instrument only through a sign-on.
  return SignOnOutsideRun(true);
}

bool GetMultiChanScanChanCodes(uint8_t codes[6], uint8_t& count) {
  // During a scan the codes are those the run uses: no sign-on.
  if (fDevSignedOn || ScanRunning()) {
    if (!LazyInit()) return false;
  } else if (!InitDev()) {
    return false;
  }
  for (int i = 0; i < 6; ++i) codes[i] = LowByte(Q583.chan[i]);
  count = LowByte(Q583.numChannels);
  return true;
}

bool RunScan() {
  RunControlLock runControl;
  if (ScanRunning() || ScanThreadAlive()) {
    EndRun(EndHow::AtOnce, "EX_Run");
    fDevSignedOn = false;
  }
  if (!InitDev()) return false;
  return StartScan(true);
}

bool ClosePort() {
  // Held across the whole close so that no sign-on or scan start of
  // another host thread opens a port between the stop and the close.
  RunControlLock runControl;
  // A run is ended as EX_EndScan ends it (trailer written), and an
  // instrument that a run left sending frames is stopped, while the port
  // is still there to say so.
  StopRunningScan();
  fDevSignedOn = false;
  ForgetGiven();
  // Every port the library opened, not only the one in use.
  CloseAllPorts();
  return true;
}
