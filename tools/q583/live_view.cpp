#include "live_view.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>

namespace q583cli {

namespace {
constexpr size_t kRowsShown = 10;
constexpr int kColumn = 11;  // "-4.9999998" and a blank

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

std::string RightAligned(const std::string& text, int width) {
  if (static_cast<int>(text.size()) >= width) return text.substr(0, static_cast<size_t>(width));
  return std::string(static_cast<size_t>(width) - text.size(), ' ') + text;
}
}  // namespace

LiveView::LiveView(Config config) : config_(std::move(config)) {}

int LiveView::Width() const {
  winsize ws{};
  if (ioctl(fileno(config_.out), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 100;
}

std::string LiveView::Header() const {
  std::string line = RightAligned("scan", 7) + RightAligned("time/s", 10);
  for (const auto& label : config_.labels) line += RightAligned(label, kColumn + 1);
  if (hasDigin_) line += RightAligned("digin", 7);
  return line;
}

std::string LiveView::Row(uint64_t index, double timeS, const double* values, std::optional<int> digin) const {
  std::string line = RightAligned(std::to_string(index), 7) + RightAligned(Format("%.3f", timeS), 10);
  for (size_t i = 0; i < config_.labels.size(); ++i) line += RightAligned(Format("%.7f", values[i]), kColumn + 1);
  if (digin) line += RightAligned(std::to_string(*digin), 7);
  return line;
}

std::string LiveView::Status(double elapsedS, uint32_t overruns) const {
  std::string line;
  if (config_.runSeconds && *config_.runSeconds > 0) {
    const double total = *config_.runSeconds;
    const double done = std::clamp(elapsedS / total, 0.0, 1.0);
    constexpr int kBar = 24;
    const int filled = static_cast<int>(std::lround(done * kBar));
    line = "[" + std::string(static_cast<size_t>(filled), '#') + std::string(static_cast<size_t>(kBar - filled), '.') +
           "] " + Format("%5.1f", elapsedS) + " s of " + Format("%.1f", total) + " s, " +
           Format("%.1f", std::max(0.0, total - elapsedS)) + " s left";
  } else {
    line = Format("%.1f", elapsedS) + " s";
  }
  line += ", " + std::to_string(scans_) + " scans";
  if (overruns) line += ", " + std::to_string(overruns) + " lost (host too slow)";
  if (!note_.empty()) line += "   " + note_;
  return line;
}

void LiveView::AddScan(uint64_t index, double timeS, const double* values, std::optional<int> digin) {
  ++scans_;
  if (digin) hasDigin_ = true;
  if (!config_.showRows) return;
  if (config_.terminal) {
    rows_.push_back(Row(index, timeS, values, digin));
    if (rows_.size() > kRowsShown) rows_.pop_front();
    return;
  }
  std::string line = std::to_string(index) + "\t" + Format("%.4f", timeS);
  for (size_t i = 0; i < config_.labels.size(); ++i) line += "\t" + Format("%.7f", values[i]);
  if (digin) line += "\t" + std::to_string(*digin);
  Put(line + "\n");
}

void LiveView::Put(const std::string& text) {
  if (writeError_ != 0) return;
  if (std::fputs(text.c_str(), config_.out) == EOF || std::fflush(config_.out) != 0)
    writeError_ = errno != 0 ? errno : EIO;
}

void LiveView::Redraw(double elapsedS, uint32_t overruns) {
  std::vector<std::string> lines;
  if (!config_.heading.empty()) lines.push_back(config_.heading);
  if (config_.showRows) {
    lines.push_back(Header());
    for (const auto& row : rows_) lines.push_back(row);
    // Keep the block's height steady while the first rows come in.
    for (size_t i = rows_.size(); i < kRowsShown; ++i) lines.emplace_back();
  }
  lines.push_back(Status(elapsedS, overruns));
  const auto width = static_cast<size_t>(Width() - 1);
  std::string frame;
  if (drawnLines_ > 0) frame += "\x1b[" + std::to_string(drawnLines_) + "A";
  for (auto& line : lines) {
    // A wrapped line would spoil the cursor movement of the next redraw.
    if (line.size() > width) line = line.substr(0, width - 1) + ">";
    frame += "\r\x1b[2K" + line + "\n";
  }
  Put(frame);
  drawnLines_ = static_cast<int>(lines.size());
}

void LiveView::Tick(double elapsedS, uint32_t overruns, bool force) {
  if (config_.terminal) {
    if (force || lastDraw_ < 0 || elapsedS - lastDraw_ >= 0.1) {
      lastDraw_ = elapsedS;
      Redraw(elapsedS, overruns);
    }
    return;
  }
  if (config_.runSeconds && *config_.runSeconds > 0) {
    const int tenth = static_cast<int>(std::min(elapsedS / *config_.runSeconds, 1.0) * 10);
    if (tenth > lastTenth_) {
      lastTenth_ = tenth;
      std::fprintf(stderr, "q583: %d%% of %.1f s, %.1f s left, %llu scans\n", tenth * 10, *config_.runSeconds,
                   std::max(0.0, *config_.runSeconds - elapsedS), static_cast<unsigned long long>(scans_));
    }
  }
}

void LiveView::Note(const std::string& text) { note_ = text; }

void LiveView::Finish(double elapsedS, uint32_t overruns) {
  note_.clear();
  if (config_.terminal) Redraw(elapsedS, overruns);
}

}  // namespace q583cli
