#include "http/url.h"

#include <gtest/gtest.h>


namespace upd {
namespace {

TEST(UrlTest, SplitsRebuildsAndJoinsTexts) {
  const struct {
    const char *text, *protocol, *host;
    std::uint16_t port;
    const char *path, *rebuilt;
  } cases[] = {
      {"http://h:8080/a/b?x=1", "http", "h", 8080, "a/b?x=1", "http://h:8080/a/b?x=1"},
      {"updates.example/version.lst", "", "updates.example", 0, "version.lst", "updates.example/version.lst"},
      {"https://h", "https", "h", 0, "", "https://h"},
      {"https://h/", "https", "h", 0, "", "https://h"},
      {"", "", "", 0, "", ""},
      {"http://h:x/p", "http", "h", 0, "p", "http://h/p"},
      {"http://h:12ab/p", "http", "h", 12, "p", "http://h:12/p"},
      {"http://h:65537/", "http", "h", 1, "", "http://h:1"},
      {"http://[::1]:80/p", "http", "[", 0, "p", "http://[/p"},
      {"http://h/a://b", "http", "h", 0, "a://b", "http://h/a://b"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const url_t url(c.text);
    EXPECT_EQ(url.protocol(), c.protocol);
    EXPECT_EQ(url.host(), c.host);
    EXPECT_EQ(url.port(), c.port);
    EXPECT_EQ(url.path(), c.path);
    EXPECT_EQ(url.to_string(), c.rebuilt);
  }
  EXPECT_EQ(url_t("http://h/bases", "daily.vdb").to_string(), "http://h/bases/daily.vdb");
  EXPECT_EQ(url_t("http://h/bases/", "daily.vdb").to_string(), "http://h/bases/daily.vdb");
  EXPECT_EQ(url_t("", "version.lst").to_string(), "");
  EXPECT_EQ(url_t("http://h/"), url_t("http://h"));
  EXPECT_NE(url_t("http://h/a"), url_t("http://h/b"));
}

}  // namespace
}  // namespace upd
