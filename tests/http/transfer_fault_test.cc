// Transfers against a scripted loopback server: every way a server can
// misbehave ends with a defined code, and the odd but valid answers work.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <boost/asio/post.hpp>
#include <boost/filesystem/exception.hpp>
#include <boost/filesystem/operations.hpp>
#include <boost/thread/thread.hpp>
#include <thread>
#include <tuple>

#include "http/http_connection.h"
#include "http/transfer_fixture.h"
#include "http/two_address_name.h"
#include "support/fake_http_server.h"
#include "support/file_size_limit.h"
#include "support/test_support.h"

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
  user.add("Accept", "text/plain");
  downloader_.set_headers(user);
  downloader_.set_headers(user);  // rebuilt, not accumulated
  std::vector<char> body;
  ASSERT_EQ(fetch(server.url("a/version.lst?x=1"), body), nb::EC_OK) << log_->all();
  const std::string host = loopback(server.port());
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "GET http://" + host + "/a/version.lst?x=1 HTTP/1.1\r\nHost: " + host +
                "\r\nUser-Agent: NimboUpdate-Linux-1 ()\r\nAccept: text/plain\r\n"
                "Connection: close\r\nAccept: */*\r\n\r\n");
  flush_stat();
  EXPECT_EQ(watcher_.sent, server.requests()[0].size());
  EXPECT_EQ(watcher_.received, response.size());
}

TEST_F(TransferFaultTest, SilentServerTimesOutAfterOneTimeout) {
  fake_http_server_t server([](fake_peer_t& peer) {
    peer.read_head();
    peer.hold();
  });
  downloader_.set_timeout(30ms);
  std::vector<char> body;
  EXPECT_EQ(fetch(server.url("f"), body), nb::EC_NETWORK_TIMEDOUT);
  const std::string peer = loopback(server.port());
  EXPECT_TRUE(log_->has("Debug: IO with " + peer + " [" + peer + "]: Timed out")) << log_->all();
}

TEST_F(TransferFaultTest, InterruptingTheThreadEndsTheTransferBetweenEvents) {
  fake_http_server_t server([](fake_peer_t& peer) {
    peer.read_head();
    peer.send("HTTP/1.1 200 OK\r\n\r\n");
    while (peer.send("tick")) std::this_thread::sleep_for(1ms);
  });
  std::atomic<bool> interrupted{false};
  std::atomic<bool> receiving{false};
  boost::signals2::scoped_connection seen =
      downloader_.data_signal.connect([&](downloader_t&, const std::vector<char>&,
                                          boost::system::error_code&) { receiving = true; });
  boost::thread worker([&] {
    try {
      std::vector<char> body;
      downloader_.download(url_t(server.url("f")), body);
    } catch (const boost::thread_interrupted&) {
      interrupted = true;
    }
  });
  while (!receiving) std::this_thread::sleep_for(1ms);
  worker.interrupt();
  worker.join();
  EXPECT_TRUE(interrupted);
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
      {ok_head + "hello, and more than Content-Length says", nb::EC_OK,
       "hello, and more than Content-Length says", ""},
      {"HTTP/1.1 200 OK\r\n\r\n", nb::EC_OK, "", ""},
      {"<html><body>hello</body></html>\r\n", nb::EC_NETWORK_ERROR, "", bad + "Bad HTTP response header"},
      {"HTTP/1.1 200 OK\r\nContent-", nb::EC_NETWORK_ERROR, "", bad + "End of file"},
      {"", nb::EC_NETWORK_ERROR, "", bad + "End of file"},
      {"HTTP/1.1 404 Not Found\r\n\r\nerror page", nb::EC_NETWORK_ERROR, "",
       "Debug: HTTP error 404 Not Found"},
      {"HTTP/1.1 301 Moved Permanently\r\nLocation: http://h/\r\n\r\nmoved", nb::EC_NETWORK_ERROR, "",
       "Debug: HTTP error 301 Moved Permanently"},
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
    EXPECT_EQ(fetch(server.url("f"), body), c.code) << log_->all();
    EXPECT_EQ(text_of(body), c.body);
    EXPECT_EQ(chunks, c.body.size());
    if (c.code == nb::EC_OK) {
      EXPECT_EQ(downloader_.bytes_received(), body.size());
    }
    ASSERT_EQ(finished_.size(), 1u);
    EXPECT_EQ(finished_[0], c.code);
    std::string line = c.log;
    for (auto at = line.find('@'); at != std::string::npos; at = line.find('@'))
      line.replace(at, 1, loopback(server.port()));
    EXPECT_TRUE(log_->has(line)) << line << "\n" << log_->all();
  }
}

