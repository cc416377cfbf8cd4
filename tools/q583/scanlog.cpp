#include "scanlog.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "common.h"

namespace q583cli {

namespace {

bool ParseDouble(const std::string& text, double& value) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  value = std::strtod(t.c_str(), &end);
  return end != t.c_str() && *end == '\0';
}

// "Key:   \tvalue" -> value, when the line starts with key.
std::optional<std::string> TrailerValue(const std::string& line, const std::string& key) {
  if (line.compare(0, key.size(), key) != 0) return std::nullopt;
  const auto tab = line.find('\t');
  if (tab == std::string::npos) return std::string();
  return line.substr(tab + 1);
}

}  // namespace

ScanLog ReadScanLog(const std::string& path) {
  std::ifstream in(path);
  if (!in) throw Failure("cannot read " + path);
  ScanLog log;
  std::string line;
  if (!std::getline(in, line) || line.rfind("Time / s", 0) != 0)
    throw Failure(path + " is not a scan log (no \"Time / s\" header)");
  if (!line.empty() && line.back() == '\r') line.pop_back();
  auto fields = Split(line, '\t');
  for (size_t i = 1; i < fields.size(); ++i)
    if (!Trim(fields[i]).empty()) log.labels.push_back(Trim(fields[i]));

  // Data lines run up to the first empty line; a comment, when one was set,
  // follows the last value.
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) break;
    fields = Split(line, '\t');
    if (fields.size() < log.labels.size() + 1) break;  // cut short by a forced end
    double time = 0;
    if (!ParseDouble(fields[0], time)) break;
    std::vector<double> row(log.labels.size());
    bool ok = true;
    for (size_t i = 0; i < row.size() && ok; ++i) ok = ParseDouble(fields[i + 1], row[i]);
    if (!ok) break;
    log.times.push_back(time);
    log.rows.push_back(std::move(row));
  }
  // The first trailer block is the one that counts (a run ended by the
  // library's own timer carries a second one, written at the scan end).
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (auto v = TrailerValue(line, "Applied Interval:")) {
      double interval = 0;
      if (ParseDouble(*v, interval) && interval > 0 && !log.appliedInterval) log.appliedInterval = interval;
      log.hasTrailer = true;
    } else if (auto d = TrailerValue(line, "Experiment Description:")) {
      if (!log.description) log.description = *d;
      log.hasTrailer = true;
    }
  }
  return log;
}

std::vector<std::string> ScanLogNames() {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(".", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("ScanLog_", 0) == 0) names.push_back(name);
  }
  return names;
}

}  // namespace q583cli
