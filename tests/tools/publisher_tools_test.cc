// The publishers' tools, run as programs as publishers run them, in a
// temporary folder: nimbo-keygen makes keys that the key file readers accept;
// nimbo-publish builds repositories, DRL files and detached list signatures
// that the readers accept, refuses what they could not carry, and never
// leaves a broken repository when something is wrong.
#include "tools/tool_test.h"

#include <gmock/gmock.h>

#include <random>

#include "common/version.h"
#include "formats/file_sha256.h"

namespace upd::testing {
namespace {

using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using ::testing::ThrowsMessage;

// Every key file is a new one, of the owner alone when private; a public
// half has the id of its key.
TEST_F(ToolTest, KeygenWritesNewFilesOnlyAndPublicHalvesKeepTheKeysId) {
  for (const auto& [argv, mode] : made_) {
    const std::string file = argv.back(), bytes = read_file(file);
    EXPECT_EQ(run(argv), "failed: nimbo-keygen: " + file + ": File exists\n");
    EXPECT_EQ(read_file(file), bytes);
    EXPECT_EQ(static_cast<unsigned>(fs::status(file).permissions()), mode) << file;
    EXPECT_EQ(is_pem_text(bytes) ? read_ed25519_key_file(file).has_private : read_key_file(file).x != nullptr,
              mode == 0600)
        << file;
  }
  EXPECT_EQ(run({"nimbo-keygen", "--fingerprint", path("public.pem")}),
            ed25519_key_id(ed25519_public_key(read_ed25519_key_file(keys_[0]))) + "\n");
  EXPECT_EQ(run({"nimbo-keygen", "--fingerprint", path("dsa-public.key")}),
            run({"nimbo-keygen", "--fingerprint", NIMBO_TEST_KEY}));
}

TEST_F(ToolTest, KeyFileReaderNamesTheFaultOfABrokenKey) {
  const std::string key = path("broken.key"), good = read_file(NIMBO_TEST_KEY);
  auto line = [&](char name) {
    const auto at = good.find(std::string(1, name) + "=");
    return good.substr(at, good.find('\n', at) - at) + "\r\n";
  };
  const std::string p = line('p'), q = line('q'), g = line('g'), y = line('y');
  const std::pair<std::string, std::string> cases[] = {
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
    EXPECT_THAT([&] { read_key_file(key); }, ThrowsMessage<std::runtime_error>(key + ": " + fault));
  }
}

// Wrong use, what a command line cannot carry, and a key file that cannot be
// written (a file size limit of 0 makes the write fail): nothing is left then.
TEST_F(ToolTest, CommandLines) {
  const std::string x25519 = path("x25519.pem"), drl = path("zone.drl"), full = path("full.pem");
  const std::string url_rule = "a server URL may not be empty, hold a line break, or begin or end with a blank\n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"bash", "-o", "pipefail", "-c",
        "(ulimit -f 0; trap '' XFSZ; exec " NIMBO_BINARY_DIR "/bin/nimbo-keygen --ed25519 " + full + ") 2>&1 | cat"},
       "failed: nimbo-keygen: " + full + ": cannot write the key file\n"},
      {{"nimbo-keygen", "--ed25519"}, "failed: usage: nimbo-keygen OUT\n   or: nimbo-keygen --ed25519 OUT\n"},
      {{"nimbo-keygen", "--public", x25519}, "failed: usage: nimbo-keygen OUT\n"},
      {{"nimbo-keygen", "--fingerprint", x25519}, "failed: nimbo-keygen: " + x25519 + ": not an Ed25519 key\n"},
      {{"nimbo-keygen", "--public", path("none"), path("out")}, "failed: nimbo-keygen: " + path("none") + ": open: "},
      {{"nimbo-publish", "resign"}, "failed: nimbo-publish: --out, --sign-key and --expires are needed\nusage: "},
      {{"nimbo-publish", "--version"}, "nimbo-publish " + std::string(upd_version) + "\n"},
      {{"nimbo-keygen", "--version"}, "nimbo-keygen " + std::string(upd_version) + "\n"},
      {{"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", drl, " http://127.0.0.1/"},
       "failed: nimbo-publish: \" http://127.0.0.1/\": " + url_rule},
      // A blank inside a URL is no blank at its end.
      {{"nimbo-publish", "drl", "--key", NIMBO_TEST_KEY, "--out", drl, "http://127.0.0.1/a b", "http://127.0.0.1/\t"},
       "failed: nimbo-publish: \"http://127.0.0.1/\t\": " + url_rule},
      {{"nimbo-monitor", "-c", "/dev/null", "--progress", "bar", "--print-config"}, "log_level: LOG_LEVEL_NOTICE\n"},
      {{"nimbo-monitor", "-c", "/dev/null", "--progress", "loud"},
       "failed: nimbo-monitor: --progress takes auto, bar, lines or off\n"},
  };
  for (const auto& [argv, output] : cases) EXPECT_THAT(run(argv), StartsWith(output));
  for (const std::string& file : {path("out"), drl, full}) EXPECT_FALSE(fs::exists(file)) << file;
}

