#include "formats/signature.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "formats/key_tables.h"
#include "formats/montgomery.h"
#include "formats/sha0.h"
#include "formats/signing.h"
#include "support/test_support.h"

namespace upd {
namespace {

// Signs each message with the independent signer written in Python.
std::vector<std::string> python_signatures(const std::vector<std::string>& messages) {
  testing::temp_dir_t dir;
  std::string command = "python3 " NIMBO_SOURCE_DIR "/tests/formats/dsa_sign.py " NIMBO_TEST_KEY;
  for (std::size_t i = 0; i < messages.size(); ++i) {
    testing::write_file(dir / std::to_string(i), messages[i]);
    command += " " + (dir / std::to_string(i)).string();
  }
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::vector<std::string> signatures;
  char line[200];
  while (pipe && std::fgets(line, sizeof line, pipe.get())) signatures.emplace_back(line, std::strlen(line) - 1);
  return signatures;
}

bool verifies(const std::string& message, const std::string& signature) {
  return verify_signature(message.data(), message.size(), signature);
}

class SignatureTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!testing::can_sign()) return;
    for (std::size_t length : {1, 3, 55, 56, 63, 64, 65, 1000}) {
      std::string message;
      for (std::size_t i = 0; i < length; ++i) message += static_cast<char>('a' + i * 7 % 26);
      messages_.push_back(message);
    }
    signatures_ = python_signatures(messages_);
  }
  void SetUp() override {
    if (!testing::can_sign()) GTEST_SKIP() << "the build's key file holds no private part";
    ASSERT_EQ(signatures_.size(), messages_.size());
  }
  static std::vector<std::string> messages_, signatures_;
};
std::vector<std::string> SignatureTest::messages_, SignatureTest::signatures_;

TEST_F(SignatureTest, AcceptsWhatTheIndependentSignerSignedAndNothingChanged) {
  for (std::size_t i = 0; i < messages_.size(); ++i) {
    SCOPED_TRACE(i);
    const std::string& signature = signatures_[i];
    EXPECT_TRUE(verifies(messages_[i], signature));
    std::string message = messages_[i];
    message[message.size() / 2] ^= 1;
    EXPECT_FALSE(verifies(message, signature));
    for (std::size_t digit : {0, 39, 40, 79}) {
      std::string changed = signature;
      changed[digit] = changed[digit] == '1' ? '2' : '1';
      EXPECT_FALSE(verifies(messages_[i], changed)) << digit;
    }
  }
  // An empty message is refused without hashing; the digits are read in
  // either case, and those beyond the fortieth byte are ignored.
  EXPECT_FALSE(verify_signature(messages_[0].data(), 0, signatures_[0]));
  std::string upper = signatures_[2];
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& signature : {upper, signatures_[2] + "zz0123"}) EXPECT_TRUE(verifies(messages_[2], signature));
  for (const std::string& signature : {signatures_[2] + "0", signatures_[2].substr(0, 78), std::string()})
    EXPECT_FALSE(verifies(messages_[2], signature));
}

int status_of(const std::string& r, const std::string& s) {
  sha0_context digest;
  sha0_init(digest);
  sha0_update("abc", 3, digest);
  sha0_final(digest);
  const std::string signature = r + s;
  return dsa_verify(PublicKey, reinterpret_cast<const std::uint8_t*>(signature.data()), digest);
}

TEST(DsaVerify, ChecksTheRangeOfRThenOfS) {
  const std::string zero(20, '\0'), one = std::string(1, '\1') + std::string(19, '\0'),
                    q(reinterpret_cast<const char*>(GroupParameters.q), 20);
  std::string q_minus_one = q;
  q_minus_one[0] = static_cast<char>(q_minus_one[0] - 1);  // q is odd
  const std::string top(20, '\xff');
  struct {
    std::string r, s;
    int status;
  } const cases[] = {
      {zero, one, dsa_zero},           {one, zero, dsa_zero},           {q, one, dsa_out_of_range},
      {one, q, dsa_out_of_range},      {top, one, dsa_out_of_range},    {q, zero, dsa_out_of_range},
      {zero, q, dsa_zero},             {one, one, dsa_mismatch},        {q_minus_one, q_minus_one, dsa_mismatch},
  };
  for (const auto& c : cases) EXPECT_EQ(status_of(c.r, c.s), c.status);
}

// Found by fuzzing: the quotient digit x[0]·m_inv was taken in int, which
// overflows (undefined behaviour) for large limbs such as these.
TEST(MontReduce, TakesTheQuotientDigitInUnsignedArithmetic) {
  const limb_t m[4] = {0xFFFD, 0xFFFF, 0xFFFF, 0x7FFF};  // 2^63 - 3
  const modulus_t mod = make_modulus(m, 4, 0xAAAB);      // -M^-1 mod 2^16
  limb_t x[5] = {0xFFFF, 0, 0, 0, 0};
  mont_reduce(x, 4, mod, 1);
  // (0xFFFF + 0x5555·M) / 2^16
  const limb_t expected[5] = {0, 0, 0x8000, 0x2AAA, 0};
  EXPECT_TRUE(std::equal(x, x + 5, expected));
}

std::string digest_of(const std::string& bytes, std::size_t piece) {
  sha0_context context;
  sha0_init(context);
  for (std::size_t at = 0; at < bytes.size(); at += piece)
    sha0_update(bytes.data() + at, std::min(piece, bytes.size() - at), context);
  sha0_final(context);
  char text[48];
  std::snprintf(text, sizeof text, "%08x %08x %08x %08x %08x", context.h[0], context.h[1], context.h[2],
                context.h[3], context.h[4]);
  return text;
}

TEST(Sha0, GivesTheSha0NotTheSha1DigestsWhateverTheFeedingPieces) {
  EXPECT_EQ(digest_of("abc", 3), "0164b8a9 14cd2a5e 74c4f7ff 082c4d97 f1edf880");
  EXPECT_EQ(digest_of("", 1), "f96cea19 8ad1dd56 17ac084a 3d92c610 7708c0ef");
  EXPECT_EQ(digest_of("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq", 56),
            "d2516ee1 acfa5baf 33dfc1c4 71e43844 9ef134c8");
  std::string bytes;
  for (int i = 0; i < 1000; ++i) bytes += static_cast<char>(i * 7);
  const std::string whole = digest_of(bytes, bytes.size());
  for (std::size_t piece : {1, 3, 63, 64, 65, 200}) EXPECT_EQ(digest_of(bytes, piece), whole) << piece;
}

}  // namespace
}  // namespace upd
