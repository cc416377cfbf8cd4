// The work behind the direct-operation exports and EX_SetModel: the exports
// check their pointers and call these.
#pragma once

#include <cstdint>

// EX_SendDigout / EX_SendDigoutWScan; busy is set when a byte queued for the
// acquisition thread is still waiting.
bool SendDigout(uint8_t value, bool& busy);
bool GetDiginNow(uint8_t& value);
bool GetOneConversionNow(double& millivolts);
bool SystemCalibration();
bool FullScaleCalibration();
bool OffsetCalibration();
bool InstrumentStandby(uint8_t enable);
bool InstrumentSleep(uint8_t enable);
bool SetPolledModeChan(uint8_t mainChannel, uint8_t subChannel);
bool ResetInstrument();
// EX_SetModel: reads the version and settles the model code.
bool SetModel(int16_t& version);
// Quiets an instrument a run left streaming, then signs on when the
// library is not signed on; false when that fails.
bool EnsureSignedOn();