// A packed form is shipped only where it saves bytes; one left from an
// earlier publication of a file that now goes plain is removed.
TEST_F(ToolTest, PublishBuildsARepositoryThatTheListReaderAcceptsAndXzUnpacks) {
  std::mt19937 random(7);
  std::string noise(100000, '\0');
  for (auto& c : noise) c = static_cast<char>(random());
  fs::create_directories(out_);
  write_file(out_ / "a.dat.lzma", "packed form of an older, larger a.dat");
  ASSERT_EQ(publish({{"a.dat", "hello\n"}, {"B_2.bin", std::string(200000, 'x')}, {"timestamp", "1700000000\n"},
                     {"empty", ""}, {"noise", noise}},
                    {"--remove", "*.tmp", "--remove", "old?.*"}),
            "version.lst 0042 published (files: 5, DSA key: " + dsa_key_id(read_key_file(NIMBO_TEST_KEY)) + ")\n");
  const std::string text = read_file(out_ / "version.lst");
  EXPECT_TRUE(text.starts_with("[NimboUpdateList]\r\n[0042]\r\n"));
  const lst_file_t list = lst_file_t::parse(text);
  EXPECT_EQ(list.file_names(), (std::vector<std::string>{"B_2.bin", "a.dat", "empty", "noise", "timestamp"}));
  EXPECT_EQ(list.patterns(), (std::vector<std::string>{"*.tmp", "old?.*"}));
  EXPECT_FALSE(fs::exists(out_ / "timestamp.lzma"));
  EXPECT_EQ(read_file(out_ / "version.lst.packed"), "nimbo-packed 1\nserial 0042\nB_2.bin\n");
  for (const char* name : {"a.dat", "B_2.bin", "empty", "noise"}) {
    EXPECT_EQ(list.checksum_of(name), file_sha256(source_ / name));
    EXPECT_EQ(list.size_of(name), fs::file_size(source_ / name));
    const std::string packed = (out_ / name).string();
    EXPECT_EQ(fs::exists(packed + ".lzma"), std::string(name) == "B_2.bin") << name;
    if (std::string(name) != "B_2.bin") continue;
    EXPECT_TRUE(
        run_program({"sh", "-c", "xz --format=lzma -dc " + packed + ".lzma > " + packed + ".out"}, dir_ / "xz"));
    EXPECT_EQ(read_file(packed + ".out"), read_file(source_ / name)) << name;
  }
  EXPECT_LT(fs::file_size(out_ / "B_2.bin.lzma"), 1000u);
}

// What the update list could not carry. (The readers accept what the tool
// makes: every end-to-end run publishes its repository.)
TEST_F(ToolTest, PublishRefusesWhatTheListCannotCarry) {
  const std::string name_rule = "a listed name may hold only ASCII letters, digits, '.' and '_', and may not be "
                                "\".\" or \"..\"\n",
                    pattern_rule = "a removal pattern may hold only ASCII letters, digits, '?', '*', '.' and '_'\n";
  const std::tuple<std::map<std::string, std::string>, std::vector<std::string>, std::string> cases[] = {
      {{{"a-b", ""}}, {}, "\"a-b\": " + name_rule},
      {{{"version.lst", ""}}, {}, "\"version.lst\" is the update list itself\n"},
      {{{"version.lst.patches", ""}}, {}, "\"version.lst.patches\" would clash with the index of that name\n"},
      {{{"version.lst.packed", ""}}, {}, "\"version.lst.packed\" would clash with the index of that name\n"},
      {{{"a", ""}}, {"--keep", "2"}, "--keep needs --history\n"},
      {{{"a", ""}}, {"--history", "h", "--keep", "0"}, "--keep takes a count from 1 to 9999\n"},
      {{{"x", ""}, {"x.lzma", ""}}, {}, "\"x.lzma\" would clash with the packed form of \"x\"\n"},
      {{{"a", ""}}, {"--remove", "dir/*"}, "\"dir/*\": " + pattern_rule},
      {{}, {}, source_.string() + ": no files to list\n"},
      {{{"a", ""}}, {"--key"}, "--key needs a value\n"},
  };
  for (const auto& [files, options, message] : cases) {
    EXPECT_TRUE(publish(files, options).starts_with("failed: nimbo-publish: " + message)) << message;
    EXPECT_FALSE(fs::exists(out_ / "version.lst"));
  }
}

