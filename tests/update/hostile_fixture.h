// The frame of the hostile-server suite: whole runs of the real program
// against scripted servers that misbehave on purpose, each measured (exit
// status, wall time, the component's peak resident size, the peak and final
// bytes under the update directory) and checked to leave the local
// directory alone. Every measured run becomes a row of a table that the
// suite prints when it ends (run the test binary directly to see all rows).
//
// Also a TLS side for scripts: a server certificate made with the openssl
// CLI once per suite, and a TLS session over a scripted connection. All on
// the test's threads; scripts run on the fake server's thread.
#pragma once

#include <openssl/ssl.h>

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/fake_http_server.h"
#include "update/update_run_fixture.h"

namespace upd::testing {

struct measured_run_t {
  run_result_t run;
  long elapsed_ms = 0;
  long peak_kib = 0;                     // the component's VmHWM, sampled
  std::uint64_t peak_update_bytes = 0;   // sampled every few milliseconds
  std::uint64_t final_update_bytes = 0;  // what the run left
};

class HostileServerTest : public UpdateRunTest {
 public:
  static constexpr std::uint32_t timeout_ms = 200;
  // The suite's TLS server context (certificate made at suite start), or
  // null when the openssl CLI is missing.
  static SSL_CTX* tls_context() { return tls_context_; }

 protected:
  static void SetUpTestSuite();
  static void TearDownTestSuite();

  // A small published repository, a DRL naming nothing yet and a local
  // folder with one outdated file; returns the genuine "version.lst".
  std::string prepare();
  // A configuration with a short network time-out.
  nb::UpdateConfig hostile_config() const;
  // Runs the component, records the row "scenario" of the table and checks
  // that the local folder and the DRL file are as before.
  measured_run_t measured_run(const std::string& scenario, const nb::UpdateConfig& config);

  // Every file below dir with its content.
  static std::map<std::string, std::string> tree(const boost::filesystem::path& dir);
  static std::uint64_t tree_bytes(const boost::filesystem::path& dir);

 private:
  static SSL_CTX* tls_context_;
  static temp_dir_t* tls_dir_;
};

// A server-side TLS session on a scripted connection; freed on destruction
// (the socket stays the fake server's).
class tls_peer_t {
 public:
  tls_peer_t(SSL_CTX* context, fake_peer_t& peer);
  ~tls_peer_t();
  tls_peer_t(const tls_peer_t&) = delete;
  tls_peer_t& operator=(const tls_peer_t&) = delete;

  // The handshake and the request head; false when either fails.
  bool accept_request();

 private:
  SSL* ssl_;
};

// Tells whether the text holds the needle in one of the lines.
bool has_log_line(const std::vector<std::string>& lines, const std::string& needle);

}  // namespace upd::testing
