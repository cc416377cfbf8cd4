// Configuration commands: mode registers, averaging, version, channel
// selection, calibration, sleep, extended registers; reply time-out; raw
// count to millivolts.
#pragma once

#include <atomic>
#include <cstdint>

extern std::atomic<int32_t> replyTimeout;  // ms; 0 until first computed

// The channel selection byte of the polled-mode channel: channel x 16 +
// sub-channel.
uint32_t ChannelSelection();
// Bytes of a reply of wordCnt values plus `extra`, held to what rxBuf takes.
int32_t ReplyBytes(int32_t extra);
// A value's raw count from its 2 or 3 bytes, least significant first.
int32_t DecodeCount(const uint8_t* bytes, int16_t words);
// The conversion rate the instrument runs at for a stored rate: the rate
// itself where the divider can run it, else what the divider register is
// loaded with.  Every wait derived from the rate uses this.
double EffectiveRate(double rate);

void ComputeRateRegisters();
void ComputeModeRegisters();
bool WriteModeRegisters();
bool VerifyModeRegisters();
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
