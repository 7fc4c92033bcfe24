// Transfers against a scripted loopback server: every way a server can
// misbehave ends with a defined code, and the odd but valid answers work.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/filesystem/operations.hpp>
#include <atomic>
#include <thread>

#include "http/transfer_fixture.h"
#include "http/two_address_name.h"
#include "support/fake_http_server.h"

namespace upd::testing {
namespace {

using namespace std::chrono_literals;

const std::string ok_head = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n";
const std::string chunked = "Transfer-Encoding: chunked\r\n\r\n";

// A script that answers every request with the same bytes and closes.
fake_http_server_t::script_t answer(const std::string& bytes) {
  return [bytes](fake_peer_t& peer) {
    peer.read_head();
    peer.send(bytes);
  };
}

using TransferFaultTest = transfer_test_t;

// The request names the path and the host, then the fixed headers.
// A body ends at its Content-Length, else at the close; malformed, cut or
// non-200 answers deliver nothing, and the finished signal carries the code.
TEST_F(TransferFaultTest, EveryAnswerEndsWithItsCodeAndBody) {
  const struct {
    std::string response;  // sent a byte at a time, then the server closes
    nb::ErrorCode code;
    std::string body;
    std::size_t dropped = 0;  // bytes delivered before a failure, then dropped from the body
  } cases[] = {
      {ok_head + "hello, and more", nb::EC_OK, "hello"},
      {"HTTP/1.1 200 OK\r\n\r\nhello, and more", nb::EC_OK, "hello, and more"},
      {"HTTP/1.1 200 OK\r\ncontent-length: 0\r\n\r\n", nb::EC_OK, ""},
      {"HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nhello", nb::EC_NETWORK_ERROR, "", 5},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nhello", nb::EC_NETWORK_ERROR, ""},
      {"<html><body>hello</body></html>\r\n", nb::EC_NETWORK_ERROR, ""},
      {"HTTP/1.1 200 OK\r\nContent-", nb::EC_NETWORK_ERROR, ""},
      // Chunks end the body with their last one, whatever Content-Length says.
      {"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n" + chunked + "5;x=\"y\"\r\nhello\r\nA\r\n, and more\r\n0\r\nT: 1\r\n\r\nzz",
       nb::EC_OK, "hello, and more"},
      {"HTTP/1.1 200 OK\r\n" + chunked + "5\r\nhello\r\nzz\r\n", nb::EC_NETWORK_ERROR, "", 5},
      {"HTTP/1.1 200 OK\r\n" + chunked + "5\r\nhel", nb::EC_NETWORK_ERROR, "", 3},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n", nb::EC_NETWORK_ERROR, ""},
      // Every status but 200 takes this one path (100 and 204 included).
      {"HTTP/1.1 404 Not Found\r\n\r\nerror page", nb::EC_NETWORK_ERROR, ""},
  };
  std::size_t chunks = 0;
  std::vector<boost::system::error_code> finished;
  boost::signals2::scoped_connection counter = downloader_.data_signal.connect(
      [&](downloader_t&, const std::vector<char>& data, boost::system::error_code&) { chunks += data.size(); });
  boost::signals2::scoped_connection ender = downloader_.finished_signal.connect(
      [&](downloader_t&, const boost::system::error_code& error) { finished.push_back(error); });
  for (const auto& c : cases) {
    SCOPED_TRACE(c.response);
    fake_http_server_t server([&](fake_peer_t& peer) {
      peer.read_head();
      peer.send_slowly(c.response, 1ms);
    });
    chunks = 0;
    finished.clear();
    std::vector<char> body{'x'};
    EXPECT_EQ(fetch(server.url("a/f?x=1"), body), c.code) << log_.all();
    const std::string peer = loopback(server.port());
    EXPECT_EQ(server.requests(), std::vector<std::string>{"GET /a/f?x=1 HTTP/1.1\r\nHost: " + peer +
                                                          "\r\nAccept: */*\r\n\r\n"});
    EXPECT_EQ(text_of(body), c.body);
    EXPECT_EQ(chunks, c.body.size() + c.dropped);
    EXPECT_EQ(finished, std::vector<boost::system::error_code>{c.code});
  }
}

// A connection carries the next request when the answer before allows it.
// A kept connection closed before any byte of the answer is replaced once;
// closed later, the request fails as on a new connection.
TEST_F(TransferFaultTest, KeptConnectionCarriesTheNextRequestUntilAnAnswerEndsIt) {
  enum second_t { answered, closed_unanswered, closed_mid_answer };
  const struct {
    std::string first;  // answer to the first request
    second_t second;
    int connections;
    nb::ErrorCode code;
    bool server_closes = false;  // after the first answer
  } cases[] = {
      {"HTTP/1.1 200 OK\r\n\r\nhello", answered, 2, nb::EC_OK, true},
      {ok_head + "hello", answered, 1, nb::EC_OK},
      {"HTTP/1.1 200 OK\r\n" + chunked + "5\r\nhello\r\n0\r\n\r\n", answered, 1, nb::EC_OK},
      {"HTTP/1.0 200 OK\r\nConnection: Keep-Alive\r\nContent-Length: 5\r\n\r\nhello", answered, 1, nb::EC_OK},
      {"HTTP/1.1 200 OK\r\nConnection: te, close\r\nContent-Length: 5\r\n\r\nhello", answered, 2, nb::EC_OK},
      {"HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello", answered, 2, nb::EC_OK},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 5\r\n\r\nerror", answered, 1, nb::EC_OK},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 99999\r\n\r\nerror", answered, 2, nb::EC_OK},
      {ok_head + "hello", closed_unanswered, 2, nb::EC_OK},
      {ok_head + "hello", closed_mid_answer, 1, nb::EC_NETWORK_ERROR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.first);
    std::atomic<int> connections = 0, requests = 0;
    fake_http_server_t server([&](fake_peer_t& peer) {
      ++connections;
      while (!peer.read_head().empty()) {
        if (++requests == 1 && peer.send(c.first) && c.server_closes) return;
        if (requests == 2 && c.second == closed_unanswered) return;
        if (requests == 2 && c.second == closed_mid_answer) return (void)peer.send("HTTP/1.1 200 OK\r\nContent-");
        if (requests > 1) peer.send(ok_head + "hello");
      }
    });
    std::vector<char> body;
    fetch(server.url("f"), body);
    EXPECT_EQ(fetch(server.url("g"), body), c.code) << log_.all();
    EXPECT_EQ(text_of(body), c.code ? "" : "hello");
    EXPECT_EQ(connections, c.connections) << log_.all();
  }
}

// A file holding "hel" is continued with a range: a 206 for the rest is
// appended, a whole body replaces the file, a cut keeps what came; another
// range or a refusal leaves the file as it was and says the range failed.
TEST_F(TransferFaultTest, ResumedFileTakesTheRestTheWholeOrNothing) {
  const std::string rest = "HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-4/5\r\nContent-Length: 2\r\n\r\n";
  const struct {
    std::string response;
    nb::ErrorCode code;
    std::string file;
    bool broken_off, range_refused;
  } cases[] = {
      {rest + "lo", nb::EC_OK, "hello", false, false},
      {ok_head + "hello", nb::EC_OK, "hello", false, false},
      {rest + "l", nb::EC_NETWORK_ERROR, "hell", true, false},
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-3/5\r\n\r\nl", nb::EC_OK, "hell", false, false},
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 0-4/5\r\n\r\nhello", nb::EC_NETWORK_ERROR, "hel",
       false, true},
      {"HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */3\r\n\r\n", nb::EC_NETWORK_ERROR, "hel",
       false, true},
      // A cut inside a chunk is a break; broken chunking leaves nothing to continue.
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-4/5\r\n" + chunked + "2\r\nl", nb::EC_NETWORK_ERROR,
       "hell", true, false},
      {"HTTP/1.1 206 Partial Content\r\nContent-Range: bytes 3-4/5\r\n" + chunked + "1\r\nl\r\n1\n", nb::EC_NETWORK_ERROR,
       "hel", false, false},
      // A server failing is no refusal of the range: the next attempt may resume.
      {"HTTP/1.1 404 Not Found\r\n\r\n", nb::EC_NETWORK_ERROR, "hel", false, false},
  };
  const temp_dir_t dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.response);
    fake_http_server_t server(answer(c.response));
    write_file(dir / "f-partial", "hel");
    write_file(dir / "f-partial-validator", "\"v1\"");
    EXPECT_EQ(outcome([&] { downloader_.resume(url_t(server.url("f")), dir / "f-partial", 5); }), c.code);
    EXPECT_EQ(read_file(dir / "f-partial"), c.file);
    EXPECT_NE(server.requests().at(0).find("\r\nRange: bytes=3-\r\nIf-Range: \"v1\"\r\n"), std::string::npos);
    EXPECT_EQ(downloader_.broken_off(), c.broken_off);
    EXPECT_EQ(downloader_.range_refused(), c.range_refused);
  }
  // A refused file leaves no empty one behind.
  boost::filesystem::remove(dir / "f-partial");
  fake_http_server_t missing(answer("HTTP/1.1 404 Not Found\r\n\r\n"));
  EXPECT_EQ(outcome([&] { downloader_.resume(url_t(missing.url("f")), dir / "f-partial", 5); }), nb::EC_NETWORK_ERROR);
  EXPECT_FALSE(boost::filesystem::exists(dir / "f-partial"));
  // A cut body keeps its answer's strong ETag, else its date, to continue it with.
  fake_http_server_t cut(answer("HTTP/1.1 200 OK\r\nETag: W/\"w\"\r\nLast-Modified: Mon, 07 Dec 2026 10:00:00 GMT\r\n"
                                "Content-Length: 9\r\n\r\nhel"));
  EXPECT_EQ(outcome([&] { downloader_.download(url_t(cut.url("f")), dir / "f-partial"); }), nb::EC_NETWORK_ERROR);
  EXPECT_EQ(read_file(dir / "f-partial-validator"), "Mon, 07 Dec 2026 10:00:00 GMT");
}

