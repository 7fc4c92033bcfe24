#include "ini_file.h"

#include <gtest/gtest.h>

#include "expect_config_error.h"
#include "support/test_support.h"

namespace upd::monitor {
namespace {

std::string flatten(const ini_file_t& file) {
  std::string out;
  for (const auto& e : file.entries)
    out += std::to_string(e.line) + " " + e.section + "|" + e.name + "|" + e.value + "\n";
  return out;
}

TEST(ParseIni, ReadsSectionsOptionsAndValuesInFileOrder) {
  const std::string text =
      "; comment\n"
      "# another\n"
      "\n"
      "[Update]\n"
      "  LogLevel =  Debug  \r\n"
      "ExcludedFiles=*.bak;#x\n"
      "ExcludedFiles = \"  spaced  \"\n"
      "Empty =\n"
      "[ Root ]\n"
      "VirusBaseDir = /a=b\n";
  EXPECT_EQ(flatten(parse_ini(text, "f.ini")),
            "5 Update|LogLevel|Debug\n"
            "6 Update|ExcludedFiles|*.bak;#x\n"
            "7 Update|ExcludedFiles|  spaced  \n"
            "8 Update|Empty|\n"
            "10 Root|VirusBaseDir|/a=b\n");
  EXPECT_TRUE(parse_ini("\n\n;x\n[A]\n", "f").entries.empty());
}

TEST(ParseIni, SyntaxErrorsNameTheLine) {
  const testing::config_case_t cases[] = {
      {"Name = x\n", nb::EC_UNKNOWN_SECTION, "f.ini:1: option before the first [Section]"},
      {"[Update]\n\nno equals sign\n", nb::EC_INVALID_OPTION_VALUE, "f.ini:3: expected Name = value"},
      {"[Update]\n= value\n", nb::EC_INVALID_OPTION_VALUE, "f.ini:2: expected Name = value"},
      {"[Update\n", nb::EC_UNKNOWN_SECTION, "f.ini:1: expected a section header like [Update]"},
      {"[ ]\n", nb::EC_UNKNOWN_SECTION, "f.ini:1: expected a section header like [Update]"},
  };
  for (const auto& c : cases) testing::expect_config_error([&] { parse_ini(c.text, "f.ini"); }, c.code, c.message);
}

TEST(ReadIni, ReadsAFileAndRefusesMissingAndHugeOnes) {
  upd::testing::temp_dir_t dir;
  upd::testing::write_file(dir / "a.ini", "[Update]\nLogLevel = Info\n");
  const ini_file_t file = read_ini(dir / "a.ini");
  EXPECT_EQ(file.file_name, (dir / "a.ini").string());
  ASSERT_EQ(file.entries.size(), 1u);

  testing::expect_config_error([&] { read_ini(dir / "missing.ini"); }, nb::EC_NO_SUCH_ENTRY,
                                (dir / "missing.ini").string() + ": cannot open: No such file or directory");

  upd::testing::write_file(dir / "huge.ini", std::string(max_ini_size + 1, ';'));
  EXPECT_THROW(read_ini(dir / "huge.ini"), config_error_t);
}

}  // namespace
}  // namespace upd::monitor
