// A scripted HTTP server on 127.0.0.1 and a free port for what real
// servers will not do: silence, heads cut anywhere, endless bodies, bad
// bytes. It accepts connections on its own thread and hands each to the
// script, one after another, or each on a thread of its own when the server
// is to take several connections at once; every thread is stopped and
// joined on destruction, which also releases a script waiting in hold(). The
// received request heads are kept for the test to read (any thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace upd::testing {

class fake_http_server_t;

// One accepted connection, as seen by the script on the server thread.
class fake_peer_t {
 public:
  fake_peer_t(fake_http_server_t& server, int fd) : server_(server), fd_(fd) {}
  // Reads up to the empty line ending a request head and records it.
  std::string read_head();
  // Sends everything; false once the client is gone.
  bool send(const std::string& bytes);
  // Sends one byte at a time with a pause of pause between them.
  bool send_slowly(const std::string& bytes, std::chrono::milliseconds pause);
  // Waits until the client closes the connection or the server stops.
  void hold();
  // The connection's socket, for scripts that speak TLS or reset it; the
  // server closes it after the script.
  int fd() const { return fd_; }

 private:
  fake_http_server_t& server_;
  int fd_;
};

class fake_http_server_t {
 public:
  using script_t = std::function<void(fake_peer_t&)>;

  enum connections_t { one_at_a_time, all_at_once };

  explicit fake_http_server_t(script_t script, connections_t connections = one_at_a_time);
  ~fake_http_server_t();
  fake_http_server_t(const fake_http_server_t&) = delete;
  fake_http_server_t& operator=(const fake_http_server_t&) = delete;

  std::uint16_t port() const { return port_; }
  // "http://127.0.0.1:<port>/<path>".
  std::string url(const std::string& path = "") const;
  // Request heads received so far, in order.
  std::vector<std::string> requests() const;

 private:
  friend class fake_peer_t;
  void serve();
  void record(const std::string& head);
  bool stop_requested(int other_fd) const;

  script_t script_;
  connections_t connections_;
  std::vector<std::thread> peers_;  // all_at_once: one a connection
  int listener_ = -1;
  int stop_pipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;  // guarded by mutex_
  std::thread thread_;
};

}  // namespace upd::testing
