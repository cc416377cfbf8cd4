// The exports of the device setup report, the error type, the debug logs
// and the message box handler.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>

#include "common/error_type.h"
#include "common/export_guard.h"
#include "device/q583.h"
#include "device/report.h"
#include "logging/debug_log.h"
#include "platform/platform.h"
#include "q583_sp.h"

extern "C" Q583_API uint8_t Q583_CALL EX_ShowDevSetupInfo_MsgBox(void) {
  return Guarded([] { return ShowDevSetupInfoMsgBox(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_ShowDevSetupInfo_WriteToFile(void) {
  return Guarded([] { return ShowDevSetupInfoWriteToFile(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_DoVexDbgNew(uint8_t enable) {
  return Guarded([&] { return DoVexDbgNew(enable); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_DoScanDebug(uint8_t enable) {
  return Guarded([&] { return DoScanDebug(enable); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_DoDebugNorm(uint8_t level) {
  return Guarded([&] { return DoDebugNorm(level); });
}

namespace {

// The host's handler uses the host interface's calling convention, which on
// 32-bit Windows differs from the library's own; the platform layer calls it
// through this trampoline.
std::atomic<Q583MessageBoxHandler> gHostMessageBox{nullptr};

int CallHostMessageBox(const char* text, const char* caption, uint32_t style) {
  const Q583MessageBoxHandler handler = gHostMessageBox.load();
  if (handler == nullptr) return platform::kIdOk;  // restored meanwhile
  return handler(text, caption, style);
}

}  // namespace

extern "C" Q583_API uint8_t Q583_CALL EX_SetMessageBoxHandler(Q583MessageBoxHandler handler) {
  return Guarded([&] {
    if (handler == nullptr) {
      // Null restores the platform's own box.
      platform::SetMessageBoxHandler(nullptr);
      gHostMessageBox.store(nullptr);
    } else {
      gHostMessageBox.store(handler);
      platform::SetMessageBoxHandler(&CallHostMessageBox);
    }
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_GetErrorType(int32_t* errorType, char* text, uint32_t textSize) {
  if (errorType == nullptr) return 0;
  return Guarded([&] {
    const int32_t code = Q583.errorType;
    if (text != nullptr && textSize > 0) {
      const std::string words = ErrorTypeText(code);
      const size_t length = std::min<size_t>(words.size(), textSize - 1);
      std::memcpy(text, words.data(), length);
      text[length] = '\0';
    }
    *errorType = code;
    return true;
  });
}
