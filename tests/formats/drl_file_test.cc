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
  // Loads bytes written to path_ (or the file at path); the lines logged, of
  // which a failure gives exactly one.
  std::string load(const std::string& bytes, boost::filesystem::path path = {}) {
    if (path.empty()) testing::write_file(path = path_, bytes);
    testing::captured_log_t log;
    drl_ = drl_file_t();
    try {
      drl_.load(path);
    } catch (nb::ErrorCode code) {
      EXPECT_EQ(code, nb::EC_BAD_DRL_FILE);
      EXPECT_EQ(log.lines().size(), 1u);
    }
    std::string logged;
    for (const auto& line : log.lines()) logged += line;
    return logged;
  }
  // Log lines quote paths, an ampersand before each '"' and '&' inside.
  std::string line(const std::string& level, const std::string& reason) const {
    return level + ": DRL: \"" + dir_.path().string() + "/a&&&\"b.drl\": " + reason;
  }

  testing::temp_dir_t dir_;
  boost::filesystem::path path_ = dir_ / "a&\"b.drl";
  drl_file_t drl_;
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
      {good + sign_line(good), "", urls_t{"http://a/"}},
      // The last signature is checked against the bytes before the first.
      {crlf + "sign=00\r\n" + sign_line(crlf) + "\r\n", "", urls_t{"http://a/"}},
      {"url=http://a/\r\rurl=http://b/\r" + sign_line("url=http://a/\r\rurl=http://b/\r"), "",
       urls_t{"http://a/", "http://b/"}},
      {good + sign_line(good) + "\nurl=http://evil/\nurl=http://a/\n",
       line("Warning", "2 url= line(s) after the signature are not signed and were ignored"), urls_t{"http://a/"}},
  };
  for (const auto& c : loads) {
    EXPECT_EQ(load(c.bytes), c.logged) << c.bytes;
    EXPECT_EQ(drl_.urls(), c.urls) << c.bytes;
    const auto shuffled = drl_.shuffled_urls();  // every server once
    EXPECT_EQ(urls_t(shuffled.begin(), shuffled.end()), c.urls);
    EXPECT_EQ(shuffled.size(), c.urls.size());
  }
  const std::pair<std::string, std::string> refusals[] = {
      {crlf + sign_line(crlf) + "\r\nsign=00\r\n", "invalid signature"},
      {"\n\n", "invalid signature"},
      {sign_line("") + "\nurl=http://a/\n", "invalid signature"},
      {" url=http://a/\n" + sign_line(" url=http://a/\n"), "invalid format"},
      {good + "server=x\n" + sign_line(good), "invalid format"},
      {good + sign_line(good) + "\n#comment\n", "invalid format"},
  };
  for (const auto& [bytes, reason] : refusals) EXPECT_EQ(load(bytes), line("Error", reason)) << bytes;
  // The size limit, and files that cannot be read.
  std::string big = good + std::string(1000, '\n');
  big += sign_line(big);
  big += std::string(drl_file_t::max_size - big.size(), '\n');
  EXPECT_EQ(load(big), "");
  EXPECT_EQ(load(big + "\n"), line("Error", "file too big"));
  EXPECT_EQ(load("", dir_ / "missing"),
            "Error: DRL: \"" + (dir_ / "missing").string() + "\": open: No such file or directory");
}

}  // namespace
}  // namespace upd
