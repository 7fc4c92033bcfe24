// A relay on 127.0.0.1 in front of a real server's port, for transfers that
// break: each request goes on and each answer comes back, cut after every
// cut_every bytes of a connection. It counts the answer bytes it passed:
// what the client received. One connection at a time, on the scripted
// server's thread, and one request a connection.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "support/fake_http_server.h"

namespace upd::testing {

class fault_proxy_t {
 public:
  // Every connection is cut after cut_every bytes (0: never).
  fault_proxy_t(std::uint16_t upstream_port, std::uint64_t cut_every);

  std::string url(const std::string& path = "") const { return server_.url(path); }
  std::uint64_t passed() const { return passed_; }

 private:
  void relay(fake_peer_t& peer);

  const std::uint16_t upstream_port_;
  const std::uint64_t cut_every_;
  std::atomic<std::uint64_t> passed_{0};
  fake_http_server_t server_;  // last: its thread uses the members above
};

}  // namespace upd::testing
