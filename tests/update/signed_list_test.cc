// Update lists with the detached Ed25519 signature, through the real
// program against nginx: what makes a server fail, that a zone once signed
// stays signed, the build that requires signatures, key rotation and the
// publisher's daily re-signing.
#include <gtest/gtest.h>

#include <boost/filesystem/operations.hpp>

#include "formats/list_signature.h"
#include "keyfile/ed25519_key.h"
#include "support/child_process.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using strings = std::vector<std::string>;

const std::string dev_key = NIMBO_SOURCE_DIR "/keys/dev-ed25519.pem";
const files_t files = {{"a.vdb", "signed a"}, {"b.vdb", "signed b"}};

strings signed_by(const strings& keys, const std::string& expires = "7d") {
  strings options = {"--serial", "42", "--expires", expires};
  for (const auto& key : keys) options.insert(options.end(), {"--sign-key", key});
  return options;
}

class SignedList : public UpdateRunTest {
 protected:
  std::string signature_path(const std::string& suffix = "") const {
    return (served(suffix) / list_signature_name).string();
  }
  // A signature file of the statement, by the key file.
  static std::string signed_statement(const std::string& statement, const std::string& key = dev_key) {
    const auto pair = read_ed25519_key_file(key);
    return statement + list_signature_line(ed25519_public_key(pair), ed25519_sign(pair, statement));
  }
  std::string new_key(const std::string& name) {
    write_ed25519_private_file((dir_ / name).string(), generate_ed25519_key());
    return (dir_ / name).string();
  }
};

TEST_F(SignedList, AZoneOnceSignedRefusesUnsignedListsFromThenOn) {
  write_drl({publish(files, {"--serial", "42"})});
  const auto unsigned_run = run();
  expect_staged(unsigned_run, files, 2);
  EXPECT_TRUE(has_line(unsigned_run, "Notice: Update lists accepted without version.lst.sig: BASE"));

  publish(files, signed_by({dev_key}));
  expect_staged(run(), files, 2);
  EXPECT_NE(read_file(update_ / "nimbo-update.serials").find("BASE 42 signed\n"), std::string::npos);

  fs::remove(signature_path());
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + http_base() + "version.lst.sig: missing"));
}

TEST_F(SignedList, TheBuildThatRequiresSignaturesRefusesUnsignedListsFromTheStart) {
  write_drl({publish(files)});
  program_ = NIMBO_BINARY_DIR "/tests/nimbo-update-signed-only";
  const auto refused = run();
  EXPECT_EQ(refused.exit_status, 94);
  EXPECT_TRUE(has_line(refused, "Warning: BASE: " + http_base() + "version.lst.sig: missing"));
  publish(files, signed_by({dev_key}));
  expect_staged(run(), files, 2);
}

// Each bad server alone ends the run with its reason; among them, the one
// good server still delivers.
TEST_F(SignedList, EachFaultOfTheSignatureFailsItsServerAndAGoodOneIsUsed) {
  const std::string good = publish(files, signed_by({dev_key}));
  const std::string list = read_file(served() / "version.lst");
  const std::string future = "2099-01-01T00:00:00Z";
  std::string forged = read_file(signature_path());
  char& letter = forged[forged.rfind(' ') + 5];
  letter = letter == 'A' ? 'B' : 'A';
  const struct {
    const char* suffix;
    std::string signature;  // empty: none, the server answers otherwise
    std::string reason;
  } cases[] = {
      {"-digest", signed_statement(list_statement(list + " ", "42", *parse_utc_time(future))),
       "digest mismatch"},
      {"-serial", signed_statement(list_statement(list, "43", *parse_utc_time(future))),
       "serial mismatch"},
      {"-expired", signed_statement(list_statement(list, "42", 1000000000)),
       "expired on 2001-09-09T01:46:40Z"},
      {"-unknown", signed_statement(list_statement(list, "42", *parse_utc_time(future)), new_key("k")),
       "unknown key"},
      {"-forged", forged, "bad signature"},
      {"-malformed", read_file(signature_path()) + "ed25519 \n", "malformed"},
      {"-huge", std::string(10 << 20, 'x'), "too large"},
      {"-500", "", "HTTP 500 Internal Server Error"},
  };
  strings servers;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.suffix);
    fs::create_directories(served(c.suffix));
    fs::copy_file(served() / "version.lst", served(c.suffix) / "version.lst");
    if (!c.signature.empty()) write_file(signature_path(c.suffix), c.signature);
    servers.push_back(nginx_->http_url(id_ + c.suffix + "/"));
    write_drl({servers.back()});
    const auto refused = run();
    EXPECT_EQ(refused.exit_status, 94);
    EXPECT_TRUE(has_line(refused, "Warning: BASE: " + servers.back() + "version.lst.sig: " + c.reason))
        << ::testing::PrintToString(refused.log);
  }
  servers.push_back(good);
  write_drl(servers);
  expect_staged(run(), files, 2);
}

// A file with a line of a key the build does not know beside one it does is
// valid; renewing its expiry touches nothing else.
TEST_F(SignedList, ARotatedRepositoryIsRenewedByResigningAlone) {
  const std::string retired = new_key("retired.pem");
  write_drl({publish(files, signed_by({retired, dev_key}, "2001-09-09T01:46:40Z"))});
  EXPECT_EQ(run().exit_status, 94);
  const files_t before = tree(served());
  ASSERT_TRUE(run_program({NIMBO_BINARY_DIR "/bin/nimbo-publish", "resign", "--out", served().string(),
                           "--sign-key", dev_key, "--sign-key", retired, "--expires", "1h"},
                          dir_ / "resign.out"))
      << read_file(dir_ / "resign.out");
  files_t after = tree(served());
  EXPECT_NE(after[list_signature_name], before.at(list_signature_name));
  after[list_signature_name] = before.at(list_signature_name);
  EXPECT_EQ(after, before);
  const auto renewed = run();
  expect_staged(renewed, files, 2);
  EXPECT_TRUE(has_line(renewed, "Warning: BASE: the update list's signature expires within a day"));
}

}  // namespace
}  // namespace upd::testing
