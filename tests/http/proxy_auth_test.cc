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

// Pulls one quoted or bare parameter out of a Digest answer.
std::string field(const std::string& answer, const std::string& name) {
  const auto start = answer.find(name + "=");
  if (start == std::string::npos) return "<none>";
  auto begin = start + name.size() + 1;
  const bool quoted = answer[begin] == '"';
  begin += quoted;
  return answer.substr(begin, answer.find(quoted ? '"' : ',', begin) - begin);
}

TEST(ProxyAuthTest, Base64AndMd5MatchTheStandardVectors) {
  const std::pair<const char*, const char*> cases[] = {
      {"", ""},     {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"\xff\xfe", "//4="},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(base64_encode(text), encoded) << text;
  EXPECT_EQ(md5_hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
}

// Only the first challenge header is read; bare or unknown schemes get no answer.
TEST(ProxyAuthTest, BasicChallengeGetsUserAndPasswordOthersNothing) {
  http_response_t head = challenge("Basic realm=\"squid\"");
  head.headers.add("Proxy-Authenticate", "Digest realm=\"r\", nonce=\"n\"");
  EXPECT_EQ(make_proxy_authorization(get, head, "Aladdin", "open sesame"), "Basic QWxhZGRpbjpvcGVuIHNlc2FtZQ==");
  for (const char* text :
       {"Negotiate", "NTLM realm=x", "Basic", "Digest", "", "basic realm=x", "Digest realm=r, qop=auth-int"})
    EXPECT_EQ(make_proxy_authorization(get, challenge(text), "u", "p"), "") << text;
  EXPECT_EQ(make_proxy_authorization(get, http_response_t(), "u", "p"), "");
}

TEST(ProxyAuthTest, DigestWithQopAuthFollowsTheRecipe) {
  const auto head = challenge("Digest realm=\"squid\", nonce=\"abc123\", qop=\"auth\", stale=false");
  const std::string answer = make_proxy_authorization(get, head, "alice", "secret");
  const std::string cnonce = field(answer, "cnonce");
  const std::string response = md5_hex(md5_hex("alice:squid:secret") + ":abc123:00000001:" + cnonce + ":auth:" +
                                       md5_hex("GET:/dir/version.lst?x=1"));
  EXPECT_EQ(answer, "Digest username=\"alice\", realm=\"squid\", nonce=\"abc123\", uri=\"/dir/version.lst?x=1\", "
                    "cnonce=\"" + cnonce + "\", nc=00000001, qop=\"auth\", response=\"" + response + "\"");
}

// Digest prefers itself to Basic in one header, carries a cnonce and count
// with or without qop, and a tunnel's uri is its host and port.
TEST(ProxyAuthTest, DigestAnswersNameTheUriAndQopTheyHashed) {
  const http_request_t connect{"updates.example:443", "CONNECT", {}, {}};
  const std::tuple<http_request_t, const char*, const char*, const char*> cases[] = {
      {get, "Digest realm=r, nonce=n", "/dir/version.lst?x=1", ""},
      {connect, "Digest realm=r, nonce=n", "updates.example:443", ""},
      // A quoted list is one value, "auth" is chosen from it, and the
      // parameters after it keep their values.
      {get, "Basic Digest realm=r, qop=\"auth,auth-int\", nonce=n", "/dir/version.lst?x=1", "auth"},
      {get, "Digest qop=\"auth-int, auth\", opaque=\"x, y\", realm=r, nonce=n", "/dir/version.lst?x=1", "auth"},
  };
  for (const auto& [request, text, uri, qop] : cases) {
    SCOPED_TRACE(text);
    const std::string answer = make_proxy_authorization(request, challenge(text), "u", "p");
    const std::string cnonce = field(answer, "cnonce");
    const std::string middle = std::string(":n") + (*qop ? ":00000001:" + cnonce + ":" + qop : "") + ":";
    EXPECT_EQ(field(answer, "uri"), uri) << answer;
    EXPECT_EQ(field(answer, "qop"), qop);
    EXPECT_EQ(field(answer, "nonce"), "n");
    EXPECT_EQ(field(answer, "nc"), "00000001");
    EXPECT_NE(cnonce, "<none>");
    EXPECT_EQ(field(answer, "response"), md5_hex(md5_hex("u:r:p") + middle + md5_hex(request.method + ":" + uri)));
  }
}

}  // namespace
}  // namespace upd
