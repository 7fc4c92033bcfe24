#include "support/fake_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

namespace upd::testing {

std::string fake_peer_t::read_head() {
  std::string head;
  char c;
  while (!head.ends_with("\r\n\r\n") && !server_.stop_requested(fd_) && ::recv(fd_, &c, 1, 0) == 1) head += c;
  server_.record(head);
  return head;
}

bool fake_peer_t::send(const std::string& bytes) {
  for (std::size_t done = 0; done < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool fake_peer_t::send_slowly(const std::string& bytes, std::chrono::milliseconds pause) {
  for (char c : bytes) {
    if (!send(std::string(1, c))) return false;
    std::this_thread::sleep_for(pause);
  }
  return true;
}

void fake_peer_t::hold() {
  char buffer[4096];
  while (!server_.stop_requested(fd_) && ::recv(fd_, buffer, sizeof buffer, 0) > 0) {
  }
}

fake_http_server_t::fake_http_server_t(script_t script, connections_t connections)
    : script_(std::move(script)), connections_(connections) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listener_, 16) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::pipe2(stop_pipe_, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("fake server: ") + std::strerror(errno));
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

fake_http_server_t::~fake_http_server_t() {
  [[maybe_unused]] auto ignored = ::write(stop_pipe_[1], "x", 1);
  thread_.join();
  for (auto& peer : peers_) peer.join();
  for (int fd : {listener_, stop_pipe_[0], stop_pipe_[1]}) ::close(fd);
}

std::string fake_http_server_t::url(const std::string& path) const {
  return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
}

std::vector<std::string> fake_http_server_t::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void fake_http_server_t::record(const std::string& head) {
  std::lock_guard lock(mutex_);
  requests_.push_back(head);
}

// Waits until other_fd has something to read or the stop pipe fires.
bool fake_http_server_t::stop_requested(int other_fd) const {
  pollfd fds[2] = {{stop_pipe_[0], POLLIN, 0}, {other_fd, POLLIN, 0}};
  while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
  }
  return fds[0].revents != 0;
}

void fake_http_server_t::serve() {
  while (!stop_requested(listener_)) {
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const auto serve_peer = [this, fd] {
      fake_peer_t peer(*this, fd);
      script_(peer);
      ::close(fd);
    };
    if (connections_ == all_at_once)
      peers_.emplace_back(serve_peer);
    else
      serve_peer();
  }
}

}  // namespace upd::testing
