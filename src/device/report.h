// The device setup report.
#pragma once

#include <cstdio>
#include <string>

// The report text of the device record as it stands.
std::string BuildDevSetupReport();
// Writes the report followed by two empty lines to an open file.
void WriteDevSetupReport(std::FILE* file);
// The exports' work: lazy initialisation, then the box or the file.
bool ShowDevSetupInfoMsgBox();
bool ShowDevSetupInfoWriteToFile();
