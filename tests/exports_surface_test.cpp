// The shared library's dynamic symbol table holds the host interface, all of
// it and nothing more.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "host/export_names.h"

namespace {

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  const std::string command = "nm -D --defined-only '" + library + "'";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  if (!pipe) return names;
  char line[4096];
  while (fgets(line, sizeof line, pipe.get()) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) names.insert(name);
  }
  return names;
}

}  // namespace

TEST(ExportSurface, DynamicSymbolsAreExactlyTheHostInterface) {
  const std::set<std::string> expected(std::begin(kQ583Exports), std::end(kQ583Exports));
  ASSERT_EQ(expected.size(), static_cast<size_t>(kQ583ExportCount)) << "a name is listed twice";
  ASSERT_EQ(kQ583ExportCount, kQ583OriginalExportCount + 13);

  const std::set<std::string> actual = DefinedDynamicSymbols(Q583_SHARED_LIBRARY);
  ASSERT_FALSE(actual.empty()) << "nm found no symbols in " << Q583_SHARED_LIBRARY;
  for (const auto& name : expected) EXPECT_EQ(actual.count(name), 1U) << "missing: " << name;
  for (const auto& name : actual) EXPECT_EQ(expected.count(name), 1U) << "extra: " << name;
}
