#include "latency_relay.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <stdexcept>
#include <string>

#include "support/child_process.h"

namespace upd::bench {

namespace {

using clock_type = std::chrono::steady_clock;

void no_delay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

// Outside the anonymous namespace, since link_t, declared in the header,
// holds it. One direction: a reader stamps what arrives with the time it may leave,
// a writer sends it then; an empty piece stands for the end of the stream.
class direction_t {
 public:
  direction_t(int from, int to, clock_type::time_point not_before, std::chrono::milliseconds delay)
      : from_(from), to_(to), not_before_(not_before), delay_(delay) {
    reader_ = std::thread([this] { read(); });
    writer_ = std::thread([this] { write(); });
  }
  ~direction_t() {
    reader_.join();
    writer_.join();
  }

 private:
  struct piece_t {
    clock_type::time_point due;
    std::string bytes;
  };

  void read() {
    char buffer[65536];
    for (;;) {
      const ssize_t got = ::read(from_, buffer, sizeof buffer);
      const auto due = std::max(clock_type::now(), not_before_) + delay_;
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(
          {due, got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string()});
      changed_.notify_one();
      if (got <= 0) return;
    }
  }

  void write() {
    for (;;) {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [this] { return !queue_.empty(); });
      piece_t piece = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      std::this_thread::sleep_until(piece.due);
      if (piece.bytes.empty()) {
        ::shutdown(to_, SHUT_WR);
        return;
      }
      for (std::size_t sent = 0; sent < piece.bytes.size();) {
        const ssize_t done =
            ::send(to_, piece.bytes.data() + sent, piece.bytes.size() - sent, MSG_NOSIGNAL);
        if (done <= 0) {
          // The peer is gone: the other side hears of it as a reset.
          ::shutdown(from_, SHUT_RDWR);
          return;
        }
        sent += static_cast<std::size_t>(done);
      }
    }
  }

  const int from_, to_;
  const clock_type::time_point not_before_;
  const std::chrono::milliseconds delay_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<piece_t> queue_;
  std::thread reader_, writer_;
};

struct latency_relay_t::link_t {
  int client, server;
  std::unique_ptr<direction_t> up, down;

  ~link_t() {
    ::shutdown(client, SHUT_RDWR);
    ::shutdown(server, SHUT_RDWR);
    up.reset();
    down.reset();
    ::close(client);
    ::close(server);
  }
};

latency_relay_t::latency_relay_t(std::uint16_t upstream_port, std::chrono::milliseconds one_way)
    : upstream_port_(upstream_port), one_way_(one_way) {
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address = testing::loopback_address(0);
  socklen_t size = sizeof address;
  if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(listener_, 64) != 0 ||
      ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("latency relay: cannot listen");
  port_ = ntohs(address.sin_port);
  acceptor_ = std::thread([this] { accept_loop(); });
}

latency_relay_t::~latency_relay_t() {
  ::shutdown(listener_, SHUT_RDWR);
  acceptor_.join();
  ::close(listener_);
  std::lock_guard<std::mutex> lock(mutex_);
  links_.clear();
}

std::size_t latency_relay_t::connections() {
  std::lock_guard<std::mutex> lock(mutex_);
  return links_.size();
}

void latency_relay_t::accept_loop() {
  for (;;) {
    const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) return;
    // The client's first bytes could leave only after its handshake: one
    // round trip after it began to connect.
    const auto handshake_done = clock_type::now() + 2 * one_way_;
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in upstream = testing::loopback_address(upstream_port_);
    if (::connect(server, reinterpret_cast<const sockaddr*>(&upstream), sizeof upstream) != 0) {
      ::close(client);
      ::close(server);
      continue;
    }
    no_delay(client);
    no_delay(server);
    auto link = std::make_unique<link_t>();
    link->client = client;
    link->server = server;
    link->up = std::make_unique<direction_t>(client, server, handshake_done, one_way_);
    link->down = std::make_unique<direction_t>(server, client, clock_type::time_point(), one_way_);
    std::lock_guard<std::mutex> lock(mutex_);
    links_.push_back(std::move(link));
  }
}

}  // namespace upd::bench
