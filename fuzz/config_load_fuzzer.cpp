// libFuzzer target: any bytes as the configuration file.
//
// Each input is loaded the way EX_SetDevToIniSetup loads a file (defaults
// first, then every key in order).  Then the record is written back into the
// same text and loaded again: the written text must hold every key as
// written and give back the same settings.
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>

#include "device/config_file.h"
#include "device/q583.h"
#include "link/serial.h"
#include "platform/ini_parse.h"
#include "platform/platform.h"

namespace {

int gMaster = -1;

// The timing model tells the instrument when it halves the averaging; a
// pseudo-terminal takes those bytes at once (and is drained after each
// input) so that the load never waits on a port that is not there.
void OpenPseudoTerminalPort() {
  gMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (gMaster < 0 || grantpt(gMaster) != 0 || unlockpt(gMaster) != 0) return;
  const char* slave = ptsname(gMaster);
  if (slave == nullptr) return;
  platform::SetPortDevice(0, slave);
  if (OpenComPort(0)) ConfigureComPort(9600);
}

void DrainPseudoTerminal() {
  if (gMaster < 0) return;
  char buffer[256];
  while (read(gMaster, buffer, sizeof buffer) > 0) {
  }
}

ProfileReader ReaderFor(const std::string& text) {
  return [&text](const char* section, const char* key, const char* defaultText, char* buffer,
                 uint32_t bufferSize) {
    return platform::ProfileStringFromText(text, section, key, defaultText, buffer, bufferSize);
  };
}

bool LoadText(const std::string& text) {
  fDevSignedOn = false;
  ApplyDefaults();
  return LoadConfigKeys(ReaderFor(text));
}

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "config load fuzzer: %s\n", what);
  std::abort();
}

void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

uint32_t LogBits() { return (fLogScansToFile ? 1U : 0U) | (fLogScansToMemory ? 2U : 0U); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  OpenPseudoTerminalPort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const bool loaded = LoadText(text);
  DrainPseudoTerminal();
  if (!loaded) return 0;

  // Whatever the load accepted, the scan code must be able to divide by.
  Check(Q583.numChannels >= 0, "negative number of values per scan");
  Check(Q583.rate > 0.0F && Q583.rate < 1001.0F, "rate outside (0, 1001)");
  Check(std::isfinite(Q583.scanInterval), "scan interval not finite");

  const Q583Record first = Q583;
  const uint32_t firstLog = LogBits();
  const std::string written = ConfigFileText(text);
  Check(platform::FindProfileValue(written, "MAIN", "gain") == std::to_string(Q583.gain),
        "written gain not found as written");
  Check(LoadText(written), "written text does not load");
  DrainPseudoTerminal();

  Check(Q583.TXQUEUESIZE == first.TXQUEUESIZE, "TXQUEUESIZE changed");
  Check(Q583.RXQUEUESIZE == first.RXQUEUESIZE, "RXQUEUESIZE changed");
  Check(Q583.baud == first.baud, "baud changed");
  Check(Q583.comPort == first.comPort, "comPort changed");
  Check(Q583.average == first.average, "average changed");
  Check(Q583.tScan == first.tScan, "tScan changed");
  Check(Q583.rate == first.rate, "rate changed");
  const double a = Q583.scanInterval;
  const double b = first.scanInterval;
  Check(std::fabs(a - b) <= 1e-5 * std::fabs(b), "scan interval changed");
  for (int i = 0; i < 6; ++i) Check(Q583.chan[i] == first.chan[i], "channel code changed");
  Check(Q583.numChannels == first.numChannels, "numChannels changed");
  Check(Q583.singleChan == first.singleChan, "singleChan changed");
  Check(Q583.channel == first.channel, "channel changed");
  Check(Q583.subChan == first.subChan, "subChan changed");
  Check(Q583.wordCnt == first.wordCnt, "wordCnt changed");
  Check(Q583.biPolar == first.biPolar, "biPolar changed");
  Check(Q583.filter == first.filter, "filter changed");
  Check(Q583.gain == first.gain, "gain changed");
  Check(LogBits() == firstLog, "log options changed");
  return 0;
}
