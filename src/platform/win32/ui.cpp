// Message box, window flash and tone on Windows.  A host may install its own
// handlers for the box and the tone; without them the system's MessageBoxA
// and Beep are used.
#include "platform/win32/windows_api.h"

#include <atomic>

#include "platform/win32/win32_internal.h"

namespace platform {

namespace {
std::atomic<MessageBoxHandler> gMessageBox{nullptr};
std::atomic<BeepHandler> gBeep{nullptr};

// Longest piece of a tone sounded in one Beep call: the system's Beep cannot
// be cut short, so a long tone is sounded in pieces and a kill of the beep
// thread takes effect between them.
constexpr uint32_t kTonePieceMs = 250;
}  // namespace

int MessageBox(const char* text, const char* caption, uint32_t style, bool ownerForeground) {
  if (MessageBoxHandler handler = gMessageBox.load()) {
    return handler(text, caption, style) == kIdCancel ? kIdCancel : kIdOk;
  }
  HWND owner = ownerForeground ? GetForegroundWindow() : nullptr;
  // A box that cannot be shown (no desktop) counts as answered with OK.
  return MessageBoxA(owner, text ? text : "", caption ? caption : "", style) == IDCANCEL ? kIdCancel
                                                                                       : kIdOk;
}

void SetMessageBoxHandler(MessageBoxHandler handler) { gMessageBox.store(handler); }

void FlashForegroundWindow() {
  if (HWND window = GetForegroundWindow()) FlashWindow(window, FALSE);
}

void Beep(uint32_t frequencyHz, uint32_t durationMs) {
  if (BeepHandler handler = gBeep.load()) {
    CheckKilled();
    handler(frequencyHz, durationMs);
    CheckKilled();
    return;
  }
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

void SetBeepHandler(BeepHandler handler) { gBeep.store(handler); }

}  // namespace platform
