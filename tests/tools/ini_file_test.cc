#include "ini_file.h"

#include <gtest/gtest.h>

#include "expect_config_error.h"
#include "support/test_support.h"

namespace upd::monitor {
namespace {

TEST(Ini, ReadsSectionsOptionsAndValuesInFileOrder) {
  upd::testing::temp_dir_t dir;
  upd::testing::write_file(dir / "f.ini",
                           "; comment\n# another\n\n[Update]\n  LogLevel =  Debug  \r\nExcludedFiles=*.bak;#x\n"
                           "ExcludedFiles = \"  spaced  \"\nQuote = \"\nEmpty =\n[ Root ]\nVirusBaseDir = /a=b\n");
  std::string flat;
  for (const auto& e : read_ini(dir / "f.ini").entries)
    flat += std::to_string(e.line) + " " + e.section + "|" + e.name + "|" + e.value + "\n";
  EXPECT_EQ(flat,
            "5 Update|LogLevel|Debug\n6 Update|ExcludedFiles|*.bak;#x\n7 Update|ExcludedFiles|  spaced  \n"
            "8 Update|Quote|\"\n9 Update|Empty|\n11 Root|VirusBaseDir|/a=b\n");
}

TEST(Ini, SyntaxErrorsNameTheLine) {
  const std::tuple<const char*, nb::ErrorCode, const char*> cases[] = {
      {"Name = x\n", nb::EC_UNKNOWN_SECTION, "f.ini:1: option before the first [Section]"},
      {"[Update]\n\nno equals sign\n", nb::EC_INVALID_OPTION_VALUE, "f.ini:3: expected Name = value"},
      {"[Update]\n= value\n", nb::EC_INVALID_OPTION_VALUE, "f.ini:2: expected Name = value"},
      {"[ ]\n", nb::EC_UNKNOWN_SECTION, "f.ini:1: expected a section header like [Update]"},
  };
  for (const auto& [text, code, message] : cases)
    testing::expect_config_error([&] { parse_ini(text, "f.ini"); }, code, message);
  testing::expect_config_error([&] { read_ini("/nonexistent.ini"); }, nb::EC_NO_SUCH_ENTRY,
                               "/nonexistent.ini: cannot open: No such file or directory");
}

}  // namespace
}  // namespace upd::monitor
