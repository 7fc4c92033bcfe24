// Transfers against a scripted loopback server: every way a server can
// misbehave ends with a defined code, and the odd but valid answers work.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/post.hpp>
#include <thread>

#include "http/transfer_fixture.h"
#include "http/two_address_name.h"
#include "support/fake_http_server.h"

namespace upd::testing {
namespace {

using namespace std::chrono_literals;

const std::string ok_head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";

// A script that answers every request with the same bytes and closes.
fake_http_server_t::script_t answer(const std::string& bytes) {
  return [bytes](fake_peer_t& peer) {
    peer.read_head();
    peer.send(bytes);
  };
}

using TransferFaultTest = transfer_test_t;

TEST_F(TransferFaultTest, RequestCarriesAbsoluteUrlHostAndFixedHeadersInOrderAndIsCounted) {
  const std::string response = ok_head + "hello";
  fake_http_server_t server(answer(response));
  http_headers_t user;
  user.add("User-Agent", "NimboUpdate-Linux-1 ()");
  downloader_.set_headers(user);
  downloader_.set_headers(user);  // rebuilt, not accumulated
  std::vector<char> body;
  ASSERT_EQ(fetch(server.url("a/version.lst?x=1"), body), nb::EC_OK) << log_.all();
  const std::string host = loopback(server.port());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0], "GET http://" + host + "/a/version.lst?x=1 HTTP/1.1\r\nHost: " + host +
                                      "\r\nUser-Agent: NimboUpdate-Linux-1 ()\r\nConnection: close\r\nAccept: */*\r\n\r\n");
  EXPECT_EQ(received(), response.size());
  EXPECT_EQ(watcher_.stats.back().bytes_sent(), server.requests()[0].size());
}

struct answer_case_t {
  std::string response;  // sent a byte at a time, then the server closes
  nb::ErrorCode code;
  std::string body;
  std::string log;  // the start of a line it writes; "@" stands for the peer
};

// Odd but valid answers keep what arrives before the close; malformed, cut
// or non-200 ones deliver nothing, and the finished signal carries the code.
TEST_F(TransferFaultTest, EveryAnswerEndsWithItsCodeBodyAndLogLine) {
  const std::string bad = "Debug: Read HTTP: @ [@]: ";
  const answer_case_t cases[] = {
      {ok_head + "hello, and more", nb::EC_OK, "hello, and more", ""},
      {"HTTP/1.1 200 OK\r\n\r\n", nb::EC_OK, "", ""},
      {"<html><body>hello</body></html>\r\n", nb::EC_NETWORK_ERROR, "", bad + "Bad HTTP response header"},
      {"HTTP/1.1 200 OK\r\nContent-", nb::EC_NETWORK_ERROR, "", bad + "End of file"},
      {"HTTP/1.1 404 Not Found\r\n\r\nerror page", nb::EC_NETWORK_ERROR, "", "Debug: HTTP error 404 Not Found"},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\nhello", nb::EC_NETWORK_ERROR, "",
       "Debug: HTTP error 100 Continue"},
      {"HTTP/1.1 204 No Content\r\n\r\n", nb::EC_NETWORK_ERROR, "", "Debug: HTTP error 204 No Content"},
  };
  std::size_t chunks = 0;
  boost::signals2::scoped_connection counter = downloader_.data_signal.connect(
      [&](downloader_t&, const std::vector<char>& data, boost::system::error_code&) { chunks += data.size(); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.response);
    fake_http_server_t server([&](fake_peer_t& peer) {
      peer.read_head();
      peer.send_slowly(c.response, 1ms);
    });
    chunks = 0;
    finished_.clear();
    std::vector<char> body{'x'};
    EXPECT_EQ(fetch(server.url("f"), body), c.code) << log_.all();
    EXPECT_EQ(text_of(body), c.body);
    EXPECT_EQ(chunks, c.body.size());
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0], c.code);
    std::string line = c.log;
    for (auto at = line.find('@'); at != std::string::npos; at = line.find('@'))
      line.replace(at, 1, loopback(server.port()));
    EXPECT_TRUE(log_.has(line)) << line << "\n" << log_.all();
  }
}

// A read completion and the timer's expiry found in the same turn of the
// event loop: the read runs first and re-arms the timer, so the expiry that
// follows is stale and must not end the healthy transfer.
TEST_F(TransferFaultTest, StaleTimerExpiryDoesNotEndAHealthyTransfer) {
  constexpr auto timeout = 40ms;
  fake_http_server_t server([&](fake_peer_t& peer) {
    peer.read_head();
    peer.send(ok_head + "first");
    std::this_thread::sleep_for(timeout);
    peer.send("second");
  });
  downloader_.set_timeout(timeout);
  bool stalled = false;
  boost::signals2::scoped_connection stall = downloader_.data_signal.connect(
      [&](downloader_t&, const std::vector<char>&, boost::system::error_code&) {
        // Keep the event loop busy past the deadline while the second chunk arrives.
        if (!std::exchange(stalled, true))
          boost::asio::post(service_, [&] { std::this_thread::sleep_for(3 * timeout); });
      });
  std::vector<char> body;
  ASSERT_EQ(fetch(server.url("f"), body), nb::EC_OK) << log_.all();
  EXPECT_EQ(text_of(body), "firstsecond");
}

