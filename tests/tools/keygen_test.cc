// nimbo-keygen's Ed25519 keys, and the public halves and ids of both kinds.
#include <boost/filesystem/operations.hpp>

#include "keyfile/ed25519_key.h"
#include "tools/tool_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;

using KeygenTest = tool_test_t;

TEST_F(KeygenTest, MakesPrivateEd25519KeysAndNeverOverwrites) {
  const std::string key = path("list.pem");
  ASSERT_EQ(run({"nimbo-keygen", "--ed25519", key}), "");
  EXPECT_TRUE(read_ed25519_key_file(key).has_private);
  EXPECT_EQ(fs::status(key).permissions(), fs::owner_read | fs::owner_write);
  const std::string bytes = read_file(key);
  EXPECT_EQ(run({"nimbo-keygen", "--ed25519", key}),
            "failed: nimbo-keygen: " + key + ": File exists\n");
  EXPECT_EQ(read_file(key), bytes);
}

TEST_F(KeygenTest, PublicHalvesKeepTheKeysId) {
  const std::string ed25519 = NIMBO_SOURCE_DIR "/keys/dev-ed25519.pem";
  const std::string ed25519_id = ed25519_key_id(ed25519_public_key(read_ed25519_key_file(ed25519)));
  const std::pair<std::string, std::string> cases[] = {{NIMBO_TEST_KEY, ""}, {ed25519, ed25519_id}};
  for (const auto& [key, id] : cases) {
    const std::string half = path("public-" + fs::path(key).filename().string());
    ASSERT_EQ(run({"nimbo-keygen", "--public", key, half}), "") << key;
    EXPECT_EQ(run({"nimbo-keygen", "--public", key, half}),
              "failed: nimbo-keygen: " + half + ": File exists\n");
    const bool pem = is_pem_text(read_file(half));
    EXPECT_FALSE(pem ? read_ed25519_key_file(half).has_private : read_key_file(half).x != nullptr)
        << key;
    const std::string fingerprint = run({"nimbo-keygen", "--fingerprint", key});
    EXPECT_EQ(run({"nimbo-keygen", "--fingerprint", half}), fingerprint) << key;
    EXPECT_EQ(fingerprint.size(), 17u) << fingerprint;
    if (!id.empty()) {
      EXPECT_EQ(fingerprint, id + "\n");
    }
  }
  EXPECT_NE(run({"nimbo-keygen", "--fingerprint", NIMBO_TEST_KEY}),
            run({"nimbo-keygen", "--fingerprint", ed25519}));
}

TEST_F(KeygenTest, RefusesWrongUseAndKeysOfOtherKinds) {
  ASSERT_TRUE(run_program(
      {"openssl", "genpkey", "-algorithm", "X25519", "-out", path("x25519.pem")}, dir_ / "o"));
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--ed25519"}, "failed: usage: nimbo-keygen OUT\n   or: nimbo-keygen --ed25519 OUT\n"},
      {{"--public", path("x25519.pem")}, "failed: usage: nimbo-keygen OUT\n"},
      {{"--fingerprint", path("x25519.pem")},
       "failed: nimbo-keygen: " + path("x25519.pem") + ": not an Ed25519 key\n"},
      {{"--public", path("none"), path("out")},
       "failed: nimbo-keygen: " + path("none") + ": open: "},
  };
  for (const auto& [arguments, output] : cases) {
    std::vector<std::string> argv{"nimbo-keygen"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    EXPECT_TRUE(run(argv).starts_with(output)) << run(argv);
  }
  EXPECT_FALSE(fs::exists(path("out")));
}

}  // namespace
}  // namespace upd::testing
