// Direct operations outside a scan and the digital-output send that steps
// around the acquisition thread's packets.
#pragma once

#include <cstdint>

bool SetDigOut(uint8_t value);
bool GetDigin();
bool GetOneConversion();
bool FullScaleCalibrate();
bool OffsetCalibrate();
// Signs on when fDevSignedOn is clear; false when that fails.
bool EnsureSignedOn();
