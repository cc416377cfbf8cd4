// The help texts of q583 broken into lines that fit a terminal of 80
// columns (or $COLUMNS), so that --help and the man page made of it need no
// wider one.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

namespace q583cli {

// Breaks every line of `text` at blanks so that none is longer than `width`
// (a word longer than that stays whole); a continued line keeps its indent.
std::string Wrap(const std::string& text, size_t width);

// A formatter that wraps descriptions, footers and option texts at the
// width $COLUMNS gives (40 to 200), else at 79 columns.  Set on the
// application before its subcommands are added: they take it over.
std::shared_ptr<CLI::Formatter> WrappingFormatter();

}  // namespace q583cli
