// Reading the library's scan log files ("ScanLog_<n>.txt"): a header line of
// column labels, one tab-separated line per scan, then one or two trailer
// blocks with the timing and the experiment description.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace q583cli {

struct ScanLog {
  std::vector<std::string> labels;          // "0 - 0", ..., "offset", "fullscale"
  std::vector<double> times;                // the logged time of each scan, s
  std::vector<std::vector<double>> rows;    // one value per label, volts
  std::optional<double> appliedInterval;    // from the trailer
  std::optional<std::string> description;   // from the trailer
  bool hasTrailer = false;
};

// Throws Failure when the file cannot be read or is not a scan log.
ScanLog ReadScanLog(const std::string& path);

// The scan log names in the current directory.
std::vector<std::string> ScanLogNames();

}  // namespace q583cli
