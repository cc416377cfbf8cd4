// The configuration file: the load that replaces the device record by the
// defaults and the values found in "Q583_SP.ini", and the writer behind the
// fIniWriteEnabled switch.
#include "device/config_file.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <system_error>
#include <vector>

#include "device/q583.h"
#include "device/settings.h"
#include "device/timing.h"
#include "platform/files_ext.h"
#include "platform/ini_parse.h"
#include "platform/platform.h"

std::atomic<bool> fIniWriteEnabled{false};

namespace {

constexpr const char* kMain = "MAIN";
constexpr const char* kSubChannels = "SubChannels";
constexpr size_t kLongestValue = 7;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// A decimal integer as atol reads it: leading white space and a sign, then
// digits up to the first other character; no digits give 0.  Saturates
// instead of overflowing (the values read are at most seven characters).
long ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long value = 0;
  constexpr long long kLimit = std::numeric_limits<long>::max();
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
    value = value * 10 + (text[i++] - '0');
    if (value > kLimit) value = kLimit;
  }
  return static_cast<long>(negative ? -value : value);
}

// A decimal floating-point number as atof reads it in the C locale: leading
// white space, a sign, digits with a point and an exponent, or inf / nan;
// the first character that does not fit ends it; nothing readable gives 0.
// Independent of the host's locale, so "0.25" reads the same everywhere.
double ParseReal(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && IsSpace(text[i])) ++i;
  if (i < text.size() && text[i] == '+') {
    ++i;
    if (i < text.size() && text[i] == '-') return 0.0;  // "+-" is no number
  }
  const char* first = text.data() + i;
  const char* last = text.data() + text.size();
  double value = 0.0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ec == std::errc::result_out_of_range) {
    // Too large becomes infinite, too small becomes zero, as with atof.
    const bool negative = *first == '-';
    const char* exponent = first;
    while (exponent < result.ptr && *exponent != 'e' && *exponent != 'E') ++exponent;
    const bool tiny = exponent + 1 < result.ptr && exponent[1] == '-';
    const double magnitude = tiny ? 0.0 : std::numeric_limits<double>::infinity();
    return negative ? -magnitude : magnitude;
  }
  if (result.ec != std::errc()) return 0.0;
  return value;
}

bool IsPowerOfTwoUpTo128(long value) {
  for (long p = 1; p <= 128; p *= 2)
    if (value == p) return true;
  return false;
}

// One key's text as the reader gives it with a buffer of max + 1.
struct KeyText {
  uint32_t count = 0;
  std::string text;
};

KeyText Ask(const ProfileReader& reader, const char* section, const char* key, size_t max,
            const char* askDefault) {
  std::array<char, kLongestValue + 1> buffer{};
  max = std::min(max, kLongestValue);  // no key is read longer than the buffer
  KeyText answer;
  answer.count = reader(section, key, askDefault, buffer.data(), static_cast<uint32_t>(max + 1));
  buffer[max] = '\0';  // whatever the reader did, the text ends within the buffer
  answer.text = buffer.data();
  return answer;
}

// The common rule: ask with "?" (or the key's own default), fail on a
// present but empty value, and turn a "?" text into the Missing text.
bool ReadKey(const ProfileReader& reader, const char* section, const char* key, size_t max,
             const char* askDefault, const char* missing, std::string& text) {
  KeyText answer = Ask(reader, section, key, max, askDefault);
  if (answer.count == 0) return false;
  text = answer.text[0] == '?' ? std::string(missing) : answer.text;
  return true;
}

bool ReadKey(const ProfileReader& reader, const char* section, const char* key, size_t max,
             const char* missing, std::string& text) {
  return ReadKey(reader, section, key, max, "?", missing, text);
}

