// The configuration file "Q583_SP.ini": loading the device record from it on
// the host's request, and writing the record back when the host has
// switched writing on.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// Name searched for in the configuration directory (any case matches).
constexpr const char* kIniFileName = "Q583_SP.ini";

// Writing the file is off at load; only EX_SetIniWriteEnabled turns it on.
extern std::atomic<bool> fIniWriteEnabled;

// The reader the load asks for each key: section, key, default text, buffer
// and its size; returns the count of characters copied (as
// GetPrivateProfileString does).
using ProfileReader =
    std::function<uint32_t(const char* section, const char* key, const char* defaultText,
                           char* buffer, uint32_t bufferSize)>;

// Loads every key in order into the record, which holds the defaults.
// False at the first key that fails; the keys before it stay loaded.  Clears
// fDevSetupPending on success (the caller sets it on failure).
bool LoadConfigKeys(const ProfileReader& reader);

// The configuration file in the configuration directory; empty when none.
std::string FindConfigFile();

// Applies the defaults, then finds and loads the file.  True when the file
// was found and every key loaded.
bool LoadConfigFile();

// The file's text for the record as it stands, merged into existingText
// (other keys, sections and comments are kept).
std::string ConfigFileText(const std::string& existingText);

// EX_WriteCurrentConfigToIniFile: false while writing is off; otherwise
// writes every setting so that a load gives it back, replacing the file in
// one step.
bool WriteCurrentConfigToIniFile();

// Directory and write switch back to their load state.
void ResetConfigFileForLoad();
