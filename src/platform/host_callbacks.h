// What each platform's user interface gives the portable dispatch of host
// callbacks (host_callbacks.cpp): the system's own box and tone, used when
// the host has installed no handler.
#pragma once

#include <cstdint>

namespace platform {

int NativeMessageBox(const char* text, const char* caption, uint32_t style, bool ownerForeground);
void NativeBeep(uint32_t frequencyHz, uint32_t durationMs);

}  // namespace platform