// A read completion and the timer's expiry found in the same turn of the
// event loop: the read runs first and re-arms the timer, so the expiry that
// follows is stale and must not end the healthy transfer.
TEST_F(TransferFaultTest, StaleTimerExpiryDoesNotEndAHealthyTransfer) {
  constexpr auto timeout = 40ms;
  fake_http_server_t server([&](fake_peer_t& peer) {
    peer.read_head();
    peer.send("HTTP/1.1 200 OK\r\n\r\nfirst");
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

// The name resolves to 127.0.0.2, then 127.0.0.1.
TEST_F(TransferFaultTest, EachAddressOfTheNameIsTriedInTurnOnItsPort) {
  fake_http_server_t server(answer(ok_head + "hello"));
  const std::string port = std::to_string(server.port()), name = std::string(two_address_name);
  std::vector<char> body;
  ASSERT_EQ(fetch("http://" + name + ":" + port + "/f", body), nb::EC_OK) << log_.all();
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":" + port + " [127.0.0.2:" + port + "]: ")) << log_.all();
  EXPECT_TRUE(log_.has("Debug: Connected " + name + ":" + port + " [127.0.0.1:" + port + "]")) << log_.all();

  // A listener whose accept queue the filler fills never answers a further connect.
  using boost::asio::ip::tcp;
  tcp::acceptor full(service_, {boost::asio::ip::address_v4::loopback(), 0});
  full.listen(0);
  tcp::socket filler(service_);
  filler.connect(full.local_endpoint());
  const std::string full_port = std::to_string(full.local_endpoint().port());
  downloader_.set_timeout(30ms);
  EXPECT_EQ(fetch("http://" + name + ":" + full_port + "/f", body), nb::EC_NETWORK_TIMEDOUT);
  EXPECT_TRUE(log_.has("Debug: Cannot connect " + name + ":" + full_port + " [127.0.0.1:" + full_port +
                       "]: Timed out")) << log_.all();
  // Without a port: 80 for http, then 443 for https (nothing listens there).
  fetch("http://" + name + "/f", body);
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":80 [127.0.0.2:80]")) << log_.all();
  EXPECT_EQ(log_.all().find(name + ":443 ["), std::string::npos) << log_.all();
  fetch("https://" + name + "/f", body);
  EXPECT_TRUE(log_.has("Debug: Connect " + name + ":443 [127.0.0.2:443]")) << log_.all();
}