// Keys 1 to 7.
bool LoadLinkAndConversionKeys(const ProfileReader& reader) {
  std::string text;
  if (!ReadKey(reader, kMain, "TXQUEUESIZE", 7, "16", "16", text)) return false;
  Q583.TXQUEUESIZE = static_cast<uint32_t>(ParseInteger(text));

  if (!ReadKey(reader, kMain, "RXQUEUESIZE", 7, "32000", text)) return false;
  Q583.RXQUEUESIZE = static_cast<uint32_t>(ParseInteger(text));

  // Only the low 8 bits of the number count.
  if (!ReadKey(reader, kMain, "BAUD", 3, "0", text)) return false;
  const auto baud = static_cast<uint8_t>(ParseInteger(text));
  Q583.baud = static_cast<int16_t>(baud <= 5 ? baud : 0);

  if (!ReadKey(reader, kMain, "comPort", 3, "0", text)) return false;
  Q583.comPort = static_cast<int16_t>(static_cast<uint8_t>(ParseInteger(text)));

  if (!ReadKey(reader, kMain, "remoteAvg", 3, "1", text)) return false;
  const long average = ParseInteger(text);
  Q583.average = static_cast<uint32_t>(IsPowerOfTwoUpTo128(average) ? average : 1);

  if (!ReadKey(reader, kMain, "tScan", 3, "1", text)) return false;
  const auto scanType = static_cast<uint16_t>(ParseInteger(text));
  Q583.tScan = static_cast<int16_t>(scanType <= 2 ? scanType : 0);

  // The rate programming divides by the rate: a rate that is zero,
  // negative, not a number or vanishes in single precision gets the same
  // 60 as one that is too high.
  if (!ReadKey(reader, kMain, "Rate", 7, "60", text)) return false;
  const double rate = ParseReal(text);
  Q583.rate = static_cast<float>(rate < 1001.0 && IsUsableRate(rate) ? rate : 60.0);
  return true;
}

// Key 8, read in its turn; the value is checked once every key is read.
double ReadScanInterval(const ProfileReader& reader) {
  const KeyText answer = Ask(reader, kMain, "ScanInterval", 7, "?");
  double interval = 0.0;
  if (answer.count != 0 && answer.text[0] != '?') interval = ParseReal(answer.text);
  return interval;
}

// The interval against the limits of the loaded settings (channel codes,
// word size and all): one inside them is kept exactly; a missing one, one at
// or below zero, one that is not finite or one outside the limits becomes
// the minimal interval.
//
// The timing model halves a count of averages the timer cannot meet once per
// call, and gives the minimum of the count it started with.  Called once,
// it would leave a record whose interval lies beyond the timer at its own
// averaging, and a file written from that record would load with the
// averaging halved again.  So the load calls it until it halves no more:
// the count is then one the timer meets (or 1), and the minimum is its own.
void SettleScanInterval(double interval) {
  Q583Record record = Q583;
  double maximum = 0.0;
  double minimum = 0.0;
  const bool limited = ComputeScanIntervalLimits(maximum, minimum, record);
  if (limited && std::isfinite(interval) && interval >= minimum && interval <= maximum) {
    Q583.scanInterval = interval;
    return;
  }
  int16_t code = kTimingOutside;
  uint32_t averageBefore = 0;
  do {
    averageBefore = Q583.average;
    code = ApplyScanTiming(maximum, minimum);
  } while (Q583.average != averageBefore);
  if (code != kTimingOutside || minimum > 0.0) Q583.scanInterval = minimum;
}

// Keys 9 to 14, then the codes are normalised and counted.
bool LoadChannelCodes(const ProfileReader& reader) {
  static constexpr std::array<const char*, 6> kKeys = {"0", "1", "2", "3", "4", "5"};
  for (size_t i = 0; i < kKeys.size(); ++i) {
    std::string text;
    if (!ReadKey(reader, kSubChannels, kKeys[i], 3, i == 0 ? "1" : "16", text)) return false;
    Q583.chan[i] = static_cast<int16_t>(ParseInteger(text));
  }
  // chan[0] is checked like the others: a backwards range would count as
  // zero or fewer values per scan, which the scan code divides by.
  NormaliseChannelCodes(0);
  return true;
}

// An at-most rule on the signed 16-bit value: a negative number stays.
int16_t AtMost(long value, int16_t limit) {
  const auto v = static_cast<int16_t>(value);
  return v <= limit ? v : limit;
}

