// Whole runs of the real program against servers that misbehave on purpose:
// silence, drips, endless bodies and heads, garbage in clear and under TLS,
// resets, LZMA bombs, signed lists naming directories, endless proxy
// challenges and redirects. Each ends with its documented code within the
// hang guard, with bounded memory and disk, and leaves the local folder and
// the DRL file as they were (checked by measured_run).
//
// "List" scenarios misbehave on every request, so the zone's one server
// fails its list and the run ends with EC_NO_UPDATE_SERVERS (94); "file"
// scenarios serve the genuine list and misbehave on the files, so the
// transfer's own code ends the run.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>

#include <boost/filesystem/operations.hpp>

#include "formats/lzma_samples.h"
#include "formats/signing.h"
#include "update/hostile_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using behaviour_t = std::function<void(fake_peer_t&)>;

constexpr int no_update_servers = 94;
constexpr int network_error = 29;
constexpr int network_timed_out = 97;
constexpr int proxy_auth_error = 93;
const std::string ok_head = "HTTP/1.1 200 OK\r\n\r\n";

// What a server does once it has read a request head.
void stall(fake_peer_t& peer) { peer.hold(); }

// One byte every half time-out, so that every step meets its limit with
// room to spare even on a loaded machine, until the client leaves (the
// request has been read, so anything readable is its close): the server is
// then free for the client's next request at once.
void drip(fake_peer_t& peer) {
  if (!peer.send(ok_head)) return;
  pollfd closed{peer.fd(), POLLIN, 0};
  while (::poll(&closed, 1, HostileServerTest::timeout_ms / 2) == 0 && peer.send("x")) {
  }
}

void endless_body(fake_peer_t& peer) {
  const std::string chunk(65536, 'z');
  if (!peer.send(ok_head)) return;
  while (peer.send(chunk)) {
  }
}

void endless_header_lines(fake_peer_t& peer) {
  if (!peer.send("HTTP/1.1 200 OK\r\n")) return;
  while (peer.send("X-Filler: 1\r\n")) {
  }
}

void long_reason_phrase(fake_peer_t& peer) {
  peer.send("HTTP/1.1 200 " + std::string(2 << 20, 'r') + "\r\n\r\n");
}

void garbage_head(fake_peer_t& peer) {
  std::string garbage(65536, '\0');
  for (std::size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 7919 + 13) % 251);
  peer.send(garbage);
  peer.hold();
}

// Half a body, then a TCP reset instead of an orderly close.
void reset_in_body(fake_peer_t& peer) {
  peer.send(ok_head + std::string(10000, 'h'));
  const linger abort_on_close{1, 0};
  ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
}

behaviour_t redirect_to(const std::string& location) {
  return [location](fake_peer_t& peer) { peer.send("HTTP/1.1 302 Found\r\nLocation: " + location + "\r\n\r\n"); };
}

void proxy_challenge(fake_peer_t& peer) {
  peer.send("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"nimbo\"\r\n\r\n");
}

// A TLS handshake, then bytes that are no TLS record.
void tls_then_garbage(fake_peer_t& peer) {
  tls_peer_t tls(HostileServerTest::tls_context(), peer);
  if (!tls.accept_request()) return;
  peer.send(std::string(4096, '\x17'));
  peer.hold();
}

class HostileServer : public HostileServerTest {
 protected:
  // Every request meets the behaviour.
  static fake_http_server_t::script_t every_request(behaviour_t behaviour) {
    return [behaviour](fake_peer_t& peer) {
      peer.read_head();
      behaviour(peer);
    };
  }
  // The genuine list, then the behaviour for every file.
  static fake_http_server_t::script_t files_only(const std::string& list, behaviour_t behaviour) {
    return [list, behaviour](fake_peer_t& peer) {
      if (peer.read_head().find("version.lst") != std::string::npos) {
        peer.send(ok_head + list);
        return;
      }
      behaviour(peer);
    };
  }

  // Runs against the server alone; checks the code and the bounds.
  measured_run_t expect_run(const std::string& scenario, const std::string& server_url, int expected,
                            const std::optional<nb::UpdateConfig>& c = {}) {
    write_drl({server_url});
    auto measured = measured_run(scenario, c ? *c : hostile_config());
    EXPECT_EQ(measured.run.exit_status, expected) << scenario << ::testing::PrintToString(measured.run.log);
    EXPECT_FALSE(measured.run.request) << scenario;
    // The listed files are 30009 bytes: a compressed and a plain try of each
    // and the cache stay far below this.
    EXPECT_LT(measured.peak_update_bytes, 1u << 20) << scenario;
    EXPECT_LT(measured.peak_kib, 512 * 1024) << scenario;
    return measured;
  }

  // The behaviour on every request, then on the files only; returns the
  // second run.
  measured_run_t expect_list_and_file(const std::string& what, const behaviour_t& behaviour, int file_code) {
    const std::string list = prepare();
    fake_http_server_t on_list(every_request(behaviour));
    expect_run("list: " + what, on_list.url(), no_update_servers);
    fake_http_server_t on_files(files_only(list, behaviour));
    return expect_run("file: " + what, on_files.url(), file_code);
  }
};

TEST_F(HostileServer, StallsEndWithTheirTimeOut) {
  const auto run = expect_list_and_file("stall after the request", stall, network_timed_out);
  EXPECT_TRUE(has_log_line(run.run.log, "]: Timed out"));
}

TEST_F(HostileServer, DripsJustUnderTheTimeOutEndBelowTheAverageRate) {
  const auto run = expect_list_and_file("a byte every half time-out", drip, network_timed_out);
  EXPECT_TRUE(has_log_line(run.run.log, "]: Slower than 1024 bytes/s on average"));
}

