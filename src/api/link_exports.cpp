// Exports of the sign-on, the direct operations, EX_SetModel, raw packets,
// the port-device mapping and the port's close.  Each checks its pointers
// and hands over to the internal operation.
#include <string>

#include "api/direct_ops.h"
#include "api/operations.h"
#include "common/export_guard.h"
#include "device/q583.h"
#include "link/packets.h"
#include "logging/wire_trace.h"
#include "platform/platform.h"
#include "q583_sp.h"
#include "scan/scan_run.h"

extern "C" Q583_API uint8_t Q583_CALL EX_SetModel(int16_t* version) {
  if (version == nullptr) return 0;
  return Guarded([&] {
    int16_t v = 0;
    if (!SetModel(v)) return false;
    *version = v;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SendDigout(uint8_t value) {
  return Guarded([&] {
    bool busy = false;
    return SendDigout(value, busy);
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SendDigoutWScan(uint8_t value, uint8_t* busy) {
  if (busy == nullptr) return 0;
  *busy = 0;
  return Guarded([&] {
    bool queued = false;
    const bool ok = SendDigout(value, queued);
    if (queued) *busy = 1;
    return ok;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetDigin(uint8_t* value) {
  if (value == nullptr) return 0;
  return Guarded([&] {
    uint8_t v = 0;
    if (!GetDiginNow(v)) return false;
    *value = v;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetDiginWScan(uint8_t* value) {
  if (value == nullptr) return 0;
  return Guarded([&] {
    *value = static_cast<uint8_t>(Q583.lastDigInp & 0xFF);
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetDiginScan(uint8_t enable) {
  return Guarded([&] {
    fDiginWithScan = enable != 0;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetOneConversion(double* millivolts) {
  if (millivolts == nullptr) return 0;
  return Guarded([&] {
    double v = 0.0;
    if (!GetOneConversionNow(v)) return false;
    *millivolts = v;
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SystemCalibration(void) {
  return Guarded([] { return SystemCalibration(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_FullScaleCalibration(void) {
  return Guarded([] { return FullScaleCalibration(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_OffsetCalibration(void) {
  return Guarded([] { return OffsetCalibration(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_Standby(uint8_t enable) {
  return Guarded([&] { return InstrumentStandby(enable); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_Sleep(uint8_t enable) {
  return Guarded([&] { return InstrumentSleep(enable); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetPolledModeChan(uint8_t channel, uint8_t subChannel) {
  return Guarded([&] { return SetPolledModeChan(channel, subChannel); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_Reset(void) {
  return Guarded([] { return ResetInstrument(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetCOMportDevice(uint8_t comPort, const char* devicePath) {
  return Guarded([&] {
    platform::SetPortDevice(comPort, devicePath != nullptr ? std::string(devicePath) : std::string());
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL DLL_SendPacket(uint32_t first, uint32_t data) {
  return Guarded([&] { return SendPacket(first, data); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_InitDev(void) {
  return Guarded([] { return InitDev(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_ClosePort(void) {
  return Guarded([] { return ClosePort(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetWireTrace(const char* path) {
  return Guarded([path] {
    if (path == nullptr || *path == '\0') {
      EndWireTrace();
      return true;
    }
    return StartWireTrace(path);
  });
}