TEST_F(TransferFaultTest, UnsupportedProtocolOrRefusedConnectionFails) {
  std::uint16_t port;
  {
    fake_http_server_t closed(answer(""));
    port = closed.port();
  }
  const std::tuple<std::string, nb::ErrorCode, std::string> cases[] = {
      {"ftp://127.0.0.1/f", nb::EC_UNEXPECTED_ERROR, "Error: Unsupported protocol ftp"},
      {"http://" + loopback(port) + "/f", nb::EC_NETWORK_ERROR, "Debug: Connect " + loopback(port)},
  };
  for (const auto& [url, code, line] : cases) {
    std::vector<char> body;
    EXPECT_EQ(fetch(url, body), code);
    EXPECT_TRUE(log_->has(line)) << log_->all();
  }
}

// A listener whose accept queue is full: a further connect is never
// answered. Both descriptors close on destruction.
struct full_listener_t {
  full_listener_t() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener, 0);
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
    ::connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
  }
  ~full_listener_t() {
    ::close(filler);
    ::close(listener);
  }
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::uint16_t port = 0;
};

TEST_F(TransferFaultTest, UnansweredConnectTimesOut) {
  full_listener_t listener;
  downloader_.set_timeout(30ms);
  const std::string port = std::to_string(listener.port);
  const std::string name = std::string(two_address_name) + ":" + port;
  std::vector<char> body;
  EXPECT_EQ(fetch("http://" + name + "/f", body), nb::EC_NETWORK_TIMEDOUT);
  EXPECT_TRUE(log_->has("Debug: Connect " + name + " [127.0.0.2:" + port + "]: ")) << log_->all();
  EXPECT_TRUE(log_->has("Debug: Cannot connect " + name + " [127.0.0.1:" + port + "]: Timed out"))
      << log_->all();
}

TEST_F(TransferFaultTest, SecondAddressIsTriedWhenTheFirstRefuses) {
  fake_http_server_t server(answer(ok_head + "hello"), "127.0.0.1");
  const std::string port = std::to_string(server.port());
  const std::string name = std::string(two_address_name) + ":" + port;
  std::vector<char> body;
  ASSERT_EQ(fetch("http://" + name + "/f", body), nb::EC_OK) << log_->all();
  EXPECT_EQ(text_of(body), "hello");
  EXPECT_TRUE(log_->has("Debug: Connect " + name + " [127.0.0.2:" + port + "]: ")) << log_->all();
  EXPECT_FALSE(log_->has("Debug: Connected " + name + " [127.0.0.2")) << log_->all();
  EXPECT_TRUE(log_->has("Debug: Connected " + name + " [127.0.0.1:" + port + "]")) << log_->all();
}

const std::string challenge =
    "HTTP/1.1 407 Proxy Authentication Required\r\n"
    "Proxy-Authenticate: Basic realm=\"fake\"\r\n\r\n";

