// Message box, window flash and tone on Windows: the system's MessageBoxA
// and Beep, used when the host has installed no handler of its own.
#include "platform/win32/windows_api.h"

#include "platform/host_callbacks.h"
#include "platform/win32/win32_internal.h"

namespace platform {

namespace {

// Longest piece of a tone sounded in one Beep call: the system's Beep cannot
// be cut short, so a long tone is sounded in pieces and a kill of the beep
// thread takes effect between them.
constexpr uint32_t kTonePieceMs = 250;
}  // namespace

int NativeMessageBox(const char* text, const char* caption, uint32_t style, bool ownerForeground) {
  HWND owner = ownerForeground ? GetForegroundWindow() : nullptr;
  // A box that cannot be shown (no desktop) counts as answered with OK.
  return MessageBoxA(owner, text ? text : "", caption ? caption : "", style) == IDCANCEL ? kIdCancel
                                                                                       : kIdOk;
}

void FlashForegroundWindow() {
  if (HWND window = GetForegroundWindow()) FlashWindow(window, FALSE);
}

void NativeBeep(uint32_t frequencyHz, uint32_t durationMs) {
  uint32_t left = durationMs;
  do {
    CheckKilled();
    const uint32_t piece = left < kTonePieceMs ? left : kTonePieceMs;
    const int32_t started = ClockMs();
    ::Beep(frequencyHz, piece);
    // Without a sound device (or for a frequency the system refuses) Beep
    // returns at once; the tone still takes its time.
    const int32_t took = ElapsedMs(started);
    if (took < static_cast<int32_t>(piece)) SleepMs(static_cast<int32_t>(piece) - took);
    left -= piece;
  } while (left > 0);
  CheckKilled();
}

}  // namespace platform