TEST_F(HostileServer, EndlessBodiesStopAtTheirBound) {
  const auto run = expect_list_and_file("endless body", endless_body, network_error);
  EXPECT_TRUE(has_log_line(run.run.log, "HTTP body exceeds the limit of"));
}

TEST_F(HostileServer, MonstrousHeadsAreRefused) {
  prepare();
  fake_http_server_t lines(every_request(endless_header_lines));
  expect_run("list: endless header lines", lines.url(), no_update_servers);
  fake_http_server_t reason(every_request(long_reason_phrase));
  expect_run("list: reason phrase of 2 MiB", reason.url(), no_update_servers);
  fake_http_server_t garbage(every_request(garbage_head));
  const auto run = expect_run("list: 64 KiB of garbage as head", garbage.url(), no_update_servers);
  EXPECT_TRUE(has_log_line(run.run.log, "]: Bad HTTP response header"));
}

TEST_F(HostileServer, GarbageUnderTlsIsANetworkError) {
  if (!tls_context()) GTEST_SKIP() << "the openssl CLI is needed for a certificate";
  prepare();
  fake_http_server_t after_handshake(tls_then_garbage);
  const std::string port = std::to_string(after_handshake.port());
  expect_run("list: TLS, then garbage records", "https://127.0.0.1:" + port + "/", no_update_servers);
  fake_http_server_t instead_of_handshake(garbage_head);
  const auto run = expect_run("list: garbage instead of a TLS handshake",
                              "https://127.0.0.1:" + std::to_string(instead_of_handshake.port()) + "/",
                              no_update_servers);
  EXPECT_TRUE(has_log_line(run.run.log, "SSL handshake: "));
}

TEST_F(HostileServer, ResetInTheMiddleOfABodyIsANetworkError) {
  const auto run = expect_list_and_file("reset in the middle of the body", reset_in_body, network_error);
  EXPECT_TRUE(has_log_line(run.run.log, "Read HTTP: "));
}

TEST_F(HostileServer, RedirectsAreNotFollowed) {
  const std::string list = prepare();
  fake_http_server_t list_redirect(every_request(redirect_to(http_base() + "version.lst")));
  expect_run("list: 302 to the genuine list", list_redirect.url(), no_update_servers);
  fake_http_server_t file_redirect(files_only(list, redirect_to(http_base() + "a.vdb")));
  const auto run = expect_run("file: 302 to the genuine file", file_redirect.url(), network_error);
  EXPECT_TRUE(has_log_line(run.run.log, "HTTP error 302 Found"));
}

TEST_F(HostileServer, EndlessProxyChallengesAreAnsweredOnce) {
  const std::string list = prepare();
  auto c = hostile_config();
  c.mutable_proxy()->set_type(nb::Proxy::PROXY_TYPE_HTTP);
  c.mutable_proxy()->set_host("127.0.0.1");
  c.mutable_proxy()->set_user("updater");
  c.mutable_proxy()->set_password("wrong");
  fake_http_server_t list_proxy(every_request(proxy_challenge));
  c.mutable_proxy()->set_port(list_proxy.port());
  expect_run("list: proxy answers 407 for ever", http_base(), no_update_servers, c);
  EXPECT_EQ(list_proxy.requests().size(), 2u);

  fake_http_server_t file_proxy(files_only(list, proxy_challenge));
  c.mutable_proxy()->set_port(file_proxy.port());
  expect_run("file: proxy answers 407 for ever", http_base(), proxy_auth_error, c);
  // The list, then each form of the first file once plain and once answered.
  EXPECT_EQ(file_proxy.requests().size(), 5u);
}

TEST_F(HostileServer, LzmaBombFailsAndThePlainFileIsFetched) {
  prepare();
  // 64 MiB of zeros in about 10 KiB, for a file listed with 9 bytes.
  write_file(served_root_->path() / id_ / "c.vdb.lzma", lzma_alone(std::string(64 << 20, '\0'), 1));
  write_drl({http_base()});
  const auto run = measured_run("file: LZMA bomb (64 MiB for 9 bytes)", hostile_config());
  ASSERT_EQ(run.run.exit_status, 0) << ::testing::PrintToString(run.run.log);
  EXPECT_EQ(read_file(update_ / "bases" / "c.vdb"), "c content");
  EXPECT_FALSE(fs::exists(update_ / "bases" / "c.vdb-unpacking"));
  EXPECT_TRUE(has_log_line(run.run.log, "Downloading " + http_base() + "c.vdb"));
  EXPECT_LT(run.peak_update_bytes, 1u << 20);
}

TEST_F(HostileServer, SignedListNamingDirectoriesIsRefused) {
  if (!can_sign()) GTEST_SKIP() << "the build's key file has no private part";
  const std::string list = prepare();
  const std::string eol = list.find("\r\n") != std::string::npos ? "\r\n" : "\n";
  const std::string digest(64, '0');
  for (const std::string name : {"..", ".", "../escape", "x/../../escape"}) {
    // A well-signed list that the publisher's tool would refuse to make.
    std::string signed_part = list.substr(0, list.find("[NimboUpdateListEnd]"));
    signed_part += "+" + name + ", " + digest + ", 5" + eol + "[NimboUpdateListEnd]" + eol;
    write_file(served_root_->path() / id_ / "version.lst",
               signed_part + eol + "[Signature]" + eol + "Signature=" + signature_of(signed_part) + eol);
    nb::UpdateConfig c = hostile_config();
    write_drl({http_base()});
    const auto run = measured_run("list: signed, names \"" + name + "\"", c);
    EXPECT_EQ(run.run.exit_status, no_update_servers) << name;
    EXPECT_EQ(tree(update_).count("bases"), 0u) << name;
  }
}

}  // namespace
}  // namespace upd::testing
