// The port extension: the host lets go of the serial port without unloading
// the library, so that it (or another program) can open the device again.
#include "device/q583.h"
#include "library/export_guard.h"
#include "link/serial.h"
#include "q583_sp.h"
#include "scan/scan_run.h"

extern "C" Q583_API uint8_t Q583_CALL EX_ClosePort(void) {
  return Guarded([] {
    // Held across the whole close so that no sign-on or scan start of
    // another host thread opens the port between the stop and the close.
    RunControlLock runControl;
    // A run is ended as EX_EndScan ends it (trailer written), and an
    // instrument that a run left sending frames is stopped, while the port
    // is still there to say so.
    StopRunningScan();
    fDevSignedOn = false;
    CloseComPort();
    return true;
  });
}
