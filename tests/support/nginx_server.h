// A real nginx serving a folder over HTTP and HTTPS on free loopback ports,
// with certificates made at start (openssl CLI), a temporary configuration
// and all its files in a temporary folder. Start it once per test suite: it
// runs as a child process until destruction. Over HTTP, a folder whose name
// ends in "-500" answers 500 for its "version.lst.sig", one ending in "-429"
// 429 with "Retry-After: 120" for everything, one ending in "-busy" 503
// with the same for its ".vdb" files, one ending in "-ssi"
// answers in chunks (server-side includes). Over HTTPS,
// 127.0.0.1 shows a self-signed certificate; the name "localhost" in the
// handshake selects a server block of its own, also the one on 127.0.0.2,
// with a certificate that ca() issued for 127.0.0.2 alone. The access log
// shows the name sent and the block that answered.
#pragma once

#include <boost/filesystem/path.hpp>
#include <cstdint>
#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/test_support.h"

namespace upd::testing {

class nginx_server_t {
 public:
  // Why nginx cannot run here ("" when it can): a test skips with the text.
  static std::string unavailable_reason();

  // Serves root; throws std::runtime_error when nginx does not come up. A
  // rate_limit (bytes per second, 0 for none) paces every response alone:
  // a client with one transfer at a time sees a link of about that speed.
  explicit nginx_server_t(const boost::filesystem::path& root, std::uint64_t rate_limit = 0);
  ~nginx_server_t();
  nginx_server_t(const nginx_server_t&) = delete;
  nginx_server_t& operator=(const nginx_server_t&) = delete;

  std::uint16_t http_port() const { return http_port_; }
  std::uint16_t https_port() const { return https_port_; }
  // "http://127.0.0.1:<port>/<path>" and the same for https, to that host.
  std::string http_url(const std::string& path) const;
  std::string https_url(const std::string& path, const std::string& host = "127.0.0.1") const;
  // The PEM files of its self-signed certificate and key, for other TLS servers of a test.
  boost::filesystem::path certificate() const { return dir_ / "cert.pem"; }
  boost::filesystem::path key() const { return dir_ / "key.pem"; }
  boost::filesystem::path ca() const { return dir_ / "ca-cert.pem"; }
  // One line a request: "<connection number> <status> if_none_match=<header
  // or -> <uri> proxy_authorization=<header or -> sni=<name> server=<name>".
  // nginx writes a request's line after its answer, so a client can be
  // done before the line of its last request is there: the log is read
  // once it has stopped growing for a moment.
  std::string access_log() const;
  // The connections that carried the requests logged from byte `from` of
  // the access log on whose lines hold needle.
  std::size_t connections_since(std::size_t from, const std::string& needle = "") const;

 private:
  temp_dir_t dir_;
  std::uint16_t http_port_;
  std::uint16_t https_port_;
  std::unique_ptr<child_process_t> process_;
};

}  // namespace upd::testing
