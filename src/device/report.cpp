// The device setup report: the whole device record as text, one line per
// field, shown in a message box or written to "DevInfo.txt".
#include "device/report.h"

#include <cstdio>
#include <memory>

#include "device/q583.h"
#include "platform/platform.h"

namespace {

// A frequency or bit rate that plainly is no real one, printed for an index
// outside the tables.
constexpr unsigned kNoSuchSetting = 0;

unsigned FilterFrequency(int16_t filter) {
  constexpr unsigned kFrequencies[3] = {4, 40, 400};
  if (filter < 0 || filter > 2) return kNoSuchSetting;
  return kFrequencies[filter];
}

unsigned BaudBitRate(int16_t baud) {
  constexpr unsigned kBitRates[6] = {9600, 4800, 2400, 1200, 600, 300};
  if (baud < 0 || baud > 5) return kNoSuchSetting;
  return kBitRates[baud];
}

// The fixed text takes 571 characters; each "%lf" of a double can take
// up to 309 integer digits, a sign, the point and six decimals, and each of
// the 30 integers at most 11.  This leaves ample room for the worst case, and
// snprintf bounds the text besides.
constexpr size_t kReportBufferSize = 4096;

}  // namespace

std::string BuildDevSetupReport() {
  char text[kReportBufferSize];
  const int16_t filter = Q583.filter;
  const int16_t baud = Q583.baud;
  const int written = std::snprintf(
      text, sizeof text,
      "TXQUEUESIZE: %u\nRXQUEUESIZE: %u\naverage: %u\ncomPort (zero based): %d\n"
      "scanInterval (valid after a signon): %lf\nnumChannels: %d\n"
      "   Q583.chan[0]: 0x%X\n   Q583.chan[1]: 0x%X\n   Q583.chan[2]: 0x%X\n"
      "   Q583.chan[3]: 0x%X\n   Q583.chan[4]: 0x%X\n   Q583.chan[5]: 0x%X\n"
      "tScan: %d\nsingleChan: %d\nlastDigInp: %d\nversion (valid after a signon): %d\n"
      "channel: %d\nsubChan: %d\nlast rawCount: %i\nlast voltage: %lf\ndigOutWord: %d\n"
      "wordCnt: %d\nbiPolar: %d\nerrorType (valid after a failed scan): %d\n"
      "filter: %d  (%uHz.)\ngain: %d\nrate: %lf\n"
      "modeRegLo (valid after a signon): %d\nmodeRegMid (valid after a signon): %d\n"
      "modeRegHi (valid after a signon): %d\nbaud: %d  (%u)\n",
      static_cast<unsigned>(Q583.TXQUEUESIZE), static_cast<unsigned>(Q583.RXQUEUESIZE),
      static_cast<unsigned>(Q583.average), static_cast<int>(Q583.comPort),
      static_cast<double>(Q583.scanInterval), static_cast<int>(Q583.numChannels),
      // Widened with their sign: a negative code prints as eight digits.
      static_cast<unsigned>(static_cast<int>(Q583.chan[0])), static_cast<unsigned>(static_cast<int>(Q583.chan[1])),
      static_cast<unsigned>(static_cast<int>(Q583.chan[2])), static_cast<unsigned>(static_cast<int>(Q583.chan[3])),
      static_cast<unsigned>(static_cast<int>(Q583.chan[4])), static_cast<unsigned>(static_cast<int>(Q583.chan[5])),
      static_cast<int>(Q583.tScan), static_cast<int>(Q583.singleChan), static_cast<int>(Q583.lastDigInp),
      static_cast<int>(Q583.version), static_cast<int>(Q583.channel), static_cast<int>(Q583.subChan),
      static_cast<int>(Q583.rawCount), static_cast<double>(Q583.voltage) * 0.001,
      static_cast<int>(Q583.digOutWord), static_cast<int>(Q583.wordCnt), static_cast<int>(Q583.biPolar),
      static_cast<int>(Q583.errorType), static_cast<int>(filter), FilterFrequency(filter),
      static_cast<int>(Q583.gain), static_cast<double>(static_cast<float>(Q583.rate)),
      static_cast<int>(Q583.modeRegLo), static_cast<int>(Q583.modeRegMid), static_cast<int>(Q583.modeRegHi),
      static_cast<int>(baud), BaudBitRate(baud));
  if (written < 0) return std::string();
  return std::string(text);
}

void WriteDevSetupReport(std::FILE* file) {
  if (file == nullptr) return;
  const std::string report = BuildDevSetupReport();
  std::fprintf(file, "%s\n\n", report.c_str());
}

bool ShowDevSetupInfoMsgBox() {
  if (!LazyInit()) return false;
  const std::string report = BuildDevSetupReport();
  platform::MessageBox(report.c_str(), "in DLL", platform::kMbOk, true);
  return true;
}

bool ShowDevSetupInfoWriteToFile() {
  if (!LazyInit()) return false;
  const std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen("DevInfo.txt", "wt"), &std::fclose);
  // A file that cannot be created is not the host's concern.
  if (!file) return true;
  std::fprintf(file.get(), "This log file created:  %s\n\n", platform::CtimeNow().c_str());
  WriteDevSetupReport(file.get());
  return true;
}

