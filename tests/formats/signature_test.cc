#include "formats/signature.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <vector>

#include "formats/key_tables.h"
#include "formats/sha0.h"
#include "formats/signing.h"
#include "support/test_support.h"

namespace upd {
namespace {

// Signs each message with the independent signer written in Python, which
// shares no code with the reader (its own SHA-0 and DSA).
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

// The lengths put the end of the message around SHA-0's block and padding edges.
TEST(SignatureTest, AcceptsWhatTheIndependentSignerSignedAndNothingChanged) {
  if (!testing::can_sign()) GTEST_SKIP() << "the build's key file holds no private part";
  std::vector<std::string> messages;
  for (std::size_t length : {1, 3, 55, 56, 63, 64, 65, 1000}) {
    std::string message;
    for (std::size_t i = 0; i < length; ++i) message += static_cast<char>('a' + i * 7 % 26);
    messages.push_back(message);
  }
  const std::vector<std::string> signatures = python_signatures(messages);
  ASSERT_EQ(signatures.size(), messages.size());
  const auto verifies = [](const std::string& message, const std::string& signature) {
    return verify_signature(message.data(), message.size(), signature);
  };
  for (std::size_t i = 0; i < messages.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_TRUE(verifies(messages[i], signatures[i]));
    std::string message = messages[i];
    message[message.size() / 2] ^= 1;
    EXPECT_FALSE(verifies(message, signatures[i]));
    for (std::size_t digit : {0, 39, 40, 79}) {
      std::string changed = signatures[i];
      changed[digit] = changed[digit] == '1' ? '2' : '1';
      EXPECT_FALSE(verifies(messages[i], changed)) << digit;
    }
  }
  // An empty message is refused without hashing; the digits are read in
  // either case, and those beyond the fortieth byte are ignored.
  EXPECT_FALSE(verify_signature(messages[0].data(), 0, signatures[0]));
  std::string upper = signatures[2];
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  for (const std::string& signature : {upper, signatures[2] + "zz0123"}) EXPECT_TRUE(verifies(messages[2], signature));
  for (const std::string& signature : {signatures[2] + "0", signatures[2].substr(0, 78), std::string()})
    EXPECT_FALSE(verifies(messages[2], signature));
}

TEST(DsaVerify, ChecksTheRangeOfRThenOfS) {
  sha0_context digest;
  sha0_init(digest);
  sha0_update("abc", 3, digest);
  sha0_final(digest);
  const std::string zero(20, '\0'), one = std::string(1, '\1') + std::string(19, '\0'),
                    q(reinterpret_cast<const char*>(GroupParameters.q), 20), top(20, '\xff');
  std::string q_minus_one = q;
  q_minus_one[0] = static_cast<char>(q_minus_one[0] - 1);  // q is odd
  struct {
    std::string r, s;
    int status;
  } const cases[] = {
      {zero, one, dsa_zero},           {one, zero, dsa_zero},           {q, one, dsa_out_of_range},
      {one, q, dsa_out_of_range},      {top, one, dsa_out_of_range},    {q, zero, dsa_out_of_range},
      {zero, q, dsa_zero},             {one, one, dsa_mismatch},        {q_minus_one, q_minus_one, dsa_mismatch},
  };
  for (const auto& c : cases) {
    const std::string signature = c.r + c.s;
    EXPECT_EQ(dsa_verify(PublicKey, reinterpret_cast<const std::uint8_t*>(signature.data()), digest), c.status);
  }
}

}  // namespace
}  // namespace upd
