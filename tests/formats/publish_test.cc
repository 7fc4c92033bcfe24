// The publishers' tools, run as programs: nimbo-publish builds repositories
// and DRL files that the readers accept, and refuses what they could not
// carry; nimbo-keygen makes keys that the key file reader accepts.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include "common/error.h"
#include "formats/drl_file.h"
#include "formats/file_sha256.h"
#include "formats/lst_file.h"
#include "formats/signing.h"
#include "keyfile/key_file.h"
#include "support/child_process.h"
#include "support/test_support.h"

namespace upd {
namespace {

namespace fs = boost::filesystem;
using testing::read_file, testing::write_file;

const std::string bin = NIMBO_BINARY_DIR "/bin/";

class PublishTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::can_sign()) GTEST_SKIP() << "the build's key file holds no private part";
    fs::create_directory(source_);
  }
  // Runs the program; returns its output, prefixed with "failed: " on a non-zero exit.
  std::string run(std::vector<std::string> argv) {
    argv[0] = bin + argv[0];
    fs::remove(dir_ / "output");
    const bool ok = testing::run_program(argv, dir_ / "output");
    return (ok ? "" : "failed: ") + read_file(dir_ / "output");
  }
  std::string publish_list(const std::vector<std::string>& more = {}) {
    std::vector<std::string> argv{"nimbo-publish", "list", "--key", NIMBO_TEST_KEY, "--source", source_.string(),
                                  "--out", out_.string(), "--serial", "7"};
    argv.insert(argv.end(), more.begin(), more.end());
    return run(argv);
  }

  testing::temp_dir_t dir_;
  fs::path source_ = dir_ / "source", out_ = dir_ / "out";
};

TEST_F(PublishTest, BuildsARepositoryThatTheListReaderAccepts) {
  const std::string big(200000, 'x');
  write_file(source_ / "a.dat", "hello\n");
  write_file(source_ / "B_2.bin", big);
  write_file(source_ / "timestamp", "1700000000\n");
  write_file(source_ / "empty", "");
  ASSERT_EQ(publish_list({"--remove", "*.tmp", "--remove", "old?.*"}), "");
  const lst_file_t list = lst_file_t::parse(read_file(out_ / "version.lst"));
  EXPECT_EQ(list.file_names(), (std::vector<std::string>{"B_2.bin", "a.dat", "empty", "timestamp"}));
  EXPECT_EQ(list.checksum_of("a.dat"), file_sha256(source_ / "a.dat"));
  EXPECT_EQ(list.size_of("B_2.bin"), 200000u);
  EXPECT_EQ(list.checksum_of("B_2.bin"), file_sha256(source_ / "B_2.bin"));
  EXPECT_EQ(list.size_of("empty"), 0u);
  EXPECT_EQ(list.patterns(), (std::vector<std::string>{"*.tmp", "old?.*"}));
  EXPECT_TRUE(read_file(out_ / "version.lst").starts_with("[NimboUpdateList]\r\n[7]\r\n"));
  for (const char* name : {"a.dat", "B_2.bin", "timestamp", "empty"})
    EXPECT_EQ(read_file(out_ / name), read_file(source_ / name)) << name;
  EXPECT_FALSE(fs::exists(out_ / "timestamp.lzma"));
  for (const char* name : {"a.dat", "B_2.bin", "empty"}) {
    const std::string packed = (out_ / (std::string(name) + ".lzma")).string();
    EXPECT_TRUE(testing::run_program({"sh", "-c", "xz --format=lzma -dc " + packed + " > " + packed + ".out"},
                                     dir_ / "xz"));
    EXPECT_EQ(read_file(packed + ".out"), read_file(source_ / name)) << name;
  }
  EXPECT_LT(fs::file_size(out_ / "B_2.bin.lzma"), 1000u);
}

TEST_F(PublishTest, RefusesWhatTheListCannotCarry) {
  const std::string name_rule = "a listed name may hold only ASCII letters, digits, '.' and "
                                "'_', and may not be \".\" or \"..\"\n",
                    pattern_rule = "a removal pattern may hold only ASCII letters, digits, '?', "
                                   "'*', '.' and '_'\n";
  struct {
    std::vector<std::string> files, options;
    std::string message;
  } const cases[] = {
      {{"a-b"}, {}, "\"a-b\": " + name_rule},
      {{"version.lst"}, {}, "\"version.lst\" is the update list itself\n"},
      {{"x", "x.lzma"}, {}, "\"x.lzma\" would clash with the packed form of \"x\"\n"},
      {{"a"}, {"--remove", "dir/*"}, "\"dir/*\": " + pattern_rule},
      {{"a"}, {"--remove", "[ab]"}, "\"[ab]\": " + pattern_rule},
      {{}, {}, source_.string() + ": no files to list\n"},
  };
  for (const auto& c : cases) {
    fs::remove_all(source_);
    fs::create_directory(source_);
    for (const auto& name : c.files) write_file(source_ / name, "x");
    EXPECT_EQ(publish_list(c.options), "failed: nimbo-publish: " + c.message);
    EXPECT_FALSE(fs::exists(out_ / "version.lst"));
  }
  fs::create_directory(source_ / "sub");
  EXPECT_EQ(publish_list(), "failed: nimbo-publish: " + (source_ / "sub").string() + ": only regular files can be published\n");
}

