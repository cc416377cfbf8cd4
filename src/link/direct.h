// The direct commands' exchanges: one try each, outside a scan (the
// digital-output send also steps around the acquisition thread's packets).
#pragma once

#include <cstdint>

bool SetDigOut(uint8_t value);
bool GetDigin();
bool GetOneConversion();
bool FullScaleCalibrate();
bool OffsetCalibrate();
