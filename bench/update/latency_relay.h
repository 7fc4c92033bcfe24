// A relay on 127.0.0.1 in front of a loopback server's port that makes the
// link look long: every byte arrives one_way later in each direction, and
// a new connection carries nothing before a round trip has passed, as its
// handshake would take. The bandwidth stays that of loopback. Two threads a
// direction of each connection; all stop with the relay.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace upd::bench {

class latency_relay_t {
 public:
  latency_relay_t(std::uint16_t upstream_port, std::chrono::milliseconds one_way);
  ~latency_relay_t();
  latency_relay_t(const latency_relay_t&) = delete;
  latency_relay_t& operator=(const latency_relay_t&) = delete;

  std::uint16_t port() const { return port_; }
  // Connections accepted so far.
  std::size_t connections();

 private:
  struct link_t;
  void accept_loop();

  const std::uint16_t upstream_port_;
  const std::chrono::milliseconds one_way_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::vector<std::unique_ptr<link_t>> links_;  // guarded by mutex_
  std::thread acceptor_;
};

}  // namespace upd::bench
