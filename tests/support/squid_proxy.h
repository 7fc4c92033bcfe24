// A real squid on a free loopback port as an HTTP forward proxy that demands
// Basic (basic_ncsa_auth, an htpasswd file) or Digest (digest_file_auth)
// authentication of one user, with a temporary configuration, logs and pid
// file in a temporary folder and no disk cache. Start it once per test
// suite: it runs as a child process until destruction.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "support/child_process.h"
#include "support/test_support.h"

namespace upd::testing {

class squid_proxy_t {
 public:
  enum scheme_t { basic, digest };

  // Why squid cannot run here ("" when it can): a test skips with the text.
  static std::string unavailable_reason();

  // Throws std::runtime_error when squid does not come up.
  squid_proxy_t(scheme_t scheme, const std::string& user, const std::string& password);
  ~squid_proxy_t();
  squid_proxy_t(const squid_proxy_t&) = delete;
  squid_proxy_t& operator=(const squid_proxy_t&) = delete;

  std::uint16_t port() const { return port_; }
  // squid's access log so far, for diagnostics.
  std::string access_log() const;

 private:
  temp_dir_t dir_;
  std::string service_name_;
  std::uint16_t port_;
  std::unique_ptr<child_process_t> process_;
};

}  // namespace upd::testing