// A listener whose accept queue is full: a further connect is never answered.
struct full_listener_t {
  full_listener_t() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = std::to_string(ntohs(address.sin_port));
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~full_listener_t() {
    ::close(filler);
    ::close(listener);
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::string port;
};

// The name resolves to 127.0.0.2, then 127.0.0.1.
TEST_F(TransferFaultTest, EachAddressOfTheNameIsTriedInTurnOnItsPort) {
  fake_http_server_t server(answer(ok_head + "hello"));
  const std::string port = std::to_string(server.port()), name = std::string(two_address_name);
  std::vector<char> body;
  ASSERT_EQ(fetch("http://" + name + ":" + port + "/f", body), nb::EC_OK) << log_.all();
  EXPECT_EQ(text_of(body), "hello");
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":" + port + " [127.0.0.2:" + port + "]: ")) << log_.all();
  EXPECT_TRUE(log_.has("Debug: Connected " + name + ":" + port + " [127.0.0.1:" + port + "]")) << log_.all();

  full_listener_t full;
  downloader_.set_timeout(30ms);
  EXPECT_EQ(fetch("http://" + name + ":" + full.port + "/f", body), nb::EC_NETWORK_TIMEDOUT);
  EXPECT_TRUE(log_.has("Debug: Cannot connect " + name + ":" + full.port + " [127.0.0.1:" + full.port +
                       "]: Timed out")) << log_.all();
  // Without a port: 80 for http, then 443 for https (nothing listens there).
  fetch("http://" + name + "/f", body);
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":80 [127.0.0.2:80]")) << log_.all();
  EXPECT_EQ(log_.all().find(name + ":443 ["), std::string::npos) << log_.all();
  fetch("https://" + name + "/f", body);
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":443 [127.0.0.2:443]")) << log_.all();
  EXPECT_EQ(fetch("ftp://127.0.0.1/f", body), nb::EC_UNEXPECTED_ERROR);
  EXPECT_TRUE(log_.has("Error: Unsupported protocol ftp")) << log_.all();
}

// The answer to a challenge is sent once per transfer and then forgotten;
// a tunnel request carries no header but Host and the answer.
TEST_F(TransferFaultTest, ProxyChallengeIsAnsweredOnceAndForgotten) {
  fake_http_server_t proxy(
      answer("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"fake\"\r\n\r\n"));
  downloader_.set_proxy(http_proxy(proxy.port(), "u", "p"));
  http_headers_t user;
  user.add("X-Nimbo-SysHash", "abc");
  downloader_.set_headers(user);
  const std::pair<const char*, const char*> cases[] = {
      {"http://updates.example/version.lst",
       "GET http://updates.example/version.lst HTTP/1.1\r\nHost: updates.example\r\n"
       "X-Nimbo-SysHash: abc\r\nConnection: close\r\nAccept: */*\r\n"},
      {"HTTPS://updates.example/version.lst", "CONNECT updates.example:443 HTTP/1.1\r\nHost: updates.example:443\r\n"},
  };
  std::vector<std::string> expected;
  for (const auto& [url, plain] : cases) {
    std::vector<char> body;
    for (int attempt = 0; attempt < 2; ++attempt) {
      EXPECT_EQ(fetch(url, body), nb::EC_PROXY_AUTH_ERROR) << url;
      expected.push_back(plain + std::string("\r\n"));
      expected.push_back(plain + std::string("Proxy-Authorization: Basic dTpw\r\n\r\n"));
    }
  }
  EXPECT_EQ(proxy.requests(), expected);
}

// Files stop at the caller's limit (bodies in memory at 64 MiB: the hostile
// servers' endless bodies); a file is created private or replaced.
TEST_F(TransferFaultTest, FilesStopAtTheirLimitAndArePrivate) {
  temp_dir_t dir;
  fake_http_server_t server(answer(ok_head + "0123456789"));
  const auto save = [&](const char* name, std::uint64_t limit) {
    return outcome([&] { downloader_.download(url_t(server.url("f")), dir / name, limit); });
  };
  write_file(dir / "old", "old content, longer");
  ASSERT_EQ(save("old", 10), nb::EC_OK);
  EXPECT_EQ(read_file(dir / "old"), "0123456789");
  ASSERT_EQ(save("fresh", 100), nb::EC_OK);
  struct stat info {};
  ASSERT_EQ(::stat((dir / "fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(save("fresh", 9), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(log_.has("Debug: HTTP body exceeds the limit of 9 bytes")) << log_.all();
  EXPECT_LE(read_file(dir / "fresh").size(), 9u);
}

}  // namespace
}  // namespace upd::testing
