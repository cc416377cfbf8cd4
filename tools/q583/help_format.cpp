#include "help_format.h"

#include <cstdlib>
#include <sstream>

#include "common.h"

namespace q583cli {

namespace {

std::string WrapLine(const std::string& line, size_t width) {
  const size_t indent = line.find_first_not_of(' ');
  if (indent == std::string::npos) return line;
  std::string out(indent, ' ');
  size_t column = indent;
  bool lineStart = true;
  std::istringstream words(line.substr(indent));
  for (std::string word; words >> word;) {
    if (!lineStart && column + 1 + word.size() > width) {
      out += '\n' + std::string(indent, ' ');
      column = indent;
      lineStart = true;
    }
    if (!lineStart) {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    lineStart = false;
  }
  return out;
}

class Formatter : public CLI::Formatter {
 public:
  explicit Formatter(size_t width) : width_(width) {}

  std::string make_option_desc(const CLI::Option* option) const override {
    return Wrap(CLI::Formatter::make_option_desc(option), DescriptionWidth());
  }
  std::string make_subcommand(const CLI::App* sub) const override {
    std::stringstream out;
    CLI::detail::format_help(out, sub->get_display_name(true), Wrap(sub->get_description(), DescriptionWidth()),
                             get_column_width());
    return out.str();
  }
  std::string make_description(const CLI::App* app) const override {
    return Wrap(CLI::Formatter::make_description(app), width_);
  }
  std::string make_footer(const CLI::App* app) const override { return Wrap(CLI::Formatter::make_footer(app), width_); }

 private:
  // What is left beside the column of option names, and at least 20.
  size_t DescriptionWidth() const { return width_ >= get_column_width() + 20 ? width_ - get_column_width() : 20; }

  size_t width_;
};

}  // namespace

std::string Wrap(const std::string& text, size_t width) {
  std::string out;
  const auto lines = Split(text, '\n');
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + WrapLine(lines[i], width);
  return out;
}

std::shared_ptr<CLI::Formatter> WrappingFormatter() {
  size_t width = 79;
  if (const char* columns = std::getenv("COLUMNS")) {
    const long value = std::strtol(columns, nullptr, 10);
    if (value >= 40 && value <= 200) width = static_cast<size_t>(value);
  }
  return std::make_shared<Formatter>(width);
}

}  // namespace q583cli
