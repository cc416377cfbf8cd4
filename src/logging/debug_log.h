// The three debug logs.  A writer tests that its log is open, prints one
// formatted message, and flushes where asked.  Safe from any thread.
#pragma once

#include <cstdint>

enum class DebugLog { General, Scan, Levelled };  // VexNewDbg.txt, ScanOut.txt, 583_debug.txt

bool DebugLogOpen(DebugLog log);
// One formatted print, no flush.
void DebugPrint(DebugLog log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
// One formatted print followed by a flush.
void DebugPrintFlush(DebugLog log, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;
void DebugFlush(DebugLog log);
void DebugClose(DebugLog log);
// Current file position (size written so far), 0 when closed.
long DebugPosition(DebugLog log);

// The exports' work.
bool DoVexDbgNew(uint8_t enable);
bool DoScanDebug(uint8_t flag);
bool DoDebugNorm(uint8_t level);

// The level the levelled debug log was opened with.
uint8_t DebugLevel();
