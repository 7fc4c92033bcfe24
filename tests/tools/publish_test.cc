// The publishers' tools, run as programs: nimbo-publish builds repositories
// and DRL files that the readers accept, and refuses what they could not
// carry; nimbo-keygen makes keys that the key file reader accepts.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include "formats/file_sha256.h"
#include "formats/lst_file.h"
#include "tools/tool_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

using PublishTest = tool_test_t;

TEST_F(PublishTest, BuildsARepositoryThatTheListReaderAcceptsAndXzUnpacks) {
  ASSERT_EQ(publish({{"a.dat", "hello\n"}, {"B_2.bin", std::string(200000, 'x')}, {"timestamp", "1700000000\n"},
                     {"empty", ""}},
                    {"--remove", "*.tmp", "--remove", "old?.*"}),
            "");
  const std::string text = read_file(out_ / "version.lst");
  EXPECT_TRUE(text.starts_with("[NimboUpdateList]\r\n[0042]\r\n"));
  const lst_file_t list = lst_file_t::parse(text);
  EXPECT_EQ(list.file_names(), (std::vector<std::string>{"B_2.bin", "a.dat", "empty", "timestamp"}));
  EXPECT_EQ(list.patterns(), (std::vector<std::string>{"*.tmp", "old?.*"}));
  EXPECT_FALSE(fs::exists(out_ / "timestamp.lzma"));
  for (const char* name : {"a.dat", "B_2.bin", "empty"}) {
    EXPECT_EQ(list.checksum_of(name), file_sha256(source_ / name));
    EXPECT_EQ(list.size_of(name), fs::file_size(source_ / name));
    const std::string packed = (out_ / name).string();
    EXPECT_TRUE(run_program({"sh", "-c", "xz --format=lzma -dc " + packed + ".lzma > " + packed + ".out"}, dir_ / "xz"));
    EXPECT_EQ(read_file(packed + ".out"), read_file(source_ / name)) << name;
  }
  EXPECT_LT(fs::file_size(out_ / "B_2.bin.lzma"), 1000u);
}

// What the update list or a DRL file could not carry. (The readers accept
// what the tool makes: every end-to-end run publishes its repository.)
TEST_F(PublishTest, RefusesWhatTheListsCannotCarry) {
  const std::string name_rule = "a listed name may hold only ASCII letters, digits, '.' and '_', and may not be "
                                "\".\" or \"..\"\n",
                    pattern_rule = "a removal pattern may hold only ASCII letters, digits, '?', '*', '.' and '_'\n";
  const std::tuple<std::map<std::string, std::string>, std::vector<std::string>, std::string> cases[] = {
      {{{"a-b", ""}}, {}, "\"a-b\": " + name_rule},
      {{{"version.lst", ""}}, {}, "\"version.lst\" is the update list itself\n"},
      {{{"x", ""}, {"x.lzma", ""}}, {}, "\"x.lzma\" would clash with the packed form of \"x\"\n"},
      {{{"a", ""}}, {"--remove", "dir/*"}, "\"dir/*\": " + pattern_rule},
      {{}, {}, source_.string() + ": no files to list\n"},
      {{{"a", ""}}, {"--key"}, "--key needs a value\n"},
  };
  for (const auto& [files, options, message] : cases) {
    EXPECT_TRUE(publish(files, options).starts_with("failed: nimbo-publish: " + message)) << message;
    EXPECT_FALSE(fs::exists(out_ / "version.lst"));
  }
  EXPECT_EQ(run({"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", (dir_ / "zone.drl").string(), " http://a/"}),
            "failed: nimbo-publish: \" http://a/\": a server URL may not be empty, hold a line break, or begin or "
            "end with a blank\n");
}

TEST_F(PublishTest, ToolsGiveHelpKeygenNeverOverwritesAndTheReaderNamesTheFaultOfABrokenKey) {
  const std::string key = (dir_ / "new.key").string();
  EXPECT_TRUE(run({"nimbo-keygen", "--help"}).starts_with("usage: nimbo-keygen OUT\nWrites"));
  EXPECT_TRUE(run({"nimbo-publish", "--help"}).starts_with("usage: nimbo-publish list --key KEY"));
  ASSERT_EQ(run({"nimbo-keygen", key}), "");
  EXPECT_NE(read_key_file(key).x, nullptr);
  EXPECT_EQ(fs::status(key).permissions(), fs::owner_read | fs::owner_write);
  EXPECT_EQ(run({"nimbo-keygen", key}), "failed: nimbo-keygen: " + key + ": File exists\n");
  const std::string good = read_file(NIMBO_TEST_KEY);
  auto line = [&](char name) {
    const auto at = good.find(std::string(1, name) + "=");
    return good.substr(at, good.find('\n', at) - at) + "\r\n";
  };
  const std::string p = line('p'), q = line('q'), g = line('g'), y = line('y');
  const std::pair<std::string, std::string> cases[] = {
      {p + q + g + y, ""},
      {p + q + g, "no y= line"},
      {p + q + g + y + "z=1\n", "line 5: expected p=, q=, g=, y= or x="},
      {p + q + g + "y=12x4\n", "line 4: not a hexadecimal number"},
      {"p=5\n" + q + g + y, "p is not a 512-bit number"},
      {p + "q=5\n" + g + y, "q is not a 160-bit number"},
      {p + q + "g=1\n" + y, "g is out of range"},
      {p + q + g + "y=1\n", "y is out of range"},
      {p + q + g + y + "x=1\n", "y is not g^x mod p"},
  };
  for (const auto& [text, fault] : cases) {
    write_file(key, text);
    try {
      read_key_file(key);
      EXPECT_EQ(fault, "");
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), key + ": " + fault);
    }
  }
}

}  // namespace
}  // namespace upd::testing
