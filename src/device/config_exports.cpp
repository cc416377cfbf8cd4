// Exports of the configuration file: load, write, and where the file lives.
#include "device/config_file.h"
#include "library/export_guard.h"
#include "platform/platform.h"
#include "q583_sp.h"

extern "C" Q583_API uint8_t Q583_CALL EX_SetDevToIniSetup(void) {
  return Guarded([] { return SetDevToIniSetup(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_WriteCurrentConfigToIniFile(void) {
  return Guarded([] { return WriteCurrentConfigToIniFile(); });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetIniDirectory(const char* directory) {
  return Guarded([directory] {
    platform::SetConfigDirectory(directory != nullptr ? std::string(directory) : std::string());
    return true;
  });
}

extern "C" Q583_API uint8_t Q583_CALL EX_SetIniWriteEnabled(uint8_t enable) {
  return Guarded([enable] {
    fIniWriteEnabled = enable != 0;
    return true;
  });
}
