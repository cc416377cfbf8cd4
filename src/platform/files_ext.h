// Whole-file reads and atomic whole-file writes.
#pragma once

#include <cstdint>
#include <string>

namespace platform {

// Largest file ReadWholeFile takes; a larger one is refused rather than
// read into memory (a configuration file is a few hundred bytes).
constexpr uint64_t kMaxWholeFileBytes = 16U * 1024U * 1024U;

// Reads a regular file into text; false when it cannot be read.
bool ReadWholeFile(const std::string& path, std::string& text);

// Replaces the file at path by text so that a reader sees either the old
// file or the new one, never a part: the text goes to a temporary file in
// the same directory, which then takes the file's name.  A new file gets the
// permissions of the file it replaces, else rw-r--r-- (less the umask).
// False (the old file unchanged) when any step fails.
bool WriteFileAtomically(const std::string& path, const std::string& text);

}  // namespace platform