// Keys 15 to 18.
bool LoadChannelSelection(const ProfileReader& reader) {
  std::string text;
  if (!ReadKey(reader, kMain, "singleChanScanMainChan", 2, "0", text)) return false;
  const int16_t mainChannel = AtMost(ParseInteger(text), 5);

  // The sub-channel is asked with "0" and taken as it comes: an empty value
  // reads as 0 and a "?" is not replaced.
  const KeyText sub = Ask(reader, kMain, "singleChanScanSubChan", 2, "0");
  const int16_t subChannel = AtMost(ParseInteger(sub.text), 15);
  Q583.singleChan = static_cast<int16_t>(mainChannel * 16 + subChannel);

  KeyText answer = Ask(reader, kMain, "channel", 4, "?");
  if (answer.count == 0) {
    Q583.channel = 0;
    return false;
  }
  Q583.channel = AtMost(ParseInteger(answer.text[0] == '?' ? std::string("0") : answer.text), 5);

  answer = Ask(reader, kMain, "subChan", 4, "?");
  if (answer.count == 0) {
    Q583.subChan = 0;
    return false;
  }
  Q583.subChan = AtMost(ParseInteger(answer.text[0] == '?' ? std::string("0") : answer.text), 15);
  return true;
}

// Keys 19 to 23.
bool LoadConversionFormat(const ProfileReader& reader) {
  std::string text;
  if (!ReadKey(reader, kMain, "wordCnt", 2, "16", text)) return false;
  const long words = ParseInteger(text);
  Q583.wordCnt = static_cast<int16_t>(words == 2 || words == 3 ? words : 3);

  if (!ReadKey(reader, kMain, "biPolar", 2, "1", "1", text)) return false;
  const long polarity = ParseInteger(text);
  Q583.biPolar = static_cast<int16_t>(polarity == 0 || polarity == 1 ? polarity : 1);

  if (!ReadKey(reader, kMain, "filter", 2, "2", text)) return false;
  const long filter = ParseInteger(text);
  Q583.filter = static_cast<int16_t>(filter >= 0 && filter <= 2 ? filter : 2);

  if (!ReadKey(reader, kMain, "gain", 3, "1", text)) return false;
  const long gain = ParseInteger(text);
  Q583.gain = static_cast<int16_t>(IsPowerOfTwoUpTo128(gain) ? gain : 1);

  if (!ReadKey(reader, kMain, "LogScans", 2, "1", text)) return false;
  const auto options = static_cast<uint32_t>(ParseInteger(text));
  SetDataLogOptions(options <= 3 ? options : 1, 0);
  return true;
}

// ---- Writing ------------------------------------------------------------

// Shortens a number's text without changing what it reads as: "0.25" ->
// ".25", "1e-05" -> "1e-5", "2e+10" -> "2e10".
std::string Compact(std::string text) {
  if (text.rfind("0.", 0) == 0) text.erase(0, 1);
  if (text.rfind("-0.", 0) == 0) text.erase(1, 1);
  const size_t e = text.find('e');
  if (e != std::string::npos) {
    size_t digits = e + 1;
    if (digits < text.size() && text[digits] == '+') text.erase(digits, 1);
    if (digits < text.size() && text[digits] == '-') ++digits;
    while (digits + 1 < text.size() && text[digits] == '0') text.erase(digits, 1);
  }
  return text;
}

template <class T>
std::string ToChars(T value, int precision) {
  std::array<char, 64> buffer{};
  const auto result = precision < 0
                          ? std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                          std::chars_format::general)
                          : std::to_chars(buffer.data(), buffer.data() + buffer.size(), value,
                                          std::chars_format::general, precision);
  return std::string(buffer.data(), result.ptr);
}

// The text of at most maxChars characters (the load reads no more) that
// reads back as the value if there is one, else the nearest there is.
template <class T>
std::string FormatReal(T value, size_t maxChars) {
  std::string text = Compact(ToChars(value, -1));  // shortest exact
  for (int precision = std::numeric_limits<T>::max_digits10; text.size() > maxChars && precision > 0;
       --precision)
    text = Compact(ToChars(value, precision));
  return text;
}

std::string Int(long value) { return std::to_string(value); }

}  // namespace

bool LoadConfigKeys(const ProfileReader& reader) {
  if (!LoadLinkAndConversionKeys(reader)) return false;
  const double interval = ReadScanInterval(reader);
  if (!LoadChannelCodes(reader)) return false;
  if (!LoadChannelSelection(reader)) return false;
  if (!LoadConversionFormat(reader)) return false;
  SettleScanInterval(interval);
  fDevSetupPending = false;
  return true;
}

std::string FindConfigFile() { return platform::FindFileNoCase(platform::ConfigDirectory(), kIniFileName); }

