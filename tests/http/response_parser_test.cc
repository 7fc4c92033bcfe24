#include "http/response_parser.h"

#include <gtest/gtest.h>

#include <string>

namespace upd {
namespace {

using parser_t = http_response_parser_t;

const std::string ok_head = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";

parser_t::result_t parse_all(parser_t& parser, const std::string& bytes, std::size_t& consumed) {
  return parser.parse(bytes.data(), bytes.size(), consumed);
}

TEST(ResponseParserTest, CompleteHeadLeavesTheBodyUnconsumed) {
  parser_t parser;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_all(parser, ok_head + "0123456789", consumed), parser_t::parse_complete);
  EXPECT_EQ(consumed, ok_head.size());
  const auto& response = parser.response();
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.reason, "OK");
  EXPECT_EQ(response.version.major, 1u);
  EXPECT_EQ(response.version.minor, 1u);
  ASSERT_EQ(response.headers.size(), 1u);
  EXPECT_EQ(response.headers.get("Content-Length"), "10");
  EXPECT_EQ(parse_all(parser, "more", consumed), parser_t::parse_complete);
  EXPECT_EQ(consumed, 0u);
}

TEST(ResponseParserTest, OneByteAtATimeNeedsMoreUntilTheLastLf) {
  parser_t parser;
  for (std::size_t i = 0; i < ok_head.size(); ++i) {
    std::size_t consumed = 0;
    const auto result = parser.parse(&ok_head[i], 1, consumed);
    EXPECT_EQ(result, i + 1 == ok_head.size() ? parser_t::parse_complete : parser_t::parse_more)
        << i;
    EXPECT_EQ(consumed, 1u);
  }
  EXPECT_EQ(parser.response().status, 200);
}

TEST(ResponseParserTest, EverySplitOfAHeadGivesTheSameResult) {
  const std::string head =
      "\r\nhttp/1.0   301   Moved  Permanently \r\nLocation:  http://h/x \r\nX-Empty:\r\nA: b: "
      "c\r\n\r\nbody";
  const std::size_t head_size = head.size() - 4;
  for (std::size_t split = 0; split <= head.size(); ++split) {
    SCOPED_TRACE(split);
    parser_t parser;
    std::size_t first = 0;
    std::size_t second = 0;
    auto result = parser.parse(head.data(), split, first);
    if (result == parser_t::parse_more)
      result = parser.parse(head.data() + split, head.size() - split, second);
    ASSERT_EQ(result, parser_t::parse_complete);
    EXPECT_EQ(first + second, head_size);
    const auto& response = parser.response();
    EXPECT_EQ(response.version.major, 1u);
    EXPECT_EQ(response.version.minor, 0u);
    EXPECT_EQ(response.status, 301);
    EXPECT_EQ(response.reason, "Moved  Permanently");
    ASSERT_EQ(response.headers.size(), 3u);
    EXPECT_EQ(response.headers.get("Location"), "http://h/x");
    EXPECT_EQ(response.headers.get("X-Empty"), "");
    EXPECT_EQ(response.headers.get("A"), "b: c");
  }
}

TEST(ResponseParserTest, MalformedHeadsAreBad) {
  const char* cases[] = {
      "HTTX/1.1 200 OK\r\n\r\n",
      "HTTP/ 1.1 200 OK\r\n\r\n",
      "HTTP/1,1 200 OK\r\n\r\n",
      "HTTP/1.1 OK\r\n\r\n",
      "HTTP/1.1 200 OK\n\r\n",
      "HTTP/1.1 200 OK\r\nA: b\n\r\n",
      "HTTP/1.1 200 OK\r\nNo colon here\r\n\r\n",
      "HTTP/1.1 200 \xc3\xa9t\xc3\xa9\r\n\r\n",
      "HTTP/1.1 200 OK\r\nX: \x80\r\n\r\n",
      "HTTP/1.1 200 OK\r\n\n",
      "HTTP/1.1 123456789012 OK\r\n\r\n",
      "<html>\r\n",
  };
  for (const char* text : cases) {
    const std::string bytes(text);
    SCOPED_TRACE(bytes);
    parser_t parser;
    std::size_t consumed = 0;
    EXPECT_EQ(parse_all(parser, bytes, consumed), parser_t::parse_bad);
    EXPECT_EQ(parse_all(parser, ok_head, consumed), parser_t::parse_bad);
    EXPECT_EQ(consumed, 0u);
  }
}

TEST(ResponseParserTest, NulByteInAHeaderIsBad) {
  static const char text[] = "HTTP/1.1 200 OK\r\nX: a\0b\r\n\r\n";
  const std::string head(text, sizeof text - 1);
  parser_t parser;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_all(parser, head, consumed), parser_t::parse_bad);
}

std::string head_with_headers(int count) {
  std::string head = "HTTP/1.1 200 OK\r\n";
  for (int i = 0; i < count; ++i) head += "H" + std::to_string(i) + ": v\r\n";
  return head + "\r\n";
}

TEST(ResponseParserTest, HundredHeadersAreTheMost) {
  parser_t parser;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_all(parser, head_with_headers(100), consumed), parser_t::parse_complete);
  EXPECT_EQ(parser.response().headers.size(), 100u);
  parser.reset();
  EXPECT_EQ(parse_all(parser, head_with_headers(101), consumed), parser_t::parse_bad);
}

TEST(ResponseParserTest, ElevenDigitsAreTheMost) {
  parser_t parser;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_all(parser, "HTTP/00000000001.00000000001 00000000200 OK\r\n\r\n", consumed),
            parser_t::parse_complete);
  EXPECT_EQ(parser.response().status, 200);
  EXPECT_EQ(parser.response().version.major, 1u);
}

// A line may gather 1,048,576 bytes with its CR before the final LF.
TEST(ResponseParserTest, LinesAreLimitedToOneMebibyte) {
  const std::string longest(1048575, 'x');
  parser_t parser;
  std::size_t consumed = 0;
  EXPECT_EQ(parse_all(parser, "HTTP/1.1 200 OK\r\nX: " + longest.substr(3) + "\r\n\r\n", consumed),
            parser_t::parse_complete);
  parser.reset();
  EXPECT_EQ(parse_all(parser, "HTTP/1.1 200 OK\r\nX: " + longest.substr(2) + "\r\n\r\n", consumed),
            parser_t::parse_bad);
}

TEST(ResponseParserTest, ResetStartsAFreshHead) {
  parser_t parser;
  std::size_t consumed = 0;
  parse_all(parser, "garbage", consumed);
  parser.reset();
  EXPECT_EQ(parse_all(parser, ok_head, consumed), parser_t::parse_complete);
  EXPECT_EQ(parser.response().headers.size(), 1u);
}

}  // namespace
}  // namespace upd
