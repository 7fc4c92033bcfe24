#include "http/proxy_auth.h"

#include <gtest/gtest.h>

#include <tuple>

namespace upd {
namespace {

http_response_t challenge(const std::string& value) {
  http_response_t head;
  head.status = 407;
  head.headers.add("Proxy-Authenticate", value);
  return head;
}

const http_request_t get{"http://h:8080/dir/version.lst?x=1", "GET", {}, {}};

// The quoted cnonce of a Digest answer.
std::string cnonce_of(const std::string& answer) {
  const auto start = answer.find("cnonce=\"");
  if (start == std::string::npos) return "<none>";
  return answer.substr(start + 8, answer.find('"', start + 8) - start - 8);
}

TEST(ProxyAuthTest, Base64AndMd5MatchTheStandardVectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},     {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(base64_encode(text), encoded) << text;
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

// Only the first challenge header is read; bare or unknown schemes get no
// answer. Digest prefers itself to Basic in one header, carries a cnonce and
// count with or without qop, and a tunnel's uri is its host and port.
TEST(ProxyAuthTest, BasicAndDigestChallengesGetTheirAnswersOthersNothing) {
  http_response_t head = challenge("Basic realm=\"squid\"");
  head.headers.add("Proxy-Authenticate", "Digest realm=\"r\", nonce=\"n\"");
  EXPECT_EQ(make_proxy_authorization(get, head, "Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  for (const char* text :
       {"Negotiate", "NTLM realm=x", "Basic", "Digest", "", "basic realm=x", "Digest realm=r, qop=auth-int"})
    EXPECT_EQ(make_proxy_authorization(get, challenge(text), "u", "p"), "") << text;
  EXPECT_EQ(make_proxy_authorization(get, http_response_t(), "u", "p"), "");
  const http_request_t connect{"updates.example:443", "CONNECT", {}, {}};
  const std::tuple<http_request_t, const char*, const char*, const char*> cases[] = {
      {get, "Digest realm=r, nonce=n", "/dir/version.lst?x=1", ""},
      {connect, "Digest realm=r, nonce=n", "updates.example:443", ""},
      {get, "Digest realm=\"r\", nonce=\"n\", qop=\"auth\", stale=false", "/dir/version.lst?x=1", "auth"},
      // A quoted list is one value, "auth" is chosen from it, and the
      // parameters after it keep their values.
      {get, "Basic Digest realm=r, qop=\"auth,auth-int\", nonce=n", "/dir/version.lst?x=1", "auth"},
      {get, "Digest qop=\"auth-int, auth\", opaque=\"x, y\", realm=r, nonce=n", "/dir/version.lst?x=1", "auth"},
  };
  for (const auto& [request, text, uri, qop] : cases) {
    SCOPED_TRACE(text);
    const std::string answer = make_proxy_authorization(request, challenge(text), "u", "p");
    const std::string cnonce = cnonce_of(answer), with_qop = *qop ? ":00000001:" + cnonce + ":auth" : "";
    EXPECT_NE(cnonce, "<none>");
    EXPECT_EQ(answer, "Digest username=\"u\", realm=\"r\", nonce=\"n\", uri=\"" + std::string(uri) + "\", cnonce=\"" +
                          cnonce + "\", nc=00000001, qop=\"" + qop + "\", response=\"" +
                          md5_hex(md5_hex("u:r:p") + ":n" + with_qop + ":" + md5_hex(request.method + ":" + uri)) +
                          "\"");
  }
}

}  // namespace
}  // namespace upd
