#include "formats/lst_file.h"

#include <gtest/gtest.h>

#include <boost/lexical_cast/bad_lexical_cast.hpp>
#include <boost/system/system_error.hpp>

#include "common/error.h"
#include "support/test_support.h"
#include "formats/key_tables.h"
#include "formats/signing.h"

namespace upd {
namespace {

using testing::captured_log_t;
using namespace std::string_literals;

// The signature over `signed_part`, placed after `rest` (which holds what
// follows the signed part up to "Signature=") and followed by `tail`.
std::string signed_as(const std::string& signed_part, const std::string& rest, const std::string& tail = "\n") {
  return signed_part + rest + testing::signature_of(signed_part) + tail;
}

// A list around `body`: `eol` ends its lines, `gap` separates the end
// marker's line break from "[Signature]" (empty or one more break).
std::string make_list(const std::string& body, const std::string& eol = "\n", const std::string& gap = "\n",
                      const std::string& tail = "\n") {
  return signed_as("[NimboUpdateList]" + eol + "[12]" + eol + body + "[NimboUpdateListEnd]" + eol,
                   gap + "[Signature]" + eol + "Signature=", tail);
}

std::string entry(const std::string& name) {
  return "+" + name + ", " + std::string(64, 'a') + ", 1";
}

class LstFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::can_sign()) GTEST_SKIP() << "the build's key file holds no private part";
  }
  // "" and the list when it parses; otherwise the one logged line. The bytes
  // are copied to a buffer of their exact size, so that AddressSanitizer sees
  // any read past their end (a std::string would have its terminator there).
  std::string parse(const std::string& bytes) {
    captured_log_t log;
    try {
      list_ = lst_file_t::parse(std::vector<char>(bytes.begin(), bytes.end()));
    } catch (const boost::system::system_error& e) {
      EXPECT_EQ(e.code(), nb::make_error_code(nb::EC_BAD_LST_FILE));
      EXPECT_EQ(log.lines().size(), 1u);
      return log.lines().empty() ? "" : log.lines()[0];
    }
    EXPECT_EQ(log.lines().size(), 0u);
    return "";
  }
  lst_file_t list_;
};

const std::string good_body = entry("a.dat") + "\n";

