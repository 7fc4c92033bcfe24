#include "http/http_message.h"

#include <gtest/gtest.h>

namespace upd {
namespace {

TEST(HttpMessageTest, EmptyUriIsWrittenAsSlash) {
  http_request_t request;
  request.method = "CONNECT";
  request.version = {1, 0};
  EXPECT_EQ(request.to_string(), "CONNECT / HTTP/1.0\r\n\r\n");
}

TEST(HttpMessageTest, HeaderLookupIsExactAndFindsTheFirst) {
  http_headers_t headers;
  headers.add("Host", "a");
  headers.add("Host", "b");
  http_headers_t more;
  more.add("X", "");
  headers.append(more);
  EXPECT_EQ(headers.size(), 3u);
  EXPECT_EQ(headers.get("Host"), "a");
  EXPECT_TRUE(headers.has("X"));
  EXPECT_FALSE(headers.has("host"));
  EXPECT_EQ(headers.get("host"), "");
  EXPECT_EQ(headers.items().back().first, "X");
}

}  // namespace
}  // namespace upd
