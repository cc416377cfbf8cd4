// What the instrument was given, and bringing it to the record.
#include "link/given.h"

#include <array>
#include <mutex>

#include "device/q583.h"
#include "link/commands.h"
#include "link/signon.h"

namespace {

constexpr uint32_t kUnknown = 0xFFFFFFFFU;

struct Given {
  uint32_t modeRegisters = kUnknown;  // packed; bits 5-7 of the first are not part of the setting
  uint32_t average = kUnknown;
  uint32_t timerCount = kUnknown;  // the three bytes, packed
  std::array<int16_t, 6> codes{};
  int32_t comPort = -1;
  int32_t baud = -1;
};

std::mutex gGivenMutex;  // a leaf
Given gGiven;

uint32_t PackedModeRegisters() {
  return (static_cast<uint32_t>(Q583.modeRegHi & 0x1F) << 16) | (static_cast<uint32_t>(Q583.modeRegMid & 0xFF) << 8) |
         static_cast<uint32_t>(Q583.modeRegLo & 0xFF);
}

uint32_t PackedTimerCount() {
  uint8_t high = 0, middle = 0, low = 0;
  TimerCountBytes(Q583.scanInterval, Q583.modelCode, Q583.baud, high, middle, low);
  return (static_cast<uint32_t>(high) << 16) | (static_cast<uint32_t>(middle) << 8) | low;
}

std::array<int16_t, 6> RecordCodes() {
  std::array<int16_t, 6> codes{};
  for (size_t i = 0; i < codes.size(); ++i) codes[i] = static_cast<int16_t>(Q583.chan[i] & 0xFF);
  return codes;
}

// What the record would give the instrument now, for comparison.
Given Wanted() {
  Given wanted;
  wanted.modeRegisters = PackedModeRegisters();
  wanted.average = Q583.average;
  wanted.timerCount = PackedTimerCount();
  wanted.codes = RecordCodes();
  wanted.comPort = Q583.comPort;
  wanted.baud = Q583.baud;
  return wanted;
}

Given Current() {
  std::lock_guard<std::mutex> lock(gGivenMutex);
  return gGiven;
}

}  // namespace

void NoteSignedOn() {
  const Given wanted = Wanted();
  std::lock_guard<std::mutex> lock(gGivenMutex);
  gGiven = wanted;
}

void NoteModeRegistersGiven() {
  const uint32_t packed = PackedModeRegisters();
  std::lock_guard<std::mutex> lock(gGivenMutex);
  gGiven.modeRegisters = packed;
}

void NoteAveragingGiven(uint32_t average) {
  std::lock_guard<std::mutex> lock(gGivenMutex);
  gGiven.average = average;
}

void ForgetGiven() {
  std::lock_guard<std::mutex> lock(gGivenMutex);
  gGiven = Given{};
}

namespace {
// Where the record and the instrument differ, for a use.
struct Differences {
  bool signOn = false;  // the timer count, the channel codes or the line: only a sign-on gives them
  bool modeRegisters = false;
  bool average = false;
  bool Any() const { return signOn || modeRegisters || average; }
};

Differences Compare(Use use) {
  ComputeModeRegisters();
  const Given wanted = Wanted();
  const Given given = Current();
  Differences d;
  d.signOn = use == Use::Scan && (wanted.timerCount != given.timerCount || wanted.codes != given.codes ||
                                  wanted.comPort != given.comPort || wanted.baud != given.baud);
  d.modeRegisters = wanted.modeRegisters != given.modeRegisters;
  d.average = wanted.average != given.average;
  return d;
}
}  // namespace

bool InstrumentAtRecord(Use use) { return !Compare(use).Any(); }

bool BringInstrumentToRecord(Use use) {
  const Differences d = Compare(use);
  if (d.signOn) return SIGNON();  // it gives everything else as well
  if (d.modeRegisters && !WriteModeRegisters()) return false;
  if (d.average && !SetAveraging()) return false;
  return true;
}