TEST_F(PublishTest, WritesDrlFilesThatTheReaderAccepts) {
  const fs::path drl = dir_ / "zone.drl";
  ASSERT_EQ(run({"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", drl.string(), "http://127.0.0.1:1/",
                 "https://127.0.0.1/b"}),
            "");
  drl_file_t reader;
  reader.load(drl);
  EXPECT_EQ(reader.urls(), (std::set<std::string>{"http://127.0.0.1:1/", "https://127.0.0.1/b"}));
  ASSERT_EQ(run({"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", drl.string()}), "");
  reader.load(drl);
  EXPECT_TRUE(reader.urls().empty());
  EXPECT_EQ(run({"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", drl.string(), " http://a/"}),
            "failed: nimbo-publish: \" http://a/\": a server URL may not be empty, hold a line break, or begin or "
            "end with a blank\n");
}

TEST_F(PublishTest, ExplainsAWrongCommandLine) {
  const std::string usage =
      "usage: nimbo-publish list --key KEY --source DIR --out DIR [--remove PATTERN]... [--serial N]\n"
      "       nimbo-publish drl --key KEY --out FILE [URL]...\n";
  struct {
    std::vector<std::string> argv;
    std::string fault;
  } const cases[] = {
      {{"nimbo-publish"}, "a command is needed"},
      {{"nimbo-publish", "sign"}, "unknown command \"sign\""},
      {{"nimbo-publish", "list", "--key"}, "--key needs a value"},
      {{"nimbo-publish", "drl", "--key", "k"}, "--key, --out are needed"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(run(c.argv), "failed: nimbo-publish: " + c.fault + "\n" + usage);
  EXPECT_EQ(run({"nimbo-publish", "--help"}), usage);
}

TEST_F(PublishTest, KeygenMakesAUsableKeyAndNeverOverwrites) {
  const fs::path key = dir_ / "new.key";
  ASSERT_EQ(run({"nimbo-keygen", key.string()}), "");
  const key_file_t read = read_key_file(key.string());
  EXPECT_NE(read.x, nullptr);
  EXPECT_EQ(fs::status(key).permissions(), fs::owner_read | fs::owner_write);
  EXPECT_EQ(run({"nimbo-keygen", key.string()}), "failed: nimbo-keygen: " + key.string() + ": File exists\n");
}

TEST(KeyFile, NamesTheFaultOfABrokenKeyFile) {
  testing::temp_dir_t dir;
  const std::string good = read_file(NIMBO_TEST_KEY);
  auto line = [&](char name) {
    const auto at = good.find(std::string(1, name) + "=");
    return good.substr(at, good.find('\n', at) - at);
  };
  const std::string p = line('p'), q = line('q'), g = line('g'), y = line('y');
  struct {
    std::string text, fault;
  } const cases[] = {
      {p + "\n" + q + "\n" + g + "\n" + y + "\n", ""},
      {p + "\n" + q + "\n" + g + "\n", "no y= line"},
      {p + "\n" + q + "\n" + g + "\n" + y + "\nz=1\n", "line 5: expected p=, q=, g=, y= or x="},
      {p + "\n" + q + "\n" + g + "\ny=12x4\n", "line 4: not a hexadecimal number"},
      {p + "\nq=5\n" + g + "\n" + y + "\n", "q is not a 160-bit number"},
      {p + "\n" + q + "\ng=1\n" + y + "\n", "g is out of range"},
      {p + "\n" + q + "\n" + g + "\n" + y + "\nx=1\n", "y is not g^x mod p"},
  };
  for (const auto& c : cases) {
    write_file(dir / "k", c.text);
    try {
      read_key_file((dir / "k").string());
      EXPECT_EQ(c.fault, "");
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(e.what(), (dir / "k").string() + ": " + c.fault);
    }
  }
}

}  // namespace
}  // namespace upd
