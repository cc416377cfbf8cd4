// What `q583 scan` shows while the scan runs: in a terminal a compact table
// of the latest scans redrawn in place under a status line with progress
// and time left; otherwise one plain tab-separated line per scan.
#pragma once

#include <cstdint>
#include <cstdio>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace q583cli {

class LiveView {
 public:
  struct Config {
    std::FILE* out = stdout;
    bool terminal = false;     // redraw in place (ANSI) instead of plain lines
    bool showRows = true;      // false: status only (the data goes elsewhere)
    std::vector<std::string> labels;
    std::optional<double> runSeconds;  // timed run: progress and time left
    std::string heading;
  };
  explicit LiveView(Config config);

  void AddScan(uint64_t index, double timeS, const double* values, std::optional<int> digin);
  // Redraws (at most ten times a second in a terminal) or, in plain mode,
  // reports every tenth of a timed run on standard error.
  void Tick(double elapsedS, uint32_t overruns, bool force = false);
  void Note(const std::string& text);  // replaces the hint on the status line
  void Finish(double elapsedS, uint32_t overruns);
  // The error number of the first failed write to `out`, 0 while all went
  // well (a closed pipe gives EPIPE, a full disk ENOSPC).
  int WriteError() const { return writeError_; }

 private:
  std::string Row(uint64_t index, double timeS, const double* values, std::optional<int> digin) const;
  std::string Header() const;
  std::string Status(double elapsedS, uint32_t overruns) const;
  void Redraw(double elapsedS, uint32_t overruns);
  int Width() const;
  void Put(const std::string& text);

  Config config_;
  std::deque<std::string> rows_;
  uint64_t scans_ = 0;
  int drawnLines_ = 0;
  double lastDraw_ = -1;
  int lastTenth_ = 0;
  std::string note_ = "Ctrl-C ends the scan";
  bool hasDigin_ = false;
  int writeError_ = 0;
};

}  // namespace q583cli
