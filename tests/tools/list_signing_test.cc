// nimbo-publish's detached list signatures: written with every key given,
// renewed by "resign" without touching anything else, and never at the price
// of a broken repository when something is wrong.
#include <gmock/gmock.h>

#include <boost/filesystem/operations.hpp>

#include "formats/list_signature.h"
#include "formats/lst_file.h"
#include "keyfile/ed25519_key.h"
#include "tools/tool_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using ::testing::AllOf;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ListSigningTest : public tool_test_t {
 protected:
  void SetUp() override {
    tool_test_t::SetUp();
    if (IsSkipped()) return;
    for (const std::string& key : keys_) ASSERT_EQ(run({"nimbo-keygen", "--ed25519", key}), "");
  }
  // Publishes the files (name, content) with the options.
  // The signature file, after checking that it verifies with the key at `now`.
  list_signature_t checked_signature(const std::string& key, std::time_t now) {
    const std::string list = read_file(out_ / "version.lst");
    const list_signature_t signature = list_signature_t::parse(read_file(out_ / "version.lst.sig"));
    const ed25519_key_t keys[] = {ed25519_public_key(read_ed25519_key_file(key))};
    signature.check(keys, list, lst_file_t::parse(list).serial(), now);
    return signature;
  }

  const std::string keys_[2] = {path("old.pem"), path("new.pem")};
};

TEST_F(ListSigningTest, AFailedPublishLeavesTheRepositoryAsItWas) {
  ASSERT_EQ(publish({{"a.dat", "a"}, {"b.dat", "b"}}, {"--sign-key", keys_[0], "--expires", "7d"}),
            "");
  fs::create_directory(out_ / "c.dat");
  const auto before = folder_state(out_);
  ASSERT_EQ(run({"nimbo-keygen", "--public", NIMBO_TEST_KEY, path("dsa-public.key")}), "");
  ASSERT_EQ(run({"nimbo-keygen", "--public", keys_[0], path("public.pem")}), "");
  ASSERT_TRUE(run_program(
      {"openssl", "genpkey", "-algorithm", "X25519", "-out", path("x25519.pem")}, dir_ / "o"));
  const std::map<std::string, std::string> files = {{"a.dat", "new a"}, {"b.dat", "new b"}};
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--key", path("dsa-public.key")},
       path("dsa-public.key") + ": the key file holds no private part (x=)"},
      {{"--sign-key", path("x25519.pem"), "--expires", "1d"},
       path("x25519.pem") + ": not an Ed25519 key"},
      {{"--sign-key", path("public.pem"), "--expires", "1d"},
       path("public.pem") + ": a public key cannot sign"},
      {{"--sign-key", keys_[0], "--expires", "1 day"}, "\"1 day\": an expiry is a span such as 7d"},
      {{"--sign-key", keys_[0]}, "--sign-key and --expires go together"},
      {{}, (out_ / "version.lst.sig").string() + " would no longer match the list"},
      {{"--source", path("none"), "--sign-key", keys_[0], "--expires", "1d"}, path("none")},
      {{"--source", source_.string() + "2", "--sign-key", keys_[0], "--expires", "1d"},
       "c.dat: is a directory"},
  };
  fs::create_directory(source_.string() + "2");
  for (const auto& [name, content] : files) write_file(source_.string() + "2/" + name, content);
  write_file(source_.string() + "2/c.dat", "c");
  for (const auto& [options, message] : cases) {
    EXPECT_THAT(publish(files, options),
                AllOf(StartsWith("failed: nimbo-publish: "), HasSubstr(message)));
    EXPECT_EQ(folder_state(out_), before) << message;
  }
}

// Every key given signs; "resign" renews only what one of its keys signed
// before, expired or not. (That it touches nothing else, and that clients
// take the renewal, the end-to-end tests show.)
TEST_F(ListSigningTest, SignsWithEveryKeyAndResignsOnlyWhatItsKeysSigned) {
  ASSERT_EQ(publish({{"a.dat", "a"}}, {"--sign-key", keys_[0], "--sign-key", keys_[1], "--expires",
                                       "2001-02-03T04:05:06Z"}),
            "");
  for (const std::string& key : keys_) {
    const list_signature_t signature = checked_signature(key, 0);
    EXPECT_EQ(signature.serial, "42");
    EXPECT_EQ(signature.signatures.size(), 2u);
  }
  const auto before = folder_state(out_);
  const auto resign = [&](const std::string& key, const std::string& expires) {
    return run({"nimbo-publish", "resign", "--out", out_.string(), "--sign-key", key, "--expires",
                expires});
  };
  ASSERT_EQ(run({"nimbo-keygen", "--ed25519", path("stranger.pem")}), "");
  EXPECT_THAT(resign(path("stranger.pem"), "7d"),
              StartsWith("failed: nimbo-publish: " + (out_ / "version.lst.sig").string() +
                         ": unknown key;"));
  EXPECT_EQ(folder_state(out_), before);
  const std::time_t now = std::time(nullptr);
  ASSERT_EQ(resign(keys_[1], "7d"), "");
  EXPECT_NEAR(static_cast<double>(checked_signature(keys_[1], now).expires),
              static_cast<double>(now + 7 * 86400), 60);
}

}  // namespace
}  // namespace upd::testing