bool LoadConfigFile() {
  ApplyDefaults();
  // The directory is searched by its path: the process's current directory
  // is never changed, so a failure part way cannot leave it elsewhere.
  const std::string path = FindConfigFile();
  if (path.empty()) return false;
  // A file that is there but cannot be read is a failed load, not a load of
  // every default.
  std::string text;
  if (!platform::ReadWholeFile(path, text)) {
    fDevSetupPending = true;
    return false;
  }
  // The reader reads the very file the search found (a directory may hold
  // names that differ only in case).
  const ProfileReader reader = [&path](const char* section, const char* key, const char* defaultText,
                                       char* buffer, uint32_t bufferSize) {
    return platform::GetPrivateProfileString(section, key, defaultText, buffer, bufferSize, path);
  };
  if (!LoadConfigKeys(reader)) {
    // The next lazy initialisation applies the defaults again.
    fDevSetupPending = true;
    return false;
  }
  return true;
}

std::string ConfigFileText(const std::string& existingText) {
  // The single-channel code goes back as a main channel and a sub-channel
  // whose sum the load rebuilds (main x 16 + sub), each within its
  // two-character field.
  const int singleChan = Q583.singleChan;
  int mainChannel = singleChan >= 0 ? singleChan / 16 : -((-singleChan + 15) / 16);
  if (mainChannel < -9) mainChannel = -9;
  const int subChannel = singleChan - mainChannel * 16;
  const uint32_t logScans = (fLogScansToFile ? 1U : 0U) | (fLogScansToMemory ? 2U : 0U);

  // The queue sizes go back as signed numbers: the load reads seven
  // characters, and a size read from "-1" must come back from "-1".
  std::vector<platform::ProfileEntry> entries = {
      {kMain, "TXQUEUESIZE", Int(static_cast<int32_t>(static_cast<uint32_t>(Q583.TXQUEUESIZE)))},
      {kMain, "RXQUEUESIZE", Int(static_cast<int32_t>(static_cast<uint32_t>(Q583.RXQUEUESIZE)))},
      {kMain, "BAUD", Int(Q583.baud)},
      {kMain, "comPort", Int(Q583.comPort)},
      {kMain, "remoteAvg", std::to_string(static_cast<uint32_t>(Q583.average))},
      // Every type other than 0 and 2 scans as type 1, and is written so.
      {kMain, "tScan", Int(Q583.tScan == 0 || Q583.tScan == 2 ? static_cast<int16_t>(Q583.tScan) : 1)},
      {kMain, "Rate", FormatReal(static_cast<float>(Q583.rate), 7)},
      {kMain, "ScanInterval", FormatReal(static_cast<double>(Q583.scanInterval), 7)},
  };
  for (int i = 0; i < 6; ++i) entries.push_back({kSubChannels, std::to_string(i), Int(Q583.chan[i])});
  entries.push_back({kMain, "singleChanScanMainChan", Int(mainChannel)});
  entries.push_back({kMain, "singleChanScanSubChan", Int(subChannel)});
  entries.push_back({kMain, "channel", Int(Q583.channel)});
  entries.push_back({kMain, "subChan", Int(Q583.subChan)});
  entries.push_back({kMain, "wordCnt", Int(Q583.wordCnt)});
  entries.push_back({kMain, "biPolar", Int(Q583.biPolar)});
  entries.push_back({kMain, "filter", Int(Q583.filter)});
  entries.push_back({kMain, "gain", Int(Q583.gain)});
  entries.push_back({kMain, "LogScans", std::to_string(logScans)});
  return platform::SetProfileValues(existingText, entries);
}

bool WriteCurrentConfigToIniFile() {
  if (!fIniWriteEnabled) return false;
  if (!LazyInit()) return false;
  // A record the file cannot hold would reload as something else.
  if (!IsPowerOfTwoUpTo128(static_cast<long>(Q583.average))) return false;
  std::string path = FindConfigFile();
  std::string existing;
  if (path.empty()) {
    std::string dir = platform::ConfigDirectory();
    if (!dir.empty() && dir.back() != '/') dir += '/';
    path = dir + kIniFileName;
  } else if (!platform::ReadWholeFile(path, existing)) {
    // A file that cannot be read is not replaced by one without its keys.
    return false;
  }
  return platform::WriteFileAtomically(path, ConfigFileText(existing));
}

void ResetConfigFileForLoad() {
  fIniWriteEnabled = false;
  platform::SetConfigDirectory("");
}
