// Configuration commands: mode registers, averaging, version, channel
// selection, calibration, sleep, extended registers; reply time-out; raw
// count to millivolts.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> replyTimeout;  // ms; 0 until first computed
// The conversion rate the instrument runs at for a stored rate: the rate
// itself where the divider can run it, else what the divider register is
// loaded with.  Every wait derived from the rate uses this.
double EffectiveRate(double rate);

void ComputeRateRegisters();
void ComputeModeRegisters();
bool WriteModeRegisters();
bool VerifyModeRegisters();
// Notes the mode registers of the record as those the instrument has now
// (it echoed them at a sign-on or a register write).
void NoteModeRegistersGiven();
// True when the record's settings (gain, rate, polarity, word size) give
// the registers that the instrument was last given.  A setter changes the
// record only: this tells whether the instrument has yet to learn it.
bool ModeRegistersGiven();
bool SetAveraging();
bool ReadVersion();
bool SelectChannel();
bool SendSleep();
bool WriteExtRegister(int32_t reg, int32_t value);
bool WriteModelRegisters();
bool SystemCalibrate();
// Millivolts of the record's rawCount with its wordCnt and biPolar.
double RawCountToVoltage();
// The same conversion for any count.
double CountToMillivolts(int32_t count, int16_t wordCnt, int16_t biPolar);
