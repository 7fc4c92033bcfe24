// Whole runs of the real program against servers that misbehave on purpose:
// silence, drips, endless bodies and heads, garbage in clear and under TLS,
// resets, LZMA bombs, signed lists naming directories, endless proxy
// challenges and redirects. Each ends with its documented code within the
// hang guard, with bounded memory and disk, and leaves the local folder and
// the DRL file as they were: the component's peak resident size and the
// peak and final bytes under the update folder are sampled during the run.
//
// "List" scenarios misbehave on every request, so the zone's one server
// fails its list and the run ends with EC_NO_UPDATE_SERVERS (94); "file"
// scenarios serve the genuine list and misbehave on the files, so the
// transfer's own code ends the run.
#include <gtest/gtest.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/filesystem/operations.hpp>
#include <fstream>
#include <thread>

#include "formats/lzma_samples.h"
#include "formats/signing.h"
#include "support/fake_http_server.h"
#include "update/update_run_fixture.h"

namespace upd::testing {
namespace {

namespace fs = boost::filesystem;
using behaviour_t = std::function<void(fake_peer_t&)>;

constexpr int no_update_servers = 94, network_error = 29, network_timed_out = 97, proxy_auth_error = 93;
constexpr int timeout_ms = 200;
const std::string ok_head = "HTTP/1.1 200 OK\r\n\r\n";
const std::string chunked_head = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

// Answers a request for the list as a repository without a detached
// signature does; false for any other request.
bool answered_list(fake_peer_t& peer, const std::string& head, const std::string& list) {
  if (head.find("version.lst") == std::string::npos) return false;
  peer.send(head.find("version.lst.sig") == std::string::npos ? ok_head + list
                                                              : "HTTP/1.1 404 Not Found\r\n\r\n");
  return true;
}

std::uint64_t bytes_under(const fs::path& dir) {
  // Files come and go while the component runs: a vanished entry counts 0.
  std::uint64_t total = 0;
  boost::system::error_code error;
  for (fs::recursive_directory_iterator it(dir, error), end; !error && it != end; it.increment(error)) {
    const auto size = fs::file_size(it->path(), error);
    total += error ? 0 : size;
    error.clear();
  }
  return total;
}

class HostileServer : public UpdateRunTest {
 protected:
  static void SetUpTestSuite() {
    UpdateRunTest::SetUpTestSuite();
    if (!nginx_) return;
    tls_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(tls_, nginx_->certificate().c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(tls_, nginx_->key().c_str(), SSL_FILETYPE_PEM);
  }
  static void TearDownTestSuite() {
    SSL_CTX_free(std::exchange(tls_, nullptr));
    UpdateRunTest::TearDownTestSuite();
  }

  // A small published repository and a local folder with one outdated
  // file; returns the genuine "version.lst".
  std::string prepare() {
    publish({{"a.vdb", std::string(30000, 'a')}, {"c.vdb", "c content"}});
    write_file(local_ / "a.vdb", "old a");
    return read_file(served() / "version.lst");
  }

  // Runs the component against the server alone while sampling its memory
  // and the update folder; checks the code, the bounds and that the local
  // folder and the DRL file are as before.
  // A scripted server serves one connection at a time, unless it takes
  // them all at once: then the component may use several.
  run_result_t expect_run(const std::string& scenario, const std::string& server_url, int expected,
                          std::optional<nb::UpdateConfig> c = {}, bool several_connections = false) {
    write_drl({server_url});
    if (!c) (c = config())->set_network_timeout(timeout_ms);
    if (!several_connections) c->set_connections_per_server(1);
    const auto local_before = tree(local_);
    const std::string drl_before = read_file(drl_);
    std::uint64_t peak_bytes = 0;
    long peak_kib = 0;
    std::atomic<bool> stop{false};
    std::thread watch([&] {
      for (; !stop; std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
        peak_bytes = std::max(peak_bytes, bytes_under(update_));
        // The peak resident size (VmHWM, KiB) of the process, none once it is gone.
        std::ifstream status("/proc/" + std::to_string(component_pid_) + "/status");
        for (std::string line; std::getline(status, line);)
          if (line.starts_with("VmHWM:")) peak_kib = std::max(peak_kib, std::stol(line.substr(6)));
      }
    });
    const run_result_t run = this->run(*c);
    stop = true;
    watch.join();
    const std::uint64_t final_bytes = bytes_under(update_);
    EXPECT_EQ(run.exit_status, expected) << scenario << ::testing::PrintToString(run.log);
    EXPECT_EQ(tree(local_), local_before) << scenario;
    EXPECT_EQ(read_file(drl_), drl_before) << scenario;
    // The listed files are 30009 bytes: a compressed and a plain try of each
    // and the cache stay far below this.
    EXPECT_LT(std::max(peak_bytes, final_bytes), 1u << 20) << scenario;
    EXPECT_LT(peak_kib, 512 * 1024) << scenario;
    return run;
  }

  // The behaviour on every request: the zone's one server fails its list.
  run_result_t expect_list(const std::string& what, const behaviour_t& behaviour) {
    fake_http_server_t server([&](fake_peer_t& peer) {
      peer.read_head();
      behaviour(peer);
    });
    return expect_run("list: " + what, server.url(), no_update_servers);
  }

  // The behaviour on every request, then on the files only (after the
  // genuine list); returns the second run.
  run_result_t expect_list_and_file(const std::string& what, const behaviour_t& behaviour, int file_code) {
    const std::string list = prepare();
    expect_list(what, behaviour);
    // Both files at once, each on a connection of its own.
    fake_http_server_t on_files(
        [&](fake_peer_t& peer) {
          if (!answered_list(peer, peer.read_head(), list)) behaviour(peer);
        },
        fake_http_server_t::all_at_once);
    return expect_run("file: " + what, on_files.url(), file_code, {}, true);
  }

  static inline SSL_CTX* tls_ = nullptr;
};

// One byte every half time-out, so that every step meets its limit, until
// the client leaves (anything readable is its close).
void drip(fake_peer_t& peer) {
  pollfd closed{peer.fd(), POLLIN, 0};
  if (peer.send(ok_head))
    while (::poll(&closed, 1, timeout_ms / 2) == 0 && peer.send("x")) {
    }
}

void repeat(fake_peer_t& peer, const std::string& first, const std::string& more) {
  if (peer.send(first))
    while (peer.send(more)) {
    }
}

void garbage(fake_peer_t& peer) {
  std::string bytes(65536, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7919 + 13) % 251);
  peer.send(bytes);
  peer.hold();
}

TEST_F(HostileServer, SlowOrEndlessAnswersEndWithTheirCode) {
  const struct {
    const char* what;
    behaviour_t behaviour;
    int file_code;
    const char* line;
  } cases[] = {
      {"stall after the request", [](fake_peer_t& peer) { peer.hold(); }, network_timed_out, "]: Timed out"},
      {"a byte every half time-out", drip, network_timed_out, "]: Slower than 1024 bytes/s on average"},
      {"endless body", [](fake_peer_t& peer) { repeat(peer, ok_head, std::string(65536, 'z')); }, network_error,
       "HTTP body exceeds the limit of"},
      // Half a body, then a TCP reset instead of an orderly close.
      {"reset in the middle of the body",
       [](fake_peer_t& peer) {
         peer.send(ok_head + std::string(10000, 'h'));
         const linger abort_on_close{1, 0};
         ::setsockopt(peer.fd(), SOL_SOCKET, SO_LINGER, &abort_on_close, sizeof abort_on_close);
       },
       network_error, "Read HTTP: "},
      {"chunk size in bad hex", [](fake_peer_t& peer) { peer.send(chunked_head + "5\r\nhello\r\n0x1\r\n"); },
       network_error, ": Bad chunk size"},
      {"overlong chunk size line", [](fake_peer_t& peer) { peer.send(chunked_head + "5;" + std::string(5000, 'x')); },
       network_error, ": Chunk size line over 4096 bytes"},
      {"chunk beyond the bound", [](fake_peer_t& peer) { peer.send(chunked_head + "fffffFFFF\r\n"); }, network_error,
       " bytes beyond the bound of the body"},
      {"cut inside a chunk", [](fake_peer_t& peer) { peer.send(chunked_head + "2710\r\n" + std::string(5000, 'h')); },
       network_error, ": End of file inside the chunked body"},
      {"gzip, chunked", [](fake_peer_t& peer) { peer.send("HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"); },
       network_error, ": Unsupported transfer coding: gzip, chunked"},
      // Escape sequences and a bare CR would rewrite the terminal and forge a line.
      {"reason phrase with escapes",
       [](fake_peer_t& peer) { peer.send("HTTP/1.1 404 \x1b[2J\rNotice: Exit with status 0 (Success)\r\n\r\n"); },
       network_error, "HTTP 404 \\x1b[2J\\x0dNotice: Exit with status 0 (Success)"},
  };
  for (const auto& c : cases) {
    const auto run = expect_list_and_file(c.what, c.behaviour, c.file_code);
    EXPECT_TRUE(has_line(run, c.line)) << c.what << ::testing::PrintToString(run.log);
  }
}

// Every answer, to a range too, is the whole body from its start, cut 68 KiB
// further each time: a whole answer to a range earns no resumption, so a
// 4 MiB file costs a few cut bodies, never the square of its size.
TEST_F(HostileServer, WholeAnswersToRangesCostAtMostTwiceTheFile) {
  constexpr std::size_t size = 4 << 20, step = 68 << 10;
  publish({{"a.vdb", std::string(size, 'a')}});
  write_file(local_ / "a.vdb", "old a");
  const std::string list = read_file(served() / "version.lst");
  std::atomic<std::size_t> cut{0}, received{0};
  fake_http_server_t server([&](fake_peer_t& peer) {
    if (answered_list(peer, peer.read_head(), list)) return;
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n" +
                               std::string(std::min(cut += step, size), 'a');
    received += answer.size();
    peer.send(answer);
  });
  expect_run("file: ranges answered whole, cut further each time", server.url(), network_error);
  EXPECT_LT(received, 2.1 * size);
}

TEST_F(HostileServer, MonstrousHeadsGarbageAndRedirectsAreRefused) {
  prepare();
  const std::pair<const char*, behaviour_t> cases[] = {
      {"endless header lines", [](fake_peer_t& peer) { repeat(peer, "HTTP/1.1 200 OK\r\n", "X-Filler: 1\r\n"); }},
      {"reason phrase of 2 MiB",
       [](fake_peer_t& p) { p.send("HTTP/1.1 200 " + std::string(2 << 20, 'r') + "\r\n\r\n"); }},
      {"64 KiB of garbage as head", garbage},
      {"302 to the genuine list",
       [&](fake_peer_t& p) { p.send("HTTP/1.1 302 Found\r\nLocation: " + http_base() + "version.lst\r\n\r\n"); }},
  };
  for (const auto& [what, behaviour] : cases) expect_list(what, behaviour);
  // A TLS handshake, then bytes that are no TLS record; garbage instead of a handshake.
  fake_http_server_t after_handshake([](fake_peer_t& peer) {
    SSL* ssl = SSL_new(tls_);
    SSL_set_fd(ssl, peer.fd());
    char c;
    if (SSL_accept(ssl) == 1 && SSL_read(ssl, &c, 1) == 1) garbage(peer);
    SSL_free(ssl);
  });
  fake_http_server_t instead_of_handshake(garbage);
  for (const auto* server : {&after_handshake, &instead_of_handshake})
    expect_run("list: TLS garbage", "https://127.0.0.1:" + std::to_string(server->port()) + "/", no_update_servers);
}

TEST_F(HostileServer, EndlessProxyChallengesAreAnsweredOnce) {
  const std::string list = prepare();
  nb::UpdateConfig c = config();
  c.set_network_timeout(timeout_ms);
  c.mutable_proxy()->set_type(nb::Proxy::PROXY_TYPE_HTTP);
  c.mutable_proxy()->set_host("127.0.0.1");
  c.mutable_proxy()->set_user("updater");
  const std::string challenge =
      "HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: Basic realm=\"nimbo\"\r\n\r\n";
  fake_http_server_t list_proxy([&](fake_peer_t& peer) {
    peer.read_head();
    peer.send(challenge);
  });
  c.mutable_proxy()->set_port(list_proxy.port());
  expect_run("list: proxy answers 407 for ever", http_base(), no_update_servers, c);
  EXPECT_EQ(list_proxy.requests().size(), 2u);
  fake_http_server_t file_proxy([&](fake_peer_t& peer) {
    if (!answered_list(peer, peer.read_head(), list)) peer.send(challenge);
  });
  c.mutable_proxy()->set_port(file_proxy.port());
  expect_run("file: proxy answers 407 for ever", http_base(), proxy_auth_error, c);
  // The list, its signature and the two indexes (answered with the list, so
  // ignored), then each form of the first file once plain and once answered.
  EXPECT_EQ(file_proxy.requests().size(), 8u);
}

TEST_F(HostileServer, LzmaBombsFailAndThePlainFileIsFetched) {
  prepare();
  // 64 MiB of zeros in about 10 KiB, for a file listed with 9 bytes; a header asking for a 4 GiB dictionary.
  write_file(served() / "c.vdb.lzma", lzma_alone(std::string(64 << 20, '\0'), 1));
  write_file(served() / "a.vdb.lzma", read_file(served() / "a.vdb.lzma").replace(1, 4, "\xff\xff\xff\xff"));
  const auto run = expect_run("file: LZMA bomb (64 MiB for 9 bytes), 4 GiB dictionary", http_base(), 0);
  EXPECT_TRUE(has_line(run, "Unpacking lzma: dictionary too large"));
  EXPECT_EQ(read_file(update_ / "bases" / "c.vdb"), "c content");
  EXPECT_EQ(read_file(update_ / "bases" / "a.vdb"), std::string(30000, 'a'));
}

// Well-signed lists that the publisher's tool would refuse to make.
TEST_F(HostileServer, SignedListsThePublisherWouldRefuseAreRefused) {
  if (!can_sign()) GTEST_SKIP() << "the build's key file has no private part";
  const std::string list = prepare();
  const auto serve = [&](const std::string& part) {
    write_file(served() / "version.lst", part + "\r\n[Signature]\r\nSignature=" + signature_of(part) + "\r\n");
  };
  const std::string body = list.substr(0, list.find("[NimboUpdateListEnd]"));
  for (const std::string name : {"..", ".", "../escape", "x/../../escape"}) {
    serve(body + "+" + name + ", " + std::string(64, '0') + ", 5\r\n[NimboUpdateListEnd]\r\n");
    expect_run("list: signed, names \"" + name + "\"", http_base(), no_update_servers);
    EXPECT_EQ(tree(update_).count("bases"), 0u) << name;
  }
  // A serial longer than the zones' record of installed lists can keep.
  serve("[NimboUpdateList]\r\n[" + std::string(4100, '9') + body.substr(body.find(']', 20)) + "[NimboUpdateListEnd]\r\n");
  const auto run = expect_run("list: signed, serial of 4100 digits", http_base(), no_update_servers);
  EXPECT_TRUE(has_line(run, "Warning: BASE: " + http_base() + "version.lst: serial too long"));
}

}  // namespace
}  // namespace upd::testing