// The answer to a challenge is sent once per transfer and then forgotten;
// a tunnel request carries no header but Host and the answer. Every byte
// either way is counted.
TEST_F(TransferFaultTest, ProxyChallengeIsAnsweredOnceAndForgotten) {
  const std::string challenge =
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"fake\"\r\n\r\n";
  fake_http_server_t proxy(answer(challenge));
  downloader_.set_proxy(http_proxy(proxy.port(), "u", "p"));
  http_headers_t user;
  user.add("X-Nimbo-SysHash", "abc");
  downloader_.set_headers(user);
  downloader_.set_headers(user);  // rebuilt, not accumulated
  const std::pair<const char*, const char*> cases[] = {
      {"http://updates.example/version.lst",
       "GET http://updates.example/version.lst HTTP/1.1\r\nHost: updates.example\r\n"
       "X-Nimbo-SysHash: abc\r\nAccept: */*\r\n"},
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
  std::uint64_t sent = 0;
  for (const std::string& request : expected) sent += request.size();
  EXPECT_EQ(traffic(), std::make_pair(sent, expected.size() * challenge.size()));
  // Without credentials a challenge fails at once; only a 2xx opens a tunnel.
  downloader_.set_proxy(http_proxy(proxy.port(), "", ""));
  std::vector<char> body;
  EXPECT_EQ(fetch(cases[0].first, body), nb::EC_PROXY_AUTH_ERROR);
  EXPECT_EQ(proxy.requests().size(), expected.size() + 1);
  fake_http_server_t refusing(answer("HTTP/1.1 403 Forbidden\r\nContent-Length: 4\r\n\r\n<h1>"));
  downloader_.set_proxy(http_proxy(refusing.port(), "", ""));
  EXPECT_EQ(fetch("https://updates.example:8443/f", body), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(log_.has("Debug: Proxy " + loopback(refusing.port()) + " refused CONNECT updates.example:8443: 403 Forbidden"))
      << log_.all();
}

}  // namespace
}  // namespace upd::testing