TEST_F(ToolTest, AFailedPublishLeavesTheRepositoryAsItWas) {
  // a.dat's packed form, stale for the new a.dat, stays too.
  ASSERT_THAT(publish({{"a.dat", std::string(100, 'a')}, {"b.dat", "b"}},
                    {"--sign-key", keys_[0], "--expires", "7d", "--zone", "NBS"}),
            StartsWith("version.lst 0042 published"));
  ASSERT_TRUE(fs::exists(out_ / "a.dat.lzma"));
  fs::create_directory(out_ / "c.dat");
  const auto before = folder_state(out_);
  const std::map<std::string, std::string> files = {{"a.dat", "new a"}, {"b.dat", "new b"}};
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--key", path("dsa-public.key")}, path("dsa-public.key") + ": the key file holds no private part (x=)"},
      {{"--sign-key", path("x25519.pem"), "--expires", "1d", "--zone", "NBS"}, path("x25519.pem") + ": not an Ed25519 key"},
      {{"--sign-key", path("public.pem"), "--expires", "1d", "--zone", "NBS"}, path("public.pem") + ": a public key cannot sign"},
      {{"--sign-key", keys_[0], "--expires", "1 day", "--zone", "NBS"}, "\"1 day\": an expiry is a span such as 7d"},
      {{"--sign-key", keys_[0]}, "--sign-key and --expires go together"},
      {{"--sign-key", keys_[0], "--expires", "1d"}, "--sign-key and --zone go together"},
      {{"--sign-key", keys_[0], "--expires", "1d", "--zone", "nbs"}, "\"nbs\": a zone is BASE, VERSION or NBS"},
      {{"--serial", std::string(21, '1')}, "serial too long: clients take at most 20 digits"},
      {{}, (out_ / "version.lst.sig").string() + " would no longer match the list"},
      {{"--serial", "41"}, "serial 41 is not above the published 42; clients would refuse it"},
      {{"--source", path("none"), "--sign-key", keys_[0], "--expires", "1d", "--zone", "NBS"},
       path("none") + ": No such file or directory"},
      {{"--source", source_.string() + "2", "--sign-key", keys_[0], "--expires", "1d", "--zone", "NBS"}, "c.dat: is a directory"},
  };
  fs::create_directory(source_.string() + "2");
  for (const auto& [name, content] : files) write_file(source_.string() + "2/" + name, content);
  write_file(source_.string() + "2/c.dat", "c");
  for (const auto& [options, message] : cases) {
    EXPECT_THAT(publish(files, options), AllOf(StartsWith("failed: nimbo-publish: "), HasSubstr(message)));
    EXPECT_EQ(folder_state(out_), before) << message;
  }
  EXPECT_THAT(publish(files, {"--serial", "41", "--allow-lower-serial", "--sign-key", keys_[0], "--expires", "1d",
                              "--zone", "NBS"}),
              AllOf(HasSubstr("serial record \"nimbo-update.serials\" is deleted"), HasSubstr("version.lst 41 published")));
}

// Every key given signs; "resign" refuses a list that none of its keys
// signed, and leaves it as it was, and renews one that they signed, for
// the zone it was signed for.
TEST_F(ToolTest, SignsWithEveryKeyAndResignsOnlyWhatItsKeysSigned) {
  ASSERT_EQ(publish({{"a.dat", "a"}},
                    {"--sign-key", keys_[0], "--sign-key", keys_[1], "--expires", "2001-02-03T04:05:06Z",
                     "--zone", "VERSION"}),
            "version.lst 0042 published (files: 1, DSA key: " + dsa_key_id(read_key_file(NIMBO_TEST_KEY)) +
                "), version.lst.sig: zone VERSION, expires 2001-02-03T04:05:06Z, keys " +
                run({"nimbo-keygen", "--fingerprint", keys_[0]}).substr(0, 16) + ", " +
                run({"nimbo-keygen", "--fingerprint", keys_[1]}));
  EXPECT_EQ(list_signature_t::parse(read_file(out_ / "version.lst.sig")).signatures.size(), 2u);
  const auto before = folder_state(out_);
  EXPECT_THAT(run({"nimbo-publish", "resign", "--out", out_.string(), "--sign-key",
                   NIMBO_SOURCE_DIR "/keys/dev-ed25519.pem", "--expires", "7d"}),
              StartsWith("failed: nimbo-publish: " + (out_ / "version.lst.sig").string() + ": unknown key: signed by "));
  EXPECT_EQ(folder_state(out_), before);
  EXPECT_THAT(run({"nimbo-publish", "resign", "--out", out_.string(), "--sign-key", keys_[0], "--expires", "7d"}),
              StartsWith("version.lst.sig renewed for version.lst 42: zone VERSION, expires "));
  const auto renewed = list_signature_t::parse(read_file(out_ / "version.lst.sig"));
  EXPECT_TRUE(renewed.expires > std::time(nullptr) && renewed.zone == "VERSION");
}

}  // namespace
}  // namespace upd::testing