TEST_F(LstFileTest, ChecksTheStructureAndTheSignatureOfTheWholeFile) {
  const std::string unsigned_list = "[NimboUpdateList]\n[1]\n" + good_body +
                                    "[NimboUpdateListEnd]\n\n[Signature]\nSignature=";
  const std::string sig = "\n[Signature]\nSignature=", bad = "Debug: Lst: Invalid file structure",
                    bad_signature = "Debug: Lst: Invalid signature (DSA key " + std::string(DsaKeyId) + ")";
  const std::string head = "[NimboUpdateList]\r\n[1]\r\n" + good_body + "[NimboUpdateListEnd]";
  const std::string empty_head = "[NimboUpdateList]\r\n[1]\r\n[NimboUpdateListEnd]\r\n";
  std::string changed_signature = make_list("garbage\n");
  char& digit = changed_signature[changed_signature.find("Signature=") + 10];
  digit = digit == '1' ? '2' : '1';
  struct {
    std::string bytes, logged;
  } const cases[] = {
      {make_list(good_body), ""},
      {make_list(good_body, "\r\n", "\r\n"), ""},
      {make_list(good_body, "\r", "\r"), ""},
      {make_list(good_body, "\f", "\f"), ""},
      {make_list(good_body, "\n", "", "\n"), bad},
      {"\xef\xbb\xbf" + make_list(good_body), bad},
      {make_list(good_body, "\n", "\n", " \t\r\n\v\f\n\n"), ""},
      {make_list(good_body, "\n", "\n", "\n#"), bad},
      {make_list(good_body, "\n", "\n", ""), ""},
      {"[NimboUpdateList]\n[]\n" + good_body + "[NimboUpdateListEnd]\n" + sig + "00", bad},
      {"[NimboUpdateList]\n[1]\n[NimboUpdateListEnd]\n" + sig + "00", bad},
      {unsigned_list + "\n", bad},
      {"[NimboUpdateList][1]\n" + good_body + "[NimboUpdateListEnd]\n" + sig + "00", bad},
      {unsigned_list + "00x", bad},
      {unsigned_list + std::string(80, '0'), bad_signature},
      // The signed part ends at the first break after the end marker: with
      // CR LF endings and no empty line, the CR.
      {signed_as(head + "\r", "\n[Signature]\r\nSignature="), ""},
      // The same file signed through the LF: the LF lies outside the signed part.
      {signed_as(head + "\r\n", "[Signature]\r\nSignature="), bad_signature},
      {signed_as(head + "\r\n", "\n[Signature]\r\nSignature="), ""},
      {signed_as(head + "\r\n", "\r\n[Signature]\r\nSignature="), ""},
      {signed_as(head + "\r\n", "\r\r\n[Signature]\r\nSignature="), bad},
      {signed_as(head + "\r", "\r\n[Signature]\r\nSignature="), ""},
      {signed_as(head + "\r\n", "\r\n[Signature]\r\nSignature=").substr(1), bad},
      // The body runs to the last end marker that the rest follows.
      {make_list(good_body + "[NimboUpdateListEnd]\n\n[Signature]\nSignature=00\n"),
       "Debug: Lst: Unexpected line '[NimboUpdateListEnd]'"},
      // With no byte left for the body after the CR LF, the CR alone ends the
      // bracket line and the LF is the body: one empty line.
      {signed_as(empty_head, "\r\n[Signature]\r\nSignature="), "Debug: Lst: Unexpected line ''"},
      // The signature is checked before the lines.
      {changed_signature, bad_signature},
      {make_list("-*.tmp,\n"), "Debug: Lst: Empty data section"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse(c.bytes), c.logged) << c.bytes;
}

TEST_F(LstFileTest, AcceptsOnlyTheTwoLineForms) {
  for (const std::string line :
       {"", "+a.dat,0a1b, 17", "+a.dat, 0a1b,17", "+dir/a.dat, 0a1b, 17", "+a-b.dat, 0a1b, 17",
        "+a.dat, 0a1x, 17", "+a.dat, 0a1b, 17 ", "+a.dat, 0a1b, ", "+, 0a1b, 17", "+., 0a1b, 17",
        "+.., 0a1b, 17", " +a.dat, 0a1b, 17", "-*.tmp", "-*.tmp ,", "-,", "-a/b,", "# comment"})
    EXPECT_EQ(parse(make_list(good_body + line + "\n")),
              "Debug: Lst: Unexpected line '" + line + "'");
  for (const std::string line : {"+...a, 0a1b, 17", "-*.tmp,", "-*.tmp, anything [at] all"})
    EXPECT_EQ(parse(make_list(good_body + line + "\n")), "") << line;
}

TEST_F(LstFileTest, StoresEntriesAndPatterns) {
  const std::string body = "+b.dat, 0A1b, 17\r\n-*.tmp,old files\r\n+a.dat, abc, 4294967295\r\n"
                           "+b.dat, 0a1B, 18\r\n-a?c.*,\r\n-*.tmp,\r\n+c_1.x, ff, 0000";
  ASSERT_EQ(parse(make_list(body + "\r\n", "\r\n", "\r\n")), "");
  EXPECT_EQ(list_.file_names(), (std::vector<std::string>{"a.dat", "b.dat", "c_1.x"}));
  EXPECT_EQ(list_.patterns(), (std::vector<std::string>{"*.tmp", "a?c.*", "*.tmp"}));
  // The last of repeated names counts; unknown names have neither.
  const std::tuple<const char*, std::string, std::uint32_t, bool> files[] = {
      {"b.dat", "\x0a\x1b", 18, true}, {"a.dat", "", 4294967295u, true}, {"c_1.x", "\xff", 0, true}, {"d.dat", "", 0, false}};
  for (const auto& [name, checksum, size, listed] : files) {
    EXPECT_EQ(list_.checksum_of(name), checksum) << name;
    EXPECT_EQ(list_.size_of(name), size) << name;
    EXPECT_EQ(list_.contains(name), listed) << name;
  }
  for (const char* name : {"x.tmp", ".tmp", "abc.d", "a-c.e"})
    EXPECT_TRUE(list_.matches_pattern(name)) << name;
  for (const char* name : {"x.tmpl", "abc", "ac.d", "b.dat"})
    EXPECT_FALSE(list_.matches_pattern(name)) << name;
  // The last line of a body without a final break is still read.
  ASSERT_EQ(parse(make_list(good_body + "+z, 00, 1")), "");
  EXPECT_TRUE(list_.contains("z"));
  // A size beyond 32 bits throws the conversion error.
  EXPECT_THROW(lst_file_t::parse(make_list(entry("a") + "\n+b, 00, 4294967296\n")),
               boost::bad_lexical_cast);
}

TEST_F(LstFileTest, GivesOneCleanAnswerForEveryCut) {
  for (const std::string& eol : {std::string("\n"), std::string("\r\n")}) {
    const std::string sample =
        make_list(good_body + "-*.tmp,\n" + entry("b") + "\n", eol, eol, eol);
    // Only the final break may be cut off; the cuts include those inside "[12".
    for (std::size_t length = 0; length < sample.size() - eol.size(); ++length)
      EXPECT_NE(parse(sample.substr(0, length)), "") << length;
  }
}

}  // namespace
}  // namespace upd
