// Private-profile text in memory: lookup and update.
#include "platform/ini_parse.h"

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n'; }

char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  return true;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
  return s;
}

std::string_view Unquote(std::string_view s) {
  if (s.size() >= 2 && (s.front() == '"' || s.front() == '\'') && s.back() == s.front()) {
    s.remove_prefix(1);
    s.remove_suffix(1);
  }
  return s;
}

enum class LineKind { Blank, Comment, Section, Key };

// One line of the text: where it lies and what it says.
struct Line {
  size_t begin = 0;  // first character
  size_t end = 0;    // one past the last character before the line end
  size_t next = 0;   // first character of the next line
  LineKind kind = LineKind::Blank;
  std::string_view name;   // section or key name
  std::string_view value;  // key value, trimmed and unquoted
};

// Lines from the start of the text (after a byte-order mark).
class LineReader {
 public:
  explicit LineReader(std::string_view text) : text_(text) {
    if (text_.substr(0, kUtf8Bom.size()) == kUtf8Bom) pos_ = kUtf8Bom.size();
  }

  bool Next(Line& line) {
    if (pos_ >= text_.size()) return false;
    line = Line{};
    line.begin = pos_;
    size_t end = pos_;
    while (end < text_.size() && text_[end] != '\n' && text_[end] != '\r') ++end;
    line.end = end;
    size_t next = end;
    if (next < text_.size() && text_[next] == '\r') ++next;
    if (next < text_.size() && text_[next] == '\n' && (next == end || text_[next - 1] == '\r')) ++next;
    line.next = next;
    pos_ = next;
    ClassifySectionOnly(line);
    return true;
  }

  // The full reading of a line inside the section looked for.
  void Classify(Line& line) const {
    const std::string_view content = Trim(text_.substr(line.begin, line.end - line.begin));
    if (content.empty()) return;
    if (content.front() == ';') {
      line.kind = LineKind::Comment;
      return;
    }
    if (content.front() == '[') {
      const size_t close = content.rfind(']');
      if (close != std::string_view::npos) {
        line.kind = LineKind::Section;
        line.name = content.substr(1, close - 1);
        return;
      }
      // "[" without "]" is not a section header; it reads as a key.
    }
    line.kind = LineKind::Key;
    const size_t equals = content.find('=');
    if (equals == std::string_view::npos) {
      line.name = content;
      return;
    }
    line.name = Trim(content.substr(0, equals));
    line.value = Unquote(Trim(content.substr(equals + 1)));
  }

 private:
  // Lines outside the section looked for need only telling apart whether
  // they start a section; the rest is read when it is needed.
  void ClassifySectionOnly(Line& line) const {
    size_t first = line.begin;
    while (first < line.end && IsBlank(text_[first])) ++first;
    if (first == line.end) return;
    if (text_[first] == '[') {
      Classify(line);
      return;
    }
    line.kind = text_[first] == ';' ? LineKind::Comment : LineKind::Key;
  }

  std::string_view text_;
  size_t pos_ = 0;
};

// Where a section and a key lie in the text.
struct Location {
  bool sectionFound = false;
  size_t sectionEnd = 0;   // one past the last non-blank line of the section
  bool keyFound = false;
  Line keyLine;
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
  Location where;
  LineReader reader(text);
  Line line;
  bool inSection = false;
  while (reader.Next(line)) {
    if (line.kind == LineKind::Section) {
      // Only the first section of the name counts.
      if (inSection) break;
      if (!where.sectionFound && EqualNoCase(line.name, section)) {
        inSection = true;
        where.sectionFound = true;
        where.sectionEnd = line.next;
      }
      continue;
    }
    if (!inSection) continue;
    if (line.kind != LineKind::Blank) where.sectionEnd = line.next;
    if (line.kind != LineKind::Key || where.keyFound) continue;
    reader.Classify(line);
    if (line.kind == LineKind::Key && EqualNoCase(line.name, key)) {
      where.keyFound = true;
      where.keyLine = line;
    }
  }
  return where;
}

std::string OneLine(std::string_view s) {
  std::string out(s);
  std::replace(out.begin(), out.end(), '\r', ' ');
  std::replace(out.begin(), out.end(), '\n', ' ');
  return out;
}

}  // namespace

std::optional<std::string> FindProfileValue(std::string_view text, std::string_view section,
                                            std::string_view key) {
  const Location where = Locate(text, section, key);
  if (!where.keyFound) return std::nullopt;
  return std::string(where.keyLine.value);
}

uint32_t CopyProfileString(const std::optional<std::string>& value, const char* defaultText,
                           char* buffer, uint32_t bufferSize) {
  if (buffer == nullptr || bufferSize == 0) return 0;
  std::string_view source;
  if (value) {
    source = *value;
  } else if (defaultText != nullptr) {
    source = defaultText;
    while (!source.empty() && source.back() == ' ') source.remove_suffix(1);
  }
  const size_t count = std::min<size_t>(source.size(), bufferSize - 1);
  if (count > 0) std::memcpy(buffer, source.data(), count);
  buffer[count] = '\0';
  return static_cast<uint32_t>(count);
}

uint32_t ProfileStringFromText(std::string_view text, const char* section, const char* key,
                               const char* defaultText, char* buffer, uint32_t bufferSize) {
  std::optional<std::string> value;
  if (section != nullptr && key != nullptr) value = FindProfileValue(text, section, key);
  return CopyProfileString(value, defaultText, buffer, bufferSize);
}

std::string SetProfileValues(std::string_view text, const std::vector<ProfileEntry>& entries) {
  std::string out(text);
  const std::string newline = out.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  for (const ProfileEntry& entry : entries) {
    const std::string value = OneLine(entry.value);
    const Location where = Locate(out, entry.section, entry.key);
    if (where.keyFound) {
      const Line& line = where.keyLine;
      const std::string replacement = std::string(line.name) + "=" + value;
      out.replace(line.begin, line.end - line.begin, replacement);
    } else if (where.sectionFound) {
      std::string insertion = OneLine(entry.key) + "=" + value + newline;
      // The section's last line may be the file's last, without a line end.
      if (where.sectionEnd > 0 && where.sectionEnd == out.size() && out.back() != '\n' &&
          out.back() != '\r')
        insertion = newline + insertion;
      out.insert(where.sectionEnd, insertion);
    } else {
      if (!out.empty() && out.back() != '\n' && out.back() != '\r') out += newline;
      if (!out.empty()) out += newline;
      out += "[" + OneLine(entry.section) + "]" + newline;
      out += OneLine(entry.key) + "=" + value + newline;
    }
  }
  return out;
}

}  // namespace platform