// The answer to a challenge is sent once per transfer and then forgotten;
// a tunnel request carries no header but Host and the answer.
TEST_F(TransferFaultTest, ProxyChallengeIsAnsweredOnceAndForgotten) {
  fake_http_server_t proxy(answer(challenge));
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

TEST_F(TransferFaultTest, RefusedTunnelFailsTheHandshake) {
  fake_http_server_t proxy(answer("HTTP/1.1 403 Forbidden\r\n\r\n"));
  downloader_.set_proxy(http_proxy(proxy.port(), "", ""));
  std::vector<char> body;
  EXPECT_EQ(fetch("https://updates.example:8443/f", body), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(log_->has("Debug: SSL handshake: " + loopback(proxy.port())))
      << log_->all();
}

// The memory body limit: an endless "version.lst" cannot exhaust memory.
TEST_F(TransferFaultTest, EndlessBodyInMemoryStopsAtTheLimit) {
  fake_http_server_t server([](fake_peer_t& peer) {
    peer.read_head();
    const std::string chunk(1 << 20, 'z');
    if (peer.send("HTTP/1.1 200 OK\r\n\r\n"))
      while (peer.send(chunk)) {
      }
  });
  std::vector<char> body;
  EXPECT_EQ(fetch(server.url("version.lst"), body), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(body.empty());
  EXPECT_GT(downloader_.bytes_received(), downloader_t::memory_limit_);
  EXPECT_TRUE(log_->has("Debug: HTTP body exceeds the limit of 67108864 bytes")) << log_->all();
}

TEST_F(TransferFaultTest, FileIsCreatedPrivateOrReplacedWithinTheCallersLimit) {
  temp_dir_t dir;
  fake_http_server_t server(answer(ok_head + "0123456789"));
  const auto save = [&](const char* name, std::uint64_t limit) {
    return outcome([&] { downloader_.download(url_t(server.url("f")), dir / name, limit); });
  };
  ASSERT_EQ(save("fresh", 10), nb::EC_OK);
  EXPECT_EQ(read_file(dir / "fresh"), "0123456789");
  struct stat info {};
  ASSERT_EQ(::stat((dir / "fresh").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  write_file(dir / "old", "old content, longer");
  ASSERT_EQ(save("old", 100), nb::EC_OK);
  EXPECT_EQ(read_file(dir / "old"), "0123456789");
  EXPECT_EQ(save("fresh", 9), nb::EC_NETWORK_ERROR);
  EXPECT_TRUE(log_->has("Debug: HTTP body exceeds the limit of 9 bytes")) << log_->all();
  EXPECT_LE(read_file(dir / "fresh").size(), 9u);
}

TEST_F(TransferFaultTest, UnopenableFileFailsBeforeAnyRequest) {
  temp_dir_t dir;
  fake_http_server_t server(answer(ok_head + "new"));
  try {
    downloader_.download(url_t(server.url("f")), dir / "missing" / "f");
    FAIL() << "no exception";
  } catch (const boost::filesystem::filesystem_error& e) {
    EXPECT_NE(std::string(e.what()).find("open"), std::string::npos) << e.what();
    EXPECT_EQ(e.code(), boost::system::errc::no_such_file_or_directory);
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST_F(TransferFaultTest, FailedWriteIsTheOutcomeReportedAndThrown) {
  temp_dir_t dir;
  fake_http_server_t server(answer(ok_head + "hello"));
  std::string thrown;
  try {
    const file_size_limit_t full_disk(2);
    downloader_.download(url_t(server.url("f")), dir / "f");
  } catch (const boost::system::system_error& e) {
    thrown = e.what();
  }
  EXPECT_EQ(thrown, "write: File too large");
  ASSERT_EQ(finished_.size(), 1u);
  EXPECT_EQ(finished_[0], boost::system::errc::file_too_large);
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
        // Keep the event loop busy past the deadline while the second
        // chunk arrives, without touching the transfer itself.
        if (!std::exchange(stalled, true))
          boost::asio::post(service_, [&] { std::this_thread::sleep_for(3 * timeout); });
      });
  std::vector<char> body;
  ASSERT_EQ(fetch(server.url("f"), body), nb::EC_OK) << log_->all();
  EXPECT_EQ(text_of(body), "firstsecond");
}

}  // namespace
}  // namespace upd::testing
