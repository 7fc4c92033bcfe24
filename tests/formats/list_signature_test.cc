// The detached list signature: what it accepts, and the reason for
// everything it refuses.
#include "formats/list_signature.h"

#include <gmock/gmock.h>

#include "keyfile/ed25519_key.h"

namespace upd {
namespace {

struct signer_t {
  ed25519_key_file_t key = generate_ed25519_key();

  ed25519_key_t public_key() const { return ed25519_public_key(key); }
  std::string line(const std::string& statement) const {
    return list_signature_line(public_key(), ed25519_sign(key, statement));
  }
};

const std::string list = "the bytes of a version.lst";
const std::time_t now = 1796601600;  // 2026-12-07T00:00:00Z

class ListSignature : public ::testing::Test {
 protected:
  signer_t trusted_, retired_;
  const std::string statement_ = list_statement(list, "42", now + 3600, "BASE");
  const std::vector<ed25519_key_t> keys_{trusted_.public_key()};

  void expect_refused(const std::string& text, const std::string& reason) {
    EXPECT_THAT([&] { list_signature_t::parse(text).check(keys_, list, "42", "BASE", now); },
                ::testing::ThrowsMessage<list_signature_error>(reason))
        << text;
  }
};

// A line of a trusted key among others makes the file valid.
TEST_F(ListSignature, AFileThatDoesNotVouchForThisListIsRefusedWithItsReason) {
  const auto file = list_signature_t::parse(statement_ + retired_.line(statement_) + trusted_.line(statement_));
  EXPECT_NO_THROW(file.check(keys_, list, "42", "BASE", now));
  EXPECT_EQ(file.expires, now + 3600);
  const std::string other_list = list_statement("other bytes", "42", now + 3600, "BASE");
  const std::string other_serial = list_statement(list, "43", now + 3600, "BASE");
  const std::string other_zone = list_statement(list, "42", now + 3600, "VERSION");
  const std::string expired = list_statement(list, "42", now, "BASE");  // the expiry's own second is past
  const std::string trusted = ed25519_key_id(trusted_.public_key());
  expect_refused(statement_ + retired_.line(statement_),
                 "unknown key: signed by " + ed25519_key_id(retired_.public_key()) + "; trusted: " + trusted);
  expect_refused(statement_ + trusted_.line(other_list), "bad signature by " + trusted);
  expect_refused(other_list + trusted_.line(other_list), "digest mismatch");
  expect_refused(other_serial + trusted_.line(other_serial), "serial mismatch");
  expect_refused(other_zone + trusted_.line(other_zone), "zone mismatch: signed for VERSION");
  expect_refused(expired + trusted_.line(expired), "expired on 2026-12-07T00:00:00Z (this computer's time: "
                 "2026-12-07T00:00:00Z; check its clock synchronisation and the mirror)");
}

TEST_F(ListSignature, AnythingButTheExactFormatIsMalformed) {
  const std::string good = statement_ + trusted_.line(statement_);
  const auto replaced = [&](const std::string& from, const std::string& to) {
    std::string text = good;
    return text.replace(text.find(from), from.size(), to);
  };
  const std::string sha256_line = statement_.substr(23, 72);
  for (const std::string& text : {
           replaced("signature 1", "signature 2"),
           replaced("sha256 ", "sha256  "),
           replaced(sha256_line, sha256_line + sha256_line),  // repeated field
           replaced(sha256_line, ""),                         // missing field
           replaced(sha256_line.substr(7, 8), "ABCDEF01"),    // upper case
           replaced("serial 42", "serial 042"),
           replaced("serial 42", "serial 4a"),
           replaced("2026-12-07T01", "2026-02-30T01"),
           replaced("T01:00:00Z", "T01:00:00"),
           replaced("T01:00:00Z", "T24:00:00Z"),
           replaced("zone BASE\n", ""), replaced("zone BASE", "zone base"),  // missing, not a zone
           replaced("\ned25519", "\r\ned25519"),
           replaced("==\n", "=\n"),
           replaced("ed25519 ", "ed25519 0"),
           statement_,                  // no signature line
           good + "ed25519",            // trailing bytes
           good.substr(0, good.size() - 1),
           good + std::string(max_list_signature_size - good.size(), '\n'),  // the largest size read
       })
    expect_refused(text, "malformed");
  expect_refused(good + std::string(max_list_signature_size + 1 - good.size(), '\n'), "too large");
}

}  // namespace
}  // namespace upd
