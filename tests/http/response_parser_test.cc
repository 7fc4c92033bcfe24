#include "http/response_parser.h"

#include <gtest/gtest.h>

namespace upd {
namespace {

using parser_t = http_response_parser_t;
using namespace std::string_literals;
using headers_t = std::vector<http_headers_t::header_t>;

const std::string ok_head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

// Split delivery is covered by the transfer tests' byte-at-a-time server.
TEST(ResponseParserTest, AnOddButValidHeadIsRead) {
  const std::string head =
      "\r\nhttp/1.0   301   Moved  Permanently \r\nLocation:  http://h/x \r\nX-Empty:\r\nA: b: c\r\n\r\nbody";
  parser_t parser;
  std::size_t consumed = 0;
  ASSERT_EQ(parser.parse(head.data(), head.size(), consumed), parser_t::parse_complete);
  EXPECT_EQ(consumed, head.size() - 4);
  const auto& response = parser.response();
  EXPECT_EQ(response.version.major * 10 + response.version.minor, 10u);
  EXPECT_EQ(response.status, 301);
  EXPECT_EQ(response.reason, "Moved  Permanently");
  EXPECT_EQ(response.headers.items(), (headers_t{{"Location", "http://h/x"}, {"X-Empty", ""}, {"A", "b: c"}}));
}

std::string head_with_headers(int count) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < count; ++i) head += "H" + std::to_string(i) + ": v\r\n";
  return head + "\r\n";
}

// A bad head stays bad for whatever follows until reset.
TEST(ResponseParserTest, MalformedOrOversizedHeadsAreBadAndLimitsAreInclusive) {
  // A head may take 65,536 bytes with its empty last line.
  const std::string longest = "HTTP/1.1 200 OK\r\nX: " + std::string(65536 - 24, 'x') + "\r\n\r\n";
  const std::pair<std::string, parser_t::result_t> cases[] = {
      {"HTTX/1.1 200 OK\r\n\r\n", parser_t::parse_bad},
      {"HTTP/ 1.1 200 OK\r\n\r\n", parser_t::parse_bad},
      {"HTTP/1,1 200 OK\r\n\r\n", parser_t::parse_bad},
      {"HTTP/1.1 OK\r\n\r\n", parser_t::parse_bad},
      {"HTTP/1.1 200 OK\n\r\n", parser_t::parse_bad},
      {"HTTP/1.1 200 OK\r\nA: b\n\r\n", parser_t::parse_bad},
      {"HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n", parser_t::parse_bad},
      {"HTTP/1.1 200 OK\r\nX: \x80\r\n\r\n", parser_t::parse_bad},  // the lowest byte outside ASCII
      {"HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n"s, parser_t::parse_bad},
      {"HTTP/1.1 200 OK\r\n\n", parser_t::parse_bad},
      {"HTTP/1.1 123456789012 OK\r\n\r\n", parser_t::parse_bad},
      {"HTTP/00000000001.00000000001 00000000200 OK\r\n\r\n", parser_t::parse_complete},
      {"HTTP/1.1\t200\tOK\r\n\r\n", parser_t::parse_complete},
      {head_with_headers(100), parser_t::parse_complete},
      {head_with_headers(101), parser_t::parse_bad},
      {longest, parser_t::parse_complete},
      {"HTTP/1.1 200 OK\r\nX: x" + longest.substr(20), parser_t::parse_bad},
  };
  parser_t parser;
  for (const auto& [bytes, result] : cases) {
    SCOPED_TRACE(bytes.substr(0, 40));
    std::size_t consumed = 0;
    parser.reset();
    EXPECT_EQ(parser.parse(bytes.data(), bytes.size(), consumed), result);
    if (result != parser_t::parse_bad) {
      EXPECT_EQ(parser.response().status, 200);
      continue;
    }
    EXPECT_EQ(parser.parse(ok_head.data(), ok_head.size(), consumed), parser_t::parse_bad);
    EXPECT_EQ(consumed, 0u);
  }
}

}  // namespace
}  // namespace upd
