#include "formats/drl_file.h"

#include <gtest/gtest.h>

#include <set>

#include "common/error.h"
#include "formats/signing.h"
#include "support/test_support.h"

namespace upd {
namespace {

using testing::signature_of;
using urls_t = std::set<std::string>;

std::string sign_line(const std::string& signed_part) { return "sign=" + signature_of(signed_part); }

class DrlFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::can_sign()) GTEST_SKIP() << "the build's key file holds no private part";
  }
  // Loads the file at path (by default bytes written to path_); the logged
  // lines, of which a failure gives exactly one.
  std::string load(const std::string& bytes, urls_t* urls = nullptr, boost::filesystem::path path = {}) {
    if (path.empty()) testing::write_file(path = path_, bytes);
    testing::captured_log_t log;
    drl_file_t drl;
    try {
      drl.load(path);
    } catch (nb::ErrorCode code) {
      EXPECT_EQ(code, nb::EC_BAD_DRL_FILE);
      EXPECT_EQ(log.lines().size(), 1u);
    }
    if (urls) *urls = drl.urls();
    std::string logged;
    for (const auto& line : log.lines()) logged += line;
    return logged;
  }
  // Log lines quote paths, an ampersand before each '"' and '&' inside.
  std::string error(const std::string& reason) const {
    return "Error: DRL: \"" + dir_.path().string() + "/a&&&\"b.drl\": " + reason;
  }

  testing::temp_dir_t dir_;
  boost::filesystem::path path_ = dir_ / "a&\"b.drl";
};

TEST_F(DrlFileTest, LoadsEveryGoodFileAndGivesTheReasonForEveryBadOne) {
  const std::string good = "url=http://a/\n", crlf = "url=http://a/\r\n",
                    untrimmed = "url= \thttp://a/ \t\nurl=http://a/\nurl=\n";
  const struct {
    std::string bytes, logged;
    urls_t urls;
  } loads[] = {
      // Values trimmed, repeats stored once, an empty URL kept.
      {untrimmed + "sign=\t" + signature_of(untrimmed) + " \n", "", urls_t{"", "http://a/"}},
      {"\n" + sign_line("\n"), "", urls_t{}},
      // The last signature is checked against the bytes before the first.
      {crlf + "sign=00\r\n" + sign_line(crlf) + "\r\n", "", urls_t{"http://a/"}},
      {"url=http://a/\r\rurl=http://b/\r" + sign_line("url=http://a/\r\rurl=http://b/\r"), "",
       urls_t{"http://a/", "http://b/"}},
      {good + sign_line(good) + "\nurl=http://evil/\nurl=http://a/\n",
       "Warning: DRL: \"" + dir_.path().string() +
           "/a&&&\"b.drl\": 2 url= line(s) after the signature are not signed and were ignored",
       urls_t{"http://a/"}},
  };
  for (const auto& c : loads) {
    urls_t urls{"x"};
    EXPECT_EQ(load(c.bytes, &urls), c.logged) << c.bytes;
    EXPECT_EQ(urls, c.urls) << c.bytes;
  }
  const std::pair<std::string, std::string> refusals[] = {
      {crlf + sign_line(crlf) + "\r\nsign=00\r\n", "invalid signature"},
      {"\n\n", "invalid signature"},
      {sign_line("") + "\nurl=http://a/\n", "invalid signature"},
      {good + "sign=" + signature_of(good).substr(0, 78) + "\n", "invalid signature"},
      {"url=http://b/\n" + sign_line(good), "invalid signature"},
      {" url=http://a/\n" + sign_line(" url=http://a/\n"), "invalid format"},
      {good + "server=x\n" + sign_line(good), "invalid format"},
      {good + sign_line(good) + "\n#comment\n", "invalid format"},
  };
  for (const auto& [bytes, reason] : refusals) EXPECT_EQ(load(bytes), error(reason)) << bytes;
  // The size limit, and files that cannot be read.
  std::string big = good + std::string(1000, '\n');
  big += sign_line(big);
  big += std::string(drl_file_t::max_size - big.size(), '\n');
  EXPECT_EQ(load(big), "");
  EXPECT_EQ(load(big + "\n"), error("file too big"));
  EXPECT_EQ(load("", nullptr, dir_ / "missing"),
            "Error: DRL: \"" + (dir_ / "missing").string() + "\": open: No such file or directory");
}

TEST_F(DrlFileTest, GivesOneCleanAnswerForEveryCutAndEveryFlippedByte) {
  const std::string signed_part = "url=http://a/\r\nurl=https://b:8443/x\r\n";
  const std::string sample = signed_part + sign_line(signed_part) + "\r\n";
  for (std::size_t length = 0; length <= sample.size(); ++length) {
    const std::string logged = load(sample.substr(0, length));
    // Only cuts after the whole signature can load.
    EXPECT_TRUE(logged == error("invalid signature") || logged == error("invalid format") ||
                (logged.empty() && length >= sample.size() - 2))
        << length << " " << logged;
  }
  for (std::size_t at = 0; at < signed_part.size(); ++at) {
    std::string bytes = sample;
    bytes[at] ^= 0x20;
    EXPECT_NE(load(bytes), "") << at;
  }
}

TEST_F(DrlFileTest, ShufflesEveryServerOnceInAnOrderFromRand) {
  drl_file_t drl;
  std::string signed_part;
  for (char c = 'a'; c <= 'h'; ++c) signed_part += std::string("url=http://") + c + "/\n";
  drl.parse(signed_part + sign_line(signed_part), path_);
  std::srand(1);
  const auto first = drl.shuffled_urls();
  std::srand(1);
  EXPECT_EQ(drl.shuffled_urls(), first);
  EXPECT_EQ(urls_t(first.begin(), first.end()), drl.urls());
  EXPECT_EQ(first.size(), 8u);
}

}  // namespace
}  // namespace upd
