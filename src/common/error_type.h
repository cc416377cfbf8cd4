// The library's one error vocabulary: the record's errorType values, with
// a name and a text for each.  The values are those the host has always
// read; the command-line tool and the Python package take their messages
// from here (through EX_GetErrorType).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

enum class ErrorType : int32_t {
  None = 0,
  WrongMarker = 1,           // a frame began with another byte than its marker, or a conversion's reply was short
  ShortFrame = 2,            // a frame was cut short (or the line was lost in it)
  QueueOverflow = 3,         // the receive queue overflowed: the host fell behind
  ShortFrameAtLineFeed = 10  // a frame was cut short with 0x0A at the fill position
  // Any other value: the byte the instrument sent instead of a conversion's echo.
};

struct ErrorTypeEntry {
  ErrorType type;
  const char* name;
  const char* text;
};

constexpr std::array<ErrorTypeEntry, 5> kErrorTypes{{
    {ErrorType::None, "none", "no error"},
    {ErrorType::WrongMarker, "wrong-marker",
     "a frame began with a wrong marker (or a single conversion's reply was short)"},
    {ErrorType::ShortFrame, "short-frame", "a frame was cut short"},
    {ErrorType::QueueOverflow, "queue-overflow", "the receive queue overflowed (the host fell behind)"},
    {ErrorType::ShortFrameAtLineFeed, "short-frame-0a", "a frame was cut short (0x0A at the fill position)"},
}};

constexpr int32_t ToCode(ErrorType type) { return static_cast<int32_t>(type); }

// The text of an errorType value, also of one outside the table.
inline std::string ErrorTypeText(int32_t code) {
  for (const auto& entry : kErrorTypes) {
    if (ToCode(entry.type) == code) return entry.text;
  }
  char text[96];
  std::snprintf(text, sizeof text, "the instrument answered a conversion with byte 0x%02X instead of its echo",
                static_cast<unsigned>(code) & 0xFFU);
  return text;
}
